#!/usr/bin/env python3
"""Generates the strategy corpus: formula families beside the shared set,
each at several sizes, SAT and UNSAT, with answers known by construction.

  python bench/gen_corpus.py [--peer CMD] OUT   # OUT/cnf/*.cnf and OUT/MANIFEST.tsv

Families (kind in brackets):
  php        pigeons into holes: n+1 into n UNSAT, n into n SAT            [crafted]
  tseitin    parity constraints on a random 4-regular graph: odd total     [crafted]
             charge UNSAT, even SAT
  color      3-colouring of a random graph with a planted colouring, SAT  [crafted]
  factor     an array multiplier equal to N: N = p*q SAT (planted),         [industrial-like]
             N prime UNSAT
  miter      ripple-carry adder against a carry-select adder and a*b      [industrial-like]
             against b*a: equivalent circuits, UNSAT; with one gate
             changed, SAT
  sched      timetable: jobs into slots with conflicts and capacities,     [industrial-like]
             planted schedule, SAT
  rand3      uniform random 3-SAT at ratio 4.0 (SAT, planted) and 5.0       [random]
             (UNSAT, far above the threshold)
  rand3t     uniform random 3-SAT at the threshold (4.26): answers from a   [random]
             peer solver (--peer CMD), else left empty
  rand5      uniform random 5-SAT with a planted model, ratio 20            [random]

Every instance gets a seed; odd seeds form the held-out part (column
`part`), even seeds the tuning part.  Everything is deterministic in the
seed, so the corpus is regenerated rather than committed.
"""
import os
import random
import sys


class Cnf:
    """Clauses over DIMACS literals, with fresh variables and Tseitin gates."""

    def __init__(self):
        self.nvars = 0
        self.clauses = []

    def var(self):
        self.nvars += 1
        return self.nvars

    def add(self, *lits):
        self.clauses.append(list(lits))

    def and_(self, a, b):
        g = self.var()
        self.add(-g, a)
        self.add(-g, b)
        self.add(g, -a, -b)
        return g

    def or_(self, a, b):
        return -self.and_(-a, -b)

    def xor(self, a, b):
        g = self.var()
        self.add(-g, a, b)
        self.add(-g, -a, -b)
        self.add(g, -a, b)
        self.add(g, a, -b)
        return g

    def mux(self, s, a, b):  # s ? a : b
        g = self.var()
        self.add(-s, -a, g)
        self.add(-s, a, -g)
        self.add(s, -b, g)
        self.add(s, b, -g)
        return g

    def full_add(self, a, b, c):
        t = self.xor(a, b)
        return self.xor(t, c), self.or_(self.and_(a, b), self.and_(t, c))

    def const(self, value):
        v = self.var()
        self.add(v if value else -v)
        return v

    def text(self, comment):
        lines = [f"c {comment}", f"p cnf {self.nvars} {len(self.clauses)}"]
        lines += [" ".join(map(str, c)) + " 0" for c in self.clauses]
        return "\n".join(lines) + "\n"


def shuffled(cnf, rng):
    """The same formula with variables renamed and clauses reordered at random."""
    perm = list(range(1, cnf.nvars + 1))
    rng.shuffle(perm)
    out = Cnf()
    out.nvars = cnf.nvars
    out.clauses = [[perm[abs(d) - 1] * (1 if d > 0 else -1) for d in c] for c in cnf.clauses]
    rng.shuffle(out.clauses)
    return out


# -- crafted ---------------------------------------------------------------
def php(pigeons, holes, rng):
    cnf = Cnf()
    x = [[cnf.var() for _ in range(holes)] for _ in range(pigeons)]
    for p in range(pigeons):
        cnf.add(*x[p])
    for h in range(holes):
        for p in range(pigeons):
            for q in range(p + 1, pigeons):
                cnf.add(-x[p][h], -x[q][h])
    return shuffled(cnf, rng), "SAT" if pigeons <= holes else "UNSAT"


