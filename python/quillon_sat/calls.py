"""One-call helpers: solve a formula as `quillon-native solve` does, check a
DRAT proof, read and write DIMACS files with the command's strict reader,
and enumerate models."""
import os
from collections.abc import Iterable, Iterator
from typing import NamedTuple

from quillon_sat import _lits
from quillon_sat.solver import Solver

Clauses = Iterable[Iterable[object]]
Path = str | os.PathLike[str]


class Result(NamedTuple):
    """What solve() found."""
    answer: bool | None          # True satisfiable, False unsatisfiable, None a limit was reached
    model: list[int] | None      # after True: one literal per variable, [1, -2, 3, ...]
    proof_steps: int | None      # steps written to the proof file, None without one
    stats: dict[str, object]     # the winner's counters, "conflicts_total" over all solvers, "winner"


class Verdict(NamedTuple):
    """check()'s verdict on a DRAT proof (the fields of `quillon-native check`)."""
    verified: bool               # every step checks and the empty clause is derived
    message: str
    steps: int                   # steps checked
    rup: int                     # RUP additions
    rat: int                     # RAT additions
    deletions_applied: int
    deletions_skipped: int
    rat_resolvents: int
    failing_step: int            # 1-based number of the first failing step; -1 none, 0 the formula
    empty_clause: bool           # the proof derives the empty clause


class Cnf(NamedTuple):
    nvars: int
    clauses: list[list[int]]     # DIMACS literals


def _dimacs_clauses(clauses: Clauses) -> tuple[list[list[int]], int]:
    out, top = [], 0
    for clause in clauses:
        lits = _lits.internal(clause, "clause")
        if lits:
            top = max(top, max(lits) // 2 + 1)
        out.append([_lits.dimacs(p) for p in lits])
    return out, top


def _dimacs_literals(clause: Iterable[object]) -> list[int]:
    return [_lits.dimacs(p) for p in _lits.internal(clause, "clause")]


def solve(clauses: Clauses, nvars: int | None = None, *, max_conflicts: int | None = None,
          seconds: float | None = None, proof: Path | None = None, binary_proof: bool = False,
          strategy: str = "auto") -> Result:
    """Solves `clauses` with the engine and strategy of `quillon-native
    solve` ("auto", or one named configuration); the DRAT proof of an
    unsatisfiable answer goes to the file `proof`."""
    from quillon_native_cli.api import formula_of, solve_built
    formula, top = formula_of(clauses, _dimacs_literals)  # type: ignore[no-untyped-call]
    n = _lits.count(nvars, "nvars")
    if n is not None and n < top:
        raise ValueError(f"nvars={n} but variable {top} is used")
    out = solve_built(  # type: ignore[no-untyped-call]
        formula, top, n, max_conflicts=_lits.count(max_conflicts, "max_conflicts"),
                        seconds=_lits.seconds(seconds), proof=None if proof is None else os.fspath(proof),
                        binary_proof=binary_proof, strategy_name=strategy)
    return Result(out.answer, out.model, out.proof if proof is not None else None, dict(out.stats))


def check(formula: Path | Clauses, proof: Path | Iterable[tuple[str, Iterable[object]]], *, relaxed: bool = False,
          rat: bool = True, deletions: bool = True) -> Verdict:
    """Checks a DRAT proof (a file, text or binary, or ("a" or "d", literals)
    steps) against a formula (a DIMACS file or clauses)."""
    import quillon_native as qn
    from quillon_native_cli.proofs import ProofReader
    if isinstance(formula, (str, os.PathLike)):
        from quillon_native_cli.dimacs import CnfReader
        internal: list[list[int]] = []
        nvars = CnfReader(  # type: ignore[no-untyped-call]
            os.fspath(formula), internal.append, relaxed=relaxed).read().nvars
    else:
        internal = [_lits.internal(c, "clause") for c in formula]
        nvars = max((max(c) // 2 + 1 for c in internal if c), default=0)
    if isinstance(proof, (str, os.PathLike)):
        reader = ProofReader(os.fspath(proof))  # type: ignore[no-untyped-call]
        reader.read()
        steps = reader.steps
    else:
        steps = []
        for step in proof:
            kind, lits = step
            if kind not in ("a", "d"):
                raise ValueError(f"proof step {step!r}: the kind is 'a' or 'd'")
            steps.append((kind == "d", _lits.internal(lits, "proof step")))
    nvars = max([nvars] + [max(s[1]) // 2 + 1 for s in steps if s[1]])
    return Verdict(*qn.check_proof(nvars, internal, steps, rat, deletions))


def read_dimacs(path: Path, relaxed: bool = False) -> Cnf:
    """The formula of a DIMACS file (plain, .gz, .xz, .bz2), read as
    `quillon-native solve` reads it: errors are quillon_sat.DimacsError
    ("FILE:LINE: what"); `relaxed` as --relaxed."""
    from quillon_native_cli.dimacs import CnfReader
    clauses: list[list[int]] = []
    reader = CnfReader(  # type: ignore[no-untyped-call]
        os.fspath(path), lambda c: clauses.append([_lits.dimacs(p) for p in c]), relaxed=relaxed)
    reader.read()
    return Cnf(reader.nvars, clauses)


def write_dimacs(path: Path, clauses: Clauses, nvars: int | None = None) -> None:
    """Writes `clauses` as a DIMACS file with its `p cnf` header."""
    plain, top = _dimacs_clauses(clauses)
    n = max(top, _lits.count(nvars, "nvars") or 0)
    with open(path, "w") as fh:
        fh.write(f"p cnf {n} {len(plain)}\n")
        fh.writelines(" ".join(map(str, c + [0])) + "\n" for c in plain)


def models(clauses: Clauses, limit: int | None = None, *, over: Iterable[object] | None = None,
           config: str = "default") -> Iterator[list[int]]:
    """Yields up to `limit` models of `clauses` (all when None), each
    blocked by a clause once found; with `over` (variables), models that
    differ on those variables only, each given in full."""
    n = _lits.count(limit, "limit")
    keep = None if over is None else {p >> 1 for p in _lits.internal(over, "over")}
    with Solver(clauses, config=config) as s:
        found = 0
        while (n is None or found < n) and s.solve():
            model = s.model()
            assert model is not None
            yield model
            found += 1
            block = [-lit for lit in model if keep is None or abs(lit) - 1 in keep]
            if not block:
                return
            s.add_clause(block)
