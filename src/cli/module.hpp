// quillon_native_cli._scan: the command line package's native module.  Each
// glue file contributes its functions or types through one `add_*` part
// listed in module.cpp; the module's state keeps its classes.
#pragma once

#include "cli/py_glue.hpp"

namespace qn::cli {

int add_scan_functions(PyObject *module);      // scan.cpp: the readers' inner loops
int add_stop_functions(PyObject *module);      // stop.cpp: stop requests by signal
int add_formula_type(PyObject *module);        // formula_type.cpp: Formula
int add_runner_type(PyObject *module);         // runner_type.cpp: Runner
int add_check_type(PyObject *module);          // check_type.cpp: ProofCheck
int add_clause_feed_type(PyObject *module);    // clause_feed_type.cpp: ClauseFeed, socketpair
int add_option_functions(PyObject *module);    // solver_options.cpp: solver_options, solver_memory, __version__
int add_plan_function(PyObject *module);       // plan_call.cpp: run_plan

}  // namespace qn::cli
