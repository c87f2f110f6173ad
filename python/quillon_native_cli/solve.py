"""`quillon-native solve FILE`: solve a DIMACS CNF file.

The formula is read in this process and searched in another one (see
supervise.py) in deterministic slices of `--slice` conflicts, so progress can
be shown and Ctrl-C, SIGTERM and `--seconds` take effect at once while runs
stay reproducible for the same options.  One named configuration searches
in the search program (native.SearchProcess), which gets the clauses as they
are read, so that neither process holds both the interpreter and the
formula; so does auto when its plan is that configuration alone (uniform
random formulas), with the clauses read here first for their features.  The
other runs load the formula here and fork.
"""
import gc
import os
import signal
import time

from quillon_native_cli import common, configs, native, options, stats, supervise, threads
from quillon_native_cli.common import SECONDS, U32, U64, Exit, Interrupted, Range, Signals, UsageError, filename, whole
from quillon_native_cli.dimacs import CnfReader, InputError
from quillon_native_cli.native import NativePortfolioWork, NativeWork
from quillon_native_cli.output import Output
from quillon_native_cli.proofs import ProofWriter, refuse_target

STATS = stats.SOLVER_NAMES
PREP_STATS = stats.PREPROCESSOR_NAMES
DEFAULT_SLICE = 20000
DEFAULT_ROUNDS = 3
PROGRESS_EVERY = 2.0
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
    p.add_argument("--threads", type=whole(Range(1, threads.MAX_THREADS)), metavar="N",
                   help=f"auto on N threads (1 to {threads.MAX_THREADS}), each running measured configurations in "
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
        if not native.available():
            raise UsageError("--threads needs the native runner, which this build lacks")
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
    return Solve(args, out).main()


class Solve:
    def __init__(self, args, out):
        self.args, self.out = args, out
        self.opts = solver_options(args)
        self.auto = uses_auto(args)
        self.want_proof = bool(args.proof) or args.check
        self.solver = self.pre = self.runner = None
        # The native runner streams the proof; --check stays on the module.
        self.native = native.available() and not args.check and not self.auto
        self.auto_native = native.available() and self.auto and not args.check
        self.prep = None  # --preprocess ahead of several solvers (auto, --portfolio), natively
        # One configuration searches in the search program when it is there
        # (no interpreter in the searching process), else in a fork.
        self.program = native.search_program() if self.native and not args.portfolio else None
        # auto reads the formula here first: its plan decides (in read) whether the program searches
        self.auto_program = native.search_program() \
            if self.auto_native and not args.preprocess and (args.threads or 1) == 1 else None
        self.plan = self.feat = None  # auto's, and the features it came from, when made here
        self.proc = None
        # Beyond a century a limit is no limit (and the solver's clock could not take it).
        limit = args.seconds if args.seconds is not None and args.seconds < 3e9 else None
        self.started = time.monotonic()
        self.deadline = self.started + limit if limit is not None else None
        self.formula = None
        self.clauses = None
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
        except Interrupted as e:
            out.comment("interrupted while reading the formula")
            out.line("s UNKNOWN")
            return out.done(e.code)
        if args.proof:
            # Only now, with the whole input read: a run refused before its
            # search leaves every file as it was.
            try:
                self.proof_fh = open(args.proof, "wb")
            except OSError as e:
                if self.proc:
                    self.proc.kill()
                return common.fail(Exit.OUTPUT, f"{args.proof}: {e.strerror or e}")
            if self.runner:
                self.runner.attach_proof(self.proof_fh.fileno())
            elif not self.proc and (self.formula or self.auto_native or self.prep):  # one proof file each
                if self.prep:  # its steps come first in the target
                    self.prep.attach_proof(self.proof_fh.fileno())
                try:
                    self.proof_files = native.ProofFiles(args.proof, args.binary_proof)
                except OSError as e:
                    return common.fail(Exit.OUTPUT, f"{args.proof}: {e}")
                if self.proof_files.note:
                    out.comment(self.proof_files.note)
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
            if self.proc:
                self.proc.kill()
            raise

    def start_search(self, nvars):
        """Starts the search program; False if it cannot start."""
        try:
            self.proc = native.SearchProcess(self.program, nvars, self.opts, self.args, self.deadline)
        except OSError:
            return False
        return True

    def read(self):
        args = self.args
        t0 = time.monotonic()
        sinks = []
        if args.check or args.portfolio and not args.preprocess and not self.native:
            self.clauses = []
            sinks.append(self.clauses.append)
        if self.auto and not args.preprocess:
            if self.auto_native:  # read natively, each member adds them as it starts
                self.flat = native.Formula()
                sinks.append(self.flat.add_clause)
            else:
                from quillon_native_cli import strategy  # only auto pays for its modules
                self.flat = strategy.Clauses()  # each member of the portfolio adds them as it starts
                sinks.append(self.flat.append)

        def on_header(nvars, nclauses, line):
            try:
                if self.program and self.start_search(nvars):
                    reader.native = self.proc.feed
                    sinks.insert(0, self.proc.feed.add_clause)
                elif args.preprocess and (self.auto_native or self.native and args.portfolio):
                    self.prep = native.make_prep(nvars, bool(args.proof), args.binary_proof)
                    reader.native = self.prep
                    sinks.insert(0, self.prep.add_clause)
                elif self.native and args.portfolio:
                    self.formula = native.Formula(nvars)
                    reader.native = self.formula
                    sinks.insert(0, self.formula.add_clause)
                elif self.native:
                    self.runner = native.make_runner(nvars, self.opts, bool(args.proof), args.binary_proof,
                                                     args.preprocess)
                    reader.native = self.runner
                    sinks.insert(0, self.runner.add_clause)
                elif args.preprocess:
                    import quillon_native as qn  # only the runs over the module pay for it
                    self.pre = qn.Preprocessor(nvars, with_proof=self.want_proof)
                    sinks.insert(0, self.pre.add_clause)
                elif not args.portfolio and not self.auto:
                    import quillon_native as qn
                    self.solver = qn.Solver(nvars, **self.opts)
                    if self.want_proof:
                        self.solver.enable_proof()
                    sinks.insert(0, self.solver.add_clause)
            except MemoryError:
                raise InputError(self.name, line, f"{nvars} variables do not fit in memory") from None
            reader.sink = sinks[0] if len(sinks) == 1 else self._sink

        self.sinks = sinks
        reader = CnfReader(args.file, self._sink, on_header, args.relaxed)
        if self.auto_native and not args.preprocess:
            reader.native = self.flat
        if not sinks:  # no clause is kept here: no int objects kept to share among them either
            reader.lits = None
        if self.program:  # the clauses pass through: small blocks keep this process small
            reader.block = STREAM_BLOCK
        reader.read()
        self.nvars, self.nclauses = reader.nvars, reader.nclauses
        if self.auto_program:
            self.plan_here()
        # What was read stays to the end: the collector need never walk it,
        # nor touch its pages in the forked search process.
        gc.freeze()
        self.load_seconds = time.monotonic() - t0
        out = self.out
        out.comment(f"quillon-native {common.version()}")
        out.comment(f"{self.name}: {self.nvars} variables, {self.nclauses} clauses, "
                    f"read in {self.load_seconds:.3f} s")

    def plan_here(self):
        """auto's plan; when it is the default configuration alone, the search
        program takes the formula and searches as `--config default` does."""
        from quillon_native_cli import strategy
        self.feat = strategy.features(self.nvars, self.flat)
        plan = self.plan = strategy.plan(self.feat, self.args.slice)
        if plan.members != strategy.RANDOM.members:
            return
        opts = dict(configs.CONFIGS[plan.members[0]])
        try:
            self.proc = native.SearchProcess(self.auto_program, self.nvars, opts, self.args, self.deadline)
        except (OSError, MemoryError):
            return  # the fork searches, as without the program
        self.proc.feed.add_formula(self.flat)
        self.flat = None

    def _sink(self, clause):
        for add in self.sinks:
            add(clause)

    # -- searching ---------------------------------------------------------
    def search(self):
        args, out = self.args, self.out
        if args.portfolio:
            names = configs.PORTFOLIO_ORDER[:args.portfolio]
            out.comment(f"portfolio of {args.portfolio}: {', '.join(names)}")
        elif self.auto and self.proc:
            out.comment(self.plan.describe())
        elif not self.auto:
            shown = " ".join(f"{k}={v}" for k, v in self.opts.items())
            out.comment(f"configuration {args.config or 'default'}{': ' + shown if shown else ''}")
            out.comment(f"slices of {args.slice} conflicts" if args.slice else "one call, no slices")
        # A native search flushes its proof and ends when asked to stop.
        if self.proc:
            child, grace = self.proc, native.STOP_GRACE
        else:
            work = NativePortfolioWork(self) if self.formula or self.prep and args.portfolio else \
                NativeWork(self) if self.runner else \
                threads.ThreadsWork(self) if (args.threads or 1) > 1 else Work(self)
            if (self.runner or self.prep) and self.proof_fh:
                # steps of the loading: written once, not again by the child's copy
                (self.runner or self.prep).flush()
            child = supervise.Child(work.run)
            grace = native.STOP_GRACE if isinstance(work, (NativeWork, NativePortfolioWork)) or self.auto_native \
                else 0
        self.solver = self.pre = self.runner = self.formula = self.prep = None  # the child has them now
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
        if self.proof_files:
            self.proof_files.remove()
        if self.proof_fh:
            self.finish_proof(proof_done)
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
        if self.proof_error:  # the answer above stands; the proof does not
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
                self.out.comment(f"proof {self.args.proof}: incomplete, {keep} bytes of whole steps kept")
            else:
                self.out.comment(f"proof {self.args.proof}: {done} steps")
            fh.close()
        except OSError as e:
            self.proof_error = e.strerror or str(e)

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


class Work:
    """What the child process does; everything it says goes over `ch`."""

    def __init__(self, s):
        self.s = s
        self.args = s.args
        self.spent = 0  # conflicts of auto's probe, ahead of its plan

    def run(self, ch):
        import quillon_native as qn
        s, args = self.s, self.args
        t0 = time.monotonic()
        if s.auto and not args.preprocess and self.probe(ch, t0):
            return
        nvars = s.nvars
        pre_steps = []
        first = None  # the proof steps of a native preprocessor
        pre = s.pre
        model = None
        winner = None
        if s.prep is not None:  # natively, its proof streamed ahead of the members'
            clauses, first = native.preprocess(ch, s.prep, args.rounds, time.monotonic(), s.proof_fh is not None)
            if clauses is None:
                native.refuted(ch, t0, first)
                return
            ok, nvars = True, clauses.nvars
        elif pre is not None:
            ok = pre.run(args.rounds)
            prep = {k: getattr(pre, k) for k in PREP_STATS}
            prep["seconds"] = time.monotonic() - t0
            ch.send("prep", prep)
            pre_steps = pre.proof_steps()
            clauses = pre.reduced() if ok else None
            nvars = pre.nvars
        else:
            ok, clauses = True, s.clauses
        steps = []
        stats = {}
        if not ok:
            result = False
        elif self.s.auto:
            result, stats, model, steps, winner = self.auto(
                ch, nvars, clauses if pre is not None or s.prep is not None else s.flat, t0)
            if s.auto_native:  # its proof was streamed and is in place
                model = bytes(model) if result else None
                if result and s.prep is not None:
                    model = s.prep.reconstruct(model)
                ch.send("answer", result, stats, model, winner)
                if s.proof_fh:
                    self.streamed_proof(ch, steps, first)
                return
        elif args.portfolio:
            names = configs.PORTFOLIO_ORDER[:args.portfolio]
            res = qn.solve_portfolio(nvars, clauses, [configs.full(n) for n in names], want_proof=s.want_proof)
            w, _, sat, model, conflicts, decisions, propagations, restarts, steps = res
            result = sat
            winner = names[w]
            stats = dict(conflicts=conflicts, decisions=decisions, propagations=propagations, restarts=restarts)
        else:
            solver = s.solver
            if pre is not None:
                solver = qn.Solver(nvars, **s.opts)
                if s.want_proof:
                    solver.enable_proof()
                for c in clauses:
                    solver.add_clause(c)
            result = self.slices(ch, solver, t0)
            stats = self.stats_of(solver, t0)
            model = solver.model
            steps = solver.proof_steps()
            del solver
        stats["seconds"] = time.monotonic() - t0
        if result is True and pre is not None:
            model = pre.reconstruct(model)
        ch.send("answer", result, stats, bytes(model) if result else None, winner)
        if s.proof_fh or args.check:
            steps = pre_steps + steps
        if s.proof_fh:
            self.write_proof(ch, steps)
        if args.check and result is not None:
            ch.send("check", self.check(result, model, steps))

    def probe(self, ch, t0):
        """auto's probe of a large structured formula: True when the run ended
        there, False when it goes on (preprocessed, if the probe ran)."""
        from quillon_native_cli import strategy
        s = self.s
        s.feat = s.feat or strategy.features(s.nvars, s.flat)
        if not strategy.probes(s.feat):
            return False
        from quillon_native_cli.probe import Probe
        return Probe(self).run(ch, t0, s.feat)

    def auto(self, ch, nvars, clauses, t0):
        """The auto strategy: (answer, stats, model, proof steps, winner's name)."""
        args, s = self.args, self.s
        from quillon_native_cli import strategy
        from quillon_native_cli.driver import Formula, ProofDest
        plan = s.plan or strategy.plan(s.feat or strategy.features(nvars, clauses), args.slice)
        ch.send("plan", plan.describe())
        deadline = s.deadline
        remaining = None if deadline is None else (lambda: max(0.0, deadline - time.monotonic()))

        def progress(run, member):
            st = {k: sum(d.stats()[k] for d in run.drivers if d is not None) for k in STATS}
            st["seconds"] = time.monotonic() - t0
            ch.send("progress", st)
            if s.auto_native and native.stop_requested():
                raise native.Stopped()

        if s.auto_native:  # native drivers, each streaming its proof to a file of its own
            native.stop_on_signals()
            files = s.proof_files

            def open_member(nvars, options, dest, name):
                index = plan.members.index(name)
                return native.open_native_driver(nvars, options, files.dest(index) if files else None, name)

            run = strategy.Portfolio(Formula(nvars, clauses), plan, None, open=open_member)
        else:
            dest = ProofDest(None, args.binary_proof) if s.want_proof else None
            run = strategy.Portfolio(Formula(nvars, clauses), plan, dest)
        try:
            out = run.run(None if args.max_conflicts is None else args.max_conflicts - self.spent, remaining,
                          progress)
        except native.Stopped:
            out = run.outcome(None, None)
        winner = out.winner
        st = dict(out.stats, seconds=time.monotonic() - t0)
        if len(plan.members) > 1:
            st["all_conflicts"] = out.conflicts + self.spent  # every member's: what --max-conflicts counts
        if s.auto_native:
            # The winner's proof, or without one the busiest member's, becomes the proof.
            kept = winner or max((d for d in run.drivers if d is not None), key=lambda d: d.conflicts())
            try:
                written = kept.finish_proof()
            except OSError as e:
                written = e
            steps = (kept.name if len(plan.members) > 1 else None, run.drivers.index(kept), written)
            run.finish(None)
        else:
            steps = winner.proof_steps() if winner is not None and s.want_proof else []
            run.finish(None)
        return out.answer, st, out.model, steps, winner.name if winner is not None and len(plan.members) > 1 \
            else None

    def streamed_proof(self, ch, kept, first):
        """Reports the proof that native drivers streamed and copies the kept
        one into place, after the `first` steps of the preprocessor if any:
        kept is (member's name or None, its index, steps)."""
        name, index, steps = kept
        if name:
            ch.send("comment", f"proof of {name}")
        native.send_kept(ch, self.s.proof_files, index, self.s.proof_fh, native.after(first, steps))

    def write_proof(self, ch, steps):
        """Writes the proof; a failure ("proof-failed", at the end or, from a
        proof written during the search, at any time) costs the proof only."""
        writer = ProofWriter(self.s.proof_fh, self.args.binary_proof)
        try:
            writer.write(steps)
            self.s.proof_fh.flush()
        except OSError as e:
            ch.send("proof-failed", e.strerror or str(e))
        else:
            ch.send("proof", writer.steps)

    def slices(self, ch, solver, t0):
        return supervise.in_slices(self.args.slice, self.args.max_conflicts, self.s.deadline, solver.solve,
                                   lambda: solver.conflicts, lambda: ch.send("progress", self.stats_of(solver, t0)))

    @staticmethod
    def stats_of(solver, t0):
        st = {k: getattr(solver, k) for k in STATS}
        st["seconds"] = time.monotonic() - t0
        return st

    def check(self, result, model, steps):
        import quillon_native as qn
        clauses = self.s.clauses
        if result is True:
            for i, c in enumerate(clauses):
                if not any(model[l >> 1] ^ (l & 1) for l in c):
                    return (False, f"check: MODEL WRONG, clause {i + 1} is falsified")
            return (True, f"check: model satisfies all {len(clauses)} clauses")
        top = max((abs(d) for _, lits in steps for d in lits), default=0)
        n = max(top, self.s.nvars)
        lut = [-1] + [2 * d - 2 for d in range(1, n + 1)] + [2 * d - 1 for d in range(n, 0, -1)]
        get = lut.__getitem__
        internal = [(k is True or k == "d", list(map(get, lits))) for k, lits in steps]
        res = qn.check_proof(self.s.nvars, clauses, internal)
        if res[0]:
            return (True, f"check: proof VERIFIED ({res[1]}; {res[2]} steps)")
        return (False, f"check: proof NOT VERIFIED at step {res[8]}: {res[1]}")
