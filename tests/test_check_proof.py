# check_proof: soundness first, then the exact verdicts and counters, the
# argument errors, and the interpreter lock released during a check.
# Formulas and proofs are written in DIMACS here (D()/F()/P() turn them into
# internal literals); oracles.py has brute force and a DRAT checker.
import gzip
import lzma
import os
import random
from collections import UserList as Steps, namedtuple

import pytest

import quillon_native as qn
from oracles import Db, brute_force, random_cnf, solver, stamps_during, steps_of

REFUTED = "input formula is refuted by unit propagation alone"
DERIVED = "empty clause derived and every step verified"
NO_EMPTY = "every step verified, but the proof never derives the empty clause"
NOT_RUP = "clause is not RUP (RAT checking disabled)"
NOT_RAT = "clause is neither RUP nor RAT with respect to the clauses available at this point"


def D(d):
    return 2 * (abs(d) - 1) + (d < 0)


def F(*clauses):
    return [[D(d) for d in c] for c in clauses]


def P(*steps):
    # Steps as ("a"|"d", dimacs...) tuples -> (is_deletion, internal lits).
    return [(s[0] == "d", [D(d) for d in s[1:]]) for s in steps]


def check(nvars, clauses, steps, **kw):
    v = qn.check_proof(nvars, clauses, steps, **kw)
    assert [type(x) for x in v] == [bool, str, int, int, int, int, int, int, int, bool] and type(v) is tuple
    return v


# The formula of all four binary clauses over x1, x2: unsatisfiable, but
# unit propagation alone does not see it.
SQUARE = F([1, 2], [-1, 2], [1, -2], [-1, -2])


# ---------------------------------------------------------------------------
# Soundness: refutations of satisfiable formulas are rejected.

@pytest.mark.parametrize("check_rat", [True, False])
@pytest.mark.parametrize("name, nvars, clauses, steps, fail_at", [
    # Deleting the clause that propagated ~x1 at top level, then claiming x1.
    ("reason deletion", 2, F([-2], [2, -1]), P(("d", 2, -1), ("a", 1), ("a",)), 2),
    # A two-literal deletion whose key is the unit [x1].
    ("unit by repeated literal", 1, F([1]), P(("d", 1, 1), ("a", -1), ("a",)), 2),
    # Reason of a propagated literal (x1 unit, x1 -> x2), then RAT on ~x2.
    ("propagation reason", 2, F([1], [-1, 2]), P(("d", -1, 2), ("a", -2), ("a",)), 2),
    # The same reason deleted with its literals repeated and reordered.
    ("repeated reason deletion", 2, F([1], [-1, 2]), P(("d", 2, -1, 2), ("a", -2), ("a",)), 2),
    # A lemma as reason: [x3] makes x3 true, the lemma [-3, 1] then x1;
    # with it and the other clauses on x1 gone, [-1] would be RAT.
    ("lemma reason", 3, F([3], [-3, 1, 2], [-3, 1, -2]),
     P(("a", -3, 1), ("d", -3, 1), ("d", -3, 1, 2), ("d", -3, 1, -2), ("a", -1), ("a",)), 5),
])
def test_sat_formula_refutations_rejected(name, nvars, clauses, steps, fail_at, check_rat):
    assert brute_force(nvars, clauses) is not None
    v = check(nvars, clauses, steps, check_rat=check_rat)
    assert v[0] is False and v[9] is False
    assert v[8] == fail_at and v[2] == fail_at
    assert v[1] == (NOT_RAT if check_rat else NOT_RUP)


# ---------------------------------------------------------------------------
# The exact cases: verdicts, messages, counters.  An expected tuple shorter
# than ten items pins only that prefix of the verdict.

RAT_CANDIDATES = F([-4, 2], [-4, -1, 3], [1, 2], [1, 5])
TWO_COPIES = F([1, 2], [-1, 2], [1, -2], [-1, -2], [2, 1])
BIG = 2 * 5000 + 1

