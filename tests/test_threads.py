# `solve --threads N`: sequential portfolios racing on threads.  Whichever
# thread wins, the answer is checked against brute force or construction,
# every model against every clause and every UNSAT proof through
# check_proof; the other threads stop, and no member's file is left.
# (Stopped runs are test_runner.py's interrupted-run table.)
import os

import pytest
import quillon_native as qn

from oracles import brute_force, pigeonhole, random_3sat, stamps_during, write_cnf
from quillon_native_cli import native
from quillon_native_cli.solve import MAX_THREADS
from quillon_native_cli.proofs import ProofReader
from commands import inproc
from test_strategy import chain, sliced

pytestmark = pytest.mark.skipif(not native.available(), reason="quillon_native_cli._scan is not built")

FORMULAS = [  # (name, nvars, internal clauses, expected answer or None for brute force)
    ("3sat-sat", 14, random_3sat(1, 14, 3.0), None),
    ("3sat-unsat", 14, random_3sat(2, 14, 7.0), None),
    ("random-200", 200, random_3sat(5, 200, 4.2), None),
    ("hole8", *pigeonhole(8), False),
    ("chain", *chain(30), False),
    ("empty-clause", 2, [[0, 2], []], False),
    ("no-clauses", 3, [], True),
]


def solve(capsys, *args):
    rc, out, err = inproc(capsys, "solve", *args)
    assert err == ""
    return rc, out.splitlines(), err


@pytest.mark.parametrize("name,nvars,clauses,expected", FORMULAS, ids=[f[0] for f in FORMULAS])
def test_answers_models_and_the_winners_proof(tmp_path, capsys, name, nvars, clauses, expected):
    n = 2 + FORMULAS.index((name, nvars, clauses, expected)) % (MAX_THREADS - 1)
    if expected is None:
        expected = brute_force(nvars, clauses) is not None if nvars <= 20 else None
    cnf = write_cnf(tmp_path / "f.cnf", nvars, clauses)
    rc, lines, _ = solve(capsys, "--threads", n, "--proof", tmp_path / "p", *(["--binary-proof"] if n % 2 else []), cnf)
    assert rc in (10, 20) and (expected is None or rc == (10 if expected else 20))
    assert any(line.startswith(f"c threads {n}, racing") for line in lines)
    winner = next(line.split()[-1] for line in lines if line.startswith("c winner"))
    assert f"c proof of {winner}" in lines and any("a race is decided by time" in line for line in lines)
    assert sorted(os.listdir(tmp_path)) == ["f.cnf", "p"]
    if any(line.startswith("c thread 1 ") for line in lines):  # thread 1 searches as --config default does
        assert f"c conflicts         {sliced(nvars, clauses)[1]}" in lines
    if rc == 10:
        model = {int(t) for line in lines if line.startswith("v ") for t in line[2:].split()}
        assert all(any((lit // 2 + 1 if lit % 2 == 0 else -(lit // 2 + 1)) in model for lit in c) for c in clauses)
    else:
        assert qn.check_proof(nvars, clauses, ProofReader(str(tmp_path / "p")).read().steps)[0]


def test_a_runner_searches_without_holding_the_interpreter():
    for holes in (8, 9, 10):  # the first formula that keeps the call busy long enough
        nvars, clauses = pigeonhole(holes)
        runner = native.make_runner(nvars, {})
        for c in clauses:
            runner.add_clause(c)
        elapsed, _, stamps = stamps_during(lambda: runner.solve(None, 1.0))
        if elapsed > 0.1:
            break
    assert len(stamps) >= 10
