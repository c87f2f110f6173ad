#include "cli/plan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace qn::cli {
namespace {

// ---------------------------------------------------------------------------
// The plans, chosen by replaying schedules on runs of every configuration
// measured in slices (bench/measure.py, bench/simulate.py; tuned on the
// shared set and the tuning part of the generated corpus).

// Structured formulas.  The default searches first and alone for 20000
// conflicts, in the slices of `solve --config default`, so it makes exactly
// that command's search: where it wins early, auto is the default.  Then
// an opening gives focused two short turns (the ordering principle, which
// it answers in 1500 to 4300 conflicts where the named configurations fail
// a million, tuning part) and closes with the default's second slice; in
// round 0 the default's turn comes first, so it reaches 60000 conflicts
// before any member but focused has searched (with a shorter head start the
// quasigroups measured up to 1.5x slower: qg3-09 needs 52268 of the
// default's conflicts).  glucose-random, the configuration that
// most often beats the default where the default is slow, is two members,
// in slices of 2000 and of 30000 conflicts: every slice end sends a member
// back to level 0, so the slice size is part of a search, and on the
// measured corpus neither size alone does what both do (the sorting
// network needs 26600 conflicts in the small slices and 309000 in the
// large; the factoring miter 157000 in the large and more than 422000 in
// the small).  no-restart and minisat, in slices of 2000, are the best
// configurations on seven and three crafted families (pebbling, Tseitin,
// binary and relativized pigeonholes, clique colouring, mutilated
// chessboards): small turns, 8% of a round.
const Plan kStructured{{{"default", 1, kDefaultSlice, 1},
                        {"focused", 1, 2000, 2},
                        {"no-restart", 2, 2000},
                        {"minisat", 1, 2000},
                        {"glucose-random@2000", 5, 2000},
                        {"glucose-random@30000", 2, 30000}},
                       2.0,
                       1,
                       "structured"};

// Small structured formulas (at most kSmallClauses clauses): the crafted
// ones.  The same head start and opening, then turns of the default
// (20000 conflicts) and no-restart (32000), with focused (2000) beside
// them.  Replayed on every member's run in slices (the tuning part's small
// structured formulas and 2bitadd_10 of the shared set), no-restart is
// faster than the default on 9 of the 10 that take the default over 0.1 s,
// 1.1x to 6.4x, and where minisat or glucose-random is faster still, by at
// most 1.25x but on bphp-10: as members they only cut the others' shares.
// Among five members (minisat 8000, glucose-random 30000 a round too) the
// plan took up to 2.7x the default's time and 1.2x on the geometric mean;
// these three take up to 1.44x and 0.85x.  Rounds grow by a quarter rather
// than double: a member whose answer comes just after the end of its turn
// waits through shorter turns of the others (2bitadd_10's no-restart needs
// 101000 conflicts).  focused bumps the reason side too (+br), which
// speeds it on the crafted families (kVariants).
const Plan kSmall{{{"default", 1, kDefaultSlice, 1}, {"focused+br", 1, 2000, 2}, {"no-restart", 16, 2000}},
                  1.25,
                  1,
                  "small structured"};
constexpr uint64_t kSmallClauses = 3000;

// Formulas of at-most-one constraints (negative binaries) and long
// at-least-one clauses, such as pigeonhole: no-restart (glucose-random's
// phases and random decisions, but no restarts within its slices of 30000
// conflicts and no target phase) solves the hard ones several times faster
// than anything else measured (hole9 in 28000 conflicts, glucose-random in
// 49000, the default in 222000), so it takes most of each turn; the
// default's turn comes first but is short (slices of 2000), for the
// satisfiable ones it answers in a few hundred conflicts (php-40-40: 204).
const Plan kAtMostOne{
    {{"default@2000", 1, 2000}, {"no-restart@30000", 2, 30000}, {"glucose-random@2000", 5, 2000}},
    2.0, 0, "at-most-one and long at-least-one clauses"};

// Uniform random k-SAT: the default alone, in the slices of `--config
// default`, so it searches exactly as that command does (its walk wins these).
const Member kRandomMember{"default", 1, kDefaultSlice};

// auto's own configurations, which only plans use: a named configuration
// with some options changed.
struct Variant {
  const char *name;
  const char *base;
  void (*change)(Config &);
};

// focused: variable activities that decay fast (the order follows the
// latest conflicts, much as a move-to-front queue does), frequent Luby
// restarts, no target phase, no walks.  On the ordering principle the
// named configurations do not answer op-30 in a million conflicts; this
// one does in a few thousand (tuning part, in process).
const Variant kVariants[] = {
    {"focused", "default",
     [](Config &c) {
       c.var_decay = 0.5;
       c.var_decay_max = 0.5;
       c.luby_base = 20.0;
       c.target_phase = false;
       c.walk_patience = 0;
     }},
    // default+viv: the default with learned-clause vivification.  On the
    // tuning part's crafted families (binary and relativized pigeonholes,
    // clique colouring, Tseitin, mutilated chessboards; six shuffles each,
    // slices of 2000) it searches 20% fewer conflicts in 20% less time than
    // the default, binary pigeonholes twice as fast; no-restart, though,
    // remains faster on each of them, and gains nothing from vivification.
    {"default+viv", "default", [](Config &c) { c.vivify = true; }},
    // focused+br: focused, with the variables of the learned literals'
    // reasons bumped too.  Tuning part's crafted families in slices of 2000
    // (Tseitin, binary and relativized pigeonholes, clique colouring,
    // mutilated chessboards, subset cardinality, parity, counting,
    // ordering; 15 s cap), geometric mean of the CPU seconds over two
    // shuffles of 15 formulas: 0.751 to 0.646; over four other shuffles of
    // 12: 1.870 to 1.519.  no-restart gains less (0.620 to 0.581, 1.019 to
    // 0.961) and took 2bitadd_10 of the shared set from 3.7 to 6.6 s, so
    // it stays without.
    {"focused+br", "focused", [](Config &c) { c.bump_reasons = true; }},
};

constexpr uint64_t kLargeLits = 2'000'000;  // literals from which a formula gets at most kLargeMembers solvers
constexpr size_t kLargeMembers = 2;
constexpr double kAmoBinaryShare = 0.5;  // negative binaries among the clauses, at least
constexpr double kAmoChoices = 6;        // mean length of the positive clauses of two or more literals, at least

// Lifted formulas: every clause but binaries has one length of five or
// more literals (a constraint over lifted variables, expanded clause by
// clause, such as pebbling with XOR lifting).  Elimination and
// strengthening take them apart one layer a round: the preprocessor refutes
// pebbling of height 60 in 1.2 s and 100 in 4.1 s, where no configuration
// answers height 100 within 3 s (tuning part).  The rounds end earlier at a
// fixpoint.
constexpr size_t kLiftedLength = 5;
constexpr double kLiftedShare = 0.9;
constexpr uint32_t kLiftedRounds = 1000;

uint64_t sum(const Features::Counts &c) {
  uint64_t n = 0;
  for (const auto &[k, m] : c) n += m;
  return n;
}

std::string slices_text(uint64_t n, uint64_t unit) {
  if (unit == 0) return "one call, no slices";
  return std::to_string(n) + " slice" + (n != 1 ? "s" : "") + " of " + std::to_string(unit) + " conflicts";
}

uint64_t scaled(uint64_t n, double scale) { return std::max<uint64_t>(1, std::nearbyint(n * scale)); }

}  // namespace

