// Instances: a Python object that owns one native value, with the access
// counter that keeps one call's work from racing another's (0 free, >0
// readers, -1 one writer).
#pragma once

#include "pyglue/ref.hpp"

#include <atomic>
#include <cstdint>

namespace qn::glue {

template <class T>
struct Box {
  PyObject_HEAD
  std::atomic<intptr_t> borrow;
  T *native;
};

template <class T>
T &native(PyObject *self) {
  return *reinterpret_cast<Box<T> *>(self)->native;
}

// Shared or exclusive access to a box's native value for its scope;
// false when a conflicting access is held (the caller raises its error).
class Borrow {
 public:
  template <class T>
  Borrow(Box<T> *box, bool exclusive) : c_(box->borrow), exclusive_(exclusive) {
    intptr_t cur = exclusive ? 0 : c_.load();
    if (exclusive) {
      ok_ = c_.compare_exchange_strong(cur, -1);
      return;
    }
    while (cur != -1 && !c_.compare_exchange_weak(cur, cur + 1)) {
    }
    ok_ = cur != -1;
  }
  ~Borrow() {
    if (!ok_) return;
    if (exclusive_) {
      c_.store(0);
    } else {
      c_.fetch_sub(1);
    }
  }
  explicit operator bool() const { return ok_; }
  Borrow(const Borrow &) = delete;
  Borrow &operator=(const Borrow &) = delete;

 private:
  std::atomic<intptr_t> &c_;
  bool exclusive_;
  bool ok_;
};

// tp_dealloc: destroys the native value, frees the object, drops the type.
template <class T>
void box_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto *b = reinterpret_cast<Box<T> *>(self);
  delete b->native;
  b->native = nullptr;
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// tp_traverse and tp_clear: the native values hold no Python references;
// a heap type's instance only keeps its type alive.
inline int box_traverse(PyObject *self, visitproc visit, void *arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}
inline int box_clear(PyObject *) { return 0; }

// A new instance of `type` owning `native` (deleted on failure).
template <class T>
PyObject *box_alloc(PyTypeObject *type, T *native) {
  PyObject *self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
  if (self == nullptr) {
    delete native;
    return nullptr;
  }
  auto *b = reinterpret_cast<Box<T> *>(self);
  new (&b->borrow) std::atomic<intptr_t>(0);
  b->native = native;
  return self;
}

// The native value of `o` when it is a Box<T> (of whichever module
// instance made its type), else nullptr.
template <class T>
T *native_of(PyObject *o) {
  if (PyType_GetSlot(Py_TYPE(o), Py_tp_dealloc) != reinterpret_cast<void *>(box_dealloc<T>)) return nullptr;
  return reinterpret_cast<Box<T> *>(o)->native;
}

// The slots every box type has: dealloc, traverse and clear.
#define QN_BOX_SLOTS(T)                                                   \
  {Py_tp_dealloc, reinterpret_cast<void *>(::qn::glue::box_dealloc<T>)}, \
      {Py_tp_traverse, reinterpret_cast<void *>(::qn::glue::box_traverse)}, \
      {Py_tp_clear, reinterpret_cast<void *>(::qn::glue::box_clear)}

}  // namespace qn::glue
