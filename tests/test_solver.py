"""Solver: construction, clauses, answers, statistics, proofs, limits.

Oracles: model checks and a forward DRAT check of every refutation; the
recorded traces (test_traces.py) pin every counter, model and proof.
Answers against brute force under many option sets are the property tests'
part."""
import os
import random
import subprocess
import sys
import textwrap

import pytest

import quillon_native as qn
from oracles import drat_accepts, pigeonhole, random_3sat, satisfies
from test_traces import STATS

Solver = qn.Solver


def build(nvars, clauses, proof=False, **opts):
    s = Solver(nvars, **opts)
    if proof:
        s.enable_proof()
    for c in clauses:
        s.add_clause(c)
    return s


def stats(s):
    return {k: getattr(s, k) for k in STATS}


def native_check(nvars, clauses, steps):
    return qn.check_proof(nvars, clauses, [(k == "d", [2 * (abs(d) - 1) + (d < 0) for d in lits]) for k, lits in steps])


# --- construction ---------------------------------------------------------------

def test_surface():
    s = Solver(3)
    assert (s.nvars, s.ok, s.model) == (3, True, [])
    assert all(v == 0 for v in stats(s).values())
    assert repr(s) == "<native.Solver vars=3 conflicts=0>"
    assert Solver().nvars == 0
    assert Solver.__doc__.startswith("The native CDCL search core (Sprint 2).")
    assert Solver.__text_signature__.startswith('(nvars=0, restart="luby", ccmin="deep"')
    assert Solver.__text_signature__.endswith("rnd_freq=0.0, rnd_seed=91648253)")
    names = [n for n in vars(Solver) if not n.startswith("_")]
    assert names == ["new_var", "enable_proof", "proof_steps", "add_clause", "solve", "check_watch_invariant",
                     "model", "nvars", "ok", "conflicts", "decisions", "propagations", "restarts", "learned",
                     "minimized_lits", "reductions", "blocked_restarts", "learned_lits", "deleted", "max_trail"]
    assert Solver.solve.__text_signature__ == "($self, max_conflicts=None, seconds=None)"
    assert Solver.enable_proof.__doc__.startswith("Turn on DRAT proof logging.  Must be called")
    assert Solver.proof_steps.__doc__ == 'The recorded proof as (kind, dimacs_literals) pairs, kind in {"a","d"}.'
    with pytest.raises(AttributeError):
        s.nvars = 3


@pytest.mark.parametrize("kwargs, exc, msg, note", [
    (dict(restart="Luby"), ValueError, 'unknown restart "Luby"', None),
    (dict(restart="x", ccmin="y"), ValueError, 'unknown restart "x"', None),
    (dict(ccmin="fast\n\"\\"), ValueError, 'unknown ccmin "fast\\n\\"\\\\"', None),
    (dict(restart="x", walk_flips=-1), OverflowError, None, "while processing 'walk_flips'"),
    (dict(ccmin=None), TypeError, "'None' is not an instance of 'str'", "while processing 'ccmin'"),
    (dict(phase_saving=0), TypeError, "'int' object is not an instance of 'bool'", "while processing 'phase_saving'"),
    (dict(glue_keep=2 ** 32), OverflowError, "number too large to fit in target type", "while processing 'glue_keep'"),
    (dict(walk_flips="3"), TypeError, None, "while processing 'walk_flips'"),
    (dict(luby_base=0), ValueError, "luby_base must be a positive number, got 0.0", None),
    (dict(luby_base=-2.5), ValueError, "luby_base must be a positive number, got -2.5", None),
    (dict(luby_base=float("nan")), ValueError, "luby_base must be a positive number, got nan", None),
    # the value reads as Python writes it
    (dict(luby_base=-2.5e10), ValueError, "luby_base must be a positive number, got -25000000000.0", None),
    (dict(luby_base=-1e16), ValueError, "luby_base must be a positive number, got -1e+16", None),
    (dict(luby_base=-1e-5), ValueError, "luby_base must be a positive number, got -1e-05", None),
    (dict(luby_base=-0.1), ValueError, "luby_base must be a positive number, got -0.1", None),
    (dict(luby_base=-float("inf")), ValueError, "luby_base must be a positive number, got -inf", None),
    (dict(luby_base=0, ccmin="q"), ValueError, 'unknown ccmin "q"', None),
    (dict(bogus=1), TypeError, "Solver.__new__() got an unexpected keyword argument 'bogus'", None),
])
def test_constructor_errors(kwargs, exc, msg, note):
    with pytest.raises(exc) as ei:
        Solver(**kwargs)
    if msg is not None:
        assert str(ei.value) == msg
    notes = getattr(ei.value, "__notes__", [])
    assert notes == ([note] if note else [])


