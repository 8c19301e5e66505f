"""Command line: the intensity measures of accelerogram files, as a table, CSV or JSON.

With no file it runs on the built-in synthetic record, so it works on a fresh
machine with no data.
"""
from __future__ import annotations

import argparse
import csv
import functools
import io
import json
import math
import os
import sys

__all__ = ["main"]

# (field of Summary, column title, unit)
COLUMNS = (
    ("PGA", "PGA", "m/s2"),
    ("PGV", "PGV", "m/s"),
    ("Ia", "Ia", "m/s"),
    ("D5_75", "D5-75", "s"),
    ("D5_95", "D5-95", "s"),
    ("CAV", "CAV", "m/s"),
    ("CAV5", "CAV5", "m/s"),
    ("CAVstd", "CAVstd", "m/s"),
)


def _parser():
    p = argparse.ArgumentParser(
        prog="tavotools",
        description="Ground-motion intensity measures (PGA, PGV, Arias intensity, significant "
                    "durations, CAV, CAV above 5 cm/s2, CAVstd) of accelerogram files: USGS SMC, "
                    "CDMG/CSMIP V2, PEER NGA AT2, or plain text and CSV. With no FILE, runs on "
                    "a built-in synthetic record. `tavotools obe H1 H2 V` checks three components "
                    "for OBE exceedance and the damage-potential CAV (see `tavotools obe --help`); "
                    "`tavotools flatfile PATH... -o OUT.parquet` writes one row per recording "
                    "of every record under the paths (see `tavotools flatfile --help`).")
    p.add_argument("files", nargs="*", metavar="FILE",
                   help="accelerogram files (also .gz), or directories: every record file below "
                        "them; format detected from content")
    p.add_argument("--format", choices=("table", "csv", "json"), default="table",
                   help="output format (default: table)")
    p.add_argument("--plot", metavar="FILE.png",
                   help="draw acceleration, velocity and the Husid plot (needs matplotlib); "
                        "with several records, FILE-1.png, FILE-2.png, ...")
    p.add_argument("--jobs", "-j", type=int, default=1, metavar="N",
                   help="read and compute on N processes (default: 1)")
    p.add_argument("--dt", type=float, help="time step in s, for one-column text files")
    p.add_argument("--units", help="units of text files and of files read by ObsPy: g, m/s2, "
                                   "cm/s2, gal or mm/s2")
    p.add_argument("--inventory", metavar="FILE.xml",
                   help="StationXML inventory (needs ObsPy): the counts of files read by ObsPy "
                        "(MiniSEED, SAC, ...) are divided by each channel's sensitivity")
    p.add_argument("--process", metavar="STEPS",
                   help="process every record after reading, in order: demean, detrend[:ORDER], "
                        "taper[:FRACTION], bandpass:LOW-HIGH[:ORDER], highpass:LOW, lowpass:HIGH "
                        "(e.g. demean,detrend,bandpass:0.1-25); default: the records as read")
    p.add_argument("--seed", type=int, default=0, help="seed of the built-in record (default: 0)")
    return p


