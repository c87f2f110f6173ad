"""Preprocessor: simplification results, DRAT proofs, model reconstruction,
clauses added between runs, and argument handling."""
import collections.abc
import itertools
import os
import random

import pytest

import quillon_native as qn
from oracles import Db as _Db, brute_force, drat_accepts, internal, random_cnf, satisfies


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
    # reconstruct pads and cuts the model to nvars; freeze grows nvars.
    assert p.reconstruct([True]) == [True, False, False]
    assert p.reconstruct([True, True, True, True]) == [True, True, True]
    assert qn.Preprocessor().reconstruct([True]) == []
    p.freeze(5)
    assert p.nvars == 6


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


# ---------------------------------------------------------------------------
# One run on a small formula: the result, counters, reduced formula and
# proof exactly.  None leaves a part unchecked; a proof given as
# ("prefix"|"suffix", steps) pins only that end.  An optional last item
# lists (model, reconstruct(model)) pairs.

FROZEN_ALL = range(8)
X, A, B, C = 0, 2, 4, 6

RUNS = {
    "units": ([[0], [1, 2]], (), {}, 3, True, {"units": 2}, [], None, [([], [True, True])]),
    # A fixed value wins over the model handed in.
    "fixed value overrides the model": ([[0], [2, 4]], [1, 2], {}, 3, True, {"units": 1}, [[2, 4]], None,
                                        [([False, True, False], [True, True, False])]),
    # x0; (-x0 | x1); (-x1 | x2): a chain fixed by one propagation.
    "strengthened unit propagated in the same call": (
        [[0], [1, 2], [3, 4]], (), {"do_bve": False}, 1, True, {"units": 3}, [],
        [("d", [1]), ("a", [2]), ("d", [-1, 2]), ("d", [2]), ("a", [3]), ("d", [-2, 3]), ("d", [3])]),
    # Stack [x1, x0, x0]: the second x0 is already true; x1 must still be
    # assigned in the same propagation, before pure literals could take it.
    "true unit does not stop propagation": (
        [[2], [0], [0]], (), {}, 1, True, {"units": 2, "pure": 0}, None, [("d", [1]), ("d", [1]), ("d", [2])]),
    # Round 1 only eliminates x (resolvent (a|b)); round 2 lets (a|b)
    # subsume (a|b|c).
    "elimination alone continues the rounds": (
        [[X, A], [X ^ 1, B], [A, B, C]], [1, 2, 3], {}, 3, True, {"eliminated_vars": 1, "subsumed": 1}, [[A, B]],
        None),
    "identical clauses": ([[0, 2], [2, 0], [1, 3]], FROZEN_ALL, {}, 1, True, {"subsumed": 1}, [[0, 2], [1, 3]],
                          [("d", [2, 1])]),
    "strengthening proof order": ([[0, 2], [0, 3, 4]], FROZEN_ALL, {}, 1, True, {"strengthened": 1},
                                  [[0, 2], [0, 4]], [("a", [1, 3]), ("d", [1, -2, 3])]),
    "two missing literals change nothing": ([[0, 2], [1, 3, 4]], FROZEN_ALL, {}, 3, True,
                                            {"subsumed": 0, "strengthened": 0}, [[0, 2], [1, 3, 4]], None),
    # (a|b), (a|-b) give [a]; (-a|b), (-a|-b) give [-a]; they clash in the pass.
    "strengthening to empty": ([[0, 2], [0, 3], [1, 2], [1, 3]], FROZEN_ALL, {}, 3, False, {}, [[]],
                               ("suffix", [("a", [])])),
    "elimination": ([[X, A], [X ^ 1, B]], [1, 2], {}, 3, True, {"eliminated_vars": 1, "resolvents": 1, "pure": 0},
                    [[A, B]], [("a", [2, 3]), ("d", [1, 2]), ("d", [-1, 3])],
                    [([False, False, True], [True, False, True]), ([True, True, False], [False, True, False])]),
    # Literals of the positive clause first, then the new ones of the negative.
    "resolvent literal order": ([[B, X, A], [C, A, X ^ 1]], [1, 2, 3], {}, 3, True, {"resolvents": 1},
                                [[B, A, C]], ("prefix", [("a", [3, 2, 4])])),
    "tautological resolvent": ([[0, 2], [1, 3]], [1], {}, 3, True, {"eliminated_vars": 1, "resolvents": 0}, [],
                               None),
    "resolvent length bound": ([[0, 2], [1, 4]], [1, 2], {"max_resolvent_len": 1}, 3, True,
                               {"eliminated_vars": 0}, [[0, 2], [1, 4]], None),
    "resolvent at the length bound": ([[0, 2], [1, 4]], [1, 2], {"max_resolvent_len": 2}, 3, True,
                                      {"eliminated_vars": 1, "resolvents": 1}, [[2, 4]], None),
    # Subsumption leaves the units [x0], [-x2], [x4] and [-x1] (it never
    # propagates); pure literals take x0; eliminating x1 adds the resolvent
    # [-x4], and eliminating x4 resolves [x4] with it to the empty clause.
    "empty resolvent": ([[2, 9], [8, 4, 4], [0, 2], [3, 0], [3, 4], [1, 5]], [2, 3], {}, 1, False,
                        {"units": 0, "subsumed": 1, "strengthened": 4, "pure": 1, "eliminated_vars": 2,
                         "resolvents": 1}, [[]], ("suffix", [("d", [-2]), ("a", [])])),
    "frozen single-polarity variable stays": ([[0, 2], [0, 3]], [0, 1], {}, 3, True,
                                              {"pure": 0, "eliminated_vars": 0}, None, None),
    "pure literals without elimination": ([[0, 2], [1, 3], [4, 0]], (), {"do_bve": False}, 3, True,
                                          {"resolvents": 0, "pure": 1, "eliminated_vars": 1}, [[0, 2], [1, 3]],
                                          None),
    "pure literals with elimination": ([[0, 2], [1, 3], [4, 0]], (), {}, 3, True,
                                       {"resolvents": 0, "eliminated_vars": 2}, [], None),
    "pure literal": ([[X, A]], [1], {}, 3, True, {"pure": 1}, [], None,
                     [([False, False], [True, False]), ([False, True], [False, True]),
                      ([True, True, True], [True, True])]),
}


