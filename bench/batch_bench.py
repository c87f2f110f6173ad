"""Wall-clock benchmarks of `quillon-native batch` and `race`, as whole processes.

    python bench/batch_bench.py batch [--manifest M] [--max-minisat S] [--seconds 60]
    python bench/batch_bench.py race  [--manifest M] [--min-minisat S] [--max-minisat S] [--min-seconds 1] [--repeat 3]
    python bench/batch_bench.py small --kissat K [--count 1000] [--repeat 3]

batch: the manifest's instances (optionally only those whose minisat_seconds
is at most --max-minisat) with --jobs 1, --jobs 2 and --local-cluster 2;
prints each run's wall time and wrong answers, and the ratios jobs2/jobs1 and
cluster/jobs2.

race: a LocalCluster of two single-thread workers is started first; then, on
every instance whose `solve --config default` takes at least --min-seconds,
`solve` with each of the first two configurations alone and `race --workers 2`
on the running cluster, interleaved, median of --repeat; prints race over the
faster solo run per instance and their geometric mean.

small: --count uniform random 3-SAT formulas of 50 variables and 213
clauses (ratio 4.26, about half satisfiable; seed 2026), solved by
`quillon-native batch --jobs 2` (the command as built, which runs its native
front end per instance) and by Kissat two at a time from `xargs -P 2`,
interleaved, --repeat rounds; prints each wall time and the median ratio.
"""
import argparse
import csv
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time

CLI = [sys.executable, "-m", "quillon_native_cli"]


def timed(cmd):
    start = time.monotonic()
    proc = subprocess.run(cmd, capture_output=True, text=True)
    return time.monotonic() - start, proc


def manifest_rows(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def instance_path(manifest, name):
    folder = os.path.dirname(os.path.abspath(manifest))
    direct = os.path.join(folder, name)
    return direct if os.path.exists(direct) else os.path.join(folder, "cnf", name)


def bench_batch(a, work):
    rows = [r for r in manifest_rows(a.manifest)
            if a.max_minisat is None or float(r["minisat_seconds"]) <= a.max_minisat]
    subset = os.path.join(work, "subset.tsv")
    with open(subset, "w") as f:
        f.write("file\texpected\n")
        f.writelines(f"{instance_path(a.manifest, r['file'])}\t{r['expected']}\n" for r in rows)
    print(f"{len(rows)} instances, --seconds {a.seconds:g}", flush=True)
    walls = {}
    for label, extra in (("jobs1", ["--jobs", "1"]), ("jobs2", ["--jobs", "2"]), ("cluster2", ["--local-cluster", "2"])):
        results = os.path.join(work, f"{label}.sqlite")
        if os.path.exists(results):
            os.remove(results)
        wall, proc = timed(CLI + ["batch", subset, "-r", results, "--seconds", str(a.seconds), "-q"] + extra)
        walls[label] = wall
        print(f"{label:9} wall {wall:8.2f} s  exit {proc.returncode}", flush=True)
        print("\n".join("    " + line for line in proc.stdout.splitlines()), flush=True)
    print(f"jobs2/jobs1 {walls['jobs2'] / walls['jobs1']:.3f}  cluster2/jobs2 {walls['cluster2'] / walls['jobs2']:.3f}")


def bench_race(a):
    from distributed import Client, LocalCluster

    import dask

    from quillon_native_cli.cluster import QUIET
    from quillon_native_cli.configs import CONFIGS
    first, second = list(CONFIGS)[:2]
    with dask.config.set(QUIET), LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0", silence_logs=50) as cluster, \
            Client(cluster) as client:
        client.wait_for_workers(2)
        ratios = []
        for r in manifest_rows(a.manifest):
            if not a.min_minisat <= float(r["minisat_seconds"]) <= (a.max_minisat or math.inf):
                continue
            path = instance_path(a.manifest, r["file"])
            probe, _ = timed(CLI + ["solve", "-q", "--config", first, path])
            if probe < a.min_seconds:
                continue
            times = {first: [], second: [], "race": [], "inside": []}
            for _ in range(a.repeat):
                for name in (first, second):
                    times[name].append(timed(CLI + ["solve", "-q", "--config", name, path])[0])
                wall, proc = timed(CLI + ["race", path, "--scheduler", cluster.scheduler_address, "--workers", "2"])
                times["race"].append(wall)
                line = next(x for x in proc.stdout.splitlines() if x.startswith("c race:"))
                times["inside"].append(float(line.split(" after ")[1].split()[0]))
            med = {k: statistics.median(v) for k, v in times.items()}
            best = min(med[first], med[second])
            ratios.append(med["race"] / best)
            print(f"{r['file']:32} {first} {med[first]:7.2f}  {second} {med[second]:7.2f}  race {med['race']:7.2f} "
                  f"(to the winner {med['inside']:7.2f})  race/best {med['race'] / best:.3f}", flush=True)
        if ratios:
            print(f"geometric mean race/best over {len(ratios)} instances: "
                  f"{math.exp(sum(map(math.log, ratios)) / len(ratios)):.3f}")


def bench_small(a, work):
    import random
    rng = random.Random(2026)
    folder = os.path.join(work, "cnf")
    os.makedirs(folder)
    for i in range(a.count):
        clauses = ("".join(f"{v if rng.random() < 0.5 else -v} " for v in rng.sample(range(1, 51), 3)) + "0\n"
                   for _ in range(213))
        with open(os.path.join(folder, f"r{i:05d}.cnf"), "w") as f:
            f.write("p cnf 50 213\n" + "".join(clauses))
    from quillon_native_cli.native import front_program
    ratios = []
    for _ in range(a.repeat):
        kissat, _ = timed(["sh", "-c", f"ls {folder}/*.cnf | xargs -P 2 -n 1 {a.kissat} -q > /dev/null"])
        results = os.path.join(work, "small.sqlite")
        if os.path.exists(results):
            os.remove(results)
        ours, proc = timed([front_program(), "batch", folder, "--jobs", "2", "-q", "-r", results])
        assert proc.returncode == 0, proc.stderr
        ratios.append(ours / kissat)
        print(f"kissat xargs -P 2 {kissat:7.2f} s   batch --jobs 2 {ours:7.2f} s   ratio {ours / kissat:.2f}", flush=True)
    print(f"median ratio {statistics.median(ratios):.2f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("what", choices=("batch", "race", "small"))
    ap.add_argument("--kissat", default="kissat", help="small: the Kissat binary")
    ap.add_argument("--count", type=int, default=1000, help="small: formulas")
    ap.add_argument("--manifest", default=os.path.join(os.path.dirname(__file__), "../../shared/bench/MANIFEST.tsv"))
    ap.add_argument("--max-minisat", type=float)
    ap.add_argument("--min-minisat", type=float, default=0.0, help="race: only instances minisat needs this long for")
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--min-seconds", type=float, default=1.0)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--keep", metavar="DIR", help="keep the results stores in DIR (for plotting)")
    a = ap.parse_args()
    if a.keep:
        os.makedirs(a.keep, exist_ok=True)
        bench_batch(a, a.keep) if a.what == "batch" else bench_race(a)
        return
    with tempfile.TemporaryDirectory() as work:
        if a.what == "small":
            bench_small(a, work)
        else:
            bench_batch(a, work) if a.what == "batch" else bench_race(a)


if __name__ == "__main__":
    main()
