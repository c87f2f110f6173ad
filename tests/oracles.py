"""Independent oracles shared by the tests: random formulas, brute force,
model checks and a small forward DRAT checker written in plain Python.

Literals are internal (2 * var + negated) unless a name says DIMACS.
"""
import itertools
import random


def dimacs(lit):
    return -((lit >> 1) + 1) if lit & 1 else (lit >> 1) + 1


def internal(d):
    return 2 * (abs(d) - 1) + (1 if d < 0 else 0)


def random_cnf(rng, nvars, nclauses, min_len=1, max_len=3):
    """Clauses over internal literals; may contain duplicates and tautologies."""
    out = []
    for _ in range(nclauses):
        k = rng.randint(min_len, max_len)
        out.append([2 * rng.randrange(nvars) + rng.randrange(2) for _ in range(k)])
    return out


def random_3sat(seed, nvars, ratio=4.26):
    rng = random.Random(seed)
    clauses = []
    for _ in range(int(nvars * ratio)):
        vs = rng.sample(range(nvars), 3)
        clauses.append([2 * v + rng.randrange(2) for v in vs])
    return clauses


def satisfies(model, clauses):
    """True when the bool list `model` makes every clause true."""
    for c in clauses:
        if not any((lit >> 1) < len(model) and model[lit >> 1] != bool(lit & 1) for lit in c):
            return False
    return True


def num_vars(clauses):
    return max((lit >> 1) + 1 for c in clauses for lit in c) if any(clauses) else 0


def brute_force(nvars, clauses):
    """A model as a list of bools, or None when unsatisfiable (nvars <= ~16)."""
    for bits in itertools.product((False, True), repeat=nvars):
        if satisfies(list(bits), clauses):
            return list(bits)
    return None


class _Db:
    """Tiny clause set with unit propagation by full scans (fine for small inputs)."""

    def __init__(self, clauses):
        self.clauses = [list(dict.fromkeys(c)) for c in clauses]

    def propagates_to_conflict(self, assumed):
        val = {}
        for lit in assumed:
            if val.get(lit >> 1, None) == bool(lit & 1):
                return True
            val[lit >> 1] = not bool(lit & 1)
        changed = True
        while changed:
            changed = False
            for c in self.clauses:
                unassigned = []
                sat = False
                for lit in c:
                    v = val.get(lit >> 1)
                    if v is None:
                        unassigned.append(lit)
                    elif v != bool(lit & 1):
                        sat = True
                        break
                if sat:
                    continue
                if not unassigned:
                    return True
                if len(unassigned) == 1:
                    lit = unassigned[0]
                    val[lit >> 1] = not bool(lit & 1)
                    changed = True
        return False

    def is_rup(self, clause):
        return self.propagates_to_conflict([lit ^ 1 for lit in clause])

    def is_rat(self, clause):
        if not clause:
            return False
        p = clause[0]
        cset = set(clause)
        for d in self.clauses:
            if (p ^ 1) not in d:
                continue
            if any((q ^ 1) in cset for q in d if q != (p ^ 1)):
                continue
            res = list(clause) + [q for q in d if q != (p ^ 1) and q not in cset]
            if not self.is_rup(res):
                return False
        return True


def drat_accepts(clauses, steps):
    """Forward DRAT check of `steps` ((is_deletion, internal lits) pairs, or
    ("a"/"d", DIMACS lits) pairs as proof_steps() returns them) against
    `clauses`.  Returns True when every addition is RUP or RAT and the empty
    clause is derived.  Unit deletions are ignored, as DRAT checkers do."""
    db = _Db(clauses)
    if db.propagates_to_conflict([]):
        return True
    for kind, lits in steps:
        if isinstance(kind, str):
            deletion = kind == "d"
            lits = [internal(d) for d in lits]
        else:
            deletion = bool(kind)
        lits = list(dict.fromkeys(lits))
        if deletion:
            if len(lits) <= 1:
                continue
            key = sorted(lits)
            for i in range(len(db.clauses) - 1, -1, -1):
                if sorted(db.clauses[i]) == key:
                    del db.clauses[i]
                    break
            continue
        if not (db.is_rup(lits) or db.is_rat(lits)):
            return False
        db.clauses.append(lits)
        if not lits:
            return True
    return False


def pigeonhole(holes):
    """(nvars, clauses): holes + 1 pigeons into `holes` holes, unsatisfiable
    and hard for CDCL as it grows."""
    def x(p, h):
        return 2 * (p * holes + h)
    clauses = [[x(p, h) for h in range(holes)] for p in range(holes + 1)]
    clauses += [[x(p, h) ^ 1, x(q, h) ^ 1]
                for h in range(holes) for p in range(holes + 1) for q in range(p + 1, holes + 1)]
    return (holes + 1) * holes, clauses
