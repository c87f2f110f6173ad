"""The results store of a batch run: one SQLite file (write-ahead log, one
row per instance, committed as the instance finishes).

A crash or an interrupt loses at most the instances that were still running,
and running the same command again resumes: finished rows are never run or
written again.  A store belongs to one set of run options; resuming with
other options is refused rather than mixing two runs in one file.
"""
import csv
import json
import os
import sqlite3
import urllib.parse

from quillon_native_cli.common import Exit

COLUMNS = ("path", "name", "expected", "answer", "status", "wrong", "seconds", "cpu", "exit_code",
           "checked", "detail", "host", "finished")
SCHEMA = """
create table if not exists meta (key text primary key, value text not null);
create table if not exists results (
    path text primary key, name text not null, expected text, answer text, status text not null,
    wrong integer not null, seconds real, cpu real, exit_code integer, checked text, detail text,
    host text, finished real not null)
"""


class StoreError(Exception):
    """A store that cannot be used; `code` is the exit code to end with."""

    def __init__(self, message, code=Exit.INPUT):
        super().__init__(message)
        self.code = code


class Store:
    def __init__(self, path, readonly=False):
        """Opens (or creates) the store; `readonly` only reads, so it never waits on or locks out a writer."""
        self.path = path
        try:
            if readonly:
                uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
                self.db = sqlite3.connect(uri, uri=True, timeout=30)
                self.db.execute("select 1 from results limit 1")
                return
            self.db = sqlite3.connect(path, timeout=30)
            if self.db.execute("pragma journal_mode").fetchone()[0] != "wal":
                self.db.execute("pragma journal_mode=wal")
            self.db.execute("pragma synchronous=full")
            if not self.db.execute("select 1 from sqlite_master where name='results'").fetchone():
                with self.db:
                    self.db.executescript(SCHEMA)
        except sqlite3.DatabaseError as e:
            raise StoreError(f"{path}: cannot use this file as a results store ({e})") from None

    def close(self):
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

    def finished(self):
        return {row[0] for row in self.db.execute("select path from results")}

    def record(self, row):
        """Adds one finished instance; a second result for the same path is ignored."""
        with self.db:
            self.db.execute(f"insert or ignore into results ({', '.join(COLUMNS)}) values "
                            f"({', '.join('?' * len(COLUMNS))})", [row.get(c) for c in COLUMNS])

    def rows(self):
        cur = self.db.execute(f"select {', '.join(COLUMNS)} from results order by finished, path")
        return [dict(zip(COLUMNS, r)) for r in cur]

    def export(self, path):
        rows = self.rows()
        with open(path, "w", newline="") as f:
            if path.lower().endswith(".json"):
                json.dump({"options": self.options(), "results": rows}, f, indent=1)
                f.write("\n")
            else:
                writer = csv.DictWriter(f, COLUMNS, lineterminator="\n")
                writer.writeheader()
                writer.writerows(rows)
        return len(rows)


def open_existing(path):
    """Opens a store that must already exist (for plotting and exporting)."""
    try:
        with open(path, "rb") as f:
            if f.read(16) != b"SQLite format 3\0":
                raise StoreError(f"{path}: not a results store")
    except OSError as e:
        raise StoreError(f"{path}: {e.strerror}") from None
    return Store(path, readonly=True)
