# Module surface, literal helpers, ClauseDb, and the binding conventions
# every function shares (signatures, messages, notes, sequences, re-entry).
import inspect
import subprocess
import sys

import pytest

import quillon_native as qn

try:
    from numpy import bool_ as np_bool  # accepted where a bool is
except ImportError:
    np_bool = bool


def test_module_surface():
    assert qn.__version__ == "0.1.6"
    assert qn.__doc__ == "Native engine for quillon (clause arena + CDCL search core)"
    assert [n for n in vars(qn) if not n.startswith("__")] == [
        "ClauseDb", "Solver", "Preprocessor", "solve_portfolio", "check_proof",
        "neg", "var_of", "is_neg", "mk_lit", "from_dimacs", "to_dimacs"]
    sigs = {"neg": "(l)", "var_of": "(l)", "is_neg": "(l)", "mk_lit": "(v, negated=False)", "to_dimacs": "(l)",
            "from_dimacs": "(d)", "check_proof": "(nvars, clauses, steps, check_rat=True, apply_deletions=True)",
            "solve_portfolio": "(nvars, clauses, configs, alt=None, alt_threads=0, want_proof=False)",
            "ClauseDb": "(nvars=0)", "Preprocessor": "(nvars=0, do_bve=True, max_resolvent_len=20, with_proof=False)"}
    assert {name: str(inspect.signature(getattr(qn, name))) for name in sigs} == sigs
    assert not qn.neg.__doc__
    assert qn.check_proof.__doc__.startswith("Check a DRAT proof against a formula.")
    assert qn.solve_portfolio.__doc__.endswith("would make the entire exercise pointless.")
    assert qn.ClauseDb.__doc__ == "A clause database living in native memory."
    assert {f.__module__ for f in (qn.neg, qn.check_proof, qn.solve_portfolio)} == {"quillon_native"}
    for name in ("ClauseDb", "Solver", "Preprocessor"):
        cls = getattr(qn, name)
        assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "quillon_native")
    with pytest.raises(TypeError):
        __import__("weakref").ref(qn.ClauseDb())  # no weakref support, nothing to leak through
    assert __import__("gc").is_tracked(qn.ClauseDb())
    subprocess.run([sys.executable, "-W", "error", "-c", "import quillon_native"], check=True)


@pytest.mark.parametrize("call, expected", [
    (lambda: qn.mk_lit(3), 6), (lambda: qn.mk_lit(3, True), 7), (lambda: qn.mk_lit(v=3, negated=True), 7),
    (lambda: qn.neg(6), 7), (lambda: qn.neg(7), 6), (lambda: qn.var_of(7), 3),
    (lambda: qn.is_neg(7), True), (lambda: qn.is_neg(6), False),
    (lambda: qn.to_dimacs(0), 1), (lambda: qn.to_dimacs(1), -1), (lambda: qn.to_dimacs(7), -4),
    (lambda: qn.from_dimacs(1), 0), (lambda: qn.from_dimacs(-1), 1), (lambda: qn.from_dimacs(-4), 7),
    (lambda: qn.from_dimacs(-2147483648), 4294967295), (lambda: qn.to_dimacs(4294967295), -2147483648),
    (lambda: qn.from_dimacs(2147483647), 4294967292),
    (lambda: qn.neg(4294967295), 4294967294), (lambda: qn.mk_lit(2147483648), 0),
    (lambda: qn.mk_lit(2147483648, True), 1), (lambda: qn.mk_lit(2, np_bool(True)), 5),
    (lambda: qn.mk_lit(2, negated=np_bool(False)), 4),
    # the positive literal of the largest variable has no 32-bit DIMACS form:
    # the result is the mathematically right value, not a wrapped one
    (lambda: qn.to_dimacs(4294967294), 2147483648),
])
def test_literal_values(call, expected):
    result = call()
    assert result == expected and type(result) is type(expected)


ZERO = "0 is not a DIMACS literal (it terminates a clause)"


# --- ClauseDb ------------------------------------------------------------------

def test_clause_db_fresh_and_growth():
    db = qn.ClauseDb()
    assert repr(db) == "<ClauseDb vars=0 clauses=0 lits=0 bytes=0>" and db.clauses() == []
    assert (db.num_vars, db.num_clauses, db.num_lits, db.memory_bytes) == (0, 0, 0, 0)
    db.add_clause([0, 2, 4])
    assert db.memory_bytes == 48  # capacity 4 in each of the three arrays
    db.add_clause([6, 8])  # fifth literal: literal capacity 4 -> 8
    assert db.memory_bytes == 4 * (8 + 4 + 4)
    assert not db.add_clause([4, 6, 8, 9])  # a tautology keeps capacity and earlier clauses
    assert db.memory_bytes == 4 * (8 + 4 + 4) and db.num_lits == 5
    for _ in range(3):
        db.add_clause([])  # clause 5 grows starts and lens to 8
    assert db.num_clauses == 5 and db.memory_bytes == 4 * (8 + 8 + 8)
    assert repr(db) == "<ClauseDb vars=5 clauses=5 lits=5 bytes=96>"
    db = qn.ClauseDb(5)
    db.add_clause([0])
    assert db.num_vars == 5
    db.add_clause([20])
    assert db.num_vars == 11


