# The command line's native runner (quillon_native_cli._scan.Runner) makes
# the module's search: for the same clauses, options and slices it gives the
# answer, counters, model and proof bytes that the module's Solver (after the
# module's Preprocessor) and ProofWriter give.  Its proof is streamed, so an
# interrupted `solve` keeps every step derived so far.
import ast
import io
import os
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
import quillon_native as qn

from oracles import pigeonhole, random_3sat, random_cnf, write_cnf
from quillon_native_cli import configs, native, strategy
from quillon_native_cli.proofs import ProofReader, ProofWriter
from commands import COMMAND, ENV, answer_lines, decode_binary, decode_text, hard_formula, inproc

pytestmark = pytest.mark.skipif(not native.available(), reason="quillon_native_cli._scan is not built")
_scan = native._scan

FORMULAS = [  # (name, nvars, clauses)
    ("3sat-sat", 60, random_3sat(3, 60, 4.0)),
    ("3sat-unsat", 50, random_3sat(11, 50, 5.5)),
    ("hole6", *pigeonhole(6)),
    # duplicates, tautologies, units, an empty clause late, variables beyond nvars
    ("messy", 8, random_cnf(random.Random(5), 12, 60, 0, 4)),
]
DRAT_TRIM = Path("/tmp/drat-trim/drat-trim")


def module_run(nvars, clauses, options, preprocess, binary, k):
    steps, pre = [], None
    if preprocess:
        pre = qn.Preprocessor(nvars, with_proof=True)
        for c in clauses:
            pre.add_clause(c)
        ok = pre.run(3)
        steps = pre.proof_steps()
        if not ok:
            return False, {}, None, proof_bytes(steps, binary)
        nvars, clauses = pre.nvars, pre.reduced()
    s = qn.Solver(nvars, **options)
    s.enable_proof()
    for c in clauses:
        s.add_clause(c)
    answer = None
    while answer is None:
        answer = s.solve(k)
    model = s.model if answer else None
    if model is not None and pre is not None:
        model = pre.reconstruct(model)
    stats = {name: getattr(s, name) for name in native_stats_names()}
    return answer, stats, model, proof_bytes(steps + s.proof_steps(), binary)


def native_stats_names():
    return list(_scan.Runner(0, {}).stats())


def proof_bytes(steps, binary):
    out = io.BytesIO()
    ProofWriter(out, binary).write(steps)
    return out.getvalue()


def native_run(tmp_path, nvars, clauses, options, preprocess, binary, k, feed):
    path = tmp_path / "p.drat"
    r = native.make_runner(nvars, options, True, binary, preprocess)
    if feed:  # a Formula as the reader hands it over: blocks of whole lines, a clause split across two
        text = "".join(" ".join(str((l >> 1) + 1 if l & 1 == 0 else -((l >> 1) + 1)) for l in c) + " 0\n"
                       for c in clauses)
        cut = text.find("\n", len(text) // 2) + 1
        lines = text[cut:].split("\n", 1)
        first = text[:cut] + lines[0].rsplit(" ", 1)[0] + "\n"
        rest = text[len(first):]
        tail, formula = [], native.Formula()
        for block in (first, rest):
            n, _, tail = formula.feed(block.encode(), 2 ** 31 - 2, tail)
        assert tail == []
        r.add_formula(formula)
    else:
        for c in clauses:
            r.add_clause(c)
    with open(path, "wb") as fh:  # as solve opens it: once the formula is read (steps so far wait)
        r.attach_proof(fh.fileno())
    if preprocess and not r.preprocess(3):
        answer = False
    else:
        answer = None
        while answer is None:
            answer = r.solve(k)
    model = r.model()
    stats = r.stats()
    assert r.finish_proof() is not None
    return answer, stats, None if model is None else [b == 1 for b in model], path.read_bytes()


@pytest.mark.parametrize("name,nvars,clauses", FORMULAS, ids=[f[0] for f in FORMULAS])
@pytest.mark.parametrize("config", list(configs.CONFIGS))
def test_the_runner_makes_the_modules_search_and_proof(tmp_path, name, nvars, clauses, config):
    options = configs.CONFIGS[config]
    for preprocess, binary, feed in ((False, False, True), (True, True, False)):
        want = module_run(nvars, clauses, options, preprocess, binary, 97)
        got = native_run(tmp_path, nvars, clauses, options, preprocess, binary, 97, feed)
        assert got == want, (preprocess, binary)


def test_a_natively_read_formula(tmp_path):
    # Its counts, and the clauses as written.
    nvars, clauses = pigeonhole(5)
    cnf = write_cnf(tmp_path / "f.cnf", nvars, clauses)
    formula = native.read_formula(str(cnf))
    assert (formula.nvars, formula.nclauses) == (nvars, len(clauses))
    built = native.Formula(nvars)
    for c in clauses:
        built.add_clause(c)
    assert strategy.plan(formula) == strategy.plan(built)

MODES = {  # how a run searches: its options, and the line after which it is searching
    "config": (["--config", "default", "-v", "--slice", "200"], "conflicts ("),
    "portfolio": (["--portfolio", "3"], "c portfolio of"),
    "auto": (["-v"], "conflicts ("),
    "threads": (["--threads", "3", "-v"], "conflicts ("),
    "auto-prep": (["-v", "--preprocess"], "conflicts ("),
    "auto-random": (["-v"], "conflicts ("),  # auto's plan for random formulas: the search program
}


def hard_random_formula(tmp_path):
    f = tmp_path / "hard.cnf"  # unsatisfiable, and far beyond a test's patience
    return write_cnf(tmp_path / "hard.cnf", 500, random_3sat(2, 500, 5.0))


def solve_until_stopped(tmp_path, stop, binary, mode):
    f = hard_random_formula(tmp_path) if mode == "auto-random" else hard_formula(tmp_path)
    proof = tmp_path / "p"
    options, searching = MODES[mode]
    args = COMMAND + ["solve", str(f), "--proof", str(proof), *options]
    args += ["--binary-proof"] if binary else []
    args += ["--seconds", "0.4"] if stop is None else []
    p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV, text=True)
    if stop is not None:
        while searching not in p.stdout.readline():
            pass
        if mode == "portfolio":  # the workers are about to start: give them a moment
            time.sleep(0.5)
        p.send_signal(stop)
    out, err = p.communicate(timeout=60)
    return f, proof, p.returncode, out, err


