// The way to the Python front end, for every command line the native one
// leaves to it: `PYTHON -P -m quillon_native_cli ARGS...` in place of this
// process, before any input is read.
#pragma once

namespace qn::cli {

// Runs the Python front end with this process's arguments; returns only
// when no interpreter can be started (after saying so).
int run_python_front_end(int argc, char **argv);

}  // namespace qn::cli
