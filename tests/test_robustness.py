# Hostile use: junk arguments, re-entrant and concurrent callers, huge
# indices and repeated calls.  The engine must answer right or raise a clear
# exception, stay usable, leak nothing and never take the interpreter down.
import collections.abc
import copy
import gc
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import quillon_native as qn
from oracles import DEFAULTS, random_3sat, satisfies, solver
from test_traces import STATS

class JunkError(Exception):
    pass


def assert_usable(obj):
    if isinstance(obj, qn.Solver):
        obj.add_clause([0, 2])
        assert obj.solve() in (True, False) and obj.check_watch_invariant() == []
    elif isinstance(obj, qn.Preprocessor):
        obj.add_clause([0, 2])
        assert obj.run() in (True, False) and isinstance(obj.reduced(), list)
    elif isinstance(obj, qn.ClauseDb):
        assert obj.add_clause([0, 2]) and obj.clauses()[-1] == [0, 2]


# ---------------------------------------------------------------------------
# Huge indices: tables that cannot be allocated.

HUGE_SCRIPT = textwrap.dedent("""
    import quillon_native as qn
    def expect(fn, exc):
        try:
            fn()
        except exc:
            return
        raise SystemExit("no %r from %r" % (exc, fn))
    s = qn.Solver(2)
    s.add_clause([0, 2])
    expect(lambda: s.add_clause([2**32 - 2]), MemoryError)
    assert s.nvars == 2 and s.solve() is True and s.check_watch_invariant() == []
    expect(lambda: qn.Solver(2**32 - 1), MemoryError)
    p = qn.Preprocessor()
    expect(lambda: p.freeze(2**31), ValueError)
    expect(lambda: p.freeze(2**32 - 1), ValueError)
    expect(lambda: p.add_clause([2**32 - 2]), MemoryError)
    assert p.nvars == 0 and p.run() is True
    expect(lambda: qn.Preprocessor(2**32 - 1), (MemoryError, ValueError))
    expect(lambda: qn.check_proof(0, [[2**32 - 2]], []), MemoryError)
    expect(lambda: qn.check_proof(2**32 - 1, [], []), MemoryError)
    expect(lambda: qn.check_proof(0, [], [(False, [2**32 - 2])]), MemoryError)
    expect(lambda: qn.solve_portfolio(2**32 - 1, [], [dict(CONFIG)]), (MemoryError, ValueError))
    print("alive")
""")


@pytest.mark.skipif(bool(os.environ.get("QUILLON_SANITIZED")),
                    reason="AddressSanitizer's operator new aborts instead of throwing std::bad_alloc")
def test_huge_indices():
    script = HUGE_SCRIPT.replace("CONFIG", ", ".join(f"{k}={v!r}" for k, v in DEFAULTS.items()))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr + out.stdout
    assert out.stdout.strip() == "alive"


# Tables that fit neither in physical memory nor, all at once, in the
# kernel's overcommit allowance, but each of whose arrays would be granted on
# its own: with memory overcommit such a request "succeeds" and the process
# is killed once zero-filling touches the pages.  It must be refused before
# anything is reserved: peak virtual memory stays where it was.  (An address
# space limit of a bit under physical memory is the safety net should the
# refusal ever be missing.)
FIT_SCRIPT = textwrap.dedent("""
    import os, resource
    import quillon_native as qn
    phys = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    def peak():
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmPeak:"))
    resource.setrlimit(resource.RLIMIT_AS, (peak() + int(phys * 0.9), resource.RLIM_INFINITY))
    s = qn.Solver(2)
    s.add_clause([0, 2])
    start = peak()
    try:
        CALL
    except MemoryError:
        pass
    else:
        raise SystemExit("no MemoryError")
    assert peak() - start < phys // 8, "%d MiB reserved" % ((peak() - start) >> 20)
    assert s.nvars == 2 and s.solve() is True and s.check_watch_invariant() == []
    print("alive")
""")


