# The quillon-native command, run as a user runs it: in subprocesses.
import gzip
import itertools
import lzma
import os
import random
import signal
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import quillon_native as qn

DATA = Path(__file__).parent / "data"
_paths = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(_paths))
from quillon_native_cli import configs, dimacs, options, proofs  # noqa: E402
from quillon_native_cli.main import main  # noqa: E402


def cli(*args, stdin=None, check=None, cwd=None):
    p = subprocess.run([sys.executable, "-m", "quillon_native_cli", *map(str, args)], input=stdin,
                       capture_output=True, env=ENV, timeout=120, cwd=cwd)
    assert b"Traceback" not in p.stderr + p.stdout
    if check is not None:
        assert p.returncode == check, p.stdout.decode() + p.stderr.decode()
    return p.returncode, p.stdout.decode(), p.stderr.decode()


def inproc(capsys, *args):
    # The same command line run by this process (it forks its search child too).
    try:
        rc = main([str(a) for a in args])
    except SystemExit as e:  # usage errors
        rc = e.code
    out, err = capsys.readouterr()
    return rc, out, err


def cnf_text(nvars, clauses):
    return f"p cnf {nvars} {len(clauses)}\n" + "".join(" ".join(map(str, c)) + " 0\n" for c in clauses)


def random_cnf(rng, nvars, nclauses, k=3):
    return [[v if rng.random() < 0.5 else -v for v in rng.sample(range(1, nvars + 1), k)] for _ in range(nclauses)]


def satisfiable(nvars, clauses):
    return any(all(any((d > 0) == bits[abs(d) - 1] for d in c) for c in clauses)
               for bits in itertools.product((False, True), repeat=nvars))


def model_of(out):
    # The v lines as a set of DIMACS literals; they end with 0 exactly once.
    vals = [int(t) for line in out.splitlines() if line.startswith("v ") for t in line[2:].split()]
    assert vals[-1] == 0 and 0 not in vals[:-1]
    return set(vals[:-1])


def answer_lines(out):
    return [line for line in out.splitlines() if not line.startswith("c ")]


def decode_binary(data):
    # Independent binary DRAT decoder: [(is_deletion, DIMACS literals)].
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
    steps = []
    for line in text.splitlines():
        toks = line.split()
        assert toks[-1] == "0"
        steps.append((toks[0] == "d", [int(t) for t in toks[toks[0] == "d":-1]]))
    return steps


PHP = [[1, 2], [3, 4], [5, 6], [-1, -3], [-1, -5], [-3, -5], [-2, -4], [-2, -6], [-4, -6]]  # 3 pigeons, 2 holes

OK, U = b"p cnf 1 1\n1 0\n", "quillon-native solve: "
S = "argument --seconds: "
BAD = [  # (file name, content or None, extra arguments, the one line on stderr; {f} is the path), exit code 3
    ("absent.cnf", None, [], "{f}: No such file or directory"),
    ("", None, [], "{f}: is a directory"),
    ("empty.cnf", b"", [], "{f}: no 'p cnf' header (use --relaxed to read files without one)"),
    ("junk.cnf", b"p cnf 2 1\n1 \x00\xff\x13junk 0\n", [], "{f}:2: unexpected '\\x00\\xff\\x13junk'"),
    ("cut.cnf.xz", lzma.compress(cnf_text(6, PHP).encode())[:40], [], "{f}: compressed data is truncated or corrupt"),
    ("wide.cnf", b"p cnf 2 1\n1 99999999 0\n", [], "{f}:2: literal 99999999 exceeds the header's 2 variables"),
    ("huge.cnf", b"p cnf 2 1\n1 0\n-123456789012345678901234567890 0\n", [],
     "{f}:3: literal -123456789012345678901234567890 exceeds the header's 2 variables"),
    ("relaxed-huge.cnf", b"1 -2147483648 0\n", ["--relaxed"],
     "{f}:1: literal -2147483648 is out of range (largest variable 2147483646)"),
    ("fewer.cnf", b"c x\np cnf 2 3\n1 2 0\n-1 0\n", [], "{f}:2: header declares 3 clauses, the file has 2"),
    ("more.cnf", b"p cnf 2 1\n1 2 0\n-1 0\n", [], "{f}:1: header declares 1 clauses, the file has 2"),
    ("open.cnf", b"p cnf 2 2\n1 2 0\n-1\n\n", [], "{f}:3: last clause lacks its terminating 0"),
    ("stray.cnf", b"p cnf 3 1\nc fine\n1 +2 0\n", [], "{f}:3: unexpected '+2'"),
    ("bare.cnf", b"c no header\n\n1 2 0\n", [],
     "{f}:3: clause before the 'p cnf' header (use --relaxed to read files without one)"),
    ("hdr.cnf", b"p cnf 2\n1 0\n", [], "{f}:1: bad header 'p cnf 2': expected 'p cnf VARIABLES CLAUSES'"),
    ("hdr2.cnf", b"p cnf 2 1\np cnf 2 1\n1 0\n", [], "{f}:2: second 'p' line"),
    ("late.cnf", b"p cnf 2 2\n1 0\np cnf 2 1\n", ["--relaxed"], "{f}:3: second 'p' line"),
    ("vars.cnf", b"p cnf 2147483647 0\n", [],
     "{f}:1: header declares 2147483647 variables, more than the largest variable 2147483646"),
]
USAGE = [  # (extra arguments, the one line on stderr after "c error: quillon-native solve: "), exit code 2
    (["--seconds", "-1"], S + "-1 is out of range (0 or more, or inf)"),
    (["--seconds", "nan"], S + "nan is out of range (0 or more, or inf)"),
    (["--binary-proof"], "--binary-proof needs --proof PROOF"),
    (["--portfolio", "10"], "argument --portfolio: 10 is out of range (1 to 9)"),
    (["--walk-flips", "-3"], "argument --walk-flips: -3 is out of range (0 to 18446744073709551615)"),
    (["--walk-flips", "1" * 41], "argument --walk-flips: expected a whole number (0 to 18446744073709551615), got '"
     + "1" * 41 + "'"),
]


