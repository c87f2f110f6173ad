// Placeholder until the Preprocessor class lands.
#include "module.hpp"

namespace qn::py {
int add_preprocessor_type(PyObject *) { return 0; }
}  // namespace qn::py
