# batch, plot and race: answers against brute force, faults recorded once,
# interrupted runs resumed, Dask workers killed mid-run, losers of a race stopped.
import itertools
import json
import os
import random
import signal
import sqlite3
import subprocess
import sys
import threading
import time

from unittest.mock import ANY

import pytest

from quillon_native_cli import batch
from quillon_native_cli.configs import PORTFOLIO_ORDER
from quillon_native_cli.main import main
from quillon_native_cli.store import Store, StoreError
from commands import cnf_text

FAKE = f"{sys.executable} {os.path.join(os.path.dirname(__file__), 'fake_solve.py')}"
SANITIZED = bool(os.environ.get("QUILLON_SANITIZED"))
CAP = ["--memory", "0"] if SANITIZED else []  # the sanitizer runtime reserves terabytes of address space


def brute(clauses, n):
    return any(all(any(bits[abs(x) - 1] * x > 0 for x in c) for c in clauses)
               for bits in itertools.product([-1, 1], repeat=n))


def write_set(folder, instances, expected=None):
    # Writes name -> CNF text files and a manifest; returns the manifest path.
    os.makedirs(folder / "cnf", exist_ok=True)
    for name, text in instances.items():
        (folder / "cnf" / name).write_text(text)
    rows = "".join(f"{name}\t{(expected or {}).get(name, '')}\n" for name in instances)
    (folder / "set.tsv").write_text("file\texpected\n" + rows)
    return str(folder / "set.tsv")


def rows(results):
    try:
        store = Store(str(results), readonly=True)
    except StoreError:  # just created, no table yet
        return {}
    try:
        return {r["name"]: r for r in store.rows()}
    finally:
        store.close()


def runs(folder):
    # How many times the fake solver started on each instance.
    log = folder / "cnf" / "runs.log"
    names = [line.split()[0] for line in log.read_text().splitlines()] if log.exists() else []
    return {name: names.count(name) for name in names}


def test_real_solver_answers_checked_and_wrong_expectations_flagged(tmp_path, capsys):
    rng = random.Random(5)
    formulas = {f"r{i}.cnf": [[rng.choice([-1, 1]) * v for v in rng.sample(range(1, 9), 3)] for _ in range(35)]
                for i in range(6)}
    truth = {name: "SAT" if brute(c, 8) else "UNSAT" for name, c in formulas.items()}
    assert set(truth.values()) == {"SAT", "UNSAT"}
    expected = dict(truth, **{"r0.cnf": {"SAT": "UNSAT", "UNSAT": "SAT"}[truth["r0.cnf"]]})
    texts = {name: "p cnf 8 35\n" + "".join(" ".join(map(str, c)) + " 0\n" for c in cs)
             for name, cs in formulas.items()}
    manifest = write_set(tmp_path, texts, expected)
    res, out = tmp_path / "r.sqlite", tmp_path / "r.json"
    assert main(["batch", manifest, "-r", str(res), "--check", "-j", "2", "-q", "--export", str(out)] + CAP) == 1
    got = rows(res)
    assert {n: r["answer"] for n, r in got.items()} == truth
    assert {n: (r["status"], r["checked"], r["wrong"]) for n, r in got.items()} == {
        n: ("solved", "verified", int(n == "r0.cnf")) for n in truth}
    sat = sum(v == "SAT" for v in truth.values())
    summary = capsys.readouterr().out
    assert f"solved       6   SAT {sat}, UNSAT {6 - sat}" in summary and "wrong        1" in summary
    assert f"r0.cnf: {truth['r0.cnf']}" in summary and f"WRONG (expected {expected['r0.cnf']})" in summary
    assert json.loads(out.read_text())["results"] == list(Store(str(res)).rows())
    # Resuming a finished run solves nothing again; other options are refused.
    assert main(["batch", manifest, "-r", str(res), "--check", "-q"] + CAP) == 1 and rows(res) == got
    assert main(["batch", manifest, "-r", str(res), "-q"] + CAP) == 2  # a usage error
    assert "other options: check True (now False)" in capsys.readouterr().err


