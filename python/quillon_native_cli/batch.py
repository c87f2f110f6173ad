"""`quillon-native batch`: solve a set of instances, each as a child solve
process with a time limit and a memory cap, on local cores or on a Dask
cluster, recording every result in a resumable SQLite store."""
import concurrent.futures
import os
import re
import shlex
import shutil
import sqlite3
import sys
import threading
import time
import uuid

from quillon_native_cli import cluster, runner
from quillon_native_cli.common import (POSITIVE, U64, Exit, Formatter, Range, Signals, UsageError, exit_codes_help,
                                       fail, filename, interrupt_code, real, say, whole)
from quillon_native_cli.store import Store, StoreError, open_existing, refuse_export

CNF_NAME = re.compile(r"\.(cnf|dimacs)(\.(gz|xz|lzma|bz2))?$")
SHOWN = ("solved", "timeout", "memout", "crashed", "killed", "error")


LIMIT = real(Range(0, 1e9, lo_open=True))
MEBIBYTES = whole(Range(0, U64.hi >> 20))


class InputError(Exception):
    pass


def outcomes(text):
    """An argument type: a comma-separated set of outcomes."""
    import argparse
    chosen = frozenset(t.strip() for t in text.split(","))
    unknown = sorted(chosen.difference(SHOWN))
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown outcome {unknown[0]!r}; known: {', '.join(SHOWN)}")
    return chosen


def add_parser(subparsers):
    p = subparsers.add_parser(
        "batch", help="solve a set of instances and record the results",
        description="Solve every instance of INPUTs, each in a child `quillon-native solve` process, and record "
                    "the results in an SQLite store. Running the same command again resumes an interrupted run.",
        epilog=exit_codes_help, formatter_class=Formatter)
    p.add_argument("inputs", nargs="*", type=filename, metavar="INPUT",
                   help="a CNF file (.cnf, also .gz/.xz/.bz2), a folder searched for them, or a manifest "
                        "(.tsv with `file` and `expected` columns; paths relative to its folder or its cnf/)")
    p.add_argument("-r", "--results", default="results.sqlite", type=filename, metavar="FILE",
                   help="results store, resumed if it exists; only a store made by batch is opened "
                        "(default: %(default)s)")
    p.add_argument("--seconds", type=LIMIT, default=60.0,
                   help=f"time limit per instance ({LIMIT.limits}; default: 60)")
    p.add_argument("--memory", type=MEBIBYTES, default=4096, metavar="MB",
                   help="address-space cap per solver process in MiB, 0 for none (default: 4096)")
    p.add_argument("-j", "--jobs", type=POSITIVE, default=len(os.sched_getaffinity(0)),
                   help="instances solved at once on this machine (default: the usable cores, %(default)s)")
    p.add_argument("--check", action="store_true",
                   help="check every model, and every UNSAT answer through its DRAT proof")
    p.add_argument("--config", metavar="NAME", help="solve with this named configuration")
    p.add_argument("--solver", metavar="CMD",
                   help="run CMD instead of `quillon-native solve` (it must take the same options)")
    p.add_argument("--export", type=filename, metavar="FILE", help="also write the results to FILE (.csv or .json; an existing "
                   "FILE is overwritten only if it is an earlier export of the same kind)")
    p.add_argument("-f", "--force", action="store_true",
                   help="let --export overwrite any regular file but the store")
    p.add_argument("--retry", type=outcomes, default=frozenset(), metavar="OUTCOMES",
                   help=f"run again the recorded instances with these outcomes (comma-separated: {', '.join(SHOWN)})")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress output")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="run on the Dask cluster of this scheduler")
    where.add_argument("--local-cluster", type=POSITIVE, metavar="N",
                       help="run on a new local Dask cluster of N single-thread workers")
    p.set_defaults(run=run)


