"""Fast, strict reading of DIMACS CNF files and of DRAT proofs.

Files are read in blocks of whole lines.  A block of plain numbers goes
through `bytes.split()` and one dictionary look-up per token (the dictionary
maps each distinct token to its internal literal and is filled on first
sight, so each distinct token is parsed and range-checked once); clauses are
cut out at the terminating zeros with `list.index`.  Lines with anything else
(comments, the header, a '%' end marker, junk) go through a line-by-line path
that knows its line numbers, so an error names the line where it is.

The native module `_scan`, when it is there, reads the blocks of numbers
instead: it accepts exactly what the Python loops accept, and returns None
for a block they would refuse, which then goes through them to raise their
error.
"""
import gc
import sys

try:
    from quillon_native_cli import _scan
except ImportError:  # not built (a build folder): the Python loops alone
    _scan = None

BLOCK = 1 << 16
END = -1        # token 0: end of a clause
DEL = -2        # token d in a text proof: a deletion follows
MAX_VAR = 2 ** 31 - 2
VAR_DIGITS = len(str(MAX_VAR))
NUMERIC = b"0123456789- \t\n\r\x0b\x0c"


def without_gc(read):
    """Runs the reader `read` with the cyclic collector paused.  Reading
    builds many lists and tuples, and never a reference cycle, which the
    collector would otherwise walk again at every generation threshold: 0.3 s
    of the 0.76 s it takes to read a 40 MB proof."""
    def paused(*args, **kwargs):
        if not gc.isenabled():
            return read(*args, **kwargs)
        gc.disable()
        try:
            return read(*args, **kwargs)
        finally:
            gc.enable()
    paused.__doc__ = read.__doc__
    return paused


def _is_int(t):
    """An optional minus sign and ASCII digits only."""
    return t.isdigit() or t[:1] == b"-" and t[1:].isdigit()



class InputError(Exception):
    """A problem with an input file: str() is "FILE:LINE: what" or "FILE: what"."""

    def __init__(self, path, line, what):
        self.path, self.line, self.what = path, line, what
        where = f"{path}:{line}" if line else f"{path}"
        super().__init__(f"{where}: {what}")


def number(token, limit=40):
    """A number token as text, cut short when it is very long."""
    if len(token) <= limit:
        return token.decode()
    return f"{token[:20].decode()}... ({len(token)} characters)"


def shown(token, limit=24):
    """A token as it can be printed: quoted, non-printable bytes as \\xNN."""
    cut = token[:limit]
    text = "".join(chr(b) if 32 <= b < 127 else f"\\x{b:02x}" for b in cut)
    return f"'{text}{'...' if len(token) > limit else ''}'"


def open_input(path):
    """A binary stream over `path` ('-': standard input), decompressing
    gzip, xz and bzip2 data recognised by their magic bytes."""
    name = "<stdin>" if path == "-" else path
    try:
        raw = sys.stdin.buffer if path == "-" else open(path, "rb")
    except IsADirectoryError:
        raise InputError(name, 0, "is a directory") from None
    except OSError as e:
        raise InputError(name, 0, e.strerror or str(e)) from None
    try:
        head = raw.peek(6)[:6] if hasattr(raw, "peek") else b""
    except OSError as e:
        raise InputError(name, 0, e.strerror or str(e)) from None
    if head.startswith(b"\x1f\x8b"):
        import gzip
        return gzip.GzipFile(fileobj=raw, mode="rb")
    if head.startswith(b"\xfd7zXZ\x00"):
        import lzma
        return lzma.LZMAFile(raw)
    if head.startswith(b"BZh"):
        import bz2
        return bz2.BZ2File(raw)
    return raw


def blocks(path, size=BLOCK, sep=b"\n", stream=None):
    """Yield (first_line_number, block) pieces that end at `sep` (whole lines; the
    line number stays 1 unless `sep` is a newline)."""
    stream = stream or open_input(path)
    name = "<stdin>" if path == "-" else path
    line = 1
    carry = b""
    try:
        while True:
            try:
                data = stream.read(size)
            except MemoryError:
                raise
            except Exception as e:  # EOFError, OSError, lzma.LZMAError, zlib.error ...
                what = "compressed data is truncated or corrupt"
                if isinstance(e, OSError) and e.strerror and type(e).__name__ != "BadGzipFile":
                    what = e.strerror
                raise InputError(name, 0, what) from None
            if not data:
                break
            data = carry + data
            cut = data.rfind(sep) + 1
            if cut == 0:
                carry = data
                continue
            carry = data[cut:]
            yield line, data[:cut]
            if sep == b"\n":  # binary blocks have no lines
                line += data.count(b"\n", 0, cut)
        if carry:
            yield line, carry
    finally:
        if stream is not getattr(sys.stdin, "buffer", None):
            stream.close()


