"""auto's plans seen from Python.  The search program's one table
(src/cli/plan.cpp) chooses them from a formula's features; `plan(formula)`
asks it (through _scan.plan_of) and gives the plan as data together with
the line the run prints.  The search itself runs natively (the search
program, or _scan.run_plan for solve_formula).  PROBE_CLAUSES and
PROBE_CONFLICTS are the probe the command and solve_formula ask for.

A plan: the first member searches `head` slices alone, then member i
`openings[i]` slices in the opening (the first member last), then
`weights[i]` slices of
`unit_of(i)` conflicts in the first round; each later round multiplies
every member's share by `growth`.  bench/simulate.py replays such plans,
its own candidates too.
"""
from collections import namedtuple

from quillon_native_cli import _scan

DEFAULT_SLICE = _scan.DEFAULT_SLICE  # the slice of `solve --config default`
HEAD, OPENING = -2, -1               # the rounds before round 0, in order


# Plain named tuples, not dataclasses: dataclasses would bring inspect and
# ast into every run, 10 ms of start-up that the smallest formulas notice.
class Plan(namedtuple("Plan", "members weights growth unit why head units openings line prep_rounds",
                      defaults=("", 0, (), (), "", 0))):
    """members: names (config_of gives their configurations), in turn order;
    weights: slices per member in the first round; growth: factor on the
    shares from one round to the next; unit: conflicts per slice (None: one
    call without a conflict limit) where `units` has no other; why: what in
    the formula chose this plan; head: slices the first member runs alone
    first; openings: slices of each member after that, before the first round;
    line: the run's c line; prep_rounds: preprocessing rounds before any of it."""
    __slots__ = ()

    def unit_of(self, i):
        return self.units[i] if self.units and self.units[i] else self.unit

    def describe(self):
        """One line for the run's c lines, as the program words it."""
        return self.line

    def first_round(self):
        """The round the plan starts with."""
        return HEAD if self.head else OPENING if any(self.openings) else 0

    def order(self, rnd):
        """Member indices in the order of their turns in round `rnd`: the
        opening ends with the first member's turn."""
        n = len(self.members)
        return list(range(1, n)) + [0] if rnd == OPENING else list(range(n))

    def shares(self, rnd):
        """Slices of each member in round `rnd` (HEAD, OPENING, 0, 1, ...)."""
        if rnd == OPENING:
            return list(self.openings) or [0] * len(self.weights)
        if rnd == HEAD:
            return [self.head] + [0] * (len(self.weights) - 1)
        factor = self.growth ** rnd
        return [max(1, int(w * factor)) for w in self.weights]


def config_of(member):
    """The configuration of a member named `config` or `config@slice` (one
    configuration can be two members searching in slices of other sizes)."""
    return member.partition("@")[0]


def plan(formula, slice_=DEFAULT_SLICE):
    """The plan the program chooses for `formula` (a native.Formula);
    `slice_` is `solve --slice`, which the member named `default` keeps."""
    why, members, growth, head, prep_rounds, line = _scan.plan_of(formula, slice_)
    names, weights, units, openings = zip(*members)
    return Plan(names, weights, growth, None, why, head, units, openings, line, prep_rounds)


# Large structured formulas: preprocessing shortens the search of the slow
# ones (bounded model checking, quasigroups) by half or more, but costs the
# many that the default answers within a few thousand conflicts more than
# their whole search.  So on formulas of PROBE_CLAUSES clauses or more the
# default first searches PROBE_CONFLICTS conflicts alone, exactly the start
# of `solve --config default`'s search (what it answers there it answers as
# that command does); only a formula still open is preprocessed and gets the
# plan of the simplified formula's features.  Measured on the shared set and
# the tuning part (bench/strategy_eval.py): the quick large formulas need at
# most about 4500 conflicts, the slow ones 11000 and more.
PROBE_CLAUSES, PROBE_CONFLICTS = _scan.PROBE_CLAUSES, _scan.PROBE_CONFLICTS  # the probe's table is native