def count(out, name):
    return int(re.search(rf"^c {name} +(\d+)$", out, re.M).group(1))


@pytest.mark.parametrize("stop,binary,mode,code", [
    (signal.SIGINT, False, "config", 130), (signal.SIGTERM, True, "config", 143), (None, False, "config", 0),
    (signal.SIGINT, True, "portfolio", 130), (signal.SIGTERM, False, "portfolio", 143), (None, False, "portfolio", 0),
    (signal.SIGTERM, False, "auto", 143), (None, True, "auto", 0),
    (signal.SIGTERM, True, "threads", 143), (None, False, "threads", 0),
    (signal.SIGINT, True, "auto-prep", 130), (signal.SIGINT, False, "auto-random", 130)])
def test_an_interrupted_run_keeps_every_step_so_far(tmp_path, capsys, stop, binary, mode, code):
    f, proof, rc, out, err = solve_until_stopped(tmp_path, stop, binary, mode)
    assert (rc, err) == (code, "")
    lines = out.splitlines()
    assert lines[-1] == "s UNKNOWN"
    assert (f"c interrupted by {stop.name}" if stop else "c time limit reached") in lines
    if mode == "config":  # its statistics, up to where it stopped
        assert count(out, "conflicts") >= (200 if stop else 1) and count(out, "propagations") > count(out, "decisions") > 0
    if mode == "portfolio":  # the kept solver's counters, and every configuration's conflicts
        assert "c counters of default; all conflicts: every configuration's" in out
        assert 0 < count(out, "conflicts") < count(out, "all conflicts"), out
        assert count(out, "propagations") > count(out, "decisions") >= count(out, "conflicts"), out
    if mode not in ("config", "auto-random"):  # one solver's proof is kept, named, and no other file is left
        kept = next(line for line in lines if line.startswith("c proof of ")).split()[-1]
        assert strategy.config_of(kept) in configs.CONFIGS and (mode.startswith(("auto", "threads")) or kept == "default")
        assert sorted(os.listdir(tmp_path)) == ["hard.cnf", "p"]
    # The search process stopped by itself and wrote its steps: none cut off.
    steps = int(next(line for line in out.splitlines() if line.startswith(f"c proof {proof}:")).split()[-2])
    data = proof.read_bytes()
    decoded = decode_binary(data) if binary else decode_text(data.decode())
    assert len(decoded) == steps > 0
    if mode == "portfolio":  # the default's proof: a learned clause per conflict but the one it stopped at
        assert sum(not d for d, _ in decoded) >= count(out, "conflicts") - 1
    rc, out, err = inproc(capsys, "check", f, proof)
    assert rc == 1 and "c every step verified, but the proof never derives the empty clause" in out
    if DRAT_TRIM.exists() and stop == signal.SIGINT:  # a peer reads it too: every step, no empty clause
        d = subprocess.run([str(DRAT_TRIM), str(f), str(proof)], capture_output=True, text=True, timeout=120)
        assert "c finished parsing" in d.stdout and "c ERROR: no conflict" in d.stdout


