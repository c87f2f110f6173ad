#!/usr/bin/env python3
"""Proof checking benchmark: solve each UNSAT instance of the bench set with
proof logging, then check the proof with check_proof.

Per instance it prints the solve time, the number of proof steps, the time to
translate the ("a"/"d", DIMACS) steps into (is_deletion, internal literals),
the argument conversion inside check_proof, the native check time, the
check/solve ratio and the lemmas checked per second.

The conversion is measured with a call whose formula is just the empty
clause and whose steps are the proof's followed by the formula's clauses as
additions: check_proof then converts as many lists of the same sizes but
stops before the first step.  The native check time is the full call minus
that.  Times are CPU
times of this process (the machine may be shared; check_proof runs on the
calling thread), short calls repeated and the fastest kept.  The cyclic
garbage collector is off: it only slows down building the step lists.

    PYTHONPATH=build-dev python3 bench/check_bench.py [--bench DIR] [--budget S] [-k NAME]
"""
import argparse
import csv
import gc
import math
import sys
import time
from pathlib import Path

import quillon_native as qn
from benchlib import DEFAULT_BENCH, read_dimacs_internal as read_dimacs, steps_to_internal as to_internal


def timed(fn, *args, **kw):
    t = time.process_time()
    r = fn(*args, **kw)
    return time.process_time() - t, r


def best_of(fn, *args):
    """Fastest of up to three runs, fewer when a run takes over a second."""
    best, r = timed(fn, *args)
    for _ in range(2):
        if best > 1.0:
            break
        t, r = timed(fn, *args)
        best = min(best, t)
    return best, r


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--bench", type=Path, default=Path(DEFAULT_BENCH), help="bench folder (MANIFEST.tsv, cnf/)")
    ap.add_argument("--budget", type=float, default=30.0, help="skip instances whose solve takes longer (s)")
    ap.add_argument("-k", dest="only", default="", help="only instances whose file name contains this")
    ap.add_argument("--no-rat", action="store_true", help="check with check_rat=False")
    args = ap.parse_args()
    gc.disable()

    with open(args.bench / "MANIFEST.tsv") as f:
        rows = [r for r in csv.DictReader(f, delimiter="\t") if r["expected"] == "UNSAT" and args.only in r["file"]]

    head = f"{'instance':<22} {'solve s':>8} {'steps':>9} {'transl s':>8} {'conv s':>7} {'check s':>8} " \
           f"{'chk/slv':>7} {'conv/chk':>8} {'lemmas/s':>10}  verdict"
    print(head)
    print("-" * len(head))
    ratios, conv_ratios, failures = [], [], 0
    for row in rows:
        path = args.bench / "cnf" / row["file"]
        if not path.exists():
            path = path.with_name(path.name + ".xz")
        nvars, clauses = read_dimacs(path)
        s = qn.Solver(nvars)
        s.enable_proof()
        for c in clauses:
            if not s.add_clause(c):
                break
        solve_t, res = timed(s.solve, seconds=args.budget)
        if res is None:
            print(f"{row['file']:<22} {'>' + str(args.budget):>8}  skipped (not solved within the budget)")
            continue
        if res is not False:
            print(f"{row['file']:<22} {solve_t:8.3f}  WRONG ANSWER {res}")
            failures += 1
            continue
        transl_t, steps = timed(lambda: to_internal(s.proof_steps()))
        check_rat = not args.no_rat
        probe = steps + [(False, c) for c in clauses]
        conv_t, _ = best_of(qn.check_proof, nvars, [[]], probe, check_rat)
        del probe
        total_t, v = best_of(qn.check_proof, nvars, clauses, steps, check_rat)
        check_t = max(total_t - conv_t, 1e-6)
        ok, msg = v[0], v[1]
        lemmas = v[3] + v[4]
        ratio = check_t / max(solve_t, 1e-6)
        ratios.append(ratio)
        conv_ratios.append(conv_t / check_t)
        if not ok:
            failures += 1
        verdict = "ok" if ok else f"REJECTED at step {v[8]}: {msg}"
        print(f"{row['file']:<22} {solve_t:8.3f} {len(steps):9d} {transl_t:8.3f} {conv_t:7.3f} {check_t:8.3f} "
              f"{ratio:7.3f} {conv_t / check_t:8.3f} {lemmas / check_t:10.0f}  {verdict}", flush=True)
    if ratios:
        gm = math.exp(sum(math.log(max(r, 1e-9)) for r in ratios) / len(ratios))
        print(f"\n{len(ratios)} proofs checked, {failures} failures; geometric mean check/solve {gm:.3f}, "
              f"worst {max(ratios):.3f}; worst conversion/check {max(conv_ratios):.3f}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