EXACT = {
    "empty proof": (2, SQUARE, [], {}, (False, NO_EMPTY, 0, 0, 0, 0, 0, 0, -1, False)),
    # Steps after the empty clause are neither counted nor looked at.
    "steps after the empty clause": (2, SQUARE, P(("a", 1), ("a",), ("a", 3), ("d", 1, 2), ("a",)), {},
                                     (True, DERIVED, 2, 2, 0, 0, 0, 0, -1, True)),
    "bad step after the empty clause": (2, SQUARE, P(("a", 1), ("a",), ("a", -1, -2, 7)), {}, (True, DERIVED, 2)),
    # [x3]: RAT candidates are the clauses with ~x3, resolvent [3, 1] not RUP.
    "neither RUP nor RAT": (3, F([1, 2], [-3, 1]), P(("a", 3), ("a",)), {},
                            (False, NOT_RAT, 1, 0, 0, 0, 0, 1, 1, False)),
    "not RUP": (3, F([1, 2], [-3, 1]), P(("a", 3), ("a",)), {"check_rat": False},
                (False, NOT_RUP, 1, 0, 0, 0, 0, 0, 1, False)),
    "empty clause not RUP": (2, SQUARE, P(("a",)), {"check_rat": True}, (False, NOT_RAT, 1, 0, 0, 0, 0, 0, 1, False)),
    # ~x3 occurs nowhere: [x3, x1] is RAT with no resolvent to check.
    "RAT without candidates": (3, F([1, 2], [-1, 2]), P(("a", 3, 1)), {},
                               (False, NO_EMPTY, 1, 0, 1, 0, 0, 0, -1, False)),
    "no RAT without candidates": (3, F([1, 2], [-1, 2]), P(("a", 3, 1)), {"check_rat": False}, (False, NOT_RUP)),
    # Extended resolution: x3 -> x1, then [x3, ~x1, ~x2] on pivot x3, whose
    # only candidate [~x3, x1] gives a tautology.
    "tautological resolvent": (3, F([1, 2], [-1, 2]), P(("a", -3, 1), ("a", 3, -1, -2)), {},
                               (False, NO_EMPTY, 2, 0, 2, 0, 0, 0, -1, False)),
    # [x4, x1] on pivot x4: candidates [-4, 2] and [-4, -1, 3] (tautological).
    "resolvent checked": (5, RAT_CANDIDATES, P(("a", 4, 1)), {}, (False, NO_EMPTY, 1, 0, 1, 0, 0, 1, -1, False)),
    # Remove [1, 2]: the resolvent [4, 1, 2] is no longer RUP.
    "resolvent fails": (5, RAT_CANDIDATES, P(("d", 1, 2), ("a", 4, 1)), {},
                        (False, NOT_RAT, 2, 0, 0, 1, 0, 1, 2, False)),
    # x1 true at top level; the lemma [-1, 2] (false literal first) must
    # still propagate x2, which [-2, 4] and [-2, -4] refute.
    "lemma with a false literal first": (4, F([1], [2, 3], [2, -3], [-2, 4], [-2, -4]), P(("a", -1, 2), ("a",)),
                                         {"check_rat": False}, (True, DERIVED, 2, 2, 0, 0, 0, 0, -1, True)),
    "satisfied lemma and tautologies": (3, F([1], [2, 3]), P(("a", 1, -2), ("a", 2, -2), ("a", -3, 3, -3)), {},
                                        (False, NO_EMPTY, 3, 3, 0, 0, 0, 0, -1, False)),
    # [-1, 2] is no top-level reason (x1 unassigned): its deletion applies
    # and the clause is gone for later RUP checks.
    "probe reason deleted": (3, F([-1, 2], [-2, 3], [1, 3]), P(("a", 3), ("d", -1, 2), ("a", -1, 2)),
                             {"check_rat": False}, (False, NOT_RUP, 3, 1, 0, 1, 0, 0, 3, False)),
    # x1 unit; [-1, 2] propagates x2: its deletion is skipped, while deleting
    # a clause that is no reason applies.
    "reason deletion skipped": (3, F([1], [-1, 2], [-1, 3, 2]), P(("d", -1, 2), ("d", 2, 3, -1), ("d", 1)), {},
                                (False, NO_EMPTY, 3, 0, 0, 1, 2, 0, -1, False)),
    # Two literals true at the top level: not unit, the deletion applies.
    "satisfied twice": (3, F([1], [2], [3], [1, 2, -3]), P(("d", 2, 1, -3), ("a", -1)), {"check_rat": False},
                        (False, NOT_RUP, 2, 0, 0, 1, 0, 0, 2, False)),
    # [3] refutes the clause set (x5 and ~x5); deletions still apply after
    # that, whatever the cut-short assignment holds.
    "deletion once inconsistent": (5, F([1], [-1, 2], [3, 4], [3, -4], [-3, 5], [-3, -5]),
                                   P(("a", 3), ("d", -1, 2), ("d", 3, 4), ("a",)), {},
                                   (True, DERIVED, 4, 2, 0, 2, 0, 0, -1, True)),
    # The unit lemma [-10] refutes the clause set.  Propagation meets the
    # conflict either after [2, 8, -18] has made x2 true (a reason) or,
    # visiting clauses in another order, before: the deletion applies
    # either way, like any deletion once the set is refuted.
    "deletion once a unit lemma refutes": (
        18, F([-14, -1, -9], [10, -8], [-16, -18, -3], [14, -9, 6], [5, -7, 2], [-2, -6, 15], [-7, 14, -5],
              [16, 15, -13], [3, -18, 9], [18, 10, -1], [-7, 9], [-15, -13, 17], [13, 8, -1], [2, 8, -18],
              [8, -17, 8], [-1, 7, -10], [-2, 12, 17], [-17, -15, -9], [-2, 5, -12], [1, 1, 1]),
        P(("a", -10), ("d", 8, -18, 2)), {}, (False, NO_EMPTY, 2, 1, 0, 1, 0, 0, -1, False)),
    # [x1, x1] is the unit x1: propagation alone refutes the formula.
    "repeated literal input unit": (4, F([1, 1], [-1, 2], [-1, -2]), [], {"check_rat": False},
                                    (True, REFUTED, 0, 0, 0, 0, 0, 0, -1, True)),
    "repeated literal lemma unit": (4, F([1, 2, 1], [1, -2], [-1, 3], [-1, -3]), P(("a", 1, 1), ("a",)),
                                    {"check_rat": False}, (True, DERIVED, 2, 2, 0, 0, 0, 0, -1, True)),
    # A deletion with a repeated literal deletes the clause it names.
    "repeated literal deletion": (4, F([1, 2], [1, 2, 3], [-3, 4]), P(("d", 2, 1, 2), ("a", 1, 2)),
                                  {"check_rat": False}, (False, NOT_RUP, 2, 0, 0, 1, 0, 0, 2, False)),
    "deletions applied": (2, SQUARE, P(("d", -1, 2), ("d", 1, 2), ("a", 2), ("a",)), {}, (False, NOT_RAT)),
    "deletions not applied": (2, SQUARE, P(("d", -1, 2), ("d", 1, 2), ("a", 2), ("a",)), {"apply_deletions": False},
                              (True, DERIVED, 4, 2, 0, 0, 0, 0, -1, True)),
    # Deleting one of two copies leaves the other usable; deleting both
    # removes it; a lemma copy counts as a copy too.
    "one of two copies deleted": (2, TWO_COPIES, P(("d", 1, 2), ("a", 1), ("a",)), {},
                                  (True, DERIVED, 3, 2, 0, 1, 0)),
    "both copies deleted": (2, TWO_COPIES, P(("d", 1, 2), ("d", 2, 1), ("a", 1)), {"check_rat": False},
                            (False, NOT_RUP, 3, 0, 0, 2, 0, 0, 3, False)),
    "lemma copy": (2, SQUARE, P(("a", 1, 2), ("d", 1, 2), ("d", 1, 2), ("d", 2, 1), ("a", 1)), {"check_rat": False},
                   (False, NOT_RUP, 5, 1, 0, 2, 1, 0, 5, False)),
    # Literals beyond nvars grow the checker.
    "literals beyond nvars": (0, [[BIG, 0], [BIG ^ 1, 0], [BIG, 1], [BIG ^ 1, 1]], [(False, [0]), (False, [])], {},
                              (True, DERIVED, 2, 2, 0, 0, 0, 0, -1, True)),
    "lemma beyond nvars": (0, [], [(False, [BIG]), (True, [BIG, 4]), (False, [])], {"check_rat": True},
                           (False, NOT_RAT, 3)),
}


