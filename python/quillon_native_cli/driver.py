"""Driving one solver over one formula in conflict slices.

A strategy (strategy.py) talks to its solvers only through `Driver`, so the
same schedule runs over the module's `Solver` (here: `open_driver`) or over
a native runner that implements the same protocol with streamed proofs.
A slice ends back at decision level 0 and may pass its budget by a few
conflicts, so the slice sizes are part of the search: the same calls give
the same search bit for bit, and a schedule decided by conflict counts alone
gives the same answer, model and proof on every run.
"""
import os
import sys

import quillon_native as qn

from quillon_native_cli.proofs import ProofWriter

STATS = ("conflicts", "decisions", "propagations", "restarts", "blocked_restarts", "learned", "learned_lits",
         "minimized_lits", "reductions", "deleted", "max_trail")


class Formula:
    """A formula in internal literals (2*var + negated): `nvars` and `clauses`."""

    def __init__(self, nvars, clauses):
        self.nvars = nvars
        self.clauses = clauses

    @property
    def nclauses(self):
        return len(self.clauses)


class ProofDest:
    """Where a solver's DRAT proof goes: a file path ("-" for standard output;
    None keeps the steps in memory only, for module-backed drivers)."""

    __slots__ = ("path", "binary")

    def __init__(self, path, binary=False):
        self.path, self.binary = path, binary

    def __eq__(self, other):
        return isinstance(other, ProofDest) and (self.path, self.binary) == (other.path, other.binary)

    def __repr__(self):
        return f"ProofDest({self.path!r}, binary={self.binary})"


def __getattr__(name):
    # The protocol class is made on first use: typing costs every run 6 ms of
    # start-up, and only type checkers and readers need it.
    if name == "Driver":
        global Driver
        Driver = _protocol()
        return Driver
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _protocol():
    from typing import Protocol

    class Driver(Protocol):
        """One solver over one formula, searched in conflict slices."""
        name: str

        def add_formula(self, formula) -> None:
            """Adds every clause; once, before the first run."""

        def run(self, conflicts: int | None, seconds: float | None = None) -> bool | None:
            """Searches about `conflicts` more conflicts (None: no limit) and at most
            `seconds`; True SAT, False UNSAT, None unknown.  Resumes the same search;
            once answered, keeps the answer."""

        def conflicts(self) -> int:
            """Conflicts so far."""

        def model(self) -> list[bool] | None:
            """After True: one value per variable."""

        def stats(self) -> dict[str, int]:
            """The solver's counters, by their attribute names."""

        def finish_proof(self) -> int | None:
            """Writes (or flushes) and closes the proof; the number of steps, None without a proof."""

        def close(self) -> None:
            """Frees the solver; the proof file is left as it is."""

    return Driver


class ModuleDriver:
    """`Driver` over `quillon_native.Solver`: proof steps kept in memory and
    written to the destination by `finish_proof`."""

    def __init__(self, nvars, options, proof, name=""):
        self.name = name
        self.proof = proof
        self.solver = qn.Solver(nvars, **options)
        if proof is not None:
            self.solver.enable_proof()
        self.answer = None

    def add_formula(self, formula):
        add = self.solver.add_clause
        for clause in formula.clauses:
            if not add(clause):
                break

    def run(self, conflicts, seconds=None):
        if self.answer is None:
            self.answer = self.solver.solve(conflicts, seconds)
        return self.answer

    def conflicts(self):
        return self.solver.conflicts

    def model(self):
        return self.solver.model if self.answer is True else None

    def stats(self):
        solver = self.solver
        return {k: getattr(solver, k) for k in STATS}

    def proof_steps(self):
        """The recorded steps as (kind, DIMACS literals); empty without a proof."""
        return self.solver.proof_steps() if self.proof is not None else []

    def finish_proof(self):
        if self.proof is None:
            return None
        steps = self.solver.proof_steps()
        if self.proof.path is None:
            return len(steps)
        if self.proof.path == "-":
            sys.stdout.flush()
            return _write(sys.stdout.buffer, steps, self.proof.binary)
        with open(self.proof.path, "wb") as fh:
            return _write(fh, steps, self.proof.binary)

    def close(self):
        self.solver = None


def _write(fh, steps, binary):
    writer = ProofWriter(fh, binary)
    writer.write(steps)
    fh.flush()
    return writer.steps


def open_driver(nvars, options, proof, name=""):
    """A module-backed `Driver`: `options` are Solver keyword options, `proof`
    a `ProofDest` or None, `name` the configuration's name for messages."""
    return ModuleDriver(nvars, options, proof, name)


def temporary_dest(target, index):
    """A proof destination beside `target` for portfolio member `index`
    (the target itself when that is memory or standard output: only the
    winner ever writes there)."""
    if target.path in (None, "-"):
        return target
    folder, base = os.path.split(os.path.abspath(target.path))
    return ProofDest(os.path.join(folder, f".{base}.{os.getpid()}.{index}.tmp"), target.binary)
