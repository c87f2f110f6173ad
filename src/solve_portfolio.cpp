// Placeholder until the portfolio lands.
#include "module.hpp"

namespace qn::py {
const char doc_solve_portfolio[] =
    "solve_portfolio(nvars, clauses, configs, alt=None, alt_threads=0, want_proof=False)\n--\n\n"
    "Run a threaded portfolio over one formula and return the first answer.\n\n"
    "Releases the GIL for the duration: without that the Python interpreter lock\n"
    "would be held across the whole solve and the threads would serialise, which\n"
    "would make the entire exercise pointless.";
PyObject *fn_solve_portfolio(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
  PyErr_SetString(PyExc_NotImplementedError, "solve_portfolio");
  return nullptr;
}
}  // namespace qn::py
