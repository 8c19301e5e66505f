"""The start of a worker process of a run on several local processes (the
flatfile's, and the main command's `--jobs`).

Ctrl-C reaches every process of the terminal's group; the run alone handles
it, so that its workers neither die mid-task nor print tracebacks of their own.
And a run killed outright (SIGKILL, the out-of-memory killer) cannot shut its
pool down: its workers would wait for tasks for ever, holding the run's
terminal or pipe open, so each one ends when the run's process does.
"""
from __future__ import annotations

import contextlib
import os
import select
import signal
import threading
import time

__all__ = ["start_worker", "starting_workers"]

_HOLD = hasattr(signal, "pthread_sigmask")


def start_worker(run_pid):
    """A pool's initializer: `initializer=start_worker, initargs=(os.getpid(),)`."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if _HOLD:
        # Forked inside starting_workers: a Ctrl-C held back since is dropped here.
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    threading.Thread(target=_end_with, args=(run_pid,), daemon=True).start()


@contextlib.contextmanager
def starting_workers():
    """Holds Ctrl-C back from this thread while a pool forks its workers.

    A worker forked in that moment would take it before its initializer has it
    ignored, and print a traceback of its own. Forked workers inherit the hold and
    start_worker drops it; here a Ctrl-C held back arrives on leaving. (Workers
    started by a fork server inherit the server's mask instead, not held here.)
    """
    if not _HOLD:
        yield
        return
    old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


def _end_with(run_pid):
    """End this process as soon as the process `run_pid` ends.

    Nothing a worker holds needs saving: the run keeps what its tasks return.
    """
    try:
        fd = os.pidfd_open(run_pid)
    except ProcessLookupError:
        os._exit(1)
    except (AttributeError, OSError):
        fd = None   # no pidfd on this system: look every second instead
    if fd is not None:
        # Readable once the process has ended (poll: select takes no fd past 1023).
        watch = select.poll()
        watch.register(fd, select.POLLIN)
        while not watch.poll():
            pass
        os._exit(1)
    while True:
        time.sleep(1.0)
        try:
            os.kill(run_pid, 0)
        except ProcessLookupError:
            os._exit(1)
        except OSError:
            pass
