#!/usr/bin/env python3
"""Old commit against the current build, side by side on the shared set.

Builds the given older commit once into its own virtual environment (the
commit's tree is exported with `git archive` and pip-installed there; a
marker file remembers which commit the environment holds, so later runs
reuse it), then times the old and the new Solver in child processes, one
instance after another, old and new interleaved (the order alternates from
one round to the next), for several rounds.  Only solve() is timed, in
process CPU time; each child streams its formula into the solver so that
its peak resident memory (ru_maxrss) is mostly the solver's own.

The same options give the same search, so both sides must report the same
counters; any difference is flagged (and, with --proof, a digest of the
proof steps is compared too).  With identical conflict counts the ratio of
times is the ratio of time per conflict.

  python bench/compare_commits.py                          # 4cc1b4e vs build-dev
  python bench/compare_commits.py --only hole9 --only qg5-13 --rounds 3
  python bench/compare_commits.py --max-conflicts 20000 --proof --rounds 1   # trace guard
  python bench/compare_commits.py --peers                  # + Minisat22, Glucose4, Cadical153

The new side is the interpreter running this script with --new-path (default
the checkout's build-dev folder, when present) in front of its import path.
Peers come from python-sat in that same interpreter.
"""
import argparse
import hashlib
import json
import math
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from benchlib import DEFAULT_BENCH, load_manifest, open_text, stream_clauses  # noqa: E402

COUNTERS = ("conflicts", "decisions", "propagations", "restarts", "blocked_restarts", "learned", "learned_lits",
            "minimized_lits", "reductions", "deleted", "max_trail")
PEERS = ("Minisat22", "Glucose4", "Cadical153")
MARKER = "quillon-commit.txt"


# --------------------------------------------------------------------------
# Building the old commit.

def venv_python(venv):
    return os.path.join(venv, "bin", "python")


