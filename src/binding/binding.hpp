// The module's own rules on top of the shared toolkit (pyglue/): argument
// binding, the converters with their exact error texts, the results'
// shapes, and the policy of its calls (PanicException, the borrow
// messages).  Every function and class of the module goes through these; no
// other file writes a conversion rule or an error text twice.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "core/lit.hpp"
#include "pyglue/calls.hpp"
#include "pyglue/module.hpp"

namespace qn::py {

using glue::kExclusive;
using glue::kShared;
using glue::Ref;
using glue::to_py;

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

// ---------------------------------------------------------------------------
// Converters.  Each returns false with a Python exception set.  The `arg`
// wrapper below adds the "while processing '{name}'" note.

bool conv_u32(PyObject *o, uint32_t *out);
bool conv_i32(PyObject *o, int32_t *out);
bool conv_u64(PyObject *o, uint64_t *out);
bool conv_f64(PyObject *o, double *out);
bool conv_bool(PyObject *o, bool *out);
bool conv_text(PyObject *o, std::string *out);
// A DIMACS literal: false with ValueError for 0, which terminates a clause.
bool check_dimacs(int32_t d);
// Sequence (not str) of unsigned 32-bit ints, items taken by iteration.
bool conv_u32_seq(PyObject *o, std::vector<uint32_t> *out);
bool conv_bool_seq(PyObject *o, std::vector<bool> *out);
// Sequence of sequences of unsigned 32-bit ints.
bool conv_u32_seq_seq(PyObject *o, std::vector<std::vector<uint32_t>> *out);

// Visits the items of a sequence argument (str refused, non-sequences
// refused with the type-mismatch message); `fn(item)` returns false with an
// exception set to stop.  `hint` receives the length of an exact list or
// tuple (0 for other sequences, whose __len__ is not to be trusted).
template <class F>
bool for_each_item(PyObject *o, F &&fn, Py_ssize_t *hint = nullptr);
bool check_sequence(PyObject *o);  // the str / Sequence test alone

// Attaches "while processing '{name}'" to the pending exception.
void add_note_processing(const char *name);
// Attaches an arbitrary note to the pending exception.
void add_note(const char *note);

// Converts slot `o` with `conv` unless it is absent (then keeps *out).
template <class T>
bool arg(PyObject *o, const char *name, bool (*conv)(PyObject *, T *), T *out) {
  if (o == nullptr) return true;
  if (conv(o, out)) return true;
  add_note_processing(name);
  return false;
}
// Optional parameter: None and omission both mean absent.
template <class T>
bool opt_arg(PyObject *o, const char *name, bool (*conv)(PyObject *, T *), T *out, bool *present) {
  *present = false;
  if (o == nullptr || o == Py_None) return true;
  *present = true;
  return arg(o, name, conv, out);
}

// The "'{type}' object is not an instance of '{target}'" TypeError (with the
// None spelling), shared by every type-mismatch conversion.
void raise_type_mismatch(PyObject *o, const char *target);

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
inline void raise_value_error(const std::string &msg) { PyErr_SetString(PyExc_ValueError, msg.c_str()); }

inline constexpr glue::Policy kPolicy{raise_panic, refuse_borrow};

template <class F>
PyObject *boundary(F &&body) noexcept {
  return glue::boundary<raise_panic>(std::forward<F>(body));
}

// METH_FASTCALL | METH_KEYWORDS entries: the arguments bound by S, then
// Body(slots) for a function, Body(native, slots) with the access for a
// method.
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
template <class T, bool Exclusive, PyObject *(*Body)(T &, PyObject *)>
inline constexpr PyCFunction noargs = glue::method<kPolicy, T, Exclusive, Body>;
template <class T, auto Read>
inline constexpr getter prop = glue::getter<kPolicy, T, Read>;
template <class T, class F>
PyObject *with_shared(PyObject *self, F &&body) {
  return glue::with_native<kPolicy, T, glue::kShared>(self, std::forward<F>(body));
}

// ---------------------------------------------------------------------------
// for_each_item, defined here because it is a template.

bool is_sequence_abc(PyObject *o);  // registered collections.abc.Sequence

template <class F>
bool for_each_item(PyObject *o, F &&fn, Py_ssize_t *hint) {
  if (!check_sequence(o)) return false;
  if (PyList_CheckExact(o)) {
    // Lists iterate by index; re-reading the size each step matches the
    // list iterator when an item's conversion mutates the list.
    if (hint) *hint = PyList_Size(o);
    for (Py_ssize_t i = 0; i < PyList_Size(o); ++i) {
      PyObject *item = PyList_GetItem(o, i);  // borrowed
      Py_INCREF(item);
      Ref hold(item);
      if (!fn(item)) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(o)) {
    const Py_ssize_t n = PyTuple_Size(o);
    if (hint) *hint = n;
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!fn(PyTuple_GetItem(o, i))) return false;  // tuple keeps it alive
    }
    return true;
  }
  // Any other sequence reports whatever length it likes (and computing it
  // may run Python code): no hint, so nothing is reserved on its word.
  if (hint) *hint = 0;
  Ref it(PyObject_GetIter(o));
  if (!it) return false;
  for (;;) {
    Ref item(PyIter_Next(it.get()));
    if (!item) return !PyErr_Occurred();
    if (!fn(item.get())) return false;
  }
}

}  // namespace qn::py
