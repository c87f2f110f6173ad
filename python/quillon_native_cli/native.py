"""The native runner of the command line (`_scan.Runner`): the formula read
into the cores with no Python object per clause, searched in the same
conflict slices as over the module, and the proof streamed to its file as it
grows (whole steps, flushed at every slice end), so that an interrupted run
keeps every step derived so far.

`SearchProcess` runs the same search in the search program (quillon-search,
search_main.cpp), a process without the interpreter; `NativeWork` is what a
forked search process runs when the program is not there.  `NativeDriver`
and `open_native_driver` offer the solver-driving protocol of driver.py.
"""
import errno
import os
import signal
import sys
import time

from quillon_native_cli import supervise
from quillon_native_cli.dimacs import _scan

# Seconds a stopped search process gets to flush its proof and report
# before it is killed (it stops at its next conflict).
STOP_GRACE = 1.0


Formula = _scan.Formula if _scan is not None and hasattr(_scan, "Formula") else None


def available():
    return _scan is not None and hasattr(_scan, "Runner")


class Stopped(Exception):
    """A stop signal arrived: the search ends where it is."""


def stop_on_signals():
    """From now on SIGINT and SIGTERM ask the native searches to stop."""
    _scan.stop_on_signals()


def stop_requested():
    return _scan.stop_requested()


def request_stop():
    """Stops every native search of this process at its next conflict."""
    _scan.request_stop()


def make_runner(nvars, options, proof=False, binary=False, preprocess=False):
    """A runner for `nvars` variables; `options` are Solver keyword options,
    checked (with the module's messages) by making a Solver of them.  With
    `proof`, steps wait in memory until attach_proof(fd) names the file."""
    import quillon_native as qn
    qn.Solver(0, **options)
    return _scan.Runner(nvars, options, proof, binary, preprocess)


def make_prep(nvars, proof=False, binary=False):
    """The preprocessor of `--preprocess` ahead of several solvers (auto,
    --portfolio); with `proof`, steps wait in memory until attach_proof(fd)."""
    return _scan.Prep(nvars, proof, binary)


def preprocess(ch, prep, rounds, t0, proof):
    """Runs `prep` in the search process, its proof streamed to the target
    ahead of the solvers' (and its descriptor closed), and sends "prep".
    Returns the reduced Formula (None when refuted) and the steps written
    (None without a proof, or the OSError that writing them met)."""
    _scan.stop_on_signals()
    ok = prep.run(rounds)
    st = prep.stats()
    st["seconds"] = time.monotonic() - t0
    ch.send("prep", st)
    steps = None
    if proof:
        try:
            steps = prep.finish_proof()
        except OSError as e:
            steps = e
    return (prep.reduced() if ok else None), steps


def after(first, steps):
    """The steps of a proof made of `first` steps (None: none), then `steps`;
    either may be the OSError that writing it met."""
    if first is None or isinstance(steps, OSError):
        return steps
    return first if isinstance(first, OSError) else first + steps


def refuted(ch, t0, proof_steps):
    """Reports a formula that the preprocessor refuted: its proof (if any)
    is in place, ending on the empty clause."""
    ch.send("answer", False, {"seconds": time.monotonic() - t0}, None, None)
    if isinstance(proof_steps, OSError):
        ch.send("proof-failed", proof_steps.strerror or str(proof_steps))
    elif proof_steps is not None:
        ch.send("proof", proof_steps)


SEARCH_PROGRAM = "quillon-search"


def search_program():
    """The search program's path (installed beside _scan), or None."""
    import quillon_native_cli
    for folder in quillon_native_cli.__path__:
        path = os.path.join(folder, SEARCH_PROGRAM)
        if os.access(path, os.X_OK):
            return path
    return None


def _option(value):
    """An option value as the search program reads it."""
    return str(int(value)) if isinstance(value, bool) else repr(value) if isinstance(value, float) else str(value)


def _counters(text):
    return {k: float(v) if k == "seconds" else int(v) for k, v in (ln.split("=") for ln in text.decode().split())}