uint32_t Features::uniform_k() const {
  if (lengths.size() != 1) return 0;
  const size_t k = lengths.begin()->first;
  return k >= 3 ? static_cast<uint32_t>(k) : 0;
}

bool Features::looks_random() const {
  if (uniform_k() == 0 || nvars == 0) return false;
  const double poisson = 1 / std::sqrt(std::max(static_cast<double>(lits) / nvars, 1e-9));
  return 0.5 * poisson <= occurrence_cv && occurrence_cv <= 2 * poisson;
}

bool Features::at_most_one_shaped() const {
  if (sum(negative) + sum(positive) != nclauses) return false;
  const auto binaries = negative.find(2);
  if ((binaries == negative.end() ? 0 : binaries->second) < kAmoBinaryShare * nclauses) return false;
  uint64_t clauses = 0, lits_in = 0;
  for (const auto &[k, n] : positive) {
    if (k < 2) continue;
    clauses += n;
    lits_in += k * n;
  }
  return clauses > 0 && lits_in >= kAmoChoices * clauses;
}

// Sums as Python's sum() over floats does, one after the other, so that a
// plan chosen here is the one the command's own tools compute.
Features features_of(uint32_t nvars, const Formula &f) {
  Features feat;
  feat.nvars = nvars;
  std::vector<uint64_t> count;  // per variable
  std::vector<Var> order;       // variables in the order of their first occurrence
  for (size_t i = 0; i < f.size(); ++i) {
    const size_t len = f.clause_len(i);
    const Lit *c = f.clause(i);
    size_t negated = 0;
    for (size_t k = 0; k < len; ++k) {
      const Var v = var_of(c[k]);
      negated += is_neg(c[k]);
      if (v >= count.size()) count.resize(size_t{v} + 1, 0);
      if (count[v]++ == 0) order.push_back(v);
    }
    ++feat.lengths[len];
    if (len != 0 && negated == len) ++feat.negative[len];
    if (len != 0 && negated == 0) ++feat.positive[len];
    feat.lits += len;
  }
  feat.nclauses = f.size();
  if (!order.empty()) {
    uint64_t total = 0;
    for (Var v : order) total += count[v];
    const double mean = static_cast<double>(total) / static_cast<double>(order.size());
    double squares = 0.0;
    for (Var v : order) squares += std::pow(static_cast<double>(count[v]) - mean, 2.0);
    feat.occurrence_cv = std::sqrt(squares / static_cast<double>(order.size())) / mean;
  }
  return feat;
}

