"""Preprocessor: simplification results, DRAT proofs, model reconstruction,
clauses added between runs, and argument handling."""
import itertools
import os
import random

import pytest

import quillon_native as qn
from oracles import _Db, brute_force, drat_accepts, internal, random_cnf, satisfies


def make(clauses, frozen=(), **kw):
    p = qn.Preprocessor(**kw)
    for c in clauses:
        p.add_clause(c)
    for v in frozen:
        p.freeze(v)
    return p


def steps_valid(clauses, steps):
    """Every addition of `steps` is RUP or RAT at its point (no empty clause
    needed): the proof is a sound derivation even for satisfiable inputs."""
    db = _Db(clauses)
    for kind, lits in steps:
        lits = [internal(d) for d in lits]
        if kind == "d":
            if len(lits) > 1:
                key = sorted(lits)
                idx = next(i for i in range(len(db.clauses) - 1, -1, -1) if sorted(db.clauses[i]) == key)
                del db.clauses[idx]
            continue
        if not (db.is_rup(lits) or db.is_rat(lits)):
            return False
        db.clauses.append(lits)
    return True


def native_check(nvars, clauses, steps):
    """check_proof's verdict on proof_steps() output."""
    return qn.check_proof(nvars, clauses, [(kind == "d", [internal(d) for d in lits]) for kind, lits in steps])


def models(nvars, clauses):
    for bits in itertools.product((False, True), repeat=nvars):
        if satisfies(list(bits), clauses):
            yield list(bits)


# ---------------------------------------------------------------------------
# Surface


def test_fresh_object_and_surface():
    p = qn.Preprocessor(3)
    assert repr(p) == "<native.Preprocessor vars=3 eliminated=0 subsumed=0>"
    assert (p.unsat, p.nvars, p.units, p.subsumed, p.strengthened, p.eliminated_vars, p.resolvents, p.pure) == (
        False, 3, 0, 0, 0, 0, 0, 0)
    assert p.reduced() == [] and p.proof_steps() == [] and p.reconstruct([]) == [False] * 3
    assert qn.Preprocessor.__text_signature__ == "(nvars=0, do_bve=True, max_resolvent_len=20, with_proof=False)"
    assert qn.Preprocessor.__doc__ == ("Native preprocessor: subsumption, self-subsuming resolution, pure literals\n"
                                       "and bounded variable elimination.")
    names = [n for n in vars(qn.Preprocessor) if not n.startswith("__")]
    assert names == ["add_clause", "freeze", "run", "reduced", "reconstruct", "proof_steps", "unsat", "nvars",
                     "units", "subsumed", "strengthened", "eliminated_vars", "resolvents", "pure"]
    sigs = {"add_clause": "($self, lits)", "freeze": "($self, v)", "run": "($self, rounds=3)",
            "reduced": "($self)", "reconstruct": "($self, model)", "proof_steps": "($self)"}
    for name, sig in sigs.items():
        assert getattr(qn.Preprocessor, name).__text_signature__ == sig
    with pytest.raises(AttributeError):
        p.nvars = 4


@pytest.mark.parametrize("clauses, nvars, stored", [
    ([[0, 3]], 2, [[0, 3]]),
    ([[0, 1]], 1, []),
    ([[2, 2, 4]], 3, [[2, 4]]),
    ([[4, 0, 1, 8]], 3, []),
    ([[9, 2, 9, 2]], 5, [[9, 2]]),
    ([[]], 0, [[]]),
])
def test_add_clause_normalises(clauses, nvars, stored):
    p = make(clauses)
    assert p.nvars == nvars and p.reduced() == stored and p.proof_steps() == []


def test_freeze_grows():
    p = qn.Preprocessor()
    p.freeze(5)
    assert p.nvars == 6


# ---------------------------------------------------------------------------
# Propagation


def test_units_propagate_and_reconstruct():
    p = make([[0], [1, 2]])
    assert p.run() is True
    assert p.units == 2 and p.reduced() == [] and p.reconstruct([]) == [True, True]