@pytest.mark.parametrize("nvars, clauses, steps, kw, expected", EXACT.values(), ids=EXACT.keys())
def test_exact_verdicts(nvars, clauses, steps, kw, expected):
    assert check(nvars, clauses, steps, **kw)[:len(expected)] == expected


@pytest.mark.parametrize("clauses", [F([1, 2], []), F([1], [2], [-1]), F([1], [-1, 2], [-2, 3], [-3, -1])])
@pytest.mark.parametrize("steps", [[], P(("a", 5)), P(("d", 1, 2), ("a",))])
def test_refuted_input_ignores_the_proof(clauses, steps):
    assert check(3, clauses, steps) == (True, REFUTED, 0, 0, 0, 0, 0, 0, -1, True)


@pytest.mark.parametrize("steps, applied, skipped", [
    (P(("d", 1)), 0, 1),                 # unit deletion
    (P(("d",)), 0, 1),                   # empty deletion
    (P(("d", 1, 3)), 0, 1),              # never added
    (P(("d", 1, 7)), 0, 1),              # beyond nvars, never added
    (P(("d", 2, 1)), 1, 0),              # order does not matter
    (P(("d", 1, 2), ("d", 1, 2)), 1, 1),  # only one copy
    (P(("d", -1, -2, 3), ("d", 1, 2), ("d", 4)), 2, 1),
])
def test_deletion_counters(steps, applied, skipped):
    clauses = F([1, 2], [-1, -2, 3])
    assert check(4, clauses, steps) == (False, NO_EMPTY, len(steps), 0, 0, applied, skipped, 0, -1, False)
    # Without applying deletions, only the skipped unit and empty ones count.
    units = sum(1 for d, lits in steps if len(set(lits)) <= 1)
    v = check(4, clauses, steps, apply_deletions=False)
    assert v == (False, NO_EMPTY, len(steps), 0, 0, 0, units, 0, -1, False)
