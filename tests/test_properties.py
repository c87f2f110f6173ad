"""Property tests across the whole engine: every component must agree with
an independent brute force, every model must satisfy the original formula,
every refutation must come with a proof that check_proof accepts, and a
proof with a lemma that is not implied must never be accepted."""
import itertools
import random

from hypothesis import assume, given, strategies as st

import quillon_native as qn
from oracles import brute_force, internal, random_cnf, satisfies

# Formulas over a few variables, with duplicates, tautologies, empty
# clauses and large gaps between variable indices.
VAR_POOLS = [list(range(6)), [0, 1, 2, 3, 40, 41], [0, 5, 300, 301, 7000]]


@st.composite
def formulas(draw, max_clauses=24, allow_empty=True):
    pool = draw(st.sampled_from(VAR_POOLS))
    lit = st.builds(lambda v, s: 2 * v + s, st.sampled_from(pool), st.integers(0, 1))
    min_len = 0 if allow_empty and draw(st.integers(0, 9)) == 0 else 1
    clauses = draw(st.lists(st.lists(lit, min_size=min_len, max_size=4), max_size=max_clauses))
    return clauses


def compact_brute_force(clauses):
    """Brute force over the variables that occur; returns a model indexed by
    the original variable numbers (as a dict) or None."""
    used = sorted({lit >> 1 for c in clauses for lit in c})
    pos = {v: i for i, v in enumerate(used)}
    small = [[2 * pos[lit >> 1] + (lit & 1) for lit in c] for c in clauses]
    m = brute_force(len(used), small)
    return None if m is None else {v: m[pos[v]] for v in used}


def to_checker_steps(steps):
    """("a"/"d", DIMACS) pairs -> (is_deletion, internal) pairs."""
    return [(kind == "d", [internal(d) for d in lits]) for kind, lits in steps]


def nvars_of(clauses):
    return max((lit >> 1) + 1 for c in clauses for lit in c) if any(clauses) else 0


def assert_refutation(clauses, steps):
    res = qn.check_proof(nvars_of(clauses), clauses, steps)
    assert res[0] is True and res[9] is True, res


OPTION_SETS = [
    {},
    {"restart": "glucose", "ccmin": "basic", "phase_saving": False},
    {"restart": "none", "ccmin": "none", "target_phase": False, "init_phase": True},
    {"restart": "luby", "luby_base": 1.0, "rnd_freq": 0.5, "rnd_seed": 7, "first_reduce": 3, "reduce_inc": 1,
     "glue_keep": 0, "walk_min_conflicts": 0, "walk_flips": 50, "walk_patience": 100},
    {"restart": "glucose", "block_restart": False, "target_reset": 1, "var_decay": 0.5, "cla_decay": 0.5},
]


def solve_with(clauses, opts, proof=True):
    s = qn.Solver(**opts)
    if proof:
        s.enable_proof()
    for c in clauses:
        s.add_clause(c)
    return s, s.solve()


@given(formulas(), st.sampled_from(OPTION_SETS))
def test_solver_agrees_with_brute_force(clauses, opts):
    expected = compact_brute_force(clauses)
    s, answer = solve_with(clauses, opts)
    assert answer is (expected is not None)
    if answer:
        # Variables met only after a clause was already satisfied at level 0
        # are never created: the model covers the solver's variables.
        assert len(s.model) == s.nvars
        assert satisfies(s.model, clauses)
    else:
        assert_refutation(clauses, to_checker_steps(s.proof_steps()))
    assert s.check_watch_invariant() == []


PORTFOLIO_BASE = dict(restart="luby", ccmin="deep", phase_saving=True, init_phase=False, target_phase=True,
                      target_reset=0, walk_flips=20000, walk_interval=1, walk_patience=3,
                      walk_min_conflicts=5000, var_decay=0.8, var_decay_max=0.95, cla_decay=0.999,
                      luby_base=100.0, first_reduce=2000, reduce_inc=300, glue_keep=2, block_restart=True,
                      rnd_freq=0.0, rnd_seed=91648253)


