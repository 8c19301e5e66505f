"""A flatfile run: find the files, read and compute what is new on local
processes or a Dask cluster, store each task's rows as it finishes, and write
the flatfile and its errors file from what is stored.

The run never stops on a bad file.  Interrupted (Ctrl-C, SIGTERM), it still
writes the rows finished so far; a worker process that dies costs only the
files it held, which are tried again one by one to find the one at fault.
"""
from __future__ import annotations

import concurrent.futures as cf
import contextlib
import heapq
import math
import multiprocessing
import os
import signal
import sys
import threading
from collections import Counter, deque
from dataclasses import dataclass

from ..files import same_file
from ..processing import parse_steps
from ..records import PackedFile
from ..workers import shut_down, start_worker, wait_first
from .output import check_writer, write_errors, write_table
from .rows import Options, process_batch
from .scan import batches, walk
from .schema import Schema
from .state import State

__all__ = ["Report", "run"]

#: Most files in one task.
MAX_BATCH = 32


@dataclass(frozen=True)
class Report:
    """What a run did: rows in the output, files read now, failures, and whether it finished."""

    output: str
    errors_file: str
    rows: int
    computed: int
    reused: int
    failed: int
    skipped: int = 0
    packed: tuple = ()     # the skipped files that are archives (their records not read)
    interrupted: bool = False
    reset: bool = False
    written: bool = True   # False: stopped before the files were all found, outputs left as they were

    @property
    def status(self):
        """Exit status: 130 when interrupted, 1 when a file failed, else 0."""
        return 130 if self.interrupted else (1 if self.failed else 0)


def outputs(output):
    """(flatfile, errors file, state file) paths for the flatfile `output`."""
    stem, suffix = os.path.splitext(output)
    if suffix.lower() not in (".parquet", ".csv"):
        raise ValueError(f"the output must end in .parquet or .csv, not {output!r}")
    folder = os.path.dirname(os.path.abspath(output))
    if not os.path.isdir(folder):
        raise ValueError(f"the output's folder {folder!r} does not exist")
    if os.path.isdir(output):
        raise ValueError(f"the output {output!r} is a folder")
    return output, stem + ".errors.csv", output + ".state"


def _is_flatfile(path, errors=False):
    """Whether the file at `path` is empty or begins as a flatfile does (a CSV header
    starting with "recording", or Parquet's magic), or with `errors` as an errors
    file does ("file,reason"), so that a run may replace it."""
    try:
        with open(path, "rb") as f:
            head = f.read(12)
    except OSError:
        return True     # nothing that can be read is lost; writing it will tell
    if errors:
        magic = b"file,reason\n"
    else:
        magic = b"PAR1" if path.lower().endswith(".parquet") else b"recording"
    return not head or head.startswith(magic)


def _check_inputs(paths, outputs_):
    """A ValueError when writing the outputs would replace a file the run reads: one of
    `paths` named as the output (or its errors or state file), or, below a folder of
    `paths` (whose walk leaves the outputs out), an output file that is no flatfile, or
    an errors file that is none (a run with no failure removes it)."""
    target, errors_file = outputs_[:2]
    for arg in paths:
        arg = os.fspath(arg)
        if os.path.isdir(arg):
            # Resolved: a folder named through a link holds the files of its target.
            folder = os.path.join(os.path.realpath(arg), "")
            for out, what, errors in ((target, "the output", False),
                                      (errors_file, "the output's errors file", True)):
                inside = os.path.realpath(out).startswith(folder)
                if inside and os.path.isfile(out) and not _is_flatfile(out, errors):
                    kind = "an errors file" if errors else "a flatfile"
                    raise ValueError(f"{what} {out!r} is a file below {arg!r} that is not "
                                     f"{kind}: writing it would replace that file")
            continue
        for out in outputs_:
            if same_file(arg, out):
                raise ValueError(f"the output {out!r} is also the input {arg!r}: writing it "
                                 "would replace that file")


@dataclass
class _Task:
    files: list            # (path, shown, explicit)
    only: str | None = None  # a merge: keep only this recording's row
    suspect: bool = False    # run alone: a worker died while it was in flight

    @property
    def folder(self):
        return os.path.dirname(self.files[0][0])


