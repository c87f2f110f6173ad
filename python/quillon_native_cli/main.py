"""Entry point of the `quillon-native` command.

Each subcommand is a module of this package with `add_parser(subparsers)`,
which registers its arguments and sets `run` (args -> exit code) as the
parser's default `run`.
"""
import argparse
import importlib
import sys

SUBCOMMANDS = ("solve", "check", "batch", "plot", "race")


def build_parser():
    parser = argparse.ArgumentParser(prog="quillon-native", description="Solve and check CNF formulas.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    for name in SUBCOMMANDS:
        try:
            module = importlib.import_module(f"quillon_native_cli.{name}")
        except ModuleNotFoundError as e:
            if e.name != f"quillon_native_cli.{name}":
                raise
            continue
        module.add_parser(sub)
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if not getattr(args, "run", None):
        parser.print_help(sys.stderr)
        return 2
    return args.run(args)
