"""Standard output and error for the commands: comment lines, the answer,
one-line errors, and a reader that went away (a closed pipe) taken calmly."""
import contextlib
import os
import signal
import sys


class Stop(BaseException):
    # SIGINT or SIGTERM arrived inside `stop_on_signals()`.
    def __init__(self, signum):
        self.signum = signum


@contextlib.contextmanager
def stop_on_signals():
    """Turn SIGINT and SIGTERM into a Stop exception for the duration."""
    def stop(signum, frame):
        raise Stop(signum)
    old = {s: signal.signal(s, stop) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for s, h in old.items():
            signal.signal(s, h)


class Output:
    def __init__(self, quiet=False):
        self.quiet = quiet
        self.closed = False

    def _write(self, text):
        if self.closed:
            return
        try:
            sys.stdout.write(text)
            sys.stdout.flush()
        except BrokenPipeError:
            self.closed = True
            # Nobody reads any more: send the rest, and the final flush, nowhere.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
        except (ValueError, AttributeError):  # started with standard output closed
            self.closed = True
        except UnicodeEncodeError:  # a file name that is not valid UTF-8
            sys.stdout.buffer.write(text.encode("utf-8", "backslashreplace"))
            sys.stdout.flush()

    def comment(self, text):
        if not self.quiet:
            self._write(f"c {text}\n")

    def line(self, text):
        self._write(text + "\n")

    def model(self, model, per_line=20):
        vals = [i if b else -i for i, b in enumerate(model, 1)]
        vals.append(0)
        lines = ["v " + " ".join(map(str, vals[k:k + per_line])) for k in range(0, len(vals), per_line)]
        self._write("\n".join(lines) + "\n")

    def error(self, text, code):
        try:
            sys.stderr.write(f"c error: {text}\n")
            sys.stderr.flush()
        except (OSError, ValueError):
            pass
        return code

    def done(self, code):
        return code
