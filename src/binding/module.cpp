// Module entry: multi-phase initialisation with one execution slot that
// adds, in order, the doc, the version, the three classes and the eight
// functions, stopping at the first failure.
#include "binding/module.hpp"

namespace qn::py {
namespace {

PyMethodDef module_functions[] = {
    {"solve_portfolio", QN_FASTCALL(fn_solve_portfolio), doc_solve_portfolio},
    {"check_proof", QN_FASTCALL(fn_check_proof), doc_check_proof},
    {"neg", QN_FASTCALL(fn_neg), "neg(l)\n--\n\n"},
    {"var_of", QN_FASTCALL(fn_var_of), "var_of(l)\n--\n\n"},
    {"is_neg", QN_FASTCALL(fn_is_neg), "is_neg(l)\n--\n\n"},
    {"mk_lit", QN_FASTCALL(fn_mk_lit), "mk_lit(v, negated=False)\n--\n\n"},
    {"from_dimacs", QN_FASTCALL(fn_from_dimacs), "from_dimacs(d)\n--\n\n"},
    {"to_dimacs", QN_FASTCALL(fn_to_dimacs), "to_dimacs(l)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int add_string(PyObject *module, const char *name, const char *value) {
  PyObject *s = PyUnicode_FromString(value);
  if (s == nullptr) return -1;
  if (PyModule_AddObject(module, name, s) < 0) {
    Py_DECREF(s);
    return -1;
  }
  return 0;
}

int exec_module(PyObject *module) {
  if (add_string(module, "__doc__", "Native engine for quillon (clause arena + CDCL search core)") < 0) return -1;
  if (add_string(module, "__version__", QN_VERSION) < 0) return -1;
  if (add_clause_db_type(module) < 0) return -1;
  if (add_solver_type(module) < 0) return -1;
  if (add_preprocessor_type(module) < 0) return -1;
  if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quillon_native",  // m_name
    nullptr,           // m_doc: set as an attribute by the exec slot
    0,                 // m_size
    nullptr,           // m_methods: functions are added by the exec slot
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace qn::py

PyMODINIT_FUNC PyInit_quillon_native(void) { return PyModuleDef_Init(&qn::py::module_def); }