class _Inline:
    """Runs each task in this process when it is submitted."""

    parallel = 1

    def submit(self, task, options):
        future = cf.Future()
        future.set_result(process_batch(task.files, options, task.only))
        return future

    def wait(self, futures):
        return list(futures)

    def lost(self, future, error):
        return False

    def ended(self, error):
        return False

    def close(self, cancel=False):
        pass


class _Processes:
    """A pool of local processes, started again when one of them dies."""

    def __init__(self, jobs):
        self.parallel = jobs
        self.pools = {}     # future -> the pool that runs it
        self._start()

    def _start(self):
        # Workers fork from a server process that has imported the package
        # once: no thread of this process is copied, and a new worker starts
        # in milliseconds rather than importing NumPy and SciPy again.
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(["tavotools.flatfile.rows"])
        self.pool = cf.ProcessPoolExecutor(max_workers=self.parallel, mp_context=context,
                                           initializer=start_worker, initargs=(os.getpid(),))

    def submit(self, task, options):
        try:
            future = self.pool.submit(process_batch, task.files, options, task.only)
        except cf.process.BrokenProcessPool:
            # A worker died and broke the pool before its failed tasks were
            # collected: this task goes to a new pool, and those tasks, failing
            # from the old one, are retried when they come back (see `lost`).
            shut_down(self.pool)
            self._start()
            future = self.pool.submit(process_batch, task.files, options, task.only)
        self.pools[future] = self.pool
        return future

    def wait(self, futures):
        done = wait_first(self.pool, futures)[0]
        for f in done:
            if f.exception() is None:
                del self.pools[f]
        return done

    def lost(self, future, error):
        """A dead worker breaks its pool and every task in it: start a new pool, once."""
        if not isinstance(error, cf.process.BrokenProcessPool):
            return False
        if self.pools.pop(future, None) is self.pool:
            shut_down(self.pool, cancel=True)
            self._start()
        return True

    def ended(self, error):
        """Whether `error` tells that a worker process ended (rather than what failed in it)."""
        return isinstance(error, cf.process.BrokenProcessPool)

    def close(self, cancel=False):
        shut_down(self.pool, cancel)


def _distributed():
    """dask.distributed, or ImportError naming the extra that brings it."""
    try:
        from dask import distributed
    except ImportError:
        raise ImportError("--scheduler needs Dask: pip install 'tavotools[dask]'") from None
    return distributed


class _Dask:
    """Tasks sent to an existing Dask distributed cluster."""

    def __init__(self, address):
        distributed = _distributed()
        self.distributed = distributed
        self.client = distributed.Client(address)
        self.parallel = max(1, sum(self.client.nthreads().values()))
        self.futures = set()

    def submit(self, task, options):
        f = self.client.submit(process_batch, task.files, options, task.only, pure=False)
        self.futures.add(f)
        return f

    def wait(self, futures):
        done = self.distributed.wait(list(futures), return_when="FIRST_COMPLETED").done
        self.futures -= set(done)
        return done

    def lost(self, future, error):
        # A task that failed on the cluster (a worker killed, or the cluster
        # unable to run it) is tried again file by file.
        return True

    def ended(self, error):
        killed = getattr(self.distributed, "KilledWorker", None)
        return killed is not None and isinstance(error, killed)

    def close(self, cancel=False):
        if cancel and self.futures:
            self.client.cancel(list(self.futures))
        self.client.close()


def _progress(total, enabled):
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="file", file=sys.stderr, dynamic_ncols=True, smoothing=0.1)


