"""Dask distributed glue for `batch` and `race`: connecting to a scheduler or
starting a LocalCluster, and the task functions that the workers run.

Tasks start the same child processes as a local batch, on the worker's host;
instance paths must therefore be readable there too.  Dask reruns a task
whose worker died; a batch instance must not run twice, so each task first
claims its instance through a scheduler-side Event and a rerun that finds
the claim taken reports the instance as killed instead of solving it again.
Stopping (Ctrl-C of a batch, the losers of a race) also goes through an
Event, which each running task watches and answers by killing its child.
"""
import contextlib
import logging
import threading

from quillon_native_cli import runner
from quillon_native_cli.common import Exit

EXTRA_HINT = "Dask distributed is not installed: pip install 'quillon-native[cluster]'"

# A LocalCluster of ours shares the machine with the solver processes it
# runs: its own upkeep is slowed down from several wake-ups a second per
# process (event-loop ticks every 20 ms, a stack sampler every 10 ms) to a
# few, which cuts its idle CPU use about sevenfold.
QUIET = {
    "distributed.admin.tick.interval": "1s",
    "distributed.admin.system-monitor.interval": "2s",
    "distributed.worker.profile.enabled": False,
    "distributed.worker.memory.monitor-interval": "2s",
}


class ClusterError(Exception):
    """The cluster cannot run the work; `code` is the exit code to end with."""

    def __init__(self, message, code=Exit.FAILED):
        super().__init__(message)
        self.code = code


def require_dask():
    """Raises ClusterError unless Dask distributed can be imported."""
    try:
        import distributed  # noqa: F401
    except ImportError:
        raise ClusterError(EXTRA_HINT, Exit.USAGE) from None


@contextlib.contextmanager
def connect(scheduler=None, local_workers=None):
    """A Client of the scheduler at `scheduler`, or of a new LocalCluster with `local_workers` workers."""
    require_dask()
    from distributed import Client, LocalCluster
    with contextlib.ExitStack() as stack:
        try:
            if scheduler:
                client = stack.enter_context(Client(scheduler, timeout="10s"))
            else:
                import dask
                stack.enter_context(dask.config.set(QUIET))
                with workers_ignore_interrupts():
                    cluster = stack.enter_context(LocalCluster(
                        n_workers=local_workers, threads_per_worker=1, processes=True,
                        dashboard_address=":0", silence_logs=logging.CRITICAL))
                client = stack.enter_context(Client(cluster))
                ignore_interrupts_on_restart(client)
        except OSError as e:
            raise ClusterError(f"cannot reach the scheduler {scheduler}: {e}") from None
        yield client


# The workers of a LocalCluster of ours are this process's children, in its
# process group: the interrupt a terminal sends that group would stop them
# (with tracebacks) in the middle of their tasks, before this process could
# collect what the tasks hold.  They ignore it; this process stops their
# tasks itself.
@contextlib.contextmanager
def workers_ignore_interrupts():
    """SIGINT ignored while the workers start: they inherit that (an
    interrupt meanwhile is lost)."""
    import signal
    old = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, old)


def ignore_interrupts_on_restart(client):
    """A worker started later (Dask restarts one that died) ignores SIGINT
    too, as it sets up: a worker plugin."""
    from distributed import WorkerPlugin

    class IgnoreInterrupts(WorkerPlugin):
        def setup(self, worker):
            import signal
            if threading.current_thread() is threading.main_thread():
                signal.signal(signal.SIGINT, signal.SIG_IGN)

    register = getattr(client, "register_plugin", None) or client.register_worker_plugin
    register(IgnoreInterrupts(), name="quillon-ignore-interrupts")


def worker_slots(client):
    """Addresses of the workers, one per thread, so tasks can be spread over them."""
    try:
        workers = client.scheduler_info(n_workers=-1)["workers"]
    except TypeError:  # older distributed lists every worker anyway
        workers = client.scheduler_info()["workers"]
    return [addr for addr, w in sorted(workers.items()) for _ in range(w.get("nthreads", 1))]


class EventStop:
    """Kills the watched child once the named Event is set."""

    def __init__(self, name):
        from distributed import Event
        self.event = Event(name)
        self.event.client  # bind the worker's client in the task's own thread

    def watch(self, child):
        done = threading.Event()

        def watcher():
            while not done.is_set():
                try:
                    stop = self.event.wait(timeout=0.5)
                except Exception:  # noqa: BLE001  the client or scheduler is gone (the cluster is
                    return         # closing: a closed comm, or a client whose scheduler is None): nothing to watch
                if stop:
                    child.kill("stopped")
                    return

        # Not joined when the child ends: the watcher leaves at its next poll.
        threading.Thread(target=watcher, daemon=True).start()
        return done.set


def lost_result(detail):
    return dict(answer=None, status="killed", seconds=None, cpu=None, exit_code=None, checked=None,
                detail=detail, host=None)


def kept_result_name(run_id, job):
    return f"{run_id}/result/{job['path']}"


def batch_task(job, run_id):
    """One batch instance on a worker; never solves the same instance twice.

    A finished result is also kept on the scheduler until the batch has
    recorded it: a worker that dies after solving an instance, but before its
    result was collected, loses only the copy it held."""
    from distributed import Event, Variable
    claim = Event(f"{run_id}/claim/{job['path']}")
    kept = Variable(kept_result_name(run_id, job))
    if claim.is_set():
        try:
            return kept.get(timeout=1)
        except (TimeoutError, OSError):
            return lost_result("its Dask worker died while solving it")
    claim.set()
    result = runner.run_instance(job, EventStop(f"{run_id}/stop"))
    if result["status"] == "stopped":
        result["status"] = "interrupted"
    else:
        kept.set(result)
    return result


def race_task(job, run_id, proof):
    """One configuration of a race; returns its result with its stdout and proof."""
    result = runner.run_instance(dict(job, proof=proof), EventStop(f"{run_id}/stop"), keep=True)
    return dict(result, config=job["config"])