# Some 90 bytes of solver tables per variable: phys // 60 variables need
# about 1.5 times physical memory.  (Portfolio workers that would fit one by
# one but not together are refused as well; no test tries that here: should
# the refusal go missing, it would fill most of the machine's memory.)
@pytest.mark.skipif(bool(os.environ.get("QUILLON_SANITIZED")),
                    reason="AddressSanitizer reserves address space of its own")
@pytest.mark.parametrize("call", ["s.add_clause([2 * (phys // 60)])", "qn.Solver(phys // 60)",
                                  "qn.solve_portfolio(phys // 60, [[0]], [dict(CONFIG)] * 2)",
                                  "qn.solve_portfolio(0, [[0, 2 * (phys // 60)]], [dict(CONFIG)] * 2)"])
def test_tables_beyond_physical_memory_are_refused_up_front(call):
    config = ", ".join(f"{k}={v!r}" for k, v in DEFAULTS.items())
    script = FIT_SCRIPT.replace("CALL", call.replace("CONFIG", config))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr + out.stdout
    assert out.stdout.strip() == "alive"


# ---------------------------------------------------------------------------
# Threads.

class SlowIndex:  # an int that lets other threads run while it is being converted
    def __init__(self, v):
        self.v = v

    def __index__(self):
        time.sleep(0.0005)
        return self.v


ACCESS_ERRORS = {"Already borrowed", "Already mutably borrowed"}


def run_threads(fns):
    threads = [threading.Thread(target=fn) for fn in fns]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def hammer(target, workers=4):
    errors, unexpected = [], []

    def run(i):
        try:
            for k in range(40):
                try:
                    target(i, k)
                except RuntimeError as e:
                    errors.append(str(e))
        except BaseException as e:  # noqa: B036
            unexpected.append(e)

    run_threads([lambda i=i: run(i) for i in range(workers)])
    assert not unexpected, unexpected
    assert set(errors) <= ACCESS_ERRORS
    return errors


def test_threads_hammer_one_object_of_each_class():
    s, db, p = qn.Solver(), qn.ClauseDb(), qn.Preprocessor()
    clauses = random_3sat(5, 40, 3.0)
    added = []

    def target(i, k):
        if i % 2 == 0:
            c = clauses[(i * 40 + k) % len(clauses)]
            s.add_clause([SlowIndex(x) for x in c])
            added.append(c)
            db.add_clause([SlowIndex(2 * k), SlowIndex(2 * k + 2)])
            p.add_clause([SlowIndex(2 * k + 1), SlowIndex(2 * k + 3)])
        else:
            s.conflicts, s.model, repr(s), s.check_watch_invariant(), db.clauses(), p.reduced(), repr(p)

    assert hammer(target)  # the guard did see the overlap
    assert s.solve() is True and satisfies(s.model, added) and s.check_watch_invariant() == []
    assert all(len(c) == 2 and c[1] == c[0] + 2 for c in db.clauses()) and p.run() is True


# ---------------------------------------------------------------------------
# Leaks.

def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def thread_count():
    return len(os.listdir("/proc/self/task"))


