// Placeholder until the Solver class lands.
#include "module.hpp"

namespace qn::py {
int add_solver_type(PyObject *) { return 0; }
}  // namespace qn::py
