// The opt-in techniques of auto's variants keep every answer right and
// every proof valid: each formula is solved with one technique on, in
// slices (every slice starts at the root, where vivification runs), with
// reductions made frequent so that rounds come often.  An unsat answer's
// proof must pass the checker and derive the empty clause, a sat answer's
// model must satisfy every clause, the answer must match a search without
// the technique, and the watches must hold their invariant afterwards.
// The rows must also show the technique at work, so they test something:
// vivification shortens clauses in every row, reason-side bumping makes
// another search in most (in a small formula of short clauses the reason
// side may hold no variable the analysis did not bump already).
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "checker/checker.hpp"
#include "solver/solver.hpp"

namespace {

using Clauses = std::vector<std::vector<qn::Lit>>;

struct Formula {
  uint32_t nvars = 0;
  Clauses clauses;
  qn::Lit var() { return qn::mk_lit(nvars++); }
};

// n + 1 pigeons into n holes.
Formula pigeonhole(uint32_t n) {
  Formula f;
  std::vector<std::vector<qn::Lit>> p(n + 1);
  for (auto &row : p) {
    for (uint32_t h = 0; h < n; ++h) row.push_back(f.var());
    f.clauses.push_back(row);
  }
  for (uint32_t h = 0; h < n; ++h) {
    for (uint32_t i = 0; i <= n; ++i) {
      for (uint32_t j = i + 1; j <= n; ++j) f.clauses.push_back({qn::neg(p[i][h]), qn::neg(p[j][h])});
    }
  }
  return f;
}

// Parity constraints on the edges of a random graph of degree 4 (a union
// of two random Hamiltonian cycles, double edges allowed), with an odd
// total charge: unsatisfiable.
Formula tseitin(uint32_t n, uint32_t seed) {
  Formula f;
  std::mt19937 rng(seed);
  std::vector<std::vector<qn::Lit>> at(n);
  for (int cycle = 0; cycle < 2; ++cycle) {
    std::vector<uint32_t> order(n);
    for (uint32_t i = 0; i < n; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (uint32_t i = 0; i < n; ++i) {
      const qn::Lit e = f.var();
      at[order[i]].push_back(e);
      at[order[(i + 1) % n]].push_back(e);
    }
  }
  for (uint32_t v = 0; v < n; ++v) {
    const uint32_t charge = v == 0 ? 1 : 0;
    const auto &edges = at[v];
    for (uint32_t signs = 0; signs < (1u << edges.size()); ++signs) {
      // Forbid each assignment of the wrong parity: the clause negates it.
      if (static_cast<uint32_t>(__builtin_popcount(signs) & 1) == charge) continue;
      std::vector<qn::Lit> c;
      for (size_t k = 0; k < edges.size(); ++k) c.push_back((signs >> k) & 1 ? qn::neg(edges[k]) : edges[k]);
      f.clauses.push_back(c);
    }
  }
  return f;
}

// Uniform random 3-SAT at the threshold (426 clauses per 100 variables).
Formula random3(uint32_t n, uint32_t seed) {
  Formula f;
  std::mt19937 rng(seed);
  f.nvars = n;
  for (uint32_t i = 0; i < n * 426 / 100; ++i) {
    std::set<uint32_t> vars;
    while (vars.size() < 3) vars.insert(rng() % n);
    std::vector<qn::Lit> c;
    for (uint32_t v : vars) c.push_back(qn::mk_lit(v, rng() & 1));
    f.clauses.push_back(c);
  }
  return f;
}

enum class Technique { Vivify, BumpReasons };

qn::Config with(Technique t, bool restarts) {
  qn::Config c;
  if (!restarts) {
    c.restart = qn::RestartPolicy::None;
    c.target_phase = false;
    c.rnd_freq = 0.01;
  }
  c.first_reduce = 100;
  c.reduce_inc = 20;
  c.vivify = t == Technique::Vivify;
  c.bump_reasons = t == Technique::BumpReasons;
  return c;
}

struct Run {
  uint8_t answer = qn::kUnknown;
  std::vector<qn::ProofStep> proof;
  std::vector<bool> model;
  uint64_t shortened = 0, conflicts = 0;
  std::vector<std::string> watch_faults;
};

Run solve(const Formula &f, const qn::Config &config) {
  qn::Solver s(f.nvars, config);
  s.enable_proof();
  for (const auto &c : f.clauses) s.add_clause(c.data(), c.size());
  Run r;
  do {
    r.answer = s.solve(300);
  } while (r.answer == qn::kUnknown);
  r.proof = s.take_proof();
  r.model = s.take_model();
  r.shortened = s.vivify_effort().shortened;
  r.conflicts = s.stats().conflicts;
  r.watch_faults = s.check_watch_invariant();
  return r;
}

bool same_search(const Run &a, const Run &b) {
  if (a.conflicts != b.conflicts || a.proof.size() != b.proof.size()) return false;
  for (size_t i = 0; i < a.proof.size(); ++i) {
    if (a.proof[i].deletion != b.proof[i].deletion || a.proof[i].lits != b.proof[i].lits) return false;
  }
  return true;
}

// Empty when the answer holds up, else what is wrong.
std::string fault(const Formula &f, const Run &r) {
  if (!r.watch_faults.empty()) return "watches: " + r.watch_faults[0];
  if (r.answer == qn::kSat) {
    for (const auto &c : f.clauses) {
      bool sat = false;
      for (qn::Lit l : c) sat = sat || r.model[qn::var_of(l)] != qn::is_neg(l);
      if (!sat) return "the model falsifies a clause";
    }
    return "";
  }
  qn::checker::ClauseList formula;
  for (const auto &c : f.clauses) formula.push(c);
  qn::checker::Proof proof;
  for (const auto &step : r.proof) proof.push(step.deletion, step.lits);
  const qn::checker::Verdict v = qn::checker::check_proof(f.nvars, formula, proof, {});
  if (v.ok && v.empty_derived) return "";
  return "proof refused at step " + std::to_string(v.failing_step) + ": " + v.message;
}

struct Case {
  const char *name;
  Formula formula;
  uint8_t want;  // kUnknown: whatever the search without vivification answers
};

}  // namespace

int main() {
  Case cases[] = {
      {"pigeonhole 7", pigeonhole(7), qn::kUnsat},
      {"tseitin 14", tseitin(14, 1), qn::kUnsat},
      {"tseitin 18", tseitin(18, 2), qn::kUnsat},
      {"random 3-sat 150 a", random3(150, 11), qn::kUnknown},
      {"random 3-sat 150 c", random3(150, 13), qn::kUnknown},
      {"random 3-sat 150 d", random3(150, 14), qn::kUnknown},
      {"random 3-sat 200 b", random3(200, 22), qn::kUnknown},
  };
  int failed = 0, rows = 0, bumped_rows = 0;
  for (Case &c : cases) {
    for (const bool restarts : {true, false}) {
      qn::Config plain = with(Technique::Vivify, restarts);
      plain.vivify = false;
      const Run base = solve(c.formula, plain);
      const uint8_t want = c.want != qn::kUnknown ? c.want : base.answer;
      for (const Technique t : {Technique::Vivify, Technique::BumpReasons}) {
        ++rows;
        const Run r = solve(c.formula, with(t, restarts));
        std::string why = r.answer != want ? "wrong answer" : fault(c.formula, r);
        if (why.empty() && t == Technique::Vivify && r.shortened == 0) why = "no clause was shortened";
        if (t == Technique::BumpReasons && !same_search(r, base)) ++bumped_rows;
        failed += !why.empty();
        std::printf("%s %s, %s, %s%s%s\n", why.empty() ? "ok  " : "FAIL", c.name,
                    t == Technique::Vivify ? "vivify" : "bump reasons", restarts ? "restarts" : "no restarts",
                    why.empty() ? "" : ": ", why.c_str());
      }
    }
  }
  if (2 * bumped_rows <= rows / 2) {
    std::printf("FAIL reason-side bumping changed only %d searches of %d\n", bumped_rows, rows / 2);
    ++failed;
  }
  std::printf("%d passed, %d failed\n", rows - failed, failed);
  return failed != 0;
}
