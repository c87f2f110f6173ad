# Independent oracles and builders shared by the tests: random formulas,
# brute force, model checks and a small forward DRAT checker in plain Python.
# Literals are internal (2 * var + negated) unless a name says DIMACS.
import itertools
import random
import threading
import time

import quillon_native as qn

# Every Solver option with its default, in the order solve_portfolio reads them.
DEFAULTS = dict(restart="luby", ccmin="deep", phase_saving=True, init_phase=False, target_phase=True,
                target_reset=0, walk_flips=20000, walk_interval=1, walk_patience=3, walk_min_conflicts=5000,
                var_decay=0.8, var_decay_max=0.95, cla_decay=0.999, luby_base=100.0, first_reduce=2000,
                reduce_inc=300, glue_keep=2, block_restart=True, rnd_freq=0.0, rnd_seed=91648253)


def internal(d):
    return 2 * (abs(d) - 1) + (1 if d < 0 else 0)


def steps_of(proof):
    # proof_steps() output, ("a"/"d", DIMACS) pairs, as check_proof steps.
    return [(kind == "d", [internal(d) for d in lits]) for kind, lits in proof]


def dimacs(clauses):
    return [[(lit >> 1) + 1 if lit % 2 == 0 else -((lit >> 1) + 1) for lit in c] for c in clauses]


def write_cnf(path, nvars, clauses):
    # A DIMACS file of internal-literal clauses.
    path.write_text(f"p cnf {nvars} {len(clauses)}\n" + "".join(" ".join(map(str, c)) + " 0\n" for c in dimacs(clauses)))
    return path


def random_cnf(rng, nvars, nclauses, min_len=1, max_len=3):
    # Clauses over internal literals; may contain duplicates and tautologies.
    return [[2 * rng.randrange(nvars) + rng.randrange(2) for _ in range(rng.randint(min_len, max_len))]
            for _ in range(nclauses)]


def random_3sat(seed, nvars, ratio=4.26):
    rng = random.Random(seed)
    return [[2 * v + rng.randrange(2) for v in rng.sample(range(nvars), 3)] for _ in range(int(nvars * ratio))]


def pigeonhole(holes):
    # (nvars, clauses): holes + 1 pigeons into `holes` holes, unsatisfiable
    # and hard for CDCL as it grows.
    def x(p, h):
        return 2 * (p * holes + h)
    clauses = [[x(p, h) for h in range(holes)] for p in range(holes + 1)]
    clauses += [[x(p, h) ^ 1, x(q, h) ^ 1]
                for h in range(holes) for p in range(holes + 1) for q in range(p + 1, holes + 1)]
    return (holes + 1) * holes, clauses


def asymmetric_pigeonhole(holes, seed=1):
    # pigeonhole(holes) with four random positive clauses of `holes` literals added: still unsatisfiable
    # and as hard, but without the symmetries that auto breaks before its search.
    nvars, clauses = pigeonhole(holes)
    rng = random.Random(seed)
    return nvars, clauses + [[2 * v for v in rng.sample(range(nvars), holes)] for _ in range(4)]


def num_vars(clauses):
    return max((lit >> 1) + 1 for c in clauses for lit in c) if any(clauses) else 0


def satisfies(model, clauses):
    # True when the bool list `model` makes every clause true.
    return all(any((lit >> 1) < len(model) and model[lit >> 1] != bool(lit & 1) for lit in c) for c in clauses)


def brute_force(nvars, clauses):
    # A model as a list of bools, or None when unsatisfiable (nvars <= ~16).
    for bits in itertools.product((False, True), repeat=nvars):
        if satisfies(bits, clauses):
            return list(bits)
    return None


def models(nvars, clauses):
    return [list(bits) for bits in itertools.product((False, True), repeat=nvars) if satisfies(bits, clauses)]


def compact_brute_force(clauses):
    # Brute force over the variables that occur, however far apart.
    used = sorted({lit >> 1 for c in clauses for lit in c})
    pos = {v: i for i, v in enumerate(used)}
    return brute_force(len(used), [[2 * pos[lit >> 1] + (lit & 1) for lit in c] for c in clauses])


def refutes(clauses, proof, nvars=None):
    # check_proof's verdict that `proof` (proof_steps() pairs or check_proof
    # steps) derives the empty clause from `clauses`.
    steps = steps_of(proof) if proof and isinstance(proof[0][0], str) else proof
    v = qn.check_proof(num_vars(clauses) if nvars is None else nvars, clauses, steps)
    return v[0] is True and v[9] is True


def solver(nvars, clauses, proof=False, **opts):
    s = qn.Solver(nvars, **opts)
    if proof:
        s.enable_proof()
    for c in clauses:
        s.add_clause(c)
    return s


class Db:
    # Tiny clause set with unit propagation by full scans (fine for small inputs).

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
                free = [lit for lit in c if val.get(lit >> 1) is None]
                if any(val.get(lit >> 1) == (not (lit & 1)) for lit in c):
                    continue
                if not free:
                    return True
                if len(free) == 1:
                    val[free[0] >> 1] = not bool(free[0] & 1)
                    changed = True
        return False

    def is_rup(self, clause):
        return self.propagates_to_conflict([lit ^ 1 for lit in clause])

    def is_rat(self, clause):
        if not clause:
            return False
        p, cset = clause[0], set(clause)
        for d in self.clauses:
            if (p ^ 1) not in d or any((q ^ 1) in cset for q in d if q != (p ^ 1)):
                continue
            if not self.is_rup(list(clause) + [q for q in d if q != (p ^ 1) and q not in cset]):
                return False
        return True

    def delete(self, lits):
        key = sorted(lits)
        for i in range(len(self.clauses) - 1, -1, -1):
            if sorted(self.clauses[i]) == key:
                del self.clauses[i]
                return


def drat_accepts(clauses, steps, need_empty=True):
    # Forward DRAT check of `steps` ((is_deletion, internal lits) pairs, or
    # ("a"/"d", DIMACS) pairs) against `clauses`: every addition must be RUP
    # or RAT, and with `need_empty` the empty clause must be derived.  Unit
    # deletions are ignored, as DRAT checkers do.
    db = Db(clauses)
    if need_empty and db.propagates_to_conflict([]):
        return True
    for deletion, lits in (steps_of(steps) if steps and isinstance(steps[0][0], str) else steps):
        lits = list(dict.fromkeys(lits))
        if deletion:
            if len(lits) > 1:
                db.delete(lits)
        elif not (db.is_rup(lits) or db.is_rat(lits)):
            return False
        else:
            db.clauses.append(lits)
            if not lits and need_empty:
                return True
    return not need_empty


def stamps_during(call):
    # Runs `call` while another Python thread notes the time every 1000
    # steps: (seconds taken, result, notes made in the middle 80% of the call).
    # With the interpreter lock held throughout, that thread could only run
    # for a switch interval or so at either end, never in the middle.
    stop, stamps = threading.Event(), []

    def spin():
        n = 0
        while not stop.is_set():
            n += 1
            if n % 1000 == 0:
                stamps.append(time.perf_counter())
    t = threading.Thread(target=spin)
    t.start()
    time.sleep(0.02)
    t0 = time.perf_counter()
    result = call()
    t1 = time.perf_counter()
    stop.set()
    t.join()
    return t1 - t0, result, [x for x in stamps if t0 + 0.1 * (t1 - t0) < x < t1 - 0.1 * (t1 - t0)]