def test_clause_db_dimacs_and_refusals():
    db = qn.ClauseDb()
    assert db.add_dimacs([1, -2]) is True and db.clause(0) == [0, 3]
    assert db.add_dimacs((3, -3)) is False and db.num_clauses == 1
    for lits, exc, msg in [([1, 0], ValueError, ZERO), ([0, "x"], ValueError, ZERO),
                           ([1, -2147483648], ValueError, "literal out of range"),
                           ("1 2", TypeError, "Can't extract `str` to `Vec`"),
                           ([2**31], OverflowError, "number too large to fit in target type")]:
        with pytest.raises(exc) as info:
            db.add_dimacs(lits)
        assert str(info.value) == msg
    with pytest.raises(ValueError, match="^literal out of range$"):
        db.add_clause([0, 2, 4294967295])
    assert (db.num_clauses, db.num_lits, db.num_vars) == (1, 2, 3)
    with pytest.raises(ValueError, match=r"^clause index 1 out of range \(1 clauses\)$"):
        db.clause(1)
    with pytest.raises(ValueError, match=r"^clause index 18446744073709551615 out of range \(1 clauses\)$"):
        db.clause(2**64 - 1)
    assert db.add_clause([4294967294]) and db.num_vars == 2147483648


def scan(lits):
    # The literal-by-literal rule: (kept literals, position of the literal
    # that closes a tautology or None).  Later literals are never looked at.
    kept = []
    for i, lit in enumerate(lits):
        if lit ^ 1 in kept:
            return kept, i
        if lit not in kept:
            kept.append(lit)
    return kept, None


PAD = [2 * v for v in range(10, 30)]


@pytest.mark.parametrize("lits", [
    [], [4, 4, 6], [6, 4, 6, 4], [2, 3], [3, 2], [0, 8, 2, 9, 40],
    # past 16 literals: the positive literal twice before its negation, or
    # after it, and a late literal that the scan never reaches
    [4, 4, 5], PAD + [4, 4, 5], [4] + PAD + [4, 5], [5] + PAD + [4, 4], [4, 4] + PAD + [5, 200],
    PAD[:8] + [9, 8] + PAD[8:] + [1], PAD + PAD[::-1] + [3, 2, 61],
])
def test_clause_normalisation_everywhere(lits):
    kept, closing = scan(lits)
    seen = lits if closing is None else lits[:closing + 1]
    db = qn.ClauseDb()
    assert db.add_clause(lits) is (closing is None)
    assert db.clauses() == ([] if closing is not None else [kept])
    assert db.num_vars == max([0] + [(lit >> 1) + 1 for lit in kept])
    p = qn.Preprocessor()  # counts the closing literal's variable too
    p.add_clause(lits)
    assert p.reduced() == ([] if closing is not None or not kept else [kept]) + ([[]] if not lits else [])
    assert p.nvars == max([0] + [(lit >> 1) + 1 for lit in seen])
    s = qn.Solver()
    s.enable_proof()
    assert s.add_clause(lits) is bool(lits) and s.solve() is bool(lits) and s.nvars == p.nvars
    if closing is not None:  # nothing stored: any assignment of the variables met is a model
        assert s.decisions == s.nvars and s.conflicts == 0 and s.proof_steps() == []


def test_clause_of_a_million_literals_is_added_quickly():
    # The scan used to cost a linear search per literal: ten minutes for
    # this clause, with the interpreter lock held.
    n = 1_000_000
    lits = list(range(0, 2 * n, 2)) + [6, 0]   # trailing duplicates
    for make in (qn.ClauseDb, qn.Preprocessor):
        start = __import__("time").process_time()
        make().add_clause(lits)
        assert __import__("time").process_time() - start < 20
    db = qn.ClauseDb()
    assert db.add_clause(lits) and db.num_lits == n and db.clause(0)[-1] == 2 * n - 2
    assert db.add_clause(lits + [2 * n - 1]) is False and db.num_vars == n


# --- re-entry ------------------------------------------------------------------


def test_reentry_conflicts_with_exclusive_access():
    db = qn.ClauseDb()
    seen = []

    def hook(fn):
        def index():
            try:
                fn()
            except RuntimeError as e:
                seen.append(str(e))
            return 0
        return type("Hook", (), {"__index__": lambda self: index()})()

    assert db.add_clause([hook(lambda: db.num_clauses), hook(lambda: db.add_clause([2]))])
    assert db.clause(hook(lambda: (db.add_clause([2]), seen.append(repr(db))))) == [0]
    assert seen == ["Already mutably borrowed", "Already borrowed", "Already borrowed"]
    assert db.num_clauses == 1 and db.add_clause([4])
