# The native front end (`quillon-native` as built) against the Python one
# (`python -m quillon_native_cli`): the same command lines give the same
# standard output, standard error and exit code, times aside; what the
# native one leaves to the Python one reaches it untouched.
import os
import random
import re
import subprocess

import pytest

from quillon_native_cli import native, runner
from quillon_native_cli.main import main

FRONT = native.front_program()
_paths = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(_paths))
TIMES = re.compile(rb"(in|seconds)( +)[0-9]+\.[0-9]+")  # the times of a run

SAT = "p cnf 5 4\n1 -2 0\n2 3 -4 0\nc a comment\n-1 -3 5 0\n4 -5 0\n"
UNSAT = "p cnf 2 4\n1 2 0\n-1 2 0\n1 -2 0\n-1 -2 0\n"
FORMULAS = {  # name: text (None: no such file)
    "sat": SAT, "unsat": UNSAT, "empty": "", "missing": None, "php": None,
    "bad-header": "p cnf x 2\n1 0\n", "bad-literal": "p cnf 3 2\n1 2 0\nc\n-1 x3 0\n",
    "too-big": "p cnf 3 2\n1 2 0\n-1 4 0\n", "minus-zero": "p cnf 3 1\n1 -0 0\n",
    "no-end": "p cnf 3 2\n1 2 0\n-1 3\n\n", "count": "p cnf 3 3\n1 2 0\n", "before": "1 2 0\np cnf 3 1\n",
    "second": "p cnf 3 1\n1 2 0\np cnf 3 1\n", "vars": "p cnf 99999999999 1\n1 0\n",
    "memory": "p cnf 2000000000 1\n1 0\n", "long": "p cnf 3 1\n3 " + "9" * 45 + " 0\n",
    "junk": "p cnf 3 1\n\x01\xff 0\n", "split": "p cnf 3 2\n1 2 0 -1\n3 0\n", "crlf": "p  cnf 3 1 \r\n1 2 0",
    "percent": "p cnf 2 1\n1 -2 0\n%\n0\n", "headless": "1 2 0\n-1 0\n2 3 0\n",
    # past the first block: a bad literal and a last clause without its 0
    "late": "p cnf 300 3000\n" + "1 -2 3 0\n" * 2000 + "4 301 0\n" + "5 0\n" * 999,
    "late-end": "p cnf 300 3000\n" + "1 -2 3 0\n" * 2999 + "7 8\n",
}


def run(cmd, tmp_path):
    p = subprocess.run(cmd, capture_output=True, env=ENV, timeout=120, cwd=tmp_path)
    return p.returncode, TIMES.sub(rb"\1\2T", p.stdout), TIMES.sub(rb"\1\2T", p.stderr)


def python_front(capsys, args):
    """The Python front end's result, run in this process (as its tests do: an interpreter per row is slow)."""
    try:
        code = main([str(a) for a in args])
    except SystemExit as e:
        code = e.code
    out, err = capsys.readouterr()
    return code, TIMES.sub(rb"\1\2T", out.encode()), TIMES.sub(rb"\1\2T", err.encode())


@pytest.fixture
def both(tmp_path, capsys, monkeypatch):
    """(native, python) results of `solve ARGS`, each formula's name its file."""
    for name, text in FORMULAS.items():
        if text is not None:
            (tmp_path / name).write_bytes(text.encode("latin-1"))
    monkeypatch.chdir(tmp_path)
    php = os.path.join(os.path.dirname(__file__), "..", "examples", "php5.cnf")

    def run_both(args, after=lambda: ()):
        """`after()` is called after each run, its result added to the run's."""
        args = [os.path.abspath(php) if a == "php" else a for a in args]
        ours = (*run([FRONT, "solve", *args], tmp_path), *after())
        return ours, (*python_front(capsys, ["solve", *args]), *after())
    return run_both


def clauses(text):
    text = text.split("\n%")[0]  # the formula ends at a '%' line
    nums = [int(t) for line in text.splitlines() if line.strip()[:1] not in ("c", "p", "") for t in line.split()]
    out, cur = [], []
    for n in nums:
        if n:
            cur.append(n)
        else:
            out.append(cur)
            cur = []
    return out


