"""`tavotools [measures] FILE...`: the intensity measures of every record of the
files, as a table, CSV or JSON. With no file it runs on the built-in synthetic
record, so it works on a fresh machine with no data.

Every file is read and computed on its own: a file that fails, for whatever
reason, is reported on stderr with its name, the others are still processed,
and the exit status is 1.
"""
from __future__ import annotations

import functools
import os
import sys

from ..render import csv_text, json_text, number, period_label, printable, table_lines
from .common import (add_jobs, add_reading, add_table_units, bounded, check_process,
                     check_sources, emit, failure, periods, shown, why_skipped, write_plots)

__all__ = ["COLUMNS", "DESCRIPTION", "HELP", "NAME", "add_arguments", "run"]

NAME = "measures"
HELP = "the intensity measures of accelerogram files (the default command)"
DESCRIPTION = ("Ground-motion intensity measures (PGA, PGV, Arias intensity, significant "
               "durations, CAV, CAV above 5 cm/s2, CAVstd) of accelerogram files in any format "
               "the readers know (USGS SMC, CDMG/CSMIP V1/V2, COSMOS, PEER AT2, K-NET, ESM, "
               "plain text, ...), and with --periods the 5 %-damped PSA of each record. With "
               "no FILE, runs on a built-in synthetic record. Other commands: `tavotools "
               "spectrum FILE...` (spectra and RotD of horizontal pairs), `tavotools obe H1 H2 "
               "V`, `tavotools flatfile PATH... -o OUT` (see `tavotools --help`).")

# (field of Summary, column title, SI unit, kind of quantity for --table-units)
COLUMNS = (
    ("PGA", "PGA", "m/s2", "acceleration"),
    ("PGV", "PGV", "m/s", "velocity"),
    ("Ia", "Ia", "m/s", "arias"),
    ("D5_75", "D5-75", "s", "time"),
    ("D5_95", "D5-95", "s", "time"),
    ("CAV", "CAV", "m/s", "cav"),
    ("CAV5", "CAV5", "m/s", "cav"),
    ("CAVstd", "CAVstd", "m/s", "cav"),
)

#: The table's marks of records the agency has not corrected, and their footnotes.
MARKS = {
    "*": "* not corrected by the agency: what was done is the processing of --format json; "
         "--process applies basic steps",
    "?": "? the file does not say whether the agency corrected the record",
}


#: argparse type of `--seed`: a seed of NumPy's generator, an integer from 0.
_seed = bounded(int, lambda n: n >= 0, "a seed (an integer from 0)")


def add_arguments(p):
    p.add_argument("files", nargs="*", metavar="FILE",
                   help="accelerogram files (also .gz), or directories: every record file below "
                        "them; format detected from content")
    p.add_argument("--format", choices=("table", "csv", "json"), default="table",
                   help="output format (default: table)")
    p.add_argument("--periods", metavar="LIST|standard", type=periods, default=(),
                   help="add the PSA (5 %% damping) of each record at these periods in s, "
                        "comma-separated, or 'standard' for the 111 standard periods")
    add_table_units(p)
    p.add_argument("--plot", metavar="FILE.png",
                   help="draw acceleration, velocity and the Husid plot (needs matplotlib); "
                        "with several records, FILE-1.png, FILE-2.png, ...")
    add_jobs(p)
    add_reading(p)
    p.add_argument("--inventory", metavar="FILE.xml",
                   help="StationXML inventory (needs ObsPy): the counts of files read by ObsPy "
                        "(MiniSEED, SAC, ...) are divided by each channel's sensitivity")
    p.add_argument("--seed", type=_seed,
                   help="seed of the built-in record, an integer from 0 (default: 0)")


def _metadata(record):
    return {
        "record": printable(record.label),
        "path": printable(record.path),
        "format": record.format,
        "channel": record.channel,
        "station": record.station,
        # Beside the code the file gives as `station`: the name in words, where it gives both.
        "station_name": record.station_name,
        "component": record.component,
        "event": record.event.as_dict() if record.event else None,
        "start_time": record.start_time.isoformat() if record.start_time else None,
        "units": record.units,
        "npts": record.npts,
        "dt": record.dt,
        "stated_PGA": record.stated_pga,
        "processing": list(record.processing),
    }


@functools.lru_cache(maxsize=4)
def _inventory(path):
    """The inventory of --inventory, read once per process."""
    from ..records.obspy import load_inventory

    return load_inventory(path)


