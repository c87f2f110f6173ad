# What a user can type that once lost a file, an answer or an output, or
# showed a traceback: each row runs the command in a fresh folder and checks
# its exit code, its one error line, its answer, and that no file changed
# (or appeared) but those the row names.
import os
import re
import shlex
import subprocess
import sys

from pathlib import Path

import pytest

from test_cli import ENV, PHP, cnf_text

SAT = cnf_text(3, [[1, 2], [-1, 3], [-3, -2]])
UNSAT = cnf_text(6, PHP)
P = 10  # pigeonhole 10 into 9: never solved within a test
HOLE = cnf_text(P * (P - 1), [[i * (P - 1) + j + 1 for j in range(P - 1)] for i in range(P)] +
                [[-(i * (P - 1) + j + 1), -(k * (P - 1) + j + 1)] for j in range(P - 1) for i in range(P)
                 for k in range(i + 1, P)])
QUEENS = (Path(__file__).parent.parent / "examples" / "example.cnf").read_text()  # satisfiable after conflicts
LONG = "9" * 5000
BASE = {"f.cnf": SAT, "u.cnf": UNSAT, "keep.drat": "1 2 0\n"}
U = "quillon-native solve: "
B = "quillon-native batch: "
NO_DASK = {"nodask/distributed/__init__.py": "raise ImportError('no Dask here')"}
FAKE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_solve.py")


class Raw(str):
    """The whole of standard error, as it is (not one error line)."""


def conflicts(out):
    return int(re.search(r"^c conflicts +(\d+)$", out, re.M).group(1))


def capped(limit):
    # The conflict count stays at the limit, or says by how much the solver's last call passed it.
    def ok(out):
        n = conflicts(out)
        return n == limit or n > limit and f"passed --max-conflicts by {n - limit}" in out
    return ok


