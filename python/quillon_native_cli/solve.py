"""`quillon-native solve FILE`: solve a DIMACS CNF file.

The formula is read here, with the readers' checks and messages, and
searched in the search program (native.SearchProcess), which gets the
clauses as they are read and runs the plan the options ask for: one
configuration in slices, auto's plan chosen from the formula, or the races
of `--threads` and `--portfolio`.  It reports as it goes (watch.py), so
progress is shown and Ctrl-C, SIGTERM and `--seconds` take effect at once.
"""
import gc
import os
import signal
import time

from quillon_native_cli import common, native, verify
from quillon_native_cli.common import Exit, Interrupted, Signals, TimeLimit, UsageError
from quillon_native_cli.dimacs import CnfReader, InputError
from quillon_native_cli.output import Output
from quillon_native_cli.proofs import refuse_target
from quillon_native_cli.solve_options import (DEFAULT_ROUNDS, DEFAULT_SLICE, MAX_THREADS, check_usage, configs,
                                              solver_options, uses_auto, add_parser as _add_parser)
from quillon_native_cli.watch import TIME_GRACE, Watch, stat_lines

__all__ = ["MAX_THREADS", "add_parser", "run"]
STREAM_BLOCK = 1 << 14  # bytes read at a time when the clauses go to the search program


def add_parser(subparsers):
    return _add_parser(subparsers, run)


def run(args):
    out = Output(args.quiet)
    try:
        check_usage(args)
    except UsageError as e:
        return common.fail(Exit.USAGE, f"quillon-native solve: {e}")
    args.slice, args.rounds = (DEFAULT_SLICE if args.slice is None else args.slice,
                               DEFAULT_ROUNDS if args.rounds is None else args.rounds)
    refused = args.proof and refuse_target(args.proof, [args.file], args.force)
    if refused:
        return common.fail(*refused)
    if not native.available():
        return common.fail(Exit.FAILED, "quillon-native solve: the search needs the native module "
                           "quillon_native_cli._scan, which this build lacks")
    return Solve(args, out).main()


class ProgramFailed(Exception):
    """The search program could not start."""


class NoProofFolder(OSError):
    """No folder for the members' proofs."""


