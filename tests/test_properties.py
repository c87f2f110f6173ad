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


# ---------------------------------------------------------------------------
# Aggressive option sets on formulas big enough for reductions, restarts and
# walks to happen within a few hundred conflicts.

@st.composite
def aggressive_options(draw):
    return dict(
        restart=draw(st.sampled_from(["luby", "glucose", "none"])),
        ccmin=draw(st.sampled_from(["deep", "basic", "none"])),
        phase_saving=draw(st.booleans()), init_phase=draw(st.booleans()), target_phase=draw(st.booleans()),
        target_reset=draw(st.sampled_from([0, 1, 2, 5])),
        walk_flips=draw(st.sampled_from([0, 1, 3, 10, 100])), walk_interval=draw(st.sampled_from([0, 1, 2, 3])),
        walk_patience=draw(st.sampled_from([0, 1, 3, 100])), walk_min_conflicts=draw(st.sampled_from([0, 1, 10])),
        var_decay=draw(st.sampled_from([0.0, 0.5, 0.8, 0.95, 1.0, 1.5])),
        var_decay_max=draw(st.sampled_from([0.0, 0.95, 1.0, 2.0])),
        cla_decay=draw(st.sampled_from([0.0, 0.5, 0.999, 1.0, 2.0])),
        luby_base=draw(st.sampled_from([5e-324, 0.5, 1.0, 1.5, 2.0, 100.0])),
        first_reduce=draw(st.sampled_from([0, 1, 2, 3, 10])), reduce_inc=draw(st.sampled_from([0, 1, 2, 5])),
        glue_keep=draw(st.sampled_from([0, 1, 2, 100])), block_restart=draw(st.booleans()),
        rnd_freq=draw(st.sampled_from([0.0, 0.1, 0.5, 1.0])), rnd_seed=draw(st.integers(0, 2**32 - 1)))


@given(st.integers(0, 2**32 - 1), st.integers(25, 60), st.floats(3.8, 4.8), st.lists(aggressive_options(), min_size=2,
                                                                                      max_size=3),
       st.lists(st.integers(0, 300), min_size=1, max_size=4))
def test_aggressive_options_agree_on_threshold_3sat(seed, nvars, ratio, option_sets, limits):
    # Each configuration is driven through conflict-limited calls first,
    # then to the end; all must agree, every model must satisfy the formula
    # and every refutation must check.
    from oracles import random_3sat

    clauses = random_3sat(seed, nvars, ratio)
    answers = set()
    for opts in option_sets:
        s = qn.Solver(**opts)
        s.enable_proof()
        for c in clauses:
            s.add_clause(c)
        answer = None
        for limit in limits + [None]:
            answer = s.solve(max_conflicts=limit)
            if answer is not None:
                break
            assert s.model == []
        if answer:
            assert len(s.model) == s.nvars and satisfies(s.model, clauses)
        else:
            assert_refutation(clauses, to_checker_steps(s.proof_steps()))
        assert s.check_watch_invariant() == []
        answers.add(answer)
    assert len(answers) == 1, answers


# ---------------------------------------------------------------------------
# Incremental use: clauses added between (limited) solves.

@given(st.data(), st.one_of(st.just({}), aggressive_options()), st.booleans(), st.integers(0, 8))
def test_incremental_solver_against_brute_force(data, opts, proof, initial_vars):
    s = qn.Solver(initial_vars, **opts)
    if proof:
        s.enable_proof()
    pool = list(range(8))
    lit = st.builds(lambda v, neg: 2 * v + neg, st.sampled_from(pool), st.integers(0, 1))
    clauses = []
    for _ in range(data.draw(st.integers(1, 5), label="batches")):
        if data.draw(st.booleans(), label="new_var"):
            assert s.new_var() == s.nvars - 1
        batch = data.draw(st.lists(st.lists(lit, max_size=4), max_size=14), label="batch")
        for c in batch:
            clauses.append(c)
            if s.add_clause(c) is False:
                assert compact_brute_force(clauses) is None
        for limit in data.draw(st.lists(st.sampled_from([None, 0, 1, 2, 5, 20]), min_size=1, max_size=3),
                               label="limits"):
            answer = s.solve(max_conflicts=limit)
            expected = compact_brute_force(clauses)
            if answer is None:
                assert limit is not None and s.model == []
            elif answer:
                assert expected is not None
                assert len(s.model) == s.nvars and satisfies(s.model, clauses)
            else:
                assert expected is None and s.ok is False
                if proof:
                    assert_refutation(clauses, to_checker_steps(s.proof_steps()))
            assert s.check_watch_invariant() == []


