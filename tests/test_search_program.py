# `solve --config NAME` searches in the search program (quillon-search), a
# process without the interpreter, which the command streams the clauses as
# it reads them.  For the same options it prints what the forked native
# runner prints (itself held to the module's search in test_runner.py),
# byte for byte, proof included; bad input leaves no search process behind.
import os
import random
import re
import subprocess
import sys

import pytest
import quillon_native as qn

import quillon_native_cli
from oracles import pigeonhole, random_3sat, random_cnf
from quillon_native_cli import common, configs, native, options, stats, supervise
from commands import inproc

pytestmark = pytest.mark.skipif(not native.available(), reason="quillon_native_cli._scan is not built")


def dimacs(clauses):
    return [" ".join(str((lit >> 1) + 1) if lit % 2 == 0 else str(-((lit >> 1) + 1)) for lit in c) + " 0\n"
            for c in clauses]


def cnf_file(tmp_path, name, nvars, clauses, header=True):
    f = tmp_path / name
    f.write_text((f"p cnf {nvars} {len(clauses)}\n" if header else "") + "".join(dimacs(clauses)))
    return f


FORMULAS = [  # (name, nvars, clauses, header)
    ("sat", 60, random_3sat(3, 60, 4.0), True),
    ("unsat", 50, random_3sat(11, 50, 5.5), True),
    ("hole6", *pigeonhole(6), True),
    # duplicates, tautologies, an empty clause late; read without a header
    ("messy", 0, random_cnf(random.Random(5), 12, 60, 0, 4), False),
]
OPTIONS = [  # (command options, the module's: Solver options, slice, conflict limit, preprocessing rounds, binary)
    (["--config", "default"], ({}, 20000, None, None, False)),
    (["--config", "glucose", "--preprocess", "--binary-proof"], ({"restart": "glucose"}, 20000, None, 3, True)),
    (["--config", "minisat", "--slice", "37", "--max-conflicts", "300", "-v"],
     (dict(configs.CONFIGS["minisat"]), 37, 300, None, False)),
    (["--config", "stable", "--preprocess", "--rounds", "1", "--slice", "0"],
     (dict(configs.CONFIGS["stable"]), 0, None, 1, False)),
    (["--seed", "3", "--rnd-freq", "0.1", "--var-decay", "0.9", "--slice", "101"],
     ({"rnd_seed": 3, "rnd_freq": 0.1, "var_decay": 0.9}, 101, None, None, False)),
]
TIMES = re.compile(r"^c .*(seconds|read in| s  ).*$\n?|(?<=pure) in [0-9.]+ s", re.M)


def run(capsys, monkeypatch, program, *args):
    """(exit code, output without times, errors) of a run in this process,
    searching in the program or (program False) in a forked runner."""
    with monkeypatch.context() as m:
        if not program:
            m.setattr(native, "search_program", lambda: None)
        rc, out, err = inproc(capsys, "solve", *args)
    return rc, TIMES.sub("", out), err


def started(monkeypatch):
    """The search processes started from now on."""
    procs = []

    class Recorded(native.SearchProcess):
        def __init__(self, *args):
            procs.append(self)
            super().__init__(*args)

    monkeypatch.setattr(native, "SearchProcess", Recorded)
    return procs


def gone(proc):
    """Ended and reaped: no process, not even a zombie, is left of it."""
    with pytest.raises(ProcessLookupError):
        os.kill(proc.pid, 0)
    return proc.status is not None


@pytest.mark.parametrize("argv,usage", [
    ([], True), (["x"], True), (["5", "--bogus=1"], True), (["5", "--slice=-1"], True),
    (["5", "--deadline=x"], True), (["5", "--deadline=inf"], True), (["5", "--deadline=nan"], True),
    (["5", "--deadline=100", "--slice=10", "--proof=text", "restart=glucose"], False),
])
def test_the_search_program_refuses_what_its_parent_never_sends(argv, usage):
    # A deadline must be a finite clock reading: an infinite one cannot be
    # converted to the program's clock.
    run = subprocess.run([native.search_program(), *argv], stdin=subprocess.DEVNULL, capture_output=True,
                         text=True, timeout=30)
    assert (run.returncode == 2 and run.stderr.startswith("usage: quillon-search")) == usage


