// Placeholder until the checker lands.
#include "module.hpp"

namespace qn::py {
const char doc_check_proof[] =
    "check_proof(nvars, clauses, steps, check_rat=True, apply_deletions=True)\n--\n\n"
    "Check a DRAT proof against a formula.\n\n"
    "Returns the same shape `quillon.proof.CheckResult` carries, so the Python\n"
    "wrapper can present one interface over either implementation.";
PyObject *fn_check_proof(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
  PyErr_SetString(PyExc_NotImplementedError, "check_proof");
  return nullptr;
}
}  // namespace qn::py
