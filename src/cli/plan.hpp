// auto's plans: cheap features of a formula, and from them, through one
// table, the plan that searches it.  A plan is data: members (a named
// configuration, optionally `@slice` for a second member of the same
// configuration), each with its slices per turn and its slice size in
// conflicts; a head start of the first member alone; an opening of short
// turns; and a growth of every share from one round to the next.
// Everything here is in conflicts, so the same formula and options always
// get the same plan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "cli/formula.hpp"
#include "solver/config.hpp"

namespace qn::cli {

// The slice of `solve --config default`, which the member named `default` keeps.
inline constexpr uint64_t kDefaultSlice = 20000;

struct Features {
  using Counts = std::map<size_t, uint64_t>;  // clause length: clauses
  uint32_t nvars = 0;
  uint64_t nclauses = 0;
  uint64_t lits = 0;
  Counts lengths;              // every clause, the empty one included
  double occurrence_cv = 0.0;  // std / mean of the occurrences of the variables that occur
  Counts negative, positive;   // non-empty clauses whose literals are all negative, all positive

  // k when every clause has k >= 3 literals, else 0.
  uint32_t uniform_k() const;
  // Uniform k-SAT whose occurrences spread as random draws spread them
  // (Poisson: std/mean near 1/sqrt(mean)); crafted uniform formulas such as
  // parity chains have (nearly) equal occurrences.
  bool looks_random() const;
  // Pigeonhole-like: no clause mixes signs, most clauses are negative
  // binaries and the positive clauses of two or more literals are long.
  bool at_most_one_shaped() const;
};

Features features_of(uint32_t nvars, const Formula &f);

struct Member {
  std::string name;     // configuration, or configuration@slice
  uint64_t weight = 1;  // slices in the first round
  uint64_t unit = 0;    // conflicts per slice; 0: one call without a conflict limit
  uint64_t opening = 0; // slices in the opening (of the first member: the opening's last turn)
};

// The options member `name` searches with: its configuration's among
// `named`, or one of auto's own (a named configuration with options
// changed, which only plans use).  Throws std::out_of_range for neither.
Config member_config(const std::string &name, const std::map<std::string, Config> &named);

struct Plan {
  std::vector<Member> members;  // in turn order
  double growth = 1.0;          // factor on every share from one round to the next
  uint64_t head = 0;            // slices of the first member alone before the first round
  std::string why;              // what in the formula chose this plan

  // The rounds that come before round 0, in order.
  static constexpr int kHead = -2, kOpening = -1;
  // Slices of each member in round `rnd` (kHead, kOpening or 0, 1, ...).
  std::vector<uint64_t> shares(int rnd) const;
  // Whether some member has turns in the opening.
  bool opens() const;
  // The members in the order of their turns in round `rnd`: the opening
  // ends with the first member's turn (so a head start can be split around
  // it), every other round goes in member order.
  std::vector<size_t> order(int rnd) const;
  // One line for the run's c lines.
  std::string describe() const;
  // The head start and turns of a plan of several members, in words.
  std::string schedule() const;
  // What one thread of a race runs, in words.
  std::string describe_thread() const;
};

// `solve --threads n`: a plan per thread (n at most kMaxThreads).
inline constexpr size_t kMaxThreads = 3;
std::vector<Plan> thread_plans(size_t n);
// `solve --portfolio`: each named configuration alone on a thread, in one call.
std::vector<Plan> portfolio_plans(const std::vector<std::string> &names);

// The configuration a member searches with: its name up to an `@`.
std::string config_of(const std::string &member);

// The plan for these features; `slice` is `solve --slice` (0: one call),
// which the member named `default` keeps.
Plan choose_plan(const Features &feat, uint64_t slice);

// Formulas that simplification takes apart: preprocessed first, for up to
// the rounds returned (0: not), and then searched with the plan of the
// simplified formula.
uint32_t preprocess_first(const Features &feat);
std::string describe_preprocess(const Features &feat, uint32_t rounds);

// Large structured formulas (`clauses` or more): the default first searches
// `conflicts` alone, as `--config default` does, and only a formula still
// open is preprocessed and gets the plan of the simplified formula.
struct Probe {
  uint64_t clauses = 0;
  uint64_t conflicts = 0;
};
bool probes(const Features &feat, const Probe &probe);
std::string describe_probe(const Features &feat, uint64_t slice, const Probe &probe);

}  // namespace qn::cli
