#!/usr/bin/env python3
"""Preprocessing benchmark for quillon_native.Preprocessor.

For every instance of the shared manifest (or the files given): run() with
3 rounds (timed), clauses and variables before and after, then Solver on
reduced() with the model mapped back by reconstruct() and checked against
the ORIGINAL formula, and the same Solver on the original formula alone.
Prints both end-to-end times side by side, the share of run() in the
direct solve time, and clauses removed per second; every verdict is
checked against the manifest.

  python bench/prep_bench.py                        # whole manifest
  python bench/prep_bench.py --family bmc --budget 20
  python bench/prep_bench.py --proof                # run() with proof logging
  python bench/prep_bench.py --check-proof          # UNSAT: preprocessor + solver proof through check_proof

Times exclude loading clauses from Python: "direct s" is the solve of
the original formula, "prep+solve s" is run() + the solve of reduced() +
reconstruct().  Each solve gets --budget seconds; an instance that hits the budget is shown
as "timeout" and left out of the ratios.
"""
import argparse
import os
import statistics
import sys
import time

import quillon_native as qn
from benchlib import DEFAULT_BENCH, load_manifest, read_dimacs_internal as read_dimacs, steps_to_internal



def satisfies(model, clauses):
    return all(any(model[lit >> 1] != bool(lit & 1) for lit in c) for c in clauses)


def active_vars(clauses):
    return len({lit >> 1 for c in clauses for lit in c})


def solve(nvars, clauses, budget, proof=False):
    s = qn.Solver(nvars)
    if proof:
        s.enable_proof()
    for c in clauses:
        s.add_clause(c)
    t = time.perf_counter()
    r = s.solve(seconds=budget)
    return r, time.perf_counter() - t, s


def check_unsat_proof(nvars, clauses, prep, solver):
    """The preprocessor's steps followed by the solver's, against the input."""
    steps = prep.proof_steps() + (solver.proof_steps() if solver is not None else [])
    conv = steps_to_internal(steps)
    try:
        verdict = qn.check_proof(nvars, clauses, conv)
    except NotImplementedError:
        return "n/a"
    return "ok" if verdict[0] and verdict[9] else "BAD:" + verdict[1]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("files", nargs="*", help="DIMACS files instead of the manifest")
    ap.add_argument("--bench", default=DEFAULT_BENCH, help="shared bench folder (MANIFEST.tsv, cnf/)")
    ap.add_argument("--family", action="append", help="only these manifest families")
    ap.add_argument("--budget", type=float, default=30.0, help="seconds per solve")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--proof", action="store_true", help="preprocess with with_proof=True")
    ap.add_argument("--check-proof", action="store_true", help="check UNSAT answers end to end with check_proof")
    ap.add_argument("--no-direct", action="store_true", help="skip the solve of the original formula")
    args = ap.parse_args()

    if args.files:
        rows = [{"file": f, "family": "-", "expected": "?"} for f in args.files]
    else:
        rows = load_manifest(args.bench)
        if args.family:
            rows = [r for r in rows if r["family"] in args.family]
    proof = args.proof or args.check_proof

    print(f"{'instance':<28}{'exp':>6}{'vars':>14}{'clauses':>17}{'run ms':>9}{'rm/s':>10}"
          f"{'direct s':>10}{'prep+solve s':>13}{'run/dir':>8}  check")
    ratios, rates, bad = [], [], 0
    tot_removed = tot_run = 0.0
    tot_direct = tot_prep = 0.0
    for row in rows:
        path = row["file"] if args.files else os.path.join(args.bench, "cnf", row["file"])
        nvars, clauses = read_dimacs(path)
        name = os.path.basename(path)[:27]

        t0 = time.perf_counter()
        p = qn.Preprocessor(nvars, with_proof=proof)
        for c in clauses:
            p.add_clause(c)
        t_load = time.perf_counter() - t0
        t0 = time.perf_counter()
        ok = p.run(args.rounds)
        t_run = time.perf_counter() - t0
        reduced = p.reduced()
        removed = len(clauses) - (0 if not ok else len(reduced))
        rate = removed / t_run if t_run > 0 else float("inf")
        rates.append(rate)
        tot_removed += removed
        tot_run += t_run

        notes = []
        solver = None
        if ok:
            r2, t_solve2, solver = solve(p.nvars, reduced, args.budget, proof=args.check_proof)
        else:
            r2, t_solve2 = False, 0.0
        if r2 is True:
            t0 = time.perf_counter()
            model = p.reconstruct(solver.model)
            t_solve2 += time.perf_counter() - t0
            if not satisfies(model, clauses):
                notes.append("BAD MODEL")
        answer = {True: "SAT", False: "UNSAT", None: "timeout"}[r2]
        if answer != "timeout" and row["expected"] in ("SAT", "UNSAT") and answer != row["expected"]:
            notes.append(f"BAD VERDICT {answer}")
        if answer == "UNSAT" and args.check_proof:
            notes.append("proof " + check_unsat_proof(nvars, clauses, p, solver if ok else None))

        if args.no_direct:
            r1, t_direct = None, float("nan")
        else:
            r1, t_direct, s1 = solve(nvars, clauses, args.budget)
            if r1 is True and not satisfies(s1.model, clauses):
                notes.append("BAD DIRECT MODEL")
            if r1 is not None and r2 is not None and r1 != r2:
                notes.append("DISAGREE")
        t_prep_total = t_run + t_solve2
        if r1 is not None and r2 is not None:
            tot_direct += t_direct
            tot_prep += t_run + t_solve2
            if t_direct > 0:
                ratios.append(t_run / t_direct)
        bad += any(n.startswith("BAD") or n == "DISAGREE" for n in notes)
        vars_txt = f"{active_vars(clauses)}->{active_vars(reduced) if ok else 0}"
        cl_txt = f"{len(clauses)}->{len(reduced) if ok else 0}"
        ratio_txt = f"{t_run / t_direct:8.2f}" if r1 is not None and t_direct > 0 else f"{'-':>8}"
        print(f"{name:<28}{row['expected']:>6}{vars_txt:>14}{cl_txt:>17}{1000 * t_run:9.1f}{rate:10.0f}"
              f"{t_direct:10.3f}{t_prep_total:13.3f}{ratio_txt}  {answer} {' '.join(notes)}", flush=True)

    if ratios:
        print(f"\nmedian run()/direct-solve ratio {statistics.median(ratios):.3f} over {len(ratios)} instances"
              f" (target <= 0.2); totals: direct {tot_direct:.2f} s, run+solve {tot_prep:.2f} s")
    if rates:
        print(f"clauses removed per second: median {statistics.median(rates):.0f}, overall "
              f"{tot_removed / tot_run if tot_run else 0:.0f} ({tot_removed:.0f} clauses in {tot_run:.2f} s of run())")
    print("all answers and models check out" if not bad else f"{bad} instance(s) with a wrong answer")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