def run(paths, output, *, periods=(), jobs=1, scheduler=None, dt=None, units=None,
        process=None, progress=None):
    """Build the flatfile `output` (.parquet or .csv) from the records under `paths`.

    Reads only what is new or changed since the last run on the same output
    (all of it when the periods, the reading options or the processing steps
    `process`, such as "demean,bandpass:0.1-25", changed).  `jobs` local
    processes, or the Dask cluster at `scheduler`; `progress` shows a bar
    (default: when stderr is a terminal).  Returns a `Report`; the files that
    failed, with the reason, go to the errors file beside the output.

    With `jobs` above 1 the workers start from a fork server, which runs the
    calling script's top level again, as multiprocessing does for every start
    method but fork: a script calls run() under `if __name__ == "__main__":`.
    """
    target, errors_file, state_file = outputs(os.fspath(output))
    _check_inputs(paths, (target, errors_file, state_file))
    if process is not None:
        parse_steps(process)   # a bad step is an error before any file is read
    # So is a missing optional library: the run would meet it only after reading
    # every file, and leave a run state behind.
    check_writer(target)
    if scheduler is not None:
        _distributed()
    options = Options(periods=tuple(float(T) for T in periods), dt=dt, units=units,
                      process=process or None)
    schema = Schema(options.periods)
    state = State(state_file, options.settings())
    lost = []   # failures that are not stored, so tried again by the next run
    reused = 0
    read = [0]  # files read so far: kept when the run is interrupted
    interrupted = planned = False
    try:
        try:
            with _sigterm_as_interrupt():
                scanned = _scan(state, paths, (target, errors_file, state_file), lost)
                todo = state.plan()
                planned = True
                reused = scanned - todo
                _compute(state, options, todo, jobs, scheduler, lost, progress, read)
        except KeyboardInterrupt:
            interrupted = True
        with _held_interrupts():
            failed = state.count_errors() + len(lost)
            if planned:
                write_table(target, schema, state.rows(len(schema.floats)))
                # Stored errors stream from the state, sorted there: a run where most
                # files fail holds no list of them.
                write_errors(errors_file, heapq.merge(state.errors(by_name=True), sorted(lost)))
            rows = state.count_rows()
            skipped = state.count_errors("skipped")
            packed = tuple(name for name, reason in state.errors("skipped")
                           if reason.endswith(PackedFile.ADVICE))
    finally:
        state.close()
    if not planned:
        # Stopped while the files were still being found: the state holds rows of
        # files this run has not seen (nor checked), and errors of the files found
        # so far only, so the outputs of the last run stay as they were.
        return Report(output=target, errors_file=errors_file, rows=rows, computed=0,
                      reused=0, failed=0, interrupted=True, reset=state.reset, written=False)
    return Report(output=target, errors_file=errors_file, rows=rows, computed=read[0],
                  reused=reused, failed=failed, skipped=skipped, packed=packed,
                  interrupted=interrupted, reset=state.reset)


def _scan(state, paths, outputs_, lost):
    """Record every file under `paths` in the state; returns how many (unreadable ones go to `lost`).

    A file found twice (named, and below a folder also named, or by a link) counts once.
    """
    target, errors_file, state_file = outputs_
    exclude = (target, errors_file, state_file, state_file + "-wal", state_file + "-shm",
               state_file + "-journal")
    found = []
    for kind, item in walk(paths, exclude=exclude):
        if kind == "error":
            lost.append(item)
            continue
        found.append(item)
        if len(found) == 10000:
            state.add_scanned(found)
            found = []
    state.add_scanned(found)
    return state.count_scanned()


def _main_thread():
    return threading.current_thread() is threading.main_thread()


@contextlib.contextmanager
def _sigterm_as_interrupt():
    """SIGTERM stops the run as Ctrl-C does (in the main thread)."""
    if not _main_thread():
        yield
        return

    def handler(signum, frame):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGTERM, handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, old)


