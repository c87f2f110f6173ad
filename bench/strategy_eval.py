#!/usr/bin/env python3
"""Whole-process comparison of solvers on manifests: `quillon-native solve`
(auto), `solve --config default` and peers such as `kissat -q`.

Every (instance, solver) pair runs as a child process with a CPU-time limit
(RLIMIT_CPU) and the CPU seconds it used (user + system, from wait4) are
recorded: the machine is shared, so wall time would measure the neighbours.
Rounds interleave the solvers instance by instance; each round appends to a
JSON-lines file, and running again resumes.  The summary gives per solver
PAR-2 (unsolved or wrong: twice the limit) and the geometric mean over the
instances every solver solved, median over rounds, by manifest part and by
family, and the per-instance table.

  nice python bench/strategy_eval.py -o /tmp/eval.jsonl --limit 60 --rounds 3 \\
      --min-minisat 0.5 ../shared/bench/MANIFEST.tsv /tmp/corpus/MANIFEST.tsv --part heldout,shared
"""
import argparse
import json
import math
import os
import resource
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from measure import instances  # noqa: E402

SOLVERS = {
    "auto": [sys.executable, "-m", "quillon_native_cli", "solve", "-q"],
    "default": [sys.executable, "-m", "quillon_native_cli", "solve", "-q", "--config", "default"],
    "kissat": ["/tmp/kissat/build/kissat", "-q"],
    "minisat": ["/usr/bin/minisat", "-verb=0"],
    "portfolio2": [sys.executable, "-m", "quillon_native_cli", "solve", "-q", "--portfolio", "2"],
}


def run_one(cmd, path, limit):
    """(stdout, exit code, wall seconds, CPU seconds, peak resident KiB) of one child."""
    def cap():
        resource.setrlimit(resource.RLIMIT_CPU, (int(limit) + 1, int(limit) + 1))
    t0 = time.monotonic()
    p = subprocess.Popen(cmd + [path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, preexec_fn=cap)
    timer = threading.Timer(limit * 6 + 30, p.kill)  # a crowded machine stretches the wall clock
    timer.start()
    out = p.stdout.read()
    _, status, usage = os.wait4(p.pid, 0)
    timer.cancel()
    p.returncode = os.waitstatus_to_exitcode(status)
    return out.decode(errors="replace"), p.returncode, time.monotonic() - t0, \
        usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def answer_of(text):
    for line in text.splitlines():
        if line.startswith("s "):
            return {"s SATISFIABLE": "SAT", "s UNSATISFIABLE": "UNSAT"}.get(line.strip())
    return None


def measure(cmd, path, limit):
    out, code, wall, cpu, rss = run_one(cmd, path, limit)
    return dict(answer=answer_of(out), code=code, cpu=round(cpu, 3), wall=round(wall, 3), maxrss_kb=rss)


def native_check():
    """Warns when the children would search without the command line's native
    runner (_scan missing beside the package): that is not the shipped path."""
    probe = "from quillon_native_cli import native; print(native.available())"
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True).stdout.strip()
    if out != "True":
        print("warning: the native runner is not available to the children; auto and the default "
              "run on the module's Solver (put _scan beside quillon_native_cli)", file=sys.stderr)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("manifests", nargs="+")
    p.add_argument("-o", "--out", required=True)
    p.add_argument("--solvers", default="auto,default,kissat")
    p.add_argument("--limit", type=float, default=60.0)
    p.add_argument("--rounds", type=int, default=1)
    p.add_argument("--part", default=None, help="comma-separated parts (shared, tune, heldout)")
    p.add_argument("--min-minisat", type=float, default=None, help="shared instances at least this hard only")
    p.add_argument("--family", default=None, help="comma-separated families only")
    p.add_argument("--report", action="store_true", help="only print the summary")
    args = p.parse_args(argv)
    solvers = args.solvers.split(",")
    rows = [r for r in instances(args.manifests)
            if (args.part is None or r["part"] in args.part.split(","))
            and (args.family is None or r["family"] in args.family.split(","))
            and (args.min_minisat is None or r["part"] != "shared"
                 or float(r.get("minisat_seconds") or 0) >= args.min_minisat)]
    done = {}
    if os.path.exists(args.out):
        with open(args.out) as f:
            for line in f:
                r = json.loads(line)
                done.setdefault((r["file"], r["solver"]), []).append(r)
    if not args.report:
        native_check()
        with open(args.out, "a") as out:
            for rnd in range(args.rounds):
                for row in rows:
                    for s in solvers:
                        if len(done.get((row["file"], s), [])) > rnd:
                            continue
                        rec = measure(SOLVERS[s], row["path"], args.limit)
                        rec.update(file=row["file"], family=row["family"], part=row["part"],
                                   expected=row["expected"], solver=s, round=rnd, limit=args.limit)
                        done.setdefault((row["file"], s), []).append(rec)
                        out.write(json.dumps(rec) + "\n")
                        out.flush()
                        print(f"[{rnd}] {row['file']} {s}: {rec['answer']} {rec['cpu']} s", file=sys.stderr)
    report(rows, solvers, done, args.limit)
    return 0


def seconds(recs, limit):
    """Median CPU seconds over rounds; 2*limit for unsolved or wrong answers."""
    vals = []
    for r in recs:
        ok = r["answer"] is not None and (not r["expected"] or r["answer"] == r["expected"]) and r["cpu"] <= limit
        vals.append(r["cpu"] if ok else 2 * limit)
    return statistics.median(vals) if vals else None


def report(rows, solvers, done, limit):
    table = {}
    for row in rows:
        t = {s: seconds(done.get((row["file"], s), []), limit) for s in solvers}
        if all(v is not None for v in t.values()):
            table[row["file"]] = (row, t)
    print(f"\n{'instance':34} {'family':18}" + "".join(f"{s:>10}" for s in solvers))
    for f, (row, t) in table.items():
        print(f"{f[:34]:34} {row['family'][:18]:18}" + "".join(
            f"{t[s]:>10.2f}" if t[s] < 2 * limit else f"{'>' + str(int(limit)):>10}" for s in solvers))
    groups = {}
    for f, (row, t) in table.items():
        groups.setdefault(("part", row["part"]), []).append(t)
        groups.setdefault(("family", row["part"] + ":" + row["family"]), []).append(t)
    print(f"\n{'group':34} {'n':>3}" + "".join(f"{s + ' PAR2':>14}{'geo':>8}" for s in solvers))
    for (kind, name), ts in sorted(groups.items()):
        both = [t for t in ts if all(t[s] < 2 * limit for s in solvers)]
        line = f"{kind[0]}:{name[:32]:32} {len(ts):>3}"
        for s in solvers:
            par2 = sum(t[s] for t in ts)
            geo = math.exp(sum(math.log(max(t[s], 0.01)) for t in both) / len(both)) if both else float("nan")
            line += f"{par2:>14.1f}{geo:>8.3f}"
        print(line)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
