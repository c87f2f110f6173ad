"""The results store of a batch run: one SQLite file (write-ahead log, one
row per instance, committed as the instance finishes).

A crash or an interrupt loses at most the instances that were still running,
and running the same command again resumes: finished rows are never run or
written again (unless `--retry` names their outcome).  A store belongs to one
set of run options; resuming with other options is refused rather than
mixing two runs in one file.  Closed, a store is one file again: the log is
folded back in and no -wal or -shm file stays beside it.
"""
import csv
import json
import os
import sqlite3
import stat
import urllib.parse

from quillon_native_cli.common import Exit

COLUMNS = ("path", "name", "expected", "answer", "status", "wrong", "seconds", "cpu", "exit_code",
           "checked", "detail", "host", "finished")
SCHEMA = """
create table if not exists meta (key text primary key, value text not null);
create table if not exists results (
    path text primary key, name text not null, expected text, answer text, status text not null,
    wrong integer not null, seconds real, cpu real, exit_code integer, checked text, detail text,
    host text, finished real not null);
"""
# SQLite's application id of a store (the header's own field for it): a
# database without it is another program's, unless it has exactly the tables
# above (a store made before stores were marked).
APPLICATION_ID = 0x716E6274
MAGIC = b"SQLite format 3\0"


class StoreError(Exception):
    """A store that cannot be used; `code` is the exit code to end with."""

    def __init__(self, message, code=Exit.INPUT):
        super().__init__(message)
        self.code = code


class Store:
    def __init__(self, path, readonly=False):
        """Opens (or creates) the store; `readonly` only reads, so it never waits on or locks out a writer."""
        self.path, self.readonly = path, readonly
        self.db = None
        try:
            head = sniff(path)
            if readonly:
                uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
                self.db = sqlite3.connect(uri, uri=True, timeout=30)
                self.claim(head)
                return
            self.db = sqlite3.connect(path, timeout=30)
            if not self.claim(head):  # a new store: marked and made at once
                self.db.executescript(f"begin; pragma application_id={APPLICATION_ID}; {SCHEMA} commit;")
            if self.db.execute("pragma journal_mode").fetchone()[0] != "wal":
                self.db.execute("pragma journal_mode=wal")
            self.db.execute("pragma synchronous=full")
        except (sqlite3.DatabaseError, StoreError) as e:
            if self.db is not None:
                self.db.close()
            if isinstance(e, StoreError):
                raise
            raise StoreError(f"{path}: cannot use this file as a results store ({e})") from None

    def claim(self, head):
        """Whether the database is a store of ours (False: an empty file, to
        be made one); raises StoreError for anything else, untouched."""
        if not head and not self.readonly:
            return False
        app = self.db.execute("pragma application_id").fetchone()[0]
        tables = {name: [c for (c,) in self.db.execute("select name from pragma_table_info(?)", (name,))]
                  for (name,) in self.db.execute("select name from sqlite_master where type='table'")}
        if app == APPLICATION_ID or app == 0 and tables == {"meta": ["key", "value"], "results": list(COLUMNS)}:
            return True
        raise StoreError(f"{self.path}: a database of another program, not a results store; left as it is")

    def close(self):
        if not self.readonly:
            try:  # back to a single file (not while a reader holds the store: then the log stays)
                self.db.execute("pragma journal_mode=delete")
            except sqlite3.Error:
                pass
        self.db.close()

    def options(self):
        row = self.db.execute("select value from meta where key='options'").fetchone()
        return json.loads(row[0]) if row else None

    def bind(self, options):
        """Ties the store to the run options, or refuses options that differ from its own."""
        old = self.options()
        if old is None:
            with self.db:
                self.db.execute("insert into meta values ('options', ?)", (json.dumps(options, sort_keys=True),))
        elif old != options:
            diff = ", ".join(f"{k} {old.get(k)!r} (now {options.get(k)!r})" for k in sorted(options)
                             if old.get(k) != options.get(k))
            raise StoreError(f"{self.path} holds a run with other options: {diff}; use another --results file",
                             Exit.USAGE)

    def finished(self, retry=()):
        """The paths of the finished instances, but those whose status is in `retry`."""
        return {path for path, status in self.db.execute("select path, status from results") if status not in retry}

    def record(self, row, replace=False):
        """Adds one finished instance; a second result for the same path is
        ignored, or with `replace` (a retried instance) takes the first one's place."""
        with self.db:
            self.db.execute(f"insert or {'replace' if replace else 'ignore'} into results ({', '.join(COLUMNS)}) "
                            f"values ({', '.join('?' * len(COLUMNS))})", [row.get(c) for c in COLUMNS])

    def rows(self):
        cur = self.db.execute(f"select {', '.join(COLUMNS)} from results order by finished, path")
        return [dict(zip(COLUMNS, r)) for r in cur]

    def export(self, path):
        """Writes the rows to `path` (.csv or .json) through a temporary file,
        so a failed export leaves an earlier one whole."""
        rows = self.rows()
        part = f"{path}.part{os.getpid()}"
        try:
            with open(part, "w", newline="") as f:
                if path.lower().endswith(".json"):
                    json.dump({"options": self.options(), "results": rows}, f, indent=1)
                    f.write("\n")
                else:
                    writer = csv.DictWriter(f, COLUMNS, lineterminator="\n")
                    writer.writeheader()
                    writer.writerows(rows)
            os.replace(part, path)
        finally:
            if os.path.exists(part):
                os.unlink(part)
        return len(rows)