def test_front_end_is_built():
    assert FRONT is not None, "the native front end quillon-native is not where the tests look"


@pytest.mark.parametrize("args", [
    ["sat"], ["-q", "sat"], ["unsat"], ["unsat", "-q"], ["php"],
    ["sat", "--config", "glucose"], ["sat", "--config=minisat", "--var-decay", "0.9", "--luby-base=512"],
    ["php", "--seed", "5", "--slice", "0"], ["php", "--restart", "glucose", "--phase-saving", "no", "--walk-flips", "7"],
    ["sat", "--phase-saving", "maybe"],
    ["unsat", "--preprocess"], ["php", "--preprocess", "--rounds", "1", "--config", "stable"],
    ["php", "--config", "default", "--max-conflicts", "3"], ["sat", "--portfolio", "1"], ["php", "--threads", "1"],
    ["sat", "--seconds", "100", "--config", "auto"], ["headless", "--relaxed"],
    *[[name, "-q"] for name in FORMULAS if name not in ("sat", "unsat", "php")],
    ["headless"], ["missing"],
])
def test_same_as_python(both, args):
    ours, theirs = both(args)
    assert ours == theirs
    code, out, err = ours
    assert b"Traceback" not in err
    if code == 10:
        true = {int(t) for line in out.decode().splitlines() if line.startswith("v ") for t in line[2:].split()}
        formula = FORMULAS[next(a for a in args if a in FORMULAS)]
        assert all(true & set(c) for c in clauses(formula)), "the model falsifies a clause"


@pytest.mark.parametrize("args", [
    ["php", "--proof", "p.drat"], ["php", "--proof", "p.drat", "--binary-proof", "--config", "glucose", "-q"],
    ["unsat", "--proof", "p.drat", "--preprocess"], ["php", "--proof", "p.drat", "--portfolio", "1"],
    ["php", "--proof", "p.drat", "--config", "default", "--max-conflicts", "5"], ["sat", "--proof", "p.drat"],
    ["sat", "--proof", "unsat"], ["sat", "--proof", "unsat", "-f"], ["sat", "--proof", "sat"],
    ["sat", "--proof", "no/p.drat"], ["sat", "--proof", "."], ["missing", "--proof", "p.drat"],
])
def test_same_proof_as_python(both, tmp_path, capsys, args):
    def proof():
        path = tmp_path / args[args.index("--proof") + 1]
        data = path.read_bytes() if path.is_file() else None
        if data is not None and path.name == "p.drat":
            path.unlink()
        return (data,)
    ours, theirs = both(args, proof)
    assert ours == theirs
    assert not [p for p in os.listdir(tmp_path) if p.startswith(".quillon")], "a member's proof was left"
    if ours[0] == 20:  # the proof refutes the formula
        (tmp_path / "p.drat").write_bytes(ours[3])
        formula = os.path.join(os.path.dirname(__file__), "..", "examples", "php5.cnf") if args[0] == "php" else args[0]
        assert python_front(capsys, ["check", formula, "p.drat"])[0] == 0


@pytest.mark.parametrize("spellings", [("YES", "On", "1", "true"), ("Off", "NO", "0", "FALSE")])
def test_reads_every_boolean_spelling_itself(tmp_path, capsys, spellings):
    # with no Python front end to hand them to, the native one must read them
    php = os.path.join(os.path.dirname(__file__), "..", "examples", "php5.cnf")
    args = ["solve", "-q", php]
    for option, value in zip(("--phase-saving", "--target-phase", "--init-phase", "--block-restart"), spellings):
        args += [option, value]
    alone = subprocess.run([FRONT, *args], capture_output=True, timeout=120, cwd=tmp_path,
                           env=dict(ENV, QUILLON_NATIVE_PYTHON=str(tmp_path / "no-python")))
    assert (alone.returncode, alone.stdout, alone.stderr) == python_front(capsys, args) == (20, b"s UNSATISFIABLE\n", b"")


