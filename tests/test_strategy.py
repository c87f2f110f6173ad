# The auto strategy through solve_formula and the command: answers against
# brute force or construction, every model against every clause, every UNSAT
# proof through check_proof, the same output on a second run, the conflict
# limit over every member, and plans chosen by features.
import os
import random
import re
import threading
import time

import pytest
import quillon_native as qn

from oracles import asymmetric_pigeonhole, brute_force, dimacs, pigeonhole, random_3sat, satisfies, steps_of, write_cnf
from quillon_native_cli import configs, native, solve_formula, strategy


def chain(n):
    # x1 -> x2 -> ... -> xn with x1 and not xn: UNSAT, every clause binary
    return n, [[0], [2 * (n - 1) + 1]] + [[2 * i + 1, 2 * i + 2] for i in range(n - 1)]


def lifted_pebbling(h, top=0):
    # pyramid pebbling of height h, each node x lifted to x1 xor x2: sources hold, a node whose two
    # predecessors hold holds, the top does not (top 0: UNSAT, refuted by preprocessing alone) or
    # does (top 1: SAT)
    node = {(r, c): i for i, (r, c) in enumerate((r, c) for r in range(h + 1) for c in range(h + 1 - r))}
    xor = lambda x, sign: [[4 * x + s, 4 * x + 2 + (s ^ sign)] for s in (0, 1)]  # noqa: E731 x1 xor x2 (sign 1: ==)
    clauses = [c for c in range(h + 1) for c in xor(node[0, c], 0)] + xor(node[h, 0], 1 - top)
    for (r, c), v in node.items():
        if r:
            for a in xor(node[r - 1, c], 1):
                for b in xor(node[r - 1, c + 1], 1):
                    clauses += [a + b + d for d in xor(v, 0)]
    return 4 * len(node), clauses


FORMULAS = [  # (name, nvars, internal clauses, expected answer or None for brute force)
    ("3sat-sat", 14, random_3sat(1, 14, 3.0), None),
    ("3sat-unsat", 14, random_3sat(2, 14, 7.0), None),
    ("hole7", *pigeonhole(7), False),
    ("chain", *chain(30), False),
    ("empty-clause", 2, [[0, 2], []], False),
    ("no-clauses", 3, [], True),
    ("lifted", *lifted_pebbling(7), False),
    ("lifted-12", *lifted_pebbling(12), False),
    ("lifted-sat", *lifted_pebbling(9, top=1), True),
    ("mixed", 12, [c + [2 * ((i * 5) % 12)] for i, c in enumerate(random_3sat(4, 12, 5.0))] + [[1, 3]], None),
]

STRATEGIES = ["auto", "default", "glucose-random", "no-restart"]


def run(clauses, strategy_name, tmp_path, tag):
    path = tmp_path / f"{tag}.drat"
    res = solve_formula(dimacs(clauses), strategy_name=strategy_name, proof=str(path))
    return res, path.read_bytes()


def without_seconds(res):
    return res.answer, res.model, res.proof, res.stats


@pytest.mark.parametrize("strategy_name", STRATEGIES)
@pytest.mark.parametrize("name,nvars,clauses,expected", FORMULAS, ids=[f[0] for f in FORMULAS])
def test_answers_models_proofs_and_repeatability(tmp_path, strategy_name, name, nvars, clauses, expected):
    res, proof = run(clauses, strategy_name, tmp_path, "a")
    if expected is None:
        expected = brute_force(nvars, clauses) is not None
    assert res.answer is expected
    # a winner, but where preprocessing alone refuted the formula
    assert bool(res.stats["winner"]) is not (strategy_name == "auto" and name in ("lifted", "lifted-12"))
    assert sorted(os.listdir(tmp_path)) == ["a.drat"]  # no member's file left
    if res.answer:
        assert satisfies([lit > 0 for lit in res.model], clauses)
    else:
        steps = [tuple(line.split()) for line in proof.decode().splitlines()]
        parsed = [("d" if s[:1] == ("d",) else "a", [int(x) for x in s if x not in ("d", "0")]) for s in steps]
        assert len(parsed) == res.proof
        assert qn.check_proof(nvars, clauses, steps_of(parsed))[0]
    again, again_proof = run(clauses, strategy_name, tmp_path, "b")
    assert without_seconds(again) == without_seconds(res) and again_proof == proof


def test_conflict_limit_counts_every_member():
    res = solve_formula(dimacs(asymmetric_pigeonhole(9)[1]), max_conflicts=1000)
    assert res.answer is None and res.stats["winner"] is None
    assert 1000 <= res.stats["conflicts_total"] <= 1000 + 3 * 10


