"""DIMACS literals in, internal literals out, with one message per fault.

A literal is any integer type with `__index__` (int, numpy's integers, ...)
other than bool, non-zero, naming a variable from 1 to MAX_VAR.  Internal
literals are 2 * (variable - 1) + negated.
"""
import operator
from collections.abc import Iterable

from quillon_native_cli.dimacs import MAX_VAR


def internal(lits: Iterable[object], kind: str) -> list[int]:
    """The internal literals of `lits`; a TypeError or ValueError naming
    `kind` and the value (e.g. "clause [1, 'x']") otherwise."""
    try:
        items = list(lits)
    except TypeError:
        raise TypeError(f"{named(kind, lits)}: not a sequence of literals") from None
    out = []
    for x in items:
        d = x if type(x) is int else _integer(x, kind, lits)
        if d == 0 or d > MAX_VAR or d < -MAX_VAR:
            raise ValueError(f"{named(kind, lits)}: literal {d} is out of range (non-zero, variables 1 to {MAX_VAR})")
        out.append(d + d - 2 if d > 0 else -d - d - 1)
    return out


def one(x: object) -> int:
    """The internal literal of one DIMACS literal."""
    d = x if type(x) is int else _integer(x, "literal", x)
    if d == 0 or d > MAX_VAR or d < -MAX_VAR:
        raise ValueError(f"literal {d} is out of range (non-zero, variables 1 to {MAX_VAR})")
    return d + d - 2 if d > 0 else -d - d - 1


def _integer(x: object, kind: str, lits: object) -> int:
    if isinstance(x, bool):
        raise TypeError(f"{named(kind, lits)}: literal {x!r} is a bool, not an integer")
    try:
        return operator.index(x)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{named(kind, lits)}: literal {x!r} is not an integer") from None


def dimacs(lit: int) -> int:
    return (lit >> 1) + 1 if not lit & 1 else -((lit >> 1) + 1)


def named(kind: str, value: object) -> str:
    """`kind` and the value's repr, cut to a readable length."""
    text = repr(value)
    return f"{kind} {text if len(text) <= 60 else text[:57] + '...'}"


def count(value: object, name: str) -> int | None:
    """A non-negative whole number or None (for max_conflicts and limits)."""
    if value is None:
        return None
    if isinstance(value, bool):
        raise TypeError(f"{name} must be a whole number or None, not a bool")
    try:
        n = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be a whole number or None, not {type(value).__name__}") from None
    if n < 0 or n >= 2 ** 64:
        raise ValueError(f"{name} must be between 0 and 2**64 - 1, not {n}")
    return n


def seconds(value: object) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)) and not hasattr(value, "__float__"):
        raise TypeError(f"seconds must be a number or None, not {type(value).__name__}")
    s = float(value)  # type: ignore[arg-type,unused-ignore]
    if not s >= 0:
        raise ValueError(f"seconds must be a non-negative number, not {s!r}")
    return s
