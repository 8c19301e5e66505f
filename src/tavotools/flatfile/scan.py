"""The files of a flatfile run: every file under the given paths with its key
(path, size, modification time), and the batches of neighbouring files of one
folder that a worker reads together, so that the components of a recording,
which agencies name alike, are read by one task.
"""
from __future__ import annotations

import os

__all__ = ["batches", "is_record_name", "walk"]

# Files that sit beside records in the agencies' downloads and are never
# records themselves: event descriptions, station inventories, documents.
_NOT_RECORDS = {".json", ".md", ".pdf", ".png", ".jpg", ".jpeg", ".gif", ".html", ".htm",
                ".xml", ".kml", ".zip", ".tar", ".py", ".sh", ".log", ".parquet"}
_NOT_RECORD_NAMES = ("license", "licence", "readme", "copying")


def is_record_name(name):
    """False for the names of files that are never records (``event.json``, ``README``)."""
    stem = name[:-3] if name.lower().endswith(".gz") else name
    base, suffix = os.path.splitext(stem.lower())
    return suffix not in _NOT_RECORDS and not any(w in base for w in _NOT_RECORD_NAMES)


def _entry(path, shown):
    st = os.stat(path)
    return os.path.abspath(path), shown, st.st_size, st.st_mtime_ns


def walk(paths, exclude=()):
    """Yield ("file", (path, shown, size, mtime)) for each file, ("error", (shown, reason)),
    or ("skipped", shown).

    A file argument is taken as it is; a folder is walked in name order,
    leaving out hidden files and folders (a leading "."), the files named in
    `exclude` (absolute paths: the run's own outputs) and, as "skipped", the
    files that are never records (`is_record_name`).
    """
    exclude = {os.path.abspath(p) for p in exclude}
    for arg in paths:
        arg = os.fspath(arg)
        if os.path.isdir(arg):
            failures = []
            for top, dirs, files in os.walk(arg, onerror=failures.append):
                dirs[:] = sorted(d for d in dirs if not d.startswith("."))
                for name in sorted(files):
                    path = os.path.join(top, name)
                    if name.startswith(".") or os.path.abspath(path) in exclude:
                        continue
                    if not is_record_name(name):
                        yield "skipped", path
                        continue
                    try:
                        yield "file", _entry(path, path)
                    except OSError as e:
                        yield "error", (path, f"cannot read file ({e.strerror or e})")
            for e in failures:
                yield "error", (e.filename or arg, f"cannot read folder ({e.strerror or e})")
        else:
            try:
                yield "file", _entry(arg, arg)
            except OSError as e:
                yield "error", (arg, f"cannot read file ({e.strerror or e})")


def _stem(name):
    return name[:-3] if name.endswith(".gz") else name


def _shared(a, b):
    """Length of the common start of two file names."""
    a, b = _stem(os.path.basename(a)), _stem(os.path.basename(b))
    n = min(len(a), len(b))
    k = 0
    while k < n and a[k] == b[k]:
        k += 1
    return k


def _cut(files, size):
    """Where to end a batch near `size`: between the two neighbours whose names share least."""
    lo, hi = max(1, size - size // 2), min(len(files) - 1, size + size // 2)
    return min(range(lo, hi + 1),
               key=lambda k: (_shared(files[k - 1][0], files[k][0]), abs(k - size)))


def batches(files, size):
    """Split `files` ((path, shown, folder) in folder and name order) into batches.

    A batch holds files of one folder only, about `size` of them (from half to
    one and a half times), and ends where neighbouring names differ most, so
    that `CHB0021412312349.EW`, `.NS` and `.UD` stay together.  Yields lists
    of (path, shown) pairs.
    """
    size = max(1, int(size))
    buffer, folder = [], None
    for path, shown, directory in files:
        if buffer and directory != folder:
            yield from _flush(buffer, size)
            buffer = []
        folder = directory
        buffer.append((path, shown))
        if len(buffer) > size + size // 2:
            k = _cut(buffer, size)
            yield buffer[:k]
            buffer = buffer[k:]
    if buffer:
        yield from _flush(buffer, size)


def _flush(buffer, size):
    while len(buffer) > size + size // 2:
        k = _cut(buffer, size)
        yield buffer[:k]
        buffer = buffer[k:]
    if buffer:
        yield buffer