def colouring(vertices, colours, edges):
    # x(v, c) = v * colours + c: every vertex some colour, at most one, and adjacent vertices apart
    x = lambda v, c: 2 * (v * colours + c)  # noqa: E731
    alo = [[x(v, c) for c in range(colours)] for v in range(vertices)]
    amo = [[x(v, c) + 1, x(v, d) + 1] for v in range(vertices) for c in range(colours) for d in range(c)]
    apart = [[x(u, c) + 1, x(v, c) + 1] for u, v in edges for c in range(colours)]
    return alo + amo + apart


AMO = "at-most-one and long at-least-one clauses"
HOLE8 = pigeonhole(8)[1]


def formula_of(clauses):
    formula = native.Formula(max((lit >> 1 for c in clauses for lit in c), default=-1) + 1)
    for c in clauses:
        formula.add_clause(c)
    return formula


LIFTED = [[2 * ((i + j) % 40) + (i >> j & 1) for j in range(6)] for i in range(64)] + [[0, 2], [1, 3]]
PREP = "preprocessing first"
SMALL = "small structured"


@pytest.mark.parametrize("clauses,expect", [
    (random_3sat(7, 200, 4.2), "uniform random 3-SAT"),
    ([[2 * v + random.Random(v).randrange(2) for v in random.Random(i).sample(range(60), 4)] for i in range(500)],
     "uniform random 4-SAT"),
    ([[2 * v, 2 * ((v + 1) % 50), 2 * ((v + 7) % 50) + 1, 2 * ((v + 3) % 50)] for v in range(50)],
     SMALL),  # one length, but every variable in exactly four clauses: crafted
    (chain(100)[1], SMALL),
    (chain(3000)[1], "structured"),  # beyond the small crafted formulas' size
    # every clause negative binary or positive, the positive ones long: pigeonhole and its kin
    (HOLE8, AMO),
    (pigeonhole(6)[1], AMO),
    (pigeonhole(5)[1], SMALL),  # five holes: five choices, as in colouring
    (colouring(9, 6, [(v, (v + 1) % 9) for v in range(9)]) + [[0], [5]], AMO),  # six colours; units are no choice
    (HOLE8 + [[HOLE8[0][0], HOLE8[0][1] ^ 1]], SMALL),  # one clause of both signs
    (colouring(30, 3, [(v, (v * 7 + 1) % 30) for v in range(30)]), SMALL),  # three colours a vertex
    (colouring(9, 5, [(v, (v + 1) % 9) for v in range(9)]), SMALL),  # five: still too few choices
    ([c + [c[0] + 2 * 50] for c in HOLE8 if len(c) == 2] + [c for c in HOLE8 if len(c) > 2],
     SMALL),  # at-most-one over negative 3-clauses: no binaries
    ([c for c in HOLE8 if len(c) == 2], SMALL),  # no positive clause at all
    # six literals a clause besides binaries: lifted, preprocessed first
    (LIFTED, PREP),
    (LIFTED + [[0, 2, 4]], SMALL),  # a clause of another length
    ([c[:5] for c in LIFTED[:64]] + LIFTED[64:], PREP),  # five literals: the shortest lifted length
    ([[2 * ((i * 7 + j * 13) % 40) + (i * j % 3 == 0) for j in range(4)] for i in range(60)] + [[0, 2]],
     SMALL),  # four literals: too short to be lifted
])
def test_plan_from_features(clauses, expect):
    chosen = strategy.plan(formula_of(clauses))
    if expect == PREP:
        assert chosen.prep_rounds > 0 and PREP in chosen.describe()
        return
    assert chosen.why == expect and chosen.prep_rounds == 0
    assert chosen.describe().startswith(f"strategy auto ({expect}): ")
    if expect.startswith("uniform"):
        assert chosen.members == ("default",) and chosen.unit_of(0) == strategy.DEFAULT_SLICE
    else:
        assert chosen.members[0] == ("default@2000" if expect == AMO else "default")


STRUCTURED = [[2 * (i % 90), 2 * ((i * 7 + 1) % 90) + 1] for i in range(405)] + \
    [[2 * ((i + j) % 90) + (j & 1) for j in range(9)] for i in range(10)]
AMO_SHAPED = [[2 * (i % 90) + 1, 2 * ((i * 7 + 1) % 90) + 1] for i in range(405)] + \
    [[2 * ((i * 9 + j) % 90) for j in range(9)] for i in range(10)]


