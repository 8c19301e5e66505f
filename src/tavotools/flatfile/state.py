"""What a flatfile run has done, kept beside the output in an SQLite file:
each file read (path, size, modification time, and its error if any) and
each row computed.  Every task's results are committed in one transaction,
so a run stopped at any point (Ctrl-C, a killed process) keeps every row
finished so far, and the next run computes only new or changed files.
"""
from __future__ import annotations

import json
import os
import sqlite3

import numpy as np

from .schema import COMPONENTS

__all__ = ["State"]

#: Changes whenever the stored rows would no longer match what a run computes.
VERSION = "10"

#: The columns of a row that hold a file's path, shown as the run names the file.
FILE_COLUMNS = tuple(f"{c}_file" for c in COMPONENTS)

_TABLES = """
CREATE TABLE IF NOT EXISTS meta (name TEXT PRIMARY KEY, value TEXT);
-- status: 'row' (part of a stored row), 'error', or 'skipped' (no reader recognises it: a
-- failure when this run names it, see _STATUS), with the reason
-- paths, folders and sort keys are the bytes of the names (see _raw)
CREATE TABLE IF NOT EXISTS files (path BLOB PRIMARY KEY, size INTEGER, mtime INTEGER,
                                  status TEXT, reason TEXT);
CREATE TABLE IF NOT EXISTS recordings (id INTEGER PRIMARY KEY, dir BLOB, gkey TEXT,
                                       sortkey BLOB, text TEXT, floats BLOB, mask BLOB);
CREATE INDEX IF NOT EXISTS recordings_key ON recordings (dir, gkey);
CREATE INDEX IF NOT EXISTS recordings_order ON recordings (sortkey);
CREATE TABLE IF NOT EXISTS members (recording INTEGER, path BLOB);
CREATE INDEX IF NOT EXISTS members_path ON members (path);
CREATE INDEX IF NOT EXISTS members_recording ON members (recording);
"""


def _raw(name):
    """A path (or a sort key made of one) as the state stores it: its bytes.

    A file name need not be UTF-8 (Python keeps its other bytes as
    surrogates, which SQLite's text refuses); bytes sort as UTF-8 text does.
    """
    return os.fsencode(name)


def _name(raw):
    return os.fsdecode(raw)


def _code_points(value):
    """A name (its bytes) or a text as bytes that sort as Python sorts the text: UTF-32-BE,
    whose bytes compare as the code points do (a name's undecodable bytes as surrogates)."""
    text = os.fsdecode(value) if isinstance(value, bytes) else value
    return text.encode("utf-32-be", "surrogatepass")


