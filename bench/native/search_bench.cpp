// Solves DIMACS files with the native solver in slices, as auto's members
// search, and reports CPU seconds, conflicts, propagations and the effort of
// vivification.  Options as key=value arguments before the files:
//   config=NAME (a named configuration of the command, or one of auto's
//   variants: focused, default+viv, ...), vivify=1 (on for any), br=1
//   (reason-side bumping on for any), slice=N
//   (conflicts per solve call; 0: one call), max_conflicts=N (in all),
//   shuffle=S (variables renamed and clauses reordered with seed S, signs
//   kept; 0: as read), for samples of one formula's search.
//   build/bench/native/search_bench config=no-restart vivify=1 file.cnf ...
#include <cstdio>
#include <ctime>
#include <algorithm>
#include <numeric>
#include <random>
#include <stdexcept>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench_dimacs.hpp"
#include "cli/front_args.hpp"
#include "cli/plan.hpp"
#include "cli/search_args.hpp"
#include "solver/solver.hpp"

namespace {

// A named configuration of the command, or one of auto's own variants
// (focused, default+viv), as the search program builds them.
bool set_config(qn::Config &c, const std::string &name) {
  std::vector<std::string> specs = qn::cli::named_specs();
  std::vector<char *> argv{const_cast<char *>("search_bench"), const_cast<char *>("0")};
  for (std::string &spec : specs) argv.push_back(spec.data());
  qn::cli::SearchArgs args;
  if (!qn::cli::parse_search_args(static_cast<int>(argv.size()), argv.data(), &args)) return false;
  try {
    c = qn::cli::member_config(name, args.named);
  } catch (const std::out_of_range &) {
    return false;
  }
  return true;
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
  bool vivify = false, bump_reasons = false;
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
      else if (key == "br") bump_reasons = v == "1";
      else if (key == "shuffle") seed = static_cast<uint32_t>(std::stoul(v));
      else if (key == "slice") slice = std::stoull(v);
      else if (key == "max_conflicts") max_conflicts = std::stoull(v);
      else {
        std::fprintf(stderr, "unknown option %s\n", a.c_str());
        return 2;
      }
      continue;
    }
    std::optional<bench::Cnf> cnf = bench::read_dimacs(a);
    if (!cnf) continue;
    if (seed) shuffle(seed, cnf->nvars, cnf->clauses);
    qn::Config c = config;
    if (vivify) c.vivify = true;
    if (bump_reasons) c.bump_reasons = true;
    qn::Solver s(cnf->nvars, c);
    for (const auto &cl : cnf->clauses) s.add_clause(cl.data(), cl.size());
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
