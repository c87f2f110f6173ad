// Argument binding, converters, errors and the object box (see binding.hpp).
#include "binding/binding.hpp"

#include <cstdio>

namespace qn::py {

namespace {

std::string utf8_of(PyObject *s) {
  Py_ssize_t n = 0;
  const char *p = PyUnicode_Check(s) ? PyUnicode_AsUTF8AndSize(s, &n) : nullptr;
  if (p == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(p, static_cast<size_t>(n));
}

std::string qualname_of(PyObject *o) {
  Ref name(PyType_GetQualName(Py_TYPE(o)));
  if (!name) {
    PyErr_Clear();
    return "?";
  }
  return utf8_of(name.get());
}

void raise_type_error(const std::string &msg) { PyErr_SetString(PyExc_TypeError, msg.c_str()); }

const char *were(size_t m) { return m == 1 ? "was" : "were"; }

bool too_many_positional(const Signature &sig, size_t given) {
  const size_t n = sig.names.size();
  std::string msg = sig.display;
  if (sig.required == n)
    msg += " takes " + std::to_string(n) + " positional arguments but ";
  else
    msg += " takes from " + std::to_string(sig.required) + " to " + std::to_string(n) +
           " positional arguments but ";
  msg += std::to_string(given) + " " + were(given) + " given";
  raise_type_error(msg);
  return false;
}

// Places keyword `key` into its slot; false with TypeError when unknown or
// already bound.
bool place_keyword(const Signature &sig, PyObject *key, PyObject *value, PyObject **slots) {
  for (size_t i = 0; i < sig.names.size(); ++i) {
    if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, sig.names[i]) != 0) continue;
    if (slots[i] != nullptr) {
      raise_type_error(std::string(sig.display) + " got multiple values for argument '" + sig.names[i] + "'");
      return false;
    }
    slots[i] = value;
    return true;
  }
  raise_type_error(std::string(sig.display) + " got an unexpected keyword argument '" + utf8_of(key) + "'");
  return false;
}

bool check_required(const Signature &sig, PyObject **slots) {
  std::vector<const char *> missing;
  for (size_t i = 0; i < sig.required; ++i)
    if (slots[i] == nullptr) missing.push_back(sig.names[i]);
  if (missing.empty()) return true;
  // CPython's joining: 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
  std::string names;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    names += std::string("'") + missing[i] + "'";
  }
  raise_type_error(std::string(sig.display) + " missing " + std::to_string(missing.size()) + " required positional " +
                   (missing.size() == 1 ? "argument" : "arguments") + ": " + names);
  return false;
}

}  // namespace

bool bind_fastcall(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   PyObject **slots) {
  const size_t n = sig.names.size();
  for (size_t i = 0; i < n; ++i) slots[i] = nullptr;
  if (static_cast<size_t>(nargs) > n) return too_many_positional(sig, static_cast<size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nk = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nk; ++k)
      if (!place_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], slots)) return false;
  }
  return check_required(sig, slots);
}

bool bind_tuple(const Signature &sig, PyObject *args, PyObject *kwargs, PyObject **slots) {
  const size_t n = sig.names.size();
  for (size_t i = 0; i < n; ++i) slots[i] = nullptr;
  const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
  if (static_cast<size_t>(nargs) > n) return too_many_positional(sig, static_cast<size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      if (!place_keyword(sig, key, value, slots)) return false;
  }
  return check_required(sig, slots);
}

// ---------------------------------------------------------------------------

void raise_type_mismatch(PyObject *o, const char *target) {
  if (o == Py_None)
    raise_type_error(std::string("'None' is not an instance of '") + target + "'");
  else
    raise_type_error("'" + qualname_of(o) + "' object is not an instance of '" + target + "'");
}