@pytest.mark.parametrize("slice_", [20000, 300, 0])
def test_the_default_member_keeps_the_default_slice(slice_):
    # the member named default searches in the slices of --config default, for the same
    # conflicts a turn; the other members, and every member of the pigeonhole plan, keep theirs
    base, chosen = strategy.plan(formula_of(STRUCTURED)), strategy.plan(formula_of(STRUCTURED), slice_)
    unit = slice_ or strategy.DEFAULT_SLICE
    assert chosen.members == base.members and chosen.unit_of(0) == unit
    assert abs(chosen.weights[0] * unit - base.weights[0] * strategy.DEFAULT_SLICE) <= unit / 2
    assert abs(chosen.head * unit - base.head * strategy.DEFAULT_SLICE) <= unit / 2
    assert chosen.units[1:] == base.units[1:] and chosen.weights[1:] == base.weights[1:]
    assert abs(chosen.openings[0] * unit - base.openings[0] * strategy.DEFAULT_SLICE) <= unit / 2
    assert chosen.openings[1:] == base.openings[1:]
    amo = strategy.plan(formula_of(AMO_SHAPED))
    assert strategy.plan(formula_of(AMO_SHAPED), slice_) == amo and amo.why == AMO


def test_large_formulas_get_fewer_members():
    long = [[2 * v for v in range(i, i + 200_000)] for i in range(10)]  # two million literals
    for extra, small in (([[1, 2], [3, 0]], STRUCTURED), ([[1, 3]] * 20, AMO_SHAPED)):
        base, chosen = strategy.plan(formula_of(small)), strategy.plan(formula_of(long + extra))
        assert chosen.members == base.members[:2] and chosen.why.startswith(base.why + ", large")


CONFLICT_LIMITS = [  # max_conflicts -> the answer on a satisfiable formula, or the error raised
    (-1, None), (0, None), (1000, True), (2 ** 64 - 1, True), (2 ** 64, True), (10 ** 30, True),
    (1.5, TypeError), ("7", TypeError),
]


@pytest.mark.parametrize("limit,expected", CONFLICT_LIMITS, ids=[repr(x[0]) for x in CONFLICT_LIMITS])
def test_solve_formula_takes_any_conflict_limit(limit, expected):
    clauses = [[1, 2], [-1, 2], [1, -2]]
    if expected is TypeError:
        with pytest.raises(TypeError, match="max_conflicts=.*a whole number of conflicts"):
            solve_formula(clauses, max_conflicts=limit)
    else:
        assert solve_formula(clauses, max_conflicts=limit).answer is expected


@pytest.mark.parametrize("proof", [None, True, "file"])
def test_solve_formula(tmp_path, proof):
    nvars, clauses = pigeonhole(6)
    wish = str(tmp_path / "p.drat") if proof == "file" else proof
    res = solve_formula(dimacs(clauses), proof=wish)
    assert res.answer is False and res.model is None and res.stats["winner"]
    if proof is True:
        assert qn.check_proof(nvars, clauses, steps_of(res.proof))[0]
    elif proof == "file":
        assert res.proof > 0 and os.path.getsize(wish) > 0
    sat = solve_formula([[1, -2], [2, 3], [-1, -3]], nvars=5)
    assert sat.answer is True and len(sat.model) == 5
    assert all(any(lit in sat.model for lit in c) for c in [[1, -2], [2, 3], [-1, -3]])
    assert solve_formula(dimacs(asymmetric_pigeonhole(9)[1]), max_conflicts=300).answer is None
    for bad, kw in (([[1, 0]], {}), ([[1, 2]], {"nvars": 1}), ([[1]], {"strategy_name": "fast"})):
        with pytest.raises(ValueError):
            solve_formula(bad, **kw)


# -- the command line ----------------------------------------------------------
def solve_cli(capsys, *args):
    from quillon_native_cli.main import main
    rc = main(["solve", *map(str, args)])
    out = capsys.readouterr().out
    timed = re.compile(r"seconds|\d\.\d+ s\b")  # the only lines that may differ from run to run
    return rc, [line for line in out.splitlines() if not timed.search(line)]


def sliced(nvars, clauses, k=20000, config="default"):
    solver = qn.Solver(nvars, **configs.CONFIGS[config])
    for c in clauses:
        solver.add_clause(c)
    answer = None
    while answer is None:
        answer = solver.solve(k)
    return answer, solver.conflicts, solver.decisions, solver.model


HOLE7 = asymmetric_pigeonhole(7)
HOLE7_MIXED = (HOLE7[0], HOLE7[1] + [HOLE7[1][-5] + [2]])  # a negative binary widened by a positive literal


