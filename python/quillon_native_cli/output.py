"""Standard output of the commands: comment lines, the answer and the model.
A reader that went away (a closed pipe) is taken calmly; an output that
cannot be written (a full disk) ends the run with Exit.OUTPUT."""
import itertools
import sys

from quillon_native_cli.common import Exit, discard_stdout, fail


class Output:
    def __init__(self, quiet=False):
        self.quiet = quiet
        self.closed = False
        self.failure = None  # why standard output could not be written

    def _write(self, text):
        if self.closed:
            return
        try:
            sys.stdout.write(text)
            sys.stdout.flush()
        except BrokenPipeError:
            self.discard()
        except (ValueError, AttributeError):  # started with standard output closed
            self.closed = True
        except UnicodeEncodeError:  # a file name that is not valid UTF-8
            sys.stdout.buffer.write(text.encode("utf-8", "backslashreplace"))
            sys.stdout.flush()
        except OSError as e:
            self.failure = e.strerror or str(e)
            self.discard()

    def discard(self):
        self.closed = True
        discard_stdout()

    def comment(self, text):
        if not self.quiet:
            self._write(f"c {text}\n")

    def line(self, text):
        self._write(text + "\n")

    def model(self, model, per_line=20, lines_per_write=200):
        # In pieces: the text of a model of 50,000 variables would be the
        # largest thing the command ever holds.
        vals = itertools.chain((i if b else -i for i, b in enumerate(model, 1)), (0,))
        while piece := list(itertools.islice(vals, per_line * lines_per_write)):
            self._write("".join("v " + " ".join(map(str, piece[k:k + per_line])) + "\n"
                                for k in range(0, len(piece), per_line)))

    def done(self, code):
        """`code`, or Exit.OUTPUT if standard output could not be written."""
        if self.failure:
            return fail(Exit.OUTPUT, f"standard output: {self.failure}")
        return code
