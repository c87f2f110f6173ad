"""The counters the command line shows: one table each, in the order shown.

Each entry is (attribute, label): the attribute of `quillon_native.Solver`
(or `Preprocessor`) and the words printed for it.
"""
SOLVER = (
    ("conflicts", "conflicts"),
    ("decisions", "decisions"),
    ("propagations", "propagations"),
    ("restarts", "restarts"),
    ("blocked_restarts", "blocked_restarts"),
    ("learned", "learned"),
    ("learned_lits", "learned_lits"),
    ("minimized_lits", "minimized_lits"),
    ("reductions", "reductions"),
    ("deleted", "deleted"),
    ("max_trail", "max_trail"),
)
PREPROCESSOR = (
    ("units", "units"),
    ("subsumed", "subsumed"),
    ("strengthened", "strengthened"),
    ("eliminated_vars", "eliminated vars"),
    ("resolvents", "resolvents"),
    ("pure", "pure"),
)
SOLVER_NAMES = tuple(name for name, _ in SOLVER)
PREPROCESSOR_NAMES = tuple(name for name, _ in PREPROCESSOR)
