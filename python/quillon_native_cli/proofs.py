"""DRAT proofs on files: text and binary writers, and a reader for both.

Text: one step per line, "d " before a deletion, literals in DIMACS form,
ending with 0.  Binary (the encoding drat-trim reads): a byte 'a' or 'd',
each literal as the unsigned variable-length number 2*|lit| + (lit < 0)
(seven bits per byte, low bits first, high bit set on every byte but the
last), then a 0 byte.  Comment lines ("c ...") are allowed in text proofs.
"""
import os

from quillon_native_cli.common import Exit
from quillon_native_cli.dimacs import (DEL, END, NUMERIC, InputError, Tokens, blocks, last_line, open_input, shown,
                                       without_gc)

_TEXT_BYTES = frozenset(b"\n\r -0123456789cd")


def _varint(code):
    out = bytearray()
    while code > 127:
        out.append(code & 127 | 128)
        code >>= 7
    out.append(code)
    return bytes(out)


class ProofWriter:
    """Writes steps (kind, DIMACS literals) to a binary file object; `kind`
    is "a"/"d" (proof_steps()) or a deletion flag (solve_portfolio)."""

    def __init__(self, fh, binary=False):
        self.fh, self.binary = fh, binary
        self.codes = {}
        self.steps = 0

    def write(self, steps):
        out = []
        emit = out.append
        if self.binary:
            codes = self.codes
            get = codes.get
            for kind, lits in steps:
                enc = list(map(get, lits))
                if None in enc:
                    for d in lits:
                        if d not in codes:
                            codes[d] = _varint(2 * abs(d) + (d < 0))
                    enc = list(map(get, lits))
                emit(b"d" if kind is True or kind == "d" else b"a")
                emit(b"".join(enc))
                emit(b"\0")
                if len(out) > 30000:
                    self.fh.write(b"".join(out))
                    out.clear()
        else:
            for kind, lits in steps:
                text = " ".join(map(str, lits))
                if kind is True or kind == "d":
                    emit("d " + text + " 0\n" if text else "d 0\n")
                else:
                    emit(text + " 0\n" if text else "0\n")
                if len(out) > 10000:
                    self.fh.write("".join(out).encode())
                    out.clear()
        self.fh.write(b"".join(out) if self.binary else "".join(out).encode())
        self.steps += len(steps)


def refuse_target(path, inputs, force=False):
    """Why a proof must not be written to `path`, as (exit code, message),
    or None.  Nothing is created or opened for writing here: a run asks
    before it reads its input, and opens the proof only once it has."""
    if not os.path.lexists(path):
        folder = os.path.dirname(path) or "."
        if not os.path.isdir(folder):
            return Exit.OUTPUT, f"{path}: No such file or directory"
        return None if os.access(folder, os.W_OK) else (Exit.OUTPUT, f"{path}: Permission denied")
    for name in inputs:
        try:
            if name != "-" and os.path.samefile(name, path):
                return Exit.USAGE, f"{path}: the proof would overwrite the input {name}"
        except OSError:  # an input that is not there: its reader says so
            pass
    if os.path.isdir(path):
        return Exit.OUTPUT, f"{path}: Is a directory"
    if not force and os.path.isfile(path) and holds_cnf(path):
        return Exit.USAGE, f"{path}: most likely an existing CNF formula, not overwritten (--force overwrites it)"
    return None


LAST_RESORT = "/tmp"  # for the solvers' proofs when $TMPDIR takes none


class MemberFolder:
    """A new folder of this process for the proofs of solvers that search at
    once, of which one becomes the proof at `target`: beside a regular
    target, else (or when that folder takes no new one) in $TMPDIR or /tmp.
    For the null device nothing need be kept: each solver's file is a link
    to it, so the proofs go straight there.  `note` says where the proofs of
    another target that is not a regular file (nor one still to be made) are
    kept meanwhile (or is "").
    Raises OSError, as what a new folder met in each place tried."""

    def __init__(self, target):
        import stat
        try:
            info = os.stat(target)
        except OSError:
            info = None
        regular = info is None or stat.S_ISREG(info.st_mode)  # or a file still to be made
        self.discard = info is not None and not regular and os.path.samefile(target, os.devnull)
        places = [os.path.dirname(os.path.abspath(target))] if regular else []
        places += [p for p in (os.environ.get("TMPDIR"), LAST_RESORT) if p and p not in places]
        failed = []
        for base in places:
            try:
                self.folder = new_folder(base)
                break
            except OSError as e:
                failed.append(f"{base}: {e.strerror or e}")
        else:
            raise OSError(f"no folder for the solvers' proofs ({'; '.join(failed)})")
        self.note = "" if regular or self.discard else \
            f"proof {target}: not a regular file; each solver's proof is kept in {self.folder} until the " \
            "winner's is copied there"

    def path(self, name):
        """The file of solver `name` (a link to the null device when discarding)."""
        path = os.path.join(self.folder, f"{name}.drat")
        if self.discard and not os.path.lexists(path):
            os.symlink(os.devnull, path)
        return path

    def remove(self):
        import shutil
        shutil.rmtree(self.folder, ignore_errors=True)  # links are removed, never followed