FAULTS = {  # instance text -> (status, answer, checked, wrong, detail)
    "c act abort\np cnf 1 1\n1 0\n": ("crashed", None, None, 0, "SIGABRT"),
    "c act hog\np cnf 1 1\n1 0\n": ("memout", None, None, 0, "MemoryError"),
    "c act sleep 30\np cnf 1 1\n1 0\n": ("timeout", None, None, 0, "killed at the time limit"),
    "c act exit 1 c error: x.cnf:2: bad literal\np cnf 1 1\n1 0\n": ("error", None, None, 0,
                                                                   "c error: x.cnf:2: bad literal"),
    "c act exit 5\np cnf 1 1\n1 0\n": ("crashed", None, None, 0, "exit 5"),
    "c act lie\np cnf 2 2\n1 0\n-2 0\n": ("solved", "SAT", "failed", 1, "clause 1 is falsified"),
    "p cnf 2 3\n1 2 0\n-1 0\n-2 0\n": ("solved", "UNSAT", "error", 0, ANY),  # the fake writes no proof
    "p cnf 2 2\n1 2 0\n-1 0\n": ("solved", "SAT", "verified", 0, ""),
}


def test_faults_recorded_once_and_never_retried(tmp_path, capsys):
    faults = {text: v for text, v in FAULTS.items() if not (SANITIZED and "hog" in text)}
    instances = {f"f{i}.cnf": text for i, text in enumerate(faults)}
    write_set(tmp_path, instances)
    res = str(tmp_path / "r.sqlite")
    args = ["batch", str(tmp_path / "cnf"), "-r", res, "--solver", FAKE, "--seconds", "1.5", "--memory",
            "0" if SANITIZED else "512", "-j", "2", "-q"]
    assert main(args + ["--check"]) == 1
    assert "WRONG, check failed: clause 1 is falsified" in capsys.readouterr().out
    got = rows(tmp_path / "r.sqlite")
    assert {text: tuple(got[n][k] for k in ("status", "answer", "checked", "wrong", "detail"))
            for n, text in instances.items()} == faults
    assert max(r["seconds"] for r in got.values()) < 5
    assert main(args + ["--check"]) == 1 and rows(tmp_path / "r.sqlite") == got
    assert runs(tmp_path) == {n: 1 for n in instances}


