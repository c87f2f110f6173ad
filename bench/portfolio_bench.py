#!/usr/bin/env python3
"""Portfolio benchmark for quillon_native.solve_portfolio.

Two worker configurations, A (the Solver defaults) and B (glucose restarts,
another seed), are run on every instance of the shared manifest three
ways: A alone, B alone (each a one-worker portfolio, no threads) and A with
B together in one two-worker portfolio.  Per instance it prints the three
wall times, the winner of the race, and the race time relative to the
faster lone configuration and to the two lone runs in sequence; the
summary gives geometric means over the instances that every run solved.

Each run happens in a child process that parses the file first and only
then starts the clock, so a run that exceeds the budget is killed without
disturbing the next one (it counts as unsolved).  Every answer is checked
against the manifest and every model against its formula.

A second part measures the per-call cost of starting and joining the
worker threads: many calls on a trivial formula with one worker (no
threads) and with two and four workers.

  python bench/portfolio_bench.py                        # whole manifest
  python bench/portfolio_bench.py --budget 5 --family uf250 --family qg
  python bench/portfolio_bench.py --overhead-only
"""
import argparse
import json
import math
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from benchlib import DEFAULT_BENCH, load_manifest, model_satisfies, read_dimacs, to_internal  # noqa: E402

import quillon_native as qn  # noqa: E402

A = dict(
    restart="luby", ccmin="deep", phase_saving=True, init_phase=False, target_phase=True,
    target_reset=0, walk_flips=20000, walk_interval=1, walk_patience=3, walk_min_conflicts=5000,
    var_decay=0.8, var_decay_max=0.95, cla_decay=0.999, luby_base=100.0, first_reduce=2000,
    reduce_inc=300, glue_keep=2, block_restart=True, rnd_freq=0.0, rnd_seed=91648253,
)
B = dict(A, restart="glucose", rnd_seed=20261206)
MODES = {"A": [A], "B": [B], "AB": [A, B]}


# ---------------------------------------------------------------------------
# Child: one run.

def cpu_seconds():
    """User + system time of the whole process (every thread)."""
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def child(path, mode):
    nvars, clauses = read_dimacs(path)
    internal = to_internal(clauses)
    print("ready", flush=True)
    c0, t0 = cpu_seconds(), time.perf_counter()
    res = qn.solve_portfolio(nvars, internal, MODES[mode])
    secs, cpu = time.perf_counter() - t0, cpu_seconds() - c0
    worker, _, sat, model = res[:4]
    ok_model = (not sat) or model_satisfies(model, clauses)
    print(json.dumps(dict(secs=secs, cpu=cpu, sat=sat, worker=worker, conflicts=res[4], model_ok=ok_model)),
          flush=True)


def run_child(path, mode, budget):
    """dict(secs, sat, worker, conflicts, model_ok), or None past the budget."""
    p = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--child", mode, path],
                         stdout=subprocess.PIPE, text=True)
    try:
        if p.stdout.readline().strip() != "ready":
            p.wait()
            raise RuntimeError(f"child failed on {path}")
        # The budget covers the solve only; parsing happened before "ready".
        # The result is one short line: it fits the pipe, so waiting first
        # cannot block the child, and the buffered reader keeps what it read.
        p.wait(timeout=budget)
        out = p.stdout.read()
        if p.returncode != 0 or not out.strip():
            raise RuntimeError(f"child {mode} on {path} ended with code {p.returncode}")
        return json.loads(out)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
        return None


# ---------------------------------------------------------------------------
# Parent.

def gmean(xs):
    return math.exp(sum(math.log(x) for x in xs) / len(xs)) if xs else float("nan")


def fmt(r):
    return "     -" if r is None else f"{r['secs']:6.2f}"


