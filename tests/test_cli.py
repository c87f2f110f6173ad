# The quillon-native command: answers, models and proofs checked, the readers
# against independent ones, signals and closed outputs in real processes.
import gzip
import itertools
import random
import subprocess
import sysconfig
from pathlib import Path

import pytest

import quillon_native as qn
from commands import COMMAND, ENV, answer_lines, cli, cnf_text, decode_binary, decode_text, inproc, model_of
from quillon_native_cli import configs, dimacs, options, proofs
from test_faults import BAD_INPUT, BAD_PROOFS

DATA = Path(__file__).parent / "data"


def random_cnf(rng, nvars, nclauses, k=3):
    return [[v if rng.random() < 0.5 else -v for v in rng.sample(range(1, nvars + 1), k)] for _ in range(nclauses)]


def satisfiable(nvars, clauses):
    return any(all(any((d > 0) == bits[abs(d) - 1] for d in c) for c in clauses)
               for bits in itertools.product((False, True), repeat=nvars))


@pytest.fixture(params=["native", "python"])
def scan(request, monkeypatch):
    # The readers run their native loops (_scan) or, as without it, Python's.
    assert dimacs.Tokens.scan is not None, "quillon_native_cli._scan is not built"
    if request.param == "python":
        monkeypatch.setattr(dimacs.Tokens, "scan", None)


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
    # The unreadable inputs of the fault table, and random texts of numbers in
    # and out of range, junk, comments, headers, 'd's and odd spaces, read in
    # blocks of random size; random binary proofs, some with a byte changed.
    f = tmp_path / "f"
    for name, content, relaxed, message in BAD_INPUT:
        if not name.endswith(".xz"):
            f.write_bytes(content)
            assert read_both_ways(monkeypatch, f, relaxed=relaxed) == f"{f}{message[len(name):]}"
    for content, message in BAD_PROOFS:
        f.write_bytes(content)
        assert read_both_ways(monkeypatch, f, binary=content[:1] == b"a") == f"{f}{message[len('p.drat'):]}"
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


def test_closed_output_standard_input_and_version(capsys):
    p = subprocess.Popen(COMMAND + ["solve", str(DATA / "php5.cnf.gz")], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env=ENV)
    p.stdout.close()
    assert p.wait(60) == 20 and p.stderr.read() == b""
    php5 = gzip.decompress((DATA / "php5.cnf.gz").read_bytes())
    assert cli("solve", "-", "-q", stdin=php5)[:2] == (20, "s UNSATISFIABLE\n")
    assert inproc(capsys, "--version") == (0, f"quillon-native {qn.__version__}\n", "")


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