@contextlib.contextmanager
def _held_interrupts():
    """Ignore Ctrl-C and SIGTERM while the outputs are written: they are what a stop asks for."""
    if not _main_thread():
        yield
        return
    old = {s: signal.signal(s, signal.SIG_IGN) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for s, h in old.items():
            signal.signal(s, h)


def _executor(jobs, scheduler):
    if scheduler is not None:
        return _Dask(scheduler)
    if jobs > 1:
        return _Processes(jobs)
    return _Inline()


def _compute(state, options, todo, jobs, scheduler, lost, progress, read):
    """Run the tasks for the `todo` files, adding the files read to `read[0]` as
    each task finishes (so an interrupted run still reports them)."""
    if todo == 0:
        return
    executor = _executor(jobs, scheduler)
    size = max(1, min(MAX_BATCH, math.ceil(todo / (4 * executor.parallel))))
    fresh = (_Task(files) for files in batches(state.todo(), size))
    queue = deque()         # merges and retries go before fresh tasks
    in_flight = {}
    # Merges held back until no task of their folder is left: each task of a set read
    # by many (a station's records that state no time) would otherwise merge with all
    # those before it, reading the set again each time.  {folder: {key: paths}}
    held = {}
    last = [None, False]    # the folder of the last fresh task; whether they are all out
    unread = Counter()      # fresh tasks and their retries not done, by folder

    def hold(merges):
        for folder, key, paths in merges:
            held.setdefault(folder, {}).setdefault(key, set()).update(paths)

    def release():
        for folder in list(held):
            if (folder == last[0] and not last[1]) or unread[folder]:
                continue
            for key, paths in held.pop(folder).items():
                queue.appendleft(_Task(state.entries(sorted(paths)), only=key))

    def pending():
        """The files of the merges not done: held, queued or in flight."""
        paths = set()
        for keys in held.values():
            paths.update(*keys.values())
        for t in (*queue, *in_flight.values()):
            if t.only is not None:
                paths.update(p for p, _, _ in t.files)
        return paths

    def take():
        if queue:
            return queue.popleft()
        task = next(fresh, None)
        if task is None:
            last[1] = True
        else:
            last[0] = task.folder
            unread[task.folder] += 1
        return task

    limit = 2 * executor.parallel
    bar = _progress(todo, sys.stderr.isatty() if progress is None else progress)

    def count(task):
        if task.only is None:   # a merge reads files already counted
            read[0] += len(task.files)
            if bar is not None:
                bar.update(len(task.files))

    finished = False
    try:
        while True:
            release()
            while len(in_flight) < limit and not any(t.suspect for t in in_flight.values()):
                if queue and queue[0].suspect and in_flight:
                    break   # a suspect task runs alone
                task = take()
                if task is None:
                    break
                in_flight[executor.submit(task, options)] = task
            if not in_flight:
                release()
                if not queue:
                    break
                continue
            for future in executor.wait(list(in_flight)):
                task = in_flight.pop(future)
                if task.only is None:
                    unread[task.folder] -= 1
                    if not unread[task.folder]:
                        del unread[task.folder]
                try:
                    result = future.result()
                except Exception as e:
                    if not executor.lost(future, e):
                        raise
                    retry = _retry(task)
                    unread[task.folder] += sum(t.only is None for t in retry)
                    if retry:
                        queue.extend(retry)
                    else:
                        reason = _died(e, len(task.files) > 1, executor.ended(e))
                        lost.extend((shown, reason) for _, shown, _ in task.files)
                        count(task)
                    continue
                # A merge's row may hold a file of another merge still to run (a file
                # holding two stations), which must stay unknown until that one is done.
                hold(state.commit(result, held, pending() if task.only is not None else ()))
                count(task)
        finished = True
    finally:
        if bar is not None:
            bar.close()
        executor.close(cancel=not finished)


def _retry(task):
    """The tasks that retry a task lost with its worker: alone, then file by file, then none.

    A merge is not split: its files alone give the partial rows that called for it,
    which would call for it again, for ever."""
    if not task.suspect:
        return [_Task(task.files, task.only, suspect=True)]
    if len(task.files) > 1 and task.only is None:
        return [_Task([f], task.only, suspect=True) for f in task.files]
    return []


def _died(error, together=False, ended=False):
    """The reason of files whose task was lost.  A worker's end is told in the same
    words whatever ran it: the executors' own messages name a pool, or a cluster's
    task key and worker address, which would make each run's errors file another."""
    if ended:
        what = "its process ended"
    else:
        name = type(error).__name__
        what = f"{name}: {error}" if str(error) else name
    files = "these files together" if together else "this file"
    return f"the worker died or failed while reading {files} ({what})"
