// The module's own rules on top of the shared toolkit (pyglue/): argument
// binding with its exact error texts, the results' shapes, and the policy
// of its calls (PanicException, the borrow messages).  Every function and class of the module goes through these; no
// other file writes a conversion rule or an error text twice.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/lit.hpp"
#include "pyglue/calls.hpp"
#include "pyglue/convert.hpp"
#include "pyglue/module.hpp"

namespace qn::py {

using namespace glue;  // the module is written in the toolkit's terms

// ---------------------------------------------------------------------------
// Argument binding.
//
// A Signature names a callable for error messages ("neg()", "Solver.solve()",
// "Solver.__new__()") and lists its parameters; the first `required` have no
// default.  Binding fills one borrowed slot per parameter, nullptr where the
// caller left it out.

struct Signature {
  const char *display;                 // "{f}" of the binding messages
  std::vector<const char *> names;     // parameter names, in order
  size_t required;                     // leading parameters without default
};

// METH_FASTCALL | METH_KEYWORDS arguments.
bool bind_fastcall(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   PyObject **slots);
// tp_new's positional tuple and keyword dict.
bool bind_tuple(const Signature &sig, PyObject *args, PyObject *kwargs, PyObject **slots);

// A DIMACS literal: false with ValueError for 0, which terminates a clause.
bool check_dimacs(int32_t d);

// ---------------------------------------------------------------------------
// Results.

PyObject *new_bool_list(const std::vector<bool> &v);
PyObject *new_u32_list(const uint32_t *p, size_t n);
// [(kind, dimacs)]: the step kind as "a"/"d" (the form proof_steps()
// returns) or as the deletion flag itself (solve_portfolio's form).
enum class ProofKind { Letter, Flag };
PyObject *new_proof_list(const std::vector<ProofStep> &steps, ProofKind kind);

// ---------------------------------------------------------------------------
// Calls.

// Writes the failure to stderr and raises PanicException(msg), the
// process-wide class (made on first use; derives from BaseException so that
// `except Exception` does not swallow it).
void raise_panic(const char *msg, const char *file, int line);
// "Already borrowed" (an exclusive access refused) or "Already mutably
// borrowed" (a shared one).
void refuse_borrow(PyObject *self, bool exclusive);

inline constexpr glue::Policy kPolicy{raise_panic, refuse_borrow};

template <class F>
PyObject *boundary(F &&body) noexcept {
  return glue::boundary<raise_panic>(std::forward<F>(body));
}

// Table entries.  METH_FASTCALL | METH_KEYWORDS ones: the arguments bound
// by S, then Body(slots) for a function, Body(native, slots) with the
// access for a method; tp_new and METH_NOARGS ones inside the boundary.
inline constexpr size_t kMaxSlots = 8;
template <const Signature &S, PyObject *(*Body)(PyObject **)>
PyObject *fast_function(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
  return boundary([&]() -> PyObject * {
    PyObject *slots[kMaxSlots];
    return bind_fastcall(S, args, nargs, kw, slots) ? Body(slots) : nullptr;
  });
}
template <const Signature &S, class T, bool Exclusive, PyObject *(*Body)(T &, PyObject **)>
PyObject *fast_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
  return boundary([&]() -> PyObject * {
    PyObject *slots[kMaxSlots];
    if (!bind_fastcall(S, args, nargs, kw, slots)) return nullptr;
    return glue::with_native<kPolicy, T, Exclusive>(self, [&](T &t) { return Body(t, slots); });
  });
}
template <PyObject *(*Body)(PyTypeObject *, PyObject *, PyObject *)>
inline constexpr newfunc make = glue::make<kPolicy, Body>;
template <class T, bool Exclusive, PyObject *(*Body)(T &, PyObject *)>
inline constexpr PyCFunction noargs = glue::method<kPolicy, T, Exclusive, Body>;
template <class T, auto Read>
inline constexpr ::getter prop = glue::getter<kPolicy, T, Read>;
template <class T, class F>
PyObject *with_shared(PyObject *self, F &&body) {
  return glue::with_native<kPolicy, T, glue::kShared>(self, std::forward<F>(body));
}

}  // namespace qn::py
