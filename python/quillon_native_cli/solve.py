"""`quillon-native solve FILE`: solve a DIMACS CNF file.

The formula is read in this process and searched in another one (see
supervise.py) in deterministic slices of `--slice` conflicts, so progress can
be shown and Ctrl-C, SIGTERM and `--seconds` take effect at once while runs
stay reproducible for the same options.  One named configuration searches
in the search program (native.SearchProcess), which gets the clauses as they
are read, so that neither process holds both the interpreter and the
formula; so does auto on one thread, whose plan the program chooses from
the formula and runs.  The other runs load the formula here and fork.
"""
import gc
import os
import signal
import time

from quillon_native_cli import common, configs, native, options, stats
from quillon_native_cli.common import SECONDS, U32, U64, Exit, Interrupted, Range, Signals, UsageError, filename, whole
from quillon_native_cli.dimacs import CnfReader, InputError
from quillon_native_cli.output import Output
from quillon_native_cli.proofs import refuse_target

DEFAULT_SLICE = 20000
DEFAULT_ROUNDS = 3
PROGRESS_EVERY = 2.0
MAX_THREADS = 3  # the search program's thread plans (src/cli/plan.cpp)
STREAM_BLOCK = 1 << 14  # bytes read at a time when the clauses go to the search program

STOPPING = """\
Ctrl-C (SIGINT) and SIGTERM stop the search at once: the statistics so far
and "s UNKNOWN" are printed and a proof file keeps only whole steps.

"""


def add_parser(subparsers):
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
                   help="verify the answer: the model against the formula, or the proof with check_proof")
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


def run(args):
    out = Output(args.quiet)
    try:
        check_usage(args)
    except UsageError as e:
        return common.fail(Exit.USAGE, f"quillon-native solve: {e}")
    args.slice = DEFAULT_SLICE if args.slice is None else args.slice
    args.rounds = DEFAULT_ROUNDS if args.rounds is None else args.rounds
    if args.proof:
        refused = refuse_target(args.proof, [args.file], args.force)
        if refused:
            return common.fail(refused[0], refused[1])
    if not native.available():
        return common.fail(Exit.FAILED, "quillon-native solve: the search needs the native module "
                           "quillon_native_cli._scan, which this build lacks")
    return Solve(args, out).main()


class ProgramFailed(Exception):
    """The search program could not start."""


