# Solving under assumptions in the command line's native runner
# (_scan.Runner.solve(assumptions=...), failed()): random incremental runs
# against brute force, where clauses arrive between calls.  Every answer is
# the oracle's, every model satisfies the clauses and the assumptions, every
# failed set is a subset of the assumptions that is itself unsatisfiable
# with the clauses, and the streamed proof checks against the clauses (with
# the empty clause exactly when the clauses alone are refuted).
import random

import pytest
import quillon_native as qn

from oracles import brute_force, random_cnf, satisfies
from quillon_native_cli import native

pytestmark = pytest.mark.skipif(not native.available(), reason="quillon_native_cli._scan is not built")
_scan = native._scan

OPTIONS = [  # cheap restarts and walks, so that both meet the assumptions often
    {}, dict(restart="glucose"), dict(luby_base=1.0, walk_min_conflicts=0, walk_flips=50, first_reduce=5, reduce_inc=1),
    dict(rnd_freq=0.3, rnd_seed=5, ccmin="basic", phase_saving=False),
]


def decode_text(data):
    steps = []
    for line in data.decode().splitlines():
        toks = line.split()
        steps.append((toks[0] == "d", [qn.from_dimacs(int(t)) for t in toks[toks[0] == "d":-1]]))
    return steps


def unsat_under(nvars, clauses, assumed):
    return brute_force(nvars, clauses + [[a] for a in assumed]) is None


def incremental_run(seed, tmp_path):
    rng = random.Random(seed)
    nvars = rng.randint(3, 8)
    opts = OPTIONS[seed % len(OPTIONS)]
    path = tmp_path / f"{seed}.drat"
    r = _scan.Runner(0, dict(opts), proof=True)
    with open(path, "wb") as fh:
        r.attach_proof(fh.fileno())
    clauses, refuted, assumed = [], False, []
    for _ in range(rng.randint(1, 6)):
        more = random_cnf(rng, nvars, rng.randint(0, 3 * nvars), 1, 3)
        for c in more:
            r.add_clause(c)
        clauses += more
        for _ in range(rng.randint(1, 4)):
            # often the last call's assumptions in part, which a call keeps on the trail
            assumed = assumed[:rng.randint(0, len(assumed))] if rng.random() < 0.5 else []
            assumed += [2 * rng.randrange(nvars) + rng.randrange(2) for _ in range(rng.randint(0, 5))]
            limit = rng.choice([None, None, None, 0, 1, 3])
            got = r.solve(limit, assumptions=assumed)
            want = not unsat_under(nvars, clauses, assumed)
            failed = r.failed()
            if got is None:
                assert limit is not None
                assert failed == []
                continue
            assert got == want, (seed, clauses, assumed)
            if got:
                model = list(r.model())
                assert satisfies(model, clauses + [[a] for a in assumed])
                assert failed == []
            elif not failed:  # the clauses alone are refuted
                assert brute_force(nvars, clauses) is None
                refuted = True
            else:  # (a search may find a failed set before it refutes the clauses)
                assert set(failed) <= set(assumed) and failed[0] in assumed
                assert unsat_under(nvars, clauses, failed)
    r.finish_proof()
    steps = decode_text(path.read_bytes())
    assert ((False, []) in steps) == refuted
    ok, _, _, _, rat, _, _, _, failing, empty = qn.check_proof(max(nvars, r.nvars), clauses, steps)
    assert rat == 0 and (ok if refuted else failing == -1 and not empty), (seed, steps, clauses)
    return refuted


def test_incremental_runs_match_brute_force(tmp_path):
    refuted = sum(incremental_run(seed, tmp_path) for seed in range(200))
    assert 0 < refuted < 200


# (clauses, assumptions, answer, failed): the failed set's order is the
# first false assumption, then the ones reached from the top of the trail.
CASES = [
    ([[0, 2], [1, 4]], [1, 3], False, [3, 1]),                 # -x1, -x2 against x1|x2
    ([[0, 2], [1, 4]], [1, 5], True, []),
    ([[1]], [0], False, [0]),                                   # false at level 0: alone
    ([[0, 2]], [1, 1, 3, 1], False, [3, 1]),                   # repeats kept once
    ([[2]], [0, 1], False, [1, 0]),                             # x and -x
    ([[1, 2], [3, 4], [5, 6]], [0, 2, 4, 7], False, [7, 0]),   # implied ones are no reason
    ([[1, 2], [3, 4], [5, 6]], [7, 0], False, [0, 7]),
    ([], [41], True, []),                                       # variables made on the way
]


@pytest.mark.parametrize("clauses, assumed, answer, failed", CASES)
def test_failed_assumptions(clauses, assumed, answer, failed):
    r = _scan.Runner(1, {})
    for c in clauses:
        r.add_clause(c)
    assert r.solve(assumptions=assumed) is answer
    assert r.failed() == failed
    assert r.nvars >= max(a >> 1 for a in assumed) + 1
    assert r.solve(assumptions=[]) is True and r.failed() == []


@pytest.mark.parametrize("opts", OPTIONS)
def test_no_assumptions_is_the_plain_search(opts):
    # solve(assumptions=[]) makes the very search solve() makes.
    from oracles import random_3sat
    clauses = random_3sat(7, 60, 4.3)
    runs = []
    for kw in ({}, {"assumptions": []}):
        r = _scan.Runner(60, dict(opts))
        for c in clauses:
            r.add_clause(c)
        runs.append((r.solve(**kw), r.stats(), r.model()))
    assert runs[0] == runs[1]


def test_interrupt_stops_one_search_only():
    from oracles import pigeonhole
    nvars, clauses = pigeonhole(9)
    r = _scan.Runner(nvars, {}, own_stop=True)
    for c in clauses:
        r.add_clause(c)
    r.interrupt()
    assert r.solve(assumptions=[]) is None
    assert r.solve(5, assumptions=[]) is None and r.stats()["conflicts"] > 1
    with pytest.raises(RuntimeError, match="own_stop"):
        _scan.Runner(1, {}).interrupt()


def test_assumptions_refused_with_a_preprocessor():
    r = _scan.Runner(2, {}, preprocess=True)
    r.add_clause([0, 2])
    assert r.preprocess(1)
    with pytest.raises(RuntimeError, match="without preprocess"):
        r.solve(assumptions=[0])
    assert r.solve() is True