def test_contradictory_units_exact_proof():
    p = make([[0], [1]], with_proof=True)
    assert p.run() is False and p.unsat is True and p.reduced() == [[]]
    # [-x] is popped first: its clause goes, then [x] would become empty.
    assert p.proof_steps() == [("d", [-1]), ("a", [])]
    assert p.run() is False and p.run(0) is True


def test_strengthened_unit_propagated_in_same_call():
    # x0; (-x0 | x1); (-x1 | x2): a chain fixed by one propagation.
    p = make([[0], [1, 2], [3, 4]], with_proof=True, do_bve=False)
    assert p.run(1) is True
    assert p.units == 3 and p.reduced() == []
    assert p.proof_steps() == [("d", [1]), ("a", [2]), ("d", [-1, 2]), ("d", [2]), ("a", [3]), ("d", [-2, 3]),
                               ("d", [3])]


def test_true_unit_does_not_stop_propagation():
    # Stack [x1, x0, x0]: the second x0 is already true; x1 must still be
    # assigned in the same propagation, before pure literals could take it.
    p = make([[2], [0], [0]], with_proof=True)
    assert p.run(1) is True
    assert (p.units, p.pure) == (2, 0)
    assert p.proof_steps() == [("d", [1]), ("d", [1]), ("d", [2])]


def test_elimination_alone_continues_the_rounds():
    # Round 1 only eliminates x (resolvent (a|b)); round 2 lets (a|b)
    # subsume (a|b|c).
    x, a, b, c = 0, 2, 4, 6
    p = make([[x, a], [x ^ 1, b], [a, b, c]], frozen=[1, 2, 3])
    assert p.run() is True
    assert (p.eliminated_vars, p.subsumed) == (1, 1) and p.reduced() == [[a, b]]


def test_no_unit_run_reaches_fixpoint_without_change():
    p = make([[0, 2], [1, 3]], frozen=[0, 1], do_bve=False, with_proof=True)
    assert p.run() is True
    before = (p.units, p.subsumed, p.strengthened, p.eliminated_vars, p.pure, p.proof_steps())
    assert p.run() is True
    assert (p.units, p.subsumed, p.strengthened, p.eliminated_vars, p.pure, p.proof_steps()) == before


# ---------------------------------------------------------------------------
# Subsumption and strengthening (variables frozen so that pure literals and
# elimination leave the result visible)

FROZEN_ALL = range(8)


def test_identical_clauses():
    p = make([[0, 2], [2, 0], [1, 3]], frozen=FROZEN_ALL, with_proof=True)
    assert p.run(1) is True
    assert p.subsumed == 1 and p.reduced() == [[0, 2], [1, 3]]
    assert p.proof_steps() == [("d", [2, 1])]


def test_strengthening_proof_order():
    a, b, e = 0, 2, 4
    p = make([[a, b], [a, b ^ 1, e]], frozen=FROZEN_ALL, with_proof=True)
    assert p.run(1) is True
    assert p.strengthened == 1 and p.reduced() == [[a, b], [a, e]]
    assert p.proof_steps() == [("a", [1, 3]), ("d", [1, -2, 3])]


def test_two_missing_literals_change_nothing():
    p = make([[0, 2], [1, 3, 4]], frozen=FROZEN_ALL)
    assert p.run() is True
    assert (p.subsumed, p.strengthened) == (0, 0) and p.reduced() == [[0, 2], [1, 3, 4]]


def test_strengthening_to_empty_refutes():
    # (a|b), (a|-b) give [a]; (-a|b), (-a|-b) give [-a]; they clash in the pass.
    p = make([[0, 2], [0, 3], [1, 2], [1, 3]], frozen=FROZEN_ALL, with_proof=True)
    assert p.run() is False and p.unsat and p.reduced() == [[]]
    assert p.proof_steps()[-1] == ("a", [])
    assert drat_accepts([[0, 2], [0, 3], [1, 2], [1, 3]], p.proof_steps())


