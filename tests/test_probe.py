# auto's probe of large structured formulas, with the size and conflict
# thresholds lowered so that small formulas take it: a formula answered in
# the probe gets `--config default`'s answer, counters, model and proof; one
# that goes past it is preprocessed, and its model satisfies the input and its
# proof checks against the input; runs repeat exactly, the module path
# (--check) and the native one give the same proof, limits and stops hold.
import os
import re
import signal
import subprocess
import sys

import pytest
import quillon_native as qn

from oracles import pigeonhole, random_3sat, satisfies, write_cnf
from quillon_native_cli import native, strategy
from quillon_native_cli.proofs import ProofReader
from commands import ENV, decode_binary, decode_text, inproc

pytestmark = pytest.mark.skipif(not native.available(), reason="quillon_native_cli._scan is not built")


def structured(seed, nvars):
    # random 3-SAT under the threshold, with binary clauses: not uniform, so structured
    cl = random_3sat(seed, nvars, 3.9)
    return nvars, cl + [[2 * v + 1, 2 * ((v * 7 + 3) % nvars)] for v in range(0, nvars, 9)]


def mixed_hole(holes):
    # pigeonhole with one clause of mixed signs: not at-most-one shaped, so the default starts
    nvars, clauses = pigeonhole(holes)
    return nvars, clauses + [[0, 3]]


FORMULAS = {  # name: (nvars, internal clauses); answered by the default in 22 to 3200 conflicts
    "hole6": mixed_hole(6),
    "hole7": mixed_hole(7),
    "sat120": structured(3, 120),
    "unsat90": structured(2, 90),
    "sat90": structured(1, 90),
}


def write(tmp_path, name, formula=None):
    nvars, clauses = formula or FORMULAS[name]
    return write_cnf(tmp_path / f"{name}.cnf", nvars, clauses)


def solve(capsys, *args):
    """Exit code and output lines, timings left out."""
    from quillon_native_cli.main import main
    rc = main(["solve", *map(str, args)])
    return rc, [re.sub(r"\d+\.\d+ s\b", "_ s", line) for line in capsys.readouterr().out.splitlines()
                if "seconds" not in line]


@pytest.fixture
def probing(monkeypatch):
    """Sets the probe's conflicts; every formula is large enough for it."""
    monkeypatch.setattr(strategy, "PROBE_CLAUSES", 1)
    return lambda k: monkeypatch.setattr(strategy, "PROBE_CONFLICTS", k)


PLAN_LINES = ("c strategy", "c configuration", "c slices", "c one call", "c winner", "c all conflicts")


@pytest.mark.parametrize("name,slice_,limit", [("hole6", 20000, None), ("hole7", 300, None), ("sat120", 20000, None),
                                               ("sat90", 0, None), ("hole7", 20000, 1000), ("hole7", 128, 700)])
def test_answered_in_the_probe_as_config_default(tmp_path, capsys, probing, name, slice_, limit):
    probing(20000)
    f = write(tmp_path, name)
    opts = ["--slice", slice_] + (["--max-conflicts", limit] if limit else [])
    runs = {}
    for how in (["--config", "default"], []):
        proof = tmp_path / f"{len(how)}.drat"
        rc, lines = solve(capsys, f, "--proof", proof, *opts, *how)
        runs[len(how)] = (rc, [x.replace(str(proof), "PROOF") for x in lines], proof.read_bytes())
    (rc, auto, auto_proof), (rc_d, lines, proof) = runs[0], runs[2]
    assert rc == rc_d and auto_proof == proof and (rc == 0) == (limit is not None)
    assert [x for x in auto if not x.startswith(PLAN_LINES)] == [x for x in lines if not x.startswith(PLAN_LINES)]
    assert any(x.startswith("c strategy auto (structured, ") and "alone for 20000 conflicts" in x for x in auto)
    assert not any(x.startswith("c preprocessing") for x in auto)


def answer_and_model(lines):
    model = [int(t) for x in lines if x.startswith("v ") for t in x[2:].split()]
    return next(x for x in lines if x.startswith("s ")), [d > 0 for d in model[:-1]]


