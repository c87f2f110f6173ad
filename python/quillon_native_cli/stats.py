"""The counters the command line shows: one table each, in the order shown.

Each entry is (attribute, label): the attribute of `quillon_native.Solver`
(or `Preprocessor`) and the words printed for it.  The tables are the
native module's (src/cli/solve_defaults.hpp), which the native front end
prints from too.
"""
from quillon_native_cli._scan import PREP_COUNTERS as PREPROCESSOR, SOLVER_COUNTERS as SOLVER

SOLVER_NAMES = tuple(name for name, _ in SOLVER)
PREPROCESSOR_NAMES = tuple(name for name, _ in PREPROCESSOR)
