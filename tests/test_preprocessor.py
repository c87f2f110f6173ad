# Preprocessor: simplification results, DRAT proofs, model reconstruction,
# clauses added between runs, and argument handling.  Random formulas
# against brute force are the property tests' part.
import os
import random

import pytest

import quillon_native as qn
from oracles import brute_force, drat_accepts, models, refutes, satisfies, solver


def make(clauses, frozen=(), **kw):
    p = qn.Preprocessor(**kw)
    for c in clauses:
        p.add_clause(c)
    for v in frozen:
        p.freeze(v)
    return p


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


# ---------------------------------------------------------------------------
# One run on a small formula: the result, counters, reduced formula and
# proof exactly.  None leaves a part unchecked; a proof given as
# ("prefix"|"suffix", steps) pins only that end.  An optional last item
# lists (model, reconstruct(model)) pairs.

FROZEN_ALL = range(8)
X, A, B, C = 0, 2, 4, 6

RUNS = {
    # [-x] is popped first: its clause goes, then [x] would become empty.
    "contradictory units": ([[0], [1]], (), {}, 3, False, {}, [[]], [("d", [-1]), ("a", [])]),
    # x (var 0) has 2 x 1 occurrences, y (var 1) has 1 x 1: y goes first,
    # although x has the smaller index; the proof shows the order.
    "elimination order": ([[0, 4], [0, 6], [1, 8], [2, 10], [3, 12]], [2, 3, 4, 5, 6], {}, 1, True,
                          {"eliminated_vars": 2}, None, [("a", [6, 7]), ("d", [2, 6]), ("d", [-2, 7]), ("a", [3, 5]),
                                                         ("a", [4, 5]), ("d", [1, 3]), ("d", [1, 4]), ("d", [-1, 5])]),
    "unit made by strengthening propagated in the same round": (
        [[0, 2], [0, 3]], [0, 1], {}, 1, True, {"strengthened": 1, "subsumed": 1, "units": 1}, [],
        [("a", [1]), ("d", [1, -2]), ("d", [1, 2]), ("d", [1])]),
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
    "a clause subsumed earlier in the pass does not end it": (
        [[0, 2], [0, 2, 4], [6, 8, 10], [6, 8, 10, 12]], FROZEN_ALL, {}, 1, True, {"subsumed": 2},
        [[0, 2], [6, 8, 10]], None),
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
    # x0 stays (nine resolvents for six clauses); x30, tried after it (ten
    # pairs), goes: x40 makes every one of its resolvents tautological.
    "an elimination given up, a later one made": (
        resolution_case(3, 3, 0) + [[60, 80, 82 + 2 * i] for i in range(2)] + [[61, 81, 86 + 2 * i] for i in range(5)],
        set(range(1, 60)) - {30}, {}, 3, True, {"eliminated_vars": 1, "resolvents": 0}, None, None),
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
        assert drat_accepts(clauses, p.proof_steps(), need_empty=False)
        for m in models(p.nvars, p.reduced()) if p.nvars <= 8 else ():
            assert satisfies(p.reconstruct(m), clauses)
    else:
        assert brute_force(nvars, clauses) is None and drat_accepts(clauses, p.proof_steps())


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
    assert p.run() is False and p.proof_steps() == [("a", [])] and p.run(0) is True


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


@pytest.mark.parametrize("seed", range(6))
def test_random_3sat_near_the_threshold(seed):
    # 40 variables: a solver's model of the reduced formula reconstructs to
    # a model; every proof step is sound, refutation or not.
    rng = random.Random(seed)
    clauses = [[2 * v + rng.randrange(2) for v in rng.sample(range(40), 3)] for _ in range(100)]
    p = make(clauses, with_proof=True)
    ok = p.run(10)
    assert drat_accepts(clauses, p.proof_steps(), need_empty=not ok)
    s = solver(p.nvars, p.reduced(), proof=True)
    if s.solve():
        assert ok and satisfies(p.reconstruct(s.model), clauses)
    else:
        assert refutes(clauses, p.proof_steps() + s.proof_steps())