class SearchProcess(supervise.Process):
    """The search program, started for a formula of `nvars` variables with
    solve's options `args`, Solver `options` and monotonic `deadline`:
    `feed` (a _scan.ClauseFeed) takes the clauses as they are read, and
    finish(proof_fh) starts the search.  Its messages (search_wire.hpp) come
    out of poll() as the tuples NativeWork sends."""

    def __init__(self, program, nvars, options, args, deadline):
        argv = [program, str(nvars), f"--slice={args.slice}"]
        if args.proof:
            argv.append(f"--proof={'binary' if args.binary_proof else 'text'}")
        if args.preprocess:
            argv.append(f"--preprocess={args.rounds}")
        if args.max_conflicts is not None:
            argv.append(f"--max-conflicts={args.max_conflicts}")
        if deadline is not None:
            argv.append(f"--deadline={deadline!r}")
        argv += [f"{k}={_option(v)}" for k, v in options.items()]
        ours, theirs = _scan.socketpair()
        rfd, wfd = os.pipe()
        try:
            pid = os.posix_spawn(program, argv, os.environ, setsigdef=(signal.SIGPIPE,), setsigmask=(),
                                 file_actions=[(os.POSIX_SPAWN_DUP2, theirs, 0), (os.POSIX_SPAWN_DUP2, wfd, 1)])
        except BaseException:
            os.close(ours)
            os.close(rfd)
            raise
        finally:
            os.close(theirs)
            os.close(wfd)
        super().__init__(pid, rfd)
        self.feed = _scan.ClauseFeed(ours)
        try:
            self.ready()
        except BaseException:
            self.kill()
            raise

    def ready(self):
        """Waits until the program has made its runner: MemoryError when the
        variables do not fit in memory, OSError when it failed otherwise."""
        msgs = []
        while not msgs:
            msgs = self.poll(1.0, None)
            if msgs is None:
                raise OSError("the search program ended at its start")
        if msgs[0] == ("error", "out of memory"):
            raise MemoryError
        if msgs[0] != ("ready",):
            raise OSError(f"the search program failed at its start: {msgs[0]}")

    def finish(self, proof_fh):
        """Ends the formula, handing over the proof file if any."""
        self.feed.finish(proof_fh.fileno() if proof_fh else -1)

    def kill(self):
        self.feed.close()
        super().kill()

    def take(self):
        out, buf = [], self.buf
        while len(buf) >= 5:
            (n,) = supervise._LEN.unpack_from(buf, 1)
            if len(buf) < 5 + n:
                break
            kind, payload = buf[0], bytes(buf[5:5 + n])
            del buf[:5 + n]
            out.append(self.message(kind, payload))
        return out

    @staticmethod
    def message(kind, payload):
        if kind == ord("O"):
            return ("ready",)
        if kind == ord("P"):
            return ("progress", _counters(payload))
        if kind == ord("R"):
            return ("prep", _counters(payload))
        if kind == ord("A"):
            (n,) = supervise._LEN.unpack_from(payload, 2)
            answer = (None, True, False)[payload[0]]
            return ("answer", answer, _counters(payload[6:6 + n]), payload[6 + n:] if payload[1] else None, None)
        if kind == ord("F"):
            return ("proof", int.from_bytes(payload, sys.byteorder))
        if kind == ord("E"):
            return ("proof-failed", os.strerror(int.from_bytes(payload, sys.byteorder)))
        return ("error", payload.decode(errors="replace"))


class NativeWork:
    """What `solve`'s search process does with a runner; everything it says
    goes over `ch`, as with solve.Work."""

    def __init__(self, s):
        self.s = s
        self.args = s.args

    def run(self, ch):
        _scan.stop_on_signals()
        s, args = self.s, self.args
        runner = s.runner
        t0 = time.monotonic()
        ok = True
        if args.preprocess:
            ok = runner.preprocess(args.rounds)
            prep = runner.prep_stats()
            prep["seconds"] = time.monotonic() - t0
            ch.send("prep", prep)
        result = self.slices(ch, runner, t0) if ok else False
        stats = runner.stats()
        stats["seconds"] = time.monotonic() - t0
        model = runner.model() if result else None
        ch.send("answer", result, stats, model, None)
        if s.proof_fh:
            try:
                ch.send("proof", runner.finish_proof())
            except OSError as e:
                ch.send("proof-failed", e.strerror or str(e))

    def slices(self, ch, runner, t0):
        def report():
            st = runner.stats()
            st["seconds"] = time.monotonic() - t0
            ch.send("progress", st)

        return supervise.in_slices(self.args.slice, self.args.max_conflicts, self.s.deadline, runner.solve,
                                   runner.conflicts, report, runner.stopped)


class ProofFiles:
    """The proof files of several solvers searching one formula, of which one
    becomes the proof: each streams to a file in a folder of their own
    (proofs.MemberFolder); keep(i, fh) copies solver i's into the target,
    opened and still empty."""

    def __init__(self, target, binary):
        from quillon_native_cli.proofs import MemberFolder
        self.binary = binary
        self.files = MemberFolder(target)
        self.note = self.files.note

    def dest(self, i):
        from quillon_native_cli.driver import ProofDest
        return ProofDest(self.files.path(i), self.binary)

    def keep(self, i, fh):
        fh.flush()
        out = fh.fileno()
        with open(self.dest(i).path, "rb") as src:
            size = os.fstat(src.fileno()).st_size
            offset = 0
            try:
                while offset < size:
                    sent = os.sendfile(out, src.fileno(), offset, size - offset)
                    if sent == 0:
                        break
                    offset += sent
            except OSError as e:
                if offset or e.errno not in (errno.EINVAL, errno.ENOSYS):
                    raise
                import shutil
                shutil.copyfileobj(src, fh, 1 << 20)
                fh.flush()

    def remove(self):
        self.files.remove()


