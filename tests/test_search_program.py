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
from quillon_native_cli import common, native, options
from test_cli import inproc

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
OPTIONS = [
    ["--config", "default"],
    ["--config", "glucose", "--preprocess", "--binary-proof"],
    ["--config", "minisat", "--slice", "37", "--max-conflicts", "300", "-v"],
    ["--config", "stable", "--preprocess", "--rounds", "1", "--slice", "0"],
    ["--seed", "3", "--rnd-freq", "0.1", "--var-decay", "0.9", "--slice", "101"],
    ["--config", "default", "--seconds", "0"],  # a time limit already past: no search, in either
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


def test_the_search_program_is_built():
    assert native.search_program() is not None, "quillon-search is not built beside _scan"


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


@pytest.mark.parametrize("name,nvars,clauses,header", FORMULAS, ids=[f[0] for f in FORMULAS])
def test_the_program_prints_and_proves_what_the_forked_runner_does(tmp_path, capsys, monkeypatch, name, nvars,
                                                                   clauses, header):
    f = cnf_file(tmp_path, f"{name}.cnf", nvars, clauses, header)
    relaxed = [] if header else ["--relaxed"]
    procs = started(monkeypatch)
    for options in OPTIONS:
        got = {}
        for program in (True, False):
            proof = tmp_path / "p.drat"
            got[program] = run(capsys, monkeypatch, program, f, "--proof", proof, *relaxed, *options), \
                proof.read_bytes()
        assert got[True] == got[False], options
        assert got[True][0][0] in (0, 10, 20) and got[True][0][2] == ""
    assert len(procs) == len(OPTIONS) and all(map(gone, procs))


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
    for program in (True, False):
        assert run(capsys, monkeypatch, program, f, "--config", "default", "--proof", tmp_path / "p") == (3, "", want)
        assert not (tmp_path / "p").exists()
    assert len(procs) == 1 and gone(procs[0])


AUTO_FORMULAS = [  # (name, nvars, clauses, searched in the program)
    ("sat", 150, random_3sat(4, 150, 4.1), True),
    ("unsat", 60, random_3sat(11, 60, 5.5), True),
    ("5-sat", 40, [[2 * v + random.Random(i).randrange(2) for v in random.Random(i).sample(range(40), 5)]
                   for i in range(800)], True),
    ("hole6", *pigeonhole(6), False),  # structured: auto's portfolio, in the fork
]
AUTO_OPTIONS = [[], ["--binary-proof"], ["--slice", "37", "--max-conflicts", "300", "-v"], ["--slice", "0"],
                ["--config", "auto", "--threads", "1"]]


@pytest.mark.parametrize("name,nvars,clauses,program", AUTO_FORMULAS, ids=[f[0] for f in AUTO_FORMULAS])
def test_auto_on_random_formulas_searches_in_the_program_as_in_the_fork(tmp_path, capsys, monkeypatch, name, nvars,
                                                                        clauses, program):
    # auto's plan for uniform random k-SAT is the default configuration alone:
    # the program searches it, and prints and proves what the fork does.
    f = cnf_file(tmp_path, f"{name}.cnf", nvars, clauses)
    procs = started(monkeypatch)
    for options in AUTO_OPTIONS:
        got = {}
        for program_on in (True, False):
            proof = tmp_path / "p.drat"
            got[program_on] = run(capsys, monkeypatch, program_on, f, "--proof", proof, *options), proof.read_bytes()
        assert got[True] == got[False], options
        (rc, out, err), _ = got[True]
        assert rc in (0, 10, 20) and err == "" and "c strategy auto" in out
    assert len(procs) == (len(AUTO_OPTIONS) if program else 0) and all(map(gone, procs))
    assert not list(tmp_path.glob(".quillon-proofs-*"))  # no proof folder of several solvers left
