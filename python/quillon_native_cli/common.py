"""What every subcommand shares: its exit codes, the one way to report an
error or a warning, the argument types with their ranges, and the handling of
SIGINT and SIGTERM.  No other module prints errors or picks an exit code of
its own."""
import argparse
import enum
import math
import os
import signal
import sys
import time


class Exit(enum.IntEnum):
    """The exit codes of every subcommand (meanings in MEANINGS)."""
    UNKNOWN = 0
    VERIFIED = 0
    DONE = 0
    NOT_VERIFIED = 1
    FAILED = 1
    USAGE = 2
    INPUT = 3
    OUTPUT = 4
    SAT = 10
    UNSAT = 20
    SIGINT = 128 + signal.SIGINT
    SIGTERM = 128 + signal.SIGTERM


MEANINGS = (  # (code, meaning): the table the README and each --help show
    (Exit.SAT, "satisfiable (solve, race)"),
    (Exit.UNSAT, "unsatisfiable (solve, race)"),
    (0, "solve, race: unknown (a time or conflict limit); check: verified; batch, plot: done"),
    (1, "check: not verified; batch: an answer is wrong, or every instance ended in error; solve, race: "
        "the search failed (out of memory, the search process died, the cluster failed) or --check did"),
    (Exit.USAGE, "bad command line: an unknown, out-of-range or contradictory option, a refused output file, "
                 "a missing optional package"),
    (Exit.INPUT, "an input cannot be read: missing, unreadable or malformed (named with its line)"),
    (Exit.OUTPUT, "an output cannot be written (a proof, standard output, an export, an image); when a proof "
                  "fails, the answer is printed first"),
    (Exit.SIGINT, "stopped by Ctrl-C (SIGINT); a batch keeps its finished rows"),
    (Exit.SIGTERM, "stopped by SIGTERM"),
)


def version():
    """The package's version, from the command line's native module when it
    is there (importing the solver module costs every run 0.5 MB)."""
    try:
        from quillon_native_cli._scan import __version__
    except ImportError:
        from quillon_native import __version__
    return __version__


def exit_codes_help(width=79):
    """The exit-code table as the epilog of a --help text."""
    import textwrap
    return "exit codes:\n" + "\n".join(textwrap.fill(meaning, width, initial_indent=f"  {int(code):>3}  ",
                                                     subsequent_indent=" " * 7) for code, meaning in MEANINGS)


class Formatter(argparse.HelpFormatter):
    """argparse's help layout; a text of several lines (the exit-code table)
    is kept as written, a one-line description is wrapped."""

    def _fill_text(self, text, width, indent):
        if "\n" in text:
            return "".join(indent + line for line in text.splitlines(keepends=True))
        return super()._fill_text(text, width, indent)


def _say(kind, message):
    try:
        sys.stderr.write(f"c {kind}: {message}\n")
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):  # nobody is listening: the exit code still tells
        pass


def fail(code, message):
    """Prints "c error: MESSAGE" on standard error; returns `code` (an Exit)."""
    _say("error", message)
    return code


def warn(message):
    """Prints "c warning: MESSAGE" on standard error."""
    _say("warning", message)


class UsageError(Exception):
    """A command line that cannot run: its text is the one-line reason."""


class StdoutError(Exception):
    """Standard output cannot be written (a full disk): the reason."""


def say(text):
    """Prints `text` and a newline on standard output, at once.  A reader
    that went away is no error; a write that fails raises StdoutError."""
    try:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    except BrokenPipeError:
        discard_stdout()
    except OSError as e:
        discard_stdout()
        raise StdoutError(e.strerror or str(e)) from None


