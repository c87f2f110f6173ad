"""Named solver configurations.

`CONFIGS` maps a name to the `quillon_native.Solver` keyword options that
differ from the defaults: `solve --config NAME` runs one of them alone, the
auto strategy (plan.cpp) runs several in turns, and `solve --portfolio N`
and `race` take the first N of `PORTFOLIO_ORDER`.  `full(name)` gives the complete option set that
`solve_portfolio` wants (every option present).
"""
from quillon_native_cli.options import solver_defaults

try:  # the preprocessor's default rounds, which `solve --preprocess` and auto's probe run
    from quillon_native_cli._scan import PREP_ROUNDS
except ImportError:  # not built (a build folder): the module Preprocessor.run's default
    PREP_ROUNDS = 3

CONFIGS = {
    "default": {},
    "glucose": {"restart": "glucose"},
    "minisat": {"target_phase": False, "var_decay": 0.95, "walk_patience": 0, "luby_base": 100.0},
    "random": {"rnd_freq": 0.02, "rnd_seed": 7},
    "stable": {"luby_base": 512.0, "target_reset": 4, "walk_interval": 2},
    "glucose-random": {"restart": "glucose", "rnd_freq": 0.01, "rnd_seed": 123456789, "init_phase": True},
    "no-walk": {"walk_patience": 0, "block_restart": False, "glue_keep": 3},
    "basic-min": {"ccmin": "basic", "first_reduce": 4000, "reduce_inc": 600, "rnd_seed": 4242},
    # glucose-random's phases and random decisions without restarts or target
    # phase: the pigeonhole solver of auto's at-most-one plan
    "no-restart": {"restart": "none", "target_phase": False, "rnd_freq": 0.01, "rnd_seed": 123456789,
                   "init_phase": True},
}


# The order in which `solve --portfolio N` and `race` take configurations:
# the first N together solve the most of the measured corpus (bench/simulate.py).
PORTFOLIO_ORDER = ["default", "glucose-random", "glucose", "minisat", "stable", "no-walk", "random", "basic-min", "no-restart"]
assert sorted(PORTFOLIO_ORDER) == sorted(CONFIGS)


def full(name):
    """Every Solver option for configuration `name` (defaults filled in)."""
    opts = solver_defaults()
    opts.update(CONFIGS[name])
    return opts
