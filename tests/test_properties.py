# Property tests across the whole engine: every component must agree with
# an independent brute force, every model must satisfy the original formula,
# every refutation must come with a proof that check_proof accepts, and a
# proof with a lemma that is not implied must never be accepted.
import itertools
import random

from hypothesis import assume, given, strategies as st

import quillon_native as qn
from oracles import (DEFAULTS, compact_brute_force, drat_accepts, random_3sat, random_cnf, refutes,
                     satisfies, solver, steps_of)
from test_module import scan

# Formulas over a few variables, with duplicates, tautologies, empty
# clauses and large gaps between variable indices.
VAR_POOLS = [list(range(8)), [0, 1, 2, 3, 40, 41], [0, 5, 300, 301, 7000]]


@st.composite
def formulas(draw, max_clauses=20, allow_empty=True, pool=None):
    pool = pool or draw(st.sampled_from(VAR_POOLS))
    lit = st.builds(lambda v, s: 2 * v + s, st.sampled_from(pool), st.integers(0, 1))
    min_len = 0 if allow_empty and draw(st.integers(0, 9)) == 0 else 1
    return draw(st.lists(st.lists(lit, min_size=min_len, max_size=4), max_size=max_clauses))


@st.composite
def aggressive_options(draw):
    pick = lambda *xs: draw(st.sampled_from(xs))  # noqa: E731
    return dict(
        restart=pick("luby", "glucose", "none"), ccmin=pick("deep", "basic", "none"),
        phase_saving=draw(st.booleans()), init_phase=draw(st.booleans()), target_phase=draw(st.booleans()),
        target_reset=pick(0, 1, 2, 5), walk_flips=pick(0, 1, 3, 10, 100), walk_interval=pick(0, 1, 2, 3),
        walk_patience=pick(0, 1, 3, 100), walk_min_conflicts=pick(0, 1, 10),
        var_decay=pick(0.0, 0.5, 0.8, 0.95, 1.0, 1.5), var_decay_max=pick(0.0, 0.95, 1.0, 2.0),
        cla_decay=pick(0.0, 0.5, 0.999, 1.0, 2.0), luby_base=pick(5e-324, 0.5, 1.0, 1.5, 2.0, 100.0),
        first_reduce=pick(0, 1, 2, 3, 10), reduce_inc=pick(0, 1, 2, 5), glue_keep=pick(0, 1, 2, 100),
        block_restart=draw(st.booleans()), rnd_freq=pick(0.0, 0.1, 0.5, 1.0), rnd_seed=draw(st.integers(0, 2**32 - 1)))


def assert_answer(answer, model, proof, clauses, expected=0):
    expected = compact_brute_force(clauses) if expected == 0 else expected
    assert answer is (expected is not None)
    if answer:
        assert satisfies(model, clauses)
    elif proof is not None:
        assert refutes(clauses, proof)


@given(st.data(), st.one_of(st.just({}), aggressive_options()), st.booleans(), st.integers(0, 8))
def test_incremental_solver_against_brute_force(data, opts, proof, initial_vars):
    # Batches of clauses (with gaps between variables) and new variables,
    # each followed by conflict-limited and full solves.
    s = solver(initial_vars, [], proof=proof, **opts)
    pool = data.draw(st.sampled_from(VAR_POOLS), label="pool")
    clauses = []
    for _ in range(data.draw(st.integers(1, 4), label="batches")):
        if data.draw(st.booleans(), label="new_var"):
            assert s.new_var() == s.nvars - 1
        for c in data.draw(formulas(14, pool=pool), label="batch"):
            clauses.append(c)
            s.add_clause(c)
        expected = compact_brute_force(clauses)
        assert s.ok or expected is None
        for limit in data.draw(st.lists(st.sampled_from([None, 0, 1, 2, 5, 20]), min_size=1, max_size=3)):
            answer = s.solve(max_conflicts=limit)
            if answer is None:
                assert limit is not None and s.model == []
            else:
                assert len(s.model) == s.nvars or not answer
                assert_answer(answer, s.model, s.proof_steps() if proof else None, clauses, expected)
                assert answer or not s.ok
            assert s.check_watch_invariant() == []


