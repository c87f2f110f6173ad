#!/usr/bin/env python3
"""Regression guard: auto, `--config default` and Kissat on one part of the
crafted corpus (bench/crafted_corpus.py) or any manifest, as whole processes.

  python bench/guard.py [--corpus /work/corpus] [--part heldout] [--cap 30]
      [--rounds 3] [--solvers auto,default,kissat] [--configs stable,...]
      [--family op,...] [--build build-dev] [-o RUNS.jsonl]
      [--save-baseline B.json | --baseline B.json [--tolerance 1.25]]

Every (instance, solver) pair is a child process under a CPU-time cap
(RLIMIT_CPU) and is timed by its CPU seconds (user + system, from wait4): the
machine is shared, so wall time would measure the neighbours.  Each round
runs the solvers one after the other on an instance before the next instance,
and an instance's time is the median over the rounds.  An unsolved instance
(or a wrong answer) scores twice the cap (PAR-2).  The report gives, per
family and overall, each solver's solved count, mean PAR-2 score and
geometric mean of the scores, and the geometric mean's ratio to the last
solver named (Kissat by default).

Solvers: `auto` (`quillon-native solve`), `auto@DIR` (auto of another
checkout DIR with its build in DIR/build-dev, such as the main checkout, to
compare two builds in one run), `auto-prep` (with --preprocess),
`default` and `config:NAME` (any named configuration; `--configs a,b` adds
them), `kissat`, `kissat-plain`
(`--plain`: no simplification, to tell search gaps from simplification
gaps) and `minisat`.  Every model our solvers print is checked against
every clause of the instance; a model that fails one is a wrong answer.  `--build DIR` puts a build folder (tools/dev-build.sh)
first on the children's PYTHONPATH.

With `-o`, records go to a JSON-lines file and a later run reuses those of
the same cap and the same build (the last commit that changed the solver's
code; Kissat and minisat records whatever the commit), so adding a solver or a round costs
only the new runs.  `--save-baseline` writes the per-family summary;
`--baseline` compares the run with one and exits 1 when auto (or every
solver named in --watch) got slower in some family by more than the
tolerance (on PAR-2 mean or geometric mean, beyond 0.05 s), solves fewer
instances, or gives a wrong answer anywhere (a wrong answer always exits 1).
"""
import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import resource
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from strategy_eval import answer_of  # noqa: E402

DEFAULT_CORPUS = "/work/corpus"
KISSAT = "/tmp/kissat/build/kissat"
PEERS = ("kissat", "kissat-plain", "minisat")
SLACK = 0.05  # seconds below which a slower family is noise
WALL_FACTOR = 30  # a run is killed after this many times its CPU cap of wall time (plus a minute)


def command(solver):
    """The command line of a solver name (the instance path is appended)."""
    ours = [sys.executable, "-m", "quillon_native_cli", "solve", "-q"]
    if solver == "auto":
        return ours
    if solver.startswith("auto@"):
        other = os.path.abspath(solver.partition("@")[2])
        path = [shim_folder(), os.path.join(other, "python"), os.path.join(other, "build-dev")]
        return ["env", "PYTHONPATH=" + os.pathsep.join(path)] + ours
    if solver == "default":
        return ours + ["--config", "default"]
    if solver == "auto-prep":
        return ours + ["--preprocess"]
    if solver.startswith("config:"):
        return ours + ["--config", solver.partition(":")[2]]
    if solver == "kissat":
        return [KISSAT, "-q"]
    if solver == "kissat-plain":
        return [KISSAT, "-q", "--plain"]
    if solver == "minisat":
        return ["minisat", "-verb=0"]
    raise SystemExit(f"guard: unknown solver {solver!r}")


SHIM = []


def shim_folder():
    """A folder whose sitecustomize finds a build's _scan and quillon-search
    beside the package, as the test suite arranges."""
    if not SHIM:
        SHIM.append(tempfile.mkdtemp(prefix="guard-site-"))
        with open(os.path.join(SHIM[0], "sitecustomize.py"), "w") as f:
            f.write("import os, quillon_native, quillon_native_cli\n"
                    "quillon_native_cli.__path__.append(os.path.dirname(quillon_native.__file__))\n")
    return SHIM[0]


