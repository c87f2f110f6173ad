#!/usr/bin/env python3
"""Generates the crafted corpus: formula families the strategy was not tuned
on, mostly from cnfgen, each over a range of sizes, shuffled with fixed seeds.

  python bench/crafted_corpus.py [OUT] [--peer CMD] [--peer-cap S] [--family F,...]

OUT (default /work/corpus) gets cnf/*.cnf and three manifests that
`quillon-native batch`, bench/guard.py, bench/strategy_eval.py and
bench/measure.py read: tune.tsv, heldout.tsv and MANIFEST.tsv (both parts,
with a `part` column).  Columns: file, expected, family, size, seed, part,
vars, clauses, peer_seconds.  `expected` is the peer's answer (Kissat by
default, CPU seconds in `peer_seconds`); where the family's answer is known
by construction the two are compared and a disagreement stops the run.  An
instance the peer leaves open within --peer-cap keeps its known answer, if any.

Every instance is shuffled (variables renamed, clauses reordered; literal
signs kept, since the strategy reads a formula's sign pattern and real
formulas are not sign-scrambled), with a seed derived from its family and
size, so the corpus is the same on every run of the same cnfgen (the bench
extra pins the version).  A family's instances, sorted by size, alternate
between the parts: the 1st, 3rd, ... are tuning instances, the 2nd, 4th, ...
held out, so the held-out part asks for sizes the tuning never saw.

Running again reuses the peer's answer for every file whose text is
unchanged, so adding a family costs only its own peer runs.
"""
import argparse
import os
import random
import resource
import shlex
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from gen_corpus import Cnf, shuffled  # noqa: E402

DEFAULT_OUT = "/work/corpus"
DEFAULT_PEER = "/tmp/kissat/build/kissat -q"
SHUFFLE = ["-T", "shuffle", "--no-polarity-flips"]


def php_capacity(pigeons, holes, capacity, rng):
    """Pigeons into holes of `capacity` each: at least one hole a pigeon, no
    capacity+1 pigeons in a hole (cnfgen has no capacity)."""
    from itertools import combinations
    cnf = Cnf()
    x = [[cnf.var() for _ in range(holes)] for _ in range(pigeons)]
    for p in range(pigeons):
        cnf.add(*x[p])
    for h in range(holes):
        for group in combinations(range(pigeons), capacity + 1):
            cnf.add(*[-x[p][h] for p in group])
    return shuffled(cnf, rng)


# One row a family: (family, known answer, sizes, what builds a size); the
# known answer is SAT, UNSAT, None (the peer alone decides) or a function of
# the size.
# A builder is a cnfgen argument list (the formula and its arguments; the
# seed and the shuffle are added) or a callable (size, rng) -> Cnf.  Sizes run
# from about 0.01 s to about 30 s of Kissat.
FAMILIES = [
    ("op", "UNSAT", (20, 25, 30, 35, 40, 45), lambda n: ["op", str(n)]),
    ("peb-xor", "UNSAT", (20, 40, 60, 80, 100, 120), lambda h: ["peb", "pyramid", str(h), "-T", "xor", "2"]),
    ("tseitin", "UNSAT", (20, 24, 28, 32, 36, 40), lambda n: ["tseitin", str(n), "4"]),
    ("php", "UNSAT", (5, 6, 7, 8, 9, 10), lambda n: ["php", str(n + 1), str(n)]),
    ("php-func", "UNSAT", (5, 6, 7, 8, 9, 10), lambda n: ["php", "--functional", "--onto", str(n + 1), str(n)]),
    ("bphp", "UNSAT", (6, 8, 10, 11, 12, 14), lambda n: ["bphp", str(n + 1), str(n)]),
    ("rphp", "UNSAT", (3, 4, 5, 6), lambda n: ["rphp", str(n + 1), str(2 * n), str(n)]),
    ("php-cap2", "UNSAT", (2, 3, 4, 5, 6),
     lambda h: (lambda size, rng: php_capacity(2 * h + 1, h, 2, rng))),
    ("clique-col", "UNSAT", ((6, 4, 3), (8, 4, 3), (10, 4, 3), (12, 4, 3), (9, 5, 4), (11, 5, 4)),
     lambda s: ["cliquecoloring", *map(str, s)]),
    ("ramsey", None, ((3, 4, 8), (3, 4, 9), (3, 5, 12), (3, 5, 13), (3, 6, 15), (4, 4, 14)),
     lambda s: ["ram", *map(str, s)]),
    ("parity", lambda n: "SAT" if n % 2 == 0 else "UNSAT", (7, 9, 11, 12, 13, 15), lambda n: ["parity", str(n)]),
    ("count", lambda m: "SAT" if m % 3 == 0 else "UNSAT", (7, 8, 10, 11, 12, 13), lambda m: ["count", str(m), "3"]),
    ("subsetcard", "UNSAT", (8, 10, 12, 14, 16, 18), lambda n: ["subsetcard", str(n)]),
    ("mchess", "UNSAT", (6, 8, 9, 10, 12, 14), lambda n: ["mchess", str(n), str(n)]),
    ("kcolor", None, (60, 80, 100, 120, 140, 160),
     lambda n: ["kcolor", "3", "gnm", str(n), str(int(2.25 * n))]),
    ("kclique", None, (60, 80, 100, 120, 140, 160), lambda n: ["kclique", "5", "gnp", str(n), "0.25"]),
    ("rand3", None, (150, 175, 200, 225, 250, 275), lambda n: ["randkcnf", "3", str(n), str(round(4.26 * n))]),
    ("rand4", None, (60, 70, 80, 90, 100, 110), lambda n: ["randkcnf", "4", str(n), str(round(9.93 * n))]),
]


