// quillon_native_cli._scan: the command line package's native module.  Each
// glue file contributes its functions or types through one `add_*` entry
// listed in module.cpp.
#pragma once

#include <Python.h>

namespace qn::cli {

int add_scan_functions(PyObject *module);  // scan.cpp: the readers' inner loops
int add_runner(PyObject *module);          // runner_glue.cpp: Formula, Runner, stop requests

}  // namespace qn::cli
