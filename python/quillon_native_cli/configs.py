"""Named solver configurations.

`CONFIGS` maps a name to the `quillon_native.Solver` keyword options that
differ from the defaults: `solve --config NAME` runs one of them alone, the
auto strategy (plan.cpp) runs several in turns, and `solve --portfolio N`
and `race` take the first N of `PORTFOLIO_ORDER`.  `full(name)` gives the complete option set that
`solve_portfolio` wants (every option present).
"""
from quillon_native_cli._scan import NAMED_CONFIGS, PORTFOLIO_ORDER as _ORDER, PREP_ROUNDS  # noqa: F401
from quillon_native_cli.options import parse_value, solver_defaults

# The table is the native module's (src/cli/solve_defaults.hpp), which the
# native front end reads too: each value written as Python writes it.
CONFIGS = {name: {k: parse_value(v) for k, _, v in (item.partition("=") for item in spec.split(",") if item)}
           for name, spec in NAMED_CONFIGS}

# The order in which `solve --portfolio N` and `race` take configurations:
# the first N together solve the most of the measured corpus (bench/simulate.py).
PORTFOLIO_ORDER = list(_ORDER)


def full(name):
    """Every Solver option for configuration `name` (defaults filled in)."""
    opts = solver_defaults()
    opts.update(CONFIGS[name])
    return opts