def leak_cases():  # (name, argument objects whose counts must not move, one cycle)
    lits = [0, 3, 4, int("2001")]
    clauses = [[0, 2], [1, 2], [3]]
    refuted = [[0, 2], [0, 3], [1, 2], [1, 3]]
    yield "literals", (lits,), lambda: (qn.neg(lits[0]), qn.mk_lit(lits[1], True), qn.to_dimacs(lits[2]),
                                        qn.from_dimacs(-5), qn.is_neg(3), qn.var_of(9), qn.mk_lit(v=2, negated=False))

    yield "ClauseDb", (lits,), lambda: (
        (db := qn.ClauseDb(3)).add_clause(lits), db.add_clause([0, 1]), db.add_dimacs([1, -2]), db.clause(0),
        db.clauses(), db.num_vars, db.num_clauses, db.num_lits, db.memory_bytes, repr(db))
    yield "Solver sat", (clauses,), lambda: (
        (s := solver(3, clauses, proof=True, restart="glucose", walk_min_conflicts=0)).new_var(),
        s.solve(max_conflicts=5, seconds=10.0), s.model, s.proof_steps(), repr(s), s.check_watch_invariant(),
        s.nvars, s.ok, [getattr(s, k) for k in STATS])
    yield "Solver unsat", (refuted,), lambda: (
        (s := solver(0, refuted, proof=True, first_reduce=1, reduce_inc=1)).solve(), s.solve(), s.model,
        s.proof_steps())

    def prep_cycle():
        p = qn.Preprocessor(3, with_proof=True, max_resolvent_len=5)
        for c in clauses:
            p.add_clause(c)
        p.freeze(1)
        return (p.run(), p.run(1), p.reduced(), p.proof_steps(), p.reconstruct([True, False]), repr(p), p.unsat,
                [getattr(p, k) for k in ("nvars", "units", "subsumed", "strengthened", "eliminated_vars",
                                         "resolvents", "pure")])

    yield "Preprocessor", (clauses,), prep_cycle
    steps = [(False, [2]), (True, [0, 2]), (False, [])]
    rat_steps = [(False, [4, 0]), (False, [4, 1]), (False, [5])]
    yield "check_proof", (clauses, steps, rat_steps), lambda: (
        qn.check_proof(2, clauses, steps), qn.check_proof(2, refuted, rat_steps, check_rat=False),
        qn.check_proof(3, refuted, rat_steps, apply_deletions=False))
    configs = [DEFAULTS, dict(DEFAULTS, restart="glucose")]
    yield "solve_portfolio", (clauses, refuted, configs), lambda: (
        qn.solve_portfolio(2, clauses, configs, want_proof=True),
        qn.solve_portfolio(2, clauses, configs, alt=refuted, alt_threads=1, want_proof=True),
        qn.solve_portfolio(2, refuted, configs[:1], want_proof=True), qn.solve_portfolio(2, clauses, []))

    s_used = qn.Solver()
    s_used.solve()
    p_elim = qn.Preprocessor()
    p_elim.add_clause([0, 2])
    p_elim.run()
    assert p_elim.eliminated_vars  # so that adding over variable 0 is refused

    def failing():
        raised = 0
        for bad in (lambda: qn.neg(-1), lambda: qn.neg(), lambda: qn.neg(1, l=2), lambda: qn.from_dimacs(0),
                    lambda: qn.mk_lit(1, negated=1), lambda: qn.ClauseDb().add_clause([0, "x"]),
                    lambda: qn.ClauseDb().clause(3), lambda: qn.Solver(restart="fast"),
                    lambda: qn.Solver(ccmin=None), lambda: qn.Solver(luby_base=0.0), lambda: s_used.enable_proof(),
                    lambda: qn.Solver().solve(seconds=-1.0), lambda: qn.Solver().add_clause("ab"),
                    lambda: p_elim.add_clause([1]), lambda: p_elim.reconstruct([1]),
                    lambda: qn.check_proof(1, [[0]], [1]), lambda: qn.check_proof(1, [[0]], [(True,)]),
                    lambda: qn.solve_portfolio(1, [[0]], [{}]),
                    lambda: qn.solve_portfolio(1, [[0]], [dict(DEFAULTS, walk_flips=-1)]),
                    lambda: qn.solve_portfolio(1, [[0]], [dict(DEFAULTS, restart="x")])):
            try:
                bad()
            except BaseException as e:  # noqa: B036 - PanicException included
                if isinstance(e, (KeyboardInterrupt, SystemExit)):
                    raise
                raised += 1
        assert raised == 20

    yield "errors", (), failing


