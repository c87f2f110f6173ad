#!/usr/bin/env python3
"""Benchmarks of the quillon-native command as whole processes.

  python bench/cli_bench.py parse     parse+load share of the run (instances solved in >= 1 s)
  python bench/cli_bench.py minisat   solve -q vs minisat -verb=0 (and cadical), manifest minisat_seconds >= 0.5
  python bench/cli_bench.py check     check vs drat-trim (default and -f) on the solver's own proofs
  python bench/cli_bench.py rss       peak resident memory of solve -q vs minisat (>= 50,000 clauses)
  python bench/cli_bench.py proofrss  peak resident memory of solve --proof against the same run without
  python bench/cli_bench.py sigint    seconds from SIGINT to the end of the process
  python bench/cli_bench.py slice     cost of conflict slices against one exact call (in process)
  python bench/cli_bench.py startup F [--kissat K]  solve -q F: native front end, Python front end, Kissat

Times are CPU seconds (user + system) of the whole process tree, taken from
wait4 (our command forks its search child and waits for it), with the wall
time beside; each instance runs each program in turn, three rounds, and the
median is kept.  Run it with the Python that has the package installed (or
PYTHONPATH=build-dev:python), and a drat-trim binary as --drat-trim.
"""
import argparse
import csv
import math
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
BENCH = HERE.parent.parent / "shared" / "bench"  # beside the checkout, as for the other bench scripts
OURS = [sys.executable, "-m", "quillon_native_cli"]


def manifest(bench, only=None):
    """Manifest rows, those whose name contains one of the comma-separated `only` parts."""
    with open(bench / "MANIFEST.tsv") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    return [r for r in rows if not only or any(k in r["file"] for k in only.split(","))]


def run(cmd, timeout=None, stdout=subprocess.DEVNULL):
    """(cpu seconds, wall seconds, peak RSS KiB, exit code, output) of one process tree.
    A run past `timeout` is killed with its whole process group and counts
    as `timeout` CPU seconds (a lower bound), exit code None."""
    capture = stdout is subprocess.PIPE
    if capture:  # a file, not a pipe: a child with many `v` lines must not block on a full pipe
        stdout = tempfile.TemporaryFile()
    t = time.monotonic()
    p = subprocess.Popen(cmd, stdout=stdout, stderr=subprocess.DEVNULL, start_new_session=True)
    deadline = None if timeout is None else t + timeout
    killed = False
    while True:
        pid, status, ru = os.wait4(p.pid, os.WNOHANG)
        if pid:
            break
        if deadline and time.monotonic() > deadline and not killed:
            os.killpg(p.pid, signal.SIGKILL)
            killed = True
        time.sleep(0.002)
    wall = time.monotonic() - t
    out = ""
    if capture:
        stdout.seek(0)
        out = stdout.read().decode()
        stdout.close()
    if killed:
        return float(timeout), wall, ru.ru_maxrss, None, out
    return ru.ru_utime + ru.ru_stime, wall, ru.ru_maxrss, os.waitstatus_to_exitcode(status), out


def geomean(xs):
    return math.exp(sum(map(math.log, xs)) / len(xs)) if xs else float("nan")


def path_of(bench, row):
    return str(bench / "cnf" / row["file"])


def cmd_parse(args):
    print("instance                      read_s  total_s  share")
    shares = []
    for row in manifest(args.bench, args.k):
        _, _, _, rc, out = run(OURS + ["solve", path_of(args.bench, row)], args.timeout, subprocess.PIPE)
        got = dict(re.findall(r"^c (read|total) seconds\s+([\d.]+)$", out, re.M))
        if "total" not in got or float(got["total"]) < 1.0:
            continue
        share = float(got["read"]) / float(got["total"])
        shares.append(share)
        print(f"{row['file']:<28} {float(got['read']):7.3f} {float(got['total']):8.2f}  {100 * share:5.1f}%")
    print(f"largest share {100 * max(shares):.1f}% over {len(shares)} instances")


