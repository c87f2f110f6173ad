#!/usr/bin/env python3
"""Solve benchmark for quillon_native.Solver.

Runs the instances of the shared manifest (or the files given) through
Solver with default options (or the options given with --opt / --walk-flips),
checks every answer against the manifest and every model against its
formula, and prints per instance the solve time, conflicts and propagations
per second.

  python bench/solve_bench.py                       # whole manifest
  python bench/solve_bench.py --family qg --budget 20
  python bench/solve_bench.py --peers               # + Minisat22, Glucose4, Cadical153
  python bench/solve_bench.py --walk-flips 0        # walk off
  python bench/solve_bench.py --compare-walk        # defaults vs walk_flips=0, side by side
  python bench/solve_bench.py --memory              # peak RSS vs Minisat22 on the largest instance

Peers come from the python-sat package (the `bench` extra).  Only solve()
is timed, for us and for them; parsing and loading are not.
"""
import argparse
import json
import math
import os
import resource
import subprocess
import sys
import threading
import time

import quillon_native as qn
from benchlib import DEFAULT_BENCH, load_manifest, model_satisfies, open_text, read_dimacs, stream_clauses, to_internal

PEERS = ("Minisat22", "Glucose4", "Cadical153")


def parse_opts(pairs):
    out = {}
    for p in pairs or []:
        k, _, v = p.partition("=")
        if v in ("True", "False"):
            out[k] = v == "True"
        elif v.lstrip("-").isdigit():
            out[k] = int(v)
        else:
            try:
                out[k] = float(v)
            except ValueError:
                out[k] = v
    return out


def run_ours(nvars, internal, budget, opts):
    s = qn.Solver(nvars, **opts)
    for c in internal:
        s.add_clause(c)
    t0 = time.perf_counter()
    r = s.solve(seconds=budget)
    dt = time.perf_counter() - t0
    return r, dt, s


def run_peer(name, clauses, budget):
    from pysat import solvers

    cls = getattr(solvers, name)
    with cls(bootstrap_with=clauses) as s:
        timer = None
        if name == "Cadical153":
            t0 = time.perf_counter()
            r = s.solve()  # no interrupt support in python-sat
        else:
            timer = threading.Timer(budget, s.interrupt)
            timer.start()  # started before the clock: thread start-up is not solve time
            t0 = time.perf_counter()
            r = s.solve_limited(expect_interrupt=True)
        dt = time.perf_counter() - t0
        if timer:
            timer.cancel()
        model = s.get_model() if r else None
        try:
            props = s.accum_stats().get("propagations")
        except Exception:  # not every back end counts
            props = None
    return r, dt, model, props


def gmean(xs):
    xs = [max(x, 1e-4) for x in xs]
    return math.exp(sum(math.log(x) for x in xs) / len(xs)) if xs else float("nan")


def select(args):
    bench = os.path.abspath(args.bench)
    if args.files:
        return [dict(file=f, family="-", expected="?", path=f) for f in args.files]
    if not os.path.exists(os.path.join(bench, "MANIFEST.tsv")):
        sys.exit(f"no MANIFEST.tsv in {bench}; pass --bench or files")
    rows = load_manifest(bench)
    for r in rows:
        r["path"] = os.path.join(bench, "cnf", r["file"])
    if args.family:
        rows = [r for r in rows if r["family"] in args.family]
    if args.max_minisat is not None:
        rows = [r for r in rows if float(r.get("minisat_seconds") or 0) <= args.max_minisat]
    return rows