def grid(n):
    return [[2 * i, 2 * j] for i in range(n) for j in range(i + 1, n)]


@pytest.mark.parametrize("gadgets, subsumed", [(27922, 1), (27923, 0)])
def test_subsumption_budget(gadgets, subsumed):
    # The positive 2-clause grid over 159 variables costs C(159,2)*157 =
    # 1,972,077 budget units; each gadget (u|v), (-u|-v|w) costs exactly one
    # more.  The 3-clause's single check of the 4-clause is then unit
    # 2,000,000 (still allowed) or 2,000,001 (the pass has stopped).
    n = 159
    clauses = grid(n)
    base = n
    for _ in range(gadgets):
        u, v, w = 2 * base, 2 * base + 2, 2 * base + 4
        clauses += [[u, v], [u ^ 1, v ^ 1, w]]
        base += 3
    y, q = 2 * base, 2 * base + 8
    # (y0|q0), (y1|q1), (y2|q2) keep y0 the pivot of (y0|y1|y2); being
    # shorter than it, (y0|q0) costs nothing as its candidate.
    clauses += [[y, q], [y + 2, q + 2], [y + 4, q + 4]]
    clauses += [[y, y + 2, y + 4], [y, y + 2, y + 4, y + 6]]
    p = make(clauses, do_bve=False)
    assert p.run(1) is True
    assert p.subsumed == subsumed and p.strengthened == 0


# ---------------------------------------------------------------------------
# Pure literals and elimination


def test_elimination_proof_and_entry():
    x, a, b = 0, 2, 4
    p = make([[x, a], [x ^ 1, b]], frozen=[1, 2], with_proof=True)
    assert p.run() is True
    assert (p.eliminated_vars, p.resolvents, p.pure) == (1, 1, 0)
    assert p.reduced() == [[a, b]]
    assert p.proof_steps() == [("a", [2, 3]), ("d", [1, 2]), ("d", [-1, 3])]
    assert p.reconstruct([False, False, True]) == [True, False, True]
    assert p.reconstruct([True, True, False]) == [False, True, False]
    for x_val in (False, True):
        with pytest.raises(ValueError, match=r"^reconstruction failed for x0$"):
            p.reconstruct([x_val, False, False])


def test_resolvent_literal_order():
    # Literals of the positive clause first, then the new ones of the negative.
    x, a, b, c = 0, 2, 4, 6
    p = make([[b, x, a], [c, a, x ^ 1]], frozen=[1, 2, 3], with_proof=True)
    assert p.run() is True and p.resolvents == 1
    assert p.reduced() == [[b, a, c]]
    assert p.proof_steps()[0] == ("a", [3, 2, 4])


def test_tautological_resolvent():
    p = make([[0, 2], [1, 3]], frozen=[1])
    assert p.run() is True
    assert (p.eliminated_vars, p.resolvents) == (1, 0) and p.reduced() == []
    for a in (False, True):
        m = p.reconstruct([False, a])
        assert satisfies(m, [[0, 2], [1, 3]])


def test_resolvent_length_bound():
    p = make([[0, 2], [1, 4]], frozen=[1, 2], max_resolvent_len=1)
    assert p.run() is True
    assert p.eliminated_vars == 0 and p.reduced() == [[0, 2], [1, 4]]


@pytest.mark.parametrize("npos, nneg, taut, eliminated", [
    (3, 3, 0, 0),   # nine resolvents for six clauses
    (2, 3, 0, 0),   # six for five
    (2, 3, 1, 1),   # one pair tautological: five for five
])
def test_resolvent_count_bound(npos, nneg, taut, eliminated):
    pos = [[0, 2 * i] for i in range(1, npos + 1)]
    negs = [[1, 2 * i] for i in range(10, 10 + nneg)]
    if taut:
        negs[0] = [1, 3]    # resolves with (x0 | x1) to a tautology
    p = make(pos + negs, frozen=range(1, 20))
    assert p.run() is True
    assert p.eliminated_vars == eliminated
    assert p.resolvents == (npos * nneg - taut if eliminated else 0)


