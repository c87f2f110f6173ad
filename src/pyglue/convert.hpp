// Python values to native ones, with the texts of their errors: each
// converter returns false with a Python exception set; `arg` adds the note
// that names the argument.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "pyglue/ref.hpp"

namespace qn::glue {

// The text of a str, "?" (no error set) for anything else.
inline std::string utf8_of(PyObject *s) {
  Py_ssize_t n = 0;
  const char *p = PyUnicode_Check(s) ? PyUnicode_AsUTF8AndSize(s, &n) : nullptr;
  if (p == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(p, static_cast<size_t>(n));
}

// The qualified name of o's type.
inline std::string qualname_of(PyObject *o) {
  Ref name(PyType_GetQualName(Py_TYPE(o)));
  if (!name) {
    PyErr_Clear();
    return "?";
  }
  return utf8_of(name.get());
}

inline void raise_type_error(const std::string &msg) { PyErr_SetString(PyExc_TypeError, msg.c_str()); }
inline void raise_value_error(const std::string &msg) { PyErr_SetString(PyExc_ValueError, msg.c_str()); }

// The "'{type}' object is not an instance of '{target}'" TypeError (with the
// None spelling), shared by every type-mismatch conversion.
inline void raise_type_mismatch(PyObject *o, const char *target) {
  if (o == Py_None)
    raise_type_error(std::string("'None' is not an instance of '") + target + "'");
  else
    raise_type_error("'" + qualname_of(o) + "' object is not an instance of '" + target + "'");
}

inline bool out_of_range(bool too_small) {
  PyErr_SetString(PyExc_OverflowError,
                  too_small ? "number too small to fit in target type" : "number too large to fit in target type");
  return false;
}

// An integer within T's range, read as the interpreter reads a C long (with
// __index__).
template <class T>
bool conv_int(PyObject *o, T *out) {
  const long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < static_cast<long>(std::numeric_limits<T>::min())) return out_of_range(true);
  if (v > static_cast<long>(std::numeric_limits<T>::max())) return out_of_range(false);
  *out = static_cast<T>(v);
  return true;
}
inline bool conv_u32(PyObject *o, uint32_t *out) { return conv_int(o, out); }
inline bool conv_i32(PyObject *o, int32_t *out) { return conv_int(o, out); }

inline bool conv_u64(PyObject *o, uint64_t *out) {
  Ref idx;
  if (!PyLong_Check(o)) {
    idx = Ref(PyNumber_Index(o));
    if (!idx) return false;
    o = idx.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

inline bool conv_f64(PyObject *o, double *out) {
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

// NumPy's boolean scalar (numpy.bool / numpy.bool_), recognised by its
// type's module and name so that NumPy need not be imported.
inline bool is_numpy_bool(PyObject *o) {
  PyTypeObject *t = Py_TYPE(o);
  Ref name(PyType_GetName(t));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0 &&
      PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0)
    return false;
  Ref mod(PyObject_GetAttrString(reinterpret_cast<PyObject *>(t), "__module__"));
  if (!mod || !PyUnicode_Check(mod.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(mod.get(), "numpy") == 0;
}

inline bool conv_bool(PyObject *o, bool *out) {
  if (o == Py_True || o == Py_False) {
    *out = (o == Py_True);
    return true;
  }
  if (o != Py_None && is_numpy_bool(o)) {
    const int t = PyObject_IsTrue(o);
    if (t < 0) return false;
    *out = t != 0;
    return true;
  }
  raise_type_mismatch(o, "bool");
  return false;
}

inline bool conv_text(PyObject *o, std::string *out) {
  if (!PyUnicode_Check(o)) {
    raise_type_mismatch(o, "str");
    return false;
  }
  Py_ssize_t n = 0;
  const char *p = PyUnicode_AsUTF8AndSize(o, &n);
  if (p == nullptr) return false;
  out->assign(p, static_cast<size_t>(n));
  return true;
}

inline bool is_sequence_abc(PyObject *o) {
  Ref abc(PyImport_ImportModule("collections.abc"));
  if (!abc) return false;
  Ref seq(PyObject_GetAttrString(abc.get(), "Sequence"));
  if (!seq) return false;
  const int r = PyObject_IsInstance(o, seq.get());
  if (r < 0) {
    PyErr_Clear();
    return false;
  }
  return r == 1;
}

inline bool check_sequence(PyObject *o) {
  if (PyUnicode_Check(o)) {
    raise_type_error("Can't extract `str` to `Vec`");
    return false;
  }
  if (PySequence_Check(o)) return true;
  if (is_sequence_abc(o)) return true;
  if (!PyErr_Occurred()) raise_type_mismatch(o, "Sequence");
  return false;
}

// Visits the items of a sequence argument (str refused, non-sequences
// refused with the type-mismatch message); `fn(item)` returns false with an
// exception set to stop.  `hint` receives the length of an exact list or
// tuple (0 for other sequences, whose __len__ is not to be trusted).
template <class F>
bool for_each_item(PyObject *o, F &&fn, Py_ssize_t *hint = nullptr) {
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

// A sequence whose items Conv converts.
template <class T, bool (*Conv)(PyObject *, T *)>
bool conv_seq(PyObject *o, std::vector<T> *out) {
  out->clear();
  return for_each_item(o, [&](PyObject *item) {
    T v{};
    if (!Conv(item, &v)) return false;
    out->push_back(std::move(v));
    return true;
  });
}
inline bool conv_u32_seq(PyObject *o, std::vector<uint32_t> *out) { return conv_seq<uint32_t, conv_u32>(o, out); }
inline bool conv_bool_seq(PyObject *o, std::vector<bool> *out) { return conv_seq<bool, conv_bool>(o, out); }
inline bool conv_u32_seq_seq(PyObject *o, std::vector<std::vector<uint32_t>> *out) {
  return conv_seq<std::vector<uint32_t>, conv_u32_seq>(o, out);
}

// The pending exception, normalised, its traceback attached, the error
// indicator cleared (nullptr when none is pending); restore_error sets it
// pending again.
inline Ref take_error() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref(value);
}
inline void restore_error(Ref error) {
  if (!error) return;
  PyObject *e = error.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(e))), e, PyException_GetTraceback(e));
}

// Attaches the note "while processing '{name}'" to the pending exception.
inline void add_note_processing(const char *name) {
  const std::string note = std::string("while processing '") + name + "'";
  Ref error = take_error();
  if (error) {
    Ref r(PyObject_CallMethod(error.get(), "add_note", "s", note.c_str()));
    if (!r) PyErr_Clear();
  }
  restore_error(std::move(error));
}

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

}  // namespace qn::glue