class Solve:
    def __init__(self, args, out):
        self.args, self.out = args, out
        self.opts = solver_options(args)
        self.auto = uses_auto(args)
        # a plan of the program's (auto, --threads, --portfolio) rather than one configuration
        self.planned = self.auto or bool(args.portfolio)
        self.want_proof = bool(args.proof) or args.check  # --check reads back the proof written
        self.kept = native.Formula() if args.check else None  # the formula, for the checks after the search
        self.checked = args.proof  # the proof file written (without --proof, one of --check's own)
        self.proc = self.proof_fh = self.proof_files = None
        # Beyond a century a limit is no limit (and the solver's clock could not take it).
        limit = args.seconds if args.seconds is not None and args.seconds < native.NO_LIMIT_SECONDS else None
        self.started = time.monotonic()
        self.deadline = self.started + limit if limit is not None else None

    @property
    def name(self):
        return "<stdin>" if self.args.file == "-" else self.args.file

    def main(self):
        try:
            # Loading stops at the time limit too, with the search's slack.
            with Signals(deadline=None if self.deadline is None else self.deadline + TIME_GRACE):
                self.read()
        except BaseException as e:  # a bad input, a signal: the search process goes too
            self.drop_program()
            code = self.refused(e)
            if code is None:
                raise
            return code
        if self.want_proof:
            # Only now, with the whole input read: a run refused before its
            # search leaves every file as it was.
            if not self.args.proof:
                try:
                    self.checked = os.path.join(self.member_files().folder, "checked.drat")
                except NoProofFolder as e:
                    self.drop_program()
                    return common.fail(Exit.OUTPUT, f"quillon-native solve: {e}")
            elif self.proof_files is not None and self.proof_files.note:
                self.out.comment(self.proof_files.note)
            try:
                self.proof_fh = open(self.checked, "wb")
            except OSError as e:
                self.drop_program()
                return common.fail(Exit.OUTPUT, f"{self.args.proof}: {e.strerror or e}")
        self.proc.finish(self.proof_fh)
        self.headline()
        got = Watch(self.proc, self.out, self.deadline, self.started, self.args.verbose).run()
        return self.finish(got)

    def refused(self, e):
        """The exit code of a run that ended while reading, or None."""
        if isinstance(e, (TimeLimit, Interrupted)):
            timed = isinstance(e, TimeLimit)
            self.out.comment(f"{'time limit reached' if timed else 'interrupted'} while reading the formula")
            self.out.line("s UNKNOWN")
            return self.out.done(Exit.UNKNOWN if timed else e.code)
        if isinstance(e, NoProofFolder):
            return common.fail(Exit.OUTPUT, f"{self.args.proof}: {e}")
        if isinstance(e, InputError):
            return common.fail(Exit.INPUT, str(e))
        if isinstance(e, MemoryError):
            return common.fail(Exit.FAILED, f"{self.name}: out of memory while loading the formula")
        if isinstance(e, ProgramFailed):
            return common.fail(Exit.FAILED, f"{self.name}: {e}")
        return None

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
            try:
                self.proof_files = native.ProofFiles(target, self.args.binary_proof)
            except OSError as e:
                raise NoProofFolder(e.strerror or str(e)) from None
        return self.proof_files

    def start(self, nvars, line):
        """Starts the search program at the formula's header."""
        program = native.search_program()
        if not program:
            raise ProgramFailed("the search program is not built")
        files = self.member_files() if self.planned and self.want_proof else None  # a proof file per member
        try:
            self.proc = native.SearchProcess(program, nvars, self.opts, self.args, self.deadline, self.planned,
                                             files, self.want_proof)
        except OSError as e:
            raise ProgramFailed(f"the search program cannot start: {e.strerror or e}") from None
        except MemoryError:
            raise InputError(self.name, line, f"{nvars} variables do not fit in memory") from None

    def read(self):
        t0 = time.monotonic()
        kept = self.kept

        def on_header(nvars, nclauses, line):
            refused = native.memory_refusal(nvars)
            if refused:
                raise InputError(self.name, line, refused)
            self.start(nvars, line)
            if kept is None:  # the clauses go to the program as they are read
                reader.native, reader.sink = self.proc.feed, self.proc.feed.add_clause

        sink = kept.add_clause if kept is not None else None  # else set at the header
        reader = CnfReader(self.args.file, sink, on_header, self.args.relaxed)
        reader.native = kept
        if kept is None:  # no clause is kept here: no int objects kept to share among them either
            reader.lits = None
        reader.block = STREAM_BLOCK  # the clauses pass through: small blocks keep this process small
        reader.read()
        if kept is not None:  # kept whole here, handed over at the end
            kept.nvars = reader.nvars
            self.proc.feed.add_formula(kept)
        gc.freeze()  # what was read stays to the end: the collector need never walk it
        self.load_seconds = time.monotonic() - t0
        self.out.comment(f"quillon-native {common.version()}")
        self.out.comment(f"{self.name}: {reader.nvars} variables, {reader.nclauses} clauses, "
                         f"read in {self.load_seconds:.3f} s")

    def headline(self):
        args, out = self.args, self.out
        if args.portfolio:
            out.comment(f"portfolio of {args.portfolio}: {', '.join(configs.PORTFOLIO_ORDER[:args.portfolio])}")
        elif not self.auto:
            shown = " ".join(f"{k}={v}" for k, v in self.opts.items())
            out.comment(f"configuration {args.config or 'default'}{': ' + shown if shown else ''}")
            out.comment(f"slices of {args.slice} conflicts" if args.slice else "one call, no slices")

    def finish(self, got):
        """The lines after the search, the answer and the exit code."""
        args, out = self.args, self.out
        if got.error:
            return common.fail(Exit.FAILED, f"{self.name}: {got.error}")
        if not got.answered and not (got.caught or got.timed_out):
            st = self.proc.status
            how = f"signal {os.WTERMSIG(st)}" if os.WIFSIGNALED(st) else f"status {os.WEXITSTATUS(st)}"
            return common.fail(Exit.FAILED, f"{self.name}: the search process ended unexpectedly ({how})")
        proof_error = verify.close_proof(self.proof_fh, got, self.args, self.out.comment) if self.proof_fh \
            else got.proof_error
        caught, check = self.check(got, proof_error)
        if self.proof_files:
            self.proof_files.remove()
        if caught:
            out.comment(f"interrupted by {signal.Signals(caught).name}")
        elif got.timed_out or got.answered and got.answer is None and self.deadline is not None \
                and time.monotonic() >= self.deadline:
            out.comment("time limit reached")
        stat_lines(out, got.stats, got.winner, self.load_seconds, self.started, args.max_conflicts)
        if check is not None:
            out.comment(check[1])
            if not check[0]:
                out.line("s UNKNOWN")
                return out.done(Exit.FAILED)
        elif args.check and got.answer is not None:
            out.comment("check interrupted")
        return self.answer(got, caught, proof_error)

    def check(self, got, proof_error):
        """(the stop signal caught, --check's verdict and line or None)."""
        if not self.args.check or got.answer is None or got.caught:
            return got.caught, None
        if got.answer:
            return 0, verify.check_model(self.kept, got.model)
        if proof_error:
            return 0, (False, f"check: proof NOT VERIFIED: it could not be written ({proof_error})")
        try:
            return 0, verify.check_proof(self.kept, self.checked)
        except Interrupted as e:
            return e.signum, None

    def answer(self, got, caught, proof_error):
        out, code = self.out, 128 + caught if caught else Exit.UNKNOWN
        if got.answer is True:
            out.line("s SATISFIABLE")
            out.model(got.model)
            code = code if caught else Exit.SAT
        elif got.answer is False:
            out.line("s UNSATISFIABLE")
            code = code if caught else Exit.UNSAT
        else:
            out.line("s UNKNOWN")
        if proof_error and self.args.proof:  # the answer above stands; the proof does not
            code = common.fail(Exit.OUTPUT, f"{self.args.proof}: {proof_error}; the proof is incomplete")
        return out.done(code)