@given(st.data(), st.booleans(), st.sampled_from([0, 1, 2, 3, 20]), st.integers(0, 8))
def test_incremental_preprocessor_against_brute_force(data, do_bve, max_len, initial_vars):
    # add / freeze / run / add / run ... with a solve and reconstruct at
    # some points in between.  A clause over an already removed variable is
    # refused (ValueError) and is then no part of the formula.  Every step
    # of the proof is RUP or RAT where it stands, refutation or not.
    p = qn.Preprocessor(initial_vars, do_bve=do_bve, max_resolvent_len=max_len, with_proof=True)
    pool = data.draw(st.sampled_from(VAR_POOLS), label="pool")
    clauses = []
    for _ in range(data.draw(st.integers(1, 3), label="rounds")):
        for c in data.draw(formulas(14, allow_empty=False, pool=pool), label="batch"):
            try:
                p.add_clause(c)
            except ValueError as e:
                assert str(e).endswith("was eliminated; freeze it before run to add clauses over it")
            else:
                clauses.append(c)
        for v in data.draw(st.lists(st.sampled_from(pool + [9]), max_size=2), label="frozen"):
            p.freeze(v)
        ran = p.run(data.draw(st.integers(0, 4), label="run"))
        expected = compact_brute_force(clauses)
        assert (ran or p.unsat) and (expected is None or not p.unsat)
        if not data.draw(st.booleans(), label="solve now"):
            continue
        s = solver(p.nvars, p.reduced(), proof=True)
        answer = s.solve()
        model = p.reconstruct(s.model) if answer else []
        assert_answer(answer, model, p.proof_steps() + s.proof_steps(), clauses, expected)
        assert not answer or len(model) == p.nvars
    assert drat_accepts(clauses, p.proof_steps(), need_empty=p.unsat)


@given(formulas(), st.one_of(st.none(), formulas()), st.lists(aggressive_options(), max_size=4),
       st.integers(0, 5), st.booleans(), st.integers(0, 8))
def test_portfolio_against_brute_force(clauses, alt, options, alt_threads, want_proof, nvars):
    # The answer is about `alt` exactly for the last alt_threads workers;
    # it must be right for the formula it is about.
    configs = [dict(DEFAULTS, **o) for o in options]
    out = qn.solve_portfolio(nvars, clauses, configs, alt=alt, alt_threads=alt_threads, want_proof=want_proof)
    n = len(configs)
    if n == 0:
        assert out is None
        return
    worker, from_alt, sat, model, conflicts, decisions, propagations, restarts, proof = out
    alt_count = min(alt_threads, n) if alt is not None else 0
    assert 0 <= worker < n and from_alt == int(worker >= n - alt_count)
    formula = alt if from_alt else clauses
    steps = [(d, [2 * abs(x) - 2 + (x < 0) for x in lits]) for d, lits in proof] if want_proof else None
    assert_answer(sat, model, steps, formula)
    assert (proof == []) is (sat or not want_proof) and (sat or model == [])
    assert not sat or len(model) >= nvars


@given(st.integers(0, 2**32 - 1), st.integers(10, 50), st.lists(aggressive_options(), min_size=1, max_size=3),
       st.booleans())
def test_portfolio_winner_reproduces_its_standalone_solver(seed, nvars, options, want_proof):
    # A winner was never stopped, so its run is bit for bit the run of a
    # Solver with its configuration: same model, counters and proof.
    clauses = random_3sat(seed, nvars, 4.26)
    configs = [dict(DEFAULTS, **o) for o in options]
    out = qn.solve_portfolio(nvars, clauses, configs, want_proof=want_proof)
    s = solver(nvars, [], proof=want_proof, **configs[out[0]])
    if all(s.add_clause(c) for c in clauses):
        s.solve()
    proof = [(kind == "d", lits) for kind, lits in s.proof_steps()] if not out[2] else []
    assert out[2:] == (s.ok, s.model, s.conflicts, s.decisions, s.propagations, s.restarts, proof)


# ---------------------------------------------------------------------------
# check_proof soundness: whatever it accepts follows from the formula.