def resolution_case(npos, nneg, taut):
    pos = [[0, 2 * i] for i in range(1, npos + 1)]
    negs = [[1, 2 * i] for i in range(10, 10 + nneg)]
    if taut:
        negs[0] = [1, 3]    # resolves with (x0 | x1) to a tautology
    return pos + negs


def tautologies_only(npos):
    # Every resolvent holds a and -a, so all pairs are tautological.
    return [[X, A, 2 * (2 + i)] for i in range(npos)] + [[X ^ 1, A ^ 1, 2 * (30 + i)] for i in range(20)]


RUNS.update({
    "nine resolvents for six clauses": (resolution_case(3, 3, 0), range(1, 20), {}, 3, True,
                                        {"eliminated_vars": 0, "resolvents": 0}, None, None),
    "six resolvents for five clauses": (resolution_case(2, 3, 0), range(1, 20), {}, 3, True,
                                        {"eliminated_vars": 0, "resolvents": 0}, None, None),
    "one tautology: five resolvents for five": (resolution_case(2, 3, 1), range(1, 20), {}, 3, True,
                                                {"eliminated_vars": 1, "resolvents": 5}, None, None),
    # With 400 pairs x goes with no resolvent, with 420 it is never tried.
    "400 resolution pairs": (tautologies_only(20), range(1, 60), {}, 3, True,
                             {"eliminated_vars": 1, "resolvents": 0}, None, None),
    "420 resolution pairs": (tautologies_only(21), range(1, 60), {}, 3, True,
                             {"eliminated_vars": 0, "resolvents": 0}, None, None),
})


@pytest.mark.parametrize("case", RUNS.values(), ids=RUNS.keys())
def test_exact_runs(case):
    clauses, frozen, kw, rounds, ok, counts, reduced, proof, *recon = case
    p = make(clauses, frozen=frozen, with_proof=True, **kw)
    assert p.run(rounds) is ok and p.unsat is (not ok)
    assert {name: getattr(p, name) for name in counts} == counts
    if reduced is not None:
        assert p.reduced() == reduced
    steps = p.proof_steps()
    if isinstance(proof, tuple):
        end, proof = proof
        steps = steps[:len(proof)] if end == "prefix" else steps[-len(proof):]
    if proof is not None:
        assert steps == proof
    for model, expected in (recon[0] if recon else []):
        assert p.reconstruct(model) == expected
    nvars = 1 + max(lit >> 1 for c in clauses for lit in c)
    if ok:
        assert steps_valid(clauses, p.proof_steps())
        for m in models(p.nvars, p.reduced()) if p.nvars <= 8 else ():
            assert satisfies(p.reconstruct(m), clauses)
    else:
        assert brute_force(nvars, clauses) is None and drat_accepts(clauses, p.proof_steps())


def test_contradictory_units_exact_proof():
    p = make([[0], [1]], with_proof=True)
    assert p.run() is False and p.unsat is True and p.reduced() == [[]]
    # [-x] is popped first: its clause goes, then [x] would become empty.
    assert p.proof_steps() == [("d", [-1]), ("a", [])]
    assert p.run() is False and p.run(0) is True


