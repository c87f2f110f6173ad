// Solves DIMACS files with the native solver in slices, as auto's members
// search, and reports CPU seconds, conflicts, propagations and the effort of
// vivification.  Options as key=value arguments before the files:
//   config=default|minisat|no-restart|glucose-random|focused  (the named
//   configurations' options, written out here), vivify=0|1, slice=N
//   (conflicts per solve call; 0: one call), max_conflicts=N (in all),
//   shuffle=S (variables renamed and clauses reordered with seed S, signs
//   kept; 0: as read), for samples of one formula's search.
//   build/bench/native/search_bench config=no-restart vivify=1 file.cnf ...
#include <cstdio>
#include <ctime>
#include <algorithm>
#include <numeric>
#include <random>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "solver/solver.hpp"

namespace {

bool read_dimacs(const std::string &path, uint32_t &nvars, std::vector<std::vector<qn::Lit>> &clauses) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  std::vector<qn::Lit> cur;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == 'c') continue;
    if (line[0] == '%') break;
    std::istringstream ss(line);
    if (line[0] == 'p') {
      std::string p, cnf;
      ss >> p >> cnf >> nvars;
      continue;
    }
    long d;
    while (ss >> d) {
      if (d == 0) {
        clauses.push_back(cur);
        cur.clear();
      } else {
        cur.push_back(qn::from_dimacs(static_cast<int32_t>(d)));
      }
    }
  }
  if (!cur.empty()) clauses.push_back(cur);
  return true;
}

bool set_config(qn::Config &c, const std::string &name) {
  c = qn::Config{};
  if (name == "default") return true;
  if (name == "minisat") {
    c.target_phase = false;
    c.var_decay = 0.95;
    c.walk_patience = 0;
    return true;
  }
  if (name == "no-restart" || name == "glucose-random") {
    c.restart = name == "no-restart" ? qn::RestartPolicy::None : qn::RestartPolicy::Glucose;
    c.target_phase = name != "no-restart";
    c.rnd_freq = 0.01;
    c.rnd_seed = 123456789;
    c.init_phase = true;
    return true;
  }
  if (name == "focused") {
    c.var_decay = 0.5;
    c.var_decay_max = 0.5;
    c.luby_base = 20.0;
    c.target_phase = false;
    c.walk_patience = 0;
    return true;
  }
  return false;
}

void shuffle(uint32_t seed, uint32_t nvars, std::vector<std::vector<qn::Lit>> &clauses) {
  std::mt19937 rng(seed);
  std::vector<qn::Var> to(nvars);
  std::iota(to.begin(), to.end(), 0);
  std::shuffle(to.begin(), to.end(), rng);
  for (auto &c : clauses) {
    for (qn::Lit &l : c) l = qn::mk_lit(to[qn::var_of(l)], qn::is_neg(l));
  }
  std::shuffle(clauses.begin(), clauses.end(), rng);
}

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

}  // namespace

int main(int argc, char **argv) {
  qn::Config config;
  bool vivify = false;
  uint64_t slice = 2000;
  uint32_t seed = 0;
  std::optional<uint64_t> max_conflicts;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto eq = a.find('=');
    if (eq != std::string::npos) {
      const std::string key = a.substr(0, eq), v = a.substr(eq + 1);
      if (key == "config" && set_config(config, v)) continue;
      if (key == "vivify") vivify = v == "1";
      else if (key == "shuffle") seed = static_cast<uint32_t>(std::stoul(v));
      else if (key == "slice") slice = std::stoull(v);
      else if (key == "max_conflicts") max_conflicts = std::stoull(v);
      else {
        std::fprintf(stderr, "unknown option %s\n", a.c_str());
        return 2;
      }
      continue;
    }
    uint32_t nvars = 0;
    std::vector<std::vector<qn::Lit>> clauses;
    if (!read_dimacs(a, nvars, clauses)) {
      std::fprintf(stderr, "cannot read %s\n", a.c_str());
      continue;
    }
    if (seed) shuffle(seed, nvars, clauses);
    qn::Config c = config;
    c.vivify = vivify;
    qn::Solver s(nvars, c);
    for (const auto &cl : clauses) s.add_clause(cl.data(), cl.size());
    const double t0 = cpu_seconds();
    uint8_t r = qn::kUnknown;
    for (;;) {
      std::optional<uint64_t> limit;
      const uint64_t done = s.stats().conflicts;
      if (slice) limit = slice;
      if (max_conflicts) {
        if (done >= *max_conflicts) break;
        limit = limit ? std::min(*limit, *max_conflicts - done) : *max_conflicts - done;
      }
      r = s.solve(limit);
      if (r != qn::kUnknown || !limit) break;
    }
    const double dt = cpu_seconds() - t0;
    const auto &v = s.vivify_effort();
    const std::string name = a.substr(a.find_last_of('/') + 1);
    std::printf("%s\t%s\t%.3f\t%llu\t%llu\t%llu\t%llu\t%llu\t%llu\n", name.c_str(),
                r == qn::kSat ? "SAT" : r == qn::kUnsat ? "UNSAT" : "?", dt,
                static_cast<unsigned long long>(s.stats().conflicts),
                static_cast<unsigned long long>(s.stats().propagations), static_cast<unsigned long long>(v.tried),
                static_cast<unsigned long long>(v.shortened), static_cast<unsigned long long>(v.removed_lits),
                static_cast<unsigned long long>(v.propagations));
    std::fflush(stdout);
  }
  return 0;
}
