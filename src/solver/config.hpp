// Solver options.  One record, fixed at construction; the Python constructor
// and the portfolio both fill it from the same option names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qn {

enum class RestartPolicy : uint8_t { Glucose = 0, Luby = 1, None = 2 };
enum class MinimizeMode : uint8_t { Deep = 0, Basic = 1, None = 2 };

struct Config {
  RestartPolicy restart = RestartPolicy::Luby;
  MinimizeMode ccmin = MinimizeMode::Deep;
  bool phase_saving = true;
  bool init_phase = false;
  bool target_phase = true;
  uint64_t target_reset = 0;
  uint64_t walk_flips = 20000;
  uint64_t walk_interval = 1;
  uint64_t walk_patience = 3;
  uint64_t walk_min_conflicts = 5000;
  double var_decay = 0.8;
  double var_decay_max = 0.95;
  double cla_decay = 0.999;
  double luby_base = 100.0;
  uint64_t first_reduce = 2000;
  uint64_t reduce_inc = 300;
  uint32_t glue_keep = 2;
  bool block_restart = true;
  double rnd_freq = 0.0;
  uint32_t rnd_seed = 91648253;
};

// Exact, case-sensitive spellings; nullopt for anything else.
std::optional<RestartPolicy> parse_restart(std::string_view s);
std::optional<MinimizeMode> parse_ccmin(std::string_view s);

// A UTF-8 string in double quotes with backslash escapes for '"', '\\',
// \0 \t \r \n and \u{hex} for other control characters, as used in the
// "unknown restart ..." and "unknown ccmin ..." messages.
std::string quote_option(std::string_view utf8);

// The option-validation messages, or nullopt when the record is sound.
// Checked in this order: restart string, ccmin string, luby_base.
std::string unknown_restart_message(std::string_view s);
std::string unknown_ccmin_message(std::string_view s);
// luby_base must be a positive number: zero, negatives and NaN would make
// the Luby test fire at every conflict-free point and never decide.
bool luby_base_ok(double v);
std::string luby_base_message(double v);
// Python's repr() of a float.
std::string float_repr(double v);

}  // namespace qn
