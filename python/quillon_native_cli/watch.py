"""The command's side of a search: the search program's messages (as
native.SearchProcess decodes them) turned into the lines shown while it
runs, a progress line every PROGRESS_EVERY seconds (after every slice with
-v), Ctrl-C, SIGTERM and the time limit turned into a stop, and the
counters shown at its end."""
import time

from quillon_native_cli import stats
from quillon_native_cli.common import Signals
from quillon_native_cli.supervise import STOP_GRACE

PROGRESS_EVERY = 2.0
TIME_GRACE = 0.5  # seconds past the deadline before the search is stopped from here


class Outcome:
    """What a search reported: answer True, False or None; model bytes after
    True; the counters of its answer (or of its last progress); the member
    that answered; the proof's steps or error; the search's own error; the
    stop signal caught and whether the time limit ran out."""

    def __init__(self):
        self.answer = self.model = self.winner = self.proof_steps = self.proof_error = self.error = None
        self.answered = self.timed_out = False
        self.caught = 0
        self.stats = {}


class Watch:
    def __init__(self, proc, out, deadline, started, verbose):
        self.proc, self.out, self.deadline, self.started, self.verbose = proc, out, deadline, started, verbose
        self.got = Outcome()
        self.next_progress = time.monotonic() + PROGRESS_EVERY
        self.last_seen = None

    def run(self):
        """Follows the search to its end; the Outcome."""
        with Signals(raising=False) as sig:
            while self.step(sig):
                pass
            self.proc.reap()
        return self.got

    def step(self, sig):
        """Takes what came within the next wait; False once the search is over."""
        got, proc, now = self.got, self.proc, time.monotonic()
        wait = self.next_progress - now
        if self.deadline is not None and not got.answered:
            wait = min(wait, self.deadline + TIME_GRACE - now)
        if proc.stop_by is not None:
            wait = min(wait, proc.stop_by - now)
        msgs = proc.poll(wait, None if got.caught else sig.rfd)
        if msgs is None:
            return False
        for kind, *rest in msgs:
            self.take(kind, rest)
        if sig.caught and not got.caught:
            got.caught = sig.caught
            return proc.stop(STOP_GRACE)
        now = time.monotonic()
        if not (got.answered or got.timed_out) and self.deadline is not None and now >= self.deadline + TIME_GRACE:
            got.timed_out = True
            return proc.stop(STOP_GRACE)
        if proc.stop_by is not None and now >= proc.stop_by:
            proc.kill()
            return False
        if now >= self.next_progress:
            if not self.verbose or self.last_seen is None:
                self.progress()
            self.next_progress = now + PROGRESS_EVERY
        return True

    def take(self, kind, rest):
        got = self.got
        if kind == "progress":
            got.stats, self.last_seen = rest[0], time.monotonic()
            if self.verbose:
                self.progress()
                self.next_progress = time.monotonic() + PROGRESS_EVERY
        elif kind == "comment":
            self.out.comment(rest[0])
        elif kind == "prep":
            prep = rest[0]
            self.out.comment("preprocessing: " + ", ".join(f"{prep[k]} {label}" for k, label in stats.PREPROCESSOR)
                             + f" in {prep['seconds']:.3f} s")
        elif kind == "answer":
            got.answer, got.stats, got.model, got.winner = rest
            got.answered = True
        elif kind == "winner":
            got.winner = rest[0]
        elif kind == "proof":
            got.proof_steps = rest[0]
        elif kind == "proof-failed":
            got.proof_error = got.proof_error or rest[0]
        elif kind == "error":
            got.error = rest[0]

    def progress(self):
        st = self.got.stats
        elapsed = time.monotonic() - self.started
        if not st:
            self.out.comment(f"{elapsed:8.1f} s  searching")
            return
        c = st.get("conflicts", 0)
        rate = c / max(st.get("seconds", 0.0), 1e-9)
        self.out.comment(f"{elapsed:8.1f} s  {c} conflicts ({rate:.0f}/s)  {st.get('restarts', 0)} restarts  "
                         f"{st.get('learned', 0)} learned")


def stat_lines(out, st, winner, load_seconds, started, max_conflicts):
    """The counters of a search's answer (`st`), the member that answered and the times."""
    for k, label in stats.SOLVER:
        if k in st:
            out.comment(f"{label:<17} {st[k]}")
    if winner:
        out.comment(f"winner            {winner}")
    if "all_conflicts" in st:
        out.comment(f"{'all conflicts':<17} {st['all_conflicts']}")
    out.comment(f"{'read seconds':<17} {load_seconds:.3f}")
    if "seconds" in st:
        out.comment(f"{'search seconds':<17} {st['seconds']:.3f}")
    out.comment(f"{'total seconds':<17} {time.monotonic() - started:.3f}")
    over = st.get("all_conflicts", st.get("conflicts", 0)) - (max_conflicts or 0)
    if max_conflicts is not None and over > 0:
        out.comment(f"the solver's last call passed --max-conflicts by {over}")