class NativePortfolioWork:
    """`solve --portfolio N` in the search process: the named configurations
    raced on threads over the natively read formula, each streaming its proof
    to a file of its own (the first one to the target, the others to files
    beside it); the winner's becomes the proof, or the first one's when the
    run was stopped, named in a comment line."""

    def __init__(self, s):
        self.s = s
        self.args = s.args

    def run(self, ch):
        from quillon_native_cli import configs
        _scan.stop_on_signals()
        s, args = self.s, self.args
        t0 = time.monotonic()
        names = configs.PORTFOLIO_ORDER[:args.portfolio]
        formula, first = s.formula, None
        if s.prep is not None:
            formula, first = preprocess(ch, s.prep, args.rounds, t0, s.proof_fh is not None)
            if formula is None:
                refuted(ch, t0, first)
                return
        files = [open(s.proof_files.dest(i).path, "wb") for i in range(len(names))] if s.proof_fh else []
        try:
            fds = [fh.fileno() for fh in files] if files else None
            w, answer, model, stats, steps = _scan.run_portfolio(formula, [configs.full(n) for n in names], fds,
                                                                 args.binary_proof)
        finally:
            for fh in files:
                fh.close()
        stats["seconds"] = time.monotonic() - t0
        if answer and s.prep is not None:
            model = s.prep.reconstruct(model)
        ch.send("answer", answer, stats, model, names[w] if answer is not None else None)
        if s.proof_fh:
            keep = w if answer is not None else 0
            ch.send("comment", f"proof of {names[keep]}")
            send_kept(ch, s.proof_files, keep, s.proof_fh, after(first, steps[keep] if steps[keep] >= 0 else OSError(
                -steps[keep], os.strerror(-steps[keep]))))


def send_kept(ch, files, i, fh, steps):
    """Copies solver i's proof into the target `fh` and reports it ("proof"
    with its steps, or "proof-failed"); `steps` may be the OSError that
    writing it met."""
    try:
        if isinstance(steps, OSError):
            raise steps
        files.keep(i, fh)
    except OSError as e:
        ch.send("proof-failed", e.strerror or str(e))
    else:
        ch.send("proof", steps)


class NativeDriver:
    """`Driver` (driver.py) over a native runner: the proof goes to its file
    step by step and is flushed at the end of every run."""

    def __init__(self, nvars, options, proof, name=""):
        self.name = name
        self.proof = proof
        self.fh = None
        if proof is not None:
            self.fh = sys.stdout.buffer if proof.path == "-" else open(proof.path, "wb")
            if proof.path == "-":
                sys.stdout.flush()
        try:
            self.runner = make_runner(nvars, options, proof is not None, proof.binary if proof else False)
            if self.fh is not None:
                self.runner.attach_proof(self.fh.fileno())
        finally:
            if self.fh is not None and self.fh is not sys.stdout.buffer:
                self.fh.close()  # the runner keeps a descriptor of its own
            self.fh = None
        self.answer = None
        self.steps = None

    def add_formula(self, formula):
        if isinstance(formula, _scan.Formula):
            self.runner.add_formula(formula)
            return
        clauses = formula.clauses
        if isinstance(clauses, _scan.Formula):
            self.runner.add_formula(clauses)
            return
        if hasattr(clauses, "lits") and hasattr(clauses, "ends"):  # kept flat (strategy.Clauses)
            self.runner.add_flat(clauses.lits, clauses.ends)
            return
        add = self.runner.add_clause
        for clause in formula.clauses:
            add(clause)

    def run(self, conflicts, seconds=None):
        if self.answer is None:
            self.answer = self.runner.solve(conflicts, seconds)
        return self.answer

    def conflicts(self):
        return self.runner.conflicts()

    def model(self):
        if self.answer is not True:
            return None
        return [b == 1 for b in self.runner.model()]

    def stats(self):
        return self.runner.stats()

    def finish_proof(self):
        if self.proof is None:
            return None
        if self.steps is None:
            self.steps = self.runner.finish_proof()
        return self.steps

    def close(self):
        if self.runner is not None and self.proof is not None:
            self.finish_proof()
        self.runner = None


def open_native_driver(nvars, options, proof, name=""):
    """A `Driver` over the native runner (same arguments as driver.open_driver)."""
    return NativeDriver(nvars, options, proof, name)


def read_formula(path, relaxed=False):
    """A `_scan.Formula` of a DIMACS file, read with the CNF reader's checks
    and messages; `nvars` and `nclauses` as the reader counted them."""
    from quillon_native_cli.dimacs import CnfReader
    formula = _scan.Formula()
    reader = CnfReader(path, formula.add_clause, relaxed=relaxed)
    reader.native = formula
    reader.lits = None
    reader.read()
    formula.nvars = reader.nvars
    return formula
