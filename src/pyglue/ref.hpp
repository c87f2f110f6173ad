// Owned references, and Python values made from native ones.  Every
// toolkit header includes this one before anything else, so Python.h comes
// before any standard header.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace qn::glue {

// Owns one strong reference; moves allowed, copies not.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject *p) : p_(p) {}  // steals
  Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref &operator=(Ref &&o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  ~Ref() { Py_XDECREF(p_); }
  PyObject *get() const { return p_; }
  PyObject *release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject *p_ = nullptr;
};

// The Python value of a native one: a new reference, nullptr with an error set.
inline PyObject *to_py(bool v) { return PyBool_FromLong(v); }
inline PyObject *to_py(uint32_t v) { return PyLong_FromUnsignedLong(v); }
inline PyObject *to_py(int32_t v) { return PyLong_FromLong(v); }
inline PyObject *to_py(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject *to_py(int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject *to_py(double v) { return PyFloat_FromDouble(v); }
inline PyObject *to_py(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }
inline PyObject *to_py(const char *s) { return PyUnicode_FromString(s); }

// A new list of n items, item(i) making each (a new reference, or nullptr
// with an error set, which ends the list).
template <class Item>
PyObject *new_list(size_t n, Item &&item) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject *x = item(i);
    if (x == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), x);
  }
  return list.release();
}

// A new tuple of n items, made as new_list makes them.
template <class Item>
PyObject *new_tuple_n(size_t n, Item &&item) {
  Ref list(new_list(n, std::forward<Item>(item)));
  return list ? PyList_AsTuple(list.get()) : nullptr;
}

// A new tuple of already made items (each a new reference or nullptr); the
// items are released when one is missing.
template <class... Items>
PyObject *new_tuple(Items... items) {
  PyObject *all[] = {items...};
  bool complete = true;
  for (PyObject *x : all) complete = complete && x != nullptr;
  PyObject *t = complete ? PyTuple_New(sizeof...(items)) : nullptr;
  if (t == nullptr) {
    for (PyObject *x : all) Py_XDECREF(x);
    return nullptr;
  }
  for (size_t i = 0; i < sizeof...(items); ++i) PyTuple_SetItem(t, static_cast<Py_ssize_t>(i), all[i]);
  return t;
}

// A tuple of native values, each made by to_py.
template <class... T>
PyObject *tuple_of(const T &...values) {
  return new_tuple(to_py(values)...);
}

}  // namespace qn::glue