ROWS = [  # (fault, extra files, command line, exit code, error line or "", what stdout holds, files changed)
    ("1 proof is the input", {}, "qn solve f.cnf --proof f.cnf", 2,
     "f.cnf: the proof would overwrite the input f.cnf", "", ()),
    ("1 proof is the input through a link", {"l.cnf": "->f.cnf"}, "qn solve l.cnf --proof f.cnf", 2,
     "f.cnf: the proof would overwrite the input l.cnf", "", ()),
    ("1 proof is a hard link of the input", {"h.cnf": "=>f.cnf"}, "qn solve f.cnf --proof h.cnf", 2,
     "h.cnf: the proof would overwrite the input f.cnf", "", ()),
    ("1 swapped arguments", {}, "qn solve keep.drat --proof f.cnf", 2,
     "f.cnf: most likely an existing CNF formula, not overwritten (--force overwrites it)", "", ()),
    ("1 proof onto another formula", {}, "qn solve f.cnf --proof u.cnf", 2,
     "u.cnf: most likely an existing CNF formula, not overwritten (--force overwrites it)", "", ()),
    ("1 ... unless forced", {}, "qn solve f.cnf -q --proof u.cnf --force", 10, "", "s SATISFIABLE", ("u.cnf",)),
    ("1 a typo in the input name", {}, "qn solve nonexistent.cnf --proof keep.drat", 3,
     "nonexistent.cnf: No such file or directory", "", ()),
    ("1 race refuses as solve", {}, "qn race f.cnf --local-cluster 1 --proof f.cnf", 2,
     "quillon-native race: f.cnf: the proof would overwrite the input f.cnf", "", ()),
    ("1 race onto a formula", {}, "qn race f.cnf --local-cluster 1 --proof u.cnf", 2,
     "quillon-native race: u.cnf: most likely an existing CNF formula, not overwritten (--force overwrites it)",
     "", ()),
    ("2 full disk keeps the answer", {"q.cnf": QUEENS}, "qn solve q.cnf --proof /dev/full", 4,
     "/dev/full: No space left on device; the proof is incomplete", "s SATISFIABLE\nv ", ()),
    ("2 ... one configuration (its proof streamed)", {"q.cnf": QUEENS}, "qn solve q.cnf --config default --proof "
     "/dev/full", 4, "/dev/full: No space left on device; the proof is incomplete", "s SATISFIABLE\nv ", ()),
    ("2 ... binary, unsatisfiable", {}, "qn solve u.cnf -q --proof /dev/full --binary-proof", 4,
     "/dev/full: No space left on device; the proof is incomplete", "s UNSATISFIABLE", ()),
    ("2 standard input and output closed (the search program's own)", {}, "qn solve u.cnf --config default "
     "--proof p.drat <&- >&-", 20, "", "", ("p.drat",)),
    ("3 long literal", {"l.cnf": "p cnf 2 1\n1 " + LONG + " 0\n"}, "qn solve l.cnf", 3,
     "l.cnf:2: literal 99999999999999999999... (5000 characters) exceeds the header's 2 variables", "", ()),
    ("3 long literal, relaxed", {"l.cnf": "c\n-" + LONG + " 0\n"}, "qn solve --relaxed l.cnf", 3,
     "l.cnf:2: literal -9999999999999999999... (5001 characters) is out of range (largest variable 2147483646)",
     "", ()),
    ("3 long header", {"l.cnf": f"p cnf {LONG} 1\n1 0\n"}, "qn solve l.cnf", 3,
     "l.cnf:1: header declares 99999999999999999999... (5000 characters) variables, more than the largest "
     "variable 2147483646", "", ()),
    ("3 long clause count", {"l.cnf": f"p cnf 1 {LONG}\n1 0\n"}, "qn check l.cnf keep.drat", 3,
     "l.cnf:1: header declares 99999999999999999999... (5000 characters) clauses, more than any file holds",
     "", ()),
    ("3 long literal in a proof", {"l.drat": f"1 0\nd {LONG} 0\n"}, "qn check u.cnf l.drat", 3,
     "l.drat:2: literal 99999999999999999999... (5000 characters) is out of range", "", ()),
    ("3 --luby-base 0", {}, "qn solve f.cnf --luby-base 0", 2, U + "argument --luby-base: 0 is out of range (above 0)",
     "", ()),
    ("3 --luby-base -1", {}, "qn solve f.cnf --luby-base -1", 2,
     U + "argument --luby-base: -1 is out of range (above 0)", "", ()),
    ("3 solve, standard output on a full disk", {}, "qn solve f.cnf >/dev/full", 4,
     "standard output: No space left on device", "", ()),
    ("3 check, standard output on a full disk", {"u.drat": "-1 0\n-3 0\n0\n"}, "qn check u.cnf u.drat >/dev/full", 4,
     "standard output: No space left on device", "", ()),
    ("3 batch, standard output on a full disk", {}, "qn batch f.cnf -q --solver {fake} >/dev/full", 4,
     "standard output: No space left on device", "", ("results.sqlite", "runs.log")),
    ("4 --rnd-freq 2", {}, "qn solve f.cnf --rnd-freq 2", 2, U + "argument --rnd-freq: 2 is out of range (0 to 1)",
     "", ()),
    ("4 --var-decay 5", {}, "qn solve f.cnf --var-decay 5", 2,
     U + "argument --var-decay: 5 is out of range (above 0, up to 1)", "", ()),
    ("4 --cla-decay -1", {}, "qn solve f.cnf --cla-decay -1", 2,
     U + "argument --cla-decay: -1 is out of range (above 0, up to 1)", "", ()),
    ("4 --walk-interval 0", {}, "qn solve f.cnf --walk-interval 0", 2,
     U + "argument --walk-interval: 0 is out of range (1 to 18446744073709551615)", "", ()),
    ("5 --max-conflicts, one call", {"h.cnf": HOLE}, "qn solve h.cnf --config default --max-conflicts 1000 --slice 0",
     0, "", capped(1000), ()),
    ("5 --max-conflicts, slices of 7", {"h.cnf": HOLE}, "qn solve h.cnf --config default --max-conflicts 1000 "
     "--slice 7", 0, "", capped(1000), ()),
    ("5 --max-conflicts, slices of 1", {"h.cnf": HOLE}, "qn solve h.cnf --config default --max-conflicts 300 "
     "--slice 1", 0, "", capped(300), ()),
    ("5 --max-conflicts, auto", {"h.cnf": HOLE}, "qn solve h.cnf --max-conflicts 1000 --slice 7", 0, "", capped(1000),
     ()),
    ("6 -0, relaxed", {"z.cnf": "p cnf 1 1\n-0 1 0\n"}, "qn solve --relaxed z.cnf", 3,
     "z.cnf:2: '-0' is not a literal (0 ends a clause, and has no sign)", "", ()),
    ("6 -0, strict", {"z.cnf": "p cnf 1 1\n1 -0\n"}, "qn solve z.cnf", 3,
     "z.cnf:2: '-0' is not a literal (0 ends a clause, and has no sign)", "", ()),
    ("6 -0 in a proof", {"z.drat": "-1 -00\n"}, "qn check u.cnf z.drat", 3,
     "z.drat:1: '-00' is not a literal (0 ends a clause, and has no sign)", "", ()),
    ("6 0 with leading zeros ends a clause", {"z.cnf": "p cnf 1 2\n1 00\n-1 000\n"}, "qn solve z.cnf -q", 20, "",
     "s UNSATISFIABLE", ()),
    ("9 --proof -", {}, "qn solve f.cnf --proof -", 2,
     U + "--proof -: a proof on standard output would be mixed with the answer; name a file", "", ()),
    ("9 an empty proof name", {}, "qn solve f.cnf --proof ''", 2, U + "argument --proof: expected a file name, got ''",
     "", ()),
    ("12 --portfolio with --slice", {}, "qn solve f.cnf --portfolio 2 --slice 5", 2,
     U + "--portfolio runs the named configurations on threads; it takes no --slice", "", ()),
    ("12 --portfolio with -v", {}, "qn solve f.cnf --portfolio 2 -v", 2,
     U + "--portfolio runs the named configurations on threads; it takes no -v", "", ()),
    ("12 --rounds without --preprocess", {}, "qn solve f.cnf --rounds 2", 2, U + "--rounds needs --preprocess", "", ()),
    ("12 -q with -v", {}, "qn solve f.cnf -q -v", 2, U + "-q and -v contradict each other", "", ()),
    ("7 --export of another kind", {"v.tsv": "file\texpected\n"}, "qn batch f.cnf --export v.tsv", 2,
     B + "--export v.tsv: the name must end in .csv or .json", "", ()),
    ("7 --export onto a file that is no export", {"notes.csv": "mine\n"}, "qn batch f.cnf --export notes.csv", 2,
     B + "--export notes.csv: not an earlier csv export of results, not overwritten (--force overwrites it)", "", ()),
    ("7 --export onto the store", {}, "qn batch f.cnf -q --solver {fake} && qn batch -r results.sqlite --export "
     "results.sqlite --force", 2, B + "--export results.sqlite: that is the results store",
     "", ("results.sqlite", "runs.log")),
    ("7 --export onto a store still to be made", {}, "qn batch f.cnf -r r.csv --export ./r.csv", 2,
     B + "--export ./r.csv: that is the results store", "", ()),
    ("7 an earlier export is replaced; the store stays one file", {},
     "qn batch u.cnf -q --solver {fake} --export r.json && qn batch -r results.sqlite --export r.json", 0,
     Raw("r.json: 1 results written\nr.json: 1 results written\n"), "UNSAT 1",
     ("results.sqlite", "r.json", "runs.log")),
    ("8 every instance in error", {"z.cnf": "p cnf 1 1\n1 -0\n"}, "qn batch z.cnf -q", 1,
     B + "every instance ended in error, as z.cnf: c error: {tmp}/z.cnf:2: '-0' is not a literal (0 ends a clause, "
     "and has no sign)", "  error        1", ("results.sqlite",)),
    ("8 --retry error", {"z.cnf": "p cnf 1 1\n1 -0\n"}, "qn batch z.cnf -q >/dev/null 2>&1; cp f.cnf z.cnf; "
     "qn batch z.cnf -q --retry error", 0, "", "solved       1   SAT 1", ("results.sqlite", "z.cnf")),
    ("8 --local-cluster without Dask", NO_DASK, "PYTHONPATH=nodask:$PYTHONPATH qn batch f.cnf --local-cluster 1", 2,
     B + "Dask distributed is not installed: pip install 'quillon-native[cluster]'", "", ()),
    ("8 race without Dask", NO_DASK, "PYTHONPATH=nodask:$PYTHONPATH qn race f.cnf --local-cluster 1", 2,
     "quillon-native race: Dask distributed is not installed: pip install 'quillon-native[cluster]'", "", ()),
    ("10 an empty store", {}, "py -c 'from quillon_native_cli.store import Store; Store(\"e.sqlite\").close()' && "
     "qn plot e.sqlite -o e.png", 3, "quillon-native plot: e.sqlite: no results to plot (an empty store)", "",
     ("e.sqlite",)),
    ("10 runs unlike each other", {}, "qn batch f.cnf -q --solver {fake} -r a.sqlite --seconds 5 >/dev/null && "
     "qn batch f.cnf u.cnf -q --solver {fake} -r b.sqlite --seconds 10 >/dev/null && qn plot a.sqlite b.sqlite "
     "-o c.svg", 0, Raw("c warning: quillon-native plot: time limits differ: a 5 s, b 10 s\nc warning: "
                        "quillon-native plot: instance sets differ: a 1, b 2 instances, 1 in all\n"),
     "c.svg: a (1/1, limit 5 s), b (2/2, limit 10 s)", ("a.sqlite", "b.sqlite", "c.svg", "runs.log")),
    ("check with both inputs on standard input", {}, "qn check - - <u.cnf", 2,
     "quillon-native check: CNF and PROOF are both -: standard input can hold only one of them", "", ()),
    ("--export onto a link to a device", {"full.csv": "->/dev/full"}, "qn batch f.cnf -q --solver {fake} "
     ">/dev/null && qn batch -r results.sqlite --export full.csv", 2, B + "--export full.csv: not a regular file, not "
     "written (an export replaces a regular file)", "", ("results.sqlite", "runs.log")),
    ("--export onto a pipe", {"x.json": "|"}, "qn batch f.cnf -q --solver {fake} --export x.json", 2,
     B + "--export x.json: not a regular file, not written (an export replaces a regular file)", "", ()),
    ("--export onto a pipe, forced", {"x.csv": "|"}, "qn batch f.cnf -q --solver {fake} --export x.csv -f", 2,
     B + "--export x.csv: not a regular file, not written (an export replaces a regular file)", "", ()),
    ("a results table of another program", {}, "py -c 'import sqlite3; d = sqlite3.connect(\"o.sqlite\"); "
     "d.execute(\"create table results (x)\"); d.commit()' && cp o.sqlite o.orig && qn batch f.cnf -q -r o.sqlite "
     "--solver {fake}; code=$?; cmp o.sqlite o.orig && ! ls o.sqlite-* 2>/dev/null && exit $code", 3,
     B + "o.sqlite: a database of another program, not a results store; left as it is", "",
     ("o.sqlite", "o.orig")),
    ("a plot onto a file that is no plot", {"paper.pdf": "my paper\n"}, "qn batch f.cnf -q --solver {fake} "
     ">/dev/null && qn plot results.sqlite -o paper.pdf", 2,
     "quillon-native plot: -o paper.pdf: not an earlier plot, not overwritten (--force overwrites it)", "",
     ("results.sqlite", "runs.log")),
    ("a plot onto a store, forced", {"s.svg": "->results.sqlite"}, "qn batch f.cnf -q --solver {fake} >/dev/null && "
     "qn plot results.sqlite -o s.svg -f", 2, "quillon-native plot: -o s.svg: that is a results store", "",
     ("results.sqlite", "runs.log", "s.svg")),  # (the link, read through, is the new store)
    ("any file is replaced with --force, then as an earlier plot", {"paper.pdf": "my paper\n"},
     "qn batch f.cnf -q --solver {fake} >/dev/null && qn plot results.sqlite -o paper.pdf --force >/dev/null && "
     "qn plot results.sqlite -o paper.pdf", 0, "", "paper.pdf: results (1/1, limit 60 s)",
     ("results.sqlite", "runs.log", "paper.pdf")),
    ("a proof onto the null device, no temporary folder", {}, "TMPDIR=/nonexistent qn solve u.cnf -q --proof /dev/null",
     20, "", "s UNSATISFIABLE", ()),
    ("a proof onto a pipe says where the solvers' proofs are kept", {"p.fifo": "|"},
     "cat p.fifo >got & qn solve u.cnf --proof p.fifo; wait", 0, "",
     "c proof p.fifo: not a regular file; each solver's proof is kept in ", ("got",)),
    ("11 a resumed batch", {}, "qn batch f.cnf -q --solver {fake} >/dev/null && qn batch f.cnf u.cnf -q --solver "
     "{fake}", 0, "", lambda out: re.search(r"cpu +[\d.]+ s total of the 2 instances done\n  wall +[\d.]+ s this "
                                            r"invocation, which ran 1 of them", out), ("results.sqlite", "runs.log")),
]