@pytest.fixture(params=["native", "python"])
def scan(request, monkeypatch):
    # The readers run their native loops (_scan) or, as without it, Python's.
    assert dimacs.Tokens.scan is not None, "quillon_native_cli._scan is not built"
    if request.param == "python":
        monkeypatch.setattr(dimacs.Tokens, "scan", None)


@pytest.mark.parametrize("name,content,extra,message", BAD)
def test_bad_input_is_one_line(tmp_path, name, content, extra, message):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    rc, out, err = cli("solve", path, *extra, cwd=tmp_path)
    assert (rc, err) == (3, "c error: " + message.format(f=path) + "\n")
    assert "s " not in out


@pytest.mark.parametrize("extra,message", USAGE)
def test_bad_usage_is_one_line(tmp_path, extra, message):
    (tmp_path / "ok.cnf").write_bytes(OK)
    assert cli("solve", "ok.cnf", *extra, cwd=tmp_path) == (2, "", f"c error: {U}{message}\n")


def test_check_refuses_unreadable_inputs(tmp_path, capsys, scan):
    cnf = tmp_path / "f.cnf"
    cnf.write_text(cnf_text(6, PHP))
    for proof, message in [(b"d 1 2 0\n1 d 2 0\n", "{p}:2: 'd' inside a clause"), (b"1 2 0\n-1", "{p}:2: last step "
                           "lacks its terminating 0"), (b"1 2 0\n" * 30 + b"-1\n\nc done\n\n", "{p}:31: last step lacks its "
                           "terminating 0"), (b"a\x02\x07\x00x\x02\x00", "{p}: byte 4: step starts with 'x', "
                           "not 'a' or 'd'"), (b"a\x02\x87", "{p}: byte 3: last step lacks its terminating 0 byte")]:
        (tmp_path / "p").write_bytes(proof)
        want = f"c error: {message.format(p=tmp_path / 'p')}\n"
        assert inproc(capsys, "check", cnf, tmp_path / "p")[::2] == (3, want)
    err = f"c error: {tmp_path / 'no'}: No such file or directory\n"
    assert inproc(capsys, "check", cnf, tmp_path / "no")[::2] == (3, err)
    assert inproc(capsys, "check", cnf)[0] == 2


