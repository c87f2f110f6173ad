"""Native engine for quillon (clause arena + CDCL search core)"""

from collections.abc import Mapping, Sequence
from typing import Literal, Optional, final

__version__: str

@final
class ClauseDb:
    """A clause database living in native memory."""

    def __new__(cls, nvars: int = 0) -> ClauseDb: ...
    def add_clause(self, lits: Sequence[int]) -> bool:
        """Add a clause of internal literals.  False means it was a tautology."""
    def add_dimacs(self, lits: Sequence[int]) -> bool:
        """Add a clause of signed 1-based DIMACS literals."""
    def clause(self, i: int) -> list[int]:
        """Literals of clause `i`."""
    def clauses(self) -> list[list[int]]:
        """Every clause, as a list of lists -- the round-trip out of the arena."""
    @property
    def num_vars(self) -> int: ...
    @property
    def num_clauses(self) -> int: ...
    @property
    def num_lits(self) -> int: ...
    @property
    def memory_bytes(self) -> int: ...

@final
class Solver:
    """The native CDCL search core (Sprint 2)."""

    def __new__(
        cls,
        nvars: int = 0,
        restart: str = "luby",
        ccmin: str = "deep",
        phase_saving: bool = True,
        init_phase: bool = False,
        target_phase: bool = True,
        target_reset: int = 0,
        walk_flips: int = 20000,
        walk_interval: int = 1,
        walk_patience: int = 3,
        walk_min_conflicts: int = 5000,
        var_decay: float = 0.8,
        var_decay_max: float = 0.95,
        cla_decay: float = 0.999,
        luby_base: float = 100.0,
        first_reduce: int = 2000,
        reduce_inc: int = 300,
        glue_keep: int = 2,
        block_restart: bool = True,
        rnd_freq: float = 0.0,
        rnd_seed: int = 91648253,
    ) -> Solver: ...
    def new_var(self) -> int: ...
    def enable_proof(self) -> None:
        """Turn on DRAT proof logging."""
    def proof_steps(self) -> list[tuple[Literal["a", "d"], list[int]]]:
        """The recorded proof as (kind, dimacs_literals) pairs."""
    def add_clause(self, lits: Sequence[int]) -> bool: ...
    def solve(self, max_conflicts: Optional[int] = None, seconds: Optional[float] = None) -> Optional[bool]: ...
    @property
    def model(self) -> list[bool]: ...
    @property
    def nvars(self) -> int: ...
    @property
    def ok(self) -> bool: ...
    @property
    def conflicts(self) -> int: ...
    @property
    def decisions(self) -> int: ...
    @property
    def propagations(self) -> int: ...
    @property
    def restarts(self) -> int: ...
    @property
    def learned(self) -> int: ...
    @property
    def minimized_lits(self) -> int: ...
    @property
    def reductions(self) -> int: ...
    @property
    def blocked_restarts(self) -> int: ...
    @property
    def learned_lits(self) -> int: ...
    @property
    def deleted(self) -> int: ...
    @property
    def max_trail(self) -> int: ...
    def check_watch_invariant(self) -> list[str]: ...

@final
class Preprocessor:
    """Native preprocessor: subsumption, self-subsuming resolution, pure literals
    and bounded variable elimination."""

    def __new__(
        cls, nvars: int = 0, do_bve: bool = True, max_resolvent_len: int = 20, with_proof: bool = False
    ) -> Preprocessor: ...
    def add_clause(self, lits: Sequence[int]) -> None: ...
    def freeze(self, v: int) -> None: ...
    def run(self, rounds: int = 3) -> bool: ...
    def reduced(self) -> list[list[int]]: ...
    def reconstruct(self, model: Sequence[bool]) -> list[bool]: ...
    def proof_steps(self) -> list[tuple[Literal["a", "d"], list[int]]]: ...
    @property
    def unsat(self) -> bool: ...
    @property
    def nvars(self) -> int: ...
    @property
    def units(self) -> int: ...
    @property
    def subsumed(self) -> int: ...
    @property
    def strengthened(self) -> int: ...
    @property
    def eliminated_vars(self) -> int: ...
    @property
    def resolvents(self) -> int: ...
    @property
    def pure(self) -> int: ...

_WorkerConfig = Mapping[str, object]
"""A mapping with all twenty solver options (restart, ccmin, phase_saving,
init_phase, target_phase, target_reset, walk_flips, walk_interval,
walk_patience, walk_min_conflicts, var_decay, var_decay_max, cla_decay,
luby_base, first_reduce, reduce_inc, glue_keep, block_restart, rnd_freq,
rnd_seed); every key is required."""

def solve_portfolio(
    nvars: int,
    clauses: Sequence[Sequence[int]],
    configs: Sequence[_WorkerConfig],
    alt: Optional[Sequence[Sequence[int]]] = None,
    alt_threads: int = 0,
    want_proof: bool = False,
) -> Optional[tuple[int, int, bool, list[bool], int, int, int, int, list[tuple[bool, list[int]]]]]:
    """Run a threaded portfolio over one formula and return the first answer."""

def check_proof(
    nvars: int,
    clauses: Sequence[Sequence[int]],
    steps: Sequence[tuple[bool, Sequence[int]]],
    check_rat: bool = True,
    apply_deletions: bool = True,
) -> tuple[bool, str, int, int, int, int, int, int, int, bool]:
    """Check a DRAT proof against a formula."""

def neg(l: int) -> int: ...
def var_of(l: int) -> int: ...
def is_neg(l: int) -> bool: ...
def mk_lit(v: int, negated: bool = False) -> int: ...
def from_dimacs(d: int) -> int: ...
def to_dimacs(l: int) -> int: ...
