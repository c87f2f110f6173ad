"""auto's plans in Python: the features of a formula and the plan they
choose, as the search program's one table (src/cli/plan.cpp) has them, and
the line that describes a plan.  The search itself runs natively (the search
program, or _scan.run_plan for solve_formula); this statement of the table is
what the tests hold the program's plan lines against, and PROBE_CLAUSES and
PROBE_CONFLICTS are the probe the command and solve_formula ask for.

A plan: member i searches `weights[i]` slices of `unit` conflicts in the
first round; each later round multiplies every member's share by `growth`.
Uniform random k-SAT is left to the default configuration alone, in the
slices `solve --config default` uses; formulas made of at-most-one and long
at-least-one constraints (pigeonhole) give no-restart most of the time;
other formulas get the measured portfolio, cut down to fewer members on
large formulas to bound memory.
"""
import itertools
import math
import sys
from collections import Counter, namedtuple

from quillon_native_cli._scan import DEFAULT_SLICE  # the slice of `solve --config default`

UNIT = 2000             # conflicts per slice of a portfolio member


# Plain named tuples, not dataclasses: dataclasses would bring inspect and
# ast into every run, 10 ms of start-up that the smallest formulas notice.
class Plan(namedtuple("Plan", "members weights growth unit why head units", defaults=("", 0, ()))):
    """members: names (config_of gives their configurations), in turn order; weights: slices per member
    in the first round; growth: factor on the shares from one round to the
    next; unit: conflicts per slice (None: one call without a conflict limit);
    why: what in the formula chose this plan; head: slices the first member
    runs alone before the first round; units: conflicts per slice of each
    member, where it is not `unit`."""
    __slots__ = ()

    def unit_of(self, i):
        return self.units[i] if self.units and self.units[i] else self.unit

    def describe(self):
        """One line for the run's c lines."""
        if len(self.members) == 1:
            how = f"slices of {self.unit} conflicts" if self.unit else "one call, no slices"
            return f"strategy auto ({self.why}): configuration {self.members[0]}, {how}"
        return f"strategy auto ({self.why}): {self.schedule()}"

    def schedule(self):
        """The head start and turns of a plan of several members, in words."""
        def slices(n, unit):
            return f"{n} slice{'s' if n != 1 else ''} of {unit} conflicts" if unit else "one call, no slices"
        turns = ", ".join(f"{n} {w}x{self.unit_of(i)}" for i, (n, w) in enumerate(zip(self.members, self.weights)))
        head = f"{self.members[0]} alone for {slices(self.head, self.unit_of(0))}, then " if self.head else ""
        return f"{head}turns of {turns} conflicts, x{self.growth:g} every round"

    def shares(self, rnd):
        """Slices of each member in round `rnd` (round -1: the head start)."""
        if rnd < 0:
            return [self.head] + [0] * (len(self.weights) - 1)
        factor = self.growth ** rnd
        return [max(1, int(w * factor)) for w in self.weights]


# The portfolio for structured formulas, chosen by replaying schedules on
# runs of every configuration measured in slices (bench/measure.py,
# bench/simulate.py; tuned on the shared set and the tuning part of the
# generated corpus).  The default searches first and alone for 40000
# conflicts, in the slices of `solve --config default`, so it makes exactly
# that command's search: where it wins early, auto is the default (with a
# head of 20000, the quasigroup family measured 1.5x slower).  Then the
# members take turns.  glucose-random, the configuration that most often
# beats the default where the default is slow, is two members, in slices of
# 2000 and of 30000 conflicts: every slice end sends a member back to level
# 0, so the slice size is part of a search, and on the measured corpus
# neither size alone does what both do (the sorting network needs 26600
# conflicts in the small slices and 309000 in the large; the factoring miter
# 157000 in the large and more than 422000 in the small).
PORTFOLIO = Plan(("default", "glucose-random@2000", "glucose-random@30000"), (1, 5, 2), 2.0, UNIT, "structured",
                 head=2, units=(DEFAULT_SLICE, UNIT, 30000))
# Formulas of at-most-one constraints (negative binaries) and long
# at-least-one clauses, such as pigeonhole: no-restart (glucose-random's
# phases and random decisions, but no restarts within its slices of 30000
# conflicts and no target phase) solves the hard ones several times faster
# than anything else measured (hole9 in 28000 conflicts, glucose-random in
# 49000, the default in 222000; pigeonhole 10 into 9 in 0.25-0.6 s on eight
# shuffles where glucose-random took 1.5-5.0 s), so it takes most of each
# turn; the default's turn comes first but is short (slices of 2000), for
# the satisfiable ones it answers in a few hundred conflicts (php-40-40: 204).
AT_MOST_ONE = Plan(("default@2000", "no-restart@30000", "glucose-random@2000"), (1, 2, 5), 2.0, UNIT,
                   "at-most-one and long at-least-one clauses", units=(UNIT, 30000, UNIT))
RANDOM = Plan(("default",), (1,), 1.0, DEFAULT_SLICE, "uniform random k-SAT")
LARGE_LITS = 2_000_000  # literals from which a formula gets at most LARGE_MEMBERS solvers
LARGE_MEMBERS = 2
AMO_BINARY_SHARE = 0.5  # negative binaries among the clauses, at least
AMO_CHOICES = 6         # mean length of the positive clauses of two or more literals, at least


