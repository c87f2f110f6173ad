// The entries of method, property and function tables: each runs its body
// inside the boundary, a method's body with shared or exclusive access to
// its instance's native value.  A module states once, in its Policy, how it
// raises an internal failure and how it refuses a conflicting access.
#pragma once

#include <type_traits>

#include "pyglue/boundary.hpp"
#include "pyglue/box.hpp"

namespace qn::glue {

struct Policy {
  RaiseFailure fail;
  void (*refuse)(PyObject *self, bool exclusive);  // raises the refusal
};

inline constexpr bool kShared = false;
inline constexpr bool kExclusive = true;

// Runs body(native) inside the boundary with the given access to self's
// native value.
template <const Policy &P, class T, bool Exclusive, class F>
PyObject *with_native(PyObject *self, F &&body) {
  return boundary<P.fail>([&]() -> PyObject * {
    Borrow access(reinterpret_cast<Box<T> *>(self), Exclusive);
    if (!access) {
      P.refuse(self, Exclusive);
      return nullptr;
    }
    return body(native<T>(self));
  });
}

// METH_NOARGS, METH_O and METH_VARARGS methods: Body(native, arg).
template <const Policy &P, class T, bool Exclusive, PyObject *(*Body)(T &, PyObject *)>
PyObject *method(PyObject *self, PyObject *arg) {
  return with_native<P, T, Exclusive>(self, [&](T &t) { return Body(t, arg); });
}

// A read-only property: Read(native) as a Python value (to_py), or a new
// reference when Read makes one itself.
template <const Policy &P, class T, auto Read>
PyObject *getter(PyObject *self, void *) {
  return with_native<P, T, kShared>(self, [](T &t) -> PyObject * {
    if constexpr (std::is_same_v<decltype(Read(t)), PyObject *>) {
      return Read(t);
    } else {
      return to_py(Read(t));
    }
  });
}

// A module function of the (module, arg) kinds.
template <const Policy &P, PyObject *(*Body)(PyObject *, PyObject *)>
PyObject *entry(PyObject *module, PyObject *arg) {
  return boundary<P.fail>([&] { return Body(module, arg); });
}

// tp_new inside the boundary.
template <const Policy &P, PyObject *(*Body)(PyTypeObject *, PyObject *, PyObject *)>
PyObject *make(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return boundary<P.fail>([&] { return Body(type, args, kwargs); });
}

// A function of any calling convention as a method table's PyCFunction.
template <class F>
PyCFunction as_cfunc(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

}  // namespace qn::glue