def test_long_proofs_with_many_deletions_keep_copies_and_reasons():
    # Thousands of long lemmas added and deleted (so deleted clauses come to
    # dominate the store), with a reason and two copies of a clause kept
    # across all of it.
    width = 40
    clauses = F([1, 2], [-1, 2], [1, -2], [-1, -2], [5], [-5, 6], [3, 4], [3, 4], [-5, 7, 8], [-5, 7, -8])
    steps = []
    for i in range(6000):
        steps.append((False, [0, 2] + [2 * (10 + (i + k) % 50) + (k & 1) for k in range(width)]))
        if i % 3:
            steps.append((True, list(reversed(steps[-1][1]))))
        if i == 300:
            steps += P(("a", -5, 7))  # unit under x5: the reason of x7
    adds = 6001
    dels = len(steps) - adds
    tail = P(("d", -5, 6), ("d", 3, 4), ("a", 3, 4), ("d", 4, 3), ("d", 3, 4), ("d", 3, 4), ("d", 7, -5))
    v = check(60, clauses, steps + tail + P(("a", 1), ("a",)))
    # The reasons [-5, 6] and [-5, 7] and the missing fourth copy of [3, 4]
    # are skipped.
    assert v == (True, DERIVED, len(steps) + 9, adds + 3, 0, dels + 3, 3, 0, -1, True)
    for unit in (-6, -7):
        v = check(60, clauses, steps + tail + P(("a", unit)), check_rat=False)
        assert v == (False, NOT_RUP, len(steps) + 8, adds + 1, 0, dels + 3, 3, 0, len(steps) + 8, False)
    # Every lemma still present is found by its key after all of that, once.
    kept = [lits for i, (d, lits) in enumerate(steps)
            if not d and len(lits) > 2 and not (i + 1 < len(steps) and steps[i + 1][0])]
    gone = [(True, lits[::-1]) for lits in kept]
    v = check(60, clauses, steps + gone + gone)
    n = len(steps) + 2 * len(kept)
    assert v == (False, NO_EMPTY, n, adds, 0, dels + len(kept), len(kept), 0, -1, False)


@pytest.mark.parametrize("fillers", [0, 3000])
def test_deletion_takes_one_copy_at_a_time_as_the_index_grows(fillers):
    # Two copies of [3, 4] (unassigned) with thousands of clauses between:
    # each deletion takes one, the third finds none.  [-1, 2] is unit at the
    # top level (x1, x2 true), and so is its copy: neither is ever deleted.
    chain = [(False, [2 * i + 8, 2 * i + 10]) for i in range(fillers)]  # RAT, fresh pivots
    formula = F([1], [-1, 2], [3, 4])
    steps = chain + P(("a", 4, 3), ("a", 2, -1)) + chain + P(("d", 3, 4), ("d", -1, 2), ("d", 4, 3), ("d", 2, -1),
                                                            ("d", 3, 4))
    v = check(4, formula, steps)
    # The first chain is RAT, its copy RUP.
    assert v == (False, NO_EMPTY, len(steps), 2 + fillers, fillers, 2, 3, 0, -1, False)
    # Every copy of the chain is found once.
    v = check(4, formula, steps + [(True, lits[::-1]) for _, lits in chain] * 3)
    assert v == (False, NO_EMPTY, len(steps) + 3 * fillers, 2 + fillers, fillers, 2 + 2 * fillers, 3 + fillers,
                 0, -1, False)


