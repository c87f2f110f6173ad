# solve_portfolio: reading the worker configurations, the worker / formula
# assignment, answers checked against independent oracles, and the threading
# contract (interpreter lock released, every thread joined).  Answers and
# winners against brute force and lone solvers are the property tests' part.
import os
import subprocess
import sys
import threading
import time

import pytest

import quillon_native as qn
from oracles import DEFAULTS, drat_accepts, pigeonhole, refutes, satisfies, stamps_during

KEYS = list(DEFAULTS)
GLUCOSE = dict(DEFAULTS, restart="glucose", rnd_seed=7, ccmin="basic")


def cfg(**changes):
    return dict(DEFAULTS, **changes)


def proof_ok(clauses, proof):
    # the (deletion, DIMACS) steps through both checkers
    steps = [(d, [2 * abs(x) - 2 + (x < 0) for x in lits]) for d, lits in proof]
    return refutes(clauses, steps) and drat_accepts(clauses, steps)


# ---------------------------------------------------------------------------
# Arguments and worker configurations.

class Recorder:  # a mapping-like object that logs every key it is asked for
    def __init__(self, data, log):
        self.data, self.log = data, log

    def __getitem__(self, key):
        self.log.append(key)
        return self.data[key]


def test_keys_read_by_subscription_in_table_order():
    log = []
    assert qn.solve_portfolio(1, [[0]], [Recorder(DEFAULTS, log), Recorder(GLUCOSE, log)])[2] is True
    assert log == KEYS + KEYS
    # The first failure stops the reading: later keys and items are untouched.
    log.clear()
    with pytest.raises(TypeError):
        qn.solve_portfolio(1, [[0]], [Recorder(cfg(walk_flips="x"), log), Recorder(DEFAULTS, log)])
    assert log == KEYS[:KEYS.index("walk_flips") + 1]


@pytest.mark.parametrize("key, value, cause_type, cause_msg", [
    ("glue_keep", 2**32, OverflowError, "number too large to fit in target type"),
    ("rnd_seed", -1, OverflowError, "number too small to fit in target type"),
    ("walk_flips", -1, OverflowError, None),
    ("first_reduce", 2**64, OverflowError, None),
    ("phase_saving", 1, TypeError, "'int' object is not an instance of 'bool'"),
    ("block_restart", None, TypeError, "'None' is not an instance of 'bool'"),
    ("restart", None, TypeError, "'None' is not an instance of 'str'"),
    ("ccmin", b"deep", TypeError, "'bytes' object is not an instance of 'str'"),
    ("restart", "\ud800", UnicodeEncodeError, None),
    ("var_decay", "0.8", TypeError, None),
    ("target_reset", 1.5, TypeError, None),
])
def test_field_conversion_errors(key, value, cause_type, cause_msg):
    with pytest.raises(TypeError) as info:
        qn.solve_portfolio(1, [[0]], [DEFAULTS, cfg(**{key: value})])
    e = info.value
    assert type(e) is TypeError and str(e) == f"failed to extract field WorkerConfig.{key}"
    assert type(e.__cause__) is cause_type
    if cause_msg is not None:
        assert str(e.__cause__) == cause_msg
    assert e.__notes__ == ["while processing 'configs'"]


def test_accepted_values_and_extra_keys():
    # ints for floats, any mapping, extra keys ignored, every string spelling
    configs = [cfg(var_decay=1, luby_base=3, extra="ignored", restart=r, ccmin=c)
               for r in ("glucose", "luby", "none") for c in ("deep", "basic", "none")]
    res = qn.solve_portfolio(3, [[0, 2], [1, 4]], configs)
    assert [type(x) for x in res] == [int, int, bool, list, int, int, int, int, list] and res[0] < 9
    assert res[1:3] == (0, True) and res[8] == [] and len(res[3]) == 3 and satisfies(res[3], [[0, 2], [1, 4]])


