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
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from quillon_native_cli.strategy import Plan, config_of  # noqa: E402


def load(paths, prep=0):
    """{file: {(config, slice): Member}} and {file: row fields} (from
    comma-separated files; a later run of the same pair replaces an earlier)."""
    runs, info = {}, {}
    for path in paths.split(","):
        if not os.path.exists(path):
            continue
        for line in open(path):
            r = json.loads(line)
            if r["prep"] != prep or "error" in r:
                continue
            runs.setdefault(r["file"], {})[(r["config"], r["slice"])] = Member(r)
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


def replay(plan, members, limit=60.0):
    """(seconds, winner) of `plan` (strategy.Plan) over the measured `members`
    ({name: Member}), turn by turn as strategy.Portfolio runs it; (None, None)
    when no member answers within `limit` or the measured data runs out."""
    used = [0] * len(plan.members)  # by index: a configuration may be two members (other slices)
    started = set()
    spent = 0.0
    for rnd in itertools.count(plan.first_round()):
        shares = plan.shares(rnd)
        for i in plan.order(rnd):
            name, b = plan.members[i], shares[i]
            if not b:
                continue
            m = members.get((config_of(name), plan.unit_of(i)))
            if m is None:
                return None, None
            if i not in started:
                started.add(i)
                spent += m.setup
            s0 = used[i]
            s1 = s0 + b
            if m.answer_at is not None and m.answer_at <= s1:
                return spent + m.time(m.answer_at) - m.time(s0), name
            if m.answer_at is None and s1 > len(m.trace):
                return None, None  # measured run cut off: unknown
            spent += m.time(s1) - m.time(s0)
            used[i] = s1
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
    return score(Plan((name,), (1 << 20,), 1.0, 2000), runs, files, limit)


def candidates(names):
    """Plans over 2 to 4 members with the default first (it keeps the random families' lead)."""
    others = [n for n in names if n != "default"]
    for k in (1, 2, 3):
        for combo in itertools.permutations(others, k):
            members = ("default",) + combo
            for weights in itertools.product((1, 2, 3), repeat=k + 1):
                if weights[0] != 1 and weights[0] != max(weights):
                    continue
                for growth in (1.5, 2.0):
                    for head in (0, 2, 5):
                        yield Plan(members, weights, growth, 2000, head=head)


def search_schedules(runs, files, names, limit):
    best = []
    for plan in candidates(names):
        tot, geo, solved, _ = score(plan, runs, files, limit)
        best.append((tot, geo, solved, plan))
    best.sort(key=lambda x: (x[0], x[1]))
    return best


def lone_default(manifests):
    """Files whose features give them to the default configuration alone (cached beside the runs)."""
    from benchlib import read_dimacs_internal
    from measure import instances
    from quillon_native_cli import native, strategy
    cache = "/tmp/strategy-features.json"
    known = json.load(open(cache)) if os.path.exists(cache) else {}
    for row in instances(manifests):
        if row["file"] not in known:
            nvars, clauses = read_dimacs_internal(row["path"])
            formula = native.Formula(nvars)
            for c in clauses:
                formula.add_clause(c)
            known[row["file"]] = len(strategy.plan(formula).members) == 1
    json.dump(known, open(cache, "w"))
    return {f for f, alone in known.items() if alone}


def parse_plan(text):
    """A plan given on the command line (see --plan)."""
    members, weights, growth, head, *units = text.split(":")
    return Plan(tuple(members.split(",")), tuple(int(w) for w in weights.split(",")), float(growth), 2000,
                head=int(head), units=tuple(int(u) for u in units[0].split(",")) if units else ())


