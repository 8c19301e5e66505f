"""The files of a flatfile run: every file under the given paths with its key
(path, size, modification time), and the batches of neighbouring files of one
folder that a worker reads together, so that the components of a recording,
which agencies name alike, are read by one task.
"""
from __future__ import annotations

import contextlib
import os

from ..records.reader import iter_record_files

__all__ = ["batches", "walk"]


def walk(paths, exclude=()):
    """Yield ("file", (path, shown, size, mtime, explicit, identity)) for each file, or
    ("error", (shown, reason)); `identity` is (device, inode), None where the system
    gives no inode.

    A file argument is taken as it is (`explicit`); a folder gives the files
    below it as `records.record_files` lists them (a folder at a time), less the files named in
    `exclude` (the run's own outputs), also when reached by another path (a
    linked folder).  A folder that cannot be listed is an error (its records
    would be missing).
    """
    exclude = {os.path.abspath(p) for p in exclude}
    excluded = set()    # (device, inode) of those that exist
    for p in exclude:
        with contextlib.suppress(OSError):
            st = os.stat(p)
            excluded.add((st.st_dev, st.st_ino))
    for arg in paths:
        arg = os.fspath(arg)
        explicit = not os.path.isdir(arg)
        unlisted = []
        for path in iter_record_files(arg, onerror=unlisted.append):
            absolute = os.path.abspath(path)
            if not explicit and absolute in exclude:
                continue
            try:
                st = os.stat(path)
            except OSError as e:
                yield "error", (path, f"cannot read file ({e.strerror or e})")
                continue
            if not explicit and (st.st_dev, st.st_ino) in excluded:
                continue
            identity = (st.st_dev, st.st_ino) if st.st_ino else None
            yield "file", (absolute, path, st.st_size, st.st_mtime_ns, explicit, identity)
        for e in unlisted:
            where = arg if e.filename is None else os.fsdecode(e.filename)
            yield "error", (where, f"cannot read folder ({e.strerror or e})")


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
    """Split `files` ((path, shown, folder, explicit) in folder and name order) into batches.

    A batch holds files of one folder only, about `size` of them (from half to
    one and a half times), and ends where neighbouring names differ most, so
    that `CHB0021412312349.EW`, `.NS` and `.UD` stay together.  Yields lists
    of (path, shown, explicit).
    """
    size = max(1, int(size))
    buffer, folder = [], None
    for path, shown, directory, explicit in files:
        if buffer and directory != folder:
            yield from _flush(buffer, size)
            buffer = []
        folder = directory
        buffer.append((path, shown, explicit))
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
