"""The solver's tuning options as command-line flags.

Names and defaults come from `quillon_native.Solver`'s own text signature
(what `inspect.signature` shows), so they are written down once, in the
module; only the help texts live here.  The signature is read here directly:
importing `inspect` would cost every run 2.5 MB of resident memory.
"""
import argparse
import math
import re

import quillon_native

HELP = {
    "restart": "restart policy: luby (Luby sequence), glucose (glue averages) or none",
    "ccmin": "learned-clause minimisation: deep (recursive), basic (local) or none",
    "phase_saving": "remember each variable's last value and decide it again",
    "init_phase": "initial saved phase of every variable",
    "target_phase": "decide towards the longest conflict-free assignment seen",
    "target_reset": "forget the target phase every N restarts (0: never)",
    "walk_flips": "flips per local-search walk (0: no walks)",
    "walk_interval": "walk every N-th restart",
    "walk_patience": "stop walking after N walks without improvement (0: never walk)",
    "walk_min_conflicts": "conflicts before the first walk",
    "var_decay": "starting variable-activity decay",
    "var_decay_max": "ceiling of the variable-activity decay",
    "cla_decay": "clause-activity decay",
    "luby_base": "conflicts per unit of the Luby restart sequence",
    "first_reduce": "conflicts before the first learned-clause reduction",
    "reduce_inc": "increment of the reduction interval",
    "glue_keep": "learned clauses with glue up to this are never deleted",
    "block_restart": "postpone restarts while the trail is unusually long",
    "rnd_freq": "share of random decisions (0 to 1)",
    "rnd_seed": "seed of the solver's random generator",
}

CHOICES = {"restart": ("luby", "glucose", "none"), "ccmin": ("deep", "basic", "none")}


_PARAM = re.compile(r"\s*(\w+)=('[^'\\]*'|\"[^\"\\]*\"|True|False|-?[0-9.e+-]+)\s*(?:,|$)")


def _value(text):
    if text[0] in "'\"":
        return text[1:-1]
    if text in ("True", "False"):
        return text == "True"
    return float(text) if any(c in text for c in ".e") else int(text)


def solver_parameters():
    """[(name, default)] of every Solver option, nvars excluded, in order."""
    sig = quillon_native.Solver.__text_signature__.strip()
    assert sig[0] == "(" and sig[-1] == ")", sig
    params = [(m.group(1), _value(m.group(2))) for m in _PARAM.finditer(sig[1:-1])]
    return [(name, default) for name, default in params if name != "nvars"]


def solver_defaults():
    return dict(solver_parameters())


def _bool(text):
    low = text.lower()
    if low in ("1", "true", "yes", "on"):
        return True
    if low in ("0", "false", "no", "off"):
        return False
    raise argparse.ArgumentTypeError(f"expected true or false, got {text!r}")


def _unsigned(bits):
    def parse(text):
        try:
            value = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if not 0 <= value < 2 ** bits:
            raise argparse.ArgumentTypeError(f"{value} is out of range 0 to {2 ** bits - 1}")
        return value
    return parse


def _real(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
    return value


_WIDE = {"glue_keep", "rnd_seed"}  # the two 32-bit integer options


def add_solver_options(parser):
    """One flag per Solver option (--walk-flips N ...); unset ones stay None."""
    group = parser.add_argument_group("solver options (defaults from quillon_native.Solver)")
    for name, default in solver_parameters():
        flag = "--" + name.replace("_", "-")
        text = HELP.get(name, "")
        if isinstance(default, bool):
            kind, metavar = _bool, "BOOL"
        elif isinstance(default, int):
            kind, metavar = _unsigned(32 if name in _WIDE else 64), "N"
        elif isinstance(default, float):
            kind, metavar = _real, "X"
        else:
            kind, metavar = str, None
        group.add_argument(flag, dest="opt_" + name, type=kind, choices=CHOICES.get(name), metavar=metavar,
                           default=None, help=f"{text} (default: {str(default).lower() if isinstance(default, bool) else default})")


def chosen_options(args):
    """The Solver options given on the command line, as keywords."""
    out = {}
    for name, _ in solver_parameters():
        value = getattr(args, "opt_" + name, None)
        if value is not None:
            out[name] = value
    return out