@pytest.mark.parametrize("npos, eliminated", [(20, 1), (21, 0)])
def test_resolution_pair_limit(npos, eliminated):
    # Every resolvent holds a and -a, so all pairs are tautological: with 400
    # pairs x goes with no resolvent, with 420 it is never tried.
    x, a = 0, 2
    pos = [[x, a, 2 * (2 + i)] for i in range(npos)]
    negs = [[x ^ 1, a ^ 1, 2 * (30 + i)] for i in range(20)]
    p = make(pos + negs, frozen=range(1, 60))
    assert p.run() is True
    assert p.eliminated_vars == eliminated and p.resolvents == 0


def test_empty_resolvent_refutes():
    # Subsumption leaves the units [x0], [-x2], [x4] and [-x1] (it never
    # propagates); pure literals take x0; eliminating x1 adds the resolvent
    # [-x4], and eliminating x4 resolves [x4] with it to the empty clause.
    clauses = [[2, 9], [8, 4, 4], [0, 2], [3, 0], [3, 4], [1, 5]]
    p = make(clauses, frozen=[2, 3], with_proof=True)
    assert p.run(1) is False and p.unsat is True and p.reduced() == [[]]
    assert (p.units, p.subsumed, p.strengthened, p.pure, p.eliminated_vars, p.resolvents) == (0, 1, 4, 1, 2, 1)
    assert p.proof_steps()[-2:] == [("d", [-2]), ("a", [])]
    assert brute_force(5, clauses) is None and drat_accepts(clauses, p.proof_steps())


def test_frozen_single_polarity_variable_stays():
    p = make([[0, 2], [0, 3]], frozen=[0, 1])
    assert p.run() is True
    assert p.pure == 0 and p.eliminated_vars == 0


def test_no_bve_still_removes_pure_literals():
    clauses = [[0, 2], [1, 3], [4, 0]]
    p = make(clauses, do_bve=False)
    assert p.run() is True
    assert p.resolvents == 0 and p.pure == 1 and p.eliminated_vars == 1
    assert p.reduced() == clauses[:2]
    bve = make(clauses)
    assert bve.run() is True and bve.resolvents == 0 and bve.eliminated_vars == 2 and bve.reduced() == []


def test_pure_literal_reconstruction():
    x, a = 0, 2
    p = make([[x, a]], frozen=[1])
    assert p.run() is True and p.pure == 1 and p.reduced() == []
    assert p.reconstruct([False, False]) == [True, False]
    assert p.reconstruct([False, True]) == [False, True]
    assert p.reconstruct([True, True, True]) == [True, True]


def test_reconstruct_pads_and_cuts():
    p = qn.Preprocessor(3)
    assert p.reconstruct([True]) == [True, False, False]
    assert p.reconstruct([True, True, True, True]) == [True, True, True]
    assert qn.Preprocessor().reconstruct([True]) == []


def test_fixed_value_overrides_model():
    p = make([[0], [2, 4]], frozen=[1, 2])
    assert p.run() is True
    assert p.reconstruct([False, True, False]) == [True, True, False]


# ---------------------------------------------------------------------------
# Clauses added between runs, and unrepresentable variables


def test_empty_clause_refutes_at_run():
    p = make([[0, 2], []], with_proof=True)
    assert p.run(0) is True and p.unsat is False
    assert p.run() is False and p.unsat is True
    assert p.reduced() == [[]] and p.proof_steps() == [("a", [])]
    assert p.run() is False and p.proof_steps() == [("a", [])]


