// solver_memory(nvars) -> (need, have): the bytes of a solver's tables for
// nvars variables and the machine's physical memory, the two numbers the
// cores' memory guard (core/memory.hpp) compares; the command refuses a
// header whose variables cannot fit at its line, before anything is sized.
#include <Python.h>

#include "cli/module.hpp"
#include "cli/py_glue.hpp"
#include "core/memory.hpp"
#include "solver/solver.hpp"

namespace qn::cli {
namespace {

PyObject *solver_memory(PyObject *, PyObject *arg) {
  const unsigned long long nvars = PyLong_AsUnsignedLongLong(arg);
  if (nvars == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  return Py_BuildValue("KK", static_cast<unsigned long long>(Solver::table_bytes(nvars)),
                       static_cast<unsigned long long>(physical_memory()));
}

PyMethodDef memory_functions[] = {
    {"solver_memory", entry<solver_memory>, METH_O,
     "solver_memory(nvars)\n--\n\n(bytes of a solver's tables for nvars variables, physical memory in bytes)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_memory_function(PyObject *module) { return PyModule_AddFunctions(module, memory_functions); }

}  // namespace qn::cli
