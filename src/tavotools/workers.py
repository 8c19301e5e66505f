"""The start of a worker process of a run on several local processes (the
flatfile's, and the main command's `--jobs`).

Ctrl-C reaches every process of the terminal's group; the run alone handles
it, so that its workers neither die mid-task nor print tracebacks of their own.
And a run killed outright (SIGKILL, the out-of-memory killer) cannot shut its
pool down: its workers would wait for tasks for ever, holding the run's
terminal or pipe open, so each one ends when the run's process does.
"""
from __future__ import annotations

import os
import select
import signal
import threading
import time

__all__ = ["start_worker"]


def start_worker(run_pid):
    """A pool's initializer: `initializer=start_worker, initargs=(os.getpid(),)`."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    threading.Thread(target=_end_with, args=(run_pid,), daemon=True).start()


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
