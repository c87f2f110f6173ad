"""The solver's tuning options as command-line flags.

Names and defaults come from the module's own list of options: the command
line's native module gives them (solver_defaults), which spares every run
the solver module's import; without it they are read from
`quillon_native.Solver`'s text signature (what `inspect.signature` shows,
read here directly: importing `inspect` would cost every run 2.5 MB of
resident memory).  Their help texts and ranges live in OPTIONS.
"""
from quillon_native_cli.common import U32, U64, Range, boolean, real, whole

try:
    from quillon_native_cli._scan import solver_defaults as _native_defaults
except ImportError:  # not built (a build folder): the module's signature
    _native_defaults = None


DECAY = Range(0, 1, lo_open=True)
SHARE = Range(0, 1)

# name: (help text, range of a number); the names and defaults are the module's.
OPTIONS = {
    "restart": ("restart policy: luby (Luby sequence), glucose (glue averages) or none", None),
    "ccmin": ("learned-clause minimisation: deep (recursive), basic (local) or none", None),
    "phase_saving": ("remember each variable's last value and decide it again", None),
    "init_phase": ("initial saved phase of every variable", None),
    "target_phase": ("decide towards the longest conflict-free assignment seen", None),
    "target_reset": ("forget the target phase every N restarts; 0: never", U64),
    "walk_flips": ("flips per local-search walk; 0: no walks", U64),
    "walk_interval": ("walk every N-th restart", Range(1, U64.hi)),
    "walk_patience": ("stop walking after N walks without improvement; 0: never walk", U64),
    "walk_min_conflicts": ("conflicts before the first walk", U64),
    "var_decay": ("starting variable-activity decay", DECAY),
    "var_decay_max": ("ceiling of the variable-activity decay", DECAY),
    "cla_decay": ("clause-activity decay", DECAY),
    "luby_base": ("conflicts per unit of the Luby restart sequence", Range(0, lo_open=True)),
    "first_reduce": ("conflicts before the first learned-clause reduction", U64),
    "reduce_inc": ("increment of the reduction interval", U64),
    "glue_keep": ("learned clauses with glue up to this are never deleted", U32),
    "block_restart": ("postpone restarts while the trail is unusually long", None),
    "rnd_freq": ("share of random decisions", SHARE),
    "rnd_seed": ("seed of the solver's random generator", U32),
}

CHOICES = {"restart": ("luby", "glucose", "none"), "ccmin": ("deep", "basic", "none")}


def _value(text):
    if text[0] in "'\"":
        return text[1:-1]
    if text in ("True", "False"):
        return text == "True"
    return float(text) if any(c in text for c in ".e") else int(text)


def solver_parameters():
    """[(name, default)] of every Solver option, nvars excluded, in order."""
    if _native_defaults is not None:
        return list(_native_defaults().items())
    import quillon_native
    sig = quillon_native.Solver.__text_signature__.strip()
    assert sig[0] == "(" and sig[-1] == ")", sig
    params = [part.strip().partition("=") for part in sig[1:-1].split(",")]
    return [(name, _value(text)) for name, _, text in params if name != "nvars"]


def solver_defaults():
    return dict(solver_parameters())


def add_solver_options(parser):
    """One flag per Solver option (--walk-flips N ...); unset ones stay None.
    Numbers are checked against their range here (the module itself takes
    any value its types hold)."""
    group = parser.add_argument_group("solver options (defaults from quillon_native.Solver)")
    for name, default in solver_parameters():
        text, limits = OPTIONS[name]
        if isinstance(default, bool):
            kind, metavar, shown = boolean, "BOOL", str(default).lower()
        elif isinstance(default, int):
            kind, metavar, shown = whole(limits), "N", default
        elif isinstance(default, float):
            kind, metavar, shown = real(limits), "X", default
        else:
            kind, metavar, shown = str, None, default
        where = f"{limits}; " if limits else ""
        group.add_argument("--" + name.replace("_", "-"), dest="opt_" + name, type=kind, choices=CHOICES.get(name),
                           metavar=metavar, default=None, help=f"{text} ({where}default: {shown})")


def chosen_options(args):
    """The Solver options given on the command line, as keywords."""
    out = {}
    for name, _ in solver_parameters():
        value = getattr(args, "opt_" + name, None)
        if value is not None:
            out[name] = value
    return out
