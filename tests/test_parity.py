# Parity reasoning in auto: clauses that spell out "x1 + ... + xk = b (mod 2)"
# are read as equations and eliminated before any search.  Oracles: brute
# force on mixed formulas, an elimination of our own on pure systems, every
# model against every clause, and with a proof asked for, the search's proof
# through check_proof (the elimination has none, so it is not tried then).
import itertools
import random

import pytest
import quillon_native as qn

from oracles import brute_force, dimacs, satisfies, steps_of, write_cnf
from quillon_native_cli import solve_formula


def xor_clauses(vars_, rhs, flip=()):
    # The 2^(k-1) clauses of sum(vars_) = rhs (mod 2): each forbids one assignment of the wrong parity.
    # `flip` lists indices of clauses left out (the constraint is then weaker, and no equation).
    out = []
    for bits in itertools.product((0, 1), repeat=len(vars_)):
        if sum(bits) % 2 != rhs:
            out.append([2 * v + b for v, b in zip(vars_, bits)])
    return [c for i, c in enumerate(out) if i not in flip]


def consistent(nvars, eqs):
    # Gaussian elimination on bit masks, independent of the one under test.
    rows = {}
    for vars_, rhs in eqs:
        mask = sum(1 << v for v in vars_)
        while mask:
            top = mask.bit_length() - 1
            if top not in rows:
                rows[top] = (mask, rhs)
                break
            mask ^= rows[top][0]
            rhs ^= rows[top][1]
        else:
            if rhs:
                return False
    return True


def random_system(seed):
    # (nvars, equations, clauses): equations of 1 to 6 variables, clauses shuffled, literal order shuffled.
    rng = random.Random(seed)
    nvars = rng.randint(4, 16)
    eqs = [(rng.sample(range(nvars), rng.randint(1, min(6, nvars))), rng.randrange(2))
           for _ in range(rng.randint(1, nvars + 2))]
    clauses = [c for vars_, rhs in eqs for c in xor_clauses(vars_, rhs)]
    for c in clauses:
        rng.shuffle(c)
    rng.shuffle(clauses)
    return nvars, eqs, clauses


def tseitin(n, seed, charge=1):
    # Tseitin formula of a random 4-regular multigraph on n vertices (edges as variables, each vertex's
    # edges summing to its charge): UNSAT when the charges sum to 1.
    rng = random.Random(seed)
    stubs = [v for v in range(n) for _ in range(4)]
    rng.shuffle(stubs)
    edges = [(stubs[2 * i], stubs[2 * i + 1]) for i in range(2 * n)]
    eqs = []
    for v in range(n):
        incident = [e for e, (a, b) in enumerate(edges) if a == v and b != v or b == v and a != v]
        eqs.append((incident, (charge if v == 0 else 0)))
    return len(edges), [c for vars_, rhs in eqs if vars_ for c in xor_clauses(vars_, rhs)]


def searched(res):
    return res.stats["winner"] is not None


def test_pure_systems_answer_without_search_exactly_when_they_are_inconsistent():
    for seed in range(150):
        nvars, eqs, clauses = random_system(seed)
        res = solve_formula(dimacs(clauses), nvars=nvars)
        expected = consistent(nvars, eqs)
        assert res.answer is expected, seed
        if expected:
            assert satisfies([lit > 0 for lit in res.model], clauses), seed
        else:
            assert not searched(res) and res.stats["conflicts_total"] == 0, seed


MIXED = [  # (name, builder of (nvars, clauses)); brute force decides
    ("system-and-3sat", lambda rng: (10, random_system(rng.random())[2] + [[2 * v + rng.randrange(2) for v in
                                                                            rng.sample(range(10), 3)]
                                                                           for _ in range(12)])),
    ("one-clause-missing", lambda rng: (6, xor_clauses([0, 1, 2], 1) + xor_clauses([0, 1, 2], 0, flip=(2,)))),
    ("repeated-variable", lambda rng: (3, [[0, 0, 2], [1, 1, 3], [0, 3], [1, 2]] + xor_clauses([0, 1], 1)
                                       + xor_clauses([0, 1, 2], 0))),
    ("tautologies", lambda rng: (4, [[0, 1, 2], [2, 3, 4], [4, 5, 0]] + xor_clauses([0, 2], 0)
                                 + xor_clauses([1], 1) + xor_clauses([0, 1, 2, 3], 1))),
    ("units-and-pairs", lambda rng: (4, [[0], [3], [2, 4], [3, 5], [6, 5]] + xor_clauses([0, 1, 2, 3], 1))),
    ("seven-wide", lambda rng: (7, xor_clauses(list(range(7)), 1) + xor_clauses(list(range(7)), 0))),
]


@pytest.mark.parametrize("name,build", MIXED, ids=[m[0] for m in MIXED])
def test_mixed_formulas_against_brute_force(name, build):
    rng = random.Random(name)
    for _ in range(8 if name == "system-and-3sat" else 1):
        nvars, clauses = build(rng)
        nvars = max(nvars, 1 + max((lit >> 1 for c in clauses for lit in c), default=0))
        res = solve_formula(dimacs(clauses), nvars=nvars)
        assert res.answer is (brute_force(nvars, clauses) is not None)
        if res.answer:
            assert satisfies([lit > 0 for lit in res.model], clauses)


@pytest.mark.parametrize("n,charge", [(12, 1), (40, 1), (14, 0)])
def test_tseitin_formulas(tmp_path, n, charge):
    nvars, clauses = tseitin(n, seed=n, charge=charge)
    res = solve_formula(dimacs(clauses), nvars=nvars)
    assert res.answer is (charge == 0)
    if charge:  # the elimination refutes it at once, where the search takes long from 40 vertices up
        assert not searched(res) and res.stats["conflicts_total"] == 0
    else:
        assert satisfies([lit > 0 for lit in res.model], clauses)
    if n <= 14:  # with a proof asked for, auto searches, and its proof checks
        proved = solve_formula(dimacs(clauses), nvars=nvars, proof=True)
        assert proved.answer is res.answer and searched(proved)
        if not proved.answer:
            assert qn.check_proof(nvars, clauses, steps_of(proved.proof))[0]


def test_the_command_says_how_it_refuted(tmp_path, capsys):
    from quillon_native_cli.main import main
    nvars, clauses = tseitin(30, seed=3)
    path = write_cnf(tmp_path / "t.cnf", nvars, clauses)
    assert main(["solve", str(path)]) == 20
    out = capsys.readouterr().out
    used = len({lit >> 1 for c in clauses for lit in c})
    assert f"c parity: 30 equations over {used} variables sum to 0 = 1 (Gaussian elimination)\n" in out
    assert "s UNSATISFIABLE\n" in out
    assert main(["solve", "--config", "default", "--max-conflicts", "100", str(path)]) == 0  # one configuration: search only
    assert "parity" not in capsys.readouterr().out
