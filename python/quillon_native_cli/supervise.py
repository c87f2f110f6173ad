"""Running the search in a process that can be stopped at any moment.

The command searches in the search program (native.SearchProcess): it
searches and reports over a pipe (progress after every slice, then its
answer), while the command waits, prints progress lines, and on Ctrl-C,
SIGTERM or the time limit stops or kills it and reports what it has heard
so far.
"""
import os
import select
import signal
import struct
import time

_LEN = struct.Struct("<I")

# Seconds a stopped child has to flush its proof, report and end by itself
# before it is killed (a native search stops at its next conflict).
STOP_GRACE = 1.0


class Process:
    """A search process that reports over the pipe `fd`: the parent iterates
    its messages (poll), asks it to stop, kills and reaps it."""

    def __init__(self, pid, fd):
        self.pid, self.fd = pid, fd
        self.buf = bytearray()
        self.status = None
        self.stop_by = None  # after stop(grace): when the child is killed if still running

    def take(self):
        """The whole messages at the front of `buf`, removed from it."""
        raise NotImplementedError

    def poll(self, timeout, wake):
        """Messages that arrived within `timeout` seconds (or until `wake`, a
        descriptor or None, became readable); None at the end of the stream."""
        ready, _, _ = select.select([self.fd] + ([wake] if wake is not None else []), [], [], max(timeout, 0))
        if self.fd not in ready:
            return []
        data = os.read(self.fd, 1 << 20)
        if not data:
            return None
        self.buf += data
        return self.take()

    def stop(self, grace):
        """Asks the child to stop: SIGTERM, and `grace` seconds to report and
        end before kill(); with no grace, kill() at once.  True while the
        caller is to go on reading its messages."""
        if grace <= 0 or self.status is not None:
            self.kill()
            return False
        try:
            os.kill(self.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        self.stop_by = time.monotonic() + grace
        return True

    def kill(self):
        if self.status is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.reap()

    def reap(self):
        if self.status is None:
            _, self.status = os.waitpid(self.pid, 0)
            os.close(self.fd)


def seconds_left(deadline):
    """Seconds until the monotonic `deadline` (0 once past), None without one."""
    return None if deadline is None else max(0.0, deadline - time.monotonic())


def in_slices(size, limit, deadline, solve, conflicts, report, stopped=lambda: False):
    """Searches through `solve(k, seconds)` in slices of `size` conflicts (0:
    one call), `limit` conflicts in all (None: no limit) and up to the
    monotonic `deadline` (None: none); calls `report()` after each slice left
    without an answer.  Counts what each slice used (`conflicts()`), which may
    pass what it asked for.  Returns the answer, or None."""
    def remaining():
        return seconds_left(deadline)

    if size == 0:
        return solve(limit, remaining())
    left = limit
    while True:
        before = conflicts()
        result = solve(size if left is None else min(size, left), remaining())
        if result is not None or stopped():
            return result
        report()
        if left is not None:
            left -= conflicts() - before
            if left <= 0:
                return None
        if deadline is not None and time.monotonic() >= deadline:
            return None