def cmd_minisat(args):
    rows = [r for r in manifest(args.bench, args.k) if float(r["minisat_seconds"]) >= 0.5]
    peers = {"ours": lambda f: OURS + ["solve", "-q", f], "minisat": lambda f: ["minisat", "-verb=0", f],
             "cadical": lambda f: ["cadical", "-q", f]}
    ratios = {"minisat": [], "cadical": []}
    print("instance                      ours_cpu  minisat   cadical   ours/minisat ours/cadical (median of 3, CPU s)")
    for row in rows:
        f = path_of(args.bench, row)
        if f.endswith(".xz"):
            continue
        times = {k: [] for k in peers}
        for _ in range(args.rounds):
            for name, make in peers.items():
                cpu, wall, _, rc, _ = run(make(f), args.timeout)
                if rc not in (10, 20):
                    print(f"  {name} on {row['file']}: {'timeout' if rc is None else f'exit {rc}'}")
                times[name].append(cpu)
        med = {k: statistics.median(v) for k, v in times.items()}
        for k in ratios:
            ratios[k].append(med["ours"] / med[k])
        print(f"{row['file']:<28} {med['ours']:8.2f} {med['minisat']:8.2f} {med['cadical']:8.2f}   "
              f"{med['ours'] / med['minisat']:10.2f} {med['ours'] / med['cadical']:10.2f}")
    print(f"geometric mean ours/minisat {geomean(ratios['minisat']):.2f}, ours/cadical {geomean(ratios['cadical']):.2f}")


def cmd_check(args):
    tmp = Path(tempfile.mkdtemp())
    rows = [r for r in manifest(args.bench, args.k) if r["expected"] == "UNSAT"]
    print("instance                      steps   ours_cpu  drat-trim  drat-trim-f  ours/dt  ours/dt-f  verdicts")
    ratios, ratios_f = [], []
    for row in rows:
        f = path_of(args.bench, row)
        proof = tmp / (row["file"] + ".drat")
        cpu, _, _, rc, _ = run(OURS + ["solve", "-q", "--proof", str(proof), f], args.timeout)
        if rc != 20:
            continue
        steps = sum(1 for _ in open(proof, "rb"))
        t_dt = [run([args.drat_trim, f, str(proof)], args.timeout, subprocess.PIPE) for _ in range(1)]
        if statistics.median(t[0] for t in t_dt) < 0.2:
            continue
        rounds = {"ours": [], "dt": [], "dtf": []}
        verdicts = set()
        for _ in range(3):
            for name, cmd in (("ours", OURS + ["check", f, str(proof)]), ("dt", [args.drat_trim, f, str(proof)]),
                              ("dtf", [args.drat_trim, f, str(proof), "-f"])):
                cpu, wall, _, rc, out = run(cmd, args.timeout, subprocess.PIPE)
                rounds[name].append(cpu)
                verdicts.add((name, "s VERIFIED" in out))
        med = {k: statistics.median(v) for k, v in rounds.items()}
        ratios.append(med["ours"] / med["dt"])
        ratios_f.append(med["ours"] / med["dtf"])
        agree = "agree" if len({v for _, v in verdicts}) == 1 else f"DIFFER {sorted(verdicts)}"
        print(f"{row['file']:<28} {steps:7d} {med['ours']:8.2f} {med['dt']:9.2f} {med['dtf']:11.2f}  "
              f"{ratios[-1]:7.2f} {ratios_f[-1]:9.2f}  {agree}")
        proof.unlink()
    print(f"geometric mean ours/drat-trim {geomean(ratios):.2f}, ours/drat-trim -f {geomean(ratios_f):.2f} "
          f"over {len(ratios)} proofs")


def peak_rss(cmd, timeout):
    """Peak resident KiB of `cmd` and the children it waits for, as /usr/bin/time
    sees it (wait4 from our own process would also count this interpreter's
    pages, copied into the forked child before its exec)."""
    with tempfile.NamedTemporaryFile("r") as out:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", out.name, *cmd], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout)
        return int(out.read().split()[-1])


def cmd_rss(args):
    rows = [r for r in manifest(args.bench, args.k) if int(r["clauses"]) >= 50000]
    print("instance                      clauses   ours_KiB  minisat_KiB  ratio")
    ratios = []
    for row in rows:
        f = path_of(args.bench, row)
        if f.endswith(".xz"):  # minisat reads plain or gzip only
            continue
        ours = peak_rss(OURS + ["solve", "-q", "--config", "default", f], args.timeout)
        mini = peak_rss(["minisat", "-verb=0", f], args.timeout)
        ratios.append(ours / mini)
        print(f"{row['file']:<28} {row['clauses']:>8} {ours:10d} {mini:12d}  {ours / mini:5.2f}")
    print(f"largest ratio {max(ratios):.2f}, geometric mean {geomean(ratios):.2f}")


def cmd_proofrss(args):
    names = args.k.split(",") if args.k else ["hole9.cnf", "qg3-09.cnf", "2bitadd_10.cnf",
                                               "manthey_DimacsSorter_28_3.cnf"]
    proof = Path(tempfile.mkdtemp()) / "proof.drat"
    print("instance                        config    no_proof_KiB  proof_KiB  ratio  proof_MB")
    ratios = []
    for name in names:
        f = str(args.bench / "cnf" / name)
        for config in (["--config", "default"], []):
            plain = peak_rss(OURS + ["solve", "-q", *config, f], args.timeout)
            with_proof = peak_rss(OURS + ["solve", "-q", *config, "--proof", str(proof), f], args.timeout)
            ratios.append(with_proof / plain)
            print(f"{name:<31} {config[-1] if config else '(none)':<9} {plain:12d} {with_proof:10d}  "
                  f"{ratios[-1]:5.2f}  {proof.stat().st_size / 1e6:8.1f}")
            proof.unlink()
    print(f"largest ratio {max(ratios):.2f}")