def test_relaxed_reading_the_percent_marker_and_the_example(tmp_path, capsys):
    f = tmp_path / "r.cnf"
    f.write_text("c no header, a variable beyond it, no final 0\n1 2 0\n-1 0\n-2 7 0\n-7")
    rc, out, _ = inproc(capsys, "solve", f, "--relaxed")
    assert (rc, answer_lines(out)) == (20, ["s UNSATISFIABLE"])
    assert f"c {f}: 7 variables, 4 clauses, read in " in out
    f.write_text("p cnf 3 2\n1 -2 0\n2 3 0\n%\n0\n")
    rc, out, _ = inproc(capsys, "solve", f)
    assert rc == 10 and len(model_of(out)) == 3
    rc, out, _ = inproc(capsys, "solve", Path(__file__).parent.parent / "examples" / "example.cnf", "--check")
    assert rc == 10 and "c check: model satisfies all 296 clauses" in out and len(model_of(out)) == 36


@pytest.mark.parametrize("extra", [[], ["--preprocess"], ["--portfolio", "3"], ["--config", "glucose", "--slice", "0"],
                                   ["--slice", "3", "--binary-proof"],
                                   ["--preprocess", "--portfolio", "2", "--binary-proof"]])
def test_answers_models_and_proofs(tmp_path, capsys, extra):
    # Random small formulas, one satisfiable and one not (brute force); the
    # model is checked and the proof goes through `check`, text or binary.
    rng = random.Random(len(extra) * 7 + sum(map(len, extra)))
    seen = set()
    while len(seen) < 2:
        nvars = rng.randint(5, 11)
        clauses = random_cnf(rng, nvars, int(nvars * rng.uniform(3.5, 6)))
        sat = satisfiable(nvars, clauses)
        if sat in seen:
            continue
        seen.add(sat)
        f = tmp_path / f"f{sat}.cnf"
        f.write_text("c random\n" + cnf_text(nvars, clauses))
        proof = tmp_path / f"f{sat}.drat"
        rc, out, err = inproc(capsys, "solve", f, "--proof", proof, "--check", *extra)
        assert err == "" and "time limit" not in out
        if sat:
            assert rc == 10 and answer_lines(out)[0] == "s SATISFIABLE"
            model = model_of(out)
            assert sorted(map(abs, model)) == list(range(1, nvars + 1))
            assert all(model & set(c) for c in clauses)
            assert "c check: model satisfies all" in out
        else:
            assert (rc, answer_lines(out)) == (20, ["s UNSATISFIABLE"])
            assert "c check: proof VERIFIED" in out
            rc, out, err = inproc(capsys, "check", f, proof)
            assert (rc, answer_lines(out)) == (0, ["s VERIFIED"])
            assert out.count("binary") == ("--binary-proof" in extra)


def test_text_and_binary_proofs_are_the_same_steps(tmp_path, capsys):
    # The solver is deterministic: the two encodings of one run must decode
    # to the same steps, by an independent decoder.
    f = tmp_path / "php.cnf"
    f.write_bytes(gzip.decompress((DATA / "php5.cnf.gz").read_bytes()))
    assert inproc(capsys, "solve", f, "--proof", tmp_path / "t", "--slice", "5")[0] == 20
    assert inproc(capsys, "solve", f, "--proof", tmp_path / "b", "--binary-proof", "--slice", "5")[0] == 20
    text = decode_text((tmp_path / "t").read_text())
    assert decode_binary((tmp_path / "b").read_bytes()) == text
    assert text[-1] == (False, []) and any(kind for kind, _ in text)


@pytest.mark.parametrize("cnf,proof", [("php5.cnf.gz", "php5.cadical.drat.gz"),
                                       ("php5.cnf.gz", "php5.cadical.bdrat.gz")])
def test_other_solvers_proofs_verify(tmp_path, capsys, cnf, proof, scan):
    rc, out, _ = inproc(capsys, "check", DATA / cnf, DATA / proof)
    assert (rc, answer_lines(out)) == (0, ["s VERIFIED"]) and "deletions applied" in out
    # Without its lemmas the proof breaks: the verdict names the failing step.
    steps = proofs.ProofReader(str(DATA / proof)).read().steps
    broken = [(d, [qn.to_dimacs(x) for x in lits]) for d, lits in steps if d or not lits]
    with (tmp_path / "broken").open("wb") as fh:
        proofs.ProofWriter(fh, binary="bdrat" in proof).write(broken)
    rc, out, _ = inproc(capsys, "check", DATA / cnf, tmp_path / "broken")
    assert (rc, answer_lines(out)) == (1, ["s NOT VERIFIED"]) and f"c failing step {len(broken)}: 0" in out.splitlines()


