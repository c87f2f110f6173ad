// solver_defaults(): every Solver option with its default, in keyword order
// ({name: value}), from the one list of options (solver/config.hpp); the
// command builds its flags from it without importing the solver module.
#include <Python.h>

#include <string_view>

#include "cli/module.hpp"
#include "cli/py_glue.hpp"
#include "solver/config.hpp"

namespace qn::cli {
namespace {

PyObject *value(bool v) { return PyBool_FromLong(v); }
PyObject *value(uint32_t v) { return PyLong_FromUnsignedLong(v); }
PyObject *value(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject *value(double v) { return PyFloat_FromDouble(v); }
template <class E>
PyObject *value(E v) {
  const std::string_view s = spelling(v);
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject *solver_defaults(PyObject *, PyObject *) {
  const Config d;
  Owned out(PyDict_New());
  if (out.p == nullptr) return nullptr;
#define QN_PUT_DEFAULT(name, type, def)                                                  \
  {                                                                                      \
    Owned v(value(d.name));                                                              \
    if (v.p == nullptr || PyDict_SetItemString(out.p, #name, v.p) < 0) return nullptr;   \
  }
  QN_SOLVER_OPTIONS(QN_PUT_DEFAULT)
#undef QN_PUT_DEFAULT
  return out.release();
}

PyMethodDef option_functions[] = {
    {"solver_defaults", entry<solver_defaults>, METH_NOARGS,
     "solver_defaults()\n--\n\nEvery Solver option with its default, in keyword order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_option_functions(PyObject *module) {
  if (PyModule_AddStringConstant(module, "__version__", QN_VERSION) < 0) return -1;
  return PyModule_AddFunctions(module, option_functions);
}

}  // namespace qn::cli
