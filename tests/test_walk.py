"""The local-search walk that refreshes the phases at restarts: it never
changes answers, it follows the model of solver_model.py draw for draw, and
its switches (walk_flips, walk_interval, walk_patience, walk_min_conflicts)
turn it off completely."""
import random

import pytest

from oracles import brute_force, drat_accepts, random_3sat, random_cnf, satisfies
from solver_model import SCORE, ModelSolver
from test_solver import build, stats

EARLY = dict(walk_min_conflicts=0, luby_base=2.0)


def test_score_table():
    assert SCORE[0] == 1.2423971044693904
    assert SCORE[1] == 0.2665431844564756
    assert SCORE[32] == 0.0007491632244617672


@pytest.mark.parametrize("walk", [
    dict(walk_flips=0), dict(walk_flips=1), dict(EARLY), dict(EARLY, walk_flips=5, walk_patience=1000),
    dict(EARLY, walk_interval=0), dict(EARLY, walk_interval=3, target_phase=False),
    dict(EARLY, phase_saving=False, rnd_freq=0.1),
])
def test_walk_never_changes_answers(walk):
    for seed in range(30):
        rng = random.Random(seed)
        n = rng.randint(2, 12)
        clauses = random_cnf(rng, n, rng.randint(5, 70), 2, 3)
        s = build(n, clauses, proof=True, **walk)
        r = s.solve()
        assert r is (brute_force(n, clauses) is not None)
        if r:
            assert satisfies(s.model, clauses)
        else:
            assert drat_accepts(clauses, s.proof_steps())
        assert s.check_watch_invariant() == []


@pytest.mark.parametrize("walk", [
    dict(EARLY, walk_flips=2000),
    dict(EARLY, walk_flips=3, walk_patience=50),
    dict(EARLY, walk_flips=400, walk_patience=6, rnd_freq=0.2),
    dict(EARLY, target_phase=False, phase_saving=False, walk_interval=2, walk_flips=300, walk_patience=20),
    dict(EARLY, restart="glucose", target_reset=3, walk_patience=7),
    dict(walk_min_conflicts=40, luby_base=1.0, walk_flips=60, walk_patience=1000, first_reduce=50, reduce_inc=5),
])
def test_walk_matches_model_draw_for_draw(walk):
    for seed in range(8):
        rng = random.Random(100 + seed)
        n = rng.randint(15, 50)
        clauses = random_3sat(100 + seed, n, ratio=rng.choice([4.0, 4.26, 4.5]))
        clauses += [[2 * rng.randrange(n) + rng.randrange(2)] for _ in range(rng.randrange(3))]  # a few units
        a = build(n, clauses, proof=True, **walk)
        b = ModelSolver(n, **walk)
        b.proof_enabled = True
        for c in clauses:
            b.add_clause(c)
        assert a.solve() == b.solve()
        assert stats(a) == b.stats and a.model == b.model
        assert a.proof_steps() == b.proof_steps()


def test_switches_turn_the_walk_off():
    differs = 0
    for seed in range(6):
        clauses = random_3sat(seed, 70)
        base = dict(luby_base=2.0, walk_min_conflicts=0)
        off = build(70, clauses, proof=True, **dict(base, walk_flips=0))
        off.solve()
        ref = (stats(off), off.model, off.proof_steps())
        for variant in (dict(walk_patience=0), dict(walk_interval=0), dict(walk_min_conflicts=10 ** 9)):
            s = build(70, clauses, proof=True, **dict(base, **variant))
            s.solve()
            assert (stats(s), s.model, s.proof_steps()) == ref, variant
        on = build(70, clauses, proof=True, **base)
        on.solve()
        differs += stats(on) != ref[0]
    assert differs >= 3  # the walk does steer the search


def test_walk_interval_zero_runs_to_an_answer():
    clauses = random_3sat(5, 120)
    s = build(120, clauses, walk_interval=0, walk_min_conflicts=0, luby_base=1.0)
    assert s.solve() is not None


def test_binary_only_formula_walks_without_trouble():
    # Each variable's clauses never break anything when flipped: the draw is
    # between equal weights.
    clauses = [[0, 2], [1, 3], [4, 6], [5, 7], [0, 4], [3, 7]]
    for seed in range(20):
        s = build(4, clauses, walk_min_conflicts=0, luby_base=1.0, rnd_seed=seed + 1)
        assert s.solve() is True and satisfies(s.model, clauses)
