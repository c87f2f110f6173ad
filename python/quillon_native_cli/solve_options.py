"""The command line of `quillon-native solve`: its options, their defaults
and ranges, and the combinations refused because one option would be
ignored."""
from quillon_native_cli import common, configs, options
from quillon_native_cli._scan import DEFAULT_SLICE  # the search program's (src/cli/plan.hpp)
from quillon_native_cli.common import SECONDS, U32, U64, Range, UsageError, filename, whole

DEFAULT_ROUNDS = 3
MAX_THREADS = 3  # the search program's thread plans (src/cli/plan.cpp)

STOPPING = """\
Ctrl-C (SIGINT) and SIGTERM stop the search at once: the statistics so far
and "s UNKNOWN" are printed and a proof file keeps only whole steps.

"""


def add_parser(subparsers, run):
    names = list(configs.CONFIGS)
    p = subparsers.add_parser(
        "solve", help="solve a DIMACS CNF file", description="Solve a DIMACS CNF file (plain, .gz, .xz, .bz2 or - "
        "for standard input) and print the answer in the SAT competition format.",
        epilog=lambda: STOPPING + common.exit_codes_help(),
        formatter_class=common.Formatter)
    p.add_argument("file", type=filename, metavar="FILE", help="DIMACS CNF file")
    p.add_argument("--version", action="version", version=f"quillon-native {common.version()}")
    p.add_argument("-q", "--quiet", action="store_true", help="print only the s and v lines")
    p.add_argument("-v", "--verbose", action="store_true", help="print a progress line after every slice")
    p.add_argument("--seconds", type=SECONDS, metavar="S", help=f"time limit in seconds ({SECONDS.limits})")
    p.add_argument("--max-conflicts", type=whole(), metavar="N", help=f"conflict limit ({U64})")
    p.add_argument("--seed", type=whole(U32), metavar="N", help=f"random seed, as --rnd-seed ({U32})")
    p.add_argument("--proof", type=filename, metavar="PROOF", help="write a DRAT proof to PROOF (text unless --binary-proof); "
                   "refused if PROOF is the input or holds a CNF formula (unless --force)")
    p.add_argument("-f", "--force", action="store_true", help="overwrite a PROOF that looks like a CNF formula")
    p.add_argument("--binary-proof", action="store_true", help="write the proof in binary DRAT")
    p.add_argument("--check", action="store_true",
                   help="verify the run: the model against the formula, or the proof written, read back and checked")
    p.add_argument("--preprocess", action="store_true",
                   help="simplify the formula first (model and proof refer to the original formula)")
    p.add_argument("--rounds", type=whole(U32), metavar="N",
                   help=f"preprocessing rounds with --preprocess ({U32}; default: {DEFAULT_ROUNDS})")
    p.add_argument("--config", choices=["auto"] + names, metavar="NAME",
                   help="auto (the default: the configurations below take turns on one thread, chosen by the "
                   "formula's features; see README) or one named solver configuration: " + ", ".join(names))
    p.add_argument("--portfolio", type=whole(Range(1, len(names))), metavar="N",
                   help=f"race the N configurations that together solved most of our measured corpus on threads "
                   f"(1 to {len(names)}: {', '.join(configs.PORTFOLIO_ORDER)}); "
                   "no progress lines, slices or conflict limit")
    p.add_argument("--threads", type=whole(Range(1, MAX_THREADS)), metavar="N",
                   help=f"auto on N threads (1 to {MAX_THREADS}), each running measured configurations in "
                   "turns; the first answer in time wins (1: auto on one thread)")
    p.add_argument("--slice", type=whole(), metavar="K",
                   help=f"solve in slices of K conflicts; 0: one call, no progress ({U64}; default: {DEFAULT_SLICE})")
    p.add_argument("--relaxed", action="store_true",
                   help="accept files without a header, with more variables or clauses than declared, "
                   "or without the final 0")
    options.add_solver_options(p)
    p.set_defaults(run=run)
    return p


def uses_auto(args):
    """auto runs unless a configuration, a solver option, a seed or --portfolio says otherwise."""
    return args.config in (None, "auto") and not args.portfolio and args.seed is None \
        and not options.chosen_options(args)


def solver_options(args):
    opts = dict(configs.CONFIGS[args.config]) if args.config and args.config != "auto" else {}
    opts.update(options.chosen_options(args))
    if args.seed is not None:
        opts["rnd_seed"] = args.seed
    return opts


def check_usage(args):
    """Refuses option combinations of which one would be ignored."""
    if args.quiet and args.verbose:
        raise UsageError("-q and -v contradict each other")
    if args.binary_proof and not args.proof:
        raise UsageError("--binary-proof needs --proof PROOF")
    if args.proof == "-":
        raise UsageError("--proof -: a proof on standard output would be mixed with the answer; name a file")
    if args.rounds is not None and not args.preprocess:
        raise UsageError("--rounds needs --preprocess")
    if args.portfolio is not None:
        given = [flag for flag, on in (("--config", args.config), ("--seed", args.seed is not None),
                                       ("--max-conflicts", args.max_conflicts is not None),
                                       ("--slice", args.slice is not None), ("-v", args.verbose),
                                       ("solver options", options.chosen_options(args))) if on]
        if given:
            raise UsageError(f"--portfolio runs the named configurations on threads; it takes no {given[0]}")
    if args.threads is not None and args.threads > 1:
        given = [flag for flag, on in (("--config", args.config not in (None, "auto")), ("--portfolio", args.portfolio),
                                       ("--seed", args.seed is not None), ("--slice", args.slice is not None),
                                       ("--max-conflicts", args.max_conflicts is not None), ("--check", args.check),
                                       ("--preprocess", args.preprocess),
                                       ("solver options", options.chosen_options(args))) if on]
        if given:
            raise UsageError(f"--threads runs auto's configurations on threads; it takes no {given[0]}")
    if args.config == "auto" and (args.seed is not None or options.chosen_options(args)):
        raise UsageError("--config auto runs the named configurations as they are; it takes no "
                         + ("--seed" if args.seed is not None else "solver options"))
