#!/usr/bin/env python3
"""Incremental use against PySAT, in one process: deletion-based MUS
extraction (one selector per clause) on the bench set's small UNSAT
instances, and a core-guided MaxSAT loop (WPM1: Fu-Malik with weights) on
generated weighted instances.  The same algorithm drives quillon_sat.Solver
and PySAT's Minisat22 and Cadical153 through one small adapter each; every
backend must reach the same MUS verdicts (each MUS checked unsatisfiable and
every clause of it necessary, by the same backend) and the same MaxSAT
optimum.  Times are wall seconds of the whole extraction (solver creation
included), median of --reps runs with the backends' order rotated between
runs; the summary gives the geometric mean of each backend's time over
quillon's.

    PYTHONPATH=build-dev:python python3 bench/api_bench.py [--reps 3] [--max-clauses 5000] [--max-seconds 0.1]

Instances: UNSAT entries of MANIFEST.tsv with at most --max-clauses clauses
whose recorded minisat time is at most --max-seconds (a MUS costs one call
per clause, so the hard ones would take hours).
"""
import argparse
import math
import os
import random
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import DEFAULT_BENCH, load_manifest, read_dimacs  # noqa: E402


class Quillon:
    name = "quillon"

    def __init__(self):
        import quillon_sat
        self.s = quillon_sat.Solver()

    def add(self, clause):
        self.s.add_clause(clause)

    def solve(self, assumptions, budget=None):
        return self.s.solve(assumptions, max_conflicts=budget)

    def core(self):
        return self.s.core()

    def model(self):
        return self.s.model()

    def close(self):
        self.s.close()


class PySat:
    def __init__(self):
        from pysat import solvers
        self.s = getattr(solvers, self.kind)()

    def add(self, clause):
        self.s.add_clause(clause)

    def solve(self, assumptions, budget=None):
        if budget is None:
            return self.s.solve(assumptions=assumptions)
        self.s.conf_budget(budget)
        return self.s.solve_limited(assumptions=assumptions)

    def core(self):
        return self.s.get_core()

    def model(self):
        return self.s.get_model()

    def close(self):
        self.s.delete()


class Minisat22(PySat):
    name, kind = "minisat22", "Minisat22"


class Cadical153(PySat):
    name, kind = "cadical153", "Cadical153"


BACKENDS = [Quillon, Minisat22, Cadical153]


def mus(backend, nvars, clauses):
    """Deletion-based MUS with core refinement: clause i gets selector
    nvars + 1 + i; returns (the MUS as clause indices, solver calls)."""
    s = backend()
    for i, c in enumerate(clauses):
        s.add(c + [-(nvars + 1 + i)])
    calls = 1
    assert s.solve([nvars + 1 + i for i in range(len(clauses))]) is False
    current = sorted(a - nvars - 1 for a in s.core())
    needed = []
    while current:
        i = current.pop()
        calls += 1
        if s.solve([nvars + 1 + j for j in needed + current]) is False:
            core = {a - nvars - 1 for a in s.core()}
            current = [j for j in current if j in core]
        else:
            needed.append(i)
    s.close()
    return sorted(needed), calls


def check_mus(backend, clauses, found):
    """The MUS is unsatisfiable and each of its clauses is needed."""
    subset = [clauses[i] for i in found]
    for skip in [None] + list(range(len(subset))):
        s = backend()
        for k, c in enumerate(subset):
            if k != skip:
                s.add(c)
        answer = s.solve([])
        s.close()
        assert answer is (skip is not None), (backend.name, skip)


def maxsat_instance(seed, nvars=60, nhard=90, nsoft=90):
    rng = random.Random(seed)

    def clause(k):
        vs = rng.sample(range(1, nvars + 1), k)
        return [v if rng.random() < 0.5 else -v for v in vs]

    hard = [clause(3) for _ in range(nhard)]
    soft = [(clause(rng.choice([1, 1, 2])), rng.randint(1, 9)) for _ in range(nsoft)]
    return nvars, hard, soft


