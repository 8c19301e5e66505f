"""Output files written whole, and what names one file.

A command's output (a flatfile, an errors file, a plot) is written to a temporary
file beside it and renamed over it once complete: a run that fails half-way (a full
disk, Ctrl-C) leaves no truncated file behind, and an older output stays until the
new one is whole.
"""
from __future__ import annotations

import contextlib
import os
import tempfile

__all__ = ["replacing", "same_file"]


def same_file(a, b):
    """Whether the paths `a` and `b` name one existing file (by device and inode)."""
    try:
        return os.path.samefile(a, b)
    except (OSError, ValueError):
        return False


def _mode_for(target):
    """The mode `target` has, or the one a plain `open` would give it under the umask."""
    try:
        return os.stat(target).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


@contextlib.contextmanager
def replacing(target):
    """A temporary path beside `target`, renamed to `target` when the block completes
    and removed when it raises. The temporary name ends like the target (writers such
    as matplotlib take the format from the suffix), and the file gets the mode the
    target has or would get (mkstemp's 0600 is not what an output file has)."""
    folder = os.path.dirname(os.path.abspath(target))
    fd, tmp = tempfile.mkstemp(prefix=".tmp-", suffix="-" + os.path.basename(target), dir=folder)
    try:
        os.fchmod(fd, _mode_for(target))
        os.close(fd)
        yield tmp
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