@pytest.mark.parametrize("name,binary", [("hole6", False), ("sat120", True), ("unsat90", True), ("sat90", False)])
def test_past_the_probe_models_proofs_and_repeats(tmp_path, capsys, probing, name, binary):
    probing(10)
    nvars, clauses = FORMULAS[name]
    f = write(tmp_path, name)
    runs = []
    for tag, extra in (("a", []), ("b", []), ("c", ["--check"])):  # --check checks that same run
        proof = tmp_path / f"{tag}.drat"
        rc, lines = solve(capsys, f, "--proof", proof, *extra, *(["--binary-proof"] if binary else []))
        runs.append((rc, [x.replace(str(proof), "PROOF") for x in lines if "check:" not in x], proof.read_bytes()))
        if extra:
            assert any(x.startswith(("c check: model satisfies", "c check: proof VERIFIED")) for x in lines)
    assert runs[0] == runs[1] == runs[2]
    rc, lines, data = runs[0]
    plan = [x for x in lines if x.startswith(("c strategy", "c preprocessing:"))]
    assert len(plan) == 3 and "alone for 10 conflicts" in plan[0] and plan[1].startswith("c preprocessing:")
    assert sorted(os.listdir(tmp_path)) == sorted([f.name, "a.drat", "b.drat", "c.drat"])
    answer, model = answer_and_model(lines)
    if rc == 10:
        assert answer == "s SATISFIABLE" and len(model) == nvars and satisfies(model, clauses)
        return
    assert (rc, answer) == (20, "s UNSATISFIABLE")
    steps = decode_binary(data) if binary else decode_text(data.decode())
    assert qn.check_proof(nvars, clauses, [(d, [2 * abs(x) - 2 + (x < 0) for x in lits]) for d, lits in steps])[0]
    rc, out, _ = inproc(capsys, "check", f, tmp_path / "a.drat")
    assert rc == 0 and "s VERIFIED" in out


def test_a_conflict_limit_counts_the_probe(tmp_path, capsys, probing):
    probing(300)
    f = write(tmp_path, "hole7")
    for limit in (1000, 2500):
        rc, lines = solve(capsys, f, "--max-conflicts", limit)
        total = next(int(x.split()[-1]) for x in lines if x.startswith("c all conflicts"))
        assert rc == 0 and lines[-1] == "s UNKNOWN" and limit <= total <= limit + 3 * 10
        assert any(x.startswith("c preprocessing:") for x in lines)


PROBING = ("import sys; from quillon_native_cli import strategy; strategy.PROBE_CLAUSES = 1; "
           "strategy.PROBE_CONFLICTS = 1; from quillon_native_cli.main import main; sys.exit(main(sys.argv[1:]))")


@pytest.mark.parametrize("sig,binary", [(signal.SIGTERM, True), (signal.SIGINT, False)])
def test_a_run_stopped_past_the_probe_keeps_whole_steps(tmp_path, capsys, sig, binary):
    f, proof = write(tmp_path, "hole10", mixed_hole(10)), tmp_path / "p"  # far beyond a test's patience
    args = [sys.executable, "-c", PROBING, "solve", str(f), "-v", "--slice", "1000", "--proof", str(proof)]
    p = subprocess.Popen(args + (["--binary-proof"] if binary else []), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env=ENV, text=True)
    seen = [""]
    while "conflicts (" not in seen[-1] or not any(x.startswith("c preprocessing") for x in seen):
        seen.append(p.stdout.readline())
        assert seen[-1], seen  # not at the end yet
    p.send_signal(sig)
    out, err = p.communicate(timeout=60)
    lines = out.splitlines()
    assert (p.returncode, err, lines[-1]) == (128 + sig, "", "s UNKNOWN")
    assert sorted(os.listdir(tmp_path)) == ["hole10.cnf", "p"]
    steps = int(next(x for x in lines if x.startswith(f"c proof {proof}:")).split()[-2])
    data = proof.read_bytes()
    assert len(decode_binary(data) if binary else decode_text(data.decode())) == steps > 0
    rc, out, _ = inproc(capsys, "check", f, proof)
    assert rc == 1 and "c every step verified, but the proof never derives the empty clause" in out


@pytest.mark.parametrize("name", list(FORMULAS))
def test_solve_formula_probes_as_the_command(tmp_path, probing, name):
    from quillon_native_cli import solve_formula
    nvars, clauses = FORMULAS[name]
    dimacs = [[lit // 2 + 1 if lit % 2 == 0 else -(lit // 2 + 1) for lit in c] for c in clauses]
    probing(20000)  # answered in the probe: the default's search
    inside, default = solve_formula(dimacs, proof=True), solve_formula(dimacs, proof=True, strategy_name="default")
    assert (inside.answer, inside.model, inside.proof) == (default.answer, default.model, default.proof)
    assert inside.stats["conflicts"] == default.stats["conflicts"] and inside.answer is not None
    probing(10)  # past it: preprocessed
    past = solve_formula(dimacs, proof=True)
    assert past.answer is inside.answer and past.stats["conflicts_total"] > 10
    if past.answer:
        assert satisfies([d > 0 for d in past.model], clauses)
    else:
        assert qn.check_proof(nvars, clauses, [(k == "d", [2 * abs(x) - 2 + (x < 0) for x in lits])
                                               for k, lits in past.proof])[0]
    path = tmp_path / "p.drat"
    again = solve_formula(dimacs, proof=str(path))
    assert (again.answer, again.model, again.stats) == (past.answer, past.model, past.stats)
    if not past.answer:
        assert again.proof == len(past.proof) == len(ProofReader(str(path)).read().steps)
    assert solve_formula(dimacs, max_conflicts=15).answer is None
