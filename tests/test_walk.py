"""The local-search walk that refreshes the phases at restarts: it never
changes answers, its draws are pinned by the recorded traces, and
its switches (walk_flips, walk_interval, walk_patience, walk_min_conflicts)
turn it off completely.  Also the command-line example."""
import os
import random
import subprocess
import sys

import pytest

from oracles import brute_force, drat_accepts, random_3sat, random_cnf, satisfies
from test_solver import build, stats

HERE = os.path.dirname(os.path.abspath(__file__))



EARLY = dict(walk_min_conflicts=0, luby_base=2.0)


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


def test_example_script(tmp_path):
    script = os.path.join(HERE, "..", "examples", "solve_dimacs.py")
    cnf = os.path.join(HERE, "..", "examples", "example.cnf")
    out = subprocess.run([sys.executable, script, cnf], capture_output=True, text=True, timeout=60)
    assert out.returncode == 10, out.stderr
    lines = out.stdout.splitlines()
    assert "s SATISFIABLE" in lines
    model = [int(t) for line in lines if line.startswith("v ") for t in line.split()[1:]]
    assert model[-1] == 0
    true = {d for d in model if d > 0}
    with open(cnf) as f:
        clauses = [[int(t) for t in line.split()[:-1]] for line in f if line[0] not in "cp"]
    assert all(any((d > 0) == (abs(d) in true) for d in c) for c in clauses)

    unsat = tmp_path / "u.cnf"
    unsat.write_text("p cnf 2 4\n1 2 0\n1 -2 0\n-1 2 0\n-1 -2 0\n")
    proof = tmp_path / "u.drat"
    out = subprocess.run([sys.executable, script, str(unsat), "--proof", str(proof)],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 20 and "s UNSATISFIABLE" in out.stdout.splitlines()
    assert proof.read_text().splitlines()[-1] == "0"
    out = subprocess.run([sys.executable, script, str(unsat), "--max-conflicts", "0"],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and "s UNKNOWN" in out.stdout.splitlines()