def test_a_configurations_run_never_imports_the_solver_module(tmp_path, monkeypatch):
    # Its options and version come from the native module, as the solver module has them.
    native_options, native_version = options.solver_parameters(), common.version()
    monkeypatch.setattr(options, "_native_options", None)
    assert (native_options, native_version) == (options.solver_parameters(), qn.__version__)
    f = cnf_file(tmp_path, "f.cnf", 3, [[0, 2], [1], [3, 5]])
    code = ("import sys, quillon_native_cli as c; c.__path__.append(sys.argv.pop(1)); "
            "from quillon_native_cli.main import main; rc = main(sys.argv[1:]); "
            "sys.exit(rc + 100 * ('quillon_native' in sys.modules))")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(quillon_native_cli.__file__)))
    p = subprocess.run([sys.executable, "-c", code, os.path.dirname(qn.__file__), "solve", "-q", "--config", "stable",
                        "--walk-flips", "7", str(f)], capture_output=True, text=True, env=env, timeout=60)
    assert (p.returncode, p.stdout, p.stderr) == (10, "s SATISFIABLE\nv -1 2 -3 0\n", "")


def over_the_module(path, relaxed, opts, slice_, limit, rounds, binary):
    """What a configuration's run over the module's Solver (and Preprocessor)
    answers: (answer, model as DIMACS literals, counters, proof bytes)."""
    import io
    from quillon_native_cli.dimacs import read_cnf
    from quillon_native_cli.proofs import ProofWriter
    nvars, clauses = read_cnf(str(path), relaxed)
    pre, steps = None, []
    if rounds is not None:
        pre = qn.Preprocessor(nvars, with_proof=True)
        for c in clauses:
            pre.add_clause(c)
        if not pre.run(rounds):
            return False, [], {}, proof_bytes(pre.proof_steps(), binary)
        nvars, clauses, steps = pre.nvars, pre.reduced(), pre.proof_steps()
    solver = qn.Solver(nvars, **opts)
    solver.enable_proof()
    for c in clauses:
        solver.add_clause(c)
    answer = supervise.in_slices(slice_, limit, None, solver.solve, lambda: solver.conflicts, lambda: None)
    model = (pre.reconstruct(solver.model) if pre else solver.model) if answer else []
    counters = {k: getattr(solver, k) for k in stats.SOLVER_NAMES}
    return answer, [v + 1 if b else -(v + 1) for v, b in enumerate(model)], counters, \
        proof_bytes(steps + solver.proof_steps(), binary)


def proof_bytes(steps, binary):
    import io
    from quillon_native_cli.proofs import ProofWriter
    out = io.BytesIO()
    ProofWriter(out, binary).write(steps)
    return out.getvalue()


def printed(out):
    """(answer, model, counters) as a run printed them."""
    lines = out.splitlines()
    answer = {"s SATISFIABLE": True, "s UNSATISFIABLE": False}.get(next(x for x in lines if x.startswith("s ")))
    model = [int(t) for x in lines if x.startswith("v ") for t in x[2:].split()][:-1]
    counters = {k: int(x.split()[-1]) for k, label in stats.SOLVER for x in lines if x.startswith(f"c {label:<17} ")}
    return answer, model, counters


@pytest.mark.parametrize("name,nvars,clauses,header", FORMULAS, ids=[f[0] for f in FORMULAS])
def test_the_program_prints_and_proves_what_the_module_does(tmp_path, capsys, monkeypatch, name, nvars, clauses,
                                                            header):
    f = cnf_file(tmp_path, f"{name}.cnf", nvars, clauses, header)
    relaxed = [] if header else ["--relaxed"]
    procs = started(monkeypatch)
    for options, module in OPTIONS:
        proof = tmp_path / "p.drat"
        rc, out, err = run(capsys, monkeypatch, True, f, "--proof", proof, *relaxed, *options)
        answer, model, counters, steps = over_the_module(f, bool(relaxed), *module)
        assert (rc, err) == ({True: 10, False: 20, None: 0}[answer], ""), options
        assert printed(out) == (answer, model, counters or printed(out)[2]) and proof.read_bytes() == steps, options
    # A time limit already past: no search.
    rc, out, err = run(capsys, monkeypatch, True, f, *relaxed, "--config", "default", "--seconds", "0")
    assert err == "" and (rc == 0 and "c time limit reached\n" in out and out.endswith("s UNKNOWN\n")
                          or name == "messy" and rc == 20)
    assert len(procs) == len(OPTIONS) + 1 and all(map(gone, procs))


