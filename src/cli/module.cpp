// The module object of quillon_native_cli._scan; what it holds comes from
// the glue files listed in kParts.
#include "cli/module.hpp"

namespace qn::cli {
namespace {

using AddPart = int (*)(PyObject *);
constexpr AddPart kParts[] = {add_scan_functions, add_stop_functions, add_formula_type,     add_runner_type,
                               add_check_type,     add_clause_feed_type, add_option_functions, add_memory_function,
                               add_plan_function};

int exec_module(PyObject *module) {
  for (AddPart add : kParts) {
    if (add(module) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef scan_module = {
    PyModuleDef_HEAD_INIT,
    "quillon_native_cli._scan",  // m_name
    "Native inner loops of the DIMACS and DRAT readers.",
    0,        // m_size
    nullptr,  // m_methods: added by the exec slot
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace qn::cli

PyMODINIT_FUNC PyInit__scan(void) { return PyModuleDef_Init(&qn::cli::scan_module); }
