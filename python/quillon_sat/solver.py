"""An incremental solver over DIMACS literals, on the command line's native
runner: clauses may be added between calls, each call may assume literals,
and an unsatisfiable answer under assumptions names the failed ones."""
import os
import threading
from collections.abc import Iterable, Mapping
from types import TracebackType
from typing import Any, NamedTuple, cast

from quillon_sat import _lits


class Stats(NamedTuple):
    """The search counters, cumulative over the solver's calls."""
    conflicts: int
    decisions: int
    propagations: int
    restarts: int
    blocked_restarts: int
    learned: int
    learned_lits: int
    minimized_lits: int
    reductions: int
    deleted: int
    max_trail: int


def _runner_type() -> Any:
    from quillon_native_cli import dimacs
    _scan = getattr(dimacs, "_scan", None)
    if _scan is None or not hasattr(_scan, "Runner"):
        raise RuntimeError("quillon_sat needs quillon_native_cli._scan, which this installation lacks")
    return _scan.Runner


def _options(config: str, options: Mapping[str, object] | None) -> dict[str, object]:
    from quillon_native_cli import configs
    if config not in configs.CONFIGS:
        raise ValueError(f"unknown configuration {config!r}; one of {', '.join(configs.CONFIGS)}")
    opts = dict(cast(Mapping[str, object], configs.CONFIGS[config]))
    opts.update(options or {})
    import quillon_native as qn
    qn.Solver(0, **opts)  # checks every option with the module's messages
    return opts