def test_errors_raise_before_anything_runs():
    nvars, hard = pigeonhole(11)
    t0 = time.perf_counter()
    with pytest.raises(ValueError, match="unknown restart"):
        qn.solve_portfolio(nvars, hard, [DEFAULTS, GLUCOSE, cfg(restart="fast")])
    with pytest.raises(TypeError):
        qn.solve_portfolio(nvars, hard, [DEFAULTS, GLUCOSE], want_proof=None)
    assert time.perf_counter() - t0 < 0.5


# ---------------------------------------------------------------------------
# Running.

@pytest.mark.parametrize("configs, alt, alt_threads, from_alt", [
    ([], None, 0, None), ((), [[]], 5, None),
    ([DEFAULTS], None, 0, 0), ([DEFAULTS], None, 3, 0), ([DEFAULTS], [[1]], 0, 0), ([DEFAULTS], [[1]], 1, 1),
    ([DEFAULTS], [[1]], 2**64 - 1, 1), ([DEFAULTS, GLUCOSE], None, 2, 0),
])
def test_formula_choice(configs, alt, alt_threads, from_alt):
    res = qn.solve_portfolio(1, [[0]], configs, alt=alt, alt_threads=alt_threads, want_proof=True)
    assert res is None if from_alt is None else res[1:4] == (from_alt, True, [from_alt == 0]) and res[0] < len(configs)


@pytest.mark.parametrize("n, alt_threads, alt_workers", [(3, 1, {2}), (3, 2, {1, 2}), (2, 5, {0, 1}), (4, 0, set()),])
def test_alt_workers_are_the_last(n, alt_threads, alt_workers):
    # Exactly one side is easy; the hard side is stopped by the winner, so the
    # winner must be a worker of the easy side, with the matching from_alt.
    nvars, hard = pigeonhole(10)
    easy = [[0]]
    configs = [cfg(rnd_seed=s + 1) for s in range(n)]
    if alt_workers:
        res = qn.solve_portfolio(nvars, hard, configs, alt=easy, alt_threads=alt_threads)
        assert res[0] in alt_workers and res[1] == 1 and res[2] is True and res[3][0] is True
    if len(alt_workers) < n:
        res = qn.solve_portfolio(nvars, easy, configs, alt=hard, alt_threads=alt_threads)
        assert res[0] not in alt_workers and res[1] == 0 and res[2] is True


def test_unsat_proof_of_a_harder_formula_checks():
    nvars, clauses = pigeonhole(4)
    for configs in ([DEFAULTS], [DEFAULTS, GLUCOSE]):
        res = qn.solve_portfolio(nvars, clauses, configs, want_proof=True)
        assert res[2] is False and res[3] == [] and res[4] > 0
        assert all(type(d) is bool and all(type(x) is int and x != 0 for x in lits) for d, lits in res[8])
        assert proof_ok(clauses, res[8]) and qn.solve_portfolio(nvars, clauses, configs)[8] == []


@pytest.mark.parametrize("want_proof", [False, True])
def test_refuted_while_loading(want_proof):
    for configs in ([DEFAULTS], [DEFAULTS, GLUCOSE]):
        res = qn.solve_portfolio(2, [[0], [], [2]], configs, want_proof=want_proof)
        assert res[2:4] == (False, []) and res[4] == 0 and res[5] == 0
        assert proof_ok([[0], [], [2]], res[8]) if want_proof else res[8] == []
        res = qn.solve_portfolio(1, [[0], [1]], configs, want_proof=want_proof)
        assert res[2] is False and (proof_ok([[0], [1]], res[8]) if want_proof else res[8] == [])


@pytest.mark.parametrize("configs", [[DEFAULTS], [DEFAULTS, GLUCOSE]])
def test_model_length(configs):
    # nvars counts, not the highest variable used; variables beyond it are added
    assert qn.solve_portfolio(5, [[0]], configs)[3] == [True] + [False] * 4
    res = qn.solve_portfolio(2, [[10], [3]], configs)
    assert len(res[3]) == 6 and res[3][5] is True and res[3][1] is False


