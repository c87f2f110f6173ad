"""Running one instance: a child `quillon-native solve` process with a time
limit and a memory cap, then what it printed judged and, on request, its
model or proof checked.

`run_instance` is a plain function of a job dict so that a local thread pool
and a Dask worker call the same code; the result is a plain dict too.  Each
child runs in a process group of its own (so a Ctrl-C at the terminal reaches
the batch, not the solvers) and dies with the thread that started it (so a
killed Dask worker takes its solver along instead of leaving it running).
"""
import ctypes
import functools
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from quillon_native_cli.common import Exit
from quillon_native_cli.dimacs import CnfReader, InputError
from quillon_native_cli.supervise import STOP_GRACE

PR_SET_PDEATHSIG = 1
try:
    _prctl = ctypes.CDLL(None, use_errno=True).prctl
except (OSError, AttributeError):  # not Linux: children just outlive a killed worker
    _prctl = None

ANSWERS = {"s SATISFIABLE": "SAT", "s UNSATISFIABLE": "UNSAT", "s UNKNOWN": None}
# The exit codes of a solver that refused to run, or failed: "error", with its last line on standard error.
REFUSALS = (Exit.FAILED, Exit.USAGE, Exit.INPUT, Exit.OUTPUT)




def hard_limit(seconds):
    """Wall-clock seconds after which a child that ignored its own time limit is killed."""
    return seconds + 1 + seconds / 20


def check_limit(seconds):
    """Wall-clock seconds a proof check may take: checking often takes longer than solving."""
    return 2 * seconds + 10


def _preexec(memory_mb):
    def setup():
        if _prctl is not None:
            _prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
        if memory_mb:
            cap = memory_mb << 20
            resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
    return setup


# The environment variable that asks the native front end to set itself up as
# _preexec does for other children (front_main.cpp): "PID:MB", this
# process's id and the address-space cap in MiB (0: none).  Without a
# function to run between fork and exec the child starts through vfork,
# several milliseconds less per instance.
BATCH_CHILD = "QUILLON_BATCH_CHILD"


class Child:
    """One child process; `kill` may be called from any thread, once it counts.
    A `native` child (the native front end) sets up its own limits."""

    def __init__(self, cmd, out, err, memory_mb, native=False):
        self.lock = threading.Lock()
        self.reason = None
        self.done = False
        self.start = time.monotonic()
        setup = dict(env=dict(os.environ, **{BATCH_CHILD: f"{os.getpid()}:{memory_mb or 0}"})) if native else \
            dict(preexec_fn=_preexec(memory_mb))
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                     start_new_session=True, **setup)

    def kill(self, reason):
        """Stops the child: SIGTERM first, so that a solve child ends its
        proof on a whole step and reports; SIGKILL after STOP_GRACE seconds."""
        with self.lock:
            if self.done or self.reason is not None:
                return
            self.reason = reason
            self._signal(signal.SIGTERM)
        timer = threading.Timer(STOP_GRACE, self._signal, (signal.SIGKILL,))
        timer.daemon = True
        timer.start()

    def _signal(self, signum):
        if self.done:
            return
        try:
            os.killpg(self.proc.pid, signum)
        except ProcessLookupError:
            pass

    def wait(self, limit):
        """Waits for the child, killing it after `limit` seconds; returns (exit code, wall, cpu)."""
        timer = threading.Timer(limit, self.kill, ("timeout",)) if limit < 1e9 else None
        if timer:
            timer.daemon = True
            timer.start()
        try:
            _, status, usage = os.wait4(self.proc.pid, 0)
        finally:
            if timer:
                timer.cancel()
        with self.lock:
            self.done = True
        self.proc.returncode = os.waitstatus_to_exitcode(status)
        return self.proc.returncode, time.monotonic() - self.start, usage.ru_utime + usage.ru_stime


class LocalStop:
    """The live children of this process, so that an interrupt can kill them all."""

    def __init__(self):
        self.lock = threading.Lock()
        self.live = set()
        self.stopped = False

    def watch(self, child):
        with self.lock:
            self.live.add(child)
            stopped = self.stopped
        if stopped:
            child.kill("interrupted")
        return lambda: self.live.discard(child)

    def stop(self):
        with self.lock:
            self.stopped = True
            live = list(self.live)
        for child in live:
            child.kill("interrupted")


def run_child(cmd, limit, memory_mb, stop=None, workdir=None):
    """Runs `cmd` to the end; returns (exit code, wall, cpu, kill reason, stdout, stderr tail)."""
    with tempfile.TemporaryFile(dir=workdir) as out, tempfile.TemporaryFile(dir=workdir) as err:
        child = Child(cmd, out, err, memory_mb, native=cmd[0] == native_front())
        unwatch = stop.watch(child) if stop else None
        try:
            code, wall, cpu = child.wait(limit)
        finally:
            if unwatch:
                unwatch()
        out.seek(0)
        text = out.read().decode(errors="replace")
        err.seek(0, os.SEEK_END)
        err.seek(max(0, err.tell() - 2000))
        tail = err.read().decode(errors="replace").strip().splitlines()
    return code, wall, cpu, child.reason, text, tail[-1] if tail else ""