EXPORTS = (".csv", ".json")


def refuse_export(path, store, force=False):
    """Why the results must not be exported to `path`, as (exit code, message),
    or None: only .csv and .json, never the store itself, and nothing but an
    earlier export of the same kind is overwritten without `force`."""
    if same_file(path, store):
        return Exit.USAGE, f"--export {path}: that is the results store"
    ext = os.path.splitext(path)[1].lower()
    if ext not in EXPORTS:
        return Exit.USAGE, f"--export {path}: the name must end in .csv or .json"
    if not os.path.lexists(path):
        folder = os.path.dirname(path) or "."
        return None if os.path.isdir(folder) else (Exit.OUTPUT, f"{path}: No such file or directory")
    if not is_regular(path):
        return Exit.USAGE, f"--export {path}: not a regular file, not written (an export replaces a regular file)"
    if not force and not earlier_export(path, ext):
        return Exit.USAGE, f"--export {path}: not an earlier {ext[1:]} export of results, not overwritten " \
            "(--force overwrites it)"
    return None


def same_file(a, b):
    """Whether the names `a` and `b` are one file (also through links), or will be."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def is_regular(path):
    """Whether `path` is a regular file (also through links)."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


CSV_HEAD = (",".join(COLUMNS) + "\n").encode()
JSON_HEAD, JSON_RESULTS, JSON_TAIL = b'{\n "options": ', b',\n "results": [', b"\n}\n"


def earlier_export(path, ext, limit=1 << 16):
    """Whether `path` holds what export() writes for `ext`, told from its
    first and last bytes (a regular file only): the csv header line, or the
    json object's start, its options and its end."""
    try:
        got = read_regular(path, limit, len(JSON_TAIL))
    except OSError:
        return False
    if got is None:
        return False
    head, tail = got
    if ext == ".csv":
        return head.startswith(CSV_HEAD)
    options, found, _ = head.removeprefix(JSON_HEAD).partition(JSON_RESULTS)
    try:
        options = json.loads(options) if head.startswith(JSON_HEAD) and found else False
    except ValueError:
        return False
    return (options is None or isinstance(options, dict)) and tail == JSON_TAIL


def sniff(path):
    """The first bytes of an existing store, or b"" for none or an empty
    file; raises StoreError for anything that is not an SQLite database in
    a regular file (read no further than its header)."""
    try:
        head = read_regular(path, len(MAGIC))
    except FileNotFoundError:
        return b""
    except OSError as e:
        raise StoreError(f"{path}: {e.strerror}") from None
    if head is None or head and head != MAGIC:
        raise StoreError(f"{path}: not a results store")
    return head


def open_existing(path):
    """Opens a store that must already exist (for plotting and exporting)."""
    if not sniff(path):
        raise StoreError(f"{path}: {'not a results store' if os.path.lexists(path) else 'No such file or directory'}")
    return Store(path, readonly=True)


def read_regular(path, size, tail=0):
    """The first `size` bytes of `path` (with `tail`: and its last `tail`
    bytes), or None when it is not a regular file: a device, a pipe or a
    folder is never read (nor waited on when opened)."""
    if not stat.S_ISREG(os.stat(path).st_mode):
        return None
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):  # replaced in between
            return None
        head = os.pread(fd, size, 0)
        return (head, os.pread(fd, tail, max(0, info.st_size - tail))) if tail else head
    finally:
        os.close(fd)
