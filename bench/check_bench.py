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

With --command PATH (and --drat-trim, --cache) it times `quillon-native
check -q` as a whole process (CPU time and peak resident memory from wait4)
against drat-trim on the cached solver proofs and on cadical's text and
binary proofs of the same formulas, interleaved, median of --reps.

With --drat-trim the script instead compares, instance by instance, the
whole check_proof call (argument conversion included) against drat-trim on
the same formula and proof written as files (default backward mode and -f,
whole process; -f once per instance), and with --old against an older build (its proof-logging
solve and its check_proof, run in a child process).  Every time is the
median of --reps rounds of CPU time, the contenders interleaved within each
round.  The old build must return the same result tuple, and check_proof
must accept every proof that drat-trim -f accepts.

    PYTHONPATH=build-dev python3 bench/check_bench.py --drat-trim build-drat/drat-trim \\
        --old build-base [--old-python PY] [--min-drat 0.2] [--reps 3] [--cache DIR]
"""
import argparse
import csv
import gc
import json
import math
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import DEFAULT_BENCH, read_dimacs_internal as read_dimacs, steps_to_internal as to_internal  # noqa: E402


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


def gmean(xs):
    return math.exp(sum(math.log(max(x, 1e-9)) for x in xs) / len(xs)) if xs else float("nan")


def unsat_rows(bench, only):
    with open(bench / "MANIFEST.tsv") as f:
        return [r for r in csv.DictReader(f, delimiter="\t") if r["expected"] == "UNSAT" and only in r["file"]]


def cnf_path(bench, name):
    path = bench / "cnf" / name
    return path if path.exists() else path.with_name(path.name + ".xz")


# --------------------------------------------------------------------------
# Files for drat-trim and the old build: the formula and the proof in DIMACS.

def dimacs(lit):
    return -((lit >> 1) + 1) if lit & 1 else (lit >> 1) + 1


def write_cnf(path, nvars, clauses):
    with open(path, "w") as f:
        f.write(f"p cnf {nvars} {len(clauses)}\n")
        f.writelines(" ".join(map(str, map(dimacs, c))) + " 0\n" for c in clauses)


def write_proof(path, steps):
    with open(path, "w") as f:
        f.writelines(("d " if d else "") + " ".join(map(str, map(dimacs, c))) + " 0\n" for d, c in steps)


def read_proof(path):
    steps = []
    with open(path) as f:
        for line in f:
            toks = line.split()
            deletion = toks[0] == "d"
            lits = [int(t) for t in toks[deletion:-1]]
            steps.append((deletion, [2 * (abs(d) - 1) + (d < 0) for d in lits]))
    return steps


def child_cpu(cmd):
    """CPU time (user + system) of a child process, and its standard output."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime), out


def drat_trim(exe, cnf, proof, *flags):
    t, out = child_cpu([exe, str(cnf), str(proof), "-w", *flags])
    return t, any(line.strip() == "s VERIFIED" for line in out.splitlines())


# --------------------------------------------------------------------------
# The old build runs in a child process that answers one JSON line per
# request read from its standard input.

def serve():
    import quillon_native as qn
    gc.disable()
    loaded = {}
    for line in sys.stdin:
        req = json.loads(line)
        cnf = req["cnf"]
        if cnf not in loaded:
            loaded.clear()
            loaded[cnf] = read_dimacs(cnf)
        nvars, clauses = loaded[cnf]
        if req["op"] == "solve":
            s = qn.Solver(nvars)
            s.enable_proof()
            for c in clauses:
                if not s.add_clause(c):
                    break
            t, res = timed(s.solve)
            reply = {"time": t, "result": res}
        else:
            key = (cnf, req["proof"])
            if key not in loaded:
                loaded[key] = read_proof(req["proof"])
            t, v = timed(qn.check_proof, nvars, clauses, loaded[key])
            reply = {"time": t, "result": list(v)}
        print(json.dumps(reply), flush=True)


