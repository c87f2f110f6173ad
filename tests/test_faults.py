# What a user can type, and what once lost a file, an answer or an output, or
# showed a traceback: one table of the command's exit codes and one-line
# errors.  Each row runs the command in a fresh folder (in this process
# through main(), or in a shell when it needs one: redirections, pipes,
# several commands) and checks its exit code, its whole standard error, its
# answer, and that no file changed (or appeared) but those the row names.
import lzma
import os
import re
import shlex
import subprocess
import sys

from pathlib import Path

import pytest

from commands import ENV, PHP, cnf_text, inproc
from oracles import asymmetric_pigeonhole, dimacs
from quillon_native_cli.solve import MAX_THREADS

SAT = cnf_text(3, [[1, 2], [-1, 3], [-3, -2]])
UNSAT = cnf_text(6, PHP)
P = 10  # pigeonhole 10 into 9: never solved within a test
HOLE = cnf_text(P * (P - 1), dimacs(asymmetric_pigeonhole(P - 1)[1]))  # without symmetries to break
QUEENS = (Path(__file__).parent.parent / "examples" / "example.cnf").read_text()  # satisfiable after conflicts
LONG = "9" * 5000
BASE = {"f.cnf": SAT, "u.cnf": UNSAT, "keep.drat": "1 2 0\n"}
U = "quillon-native solve: "
B = "quillon-native batch: "
T = "--threads runs auto's configurations on threads; it takes no "
NO_DASK = {"nodask/distributed/__init__.py": "raise ImportError('no Dask here')"}
FAKE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_solve.py")
BATCH_SET = {"empty/": "", "a.cnf": "p cnf 1 1\n1 0\n", "bad.tsv": "file\texpected\na.cnf\na.cnf\tMAYBE\n"}


class Raw(str):
    """The whole of standard error, as it is (not one error line)."""


class Starts(str):
    """The start of the one error line (the rest lists what is known)."""


def conflicts(out):
    return int(re.search(r"^c conflicts +(\d+)$", out, re.M).group(1))


def capped(limit):
    # The conflict count stays at the limit, or says by how much the solver's last call passed it.
    def ok(out):
        n = conflicts(out)
        return n == limit or n > limit and f"passed --max-conflicts by {n - limit}" in out
    return ok


