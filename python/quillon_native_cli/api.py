"""Solving from Python as `quillon-native solve` does: the search program's
run (auto's plan, or one configuration) in this process."""
import math
import operator
import os
import struct
import tempfile
import time
from dataclasses import dataclass

from quillon_native_cli import configs
from quillon_native_cli.solve_options import DEFAULT_ROUNDS, DEFAULT_SLICE


@dataclass
class Result:
    answer: object      # True (satisfiable), False (unsatisfiable) or None (a limit was reached)
    model: list | None  # after True: one DIMACS literal per variable, [1, -2, 3, ...]
    proof: object       # None; the steps written to the proof file; or [(kind, DIMACS literals)]
    stats: dict         # the winning solver's counters, "conflicts_total" over all solvers, "winner"


def solve_formula(clauses, nvars=None, *, max_conflicts=None, seconds=None, proof=None, binary_proof=False,
                  strategy_name="auto"):
    """Solves the CNF formula `clauses` (sequences of DIMACS literals: 3 is
    variable 3, -3 its negation) as `quillon-native solve` does.

    nvars         number of variables (default: the largest variable used)
    max_conflicts conflicts of all solvers together before giving up (None: no limit)
    seconds       time limit (None, infinity or more than a century: none); the only
                  input that is not deterministic
    proof         None; True for the DRAT steps of an UNSAT answer in `Result.proof`
                  as ("a" or "d", DIMACS literals) pairs; or a file path to write them to
    binary_proof  binary DRAT for a proof file
    strategy_name "auto" (the command's default) or the name of one configuration

    Returns a `Result`.  The proof is checked by quillon_native.check_proof
    against `clauses` itself (literals converted to 2*(var-1) + negated).
    """
    deadline = _deadline(seconds)  # a limit it refuses is refused before any work
    formula, top = formula_of(clauses)
    return _run(formula, top, nvars, deadline, max_conflicts, proof, binary_proof, strategy_name)


def solve_built(formula, top, nvars=None, *, max_conflicts=None, seconds=None, proof=None, binary_proof=False,
                strategy_name="auto"):
    """solve_formula over a formula that formula_of built (`top` its largest variable)."""
    return _run(formula, top, nvars, _deadline(seconds), max_conflicts, proof, binary_proof, strategy_name)


def formula_of(clauses, literals=None):
    """The native Formula of `clauses` and their largest variable.  A list
    or tuple of plain ints goes in without Python work per literal; any
    other clause goes through `literals` (its DIMACS literals as ints, or the
    error for a fault; _literals by default)."""
    from quillon_native_cli import native
    formula = native.Formula()
    add_dimacs, add_clause, top = formula.add_dimacs, formula.add_clause, 0
    for c in clauses:
        t = add_dimacs(c)
        if t < 0:
            ds = (literals or _literals)(c)
            add_clause([2 * d - 2 if d > 0 else -2 * d - 1 for d in ds])
            t = max((abs(d) for d in ds), default=0)
        if t > top:
            top = t
    return formula, top


def _run(formula, top, nvars, deadline, max_conflicts, proof, binary_proof, strategy_name):
    from quillon_native_cli import native
    n = top if nvars is None else nvars
    if n < top:
        raise ValueError(f"nvars={nvars} but variable {top} is used")
    refused = native.memory_refusal(n)
    if refused:
        raise MemoryError(f"nvars={n}: {refused}")
    auto = strategy_name == "auto"
    if not auto and strategy_name not in configs.CONFIGS:
        raise ValueError(f"unknown strategy {strategy_name!r}; auto or one of {', '.join(configs.CONFIGS)}")
    options = {} if auto else dict(configs.CONFIGS[strategy_name])
    want = proof is not None and proof is not False
    args = _Args(_conflict_limit(max_conflicts), binary_proof and proof is not True)
    if not want:
        return _result(native.search_argv("run_plan", n, options, args, deadline, auto), formula, -1, strategy_name)
    from quillon_native_cli.proofs import MemberFolder
    files = MemberFolder(os.path.join(tempfile.gettempdir(), "proof") if proof is True else str(proof))
    try:
        target = os.path.join(files.folder, "proof.drat") if proof is True else str(proof)
        argv = native.search_argv("run_plan", n, options, args, deadline, auto, files, True)
        with open(target, "wb") as fh:  # a device (a link to /dev/null) is written to, never replaced
            res = _result(argv, formula, fh.fileno(), strategy_name)
        if proof is True:
            res.proof = _steps(target) if res.answer is False else None
        elif res.answer is None:
            res.proof = None
        return res
    finally:
        files.remove()


