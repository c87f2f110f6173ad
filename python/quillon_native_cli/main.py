"""Entry point of the `quillon-native` command.

Each subcommand is a module of this package with `add_parser(subparsers)`,
which registers its arguments and sets `run` (args -> exit code) as the
parser's default `run`.  Usage errors are one line on standard error,
"c error: PROG: what", with exit code Exit.USAGE (common.py has the table).
"""
import argparse
import importlib
import os
import sys

from quillon_native_cli.common import (Exit, Formatter, StdoutError, discard_stdout, exit_codes_help, fail,
                                       interrupt_code, version)

SUBCOMMANDS = ("solve", "check", "batch", "plot", "race")


class Parser(argparse.ArgumentParser):
    """An ArgumentParser whose errors are one line, "c error: PROG: what"."""

    def error(self, message):
        sys.exit(fail(Exit.USAGE, f"{self.prog}: {message}"))

    def _print_message(self, message, file=None):
        # argparse's own drops a failed write: --help on a full disk would exit 0.
        try:
            (file or sys.stderr).write(message or "")
        except BrokenPipeError:
            raise
        except OSError as e:
            sys.exit(fail(Exit.OUTPUT, f"standard output: {e.strerror or e}"))

    def format_help(self):
        # The exit-code table is made when help is asked for: wrapping it
        # imports textwrap, a millisecond of every run.
        if callable(self.epilog):
            self.epilog = self.epilog()
        return super().format_help()

    def _get_formatter(self):
        # argparse's own, given the width: left to itself, every formatter
        # (one per add_argument) imports shutil for it, and shutil brings bz2,
        # lzma, zlib and fnmatch, 0.9 MB of resident memory in every run.
        return self.formatter_class(prog=self.prog, width=terminal_columns() - 2)


def terminal_columns():
    """shutil.get_terminal_size().columns, without importing shutil."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns
        except (AttributeError, ValueError, OSError):
            columns = 0
    return columns or 80


def build_parser(argv=None):
    """The command's parser.  When `argv` names a subcommand first, only that
    one is imported and registered (none for --version): every module costs
    each run time and resident memory."""
    parser = Parser(prog="quillon-native", description="Solve and check CNF formulas.", epilog=exit_codes_help,
                    formatter_class=Formatter)
    parser.add_argument("--version", action="version", version=f"quillon-native {version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    argv = sys.argv[1:] if argv is None else argv
    wanted = argv[:1] if argv[:1] and argv[0] in SUBCOMMANDS else () if argv[:1] == ["--version"] else SUBCOMMANDS
    for name in wanted:
        try:
            module = importlib.import_module(f"quillon_native_cli.{name}")
        except ModuleNotFoundError as e:
            if e.name != f"quillon_native_cli.{name}":
                raise
            continue
        module.add_parser(sub)
    return parser


def main(argv=None):
    try:
        code = dispatch(argv)
    except SystemExit as e:  # --help, --version and usage errors
        code = e.code if isinstance(e.code, int) else Exit.USAGE
    return finish(code)


def dispatch(argv):
    try:
        parser = build_parser(argv)
        args = parser.parse_args(argv)
        if not getattr(args, "run", None):
            parser.print_help(sys.stderr)
            return Exit.USAGE
        return int(args.run(args))
    except BrokenPipeError:  # help or version text into a closed pipe
        return Exit.DONE
    except StdoutError as e:
        return fail(Exit.OUTPUT, f"standard output: {e}")
    except KeyboardInterrupt as e:
        return interrupt_code(e)
    except MemoryError:
        return fail(Exit.FAILED, "out of memory")


def finish(code):
    """`code`, once what is left of standard output is written; a reader
    that went away is no error, a full disk is Exit.OUTPUT."""
    try:
        sys.stdout.flush()
    except (OSError, ValueError, AttributeError) as e:
        if isinstance(e, OSError):
            discard_stdout()
        if isinstance(e, OSError) and not isinstance(e, BrokenPipeError):
            return fail(Exit.OUTPUT, f"standard output: {e.strerror or e}")
    return code