def test_constructor_accepts_unchecked_values():
    s = Solver(2, var_decay=1, walk_interval=0, rnd_freq=2.0, cla_decay=1.5, luby_base=1e-300)
    s.add_clause([0, 2])
    assert s.solve() is True


# --- add_clause ------------------------------------------------------------------

def test_add_clause_rules():
    s = Solver(3)
    assert s.add_clause([0, 1]) is True          # tautology: nothing stored
    assert s.add_clause([0, 0, 2]) is True       # stored as 0 2
    assert s.check_watch_invariant() == []
    s = Solver(0)
    assert s.add_clause([10]) is True and s.nvars == 6
    s = Solver(1)
    assert s.add_clause([0, 1, 40]) is True and s.nvars == 1
    s = Solver(2)
    assert s.add_clause([0]) is True
    assert s.add_clause([1]) is False and s.ok is False
    assert s.add_clause([2]) is False
    assert s.solve() is False and s.model == []
    s = Solver(1)
    assert s.add_clause([]) is False and s.ok is False


def test_unit_propagates_at_once():
    s = Solver(3)
    s.add_clause([1, 2])          # not x0 or x1
    s.add_clause([3, 4])          # not x1 or x2
    assert s.add_clause([0]) is True
    assert s.propagations == 3 and s.max_trail == 3
    assert s.add_clause([5]) is False


