#!/usr/bin/env python3
"""Solve a DIMACS CNF file with quillon_native.Solver.

  python examples/solve_dimacs.py examples/example.cnf
  python examples/solve_dimacs.py formula.cnf.xz --restart glucose --proof out.drat

Reads plain, .gz or .xz files.  Prints the usual competition output:
"s SATISFIABLE" with "v ... 0" lines, "s UNSATISFIABLE" or "s UNKNOWN", and
statistics as "c" lines; exits 10, 20 or 0 accordingly.  With --proof FILE
the DRAT proof is written in the standard text format ("d" before deletions).
"""
import argparse
import gzip
import lzma
import sys
import time

import quillon_native as qn

STATS = ("conflicts", "decisions", "propagations", "restarts", "blocked_restarts", "learned", "learned_lits",
         "minimized_lits", "reductions", "deleted", "max_trail")


def open_text(path):
    if path == "-":
        return sys.stdin
    if path.endswith(".xz"):
        return lzma.open(path, "rt")
    if path.endswith(".gz"):
        return gzip.open(path, "rt")
    return open(path, "rt")


def read_dimacs(path):
    """(declared variable count, clauses as lists of DIMACS ints)."""
    nvars, clauses, cur = 0, [], []
    with open_text(path) as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("c"):
                continue
            if line.startswith("%"):  # end marker in some SATLIB files
                break
            if line.startswith("p"):
                parts = line.split()
                if len(parts) != 4 or parts[1] != "cnf":
                    raise ValueError(f"line {number}: bad problem line {line!r}")
                nvars = int(parts[2])
                continue
            for tok in line.split():
                try:
                    d = int(tok)
                except ValueError:
                    raise ValueError(f"line {number}: not a literal: {tok!r}") from None
                if d == 0:
                    clauses.append(cur)
                    cur = []
                else:
                    if abs(d) >= 2 ** 31:
                        raise ValueError(f"line {number}: literal out of range: {d}")
                    cur.append(d)
    if cur:
        clauses.append(cur)
    return nvars, clauses


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("file", help="DIMACS CNF (plain, .gz, .xz, or - for standard input)")
    ap.add_argument("--proof", metavar="FILE", help="write the DRAT proof here")
    ap.add_argument("--max-conflicts", type=int)
    ap.add_argument("--seconds", type=float)
    ap.add_argument("--restart", choices=("luby", "glucose", "none"))
    ap.add_argument("--ccmin", choices=("deep", "basic", "none"))
    for name in ("phase_saving", "init_phase", "target_phase", "block_restart"):
        ap.add_argument("--" + name.replace("_", "-"), choices=("true", "false"))
    for name in ("target_reset", "walk_flips", "walk_interval", "walk_patience", "walk_min_conflicts",
                 "first_reduce", "reduce_inc", "glue_keep", "rnd_seed"):
        ap.add_argument("--" + name.replace("_", "-"), type=int)
    for name in ("var_decay", "var_decay_max", "cla_decay", "luby_base", "rnd_freq"):
        ap.add_argument("--" + name.replace("_", "-"), type=float)
    ap.add_argument("--no-model", action="store_true", help="do not print the v lines")
    args = ap.parse_args(argv)

    opts = {}
    for key, value in vars(args).items():
        if key in ("file", "proof", "max_conflicts", "seconds", "no_model") or value is None:
            continue
        opts[key] = {"true": True, "false": False}.get(value, value)

    t0 = time.perf_counter()
    try:
        nvars, clauses = read_dimacs(args.file)
    except (OSError, ValueError, EOFError, lzma.LZMAError) as e:
        print(f"c error: {e}", file=sys.stderr)
        return 1
    try:
        solver = qn.Solver(nvars, **opts)
    except ValueError as e:
        print(f"c error: {e}", file=sys.stderr)
        return 1
    if args.proof:
        solver.enable_proof()
    for c in clauses:
        solver.add_clause([2 * (abs(d) - 1) + (d < 0) for d in c])
    t1 = time.perf_counter()
    print(f"c {nvars} variables, {len(clauses)} clauses, parsed in {t1 - t0:.3f} s")
    result = solver.solve(args.max_conflicts, args.seconds)
    t2 = time.perf_counter()
    print(f"c solved in {t2 - t1:.3f} s")
    for name in STATS:
        print(f"c {name:17s} {getattr(solver, name)}")

    if args.proof:
        with open(args.proof, "w") as f:
            for kind, lits in solver.proof_steps():
                f.write(("d " if kind == "d" else "") + " ".join(map(str, lits + [0])) + "\n")

    if result is True:
        print("s SATISFIABLE")
        if not args.no_model:
            lits = [str(v + 1 if b else -(v + 1)) for v, b in enumerate(solver.model)]
            for i in range(0, len(lits), 10):
                print("v " + " ".join(lits[i:i + 10]))
            print("v 0")
        return 10
    if result is False:
        print("s UNSATISFIABLE")
        return 20
    print("s UNKNOWN")
    return 0


if __name__ == "__main__":
    sys.exit(main())