def test_readers_agree_with_a_plain_parser_across_block_boundaries(monkeypatch, tmp_path, scan):
    rng = random.Random(3)
    clauses = random_cnf(rng, 30, 60, 4) + [[5], [-7, 9]]
    text = "c head\np cnf 30 62\n"
    for c in clauses:
        text += rng.choice(["", "c note 1 2 0\n", "\n"]) if text[-1] == "\n" else ""
        text += rng.choice([" ", "\n"]).join(map(str, c)) + rng.choice([" 0\n", "\n0\n", " 0 "])
    (tmp_path / "f.cnf").write_text(text)
    want = [[qn.from_dimacs(d) for d in c] for c in clauses]
    steps = [(rng.random() < 0.3, [rng.choice([-1, 1]) * rng.randint(1, 300) for _ in range(rng.randint(0, 5))])
             for _ in range(80)]
    for binary in (False, True):
        proofs.ProofWriter((tmp_path / f"p{binary}").open("wb"), binary).write(steps)
    for size in (1, 2, 3, 7, 64):
        monkeypatch.setattr(dimacs.Tokens, "block", size)
        got = []
        assert dimacs.CnfReader(str(tmp_path / "f.cnf"), got.append).read().nclauses == 62
        assert got == want
        for binary in (False, True):
            r = proofs.ProofReader(str(tmp_path / f"p{binary}")).read()
            assert r.binary == binary
            assert r.steps == [(d, [qn.from_dimacs(x) for x in lits]) for d, lits in steps]


def read_both_ways(monkeypatch, path, binary=None, relaxed=False):
    # What a reader gives with _scan and without: clauses or steps, or the error.
    got = []
    for scan in (dimacs._scan, None):
        monkeypatch.setattr(dimacs.Tokens, "scan", scan)
        try:
            if binary is None:
                clauses = []
                r = dimacs.CnfReader(str(path), clauses.append, relaxed=relaxed).read()
                got.append((clauses, r.nvars, r.nclauses))
            else:
                r = proofs.ProofReader(str(path)).read()
                got.append((r.binary == binary, r.steps))
        except dimacs.InputError as e:
            got.append(str(e))
    assert got[0] == got[1]
    return got[0]


def test_scan_reads_whole_blocks_or_nothing():
    # The native loops on their own: what they read, and what they leave to
    # the Python loops (None, and nothing sunk or appended).
    scan, got = dimacs._scan, []
    assert scan.cnf_numbers(b"1 -2 0 3\n4 0 00 007\t-7\x0b\x0c", 7, got.append, [5], []) == (3, 7, [12, 13])
    assert scan.cnf_numbers(b" 1\r\n", 7, got.append, [5], []) == (0, 1, [5, 0])
    assert got == [[5, 0, 3], [4, 6], []]
    assert scan.cnf_numbers(b"300 0 300 0", 300, got.append, [], []) == (2, 300, [])
    assert got[3] == [598] and got[3][0] is got[4][0]  # one int object per literal
    for block in [b"1 8 0", b"1 +2 0", b"1 - 0", b"1 -- 0", b"d 1 0", b"1x 0", b"1 0 " + b"9" * 30, b"1\x1c0", b"\xb2 0",
                  b"1 -0 2", b"-00"]:
        assert scan.cnf_numbers(block, 7, got.append, [], None) is None and len(got) == 5
    with pytest.raises(ValueError):  # the sink's own error
        scan.cnf_numbers(b"1 0", 7, [].remove, [], [])
    steps = []
    assert scan.drat_text(b"1 0 d -2 0\nd", 9, steps, [], []) == [-2]
    assert scan.drat_text(b"4 0 0 d 0 9", 9, steps, [-2], []) == [16]
    for block, tail in [(b"1 d 0", []), (b"d d 1 0", []), (b"d 1 0", [0]), (b"d 1 0", [-2]), (b"10 0", [])]:
        assert scan.drat_text(block, 9, steps, tail, []) is None
    big = b"a\xff\xff\xff\xff\x0f\x00"  # 2**32 - 1: the largest code
    assert scan.drat_binary(b"a\x02\x05\x00d\x82\x80\x80\x00\x00a\x00" + big, steps, []) == 4
    assert steps == [(False, [0]), (True, [3]), (True, [6]), (False, []), (True, []), (False, [0, 3]), (True, [0]),
                     (False, []), (False, [2 ** 32 - 3])]
    for block in [b"a\x01\x00", b"a\x80\x80\x80\x80\x10\x00", b"a\x02", b"a\x82\x00", b"\x00", b"x\x02\x00",
                  b"a\x02\x00d", b"a\x80\x00\x00", b"a\x82\x80\x80\x80\x80\x01\x00"]:
        assert scan.drat_binary(block, steps, []) is None and len(steps) == 9


