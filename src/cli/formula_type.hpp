// The type Formula of quillon_native_cli._scan: clauses read natively
// (formula.hpp) for a driver or the portfolio, with no object per clause.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "cli/formula.hpp"
#include "core/lit.hpp"

namespace qn::cli {

struct FormulaObject {
  PyObject_HEAD
  Formula *f;
  uint32_t nvars;
  std::vector<int64_t> *codes;
  std::vector<Lit> *lits;
};

extern PyObject *formula_type;
inline FormulaObject *as_formula(PyObject *o) { return reinterpret_cast<FormulaObject *>(o); }
inline bool is_formula(PyObject *o) { return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(formula_type)); }

}  // namespace qn::cli