def regular_graph(n, degree, rng):
    while True:
        stubs = [v for v in range(n) for _ in range(degree)]
        rng.shuffle(stubs)
        edges = {tuple(sorted(stubs[i:i + 2])) for i in range(0, len(stubs), 2)}
        if len(edges) == len(stubs) // 2 and all(a != b for a, b in edges):
            return sorted(edges)


def tseitin(n, sat, rng):
    edges = regular_graph(n, 4, rng)
    cnf = Cnf()
    var = {e: cnf.var() for e in edges}
    charge = [rng.randrange(2) for _ in range(n)]
    if sum(charge) % 2 != (0 if sat else 1):
        charge[0] ^= 1
    for v in range(n):
        incident = [var[e] for e in edges if v in e]
        for bits in range(1 << len(incident)):  # forbid each assignment of the wrong parity
            if bin(bits).count("1") % 2 != charge[v]:
                cnf.add(*[-x if bits >> i & 1 else x for i, x in enumerate(incident)])
    return shuffled(cnf, rng), "SAT" if sat else "UNSAT"


def color(n, ratio, rng):
    colour = [rng.randrange(3) for _ in range(n)]
    edges = set()
    while len(edges) < int(ratio * n):
        a, b = rng.sample(range(n), 2)
        if colour[a] != colour[b]:
            edges.add((min(a, b), max(a, b)))
    cnf = Cnf()
    x = [[cnf.var() for _ in range(3)] for _ in range(n)]
    for v in range(n):
        cnf.add(*x[v])
        for c in range(3):
            for d in range(c + 1, 3):
                cnf.add(-x[v][c], -x[v][d])
    for a, b in sorted(edges):
        for c in range(3):
            cnf.add(-x[a][c], -x[b][c])
    return shuffled(cnf, rng), "SAT"


# -- industrial-like ---------------------------------------------------------
def multiplier(cnf, a, b):
    """Array multiplier: the product bits of bit vectors a and b (LSB first)."""
    width = len(a) + len(b)
    rows = [[cnf.and_(a[i], b[j]) for i in range(len(a))] for j in range(len(b))]
    acc = [None] * width
    for j, row in enumerate(rows):
        carry = None
        for i, bit in enumerate(row):
            k = i + j
            if acc[k] is None and carry is None:
                acc[k] = bit
                continue
            terms = [t for t in (acc[k], bit, carry) if t is not None]
            if len(terms) == 2:
                acc[k], carry = cnf.xor(*terms), cnf.and_(*terms)
            else:
                acc[k], carry = cnf.full_add(*terms)
        k = len(row) + j
        while carry is not None and k < width:
            if acc[k] is None:
                acc[k], carry = carry, None
            else:
                acc[k], carry = cnf.xor(acc[k], carry), cnf.and_(acc[k], carry)
            k += 1
    return [bit if bit is not None else cnf.const(False) for bit in acc]


def is_prime(n):
    return n > 1 and all(n % d for d in range(2, int(n ** 0.5) + 1))


def factor(bits, sat, rng):
    while True:
        if sat:
            p, q = rng.randrange(2 ** (bits - 1) + 1, 2 ** bits, 2), rng.randrange(2 ** (bits - 1) + 1, 2 ** bits, 2)
            if is_prime(p) and is_prime(q):
                n = p * q
                break
        else:
            n = rng.randrange(2 ** (2 * bits - 2), 2 ** (2 * bits - 1)) | 1
            if is_prime(n):
                break
    cnf = Cnf()
    a = [cnf.var() for _ in range(bits)]
    b = [cnf.var() for _ in range(bits)]
    prod = multiplier(cnf, a, b)
    for k, bit in enumerate(prod):
        cnf.add(bit if n >> k & 1 else -bit)
    cnf.add(*a[1:])  # both factors above 1
    cnf.add(*b[1:])
    return shuffled(cnf, rng), "SAT" if sat else "UNSAT"


def ripple(cnf, a, b):
    carry, out = cnf.const(False), []
    for x, y in zip(a, b):
        s, carry = cnf.full_add(x, y, carry)
        out.append(s)
    return out + [carry]