def test_native_and_python_readers_agree_on_anything(monkeypatch, tmp_path):
    # The bad-input table, and random texts of numbers in and out of range,
    # junk, comments, headers, 'd's and odd spaces, read in blocks of random
    # size; random binary proofs, some with a byte changed.
    f = tmp_path / "f"
    for name, content, extra, message in BAD:
        if content is not None and extra in ([], ["--relaxed"]):
            f.write_bytes(content)
            assert read_both_ways(monkeypatch, f, relaxed=extra != []) == message.format(f=f)
    rng = random.Random(11)
    odd = ["d", "+2", "-", "1-", "x", "\x00", "c", "%", "p cnf 6 3", "--1", "7", "2147483646", "-2147483647", "9" * 30, "-0", "-00"]
    spaces = [" "] * 8 + ["\n"] * 4 + ["\r\n", "  ", "\nc note 1 0\n", "\n\n", "\t", "\x0b", "\x0c"]
    for i in range(200):
        cut = [[*(["d"] if rng.random() < 0.3 else []), *(rng.choice(["", "-"]) + rng.choice(["", "0", "00"]) +
                str(rng.randint(1, 6)) for _ in range(rng.randint(0, 5))), rng.choice(["0", "0", "00"])]
               for _ in range(rng.randint(0, 8))]
        toks = [t for c in cut for t in c]
        if rng.random() < 0.4:
            toks.insert(rng.randint(0, len(toks)), rng.choice(odd))
        if toks and rng.random() < 0.2:
            toks.pop()
        monkeypatch.setattr(dimacs.Tokens, "block", rng.choice([1, 3, 8, 64, 1 << 16]))
        text = "".join(t + rng.choice(spaces[:-3]) for t in toks)  # no \t, \v, \f: those make it binary
        f.write_bytes(text.encode("latin-1"))
        read_both_ways(monkeypatch, f, binary=False)
        cnf = [t for t in toks if t != "d"]
        head = rng.choice([f"p cnf 6 {sum(t in ('0', '00') for t in cnf)}\n"] * 3 + ["p cnf 3 9\n", ""])
        f.write_bytes((head + "".join(t + rng.choice(spaces) for t in cnf)).encode("latin-1"))
        read_both_ways(monkeypatch, f, relaxed=i % 3 == 0)
        steps = [(rng.random() < 0.3, [rng.choice([-1, 1]) * rng.randint(1, 1 << rng.randint(1, 31))
                                       for _ in range(rng.randint(0, 4))]) for _ in range(rng.randint(1, 6))]
        with f.open("wb") as fh:
            proofs.ProofWriter(fh, binary=True).write(steps)
        data = bytearray(f.read_bytes())
        for _ in range(rng.choice([0, 0, 1, 2])):
            data[rng.randrange(len(data))] = rng.choice([0, 1, 0x7f, 0x80, 0xff, ord("a"), ord("d"), rng.randrange(256)])
        f.write_bytes(b"a" + data if data[:1] not in (b"a", b"d") else bytes(data))
        read_both_ways(monkeypatch, f, binary=True)


def hard_formula(tmp_path):
    P = 11  # pigeonhole 11 into 10: far beyond a test's patience
    v = lambda i, j: i * (P - 1) + j + 1  # noqa: E731
    cl = [[v(i, j) for j in range(P - 1)] for i in range(P)]
    cl += [[-v(i, j), -v(k, j)] for j in range(P - 1) for i in range(P) for k in range(i + 1, P)]
    # A redundant clause of both signs keeps it off auto's pigeonhole plan: the default searches
    # first, in the slices of --slice.
    cl.append([-v(0, 0), -v(1, 0), v(2, 0)])
    f = tmp_path / "hard.cnf"
    f.write_text(cnf_text(P * (P - 1), cl))
    return f


