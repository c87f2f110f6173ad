// Solver options.  One record, fixed at construction.  QN_SOLVER_OPTIONS is
// the one list of the options, in keyword order, with their types,
// defaults, ranges and help texts: it declares Config here and drives the
// Python constructor's parameters and doc string, the portfolio's key
// reading, the validation in the binding and the command line's flags.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

namespace qn {

enum class RestartPolicy : uint8_t { Glucose = 0, Luby = 1, None = 2 };
enum class MinimizeMode : uint8_t { Deep = 0, Basic = 1, None = 2 };

// The values the command line lets an option take: lo to hi, above lo when
// lo_open; hi kTop is the type's largest value (doubles: no bound).  The
// module itself takes any value of the type (luby_base aside); booleans and
// option strings have no range.
inline constexpr double kTop = std::numeric_limits<double>::infinity();
struct OptionRange {
  double lo;
  double hi;
  bool lo_open;
};
constexpr OptionRange range(double lo, double hi = kTop, bool lo_open = false) { return {lo, hi, lo_open}; }
constexpr OptionRange above(double lo, double hi = kTop) { return {lo, hi, true}; }

// X(name, type, default, range, help): the one table of the options, with
// what the command line shows of each.
#define QN_SOLVER_OPTIONS(X)                                                                                      \
  X(restart, RestartPolicy, RestartPolicy::Luby, range(0),                                                       \
    "restart policy: luby (Luby sequence), glucose (glue averages) or none")                                      \
  X(ccmin, MinimizeMode, MinimizeMode::Deep, range(0),                                                           \
    "learned-clause minimisation: deep (recursive), basic (local) or none")                                       \
  X(phase_saving, bool, true, range(0), "remember each variable's last value and decide it again")                \
  X(init_phase, bool, false, range(0), "initial saved phase of every variable")                                   \
  X(target_phase, bool, true, range(0), "decide towards the longest conflict-free assignment seen")               \
  X(target_reset, uint64_t, 0, range(0), "forget the target phase every N restarts; 0: never")                    \
  X(walk_flips, uint64_t, 20000, range(0), "flips per local-search walk; 0: no walks")                            \
  X(walk_interval, uint64_t, 1, range(1), "walk every N-th restart")                                              \
  X(walk_patience, uint64_t, 3, range(0), "stop walking after N walks without improvement; 0: never walk")         \
  X(walk_min_conflicts, uint64_t, 5000, range(0), "conflicts before the first walk")                              \
  X(var_decay, double, 0.8, above(0, 1), "starting variable-activity decay")                                      \
  X(var_decay_max, double, 0.95, above(0, 1), "ceiling of the variable-activity decay")                           \
  X(cla_decay, double, 0.999, above(0, 1), "clause-activity decay")                                               \
  X(luby_base, double, 100.0, above(0), "conflicts per unit of the Luby restart sequence")                        \
  X(first_reduce, uint64_t, 2000, range(0), "conflicts before the first learned-clause reduction")                \
  X(reduce_inc, uint64_t, 300, range(0), "increment of the reduction interval")                                   \
  X(glue_keep, uint32_t, 2, range(0), "learned clauses with glue up to this are never deleted")                   \
  X(block_restart, bool, true, range(0), "postpone restarts while the trail is unusually long")                   \
  X(rnd_freq, double, 0.0, range(0, 1), "share of random decisions")                                              \
  X(rnd_seed, uint32_t, 91648253, range(0), "seed of the solver's random generator")

struct Config {
#define QN_CONFIG_FIELD(name, type, value, ...) type name = value;
  QN_SOLVER_OPTIONS(QN_CONFIG_FIELD)
#undef QN_CONFIG_FIELD
  // Opt-in techniques outside the table above: neither the module nor the
  // command line sets them, no named configuration has them, and they act
  // only while a call has assumptions, so a search without any is the
  // plain one.  The incremental runner turns them on.
  // A call keeps the levels of the assumptions it shares, in order, with
  // the trail the last call left, and a restart keeps the assumption levels.
  bool keep_assumed = false;
  // A long clause's search for a new watch resumes where it last stopped.
  bool search_pos = false;
  // An unsat answer names, of the assumptions found false, the one
  // falsified at the lowest level: its failed set is taken from fewer levels.
  bool failed_lowest = false;
  // Learned-clause vivification: back at the root after a reduction, the
  // learned clauses of lowest glue not yet tried are shortened by deciding
  // the negations of their literals one by one (vivify.cpp).  Only in calls
  // without assumptions; only auto's own variants set it.
  bool vivify = false;
  // After a learned clause of at most kBumpReasonsLen literals is
  // minimised, the variables of its literals' reasons are bumped too (the
  // reason side of the conflict, as well as the conflict side).
  bool bump_reasons = false;
};
inline constexpr size_t kBumpReasonsLen = 10;

// The techniques above, for a solver that serves many calls under assumptions.
inline void use_incremental(Config *c) {
  c->keep_assumed = true;
  c->search_pos = true;
  c->failed_lowest = true;
}

// The option strings: exact, case-sensitive spellings.  parse() is false
// (leaving *out alone) for anything else.
bool parse(std::string_view s, RestartPolicy *out);
bool parse(std::string_view s, MinimizeMode *out);
std::string_view spelling(RestartPolicy p);
std::string_view spelling(MinimizeMode m);

// luby_base must be a positive number: zero, negatives and NaN would make
// the Luby test fire at every conflict-free point and never decide.
inline bool luby_base_ok(double v) { return v > 0.0; }  // false for NaN too

}  // namespace qn
