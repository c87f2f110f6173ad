// The few CPython helpers shared by the command line module's glue files.
#pragma once

#include <Python.h>

#include <new>

namespace qn::cli {

// An owned reference, released at scope end unless taken.
struct Owned {
  PyObject *p = nullptr;
  explicit Owned(PyObject *o) : p(o) {}
  Owned(const Owned &) = delete;
  Owned &operator=(const Owned &) = delete;
  ~Owned() { Py_XDECREF(p); }
  PyObject *release() {
    PyObject *r = p;
    p = nullptr;
    return r;
  }
};

// C++ exceptions (std::bad_alloc from scratch vectors and the cores) never
// cross into the interpreter.
template <class F>
PyObject *guard_call(F &&f) {
  try {
    return f();
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
}

template <PyObject *(*F)(PyObject *, PyObject *)>
PyObject *guarded(PyObject *self, PyObject *args) {
  return guard_call([&] { return F(self, args); });
}

}  // namespace qn::cli