def read_manifest(path):
    folder = os.path.dirname(path)
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    header = lines[0].split("\t") if lines else []
    if "file" not in header or "expected" not in header:
        raise InputError(f"{path}: the header line names no `file` and `expected` columns")
    ifile, iexp = header.index("file"), header.index("expected")
    for n, line in enumerate(lines[1:], 2):
        fields = line.split("\t")
        if not line.strip() or line.startswith("#"):
            continue
        name = fields[ifile].strip() if ifile < len(fields) else ""
        expected = fields[iexp].strip().upper() if iexp < len(fields) else ""
        if expected not in ("", "SAT", "UNSAT"):
            raise InputError(f"{path}:{n}: expected answer {expected!r} is not SAT, UNSAT or empty")
        found = [c for c in (os.path.join(folder, name), os.path.join(folder, "cnf", name)) if os.path.isfile(c)]
        if not name or not found:
            raise InputError(f"{path}:{n}: no instance file {name!r} beside the manifest or in its cnf/")
        yield found[0], name, expected or None


def gather(inputs):
    """The instances of `inputs` as job stubs (path, name, expected), in order, each once."""
    jobs, seen = [], set()
    for item in inputs:
        if os.path.isdir(item):
            found = [(os.path.join(d, f), None) for d, _, files in sorted(os.walk(item)) for f in sorted(files)
                     if CNF_NAME.search(f)]
            if not found:
                raise InputError(f"{item}: no CNF files in this folder")
            entries = [(p, os.path.relpath(p, item), None) for p, _ in found]
        elif item.endswith(".tsv") and os.path.isfile(item):
            entries = list(read_manifest(item))
        elif os.path.isfile(item):
            entries = [(item, item, None)]
        else:
            raise InputError(f"{item}: no such file or folder")
        for path, name, expected in entries:
            path = os.path.abspath(path)
            if path not in seen:
                seen.add(path)
                jobs.append(dict(path=path, name=name, expected=expected))
    return jobs


class Progress:
    """A bar redrawn on a terminal (every second, for the clock); one line per instance otherwise."""

    def __init__(self, total, done, quiet):
        self.total, self.done, self.quiet = total, done, quiet
        self.tty = sys.stderr.isatty() and not quiet
        self.solved = self.wrong = 0
        self.start = time.monotonic()
        self.lock, self.closed = threading.Lock(), threading.Event()
        self.draw()
        if self.tty:
            threading.Thread(target=self.tick, daemon=True).start()

    def tick(self):
        while not self.closed.wait(1):
            self.draw()

    def draw(self):
        with self.lock:
            if self.tty and not self.closed.is_set():
                filled = 30 * self.done // max(self.total, 1)
                elapsed = int(time.monotonic() - self.start)
                sys.stderr.write(f"\r[{'#' * filled}{'.' * (30 - filled)}] {self.done}/{self.total}  solved "
                                 f"{self.solved}  wrong {self.wrong}  {elapsed // 60}:{elapsed % 60:02d} ")
                sys.stderr.flush()

    def update(self, row):
        self.done += 1
        self.solved += row["status"] == "solved" and not row["wrong"]
        self.wrong += row["wrong"]
        if self.tty:
            self.draw()
        elif not self.quiet:
            print(f"[{self.done}/{self.total}] {row['name']}: {describe(row)}", file=sys.stderr, flush=True)

    def close(self):
        with self.lock:
            if self.tty and not self.closed.is_set():
                sys.stderr.write("\n")
            self.closed.set()


def describe(row):
    text = row["answer"] if row["status"] == "solved" else row["status"]
    if row["seconds"] is not None:
        text += f" {row['seconds']:.2f} s"
    if row["wrong"]:
        text += " WRONG" + (f" (expected {row['expected']})" if row["expected"] not in (None, row["answer"]) else "")
    if row["checked"]:
        text += f", check {row['checked']}"
    return text + (f": {row['detail']}" if row["detail"] else "")


def judge_row(job, result):
    """The store row of a finished instance; an answer against the manifest or a failed check is wrong."""
    row = dict(job, **result, finished=time.time())
    contradicts = row["answer"] and row["expected"] and row["answer"] != row["expected"]
    row["wrong"] = int(bool(contradicts) or row["checked"] == "failed")
    return row


