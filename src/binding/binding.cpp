// Argument binding, results and errors (see binding.hpp).
#include "binding/binding.hpp"

#include <cstdio>

namespace qn::py {

namespace {

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

// Clears the slots and places the positional arguments, arg(i) for i < nargs.
template <class Arg>
bool place_positional(const Signature &sig, size_t nargs, Arg &&arg, PyObject **slots) {
  for (size_t i = 0; i < sig.names.size(); ++i) slots[i] = nullptr;
  if (nargs > sig.names.size()) return too_many_positional(sig, nargs);
  for (size_t i = 0; i < nargs; ++i) slots[i] = arg(i);
  return true;
}

}  // namespace

bool bind_fastcall(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   PyObject **slots) {
  const auto n = static_cast<size_t>(nargs);
  if (!place_positional(sig, n, [&](size_t i) { return args[i]; }, slots)) return false;
  for (Py_ssize_t k = 0; kwnames != nullptr && k < PyTuple_Size(kwnames); ++k)
    if (!place_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], slots)) return false;
  return check_required(sig, slots);
}

bool bind_tuple(const Signature &sig, PyObject *args, PyObject *kwargs, PyObject **slots) {
  const auto n = static_cast<size_t>(args ? PyTuple_Size(args) : 0);
  if (!place_positional(sig, n, [&](size_t i) { return PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)); }, slots))
    return false;
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value))
    if (!place_keyword(sig, key, value, slots)) return false;
  return check_required(sig, slots);
}

// ---------------------------------------------------------------------------

bool check_dimacs(int32_t d) {
  if (d != 0) return true;
  raise_value_error("0 is not a DIMACS literal (it terminates a clause)");
  return false;
}

PyObject *new_bool_list(const std::vector<bool> &v) {
  return new_list(v.size(), [&](size_t i) { return to_py(static_cast<bool>(v[i])); });
}

PyObject *new_u32_list(const uint32_t *p, size_t n) {
  return new_list(n, [&](size_t i) { return to_py(p[i]); });
}

PyObject *new_proof_list(const std::vector<ProofStep> &steps, ProofKind kind) {
  Ref add(to_py("a")), del(to_py("d"));
  if (!add || !del) return nullptr;
  return new_list(steps.size(), [&](size_t i) {
    const ProofStep &s = steps[i];
    PyObject *tag = kind == ProofKind::Flag ? to_py(s.deletion) : Py_NewRef(s.deletion ? del.get() : add.get());
    return new_tuple(tag, new_list(s.lits.size(), [&](size_t k) { return to_py(to_dimacs(s.lits[k])); }));
  });
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