# A deletion is skipped when its clause is unit under the top-level
# assignment (one literal true, the others false).  The rule before it
# skipped only the clause that had assigned a top-level literal, so that
# its counts hung on the order propagation visited clauses in; the clauses
# the new rule keeps besides are satisfied for good, and no verdict, RUP or
# RAT count changes.  The last column holds the counts of the old rule
# (deletions applied, skipped).
RULE_CHANGE = {
    # x2 comes from the unit [2]: [-1, 2] assigned nothing.
    "unit made by other units": (F([1], [2], [-1, 2]), P(("d", -1, 2), ("a", -2)), (0, 1), (1, 0)),
    # x1 propagates x2 through [-1, 2] first: [-3, 2] agrees too late.
    "second clause for one literal": (F([1], [-1, 2], [-1, 3], [-3, 2]), P(("d", -3, 2), ("d", -1, 2), ("a", -2)),
                                      (0, 2), (1, 1)),
    # A copy of a clause that assigned x2 assigned nothing.
    "copy of a reason": (F([1], [-1, 2]), P(("a", 2, -1), ("d", -1, 2), ("d", 2, -1), ("a", -2)), (0, 2), (1, 1)),
    # x2 is true at the top level from a unit lemma: [2, -3, -1] is unit.
    "unit lemma": (F([1], [3], [-1, 2, 4], [-1, 2, -4], [2, -3, -1]), P(("a", 2), ("d", -1, -3, 2), ("a", -2)),
                   (0, 1), (1, 0)),
}


@pytest.mark.parametrize("clauses, steps, counts, old", RULE_CHANGE.values(), ids=RULE_CHANGE.keys())
def test_deletions_skipped_when_unit_at_the_top_level(clauses, steps, counts, old):
    # The last step claims ~x2: refuted either way, at that step.
    rup = sum(1 for d, lits in steps[:-1] if not d)
    for check_rat in (True, False):
        v = check(4, clauses, steps, check_rat=check_rat)
        assert v == (False, NOT_RAT if check_rat else NOT_RUP, len(steps), rup, 0, *counts,
                     int(check_rat) * v[7], len(steps), False)
        assert counts != old


@pytest.mark.parametrize("binary", [False, True])
def test_deletions_deep_in_long_watch_lists(binary):
    # 12,000 clauses [x1, (x2,) y_i] share their first watched literal;
    # they go in a random order, so most are found deep inside the list,
    # and the store is compacted on the way.  Each clause alone makes the
    # query [x1, (x2,) y_1, ..., y_n] RUP: it holds until the last one goes.
    n = 12_000
    rng = random.Random(7)
    head = [0] if binary else [0, 2]
    clauses = [head + [2 * (i + 2)] for i in range(n)]
    query = head + [2 * (i + 2) for i in range(n)]
    gone = [(True, c[::-1]) for c in rng.sample(clauses, n)]
    steps = gone[:-1] + [(False, query)] + gone[-1:] + [(True, query), (False, query)]
    v = check(n + 2, clauses, steps, check_rat=False)
    assert v == (False, NOT_RUP, n + 3, 1, 0, n + 1, 0, 0, n + 3, False)


# ---------------------------------------------------------------------------
# Every counter against a plain model of the rules, over solver proofs with
# deletions, made-up lemmas and RAT steps mixed in.