def summary(rows, total, seconds, wall, results, ran):
    """The closing table: status counts, wrong answers, PAR-2 and CPU time over
    the finished instances, and the wall time of this invocation (which ran `ran`)."""
    counts = {s: sum(r["status"] == s for r in rows) for s in SHOWN}
    sat = sum(r["answer"] == "SAT" for r in rows if r["status"] == "solved")
    wrong = [r for r in rows if r["wrong"]]
    par2 = sum(r["seconds"] if r["status"] == "solved" and not r["wrong"] else 2 * seconds for r in rows)
    lines = [f"{results}: {len(rows)} of {total} instances done"]
    lines.append(f"  {'solved':<8}{counts['solved']:>6}   SAT {sat}, UNSAT {counts['solved'] - sat}")
    lines += [f"  {s:<8}{counts[s]:>6}" for s in SHOWN[1:] if counts[s]]
    lines.append(f"  {'wrong':<8}{len(wrong):>6}")
    if rows:
        lines.append(f"  {'PAR-2':<8}{par2 / len(rows):>10.3f} s mean ({par2:.1f} s total, limit {seconds:g} s)")
        cpu = sum(r["cpu"] or 0 for r in rows)
        lines.append(f"  {'cpu':<8}{cpu:>10.3f} s total of the {len(rows)} instances done")
    lines.append(f"  {'wall':<8}{wall:>10.3f} s this invocation, which ran {ran} of them")
    notable = [r for r in rows if r["wrong"] or r["status"] in ("memout", "crashed", "killed", "error")
               or r["checked"] not in (None, "verified")]
    lines += [f"  {r['name']}: {describe(r)}" for r in notable]
    return "\n".join(lines)


def run_local(todo, jobs, record):
    runner.native_front()  # looked up once, before the workers start children
    stop = runner.LocalStop()
    pool = concurrent.futures.ThreadPoolExecutor(jobs)
    futures, recorded = {}, set()
    try:
        futures = {pool.submit(runner.run_instance, job, stop): job for job in todo}
        for fut in concurrent.futures.as_completed(futures):
            record(futures[fut], fut.result())
            recorded.add(fut)
    except BaseException:
        stop.stop()
        pool.shutdown(wait=True, cancel_futures=True)
        # An instance may finish between an interrupt and the loop's turn to
        # record it (a worker goes on to the next one meanwhile): its result
        # is kept.  The instances the stop cut short record nothing.
        for fut, job in futures.items():
            if fut not in recorded and fut.done() and not fut.cancelled() and fut.exception() is None:
                record(job, fut.result())
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def run_cluster(client, todo, record):
    from distributed import Event, Variable, as_completed
    run_id = f"quillon-batch-{uuid.uuid4().hex}"
    # One graph of independent tasks: the scheduler holds them back and hands
    # each to the next free worker thread, in order.
    futures = client.map(cluster.batch_task, todo, [run_id] * len(todo),
                         key=[f"{run_id}-{i}" for i in range(len(todo))], pure=False)
    pending = {fut.key: job for fut, job in zip(futures, todo)}
    done = as_completed(futures)
    try:
        for fut in done:
            job = pending.pop(fut.key)
            try:
                result = fut.result()
            except Exception as e:
                if type(e).__name__ != "KilledWorker":
                    raise
                result = cluster.lost_result("its Dask workers kept dying while solving it")
            fut.release()
            record(job, result)
            Event(f"{run_id}/claim/{job['path']}", client=client).clear()
            Variable(cluster.kept_result_name(run_id, job), client=client).delete()
    except BaseException:
        Event(f"{run_id}/stop", client=client).set()
        client.cancel(list(done.futures))
        raise


def error(code, message):
    return fail(code, f"quillon-native batch: {message}")