def test_the_readme_lists_the_exit_codes_that_the_rows_end_with():
    from quillon_native_cli.common import MEANINGS
    readme = (Path(__file__).parent.parent / "README.md").read_text()
    table = re.findall(r"^\| (\d+) \| (.+) \|$", readme, re.M)
    assert table == [(str(int(code)), meaning) for code, meaning in MEANINGS]
    signals = {130, 143}  # test_cli sends them
    assert {int(code) for code, _ in MEANINGS} - signals == {row[3] for row in ROWS}


def write(folder, files):
    for name, text in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        if text.startswith("->"):
            os.symlink(text[2:], folder / name)
        elif text.startswith("=>"):
            os.link(folder / text[2:], folder / name)
        elif text == "|":
            os.mkfifo(folder / name)
        else:
            (folder / name).write_text(text)


def snapshot(folder):
    return {str(p.relative_to(folder)): p.read_bytes() for p in folder.rglob("*") if p.is_file()}  # no device, no pipe


@pytest.mark.parametrize("fault,files,command,code,error,out,changed", ROWS, ids=[r[0] for r in ROWS])
def test_fault(tmp_path, fault, files, command, code, error, out, changed):
    write(tmp_path, BASE)
    write(tmp_path, files)
    before = snapshot(tmp_path)
    if os.environ.get("QUILLON_SANITIZED"):  # the sanitizer runtime reserves terabytes of address space
        command = command.replace("qn batch ", "qn batch --memory 0 ")
    py = shlex.quote(sys.executable)
    command = command.replace("qn ", f"{py} -m quillon_native_cli ").replace("py ", f"{py} ")
    p = subprocess.run(command.format(fake=shlex.quote(f"{sys.executable} {FAKE}")), shell=True, cwd=tmp_path,
                       env=ENV, capture_output=True, text=True, timeout=120)
    assert "Traceback" not in p.stderr
    error = type(error)(error.format(tmp=tmp_path))
    assert (p.returncode, p.stderr) == (code, error if isinstance(error, Raw) else f"c error: {error}\n" * bool(error))
    assert out(p.stdout) if callable(out) else out in p.stdout
    after = snapshot(tmp_path)
    assert {name for name in before.keys() | after.keys() if before.get(name) != after.get(name)} == set(changed)