@pytest.mark.parametrize("name, args, fn", list(leak_cases()), ids=lambda x: x if isinstance(x, str) else "")
def test_repeated_calls_leak_nothing(request, name, args, fn):
    # 3000 cycles normally, 90000 under --slow: memory must stay flat,
    # argument reference counts unchanged, no thread left behind.
    n = 300 if os.environ.get("QUILLON_SANITIZED") else 90000 if (
        request.config.getoption("--slow") or os.environ.get("QUILLON_SLOW")) else 3000
    # Containers and big ints only: small ints are shared interpreter-wide,
    # their counts move with unrelated code.
    flat = [a for a in args] + [x for a in args for x in a if not isinstance(x, int) or x > 1000]
    for _ in range(200):
        fn()
    gc.collect()
    refs = [sys.getrefcount(a) for a in flat]
    threads = thread_count()
    before = rss_kib()
    for _ in range(n):
        fn()
    gc.collect()
    grown = rss_kib() - before
    print(f"soak {name}: {n} cycles, RSS {before} -> {before + grown} KiB, threads {threads} -> {thread_count()}")
    assert [sys.getrefcount(a) for a in flat] == refs
    assert thread_count() == threads
    if not os.environ.get("QUILLON_SANITIZED"):
        assert grown < 2048, f"{name}: RSS grew by {grown} KiB over {n} calls"


# ---------------------------------------------------------------------------
# Hostile objects at every position of every nested argument: conversion
# code that runs Python (an item's __index__, __float__ or __bool__, a
# sequence's __iter__) may raise, call back into the instance, or tear down
# the very containers being converted.  Only clear exceptions may come out,
# and the instance must answer right afterwards.

class Hostile:  # the int or float `value`, which runs `action` first when converted
    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        return (self.action(), self.value)[1]

    def __float__(self):
        return (self.action(), float(self.value))[1]


class HostileSeq:  # a registered Sequence whose iteration runs `action` before item `at`
    def __init__(self, items, at, action):
        self.items, self.at, self.action = list(items), at, action

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for i, x in enumerate(self.items + [None]):
            if i == self.at:
                self.action()
            if i < len(self.items):
                yield x


collections.abc.Sequence.register(HostileSeq)


def paths(value):  # every position in a nested list/tuple/dict structure, as key tuples
    yield ()
    for i in (value.keys() if isinstance(value, dict) else range(len(value))
              if isinstance(value, (list, tuple)) else ()):
        yield from ((i,) + p for p in paths(value[i]))


def substitute(value, path, new):  # a copy of `value` with the item at `path` replaced by `new`
    if not path:
        return new
    items = dict(value) if isinstance(value, dict) else list(value)
    items[path[0]] = substitute(items[path[0]], path[1:], new)
    return tuple(items) if isinstance(value, tuple) else items


