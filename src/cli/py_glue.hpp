// The command line module's rules on top of the shared toolkit (pyglue/):
// the policy of its calls (RuntimeError for an internal failure, one call at
// a time on an object), the entries of its tables, and the pieces its types
// share: the clause input (feed, add_clause, add_formula), literal
// conversions, proof file calls.
#pragma once

#include "pyglue/calls.hpp"  // first: Python.h before any standard header

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "cli/formula.hpp"
#include "cli/tokens.hpp"
#include "core/lit.hpp"
#include "pyglue/module.hpp"
#include "solver/config.hpp"

namespace qn::cli {

using glue::Ref;
using glue::to_py;

// RuntimeError with the failure's text.
void raise_failure(const char *what, const char *file, int line);
// RuntimeError("<type> is in use by another thread").
void refuse_busy(PyObject *self, bool exclusive);
inline constexpr glue::Policy kPolicy{raise_failure, refuse_busy};

// The module's classes, kept in its state.
enum TypeIndex { kFormulaType, kRunnerType, kCheckType, kFeedType, kNumTypes };
using State = glue::Held<kNumTypes>;
template <class T>
int add_class(PyObject *module, TypeIndex index, const glue::BoxClass &c) {
  return glue::add_box_class<T>(module, c, &glue::state<State>(module).objects[index]);
}

// Table entries: every method takes its object for itself alone (a second
// call, from another thread while the first has the interpreter unlocked,
// is refused); properties read it shared.
template <class T, PyObject *(*Body)(T &, PyObject *)>
inline constexpr PyCFunction method = glue::method<kPolicy, T, glue::kExclusive, Body>;
template <class T, PyObject *(*Body)(T &, PyObject *, PyObject *)>
PyObject *method_kw(PyObject *self, PyObject *args, PyObject *kwargs) {
  return glue::with_native<kPolicy, T, glue::kExclusive>(self, [&](T &t) { return Body(t, args, kwargs); });
}
template <class T, auto Read>
inline constexpr getter prop = glue::getter<kPolicy, T, Read>;
template <PyObject *(*Body)(PyObject *, PyObject *)>
inline constexpr PyCFunction entry = glue::entry<kPolicy, Body>;
template <PyObject *(*Body)(PyTypeObject *, PyObject *, PyObject *)>
inline constexpr newfunc make = glue::make<kPolicy, Body>;

// The codes (tokens.hpp) of a block of bytes, in `codes` (cleared first):
// text_codes reads `tail`'s codes (an unfinished clause or step, a list of
// ints) and then the text `block`, binary_codes whole binary DRAT steps.
// 1 when read, 0 when the block is refused, -1 with a Python error set.
int text_codes(PyObject *block, PyObject *tail, TextScan &ts, std::vector<int64_t> &codes);
int binary_codes(PyObject *block, std::vector<int64_t> &codes);
// A new tail list: the codes[from, end).
PyObject *tail_list(const std::vector<int64_t> &codes, size_t from);

// The internal literals of a sequence of ints.
bool lits_of(PyObject *seq, std::vector<Lit> &out);

// The internal literals of a list or tuple of DIMACS literals (exact ints,
// non-zero, variables 1 to 2**31 - 2) and their largest variable; -1, with
// no error set and `out` unspecified, for anything else (the caller then
// takes its slower path, which names the fault).
int64_t dimacs_lits(PyObject *seq, std::vector<Lit> &out);

// The clause input of the types that take clauses: T has scratch vectors
// `codes` and `lits` and add(lits, n), false with a Python error set to
// stop.  feed(block, limit, tail) reads `block` after `tail`'s codes and
// returns (clauses, maxvar, tail), None when the block is refused;
// add_clause(lits) takes a sequence of internal literals; add_formula(f)
// every clause of a Formula.
template <class T>
PyObject *feed(T &t, PyObject *args) {
  PyObject *block, *tail;
  long long limit;
  if (!PyArg_ParseTuple(args, "SLO!:feed", &block, &limit, &PyList_Type, &tail)) return nullptr;
  TextScan ts{limit, false};
  const int read = text_codes(block, tail, ts, t.codes);
  if (read <= 0) return read < 0 ? nullptr : Py_NewRef(Py_None);
  long long clauses = 0;
  const size_t rest = each_whole(t.codes, [&](size_t from, size_t to) {
    ++clauses;
    t.lits.assign(t.codes.data() + from, t.codes.data() + to);
    return t.add(t.lits.data(), t.lits.size());
  });
  if (rest == kStopped) return nullptr;
  return Py_BuildValue("LLN", clauses, static_cast<long long>(ts.maxvar), tail_list(t.codes, rest));
}
template <class T>
PyObject *add_clause(T &t, PyObject *clause) {
  if (!lits_of(clause, t.lits) || !t.add(t.lits.data(), t.lits.size())) return nullptr;
  Py_RETURN_NONE;
}
// add_dimacs(clause): a list or tuple of plain DIMACS literals; its largest
// variable, or -1, adding nothing, for anything else.
template <class T>
PyObject *add_dimacs(T &t, PyObject *clause) {
  const int64_t top = dimacs_lits(clause, t.lits);
  if (top >= 0 && !t.add(t.lits.data(), t.lits.size())) return nullptr;
  return PyLong_FromLongLong(top);
}
const Formula *formula_of(PyObject *o);  // nullptr with TypeError unless a Formula
template <class T>
PyObject *add_formula(T &t, PyObject *formula) {
  const Formula *f = formula_of(formula);
  if (f == nullptr) return nullptr;
  for (size_t i = 0; i < f->size(); ++i)
    if (!t.add(f->clause(i), f->clause_len(i))) return nullptr;
  Py_RETURN_NONE;
}
#define QN_CLAUSE_INPUT(T, verb)                                                                                   \
  {"feed", ::qn::cli::method<T, ::qn::cli::feed<T>>, METH_VARARGS,                                                 \
   "feed(block, limit, tail)\n--\n\n" verb " the clauses of a block of DIMACS numbers; (clauses, maxvar, tail) or None."}, \
      {"add_clause", ::qn::cli::method<T, ::qn::cli::add_clause<T>>, METH_O,                                       \
       "add_clause(lits)\n--\n\n" verb " one clause of internal literals."}
#define QN_FORMULA_INPUT(T, verb)                               \
  {"add_formula", ::qn::cli::method<T, ::qn::cli::add_formula<T>>, METH_O, \
   "add_formula(formula)\n--\n\n" verb " every clause of a Formula."}

}  // namespace qn::cli