def last_line(line0, block):
    """The number of the last non-blank line of a block whose first line is line0."""
    return line0 + block.rstrip().count(b"\n")


class Tokens:
    """Token -> internal literal cache shared by the two readers."""

    block = BLOCK
    scan = _scan

    def __init__(self, path, limit):
        self.name = "<stdin>" if path == "-" else path
        self.limit = limit              # largest variable accepted
        self.maxvar = 0
        self.cache = {b"0": END}
        self.get = self.cache.get
        self.lits = []                  # _scan's int object per internal literal (None: none kept)

    def bad(self, where_block, line0, token, what):
        import re
        pos = re.search(rb"(?<![^\s])" + re.escape(token) + rb"(?![^\s])", where_block)
        line = line0 + (where_block.count(b"\n", 0, pos.start()) if pos else 0)
        raise InputError(self.name, line, what)

    def map(self, block, line0, toks):
        vals = list(map(self.get, toks))
        if None in vals:
            cache = self.cache
            try:
                for t in set(toks).difference(cache):
                    cache[t] = self.decode(t)
            except ValueError:
                for t in toks:  # report the first bad token in file order
                    if t not in cache:
                        try:
                            cache[t] = self.decode(t)
                        except ValueError:
                            self.refuse(block, line0, t)
            vals = list(map(self.get, toks))
        return vals

    def decode(self, t):
        """The internal literal of token `t`; ValueError if it is none."""
        if not _is_int(t):
            raise ValueError(t)
        negative = t[:1] == b"-"
        digits = t[negative:].lstrip(b"0")
        if not digits:
            if negative:  # -0 is no literal, nor the end of a clause
                raise ValueError(t)
            return END
        if len(digits) > VAR_DIGITS:  # int() would refuse a very long one
            raise ValueError(t)
        v = int(digits)
        if v > self.limit:
            raise ValueError(t)
        if v > self.maxvar:
            self.maxvar = v
        return 2 * v - 2 + negative

    def refuse(self, block, line0, t):
        if not _is_int(t):
            self.bad(block, line0, t, f"unexpected {shown(t)}")
        if not t.lstrip(b"-0"):
            self.bad(block, line0, t, f"{shown(t)} is not a literal (0 ends a clause, and has no sign)")
        self.too_big(block, line0, t)

    def too_big(self, block, line0, t):
        self.bad(block, line0, t, f"literal {number(t)} is out of range")