@pytest.mark.parametrize("sig,code", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_mid_search_gives_unknown_and_statistics(tmp_path, sig, code):
    f = hard_formula(tmp_path)
    p = subprocess.Popen([sys.executable, "-m", "quillon_native_cli", "solve", "-v", "--slice", "20", str(f),
                          "--proof", str(tmp_path / "p")], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV,
                         text=True)
    head = [p.stdout.readline() for _ in range(5)]
    assert "conflicts (" in head[-1]  # searching: a progress line came
    p.send_signal(sig)
    out, err = p.communicate(timeout=60)
    assert (p.returncode, err) == (code, "")
    lines = out.splitlines()
    assert lines[-1] == "s UNKNOWN" and f"c interrupted by {sig.name}" in lines
    assert any(line.startswith("c conflicts ") and int(line.split()[-1]) >= 20 for line in lines)
    decode_text((tmp_path / "p").read_text())  # whole steps only


def test_time_limit_and_closed_output(tmp_path):
    f = hard_formula(tmp_path)
    rc, out, err = cli("solve", f, "--seconds", "0.3", check=0)
    assert answer_lines(out) == ["s UNKNOWN"] and "c time limit reached" in out
    p = subprocess.Popen([sys.executable, "-m", "quillon_native_cli", "solve", str(DATA / "php5.cnf.gz")],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
    p.stdout.close()
    assert p.wait(60) == 20 and p.stderr.read() == b""
    php5 = gzip.decompress((DATA / "php5.cnf.gz").read_bytes())
    assert cli("solve", "-", "-q", stdin=php5)[:2] == (20, "s UNSATISFIABLE\n")
    assert cli("--version", check=0)[1] == f"quillon-native {qn.__version__}\n"


def test_solver_flags_and_configurations_follow_the_module():
    import inspect
    want = [(p.name, p.default) for p in inspect.signature(qn.Solver).parameters.values()][1:]
    assert options.solver_parameters() == want
    # Every number has a range on the command line, which takes each default and each named configuration;
    # every option has a help text, and an option string its spellings.
    limits = {o.name: o.limits for o in options.solver_options()}
    assert all((limits[name] is None) == isinstance(default, (bool, str)) for name, default in want)
    assert all(o.help and (o.choices is not None) == isinstance(o.default, str) for o in options.solver_options())
    for name in configs.CONFIGS:
        assert repr(qn.Solver(**configs.CONFIGS[name])) == "<native.Solver vars=0 conflicts=0>"
        assert list(configs.full(name)) == [name for name, _ in want]
        assert all(value in limits[key] for key, value in configs.full(name).items() if limits[key] is not None)


def test_installed_stub_type_checks_user_code(tmp_path, monkeypatch):
    # mypy, run by a user of the installed wheel, finds the stub package.
    mypy = pytest.importorskip("mypy.api")
    purelib = Path(sysconfig.get_paths()["purelib"])
    if not (purelib / "quillon_native-stubs" / "__init__.pyi").exists():
        pytest.skip("quillon_native is not installed as a wheel here")
    user = tmp_path / "user.py"
    user.write_text("import quillon_native as qn\ns = qn.Solver(3)\nok: bool = s.add_clause([0, 2])\n"
                    "bad: str = s.nvars\n")
    monkeypatch.chdir(tmp_path)
    out, _, status = mypy.run([str(user), "--no-incremental"])
    assert status == 1 and 'user.py:4: error: Incompatible types in assignment (expression has type "int", variable ' \
        'has type "str")' in out and out.count("error:") == 1


HEADS = {  # a file's start: whether it holds a formula, as a plain reading of its first MiB tells
    "header": b"c x\n\np cnf 3 2\n1 0\n", "proof": b"1 2 0\nd 1 0\n", "empty": b"", "comments": b"c a\nc b\n",
    "long comment": b"c " + b"x" * 70000 + b"\np cnf 1 1\n", "header across blocks": b"c\n" * 32767 + b"p cnf 1 1\n",
    "comment across blocks": b"c\n" * 32766 + b"cc" + b"p cnf 1 1\n", "past a MiB": b"c\n" * 600000 + b"p cnf 1 1\n",
    "no newline": b"p cnf 2 1",
}


def test_a_proof_target_is_refused_when_it_starts_like_a_formula(tmp_path):
    from quillon_native_cli.proofs import holds_cnf
    for name, data in HEADS.items():
        (tmp_path / "t").write_bytes(data)
        lines = [s.strip() for s in data[:1 << 20].split(b"\n")]
        first = next((s for s in lines if s and not s.startswith(b"c")), b"")
        assert holds_cnf(str(tmp_path / "t")) == (first.split()[:2] == [b"p", b"cnf"]), name
