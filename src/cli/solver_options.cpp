// solver_options(): every Solver option with its default, range and help, in
// keyword order, from the one table of options (solver/config.hpp); the
// command builds its flags and their checks from it without importing the
// solver module.
#include <Python.h>

#include <limits>
#include <string_view>
#include <type_traits>

#include "cli/deadline.hpp"
#include "cli/module.hpp"
#include "cli/py_glue.hpp"
#include "cli/plan.hpp"
#include "cli/solve_defaults.hpp"
#include "preprocess/preprocessor.hpp"
#include "solver/config.hpp"

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
  Ref out(PyList_New(0));
  if (!out) return nullptr;
  for (int first = 1; first >= 0; --first) {
    for (unsigned u = 0; !spelling(static_cast<E>(u)).empty(); ++u) {
      if ((static_cast<E>(u) == def) != (first == 1)) continue;
      Ref text(value(static_cast<E>(u)));
      if (!text || PyList_Append(out.get(), text.get()) < 0) return nullptr;
    }
  }
  return PyList_AsTuple(out.get());
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
PyObject *solver_options(PyObject *, PyObject *) {
  const Config d;
  Ref out(PyList_New(0));
  if (!out) return nullptr;
#define QN_PUT_OPTION(name, type, def, range, help)                              \
  {                                                                              \
    Ref r(row<type>(#name, d.name, range, help));                                \
    if (!r || PyList_Append(out.get(), r.get()) < 0) return nullptr;             \
  }
  QN_SOLVER_OPTIONS(QN_PUT_OPTION)
#undef QN_PUT_OPTION
  return PyList_AsTuple(out.get());
}

PyObject *text(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

// ((a, b), ...) of a table of two text fields.
template <class Row, size_t N>
PyObject *pairs(const Row (&rows)[N], std::string_view Row::*a, std::string_view Row::*b) {
  Ref out(PyTuple_New(N));
  if (!out) return nullptr;
  for (size_t i = 0; i < N; ++i) {
    Ref x(text(rows[i].*a)), y(text(rows[i].*b));
    if (!x || !y) return nullptr;
    PyObject *item = PyTuple_Pack(2, x.get(), y.get());
    if (item == nullptr || PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
  }
  return out.release();
}

// (name, ...) of a table of names.
template <size_t N>
PyObject *names(const std::string_view (&rows)[N]) {
  Ref out(PyTuple_New(N));
  if (!out) return nullptr;
  for (size_t i = 0; i < N; ++i) {
    PyObject *item = text(rows[i]);
    if (item == nullptr || PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
  }
  return out.release();
}

PyMethodDef option_functions[] = {
    {"solver_options", entry<solver_options>, METH_NOARGS,
     "solver_options()\n--\n\nEvery Solver option as (name, default, lo, hi, lo_open, choices, help), in keyword "
     "order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_option_functions(PyObject *module) {
  if (PyModule_AddStringConstant(module, "__version__", QN_VERSION) < 0) return -1;
  if (PyModule_AddIntConstant(module, "PREP_ROUNDS", prep::kDefaultRounds) < 0) return -1;
  if (PyModule_AddObject(module, "NO_LIMIT_SECONDS", PyFloat_FromDouble(kNoLimitSeconds)) < 0) return -1;
  // solve's defaults (solve_defaults.hpp)
  if (PyModule_AddIntConstant(module, "DEFAULT_SLICE", static_cast<long>(kDefaultSlice)) < 0 ||
      PyModule_AddIntConstant(module, "DEFAULT_ROUNDS", kDefaultRounds) < 0 ||
      PyModule_AddIntConstant(module, "PROBE_CLAUSES", static_cast<long>(kProbeClauses)) < 0 ||
      PyModule_AddIntConstant(module, "PROBE_CONFLICTS", static_cast<long>(kProbeConflicts)) < 0) {
    return -1;
  }
  if (PyModule_AddObject(module, "NAMED_CONFIGS", pairs(kNamedConfigs, &NamedConfig::name, &NamedConfig::options)) < 0 ||
      PyModule_AddObject(module, "PORTFOLIO_ORDER", names(kPortfolioOrder)) < 0 ||
      PyModule_AddObject(module, "SOLVER_COUNTERS",
                         pairs(kShownSolverCounters, &ShownCounter::name, &ShownCounter::label)) < 0 ||
      PyModule_AddObject(module, "PREP_COUNTERS", pairs(kShownPrepCounters, &ShownCounter::name, &ShownCounter::label)) <
          0) {
    return -1;
  }
  return PyModule_AddFunctions(module, option_functions);
}

}  // namespace qn::cli