def use_build(build):
    """Children take quillon_native from a build folder (tools/dev-build.sh)
    and the command line from this checkout."""
    path = [shim_folder(), os.path.join(HERE, "..", "python"), os.path.abspath(build), os.environ.get("PYTHONPATH")]
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, path))


def build_id():
    """The last commit that changed the solver (src/, python/, CMakeLists.txt),
    with '+' when those have uncommitted changes: records of other builds are
    not reused."""
    def git(*a):
        return subprocess.run(["git", "-C", os.path.join(HERE, ".."), *a], capture_output=True, text=True).stdout.strip()
    code = ["--", "src", "python", "CMakeLists.txt"]
    commit = git("log", "-1", "--format=%h", *code)
    return commit + ("+" if git("status", "--porcelain", "--untracked-files=no", *code) else "")


def score(recs, cap):
    """Median CPU seconds over the rounds; 2 * cap for unsolved or wrong runs."""
    vals = [r["cpu"] if ok(r, cap) else 2 * cap for r in recs]
    return statistics.median(vals) if vals else None


def ok(rec, cap):
    return rec["answer"] is not None and not wrong(rec) and rec["cpu"] <= cap


def wrong(rec):
    return rec["answer"] is not None and (rec["answer"] == "BAD MODEL" or bool(rec["expected"]) and
                                          rec["answer"] != rec["expected"])


def model_holds(text, path):
    """Whether the v lines of `text` satisfy every clause of the DIMACS file."""
    true = {int(t) for line in text.splitlines() if line.startswith("v ") for t in line[2:].split()}
    clause = []
    with open(path, "rb") as raw:
        magic = raw.read(6)
    import bz2, gzip, lzma
    opener = {b"\xfd7zXZ": lzma.open, b"\x1f\x8b": gzip.open, b"BZh": bz2.open}
    opened = next((o for m, o in opener.items() if magic.startswith(m)), open)
    with opened(path, "rt") as f:
        for line in f:
            if line[:1] in "cp%" or not line.strip():
                continue
            for t in map(int, line.split()):
                if t:
                    clause.append(t)
                elif not true.intersection(clause):
                    return False
                else:
                    clause = []
    return True


FLOOR = 0.01  # seconds: shorter times count as this in geometric means


def geomean(xs, floor=None):
    floor = FLOOR if floor is None else floor
    return math.exp(sum(math.log(max(x, floor)) for x in xs) / len(xs)) if xs else float("nan")


def summarize(rows, solvers, done, cap):
    """{group: {solver: (n, solved, PAR-2 mean, geomean)}} over families and 'all';
    also the per-instance scores {file: {solver: seconds}}."""
    per = {}
    for row in rows:
        per[row["file"]] = {s: score(done.get((row["file"], s), []), cap) for s in solvers}
    groups = {}
    for row in rows:
        t = per[row["file"]]
        if any(v is None for v in t.values()):
            continue
        for g in (row["family"], "all"):
            groups.setdefault(g, []).append(t)
    table = {}
    for g, ts in groups.items():
        table[g] = {s: (len(ts), sum(t[s] < 2 * cap for t in ts), sum(t[s] for t in ts) / len(ts),
                        geomean([t[s] for t in ts])) for s in solvers}
    return table, per


def print_report(rows, solvers, table, per, cap, detail):
    if detail:
        print(f"{'instance':30} {'exp':>5}" + "".join(f"{s[:11]:>12}" for s in solvers))
        for row in rows:
            t = per[row["file"]]
            print(f"{row['file'][:30]:30} {row['expected'][:5]:>5}" + "".join(
                f"{'-':>12}" if t[s] is None else f"{t[s]:>12.2f}" if t[s] < 2 * cap else f"{'>' + str(cap):>12}"
                for s in solvers))
        print()
    ref = solvers[-1]
    print(f"{'family':14} {'n':>3}" + "".join(f" | {s[:14]:>14} {'PAR-2':>7} {'geo':>6} {'/' + ref[:5]:>6}"
                                             for s in solvers))
    for g in sorted(table, key=lambda g: (g == "all", g)):
        line = f"{g[:14]:14} {table[g][solvers[0]][0]:>3}"
        for s in solvers:
            n, solved, par2, geo = table[g][s]
            line += f" | {f'{solved}/{n}':>14} {par2:>7.2f} {geo:>6.3f} {geo / table[g][ref][3]:>6.2f}"
        print(line)


