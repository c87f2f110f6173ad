// Solver options.  One record, fixed at construction.  QN_SOLVER_OPTIONS is
// the one list of the options, in keyword order, with their types and
// defaults: it declares Config here and drives the Python constructor's
// parameters and doc string, the portfolio's key reading and the
// validation in the binding.
#pragma once

#include <cstdint>
#include <string_view>

namespace qn {

enum class RestartPolicy : uint8_t { Glucose = 0, Luby = 1, None = 2 };
enum class MinimizeMode : uint8_t { Deep = 0, Basic = 1, None = 2 };

// X(name, type, default)
#define QN_SOLVER_OPTIONS(X)                     \
  X(restart, RestartPolicy, RestartPolicy::Luby) \
  X(ccmin, MinimizeMode, MinimizeMode::Deep)     \
  X(phase_saving, bool, true)                    \
  X(init_phase, bool, false)                     \
  X(target_phase, bool, true)                    \
  X(target_reset, uint64_t, 0)                   \
  X(walk_flips, uint64_t, 20000)                 \
  X(walk_interval, uint64_t, 1)                  \
  X(walk_patience, uint64_t, 3)                  \
  X(walk_min_conflicts, uint64_t, 5000)          \
  X(var_decay, double, 0.8)                      \
  X(var_decay_max, double, 0.95)                 \
  X(cla_decay, double, 0.999)                    \
  X(luby_base, double, 100.0)                    \
  X(first_reduce, uint64_t, 2000)                \
  X(reduce_inc, uint64_t, 300)                   \
  X(glue_keep, uint32_t, 2)                      \
  X(block_restart, bool, true)                   \
  X(rnd_freq, double, 0.0)                       \
  X(rnd_seed, uint32_t, 91648253)

struct Config {
#define QN_CONFIG_FIELD(name, type, value) type name = value;
  QN_SOLVER_OPTIONS(QN_CONFIG_FIELD)
#undef QN_CONFIG_FIELD
};

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