@pytest.mark.parametrize("name,nvars,clauses,slice_,why,winner", [
    ("3sat", 120, random_3sat(9, 120, 4.26), 20000, "uniform random 3-SAT", None),
    ("hole7-mixed", *HOLE7_MIXED, 20000, "small structured", None),
    ("hole7-mixed-slices", *HOLE7_MIXED, 300, "small structured", None),
    ("hole7", *HOLE7, 20000, AMO, ("no-restart", 30000)),
    ("hole7-slices", *HOLE7, 300, AMO, ("no-restart", 30000)),
])
def test_cli_auto_searches_as_its_winner_and_config_default_is_unchanged(tmp_path, capsys, name, nvars, clauses,
                                                                         slice_, why, winner):
    # winner: the configuration and slice whose search answers (None: the default in the slices of
    # --config default); each member is a solver of its own, so its search is that configuration's alone
    cnf = write_cnf(tmp_path / "f.cnf", nvars, clauses)
    config, k = winner or ("default", slice_)
    answer, conflicts, decisions, model = sliced(nvars, clauses, k, config)
    rc, lines = solve_cli(capsys, "--config", config, "--slice", k, cnf)
    assert rc == (10 if answer else 20)
    assert f"c conflicts         {conflicts}" in lines and f"c decisions         {decisions}" in lines
    if answer:
        got = [int(t) for line in lines if line.startswith("v ") for t in line[2:].split()]
        assert got[:-1] == [v + 1 if b else -(v + 1) for v, b in enumerate(model)]
    rc_auto, auto = solve_cli(capsys, "--slice", slice_, cnf)
    assert rc_auto == rc and any(line.startswith(f"c strategy auto ({why})") for line in auto)
    if winner:
        assert ["c", "winner", f"{config}@{k}"] in [line.split() for line in auto]
    assert solve_cli(capsys, "--config", "auto", "--slice", slice_, cnf) == (rc, auto)  # explicit; same again
    # Uniform random: the default alone; structured: the default searches alone first, in the
    # slices of --config default, and these formulas fall within that head; pigeonhole: the
    # winner's counters, model and answer are its configuration's alone.
    plan_lines = ("c strategy", "c configuration", "c slices", "c winner", "c all conflicts")
    assert [x for x in auto if not x.startswith(plan_lines)] == [x for x in lines if not x.startswith(plan_lines)]


@pytest.mark.parametrize("nvars,clauses", [HOLE7, HOLE7_MIXED], ids=["amo", "structured"])
def test_cli_auto_proof_check_and_limits(tmp_path, capsys, nvars, clauses):
    cnf = write_cnf(tmp_path / "h.cnf", nvars, clauses)
    proof = tmp_path / "h.drat"
    rc, lines = solve_cli(capsys, "--check", "--proof", proof, "--binary-proof", cnf)
    assert rc == 20 and any(line.startswith("c check: proof VERIFIED") for line in lines)
    assert any(line.startswith("c winner ") for line in lines)
    assert set(os.listdir(tmp_path)) == {"h.cnf", "h.drat"}  # no member's file left behind
    from quillon_native_cli.proofs import ProofReader
    assert qn.check_proof(nvars, clauses, ProofReader(str(proof)).read().steps)[0]
    rc, lines = solve_cli(capsys, "--max-conflicts", "700", cnf)
    total = next(int(line.split()[-1]) for line in lines if line.startswith("c all conflicts"))
    assert rc == 0 and lines[-1] == "s UNKNOWN" and 700 <= total <= 700 + 3 * 10


# -- solve_formula's search in this process ---------------------------------------
class Stopped(Exception):
    pass


HARD = dimacs(asymmetric_pigeonhole(11)[1])  # far beyond these tests' limits


def stop_after(seconds):
    """A SIGALRM in `seconds` whose handler raises Stopped (as Ctrl-C's raises KeyboardInterrupt)."""
    import signal

    def raise_stopped(signum, frame):
        raise Stopped
    old = signal.signal(signal.SIGALRM, raise_stopped)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    return lambda: signal.signal(signal.SIGALRM, old)


@pytest.mark.parametrize("strategy_name", ["auto", "default"])
def test_a_signal_stops_solve_formula_at_once_and_leaves_it_usable(tmp_path, strategy_name):
    # The search runs with the interpreter unlocked; the handler's exception
    # comes out within moments, not after the search's own limit.
    restore = stop_after(0.2)
    t0 = time.monotonic()
    try:
        with pytest.raises(Stopped):
            solve_formula(HARD, max_conflicts=300_000, strategy_name=strategy_name, proof=str(tmp_path / "p.drat"))
    finally:
        restore()
    assert time.monotonic() - t0 < 3
    assert os.listdir(tmp_path) == ["p.drat"]  # no member's folder left
    assert solve_formula([[1, 2], [-1], [-2, 3]]).model == [-1, 2, 3]


def test_solve_formula_lets_other_threads_run_while_it_searches():
    ticks, done = [], threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)
    t = threading.Thread(target=tick)
    t.start()
    try:
        res = solve_formula(HARD, seconds=0.6)
    finally:
        done.set()
        t.join()
    assert res.answer is None and res.stats["conflicts_total"] > 0 and res.stats["winner"] is None
    assert len(ticks) > 20  # every 10 ms, not only before and after the search


@pytest.mark.parametrize("seconds", [0.0, 0.3])
def test_solve_formula_ends_at_its_time_limit(seconds):
    t0 = time.monotonic()
    assert solve_formula(HARD, seconds=seconds).answer is None
    assert time.monotonic() - t0 < seconds + 1.5