def test_proof_with_standard_input_closed(tmp_path, capsys):
    # a descriptor opened now may be 0: the proof is still written whole
    php = os.path.join(os.path.dirname(__file__), "..", "examples", "php5.cnf")
    p = subprocess.run([FRONT, "solve", "-q", php, "--proof", "p.drat"], capture_output=True, env=ENV, timeout=120,
                       cwd=tmp_path, preexec_fn=lambda: os.close(0))
    assert (p.returncode, p.stderr) == (20, b"")
    assert python_front(capsys, ["check", php, str(tmp_path / "p.drat")])[0] == 0


@pytest.mark.parametrize("args, python_only", [
    (["sat", "--check"], b"c check: model satisfies all 4 clauses"),               # an option the native front end leaves
    (["sat", "--sec", "5"], b"s SATISFIABLE"),                      # an abbreviation
    (["sat", "--seconds", "-1"], b"--seconds: -1 is out of range"),  # a value it does not read
    (["sat", "-q", "-v"], b"-q and -v contradict each other"),
    (["--help"], b"usage: quillon-native solve"),
])
def test_left_to_python(both, args, python_only):
    ours, theirs = both(args)
    assert ours == theirs
    assert python_only in ours[1] + ours[2]


def test_other_commands_reach_python(tmp_path, capsys, monkeypatch):
    (tmp_path / "f.cnf").write_text(UNSAT)
    (tmp_path / "p.drat").write_text("-1 0\n0\n")
    monkeypatch.chdir(tmp_path)
    for args in (["check", "f.cnf", "p.drat"], ["--version"], ["nope"], []):  # [] : no argv[1] to read
        ours = run([FRONT, *args], tmp_path)
        assert ours == python_front(capsys, args)
        assert ours[0] in (0, 2) and b"Traceback" not in ours[2]


@pytest.mark.skipif(bool(os.environ.get("QUILLON_SANITIZED")), reason="the sanitizer runtime reserves terabytes")
def test_batch_caps_the_native_front_end(tmp_path):
    # batch starts the native front end without a set-up of its own between
    # fork and exec: the front end caps itself (a solver of 5 million
    # variables needs about 400 MiB).
    (tmp_path / "big.cnf").write_text("p cnf 5000000 1\n1 0\n")
    job = dict(path=str(tmp_path / "big.cnf"), seconds=20.0, memory=64, check=False, config=None, solver=None)
    assert runner.solve_command(job)[0] == FRONT
    result = runner.run_instance(job)
    assert (result["status"], result["detail"]) == ("memout", f"c error: {job['path']}: out of memory")


PIECES = ["0", "-0", "00", "007", "x", "c", "p cnf 5 3", "%", "\r", "\t", "\x0b", "99999999999", "-", "1-", "+1",
          "\xff", "c 1 2", "\n", "\n\n", " ", "6", "-4"]


def mutated(rng):
    """A small formula with a few pieces of text put in or cut out."""
    n, m = rng.randint(1, 6), rng.randint(0, 8)
    text = f"p cnf {n} {m}\n" + "".join(" ".join(str(rng.choice([-1, 1]) * rng.randint(1, n))
                                                 for _ in range(rng.randint(0, 3))) + " 0\n" for _ in range(m))
    for _ in range(rng.randint(0, 3)):
        pos = rng.randint(0, len(text))
        if rng.random() < 0.6:
            text = text[:pos] + rng.choice([rng.choice(PIECES), f" {rng.choice(PIECES)} "]) + text[pos:]
        else:
            text = text[:pos] + text[pos + rng.randint(1, 4):]
    return text


def test_reads_as_python_reads(tmp_path, capsys, monkeypatch):
    # The reader is the Python one's in C++: any text, the same verdict on the same line.
    monkeypatch.chdir(tmp_path)
    rng = random.Random(2026)
    for i in range(40):
        (tmp_path / "f.cnf").write_bytes(mutated(rng).encode("latin-1"))
        args = ["solve", "f.cnf", "--max-conflicts", "0", *rng.choice([[], ["-q"], ["--relaxed"]])]
        assert run([FRONT, *args], tmp_path) == python_front(capsys, args), (tmp_path / "f.cnf").read_bytes()