def model_check(nvars, clauses, steps, check_rat=True, apply_deletions=True):
    # The verdict tuple by full scans: `top` is the top-level assignment
    # (literals true), closed under unit propagation after every addition.
    db = [list(dict.fromkeys(c)) for c in clauses]

    def closure(true):
        true = set(true)
        while True:
            new = set()
            for c in db:
                if any(lit in true for lit in c):
                    continue
                free = [lit for lit in c if lit ^ 1 not in true]
                if not free:
                    return None
                if len(free) == 1:
                    new.add(free[0])
            if not new:
                return true
            if any(lit ^ 1 in new or lit ^ 1 in true for lit in new):
                return None
            true |= new

    def rup(lits):
        if top is None:
            return True
        assumed = top | {lit ^ 1 for lit in lits}
        return any(lit ^ 1 in assumed for lit in assumed) or closure(assumed) is None

    top = closure(set())
    if top is None:
        return (True, REFUTED, 0, 0, 0, 0, 0, 0, -1, True)
    n = [0] * 6  # steps, rup, rat, applied, skipped, resolvents
    for deletion, lits in steps:
        n[0] += 1
        lits = list(dict.fromkeys(lits))
        if deletion:
            if len(lits) < 2:
                n[4] += 1
            elif apply_deletions:
                copies = [i for i, c in enumerate(db) if sorted(c) == sorted(lits)]
                unit = top is not None and sum(lit in top for lit in lits) == 1 and all(
                    lit in top or lit ^ 1 in top for lit in lits)
                if not copies or unit:
                    n[4] += 1
                else:
                    del db[copies[-1]]
                    n[3] += 1
            continue
        ok = rup(lits)
        if ok:
            n[1] += 1
        elif check_rat and lits:
            ok = True
            for d in [c for c in db if lits[0] ^ 1 in c]:
                rest = [q for q in d if q != lits[0] ^ 1]
                if any(q ^ 1 in lits for q in rest):
                    continue
                n[5] += 1
                if not rup(lits + [q for q in rest if q not in lits]):
                    ok = False
                    break
            n[2] += ok
        if not ok:
            return (False, NOT_RAT if check_rat else NOT_RUP, *n, n[0], False)
        if not lits:
            return (True, DERIVED, *n, -1, True)
        db.append(lits)
        if top is not None:
            top = closure(top)
    return (False, NO_EMPTY, *n, -1, False)


def salted_proof(rng, nvars, clauses, steps):
    # Deletions of present clauses (many of them unit at the top level),
    # extension definitions on fresh variables (RAT), lemmas reordered
    # (another pivot) and made-up ones, spread over the proof.
    out, fresh = [], nvars
    for deletion, lits in steps:
        r = rng.random()
        if r < 0.25 and out:
            pool = clauses + [c for d, c in out if not d]
            out.append((True, list(rng.choice(pool))[::-1]))
        elif r < 0.3:
            a, b = rng.sample(range(2 * nvars), 2)
            out += [(False, [2 * fresh, a, b]), (False, [2 * fresh + 1, a ^ 1]), (False, [2 * fresh + 1, b ^ 1])]
            fresh += 1
        elif r < 0.35:
            out.append((False, [2 * rng.randrange(fresh) + rng.randrange(2) for _ in range(rng.randint(1, 3))]))
        if not deletion and r > 0.9:
            lits = rng.sample(lits, len(lits))
        out.append((deletion, list(lits)))
    return fresh, out