@pytest.mark.parametrize("tail,error", [
    ("1 2 x 0\n", "bad.cnf:{line}: unexpected 'x'"),
    ("1 2 9999 0\n", "bad.cnf:{line}: literal 9999 exceeds the header's 500 variables"),
    ("1 2 0\n" * 2, "bad.cnf:1: header declares {n} clauses, the file has {more}"),
    ("1 2", "bad.cnf:{line}: last clause lacks its terminating 0"),
])
def test_bad_input_mid_file_ends_the_search_program(tmp_path, capsys, monkeypatch, tail, error):
    # Far past the header, so that the program has started and taken clauses.
    clauses = random_3sat(1, 500, 40.0)
    f = tmp_path / "bad.cnf"
    f.write_text(f"p cnf 500 {len(clauses)}\n" + "".join(dimacs(clauses)) + tail)
    want = f"c error: {tmp_path}/" + error.format(line=len(clauses) + 2, n=len(clauses), more=len(clauses) + 2) + "\n"
    procs = started(monkeypatch)
    assert run(capsys, monkeypatch, True, f, "--config", "default", "--proof", tmp_path / "p") == (3, "", want)
    assert not (tmp_path / "p").exists()
    assert len(procs) == 1 and gone(procs[0])


AUTO_FORMULAS = [  # (name, nvars, clauses)
    ("sat", 150, random_3sat(4, 150, 4.1)),
    ("unsat", 60, random_3sat(11, 60, 5.5)),
    ("5-sat", 40, [[2 * v + random.Random(i).randrange(2) for v in random.Random(i).sample(range(40), 5)]
                   for i in range(800)]),
    ("hole6", *pigeonhole(6)),  # at-most-one shaped: three members in turns
    ("structured", 90, random_3sat(2, 90, 3.9) + [[2 * v + 1, 2 * ((v * 7 + 3) % 90)] for v in range(0, 90, 9)]),
]
AUTO_OPTIONS = [[], ["--binary-proof"], ["--slice", "37", "--max-conflicts", "300", "-v"], ["--slice", "0"],
                ["--config", "auto", "--threads", "1"]]


def counter(out, label):
    return next((int(x.split()[-1]) for x in out.splitlines() if x.startswith(f"c {label:<17} ")), None)


@pytest.mark.parametrize("name,nvars,clauses", AUTO_FORMULAS, ids=[f[0] for f in AUTO_FORMULAS])
def test_auto_searches_in_the_program_as_the_plan_over_the_module(tmp_path, capsys, monkeypatch, name, nvars,
                                                                  clauses):
    # The program chooses auto's plan and runs it; solve_formula runs the same
    # search in its own process: the same plan line (Python's statement of the
    # table), winner, counters, model and proof.
    from quillon_native_cli import solve_formula
    f = cnf_file(tmp_path, f"{name}.cnf", nvars, clauses)
    procs = started(monkeypatch)
    proof, ref_proof = tmp_path / "p.drat", tmp_path / "ref.drat"
    rc, out, err = run(capsys, monkeypatch, True, f, "--proof", proof)
    ref = solve_formula([[(l >> 1) + 1 if l % 2 == 0 else -((l >> 1) + 1) for l in c] for c in clauses], nvars,
                        proof=str(ref_proof))
    assert (rc, err) == ({True: 10, False: 20}[ref.answer], "")
    from quillon_native_cli import native, strategy  # the same plan, described the same
    formula = native.Formula(nvars)
    for c in clauses:
        formula.add_clause(c)
    assert f"c {strategy.plan(formula).describe()}\n" in out
    several = "c winner" in out
    assert counter(out, "conflicts") == ref.stats["conflicts"]
    assert counter(out, "all conflicts") == (ref.stats["conflicts_total"] if several else None)
    assert several == (f"c winner            {ref.stats['winner']}\n" in out)
    assert [int(t) for x in out.splitlines() if x.startswith("v ") for t in x[2:].split()][:-1] == (ref.model or [])
    assert proof.read_bytes() == ref_proof.read_bytes()
    # The other options: runs repeat exactly, and no process or file is left.
    for options in AUTO_OPTIONS[1:]:
        got = [run(capsys, monkeypatch, True, f, "--proof", proof, *options) + (proof.read_bytes(),) for _ in "ab"]
        assert got[0] == got[1] and got[0][0] in (0, 10, 20) and got[0][2] == "", options
    assert len(procs) == 2 * len(AUTO_OPTIONS) - 1 and all(map(gone, procs))
    assert not list(tmp_path.glob(".quillon-proofs-*"))  # no proof folder of several solvers left