@pytest.mark.skipif(bool(os.environ.get("QUILLON_SANITIZED")), reason="an address-space limit starves the sanitizer")
def test_memory_error_leaves_solver_usable():
    code = textwrap.dedent("""
        import resource, quillon_native as qn
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        s = qn.Solver()
        try:
            s.add_clause([2**32 - 2])
        except MemoryError:
            print("MemoryError")
        print(s.nvars, s.add_clause([0, 2]), s.solve(), s.model)
        try:
            qn.Solver(2**32 - 1)
        except MemoryError:
            print("MemoryError")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.split("\n")[:3] == ["MemoryError", "0 True True [False, True]", "MemoryError"], out.stderr


# --- exact values -------------------------------------------------------------------

def test_empty_formula_decisions_and_phases():
    s = Solver(3)
    assert s.solve() is True and s.model == [False, False, False]
    assert (s.decisions, s.propagations, s.max_trail, s.conflicts) == (3, 3, 3, 0)
    s = Solver(3, target_phase=False, init_phase=True)
    assert s.solve() is True and s.model == [True, True, True]


def test_reduction_schedule():
    nv, clauses = pigeonhole(9)
    s = build(nv, clauses, walk_flips=0)
    marks = [2000, 2300, 3200, 4700, 6800]
    for limit in (1999, 1, 299, 1, 899, 1, 1499, 1, 2099, 1):
        assert s.solve(max_conflicts=limit) is None
        assert s.reductions == sum(1 for m in marks if s.conflicts >= m), s.conflicts
    assert s.reductions == 5 and s.deleted > 0
    assert s.check_watch_invariant() == []
    s = build(nv, clauses, walk_flips=0, glue_keep=1000)
    s.solve(max_conflicts=2400)
    assert s.reductions == 2 and s.deleted == 0


def test_minimization_counter():
    clauses = random_3sat(3, 80)
    s = build(80, clauses, ccmin="none")
    assert s.solve() is not None
    assert s.minimized_lits == 0 and s.learned > 0
    s = build(80, clauses)
    s.solve()
    assert s.minimized_lits > 0


def test_no_restarts_but_blocked_counted():
    nv, clauses = pigeonhole(9)
    s = build(nv, clauses, restart="none", walk_flips=0)
    assert s.solve() is False
    assert s.restarts == 0 and s.blocked_restarts > 0


# --- proofs ---------------------------------------------------------------------------

def test_proof_edge_cases():
    s = Solver(2)
    s.enable_proof()
    assert s.add_clause([]) is False and s.proof_steps() == [("a", [])]
    s = Solver(2)
    s.enable_proof()
    s.add_clause([0])
    assert s.add_clause([1]) is False and s.proof_steps() == [("a", [])]
    s = build(2, [[0, 2], [0, 3], [1, 2], [1, 3]], proof=True)
    assert s.solve() is False
    steps = s.proof_steps()
    assert steps[-1] == ("a", []) and all(k == "a" for k, _ in steps)
    assert {tuple(l) for _, l in steps} <= {(1,), (-1,), (2,), (-2,), ()}
    s = Solver(5)
    s.enable_proof()
    s.enable_proof()
    s.new_var()
    assert s.proof_steps() == []
    s = Solver()
    s.solve()
    with pytest.raises(ValueError, match="^enable_proof\\(\\) must be called before any clause is added: a proof "
                                         "that starts midway through the formula is not a proof$"):
        s.enable_proof()
    s = build(5, random_3sat(1, 5, 6.0))
    s.solve()
    assert s.proof_steps() == []


def test_simplification_shortens_in_place():
    s = Solver(4)
    s.enable_proof()
    s.add_clause([0, 2, 4])   # a b c
    s.add_clause([5])         # c false at the root
    assert s.solve() is True
    assert s.proof_steps()[:2] == [("a", [1, 2]), ("d", [1, 2, 3])]
    assert s.check_watch_invariant() == []


def test_level_zero_conflict_records_empty_clause_once():
    s = build(2, [[0, 2], [1, 3]], proof=True)
    assert s.solve() is True
    s.add_clause([1])
    s.add_clause([3])   # x1 and not x1 via the clauses above
    assert s.ok is False
    assert s.proof_steps() == [("a", [])]
    assert s.solve() is False and s.proof_steps() == [("a", [])]


# --- limits ------------------------------------------------------------------------------

def panic_of(fn):
    with pytest.raises(BaseException) as ei:
        fn()
    assert not isinstance(ei.value, Exception)
    return str(ei.value)


def test_solve_limits():
    s = build(3, [[0, 2], [1, 4]])
    assert s.solve(max_conflicts=0) is None and s.decisions == 0 and s.model == []
    assert s.solve(seconds=0) is None
    assert s.solve(seconds=0.0, max_conflicts=None) is None
    assert s.solve(seconds=1e12) is True and len(s.model) == 3
    assert s.solve(None, None) is True


@pytest.mark.parametrize("seconds, msg", [
    (-1.0, "cannot convert float seconds to Duration: value is negative"),
    (-1e-300, "cannot convert float seconds to Duration: value is negative"),
    (float("nan"), "cannot convert float seconds to Duration: value is either too big or NaN"),
    (float("inf"), "cannot convert float seconds to Duration: value is either too big or NaN"),
    (2.0 ** 64, "cannot convert float seconds to Duration: value is either too big or NaN"),
    (2.0 ** 63 + 2.0 ** 40, "overflow when adding duration to instant"),
    (2.0 ** 64 - 2.0 ** 11, "overflow when adding duration to instant"),
])
def test_seconds_failures_are_internal(seconds, msg):
    s = Solver(2)
    assert panic_of(lambda: s.solve(seconds=seconds)) == msg
    s.enable_proof()  # the failed call did not count as a start
    assert s.add_clause([0, 2]) and s.solve() is True


def test_solve_argument_errors():
    s = Solver(2)
    with pytest.raises(TypeError) as ei:
        s.solve(seconds="1")
    assert ei.value.__notes__ == ["while processing 'seconds'"]
    with pytest.raises(OverflowError) as ei:
        s.solve(max_conflicts=-1)
    assert ei.value.__notes__ == ["while processing 'max_conflicts'"]
    with pytest.raises(TypeError, match="takes from 0 to 2 positional arguments but 3 were given"):
        s.solve(1, 2, 3)
    s.enable_proof()


def test_deadline_interrupts_hard_search():
    nv, clauses = pigeonhole(11)
    s = build(nv, clauses)
    assert s.solve(seconds=0.2) is None
    assert s.conflicts > 0 and s.model == [] and s.check_watch_invariant() == []
    c = s.conflicts
    assert s.solve(max_conflicts=300) is None and s.conflicts >= c + 300


def test_model_cleared_by_later_answers():
    s = build(3, [[0, 2]])
    assert s.solve() is True and len(s.model) == 3
    assert s.solve(max_conflicts=0) is None and s.model == []
    assert s.solve() is True
    before = s.model
    s.add_clause([1])
    s.add_clause([3])
    assert s.ok is False
    assert s.solve() is False and s.model == before  # refuted before the call: model kept
    s = build(*pigeonhole(3))
    s.new_var()
    s.add_clause([2 * 12])
    assert s.solve() is False and s.model == []


def test_long_proof_with_reductions_checks_natively():
    nv, clauses = pigeonhole(7)
    s = build(nv, clauses, proof=True, first_reduce=300, reduce_inc=50, walk_min_conflicts=0)
    assert s.solve() is False and s.reductions > 2
    assert s.check_watch_invariant() == []
    steps = s.proof_steps()
    assert sum(k == "d" for k, _ in steps) >= s.deleted > 0
    assert sum(k == "a" for k, _ in steps) >= s.learned + 1
    checked = native_check(nv, clauses, steps)
    assert checked[0] is True and checked[9] is True and checked[5] >= s.deleted


def test_simplification_drops_satisfied_clause_without_counting_it():
    s = Solver(3)
    s.enable_proof()
    s.add_clause([0, 2, 4])
    s.add_clause([0])          # satisfies the stored clause at the root
    assert s.solve() is True
    assert s.proof_steps() == [("d", [1, 2, 3])]
    assert s.deleted == 0 and s.check_watch_invariant() == []