@dataclass
class _Args:
    """solve's options as the search program's arguments take them (native.search_argv)."""
    max_conflicts: object
    binary_proof: bool
    slice: int = DEFAULT_SLICE
    rounds: int = DEFAULT_ROUNDS
    threads: object = None
    portfolio: object = None
    preprocess: bool = False
    proof: bool = False


def _result(argv, formula, proof_fd, strategy_name):
    """The Result of the search program's run (in this process) over `formula`."""
    from quillon_native_cli import native
    from quillon_native_cli.dimacs import _scan
    data = _scan.run_plan(argv, formula, proof_fd)
    res = Result(None, None, None, {})
    at = 0
    while at < len(data):
        (size,) = struct.unpack_from("=I", data, at + 1)
        msg = native.SearchProcess.message(data[at], data[at + 5:at + 5 + size])
        at += 5 + size
        if msg[0] == "answer":
            res.answer, counters, model = msg[1], msg[2], msg[3]
            res.model = [v + 1 if b else -(v + 1) for v, b in enumerate(model)] if model is not None else None
            counters.pop("seconds", None)
            total = counters.pop("all_conflicts", counters.get("conflicts", 0))
            res.stats = dict(counters, conflicts_total=total, winner=None)
        elif msg[0] == "winner":
            res.stats["winner"] = msg[1]
        elif msg[0] == "proof":
            res.proof = msg[1]
        elif msg[0] in ("proof-failed", "error"):
            raise OSError(msg[1]) if msg[0] == "proof-failed" else RuntimeError(msg[1])
    if res.answer is not None and strategy_name != "auto":  # the program's member of one configuration
        res.stats["winner"] = strategy_name
    return res


def _steps(path):
    """The proof at `path` as (kind, DIMACS literals) pairs."""
    from quillon_native_cli.proofs import ProofReader
    return [("d" if deletion else "a", [(lit >> 1) + 1 if lit % 2 == 0 else -((lit >> 1) + 1) for lit in lits])
            for deletion, lits in ProofReader(path).read().steps]


def _literals(clause):
    """The DIMACS literals of one clause as ints: any integer type (numpy's
    too) is taken; anything else is a TypeError, 0 or a variable beyond the
    reader's range a ValueError, each naming the clause."""
    from quillon_native_cli.dimacs import MAX_VAR
    items = list(clause)
    try:
        ds = [operator.index(d) for d in items]
    except TypeError:
        raise TypeError(f"clause {items!r}: literals are integers") from None
    if any(d == 0 or abs(d) > MAX_VAR for d in ds):
        raise ValueError(f"clause {items!r}: literals are non-zero, of variables 1 to {MAX_VAR}")
    return ds


def _conflict_limit(max_conflicts):
    """The conflict limit as the search takes it: below 0 is 0, beyond 64
    bits none (None); anything but an integer is a TypeError."""
    if max_conflicts is None:
        return None
    try:
        n = operator.index(max_conflicts)
    except TypeError:
        raise TypeError(f"max_conflicts={max_conflicts!r}: a whole number of conflicts, or None") from None
    return None if n >= 2 ** 64 else max(n, 0)


CENTURY = 100 * 365.25 * 86400  # seconds; a longer limit is no limit


def _deadline(seconds):
    """The monotonic time at which a limit of `seconds` ends, or None for no limit."""
    if seconds is None:
        return None
    if math.isnan(seconds) or seconds < 0:
        raise ValueError(f"seconds={seconds!r}: a time limit is 0 or more seconds (None or inf: no limit)")
    return None if seconds > CENTURY else time.monotonic() + seconds