def test_a_proof_failure_during_the_search_keeps_the_answer(tmp_path, capsys, monkeypatch):
    # A proof written while the search runs may fail at any moment: the
    # search goes on, and the run ends with its answer and the proof's error.
    from quillon_native_cli import native
    from test_cli import inproc
    take = native.SearchProcess.take

    def failing(self):  # once started: among the search's messages
        msgs = take(self)
        return [("proof-failed", "Input/output error")] + msgs if msgs and msgs[0] != ("ready",) else msgs
    monkeypatch.setattr(native.SearchProcess, "take", failing)
    write(tmp_path, BASE)
    proof = tmp_path / "p.drat"
    assert inproc(capsys, "solve", "--config", "default", tmp_path / "u.cnf", "-q", "--proof", proof) == (
        4, "s UNSATISFIABLE\n", f"c error: {proof}: Input/output error; the proof is incomplete\n")


DEADLINES = [  # solve_formula's seconds -> its answer on a satisfiable formula, or the error it raises
    (float("inf"), True), (1e300, True), (4e9, True), (60.0, True), (None, True),
    (float("nan"), ValueError), (-1.0, ValueError), (-float("inf"), ValueError),
]


@pytest.mark.parametrize("seconds,expected", DEADLINES, ids=[repr(d[0]) for d in DEADLINES])
def test_solve_formula_takes_every_deadline_the_command_takes(seconds, expected):
    from quillon_native_cli import solve_formula
    clauses = [[1, 2], [-1, 2], [-2, 3]]
    if expected is ValueError:
        with pytest.raises(ValueError, match="a time limit is 0 or more seconds"):
            solve_formula(clauses, seconds=seconds)
    else:
        assert solve_formula(clauses, seconds=seconds).answer is expected