def cmd_sigint(args):
    f = str(args.bench / "cnf" / "2bitadd_10.cnf")
    waits = []
    for delay in (1.0, 2.0, 3.0):
        p = subprocess.Popen(OURS + ["solve", f], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        time.sleep(delay)
        t = time.monotonic()
        p.send_signal(signal.SIGINT)
        out = p.communicate()[0]
        waits.append(time.monotonic() - t)
        print(f"SIGINT after {delay:.0f} s: ended in {waits[-1] * 1000:.0f} ms, exit {p.returncode}, "
              f"last line {out.splitlines()[-1]!r}")
    print(f"median reaction {statistics.median(waits) * 1000:.0f} ms")


def cmd_slice(args):
    sys.path.insert(0, str(HERE))
    import quillon_native as qn
    from benchlib import read_dimacs_internal
    names = args.k.split(",") if args.k else ["uuf250-01.cnf", "uf250-011.cnf", "hole8.cnf", "qg3-09.cnf", "ii32d3.cnf",
                                               "hanoi5.cnf", "3bitadd_32.cnf", "bmc-ibm-13.cnf"]
    sizes = [0, 1000, 5000, 20000]
    print("instance              " + "".join(f"   slice={k:<6} conflicts cpu_s" for k in sizes))
    ratios = {k: [] for k in sizes[1:]}
    for name in names:
        nvars, clauses = read_dimacs_internal(args.bench / "cnf" / name)
        row = []
        for k in sizes:
            s = qn.Solver(nvars)
            for c in clauses:
                s.add_clause(c)
            t = time.process_time()
            if k == 0:
                r = s.solve()
            else:
                r = None
                while r is None:
                    r = s.solve(k)
            row.append((s.conflicts, time.process_time() - t))
        for k, (c, t) in zip(sizes[1:], row[1:]):
            ratios[k].append(t / max(row[0][1], 1e-3))
        print(f"{name:<22}" + "".join(f"   {c:>16} {t:6.2f}" for c, t in row))
    for k, v in ratios.items():
        print(f"slice {k}: time ratio to one call, geometric mean {geomean(v):.3f}")


def cmd_startup(args):
    """The whole run of `solve -q` on a small formula: the native front end
    (the command as built), the Python front end (python -m
    quillon_native_cli) and, given --kissat, Kissat; interleaved, median of
    --rounds.  CPU from wait4; the peak resident memory from a second run
    under GNU time (%M): a child spawned from this interpreter would count
    the interpreter's own pages."""
    from quillon_native_cli.native import front_program
    progs = {"native front end": [front_program(), "solve", "-q", args.formula],
             "python front end": OURS + ["solve", "-q", args.formula]}
    if args.kissat:
        progs["kissat"] = [args.kissat, "-q", args.formula]
    got = {name: [] for name in progs}
    for _ in range(args.rounds):
        for name, cmd in progs.items():
            cpu, _, _, code, _ = run(cmd)
            with tempfile.NamedTemporaryFile("r") as t:
                subprocess.run(["/usr/bin/time", "-o", t.name, "-f", "%M"] + cmd, stdout=subprocess.DEVNULL)
                rss = int(t.read().split()[-1])
            got[name].append((cpu, rss, code))
    for name, rows in got.items():
        print(f"{name:<18} CPU {1000 * statistics.median(r[0] for r in rows):6.1f} ms   peak RSS "
              f"{statistics.median(r[1] for r in rows) / 1024:5.1f} MB   exit {rows[0][2]}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("what", choices=["parse", "minisat", "check", "rss", "proofrss", "sigint", "slice", "startup"])
    ap.add_argument("formula", nargs="?", help="startup: the formula")
    ap.add_argument("--kissat", help="startup: a Kissat binary to compare with")
    ap.add_argument("--bench", type=Path, default=BENCH)
    ap.add_argument("--timeout", type=float, default=120.0)
    ap.add_argument("--rounds", type=int, default=3, help="rounds per instance (median kept; minisat)")
    ap.add_argument("--drat-trim", default="drat-trim")
    ap.add_argument("-k", help="only instances whose name contains this (slice: comma-separated names)")
    args = ap.parse_args()
    globals()["cmd_" + args.what](args)


if __name__ == "__main__":
    main()
