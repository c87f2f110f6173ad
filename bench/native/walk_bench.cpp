// Solves DIMACS files with the native solver and reports how much of the
// search went into the local-search walk: walks, flips, seconds, share of
// the solve time and flips per second.  Options as key=value arguments
// before the files (walk_flips=0, walk_interval=2, ..., and max_conflicts=N).
//   build/bench/native/walk_bench [walk_flips=N ...] file.cnf ...
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench_dimacs.hpp"
#include "solver/solver.hpp"

namespace {

bool set_option(qn::Config &c, const std::string &key, const std::string &v) {
  const auto u = [&] { return std::strtoull(v.c_str(), nullptr, 10); };
  if (key == "walk_flips") c.walk_flips = u();
  else if (key == "walk_interval") c.walk_interval = u();
  else if (key == "walk_patience") c.walk_patience = u();
  else if (key == "walk_min_conflicts") c.walk_min_conflicts = u();
  else if (key == "target_phase") c.target_phase = v == "1" || v == "true";
  else if (key == "rnd_seed") c.rnd_seed = static_cast<uint32_t>(u());
  else return false;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  qn::Config config;
  std::optional<uint64_t> max_conflicts;
  std::printf("%-34s %6s %9s %9s %6s %10s %8s %6s %10s\n", "instance", "answer", "solve_s", "conflicts", "walks",
              "flips", "walk_s", "share", "flips/s");
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto eq = a.find('=');
    if (eq != std::string::npos && a.substr(0, eq) == "max_conflicts") {
      max_conflicts = std::stoull(a.substr(eq + 1));
      continue;
    }
    if (eq != std::string::npos) {
      if (!set_option(config, a.substr(0, eq), a.substr(eq + 1))) {
        std::fprintf(stderr, "unknown option %s\n", a.c_str());
        return 2;
      }
      continue;
    }
    const std::optional<bench::Cnf> cnf = bench::read_dimacs(a);
    if (!cnf) continue;
    qn::Solver s(cnf->nvars, config);
    for (const auto &c : cnf->clauses) s.add_clause(c.data(), c.size());
    const auto t0 = std::chrono::steady_clock::now();
    const uint8_t r = s.solve(max_conflicts);
    const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const auto &w = s.walk_effort();
    const std::string name = a.substr(a.find_last_of('/') + 1);
    std::printf("%-34s %6s %9.3f %9llu %6llu %10llu %8.3f %5.1f%% %10.0f\n", name.c_str(),
                r == qn::kSat ? "SAT" : r == qn::kUnsat ? "UNSAT" : "?", dt,
                static_cast<unsigned long long>(s.stats().conflicts), static_cast<unsigned long long>(w.walks),
                static_cast<unsigned long long>(w.flips), w.seconds, dt > 0 ? 100.0 * w.seconds / dt : 0.0,
                w.seconds > 0 ? static_cast<double>(w.flips) / w.seconds : 0.0);
    std::fflush(stdout);
  }
  return 0;
}