def mutate_proof(rng, steps, nvars, formula):
    steps = [(d, list(lits)) for d, lits in steps]
    rlit = lambda: 2 * rng.randrange(nvars) + rng.randrange(2)  # noqa: E731
    for _ in range(rng.randint(1, 4)):
        if not steps:
            break
        i = rng.randrange(len(steps))
        deletion, lits = steps[i]
        kind = rng.randrange(10)
        if kind == 0:
            del steps[i]                                           # lemma or deletion dropped
        elif kind == 1 and len(lits) > 1:
            rng.shuffle(lits)                                      # other RAT pivot, other watches
        elif kind == 2 and lits:
            del lits[rng.randrange(len(lits))]                     # literal dropped
        elif kind == 3 and lits:
            lits[rng.randrange(len(lits))] ^= 1                    # literal negated
        elif kind == 4:
            steps[i] = (not deletion, lits)                        # addition <-> deletion
        elif kind == 5 and formula:
            steps.insert(i, (True, list(rng.choice(formula))))     # input clause deleted
        elif kind == 6:
            steps.insert(i, (False, [rlit() for _ in range(rng.randint(0, 3))]))  # made-up lemma
        elif kind == 7:
            steps.insert(rng.randrange(len(steps) + 1), (deletion, list(lits)))  # step repeated elsewhere
        elif kind == 8:
            lits.append(rlit())                                    # literal added
        else:
            steps.insert(i, (True, [rlit() for _ in range(rng.randint(2, 3))]))  # made-up deletion
    return steps


def implied(clauses, lemma):
    return compact_brute_force(list(clauses) + [[lit ^ 1] for lit in lemma]) is None


@given(st.integers(0, 2**32 - 1))
def test_mutated_proofs_never_refute_a_satisfiable_formula(seed):
    # A real proof of F + G, mutated in many ways, checked against F alone
    # (and against F + G, where acceptance is allowed).  Without RAT, every
    # lemma accepted before the first failure must follow from F.
    rng = random.Random(seed)
    nv = rng.randint(5, 10)
    f = random_cnf(rng, nv, rng.randint(2 * nv, 4 * nv), 2, 3)
    g = random_cnf(rng, nv, rng.randint(nv, 3 * nv), 2, 3)
    s = solver(nv, f + g, proof=True)
    assume(s.solve() is False)
    base = steps_of(s.proof_steps())
    f_sat = compact_brute_force(f) is not None
    for k in range(12):
        steps = mutate_proof(rng, base, nv, f + g) if k else base
        for check_rat, deletions in itertools.product((True, False), repeat=2):
            res = qn.check_proof(nv, f, steps, check_rat=check_rat, apply_deletions=deletions)
            assert not (f_sat and res[0] and res[9]), (steps, res)
            if k == 0 and not check_rat and deletions:
                failing = res[8] if res[8] != -1 else len(steps) + 1
                assert all(d or implied(f, lits) for d, lits in steps[:failing - 1])
            res = qn.check_proof(nv, f + g, steps, check_rat=check_rat, apply_deletions=deletions)
            assert res[0] is res[9] and (res[8] == -1) is (res[0] or res[1].startswith("every step")), res


# ---------------------------------------------------------------------------
# Clause normalisation at any length: a repeated literal is dropped, the
# first literal whose negation came earlier makes a tautology, later
# literals are unseen.  Long clauses take another path than short ones.

@given(st.lists(st.integers(0, 80), max_size=120), st.booleans(), st.integers(0, 40))
def test_long_clause_normalisation_matches_the_literal_scan(lits, positive_only, nvars):
    if positive_only:
        lits = [lit & ~1 for lit in lits]  # duplicates but no tautology
    kept, closing = scan(lits)
    db = qn.ClauseDb(nvars)
    assert db.add_clause(lits) is (closing is None)
    assert db.num_vars == max([nvars] + [(lit >> 1) + 1 for lit in kept])
    assert db.clauses() == ([kept] if closing is None else [])
    p = qn.Preprocessor(nvars)  # counts the closing literal's variable too
    p.add_clause(lits)
    seen = lits if closing is None else lits[:closing + 1]
    assert p.nvars == max([nvars] + [(lit >> 1) + 1 for lit in seen])
    assert p.reduced() == ([] if closing is not None else [kept])