@given(formulas(), st.integers(1, 3), st.booleans())
def test_portfolio_agrees(clauses, n, want_proof):
    configs = [dict(PORTFOLIO_BASE, **OPTION_SETS[i % len(OPTION_SETS)]) for i in range(n)]
    nv = nvars_of(clauses)
    out = qn.solve_portfolio(nv, clauses, configs, want_proof=want_proof)
    expected = compact_brute_force(clauses)
    worker, from_alt, sat, model, conflicts, decisions, propagations, restarts, proof = out
    assert 0 <= worker < n and from_alt == 0
    assert sat is (expected is not None)
    if sat:
        assert satisfies(model, clauses) and proof == []
    else:
        assert model == []
        if want_proof:
            assert_refutation(clauses, [(d, [internal(x) for x in lits]) for d, lits in proof])
        else:
            assert proof == []


@given(formulas(allow_empty=False), st.booleans(), st.integers(0, 3),
       st.lists(st.integers(0, 7000), max_size=2))
def test_preprocess_solve_reconstruct(clauses, do_bve, rounds, frozen):
    expected = compact_brute_force(clauses)
    p = qn.Preprocessor(do_bve=do_bve, with_proof=True, max_resolvent_len=3)
    for c in clauses:
        p.add_clause(c)
    for v in frozen:
        p.freeze(v)
    ran = p.run(rounds)
    reduced = p.reduced()
    s = qn.Solver(p.nvars)
    s.enable_proof()
    for c in reduced:
        s.add_clause(c)
    answer = s.solve()
    assert answer is (expected is not None)
    if not ran:
        assert expected is None and reduced == [[]]
    if answer:
        model = p.reconstruct(s.model)
        assert len(model) == p.nvars and satisfies(model, clauses)
    else:
        steps = to_checker_steps(p.proof_steps()) + to_checker_steps(s.proof_steps())
        assert_refutation(clauses, steps)


def implied(clauses, lemma):
    """Whether every model of `clauses` satisfies `lemma` (brute force)."""
    negation = [[lit ^ 1] for lit in lemma]
    return compact_brute_force(list(clauses) + negation) is None


@given(st.integers(0, 10**9))
def test_accepted_lemmas_are_implied(seed):
    # A real solver proof of F + G, checked against F alone: whatever the
    # checker accepts without RAT must follow from F, and it must never
    # refute F when F is satisfiable.
    rng = random.Random(seed)
    f = random_cnf(rng, 7, 22, 2, 3)
    g = random_cnf(rng, 7, 40, 2, 3)
    s, answer = solve_with(f + g, {})
    assume(answer is False)
    steps = to_checker_steps(s.proof_steps())
    nv = nvars_of(f + g)
    res = qn.check_proof(nv, f, steps, check_rat=False)
    failing = res[8] if res[8] != -1 else len(steps) + 1
    for deletion, lits in steps[:failing - 1]:
        if not deletion:
            assert implied(f, lits), (lits, res)
    if compact_brute_force(f) is not None:
        for check_rat in (False, True):
            res = qn.check_proof(nv, f, steps, check_rat=check_rat)
            assert not (res[0] and res[9]), res


@given(formulas(max_clauses=12, allow_empty=False), st.data())
def test_no_proof_refutes_a_satisfiable_formula(clauses, data):
    assume(compact_brute_force(clauses) is not None)
    used = sorted({lit >> 1 for c in clauses for lit in c}) or [0]
    lit = st.builds(lambda v, s: 2 * v + s, st.sampled_from(used), st.integers(0, 1))
    steps = data.draw(st.lists(st.tuples(st.booleans(), st.lists(lit, max_size=3)), max_size=12))
    steps.append((False, []))
    for check_rat in (True, False):
        res = qn.check_proof(nvars_of(clauses), clauses, steps, check_rat=check_rat)
        assert not (res[0] and res[9]), (steps, res)