std::vector<uint64_t> Plan::shares(int rnd) const {
  std::vector<uint64_t> out(members.size(), 0);
  if (rnd == kOpening) {
    for (size_t i = 0; i < members.size(); ++i) out[i] = members[i].opening;
    return out;
  }
  if (rnd == kHead) {
    out[0] = head;
    return out;
  }
  const double factor = std::pow(growth, rnd);
  for (size_t i = 0; i < members.size(); ++i) {
    const double s = static_cast<double>(members[i].weight) * factor;
    out[i] = s >= 1.8e19 ? std::numeric_limits<uint64_t>::max() : std::max<uint64_t>(1, static_cast<uint64_t>(s));
  }
  return out;
}

std::vector<size_t> Plan::order(int rnd) const {
  std::vector<size_t> out;
  for (size_t i = 0; i < members.size(); ++i) out.push_back(i);
  if (rnd == kOpening && !out.empty()) std::rotate(out.begin(), out.begin() + 1, out.end());
  return out;
}

bool Plan::opens() const {
  for (const Member &m : members) {
    if (m.opening) return true;
  }
  return false;
}

std::string Plan::describe() const {
  const std::string out = "strategy auto (" + why + "): ";
  if (members.size() == 1) {
    const uint64_t unit = members[0].unit;
    return out + "configuration " + members[0].name + ", " +
           (unit ? "slices of " + std::to_string(unit) + " conflicts" : "one call, no slices");
  }
  return out + schedule();
}

std::string Plan::describe_thread() const {
  if (members.size() == 1) return members[0].name + " in slices of " + std::to_string(members[0].unit) + " conflicts";
  return schedule();
}

std::string Plan::schedule() const {
  std::string out;
  if (head) out += members[0].name + " alone for " + slices_text(head, members[0].unit) + ", then ";
  if (opens()) {
    out += "opening turns of ";
    bool first = true;
    for (const size_t i : order(kOpening)) {
      const Member &m = members[i];
      if (!m.opening) continue;
      out += (first ? "" : ", ") + m.name + " " + std::to_string(m.opening) + "x" + std::to_string(m.unit);
      first = false;
    }
    out += " conflicts, then ";
  }
  out += "turns of ";
  for (size_t i = 0; i < members.size(); ++i) {
    if (i) out += ", ";
    out += members[i].name + " " + std::to_string(members[i].weight) + "x" + std::to_string(members[i].unit);
  }
  char growth_text[32];
  std::snprintf(growth_text, sizeof(growth_text), "%g", growth);
  return out + " conflicts, x" + growth_text + " every round";
}