def test_elimination_takes_the_smallest_occurrence_product_first():
    # x (var 0) has 2 x 1 occurrences, y (var 1) has 1 x 1: y goes first,
    # although x has the smaller index; the proof shows the order.
    p = make([[0, 4], [0, 6], [1, 8], [2, 10], [3, 12]], frozen=[2, 3, 4, 5, 6], with_proof=True)
    assert p.run(1) is True and p.eliminated_vars == 2
    assert p.proof_steps() == [("a", [6, 7]), ("d", [2, 6]), ("d", [-2, 7]),
                               ("a", [3, 5]), ("a", [4, 5]), ("d", [1, 3]), ("d", [1, 4]), ("d", [-1, 5])]


def test_unit_made_by_strengthening_is_propagated_in_the_same_round():
    p = make([[0, 2], [0, 3]], frozen=[0, 1], with_proof=True)
    assert p.run(1) is True
    assert (p.strengthened, p.subsumed, p.units, p.reduced()) == (1, 1, 1, [])
    assert p.proof_steps() == [("a", [1]), ("d", [1, -2]), ("d", [1, 2]), ("d", [1])]


def test_no_unit_run_reaches_fixpoint_without_change():
    p = make([[0, 2], [1, 3]], frozen=[0, 1], do_bve=False, with_proof=True)
    assert p.run() is True
    before = (p.units, p.subsumed, p.strengthened, p.eliminated_vars, p.pure, p.proof_steps())
    assert p.run() is True
    assert (p.units, p.subsumed, p.strengthened, p.eliminated_vars, p.pure, p.proof_steps()) == before


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


def test_reconstruction_failure_names_the_variable():
    p = make([[X, A], [X ^ 1, B]], frozen=[1, 2])
    assert p.run() is True and p.eliminated_vars == 1
    for x_val in (False, True):
        with pytest.raises(ValueError, match=r"^reconstruction failed for x0$"):
            p.reconstruct([x_val, False, False])


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


@pytest.mark.parametrize("call, v", [(lambda p: p.freeze(2**31), 2**31), (lambda p: p.freeze(2**32 - 1), 2**32 - 1),
                                     (lambda p: qn.Preprocessor(2**31 + 1), 2**31)])
def test_variable_out_of_range(call, v):
    p = make([[0, 2]])
    with pytest.raises(ValueError, match=rf"^variable {v} out of range$"):
        call(p)
    assert p.nvars == 2


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
# Random formulas against brute force and DRAT: every reduced model must
# reconstruct to a model, and proofs must be sound derivations even when
# the formula stays satisfiable.


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


@pytest.mark.parametrize("seed", range(100))
def test_random_against_brute_force(seed):
    # From seed 80 on, clauses arrive in two batches with a run in between;
    # those over eliminated variables are refused and stay out of the formula.
    rng = random.Random(seed)
    nvars, clauses = random_formula(rng)
    frozen = rng.sample(range(nvars), rng.randint(0, nvars // 2))
    p = make(clauses, frozen=frozen, with_proof=True, do_bve=rng.random() < 0.8,
             max_resolvent_len=rng.choice([2, 3, 20]))
    if seed >= 80:
        p.run(rng.choice([1, 3]))
        for c in random_cnf(rng, nvars, rng.randint(1, 3 * nvars), 1, 3):
            try:
                p.add_clause(c)
            except ValueError as e:
                bad = int(str(e).split()[1])
                assert bad not in frozen and any(lit >> 1 == bad for lit in c)
                continue
            clauses.append(c)
    truth = brute_force(nvars, clauses)
    ok = p.run(rng.choice([1, 3, 10]))
    steps = p.proof_steps()
    if not ok or p.unsat:
        assert truth is None and p.unsat and p.reduced() == [[]]
        assert drat_accepts(clauses, steps)
        assert native_check(nvars, clauses, steps)[9] is True
        return
    assert steps_valid(clauses, steps)
    assert native_check(nvars, clauses, steps)[8] == -1  # no step fails
    reduced_models = list(models(p.nvars, p.reduced()))
    assert (truth is None) == (not reduced_models)
    for m in reduced_models:
        assert satisfies(p.reconstruct(m), clauses)


@pytest.mark.parametrize("seed", range(6))
def test_bigger_random_3sat_models(seed):
    # Near the threshold, 40 variables: the solver's model of the reduced
    # formula must reconstruct to a model, and the proof must stay sound.
    rng = random.Random(seed)
    clauses = [[2 * v + rng.randrange(2) for v in rng.sample(range(40), 3)] for _ in range(100)]
    p = make(clauses, with_proof=True)
    ok = p.run(10)
    assert (drat_accepts if not ok else steps_valid)(clauses, p.proof_steps())
    s = qn.Solver(p.nvars)
    for c in p.reduced():
        s.add_clause(c)
    if s.solve():
        assert ok and satisfies(p.reconstruct(s.model), clauses)


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

    collections.abc.Sequence.register(SneakyBool)
    with pytest.raises(RuntimeError) as info:
        p.reconstruct(SneakyBool())
    assert info.value.args[0] == "Already borrowed"
    assert p.reduced() == [[0, 2], [1, 4]] and p.run() is True
