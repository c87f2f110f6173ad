// The type Formula of quillon_native_cli._scan: clauses read natively
// (formula.hpp) for a driver or the portfolio, with no object per clause.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "cli/formula.hpp"
#include "cli/py_glue.hpp"
#include "core/lit.hpp"

namespace qn::cli {

struct FormulaObject : NativeObject {
  Formula *f;
  uint32_t nvars;
  std::vector<int64_t> *codes;
  std::vector<Lit> *lits;
};

extern PyObject *formula_type;
inline FormulaObject *as_formula(PyObject *o) { return reinterpret_cast<FormulaObject *>(o); }
inline bool is_formula(PyObject *o) { return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(formula_type)); }

// add_formula(formula) of the types that take clauses: add(lits, n) for every
// clause of the Formula, in order; add returns false, with a Python error
// set, to stop there.
template <class Add>
PyObject *add_formula_clauses(PyObject *formula, Add &&add) {
  if (!is_formula(formula)) {
    PyErr_SetString(PyExc_TypeError, "add_formula takes a Formula");
    return nullptr;
  }
  const Formula &f = *as_formula(formula)->f;
  for (size_t i = 0; i < f.size(); ++i) {
    if (!add(f.clause(i), f.clause_len(i))) return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace qn::cli