def test_a_portfolio_keeps_the_winners_streamed_proof(tmp_path, capsys):
    nvars, clauses = pigeonhole(7)
    f = write_cnf(tmp_path / "hole7.cnf", nvars, clauses)
    (tmp_path / "link").symlink_to("p")  # written through, not replaced
    for n, binary, target in ((1, False, "p"), (4, True, "link")):
        proof = tmp_path / "p"
        rc, out, err = inproc(capsys, "solve", f, "--portfolio", n, "--proof", tmp_path / target,
                              *(["--binary-proof"] if binary else []))
        assert (rc, err) == (20, "")
        winner = next(line.split()[-1] for line in out.splitlines() if line.startswith("c winner"))
        assert f"c proof of {winner}" in out.splitlines()
        assert sorted(os.listdir(tmp_path)) == ["hole7.cnf", "link", "p"] and (tmp_path / "link").is_symlink()
        steps = ProofReader(str(proof)).read().steps
        assert qn.check_proof(nvars, clauses, steps)[0]
        if n == 1:  # one worker: the module's search, step for step
            s = qn.Solver(nvars)
            s.enable_proof()
            for c in clauses:
                s.add_clause(c)
            assert s.solve() is False and proof.read_bytes() == proof_bytes(s.proof_steps(), False)


@pytest.mark.parametrize("mode", [[], ["--portfolio", "1"]])
def test_preprocessing_ahead_of_several_solvers_streams_the_modules_proof(tmp_path, capsys, mode):
    """auto and --portfolio stream the preprocessor's proof, then the kept
    solver's; with --check the same run keeps its proof in memory over the
    module, the oracle: same answer, model and proof bytes, except that the
    module's portfolio keeps no solver step after a model (a prefix)."""
    for i, (name, nvars, clauses) in enumerate(FORMULAS):
        nvars = max([nvars] + [lit // 2 + 1 for c in clauses for lit in c])
        f = write_cnf(tmp_path / "f.cnf", nvars, clauses)
        runs = []
        for check in ([], ["--check"]):
            proof = tmp_path / f"p{len(check)}"
            rc, out, err = inproc(capsys, "solve", f, "--preprocess", "--proof", proof, *mode, *check,
                               *(["--binary-proof"] if i % 2 else []))
            runs.append((rc, err, answer_lines(out), proof.read_bytes()))
        (rc, err, lines, streamed), module = runs
        assert (rc, err, lines) == module[:3] and rc in (10, 20), name
        assert "c check: model satisfies" in out or "c check: proof VERIFIED" in out, name
        assert streamed.startswith(module[3]) if rc == 10 and mode else streamed == module[3], name
        assert sorted(os.listdir(tmp_path)) == ["f.cnf", "p0", "p1"]


STOPPED_EARLY = """
import os, signal
from quillon_native_cli import native
from oracles import pigeonhole
native._scan.stop_on_signals()
os.kill(os.getpid(), signal.SIGINT)
n, clauses = pigeonhole(7)
r = native.make_runner(n + 1, {}, False, False, True)
for c in clauses + [[2 * n], [2 * n, 0]]:  # a unit and a clause it satisfies
    r.add_clause(c)
print(repr((r.preprocess(3), r.prep_stats(), r.solve(None), native.stop_requested())))
"""


def test_a_stop_before_preprocessing_ends_it_and_the_search_unchanged():
    """A stop requested before preprocessing leaves every clause as it was
    read (no pass runs) and the search ends without an answer."""
    env = dict(ENV, PYTHONPATH=os.pathsep.join([ENV["PYTHONPATH"], str(Path(__file__).parent)]))
    out = subprocess.run([sys.executable, "-c", STOPPED_EARLY], env=env, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    ok, stats, answer, stopped = ast.literal_eval(out.stdout)
    assert (ok, answer, stopped) == (True, None, True)
    assert not any(stats.values()), stats