def flip_model(monkeypatch):
    """The program's models come out with every variable flipped."""
    message = native.SearchProcess.message

    def flipped(kind, payload):
        msg = message(kind, payload)
        if msg[0] == "answer" and msg[3]:
            msg = msg[:3] + (bytes(b ^ 1 for b in msg[3]),) + msg[4:]
        return msg
    monkeypatch.setattr(native.SearchProcess, "message", staticmethod(flipped))


def drop_proof_steps(monkeypatch):
    """The written proof loses its last half (the empty clause among it)."""
    from quillon_native_cli import verify
    close = verify.close_proof

    def dropped(fh, got, args, comment):
        error = close(fh, got, args, comment)
        data = open(fh.name, "rb").read().splitlines(True)
        open(fh.name, "wb").write(b"".join(data[:len(data) // 2]))
        return error
    monkeypatch.setattr(verify, "close_proof", dropped)


CHECKED = [  # (formula, options, fault, exit code, check line)
    (random_3sat(4, 150, 4.1), [], None, 10, "c check: model satisfies all 615 clauses"),
    (random_3sat(4, 150, 4.1), ["--config", "minisat"], flip_model, 1, "c check: MODEL WRONG, clause "),
    (random_3sat(4, 150, 4.1), ["--preprocess"], flip_model, 1, "c check: MODEL WRONG, clause "),
    (pigeonhole(5)[1], [], None, 20, "c check: proof VERIFIED ("),  # three members in turns
    (random_3sat(11, 60, 5.5), [], None, 20, "c check: proof VERIFIED ("),
    (random_3sat(11, 60, 5.5), ["--config", "glucose"], drop_proof_steps, 1, "c check: proof NOT VERIFIED"),
    (pigeonhole(5)[1], ["--proof-file"], drop_proof_steps, 1, "c check: proof NOT VERIFIED"),
    (pigeonhole(5)[1], ["--preprocess"], None, 20, "c check: proof VERIFIED ("),
]


@pytest.mark.parametrize("clauses,options,fault,code,line", CHECKED)
def test_check_verifies_the_run_that_happened(tmp_path, capsys, monkeypatch, clauses, options, fault, code, line):
    # --check reads back the proof written (to a file of its own without
    # --proof) and checks the model against every clause read: a wrong model
    # or a proof that lost steps fails the run.
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    nvars = max(l >> 1 for c in clauses for l in c) + 1
    f = cnf_file(tmp_path, "f.cnf", nvars, clauses)
    if fault:
        fault(monkeypatch)
    proof = ["--proof", tmp_path / "p.drat"] if "--proof-file" in options else []
    rc, out, err = run(capsys, monkeypatch, True, f, "--check", *proof, *[o for o in options if o != "--proof-file"])
    lines = out.splitlines()
    assert (rc, err) == (code, "") and any(x.startswith(line) for x in lines), out
    assert lines[-1] == {10: "s SATISFIABLE", 20: "s UNSATISFIABLE", 1: "s UNKNOWN"}[code] or code == 10
    assert sorted(os.listdir(tmp_path)) == sorted(["f.cnf"] + (["p.drat"] if proof else []))