def _metadata(record):
    return {
        "record": record.label,
        "path": record.path,
        "format": record.format,
        "channel": record.channel,
        "station": record.station,
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
    from .records.obspy import load_inventory

    return load_inventory(path)


def _process(task):
    """Read one file, process and summarise each of its records; runs in a worker process.

    Returns (path, rows, error, skipped): `skipped` is true for a file below a
    directory that no reader recognises, which is a note, not an error.
    """
    from .processing import apply_steps
    from .records import UnrecognisedFormat, read_records
    from .summary import summarize

    path, options, keep, below_directory = task
    dt, units, inventory, steps = options
    try:
        records = read_records(path, dt=dt, units=units,
                               inventory=None if inventory is None else _inventory(inventory))
        if steps:
            try:
                records = [apply_steps(r, steps) for r in records]
            except ValueError as e:  # a step that does not fit this record (a corner above Nyquist)
                return path, None, f"{path}: --process {steps}: {e}", False
        rows = [(_metadata(r), summarize(r), r if keep else None) for r in records]
    except UnrecognisedFormat as e:
        return path, None, str(e), below_directory
    except (ValueError, OSError, ImportError) as e:
        return path, None, str(e), False
    return path, rows, None, False


def _progress(done, total, path):
    name = os.path.basename(path)
    sys.stderr.write(f"\r[{done}/{total}] {name[:50]:<50}")
    if done == total:
        sys.stderr.write("\n")
    sys.stderr.flush()


def _tasks(paths, options, keep):
    """One task per file; a directory gives one per file below it."""
    from .records import record_files

    tasks = []
    for path in paths:
        below = os.path.isdir(path)
        tasks.extend((f, options, keep, below) for f in record_files(path))
    return tasks


def _run(tasks, jobs):
    show = len(tasks) > 1 and sys.stderr.isatty()
    results = [None] * len(tasks)
    if jobs > 1 and len(tasks) > 1:
        from concurrent.futures import ProcessPoolExecutor, as_completed

        with ProcessPoolExecutor(max_workers=min(jobs, len(tasks))) as pool:
            futures = {pool.submit(_process, t): k for k, t in enumerate(tasks)}
            for done, fut in enumerate(as_completed(futures), 1):
                results[futures[fut]] = fut.result()
                if show:
                    _progress(done, len(tasks), tasks[futures[fut]][0])
    else:
        for k, t in enumerate(tasks):
            results[k] = _process(t)
            if show:
                _progress(k + 1, len(tasks), t[0])
    return results


def _fmt(value):
    return "nan" if math.isnan(value) else f"{value:.6g}"


#: The table's marks of records the agency has not corrected, and their footnotes.
MARKS = {
    "*": "* not corrected by the agency: what was done is the processing of --format json; "
         "--process applies basic steps",
    "?": "? the file does not say whether the agency corrected the record",
}


def _mark(metadata):
    """'' for a record the agency corrected (or the built-in one), '*' or '?' otherwise."""
    from .records.record import CORRECTED

    if metadata["format"] == "synthetic" or CORRECTED in metadata["processing"]:
        return ""
    return "*" if metadata["processing"] else "?"


def _table(rows):
    head = ["record", "component", "npts", "dt"] + [title for _, title, _ in COLUMNS]
    units = ["", "", "", "s"] + [unit for _, _, unit in COLUMNS]
    marks = [_mark(m) for m, _, _ in rows]
    body = [[f"{m['record']} {mark}".rstrip(), m["component"] or "-", str(m["npts"]),
             f"{m['dt']:g}"] + [_fmt(getattr(s, name)) for name, _, _ in COLUMNS]
            for mark, (m, s, _) in zip(marks, rows)]
    widths = [max(len(r[k]) for r in [head, units] + body) for k in range(len(head))]

    def line(cells):
        return "  ".join(c.ljust(w) if k < 2 else c.rjust(w)
                         for k, (c, w) in enumerate(zip(cells, widths))).rstrip()

    notes = [note for mark, note in MARKS.items() if mark in marks]
    return "\n".join([line(head), line(units)] + [line(r) for r in body] + notes) + "\n"


def _csv(rows):
    out = io.StringIO()
    w = csv.writer(out, lineterminator="\n")
    meta = ["record", "station", "component", "event", "npts", "dt (s)", "processing"]
    names = [n for n in _summary_units()]
    w.writerow(meta + [f"{n} ({u})" for n, u in _summary_units().items()])
    for m, s, _ in rows:
        w.writerow([m["record"], m["station"] or "", m["component"] or "", m["event"]["name"] or "" if m["event"] else "",
                    m["npts"], repr(m["dt"]), "; ".join(m["processing"])]
                   + [repr(getattr(s, n)) for n in names])
    return out.getvalue()


def _summary_units():
    from .summary import Summary

    return Summary.units()


def _json_value(v):
    return None if isinstance(v, float) and not math.isfinite(v) else v


def _json(rows):
    doc = {
        "units": {"dt": "s", "stated_PGA": "m/s2", **_summary_units()},
        "records": [{**{k: _json_value(v) for k, v in m.items()},
                     "measures": {k: _json_value(v) for k, v in s.as_dict().items()}}
                    for m, s, _ in rows],
    }
    return json.dumps(doc, indent=2) + "\n"


def _plot_paths(target, count):
    if count == 1:
        return [target]
    stem, suffix = os.path.splitext(target)
    return [f"{stem}-{k}{suffix or '.png'}" for k in range(1, count + 1)]


def main(argv=None):
    """Run the command line; returns the exit status (1 when a file could not be read).

    `tavotools obe H1 H2 V` runs the OBE-exceedance / damage-potential CAV check instead.
    """
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["obe"]:
        from . import obe

        return obe.main(argv[1:])
    if argv[:1] == ["flatfile"]:
        from .flatfile import command

        return command.main(argv[1:])
    args = _parser().parse_args(argv)
    if args.jobs < 1:
        _parser().error("--jobs must be at least 1")
    if args.units is not None:
        from .records import normalize_units

        if normalize_units(args.units) is None:
            _parser().error(f"unknown --units {args.units!r}: use g, m/s2, cm/s2 or gal")
    if args.dt is not None and not (math.isfinite(args.dt) and args.dt > 0):
        _parser().error("--dt must be a positive time step")
    if args.process is not None:
        from .processing import parse_steps

        try:
            parse_steps(args.process)
        except ValueError as e:
            _parser().error(f"--process: {e}")

    keep = args.plot is not None
    status = 0
    if args.files:
        rows = []
        options = (args.dt, args.units, args.inventory, args.process)
        for path, got, error, skipped in _run(_tasks(args.files, options, keep), args.jobs):
            if skipped:
                print(f"tavotools: note: {path} skipped, not a record file", file=sys.stderr)
            elif error is not None:
                print(f"tavotools: {error}", file=sys.stderr)
                status = 1
            else:
                rows.extend(got)
    else:
        from .processing import apply_steps
        from .summary import summarize
        from .synthetic import synthetic_record

        record = apply_steps(synthetic_record(seed=args.seed), args.process or "")
        rows = [(_metadata(record), summarize(record), record)]

    if rows:
        render = {"table": _table, "csv": _csv, "json": _json}[args.format]
        sys.stdout.write(render(rows))
    if keep and rows:
        from .plot import plot_record

        try:
            for target, (_, summary, record) in zip(_plot_paths(args.plot, len(rows)), rows):
                plot_record(record, target, summary=summary)
                print(f"tavotools: wrote {target}", file=sys.stderr)
        except ImportError as e:
            print(f"tavotools: {e}", file=sys.stderr)
            return 1
    return status
