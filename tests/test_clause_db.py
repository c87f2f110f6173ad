"""ClauseDb: the clause arena round trip, normalisation and size accounting."""
import random

import pytest

import quillon_native as qn


def test_fresh():
    db = qn.ClauseDb()
    assert repr(db) == "<ClauseDb vars=0 clauses=0 lits=0 bytes=0>"
    assert (db.num_vars, db.num_clauses, db.num_lits, db.memory_bytes) == (0, 0, 0, 0)
    assert db.clauses() == []
    assert qn.ClauseDb(5).num_vars == 5


@pytest.mark.parametrize("lits, ok, stored, nvars", [
    ([], True, [], 0),
    ([4, 4, 6], True, [4, 6], 4),
    ([6, 4, 6, 4], True, [6, 4], 4),
    ([2, 3], False, None, 2),
    ([3, 2], False, None, 2),
    ([0, 8, 2, 9, 40], False, None, 5),
])
def test_add_clause_normalisation(lits, ok, stored, nvars):
    db = qn.ClauseDb()
    assert db.add_clause(lits) is ok
    if ok:
        assert db.num_clauses == 1 and db.clause(0) == stored
    else:
        assert db.num_clauses == 0 and db.num_lits == 0
    assert db.num_vars == nvars


def test_nvars_only_grows():
    db = qn.ClauseDb(5)
    db.add_clause([0])
    assert db.num_vars == 5
    db.add_clause([20])
    assert db.num_vars == 11


def test_add_dimacs():
    db = qn.ClauseDb()
    assert db.add_dimacs([1, -2]) is True
    assert db.clause(0) == [0, 3]
    assert db.add_dimacs((3, -3)) is False
    assert db.num_clauses == 1


@pytest.mark.parametrize("lits, exc, msg", [
    ([1, 0], ValueError, "0 is not a DIMACS literal (it terminates a clause)"),
    ([0, "x"], ValueError, "0 is not a DIMACS literal (it terminates a clause)"),
    ([1, -2147483648], ValueError, "literal out of range"),
    ("1 2", TypeError, "Can't extract `str` to `Vec`"),
    ([2**31], OverflowError, "number too large to fit in target type"),
])
def test_add_dimacs_refusals_store_nothing(lits, exc, msg):
    db = qn.ClauseDb()
    with pytest.raises(exc) as info:
        db.add_dimacs(lits)
    assert str(info.value) == msg
    assert db.num_clauses == 0 and db.num_lits == 0 and db.num_vars == 0


def test_add_clause_literal_out_of_range_stores_nothing():
    db = qn.ClauseDb()
    with pytest.raises(ValueError, match="^literal out of range$"):
        db.add_clause([0, 2, 4294967295])
    assert (db.num_clauses, db.num_lits, db.num_vars) == (0, 0, 0)
    assert db.add_clause([4294967294])
    assert db.num_vars == 2147483648


def test_clause_index_errors():
    db = qn.ClauseDb()
    db.add_clause([0])
    with pytest.raises(ValueError, match=r"^clause index 1 out of range \(1 clauses\)$"):
        db.clause(1)
    with pytest.raises(ValueError, match=r"^clause index 18446744073709551615 out of range \(1 clauses\)$"):
        db.clause(2**64 - 1)
    with pytest.raises(OverflowError):
        db.clause(2**64)


def test_growth_rule_is_observable():
    db = qn.ClauseDb()
    db.add_clause([0, 2, 4])
    assert db.memory_bytes == 48  # capacity 4 in each of the three arrays
    db.add_clause([6, 8])  # fifth literal: literal capacity 4 -> 8
    assert db.memory_bytes == 4 * (8 + 4 + 4)
    for _ in range(3):
        db.add_clause([])  # clause 5 grows starts and lens to 8
    assert db.num_clauses == 5 and db.memory_bytes == 4 * (8 + 8 + 8)


def test_tautology_keeps_capacity_and_earlier_clauses():
    db = qn.ClauseDb()
    db.add_clause([0, 2])
    before = db.memory_bytes
    assert not db.add_clause([4, 6, 8, 9])
    assert db.clauses() == [[0, 2]]
    assert db.memory_bytes >= before and db.num_lits == 2


def test_random_round_trip_against_python_model():
    rng = random.Random(7)
    db = qn.ClauseDb(3)
    expected, nvars = [], 3
    for _ in range(500):
        lits = [rng.randrange(60) for _ in range(rng.randrange(6))]
        kept, taut = [], False
        for lit in lits:
            if lit in kept:
                continue
            if lit ^ 1 in kept:
                taut = True
                break
            kept.append(lit)
            nvars = max(nvars, (lit >> 1) + 1)
        assert db.add_clause(lits) is (not taut)
        if not taut:
            expected.append(kept)
    assert db.clauses() == expected
    assert db.num_vars == nvars
    assert db.num_lits == sum(map(len, expected))
    assert all(db.clause(i) == c for i, c in enumerate(expected))
    assert repr(db) == (f"<ClauseDb vars={nvars} clauses={len(expected)} lits={db.num_lits} "
                        f"bytes={db.memory_bytes}>")
