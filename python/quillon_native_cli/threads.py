"""`solve --threads N`: N sequential portfolios racing on threads.

Each thread runs a plan of its own (strategy.Plan: members taking turns in
conflict slices) over native runners, which search without holding the
interpreter, so the threads use a core each.  Within a thread conflicts
decide everything, as in the one-thread strategy; which thread answers
first is decided by time, and the run says so.  Each member streams its
proof to a file of its own; the winner's becomes the proof.
"""
import time

from quillon_native_cli import native, supervise

# Thread 1 is the default configuration alone, in the slices of `solve
# --config default`: it searches exactly as that command does (and keeps the
# random families' lead).  The other threads' plans come from replaying
# races on runs of every configuration measured in slices
# (bench/threads_sim.py; the slice size is part of a search).  Thread 2 is
# glucose-random twice: in 2000-conflict slices alone for its first 40000
# conflicts (how it solves the sorting networks, at about 27000), then in
# turns with a second glucose-random in 30000-conflict slices (how it solves
# the factoring miters, at about 157000), four slices of that one to one of
# the first, doubling every round.  Thread 3 adds glucose in 30000-conflict
# slices.  Each entry is strategy.Plan's fields (made on use, so that a run
# without threads never imports the strategy).
THREAD_PLANS = [
    dict(members=("default",), weights=(1,), growth=1.0, unit=20000),
    dict(members=("glucose-random", "glucose-random"), weights=(1, 4), growth=2.0, unit=2000, head=20,
         units=(2000, 30000)),
    dict(members=("glucose",), weights=(1,), growth=1.0, unit=30000),
]
MAX_THREADS = len(THREAD_PLANS)


def plans(n):
    """The plans of `--threads n`, one per thread."""
    from quillon_native_cli.strategy import Plan
    return [Plan(**fields) for fields in THREAD_PLANS[:n]]


def describe(plan):
    """What one thread runs, for the run's c lines."""
    if len(plan.members) == 1:
        return f"{plan.members[0]} in slices of {plan.unit} conflicts"
    return plan.schedule()


class Race:
    """The threads of one run: the first answer wins and stops the others."""

    def __init__(self, formula, plans, files, deadline, report):
        self.formula, self.plans, self.files = formula, plans, files
        self.deadline, self.report = deadline, report
        import threading
        self.lock = threading.Lock()
        self.runs = [None] * len(plans)
        self.cpu = [0.0] * len(plans)
        self.counts = [{} for _ in plans]  # each thread's counters at its last slice end
        self.winner = None  # (thread index, Outcome)
        self.error = None
        self.index = {}  # driver -> its proof file's index
        self.next_file = 0

    def open_member(self, nvars, options, dest, name=""):
        with self.lock:
            i = self.next_file
            self.next_file += 1
        d = native.open_native_driver(nvars, options, self.files.dest(i) if self.files else None, name)
        self.index[d] = i
        return d

    def remaining(self):
        return supervise.seconds_left(self.deadline)

    def on_slice(self, run, member):
        # A thread reads only its own runners: the others may be searching.
        counts = {}
        for d in run.drivers:
            for k, v in (d.stats() if d is not None else {}).items():
                counts[k] = counts.get(k, 0) + v
        with self.lock:
            self.counts[self.runs.index(run)] = counts
            self.report(self)
        if native.stop_requested():
            raise native.Stopped()

    def thread(self, t):
        try:
            from quillon_native_cli import strategy
            run = self.runs[t] = strategy.Portfolio(self.formula, self.plans[t], None, open=self.open_member)
            try:
                out = run.run(None, self.remaining, self.on_slice)
            except native.Stopped:
                out = run.outcome(None, None) if any(run.drivers) else None
            if out is not None and out.answer is not None:
                with self.lock:
                    if self.winner is None:
                        self.winner = (t, out)
                        native.request_stop()
        except BaseException as e:  # reported by the search process; the others stop
            with self.lock:
                self.error = self.error or e
            native.request_stop()
        finally:
            self.cpu[t] = time.thread_time()

    def run(self):
        import threading
        workers = [threading.Thread(target=self.thread, args=(t,), name=f"search-{t + 1}")
                   for t in range(len(self.plans))]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        if self.error is not None:
            raise self.error

    def drivers(self):
        return [d for run in self.runs if run is not None for d in run.drivers if d is not None]

    def stats(self):
        """Every thread's counters at its last slice end, summed (progress lines)."""
        out = {}
        for counts in self.counts:
            for k, v in counts.items():
                out[k] = out.get(k, 0) + v
        return out


class ThreadsWork:
    """`solve --threads N` in the search process (what solve.Work is for one
    thread); everything it says goes over `ch`."""

    def __init__(self, s):
        self.s = s
        self.args = s.args

    def run(self, ch):
        s = self.s
        native.stop_on_signals()
        t0 = time.monotonic()
        chosen = plans(self.args.threads)
        ch.send("plan", f"threads {len(chosen)}, racing (the first answer in time wins): "
                + "; ".join(f"thread {t + 1}: {describe(p)}" for t, p in enumerate(chosen)))
        from quillon_native_cli.driver import Formula

        def report(race):
            st = race.stats()
            st["seconds"] = time.monotonic() - t0
            ch.send("progress", st)

        race = Race(Formula(s.nvars, s.flat), chosen, s.proof_files, s.deadline, report)
        race.run()
        if race.winner is not None:
            t, out = race.winner
            kept = out.winner
            ch.send("comment", f"thread {t + 1} ({kept.name}) answered first; CPU seconds by thread: "
                    + ", ".join(f"{x:.2f}" for x in race.cpu) + "; a race is decided by time, another run may "
                    "end otherwise")
        else:
            t, out, kept = None, None, max(race.drivers(), key=lambda d: d.conflicts(), default=None)
        stats = dict(kept.stats() if kept is not None else {}, seconds=time.monotonic() - t0)
        stats["all_conflicts"] = sum(d.conflicts() for d in race.drivers())
        answer = out.answer if out is not None else None
        model = bytes(out.model) if answer else None
        ch.send("answer", answer, stats, model, kept.name if answer is not None else None)
        steps = None
        if s.proof_fh and kept is not None:
            try:
                steps = kept.finish_proof()
            except OSError as e:
                steps = e
        for run in race.runs:
            if run is not None:
                run.finish(None)
        if s.proof_fh:
            if kept is None:
                ch.send("proof-failed", "no search started")
                return
            ch.send("comment", f"proof of {kept.name}")
            native.send_kept(ch, s.proof_files, race.index[kept], s.proof_fh, steps)
