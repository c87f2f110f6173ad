"""The native runner of the command line (`_scan.Runner`): the formula read
into the cores with no Python object per clause, searched in the same
conflict slices as over the module, and the proof streamed to its file as it
grows (whole steps, flushed at every slice end), so that an interrupted run
keeps every step derived so far.

`SearchProcess` runs the same search in the search program (quillon-search,
search_main.cpp), a process without the interpreter; `search_argv` gives its
arguments, which solve_formula hands to _scan.run_plan to run that search in
this process.
"""
import os
import signal
import sys
import time

from quillon_native_cli import supervise
from quillon_native_cli.dimacs import _scan

# A time limit of this many seconds or more is no limit (the runners' clock
# could not take it); the native module's, or as it says without it.
NO_LIMIT_SECONDS = getattr(_scan, "NO_LIMIT_SECONDS", 3e9)


Formula = _scan.Formula if _scan is not None and hasattr(_scan, "Formula") else None


def available():
    return _scan is not None and hasattr(_scan, "Runner")


def stop_on_signals():
    """From now on SIGINT and SIGTERM ask the native searches to stop."""
    _scan.stop_on_signals()


def stop_requested():
    return _scan.stop_requested()


def request_stop():
    """Stops every native search of this process at its next conflict."""
    _scan.request_stop()


def memory_refusal(nvars):
    """Why no solver of `nvars` variables can be made here (its tables exceed
    physical memory, as the cores' guard would find once sizing them), or
    None: the command refuses such a header at its line, before sizing."""
    if _scan is None or not hasattr(_scan, "solver_memory"):
        return None
    need, have = _scan.solver_memory(nvars)
    if need <= have:
        return None
    tables = "more than any machine holds" if need >= 2 ** 64 - 1 else f"{need / 2 ** 30:.1f} GiB"
    return f"{nvars} variables do not fit in memory (a solver's tables need {tables}, this machine has " \
           f"{have / 2 ** 30:.1f} GiB)"


def make_runner(nvars, options, proof=False, binary=False, preprocess=False):
    """A runner for `nvars` variables; `options` are Solver keyword options,
    checked (with the module's messages) by making a Solver of them.  With
    `proof`, steps wait in memory until attach_proof(fd) names the file."""
    import quillon_native as qn
    qn.Solver(0, **options)
    return _scan.Runner(nvars, options, proof, binary, preprocess)


SEARCH_PROGRAM = "quillon-search"


def search_program():
    """The search program's path (installed beside _scan), or None."""
    import quillon_native_cli
    for folder in quillon_native_cli.__path__:
        path = os.path.join(folder, SEARCH_PROGRAM)
        if os.access(path, os.X_OK):
            return path
    return None


FRONT_PROGRAM = "quillon-native"


def front_program():
    """The native front end (the command `quillon-native` as built, not a
    script of the same name) or None: beside the interpreter (a virtual
    environment's bin), in the scripts folder, or in a build folder beside
    the modules."""
    import sysconfig
    import quillon_native_cli
    for folder in (os.path.dirname(sys.executable), sysconfig.get_path("scripts"), *quillon_native_cli.__path__):
        path = os.path.join(folder, FRONT_PROGRAM)
        try:
            with open(path, "rb") as f:
                if f.read(4) == b"\x7fELF" and os.access(path, os.X_OK):
                    return path
        except OSError:
            pass
    return None


def _option(value):
    """An option value as the search program reads it."""
    return str(int(value)) if isinstance(value, bool) else repr(value) if isinstance(value, float) else str(value)


def _counters(text):
    return {k: float(v) if k == "seconds" else int(v) for k, v in (ln.split("=") for ln in text.decode().split())}


def search_argv(program, nvars, options, args, deadline, auto=False, files=None, proof=None):
    """The search program's arguments (search_main.cpp) for solve's options
    `args`, as SearchProcess and solve_formula's run_plan take them."""
    argv = [program, str(nvars), f"--slice={args.slice}"]
    if auto:
        from quillon_native_cli import configs, strategy
        argv += ["--auto=1", f"--rounds={args.rounds}",
                 f"--probe={strategy.PROBE_CLAUSES},{strategy.PROBE_CONFLICTS}"]
        if (args.threads or 1) > 1:
            argv.append(f"--threads={args.threads}")
        if args.portfolio:
            argv.append(f"--portfolio={','.join(configs.PORTFOLIO_ORDER[:args.portfolio])}")
        argv += [",".join([f"--named={name}"] + [f"{k}={_option(v)}" for k, v in opts.items()])
                 for name, opts in configs.CONFIGS.items()]
        if files is not None:
            argv.append(f"--proof-dir={files.folder}")
    if args.proof if proof is None else proof:
        argv.append(f"--proof={'binary' if args.binary_proof else 'text'}")
    if args.preprocess:
        argv.append(f"--preprocess={args.rounds}")
    if args.max_conflicts is not None:
        argv.append(f"--max-conflicts={args.max_conflicts}")
    if deadline is not None:
        argv.append(f"--deadline={deadline!r}")
    argv += [f"{k}={_option(v)}" for k, v in options.items()]
    return argv


class SearchProcess(supervise.Process):
    """The search program, started for a formula of `nvars` variables with
    solve's options `args`, Solver `options` and monotonic `deadline`, or
    with `auto` for the plan it chooses from the formula, or the race of
    `--threads` or `--portfolio` (its members' proofs in the folder of
    `files`, a ProofFiles): `feed` (a _scan.ClauseFeed)
    takes the clauses as they are read, and finish(proof_fh) starts the
    search.  Its messages (search_wire.hpp) come out of poll() as tuples
    (`message`)."""

    def __init__(self, program, nvars, options, args, deadline, auto=False, files=None, proof=None):
        argv = search_argv(program, nvars, options, args, deadline, auto, files, proof)
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
        if kind == ord("C"):
            return ("comment", payload.decode(errors="replace"))
        if kind == ord("W"):
            return ("winner", payload.decode(errors="replace"))
        if kind == ord("F"):
            return ("proof", int.from_bytes(payload, sys.byteorder))
        if kind == ord("E"):
            return ("proof-failed", os.strerror(int.from_bytes(payload, sys.byteorder)))
        return ("error", payload.decode(errors="replace"))


class ProofFiles:
    """The proof files of several solvers searching one formula, of which one
    becomes the proof: each streams to a file in a folder of their own
    (proofs.MemberFolder); the search program copies the winner's into the
    target."""

    def __init__(self, target, binary):
        from quillon_native_cli.proofs import MemberFolder
        self.binary = binary
        self.files = MemberFolder(target)
        self.folder = self.files.folder
        self.note = self.files.note

    def remove(self):
        self.files.remove()


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
