"""`quillon-native race`: one formula, several named configurations at once
on a Dask cluster, each a child solve process; the first answer wins, the
others are stopped and the winner's output and proof come back."""
import os
import shlex
import shutil
import sys
import time
import uuid

from quillon_native_cli import cluster, runner
from quillon_native_cli.batch import MEBIBYTES
from quillon_native_cli.common import (POSITIVE, Exit, Formatter, Range, Signals, UsageError, exit_codes_help, fail,
                                       filename, interrupt_code, real, say)
from quillon_native_cli.proofs import refuse_target

LIMIT = real(Range(0, lo_open=True, inf=True))


def add_parser(subparsers):
    p = subparsers.add_parser(
        "race", help="race named configurations on a Dask cluster",
        description="Solve FILE with the first N named configurations of `solve --portfolio` at once, spread over "
                    "the workers of a Dask cluster. The first answer wins; the others are stopped.",
        epilog=exit_codes_help, formatter_class=Formatter)
    p.add_argument("file", type=filename, metavar="FILE", help="CNF file, readable on the workers' hosts too")
    p.add_argument("--workers", type=POSITIVE, default=2, metavar="N",
                   help="number of configurations raced (default: 2)")
    p.add_argument("--seconds", type=LIMIT, default=float("inf"), help=f"time limit ({LIMIT.limits}; default: inf)")
    p.add_argument("--memory", type=MEBIBYTES, default=0, metavar="MB",
                   help="address-space cap per solver process in MiB, 0 for none (default: 0)")
    p.add_argument("--proof", type=filename, metavar="FILE", help="write the winner's DRAT proof to FILE (refused as solve "
                   "--proof refuses it)")
    p.add_argument("-f", "--force", action="store_true", help="overwrite a FILE that looks like a CNF formula")
    p.add_argument("--binary-proof", action="store_true", help="binary DRAT instead of text")
    p.add_argument("-q", "--quiet", action="store_true", help="print only the s and v lines")
    p.add_argument("--solver", metavar="CMD",
                   help="run CMD instead of `quillon-native solve` (it must take the same options)")
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("--scheduler", metavar="ADDRESS", help="the Dask scheduler to race on")
    where.add_argument("--local-cluster", type=POSITIVE, metavar="N",
                       help="race on a new local Dask cluster of N single-thread workers")
    p.set_defaults(run=run)


def error(code, message):
    return fail(code, f"quillon-native race: {message}")


def check_usage(args, configs):
    """What the race needs, checked before anything is created or started."""
    if args.workers > len(configs):
        raise UsageError(f"--workers: only {len(configs)} named configurations to race: {', '.join(configs)}")
    if args.binary_proof and not args.proof:
        raise UsageError("--binary-proof needs --proof FILE")
    if args.proof == "-":
        raise UsageError("--proof -: a proof on standard output would be mixed with the answer; name a file")
    solver = shlex.split(args.solver) if args.solver else None
    if solver is not None and not (solver and shutil.which(solver[0])):
        raise UsageError(f"--solver: no such command {args.solver!r}")
    return solver


def run(args):
    from quillon_native_cli.configs import CONFIGS, PORTFOLIO_ORDER
    try:
        solver = check_usage(args, CONFIGS)
        cluster.require_dask()
    except UsageError as e:
        return error(Exit.USAGE, e)
    except cluster.ClusterError as e:
        return error(e.code, e)
    if not os.path.isfile(args.file) or not os.access(args.file, os.R_OK):
        return error(Exit.INPUT, f"{args.file}: {'Permission denied' if os.path.isfile(args.file) else 'no such file'}")
    refused = args.proof and refuse_target(args.proof, [args.file], args.force)
    if refused:
        return error(*refused)
    try:
        with Signals(), cluster.connect(args.scheduler, args.local_cluster) as client:
            results, winner, seconds, interrupt = race(client, args, PORTFOLIO_ORDER[:args.workers], solver)
    except cluster.ClusterError as e:
        return error(e.code, e)
    except KeyboardInterrupt as e:
        say("c race interrupted\ns UNKNOWN")
        return interrupt_code(e)
    if winner is None:
        refused = keep_partial_proof(args, results)
        if interrupt is not None:
            say("c race interrupted\ns UNKNOWN")
            return interrupt_code(interrupt)
        return refused or no_winner(results)
    say(winner["stdout"].rstrip("\n"))
    if not args.quiet:
        others = ", ".join(f"{r['config']} {r['status']}" for r in results.values() if r is not winner)
        say(f"c race: {winner['config']} won on {winner['host']} after {seconds:.3f} s; {others or 'no others'}")
    if args.proof and winner["proof"] is not None:
        try:
            with open(args.proof, "wb") as f:
                f.write(winner["proof"])
        except OSError as e:  # the answer above stands; the proof is lost
            return error(Exit.OUTPUT, f"{args.proof}: {e.strerror or e}; the proof is incomplete")
    return winner["exit_code"]


def keep_partial_proof(args, results):
    """With no answer, the proof of the configuration that got furthest (the
    most bytes of whole steps) is kept, and named."""
    partial = [r for r in results.values() if r.get("proof")]
    if not args.proof or not partial:
        return None
    best = max(partial, key=lambda r: len(r["proof"]))
    try:
        with open(args.proof, "wb") as f:
            f.write(best["proof"])
    except OSError as e:
        return error(Exit.OUTPUT, f"{args.proof}: {e.strerror or e}; the proof is incomplete")
    if not args.quiet:
        say(f"c proof of {best['config']}: {len(best['proof'])} bytes of whole steps, no empty clause")
    return None


def no_winner(results):
    failed = [r for r in results.values() if r["status"] == "error"]
    if failed and len(failed) == len(results):  # the solver's own one-line verdict on the input, and its code
        try:
            print(failed[0]["detail"], file=sys.stderr)
        except OSError:
            pass
        code = failed[0]["exit_code"]
        return code if code in runner.REFUSALS else Exit.FAILED
    say("s UNKNOWN")
    return Exit.UNKNOWN


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
    results, winner, seconds, interrupt = {}, None, None, None
    try:
        for fut in as_completed(futures):
            result = outcome(fut, names[futures.index(fut)])
            results[result["config"]] = result
            if result["answer"]:
                winner, seconds = result, time.monotonic() - start
                break
    except KeyboardInterrupt as e:  # the stopped solvers still hand in what they have
        interrupt = e
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
    return results, winner, seconds, interrupt


def outcome(fut, name):
    """A finished race task's result; a task that failed counts as a crashed configuration."""
    try:
        return fut.result()
    except Exception as e:
        return dict(config=name, status="crashed", answer=None, exit_code=None, detail=f"{type(e).__name__}: {e}",
                    stdout="", proof=None, host=None)
