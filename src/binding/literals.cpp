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

// A function of the one literal argument `l`: F(l) as a Python value.
template <auto F>
PyObject *of_lit(PyObject **s) {
  Lit l = 0;
  return arg(s[0], "l", conv_u32, &l) ? to_py(F(l)) : nullptr;
}

PyObject *mk_lit_of(PyObject **s) {
  Var v = 0;
  bool negated = false;
  if (!arg(s[0], "v", conv_u32, &v) || !arg(s[1], "negated", conv_bool, &negated)) return nullptr;
  return to_py(mk_lit(v, negated));  // 32-bit: wraps
}

PyObject *from_dimacs_of(PyObject **s) {
  int32_t d = 0;
  if (!arg(s[0], "d", conv_i32, &d) || !check_dimacs(d)) return nullptr;
  return to_py(from_dimacs(d));
}

PyMethodDef literal_functions[] = {
    {"neg", QN_FASTCALL((fast_function<sig_neg, of_lit<neg>>)), "neg(l)\n--\n\n"},
    {"var_of", QN_FASTCALL((fast_function<sig_var_of, of_lit<var_of>>)), "var_of(l)\n--\n\n"},
    {"is_neg", QN_FASTCALL((fast_function<sig_is_neg, of_lit<is_neg>>)), "is_neg(l)\n--\n\n"},
    {"mk_lit", QN_FASTCALL((fast_function<sig_mk_lit, mk_lit_of>)), "mk_lit(v, negated=False)\n--\n\n"},
    {"from_dimacs", QN_FASTCALL((fast_function<sig_from_dimacs, from_dimacs_of>)), "from_dimacs(d)\n--\n\n"},
    {"to_dimacs", QN_FASTCALL((fast_function<sig_to_dimacs, of_lit<to_dimacs>>)), "to_dimacs(l)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_literal_functions(PyObject *module) { return PyModule_AddFunctions(module, literal_functions); }

}  // namespace qn::py
