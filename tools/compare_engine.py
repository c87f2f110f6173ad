#!/usr/bin/env python3
"""Two builds of `quillon-native solve` side by side on the shared set: the
same options must give the same answers, models, winners and proof bytes.

Each side is a checkout (its `python/` folder) and a build folder in it
(the modules and quillon-search).  For every instance of the manifest it
runs every named configuration with a conflict cap, and auto with a
conflict cap and with a time cap (compared only where both sides answered),
each with a proof; it compares the `s` and `v` lines, the `c` lines that
name a plan, winner or proof owner, the conflict counters and the proof's
sha256.  It also reports the wall seconds of each side (sum over the runs).

  python tools/compare_engine.py --old /tmp/old --new . [--only hole9] [--configs default,auto]
"""
import argparse
import csv
import hashlib
import os
import subprocess
import sys
import tempfile
import time

BENCH = "/work/shared/bench"
CONFIGS = ["default", "glucose", "minisat", "random", "stable", "glucose-random", "no-walk", "basic-min",
           "no-restart"]
KEPT = ("c strategy", "c winner", "c proof of", "c all conflicts", "c conflicts", "c preprocessing", "c configuration")


def environment(checkout, build, shim_root):
    """PYTHONPATH for a checkout whose modules are in `build`."""
    shim = tempfile.mkdtemp(dir=shim_root)
    with open(os.path.join(shim, "sitecustomize.py"), "w") as f:
        f.write("import os, quillon_native, quillon_native_cli\n"
                "quillon_native_cli.__path__.append(os.path.dirname(quillon_native.__file__))\n")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([shim, os.path.join(checkout, "python"), os.path.join(checkout, build)])
    return env


def run(env, cnf, extra, proof):
    cmd = [sys.executable, "-m", "quillon_native_cli", "solve", cnf, "--proof", proof] + extra
    t0 = time.monotonic()
    p = subprocess.run(cmd, env=env, capture_output=True, text=True)
    wall = time.monotonic() - t0
    lines = [ln.rsplit(" in ", 1)[0] if ln.startswith("c preprocessing") else ln
             for ln in p.stdout.splitlines() if ln.startswith(("s ", "v ")) or ln.startswith(KEPT)]
    digest = hashlib.sha256(open(proof, "rb").read()).hexdigest() if os.path.exists(proof) else None
    answered = any(ln in ("s SATISFIABLE", "s UNSATISFIABLE") for ln in lines)
    return (p.returncode, lines, digest), answered, wall, p.stderr


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--old", required=True)
    ap.add_argument("--new", default=".")
    ap.add_argument("--build", default="build-dev", help="build folder in the new checkout")
    ap.add_argument("--old-build", default="build")
    ap.add_argument("--only", action="append", help="instance names (without .cnf)")
    ap.add_argument("--configs", default=",".join(CONFIGS + ["auto", "auto-time"]))
    ap.add_argument("--max-conflicts", type=int, default=3000)
    ap.add_argument("--auto-conflicts", type=int, default=100000)
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--extra", default="", help="more solve options for every run")
    a = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix="compare-engine-")
    envs = {"old": environment(a.old, a.old_build, tmp), "new": environment(a.new, a.build, tmp)}
    with open(os.path.join(BENCH, "MANIFEST.tsv")) as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    if a.only:
        rows = [r for r in rows if r["file"][:-4] in a.only]
    wall = {"old": 0.0, "new": 0.0}
    family = {}  # family: {side: wall seconds}
    bad = 0
    runs = 0
    for i, row in enumerate(rows):
        cnf = os.path.join(BENCH, "cnf", row["file"])
        for cfg in a.configs.split(","):
            if cfg == "auto":
                extra = ["--max-conflicts", str(a.auto_conflicts)]
            elif cfg == "auto-time":
                extra = ["--seconds", str(a.seconds)]
            else:
                extra = ["--config", cfg, "--max-conflicts", str(a.max_conflicts)]
            extra += a.extra.split()
            got = {}
            sides = ("old", "new") if (i + runs) % 2 == 0 else ("new", "old")  # interleaved
            for side in sides:
                proof = os.path.join(tmp, f"{side}.drat")
                if os.path.exists(proof):
                    os.unlink(proof)
                got[side] = run(envs[side], cnf, extra, proof)
                wall[side] += got[side][2]
                fam = family.setdefault(row["family"], {"old": 0.0, "new": 0.0})
                fam[side] += got[side][2]
            runs += 1
            (old, old_answered, _, old_err), (new, new_answered, _, new_err) = got["old"], got["new"]
            if cfg == "auto-time" and not (old_answered and new_answered):
                continue
            if old != new:
                bad += 1
                print(f"DIFF {row['file']} {cfg}:\n  old {old[0]} {old[2]} {old[1][:6]} {old_err[-300:]}\n"
                      f"  new {new[0]} {new[2]} {new[1][:6]} {new_err[-300:]}", flush=True)
        print(f"{i + 1}/{len(rows)} {row['file']} done ({bad} differences)", file=sys.stderr, flush=True)
    for name, w in sorted(family.items()):
        print(f"  {name:<18} wall seconds old {w['old']:7.2f}  new {w['new']:7.2f}  new/old {w['new'] / w['old']:.3f}")
    print(f"{runs} run pairs, {bad} differences; wall seconds old {wall['old']:.1f}, new {wall['new']:.1f}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