PROOF_TARGETS = [  # solve_formula's proof path: a link to the null device, a new file, a regular file
    ("->/dev/null", True), ("", False), ("old text", False),
]


@pytest.mark.parametrize("kind,link", PROOF_TARGETS, ids=["null device", "new", "regular"])
def test_solve_formula_writes_its_proof_into_the_target_it_was_given(tmp_path, kind, link):
    # A device is written to, never replaced by a file (as root, replacing
    # /dev/null would break the machine); a regular file is replaced whole.
    from quillon_native_cli import solve_formula
    target = tmp_path / "proof.drat"
    if link:
        os.symlink(kind[2:], target)
    elif kind:
        target.write_text(kind)
    res = solve_formula([[1, 2], [-1, 2], [1, -2], [-1, -2]], proof=str(target))
    assert res.answer is False and os.path.islink(target) == link
    assert os.path.exists("/dev/null") and not os.path.isfile("/dev/null")
    if not link:
        assert target.read_text().splitlines()[-1] == "0"
    assert sorted(os.listdir(tmp_path)) == ["proof.drat"]


def test_member_proof_folders(tmp_path, monkeypatch):
    # Where the proofs of solvers searching at once are kept, for each kind of target.
    from quillon_native_cli import proofs
    os.mkfifo(tmp_path / "pipe")
    (tmp_path / "p.drat").write_text("")
    temp = tmp_path / "temp"
    temp.mkdir()
    rows = [  # target, $TMPDIR, last resort -> folder's parent, links to the null device, note, error
        (tmp_path / "p.drat", "/nonexistent", "/tmp", tmp_path, False, "", None),
        ("/dev/null", "/nonexistent", str(temp), temp, True, "", None),
        ("/proc/version", str(temp), "/tmp", temp, False, "", None),
        (tmp_path / "pipe", str(temp), "/tmp", temp, False, "proof {target}: not a regular file; each solver's proof "
         "is kept in {folder} until the winner's is copied there", None),
        (tmp_path / "pipe", "/nonexistent", "/nonexistent2", None, False, "", "no folder for the solvers' proofs "
         "(/nonexistent: No such file or directory; /nonexistent2: No such file or directory)"),
    ]
    for target, tmpdir, last, parent, discard, note, error in rows:
        monkeypatch.setenv("TMPDIR", tmpdir)
        monkeypatch.setattr(proofs, "LAST_RESORT", last)
        if error:
            with pytest.raises(OSError, match=re.escape(error)):
                proofs.MemberFolder(str(target))
            continue
        files = proofs.MemberFolder(str(target))
        try:
            assert os.path.dirname(files.folder) == str(parent)
            assert files.note == note.format(target=target, folder=files.folder)
            with open(files.path(0), "wb") as f:
                f.write(b"1 2 0\n")
            assert os.path.islink(files.path(0)) == discard and os.path.getsize(files.path(0)) == 6 * (not discard)
        finally:
            files.remove()
        assert not os.path.exists(files.folder) and os.path.exists("/dev/null")


