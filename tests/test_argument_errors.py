# Every argument error of the module, one table: the exception's type, its
# text where the module fixes it, and the note naming the argument being
# converted ("while processing 'lits'").  Each call runs on a fresh subject
# (nothing, a Solver, a Preprocessor) that must still work afterwards.
import pytest

import quillon_native as qn
from oracles import DEFAULTS

ZERO = "0 is not a DIMACS literal (it terminates a clause)"
LUBY = "luby_base must be a positive number, got "


def pf(*args, **kwargs):  # one variable, [[0]], then the arguments given
    return qn.solve_portfolio(1, [[0]], *args, **kwargs)


def cfg(**changes):
    return dict(DEFAULTS, **changes)


def cp(args, kwargs):
    return lambda _: qn.check_proof(*args, **kwargs)


def fresh_solver():
    return qn.Solver(2)


def solver_still_works(s):
    s.enable_proof()  # the failed call did not count as a start
    assert s.add_clause([0, 2]) and s.solve() is True


def fresh_preprocessor():
    p = qn.Preprocessor()
    p.add_clause([0, 2])
    return p


def preprocessor_unchanged(p):
    assert p.reduced() == [[0, 2]] and p.run() is True


SUBJECTS = {
    None: (lambda: None, lambda _: None),
    "solver": (fresh_solver, solver_still_works),
    "prep": (fresh_preprocessor, preprocessor_unchanged),
}