// Thread 1 is the default configuration alone, in the slices of `solve
// --config default`: it searches exactly as that command does (and keeps the
// random families' lead).  The other threads' plans come from replaying
// races on runs of every configuration measured in slices
// (bench/threads_sim.py; the slice size is part of a search).  Thread 2 is
// glucose-random twice: in 2000-conflict slices alone for its first 40000
// conflicts (how it solves the sorting networks, at about 27000), then in
// turns with a second glucose-random in 30000-conflict slices (how it solves
// the factoring miters, at about 157000), four slices of that one to one of
// the first, doubling every round.  Thread 3 adds glucose in 30000-conflict
// slices.
std::vector<Plan> thread_plans(size_t n) {
  const std::vector<Plan> all{
      {{{"default", 1, kDefaultSlice}}, 1.0, 0, "thread"},
      {{{"glucose-random", 1, 2000}, {"glucose-random", 4, 30000}}, 2.0, 20, "thread"},
      {{{"glucose", 1, 30000}}, 1.0, 0, "thread"},
  };
  static_assert(kMaxThreads == 3);
  return {all.begin(), all.begin() + std::min(n, all.size())};
}

std::vector<Plan> portfolio_plans(const std::vector<std::string> &names) {
  std::vector<Plan> out;
  for (const std::string &name : names) out.push_back(Plan{{{name, 1, 0}}, 1.0, 0, "portfolio"});
  return out;
}

std::string config_of(const std::string &member) { return member.substr(0, member.find('@')); }

Config member_config(const std::string &name, const std::map<std::string, Config> &named) {
  const std::string config = config_of(name);
  if (const auto it = named.find(config); it != named.end()) return it->second;
  for (const Variant &v : kVariants) {
    if (config != v.name) continue;
    Config c = member_config(v.base, named);
    v.change(c);
    return c;
  }
  throw std::out_of_range("no configuration " + config);
}

Plan choose_plan(const Features &feat, uint64_t slice) {
  if (feat.looks_random()) {
    Member m = kRandomMember;
    m.unit = slice;
    return Plan{{m}, 1.0, 0, "uniform random " + std::to_string(feat.uniform_k()) + "-SAT"};
  }
  Plan p = feat.at_most_one_shaped() ? kAtMostOne : feat.nclauses <= kSmallClauses ? kSmall : kStructured;
  size_t d = p.members.size();
  for (size_t i = 0; i < p.members.size(); ++i) {
    if (p.members[i].name == "default") d = std::min(d, i);
  }
  if (feat.lits >= kLargeLits) {
    p.members.resize(kLargeMembers);
    p.why += ", large (" + std::to_string(feat.lits) + " literals)";
  }
  const uint64_t unit = slice ? slice : kDefaultSlice;
  const double scale = static_cast<double>(kDefaultSlice) / static_cast<double>(unit);  // the same conflicts per turn
  if (d < p.members.size()) {
    p.members[d].weight = scaled(p.members[d].weight, scale);
    if (p.members[d].opening) p.members[d].opening = scaled(p.members[d].opening, scale);
    p.members[d].unit = unit;
  }
  if (d == 0) p.head = scaled(p.head, scale);
  return p;
}

uint32_t preprocess_first(const Features &feat) {
  if (feat.nclauses == 0 || feat.looks_random()) return 0;
  const auto binaries = feat.lengths.find(2);
  const uint64_t b = binaries == feat.lengths.end() ? 0 : binaries->second;
  for (const auto &[k, n] : feat.lengths) {
    if (k >= kLiftedLength && n + b == feat.nclauses && n >= kLiftedShare * feat.nclauses) return kLiftedRounds;
  }
  return 0;
}

std::string describe_preprocess(const Features &feat, uint32_t rounds) {
  return "strategy auto (" + std::to_string(feat.nclauses) + " clauses): preprocessing first, up to " +
         std::to_string(rounds) + " rounds, then the plan of the simplified formula";
}

bool probes(const Features &feat, const Probe &probe) {
  if (probe.conflicts == 0 || feat.nclauses < probe.clauses) return false;
  const Plan chosen = choose_plan(feat, kDefaultSlice);
  return chosen.members[0].name == "default" && chosen.head > 0;
}

std::string describe_probe(const Features &feat, uint64_t slice, const Probe &probe) {
  const std::string how = slice && slice < probe.conflicts ? ", in slices of " + std::to_string(slice) : "";
  return "strategy auto (structured, " + std::to_string(feat.nclauses) + " clauses): default alone for " +
         std::to_string(probe.conflicts) + " conflicts" + how +
         " as --config default searches; if unanswered, preprocessing, then the plan of the simplified formula";
}

}  // namespace qn::cli