def print_gaps(rows, solvers, per, cap, quick=1.0):
    """Instances the reference (last solver) answers within `quick` seconds
    that another solver leaves unanswered within the cap."""
    ref = solvers[-1]
    for s in solvers[:-1]:
        gaps = [r["file"] for r in rows if per[r["file"]][ref] is not None and per[r["file"]][ref] < quick
                and per[r["file"]][s] is not None and per[r["file"]][s] >= 2 * cap]
        if gaps:
            print(f"{s}: unsolved in {cap:g} s, {ref} under {quick:g} s: {' '.join(gaps)}")


def compare(table, baseline, watch, tolerance):
    """Lines naming every family where a watched solver got worse than the baseline."""
    bad = []
    for g, by_solver in table.items():
        for s in watch:
            old = baseline.get(g, {}).get(s)
            if old is None or s not in by_solver:
                continue
            n, solved, par2, geo = by_solver[s]
            _, old_solved, old_par2, old_geo = old
            if solved < old_solved:
                bad.append(f"{g}: {s} solves {solved}, the baseline {old_solved}")
            for what, new, before in (("PAR-2", par2, old_par2), ("geometric mean", geo, old_geo)):
                if new > before * tolerance and new - before > SLACK:
                    bad.append(f"{g}: {s} {what} {new:.3f} s against {before:.3f} s ({new / before:.2f}x)")
    return bad


