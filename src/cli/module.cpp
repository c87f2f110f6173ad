// The module object of quillon_native_cli._scan: what it holds comes from
// the glue files' parts, its classes are kept in its state.
#include "cli/module.hpp"

namespace qn::cli {
namespace {

int exec_module(PyObject *module) {
  return glue::run_parts(module, {add_scan_functions, add_stop_functions, add_formula_type, add_runner_type,
                                  add_check_type, add_clause_feed_type, add_option_functions, add_plan_function});
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef scan_module =
    glue::module_def<State>("quillon_native_cli._scan", "Native inner loops of the DIMACS and DRAT readers.", module_slots);

}  // namespace
}  // namespace qn::cli

PyMODINIT_FUNC PyInit__scan(void) { return PyModuleDef_Init(&qn::cli::scan_module); }
