#!/usr/bin/env python3
"""Replays sequential-portfolio schedules offline from measure.py's runs.

A member of a schedule is searched in whole slices, and its search depends
only on its own slice sizes, so a schedule's outcome on an instance follows
from each member's measured run: after s slices a member has spent the CPU
seconds its trace shows at slice s, and it answers at the slice where its
run answered.  The schedule's time is the sum of the members' times (plus
their set-up) when the first one answers.  Members whose measured run was cut
off before the schedule is decided make the replay unknown (counted as a
time-out).

  python bench/simulate.py RUNS.jsonl [--part tune] [--search]
"""
import argparse
import itertools
import json
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))


def load(path, slice_=2000, prep=0):
    """{file: {config: Member}} and {file: row fields} for runs of one slice size."""
    runs, info = {}, {}
    with open(path) as f:
        for line in f:
            r = json.loads(line)
            if r["slice"] != slice_ or r["prep"] != prep or "error" in r:
                continue
            runs.setdefault(r["file"], {})[r["config"]] = Member(r)
            info[r["file"]] = dict(family=r["family"], part=r["part"], expected=r["expected"])
    return runs, info


class Member:
    """A measured run seen as slices: time after s slices, the slice that answers."""

    def __init__(self, run):
        self.trace = [t for _, t in run["trace"]]
        self.answer_at = len(self.trace) if run["answer"] is not None else None
        self.setup = run.get("setup", 0.0)
        self.conflicts = [c for c, _ in run["trace"]]

    def time(self, s):
        return 0.0 if s == 0 else self.trace[min(s, len(self.trace)) - 1]


def luby(i):
    size, seq = 1, 0
    while size < i + 1:
        seq += 1
        size = 2 * size + 1
    while size - 1 != i:
        size = (size - 1) >> 1
        seq -= 1
        i %= size
    return 1 << seq


def budgets(schedule, rnd):
    """Slices each member gets in round `rnd`."""
    growth = schedule.get("growth", 2.0)
    factor = luby(rnd) if growth == "luby" else growth ** rnd
    return [max(1, int(w * factor)) for w in schedule["weights"]]


def replay(schedule, members, limit=60.0):
    """(seconds, winner) of `schedule` over the measured `members` ({name: Member});
    (None, None) when no member answers within `limit` or the data runs out."""
    names = schedule["members"]
    used = {n: 0 for n in names}
    started = set()
    spent = 0.0
    for rnd in itertools.count():
        for name, b in zip(names, budgets(schedule, rnd)):
            m = members.get(name)
            if m is None:
                return None, None
            if name not in started:
                started.add(name)
                spent += m.setup
            s0 = used[name]
            s1 = s0 + b
            if m.answer_at is not None and m.answer_at <= s1:
                return spent + m.time(m.answer_at) - m.time(s0), name
            if m.answer_at is None and s1 > len(m.trace):
                return None, None  # measured run cut off: unknown
            spent += m.time(s1) - m.time(s0)
            used[name] = s1
            if spent > limit:
                return None, None


def score(schedule, runs, files, limit=60.0):
    """(PAR-2 total, geometric mean over solved, solved count, per-file seconds)."""
    total, logs, solved, per = 0.0, 0.0, 0, {}
    for f in files:
        t, _ = replay(schedule, runs[f], limit)
        per[f] = t
        if t is None or t > limit:
            total += 2 * limit
        else:
            total += t
            logs += math.log(max(t, 0.01))
            solved += 1
    return total, math.exp(logs / max(solved, 1)), solved, per


def single(name, runs, files, limit=60.0):
    return score({"members": [name], "weights": [1 << 20]}, runs, files, limit)


def search_schedules(runs, files, names, limit):
    best = []
    for k in (1, 2, 3, 4):
        for combo in itertools.combinations(names, k):
            for order in ([list(combo)] if k == 1 else [list(combo), [combo[-1]] + list(combo[:-1])]):
                for weights in itertools.product((1, 2, 4), repeat=k):
                    if k > 1 and weights[0] == 1 and all(w == 1 for w in weights):
                        pass
                    for growth in (1.5, 2.0, "luby"):
                        sch = dict(members=order, weights=list(weights), growth=growth)
                        tot, geo, solved, _ = score(sch, runs, files, limit)
                        best.append((tot, geo, solved, sch))
    best.sort(key=lambda x: x[0])
    return best


def main(argv):
    p = argparse.ArgumentParser()
    p.add_argument("runs")
    p.add_argument("--part", default=None, help="tune, heldout or shared (default: all)")
    p.add_argument("--family", default=None)
    p.add_argument("--limit", type=float, default=60.0)
    p.add_argument("--search", action="store_true")
    args = p.parse_args(argv)
    runs, info = load(args.runs)
    from quillon_native_cli.configs import CONFIGS
    names = [n for n in CONFIGS]
    files = sorted(f for f in runs if len(runs[f]) == len(names)
                   and (args.part is None or info[f]["part"] in args.part.split(","))
                   and (args.family is None or info[f]["family"] == args.family))
    print(f"{len(files)} instances with every configuration measured")
    for n in names:
        tot, geo, solved, _ = single(n, runs, files, args.limit)
        print(f"  {n:<16} PAR-2 {tot:8.1f}  geomean {geo:7.3f}  solved {solved}")
    vbs = sum(min((m.time(m.answer_at) for m in runs[f].values() if m.answer_at is not None),
                  default=2 * args.limit) for f in files)
    print(f"  {'best of all':<16} PAR-2 {vbs:8.1f}")
    if args.search:
        for tot, geo, solved, sch in search_schedules(runs, files, names, args.limit)[:25]:
            print(f"  PAR-2 {tot:8.1f} geomean {geo:6.3f} solved {solved}  {sch}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
