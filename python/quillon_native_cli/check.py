"""`quillon-native check CNF PROOF`: verify a DRAT proof on files.

The proof may be text or binary DRAT (recognised from its first bytes, as
drat-trim does), from this package or from another solver.  With the native
module (`_scan.ProofCheck`) the readers hand it their blocks of bytes: the
formula's clauses are stored as read, and each proof step is checked as soon
as it is read, with no Python object per clause or step and no step kept.
Without it the steps are read into lists for `quillon_native.check_proof`.
Either runs on a worker thread with the interpreter lock released, so
Ctrl-C is answered at once; the reader then stops at its next block (the
module's checker, one call, runs to its end), and the command ends after it.
"""
import gc
import signal
import time

from quillon_native_cli.common import Exit, Formatter, Interrupted, Signals, exit_codes_help, fail, filename
from quillon_native_cli.dimacs import CnfReader, InputError, _scan
from quillon_native_cli.output import Output
from quillon_native_cli.proofs import ProofReader


def add_parser(subparsers):
    p = subparsers.add_parser(
        "check", help="verify a DRAT proof of unsatisfiability",
        description="Verify a DRAT proof (text or binary, detected automatically) against a DIMACS CNF file, "
        "forward, with RUP and RAT steps.", epilog=exit_codes_help,
        formatter_class=Formatter)
    p.add_argument("cnf", type=filename, metavar="CNF", help="DIMACS CNF file (plain, .gz, .xz, .bz2 or -)")
    p.add_argument("proof", type=filename, metavar="PROOF", help="DRAT proof file (text or binary, possibly compressed)")
    p.add_argument("-q", "--quiet", action="store_true", help="print only the s line")
    p.add_argument("--relaxed", action="store_true", help="read the CNF file leniently (as solve --relaxed)")
    p.add_argument("--no-rat", action="store_true", help="accept RUP steps only")
    p.add_argument("--ignore-deletions", action="store_true", help="do not apply deletion steps")
    p.set_defaults(run=run)
    return p


def run(args):
    if args.cnf == "-" and args.proof == "-":
        return fail(Exit.USAGE, "quillon-native check: CNF and PROOF are both -: standard input can hold only one "
                    "of them")
    out = Output(args.quiet)
    try:
        with Signals() as signals:
            return out.done(Check(args, out, signals).main())
    except Interrupted as e:
        out.comment(f"interrupted by {signal.Signals(e.signum).name}")
        return out.done(e.code)


def outlive(done):
    """Waits for the event `done`, whatever signals come meanwhile."""
    while not done.is_set():
        try:
            done.wait(0.25)
        except KeyboardInterrupt:
            pass


class Check:
    def __init__(self, args, out, signals):
        self.args, self.out, self.signals = args, out, signals

    def main(self):
        args = self.args
        native = _scan.ProofCheck(not args.no_rat, not args.ignore_deletions) if hasattr(_scan, "ProofCheck") else None
        t0 = time.monotonic()
        try:
            cnf, proof, clauses = self.read(native)
        except InputError as e:
            return fail(Exit.INPUT, str(e))
        except MemoryError:
            return fail(Exit.FAILED, "out of memory while reading the inputs")
        t2 = time.monotonic()
        res = self.verify(native, cnf, proof, clauses)
        if isinstance(res, InputError):
            return fail(Exit.INPUT, str(res))
        if isinstance(res, MemoryError):
            return fail(Exit.FAILED, "out of memory while checking")
        if isinstance(res, BaseException):
            return fail(Exit.FAILED, f"{type(res).__name__}: {res}")
        return self.report(native, cnf, proof, res, (t0, self.t1, t2, time.monotonic()))

    def read(self, native):
        """Reads the formula, then opens the proof (read whole here only
        without the native checker, which reads it while it checks)."""
        args, clauses = self.args, []
        if native is None:
            cnf = CnfReader(args.cnf, clauses.append, relaxed=args.relaxed).read()
        else:
            cnf = CnfReader(args.cnf, native.add_clause, lambda nv, nc, line: native.header(nv, nc), args.relaxed)
            cnf.native, cnf.lits = native, None
            cnf.read()
            native.start()
        self.t1 = time.monotonic()
        proof = ProofReader(args.proof, native)
        if native is None:
            proof.read()
        return cnf, proof, clauses

    def verify(self, native, cnf, proof, clauses):
        """Checks on a worker thread; returns its result or its exception."""
        args = self.args
        # The inputs stay to the end: the collector need never walk them.
        gc.freeze()
        import threading
        result = []

        def work():
            try:
                if native is not None:
                    proof.read()
                    result.append(native.result())
                else:
                    import quillon_native as qn  # only the module's checker needs the module
                    result.append(qn.check_proof(cnf.nvars, clauses, proof.steps, not args.no_rat,
                                                 not args.ignore_deletions))
            except BaseException as e:  # handed to the main thread
                result.append(e)
            finally:
                done.set()

        # Its own flag tells when the work is over: a join that an interrupt
        # cuts short may leave the thread marked as ended though it runs on.
        # A signal while the thread starts is only noted, and raised below
        # where the reader is stopped: raised at once, it would leave the
        # reader running past the command's end.
        done = threading.Event()
        self.signals.raising = False
        threading.Thread(target=work, daemon=True).start()
        try:
            self.signals.raising = True
            if self.signals.caught is not None:
                raise Interrupted(self.signals.caught)
            while not done.wait(0.25):
                pass
        except BaseException:
            # An interrupt: the reader ends at its next block, before the
            # interpreter does (a thread that retakes the interpreter lock
            # as the interpreter ends is torn down inside the native check).
            proof.stop()
            outlive(done)
            raise
        return result[0]

    def report(self, native, cnf, proof, res, times):
        out = self.out
        ok, message, nsteps, rup, rat, applied, skipped, resolvents, failing, empty = res
        t0, t1, t2, t3 = times
        steps = proof.steps
        out.comment(f"{cnf.name}: {cnf.nvars} variables, {cnf.nclauses} clauses, read in {t1 - t0:.3f} s")
        out.comment(f"{proof.name}: {len(steps)} steps ({'binary' if proof.binary else 'text'}), "
                    + (f"read in {t2 - t1:.3f} s" if native is None else "read while checked"))
        out.comment(message)
        for name, value in (("steps checked", nsteps), ("RUP additions", rup), ("RAT additions", rat),
                            ("RAT resolvents", resolvents), ("deletions applied", applied),
                            ("deletions skipped", skipped)):
            out.comment(f"{name:<20} {value}")
        out.comment(f"{'check seconds':<20} {t3 - t2:.3f}")
        if ok:
            out.line("s VERIFIED")
            return Exit.VERIFIED
        if failing > 0:
            lits = steps[failing - 1][1] if native is None else native.failing
            text = " ".join(str((l >> 1) + 1 if not l & 1 else -((l >> 1) + 1)) for l in lits)
            out.line(f"c failing step {failing}: {text + ' ' if text else ''}0")
        out.line("s NOT VERIFIED")
        return Exit.NOT_VERIFIED
