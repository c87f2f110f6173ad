#!/usr/bin/env python3
"""Whole processes of `solve --threads N` against peers on a busy machine.

A run's wall time measures the neighbours as much as the run, so a threads
run is scored by its two-core estimate: the CPU seconds of the process,
less those of its search threads, plus those of the thread that answered
(`c thread ... CPU seconds by thread` line).  The winning thread searches
the same way on any machine, so on idle cores the run would end no later
than that (memory contention between threads aside).  Peers are scored by
CPU seconds as strategy_eval.py does.  Solvers interleave instance by
instance; rounds append to a JSON-lines file and a second call resumes.

  nice python bench/threads_eval.py -o /tmp/threads-eval.jsonl --rounds 3 --min-minisat 0.5 MANIFEST.tsv
"""
import argparse
import json
import os
import re
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from measure import instances  # noqa: E402
from strategy_eval import SOLVERS, answer_of, run_one  # noqa: E402

THREADS = re.compile(r"^c thread (\d+) \(.*\) answered first; CPU seconds by thread: ([\d., ]+);", re.M)


def measure(name, path, limit):
    threads = int(name[len("threads"):]) if name.startswith("threads") else 0
    cmd = SOLVERS["default"][:4] + ["--threads", str(threads)] if threads else SOLVERS[name]
    out, code, wall, cpu, rss = run_one(cmd, path, limit * max(threads, 1))
    rec = dict(answer=answer_of(out), code=code, cpu=round(cpu, 3), wall=round(wall, 3), maxrss_kb=rss)
    rec["seconds"] = rec["cpu"]
    m = THREADS.search(out)
    if m:
        per = [float(x) for x in m.group(2).split(",")]
        rec.update(winner_thread=int(m.group(1)), thread_cpu=per,
                   seconds=round(cpu - sum(per) + per[int(m.group(1)) - 1], 3))
    return rec


def main(argv):
    p = argparse.ArgumentParser()
    p.add_argument("manifests", nargs="+")
    p.add_argument("-o", "--out", required=True)
    p.add_argument("--solvers", default="threads2,kissat")
    p.add_argument("--limit", type=float, default=60.0)
    p.add_argument("--rounds", type=int, default=1)
    p.add_argument("--min-minisat", type=float, default=None)
    p.add_argument("--part", default=None, help="comma-separated manifest parts only")
    args = p.parse_args(argv)
    solvers = args.solvers.split(",")
    rows = [r for r in instances(args.manifests) if (args.part is None or r["part"] in args.part.split(","))
            and (args.min_minisat is None or float(r.get("minisat_seconds") or 0) >= args.min_minisat)]
    done = {}
    if os.path.exists(args.out):
        for line in open(args.out):
            r = json.loads(line)
            done.setdefault((r["file"], r["solver"]), []).append(r)
    with open(args.out, "a") as out:
        for rnd in range(args.rounds):
            for row in rows:
                for s in solvers:
                    if len(done.get((row["file"], s), [])) > rnd:
                        continue
                    rec = measure(s, row["path"], args.limit)
                    rec.update(file=row["file"], family=row["family"], expected=row["expected"], solver=s, round=rnd)
                    done.setdefault((row["file"], s), []).append(rec)
                    out.write(json.dumps(rec) + "\n")
                    out.flush()
                    print(f"[{rnd}] {row['file']} {s}: {rec['answer']} {rec['seconds']} s (wall {rec['wall']})",
                          file=sys.stderr)
    report(rows, solvers, done, args.limit)
    return 0


def score(recs, limit, key="seconds"):
    vals = [r[key] if r["answer"] is not None and r["answer"] == (r["expected"] or r["answer"]) and r[key] <= limit
            else 2 * limit for r in recs]
    return statistics.median(vals) if vals else None


def report(rows, solvers, done, limit):
    print(f"{'instance':34}" + "".join(f"{s:>10}{'wall':>8}" for s in solvers) + "  winners")
    total = {s: [0.0, 0.0] for s in solvers}
    for row in rows:
        line = f"{row['file'][:34]:34}"
        wins = ""
        for s in solvers:
            recs = done.get((row["file"], s), [])
            t, w = score(recs, limit), score(recs, limit, "wall")
            if t is None:
                line += f"{'-':>10}{'-':>8}"
                continue
            total[s][0] += t
            total[s][1] += w
            line += f"{t:>10.2f}{w:>8.2f}"
            wins += "".join(str(r.get("winner_thread", "")) for r in recs)
        print(line + "  " + wins)
    print(f"{'PAR-2':34}" + "".join(f"{total[s][0]:>10.1f}{total[s][1]:>8.1f}" for s in solvers))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
