"""The `quillon-native` command: solve, check and batch-run CNF formulas with quillon_native."""


def __getattr__(name):
    # solve_formula imports the solver module: only for those who ask for it.
    if name == "solve_formula":
        from quillon_native_cli.api import solve_formula
        return solve_formula
    raise AttributeError(f"module 'quillon_native_cli' has no attribute {name!r}")