def ensure_old_venv(commit, venv, log=print):
    """Returns the interpreter of `venv`, building `commit` into it first
    unless the marker says it already holds that commit."""
    full = subprocess.run(["git", "-C", REPO, "rev-parse", commit + "^{commit}"], check=True,
                          capture_output=True, text=True).stdout.strip()
    marker = os.path.join(venv, MARKER)
    if os.path.exists(marker) and open(marker).read().strip() == full:
        return venv_python(venv)
    log(f"building {full[:10]} into {venv} (once)")
    if os.path.exists(venv):
        shutil.rmtree(venv)
    subprocess.run([sys.executable, "-m", "venv", venv], check=True)
    with tempfile.TemporaryDirectory(prefix="quillon-old-") as src:
        archive = subprocess.run(["git", "-C", REPO, "archive", full], check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
        env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2")
        subprocess.run(["nice", venv_python(venv), "-m", "pip", "install", "-q", src], check=True, env=env)
    with open(marker, "w") as f:
        f.write(full + "\n")
    return venv_python(venv)


# --------------------------------------------------------------------------
# Child process: one solve, one JSON line.


def header_vars(path):
    with open_text(path) as f:
        for line in f:
            if line.startswith("p"):
                return int(line.split()[2])
    return 0


def child(who, path, max_conflicts, proof):
    out = {}
    if who == "ours":
        import quillon_native as qn

        s = qn.Solver(header_vars(path))
        if proof:
            s.enable_proof()
        for c in stream_clauses(path):
            s.add_clause([2 * (abs(d) - 1) + (d < 0) for d in c])
        t0 = time.process_time()
        r = s.solve(max_conflicts=max_conflicts)
        out["cpu"] = time.process_time() - t0
        out["result"] = r
        for k in COUNTERS:
            out[k] = getattr(s, k)
        if proof:
            h = hashlib.sha256()
            for kind, lits in s.proof_steps():
                h.update((kind + " ".join(map(str, lits)) + "\n").encode())
            out["proof"] = h.hexdigest()[:16]
        if r is True:
            out["model"] = hashlib.sha256(bytes(s.model)).hexdigest()[:16]
    else:
        from pysat import solvers

        with getattr(solvers, who)() as s:
            for c in stream_clauses(path):
                s.add_clause(c)
            t0 = time.process_time()
            r = s.solve()
            out["cpu"] = time.process_time() - t0
            out["result"] = r
            st = s.accum_stats() or {}
            out["conflicts"] = st.get("conflicts")
            out["propagations"] = st.get("propagations")
    out["rss_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps(out))


def run_child(python, pythonpath, who, path, args):
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    else:
        env.pop("PYTHONPATH", None)
    cmd = [python, os.path.abspath(__file__), "--child", who, path]
    if args.max_conflicts is not None:
        cmd += ["--max-conflicts", str(args.max_conflicts)]
    if args.proof:
        cmd.append("--proof")
    p = subprocess.run(cmd, capture_output=True, text=True, env=env, cwd="/")
    if p.returncode != 0:
        raise RuntimeError(f"{who} on {path} failed:\n{p.stderr[-2000:]}")
    return json.loads(p.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------
# Driver.

def trace_key(x):
    return tuple(x.get(k) for k in COUNTERS + ("result", "proof", "model"))


def default_bench():
    """The shared set beside the checkout, or beside any folder above it
    (worktrees may sit deeper than the main checkout)."""
    d = REPO
    while True:
        cand = os.path.join(os.path.dirname(d), "shared", "bench")
        if os.path.exists(os.path.join(cand, "MANIFEST.tsv")):
            return cand
        if os.path.dirname(d) == d:
            return DEFAULT_BENCH
        d = os.path.dirname(d)


def gmean(xs):
    return math.exp(sum(math.log(x) for x in xs) / len(xs)) if xs else float("nan")


def select(args):
    rows = load_manifest(args.bench)
    for r in rows:
        r["path"] = os.path.join(args.bench, "cnf", r["file"])
        r["name"] = r["file"].split(".")[0] if not r["file"].startswith("bw_") else r["file"][: -len(".cnf")]
    if args.only:
        rows = [r for r in rows if r["name"] in args.only or r["file"] in args.only]
    if args.max_minisat is not None:
        rows = [r for r in rows if float(r["minisat_seconds"]) <= args.max_minisat]
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--old", default="4cc1b4e", help="commit to compare against (default 4cc1b4e)")
    ap.add_argument("--old-venv", default="/work/venv-old", help="virtual environment for the old commit")
    ap.add_argument("--old-path", default="",
                    help="a build folder to take the old side's module from instead of the old venv's install")
    ap.add_argument("--new-path", default=os.path.join(REPO, "build-dev"),
                    help="put in front of PYTHONPATH for the new side ('' for the interpreter's own install)")
    ap.add_argument("--bench", default=default_bench(), help="folder with MANIFEST.tsv and cnf/")
    ap.add_argument("--only", action="append", help="instance name or file (repeatable)")
    ap.add_argument("--max-minisat", type=float, help="skip instances whose manifest Minisat time exceeds this")
    ap.add_argument("--max-conflicts", type=int, help="conflict limit of each solve (same on both sides)")
    ap.add_argument("--rounds", type=int, default=3, help="timed runs per side (median reported, default 3)")
    ap.add_argument("--min-seconds", type=float, default=0.2,
                    help="instances whose old time is below this are left out of the mean (default 0.2)")
    ap.add_argument("--proof", action="store_true", help="log proofs and compare their digests")
    ap.add_argument("--peers", action="store_true", help="also time Minisat22, Glucose4, Cadical153 (python-sat)")
    ap.add_argument("--build-only", action="store_true", help="build the old environment and stop")
    ap.add_argument("--json", help="write the per-instance results here")
    ap.add_argument("--child", nargs=2, metavar=("WHO", "FILE"), help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child:
        child(args.child[0], args.child[1], args.max_conflicts, args.proof)
        return 0

    if args.peers and args.max_conflicts is not None:
        ap.error("--peers times whole solves; it does not go with --max-conflicts")
    old_py = ensure_old_venv(args.old, args.old_venv)
    if args.build_only:
        return 0
    new_path = args.new_path if args.new_path and os.path.isdir(args.new_path) else ""
    rows = select(args)
    # With a build folder, the new side runs under the old side's interpreter
    # too, so that both start from the same site-packages (and peak memory
    # compares like with like).
    sides = [("old", old_py, args.old_path, "ours"), ("new", old_py if new_path else sys.executable, new_path, "ours")]
    if args.peers:
        sides += [(p, sys.executable, "", p) for p in PEERS]

    runs = {r["name"]: {s[0]: [] for s in sides} for r in rows}
    for rnd in range(args.rounds):
        for r in rows:
            order = sides if rnd % 2 == 0 else [sides[1], sides[0]] + sides[2:]
            for label, py, pp, who in order:
                runs[r["name"]][label].append(run_child(py, pp, who, r["path"], args))
            print(f"round {rnd + 1}/{args.rounds} {r['name']}", file=sys.stderr, flush=True)

    bad = 0
    ratios, table = [], []
    print(f"\n{args.old_path or args.old} (old) vs {new_path or 'installed'} (new), CPU seconds of solve(), median of {args.rounds}")
    hdr = f"{'instance':24s} {'conflicts':>9s} {'old s':>8s} {'new s':>8s} {'new/old':>7s} " \
          f"{'old Mprop/s':>11s} {'new Mprop/s':>11s} {'old MiB':>8s} {'new MiB':>8s} {'rss n/o':>7s}"
    if args.peers:
        hdr += "".join(f" {'/' + p[:6]:>9s}" for p in PEERS)
    print(hdr)
    for r in rows:
        rr = runs[r["name"]]
        o, n = rr["old"], rr["new"]
        same = len({trace_key(x) for x in o + n}) == 1
        if not same:
            bad += 1
        to = statistics.median(x["cpu"] for x in o)
        tn = statistics.median(x["cpu"] for x in n)
        props = o[0]["propagations"]
        mo = statistics.median(x["rss_kib"] for x in o) / 1024
        mn = statistics.median(x["rss_kib"] for x in n) / 1024
        ratio = tn / to if to > 0 else float("nan")
        if to >= args.min_seconds and same:
            ratios.append(ratio)
        line = f"{r['name']:24s} {o[0]['conflicts']:9d} {to:8.3f} {tn:8.3f} {ratio:7.3f} " \
               f"{props / max(to, 1e-9) / 1e6:11.2f} {props / max(tn, 1e-9) / 1e6:11.2f} {mo:8.1f} {mn:8.1f} " \
               f"{mn / mo:7.3f}"
        row = dict(instance=r["name"], conflicts=o[0]["conflicts"], old=to, new=tn, ratio=ratio,
                   propagations=props, old_rss_mib=mo, new_rss_mib=mn, same_trace=same)
        if args.peers:
            for p in PEERS:
                tp = statistics.median(x["cpu"] for x in rr[p])
                row[p] = tp
                pp = rr[p][0].get("propagations")
                row[p + "_mprops"] = pp / max(tp, 1e-9) / 1e6 if pp else None
                line += f" {tn / max(tp, 1e-4):9.2f}"
        if not same:
            line += "  TRACE DIFFERS"
        print(line)
        table.append(row)
    print(f"\ngeometric mean new/old time per conflict over {len(ratios)} instances with old >= "
          f"{args.min_seconds} s: {gmean(ratios):.3f}")
    if args.peers:
        for p in PEERS:
            sel = [t for t in table if t["old"] >= args.min_seconds]
            g = gmean([max(t["new"], 1e-4) / max(t[p], 1e-4) for t in sel])
            print(f"geometric mean new/{p} time over the same instances: {g:.3f}")
    allp_new = sum(t["propagations"] for t in table) / max(sum(t["new"] for t in table), 1e-9)
    allp_old = sum(t["propagations"] for t in table) / max(sum(t["old"] for t in table), 1e-9)
    print(f"propagations per second over all: old {allp_old / 1e6:.2f} M, new {allp_new / 1e6:.2f} M")
    if bad:
        print(f"{bad} instance(s) with differing counters, results or proofs", file=sys.stderr)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(table, f, indent=1)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
