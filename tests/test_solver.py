# Solver: surface, options, clauses, limits, proofs and the walk switches.
#
# The recorded traces (test_traces.py) pin every counter, model and proof of
# many searches; answers against brute force under many option sets are the
# property tests' part.  Here: exact values of small cases.

import pytest

import quillon_native as qn
from oracles import DEFAULTS, pigeonhole, random_3sat, refutes, solver
from test_traces import STATS

Solver = qn.Solver


def stats(s):
    return [getattr(s, k) for k in STATS]


def test_surface():
    s = Solver(3)
    assert (s.nvars, s.ok, s.model, stats(s)) == (3, True, [], [0] * 11)
    assert repr(s) == "<native.Solver vars=3 conflicts=0>" and Solver().nvars == 0
    assert Solver.__doc__.startswith("The native CDCL search core (Sprint 2).")
    sig = "(nvars=0, " + ", ".join(f"{k}={v!r}".replace("'", '"') for k, v in DEFAULTS.items()) + ")"
    assert Solver.__text_signature__ == sig
    assert Solver.solve.__text_signature__ == "($self, max_conflicts=None, seconds=None)"
    assert Solver.enable_proof.__doc__.startswith("Turn on DRAT proof logging.  Must be called")
    assert Solver.proof_steps.__doc__ == 'The recorded proof as (kind, dimacs_literals) pairs, kind in {"a","d"}.'
    with pytest.raises(AttributeError):
        s.nvars = 3


def test_clauses_and_units():
    s = Solver(2, var_decay=1, walk_interval=0, rnd_freq=2.0, cla_decay=1.5, luby_base=1e-300)  # unchecked values
    assert s.add_clause([0, 2]) and s.solve() is True
    s = Solver(3)
    assert s.add_clause([0, 1]) is True and s.add_clause([0, 0, 2]) is True  # tautology; stored as 0 2
    assert s.check_watch_invariant() == []
    s = Solver(0)
    assert s.add_clause([10]) is True and s.nvars == 6
    s = Solver(1)
    assert s.add_clause([0, 1, 40]) is True and s.nvars == 1  # stops at the tautology
    s = solver(3, [[1, 2], [3, 4]])
    assert s.add_clause([0]) is True and (s.propagations, s.max_trail) == (3, 3)  # propagated at once
    assert s.add_clause([5]) is False and s.ok is False and s.add_clause([2]) is False
    assert s.solve() is False and s.model == []
    assert Solver(1).add_clause([]) is False
    s = Solver(3)
    assert s.solve() is True and s.model == [False] * 3 and stats(s) == [3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 3]
    s = Solver(3, target_phase=False, init_phase=True)
    assert s.solve() is True and s.model == [True] * 3


# --- proofs -------------------------------------------------------------------------

def test_proof_edge_cases():
    s = solver(2, [], proof=True)
    assert s.add_clause([]) is False and s.proof_steps() == [("a", [])]
    s = solver(2, [[0]], proof=True)
    assert s.add_clause([1]) is False and s.proof_steps() == [("a", [])]
    square = [[0, 2], [0, 3], [1, 2], [1, 3]]
    s = solver(2, square, proof=True)
    assert s.solve() is False
    steps = s.proof_steps()
    assert steps[-1] == ("a", []) and {k for k, _ in steps} == {"a"} and refutes(square, steps)
    s = solver(5, [], proof=True)
    s.enable_proof()
    s.new_var()
    assert s.proof_steps() == []
    s = Solver()
    s.solve()
    with pytest.raises(ValueError, match="^enable_proof\\(\\) must be called before any clause is added: a proof "
                                         "that starts midway through the formula is not a proof$"):
        s.enable_proof()
    s = solver(5, random_3sat(1, 5, 6.0))
    s.solve()
    assert s.proof_steps() == []


@pytest.mark.parametrize("clauses, steps", [
    ([[0, 2, 4], [5]], [("a", [1, 2]), ("d", [1, 2, 3])]),  # shortened in place at the root
    ([[0, 2, 4], [0]], [("d", [1, 2, 3])]),                   # satisfied: dropped, not counted as deleted
])
def test_root_simplification(clauses, steps):
    s = solver(4, clauses, proof=True)
    assert s.solve() is True and s.proof_steps()[:2] == steps
    assert s.deleted == 0 and s.check_watch_invariant() == []


def test_level_zero_conflict_records_empty_clause_once():
    s = solver(2, [[0, 2], [1, 3]], proof=True)
    assert s.solve() is True
    s.add_clause([1])
    s.add_clause([3])   # x1 and not x1 via the clauses above
    assert s.ok is False and s.proof_steps() == [("a", [])]
    assert s.solve() is False and s.proof_steps() == [("a", [])]


# --- limits --------------------------------------------------------------------------

def test_solve_limits_and_model():
    s = solver(3, [[0, 2], [1, 4]])
    assert s.solve(max_conflicts=0) is None and s.decisions == 0 and s.model == []
    assert s.solve(seconds=0) is None and s.solve(seconds=0.0, max_conflicts=None) is None
    assert s.solve(seconds=1e12) is True and len(s.model) == 3 and s.solve(None, None) is True
    assert s.solve(max_conflicts=0) is None and s.model == []
    assert s.solve() is True
    before = s.model
    s.add_clause([1])
    s.add_clause([3])
    assert s.ok is False and s.solve() is False and s.model == before  # refuted before the call: model kept
    s = solver(*pigeonhole(3))
    s.new_var()
    s.add_clause([24])
    assert s.solve() is False and s.model == []
    nv, clauses = pigeonhole(11)
    s = solver(nv, clauses)
    assert s.solve(seconds=0.2) is None
    assert s.conflicts > 0 and s.model == [] and s.check_watch_invariant() == []
    c = s.conflicts
    assert s.solve(max_conflicts=300) is None and s.conflicts >= c + 300


DURATION = "cannot convert float seconds to Duration: value is "


@pytest.mark.parametrize("seconds, msg", [
    (-1.0, DURATION + "negative"), (-1e-300, DURATION + "negative"),
    (float("nan"), DURATION + "either too big or NaN"), (float("inf"), DURATION + "either too big or NaN"),
    (2.0 ** 64, DURATION + "either too big or NaN"),
    (2.0 ** 63 + 2.0 ** 40, "overflow when adding duration to instant"),
    (2.0 ** 64 - 2.0 ** 11, "overflow when adding duration to instant"),
])
def test_seconds_failures_are_internal(seconds, msg):
    s = Solver(2)
    with pytest.raises(BaseException) as ei:
        s.solve(seconds=seconds)
    assert not isinstance(ei.value, Exception) and str(ei.value) == msg
    s.enable_proof()  # the failed call did not count as a start
    assert s.add_clause([0, 2]) and s.solve() is True