def discard_stdout():
    """Sends the rest of standard output, and the final flush, nowhere."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


# -- argument types --------------------------------------------------------
class Range:
    """A closed or half-open interval of numbers, as help texts show it."""

    def __init__(self, lo=None, hi=None, lo_open=False, inf=False):
        self.lo, self.hi, self.lo_open, self.inf = lo, hi, lo_open, inf

    def __contains__(self, value):
        if self.inf and value == math.inf:
            return True
        above = self.lo is None or (value > self.lo if self.lo_open else value >= self.lo)
        return above and (self.hi is None or value <= self.hi) and math.isfinite(value)

    def __str__(self):
        if self.hi is None:
            text = f"above {self.lo}" if self.lo_open else f"{self.lo} or more"
        else:
            text = f"above {self.lo}, up to {self.hi}" if self.lo_open else f"{self.lo} to {self.hi}"
        return text + (", or inf" if self.inf else "")


U32 = Range(0, 2 ** 32 - 1)
U64 = Range(0, 2 ** 64 - 1)
WHOLE_DIGITS = 40  # longer than any number an option takes: refused before int() reads it


def whole(limits=U64):
    """An argument type: a whole number within `limits`."""
    def parse(text):
        digits = text.strip().lstrip("+-")
        if not digits.isdigit() or len(digits) > WHOLE_DIGITS or not digits.isascii():
            raise argparse.ArgumentTypeError(f"expected a whole number ({limits}), got {text!r}")
        value = int(text, 10)
        if value not in limits:
            raise argparse.ArgumentTypeError(f"{value} is out of range ({limits})")
        return value
    parse.limits = limits
    return parse


def real(limits):
    """An argument type: a number within `limits`."""
    def parse(text):
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a number ({limits}), got {text!r}") from None
        if value not in limits:
            raise argparse.ArgumentTypeError(f"{text} is out of range ({limits})")
        return value
    parse.limits = limits
    return parse


def filename(text):
    """An argument type: a file name, which is never empty."""
    if not text:
        raise argparse.ArgumentTypeError("expected a file name, got ''")
    return text


def boolean(text):
    """An argument type: true/false, yes/no, on/off, 1/0."""
    low = text.lower()
    if low in ("1", "true", "yes", "on"):
        return True
    if low in ("0", "false", "no", "off"):
        return False
    raise argparse.ArgumentTypeError(f"expected true or false, got {text!r}")


SECONDS = real(Range(0, inf=True))
POSITIVE = whole(Range(1, 2 ** 63 - 1))


# -- signals -----------------------------------------------------------------
class Interrupted(KeyboardInterrupt):
    """SIGINT or SIGTERM arrived; `code` is the exit code it asks for."""

    def __init__(self, signum=signal.SIGINT):
        super().__init__(signum)
        self.signum = signum

    @property
    def code(self):
        return 128 + self.signum


def interrupt_code(e):
    """The exit code of a KeyboardInterrupt (ours, or Python's own for Ctrl-C)."""
    return getattr(e, "code", Exit.SIGINT)


class TimeLimit(BaseException):
    """The time limit passed (a BaseException, as Interrupted: no reader's
    `except Exception` takes it for a bad input)."""


class Signals:
    """SIGINT and SIGTERM for the duration of a `with` block.  Each signal is
    noted in `caught` (the first one) and wakes a select() on `rfd`; while
    `raising` is set it also raises Interrupted in the main thread.  Given a
    monotonic `deadline`, TimeLimit is raised in the main thread when it
    passes within the block."""

    def __init__(self, raising=True, deadline=None):
        self.raising = raising
        self.deadline = deadline
        self.caught = None
        self.rfd = self.wfd = None
        self.old = {}

    def __enter__(self):
        self.rfd, self.wfd = os.pipe()
        os.set_blocking(self.wfd, False)
        for sig in (signal.SIGINT, signal.SIGTERM):
            self.old[sig] = signal.signal(sig, self._note)
        if self.deadline is not None:
            self.old[signal.SIGALRM] = signal.signal(signal.SIGALRM, self._time_up)
            signal.setitimer(signal.ITIMER_REAL, max(self.deadline - time.monotonic(), 1e-6))
        return self

    @staticmethod
    def _time_up(signum, frame):
        raise TimeLimit()

    def _note(self, signum, frame):
        if self.caught is None:
            self.caught = signum
        try:
            os.write(self.wfd, b"!")
        except OSError:
            pass
        if self.raising:
            raise Interrupted(signum)

    def __exit__(self, *exc):
        if self.deadline is not None:
            signal.setitimer(signal.ITIMER_REAL, 0)
        for sig, old in self.old.items():
            signal.signal(sig, old)
        os.close(self.rfd)
        os.close(self.wfd)
        return False
