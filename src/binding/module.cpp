// Module entry: multi-phase initialisation with one execution slot that
// adds, in order, the doc, the version, the three classes and the eight
// functions, stopping at the first failure.
#include "binding/module.hpp"

namespace qn::py {
namespace {

int add_doc_and_version(PyObject *module) {
  if (PyModule_AddStringConstant(module, "__doc__", "Native engine for quillon (clause arena + CDCL search core)") < 0)
    return -1;
  return PyModule_AddStringConstant(module, "__version__", QN_VERSION);
}

int exec_module(PyObject *module) {
  return glue::run_parts(module, {add_doc_and_version, add_clause_db_type, add_solver_type, add_preprocessor_type,
                                  add_solve_portfolio, add_check_proof, add_literal_functions});
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

// No doc (the exec slot sets it as an attribute), no state, no method table.
PyModuleDef quillon_module = glue::module_def("quillon_native", nullptr, module_slots);

}  // namespace
}  // namespace qn::py

PyMODINIT_FUNC PyInit_quillon_native(void) { return PyModuleDef_Init(&qn::py::quillon_module); }
