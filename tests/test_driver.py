# The module-backed solver driver: a run of slices is the search the Solver
# makes for the same calls (a slice end returns to level 0, so the slice sizes
# are part of the search), models satisfy, proofs written to their
# destination check against the input.
import os

import pytest
import quillon_native as qn

from oracles import pigeonhole, random_3sat, satisfies, steps_of
from quillon_native_cli.driver import Formula, ProofDest, open_driver, temporary_dest
from quillon_native_cli.proofs import ProofReader

CASES = [  # (name, nvars, clauses, options)
    ("3sat-sat", 60, random_3sat(3, 60, 4.0), {}),
    ("3sat-unsat", 50, random_3sat(11, 50, 5.5), {"restart": "glucose"}),
    ("hole6", *pigeonhole(6), {"luby_base": 512.0, "target_reset": 4, "walk_interval": 2}),
    ("empty-clause", 3, [[0, 2], []], {}),
]


def sliced(nvars, clauses, options, k):
    solver = qn.Solver(nvars, **options)
    solver.enable_proof()
    for c in clauses:
        solver.add_clause(c)
    answer = None
    while answer is None:
        answer = solver.solve(k)
    return answer, solver.conflicts, solver.model, solver.proof_steps()


@pytest.mark.parametrize("name,nvars,clauses,options", CASES, ids=[c[0] for c in CASES])
@pytest.mark.parametrize("binary", [False, True])
def test_slices_are_the_solvers_search(tmp_path, name, nvars, clauses, options, binary):
    answer, conflicts, model, steps = sliced(nvars, clauses, options, 37)
    dest = ProofDest(str(tmp_path / "p.drat"), binary)
    d = open_driver(nvars, options, dest, name=name)
    d.add_formula(Formula(nvars, clauses))
    got, slices = None, 0
    while got is None:
        got = d.run(37)
        slices += 1
        assert d.conflicts() >= 37 * slices or got is not None
    assert (got, d.conflicts(), d.stats()["conflicts"]) == (answer, conflicts, conflicts)
    assert d.run(5) == got  # an answered driver keeps its answer
    if got:
        assert d.model() == model and satisfies(model, clauses)
    else:
        assert d.model() is None
    written = d.finish_proof()
    d.close()
    assert written == len(steps)
    read = ProofReader(dest.path).read().steps
    assert [(k, list(l)) for k, l in read] == steps_of(steps)
    if not got:
        assert qn.check_proof(nvars, clauses, read)[0]


def test_no_proof_and_temporary_destinations(tmp_path):
    d = open_driver(3, {}, None)
    d.add_formula(Formula(3, [[0, 2], [1, 4]]))
    assert d.run(None) is True and d.finish_proof() is None
    target = ProofDest(str(tmp_path / "out.drat"), True)
    names = {temporary_dest(target, i).path for i in range(3)}
    assert len(names) == 3 and all(os.path.dirname(p) == str(tmp_path) for p in names)
    assert all(temporary_dest(target, i).binary for i in range(3))


def test_every_driver_has_the_protocols_members():
    from quillon_native_cli import driver, native
    wanted = {n for n in vars(driver.Driver) if not n.startswith("_")} | {"name"}
    kinds = [driver.ModuleDriver] + ([native.NativeDriver] if native.available() else [])
    for kind in kinds:
        d = kind(2, {}, None, name="x")
        assert all(hasattr(d, n) for n in wanted), (kind, wanted - set(dir(d)))
