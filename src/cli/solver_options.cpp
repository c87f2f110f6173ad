// What the command knows of the solver without importing the solver module:
// solver_options(), every Solver option with its default, range and help, in
// keyword order, from the one table of options (solver/config.hpp), which
// its flags and their checks come from; solve's defaults; and
// solver_memory(nvars) -> (need, have), the bytes of a solver's tables for
// nvars variables and the machine's physical memory, the two numbers the
// cores' memory guard (core/memory.hpp) compares, so that the command
// refuses a header whose variables cannot fit at its line.
#include <Python.h>

#include <limits>
#include <string_view>
#include <type_traits>

#include "cli/deadline.hpp"
#include "cli/module.hpp"
#include "cli/py_glue.hpp"
#include "cli/plan.hpp"
#include "cli/solve_defaults.hpp"
#include "core/memory.hpp"
#include "preprocess/preprocessor.hpp"
#include "solver/config.hpp"
#include "solver/solver.hpp"

namespace qn::cli {
namespace {

template <class T>
PyObject *value(T v) {
  if constexpr (std::is_enum_v<T>) {
    return to_py(spelling(v));
  } else {
    return to_py(v);
  }
}

// The spellings of an option string, the default's first.
template <class E>
PyObject *choices(E def) {
  std::vector<E> all{def};
  for (unsigned u = 0; !spelling(static_cast<E>(u)).empty(); ++u)
    if (static_cast<E>(u) != def) all.push_back(static_cast<E>(u));
  return glue::new_tuple_n(all.size(), [&](size_t i) { return value(all[i]); });
}

// (name, default, lo, hi, lo_open, choices, help) of an option of type T:
// numbers get their range (hi None: no bound), option strings their
// spellings, booleans neither.
template <class T>
PyObject *row(const char *name, T def, OptionRange r, const char *help) {
  PyObject *open = r.lo_open ? Py_True : Py_False;
  if constexpr (std::is_same_v<T, bool>) {
    return Py_BuildValue("(sNOOOOs)", name, value(def), Py_None, Py_None, Py_False, Py_None, help);
  } else if constexpr (std::is_enum_v<T>) {
    return Py_BuildValue("(sNOOONs)", name, value(def), Py_None, Py_None, Py_False, choices(def), help);
  } else if constexpr (std::is_integral_v<T>) {
    const T hi = r.hi == kTop ? std::numeric_limits<T>::max() : static_cast<T>(r.hi);
    return Py_BuildValue("(sNNNOOs)", name, value(def), value(static_cast<T>(r.lo)), value(hi), open, Py_None, help);
  } else {
    return Py_BuildValue("(sNNNOOs)", name, value(def), value(r.lo), r.hi == kTop ? Py_NewRef(Py_None) : value(r.hi),
                         open, Py_None, help);
  }
}

// solver_options() -> ((name, default, lo, hi, lo_open, choices, help), ...)
// for every Solver option, in keyword order.
using Row = PyObject *(*)();
#define QN_OPTION_ROW(name, type, def, range, help) [] { return row<type>(#name, Config().name, range, help); },
const Row kRows[] = {QN_SOLVER_OPTIONS(QN_OPTION_ROW)};
#undef QN_OPTION_ROW

PyObject *solver_options(PyObject *, PyObject *) {
  return glue::new_tuple_n(std::size(kRows), [](size_t i) { return kRows[i](); });
}

// ((a, b), ...) of a table of two text fields.
template <class Row, size_t N>
PyObject *pairs(const Row (&rows)[N], std::string_view Row::*a, std::string_view Row::*b) {
  return glue::new_tuple_n(N, [&](size_t i) { return glue::tuple_of(rows[i].*a, rows[i].*b); });
}

// (name, ...) of a table of names.
template <size_t N>
PyObject *names(const std::string_view (&rows)[N]) {
  return glue::new_tuple_n(N, [&](size_t i) { return to_py(rows[i]); });
}

PyObject *solver_memory(PyObject *, PyObject *arg) {
  const uint64_t nvars = PyLong_AsUnsignedLongLong(arg);
  if (nvars == static_cast<uint64_t>(-1) && PyErr_Occurred()) return nullptr;
  return glue::tuple_of(Solver::table_bytes(nvars), physical_memory());
}

PyMethodDef option_functions[] = {
    {"solver_options", entry<solver_options>, METH_NOARGS,
     "solver_options()\n--\n\nEvery Solver option as (name, default, lo, hi, lo_open, choices, help), in keyword "
     "order."},
    {"solver_memory", entry<solver_memory>, METH_O,
     "solver_memory(nvars)\n--\n\n(bytes of a solver's tables for nvars variables, physical memory in bytes)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_option_functions(PyObject *module) {
  // solve's defaults (solve_defaults.hpp) and the tables the command's flags come from.
  static const glue::Value values[] = {
      {"__version__", [] { return to_py(QN_VERSION); }},
      {"PREP_ROUNDS", [] { return to_py(prep::kDefaultRounds); }},
      {"NO_LIMIT_SECONDS", [] { return to_py(kNoLimitSeconds); }},
      {"DEFAULT_SLICE", [] { return to_py(kDefaultSlice); }},
      {"DEFAULT_ROUNDS", [] { return to_py(kDefaultRounds); }},
      {"PROBE_CLAUSES", [] { return to_py(kProbeClauses); }},
      {"PROBE_CONFLICTS", [] { return to_py(kProbeConflicts); }},
      {"NAMED_CONFIGS", [] { return pairs(kNamedConfigs, &NamedConfig::name, &NamedConfig::options); }},
      {"PORTFOLIO_ORDER", [] { return names(kPortfolioOrder); }},
      {"SOLVER_COUNTERS", [] { return pairs(kShownSolverCounters, &ShownCounter::name, &ShownCounter::label); }},
      {"PREP_COUNTERS", [] { return pairs(kShownPrepCounters, &ShownCounter::name, &ShownCounter::label); }},
  };
  if (glue::add_values(module, values) < 0) return -1;
  return PyModule_AddFunctions(module, option_functions);
}

}  // namespace qn::cli