class Old:
    def __init__(self, python, path):
        env = dict(os.environ, PYTHONPATH=os.path.abspath(path))
        self.proc = subprocess.Popen([python, os.path.abspath(__file__), "--serve"], env=env, text=True,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def ask(self, **req):
        self.proc.stdin.write(json.dumps(req) + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def compare(args):
    import quillon_native as qn
    cache = Path(args.cache or tempfile.mkdtemp(prefix="check-bench-"))
    cache.mkdir(parents=True, exist_ok=True)
    old = Old(args.old_python, args.old) if args.old else None
    head = (f"{'instance':<22} {'steps':>8} {'drat s':>7} {'drat-f s':>8} {'old slv':>7} {'old chk':>7} "
            f"{'chk s':>7} {'/drat':>6} {'/oldslv':>7} {'speedup':>7}  verdict")
    print(head)
    print("-" * len(head))
    to_drat, to_solve, speedups, failures = [], [], [], 0
    for row in unsat_rows(args.bench, args.only):
        name = row["file"]
        nvars, clauses = read_dimacs(cnf_path(args.bench, name))
        cnf, proof = cache / (name + ".cnf"), cache / (name + ".drat")
        if not proof.exists():
            s = qn.Solver(nvars)
            s.enable_proof()
            for c in clauses:
                if not s.add_clause(c):
                    break
            if s.solve(seconds=args.budget) is not False:
                print(f"{name:<22} not refuted within {args.budget} s")
                continue
            write_cnf(cnf, nvars, clauses)
            write_proof(proof, to_internal(s.proof_steps()))
            del s
        steps = read_proof(proof)
        times = {k: [] for k in ("drat", "dratf", "oldsolve", "oldcheck", "check")}
        accepted = {}
        verdict = old_verdict = None
        for r in range(args.reps):
            t, accepted["drat"] = drat_trim(args.drat_trim, cnf, proof)
            times["drat"].append(t)
            if r == 0 and times["drat"][0] < args.min_drat:
                break
            if r == 0:  # reported, not a target: one run
                t, accepted["dratf"] = drat_trim(args.drat_trim, cnf, proof, "-f")
                times["dratf"].append(t)
            if old:
                reply = old.ask(op="check", cnf=str(cnf), proof=str(proof))
                times["oldcheck"].append(reply["time"])
                old_verdict = tuple(reply["result"])
                reply = old.ask(op="solve", cnf=str(cnf))
                times["oldsolve"].append(reply["time"])
            t, verdict = timed(qn.check_proof, nvars, clauses, steps)
            times["check"].append(t)
        if not times["check"]:
            print(f"{name:<22} {len(steps):8d} {times['drat'][0]:7.3f}  skipped (drat-trim under {args.min_drat} s)")
            continue
        med = {k: statistics.median(v) if v else float("nan") for k, v in times.items()}
        to_drat.append(med["check"] / med["drat"])
        notes = []
        if old:
            to_solve.append(med["check"] / med["oldsolve"])
            speedups.append(med["oldcheck"] / med["check"])
            if old_verdict != verdict:
                notes.append(f"DIFFERS from old {old_verdict}")
        if accepted["dratf"] and not verdict[0]:
            notes.append("REJECTED but drat-trim -f accepts")
        if not accepted["drat"] or not accepted["dratf"]:
            notes.append(f"drat-trim {accepted['drat']}, -f {accepted['dratf']}")
        failures += bool(notes)
        print(f"{name:<22} {len(steps):8d} {med['drat']:7.3f} {med['dratf']:8.3f} {med['oldsolve']:7.3f} "
              f"{med['oldcheck']:7.3f} {med['check']:7.3f} {med['check'] / med['drat']:6.3f} "
              f"{med['check'] / med['oldsolve']:7.3f} {med['oldcheck'] / med['check']:7.2f}  "
              f"{'ok' if verdict[0] else 'rejected'} {' '.join(notes)}", flush=True)
    if old:
        old.close()
    print(f"\n{len(to_drat)} instances, {failures} with problems; geometric mean check/drat-trim {gmean(to_drat):.3f}"
          + (f" (worst {max(to_drat):.3f})" if to_drat else "")
          + (f", check/old solve {gmean(to_solve):.3f} (worst {max(to_solve):.3f}), "
             f"speed-up over old check {gmean(speedups):.2f}" if to_solve else ""))
    return 1 if failures else 0


# --------------------------------------------------------------------------
# --command: `quillon-native check` as a whole process against drat-trim,
# on the solver's proofs (from --cache, as the --drat-trim mode writes them)
# and on cadical's text and binary proofs (written there on first use).

def child_usage(cmd, env=None):
    """CPU seconds (user + system) and peak resident KiB of one child process, and its output."""
    with tempfile.TemporaryFile() as out:
        p = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, env=env)
        _, status, ru = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        return ru.ru_utime + ru.ru_stime, ru.ru_maxrss, out.read().decode(errors="replace")


def proofs_of(cache, name, cadical):
    """(kind, proof file) pairs: the solver's, then cadical's text and binary ones."""
    cnf = cache / (name + ".cnf")
    found = [("ours", cache / (name + ".drat"))]
    for kind, flags in (("cad-text", ["--no-binary"]), ("cad-bin", [])):
        proof = cache / (name + "." + kind)
        if not proof.exists() and cadical:
            subprocess.run([cadical, "-q", *flags, str(cnf), str(proof)], stdout=subprocess.DEVNULL)
        if proof.exists():
            found.append((kind, proof))
    return found


def command(args):
    cache = Path(args.cache)
    env = dict(os.environ, PYTHONPATH=os.path.abspath(args.command))
    ours = [args.command_python, "-m", "quillon_native_cli", "check", "-q"]
    head = (f"{'instance':<22} {'proof':<9} {'drat s':>7} {'ours s':>7} {'/drat':>6} "
            f"{'drat MiB':>8} {'ours MiB':>8} {'/drat':>6}  verdict")
    print(head)
    print("-" * len(head))
    ratios, mems, failures = {}, {}, 0
    for row in unsat_rows(args.bench, args.only):
        name = row["file"]
        cnf = cache / (name + ".cnf")
        if not cnf.exists() or not (cache / (name + ".drat")).exists():
            continue
        for kind, proof in proofs_of(cache, name, args.cadical):
            t = {"drat": [], "ours": []}
            m = {"drat": 0, "ours": 0}
            verdicts = {}
            for r in range(args.reps):
                tt, mm, out = child_usage([args.drat_trim, str(cnf), str(proof), "-w"])
                t["drat"].append(tt)
                m["drat"] = max(m["drat"], mm)
                verdicts["drat"] = "s VERIFIED" in out
                if r == 0 and tt < args.min_drat:
                    break
                tt, mm, out = child_usage(ours + [str(cnf), str(proof)], env)
                t["ours"].append(tt)
                m["ours"] = max(m["ours"], mm)
                verdicts["ours"] = "s VERIFIED" in out
            if not t["ours"]:
                continue
            med = {k: statistics.median(v) for k, v in t.items()}
            ratio, mem = med["ours"] / med["drat"], m["ours"] / m["drat"]
            ratios.setdefault(kind, []).append(ratio)
            mems.setdefault(kind, []).append(mem)
            bad = verdicts["ours"] != verdicts["drat"]
            failures += bad
            print(f"{name:<22} {kind:<9} {med['drat']:7.3f} {med['ours']:7.3f} {ratio:6.3f} "
                  f"{m['drat'] / 1024:8.1f} {m['ours'] / 1024:8.1f} {mem:6.3f}  "
                  f"{'VERIFIED' if verdicts['ours'] else 'NOT VERIFIED'}{' DIFFERS from drat-trim' if bad else ''}",
                  flush=True)
    for kind in ratios:
        print(f"{kind}: {len(ratios[kind])} proofs, CPU time geometric mean {gmean(ratios[kind]):.3f} "
              f"(worst {max(ratios[kind]):.3f}), peak memory worst {max(mems[kind]):.3f} of drat-trim's")
    return 1 if failures else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--bench", type=Path, default=Path(DEFAULT_BENCH), help="bench folder (MANIFEST.tsv, cnf/)")
    ap.add_argument("--budget", type=float, default=30.0, help="skip instances whose solve takes longer (s)")
    ap.add_argument("-k", dest="only", default="", help="only instances whose file name contains this")
    ap.add_argument("--no-rat", action="store_true", help="check with check_rat=False")
    ap.add_argument("--drat-trim", help="drat-trim executable: compare against it (and --old)")
    ap.add_argument("--old", help="import path of an older build to compare with")
    ap.add_argument("--old-python", default=sys.executable, help="interpreter for the older build")
    ap.add_argument("--min-drat", type=float, default=0.2, help="skip instances drat-trim checks faster (s)")
    ap.add_argument("--reps", type=int, default=3, help="rounds per instance (median)")
    ap.add_argument("--cache", help="folder for the formula and proof files (kept between runs)")
    ap.add_argument("--command", metavar="PATH", help="import path of an installed quillon_native_cli (with "
                    "_scan) and quillon_native: time `quillon-native check` against --drat-trim on the --cache proofs")
    ap.add_argument("--command-python", default=sys.executable, help="interpreter for --command")
    ap.add_argument("--cadical", default="cadical", help="cadical, for --command's other proofs ('' for none)")
    ap.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        return serve()
    gc.disable()
    if args.command:
        return command(args)
    if args.drat_trim:
        return compare(args)
    import quillon_native as qn

    rows = unsat_rows(args.bench, args.only)
    head = f"{'instance':<22} {'solve s':>8} {'steps':>9} {'transl s':>8} {'conv s':>7} {'check s':>8} " \
           f"{'chk/slv':>7} {'conv/chk':>8} {'lemmas/s':>10}  verdict"
    print(head)
    print("-" * len(head))
    ratios, conv_ratios, failures = [], [], 0
    for row in rows:
        path = cnf_path(args.bench, row["file"])
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
        gm = gmean(ratios)
        print(f"\n{len(ratios)} proofs checked, {failures} failures; geometric mean check/solve {gm:.3f}, "
              f"worst {max(ratios):.3f}; worst conversion/check {max(conv_ratios):.3f}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