def new_folder(base):
    """A folder of this process's own in `base` (tempfile would cost 1.4 MB of resident memory)."""
    import time
    for attempt in range(100):
        folder = os.path.join(base, f".quillon-proofs-{os.getpid()}-{time.monotonic_ns()}-{attempt}")
        try:
            os.mkdir(folder, 0o700)
            return folder
        except FileExistsError:
            continue
    raise FileExistsError(f"{base}: no new folder in 100 tries")


def holds_cnf(path, limit=1 << 20):
    """Whether the file starts like a DIMACS formula: comment lines, then a
    'p cnf' header (in the first MiB, decompressed)."""
    try:
        stream = open_input(path)
        try:
            # An old proof is often large: most runs decide on its first block.
            head = stream.read(min(limit, 1 << 16))
            line = first_line(head, len(head) < min(limit, 1 << 16))
            if line is None and len(head) < limit:
                head += stream.read(limit - len(head))
                line = first_line(head, True)
        finally:
            stream.close()
    except (InputError, OSError, EOFError, ValueError):
        return False
    return bool(line) and line.split()[:2] == [b"p", b"cnf"]


def first_line(head, whole):
    """The first line of `head` that is neither blank nor a comment; b""
    if there is none, None if that depends on what follows the last (cut)
    line, unless `whole` says nothing follows."""
    pos = 0
    while pos <= len(head):
        end = head.find(b"\n", pos)
        if end < 0:
            if not whole:
                return None
            end = len(head)
        s = head[pos:end].strip()
        if s and not s.startswith(b"c"):
            return s
        pos = end + 1
    return b""


def is_binary(head):
    """drat-trim's test: a byte that cannot occur in a text proof (letters
    inside a leading comment line excepted) among the first ones."""
    if not head:
        return False
    comment = head[:2] == b"c "
    for i, c in enumerate(head[:12]):
        if c not in _TEXT_BYTES and (i < 2 or not comment or not 65 <= c <= 122):
            return True
    return False


class Stopped(Exception):
    """A read ended early, as ProofReader.stop() asked."""