class State:
    """The run state in the SQLite file `path`, for runs with the given `settings`.

    Stored results made with other settings (periods, processing, reading
    options) are dropped: `reset` tells whether that happened.
    """

    def __init__(self, path, settings):
        self.path = path
        self.db = sqlite3.connect(path, isolation_level=None)
        self.db.execute("PRAGMA journal_mode=WAL")
        # A commit survives a killed process (the write-ahead log is on disk);
        # only a power cut may lose the last few.
        self.db.execute("PRAGMA synchronous=NORMAL")
        self.db.create_function("code_points", 1, _code_points, deterministic=True)
        self.db.executescript(_TABLES)
        wanted = json.dumps({"version": VERSION, **settings}, sort_keys=True)
        row = self.db.execute("SELECT value FROM meta WHERE name = 'settings'").fetchone()
        self.reset = row is not None and row[0] != wanted
        with self.db:
            self.db.execute("BEGIN")
            if self.reset:
                for table in ("files", "recordings", "members"):
                    self.db.execute(f"DELETE FROM {table}")
            self.db.execute("INSERT OR REPLACE INTO meta VALUES ('settings', ?)", (wanted,))
        self.db.executescript("""
            CREATE TEMP TABLE scan (path BLOB PRIMARY KEY, dir BLOB, name BLOB, shown BLOB,
                                    size INTEGER, mtime INTEGER, explicit INTEGER,
                                    identity TEXT);
            -- One file reached by two paths (a link, a hard link) is read once, by the
            -- first: twice, its records would pair a horizontal with itself.
            CREATE UNIQUE INDEX temp.scan_identity ON scan (identity);
            CREATE TEMP TABLE todo (seq INTEGER PRIMARY KEY, path BLOB, dir BLOB, shown BLOB,
                                    explicit INTEGER);
        """)

    def close(self):
        self.db.close()

    # ---- the files of this run ----------------------------------------------------

    def add_scanned(self, entries):
        """Record files found by this run: (path, shown name, size, mtime, explicit,
        identity) tuples, `identity` (device, inode) or None.  A file found before,
        by this path or another, is kept as first found."""
        with self.db:
            self.db.execute("BEGIN")
            self.db.executemany(
                "INSERT OR IGNORE INTO scan VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                # As text: a device or inode number may pass SQLite's 63-bit integers.
                ((_raw(p), _raw(os.path.dirname(p)), _raw(os.path.basename(p)), _raw(shown),
                  size, mtime, explicit, identity and "%d:%d" % identity)
                 for p, shown, size, mtime, explicit, identity in entries))

    def count_scanned(self):
        """The number of distinct files found by this run."""
        return self.db.execute("SELECT count(*) FROM scan").fetchone()[0]

    def plan(self):
        """Forget what changed since the last run; returns the number of files to read.

        A file that changed or is gone takes with it every row it was part
        of, and the other files of those rows are read again.  So does a
        file of a stored row that is not recorded: a merge forgets its files
        until it is done, and one that never finished (a stopped run, a lost
        worker) leaves the other rows of those files behind, which nothing
        would remove when the file is gone or no longer holds them.
        """
        db = self.db
        with db:
            db.execute("BEGIN")
            # Keyed tables, and the rows found by joins rather than bound ids: a
            # moved or touched tree makes every file stale, and neither a scan
            # of `stale` per file nor one variable per row would scale to it.
            db.execute("CREATE TEMP TABLE stale (path BLOB PRIMARY KEY)")
            db.execute("CREATE TEMP TABLE fresh (path BLOB PRIMARY KEY)")
            db.execute("CREATE TEMP TABLE dead (id INTEGER PRIMARY KEY)")
            db.execute("INSERT OR IGNORE INTO fresh SELECT f.path FROM files f "
                       "LEFT JOIN scan s ON s.path = f.path "
                       "WHERE s.path IS NULL OR s.size IS NOT f.size OR s.mtime IS NOT f.mtime")
            db.execute("INSERT OR IGNORE INTO fresh SELECT m.path FROM members m "
                       "LEFT JOIN files f ON f.path = m.path WHERE f.path IS NULL")
            while True:
                # `fresh` holds the files newly found stale: only their rows can be new to drop.
                db.execute("INSERT OR IGNORE INTO stale SELECT path FROM fresh")
                db.execute("DELETE FROM dead")
                db.execute("INSERT OR IGNORE INTO dead SELECT recording FROM members "
                           "WHERE path IN (SELECT path FROM fresh)")
                db.execute("DELETE FROM fresh")
                if db.execute("SELECT count(*) FROM dead").fetchone()[0] == 0:
                    break
                db.execute("INSERT OR IGNORE INTO fresh SELECT path FROM members "
                           "WHERE recording IN (SELECT id FROM dead) "
                           "AND path NOT IN (SELECT path FROM stale)")
                db.execute("DELETE FROM recordings WHERE id IN (SELECT id FROM dead)")
                db.execute("DELETE FROM members WHERE recording IN (SELECT id FROM dead)")
            db.execute("DELETE FROM files WHERE path IN (SELECT path FROM stale)")
            for table in ("stale", "fresh", "dead"):
                db.execute(f"DROP TABLE {table}")
            db.execute("DELETE FROM todo")
            db.execute("INSERT INTO todo (path, dir, shown, explicit) "
                       "SELECT s.path, s.dir, s.shown, s.explicit "
                       "FROM scan s LEFT JOIN files f ON f.path = s.path WHERE f.path IS NULL "
                       "ORDER BY s.dir, s.name")
        return db.execute("SELECT count(*) FROM todo").fetchone()[0]

    def _paths(self, recordings):
        """The files of the rows `recordings` (ids)."""
        if not recordings:
            return []
        marks = ",".join("?" * len(recordings))
        return [r[0] for r in self.db.execute(
            f"SELECT DISTINCT path FROM members WHERE recording IN ({marks})", recordings)]

    def _drop(self, recordings, forget=True):
        """Delete rows and (with `forget`) forget their files, so that they are read
        again; returns the files."""
        db = self.db
        marks = ",".join("?" * len(recordings))
        paths = self._paths(recordings)
        db.execute(f"DELETE FROM recordings WHERE id IN ({marks})", recordings)
        db.execute(f"DELETE FROM members WHERE recording IN ({marks})", recordings)
        if forget:
            db.executemany("DELETE FROM files WHERE path = ?", ((p,) for p in paths))
        return paths

    def todo(self, chunk=1000):
        """The files to read, (path, shown name, directory, explicit), by directory and name."""
        seq = 0
        while True:
            page = self.db.execute("SELECT seq, path, shown, dir, explicit FROM todo "
                                   "WHERE seq > ? ORDER BY seq LIMIT ?", (seq, chunk)).fetchall()
            if not page:
                return
            seq = page[-1][0]
            for _, path, shown, directory, explicit in page:
                yield _name(path), _name(shown), _name(directory), bool(explicit)

    def entries(self, paths):
        """(path, shown name, explicit) of files of this run."""
        out = []
        for p in paths:
            row = self.db.execute("SELECT shown, explicit FROM scan WHERE path = ?",
                                  (_raw(p),)).fetchone()
            out.append((p, _name(row[0]), bool(row[1])) if row else (p, p, False))
        return out

    # ---- results ------------------------------------------------------------------

    def commit(self, result, waiting=None, pending=()):
        """Store a task's `Result` in one transaction.

        Returns the merges it calls for: (directory, key, paths) of recordings
        whose components came from different tasks, or whose key is among
        `waiting[directory]` (merges the caller holds back).  Their partial rows
        are not kept: the caller reads all their files again in one task.
        `pending` holds the files of the caller's merges not yet done: a row
        stored here leaves them unknown.
        """
        waiting = waiting or {}
        db = self.db
        merges = []
        forgotten = set()   # files of those merges: unknown until the merge stores them
        pending = {_raw(p) for p in pending}
        with db:
            db.execute("BEGIN")
            for status, items in (("error", result.errors), ("skipped", result.skipped)):
                db.executemany(
                    "INSERT OR REPLACE INTO files SELECT path, size, mtime, ?, ? FROM scan "
                    "WHERE path = ?", ((status, reason, _raw(path)) for path, reason in items))
            # A file the system would not let the task read fails in this run only: stored
            # with no time, it is stale to the next run, which reads it again.
            db.executemany(
                "INSERT OR REPLACE INTO files SELECT path, size, NULL, 'error', ? FROM scan "
                "WHERE path = ?", ((reason, _raw(path)) for path, reason in result.unread))
            rows = {}   # the rows of one key: a recording, or a set split into components
            for directory, key, sortkey, members, text, floats, mask in result.rows:
                rows.setdefault((_raw(directory), key), []).append(
                    (_raw(sortkey), [_raw(p) for p in members], text, floats, mask))
            for (directory, key), group in rows.items():
                paths = set().union(*(row[1] for row in group))
                found = [r[0] for r in db.execute(
                    "SELECT id FROM recordings WHERE dir = ? AND gkey = ?", (directory, key))]
                theirs = set(self._paths(found))
                if key in waiting.get(_name(directory), ()) or not theirs <= paths:
                    # Components of this recording came from other tasks: read them all
                    # again together, since together they may form other rows.
                    union = paths | set(self._drop(found))
                    forgotten |= paths
                    merges.append((_name(directory), key, [_name(p) for p in sorted(union)]))
                    continue
                if found:   # the same recording, computed again
                    self._drop(found, forget=False)
                for sortkey, members, text, floats, mask in group:
                    cur = db.execute(
                        "INSERT INTO recordings (dir, gkey, sortkey, text, floats, mask) "
                        "VALUES (?, ?, ?, ?, ?, ?)",
                        (directory, key, sortkey, json.dumps(text),
                         np.asarray(floats, "<f8").tobytes(), np.packbits(mask).tobytes()))
                    db.executemany("INSERT INTO members VALUES (?, ?)",
                                   ((cur.lastrowid, p) for p in members))
                db.executemany("INSERT OR REPLACE INTO files SELECT path, size, mtime, 'row', "
                               "NULL FROM scan WHERE path = ?", ((p,) for p in paths))
                forgotten |= paths & pending
            # Last: a file of a merge (this task's, or one still to run) that also holds a
            # row stored here stays unknown, or a run stopped before the merge would not
            # read it again for that recording.
            db.executemany("DELETE FROM files WHERE path = ?", ((p,) for p in forgotten))
        return merges

    # ---- what the outputs show ------------------------------------------------------

    def rows(self, n_floats):
        """Every row in output order: (text values, float values, float mask).

        Rows of one sort key (two stations of one file, the first component of each
        on the same channel) go by their recording's key: their ids tell only when
        each was stored, which depends on the batches and on earlier runs.  The
        rows of one key, a split set, are stored together, in reading order.
        """
        cur = self.db.execute(
            "SELECT text, floats, mask FROM recordings ORDER BY sortkey, gkey, id")
        while True:
            page = cur.fetchmany(256)
            if not page:
                return
            for text, floats, mask in page:
                text = json.loads(text)
                for column in FILE_COLUMNS:
                    if text.get(column) is not None:
                        text[column] = self._shown(text[column])
                yield (text, np.frombuffer(floats, "<f8"),
                       np.unpackbits(np.frombuffer(mask, np.uint8), count=n_floats).astype(bool))

    def _shown(self, path):
        """The name this run gives the file at `path` (as named, or as walked to): a row
        stored by an earlier run given other names (relative, absolute) shows this run's."""
        row = self.db.execute("SELECT shown FROM scan WHERE path = ?", (_raw(path),)).fetchone()
        return path if row is None else _name(row[0])

    def count_rows(self):
        return self.db.execute("SELECT count(*) FROM recordings").fetchone()[0]

    def errors(self, status="error", by_name=False):
        """(shown name, reason) of the files of this run that failed (or were
        skipped, with status="skipped"), by folder and name, or with `by_name`
        as Python sorts these pairs.  A generator: the files are not held."""
        order = ("code_points(s.shown), code_points(f.reason)" if by_name
                 else "s.dir, s.name")
        for shown, reason in self.db.execute(
                "SELECT s.shown, f.reason FROM files f JOIN scan s ON s.path = f.path "
                f"WHERE {_STATUS[status]} ORDER BY {order}"):
            yield _name(shown), reason

    def count_errors(self, status="error"):
        """The number of `errors(status)`."""
        return self.db.execute("SELECT count(*) FROM files f JOIN scan s ON s.path = f.path "
                               f"WHERE {_STATUS[status]}").fetchone()[0]


# A file that no reader recognises is stored as skipped, however it was found: this run
# tells it as a failure when it names the file, as skipped when a folder holds it.
_STATUS = {
    "error": "(f.status = 'error' OR (f.status = 'skipped' AND s.explicit))",
    "skipped": "(f.status = 'skipped' AND NOT s.explicit)",
}
