// neg, var_of, is_neg, mk_lit, to_dimacs, from_dimacs.
#include "binding/module.hpp"

namespace qn::py {

namespace {

const Signature sig_neg{"neg()", {"l"}, 1};
const Signature sig_var_of{"var_of()", {"l"}, 1};
const Signature sig_is_neg{"is_neg()", {"l"}, 1};
const Signature sig_mk_lit{"mk_lit()", {"v", "negated"}, 1};
const Signature sig_to_dimacs{"to_dimacs()", {"l"}, 1};
const Signature sig_from_dimacs{"from_dimacs()", {"d"}, 1};

// Binds the single literal argument `l` of the one-argument helpers.
bool one_lit(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kw, Lit *l) {
  PyObject *slots[1];
  return bind_fastcall(sig, args, nargs, kw, slots) && arg(slots[0], "l", conv_u32, l);
}

}  // namespace

PyObject *fn_neg(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
  Lit l;
  if (!one_lit(sig_neg, args, nargs, kw, &l)) return nullptr;
  return PyLong_FromUnsignedLong(neg(l));
}

PyObject *fn_var_of(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
  Lit l;
  if (!one_lit(sig_var_of, args, nargs, kw, &l)) return nullptr;
  return PyLong_FromUnsignedLong(var_of(l));
}

PyObject *fn_is_neg(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
  Lit l;
  if (!one_lit(sig_is_neg, args, nargs, kw, &l)) return nullptr;
  return PyBool_FromLong(is_neg(l));
}

PyObject *fn_mk_lit(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
  PyObject *slots[2];
  Var v;
  bool negated = false;
  if (!bind_fastcall(sig_mk_lit, args, nargs, kw, slots) || !arg(slots[0], "v", conv_u32, &v) ||
      !arg(slots[1], "negated", conv_bool, &negated))
    return nullptr;
  return PyLong_FromUnsignedLong(mk_lit(v, negated));  // 32-bit: wraps
}

PyObject *fn_to_dimacs(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
  Lit l;
  if (!one_lit(sig_to_dimacs, args, nargs, kw, &l)) return nullptr;
  return PyLong_FromLongLong(to_dimacs(l));
}

PyObject *fn_from_dimacs(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
  PyObject *slots[1];
  int32_t d;
  if (!bind_fastcall(sig_from_dimacs, args, nargs, kw, slots) || !arg(slots[0], "d", conv_i32, &d)) return nullptr;
  if (!check_dimacs(d)) return nullptr;
  return PyLong_FromUnsignedLong(from_dimacs(d));
}

}  // namespace qn::py