# Tuning sizes beyond the alternation above, all in the tuning part: the
# held-out part's larger sizes of the crafted families showed members
# trading places with size, so the tuning part gets larger sizes of its own
# (none of them a held-out size).
LARGER_TUNING = {
    "op": (50,),
    "peb-xor": (140,),
    "tseitin": (38,),
    "bphp": (13,),
    "clique-col": ((10, 5, 4), (14, 4, 3)),
    "subsetcard": (20,),
    "mchess": (13,),
}


def label_of(size):
    return "-".join(map(str, size)) if isinstance(size, tuple) else str(size)


def seed_of(family, size):
    return zlib.crc32(f"{family}/{label_of(size)}".encode())


def recipes(only=None):
    """(family, known answer, size label, seed, part, builder) of every instance."""
    out = []
    for family, known, sizes, build in FAMILIES:
        if only and family not in only:
            continue
        larger = LARGER_TUNING.get(family, ())
        for i, size in enumerate(sizes + larger):
            part = "tune" if i % 2 == 0 or i >= len(sizes) else "heldout"
            answer = known(size) if callable(known) else known
            out.append((family, answer, label_of(size), seed_of(family, size), part, build(size)))
    return out


def text_of(builder, label, seed, flip=False):
    """The shuffled formula of one recipe, as DIMACS text (with `flip`, every
    variable's sign is also flipped at random)."""
    if callable(builder):
        rng = random.Random(seed)
        cnf = builder(label, rng)
        if flip:
            signs = [0] + [rng.choice((1, -1)) for _ in range(cnf.nvars)]
            cnf.clauses = [[d * signs[abs(d)] for d in c] for c in cnf.clauses]
        return cnf.text(f"seed {seed}")
    from cnfgen.clitools import cnfgen
    shuffle = SHUFFLE[:2] if flip else SHUFFLE
    return cnfgen(["cnfgen", "-q", "--seed", str(seed), *builder, *shuffle], mode="string")


def peer_answer(peer, path, cap):
    """(answer or None, CPU seconds) of the peer on `path` within `cap` CPU seconds."""
    def limit():
        resource.setrlimit(resource.RLIMIT_CPU, (int(cap), int(cap) + 1))
    p = subprocess.Popen(shlex.split(peer) + [path], stdout=subprocess.DEVNULL, preexec_fn=limit)
    _, status, usage = os.wait4(p.pid, 0)
    code = os.waitstatus_to_exitcode(status)
    return {10: "SAT", 20: "UNSAT"}.get(code), usage.ru_utime + usage.ru_stime