def race(args):
    rows = load_manifest(args.bench)
    if args.family:
        rows = [r for r in rows if r["family"] in args.family]
    if args.max_minisat is not None:
        rows = [r for r in rows if float(r["minisat_seconds"]) <= args.max_minisat]
    print(f"budget {args.budget:.0f} s per run; A = defaults, B = glucose restarts, seed {B['rnd_seed']}")
    print("load average %.1f %.1f %.1f at the start" % os.getloadavg())
    print(f"{'instance':32} {'exp':5} {'A':>6} {'B':>6} {'A+B':>6} {'win':>3} {'/best':>6} {'/seq':>6} {'cpu':>6}")
    results = []
    wrong = []
    for row in rows:
        path = os.path.join(args.bench, "cnf", row["file"])
        runs = {m: run_child(path, m, args.budget) for m in ("A", "B", "AB")}
        for m, r in runs.items():
            if r is None:
                continue
            if not r["model_ok"] or ("SAT" if r["sat"] else "UNSAT") != row["expected"]:
                wrong.append((row["file"], m))
        a, b, ab = runs["A"], runs["B"], runs["AB"]
        best = min((r["secs"] for r in (a, b) if r), default=None)
        rel_best = ab["secs"] / best if ab and best else None
        rel_seq = ab["secs"] / (a["secs"] + b["secs"]) if ab and a and b else None
        win = "AB"[ab["worker"]] if ab else "-"
        # Half the race's CPU time against the faster lone run's: what running
        # side by side costs each worker, whatever else loads the machine.
        best_cpu = min((r["cpu"] for r in (a, b) if r), default=None)
        rel_cpu = ab["cpu"] / 2 / best_cpu if ab and best_cpu else None
        nan = float("nan")
        print(f"{row['file'][:32]:32} {row['expected']:5} {fmt(a)} {fmt(b)} {fmt(ab)} {win:>3} "
              f"{rel_best or nan:6.2f} {rel_seq or nan:6.2f} {rel_cpu or nan:6.2f}", flush=True)
        results.append(dict(file=row["file"], **{m: runs[m] for m in runs}))
    full = [r for r in results if all(r[m] for m in ("A", "B", "AB"))]
    floor = args.floor
    t_a = [max(r["A"]["secs"], floor) for r in full]
    t_b = [max(r["B"]["secs"], floor) for r in full]
    t_ab = [max(r["AB"]["secs"], floor) for r in full]
    best = [min(x, y) for x, y in zip(t_a, t_b)]
    seq = [x + y for x, y in zip(t_a, t_b)]
    print()
    print(f"solved by all three runs: {len(full)} of {len(results)} "
          f"(A alone {sum(1 for r in results if r['A'])}, B alone {sum(1 for r in results if r['B'])}, "
          f"together {sum(1 for r in results if r['AB'])})")
    print(f"geometric means (times floored at {floor * 1000:.0f} ms): A {gmean(t_a):.3f} s, B {gmean(t_b):.3f} s, "
          f"faster alone {gmean(best):.3f} s, A then B {gmean(seq):.3f} s, together {gmean(t_ab):.3f} s")
    print(f"together / faster alone: {gmean([x / y for x, y in zip(t_ab, best)]):.3f} (target <= 1.10)")
    print(f"together / A then B:     {gmean([x / y for x, y in zip(t_ab, seq)]):.3f} (target < 1)")
    print(f"summed wall time: faster alone {sum(best):.1f} s, together {sum(t_ab):.1f} s, A then B {sum(seq):.1f} s")
    c_best = [max(min(r["A"]["cpu"], r["B"]["cpu"]), floor) for r in full]
    c_half = [max(r["AB"]["cpu"] / 2, floor) for r in full]
    c_seq = [max(r["A"]["cpu"] + r["B"]["cpu"], floor) for r in full]
    busy = [r["AB"]["cpu"] / r["AB"]["secs"] for r in full if r["AB"]["secs"] >= 0.5]
    # Both workers are busy until the race ends, so with two free cores its
    # wall time is about half its CPU time.  When the machine is shared the
    # race gets fewer cores (see the next line) and its wall time suffers.
    print(f"together, CPU per worker / faster alone CPU: {gmean([x / y for x, y in zip(c_half, c_best)]):.3f}; "
          f"/ A then B CPU: {gmean([x / y for x, y in zip(c_half, c_seq)]):.3f}")
    if busy:
        print(f"cores the race actually got (CPU / wall, runs over 0.5 s): {sum(busy) / len(busy):.2f} of 2")
    print("load average %.1f %.1f %.1f at the end" % os.getloadavg())
    if wrong:
        print("WRONG ANSWERS:", wrong)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    return not wrong


def overhead(calls):
    """Seconds per call on a trivial formula with 1, 2 and 4 workers."""
    clauses = [[0, 2], [1]]
    out = {}
    for n in (1, 2, 4):
        configs = [dict(A, rnd_seed=i + 1) for i in range(n)]
        for _ in range(50):
            qn.solve_portfolio(2, clauses, configs)
        best = float("inf")
        for _ in range(5):
            t0 = time.perf_counter()
            for _ in range(calls):
                qn.solve_portfolio(2, clauses, configs)
            best = min(best, (time.perf_counter() - t0) / calls)
        out[n] = best
    print(f"per call on a trivial formula (best of 5 x {calls} calls):")
    for n, secs in out.items():
        extra = "" if n == 1 else f"  (+{(secs - out[1]) * 1e6:.0f} us over one worker, " \
                                  f"{(secs - out[1]) / n * 1e6:.0f} us per thread)"
        print(f"  {n} worker{'s' if n > 1 else ' '}: {secs * 1e6:7.1f} us{extra}")
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bench", default=DEFAULT_BENCH, help="folder with MANIFEST.tsv and cnf/ (default ../shared/bench)")
    ap.add_argument("--family", action="append", help="only these families (repeatable)")
    ap.add_argument("--max-minisat", type=float, help="skip instances whose manifest Minisat time exceeds this")
    ap.add_argument("--budget", type=float, default=20.0, help="seconds per run (default 20)")
    ap.add_argument("--floor", type=float, default=0.01,
                    help="times below this count as this in the means (default 0.01 s)")
    ap.add_argument("--calls", type=int, default=2000, help="calls per overhead sample (default 2000)")
    ap.add_argument("--overhead-only", action="store_true", help="only the thread start/join overhead")
    ap.add_argument("--json", help="write the per-instance results here")
    ap.add_argument("--child", nargs=2, metavar=("MODE", "FILE"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args.child[1], args.child[0])
        return 0
    overhead(args.calls)
    print()
    if args.overhead_only:
        return 0
    return 0 if race(args) else 1


if __name__ == "__main__":
    sys.exit(main())
