// What each binding file contributes to the module.  module.cpp adds them
// in the module's attribute order.
#pragma once

#include "binding/binding.hpp"

namespace qn::py {

// Classes: each adds its type object to the module; 0 or -1 with an
// exception set.
int add_clause_db_type(PyObject *module);
int add_solver_type(PyObject *module);
int add_preprocessor_type(PyObject *module);

// Module functions (METH_FASTCALL | METH_KEYWORDS).
PyObject *fn_solve_portfolio(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *fn_check_proof(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *fn_neg(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *fn_var_of(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *fn_is_neg(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *fn_mk_lit(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *fn_from_dimacs(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *fn_to_dimacs(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

extern const char doc_solve_portfolio[];
extern const char doc_check_proof[];

}  // namespace qn::py

#define QN_FASTCALL(fn) ::qn::py::as_cfunc(fn), METH_FASTCALL | METH_KEYWORDS