@given(st.data(), st.booleans(), st.sampled_from([0, 1, 2, 3, 20]), st.integers(0, 8))
def test_incremental_preprocessor_against_brute_force(data, do_bve, max_len, initial_vars):
    # add / freeze / run / add / run ... with a solve and reconstruct at
    # some points in between.  A clause over an already removed variable is
    # refused (ValueError) and is then no part of the formula.
    p = qn.Preprocessor(initial_vars, do_bve=do_bve, max_resolvent_len=max_len, with_proof=True)
    lit = st.builds(lambda v, neg: 2 * v + neg, st.integers(0, 7), st.integers(0, 1))
    clauses = []
    for _ in range(data.draw(st.integers(1, 4), label="rounds")):
        for c in data.draw(st.lists(st.lists(lit, max_size=4), max_size=14), label="batch"):
            try:
                p.add_clause(c)
            except ValueError as e:
                assert "was eliminated" in str(e)
            else:
                clauses.append(c)
        for v in data.draw(st.lists(st.integers(0, 9), max_size=2), label="frozen"):
            p.freeze(v)
        ran = p.run(data.draw(st.integers(0, 4), label="run"))
        expected = compact_brute_force(clauses)
        if not ran:
            assert expected is None and p.unsat
        if not data.draw(st.booleans(), label="solve now"):
            continue
        s = qn.Solver(p.nvars)
        s.enable_proof()
        for c in p.reduced():
            s.add_clause(c)
        answer = s.solve()
        assert answer is (expected is not None)
        if answer:
            model = p.reconstruct(s.model)
            assert len(model) == p.nvars and satisfies(model, clauses)
        else:
            assert_refutation(clauses, to_checker_steps(p.proof_steps()) + to_checker_steps(s.proof_steps()))


# ---------------------------------------------------------------------------
# Mutated real proofs: check_proof must never accept a refutation of a
# satisfiable formula, whatever is done to the proof.

def mutate_proof(rng, steps, nvars, formula):
    steps = [(d, list(lits)) for d, lits in steps]
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
            steps.insert(i, (False, [2 * rng.randrange(nvars) + rng.randrange(2)
                                     for _ in range(rng.randint(0, 3))]))  # made-up lemma
        elif kind == 7:
            steps.insert(rng.randrange(len(steps) + 1), (deletion, list(lits)))  # step repeated elsewhere
        elif kind == 8:
            lits.append(2 * rng.randrange(nvars) + rng.randrange(2))  # literal added
        else:
            steps.insert(i, (True, [2 * rng.randrange(nvars) + rng.randrange(2)
                                    for _ in range(rng.randint(2, 3))]))  # made-up deletion
    return steps


@given(st.integers(0, 2**32 - 1))
def test_mutated_proofs_never_refute_a_satisfiable_formula(seed):
    # A real proof of F + G checked, mutated in many ways, against F alone
    # (and against F + G, where acceptance is allowed).
    rng = random.Random(seed)
    nv = rng.randint(5, 10)
    f = random_cnf(rng, nv, rng.randint(2 * nv, 4 * nv), 2, 3)
    g = random_cnf(rng, nv, rng.randint(nv, 3 * nv), 2, 3)
    s, answer = solve_with(f + g, {})
    assume(answer is False)
    base = to_checker_steps(s.proof_steps())
    f_sat = compact_brute_force(f) is not None
    for k in range(12):
        steps = mutate_proof(rng, base, nv, f + g) if k else base
        for check_rat, deletions in itertools.product((True, False), repeat=2):
            res = qn.check_proof(nv, f, steps, check_rat=check_rat, apply_deletions=deletions)
            assert not (f_sat and res[0] and res[9]), (steps, res)
            res = qn.check_proof(nv, f + g, steps, check_rat=check_rat, apply_deletions=deletions)
            assert res[0] is res[9] and (res[8] == -1) is (res[0] or res[1].startswith("every step")), res


@given(formulas(max_clauses=20), st.one_of(st.none(), formulas(max_clauses=20)),
       st.lists(aggressive_options(), max_size=4), st.integers(0, 5), st.booleans(), st.integers(0, 8))