ERRORS = [
    # literal helpers and ClauseDb
    (None, lambda _: qn.neg(), TypeError, "neg() missing 1 required positional argument: 'l'", None),
    (None, lambda _: qn.mk_lit(), TypeError, "mk_lit() missing 1 required positional argument: 'v'", None),
    (None, lambda _: qn.check_proof(1), TypeError,
     "check_proof() missing 2 required positional arguments: 'clauses' and 'steps'", None),
    (None, lambda _: qn.neg(1, 2), TypeError, "neg() takes 1 positional arguments but 2 were given", None),
    (None, lambda _: qn.mk_lit(1, True, 3), TypeError, "mk_lit() takes from 1 to 2 positional arguments but 3 were given",
     None),
    (None, lambda _: qn.neg(x=1), TypeError, "neg() got an unexpected keyword argument 'x'", None),
    (None, lambda _: qn.mk_lit(1, v=2), TypeError, "mk_lit() got multiple values for argument 'v'", None),
    (None, lambda _: qn.ClauseDb(1, 2), TypeError, "ClauseDb.__new__() takes from 0 to 1 positional arguments but 2 were "
     "given", None),
    (None, lambda _: qn.ClauseDb(n=1), TypeError, "ClauseDb.__new__() got an unexpected keyword argument 'n'", None),
    (None, lambda _: qn.ClauseDb().clause(), TypeError, "ClauseDb.clause() missing 1 required positional argument: 'i'",
     None),
    (None, lambda _: qn.from_dimacs(0), ValueError, ZERO, None),
    (None, lambda _: qn.neg(-1), OverflowError, "number too small to fit in target type", "l"),
    (None, lambda _: qn.neg(2**32), OverflowError, "number too large to fit in target type", "l"),
    (None, lambda _: qn.neg(2**64), OverflowError, None, "l"),
    (None, lambda _: qn.neg("1"), TypeError, None, "l"),
    (None, lambda _: qn.neg(1.0), TypeError, None, "l"),
    (None, lambda _: qn.mk_lit(1, negated=1), TypeError, "'int' object is not an instance of 'bool'", "negated"),
    (None, lambda _: qn.mk_lit(1, None), TypeError, "'None' is not an instance of 'bool'", "negated"),
    (None, lambda _: qn.from_dimacs(2**31), OverflowError, "number too large to fit in target type", "d"),
    (None, lambda _: qn.from_dimacs(-2**31 - 1), OverflowError, "number too small to fit in target type", "d"),
    (None, lambda _: qn.ClauseDb(-1), OverflowError, "number too small to fit in target type", "nvars"),
    (None, lambda _: qn.ClauseDb().add_clause("abc"), TypeError, "Can't extract `str` to `Vec`", "lits"),
    (None, lambda _: qn.ClauseDb().add_clause(5), TypeError, "'int' object is not an instance of 'Sequence'", "lits"),
    (None, lambda _: qn.ClauseDb().add_clause(None), TypeError, "'None' is not an instance of 'Sequence'", "lits"),
    (None, lambda _: qn.ClauseDb().add_clause({1: 2}), TypeError, "'dict' object is not an instance of 'Sequence'", "lits"),
    (None, lambda _: qn.ClauseDb().add_clause([1, -1]), OverflowError, "number too small to fit in target type", "lits"),
    (None, lambda _: qn.ClauseDb().add_clause([1, "x"]), TypeError, None, "lits"),
    (None, lambda _: qn.ClauseDb().clause(-1), OverflowError, None, "i"),
    (None, lambda _: qn.ClauseDb().clause(2**64), OverflowError, None, "i"),
    # Solver
    (None, lambda _: qn.Solver(**dict(restart="Luby")), ValueError, 'unknown restart "Luby"', None),
    (None, lambda _: qn.Solver(**dict(restart="x", ccmin="y")), ValueError, 'unknown restart "x"', None),
    (None, lambda _: qn.Solver(**dict(ccmin="fast\n\"\\")), ValueError, 'unknown ccmin "fast\\n\\"\\\\"', None),
    (None, lambda _: qn.Solver(**dict(restart="x", walk_flips=-1)), OverflowError, None, "walk_flips"),
    (None, lambda _: qn.Solver(**dict(ccmin=None)), TypeError, "'None' is not an instance of 'str'", "ccmin"),
    (None, lambda _: qn.Solver(**dict(phase_saving=0)), TypeError, "'int' object is not an instance of 'bool'", "phase_saving"),
    (None, lambda _: qn.Solver(**dict(glue_keep=2 ** 32)), OverflowError, "number too large to fit in target type", "glue_keep"),
    (None, lambda _: qn.Solver(**dict(walk_flips="3")), TypeError, None, "walk_flips"),
    (None, lambda _: qn.Solver(**dict(luby_base=0)), ValueError, LUBY + "0.0", None),
    (None, lambda _: qn.Solver(**dict(luby_base=-2.5)), ValueError, LUBY + "-2.5", None),
    (None, lambda _: qn.Solver(**dict(luby_base=float("nan"))), ValueError, LUBY + "nan", None),
    # the value reads as Python writes it
    (None, lambda _: qn.Solver(**dict(luby_base=-2.5e10)), ValueError, LUBY + "-25000000000.0", None),
    (None, lambda _: qn.Solver(**dict(luby_base=-1e16)), ValueError, LUBY + "-1e+16", None),
    (None, lambda _: qn.Solver(**dict(luby_base=-1e-5)), ValueError, LUBY + "-1e-05", None),
    (None, lambda _: qn.Solver(**dict(luby_base=-0.1)), ValueError, LUBY + "-0.1", None),
    (None, lambda _: qn.Solver(**dict(luby_base=-float("inf"))), ValueError, LUBY + "-inf", None),
    (None, lambda _: qn.Solver(**dict(luby_base=0, ccmin="q")), ValueError, 'unknown ccmin "q"', None),
    (None, lambda _: qn.Solver(**dict(bogus=1)), TypeError, "Solver.__new__() got an unexpected keyword argument 'bogus'", None),
    ("solver", lambda s: s.solve(seconds="1"), TypeError, None, "seconds"),
    ("solver", lambda s: s.solve(max_conflicts=-1), OverflowError, None, "max_conflicts"),
    ("solver", lambda s: s.solve(1, 2, 3), TypeError, None, None),
    # Preprocessor
    ("prep", lambda p: p.add_clause("01"), TypeError, "Can't extract `str` to `Vec`", "lits"),
    ("prep", lambda p: p.add_clause(3), TypeError, "'int' object is not an instance of 'Sequence'", "lits"),
    ("prep", lambda p: p.add_clause([0, -1]), OverflowError, "number too small to fit in target type", "lits"),
    ("prep", lambda p: p.add_clause([2**32]), OverflowError, "number too large to fit in target type", "lits"),
    ("prep", lambda p: p.freeze(None), TypeError, "'NoneType' object cannot be interpreted as an integer", "v"),
    ("prep", lambda p: p.run(-1), OverflowError, "number too small to fit in target type", "rounds"),
    ("prep", lambda p: p.reconstruct([True, 1]), TypeError, "'int' object is not an instance of 'bool'", "model"),
    ("prep", lambda p: p.reconstruct("TF"), TypeError, "Can't extract `str` to `Vec`", "model"),
    ("prep", lambda p: qn.Preprocessor(do_bve=1), TypeError, "'int' object is not an instance of 'bool'", "do_bve"),
    ("prep", lambda p: qn.Preprocessor(max_resolvent_len=-1), OverflowError, None, "max_resolvent_len"),
    ("prep", lambda p: qn.Preprocessor(with_proof=None), TypeError, "'None' is not an instance of 'bool'", "with_proof"),
    ("prep", lambda p: p.add_clause(), TypeError, "Preprocessor.add_clause() missing 1 required positional argument: 'lits'",
     None),
    ("prep", lambda p: p.run(1, 2), TypeError, "Preprocessor.run() takes from 0 to 1 positional arguments but 2 were given",
     None),
    ("prep", lambda p: p.freeze(v=1, w=2), TypeError, "Preprocessor.freeze() got an unexpected keyword argument 'w'", None),
    ("prep", lambda p: p.reconstruct([], model=[]), TypeError,
     "Preprocessor.reconstruct() got multiple values for argument 'model'", None),
    ("prep", lambda p: qn.Preprocessor(1, True, 20, False, 5), TypeError,
     "Preprocessor.__new__() takes from 0 to 4 positional arguments but 5 were given", None),
    # solve_portfolio
    (None, lambda _: pf(), TypeError, "solve_portfolio() missing 1 required positional argument: 'configs'", None),
    (None, lambda _: pf([], None, 0, False, 7), TypeError,
     "solve_portfolio() takes from 3 to 6 positional arguments but 7 were given", None),
    (None, lambda _: pf([], seed=1), TypeError, "solve_portfolio() got an unexpected keyword argument 'seed'", None),
    (None, lambda _: qn.solve_portfolio(-1, [[0]], []), OverflowError, "number too small to fit in target type", "nvars"),
    (None, lambda _: qn.solve_portfolio(1, [[-1]], []), OverflowError, "number too small to fit in target type", "clauses"),
    (None, lambda _: qn.solve_portfolio(1, "ab", []), TypeError, "Can't extract `str` to `Vec`", "clauses"),
    (None, lambda _: pf("abc"), TypeError, "Can't extract `str` to `Vec`", "configs"),
    (None, lambda _: pf(5), TypeError, "'int' object is not an instance of 'Sequence'", "configs"),
    (None, lambda _: pf(None), TypeError, "'None' is not an instance of 'Sequence'", "configs"),
    (None, lambda _: pf([5]), TypeError, "'int' object is not subscriptable", "configs"),
    (None, lambda _: pf([{k: v for k, v in DEFAULTS.items() if k != "rnd_seed"}]), KeyError, "'rnd_seed'", "configs"),
    (None, lambda _: pf([], alt=[[0], "x"]), TypeError, "Can't extract `str` to `Vec`", "alt"),
    (None, lambda _: pf([], alt_threads=-1), OverflowError, None, "alt_threads"),
    (None, lambda _: pf([], alt_threads=None), TypeError, None, "alt_threads"),
    (None, lambda _: pf([], want_proof=1), TypeError, "'int' object is not an instance of 'bool'", "want_proof"),
    # arguments are converted in order: a bad configs wins over a bad want_proof
    (None, lambda _: pf([cfg(glue_keep=-1)], want_proof=1), TypeError,
     "failed to extract field WorkerConfig.glue_keep", "configs"),
    # a conversion error in a later record wins over an unknown string
    (None, lambda _: pf([cfg(restart="bad"), cfg(glue_keep=-1)]), TypeError,
     "failed to extract field WorkerConfig.glue_keep", "configs"),
    # Option values: every record is read before any string is parsed; then
    # the first bad record wins, and within a record restart before ccmin
    # before luby_base.
    (None, lambda _: pf([cfg(restart="Luby")]), ValueError, 'unknown restart "Luby"', None),
    (None, lambda _: pf([cfg(restart="luby ")]), ValueError, 'unknown restart "luby "', None),
    (None, lambda _: pf([cfg(ccmin='a"b\\\n\t\0\x07')]), ValueError, 'unknown ccmin "a\\"b\\\\\\n\\t\\0\\u{7}"', None),
    (None, lambda _: pf([DEFAULTS, cfg(ccmin="x"), cfg(restart="y")]), ValueError, 'unknown ccmin "x"', None),
    (None, lambda _: pf([cfg(restart="x", ccmin="y", luby_base=0.0)]), ValueError, 'unknown restart "x"', None),
    (None, lambda _: pf([cfg(ccmin="y", luby_base=0.0)]), ValueError, 'unknown ccmin "y"', None),
    (None, lambda _: pf([cfg(luby_base=0.0), cfg(restart="x")]), ValueError,
     "luby_base must be a positive number, got 0.0", None),
    (None, lambda _: pf([DEFAULTS, cfg(luby_base=-2)]), ValueError, "luby_base must be a positive number, got -2.0", None),
    (None, lambda _: pf([cfg(luby_base=float("nan"))]), ValueError, "luby_base must be a positive number, got nan", None),
    # check_proof
    (None, cp((), {}), TypeError, "check_proof() missing 3 required positional arguments: 'nvars', 'clauses', and 'steps'",
     None),
    (None, cp((1, [], [], True, True, 1), {}), TypeError,
     "check_proof() takes from 3 to 5 positional arguments but 6 were given", None),
    (None, cp((1, [], []), {"rat": True}), TypeError, "check_proof() got an unexpected keyword argument 'rat'", None),
    (None, cp((1, [], []), {"nvars": 1}), TypeError, "check_proof() got multiple values for argument 'nvars'", None),
    (None, cp((-1, [], []), {}), OverflowError, "number too small to fit in target type", "nvars"),
    (None, cp((1, "ab", []), {}), TypeError, "Can't extract `str` to `Vec`", "clauses"),
    (None, cp((1, [[0], 5], []), {}), TypeError, "'int' object is not an instance of 'Sequence'", "clauses"),
    (None, cp((1, [[0, -1]], []), {}), OverflowError, "number too small to fit in target type", "clauses"),
    (None, cp((1, [[2**32]], []), {}), OverflowError, "number too large to fit in target type", "clauses"),
    (None, cp((1, [(0, -1)], []), {}), OverflowError, "number too small to fit in target type", "clauses"),
    (None, cp((1, [[1.0]], []), {}), TypeError, "'float' object cannot be interpreted as an integer", "clauses"),
    (None, cp((1, [], "a"), {}), TypeError, "Can't extract `str` to `Vec`", "steps"),
    (None, cp((1, [], 3), {}), TypeError, "'int' object is not an instance of 'Sequence'", "steps"),
    (None, cp((1, [], [[True, [0]]]), {}), TypeError, "'list' object is not an instance of 'tuple'", "steps"),
    (None, cp((1, [], [None]), {}), TypeError, "'None' is not an instance of 'tuple'", "steps"),
    (None, cp((1, [], [(True, [0], 1)]), {}), TypeError,
     "a proof step must be a tuple (is_deletion, lits) of 2 items, got a tuple of 3", "steps"),
    (None, cp((1, [], [(True,)]), {}), TypeError,
     "a proof step must be a tuple (is_deletion, lits) of 2 items, got a tuple of 1", "steps"),
    (None, cp((1, [], [(1, [0])]), {}), TypeError, "'int' object is not an instance of 'bool'", "steps"),
    (None, cp((1, [], [(False, "0")]), {}), TypeError, "Can't extract `str` to `Vec`", "steps"),
    (None, cp((1, [], [(False, [0, -2])]), {}), OverflowError, "number too small to fit in target type", "steps"),
    (None, cp((1, [], [(False, [2**64])]), {}), OverflowError, "Python int too large to convert to C long", "steps"),
    (None, cp((1, [], [(False, (0, 2**32))]), {}), OverflowError, "number too large to fit in target type", "steps"),
    (None, cp((1, [], []), {"check_rat": 1}), TypeError, "'int' object is not an instance of 'bool'", "check_rat"),
    (None, cp((1, [], []), {"apply_deletions": None}), TypeError, "'None' is not an instance of 'bool'", "apply_deletions"),
]


@pytest.mark.parametrize("subject, call, exc, msg, note", ERRORS)
def test_argument_errors(subject, call, exc, msg, note):
    make, still_works = SUBJECTS[subject]
    obj = make()
    with pytest.raises(exc) as info:
        call(obj)
    assert type(info.value) is exc and (msg is None or str(info.value) == msg)
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)
    still_works(obj)