def test_simultaneous_finishers_give_one_answer():
    for _ in range(30):
        res = qn.solve_portfolio(2, [[0, 2], [1]], [cfg(rnd_seed=s + 1) for s in range(6)])
        assert 0 <= res[0] < 6 and res[2] is True and res[3] == [False, True]


# ---------------------------------------------------------------------------
# Threads and the interpreter lock.

def thread_count():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("configs", [[DEFAULTS], [DEFAULTS, GLUCOSE]], ids=["one", "two"])
def test_other_python_threads_run_during_the_call(configs):
    for holes in (7, 8, 9):  # the first formula that keeps the call busy long enough
        nvars, clauses = pigeonhole(holes)
        elapsed, _, stamps = stamps_during(lambda: qn.solve_portfolio(nvars, clauses, configs))
        if elapsed > 0.1:
            break
    assert elapsed > 0.05, "formula too easy to observe anything"
    assert len(stamps) >= 10


def settled_thread_count():
    # The task count once threads of earlier tests have finished exiting.
    for _ in range(100):
        if thread_count() <= threading.active_count():
            break
        time.sleep(0.01)
    return thread_count()


def test_repeated_calls_leak_no_threads():
    # The losers get a formula they would search for minutes: only the stop
    # flag and the join end them before the call returns.
    nvars, hard = pigeonhole(11)
    before = settled_thread_count()
    t0 = time.perf_counter()
    for i in range(20):
        res = qn.solve_portfolio(nvars, hard, [DEFAULTS, GLUCOSE, cfg(rnd_seed=i + 1)], alt=[[0]], alt_threads=1)
        assert res[:2] == (2, 1)
        with pytest.raises(ValueError):
            qn.solve_portfolio(1, [[0]], [DEFAULTS, cfg(ccmin="x")])
    # a joined thread may linger in the task list for an instant while the
    # kernel finishes its exit; a thread still searching would not go away
    assert settled_thread_count() <= before
    # and the 20 calls took seconds, not the minutes that searching PHP(11)
    # to the end would.
    assert time.perf_counter() - t0 < 10


WORKER_FAILURE = r"""
import sys
sys.path[:0] = {paths!r}
import quillon_native as qn
sys.path.insert(0, {tests!r})
from oracles import DEFAULTS, pigeonhole
GLUCOSE = dict(DEFAULTS, restart="glucose", rnd_seed=7, ccmin="basic")

def outcome(fn):
    try:
        fn()
    except BaseException as e:
        return type(e).__name__, isinstance(e, Exception), str(e)
    return None

# Tables for 2**32 variables cannot be allocated: every worker fails, and
# the call reports it as the MemoryError it is.
print(outcome(lambda: qn.solve_portfolio(2**32 - 1, [], [DEFAULTS, GLUCOSE])))
# Only the alt worker fails; it stops the others, and the call fails anyway.
nvars, clauses = pigeonhole(6)
print(outcome(lambda: qn.solve_portfolio(nvars, clauses, [DEFAULTS, GLUCOSE, DEFAULTS],
                                         alt=[[2**32 - 2]], alt_threads=1)))
# The same failure on the calling thread is an ordinary MemoryError.
print(outcome(lambda: qn.solve_portfolio(2**32 - 1, [], [DEFAULTS])))
print(qn.solve_portfolio(1, [[0]], [DEFAULTS, GLUCOSE])[2])
"""


@pytest.mark.skipif(bool(os.environ.get("QUILLON_SANITIZED")),
                    reason="the sanitizer's allocator aborts on impossible allocations")
def test_worker_out_of_memory_surfaces_after_all_workers_end():
    paths = [os.path.abspath(p) for p in sys.path if p]
    code = WORKER_FAILURE.format(paths=paths, tests=os.path.dirname(__file__))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    lines = out.stdout.splitlines()
    assert lines == [
        "('MemoryError', True, '')",
        "('MemoryError', True, '')",
        "('MemoryError', True, '')",
        "True",
    ], out.stdout + out.stderr
    # running out of memory is an ordinary error, not an internal failure
    assert "portfolio worker" not in out.stderr
