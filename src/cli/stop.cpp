// stop_on_signals() and stop_requested(): the stop flags (stop.hpp) for Python.
#include "cli/stop.hpp"

#include <Python.h>

#include <cerrno>

#include "cli/module.hpp"
#include "cli/py_glue.hpp"

namespace qn::cli {
namespace {

PyObject *stop_on_signals(PyObject *, PyObject *) {
  if (const int e = catch_stop_signals()) {
    errno = e;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  Py_RETURN_NONE;
}

PyObject *stop_requested(PyObject *, PyObject *) { return PyBool_FromLong(stop_flag()->load()); }

// A race of runners on threads is decided: the others stop at their next conflict.
PyObject *request_stop(PyObject *, PyObject *) {
  stop_flag()->store(true);
  Py_RETURN_NONE;
}

PyMethodDef stop_functions[] = {
    {"stop_on_signals", entry<stop_on_signals>, METH_NOARGS,
     "stop_on_signals()\n--\n\nFrom now on SIGINT and SIGTERM ask the runners' searches to stop."},
    {"stop_requested", entry<stop_requested>, METH_NOARGS, "stop_requested()\n--\n\nWhether a stop was requested."},
    {"request_stop", entry<request_stop>, METH_NOARGS, "request_stop()\n--\n\nAsk the runners' searches to stop."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_stop_functions(PyObject *module) { return PyModule_AddFunctions(module, stop_functions); }

}  // namespace qn::cli