def carry_select(cnf, a, b, block=3):
    carry, out = cnf.const(False), []
    for lo in range(0, len(a), block):
        xs, ys = a[lo:lo + block], b[lo:lo + block]
        sums = []
        for cin in (False, True):
            c, s = cnf.const(cin), []
            for x, y in zip(xs, ys):
                bit, c = cnf.full_add(x, y, c)
                s.append(bit)
            sums.append((s, c))
        out += [cnf.mux(carry, s1, s0) for s0, s1 in zip(sums[0][0], sums[1][0])]
        carry = cnf.mux(carry, sums[1][1], sums[0][1])
    return out + [carry]


def miter(cnf, left, right):
    diffs = [cnf.xor(x, y) for x, y in zip(left, right)]
    cnf.add(*diffs)


def miter_instance(kind, bits, sat, rng):
    cnf = Cnf()
    a = [cnf.var() for _ in range(bits)]
    b = [cnf.var() for _ in range(bits)]
    if kind == "add":
        left, right = ripple(cnf, a, b), carry_select(cnf, a, b)
    else:
        left, right = multiplier(cnf, a, b), multiplier(cnf, b, a)
    if sat:  # a fault: one output bit of the right side inverted under a condition on the inputs
        k = rng.randrange(len(right) - 1)
        right[k] = cnf.xor(right[k], cnf.and_(a[rng.randrange(bits)], b[rng.randrange(bits)]))
    miter(cnf, left, right)
    return shuffled(cnf, rng), "SAT" if sat else "UNSAT"