def memory_child(path, who):
    """Runs in a subprocess: stream the formula into one solver (or into
    nothing, for the baseline) and solve; print peak RSS in KiB."""
    nvars = 0
    with open_text(path) as f:
        for line in f:
            if line.startswith("p"):
                nvars = int(line.split()[2])
                break
    if who == "ours":
        s = qn.Solver(nvars)
        for c in stream_clauses(path):
            s.add_clause([2 * (abs(d) - 1) + (d < 0) for d in c])
        s.solve(seconds=120)
    elif who == "none":
        for _ in stream_clauses(path):
            pass
    else:
        from pysat import solvers

        with getattr(solvers, who)() as s:
            for c in stream_clauses(path):
                s.add_clause(c)
            s.solve()
    print(json.dumps({"peak_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))


def memory_report(rows):
    largest = max(rows, key=lambda r: os.path.getsize(r["path"]))
    print(f"\npeak memory on the largest instance {os.path.basename(largest['path'])}")
    res = {}
    for who in ("none", "ours", "Minisat22"):
        out = subprocess.run([sys.executable, __file__, "--memory-child", who, largest["path"]],
                             capture_output=True, text=True, timeout=900)
        res[who] = json.loads(out.stdout.strip().splitlines()[-1])["peak_kib"]
    base = res["none"]
    print(f"  interpreter + modules + streaming parse: {base / 1024:.1f} MiB")
    for who in ("ours", "Minisat22"):
        print(f"  {who:10s} peak {res[who] / 1024:8.1f} MiB, solver share {(res[who] - base) / 1024:8.1f} MiB")
    if res["Minisat22"] > base:
        print(f"  solver memory ratio ours/Minisat22: {(res['ours'] - base) / (res['Minisat22'] - base):.2f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("files", nargs="*", help="CNF files instead of the manifest")
    ap.add_argument("--bench", default=DEFAULT_BENCH, help="folder with MANIFEST.tsv and cnf/ (default ../shared/bench)")
    ap.add_argument("--family", action="append", help="only these families (repeatable)")
    ap.add_argument("--max-minisat", type=float, help="skip instances whose manifest Minisat time exceeds this")
    ap.add_argument("--budget", type=float, default=30.0, help="seconds per instance and solver (default 30)")
    ap.add_argument("--peers", action="store_true", help="also run Minisat22, Glucose4, Cadical153")
    ap.add_argument("--walk-flips", type=int, help="walk_flips option")
    ap.add_argument("--opt", action="append", help="any Solver option, key=value (repeatable)")
    ap.add_argument("--compare-walk", action="store_true", help="defaults vs walk_flips=0, side by side")
    ap.add_argument("--memory", action="store_true", help="peak memory vs Minisat22 on the largest instance")
    ap.add_argument("--memory-only", action="store_true", help="only the memory comparison")
    ap.add_argument("--json", help="write the per-instance results here")
    ap.add_argument("--memory-child", nargs=2, metavar=("WHO", "FILE"), help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.memory_child:
        memory_child(args.memory_child[1], args.memory_child[0])
        return 0

    opts = parse_opts(args.opt)
    if args.walk_flips is not None:
        opts["walk_flips"] = args.walk_flips
    rows = select(args)
    if args.memory_only:
        memory_report(rows)
        return 0
    results = []
    bad = 0
    configs = [("ours", opts)]
    if args.compare_walk:
        configs = [("walk", dict(opts)), ("nowalk", dict(opts, walk_flips=0))]

    hdr = f"{'instance':32s} {'fam':12s} {'exp':5s} " + " ".join(
        f"{name + ' s':>9s} {'confl':>8s} {'Mprop/s':>7s}" for name, _ in configs)
    if args.peers:
        hdr += " " + " ".join(f"{p[:8] + ' s':>10s}" for p in PEERS)
    print(hdr)
    for row in rows:
        nvars, clauses = read_dimacs(row["path"])
        internal = to_internal(clauses)
        rec = {"file": os.path.basename(row["path"]), "family": row["family"], "expected": row["expected"]}
        line = f"{rec['file'][:32]:32s} {row['family'][:12]:12s} {row['expected']:5s} "
        cells = []
        for name, o in configs:
            r, dt, s = run_ours(nvars, internal, args.budget, o)
            verdict = {True: "SAT", False: "UNSAT", None: "?"}[r]
            ok = True
            if r is True and not model_satisfies(s.model, clauses):
                ok = False
            if r is not None and row["expected"] in ("SAT", "UNSAT") and verdict != row["expected"]:
                ok = False
            if not ok:
                bad += 1
                print(f"WRONG ANSWER {rec['file']} config {name}: {verdict}", file=sys.stderr)
            rec[name] = dict(answer=verdict, seconds=dt, conflicts=s.conflicts, propagations=s.propagations,
                             decisions=s.decisions, restarts=s.restarts, ok=ok)
            mark = "" if r is not None else ">"
            cells.append(f"{mark + format(dt, '.3f'):>9s} {s.conflicts:8d} {s.propagations / max(dt, 1e-9) / 1e6:7.2f}")
        line += " ".join(cells)
        if args.peers:
            for p in PEERS:
                r, dt, model, props = run_peer(p, clauses, args.budget)
                ok = r is None or row["expected"] not in ("SAT", "UNSAT") or (r == (row["expected"] == "SAT"))
                if r and not model_satisfies([m > 0 for m in model] + [False] * (nvars - len(model)), clauses):
                    ok = False
                if not ok:
                    print(f"PEER DISAGREES {rec['file']} {p}", file=sys.stderr)
                rec[p] = dict(answer={True: "SAT", False: "UNSAT", None: "?"}[r], seconds=dt, propagations=props)
                line += f" {('>' if r is None else '') + format(dt, '.3f'):>10s}"
        print(line, flush=True)
        results.append(rec)

    # Summary: geometric means and ratios over the instances every solver finished.
    names = [n for n, _ in configs] + (list(PEERS) if args.peers else [])
    done = [r for r in results if all(r[n]["answer"] != "?" for n in names)]
    print(f"\n{len(results)} instances, {bad} wrong, {len(done)} finished by every solver")
    if done:
        base = names[0]
        for n in names:
            g = gmean([r[n]["seconds"] for r in done])
            print(f"  geomean {n:11s} {g:8.4f} s", end="")
            if n != base:
                print(f"   {base}/{n} = {gmean([r[base]['seconds'] / max(r[n]['seconds'], 1e-4) for r in done]):.2f}",
                      end="")
            print()
        tot_t = sum(r[base]["seconds"] for r in done)
        tot_p = sum(r[base]["propagations"] for r in done)
        print(f"  {base}: {tot_p / max(tot_t, 1e-9) / 1e6:.2f} M propagations/s overall")
        for n in names[1:]:
            if all(r[n].get("propagations") is not None for r in done):
                tp = sum(r[n]["propagations"] for r in done)
                tt = sum(r[n]["seconds"] for r in done)
                print(f"  {n}: {tp / max(tt, 1e-9) / 1e6:.2f} M propagations/s overall", end="")
                # Per instance, on runs long enough to time (20 ms for both).
                ratios = [(r[base]["propagations"] / r[base]["seconds"]) / (r[n]["propagations"] / r[n]["seconds"])
                          for r in done if min(r[base]["seconds"], r[n]["seconds"]) >= 0.02 and r[n]["propagations"]]
                if ratios:
                    print(f"; per-instance propagations/s {base}/{n} geomean {gmean(ratios):.2f} over {len(ratios)}",
                          end="")
                print()
        fams = sorted({r["family"] for r in done})
        if len(names) > 1:
            print("\nper family geomean ratio " + base + "/X (below 1: " + base + " faster)")
            print(f"  {'family':14s} {'n':>3s} " + " ".join(f"{n:>11s}" for n in names[1:]))
            for fam in fams:
                rs = [r for r in done if r["family"] == fam]
                print(f"  {fam:14s} {len(rs):3d} " + " ".join(
                    f"{gmean([r[base]['seconds'] / max(r[n]['seconds'], 1e-4) for r in rs]):11.2f}" for n in names[1:]))
        if args.compare_walk:
            print("\nwalk effect per family (walk / nowalk): time ratio, conflict ratio")
            for fam in fams:
                rs = [r for r in done if r["family"] == fam]
                tr = gmean([r["walk"]["seconds"] / max(r["nowalk"]["seconds"], 1e-4) for r in rs])
                cr = gmean([max(r["walk"]["conflicts"], 1) / max(r["nowalk"]["conflicts"], 1) for r in rs])
                print(f"  {fam:14s} time {tr:6.2f}  conflicts {cr:6.2f}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    if args.memory:
        memory_report(rows)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