def read_rows(path):
    if not os.path.exists(path):
        return {}
    with open(path) as f:
        header = f.readline().rstrip("\n").split("\t")
        return {r["file"]: r for r in (dict(zip(header, line.rstrip("\n").split("\t"))) for line in f if line.strip())}


COLUMNS = ("file", "expected", "family", "size", "seed", "part", "vars", "clauses", "peer_seconds", "crc")


def write_manifest(path, rows):
    with open(path + ".tmp", "w") as f:
        f.write("\t".join(COLUMNS) + "\n")
        for r in rows:
            f.write("\t".join(str(r[c]) for c in COLUMNS) + "\n")
    os.replace(path + ".tmp", path)


def build_one(recipe, out, old, args):
    """The manifest row of one recipe, writing its file and asking the peer as needed."""
    family, known, label, seed, part, builder = recipe
    name = f"{family}-{label}.cnf"
    text = text_of(builder, label, seed, args.flip_signs)
    crc = f"{zlib.crc32(text.encode()):08x}"
    path = os.path.join(out, "cnf", name)
    with open(path, "w") as f:
        f.write(text)
    header = next(line for line in text.splitlines() if line.startswith("p "))
    _, _, nvars, nclauses = header.split()
    prev = old.get(name)
    if prev and prev.get("crc") == crc and prev["expected"]:
        expected, secs = prev["expected"], float(prev["peer_seconds"])
    else:
        expected, secs = peer_answer(args.peer, path, args.peer_cap)
    if known and expected and expected != known:
        raise SystemExit(f"{name}: the peer says {expected}, the family is {known}")
    expected = expected or known
    return dict(file=name, expected=expected or "", family=family, size=label, seed=seed, part=part,
                vars=nvars, clauses=nclauses, peer_seconds=f"{secs:.3f}", crc=crc)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("out", nargs="?", default=DEFAULT_OUT)
    p.add_argument("--peer", default=DEFAULT_PEER, help="the command that answers (exit 10/20); default %(default)s")
    p.add_argument("--peer-cap", type=float, default=60.0, help="CPU seconds of the peer per instance")
    p.add_argument("--flip-signs", action="store_true", help="flip each variable's sign at random too (a "
                   "corpus of its own: sign patterns such as the at-most-one shape disappear)")
    p.add_argument("--family", default=None, help="comma-separated families only (the manifests keep the others)")
    args = p.parse_args(argv)
    only = set(args.family.split(",")) if args.family else None
    unknown = (only or set()) - {f[0] for f in FAMILIES}
    if unknown:
        p.error(f"unknown families: {', '.join(sorted(unknown))}")
    os.makedirs(os.path.join(args.out, "cnf"), exist_ok=True)
    old = read_rows(os.path.join(args.out, "MANIFEST.tsv"))
    rows = {r["file"]: r for r in old.values()} if only else {}
    for recipe in recipes(only):
        t0 = time.monotonic()
        row = build_one(recipe, args.out, old, args)
        rows[row["file"]] = row
        print(f"{row['file']}: {row['vars']} vars, {row['clauses']} clauses, {row['expected'] or '?'} "
              f"(peer {row['peer_seconds']} s, {time.monotonic() - t0:.1f} s)", file=sys.stderr, flush=True)
        write_all(args.out, rows)  # after each instance: an interrupted run keeps its peer answers
    print(f"{args.out}: {len(rows)} instances", file=sys.stderr)
    return 0


def write_all(out, rows):
    """MANIFEST.tsv (every row) and one manifest per part, in recipe order;
    rows of families no longer generated are dropped."""
    order = {f"{fam}-{label}.cnf": i for i, (fam, _, label, _, _, _) in enumerate(recipes())}
    ordered = sorted((r for r in rows.values() if r["file"] in order), key=lambda r: order[r["file"]])
    write_manifest(os.path.join(out, "MANIFEST.tsv"), ordered)
    for part in ("tune", "heldout"):
        write_manifest(os.path.join(out, f"{part}.tsv"), [r for r in ordered if r["part"] == part])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