def test_clause_after_fixed_value_is_shortened():
    # The example of a non-model: x0 fixed, then (-x0 | x1) with x1 frozen.
    p = make([[0]], with_proof=True)
    assert p.run() is True
    p.freeze(1)
    p.add_clause([1, 2])
    assert p.reduced() == [[2]]
    assert p.proof_steps() == [("d", [1]), ("a", [2])]
    assert p.run() is True and p.reduced() == []
    model = p.reconstruct([False, False])
    assert model == [True, True]
    assert drat_accepts([[0], [1, 2], [3]], p.proof_steps() + [("a", [])])


def test_clause_after_fixed_value_satisfied_or_refuted():
    p = make([[0], [2, 4]], frozen=[1, 2], with_proof=True)
    assert p.run() is True
    steps = p.proof_steps()
    p.add_clause([4, 0])           # x0 is true: nothing stored
    assert p.reduced() == [[2, 4]] and p.proof_steps() == steps
    p.add_clause([2, 1])           # -x0 false: [x1] stored, with its addition
    assert p.reduced() == [[2, 4], [2]] and p.proof_steps()[-1] == ("a", [2])
    p.add_clause([1])              # nothing left: refuted
    assert p.unsat is True and p.proof_steps()[-1] == ("a", [])
    assert p.run() is False and p.reduced() == [[]]
    assert drat_accepts([[0], [2, 4], [4, 0], [2, 1], [1]], p.proof_steps())


def test_clause_over_eliminated_variable_refused():
    p = make([[0, 2], [1, 4]], frozen=[1, 2])
    assert p.run() is True and p.eliminated_vars == 1
    before = (p.nvars, p.reduced())
    with pytest.raises(ValueError, match=r"^variable 0 was eliminated; freeze it before run to add clauses over it$"):
        p.add_clause([20, 1])
    assert (p.nvars, p.reduced()) == before
    p.add_clause([0, 1])           # a tautology stores nothing and is not refused
    p.add_clause([2, 20])
    assert p.nvars == 11 and p.reduced()[-1] == [2, 20]


def test_frozen_before_run_takes_later_clauses():
    p = make([[0, 2], [1, 4]], frozen=[0, 1, 2])
    assert p.run() is True and p.eliminated_vars == 0
    p.add_clause([1])
    assert p.run() is True
    m = p.reconstruct([False] * 3)
    assert satisfies(m, [[0, 2], [1, 4], [1]])


@pytest.mark.parametrize("v", [2**31, 2**32 - 1])
def test_freeze_out_of_range(v):
    p = make([[0, 2]])
    with pytest.raises(ValueError, match=rf"^variable {v} out of range$"):
        p.freeze(v)
    assert p.nvars == 2


def test_constructor_out_of_range():
    with pytest.raises(ValueError, match=r"^variable 2147483648 out of range$"):
        qn.Preprocessor(2**31 + 1)


# Tables for 2^31 variables take over 100 GiB; on machines with less memory
# the growth is refused up front.
small_machine = pytest.mark.skipif(os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") > 100 * 2**30,
                                   reason="enough memory for 2^31 variables")


@small_machine
@pytest.mark.parametrize("call", [lambda p: qn.Preprocessor(2**31), lambda p: p.freeze(2**31 - 1),
                                  lambda p: p.add_clause([2, 2**32 - 1]),
                                  lambda p: p.add_clause([2**32 - 2, 2**32 - 1])])
def test_unaffordable_growth_is_memory_error(call):
    p = make([[0, 2]], with_proof=True)
    with pytest.raises(MemoryError):
        call(p)
    assert p.nvars == 2 and p.reduced() == [[0, 2]]
    p.add_clause([1, 4])
    assert p.run() is True


# ---------------------------------------------------------------------------
# Random formulas against brute force, DRAT and the other configurations


def random_formula(rng):
    """Mostly 2- and 3-clauses over 3..10 variables, units in half of them:
    a mix of satisfiable and refuted inputs that exercises every pass."""
    nvars = rng.randint(3, 10)
    lengths = [1] + [2] * 4 + [3] * 8 + [4] * 3
    clauses = [[2 * rng.randrange(nvars) + rng.randrange(2) for _ in range(rng.choice(lengths))]
               for _ in range(rng.randint(nvars, 4 * nvars))]
    if rng.random() < 0.5:
        clauses = [c for c in clauses if len(c) > 1]
    return nvars, clauses