class CnfReader(Tokens):
    """Feeds every clause (a list of internal literals) to `sink`.

    `on_header(nvars, nclauses)` is called when the header is read (relaxed
    mode without a header: before the first clause, with 0, 0).  Afterwards
    `nvars` is the variable count (header's, or in relaxed mode the larger of
    that and the largest variable met) and `nclauses` the clauses read."""

    def __init__(self, path, sink, on_header=None, relaxed=False):
        super().__init__(path, MAX_VAR)
        self.path, self.sink, self.on_header, self.relaxed = path, sink, on_header, relaxed
        self.header_line = 0
        self.declared_vars = self.declared_clauses = 0
        self.nclauses = 0
        self.tail = []
        self.tail_at = (0, b"")         # (first line, block) of the block that left the tail
        self.done = False
        self.native = None              # a _scan Runner or Formula that keeps the clauses natively

    @property
    def nvars(self):
        return max(self.declared_vars, self.maxvar)

    def too_big(self, block, line0, t):
        if self.header_line and not self.relaxed:
            self.bad(block, line0, t, f"literal {number(t)} exceeds the header's {self.declared_vars} variables")
        self.bad(block, line0, t, f"literal {number(t)} is out of range (largest variable {MAX_VAR})")

    @without_gc
    def read(self):
        for line0, block in blocks(self.path, self.block):
            junk = block.translate(None, NUMERIC)
            if junk:
                last = max(block.rfind(bytes((ch,))) for ch in set(junk))
                cut = block.find(b"\n", last) + 1 or len(block)
                self.lines(block[:cut], line0)
                if self.done:
                    break
                line0 += block.count(b"\n", 0, cut)
                block = block[cut:]
            if block:
                self.numbers(block, line0)
        self.finish()
        return self

    def lines(self, text, line0):
        pending, pending_line = [], 0
        for i, ln in enumerate(text.split(b"\n")):
            s = ln.strip()
            c0 = s[:1]
            if not s or c0 == b"c":
                continue
            if c0 in (b"p", b"%"):
                if pending:
                    self.numbers(b"\n".join(pending), pending_line)
                    pending = []
                if c0 == b"%":
                    self.done = True
                    return
                self.header(s, line0 + i)
                continue
            if not pending:
                pending_line = line0 + i
            elif pending_line + len(pending) != line0 + i:
                self.numbers(b"\n".join(pending), pending_line)
                pending, pending_line = [], line0 + i
            pending.append(ln)
        if pending:
            self.numbers(b"\n".join(pending), pending_line)

    def header(self, s, line):
        parts = s.split()
        if self.header_line:
            raise InputError(self.name, line, "second 'p' line")
        if self.nclauses or self.tail:
            raise InputError(self.name, line, "'p' line after the first clause")
        if len(parts) != 4 or parts[0] != b"p" or parts[1] != b"cnf" or not all(p.isdigit() for p in parts[2:]):
            raise InputError(self.name, line, f"bad header {shown(s, 40)}: expected 'p cnf VARIABLES CLAUSES'")
        if len(parts[3].lstrip(b"0")) > 18:
            raise InputError(self.name, line, f"header declares {number(parts[3])} clauses, more than any file holds")
        if len(parts[2].lstrip(b"0")) > VAR_DIGITS or int(parts[2]) > MAX_VAR:
            raise InputError(self.name, line, f"header declares {number(parts[2])} variables, more than the largest "
                             f"variable {MAX_VAR}")
        nv, nc = int(parts[2]), int(parts[3])
        self.header_line, self.declared_vars, self.declared_clauses = line, nv, nc
        if not self.relaxed:
            self.limit = nv
        if self.on_header:
            self.on_header(nv, nc, line)

    def numbers(self, block, line0):
        if self.scan and self.header_line and self.scanned(block, line0):
            return
        toks = block.split()
        if not toks:
            return
        vals = self.map(block, line0, toks)
        if not self.header_line:
            if not self.relaxed:
                lead = len(block) - len(block.lstrip())
                raise InputError(self.name, line0 + block.count(b"\n", 0, lead),
                                 "clause before the 'p cnf' header (use --relaxed to read files without one)")
            self.header_line = -1
            if self.on_header:
                self.on_header(0, 0, 0)
        sink = self.sink
        find = vals.index
        n = self.nclauses
        s = 0
        if self.tail:
            try:
                e = find(END)
            except ValueError:
                self.tail += vals
                return
            sink(self.tail + vals[:e])
            self.tail = []
            n += 1
            s = e + 1
        try:
            while True:
                e = find(END, s)
                sink(vals[s:e])
                n += 1
                s = e + 1
        except ValueError:
            pass
        self.nclauses = n
        if s < len(vals):
            self.tail = vals[s:]
            self.tail_at = (line0, block)

    def scanned(self, block, line0):
        """Hands the block to the native loops; False if they leave it to
        the Python loops."""
        if self.native is not None:
            got = self.native.feed(block, self.limit, self.tail)
        else:
            got = self.scan.cnf_numbers(block, self.limit, self.sink, self.tail, self.lits)
        if got is None:
            return False
        n, maxvar, tail = got
        self.maxvar = max(self.maxvar, maxvar)
        if tail and (n or not self.tail):
            self.tail_at = (line0, block)
        self.nclauses += n
        self.tail = tail
        return True

    def finish(self):
        if self.tail:
            if not self.relaxed:
                raise InputError(self.name, last_line(*self.tail_at), "last clause lacks its terminating 0")
            self.sink(self.tail)
            self.nclauses += 1
            self.tail = []
        if not self.header_line:
            if not self.relaxed:
                raise InputError(self.name, 0, "no 'p cnf' header (use --relaxed to read files without one)")
            if self.on_header:
                self.on_header(0, 0, 0)
        elif not self.relaxed and self.nclauses != self.declared_clauses:
            raise InputError(self.name, self.header_line,
                             f"header declares {self.declared_clauses} clauses, the file has {self.nclauses}")


def read_cnf(path, relaxed=False):
    """(nvars, clauses) of a DIMACS file, clauses over internal literals."""
    clauses = []
    r = CnfReader(path, clauses.append, relaxed=relaxed).read()
    return r.nvars, clauses
