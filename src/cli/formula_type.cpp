// Formula(nvars=0): feed(block, limit, tail), add_clause(lits) and
// add_dimacs(clause) keep clauses; nvars (settable) and nclauses.
#include "cli/formula_type.hpp"

#include "cli/module.hpp"
#include "cli/py_glue.hpp"

namespace qn::cli {

namespace {

PyObject *formula_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  uint32_t nvars = 0;
  static const char *kw[] = {"nvars", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|I:Formula", const_cast<char **>(kw), &nvars)) return nullptr;
  auto *o = new FormulaState();
  o->nvars = nvars;
  return glue::box_alloc(type, o);
}

// falsified(model) -> the index of the first clause that the model (bytes,
// a 0/1 byte per variable) leaves without a true literal, or None.
PyObject *formula_falsified(FormulaState &o, PyObject *model) {
  char *data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(model, &data, &size) < 0) return nullptr;
  const int64_t i = first_falsified(o.f, data, static_cast<size_t>(size));
  if (i < 0) Py_RETURN_NONE;
  return to_py(i);
}

int formula_set_nvars(PyObject *self, PyObject *value, void *) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "nvars cannot be deleted");
    return -1;
  }
  PyObject *r = glue::with_native<kPolicy, FormulaState, glue::kExclusive>(self, [&](FormulaState &o) -> PyObject * {
    const unsigned long v = PyLong_AsUnsignedLong(value);
    if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    o.nvars = static_cast<uint32_t>(v);
    return Py_None;
  });
  return r == nullptr ? -1 : 0;
}

PyMethodDef formula_methods[] = {
    QN_CLAUSE_INPUT(FormulaState, "Keep"),
    {"add_dimacs", method<FormulaState, add_dimacs<FormulaState>>, METH_O,
     "add_dimacs(clause)\n--\n\nKeep a list of plain DIMACS literals; its largest variable, or -1: not kept."},
    {"falsified", method<FormulaState, formula_falsified>, METH_O,
     "falsified(model)\n--\n\nThe first clause the model (a 0/1 byte per variable) falsifies, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef formula_getset[] = {
    {"nclauses", prop<FormulaState, [](FormulaState &o) { return uint64_t{o.f.size()}; }>, nullptr, nullptr, nullptr},
    {"nvars", prop<FormulaState, [](FormulaState &o) { return o.nvars; }>, formula_set_nvars, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int add_formula_type(PyObject *module) {
  return add_class<FormulaState>(module, kFormulaType,
                                 {.name = "quillon_native_cli._scan.Formula",
                                  .doc = "Formula(nvars=0)\n--\n\nClauses of internal literals, kept natively.",
                                  .make = make<formula_new>, .methods = formula_methods, .getset = formula_getset});
}

}  // namespace qn::cli