def run_one(cmd, path, cap):
    """(stdout, exit code, wall seconds, CPU seconds, peak resident KiB) of one
    child under a CPU cap.  The wall-clock backstop is generous: on a crowded
    machine 30 CPU seconds can take minutes, and a child killed by it loses
    the CPU time of its own children (the search program)."""
    def limit():
        resource.setrlimit(resource.RLIMIT_CPU, (int(cap) + 1, int(cap) + 1))
    t0 = time.monotonic()
    p = subprocess.Popen(cmd + [path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, preexec_fn=limit)
    timer = threading.Timer(cap * WALL_FACTOR + 60, p.kill)
    timer.start()
    out = p.stdout.read()
    _, status, usage = os.wait4(p.pid, 0)
    timer.cancel()
    return (out.decode(errors="replace"), os.waitstatus_to_exitcode(status), time.monotonic() - t0,
            usage.ru_utime + usage.ru_stime, usage.ru_maxrss)


def run(rows, solvers, args, done, out):
    build = build_id()
    for rnd in range(args.rounds):
        for row in rows:
            for s in solvers:
                have = done.setdefault((row["file"], s), [])
                if len(have) > rnd:
                    continue
                text, code, wall, cpu, rss = run_one(command(s), row["path"], args.cap)
                answer = answer_of(text)
                if answer == "SAT" and s not in PEERS and not model_holds(text, row["path"]):
                    answer = "BAD MODEL"
                rec = dict(file=row["file"], family=row["family"], part=row["part"], expected=row["expected"],
                           solver=s, round=rnd, cap=args.cap, build=build, answer=answer, code=code,
                           cpu=round(cpu, 3), wall=round(wall, 3), maxrss_kb=rss)
                have.append(rec)
                out.write(json.dumps(rec) + "\n")
                out.flush()
                flag = " WRONG" if wrong(rec) else ""
                print(f"[{rnd}] {row['file']} {s}: {rec['answer']} {rec['cpu']} s{flag}", file=sys.stderr, flush=True)


def walled(rec):
    """A run the wall-clock backstop killed before its CPU cap: no measurement
    (run again on resume)."""
    return rec["code"] == -9 and rec["cpu"] < rec["cap"]


def load(path, cap, build, keep_walled=False):
    """{(file, solver): [records]} of earlier runs that this one may reuse."""
    done = {}
    if path and os.path.exists(path):
        with open(path) as f:
            for line in f:
                r = json.loads(line)
                if r["cap"] == cap and (r["solver"] in PEERS or r["build"] == build) and (keep_walled or not walled(r)):
                    done.setdefault((r["file"], r["solver"]), []).append(r)
    return done


def instances(manifest):
    """The rows of a manifest, each with its `path` (beside the manifest or
    in its cnf/, as batch finds them) and a `part` ('shared' when unnamed)."""
    folder = os.path.dirname(os.path.abspath(manifest))
    with open(manifest) as f:
        header = f.readline().rstrip("\n").split("\t")
        rows = [dict(zip(header, line.rstrip("\n").split("\t"))) for line in f if line.strip()]
    for r in rows:
        beside = os.path.join(folder, r["file"])
        r["path"] = beside if os.path.exists(beside) else os.path.join(folder, "cnf", r["file"])
        r.setdefault("part", "shared")
        r.setdefault("family", "-")
        r["expected"] = r.get("expected", "").strip().upper()
    return rows


def select(args):
    manifests = args.manifest or [os.path.join(args.corpus, "MANIFEST.tsv")]
    rows = [r for m in manifests for r in instances(m)]
    if args.part != "all":
        rows = [r for r in rows if r["part"] in args.part.split(",")]
    if args.family:
        rows = [r for r in rows if r["family"] in args.family.split(",")]
    return rows


def main(argv):
    global FLOOR
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--corpus", default=DEFAULT_CORPUS, help="folder of the corpus (its MANIFEST.tsv)")
    p.add_argument("--manifest", action="append", default=[], help="manifests instead of the corpus's (repeat)")
    p.add_argument("--part", default="heldout", help="tune, heldout, shared, comma-separated, or all")
    p.add_argument("--family", default=None, help="comma-separated families only")
    p.add_argument("--cap", type=float, default=30.0, help="CPU seconds per run")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--solvers", default="auto,default,kissat", help="the reference (ratios) comes last")
    p.add_argument("--configs", default="", help="named configurations to add (config:NAME)")
    p.add_argument("--build", default=None, help="a build folder for the children's PYTHONPATH")
    p.add_argument("-o", "--out", default=None, help="JSON-lines records, resumed")
    p.add_argument("--report", action="store_true", help="report the records of -o without running")
    p.add_argument("--keep-walled", action="store_true", help="count runs the wall-clock backstop killed as "
                   "unsolved instead of running them again")
    p.add_argument("--detail", action="store_true", help="the per-instance table too")
    p.add_argument("--save-baseline", default=None)
    p.add_argument("--baseline", default=None)
    p.add_argument("--watch", default="auto", help="solvers the baseline comparison judges")
    p.add_argument("--tolerance", type=float, default=1.25)
    p.add_argument("--floor", type=float, default=FLOOR, help="seconds: shorter times count as this in "
                   "geometric means (0.1 hides the interpreter's start-up)")
    args = p.parse_args(argv)
    FLOOR = args.floor
    solvers = args.solvers.split(",")
    extra = [f"config:{c}" for c in args.configs.split(",") if c]
    solvers = solvers[:-1] + extra + solvers[-1:] if len(solvers) > 1 else solvers + extra
    for s in solvers:
        command(s)
    if args.build:
        use_build(args.build)
    rows = select(args)
    if not rows:
        p.error("no instance selected")
    done = load(args.out, args.cap, build_id(), args.keep_walled)
    if not args.report:
        with open(args.out, "a") if args.out else tempfile.TemporaryFile("w") as out:
            run(rows, solvers, args, done, out)
    for row in rows:  # judged by the manifest as it is now
        for s in solvers:
            for r in done.get((row["file"], s), []):
                r["expected"] = row["expected"]
    table, per = summarize(rows, solvers, done, args.cap)
    print_report(rows, solvers, table, per, args.cap, args.detail)
    print_gaps(rows, solvers, per, args.cap)
    chosen = {r["file"] for r in rows}
    wrongs = [r for (f, s), recs in done.items() if f in chosen and s in solvers for r in recs if wrong(r)]
    for r in wrongs:
        print(f"WRONG: {r['solver']} answered {r['answer']} on {r['file']} (expected {r['expected']})")
    if args.save_baseline:
        with open(args.save_baseline, "w") as f:
            json.dump(dict(cap=args.cap, table=table), f, indent=1)
    bad = []
    if args.baseline:
        with open(args.baseline) as f:
            base = json.load(f)
        if base["cap"] != args.cap:
            p.error(f"the baseline was measured with cap {base['cap']}, this run {args.cap}")
        bad = compare(table, base["table"], args.watch.split(","), args.tolerance)
        for line in bad:
            print(f"SLOWER: {line}")
    return 1 if wrongs or bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
