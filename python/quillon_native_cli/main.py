"""Entry point of the `quillon-native` command.

Each subcommand is a module of this package with `add_parser(subparsers)`,
which registers its arguments and sets `run` (args -> exit code) as the
parser's default `run`.  Usage errors are one line on standard error,
"c error: ...", with the subcommand's usage exit code (1, or 2 for check).
"""
import argparse
import importlib
import os
import sys

SUBCOMMANDS = ("solve", "check", "batch", "plot", "race")


class Parser(argparse.ArgumentParser):
    """An ArgumentParser whose errors are one line, "c error: PROG: what"."""

    usage_exit = 1

    def error(self, message):
        try:
            sys.stderr.write(f"c error: {self.prog}: {message}\n")
        except (OSError, ValueError):
            pass
        sys.exit(self.usage_exit)

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
    one is imported and registered: every module costs each run time and
    resident memory."""
    import quillon_native
    parser = Parser(prog="quillon-native", description="Solve and check CNF formulas.")
    parser.add_argument("--version", action="version", version=f"quillon-native {quillon_native.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    argv = sys.argv[1:] if argv is None else argv
    wanted = argv[:1] if argv[:1] and argv[0] in SUBCOMMANDS else SUBCOMMANDS
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
        parser = build_parser(argv)
        args = parser.parse_args(argv)
        if not getattr(args, "run", None):
            parser.print_help(sys.stderr)
            return 2
        return args.run(args)
    except BrokenPipeError:
        # Help or version text into a closed pipe.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    except MemoryError:
        sys.stderr.write("c error: out of memory\n")
        return 1