def check_usage(args, jobs):
    """What the run needs, checked before anything is created: returns the solver command."""
    if not jobs and not args.export:
        raise UsageError("nothing to do: give instances to solve or --export FILE")
    solver = shlex.split(args.solver) if args.solver else None
    if solver is not None and not (solver and shutil.which(solver[0])):
        raise UsageError(f"--solver: no such command {args.solver!r}")
    if args.config:
        from quillon_native_cli.configs import CONFIGS
        if args.config not in CONFIGS and args.config != "auto":
            raise UsageError(f"--config: unknown configuration {args.config!r}; known: {', '.join(CONFIGS)}")
    if args.retry and not jobs:
        raise UsageError("--retry needs instances to solve")
    return solver


def run(args):
    try:
        jobs = gather(args.inputs)
        solver = check_usage(args, jobs)
        refused = args.export and refuse_export(args.export, args.results, args.force)
        if refused:
            return error(*refused)
        if jobs and (args.scheduler or args.local_cluster):
            cluster.require_dask()
        store = Store(args.results) if jobs else open_existing(args.results)
    except InputError as e:
        return error(Exit.INPUT, e)
    except UsageError as e:
        return error(Exit.USAGE, e)
    except (StoreError, cluster.ClusterError) as e:
        return error(e.code, e)
    options = dict(seconds=args.seconds, memory=args.memory, check=args.check, config=args.config, solver=solver)
    try:
        if jobs:
            store.bind(options)
        code = batch(args, jobs, options, store) if jobs else Exit.DONE
        if args.export:
            n = store.export(args.export)
            print(f"{args.export}: {n} results written", file=sys.stderr)
        return code
    except StoreError as e:
        return error(e.code, e)
    except sqlite3.Error as e:
        return error(Exit.OUTPUT, f"{args.results}: {e}")
    except OSError as e:
        return error(Exit.OUTPUT, f"{e.filename or 'standard output'}: {e.strerror or e}")
    finally:
        store.close()


def batch(args, jobs, options, store):
    finished = store.finished(args.retry)
    todo = [dict(job, **options) for job in jobs if job["path"] not in finished]
    again = store.finished() - finished  # retried: their new row replaces the old one
    progress = Progress(len(jobs), len(jobs) - len(todo), args.quiet)
    ran = []  # the instances this invocation finished and recorded

    def record(job, result):
        if result["status"] != "interrupted":
            row = judge_row({k: job[k] for k in ("path", "name", "expected")}, result)
            store.record(row, replace=row["path"] in again)
            ran.append(row["path"])
            progress.update(row)

    start, interrupted = time.monotonic(), None
    try:
        with Signals():
            run_on(args, todo, record)
    except KeyboardInterrupt as e:
        interrupted = interrupt_code(e)
    except cluster.ClusterError as e:
        return error(e.code, e)
    finally:
        progress.close()
    paths = {job["path"] for job in jobs}
    rows = [r for r in store.rows() if r["path"] in paths]
    say(summary(rows, len(jobs), args.seconds, time.monotonic() - start, args.results, len(ran)))
    if interrupted:
        print(f"interrupted: {len(jobs) - len(rows)} instances left; the same command resumes the run",
              file=sys.stderr)
        return interrupted
    return verdict(rows)


def verdict(rows):
    """The exit code of a finished run: FAILED for a wrong answer, or when no instance got past `error`."""
    if any(r["wrong"] for r in rows):
        return Exit.FAILED
    if rows and all(r["status"] == "error" for r in rows):
        return error(Exit.FAILED, f"every instance ended in error, as {rows[0]['name']}: {rows[0]['detail']}")
    return Exit.DONE


def run_on(args, todo, record):
    """Solves `todo` on the cluster asked for, or on local threads."""
    if not (args.scheduler or args.local_cluster):
        return run_local(todo, args.jobs, record)
    with cluster.connect(args.scheduler, args.local_cluster) as client:
        try:
            run_cluster(client, todo, record)
        except (KeyboardInterrupt, sqlite3.Error):
            raise
        except Exception as e:  # a task that failed on its worker, not in its solver
            raise cluster.ClusterError(f"a Dask task failed: {type(e).__name__}: {e}") from None