def wpm1(backend, nvars, hard, soft, budget=None):
    """Weighted Fu-Malik: each soft clause carries a selector that is
    assumed; a core's clauses get a relaxation variable each (at most one of
    them true), weights above the core's minimum split off into a copy.
    Returns (optimum cost, solver calls), or (None, calls) when one call
    passed `budget` conflicts (the pairwise at-most-one constraints make a
    few of these instances pigeonhole-hard for every solver but CaDiCaL)."""
    s = backend()
    top = [nvars]

    def fresh():
        top[0] += 1
        return top[0]

    for c in hard:
        s.add(c)
    live = {}  # selector -> (clause with its relaxation variables, weight)
    for c, w in soft:
        a = fresh()
        s.add(c + [-a])
        live[a] = (c, w)
    cost, calls = 0, 0
    while True:
        calls += 1
        answer = s.solve(list(live), budget)
        if answer is None:
            s.close()
            return None, calls
        if answer:
            break
        core = s.core()
        if not core:
            raise ValueError("the hard clauses are unsatisfiable")
        wmin = min(live[a][1] for a in core)
        cost += wmin
        relax = []
        for a in core:
            c, w = live.pop(a)
            s.add([-a])  # the old copy leaves
            b = fresh()
            relax.append(b)
            a2 = fresh()
            s.add(c + [b, -a2])
            live[a2] = (c + [b], wmin)
            if w > wmin:
                a3 = fresh()
                s.add(c + [-a3])
                live[a3] = (c, w - wmin)
        s.add(relax)
        for i in range(len(relax)):
            for j in range(i + 1, len(relax)):
                s.add([-relax[i], -relax[j]])
    s.close()
    return cost, calls


def timed(fn, *args):
    t0 = time.perf_counter()
    out = fn(*args)
    return time.perf_counter() - t0, out


def race(label, work, reps):
    """Runs work(backend) for every backend, reps times in rotated order;
    returns {name: (median seconds, result)}."""
    times = {b.name: [] for b in BACKENDS}
    results = {}
    for r in range(reps):
        order = BACKENDS[r % len(BACKENDS):] + BACKENDS[:r % len(BACKENDS)]
        for b in order:
            t, out = timed(work, b)
            times[b.name].append(t)
            results[b.name] = out
    return {n: (statistics.median(ts), results[n]) for n, ts in times.items()}


def report(rows, what):
    names = [b.name for b in BACKENDS]
    print(f"\n{what}: geometric mean of time / quillon's over {len(rows)} instances")
    for n in names[1:]:
        ratio = math.exp(statistics.mean(math.log(r[n][0] / r["quillon"][0]) for r in rows))
        print(f"  {n:<12} {ratio:.2f}x")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--bench", default=DEFAULT_BENCH)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--max-clauses", type=int, default=5000)
    ap.add_argument("--max-seconds", type=float, default=0.1)
    ap.add_argument("--budget", type=int, default=100000, help="conflicts per MaxSAT call before giving up")
    ap.add_argument("--maxsat", type=int, default=12, help="generated MaxSAT instances (60 variables, 90 hard "
                    "3-clauses, 90 soft clauses of 1 or 2 literals weighing 1 to 9)")
    args = ap.parse_args()
    for b in BACKENDS:  # imports and first-use costs stay out of the times
        wpm1(b, *maxsat_instance(0, 10, 5, 10))
    names = [b.name for b in BACKENDS]
    print(f"{'MUS instance':<24} {'clauses':>7} " + " ".join(f"{n + ' s':>14}" for n in names) + "  mus  calls")
    rows = []
    for row in load_manifest(args.bench):
        if row["expected"] != "UNSAT" or int(row["clauses"]) > args.max_clauses or \
                float(row["minisat_seconds"]) > args.max_seconds:
            continue
        nvars, clauses = read_dimacs(os.path.join(args.bench, "cnf", row["file"]))
        res = race(row["file"], lambda b: mus(b, nvars, clauses), args.reps)
        for b in BACKENDS:
            check_mus(b, clauses, res[b.name][1][0])
        sizes = "/".join(str(len(res[n][1][0])) for n in names)
        calls = "/".join(str(res[n][1][1]) for n in names)
        print(f"{row['file']:<24} {len(clauses):>7} " + " ".join(f"{res[n][0]:>14.3f}" for n in names)
              + f"  {sizes}  {calls}", flush=True)
        rows.append(res)
    report(rows, "MUS extraction")
    print(f"\n{'MaxSAT instance':<24} " + " ".join(f"{n + ' s':>14}" for n in names) + "  cost  calls")
    mrows = []
    for seed in range(args.maxsat):
        inst = maxsat_instance(seed)
        res = race(seed, lambda b: wpm1(b, *inst, args.budget), args.reps)
        costs = {res[n][1][0] for n in names} - {None}
        assert len(costs) == 1, res
        calls = "/".join(str(res[n][1][1]) for n in names)
        gave_up = [n for n in names if res[n][1][0] is None]
        print(f"{'wpm1-' + str(seed):<24} " + " ".join(f"{res[n][0]:>14.3f}" for n in names)
              + f"  {costs.pop()}  {calls}" + (f"  (gave up: {', '.join(gave_up)})" if gave_up else ""), flush=True)
        if not gave_up:
            mrows.append(res)
    report(mrows, "core-guided MaxSAT (instances every backend finished)")


if __name__ == "__main__":
    main()