def run_case(nvars, clauses, frozen=(), rounds=3, **kw):
    """Preprocesses and checks every oracle; returns the satisfiability."""
    p = make(clauses, frozen=frozen, with_proof=True, **kw)
    truth = brute_force(nvars, clauses)
    ok = p.run(rounds)
    steps = p.proof_steps()
    if not ok:
        assert truth is None and p.unsat and p.reduced() == [[]]
        assert drat_accepts(clauses, steps)
        verdict = native_check(nvars, clauses, steps)
        assert (verdict[0], verdict[9]) == (True, True)
        return False
    assert steps_valid(clauses, steps)
    assert native_check(nvars, clauses, steps)[8] == -1  # no step fails
    reduced = p.reduced()
    reduced_models = list(models(p.nvars, reduced))
    assert (truth is None) == (not reduced_models)
    for m in reduced_models:
        assert satisfies(p.reconstruct(m), clauses)
    return truth is not None


@pytest.mark.parametrize("seed", range(80))
def test_random_against_brute_force(seed):
    rng = random.Random(seed)
    nvars, clauses = random_formula(rng)
    run_case(nvars, clauses, frozen=rng.sample(range(nvars), rng.randint(0, nvars // 2)),
             rounds=rng.choice([1, 3, 10]), do_bve=rng.random() < 0.8, max_resolvent_len=rng.choice([2, 3, 20]))


@pytest.mark.parametrize("seed", range(20))
def test_configurations_agree(seed):
    rng = random.Random(1000 + seed)
    nvars, clauses = random_formula(rng)
    answers = {run_case(nvars, clauses, do_bve=bve) for bve in (True, False)}
    answers.add(run_case(nvars, clauses, frozen=[0], rounds=1, max_resolvent_len=2))
    assert len(answers) == 1


@pytest.mark.parametrize("seed", range(25))
def test_incremental_rounds(seed):
    # Clauses arrive in two batches with a run in between; those over
    # eliminated variables are refused and stay out of the formula.
    rng = random.Random(5000 + seed)
    nvars = rng.randint(2, 9)
    first = random_cnf(rng, nvars, rng.randint(1, 3 * nvars), 1, 3)
    second = random_cnf(rng, nvars, rng.randint(1, 3 * nvars), 1, 3)
    frozen = rng.sample(range(nvars), rng.randint(0, nvars))
    p = make(first, frozen=frozen, with_proof=True)
    p.run(rng.choice([1, 3]))
    accepted = list(first)
    for c in second:
        try:
            p.add_clause(c)
        except ValueError as e:
            bad = int(str(e).split()[1])
            assert bad not in frozen and any(lit >> 1 == bad for lit in c)
            continue
        accepted.append(c)
    ok = p.run()
    truth = brute_force(nvars, accepted)
    steps = p.proof_steps()
    if not ok or p.unsat:
        assert truth is None and drat_accepts(accepted, steps)
        assert native_check(nvars, accepted, steps)[9] is True
        return
    assert steps_valid(accepted, steps) and native_check(nvars, accepted, steps)[8] == -1
    reduced_models = list(models(p.nvars, p.reduced()))
    assert (truth is None) == (not reduced_models)
    for m in reduced_models[:16]:
        assert satisfies(p.reconstruct(m), accepted)


def test_bigger_random_3sat_models():
    # Near the threshold, 40 variables: reduced models come from brute force
    # over the few variables that remain after preprocessing and propagation.
    for seed in range(6):
        rng = random.Random(seed)
        clauses = [[2 * v + rng.randrange(2) for v in rng.sample(range(40), 3)] for _ in range(100)]
        p = make(clauses, with_proof=True)
        if not p.run(10):
            assert drat_accepts(clauses, p.proof_steps())
            continue
        assert steps_valid(clauses, p.proof_steps())
        reduced = p.reduced()
        left = sorted({lit >> 1 for c in reduced for lit in c})
        if len(left) > 14:
            continue
        for bits in itertools.product((False, True), repeat=len(left)):
            m = [False] * p.nvars
            for v, b in zip(left, bits):
                m[v] = b
            if satisfies(m, reduced):
                assert satisfies(p.reconstruct(m), clauses)
                break


# ---------------------------------------------------------------------------
# Argument errors and access conflicts


@pytest.mark.parametrize("call, exc, msg, note", [
    (lambda p: p.add_clause("01"), TypeError, "Can't extract `str` to `Vec`", "lits"),
    (lambda p: p.add_clause(3), TypeError, "'int' object is not an instance of 'Sequence'", "lits"),
    (lambda p: p.add_clause([0, -1]), OverflowError, "number too small to fit in target type", "lits"),
    (lambda p: p.add_clause([2**32]), OverflowError, "number too large to fit in target type", "lits"),
    (lambda p: p.freeze(None), TypeError, "'NoneType' object cannot be interpreted as an integer", "v"),
    (lambda p: p.run(-1), OverflowError, "number too small to fit in target type", "rounds"),
    (lambda p: p.reconstruct([True, 1]), TypeError, "'int' object is not an instance of 'bool'", "model"),
    (lambda p: p.reconstruct("TF"), TypeError, "Can't extract `str` to `Vec`", "model"),
    (lambda p: qn.Preprocessor(do_bve=1), TypeError, "'int' object is not an instance of 'bool'", "do_bve"),
    (lambda p: qn.Preprocessor(max_resolvent_len=-1), OverflowError, None, "max_resolvent_len"),
    (lambda p: qn.Preprocessor(with_proof=None), TypeError, "'None' is not an instance of 'bool'", "with_proof"),
])
def test_argument_errors(call, exc, msg, note):
    p = make([[0, 2]])
    with pytest.raises(exc) as info:
        call(p)
    if msg is not None:
        assert str(info.value) == msg
    assert f"while processing '{note}'" in getattr(info.value, "__notes__", [f"while processing '{note}'"])
    assert p.reduced() == [[0, 2]] and p.run() is True


@pytest.mark.parametrize("call, msg", [
    (lambda p: p.add_clause(), "Preprocessor.add_clause() missing 1 required positional argument: 'lits'"),
    (lambda p: p.run(1, 2), "Preprocessor.run() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda p: p.freeze(v=1, w=2), "Preprocessor.freeze() got an unexpected keyword argument 'w'"),
    (lambda p: p.reconstruct([], model=[]), "Preprocessor.reconstruct() got multiple values for argument 'model'"),
    (lambda p: qn.Preprocessor(1, True, 20, False, 5),
     "Preprocessor.__new__() takes from 0 to 4 positional arguments but 5 were given"),
])
def test_binding_errors(call, msg):
    p = make([[0, 2]])
    with pytest.raises(TypeError) as info:
        call(p)
    assert str(info.value) == msg


def test_reentrant_access_is_refused():
    p = make([[0, 2], [1, 4]])

    class Sneaky:
        def __init__(self, action):
            self.action = action

        def __index__(self):
            self.action()
            return 0

    with pytest.raises(RuntimeError) as info:
        p.add_clause([Sneaky(p.reduced)])
    assert info.value.args[0] == "Already mutably borrowed"
    with pytest.raises(RuntimeError) as info:
        p.run(Sneaky(lambda: p.freeze(1)))
    assert info.value.args[0] == "Already borrowed"

    class SneakyBool:
        def __iter__(self):
            p.run()
            return iter([True])

    import collections.abc
    collections.abc.Sequence.register(SneakyBool)
    with pytest.raises(RuntimeError) as info:
        p.reconstruct(SneakyBool())
    assert info.value.args[0] == "Already borrowed"
    assert p.reduced() == [[0, 2], [1, 4]] and p.run() is True
