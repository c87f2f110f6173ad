"""Literal helpers and DIMACS conversion."""
import pytest

import quillon_native as qn


@pytest.mark.parametrize("call, expected", [
    (lambda: qn.mk_lit(3), 6), (lambda: qn.mk_lit(3, True), 7), (lambda: qn.mk_lit(v=3, negated=True), 7),
    (lambda: qn.neg(6), 7), (lambda: qn.neg(7), 6), (lambda: qn.var_of(7), 3),
    (lambda: qn.is_neg(7), True), (lambda: qn.is_neg(6), False),
    (lambda: qn.to_dimacs(0), 1), (lambda: qn.to_dimacs(1), -1), (lambda: qn.to_dimacs(6), 4),
    (lambda: qn.to_dimacs(7), -4),
    (lambda: qn.from_dimacs(1), 0), (lambda: qn.from_dimacs(-1), 1), (lambda: qn.from_dimacs(4), 6),
    (lambda: qn.from_dimacs(-4), 7),
    (lambda: qn.from_dimacs(-2147483648), 4294967295), (lambda: qn.to_dimacs(4294967295), -2147483648),
    (lambda: qn.from_dimacs(2147483647), 4294967292),
    (lambda: qn.neg(4294967295), 4294967294), (lambda: qn.mk_lit(2147483648), 0),
    (lambda: qn.mk_lit(2147483648, True), 1),
    # the positive literal of the largest variable has no 32-bit DIMACS form:
    # the result is the mathematically right value, not a wrapped one
    (lambda: qn.to_dimacs(4294967294), 2147483648),
])
def test_values(call, expected):
    result = call()
    assert result == expected and type(result) is type(expected)


def test_round_trip_against_formula():
    for lit in list(range(0, 2000)) + [2**32 - 3, 2**32 - 2, 2**32 - 1, 2**31, 2**31 + 1]:
        d = qn.to_dimacs(lit)
        assert d == (-((lit >> 1) + 1) if lit & 1 else (lit >> 1) + 1)
        if lit != 4294967294:
            assert qn.from_dimacs(d) == lit
        assert qn.neg(qn.neg(lit)) == lit
        assert qn.mk_lit(qn.var_of(lit), qn.is_neg(lit)) == lit


def test_from_dimacs_zero():
    with pytest.raises(ValueError, match=r"^0 is not a DIMACS literal \(it terminates a clause\)$"):
        qn.from_dimacs(0)