def _process(task):
    """Read one file, process and summarise each of its records; runs in a worker process.

    Returns (path, rows, error, skipped): `error` is the line that reports a
    failure of any kind; `skipped` is true for a file below a directory that no
    reader recognises, which is a note, not an error.
    """
    from ..processing import apply_steps
    from ..records import UnrecognisedFormat, read_records
    from ..summary import summarize

    path, options, keep, below_directory = task
    dt, units, inventory, steps, T = options
    try:
        records = read_records(path, dt=dt, units=units,
                               inventory=None if inventory is None else _inventory(inventory))
        if steps:
            try:
                records = [apply_steps(r, steps) for r in records]
            except ValueError as e:  # a step that does not fit this record (a corner above Nyquist)
                return path, None, f"{printable(path)}: --process {steps}: {e}", False
        rows = [(_metadata(r), summarize(r, periods=T or None), r if keep else None)
                for r in records]
    except UnrecognisedFormat as e:
        # `skipped` says why: an archive is named as one, so that its records are not
        # taken for read.
        return path, None, failure(path, e), below_directory and why_skipped(e)
    except Exception as e:  # any fault of one file is that file's, never the whole run's
        return path, None, failure(path, e), False
    return path, rows, None, False


def _progress(done, total, path):
    name = printable(os.path.basename(path))
    sys.stderr.write(f"\r[{done}/{total}] {name[:50]:<50}")
    if done == total:
        sys.stderr.write("\n")
    sys.stderr.flush()


def _tasks(paths, options, keep):
    """One task per file; a directory gives one per file below it.  Also the
    errors of the folders below that cannot be listed."""
    from ..records import record_files

    tasks, unlisted = [], []
    for path in paths:
        below = os.path.isdir(path)
        tasks.extend((f, options, keep, below)
                      for f in record_files(path, onerror=unlisted.append))
    return tasks, unlisted


def _run(tasks, jobs):
    show = len(tasks) > 1 and sys.stderr.isatty()
    results = [None] * len(tasks)
    if jobs > 1 and len(tasks) > 1:
        from concurrent.futures import ProcessPoolExecutor
        from concurrent.futures.process import BrokenProcessPool

        from ..workers import completed, shut_down, start_worker, starting_workers

        # Forked: workers read what this process has set up (the inventory, /dev/stdin).
        # The command runs no thread of its own, the pool forks every worker before it
        # starts its manager thread, and the BLAS thread pools of NumPy and SciPy are
        # shut down around a fork by OpenBLAS itself; a program calling main() with
        # threads of its own running gets Python's warning about forking them.
        pool = ProcessPoolExecutor(max_workers=min(jobs, len(tasks)), initializer=start_worker,
                                   initargs=(os.getpid(),))
        try:
            futures = {}
            with starting_workers():  # the first submit forks them all
                for k, t in enumerate(tasks):
                    try:
                        futures[pool.submit(_process, t)] = k
                    except BrokenProcessPool as e:  # a worker died while the tasks were handed out
                        results[k] = t[0], None, failure(t[0], e), False
            for done, fut in enumerate(completed(pool, futures), 1):
                k = futures[fut]
                try:
                    results[k] = fut.result()
                except Exception as e:  # the worker died, or its result did not come back
                    results[k] = tasks[k][0], None, failure(tasks[k][0], e), False
                if show:
                    _progress(done, len(tasks), tasks[k][0])
        except BaseException:
            # Stopped (Ctrl-C): the files not yet started are dropped, not waited for.
            shut_down(pool, cancel=True)
            raise
        shut_down(pool)
    else:
        for k, t in enumerate(tasks):
            results[k] = _process(t)
            if show:
                _progress(k + 1, len(tasks), t[0])
    return results


def _mark(metadata):
    """'' for a record the agency corrected (or the built-in one), '*' or '?' otherwise."""
    from ..records.record import CORRECTED

    if metadata["format"] == "synthetic" or CORRECTED in metadata["processing"]:
        return ""
    return "*" if metadata["processing"] else "?"


def _periods_of(rows):
    """The periods of the PSA columns: every row has the same, or none."""
    T = rows[0][1].periods
    return () if T is None else tuple(T)


