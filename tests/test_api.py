# quillon_sat, the programmers' package: incremental runs against PySAT's
# solvers (same answers; every model satisfies the clauses and the
# assumptions; every core is a subset of the assumptions that PySAT also
# refutes; every proof passes our checker, and drat-trim when the clauses
# are refuted), the argument errors, interrupt(), the one-call helpers and
# the README example as written.
import os
import random
import re
import subprocess
import threading
import time
from pathlib import Path

import pytest

from commands import cnf_text
from oracles import dimacs, models, pigeonhole, random_3sat, write_cnf
from quillon_native_cli import native

pytestmark = pytest.mark.skipif(not native.available(), reason="quillon_native_cli._scan is not built")
quillon_sat = pytest.importorskip("quillon_sat")
solvers = pytest.importorskip("pysat.solvers")

ROOT = Path(__file__).resolve().parent.parent
DRAT_TRIM = next((p for p in (Path("/tmp/drat-trim/drat-trim"), Path("/tmp/drat-trim")) if p.is_file()), None)
PEERS = ("Minisat22", "Cadical153", "Glucose4")
CONFIGS = ("default", "glucose", "minisat", "random", "stable", "no-walk", "glucose-random", "no-restart")


def run_once(seed, tmp_path):
    """One random incremental run; returns (calls compared, clauses refuted)."""
    rng = random.Random(seed)
    hard = seed % 16 == 15  # learning, restarts and reductions under assumptions
    nvars = rng.randint(90, 130) if hard else rng.randint(5, 40)
    peer = getattr(solvers, PEERS[seed % len(PEERS)])()
    proof = tmp_path / f"{seed}.drat"
    clauses, compared, refuted, assumed = [], 0, False, []
    options = dict(luby_base=2.0, first_reduce=50, reduce_inc=10) if hard else None
    config = CONFIGS[(seed // 16 if hard else seed) % len(CONFIGS)]
    with quillon_sat.Solver(config=config, options=options, proof=proof,
                            binary_proof=seed % 5 == 0) as s:
        for _ in range(rng.randint(1, 5)):
            ratio = 4.0 if hard else rng.choice([1.0, 2.0, 3.0, 4.0])
            more = dimacs(random_3sat(rng.randrange(10 ** 6), nvars, ratio)[:rng.randint(nvars, 4 * nvars) if hard
                                                                              else rng.randint(0, 2 * nvars)])
            more += [[rng.choice([-1, 1]) * rng.randint(1, nvars + 3)] for _ in range(rng.randrange(2))]
            s.add_clauses(more)
            clauses += more
            for c in more:
                peer.add_clause(c)
            for _ in range(rng.randint(1, 4)):
                # often the last call's assumptions in part, which a call keeps on the trail
                assumed = assumed[:rng.randint(0, len(assumed))] if rng.random() < 0.5 else []
                assumed += [rng.choice([-1, 1]) * rng.randint(1, nvars + 3) for _ in range(rng.randint(0, 8))]
                limit = rng.choice([None] * 6 + [0, 2, 50])
                got = s.solve(assumed, max_conflicts=limit)
                if got is None:
                    assert limit is not None and s.core() is None and s.model() is None
                    continue
                want = peer.solve(assumptions=assumed)
                assert got == want, (seed, clauses, assumed)
                compared += 1
                if got:
                    model = set(s.model())
                    assert all(model & set(c) for c in clauses) and set(assumed) <= model
                    assert all(s.value(lit) is (lit in model) for lit in assumed)
                    continue
                core = s.core()
                if not core:
                    refuted = True
                    assert peer.solve() is False
                else:
                    assert set(core) <= set(assumed) and peer.solve(assumptions=core) is False
    peer.delete()
    nv = max([nvars + 3] + [abs(lit) for c in clauses for lit in c])
    verdict = quillon_sat.check(clauses, proof) if clauses else None
    if verdict is not None:
        assert verdict.rat == 0 and verdict.empty_clause == refuted and verdict.failing_step == -1, (seed, verdict)
    if refuted and DRAT_TRIM is not None and seed % 10 == 0:
        (tmp_path / "f.cnf").write_text(cnf_text(nv, clauses))
        d = subprocess.run([str(DRAT_TRIM), str(tmp_path / "f.cnf"), str(proof)], capture_output=True, text=True,
                           timeout=60)
        assert "s VERIFIED" in d.stdout, (seed, d.stdout)
    proof.unlink()
    return compared, refuted


def test_incremental_runs_agree_with_pysat(tmp_path, request):
    # QUILLON_API_RUNS=10000 (or --slow) for the long run.
    runs = int(os.environ.get("QUILLON_API_RUNS", 3000 if request.config.getoption("--slow") else 250))
    compared = refuted = 0
    for seed in range(runs):
        c, r = run_once(seed, tmp_path)
        compared += c
        refuted += r
    print(f"{runs} runs, {compared} answers compared, {refuted} refuted")  # a disagreement fails at once
    assert compared > 2 * runs and 0 < refuted < runs


BAD = [  # (call on a fresh Solver, exception, message)
    (lambda s: s.add_clause([1, 0]), ValueError, "clause [1, 0]: literal 0 is out of range"),
    (lambda s: s.add_clause([1, "2"]), TypeError, "clause [1, '2']: literal '2' is not an integer"),
    (lambda s: s.add_clause([2.0]), TypeError, "clause [2.0]: literal 2.0 is not an integer"),
    (lambda s: s.add_clause([True]), TypeError, "clause [True]: literal True is a bool"),
    (lambda s: s.add_clause(7), TypeError, "clause 7: not a sequence of literals"),
    (lambda s: s.add_clause([2 ** 31]), ValueError, "literal 2147483648 is out of range"),
    (lambda s: s.add_clauses([[1], [2, None]]), TypeError, "clause [2, None]: literal None is not an integer"),
    (lambda s: s.solve([0]), ValueError, "assumptions [0]: literal 0 is out of range"),
    (lambda s: s.solve(max_conflicts=-1), ValueError, "max_conflicts must be between 0"),
    (lambda s: s.solve(max_conflicts=1.5), TypeError, "max_conflicts must be a whole number or None, not float"),
    (lambda s: s.solve(seconds=float("nan")), ValueError, "seconds must be a non-negative number, not nan"),
    (lambda s: s.solve(seconds="1"), TypeError, "seconds must be a number or None, not str"),
    (lambda s: s.value("x"), TypeError, "literal 'x': literal 'x' is not an integer"),
    (lambda s: s.value(0), ValueError, "literal 0 is out of range"),
    (lambda s: quillon_sat.Solver(config="fast"), ValueError, "unknown configuration 'fast'; one of default, "),
    (lambda s: quillon_sat.Solver(options={"luby_base": 0.0}), ValueError, "luby_base"),
]


@pytest.mark.parametrize("call, kind, message", BAD)
def test_bad_arguments_name_the_fault_and_change_nothing(call, kind, message):
    with quillon_sat.Solver([[1, 2], [-1, 2]]) as s:
        with pytest.raises(kind, match=re.escape(message)):
            call(s)
        assert s.solve([-2]) is False and s.core() == [-2]
        assert s.solve() is True and s.value(2) is True


class Lits(list):
    """A list of another type: literals that take the general path."""


LITERAL_FORMS = [  # (name, how a list of DIMACS literals is handed over)
    ("list", list),
    ("tuple", tuple),
    ("generator", lambda c: (x for x in c)),
    ("list subclass", Lits),
    ("range-like ints", lambda c: [int(str(x)) for x in c]),
]


@pytest.mark.parametrize("name, form", LITERAL_FORMS)
def test_every_form_of_literals_adds_and_assumes_the_same(name, form):
    # Clauses and assumptions in each form: the same answers, cores, models,
    # variable counts, and no answer kept from before a clause was added.
    with quillon_sat.Solver() as s:
        s.add_clause(form([1, -7]))
        assert s.nvars == 7
        assert s.solve(form([-1, 7])) is False and sorted(s.core()) == [-1, 7]
        s.add_clauses([form([-1]), form([]), form([2, 3])])
        assert s.nvars == 7 and s.solve() is False and s.core() == [] and s.model() is None
    with quillon_sat.Solver() as s:
        assert s.solve(form([9, -3])) is True and s.nvars == 9 and s.model()[8] == 9 and s.value(-3) is True
        s.add_clause(form([-9, 3]))  # the model above is gone with the new clause
        assert s.model() is None and s.value(9) is None and s.core() is None
        assert s.solve(form([9, -3])) is False and sorted(s.core()) == [-3, 9]
        s.add_clauses([form([4])])
        assert s.core() is None and s.nvars == 9
        assert s.solve(form([-4])) is False and s.core() == [-4]


EDGE_LITERALS = [  # (clause, exception, message): refused whole, before anything is added
    ([1, 2 ** 31 - 1], ValueError, "literal 2147483647 is out of range"),
    ((1, -(2 ** 31 - 1)), ValueError, "literal -2147483647 is out of range"),
    ([1, 2 ** 64], ValueError, "literal 18446744073709551616 is out of range"),
    ((1, -(2 ** 70)), ValueError, "is out of range"),
    ([1, False], TypeError, "literal False is a bool"),
    ((1, 0), ValueError, "literal 0 is out of range"),
]


@pytest.mark.parametrize("clause, kind, message", EDGE_LITERALS)
def test_edge_literals_are_refused_in_clauses_and_assumptions(clause, kind, message):
    with quillon_sat.Solver([[1, 2], [-1, 2]]) as s:
        with pytest.raises(kind, match=re.escape(message)):
            s.add_clause(clause)
        with pytest.raises(kind, match=re.escape(message)):
            s.add_clauses([[2], clause])
        with pytest.raises(kind, match=re.escape(message)):
            s.solve(clause)
        with pytest.raises(kind, match=re.escape(message)):
            s.solve(clause, max_conflicts=-1)  # the assumptions' fault is named first
        assert s.nvars == 2 and s.solve([-2]) is False and s.core() == [-2]


def test_numpy_integers_are_literals():
    np = pytest.importorskip("numpy")
    with quillon_sat.Solver(np.array([[1, 2], [-1, 2]], dtype=np.int64)) as s:
        assert s.solve(np.array([-2], dtype=np.int32)) is False and s.core() == [-2]
        assert s.solve([np.int8(1)], max_conflicts=np.uint64(5)) is True and s.value(np.int16(2)) is True
    r = quillon_sat.solve([np.array([1, -2]), [np.int64(2)]])
    assert r.answer is True and r.model == [1, 2]


def test_interrupt_from_another_thread_and_busy_calls():
    nvars, clauses = pigeonhole(10)
    with quillon_sat.Solver(dimacs(clauses)) as s:
        answers = []
        t = threading.Thread(target=lambda: answers.append(s.solve()))
        t.start()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                s.add_clause([1])
            except RuntimeError as e:  # the search has started
                assert "busy" in str(e)
                break
            time.sleep(0.001)
        s.interrupt()
        t.join(10)
        assert answers == [None]
        assert s.solve(max_conflicts=10) is None and s.stats().conflicts > 10


def test_a_refutation_proof_streams_to_its_file(tmp_path):
    nvars, clauses = pigeonhole(6)
    proof = tmp_path / "p.drat"
    with quillon_sat.Solver(dimacs(clauses), config="glucose", proof=proof) as s:
        assert s.solve([1]) is False and s.core() == [1]
        assert s.solve() is False and s.core() == []
        assert quillon_sat.check(dimacs(clauses), proof).verified  # flushed at the end of solve()
        assert repr(s) == f"<quillon_sat.Solver vars={nvars} unsat>"
    with pytest.raises(ValueError, match="the solver is closed"):
        s.solve()
    write_cnf(tmp_path / "f.cnf", nvars, clauses)
    assert quillon_sat.check(tmp_path / "f.cnf", proof) == quillon_sat.check(dimacs(clauses), proof)


@pytest.mark.parametrize("seed", range(12))
def test_models_and_one_call_solve_match_brute_force(seed, tmp_path):
    rng = random.Random(seed)
    nvars = rng.randint(3, 9)
    clauses = dimacs(random_3sat(seed, nvars, rng.choice([1.0, 3.0, 5.0]))) + [[nvars, -nvars]]  # all variables
    want = {tuple(v + 1 if b else -(v + 1) for v, b in enumerate(m)) for m in models(nvars, [
        [2 * (abs(d) - 1) + (d < 0) for d in c] for c in clauses])}
    got = [tuple(m) for m in quillon_sat.models(clauses)]
    assert len(got) == len(set(got)) and set(got) == want
    over = list(range(1, nvars // 2 + 1))
    projected = {tuple(m[:len(over)]) for m in want}
    got = list(quillon_sat.models(clauses, over=over))
    assert len(got) == len(projected) and {tuple(m[:len(over)]) for m in got} == projected
    assert len(list(quillon_sat.models(clauses, 2))) == min(2, len(want))
    strategy = rng.choice(["auto", "default", "glucose"])
    r = quillon_sat.solve(clauses, nvars, proof=tmp_path / "p", strategy=strategy)
    assert r.answer is bool(want)
    if r.answer:
        assert tuple(r.model) in want
    else:
        assert quillon_sat.check(clauses, tmp_path / "p").verified and r.proof_steps is not None


def test_dimacs_files_round_trip_and_errors(tmp_path):
    f = tmp_path / "a.cnf"
    quillon_sat.write_dimacs(f, [[1, -3], [2]], nvars=4)
    assert f.read_text() == "p cnf 4 2\n1 -3 0\n2 0\n"
    assert quillon_sat.read_dimacs(f) == quillon_sat.Cnf(4, [[1, -3], [2]])
    f.write_text("p cnf 2 1\n1 3 0\n")
    with pytest.raises(quillon_sat.DimacsError, match=r"a.cnf:2: literal 3 exceeds the header's 2 variables"):
        quillon_sat.read_dimacs(f)
    assert quillon_sat.read_dimacs(f, relaxed=True) == quillon_sat.Cnf(3, [[1, 3]])
    v = quillon_sat.check([[1, 2], [1, -2], [-1, 2], [-1, -2]], [("a", [1]), ("d", [1, 2]), ("a", [])])
    assert v == quillon_sat.Verdict(True, v.message, 3, 2, 0, 1, 0, 0, -1, True)
    with pytest.raises(ValueError, match="proof step"):
        quillon_sat.check([[1]], [("x", [1])])


def readme_example():
    text = (ROOT / "README.md").read_text()
    m = re.search(r"```python\n(import quillon_sat\n.*?)```", text, re.S)
    assert m, "README has no Python example"
    return m[1]


def test_readme_example_runs_as_written(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    exec(compile(readme_example(), "README.md", "exec"), {})


SOLVE_FORMULA_INPUTS = [  # (clauses, answer or the exception and its message)
    ("numpy", True, None),
    ([[1, 2.0]], TypeError, "clause [1, 2.0]: literals are integers"),
    ([[1, "2"]], TypeError, "clause [1, '2']: literals are integers"),
    ([[1, 0]], ValueError, "clause [1, 0]: literals are non-zero"),
    ([[2 ** 40]], ValueError, "literals are non-zero, of variables 1 to 2147483646"),
    ([iter([1, -2]), (2,)], True, None),
]


@pytest.mark.parametrize("clauses, want, message", SOLVE_FORMULA_INPUTS)
def test_solve_formula_takes_any_integer_type(clauses, want, message):
    from quillon_native_cli import solve_formula
    if clauses == "numpy":
        np = pytest.importorskip("numpy")
        clauses = [np.array([1, -2], dtype=np.int64), [np.int32(2)]]
    if isinstance(want, bool):
        assert solve_formula(clauses).answer is want
    else:
        with pytest.raises(want, match=re.escape(message)):
            solve_formula(clauses)


def test_type_checkers_read_the_annotations(tmp_path, monkeypatch):
    mypy = pytest.importorskip("mypy.api")
    assert (ROOT / "python" / "quillon_sat" / "py.typed").exists()
    user = tmp_path / "user.py"
    user.write_text("import quillon_sat\n\nwith quillon_sat.Solver([[1, 2]], config='glucose') as s:\n"
                    "    answer: bool | None = s.solve([-1], max_conflicts=10)\n"
                    "    core: list[int] | None = s.core()\n    conflicts: int = s.stats().conflicts\n"
                    "    bad: str = s.model()\n")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MYPYPATH", str(ROOT / "python"))
    out, _, status = mypy.run([str(user), "--no-incremental", "--follow-imports=silent", "--ignore-missing-imports"])
    assert status == 1 and out.count("error:") == 1 and 'user.py:7: error: Incompatible types in assignment ' \
        '(expression has type "list[int] | None", variable has type "str")' in out, out


def test_add_file_reads_with_the_commands_reader(tmp_path):
    rng = random.Random(3)
    clauses = dimacs(random_3sat(4, 40, 4.3)) + [[40, -40]]
    f = tmp_path / "f.cnf"
    f.write_text(cnf_text(40, clauses))
    with quillon_sat.Solver(config="minisat") as by_file, quillon_sat.Solver(clauses, config="minisat") as by_list:
        assert by_file.add_file(f) == len(clauses) and by_file.nvars == by_list.nvars == 40
        for _ in range(20):
            assumed = [rng.choice([-1, 1]) * rng.randint(1, 40) for _ in range(4)]
            assert by_file.solve(assumed) == by_list.solve(assumed)
            assert (by_file.model(), by_file.core(), by_file.stats()) == (by_list.model(), by_list.core(),
                                                                          by_list.stats())
        (tmp_path / "bad.cnf").write_text("p cnf 2 2\n1 2 0\n-1 x 0\n")
        with pytest.raises(quillon_sat.DimacsError, match="bad.cnf:3:"):
            by_file.add_file(tmp_path / "bad.cnf")
        assert by_file.solve([1]) == by_list.solve([1])  # nothing of the bad file was added
        assert (by_file.model(), by_file.stats()) == (by_list.model(), by_list.stats())
