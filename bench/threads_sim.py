#!/usr/bin/env python3
"""Replays multi-thread schedules offline from measure.py's runs.

Each thread runs a sequential portfolio (strategy.Plan, members searched in
turns of whole slices, as strategy.Portfolio runs them) on a core of its
own; the threads race and the first answer ends the run.  A thread's time
to answer is replayed from its members' measured traces as simulate.py
does (here members are told apart by position, so that one configuration
may appear twice with two slice sizes); the run's time is the least over
its threads.  Seconds are single-thread CPU seconds: what two threads on
two idle cores would take, start-up and memory contention aside.

  python bench/threads_sim.py RUNS.jsonl[,RUNS2.jsonl...] --manifest MANIFEST.tsv [--min-minisat 0.5]
      [--part shared] [--search] [-v]
"""
import argparse
import itertools
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))
sys.path.insert(0, HERE)

from simulate import load  # noqa: E402

from quillon_native_cli.strategy import Plan  # noqa: E402

# The first two thread plans of `solve --threads` (src/cli/plan.cpp's thread_plans).
THREAD_PLANS = [Plan(("default",), (1,), 1.0, 20000),
                Plan(("glucose-random", "glucose-random"), (1, 4), 2.0, 2000, head=20, units=(2000, 30000))]


def replay(plan, members, limit):
    """Seconds for `plan` to answer from the measured `members` ({(name, unit):
    simulate.Member}); None when it does not within `limit` or data runs out."""
    used = [0] * len(plan.members)
    started = [False] * len(plan.members)
    spent = 0.0
    for rnd in itertools.count(plan.first_round()):
        shares = plan.shares(rnd)
        for i in plan.order(rnd):
            share = shares[i]
            if not share:
                continue
            m = members.get((plan.members[i], plan.unit_of(i)))
            if m is None:
                return None
            if not started[i]:
                started[i] = True
                spent += m.setup
            s0, s1 = used[i], used[i] + share
            if m.answer_at is not None and m.answer_at <= s1:
                t = spent + m.time(m.answer_at) - m.time(s0)
                return t if t <= limit else None
            if m.answer_at is None and s1 > len(m.trace):
                return None
            spent += m.time(s1) - m.time(s0)
            used[i] = s1
            if spent > limit:
                return None


def race(plans, members, limit):
    times = [t for t in (replay(p, members, limit) for p in plans) if t is not None]
    return min(times) if times else None


def score(plans, runs, files, limit):
    """(PAR-2, geometric mean over solved, solved, {file: seconds})."""
    total, logs, solved, per = 0.0, 0.0, 0, {}
    for f in files:
        t = per[f] = race(plans, runs[f], limit)
        if t is None:
            total += 2 * limit
        else:
            total += t
            logs += math.log(max(t, 0.01))
            solved += 1
    return total, math.exp(logs / max(solved, 1)), solved, per


def second_threads():
    """Candidate plans for the thread beside the default."""
    pool = [("glucose-random", 2000), ("glucose-random", 30000), ("glucose", 30000), ("glucose", 2000),
            ("minisat", 2000), ("stable", 2000), ("no-walk", 2000), ("default", 2000)]
    for k in (1, 2, 3):
        for combo in itertools.permutations(pool, k):
            names = tuple(n for n, _ in combo)
            units = tuple(u for _, u in combo)
            for weights in itertools.product((1, 2, 4, 8), repeat=k):
                if k == 1 and weights[0] != 1 or weights[0] * units[0] > 30000 and weights[0] > 1:
                    continue
                for head in (0, 10, 20):
                    if head and units[0] != 2000:
                        continue
                    for growth in ((2.0,) if k > 1 else (1.0,)):
                        yield Plan(names, weights, growth, 2000, "", head, units)


def parse(text):
    """A plan from members:weights:growth:head:units."""
    members, weights, growth, head, units = text.split(":")
    return Plan(tuple(members.split(",")), tuple(int(w) for w in weights.split(",")), float(growth), 2000, "",
                int(head), tuple(int(u) for u in units.split(",")))


def main(argv):
    p = argparse.ArgumentParser()
    p.add_argument("runs")
    p.add_argument("--manifest", action="append", default=[])
    p.add_argument("--min-minisat", type=float, default=None)
    p.add_argument("--part", default=None)
    p.add_argument("--limit", type=float, default=60.0)
    p.add_argument("--search", action="store_true")
    p.add_argument("-v", "--verbose", action="store_true")
    p.add_argument("--plan", action="append", default=[],
                   help="thread 2 as members:weights:growth:head:units, e.g. glucose-random:1:1:0:30000")
    p.add_argument("--top", type=int, default=30)
    p.add_argument("--plan1", default=None, help="thread 1 instead of THREAD_PLANS' first, same format as --plan")
    args = p.parse_args(argv)
    runs, info = load(args.runs)
    keep = None
    if args.manifest:
        from measure import instances
        keep = {r["file"] for r in instances(args.manifest)
                if args.min_minisat is None or float(r.get("minisat_seconds") or 0) >= args.min_minisat}
    files = sorted(f for f in runs if (keep is None or f in keep) and ("default", 20000) in runs[f]
                   and (args.part is None or info[f]["part"] in args.part.split(",")))
    print(f"{len(files)} instances")
    base = list(THREAD_PLANS)
    for name, plans in (("default alone", base[:1]), ("threads 2", base)):
        tot, geo, solved, per = score(plans, runs, files, args.limit)
        print(f"  {name:<14} PAR-2 {tot:8.1f}  geomean {geo:6.3f}  solved {solved}")
        if args.verbose:
            for f in files:
                print(f"      {f[:36]:36} {per[f] if per[f] is not None else float('nan'):7.2f}")
    if args.plan1:
        base = [parse(args.plan1)] + base[1:]
    for text in args.plan:
        plan = parse(text)
        tot, geo, solved, per = score([base[0], plan], runs, files, args.limit)
        print(f"  {text:<60} PAR-2 {tot:8.1f}  geomean {geo:6.3f}  solved {solved}")
        if args.verbose:
            for f in files:
                print(f"      {f[:36]:36} {per[f] if per[f] is not None else float('nan'):7.2f}")
    if args.search:
        found = []
        for plan in second_threads():
            tot, geo, solved, _ = score([base[0], plan], runs, files, args.limit)
            found.append((tot, geo, solved, plan))
        found.sort(key=lambda x: (x[0], x[1]))
        for tot, geo, solved, plan in found[:args.top]:
            print(f"  PAR-2 {tot:8.1f} geomean {geo:6.3f} solved {solved}  {plan.members} {plan.weights} "
                  f"units {plan.units} x{plan.growth} head {plan.head}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
