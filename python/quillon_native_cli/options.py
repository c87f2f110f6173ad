"""The solver's tuning options as command-line flags.

Names, defaults, ranges and help texts come from the one table of options
(QN_SOLVER_OPTIONS), which the command line's native module gives
(solver_options); that spares every run the solver module's import.
Without the native module (a build folder) the names and defaults are read
from `quillon_native.Solver`'s text signature (what `inspect.signature`
shows, read here directly: importing `inspect` would cost every run 2.5 MB
of resident memory), and the flags go unchecked to the module.
"""
from quillon_native_cli.common import Range, boolean, real, whole

try:
    from quillon_native_cli._scan import solver_options as _native_options
except ImportError:  # not built (a build folder): the module's signature
    _native_options = None


class Option:
    """One solver option: its name, default, the range of a number, the
    spellings of an option string and its help text."""

    def __init__(self, name, default, lo=None, hi=None, lo_open=False, choices=None, help=""):
        self.name, self.default, self.choices, self.help = name, default, choices, help
        self.limits = None if lo is None else Range(_plain(lo), _plain(hi), lo_open)


def _plain(x):
    """A bound as help texts show it: 1, not 1.0."""
    return int(x) if isinstance(x, float) and x.is_integer() else x


def parse_value(text):
    """A value as Python writes it: 'text', True, 0.95, 7."""
    if text[0] in "'\"":
        return text[1:-1]
    if text in ("True", "False"):
        return text == "True"
    return float(text) if any(c in text for c in ".e") else int(text)


def solver_options():
    """[Option] of every Solver option, nvars excluded, in keyword order."""
    if _native_options is not None:
        return [Option(*row) for row in _native_options()]
    import quillon_native
    sig = quillon_native.Solver.__text_signature__.strip()
    assert sig[0] == "(" and sig[-1] == ")", sig
    params = [part.strip().partition("=") for part in sig[1:-1].split(",")]
    return [Option(name, parse_value(text)) for name, _, text in params if name != "nvars"]


def solver_parameters():
    """[(name, default)] of every Solver option, nvars excluded, in order."""
    return [(o.name, o.default) for o in solver_options()]


def solver_defaults():
    return dict(solver_parameters())


def add_solver_options(parser):
    """One flag per Solver option (--walk-flips N ...); unset ones stay None.
    Numbers are checked against their range here (the module itself takes
    any value its types hold)."""
    group = parser.add_argument_group("solver options (defaults from quillon_native.Solver)")
    for o in solver_options():
        limits = o.limits
        if isinstance(o.default, bool):
            kind, metavar, shown = boolean, "BOOL", str(o.default).lower()
        elif isinstance(o.default, int):
            kind, metavar, shown = whole(limits or Range()), "N", o.default
        elif isinstance(o.default, float):
            kind, metavar, shown = real(limits or Range()), "X", o.default
        else:
            kind, metavar, shown = str, None, o.default
        where = f"{limits}; " if limits else ""
        text = f"{o.help} ({where}default: {shown})" if o.help else f"default: {shown}"
        group.add_argument("--" + o.name.replace("_", "-"), dest="opt_" + o.name, type=kind, choices=o.choices,
                           metavar=metavar, default=None, help=text)


def chosen_options(args):
    """The Solver options given on the command line, as keywords."""
    out = {}
    for name, _ in solver_parameters():
        value = getattr(args, "opt_" + name, None)
        if value is not None:
            out[name] = value
    return out
