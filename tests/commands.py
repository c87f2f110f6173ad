# The quillon-native command as the tests run it: in this process through
# main() (cheap; it forks its own search program), or in a subprocess where
# a real process is needed (signals, closed descriptors, full disks); and
# the formats it writes, read back independently.
import os
import subprocess
import sys

from quillon_native_cli.main import main

ENV = dict(os.environ)  # (conftest.py made PYTHONPATH absolute)
COMMAND = [sys.executable, "-m", "quillon_native_cli"]
PHP = [[1, 2], [3, 4], [5, 6], [-1, -3], [-1, -5], [-3, -5], [-2, -4], [-2, -6], [-4, -6]]  # 3 pigeons, 2 holes


def cli(*args, stdin=None, check=None, cwd=None):
    """(exit code, stdout, stderr) of the command in a subprocess."""
    p = subprocess.run(COMMAND + [str(a) for a in args], input=stdin, capture_output=True, env=ENV, timeout=120,
                       cwd=cwd)
    assert b"Traceback" not in p.stderr + p.stdout
    if check is not None:
        assert p.returncode == check, p.stdout.decode() + p.stderr.decode()
    return p.returncode, p.stdout.decode(), p.stderr.decode()


def inproc(capsys, *args):
    """(exit code, stdout, stderr) of the same command line run by this process."""
    try:
        rc = main([str(a) for a in args])
    except SystemExit as e:  # usage errors
        rc = e.code
    out, err = capsys.readouterr()
    return rc, out, err


def cnf_text(nvars, clauses):
    return f"p cnf {nvars} {len(clauses)}\n" + "".join(" ".join(map(str, c)) + " 0\n" for c in clauses)


def hard_formula(folder):
    """Pigeonhole 11 into 10, far beyond a test's patience, with a redundant
    clause of both signs that keeps it off auto's pigeonhole plan: the
    default searches first, in the slices of --slice."""
    P = 11
    v = lambda i, j: i * (P - 1) + j + 1  # noqa: E731
    cl = [[v(i, j) for j in range(P - 1)] for i in range(P)]
    cl += [[-v(i, j), -v(k, j)] for j in range(P - 1) for i in range(P) for k in range(i + 1, P)]
    cl.append([-v(0, 0), -v(1, 0), v(2, 0)])
    f = folder / "hard.cnf"
    f.write_text(cnf_text(P * (P - 1), cl))
    return f


def answer_lines(out):
    return [line for line in out.splitlines() if not line.startswith("c ")]


def model_of(out):
    """The v lines as a set of DIMACS literals; they end with 0 exactly once."""
    vals = [int(t) for line in out.splitlines() if line.startswith("v ") for t in line[2:].split()]
    assert vals[-1] == 0 and 0 not in vals[:-1]
    return set(vals[:-1])


def decode_binary(data):
    """Binary DRAT as [(is_deletion, DIMACS literals)]."""
    steps, i = [], 0
    while i < len(data):
        assert data[i] in b"ad"
        kind, i, lits = data[i] == ord("d"), i + 1, []
        while data[i]:
            code = shift = 0
            while True:
                code |= (data[i] & 127) << shift
                shift, i = shift + 7, i + 1
                if data[i - 1] < 128:
                    break
            lits.append(code >> 1 if code % 2 == 0 else -(code >> 1))
        steps.append((kind, lits))
        i += 1
    return steps


def decode_text(text):
    """Text DRAT as [(is_deletion, DIMACS literals)]; whole steps only."""
    steps = []
    for line in text.splitlines():
        toks = line.split()
        assert toks[-1] == "0"
        steps.append((toks[0] == "d", [int(t) for t in toks[toks[0] == "d":-1]]))
    return steps