class Solver:
    """A CDCL solver over DIMACS literals (3 is variable 3, -3 its negation).

    clauses      clauses to start with (each an iterable of literals)
    config       one of the command's named configurations ("default",
                 "glucose", "minisat", ...; see `quillon-native solve --config`)
    options      Solver options to override on top of the configuration
    proof        a file path: the DRAT proof of the clauses is written there
                 as it is derived (flushed at the end of every solve call);
                 an unsatisfiable answer under assumptions adds no empty clause
    binary_proof binary DRAT instead of text

    solve() searches without the interpreter lock, so other threads run
    meanwhile; one of them may call interrupt(), any other call during a
    solve raises RuntimeError.  Ctrl-C reaches the interpreter only when
    solve() returns: give it `seconds`, or solve on a thread of your own and
    interrupt() it.  Use the solver as a context manager (or call close()) to
    finish the proof file.
    """

    def __init__(self, clauses: Iterable[Iterable[object]] = (), *, config: str = "default",
                 options: Mapping[str, object] | None = None, proof: str | os.PathLike[str] | None = None,
                 binary_proof: bool = False) -> None:
        self._runner: Any = None
        self._busy = threading.Lock()
        self._answer: bool | None = None
        self._model: bytes | None = None
        self._core: list[int] = []
        self._maxvar = 0
        runner = _runner_type()(0, _options(config, options), proof is not None, bool(binary_proof), False,
                                own_stop=True)
        if proof is not None:
            with open(proof, "wb") as fh:
                runner.attach_proof(fh.fileno())  # the runner keeps a descriptor of its own
        self._runner = runner
        self.add_clauses(clauses)

    # --- clauses ---------------------------------------------------------
    def add_clause(self, clause: Iterable[object]) -> None:
        """Adds one clause; literals are integers (numpy's too), not 0."""
        busy = self._busy
        if busy.acquire(False):
            try:
                runner = self._runner
                if runner is not None:
                    top = runner.add_dimacs(clause)  # a list of plain ints: no Python work per literal
                    if top >= 0:
                        self._answer = None
                        if top > self._maxvar:
                            self._maxvar = top
                        return
            finally:
                busy.release()
        lits = _lits.internal(clause, "clause")
        with self._use():
            self._add(lits)

    def add_clauses(self, clauses: Iterable[Iterable[object]]) -> None:
        """Adds every clause of `clauses`; a bad clause raises and leaves the
        ones before it added."""
        with self._use():
            runner, added = self._runner, False
            try:
                for clause in clauses:
                    top = runner.add_dimacs(clause)  # plain ints: no Python work per literal
                    if top < 0:
                        self._add(_lits.internal(clause, "clause"))
                    elif top > self._maxvar:
                        self._maxvar = top
                    added = True
            finally:
                if added:
                    self._answer = None

    def add_file(self, path: str | os.PathLike[str], relaxed: bool = False) -> int:
        """Adds every clause of a DIMACS file (plain, .gz, .xz, .bz2), read
        as `quillon-native solve` reads it, with no Python object per clause;
        a fault is a quillon_sat.DimacsError ("FILE:LINE: what") and adds
        nothing.  Returns the number of clauses read."""
        from quillon_native_cli import native
        formula = native.read_formula(os.fspath(path), relaxed)  # type: ignore[no-untyped-call]
        with self._use():
            self._runner.add_formula(formula)
            self._maxvar = max(self._maxvar, self._runner.nvars)
            self._answer = None
        return int(formula.nclauses)

    def _add(self, lits: list[int]) -> None:
        if lits:
            self._maxvar = max(self._maxvar, max(lits) // 2 + 1)
        self._runner.add_clause(lits)
        self._answer = None  # model() and core() answer only after True and False

    # --- solving ---------------------------------------------------------
    def solve(self, assumptions: Iterable[object] = (), *, max_conflicts: int | None = None,
              seconds: float | None = None) -> bool | None:
        """True (satisfiable under the assumptions), False (unsatisfiable
        under them; core() names the failed ones, or is empty when the
        clauses alone are refuted), or None (a limit or interrupt())."""
        try:
            limit = _lits.count(max_conflicts, "max_conflicts")
            secs = _lits.seconds(seconds)
            use = self._use()
        except (TypeError, ValueError, RuntimeError):
            _lits.internal(assumptions, "assumptions")  # a bad assumption is the fault named first
            raise
        with use:
            runner = self._runner
            # A list of plain ints goes to the runner as it is; anything else is converted (or refused) here.
            answer = runner.solve(limit, secs, assumptions=assumptions, dimacs=True)
            if answer is NotImplemented:
                assumed = _lits.internal(assumptions, "assumptions")
                answer = runner.solve(limit, secs, assumptions=assumed)
            self._maxvar = max(self._maxvar, runner.nvars)
            self._answer = answer
            self._model = runner.model() if answer else None
            self._core = runner.failed(True) if answer is False else []
        return None if answer is None else bool(answer)

    def interrupt(self) -> None:
        """Stops the running solve() at its next conflict (it answers None);
        called while none runs, it stops the next one.  Any thread."""
        runner = self._runner
        if runner is not None:
            runner.interrupt()

    # --- answers ---------------------------------------------------------
    def model(self) -> list[int] | None:
        """After True: one literal per variable, [1, -2, 3, ...]; else None."""
        m = self._model if self._answer else None
        return None if m is None else [v + 1 if b else -(v + 1) for v, b in enumerate(m)]

    def value(self, lit: object) -> bool | None:
        """The truth of DIMACS literal `lit` in the model, None without a
        model or for a variable the solver has not met."""
        p = _lits.one(lit)
        m = self._model if self._answer else None
        if m is None or p >> 1 >= len(m):
            return None
        return bool(m[p >> 1]) != bool(p & 1)

    def core(self) -> list[int] | None:
        """After False under assumptions: a subset of them that the clauses
        refute; [] when the clauses alone are refuted; None otherwise."""
        return list(self._core) if self._answer is False else None

    def stats(self) -> Stats:
        with self._use():
            d = self._runner.stats()
        return Stats(*(d.get(f, 0) for f in Stats._fields))

    @property
    def nvars(self) -> int:
        """The largest variable met in a clause or an assumption."""
        return self._maxvar

    # --- life ----------------------------------------------------------------
    def close(self) -> None:
        """Finishes the proof file; the solver takes no more calls."""
        with self._use(closing=True):
            runner, self._runner = self._runner, None
            if runner is not None:
                runner.finish_proof()

    def __enter__(self) -> "Solver":
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._runner is None else {True: "sat", False: "unsat", None: "open"}[self._answer]
        return f"<quillon_sat.Solver vars={self._maxvar} {state}>"

    def _use(self, closing: bool = False) -> "_Busy":
        if self._runner is None and not closing:
            raise ValueError("the solver is closed")
        if not self._busy.acquire(blocking=False):
            raise RuntimeError("the solver is busy: solve() runs on another thread (only interrupt() may be called)")
        return _Busy(self._busy)


class _Busy:
    """Releases the solver's lock at the end of a with block."""

    def __init__(self, lock: threading.Lock) -> None:
        self.lock = lock

    def __enter__(self) -> None:
        return None

    def __exit__(self, *exc: object) -> None:
        self.lock.release()