def _table(rows, system="si"):
    T = _periods_of(rows)
    columns = [(title, *shown(system, kind, unit), lambda s, name=name: getattr(s, name))
               for name, title, unit, kind in COLUMNS]
    columns += [(f"PSA_{period_label(t)}", *shown(system, "acceleration", "m/s2"),
                 lambda s, k=k: float(s.PSA[k])) for k, t in enumerate(T)]
    head = ["record", "component", "npts", "dt"] + [title for title, _, _, _ in columns]
    units = ["", "", "", "s"] + [unit for _, unit, _, _ in columns]
    marks = [_mark(m) for m, _, _ in rows]
    body = [[f"{m['record']} {mark}".rstrip(), m["component"] or "-", str(m["npts"]),
             f"{m['dt']:g}"] + [number(convert(value(s))) for _, _, convert, value in columns]
            for mark, (m, s, _) in zip(marks, rows)]
    notes = [note for mark, note in MARKS.items() if mark in marks]
    return "\n".join(table_lines([head, units] + body, 2) + notes) + "\n"


def _summary_units():
    from ..summary import Summary

    return Summary.units()


def _csv(rows, system="si"):
    names = list(_summary_units())
    T = _periods_of(rows)
    header = ["record", "station", "component", "event", "npts", "dt (s)", "processing"] + \
        [f"{n} ({u})" for n, u in _summary_units().items()] + \
        [f"PSA_{period_label(t)} (m/s2)" for t in T]
    return csv_text(header, [
        [m["record"], m["station"], m["component"], m["event"]["name"] if m["event"] else None,
         m["npts"], m["dt"], "; ".join(m["processing"])] + [getattr(s, n) for n in names] +
        ([] if s.PSA is None else s.PSA.tolist())
        for m, s, _ in rows])


def _json(rows, system="si"):
    spectral = {"periods": "s", "PSA": "m/s2"} if _periods_of(rows) else {}
    return json_text({
        "units": {"dt": "s", "stated_PGA": "m/s2", **_summary_units(), **spectral},
        "records": [{**m, "measures": s.as_dict(), **({"spectrum": s.spectra_dict()}
                                                      if spectral else {})}
                    for m, s, _ in rows],
    })


RENDER = {"table": _table, "csv": _csv, "json": _json}


def _draw(record, summary, path):
    from ..plot import plot_record

    plot_record(record, path, summary=summary)


def _plot_paths(target, count):
    if count == 1:
        return [target]
    stem, suffix = os.path.splitext(target)
    return [f"{stem}-{k}{suffix or '.png'}" for k in range(1, count + 1)]


def run(args, parser):
    """The measures of every record of the files; 1 when a file could not be read."""
    check_process(args, parser)
    check_sources(args, parser)
    keep = args.plot is not None
    status = 0
    if args.files:
        if args.inventory is not None:
            # Read once, before any record: one that cannot be read failed every file,
            # those read without it too, each with this same line. Workers forked from
            # here find it read.
            try:
                _inventory(args.inventory)
            except Exception as e:  # whatever ObsPy raised, or no ObsPy
                print(f"tavotools: {failure(args.inventory, e)}", file=sys.stderr)
                return 1
        rows = []
        options = (args.dt, args.units, args.inventory, args.process, args.periods)
        tasks, unlisted = _tasks(args.files, options, keep)
        for e in unlisted:
            print(f"tavotools: {printable(e.filename)}: cannot read folder ({e.strerror or e})",
                  file=sys.stderr)
            status = 1
        for path, got, error, skipped in _run(tasks, args.jobs):
            if skipped:
                print(f"tavotools: note: {printable(path)} skipped, {skipped}", file=sys.stderr)
            elif error is not None:
                print(f"tavotools: {error}", file=sys.stderr)
                status = 1
            else:
                rows.extend(got)
    else:
        from ..processing import apply_steps
        from ..summary import summarize
        from ..synthetic import synthetic_record

        record = synthetic_record(seed=args.seed or 0)
        try:
            # A step that does not fit the record (a corner above its Nyquist frequency)
            # is its error, as it is a file's.
            record = apply_steps(record, args.process or "")
        except ValueError as e:
            print(f"tavotools: {record.label}: --process {args.process}: {printable(str(e))}",
                  file=sys.stderr)
            return 1
        try:
            rows = [(_metadata(record), summarize(record, periods=args.periods or None), record)]
        except ValueError as e:  # a period too short for the record's time step
            print(f"tavotools: {record.label}: {printable(str(e))}", file=sys.stderr)
            return 1

    if rows:
        emit(RENDER[args.format](rows, args.table_units))
    if keep and rows:
        def say(line):
            print(f"tavotools: {line}", file=sys.stderr)

        plots = [(functools.partial(_draw, record, summary), target)
                 for target, (_, summary, record) in zip(_plot_paths(args.plot, len(rows)), rows)]
        if not write_plots(plots, say, inputs=[r.path for _, _, r in rows]):
            status = 1
    return status