class ProofReader(Tokens):
    """Reads a DRAT proof into check_proof's steps: (is_deletion, internal literals),
    or hands its blocks to `native` (a _scan ProofCheck), which checks the
    steps as they come and keeps none."""

    def __init__(self, path, native=None):
        super().__init__(path, 2 ** 31 - 2)
        self.path = path
        self.native = native
        self.steps = [] if native is None else native  # the slow paths append to it
        self.binary = False
        self.stopping = False

    def stop(self):
        """Asks a read running on another thread to end before its next
        block: it raises Stopped there."""
        self.stopping = True

    def blocks(self, sep, stream):
        for piece in blocks(self.path, self.block, sep, stream):
            if self.stopping:
                raise Stopped(self.name)
            yield piece

    @without_gc
    def read(self):
        stream = open_input(self.path)
        try:
            head = stream.peek(12)[:12] if hasattr(stream, "peek") else b""
        except (OSError, EOFError, ValueError):
            head = b""
        self.binary = is_binary(head)
        if self.binary:
            self.read_binary(stream)
        else:
            self.read_text(stream)
        return self

    # -- text ------------------------------------------------------------
    def read_text(self, stream):
        self.cache[b"d"] = DEL
        self.tail, self.tail_at = [], (0, b"")
        for line0, block in self.blocks(b"\n", stream):
            if self.scan and self.native is not None and self.native_text(block, line0):
                continue
            junk = block.translate(None, NUMERIC + b"d")
            if junk:
                last = max(block.rfind(bytes((ch,))) for ch in set(junk))
                cut = block.find(b"\n", last) + 1 or len(block)
                self.text_lines(block[:cut], line0)
                line0 += block.count(b"\n", 0, cut)
                block = block[cut:]
            if block:
                self.text_numbers(block, line0)
        if self.tail:
            raise InputError(self.name, last_line(*self.tail_at), "last step lacks its terminating 0")

    def text_lines(self, text, line0):
        pending, first = [], 0
        for i, ln in enumerate(text.split(b"\n")):
            s = ln.lstrip()
            if not s or s[:1] == b"c":
                if pending:
                    self.text_numbers(b"\n".join(pending), first)
                    pending = []
                continue
            if not pending:
                first = line0 + i
            pending.append(ln)
        if pending:
            self.text_numbers(b"\n".join(pending), first)

    def native_text(self, block, line0):
        """Whether the native check took the block's steps (it refuses, untouched, any block
        with comments or anything else it would not read as the other paths do)."""
        if block.isspace():  # no token: the unfinished step, if any, stays where it was
            return True
        tail = self.native.text(block, self.limit, self.tail)
        if tail is None:
            return False
        self.keep_tail(tail, line0, block)
        return True

    def keep_tail(self, tail, line0, block):
        """The unfinished step a block leaves, and where it was left."""
        self.tail = tail
        if tail:
            self.tail_at = (line0, block)

    def text_numbers(self, block, line0):
        if block.isspace():  # no token: the unfinished step, if any, stays where it was
            return
        if self.scan:
            if self.native is not None:
                if self.native_text(block, line0):
                    return
            else:
                tail = self.scan.drat_text(block, self.limit, self.steps, self.tail, self.lits)
                if tail is not None:
                    self.keep_tail(tail, line0, block)
                    return
        toks = block.split()
        vals = self.map(block, line0, toks)
        if self.tail:
            vals = self.tail + vals
            toks = [b""] * len(self.tail) + toks
            self.tail = []
        steps = self.steps
        add = steps.append
        find = vals.index
        s = dels = 0
        try:
            while True:
                e = find(END, s)
                if vals[s] == DEL:
                    add((True, vals[s + 1:e]))
                    dels += 1
                else:
                    add((False, vals[s:e]))
                s = e + 1
        except ValueError:
            pass
        if s < len(vals):
            self.keep_tail(vals[s:], line0, block)
            if self.tail[0] == DEL:
                dels += 1
        if vals.count(DEL) != dels:
            self.misplaced_d(block, line0)

    def misplaced_d(self, block, line0):
        at_start = True
        for i, ln in enumerate(block.split(b"\n")):
            for t in ln.split():
                if t == b"d" and not at_start:
                    raise InputError(self.name, line0 + i, "'d' inside a clause")
                at_start = t == b"0"
        raise InputError(self.name, line0, "'d' inside a clause")

    # -- binary ----------------------------------------------------------
    def read_binary(self, stream):
        token = None
        cache = {b"\0": END}
        get = cache.get
        steps = self.steps
        add = steps.append
        offset = 0
        for _, block in self.blocks(b"\0", stream):
            if self.native is not None and self.native.binary(block) is not None:
                offset += len(block)
                continue
            if self.native is None and self.scan and self.scan.drat_binary(block, steps, self.lits) is not None:
                offset += len(block)
                continue
            if token is None:
                import re
                token = re.compile(rb"[\x80-\xff]*[\x00-\x7f]|[\x80-\xff]+\Z").findall
            toks = token(block)
            vals = list(map(get, toks))
            if None in vals:
                for t in toks:
                    if t not in cache:
                        code = 0
                        for i, b in enumerate(t):
                            code |= (b & 127) << (7 * i)
                        cache[t] = code - 2 if 2 <= code < 2 ** 32 and t[-1] < 128 else None
                vals = list(map(get, toks))
            find = vals.index
            s = 0
            pos = offset
            try:
                while s < len(vals):
                    e = find(END, s)
                    kind = toks[s]
                    lits = vals[s + 1:e]
                    if kind not in (b"a", b"d") or None in lits:
                        self.bad_binary(toks, s, e, pos)
                    add((kind == b"d", lits))
                    s = e + 1
            except ValueError:
                raise InputError(self.name, 0, f"byte {offset + len(block)}: last step lacks its terminating 0 byte") from None
            offset += len(block)

    def bad_binary(self, toks, s, e, pos):
        at = pos + sum(map(len, toks[:s]))
        if toks[s] not in (b"a", b"d"):
            raise InputError(self.name, 0, f"byte {at}: step starts with {shown(toks[s])}, not 'a' or 'd'")
        raise InputError(self.name, 0, f"byte {at}: step with a malformed literal")