def test_interrupted_batch_resumes_without_loss_or_double_counting(tmp_path):
    instances = {f"s{i}.cnf": f"c act sleep {0.5 * (i > 1)}\np cnf 2 2\n{i % 2 + 1} 0\n-1 -2 0\n" for i in range(6)}
    manifest = write_set(tmp_path, instances)
    res = tmp_path / "r.sqlite"
    cmd = [sys.executable, "-m", "quillon_native_cli", "batch", manifest, "-r", str(res), "--solver", FAKE] + CAP
    # A background job inherits an ignored SIGINT; Ctrl-C at a terminal finds the default handler.
    proc = subprocess.Popen(cmd + ["-j", "1"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and len(rows(res) if res.exists() else ()) < 2:
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    # (The progress line of the second instance may be cut off: its row is committed first.)
    assert proc.returncode == 130 and "the same command resumes the run" in err
    before = rows(res)
    assert 2 <= len(before) < 6 and f"{len(before)} of 6 instances done" in out
    assert sqlite3.connect(res).execute("pragma integrity_check").fetchone() == ("ok",)
    assert subprocess.run(cmd + ["-j", "2"], capture_output=True).returncode == 0
    after = rows(res)
    assert sorted(after) == sorted(instances) and all(after[n] == r for n, r in before.items())
    assert all(r["answer"] == "SAT" and r["status"] == "solved" for r in after.values())
    count = runs(tmp_path)
    assert all(count[n] == 1 for n in before) and sum(count.values()) <= 7


def test_an_interrupt_keeps_the_results_of_instances_already_finished(monkeypatch):
    # The interrupt lands as "a" is being recorded, with "b" finished meanwhile.
    b_done = threading.Event()

    def run_instance(job, stop):
        if job["name"] == "b":
            b_done.set()
        return {"status": "solved", "name": job["name"]}

    monkeypatch.setattr(batch.runner, "run_instance", run_instance)
    recorded = []

    def record(job, result):
        if job["name"] == "a" and "interrupted" not in recorded:
            recorded.append("interrupted")
            assert b_done.wait(10)
            raise KeyboardInterrupt
        recorded.append(result["name"])

    with pytest.raises(KeyboardInterrupt):
        batch.run_local([{"name": "a"}, {"name": "b"}], 2, record)
    assert sorted(recorded) == ["a", "b", "interrupted"]


OLD_OPTIONS = '{"check": false, "config": null, "memory": %d, "seconds": 60.0, "solver": %s}'
STORES = [  # what a -r file holds before the batch (SQL run on a new database, None: no file) -> exit code
    ("no file", None, 0),
    ("an empty file", "", 0),
    ("a store made before stores were marked", "{schema} insert into meta values ('options', '{options}');", 0),
    ("another program's tables", "create table t (x); insert into t values (1);", 3),
    ("another program's results table", "create table results (x);", 3),
    ("our tables under another application id", "pragma application_id=7; {schema}", 3),
    ("our tables and one more", "{schema} create table extra (x);", 3),
    ("an SQLite database without tables", "pragma user_version=3;", 3),
]


@pytest.mark.parametrize("what,sql,code", STORES, ids=[s[0] for s in STORES])
def test_only_a_store_of_ours_is_opened_and_another_is_left_as_it_is(tmp_path, capsys, what, sql, code):
    from quillon_native_cli.store import SCHEMA
    res, cnf = tmp_path / "r.sqlite", tmp_path / "a.cnf"
    cnf.write_text("p cnf 2 1\n1 2 0\n")
    if sql is not None:
        res.write_bytes(b"")
        if sql:
            options = OLD_OPTIONS % (0 if SANITIZED else 4096, json.dumps(FAKE.split()).replace("'", "''"))
            db = sqlite3.connect(res)
            db.executescript(sql.format(schema=SCHEMA, options=options))
            db.close()
    before = res.read_bytes() if res.exists() else None
    batch_code = main(["batch", str(cnf), "-r", str(res), "--solver", FAKE, "-q"] + CAP)
    export_code = main(["batch", "-r", str(res), "--export", str(tmp_path / "r.csv")])
    err = capsys.readouterr().err
    assert (batch_code, export_code) == (code, code)
    if code:
        assert err == f"c error: quillon-native batch: {res}: a database of another program, not a results store; " \
            "left as it is\n" * 2
        assert res.read_bytes() == before and sorted(os.listdir(tmp_path)) == ["a.cnf", "r.sqlite"]
    else:
        assert [r["answer"] for r in rows(res).values()] == ["SAT"]
        assert (tmp_path / "r.csv").read_text().count("\n") == 2


@pytest.mark.parametrize("ext", [".csv", ".json"])
def test_an_earlier_export_is_told_from_its_ends_alone(tmp_path, ext):
    # An export far longer than what is read of it is still recognised; cut
    # short or changed at either end, it is not.
    from quillon_native_cli.store import earlier_export
    store = Store(str(tmp_path / "r.sqlite"))
    store.bind(dict(seconds=60))
    for i in range(200):
        store.record(dict(path=f"/p{i}", name=f"p{i}", status="solved", wrong=0, seconds=1, answer="SAT", finished=i))
    export = tmp_path / f"e{ext}"
    store.export(str(export))
    store.close()
    whole = export.read_bytes()
    assert len(whole) > 4096
    for text, expected in [(whole, True), (whole[:-2], ext == ".csv"), (b"x" + whole, False),
                           (whole.replace(b"options", b"opt", 1), ext == ".csv"),
                           (whole.replace(b"path,name", b"path;name", 1), ext == ".json"), (b"", False)]:
        export.write_bytes(text)
        assert earlier_export(str(export), ext, limit=4096) == expected


def test_plot_draws_only_correct_answers_and_par2_counts_them(tmp_path):
    pytest.importorskip("matplotlib")
    from matplotlib.image import imread

    from quillon_native_cli.batch import summary
    from quillon_native_cli.plot import Run
    store = Store(str(tmp_path / "run.sqlite"))
    store.bind(dict(seconds=10))
    for i, (status, wrong, secs) in enumerate([("solved", 0, 2.0), ("solved", 1, 1.0), ("timeout", 0, 10.0),
                                               ("solved", 0, 0.5), ("crashed", 0, 0.1)]):
        store.record(dict(path=f"/p{i}", name=f"p{i}", status=status, wrong=wrong, seconds=secs, cpu=secs,
                          answer="SAT" if status == "solved" else None, finished=i))
    assert "PAR-2       12.500 s mean (62.5 s total, limit 10 s)" in summary(store.rows(), 5, 10, 1, "run", 5)
    store.close()
    run = Run(str(tmp_path / "run.sqlite"))
    assert (run.label, run.times, len(run.names), run.limit) == ("run", [0.5, 2.0], 5, 10)
    # Beside a run with another limit: both limits drawn as lines, named in the legend, and its title says so.
    from argparse import Namespace

    from matplotlib import pyplot

    from quillon_native_cli.plot import draw, mismatches
    other = Store(str(tmp_path / "other.sqlite"))
    other.bind(dict(seconds=20))
    other.record(dict(path="/p0", name="p0", status="solved", wrong=0, seconds=15, cpu=15, answer="SAT", finished=0))
    other.close()
    runs = [run, Run(str(tmp_path / "other.sqlite"))]
    notes = mismatches(runs)
    assert notes == ["time limits differ: run 10 s, other 20 s",
                     "instance sets differ: run 5, other 1 instances, 1 in all"]
    ax = draw(pyplot, runs, Namespace(cpu=False, log=False, title=""), notes).axes[0]
    legend = ax.get_legend()
    assert [t.get_text() for t in legend.get_texts()] == ["run (2/5, limit 10 s)", "other (1/1, limit 20 s)"]
    assert legend.get_title().get_text() == "time limits differ; instance sets differ"
    assert sorted(line.get_ydata()[0] for line in ax.lines if len(set(line.get_ydata())) == 1 and
                  line.get_linestyle() == "--") == [10, 20]
    pyplot.close("all")
    for ext in ("png", "svg"):
        image = str(tmp_path / f"c.{ext}")
        assert main(["plot", str(tmp_path / "run.sqlite"), "-o", image, "--log"]) == 0
    assert imread(str(tmp_path / "c.png")).shape[2] in (3, 4)
    assert (tmp_path / "c.svg").read_text().rstrip().endswith("</svg>")


@pytest.fixture(scope="module")
def cluster():
    if SANITIZED:
        pytest.skip("the cluster tests are left out under the sanitizers")
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0",
                                  silence_logs=50) as cluster:
        yield cluster


@pytest.fixture
def scheduler(cluster):
    # The cluster's address, once both workers are up (a killed one is restarted).
    from distributed import Client
    with Client(cluster) as client:
        client.wait_for_workers(2, timeout=30)
    return cluster.scheduler_address


def test_race_returns_the_winner_and_stops_the_loser(tmp_path, scheduler, capsys):
    cnf = tmp_path / "cnf" / "race.cnf"
    second = PORTFOLIO_ORDER[1]
    write_set(tmp_path, {"race.cnf": f"c act sleep 0.7\nc act slow {second}\np cnf 2 2\n1 2 0\n-1 0\n"})
    assert main(["race", str(cnf), "--scheduler", scheduler, "--workers", "2", "--solver", FAKE]) == 10
    out = capsys.readouterr().out
    assert out.startswith("s SATISFIABLE\nv -1 2 0\nc race: default won on ")
    assert out.rstrip().endswith(f"{second} stopped")
    pids = [int(line.split()[1]) for line in (tmp_path / "cnf" / "runs.log").read_text().splitlines()]
    assert len(pids) == 2 and not any(os.path.exists(f"/proc/{pid}") for pid in pids)
    # The real solver: either configuration may win; its proof comes back and checks.
    holes = [[p * 3 + h + 1 for h in range(3)] for p in range(4)]
    php = holes + [[-a[h], -b[h]] for a, b in itertools.combinations(holes, 2) for h in range(3)]
    cnf.write_text("p cnf 12 %d\n" % len(php) + "".join(" ".join(map(str, c)) + " 0\n" for c in php))
    proof = str(tmp_path / "race.drat")
    assert main(["race", str(cnf), "--scheduler", scheduler, "--workers", "2", "--proof", proof, "-q"]) == 20
    assert capsys.readouterr().out == "s UNSATISFIABLE\n"
    assert main(["check", str(cnf), proof]) == 0 and open(proof).readline().split()[-1] == "0"  # text DRAT
    cnf.write_text("p cnf 1 1\n2 0\n")
    assert main(["race", str(cnf), "--scheduler", scheduler, "--workers", "2"]) == 3  # the solvers refused it
    err = capsys.readouterr().err  # the solver's own message, once
    assert err.startswith(f"c error: {cnf}:2: ") and err.count("\n") == 1


def test_cluster_batch_survives_a_killed_worker(tmp_path, scheduler):
    instances = {f"k{i}.cnf": f"c act sleep 0.2\np cnf 2 1\n{i % 2 + 1} 0\n" for i in range(5)}
    instances["k9.cnf"] = "c act killworker\np cnf 1 1\n1 0\n"
    manifest = write_set(tmp_path, instances, {n: "SAT" for n in instances})
    res = tmp_path / "r.sqlite"
    assert main(["batch", manifest, "-r", str(res), "--solver", FAKE, "--scheduler", scheduler, "-q"] + CAP) == 0
    got = rows(res)
    assert got.pop("k9.cnf")["status"] == "killed"
    assert sorted(got) == sorted(instances)[:5] and all(r["answer"] == "SAT" for r in got.values())
    assert runs(tmp_path) == {n: 1 for n in instances}


@pytest.mark.parametrize("stop", ["time limit", "SIGINT"])
def test_a_race_without_answer_keeps_the_furthest_proof(tmp_path, scheduler, capsys, stop):
    P = 13  # pigeons into P - 1 holes: far beyond every configuration's reach here
    holes = [[p * (P - 1) + h + 1 for h in range(P - 1)] for p in range(P)]
    php = holes + [[-a[h], -b[h]] for a, b in itertools.combinations(holes, 2) for h in range(P - 1)]
    cnf, proof = tmp_path / "php.cnf", tmp_path / "race.drat"
    cnf.write_text(cnf_text(P * (P - 1), php))
    args = ["race", str(cnf), "--scheduler", scheduler, "--workers", "2", "--proof", str(proof)]
    if stop == "time limit":
        assert main(args + ["--seconds", "0.8"]) == 0
    else:
        timer = threading.Timer(1.5, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        try:
            assert main(args) == 130
        finally:
            timer.cancel()
    out = capsys.readouterr().out
    kept = next(line for line in out.splitlines() if line.startswith("c proof of ")).split()
    assert kept[3].rstrip(":") in PORTFOLIO_ORDER[:2] and int(kept[4]) == proof.stat().st_size > 0
    assert out.endswith("s UNKNOWN\n")
    # Whole steps only, every one of them sound, no refutation.
    assert main(["check", str(cnf), str(proof)]) == 1
    assert "every step verified, but the proof never derives the empty clause" in capsys.readouterr().out


def solvers_of(path):
    # The solve processes running on `path` (each in a session of its own).
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
        except OSError:
            continue
        if b"solve" in args and any(str(path).encode() in a for a in args):
            found.append(int(pid))
    return found


P13 = [[p * 12 + h + 1 for h in range(12)] for p in range(13)]
HOLE13 = cnf_text(13 * 12, P13 + [[-a[h], -b[h]] for a, b in itertools.combinations(P13, 2) for h in range(12)])
QUICK, SLEEPER = "p cnf 2 1\n1 2 0\n", "c act sleep 60\np cnf 2 1\n1 2 0\n"
TERMINAL_INTERRUPTS = [  # command (after `quillon-native`), what to wait for -> what the interrupted run prints
    ("race on a local cluster", "race {tmp}/hole13.cnf --local-cluster 1 --workers 1 --proof {tmp}/p.drat", "solvers",
     "proof"),
    ("batch on a local cluster", "batch {tmp}/set.tsv --local-cluster 1", "rows", "counts"),
    ("batch, one job", "batch {tmp}/set.tsv -j 1", "rows", "counts"),
    ("batch, three jobs", "batch {tmp}/set.tsv -j 3", "rows", "counts"),
]


@pytest.mark.parametrize("command,wait,prints", [t[1:] for t in TERMINAL_INTERRUPTS],
                         ids=[t[0] for t in TERMINAL_INTERRUPTS])
def test_a_terminal_interrupt_keeps_what_was_done_and_shows_no_traceback(tmp_path, command, wait, prints):
    # Ctrl-C at a terminal reaches the whole process group: the command, and
    # the workers of a local cluster it started.
    if "cluster" in command:
        if SANITIZED:
            pytest.skip("the cluster tests are left out under the sanitizers")
        pytest.importorskip("distributed")
    (tmp_path / "hole13.cnf").write_text(HOLE13)
    write_set(tmp_path, {"q1.cnf": QUICK, "q2.cnf": QUICK, "s1.cnf": SLEEPER, "s2.cnf": SLEEPER, "s3.cnf": SLEEPER})
    res = tmp_path / "results.sqlite"
    args = [a.format(tmp=tmp_path) for a in command.split()] + (["-r", str(res), "--solver", FAKE] + CAP
                                                                 if "batch" in command else [])
    proc = subprocess.Popen([sys.executable, "-m", "quillon_native_cli"] + args, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and proc.poll() is None:
        if wait == "solvers" and solvers_of(tmp_path / "hole13.cnf"):
            time.sleep(0.5)  # some proof to keep
            break
        if wait == "rows" and res.exists() and len(rows(res)) == 2 and "s1.cnf" in runs(tmp_path):
            break
        time.sleep(0.05)
    assert proc.poll() is None, proc.communicate()
    os.killpg(proc.pid, signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130 and "Traceback" not in err, err
    if prints == "proof":
        kept = next(line for line in out.splitlines() if line.startswith("c proof of ")).split()
        assert int(kept[4]) == (tmp_path / "p.drat").stat().st_size > 0 and out.endswith("s UNKNOWN\n")
    else:
        assert sorted(rows(res)) == ["q1.cnf", "q2.cnf"]
        assert "2 of 5 instances done" in out and "this invocation, which ran 2 of them" in out
