# Symmetry breaking in auto: formulas closed under signed permutations of
# their variables, answered against brute force, every model checked against
# every clause and cut to the formula's own variables; pigeonhole formulas,
# whose search shrinks; and with a proof asked for, no breaking and a proof
# that checks.
import random
import re

import pytest
import quillon_native as qn

from oracles import brute_force, dimacs, pigeonhole, satisfies, steps_of, write_cnf
from quillon_native_cli import solve_formula
from quillon_native_cli.main import main


def signed_permutation(rng, nvars, moved):
    # A literal map: `moved` variables permuted among themselves (a cycle), some images negated.
    vs = rng.sample(range(nvars), moved)
    perm = {2 * v: 2 * v for v in range(nvars)}
    for a, b in zip(vs, vs[1:] + vs[:1]):
        perm[2 * a] = 2 * b + (rng.random() < 0.3)
    return lambda lit: perm[lit & ~1] ^ (lit & 1)


def closed_formula(seed):
    # Random clauses, closed under one or two signed permutations: each is a symmetry.
    rng = random.Random(seed)
    nvars = rng.randint(5, 11)
    maps = [signed_permutation(rng, nvars, rng.randint(2, min(5, nvars))) for _ in range(rng.randint(1, 2))]
    clauses = {tuple(sorted({2 * v + rng.randrange(2) for v in rng.sample(range(nvars), rng.randint(2, 3))}))
               for _ in range(rng.randint(2, nvars))}
    todo = list(clauses)
    while todo:
        c = todo.pop()
        for m in maps:
            image = tuple(sorted({m(lit) for lit in c}))
            if image not in clauses:
                clauses.add(image)
                todo.append(image)
    return nvars, sorted(list(c) for c in clauses if len({lit >> 1 for lit in c}) == len(c))


def run_cli(capsys, *args):
    rc = main(["solve", *map(str, args)])
    return rc, capsys.readouterr().out


def test_closed_formulas_against_brute_force(tmp_path, capsys):
    broken = parity = 0
    for seed in range(60):
        nvars, clauses = closed_formula(seed)
        expected = brute_force(nvars, clauses) is not None
        res = solve_formula(dimacs(clauses), nvars=nvars)
        assert res.answer is expected, seed
        if expected:
            assert len(res.model) == nvars and satisfies([lit > 0 for lit in res.model], clauses), seed
        rc, out = run_cli(capsys, write_cnf(tmp_path / "f.cnf", nvars, clauses))
        assert rc == (10 if expected else 20), seed
        if expected:
            model = [int(t) for line in out.splitlines() if line.startswith("v ") for t in line[2:].split()]
            assert model[-1] == 0 and [abs(t) for t in model[:-1]] == list(range(1, nvars + 1)), seed
            assert satisfies([t > 0 for t in model[:-1]], clauses), seed
        broken += "c symmetry: " in out
        parity += "c parity: " in out
    assert broken + parity >= 55  # nearly all: a closure of 3-clauses often holds a contradictory parity


@pytest.mark.parametrize("holes,pigeons", [(9, 10), (6, 6), (8, 8)])
def test_pigeonhole_loses_its_search(holes, pigeons):
    # n pigeons into n holes is satisfiable; n + 1 into n takes tens of thousands of conflicts unbroken
    nvars, clauses = pigeonhole(holes)
    clauses = clauses[:pigeons] + clauses[holes + 1:]
    res = solve_formula(dimacs(clauses), nvars=nvars)
    assert res.answer is (pigeons == holes) and res.stats["conflicts_total"] < 2000
    if res.answer:
        assert satisfies([lit > 0 for lit in res.model], clauses)


def test_the_command_says_what_it_broke_and_a_proof_run_does_not(tmp_path, capsys):
    nvars, clauses = pigeonhole(6)
    cnf = write_cnf(tmp_path / "h.cnf", nvars, clauses)
    rc, out = run_cli(capsys, cnf)
    assert rc == 20
    assert re.search(r"^c symmetry: \d+ symmetries, broken by \d+ lex-leader clauses over \d+ new variables$", out,
                     re.M)
    sat = write_cnf(tmp_path / "s.cnf", nvars, clauses[:6] + clauses[7:])  # six pigeons, six holes
    for threads in ("1", "2"):
        rc, out = run_cli(capsys, "--threads", threads, sat)
        model = [int(t) for line in out.splitlines() if line.startswith("v ") for t in line[2:].split()]
        assert rc == 10 and "c symmetry: " in out and [abs(t) for t in model] == [*range(1, nvars + 1), 0]
        assert satisfies([t > 0 for t in model[:-1]], clauses[:6] + clauses[7:])
    rc, out = run_cli(capsys, "--proof", tmp_path / "h.drat", cnf)
    assert rc == 20 and "symmetry" not in out
    res = solve_formula(dimacs(clauses), nvars=nvars, proof=True)
    assert res.answer is False and qn.check_proof(nvars, clauses, steps_of(res.proof))[0]


def regular_formula(seed, nvars=12, occurrences=3):
    # Every literal in exactly `occurrences` clauses of three (2 * nvars divisible by 3): colour refinement alone tells no vertex
    # apart, so most paths it tries end in permutations that are no symmetry and must be refused.
    rng = random.Random(seed)
    stubs = [lit for lit in range(2 * nvars) for _ in range(occurrences)]
    rng.shuffle(stubs)
    while True:  # swap a stub out of every clause that repeats a variable
        bad = [i for i in range(0, len(stubs), 3) if len({lit >> 1 for lit in stubs[i:i + 3]}) < 3]
        if not bad:
            return nvars, [stubs[i:i + 3] for i in range(0, len(stubs), 3)]
        for i in bad:
            j = rng.randrange(len(stubs))
            stubs[i], stubs[j] = stubs[j], stubs[i]


def test_regular_formulas_against_brute_force():
    for seed in range(40):
        nvars, clauses = regular_formula(seed, occurrences=3 + seed % 3)
        res = solve_formula(dimacs(clauses), nvars=nvars)
        assert res.answer is (brute_force(nvars, clauses) is not None), seed
        if res.answer:
            assert satisfies([lit > 0 for lit in res.model], clauses), seed