def solve_command(job, proof=None, quiet=True, binary=True):
    """The child command line solving `job`'s instance: the native front
    end's when it is there, which spares each instance an interpreter."""
    cmd = list(job.get("solver") or default_solver())
    cmd += (["-q"] if quiet else []) + ["--seconds", repr(float(job["seconds"]))]
    if job.get("config"):
        cmd += ["--config", job["config"]]
    if proof:
        cmd += ["--proof", proof] + (["--binary-proof"] if binary else [])
    return cmd + [job["path"]]


@functools.cache
def native_front():
    from quillon_native_cli.native import front_program
    return front_program()


def default_solver():
    front = native_front()
    return [front, "solve"] if front else [sys.executable, "-m", "quillon_native_cli", "solve"]


def judge(code, reason, text, tail):
    """(status, answer, detail) of a finished solve child."""
    if reason is not None:
        return reason, None, "killed at the time limit" if reason == "timeout" else ""
    if code < 0:
        name = signal.Signals(-code).name
        if -code == signal.SIGXCPU:
            return "timeout", None, name
        return ("killed" if -code == signal.SIGKILL else "crashed"), None, name
    sline = next((line.rstrip() for line in text.splitlines() if line.startswith("s ")), None)
    if sline in ANSWERS and (code, ANSWERS[sline]) in ((10, "SAT"), (20, "UNSAT"), (0, None)):
        answer = ANSWERS[sline]
        return ("solved" if answer else "timeout"), answer, ""
    if "memory" in tail.lower() or "bad_alloc" in tail:
        return "memout", None, tail
    if code in REFUSALS:
        return "error", None, tail
    return "crashed", None, f"exit {code}" + (f": {tail}" if tail else "")


def model_literals(text):
    lits = []
    for line in text.splitlines():
        if line.startswith("v "):
            lits.extend(int(tok) for tok in line[2:].split())
    return lits


def check_model(path, lits):
    """None when the model satisfies every clause of `path`, else what is wrong."""
    true = set(lits)
    true.discard(0)
    clash = next((lit for lit in true if -lit in true), None)
    if clash is not None:
        return f"model sets {clash} and {-clash}"
    # The package's reader, leniently (another --solver may take more than ours):
    # internal literals, 2 * (var - 1) + negated.
    true = {2 * lit - 2 if lit > 0 else -2 * lit - 1 for lit in true}
    count = 0

    def clause(lits):
        nonlocal count
        count += 1
        if true.isdisjoint(lits):
            raise Falsified(count)

    try:
        CnfReader(path, clause, relaxed=True).read()
    except Falsified as e:
        return f"clause {e.args[0]} is falsified"
    except InputError as e:
        return f"cannot read the formula: {e}"
    return None


class Falsified(Exception):
    pass


def run_instance(job, stop=None, keep=False):
    """Solves one instance as described by `job` (path, seconds, memory, check,
    config, solver; for a race also quiet, and proof: "text" or "binary");
    returns the result dict that the store records.  `keep` adds the child's
    standard output and, with an answer, its proof (as `stdout` and `proof`)."""
    limit = hard_limit(job["seconds"])
    # A folder of the run's own for its proof (none without one: a few milliseconds saved).
    work = tempfile.mkdtemp(prefix="quillon-run-") if job.get("check") or job.get("proof") else None
    try:
        proof = os.path.join(work, "proof.drat") if work else None
        cmd = solve_command(job, proof, quiet=job.get("quiet", True), binary=job.get("proof") != "text")
        code, wall, cpu, reason, text, tail = run_child(cmd, limit, job.get("memory"), stop, work)
        status, answer, detail = judge(code, reason, text, tail)
        result = dict(answer=answer, status=status, seconds=round(wall, 3), cpu=round(cpu, 3),
                      exit_code=code, checked=None, detail=detail, host=socket.gethostname())
        if keep:
            result["stdout"] = text
            # Without an answer, what the stopped solver wrote so far.
            result["proof"] = read_proof(proof) if proof else None
        if job.get("check") and answer == "SAT":
            problem = check_model(job["path"], model_literals(text))
            result["checked"], result["detail"] = ("failed", problem) if problem else ("verified", "")
        elif job.get("check") and answer == "UNSAT":
            result.update(check_proof(job, proof, stop, work))
        return result
    finally:
        if work:
            shutil.rmtree(work, ignore_errors=True)


def read_proof(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def check_proof(job, proof, stop, work):
    """The fields a `quillon-native check` of the instance's proof sets."""
    cmd = [sys.executable, "-m", "quillon_native_cli", "check", job["path"], proof]
    ccode, _, _, creason, ctext, ctail = run_child(cmd, check_limit(job["seconds"]), job.get("memory"), stop, work)
    out = {"status": "interrupted"} if creason == "interrupted" else {}
    lines = [line for line in ctext.splitlines() if line.strip()]
    out["checked"] = {Exit.VERIFIED: "verified", Exit.NOT_VERIFIED: "failed"}.get(ccode, creason or "error")
    out["detail"] = "" if ccode == Exit.VERIFIED else \
        ctail if ccode != Exit.NOT_VERIFIED else lines[-1] if lines else ""
    return out