def salted_refutations(rng, count):
    """`count` small unsatisfiable formulas, each with the solver's proof
    salted by salted_proof: (index, nvars, clauses, steps)."""
    seen = 0
    while seen < count:
        nv = rng.randint(8, 12)
        clauses = random_cnf(rng, nv, rng.randint(4 * nv, 5 * nv), 3, 3) + random_cnf(rng, nv, nv // 2, 2, 2)
        s = solver(nv, clauses, proof=True)
        if s.solve() is not False:
            continue
        yield (seen, clauses) + salted_proof(rng, nv, clauses, steps_of(s.proof_steps()))
        seen += 1


def test_every_counter_matches_the_model():
    for _, clauses, nvars, steps in salted_refutations(random.Random(2024), 100):
        for kw in ({}, {"check_rat": False}, {"apply_deletions": False}):
            assert check(nvars, clauses, steps, **kw) == model_check(nvars, clauses, steps, **kw), (clauses, steps, kw)


# Clause widths drawn for planted_check: every kind of watch list (two,
# three, 4-8, 9-24 and more literals).
WIDTHS = [2, 2, 3, 3, 3, 4, 6, 8, 9, 14, 24, 25, 32]


def planted_check(rng):
    """A small formula and a proof that keep top-level propagation busy:
    (nvars, clauses, steps).  The formula plants a derivation: each planted
    literal past the first few (the roots) follows from earlier ones by a
    clause of any width, so that one root made true, by a unit of the
    formula (some written twice) or by a unit lemma (which two clauses,
    hidden from propagation, make RUP once another planted literal holds),
    assigns literals through every kind of watch list in turn.  Some derivation clauses repeat a literal or are
    tautologies; a few clauses refute the derivation.  The proof mixes the
    solver's lemmas with deletions of present clauses (reasons among them,
    some with a literal repeated), short lemmas (roots often) kept when RUP
    or RAT and now and then when neither, weakenings of present clauses and
    definitions of fresh variables."""
    nv = rng.randint(6, 40)
    p = [2 * v + rng.randrange(2) for v in rng.sample(range(nv), nv)]  # the planted literals, in order
    roots = max(1, nv // 8)
    clauses = []
    for i in range(roots, nv):
        c = [p[i]] + [p[j] ^ 1 for j in rng.sample(range(i), min(i + 1, rng.choice(WIDTHS)) - 1)]
        if rng.random() < 0.08:
            c.append(c[0] ^ (rng.random() < 0.4))
        clauses.append(rng.sample(c, len(c)))
    for r in range(roots):
        if rng.random() < 0.3:
            clauses.append([p[r]] * rng.randint(1, 2))
        else:
            q = p[rng.randrange(roots, nv)]
            clauses += [[p[r], q], [p[r], q ^ 1, p[rng.randrange(nv)] ^ 1]]
    for _ in range(rng.randint(0, 3)):
        clauses.append([p[j] ^ 1 for j in rng.sample(range(nv), min(nv, rng.choice(WIDTHS)))])
    rng.shuffle(clauses)
    s = solver(nv, clauses, proof=True)
    s.solve()
    lemmas = steps_of(s.proof_steps())
    db = Db(clauses)
    steps = []

    def add(c):
        steps.append((False, c))
        db.clauses.append(list(dict.fromkeys(c)))

    for _ in range(rng.randint(5, 60)):
        r = rng.random()
        if r < 0.35 and db.clauses:
            c = list(rng.choice(db.clauses))
            rng.shuffle(c)
            steps.append((True, c + c[:1] if rng.random() < 0.1 else c))
            db.delete(c)
        elif r < 0.55:
            c = [rng.choice(p[:roots]) if rng.random() < 0.3 else 2 * rng.randrange(nv) + rng.randrange(2)
                 for _ in range(rng.randint(1, 2))]
            if db.is_rup(c) or db.is_rat(c) or rng.random() < 0.1:
                add(c)
        elif r < 0.65 and db.clauses:
            c = rng.choice(db.clauses) + [2 * rng.randrange(nv + 3) + rng.randrange(2)]
            add(rng.sample(c, len(c)))
        elif r < 0.7:
            add([2 * (nv + rng.randrange(3)), 2 * rng.randrange(nv) + rng.randrange(2)])
        elif lemmas:
            deletion, c = lemmas.pop(0)
            if deletion:
                steps.append((True, c))
                db.delete(c)
            else:
                add(c)
    return nv, clauses, steps + lemmas


def test_every_counter_matches_the_model_on_planted_formulas(request):
    slow = request.config.getoption("--slow") or os.environ.get("QUILLON_SLOW")
    rng = random.Random(31)
    seen = [0] * 8  # the counters, refutations checked, failing steps
    for _ in range(5000 if slow else 250):
        nvars, clauses, steps = planted_check(rng)
        for kw in ({}, {"check_rat": False}, {"apply_deletions": False}):
            v = check(nvars, clauses, steps, **kw)
            assert v == model_check(nvars, clauses, steps, **kw), (clauses, steps, kw)
            seen = [a + b for a, b in zip(seen, [*v[2:8], v[0], v[8] > 0])]
    assert all(seen), seen


def test_a_fresh_variable_per_step():
    # Extended-resolution style: each step defines a new variable (RAT, no
    # candidates), then the last ones are combined.
    n = 100_000
    steps = [(False, [2 * (i + 2)]) for i in range(n)] + P(("a", 1), ("a",))
    assert check(2, SQUARE, steps) == (True, DERIVED, n + 2, 2, n, 0, 0, 0, -1, True)


# ---------------------------------------------------------------------------
# Arguments.


def test_other_sequences_and_index_objects_accepted():
    # UserList: a Sequence that is neither list nor tuple.
    Lit = type("Lit", (), {"__init__": lambda self, v: setattr(self, "v", v), "__index__": lambda self: self.v})
    Step = namedtuple("Step", "is_deletion lits")
    clauses = (range(0, 4, 2), (Lit(1), 2), [0, Lit(3)], Steps([1, 3]))
    steps = Steps([Step(False, (Lit(0),)), (False, range(0))])
    assert check(2, clauses, steps) == (True, DERIVED, 2, 2, 0, 0, 0, 0, -1, True)

# ---------------------------------------------------------------------------
# The interpreter lock is released during the check.

def test_other_threads_run_during_a_long_check():
    # An implication chain x0 -> x1 -> ... -> xn; each lemma [-x0, xn] is
    # RUP only through the whole chain, and is deleted again at once.
    n = 20_000
    clauses = [[2 * i + 1, 2 * (i + 1)] for i in range(n)]
    steps = [(i % 2 == 1, [1, 2 * n]) for i in range(2 * 400)]
    elapsed, result, stamps = stamps_during(lambda: qn.check_proof(n + 1, clauses, steps))
    assert result[:7] == (False, NO_EMPTY, 800, 400, 0, 400, 0)
    assert elapsed > 0.05 and len(stamps) >= 10


# ---------------------------------------------------------------------------
# The command line's check reads both files in blocks and checks each step
# as it is read (natively, no step kept): every counter, the failing step
# and the answer agree with check_proof on the same steps, in every proof
# format, at any block size.

def write_proof(path, steps, binary, compress):
    from quillon_native_cli.proofs import ProofWriter
    opener = {"gz": gzip.open, "xz": lzma.open, "": open}[compress]
    with opener(path, "wb") as fh:
        ProofWriter(fh, binary).write([(d, [qn.to_dimacs(x) for x in lits]) for d, lits in steps])


def command_check(capsys, *args):
    from quillon_native_cli.main import main
    rc = main([str(a) for a in ("check", *args)])
    out = capsys.readouterr().out.splitlines()
    counts = {line[2:22].strip(): int(line[22:]) for line in out if line[2:22].strip() in LABELS}
    failing = [line for line in out if line.startswith("c failing step ")]
    return rc, [counts[k] for k in LABELS], failing, out


LABELS = ["steps checked", "RUP additions", "RAT additions", "deletions applied", "deletions skipped",
          "RAT resolvents"]


def test_command_line_check_matches_check_proof(tmp_path, capsys, monkeypatch):
    from quillon_native_cli import dimacs
    rng = random.Random(5)
    for seen, clauses, nvars, steps in salted_refutations(rng, 40):
        seen += 1
        cnf, proof = tmp_path / "f.cnf", tmp_path / "p"
        cnf.write_text(f"p cnf {nvars} {len(clauses)}\n" + "".join(
            " ".join(str(qn.to_dimacs(x)) for x in c) + " 0\n" for c in clauses))
        write_proof(proof, steps, binary=seen % 2 == 1, compress=["", "gz", "xz"][seen % 3])
        monkeypatch.setattr(dimacs.Tokens, "block", rng.choice([3, 16, 1 << 16]))
        flags = rng.choice([[], ["--no-rat"], ["--ignore-deletions"]])
        v = qn.check_proof(nvars, clauses, steps, "--no-rat" not in flags, "--ignore-deletions" not in flags)
        rc, counts, failing, out = command_check(capsys, cnf, proof, *flags)
        assert rc == (0 if v[0] else 1) and f"c {v[1]}" in out and f"c {proof}: {len(steps)} steps " + (
            "(binary)" if seen % 2 else "(text)") + ", read while checked" in out
        assert counts == [v[2], v[3], v[4], v[5], v[6], v[7]]
        lits = " ".join(str(qn.to_dimacs(x)) for x in dict.fromkeys(steps[v[8] - 1][1])) if v[8] > 0 else None
        assert failing == ([] if v[8] < 0 else [f"c failing step {v[8]}: " + (lits + " 0" if lits else "0")])


def test_command_line_check_reads_the_whole_proof(tmp_path, capsys):
    # The verdict is decided at the empty clause (or the formula alone), but
    # the steps after it are read and counted (a malformed one is an input
    # error: a row of test_faults.py).
    cnf = tmp_path / "f.cnf"
    cnf.write_text("p cnf 2 4\n1 2 0\n-1 2 0\n1 -2 0\n-1 -2 0\n")
    (tmp_path / "p").write_text("1 0\n0\n1 2 3 0\n")
    rc, counts, _, out = command_check(capsys, cnf, tmp_path / "p")
    assert rc == 0 and counts[:2] == [2, 2] and f"c {tmp_path / 'p'}: 3 steps (text), read while checked" in out
