"""The start of a worker process of a run on several local processes (the
flatfile's, and the main command's `--jobs`).

Ctrl-C reaches every process of the terminal's group; the run alone handles
it, so that its workers neither die mid-task nor print tracebacks of their own.
And a run killed outright (SIGKILL, the out-of-memory killer) cannot shut its
pool down: its workers would wait for tasks for ever, holding the run's
terminal or pipe open, so each one ends when the run's process does.
A worker that dies while it sends a result back would leave the pool waiting
for the rest of it for ever: `wait_first`, `completed` and `shut_down` break
such a pool.
"""
from __future__ import annotations

import concurrent.futures as cf
import contextlib
import os
import queue
import select
import signal
import threading
import time
from multiprocessing import connection

__all__ = ["completed", "shut_down", "start_worker", "starting_workers", "wait_first"]

_HOLD = hasattr(signal, "pthread_sigmask")

#: Seconds between looks for a worker that died while it sent its result.
WATCH = 0.5


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


def _parts(pool):
    """The manager thread, the worker processes and the result queue of a process pool."""
    return (getattr(pool, "_executor_manager_thread", None), getattr(pool, "_processes", None),
            getattr(pool, "_result_queue", None))


def _unstick(thread, processes, results):
    """Break the pool of these parts when a worker ended while it sent a result.

    The pool's manager thread then waits for the rest of that message for ever:
    the pipe never ends, since this process holds its write end too, and so do
    the other workers, one of them perhaps waiting for the pipe's lock that the
    dead one held.  A worker that ends at any other moment breaks the pool at
    once.  Killing the workers and closing this process's end ends the pipe, and
    the pool breaks as it does then: its tasks fail with BrokenProcessPool.
    """
    if thread is None or not thread.is_alive() or not processes or results is None:
        return
    workers = list(processes.values())
    try:
        if not connection.wait([p.sentinel for p in workers], 0):
            return   # every worker runs
    except (OSError, ValueError):
        return       # the pool is being taken down
    thread.join(WATCH)
    if not thread.is_alive():
        return
    for p in workers:
        with contextlib.suppress(OSError, ValueError):
            p.kill()
    results._writer.close()


def wait_first(pool, futures):
    """`concurrent.futures.wait(futures, return_when=FIRST_COMPLETED)` for tasks of
    `pool` (a ProcessPoolExecutor), which never waits for ever on a worker that died
    while it sent its result: (done, not done)."""
    while True:
        done, pending = cf.wait(futures, timeout=WATCH, return_when=cf.FIRST_COMPLETED)
        if done or not pending:
            return done, pending
        _unstick(*_parts(pool))


def completed(pool, futures):
    """The `futures` of tasks of `pool` as they complete, as
    `concurrent.futures.as_completed` yields them (each waited for once, however
    many there are), never waiting for ever on a worker that died while it sent
    its result."""
    finished = queue.SimpleQueue()
    futures = list(futures)
    for f in futures:
        f.add_done_callback(finished.put)
    for _ in futures:
        while True:
            try:
                yield finished.get(timeout=WATCH)
                break
            except queue.Empty:
                _unstick(*_parts(pool))


def shut_down(pool, cancel=False):
    """`pool.shutdown(wait=True, cancel_futures=cancel)`, which never waits for ever on
    a worker that died while it sent its result (SIGTERM sent to every process of a run)."""
    thread, processes, results = _parts(pool)
    pool.shutdown(wait=False, cancel_futures=cancel)
    while thread is not None and thread.is_alive():
        thread.join(WATCH)
        _unstick(thread, processes, results)
    if results is not None:
        results.close()