class Features(namedtuple("Features", "nvars nclauses lits lengths occurrence_cv negative positive",
                          defaults=((), 0.0, (), ()))):
    """Counts of a formula: lengths maps a clause length to its clauses;
    occurrence_cv is the spread of the variables' occurrences (std / mean);
    negative and positive map a length to the non-empty clauses of that
    length whose literals are all negative, all positive."""
    __slots__ = ()

    @property
    def looks_random(self):
        """Uniform k-SAT whose variable occurrences spread as drawn at random
        (Poisson: std/mean near 1/sqrt(mean)); crafted uniform formulas such
        as parity chains have (nearly) equal occurrences."""
        if not self.uniform_k or not self.nvars:
            return False
        poisson = 1 / math.sqrt(max(self.lits / self.nvars, 1e-9))
        return 0.5 * poisson <= self.occurrence_cv <= 2 * poisson

    @property
    def uniform_k(self):
        """k when every clause has k >= 3 literals, else 0."""
        if len(self.lengths) == 1:
            (k,) = self.lengths
            return k if k >= 3 else 0
        return 0

    @property
    def at_most_one_shaped(self):
        """Pigeonhole-like: no clause mixes signs, most clauses are negative
        binaries (at-most-one constraints, pairwise) and the positive clauses
        (at-least-one) offer many choices.  Graph colouring has the same signs
        but three choices a vertex, and the default suits it better."""
        negative, positive = dict(self.negative), dict(self.positive)
        if sum(negative.values()) + sum(positive.values()) != self.nclauses:
            return False
        if negative.get(2, 0) < AMO_BINARY_SHARE * self.nclauses:
            return False
        choices = {k: n for k, n in positive.items() if k >= 2}
        return bool(choices) and sum(k * n for k, n in choices.items()) >= AMO_CHOICES * sum(choices.values())


def config_of(member):
    """The configuration of a member named `config` or `config@slice` (one
    configuration can be two members searching in slices of other sizes)."""
    return member.partition("@")[0]


PARITY = bytes(i & 1 for i in range(256))


def features(nvars, clauses):
    """Clause-length profile, occurrence spread and clause signs (counted at
    C speed: this runs before every search on formulas of millions of literals)."""
    if hasattr(clauses, "profile"):  # read natively (native.Formula): counted there
        lengths, occurrences, negative, positive = clauses.profile()
        counts = memoryview(occurrences).cast("Q")  # uint64 bytes
    else:
        from array import array
        lits = array("I", itertools.chain.from_iterable(clauses))
        ends = list(itertools.accumulate(map(len, clauses)))
        # one byte a literal, 1 where it is negative (the low byte of each 4-byte literal)
        odd = bytes(memoryview(lits).cast("B")[0 if sys.byteorder == "little" else 3::4]).translate(PARITY)
        sizes = map(int.__sub__, ends, itertools.chain((0,), ends))
        negated = map(odd.count, itertools.repeat(1), itertools.chain((0,), ends), ends)
        lengths, negative, positive = Counter(), Counter(), Counter()
        for (k, n), m in Counter(zip(sizes, negated)).items():  # (length, negative literals): clauses
            lengths[k] += m
            if k and n == k:
                negative[k] += m
            elif k and not n:
                positive[k] += m
        by_lit = Counter(lits)
        occ = Counter()
        for lit, n in by_lit.items():
            occ[lit >> 1] += n
        counts = occ.values()
    cv = 0.0
    if counts:
        mean = sum(counts) / len(counts)
        cv = math.sqrt(sum((x - mean) ** 2 for x in counts) / len(counts)) / mean
    return Features(nvars, sum(lengths.values()), sum(n * k for k, n in lengths.items()), dict(lengths), cv,
                    dict(negative), dict(positive))


def plan(feat, slice_=DEFAULT_SLICE):
    """The plan for a formula of these features; `slice_` is the slice of
    `--config default` (`solve --slice`), which the member named `default`
    keeps."""
    if feat.looks_random:
        return Plan(RANDOM.members, RANDOM.weights, RANDOM.growth, slice_ or None,
                    f"uniform random {feat.uniform_k}-SAT")
    base = AT_MOST_ONE if feat.at_most_one_shaped else PORTFOLIO
    n, why = len(base.members), base.why
    if feat.lits >= LARGE_LITS:
        n, why = LARGE_MEMBERS, f"{why}, large ({feat.lits} literals)"
    unit = slice_ or DEFAULT_SLICE
    scale = DEFAULT_SLICE / unit  # other slices: the same conflicts per turn
    d = base.members.index("default") if "default" in base.members else n
    weights, units = list(base.weights[:n]), list(base.units[:n])
    if d < n:
        weights[d], units[d] = max(1, round(weights[d] * scale)), unit
    head = max(1, round(base.head * scale)) if d == 0 else base.head
    return Plan(base.members[:n], tuple(weights), base.growth, base.unit, why, head, tuple(units))


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
from quillon_native_cli._scan import PROBE_CLAUSES, PROBE_CONFLICTS  # noqa: E402  (the probe's table is native)


def probes(feat):
    """Whether auto probes with the default before preprocessing (a formula
    of these features, --preprocess not given): on large formulas whose plan
    starts with the default searching alone."""
    if feat.nclauses < PROBE_CLAUSES:
        return False
    chosen = plan(feat)
    return chosen.members[0] == "default" and chosen.head > 0


def describe_probe(feat, slice_=DEFAULT_SLICE):
    how = f", in slices of {slice_}" if slice_ and slice_ < PROBE_CONFLICTS else ""
    return (f"strategy auto (structured, {feat.nclauses} clauses): default alone for {PROBE_CONFLICTS} "
            f"conflicts{how} as --config default searches; if unanswered, preprocessing, then the plan "
            f"of the simplified formula")