def test_portfolio_with_alt_and_aggressive_options(clauses, alt, options, alt_threads, want_proof, nvars):
    # The answer is about `alt` exactly for the last alt_threads workers;
    # it must be right for the formula it is about.
    configs = [dict(PORTFOLIO_BASE, **o) for o in options]
    out = qn.solve_portfolio(nvars, clauses, configs, alt=alt, alt_threads=alt_threads, want_proof=want_proof)
    n = len(configs)
    if n == 0:
        assert out is None
        return
    worker, from_alt, sat, model, conflicts, decisions, propagations, restarts, proof = out
    alt_count = min(alt_threads, n) if alt is not None else 0
    assert 0 <= worker < n and from_alt == int(worker >= n - alt_count)
    formula = alt if from_alt else clauses
    assert sat is (compact_brute_force(formula) is not None)
    if sat:
        assert satisfies(model, formula) and proof == []
    else:
        assert model == []
        if want_proof:
            assert_refutation(formula, [(d, [internal(x) for x in lits]) for d, lits in proof])
        else:
            assert proof == []


# ---------------------------------------------------------------------------
# Clause normalisation on long clauses.  The literal-by-literal scan (a
# repeated literal dropped, the first literal whose negation came earlier
# makes a tautology, later literals unseen) must hold at any length; it
# used to cost a linear search per literal, so that one clause of 80000
# literals took seconds and one of a million some ten minutes, with the
# interpreter lock held.

def scan_model(lits):
    """(kept literals, position of the closing literal or None)."""
    kept = []
    for i, lit in enumerate(lits):
        if lit in kept:
            continue
        if lit ^ 1 in kept:
            return kept, i
        kept.append(lit)
    return kept, None


@given(st.lists(st.integers(0, 80), max_size=120), st.booleans(), st.integers(0, 40))
def test_long_clause_normalisation_matches_the_literal_scan(lits, positive_only, nvars):
    if positive_only:
        lits = [lit & ~1 for lit in lits]  # duplicates but no tautology
    kept, closing = scan_model(lits)
    db = qn.ClauseDb(nvars)
    assert db.add_clause(lits) is (closing is None)
    assert db.num_vars == max([nvars] + [(lit >> 1) + 1 for lit in kept])
    if closing is None:
        assert db.clauses() == [kept]
    else:
        assert db.num_clauses == 0 and db.num_lits == 0
    # The preprocessor counts the closing literal's variable too.
    p = qn.Preprocessor(nvars)
    p.add_clause(lits)
    seen = lits if closing is None else lits[:closing + 1]
    assert p.nvars == max([nvars] + [(lit >> 1) + 1 for lit in seen])
    assert p.reduced() == ([] if closing is not None else [kept])


def test_clause_of_a_million_literals_is_added_quickly():
    import time

    n = 1_000_000
    lits = list(range(0, 2 * n, 2)) + [6, 0]   # trailing duplicates
    for make in (qn.ClauseDb, qn.Preprocessor):
        obj = make()
        start = time.process_time()
        obj.add_clause(lits)
        assert time.process_time() - start < 20
    db = qn.ClauseDb()
    assert db.add_clause(lits) and db.num_lits == n and db.clause(0)[-1] == 2 * n - 2
    assert db.add_clause(lits + [2 * n - 1]) is False and db.num_vars == n


@given(st.integers(0, 2**32 - 1), st.integers(10, 50), st.lists(aggressive_options(), min_size=1, max_size=3),
       st.booleans())
def test_portfolio_winner_reproduces_its_standalone_solver(seed, nvars, options, want_proof):
    # A winner was never stopped, so its run is bit for bit the run of a
    # Solver with its configuration: same model, counters and proof.
    from oracles import random_3sat

    clauses = random_3sat(seed, nvars, 4.26)
    configs = [dict(PORTFOLIO_BASE, **o) for o in options]
    out = qn.solve_portfolio(nvars, clauses, configs, want_proof=want_proof)
    s = qn.Solver(nvars, **configs[out[0]])
    if want_proof:
        s.enable_proof()
    if all(s.add_clause(c) for c in clauses):
        s.solve()
    proof = [(kind == "d", lits) for kind, lits in s.proof_steps()] if not out[2] else []
    assert out[2:] == (s.ok, s.model, s.conflicts, s.decisions, s.propagations, s.restarts, proof)