BAD_INPUT = [  # (file, content, --relaxed, the error) of formulas that cannot be read: exit code 3
    ("empty.cnf", b"", False, "empty.cnf: no 'p cnf' header (use --relaxed to read files without one)"),
    ("junk.cnf", b"p cnf 2 1\n1 \x00\xff\x13junk 0\n", False, "junk.cnf:2: unexpected '\\x00\\xff\\x13junk'"),
    ("cut.cnf.xz", lzma.compress(UNSAT.encode())[:40], False, "cut.cnf.xz: compressed data is truncated or corrupt"),
    ("wide.cnf", b"p cnf 2 1\n1 99999999 0\n", False, "wide.cnf:2: literal 99999999 exceeds the header's 2 variables"),
    ("huge.cnf", b"p cnf 2 1\n1 0\n-123456789012345678901234567890 0\n", False,
     "huge.cnf:3: literal -123456789012345678901234567890 exceeds the header's 2 variables"),
    ("relaxed-huge.cnf", b"1 -2147483648 0\n", True,
     "relaxed-huge.cnf:1: literal -2147483648 is out of range (largest variable 2147483646)"),
    ("fewer.cnf", b"c x\np cnf 2 3\n1 2 0\n-1 0\n", False, "fewer.cnf:2: header declares 3 clauses, the file has 2"),
    ("more.cnf", b"p cnf 2 1\n1 2 0\n-1 0\n", False, "more.cnf:1: header declares 1 clauses, the file has 2"),
    ("open.cnf", b"p cnf 2 2\n1 2 0\n-1\n\n", False, "open.cnf:3: last clause lacks its terminating 0"),
    ("stray.cnf", b"p cnf 3 1\nc fine\n1 +2 0\n", False, "stray.cnf:3: unexpected '+2'"),
    ("bare.cnf", b"c no header\n\n1 2 0\n", False,
     "bare.cnf:3: clause before the 'p cnf' header (use --relaxed to read files without one)"),
    ("hdr.cnf", b"p cnf 2\n1 0\n", False, "hdr.cnf:1: bad header 'p cnf 2': expected 'p cnf VARIABLES CLAUSES'"),
    ("hdr2.cnf", b"p cnf 2 1\np cnf 2 1\n1 0\n", False, "hdr2.cnf:2: second 'p' line"),
    ("late.cnf", b"p cnf 2 2\n1 0\np cnf 2 1\n", True, "late.cnf:3: second 'p' line"),
    ("vars.cnf", b"p cnf 2147483647 0\n", False,
     "vars.cnf:1: header declares 2147483647 variables, more than the largest variable 2147483646"),
    ("long.cnf", f"p cnf 2 1\n1 {LONG} 0\n".encode(), False,
     "long.cnf:2: literal 99999999999999999999... (5000 characters) exceeds the header's 2 variables"),
    ("long.cnf", f"c\n-{LONG} 0\n".encode(), True,
     "long.cnf:2: literal -9999999999999999999... (5001 characters) is out of range (largest variable 2147483646)"),
    ("longhead.cnf", f"p cnf {LONG} 1\n1 0\n".encode(), False, "longhead.cnf:1: header declares 99999999999999999999... (5000 "
     "characters) variables, more than the largest variable 2147483646"),
    ("z.cnf", b"p cnf 1 1\n-0 1 0\n", True, "z.cnf:2: '-0' is not a literal (0 ends a clause, and has no sign)"),
    ("z.cnf", b"p cnf 1 1\n1 -0\n", False, "z.cnf:2: '-0' is not a literal (0 ends a clause, and has no sign)"),
]
BAD_PROOFS = [  # (content, the error) of proofs of u.cnf that cannot be read: exit code 3
    (b"d 1 2 0\n1 d 2 0\n", "p.drat:2: 'd' inside a clause"),
    (b"-1 0\n-3 0\n0\n1 2 d 0\n", "p.drat:4: 'd' inside a clause"),  # past the empty clause
    (b"1 2 0\n-1", "p.drat:2: last step lacks its terminating 0"),
    (b"1 2 0\n" * 30 + b"-1\n\nc done\n\n", "p.drat:31: last step lacks its terminating 0"),
    (b"a\x02\x07\x00x\x02\x00", "p.drat: byte 4: step starts with 'x', not 'a' or 'd'"),
    (b"a\x02\x87", "p.drat: byte 3: last step lacks its terminating 0 byte"),
    (f"1 0\nd {LONG} 0\n".encode(), "p.drat:2: literal 99999999999999999999... (5000 characters) is out of range"),
    (b"-1 -00\n", "p.drat:1: '-00' is not a literal (0 ends a clause, and has no sign)"),
]
ROWS = [  # (fault, extra files, command line, exit code, error line or "", what stdout holds, files changed)
    ("proof is the input", {}, "qn solve f.cnf --proof f.cnf", 2,
     "f.cnf: the proof would overwrite the input f.cnf", "", ()),
    ("proof is the input through a link", {"l.cnf": "->f.cnf"}, "qn solve l.cnf --proof f.cnf", 2,
     "f.cnf: the proof would overwrite the input l.cnf", "", ()),
    ("proof is a hard link of the input", {"h.cnf": "=>f.cnf"}, "qn solve f.cnf --proof h.cnf", 2,
     "h.cnf: the proof would overwrite the input f.cnf", "", ()),
    ("swapped arguments", {}, "qn solve keep.drat --proof f.cnf", 2,
     "f.cnf: most likely an existing CNF formula, not overwritten (--force overwrites it)", "", ()),
    ("proof onto another formula", {}, "qn solve f.cnf --proof u.cnf", 2,
     "u.cnf: most likely an existing CNF formula, not overwritten (--force overwrites it)", "", ()),
    ("proof onto another formula, forced", {}, "qn solve f.cnf -q --proof u.cnf --force", 10, "", "s SATISFIABLE", ("u.cnf",)),
    ("a typo in the input name", {}, "qn solve nonexistent.cnf --proof keep.drat", 3,
     "nonexistent.cnf: No such file or directory", "", ()),
    ("race refuses as solve", {}, "qn race f.cnf --local-cluster 1 --proof f.cnf", 2,
     "quillon-native race: f.cnf: the proof would overwrite the input f.cnf", "", ()),
    ("race onto a formula", {}, "qn race f.cnf --local-cluster 1 --proof u.cnf", 2,
     "quillon-native race: u.cnf: most likely an existing CNF formula, not overwritten (--force overwrites it)",
     "", ()),
    ("full disk keeps the answer", {"q.cnf": QUEENS}, "qn solve q.cnf --proof /dev/full", 4,
     "/dev/full: No space left on device; the proof is incomplete", "s SATISFIABLE\nv ", ()),
    ("full disk keeps the answer of one configuration (its proof streamed)", {"q.cnf": QUEENS}, "qn solve q.cnf --config default --proof "
     "/dev/full", 4, "/dev/full: No space left on device; the proof is incomplete", "s SATISFIABLE\nv ", ()),
    ("full disk keeps the answer, binary, unsatisfiable", {}, "qn solve u.cnf -q --proof /dev/full --binary-proof", 4,
     "/dev/full: No space left on device; the proof is incomplete", "s UNSATISFIABLE", ()),
    ("standard input and output closed (the search program's own)", {}, "qn solve u.cnf --config default "
     "--proof p.drat <&- >&-", 20, "", "", ("p.drat",)),
    ("long clause count", {"l.cnf": f"p cnf 1 {LONG}\n1 0\n"}, "qn check l.cnf keep.drat", 3,
     "l.cnf:1: header declares 99999999999999999999... (5000 characters) clauses, more than any file holds",
     "", ()),
    ("solve, standard output on a full disk", {}, "qn solve f.cnf >/dev/full", 4,
     "standard output: No space left on device", "", ()),
    ("check, standard output on a full disk", {"u.drat": "-1 0\n-3 0\n0\n"}, "qn check u.cnf u.drat >/dev/full", 4,
     "standard output: No space left on device", "", ()),
    ("batch, standard output on a full disk", {}, "qn batch f.cnf -q --solver {fake} >/dev/full", 4,
     "standard output: No space left on device", "", ("results.sqlite", "runs.log")),
    ("--max-conflicts, one call", {"h.cnf": HOLE}, "qn solve h.cnf --config default --max-conflicts 1000 --slice 0",
     0, "", capped(1000), ()),
    ("--max-conflicts, slices of 7", {"h.cnf": HOLE}, "qn solve h.cnf --config default --max-conflicts 1000 "
     "--slice 7", 0, "", capped(1000), ()),
    ("--max-conflicts, slices of 1", {"h.cnf": HOLE}, "qn solve h.cnf --config default --max-conflicts 300 "
     "--slice 1", 0, "", capped(300), ()),
    ("--max-conflicts, auto", {"h.cnf": HOLE}, "qn solve h.cnf --max-conflicts 1000 --slice 7", 0, "", capped(1000),
     ()),
    ("0 with leading zeros ends a clause", {"z.cnf": "p cnf 1 2\n1 00\n-1 000\n"}, "qn solve z.cnf -q", 20, "",
     "s UNSATISFIABLE", ()),
    ("--proof -", {}, "qn solve f.cnf --proof -", 2,
     U + "--proof -: a proof on standard output would be mixed with the answer; name a file", "", ()),
    ("an empty proof name", {}, "qn solve f.cnf --proof ''", 2, U + "argument --proof: expected a file name, got ''",
     "", ()),
    ("--portfolio with --slice", {}, "qn solve f.cnf --portfolio 2 --slice 5", 2,
     U + "--portfolio runs the named configurations on threads; it takes no --slice", "", ()),
    ("--portfolio with -v", {}, "qn solve f.cnf --portfolio 2 -v", 2,
     U + "--portfolio runs the named configurations on threads; it takes no -v", "", ()),
    ("--rounds without --preprocess", {}, "qn solve f.cnf --rounds 2", 2, U + "--rounds needs --preprocess", "", ()),
    ("-q with -v", {}, "qn solve f.cnf -q -v", 2, U + "-q and -v contradict each other", "", ()),
    ("--export of another kind", {"v.tsv": "file\texpected\n"}, "qn batch f.cnf --export v.tsv", 2,
     B + "--export v.tsv: the name must end in .csv or .json", "", ()),
    ("--export onto a file that is no export", {"notes.csv": "mine\n"}, "qn batch f.cnf --export notes.csv", 2,
     B + "--export notes.csv: not an earlier csv export of results, not overwritten (--force overwrites it)", "", ()),
    ("--export onto the store", {}, "qn batch f.cnf -q --solver {fake} && qn batch -r results.sqlite --export "
     "results.sqlite --force", 2, B + "--export results.sqlite: that is the results store",
     "", ("results.sqlite", "runs.log")),
    ("--export onto a store still to be made", {}, "qn batch f.cnf -r r.csv --export ./r.csv", 2,
     B + "--export ./r.csv: that is the results store", "", ()),
    ("an earlier export is replaced; the store stays one file", {},
     "qn batch u.cnf -q --solver {fake} --export r.json && qn batch -r results.sqlite --export r.json", 0,
     Raw("r.json: 1 results written\nr.json: 1 results written\n"), "UNSAT 1",
     ("results.sqlite", "r.json", "runs.log")),
    ("every instance in error", {"z.cnf": "p cnf 1 1\n1 -0\n"}, "qn batch z.cnf -q", 1,
     B + "every instance ended in error, as z.cnf: c error: {tmp}/z.cnf:2: '-0' is not a literal (0 ends a clause, "
     "and has no sign)", "  error        1", ("results.sqlite",)),
    ("--retry error", {"z.cnf": "p cnf 1 1\n1 -0\n"}, "qn batch z.cnf -q >/dev/null 2>&1; cp f.cnf z.cnf; "
     "qn batch z.cnf -q --retry error", 0, "", "solved       1   SAT 1", ("results.sqlite", "z.cnf")),
    ("--local-cluster without Dask", NO_DASK, "PYTHONPATH=nodask:$PYTHONPATH qn batch f.cnf --local-cluster 1", 2,
     B + "Dask distributed is not installed: pip install 'quillon-native[cluster]'", "", ()),
    ("race without Dask", NO_DASK, "PYTHONPATH=nodask:$PYTHONPATH qn race f.cnf --local-cluster 1", 2,
     "quillon-native race: Dask distributed is not installed: pip install 'quillon-native[cluster]'", "", ()),
    ("an empty store", {}, "py -c 'from quillon_native_cli.store import Store; Store(\"e.sqlite\").close()' && "
     "qn plot e.sqlite -o e.png", 3, "quillon-native plot: e.sqlite: no results to plot (an empty store)", "",
     ("e.sqlite",)),
    ("runs unlike each other", {}, "qn batch f.cnf -q --solver {fake} -r a.sqlite --seconds 5 >/dev/null && "
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
    ("a resumed batch", {}, "qn batch f.cnf -q --solver {fake} >/dev/null && qn batch f.cnf u.cnf -q --solver "
     "{fake}", 0, "", lambda out: re.search(r"cpu +[\d.]+ s total of the 2 instances done\n  wall +[\d.]+ s this "
                                            r"invocation, which ran 1 of them", out), ("results.sqlite", "runs.log")),
    *[(f"unreadable {name}{', relaxed' * relaxed}", {name: content}, f"qn solve {name}{' --relaxed' * relaxed}", 3,
       error, "", ()) for name, content, relaxed, error in BAD_INPUT],
    ("a directory as the formula", {}, "qn solve .", 3, ".: is a directory", "", ()),
    *[(f"unreadable proof {n}", {"p.drat": content}, "qn check u.cnf p.drat", 3, error, "", ())
      for n, (content, error) in enumerate(BAD_PROOFS)],
    ("check without a proof", {}, "qn check u.cnf", 2, "quillon-native check: the following arguments are required: "
     "PROOF", "", ()),
    ("a proof that is not there", {}, "qn check u.cnf no.drat", 3, "no.drat: No such file or directory", "", ()),
    *[(f"solve {args}", {}, f"qn solve f.cnf {args}", 2, U + error, "", ()) for args, error in [
        ("--seconds -1", "argument --seconds: -1 is out of range (0 or more, or inf)"),
        ("--seconds nan", "argument --seconds: nan is out of range (0 or more, or inf)"),
        ("--binary-proof", "--binary-proof needs --proof PROOF"),
        ("--portfolio 10", "argument --portfolio: 10 is out of range (1 to 9)"),
        ("--walk-flips -3", "argument --walk-flips: -3 is out of range (0 to 18446744073709551615)"),
        (f"--walk-flips {'1' * 41}", f"argument --walk-flips: expected a whole number (0 to 18446744073709551615), "
         f"got '{'1' * 41}'"),
        ("--luby-base 0", "argument --luby-base: 0 is out of range (above 0)"),
        ("--luby-base -1", "argument --luby-base: -1 is out of range (above 0)"),
        ("--rnd-freq 2", "argument --rnd-freq: 2 is out of range (0 to 1)"),
        ("--var-decay 5", "argument --var-decay: 5 is out of range (above 0, up to 1)"),
        ("--cla-decay -1", "argument --cla-decay: -1 is out of range (above 0, up to 1)"),
        ("--walk-interval 0", "argument --walk-interval: 0 is out of range (1 to 18446744073709551615)"),
        ("--threads 0", f"argument --threads: 0 is out of range (1 to {MAX_THREADS})"),
        (f"--threads {MAX_THREADS + 1}", f"argument --threads: {MAX_THREADS + 1} is out of range (1 to {MAX_THREADS})"),
        *[(f"--threads 2 {x}", T + x.split()[0]) for x in ("--check", "--config minisat", "--portfolio 2",
                                                            "--max-conflicts 9", "--slice 9", "--preprocess", "--seed 1")],
        ("--threads 2 --restart glucose", T + "solver options"),
        ("--config auto --restart glucose", "--config auto runs the named configurations as they are; it takes no "
         "solver options")]],
    ("one thread is auto itself", {}, "qn solve u.cnf -q --threads 1 --check", 20, "", "s UNSATISFIABLE", ()),
    *[(f"{args}", BATCH_SET, f"qn {args}", code, error, "", ()) for args, code, error in [
        ("batch nope.cnf", 3, B + "nope.cnf: no such file or folder"),
        ("batch empty", 3, B + "empty: no CNF files in this folder"),
        ("batch bad.tsv", 3, B + "bad.tsv:3: expected answer 'MAYBE' is not SAT, UNSAT or empty"),
        ("batch a.cnf -r a.cnf", 3, B + "a.cnf: not a results store"),
        ("batch a.cnf --seconds nan", 2, B + "argument --seconds: nan is out of range (above 0, up to 1000000000.0)"),
        ("batch a.cnf --seconds soon", 2, B + "argument --seconds: expected a number (above 0, up to 1000000000.0), "
         "got 'soon'"),
        ("race a.cnf --seconds soon", 2, "quillon-native race: argument --seconds: expected a number (above 0, or "
         "inf), got 'soon'"),
        ("batch a.cnf --jobs 0", 2, Starts(B + "argument -j/--jobs: 0 is out of range (1 to ")),
        ("batch a.cnf --config nope", 2, Starts(B + "--config: unknown configuration 'nope'; known: default, ")),
        ("batch a.cnf --solver ./nope", 2, B + "--solver: no such command './nope'"),
        ("batch", 2, B + "nothing to do: give instances to solve or --export FILE"),
        ("batch --export x.csv -r none.sqlite", 3, B + "none.sqlite: No such file or directory"),
        ("plot a.cnf", 3, "quillon-native plot: a.cnf: not a results store"),
        ("plot a.cnf -o x.gif", 2, "quillon-native plot: x.gif: the image name must end in .png, .svg, .pdf"),
        ("race a.cnf --local-cluster 1 --workers 99", 2, Starts("quillon-native race: --workers: only 9 named "
                                                                 "configurations to race: default, ")),
        ("race nope.cnf --local-cluster 1", 3, "quillon-native race: nope.cnf: no such file"),
        ("race a.cnf --local-cluster 1 --proof no/p", 4, "quillon-native race: no/p: No such file or directory")]],
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
        if isinstance(text, bytes):
            (folder / name).write_bytes(text)
        elif name.endswith("/"):
            (folder / name).mkdir()
        elif text.startswith("->"):
            os.symlink(text[2:], folder / name)
        elif text.startswith("=>"):
            os.link(folder / text[2:], folder / name)
        elif text == "|":
            os.mkfifo(folder / name)
        else:
            (folder / name).write_text(text)


def snapshot(folder):
    return {str(p.relative_to(folder)): p.read_bytes() for p in folder.rglob("*") if p.is_file()}  # no device, no pipe


PLAIN = re.compile(r"qn ([^;&|<>$]*?)( >/dev/null)?")


def run(command, folder, capsys, monkeypatch):
    """(exit code, stdout, stderr) of `command` run in `folder`: "qn ..."
    commands joined by && in this process, anything else in a shell."""
    fake = shlex.quote(f"{sys.executable} {FAKE}")
    parts = [PLAIN.fullmatch(part) for part in command.format(fake=fake).split(" && ")]
    if all(parts):
        monkeypatch.chdir(folder)
        rc, out, err = 0, "", ""
        for part in parts:
            rc, more, e = inproc(capsys, *shlex.split(part[1]))
            out, err = out + more * (not part[2]), err + e
            if rc:
                break
        return rc, out, err
    py = shlex.quote(sys.executable)
    command = command.replace("qn ", f"{py} -m quillon_native_cli ").replace("py ", f"{py} ")
    p = subprocess.run(command.format(fake=fake), shell=True, cwd=folder, env=ENV, capture_output=True, text=True,
                       timeout=120)
    return p.returncode, p.stdout, p.stderr


@pytest.mark.parametrize("fault,files,command,code,error,out,changed", ROWS, ids=[r[0] for r in ROWS])
def test_fault(tmp_path, capsys, monkeypatch, fault, files, command, code, error, out, changed):
    write(tmp_path, BASE)
    write(tmp_path, files)
    before = snapshot(tmp_path)
    if os.environ.get("QUILLON_SANITIZED"):  # the sanitizer runtime reserves terabytes of address space
        command = command.replace("qn batch ", "qn batch --memory 0 ")
    rc, stdout, stderr = run(command, tmp_path, capsys, monkeypatch)
    assert "Traceback" not in stderr
    error = type(error)(error.format(tmp=tmp_path))
    if isinstance(error, Starts):
        assert (rc, stderr.startswith(f"c error: {error}"), stderr.count("\n")) == (code, True, 1), stderr
    else:
        assert (rc, stderr) == (code, error if isinstance(error, Raw) else f"c error: {error}\n" * bool(error))
    assert out(stdout) if callable(out) else out in stdout
    after = snapshot(tmp_path)
    assert {name for name in before.keys() | after.keys() if before.get(name) != after.get(name)} == set(changed)


def test_a_proof_failure_during_the_search_keeps_the_answer(tmp_path, capsys, monkeypatch):
    # A proof written while the search runs may fail at any moment: the
    # search goes on, and the run ends with its answer and the proof's error.
    from quillon_native_cli import native
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


@pytest.mark.parametrize("delay", [None, 0.02, 0.3], ids=["as the reader starts", "0.02", "0.3"])
def test_an_interrupted_check_ends_its_reader_before_it_returns(tmp_path, capsys, monkeypatch, delay):
    # A reader thread still inside the native check when the interpreter
    # ends is torn down there (an abort): no read may outlive the command.
    # The signal comes as the reader's thread has just started, or `delay`
    # seconds into the reading.
    import signal
    import threading
    from quillon_native_cli.proofs import ProofReader
    reading, sigint = [], lambda: os.kill(os.getpid(), signal.SIGINT)
    read, start = ProofReader.read, threading.Thread.start

    def watched(self):
        reading.append(self)
        if delay is not None:
            threading.Timer(delay, sigint).start()
        try:
            return read(self)
        finally:
            reading.remove(self)

    def interrupted_start(self):
        start(self)
        sigint()

    monkeypatch.setattr(ProofReader, "read", watched)
    if delay is None:
        monkeypatch.setattr(threading.Thread, "start", interrupted_start)
    code, out, err = inproc(capsys, "check", *chain(tmp_path))
    assert (code, out.splitlines()[-1], err, reading) == (130, "c interrupted by SIGINT", "", [])


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
