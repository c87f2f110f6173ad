"""Solving from Python with the command's strategy, without a subprocess."""
import math
import operator
import time
from dataclasses import dataclass

from quillon_native_cli import configs, strategy
from quillon_native_cli.driver import Formula, ProofDest


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
    flat = strategy.Clauses()
    top = 0
    for c in clauses:
        lits = [2 * d - 2 if d > 0 else -2 * d - 1 for d in _literals(c)]
        if lits:
            top = max(top, max(lits) // 2 + 1)
        flat.append(lits)
    n = top if nvars is None else nvars
    if n < top:
        raise ValueError(f"nvars={nvars} but variable {top} is used")
    from quillon_native_cli.native import memory_refusal
    refused = memory_refusal(n)
    if refused:
        raise MemoryError(f"nvars={n}: {refused}")
    formula = Formula(n, flat)
    feat = None
    if strategy_name == "auto":
        feat = strategy.features(n, flat)
        chosen = strategy.plan(feat)
    elif strategy_name in configs.CONFIGS:
        chosen = strategy.Plan((strategy_name,), (1,), 1.0, strategy.DEFAULT_SLICE, "chosen")
    else:
        raise ValueError(f"unknown strategy {strategy_name!r}; auto or one of {', '.join(configs.CONFIGS)}")
    dest = None if proof is None or proof is False else ProofDest(None if proof is True else str(proof),
                                                                   binary_proof)
    remaining = None if deadline is None else (lambda: deadline - time.monotonic())
    if feat is not None and strategy.probes(feat):
        return _probe_first(formula, dest, max_conflicts, deadline, proof is True)
    run = strategy.Portfolio(formula, chosen, dest)
    out = run.run(max_conflicts, remaining)
    steps = out.winner.proof_steps() if out.answer is False and proof is True else None
    written = run.finish(out.winner) if out.answer is not None else run.finish(None)
    model = [v + 1 if val else -(v + 1) for v, val in enumerate(out.model)] if out.answer else None
    stats = dict(out.stats, conflicts_total=out.conflicts, winner=out.winner.name if out.winner else None)
    return Result(out.answer, model, steps if proof is True else written if dest else None, stats)


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


CENTURY = 100 * 365.25 * 86400  # seconds; a longer limit is no limit


def _deadline(seconds):
    """The monotonic time at which a limit of `seconds` ends, or None for no limit."""
    if seconds is None:
        return None
    if math.isnan(seconds) or seconds < 0:
        raise ValueError(f"seconds={seconds!r}: a time limit is 0 or more seconds (None or inf: no limit)")
    return None if seconds > CENTURY else time.monotonic() + seconds


def _probe_first(formula, dest, max_conflicts, deadline, want_steps):
    """auto on a large structured formula, as the command runs it: the
    default alone for strategy.PROBE_CONFLICTS conflicts (the start of its
    own search); a formula still open is preprocessed and searched with the
    plan of the simplified formula, its model extended back to the input and
    its proof the preprocessor's steps, then the winner's."""
    import quillon_native as qn
    from quillon_native_cli import supervise
    from quillon_native_cli.driver import open_driver
    memory = ProofDest(None) if dest is not None else None
    probe = open_driver(formula.nvars, dict(configs.CONFIGS["default"]), memory, "default")
    probe.add_formula(formula)
    limit = strategy.PROBE_CONFLICTS if max_conflicts is None else min(strategy.PROBE_CONFLICTS, max_conflicts)
    answer = supervise.in_slices(strategy.DEFAULT_SLICE, limit, deadline, probe.run, probe.conflicts, lambda: None)
    spent = probe.conflicts()
    if answer is not None or max_conflicts is not None and spent >= max_conflicts or \
            deadline is not None and time.monotonic() >= deadline:
        return _result(answer, probe.model(), probe.proof_steps(), probe, probe.stats(), spent, dest, want_steps)
    probe.close()
    pre = qn.Preprocessor(formula.nvars, with_proof=dest is not None)
    for clause in formula.clauses:
        pre.add_clause(clause)
    if not pre.run(configs.PREP_ROUNDS):
        return _result(False, None, pre.proof_steps(), None, {}, spent, dest, want_steps)
    reduced = pre.reduced()
    plan = strategy.plan(strategy.features(pre.nvars, reduced))
    run = strategy.Portfolio(Formula(pre.nvars, reduced), plan, memory)
    remaining = None if deadline is None else (lambda: deadline - time.monotonic())
    out = run.run(None if max_conflicts is None else max_conflicts - spent, remaining)
    model = pre.reconstruct(out.model) if out.answer else None
    steps = pre.proof_steps() + out.winner.proof_steps() if out.winner is not None and dest is not None else []
    run.finish(None)
    return _result(out.answer, model, steps, out.winner, out.stats, spent + out.conflicts, dest, want_steps)


def _result(answer, model, steps, winner, stats, conflicts, dest, want_steps):
    """The Result of a run of the probe path; the proof goes where `dest`
    says (the winner's only: none without an answer)."""
    proof = None
    if dest is not None and dest.path is not None and answer is not None:
        from quillon_native_cli.proofs import ProofWriter
        import sys
        with open(dest.path, "wb") if dest.path != "-" else open(sys.stdout.fileno(), "wb", closefd=False) as fh:
            sys.stdout.flush()
            writer = ProofWriter(fh, dest.binary)
            writer.write(steps)
        proof = writer.steps
    elif want_steps:
        proof = steps if answer is False else None
    model = [v + 1 if val else -(v + 1) for v, val in enumerate(model)] if answer else None
    name = winner.name if winner is not None and answer is not None else None
    return Result(answer, model, proof, dict(stats, conflicts_total=conflicts, winner=name))
