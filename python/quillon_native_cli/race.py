"""`quillon-native race`: one formula, several named configurations at once
on a Dask cluster, each a child solve process; the first answer wins, the
others are stopped and the winner's output and proof come back."""
import os
import shlex
import shutil
import signal
import sys
import time
import uuid

from quillon_native_cli import cluster
from quillon_native_cli.batch import _terminate, interrupt_code, mebibytes, positive_int


def race_seconds(text):
    import argparse
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not value > 0:
        raise argparse.ArgumentTypeError(f"expected a number of seconds above 0 or inf, got {text!r}")
    return value


def add_parser(subparsers):
    p = subparsers.add_parser(
        "race", help="race named configurations on a Dask cluster",
        description="Solve FILE with the first N named configurations of `solve --portfolio` at once, spread over "
                    "the workers of a Dask cluster. The first answer wins; the others are stopped.")
    p.add_argument("file", metavar="FILE", help="CNF file, readable on the workers' hosts too")
    p.add_argument("--workers", type=positive_int, default=2, metavar="N",
                   help="number of configurations raced (default: 2)")
    p.add_argument("--seconds", type=race_seconds, default=float("inf"), help="time limit (default: none)")
    p.add_argument("--memory", type=mebibytes, default=0, metavar="MB",
                   help="address-space cap per solver process in MiB, 0 for none (default: 0)")
    p.add_argument("--proof", metavar="FILE", help="write the winner's DRAT proof to FILE")
    p.add_argument("--binary-proof", action="store_true", help="binary DRAT instead of text")
    p.add_argument("-q", "--quiet", action="store_true", help="print only the s and v lines")
    p.add_argument("--solver", metavar="CMD",
                   help="run CMD instead of `quillon-native solve` (it must take the same options)")
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("--scheduler", metavar="ADDRESS", help="the Dask scheduler to race on")
    where.add_argument("--local-cluster", type=positive_int, metavar="N",
                       help="race on a new local Dask cluster of N single-thread workers")
    p.usage_exit = 1  # the exit code of every usage error
    p.set_defaults(run=run)


def error(message, code=1):
    print(f"c error: quillon-native race: {message}", file=sys.stderr)
    return code


def run(args):
    try:
        from quillon_native_cli.configs import CONFIGS
    except ImportError:
        return error("the named configurations are missing from this installation")
    names = list(CONFIGS)[:args.workers]
    if args.workers > len(CONFIGS):
        return error(f"--workers: only {len(CONFIGS)} named configurations to race: {', '.join(CONFIGS)}")
    solver = shlex.split(args.solver) if args.solver else None
    if solver is not None and not (solver and shutil.which(solver[0])):
        return error(f"--solver: no such command {args.solver!r}")
    if not os.path.isfile(args.file):
        return error(f"{args.file}: no such file")
    try:
        proof = open(args.proof, "wb") if args.proof else None
    except OSError as e:
        return error(f"cannot write the proof {args.proof}: {e.strerror}")
    old = signal.signal(signal.SIGTERM, _terminate)
    try:
        with cluster.connect(args.scheduler, args.local_cluster) as client:
            results, winner, seconds = race(client, args, names, solver)
    except cluster.ClusterError as e:
        return error(e)
    except KeyboardInterrupt as e:
        print("c race interrupted\ns UNKNOWN", flush=True)
        return interrupt_code(e)
    finally:
        signal.signal(signal.SIGTERM, old)
    if winner is None:
        failed = [r for r in results.values() if r["status"] == "error"]
        if failed and len(failed) == len(results):  # the solver's own one-line verdict on the input
            print(failed[0]["detail"], file=sys.stderr)
            return 1
        print("s UNKNOWN")
        return 0
    sys.stdout.write(winner["stdout"])
    if not args.quiet:
        others = ", ".join(f"{r['config']} {r['status']}" for r in results.values() if r is not winner)
        print(f"c race: {winner['config']} won on {winner['host']} after {seconds:.3f} s; {others or 'no others'}")
    sys.stdout.flush()
    if proof and winner["proof"] is not None:
        try:
            with proof:
                proof.write(winner["proof"])
        except OSError as e:  # the answer above stands; the proof is lost
            return error(f"cannot write the proof {args.proof}: {e.strerror}")
    return winner["exit_code"]


def race(client, args, names, solver):
    """Runs the race; returns (results by configuration, winning result or None, seconds to the winner)."""
    from distributed import Event, as_completed, wait
    run_id = f"quillon-race-{uuid.uuid4().hex}"
    slots = cluster.worker_slots(client)
    if len(slots) < len(names) and not args.quiet:
        print(f"c race: {len(slots)} worker threads for {len(names)} configurations; some wait for others")
    kind = ("binary" if args.binary_proof else "text") if args.proof else None
    start = time.monotonic()
    futures = []
    for i, name in enumerate(names):
        job = dict(path=os.path.abspath(args.file), seconds=args.seconds, memory=args.memory, config=name,
                   solver=solver, quiet=args.quiet)
        futures.append(client.submit(cluster.race_task, job, run_id, kind, key=f"{run_id}-{i}", pure=False,
                                     workers=[slots[i % len(slots)]] if slots else None, allow_other_workers=True))
    stop = Event(f"{run_id}/stop", client=client)
    results, winner, seconds = {}, None, None
    try:
        for fut in as_completed(futures):
            result = outcome(fut, names[futures.index(fut)])
            results[result["config"]] = result
            if result["answer"]:
                winner, seconds = result, time.monotonic() - start
                break
    finally:
        stop.set()
        try:
            wait(futures, timeout=5)
        except TimeoutError:
            pass
        for name, fut in zip(names, futures):
            if fut.done():
                results.setdefault(name, outcome(fut, name))
        client.cancel(futures)
        if all(fut.done() for fut in futures):
            stop.clear()
    return results, winner, seconds


def outcome(fut, name):
    """A finished race task's result; a task that failed counts as a crashed configuration."""
    try:
        return fut.result()
    except Exception as e:
        return dict(config=name, status="crashed", answer=None, exit_code=None, detail=f"{type(e).__name__}: {e}",
                    stdout="", proof=None, host=None)