def by_family(runs, info, files, names, limit, plans):
    """Per family: each configuration's PAR-2 mean and solved count alone,
    then each plan's, and the best configuration."""
    families = sorted({info[f]["family"] for f in files})
    cols = list(names) + [f"plan{i + 1}" for i in range(len(plans))]
    print(f"{'family':14} {'n':>3} " + " ".join(f"{c[:10]:>12}" for c in cols) + "  best")
    for fam in families + ["all"]:
        fs = [f for f in files if fam == "all" or info[f]["family"] == fam]
        cells, best = [], None
        for c in cols:
            plan = plans[int(c[4:]) - 1] if c.startswith("plan") and c not in names else None
            tot, _, solved, _ = score(plan, runs, fs, limit) if plan else single(c, runs, fs, limit)
            cells.append(f"{tot / len(fs):7.2f} {solved:>2}/{len(fs)}")
            if not plan and (best is None or (-solved, tot) < best[0]):
                best = ((-solved, tot), c)
        print(f"{fam[:14]:14} {len(fs):>3} " + " ".join(f"{x:>12}" for x in cells) + f"  {best[1]}")
    for i, text in enumerate(plans):
        print(f"  plan{i + 1}: {text.schedule() if len(text.members) > 1 else text.members}")


def main(argv):
    p = argparse.ArgumentParser()
    p.add_argument("runs")
    p.add_argument("--part", default=None, help="tune, heldout or shared (default: all)")
    p.add_argument("--family", default=None)
    p.add_argument("--limit", type=float, default=60.0)
    p.add_argument("--search", action="store_true")
    p.add_argument("-v", "--verbose", action="store_true")
    p.add_argument("--plan", action="append", default=[],
                   help="members:weights:growth:head[:units], e.g. default,minisat:1,2:2.0:5:20000,2000; "
                   "per-instance table with -v (auto's own plans: strategy.plan of a formula)")
    p.add_argument("--configs", default=None, help="comma-separated names (default: all named)")
    p.add_argument("--by-family", action="store_true", help="a table of configurations (and --plan) per family")
    p.add_argument("--manifests", default="", help="comma-separated manifests: with them, instances that the "
                   "features give to the default configuration alone are left out")
    args = p.parse_args(argv)
    runs, info = load(args.runs)
    from quillon_native_cli.configs import CONFIGS
    names = args.configs.split(",") if args.configs else list(CONFIGS)
    alone = lone_default(args.manifests.split(",")) if args.manifests else set()
    files = sorted(f for f in runs if all((n, 2000) in runs[f] for n in names) and f not in alone
                   and (args.part is None or info[f]["part"] in args.part.split(","))
                   and (args.family is None or info[f]["family"] == args.family))
    print(f"{len(files)} instances with every configuration measured")
    if args.by_family:
        by_family(runs, info, files, names, args.limit, [parse_plan(t) for t in args.plan])
        return 0
    for n in names:
        tot, geo, solved, _ = single(n, runs, files, args.limit)
        print(f"  {n:<16} PAR-2 {tot:8.1f}  geomean {geo:7.3f}  solved {solved}")
    vbs = sum(min((m.time(m.answer_at) for (n, _), m in runs[f].items() if m.answer_at is not None and n in names),
                  default=2 * args.limit) for f in files)
    print(f"  {'best of all':<16} PAR-2 {vbs:8.1f}")
    for text in args.plan:
        plan = parse_plan(text)
        tot, geo, solved, per = score(plan, runs, files, args.limit)
        print(f"  {text:<40} PAR-2 {tot:8.1f}  geomean {geo:7.3f}  solved {solved}")
        if args.verbose:
            for f in files:
                ms = {n: runs[f][(n, 2000)] for n in names}
                alone = {n: m.time(m.answer_at) if m.answer_at else None for n, m in ms.items()}
                shown = " ".join(f"{n[:8]}={v:.2f}" if v is not None else f"{n[:8]}=-" for n, v in alone.items())
                print(f"    {f[:32]:32} {per[f] if per[f] is not None else float('nan'):7.2f}   {shown}")
    if args.search:
        for tot, geo, solved, plan in search_schedules(runs, files, names, args.limit)[:25]:
            print(f"  PAR-2 {tot:8.1f} geomean {geo:6.3f} solved {solved}  {plan.members} {plan.weights} "
                  f"x{plan.growth} head {plan.head}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