def chain(folder, n=100000, steps=3000):
    # A formula whose every proof step (padded: few to a block) propagates a
    # chain of n implications: the check spends its time in the native
    # reader, a block of a few steps at a time, for seconds: long past the
    # interrupts below, however fast the machine.
    clauses = [[i, -(i + 1)] for i in range(1, n)] + [[n, n + steps + 1], [n, -(n + steps + 1)]]
    (folder / "chain.cnf").write_text(cnf_text(n + steps + 1, clauses))
    (folder / "chain.drat").write_text("".join(f"1 {n + k}{' ' * 1000}0\n" for k in range(1, steps + 1)))
    return str(folder / "chain.cnf"), str(folder / "chain.drat")


@pytest.mark.parametrize("delay", [0.02, 0.15, 0.3, 0.5])
def test_an_interrupted_check_ends_its_reader_before_it_returns(tmp_path, capsys, monkeypatch, delay):
    # A reader thread still inside the native check when the interpreter
    # ends is torn down there (an abort): no read may outlive the command.
    import signal
    import threading
    import time
    from quillon_native_cli.proofs import ProofReader
    from test_cli import inproc
    reading = []
    read = ProofReader.read

    def watched(self):
        reading.append(self)
        try:
            return read(self)
        finally:
            reading.remove(self)

    monkeypatch.setattr(ProofReader, "read", watched)
    cnf, proof = chain(tmp_path)
    timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    code, out, err = inproc(capsys, "check", cnf, proof)
    still = list(reading)
    timer.join()
    assert (code, out.splitlines()[-1], err, still) == (130, "c interrupted by SIGINT", "", [])
    assert time.monotonic() - start < 10


def test_a_check_interrupted_at_random_moments_exits_130(tmp_path):
    import random
    import signal
    import time
    cnf, proof = chain(tmp_path)
    rng = random.Random(7)
    for _ in range(2):
        p = subprocess.Popen([sys.executable, "-m", "quillon_native_cli", "check", cnf, proof], env=ENV,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        while len(os.listdir(f"/proc/{p.pid}/task")) < 2 and p.poll() is None:  # till the proof is being read
            time.sleep(0.005)
        time.sleep(rng.uniform(0, 0.5))
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=60)
        assert (p.returncode, err) == (130, "")
