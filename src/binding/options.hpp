// The solver options on the Python side, driven by QN_SOLVER_OPTIONS: their
// names in keyword order, reading one from a Python value, the validation
// of a record once every option has been read, and the defaults as the
// Solver constructor's doc string shows them.  The Solver constructor and
// solve_portfolio both go through these.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "binding/binding.hpp"
#include "solver/config.hpp"

namespace qn::py {

#define QN_COUNT_OPTION(name, type, value, ...) +1
inline constexpr size_t kNumOptions = 0 QN_SOLVER_OPTIONS(QN_COUNT_OPTION);
#undef QN_COUNT_OPTION

extern const char *const kOptionNames[kNumOptions];

// A Config being read.  Option strings are parsed as they are read; an
// unknown one is kept and reported only by check_options, so that a
// conversion error of any later argument wins over it.
struct OptionValues {
  Config cfg;
  std::vector<std::pair<std::string, std::string>> unknown;  // (option, text), in reading order
};

// Converts `o` into option i; false with the conversion's exception set.
bool read_option(size_t i, PyObject *o, OptionValues *v);
// The validation: the first unknown option string read, then luby_base.
// False with the ValueError set.
bool check_options(const OptionValues &v);
// "restart=\"luby\", ccmin=\"deep\", ..., rnd_seed=91648253": every option
// with its default as Python spells it.
std::string option_defaults();

}  // namespace qn::py
