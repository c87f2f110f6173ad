// Instances: a Python object that owns one native value, with the access
// counter that keeps one call's work from racing another's (0 free, >0
// readers, -1 one writer).
#pragma once

#include "pyglue/module.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

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

// A box type: what it adds to the slots every box type has (dealloc,
// traverse and clear).  Only `name` (static) and the tables must outlive
// the class; the doc is copied.
struct BoxClass {
  const char *name;  // "module.Class"
  const char *doc;
  newfunc make;
  PyMethodDef *methods;
  PyGetSetDef *getset = nullptr;
  reprfunc repr = nullptr;
  lenfunc length = nullptr;
};

// Adds the class of T's boxes to `module` under its short name (add_type
// says what `holder` and `bind` mean).
template <class T>
int add_box_class(PyObject *module, const BoxClass &c, PyObject **holder, bool bind = true) {
  std::vector<PyType_Slot> slots = {
      {Py_tp_dealloc, reinterpret_cast<void *>(box_dealloc<T>)}, {Py_tp_traverse, reinterpret_cast<void *>(box_traverse)},
      {Py_tp_clear, reinterpret_cast<void *>(box_clear)},        {Py_tp_new, reinterpret_cast<void *>(c.make)},
      {Py_tp_doc, const_cast<char *>(c.doc)},                    {Py_tp_methods, c.methods},
      {Py_tp_getset, c.getset},                                  {Py_tp_repr, reinterpret_cast<void *>(c.repr)},
      {Py_sq_length, reinterpret_cast<void *>(c.length)}};
  std::erase_if(slots, [](const PyType_Slot &s) { return s.pfunc == nullptr; });
  slots.push_back({0, nullptr});
  PyType_Spec spec = {c.name, sizeof(Box<T>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots.data()};
  return add_type(module, std::strrchr(c.name, '.') + 1, &spec, holder, bind);
}

}  // namespace qn::glue