namespace {

// Integer as a C long, the way the interpreter reads it (with __index__).
bool as_long(PyObject *o, long *out) {
  const long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool out_of_range(bool too_small) {
  PyErr_SetString(PyExc_OverflowError,
                  too_small ? "number too small to fit in target type" : "number too large to fit in target type");
  return false;
}

}  // namespace

bool conv_u32(PyObject *o, uint32_t *out) {
  long v;
  if (!as_long(o, &v)) return false;
  if (v < 0) return out_of_range(true);
  if (static_cast<unsigned long>(v) > 0xFFFFFFFFul) return out_of_range(false);
  *out = static_cast<uint32_t>(v);
  return true;
}

bool conv_i32(PyObject *o, int32_t *out) {
  long v;
  if (!as_long(o, &v)) return false;
  if (v < INT32_MIN) return out_of_range(true);
  if (v > INT32_MAX) return out_of_range(false);
  *out = static_cast<int32_t>(v);
  return true;
}

bool conv_u64(PyObject *o, uint64_t *out) {
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

bool check_dimacs(int32_t d) {
  if (d != 0) return true;
  raise_value_error("0 is not a DIMACS literal (it terminates a clause)");
  return false;
}

bool conv_f64(PyObject *o, double *out) {
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

namespace {

// NumPy's boolean scalar (numpy.bool / numpy.bool_), recognised by its
// type's module and name so that NumPy need not be imported.
bool is_numpy_bool(PyObject *o) {
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

}  // namespace

bool conv_bool(PyObject *o, bool *out) {
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

bool conv_text(PyObject *o, std::string *out) {
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

bool is_sequence_abc(PyObject *o) {
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

bool check_sequence(PyObject *o) {
  if (PyUnicode_Check(o)) {
    raise_type_error("Can't extract `str` to `Vec`");
    return false;
  }
  if (PySequence_Check(o)) return true;
  if (is_sequence_abc(o)) return true;
  if (!PyErr_Occurred()) raise_type_mismatch(o, "Sequence");
  return false;
}

bool conv_u32_seq(PyObject *o, std::vector<uint32_t> *out) {
  out->clear();
  return for_each_item(o, [&](PyObject *item) {
    uint32_t v;
    if (!conv_u32(item, &v)) return false;
    out->push_back(v);
    return true;
  });
}

bool conv_bool_seq(PyObject *o, std::vector<bool> *out) {
  out->clear();
  return for_each_item(o, [&](PyObject *item) {
    bool v;
    if (!conv_bool(item, &v)) return false;
    out->push_back(v);
    return true;
  });
}

bool conv_u32_seq_seq(PyObject *o, std::vector<std::vector<uint32_t>> *out) {
  out->clear();
  return for_each_item(o, [&](PyObject *item) {
    out->emplace_back();
    return conv_u32_seq(item, &out->back());
  });
}

// ---------------------------------------------------------------------------

void add_note(const char *note) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  if (value != nullptr) {
    Ref r(PyObject_CallMethod(value, "add_note", "s", note));
    if (!r) PyErr_Clear();  // interpreters without add_note: no note
  }
  PyErr_Restore(type, value, tb);
}

void add_note_processing(const char *name) {
  const std::string note = std::string("while processing '") + name + "'";
  add_note(note.c_str());
}

// ---------------------------------------------------------------------------

PyObject *new_bool_list(const std::vector<bool> &v) {
  return glue::new_list(v.size(), [&](size_t i) { return to_py(static_cast<bool>(v[i])); });
}

PyObject *new_u32_list(const uint32_t *p, size_t n) {
  return glue::new_list(n, [&](size_t i) { return to_py(p[i]); });
}

PyObject *new_proof_list(const std::vector<ProofStep> &steps, ProofKind kind) {
  Ref add(PyUnicode_FromString("a")), del(PyUnicode_FromString("d"));
  if (!add || !del) return nullptr;
  Ref list(PyList_New(static_cast<Py_ssize_t>(steps.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < steps.size(); ++i) {
    const ProofStep &s = steps[i];
    Ref lits(glue::new_list(s.lits.size(), [&](size_t k) { return to_py(to_dimacs(s.lits[k])); }));
    if (!lits) return nullptr;
    PyObject *pair = PyTuple_New(2);
    if (pair == nullptr) return nullptr;
    PyTuple_SetItem(pair, 0,
                    kind == ProofKind::Flag ? PyBool_FromLong(s.deletion) : Py_NewRef(s.deletion ? del.get() : add.get()));
    PyTuple_SetItem(pair, 1, lits.release());
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

// ---------------------------------------------------------------------------

namespace {

PyObject *panic_type() {
  static PyObject *type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "quillon_native.PanicException",
        "An internal failure of the native engine (a broken invariant).\n\n"
        "Derives from BaseException so that `except Exception` does not hide it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace

void raise_panic(const char *msg, const char *file, int line) {
  std::fprintf(stderr, "quillon_native: internal failure at %s:%d:\n%s\n", file, line, msg);
  std::fflush(stderr);
  PyObject *t = panic_type();
  if (t == nullptr) return;  // exception from creating the type is set
  PyErr_SetString(t, msg);
}

void refuse_borrow(PyObject *, bool exclusive) {
  PyErr_SetString(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
}

}  // namespace qn::py