def sched(jobs, slots, rng):
    """Jobs into time slots: conflicting jobs apart, at most `cap` jobs per slot
    (sequential counters), each job in its allowed slots; a schedule is planted."""
    plant = [rng.randrange(slots) for _ in range(jobs)]
    cap = max(plant.count(s) for s in range(slots))
    cnf = Cnf()
    x = [[cnf.var() for _ in range(slots)] for _ in range(jobs)]
    for j in range(jobs):
        allowed = {plant[j]} | set(rng.sample(range(slots), max(1, slots // 2)))
        cnf.add(*[x[j][s] for s in sorted(allowed)])
        for s in range(slots):
            if s not in allowed:
                cnf.add(-x[j][s])
    conflicts = set()
    while len(conflicts) < 3 * jobs:
        a, b = rng.sample(range(jobs), 2)
        if plant[a] != plant[b]:
            conflicts.add((min(a, b), max(a, b)))
    for a, b in sorted(conflicts):
        for s in range(slots):
            cnf.add(-x[a][s], -x[b][s])
    for s in range(slots):  # at most `cap` of x[.][s]: sequential counter
        col = [x[j][s] for j in range(jobs)]
        r = [[cnf.var() for _ in range(cap)] for _ in col]
        for i, v in enumerate(col):
            cnf.add(-v, r[i][0])
            if i:
                for k in range(cap):
                    cnf.add(-r[i - 1][k], r[i][k])
                    if k:
                        cnf.add(-v, -r[i - 1][k - 1], r[i][k])
                cnf.add(-v, -r[i - 1][cap - 1])
    return shuffled(cnf, rng), "SAT"


# -- random ------------------------------------------------------------------
def random_ksat(n, k, ratio, planted, rng):
    model = [rng.random() < 0.5 for _ in range(n + 1)]
    cnf = Cnf()
    cnf.nvars = n
    while len(cnf.clauses) < int(ratio * n):
        vs = rng.sample(range(1, n + 1), k)
        c = [v if rng.random() < 0.5 else -v for v in vs]
        if planted and not any((d > 0) == model[abs(d)] for d in c):
            continue
        cnf.clauses.append(c)
    return cnf, "SAT" if planted else None


def rand3(n, sat, rng):
    cnf, answer = random_ksat(n, 3, 4.0 if sat else 5.0, sat, rng)
    return cnf, answer or "UNSAT"


def rand5(n, rng):
    return random_ksat(n, 5, 20.0, True, rng)


# -- the corpus --------------------------------------------------------------
def recipes():
    """(family, kind, size label, seed, builder(rng)) for every instance."""
    out = []

    def add(family, kind, label, seeds, build):
        for seed in seeds:
            out.append((family, kind, label, seed, build))

    for n in (8, 9):
        add("php", "crafted", f"{n + 1}-{n}", (1, 2), lambda rng, n=n: php(n + 1, n, rng))
    add("php", "crafted", "40-40", (1, 2), lambda rng: php(40, 40, rng))
    for n, sat in ((16, False), (20, False), (24, False), (100, True)):
        add("tseitin", "crafted", f"{n}{'s' if sat else 'u'}", (1, 2, 3, 4),
            lambda rng, n=n, sat=sat: tseitin(n, sat, rng))
    for n in (300, 600):
        add("color", "crafted", str(n), (1, 2, 3, 4), lambda rng, n=n: color(n, 2.3, rng))
    for bits, sat in ((14, True), (16, True), (18, True), (12, False), (13, False)):
        add("factor", "industrial", f"{bits}{'s' if sat else 'u'}", (1, 2, 3, 4),
            lambda rng, b=bits, s=sat: factor(b, s, rng))
    for kind, bits, sat in (("add", 48, False), ("mul", 6, False), ("mul", 7, False), ("mul", 8, True),
                            ("add", 64, True)):
        add("miter", "industrial", f"{kind}{bits}{'s' if sat else 'u'}", (1, 2),
            lambda rng, k=kind, b=bits, s=sat: miter_instance(k, b, s, rng))
    for jobs, slots in ((200, 12), (400, 16)):
        add("sched", "industrial", f"{jobs}x{slots}", (1, 2, 3, 4), lambda rng, j=jobs, s=slots: sched(j, s, rng))
    for n, sat in ((600, True), (1000, True), (150, False)):
        add("rand3", "random", f"{n}{'s' if sat else 'u'}", (1, 2, 3, 4), lambda rng, n=n, s=sat: rand3(n, s, rng))
    for n in (200, 250):
        add("rand3t", "random", str(n), (1, 2, 3, 4, 5, 6), lambda rng, n=n: random_ksat(n, 3, 4.26, False, rng))
    for n in (60, 80, 100):
        add("rand5", "random", str(n), (1, 2, 3, 4), lambda rng, n=n: rand5(n, rng))
    return out


def peer_answer(peer, path):
    """The answer of the peer solver command `peer` on `path` (exit code 10 or 20), else None."""
    import shlex
    import subprocess
    code = subprocess.run(shlex.split(peer) + [path], stdout=subprocess.DEVNULL).returncode
    return {10: "SAT", 20: "UNSAT"}.get(code)


def main(argv):
    peer = None
    if len(argv) == 3 and argv[0] == "--peer":
        peer, argv = argv[1], argv[2:]
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    out = argv[0]
    os.makedirs(os.path.join(out, "cnf"), exist_ok=True)
    rows = ["file\tfamily\tkind\tsize\tseed\tpart\tvars\tclauses\texpected"]
    for family, kind, label, seed, build in recipes():
        rng = random.Random(f"{family}/{label}/{seed}")
        cnf, expected = build(rng)
        name = f"{family}-{label}-{seed}.cnf"
        with open(os.path.join(out, "cnf", name), "w") as f:
            f.write(cnf.text(f"{family} {label} seed {seed}: {expected or 'answer unknown'}"))
        if expected is None and peer:
            expected = peer_answer(peer, os.path.join(out, "cnf", name))
        part = "heldout" if seed % 2 else "tune"
        rows.append(f"{name}\t{family}\t{kind}\t{label}\t{seed}\t{part}\t{cnf.nvars}\t{len(cnf.clauses)}\t{expected or ''}")
    with open(os.path.join(out, "MANIFEST.tsv"), "w") as f:
        f.write("\n".join(rows) + "\n")
    print(f"{out}: {len(rows) - 1} instances", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
