#!/usr/bin/env python3
"""Measures every named configuration on every instance, in slices, for the
strategy's schedule to be designed offline.

One run = one instance, one configuration, with or without preprocessing,
searched in slices of SLICE conflicts (Solver.solve(SLICE) again and again,
as a sequential portfolio calls its members), in a forked child so that a
run's memory goes with it.  A run records its answer and, after every slice,
the conflicts and the CPU seconds of the search so far: a schedule that
gives a member whole slices can then be replayed exactly (the member's
search depends only on its own slice sizes), with its time read off the
trace.  Beside the trace, `learned` gives the clauses learned and their
literals after every slice, for progress measures to be replayed too
(auto's own `focused` is measured as the options that make it).  Runs stop
at --conflicts or --cpu seconds.

Results go to a JSON-lines file, one run a line; running again skips what is
there, so an interrupted measurement resumes.

  nice python bench/measure.py -o /tmp/strategy-runs.jsonl MANIFEST.tsv ...
      [--configs default,glucose] [--prep 0,1] [--slice 2000] [--jobs 2]
"""
import argparse
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

from benchlib import read_dimacs_internal  # noqa: E402


# auto's own configurations (src/cli/plan.cpp, kVariants), as the options
# that make them of a named configuration.
VARIANTS = {
    "focused": dict(var_decay=0.5, var_decay_max=0.5, luby_base=20.0, target_phase=False, walk_patience=0),
}


def instances(manifests):
    out = []
    for path in manifests:
        folder = os.path.dirname(os.path.abspath(path))
        with open(path) as f:
            header = f.readline().rstrip("\n").split("\t")
            for line in f:
                row = dict(zip(header, line.rstrip("\n").split("\t")))
                row["path"] = os.path.join(folder, "cnf", row["file"])
                row.setdefault("part", "shared")
                out.append(row)
    return out


def search(row, config, prep, slice_, max_conflicts, max_cpu):
    """One run in this process: the record described in the module text."""
    import quillon_native as qn
    from quillon_native_cli.configs import CONFIGS
    t0 = time.process_time()
    nvars, clauses = read_dimacs_internal(row["path"])
    rec = dict(load=time.process_time() - t0)
    t0 = time.process_time()
    ok = True
    if prep:
        pre = qn.Preprocessor(nvars)
        for c in clauses:
            pre.add_clause(c)
        ok = pre.run(3)
        clauses, nvars = (pre.reduced() if ok else []), pre.nvars
        rec["prep"] = time.process_time() - t0
        rec["prep_clauses"] = len(clauses)
    solver = qn.Solver(nvars, **(VARIANTS[config] if config in VARIANTS else CONFIGS[config]))
    for c in clauses:
        solver.add_clause(c)
    rec["setup"] = time.process_time() - t0
    trace, learned, answer = [], [], None if ok else False
    start = time.process_time()
    while answer is None and solver.conflicts < max_conflicts:
        answer = solver.solve(slice_, max(0.01, max_cpu - (time.process_time() - start)))
        trace.append((solver.conflicts, round(time.process_time() - start, 4)))
        learned.append((solver.learned, solver.learned_lits))
        if time.process_time() - start >= max_cpu:
            break
    rec.update(answer=answer, conflicts=solver.conflicts, trace=trace, learned=learned,
               cpu=round(time.process_time() - start, 4))
    return rec


def run_child(row, config, prep, args):
    rfd, wfd = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(rfd)
        try:
            rec = search(row, config, prep, args.slice, args.conflicts, args.cpu)
        except BaseException as e:
            rec = dict(error=f"{type(e).__name__}: {e}")
        with os.fdopen(wfd, "w") as f:
            json.dump(rec, f)
        os._exit(0)
    os.close(wfd)
    with os.fdopen(rfd) as f:
        text = f.read()
    _, _, usage = os.wait4(pid, 0)
    rec = json.loads(text) if text else dict(error="child died")
    rec["maxrss_kb"] = usage.ru_maxrss
    return rec


def main(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("manifests", nargs="+")
    p.add_argument("-o", "--out", required=True)
    p.add_argument("--configs", default=None, help="comma-separated names (default: all)")
    p.add_argument("--prep", default="0", help="comma-separated 0/1 (default: 0)")
    p.add_argument("--slice", type=int, default=2000)
    p.add_argument("--conflicts", type=int, default=500000)
    p.add_argument("--cpu", type=float, default=8.0)
    p.add_argument("--jobs", type=int, default=1)
    p.add_argument("--only", default=None, help="only instances whose file name contains this")
    p.add_argument("--skip", default=None, help="a JSON object {file: true} of instances to leave out "
                   "(simulate.py's cache of those that auto gives to one configuration)")
    args = p.parse_args(argv)
    from quillon_native_cli.configs import CONFIGS
    configs = args.configs.split(",") if args.configs else list(CONFIGS)
    preps = [int(x) for x in args.prep.split(",")]
    done = set()
    if os.path.exists(args.out):
        with open(args.out) as f:
            for line in f:
                r = json.loads(line)
                done.add((r["file"], r["config"], r["prep"], r["slice"]))
    skip = json.load(open(args.skip)) if args.skip else {}
    rows = [r for r in instances(args.manifests) if (not args.only or args.only in r["file"])
            and not skip.get(r["file"])]
    todo = [(r, c, pr) for pr in preps for c in configs for r in rows
            if (r["file"], c, pr, args.slice) not in done]
    print(f"{len(todo)} runs to do", file=sys.stderr)

    def one(item):
        row, config, prep = item
        rec = run_child(row, config, prep, args)
        rec.update(file=row["file"], family=row["family"], part=row["part"], expected=row["expected"],
                   config=config, prep=prep, slice=args.slice, cap=[args.conflicts, args.cpu])
        return rec

    import concurrent.futures
    with open(args.out, "a") as out, concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for i, rec in enumerate(pool.map(one, todo)):
            out.write(json.dumps(rec) + "\n")
            out.flush()
            if rec.get("answer") is not None and rec["expected"] and rec["answer"] != (rec["expected"] == "SAT"):
                print(f"WRONG ANSWER {rec['file']} {rec['config']}", file=sys.stderr)
            print(f"[{i + 1}/{len(todo)}] {rec['file']} {rec['config']} prep={rec['prep']}: {rec.get('answer')} "
                  f"{rec.get('conflicts')} conflicts {rec.get('cpu')} s", file=sys.stderr, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