def hostile_variants(x, instance_calls, holder):  # stand-ins for `x` that run Python code when converted
    def raising():
        raise JunkError("hostile")

    def reenter():
        for call in instance_calls:
            try:
                call()
            except RuntimeError as e:
                assert str(e) in ACCESS_ERRORS, e

    def tear_down():
        # Empty every list of the argument in place, so that the converter's
        # own references are all that keeps the items being read alive.
        todo = list(holder)
        while todo:
            x = todo.pop()
            if isinstance(x, (list, tuple)):
                todo.extend(x)
            if isinstance(x, list):
                x.clear()
        gc.collect(1)  # the young generations hold everything this call made

    actions = [raising, reenter, tear_down]
    if isinstance(x, bool):
        # The bool converter accepts NumPy's boolean scalar by its type's
        # name and module; a look-alike runs Python code in __bool__.
        return [type("bool", (), {"__module__": "numpy", "__bool__": lambda self, a=a: (a(), x)[1],
                                  "action": a})() for a in actions]
    if isinstance(x, (int, float)):
        return [Hostile(x, a) for a in actions]
    if isinstance(x, (list, tuple)):
        return [HostileSeq(x, at, a) for a in actions for at in {0, len(x) // 2, len(x)}]
    return []


def hostile_cases():
    clauses = [[0, 2], [0, 3], [1, 2], [1, 3]]
    s, p, db = qn.Solver(2), qn.Preprocessor(), qn.ClauseDb()
    solver_calls = [lambda: s.nvars, lambda: s.model, lambda: s.solve(), lambda: s.add_clause([0])]
    prep_calls = [lambda: p.reduced(), lambda: p.run(), lambda: p.add_clause([1])]
    db_calls = [lambda: db.clauses(), lambda: db.add_clause([0])]
    # (name, instance, its methods for re-entry, arguments, call, what of
    # the result must not change when an argument merely re-enters)
    yield "Solver.add_clause", s, solver_calls, [[0, 3]], lambda a: s.add_clause(*a)
    yield "Solver.solve", s, solver_calls, [5, 2.0], lambda a: s.solve(*a)
    yield "Solver()", None, [], [2, "luby", "deep", True, False, True, 0, 10, 1, 3, 0, 0.8, 0.95, 0.999, 1.0, 3, 1,
                                2, True, 0.5, 7], lambda a: qn.Solver(*a)
    yield "Preprocessor.add_clause", p, prep_calls, [[0, 3]], lambda a: p.add_clause(*a)
    yield "Preprocessor.freeze", p, prep_calls, [1], lambda a: p.freeze(*a)
    yield "Preprocessor.run", p, prep_calls, [2], lambda a: p.run(*a)
    yield "Preprocessor.reconstruct", p, prep_calls, [[True, False]], lambda a: p.reconstruct(*a)
    yield "ClauseDb.add_clause", db, db_calls, [[0, 3]], lambda a: db.add_clause(*a)
    yield "ClauseDb.add_dimacs", db, db_calls, [[1, -2]], lambda a: db.add_dimacs(*a)
    yield "check_proof", None, [], [2, clauses, [(False, [0]), (False, [])], True, True], \
        lambda a: qn.check_proof(*a), lambda r: r
    config = dict(DEFAULTS, luby_base=1.0, walk_min_conflicts=0)
    yield "solve_portfolio", None, [], [2, clauses, [config], clauses, 1, True], \
        lambda a: qn.solve_portfolio(*a), lambda r: r[2]


@pytest.mark.parametrize("case", list(hostile_cases()), ids=lambda c: c[0])
def test_hostile_objects_at_every_position(case):
    name, instance, instance_calls, args, call, key = (case + (None,))[:6]
    expected = key(call(copy.deepcopy(args))) if key else None
    tried = 0
    for path in list(paths(args))[1:]:
        leaf = args
        for i in path:
            leaf = leaf[i]
        holder = []
        for variant in hostile_variants(leaf, instance_calls, holder):
            holder[:] = [substitute(copy.deepcopy(args), path, variant)]  # tear-downs empty what they see
            try:
                result = call(holder[0])
            except (JunkError, RuntimeError, TypeError, ValueError) as e:
                assert not isinstance(e, RuntimeError) or str(e) in ACCESS_ERRORS, e
            else:
                if key and variant.action.__name__ == "reenter":
                    assert key(result) == expected, (path, result)
            tried += 1
    assert tried > 0
    assert_usable(instance)


class LyingLength(HostileSeq):  # a registered Sequence that claims to be enormous
    def __init__(self, items, n):
        super().__init__(items, -1, None)
        self.n = n

    def __len__(self):
        return self.n


@pytest.mark.parametrize("n", [2**40, 2**62, sys.maxsize])
def test_a_sequence_lying_about_its_length_allocates_nothing_for_it(n):
    # Lengths of arbitrary sequences are only claims: the converters must
    # not size anything by them (this used to raise MemoryError, or a
    # PanicException from vector::reserve, for one config).
    clauses = LyingLength([[0, 2], [1]], n)
    out = qn.solve_portfolio(2, clauses, LyingLength([DEFAULTS], n), alt=clauses)
    assert out[2] is True and out[3] == [False, True]
    assert qn.check_proof(2, clauses, LyingLength([(False, [])], n))[0] is False
    s = qn.Solver()
    assert s.add_clause(LyingLength([0, 2], n)) is True
    p = qn.Preprocessor()
    p.add_clause(LyingLength([0, 2], n))
    assert p.reconstruct(LyingLength([True], n)) == [True, False]