class Solve:
    def __init__(self, args, out):
        self.args, self.out = args, out
        self.opts = solver_options(args)
        self.auto = uses_auto(args)
        # --check checks the proof that was written (a file of its own without --proof)
        self.want_proof = bool(args.proof) or args.check
        # Every run searches in the search program (no interpreter in the searching process).
        self.program = native.search_program()
        # a plan of the program's (auto, --threads, --portfolio) rather than one configuration
        self.planned = self.auto or bool(args.portfolio)
        self.kept = None  # with --check: the formula as read, checked against after the search
        self.checked = args.proof  # the proof file --check reads
        self.proc = None
        # Beyond a century a limit is no limit (and the solver's clock could not take it).
        limit = args.seconds if args.seconds is not None and args.seconds < 3e9 else None
        self.started = time.monotonic()
        self.deadline = self.started + limit if limit is not None else None
        self.proof_fh = None
        self.proof_files = None
        self.stats = {}

    # -- loading -----------------------------------------------------------
    def main(self):
        args, out = self.args, self.out
        try:
            with Signals():
                self.load()
        except InputError as e:
            return common.fail(Exit.INPUT, str(e))
        except MemoryError:
            return common.fail(Exit.FAILED, f"{self.name}: out of memory while loading the formula")
        except ProgramFailed as e:
            return common.fail(Exit.FAILED, f"{self.name}: {e}")
        except Interrupted as e:
            out.comment("interrupted while reading the formula")
            out.line("s UNKNOWN")
            return out.done(e.code)
        if self.want_proof:
            # Only now, with the whole input read: a run refused before its
            # search leaves every file as it was.
            if not args.proof:
                self.checked = os.path.join(self.member_files().folder, "checked.drat")
            try:
                self.proof_fh = open(self.checked, "wb")
            except OSError as e:
                self.drop_program()
                return common.fail(Exit.OUTPUT, f"{args.proof}: {e.strerror or e}")
        if self.proc:
            self.proc.finish(self.proof_fh)
        return self.search()

    @property
    def name(self):
        return "<stdin>" if self.args.file == "-" else self.args.file

    def load(self):
        try:
            self.read()
        except BaseException:  # a bad input, a signal: the search process goes too
            self.drop_program()
            raise

    def drop_program(self):
        if self.proc:
            self.proc.kill()
        if self.proof_files:
            self.proof_files.remove()

    def member_files(self):
        """The folder of the proofs of several solvers (and of the proof that
        --check reads when no --proof is written)."""
        if self.proof_files is None:
            target = self.args.proof or os.path.join(os.environ.get("TMPDIR") or "/tmp", "proof")
            self.proof_files = native.ProofFiles(target, self.args.binary_proof)
        return self.proof_files

    def start_search(self, nvars):
        """Starts the search program (ProgramFailed if it cannot start)."""
        files = self.member_files() if self.planned and self.want_proof else None  # a proof file per member
        try:
            self.proc = native.SearchProcess(self.program, nvars, self.opts, self.args, self.deadline,
                                             self.planned, files, self.want_proof)
        except OSError as e:
            raise ProgramFailed(f"the search program cannot start: {e.strerror or e}") from None

    def read(self):
        args = self.args
        t0 = time.monotonic()
        sinks = []
        if args.check:  # kept here as read, and handed over whole at the end
            self.kept = native.Formula()
            sinks.append(self.kept.add_clause)

        def on_header(nvars, nclauses, line):
            try:
                target = self.searcher(nvars, line)
            except MemoryError:
                raise InputError(self.name, line, f"{nvars} variables do not fit in memory") from None
            if target is not None and self.kept is None:
                reader.native = target
                sinks.insert(0, target.add_clause)
            reader.sink = sinks[0] if len(sinks) == 1 else self._sink

        self.sinks = sinks
        reader = CnfReader(args.file, self._sink, on_header, args.relaxed)
        if self.kept is not None:
            reader.native = self.kept
        if not sinks:  # no clause is kept here: no int objects kept to share among them either
            reader.lits = None
        if self.program:  # the clauses pass through: small blocks keep this process small
            reader.block = STREAM_BLOCK
        reader.read()
        self.nvars, self.nclauses = reader.nvars, reader.nclauses
        if self.kept is not None:
            self.kept.nvars = reader.nvars
            self.hand_over(self.kept)
        # What was read stays to the end: the collector need never walk it,
        # nor touch its pages in the forked search process.
        gc.freeze()
        self.load_seconds = time.monotonic() - t0
        out = self.out
        out.comment(f"quillon-native {common.version()}")
        out.comment(f"{self.name}: {self.nvars} variables, {self.nclauses} clauses, "
                    f"read in {self.load_seconds:.3f} s")

    def searcher(self, nvars, line):
        """What searches the formula (or preprocesses it first), made at its
        header; the native object that takes its clauses, or None."""
        args = self.args
        if not self.program:
            raise ProgramFailed("the search program is not built")
        self.start_search(nvars)
        return self.proc.feed

    def hand_over(self, formula):
        """Gives the formula kept for --check to what searches it."""
        self.proc.feed.add_formula(formula)

    def _sink(self, clause):
        for add in self.sinks:
            add(clause)

    # -- searching ---------------------------------------------------------
    def search(self):
        args, out = self.args, self.out
        if args.portfolio:
            names = configs.PORTFOLIO_ORDER[:args.portfolio]
            out.comment(f"portfolio of {args.portfolio}: {', '.join(names)}")
        elif not self.auto:
            shown = " ".join(f"{k}={v}" for k, v in self.opts.items())
            out.comment(f"configuration {args.config or 'default'}{': ' + shown if shown else ''}")
            out.comment(f"slices of {args.slice} conflicts" if args.slice else "one call, no slices")
        # A native search flushes its proof and ends when asked to stop.
        grace = native.STOP_GRACE
        child = self.proc
        answer = prep = proof_done = check = error = self.proof_error = None
        answered = False
        caught = timed_out = False
        every = PROGRESS_EVERY
        next_progress = time.monotonic() + every
        last_seen = None
        with Signals(raising=False) as sig:
            while True:
                now = time.monotonic()
                wait = next_progress - now
                if self.deadline is not None and not answered:
                    wait = min(wait, self.deadline + 0.5 - now)
                if child.stop_by is not None:
                    wait = min(wait, child.stop_by - now)
                msgs = child.poll(wait, None if caught else sig.rfd)
                if msgs is None:
                    break
                for kind, *rest in msgs:
                    if kind == "progress":
                        self.stats = rest[0]
                        last_seen = time.monotonic()
                        if args.verbose:
                            self.progress()
                            next_progress = time.monotonic() + every
                    elif kind == "plan":
                        out.comment(rest[0])
                    elif kind == "prep":
                        prep = rest[0]
                        self.prep_lines(prep)
                    elif kind == "answer":
                        answer, self.stats, model, self.winner = rest
                        answered = True
                    elif kind == "proof":
                        proof_done = rest[0]
                    elif kind == "proof-failed":
                        self.proof_error = self.proof_error or rest[0]
                    elif kind == "comment":
                        out.comment(rest[0])
                    elif kind == "winner":
                        self.winner = rest[0]
                    elif kind == "check":
                        check = rest[0]
                    elif kind == "error":
                        error = rest[0]
                if sig.caught and not caught:
                    caught = sig.caught
                    if not child.stop(grace):
                        break
                now = time.monotonic()
                if not answered and not timed_out and self.deadline is not None and now >= self.deadline + 0.5:
                    timed_out = True
                    if not child.stop(grace):
                        break
                if child.stop_by is not None and now >= child.stop_by:
                    child.kill()
                    break
                if now >= next_progress:
                    if not args.verbose or last_seen is None:
                        self.progress()
                    next_progress = now + every
            child.reap()
        if error:
            return common.fail(Exit.FAILED, f"{self.name}: {error}")
        if not answered and not (caught or timed_out):
            st = child.status
            how = f"signal {os.WTERMSIG(st)}" if os.WIFSIGNALED(st) else f"status {os.WEXITSTATUS(st)}"
            return common.fail(Exit.FAILED, f"{self.name}: the search process ended unexpectedly ({how})")
        if self.proof_fh:
            self.finish_proof(proof_done)
        if args.check and answer is not None and not caught:
            try:
                check = self.verify(answer, model)
            except Interrupted as e:
                caught = e.signum
        if self.proof_files:
            self.proof_files.remove()
        if caught:
            out.comment(f"interrupted by {signal.Signals(caught).name}")
        elif timed_out or answered and answer is None and self.deadline is not None \
                and time.monotonic() >= self.deadline:
            out.comment("time limit reached")
        self.stat_lines()
        over = self.stats.get("all_conflicts", self.stats.get("conflicts", 0)) - (args.max_conflicts or 0)
        if args.max_conflicts is not None and over > 0:
            out.comment(f"the solver's last call passed --max-conflicts by {over}")
        if check is not None:
            out.comment(check[1])
            if not check[0]:
                out.line("s UNKNOWN")
                return out.done(Exit.FAILED)
        elif args.check and answer is not None:
            out.comment("check interrupted")
        code = 128 + caught if caught else Exit.UNKNOWN
        if answer is True:
            out.line("s SATISFIABLE")
            out.model(model)
            code = code if caught else Exit.SAT
        elif answer is False:
            out.line("s UNSATISFIABLE")
            code = code if caught else Exit.UNSAT
        else:
            out.line("s UNKNOWN")
        if self.proof_error and args.proof:  # the answer above stands; the proof does not
            code = common.fail(Exit.OUTPUT, f"{args.proof}: {self.proof_error}; the proof is incomplete")
        return out.done(code)

    def finish_proof(self, done):
        fh = self.proof_fh
        try:
            if self.proof_error:
                fh.close()
                return
            if done is None:
                # The child was stopped while writing: keep whole steps only.
                fd = fh.fileno()
                size = os.fstat(fd).st_size
                sep = b"\0" if self.args.binary_proof else b"\n"
                keep = 0
                pos = size
                while pos > 0:
                    start = max(0, pos - (1 << 16))
                    piece = os.pread(fd, pos - start, start)
                    at = piece.rfind(sep)
                    if at >= 0:
                        keep = start + at + 1
                        break
                    pos = start
                os.ftruncate(fd, keep)
                if self.args.proof:
                    self.out.comment(f"proof {self.args.proof}: incomplete, {keep} bytes of whole steps kept")
            elif self.args.proof:
                self.out.comment(f"proof {self.args.proof}: {done} steps")
            fh.close()
        except OSError as e:
            self.proof_error = e.strerror or str(e)

    def verify(self, answer, model):
        """--check: (verdict, line) for the model against every clause read,
        or for the proof file written, checked as `quillon-native check` does."""
        kept = self.kept
        if answer:
            bad = kept.falsified(model)
            if bad is None:
                return (True, f"check: model satisfies all {kept.nclauses} clauses")
            return (False, f"check: MODEL WRONG, clause {bad + 1} is falsified")
        if self.proof_error:
            return (False, f"check: proof NOT VERIFIED: it could not be written ({self.proof_error})")
        from quillon_native_cli.dimacs import _scan
        from quillon_native_cli.proofs import ProofReader
        check = _scan.ProofCheck(True, True)
        check.header(kept.nvars, kept.nclauses)
        check.add_formula(kept)
        check.start()
        try:
            with Signals():
                ProofReader(self.checked, check).read()
        except InputError as e:
            return (False, f"check: proof NOT VERIFIED: {e}")
        res = check.result()
        if res[0]:
            return (True, f"check: proof VERIFIED ({res[1]}; {res[2]} steps)")
        return (False, f"check: proof NOT VERIFIED at step {res[8]}: {res[1]}")

    # -- output ------------------------------------------------------------
    def progress(self):
        st = self.stats
        elapsed = time.monotonic() - self.started
        if not st:
            self.out.comment(f"{elapsed:8.1f} s  searching")
            return
        c = st.get("conflicts", 0)
        rate = c / max(st.get("seconds", 0.0), 1e-9)
        self.out.comment(f"{elapsed:8.1f} s  {c} conflicts ({rate:.0f}/s)  {st.get('restarts', 0)} restarts  "
                         f"{st.get('learned', 0)} learned")

    def prep_lines(self, prep):
        self.out.comment("preprocessing: " + ", ".join(f"{prep[k]} {label}" for k, label in stats.PREPROCESSOR)
                         + f" in {prep['seconds']:.3f} s")

    def stat_lines(self):
        out = self.out
        for k, label in stats.SOLVER:
            if k in self.stats:
                out.comment(f"{label:<17} {self.stats[k]}")
        if getattr(self, "winner", None):
            out.comment(f"winner            {self.winner}")
        if "all_conflicts" in self.stats:
            out.comment(f"{'all conflicts':<17} {self.stats['all_conflicts']}")
        out.comment(f"{'read seconds':<17} {self.load_seconds:.3f}")
        if "seconds" in self.stats:
            out.comment(f"{'search seconds':<17} {self.stats['seconds']:.3f}")
        out.comment(f"{'total seconds':<17} {time.monotonic() - self.started:.3f}")
