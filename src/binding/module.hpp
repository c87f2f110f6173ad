// What each binding file contributes to the module: one part of its exec
// slot (module.cpp lists them in the module's attribute order); 0, or -1
// with an exception set.
#pragma once

#include "binding/binding.hpp"

namespace qn::py {

int add_clause_db_type(PyObject *module);
int add_solver_type(PyObject *module);
int add_preprocessor_type(PyObject *module);
int add_solve_portfolio(PyObject *module);
int add_check_proof(PyObject *module);
int add_literal_functions(PyObject *module);  // neg, var_of, is_neg, mk_lit, from_dimacs, to_dimacs

}  // namespace qn::py

#define QN_FASTCALL(fn) ::qn::glue::as_cfunc(fn), METH_FASTCALL | METH_KEYWORDS
#define QN_NOARGS(fn) ::qn::glue::as_cfunc(fn), METH_NOARGS
