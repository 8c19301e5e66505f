"""`tavotools flatfile PATH... -o OUT.parquet|OUT.csv`: the command line of flatfiles."""
from __future__ import annotations

import argparse
import math
import sqlite3
import sys

from .run import run

__all__ = ["add_arguments", "main"]


def add_arguments(p):
    p.add_argument("paths", nargs="+", metavar="PATH",
                   help="record files, or folders to read every record below")
    p.add_argument("-o", "--output", required=True, metavar="OUT.parquet|OUT.csv",
                   help="the flatfile; failures go to OUT.errors.csv beside it")
    p.add_argument("--periods", metavar="LIST",
                   help="periods of the spectra in s, comma-separated, or 'standard'")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--jobs", "-j", type=int, default=1, metavar="N",
                       help="read and compute on N local processes (default: 1)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask distributed cluster at ADDRESS "
                            "(needs tavotools[dask])")
    p.add_argument("--process", metavar="STEPS",
                   help="processing of every record before its measures, e.g. "
                        "demean,detrend,bandpass:0.1-25 (default: as read)")
    p.add_argument("--dt", type=float, help="time step in s, for one-column text files")
    p.add_argument("--units", help="units of text files: g, m/s2, cm/s2 or gal")
    return p


def _parser():
    return add_arguments(argparse.ArgumentParser(
        prog="tavotools flatfile",
        description="One row per recording of every record under the paths: metadata, "
                    "per-component measures and spectra, RotD0/50/100 and the geometric mean "
                    "of the horizontals, the damage-potential CAV. Runs again on the same "
                    "output compute only new or changed files."))


def parse_periods(text):
    """The --periods argument as a tuple of seconds."""
    if text is None:
        return ()
    if text.strip().lower() == "standard":
        from ..spectra import STANDARD_PERIODS

        return tuple(STANDARD_PERIODS)
    try:
        values = tuple(float(v) for v in text.split(",") if v.strip())
    except ValueError:
        raise ValueError(f"--periods: {text!r} is not a comma-separated list of periods") from None
    if not values or not all(math.isfinite(v) and v > 0 for v in values):
        raise ValueError(f"--periods: {text!r}: periods must be positive numbers of seconds")
    return values


def _files(n):
    return f"{n} file" if n == 1 else f"{n} files"


def main(argv=None):
    """Run `tavotools flatfile`; returns the exit status (1 when a file failed)."""
    p = _parser()
    args = p.parse_args(argv)
    if args.jobs < 1:
        p.error("--jobs must be at least 1")
    try:
        periods = parse_periods(args.periods)
    except (ValueError, ImportError) as e:
        p.error(str(e))
    try:
        report = run(args.paths, args.output, periods=periods, jobs=args.jobs,
                     scheduler=args.scheduler, dt=args.dt, units=args.units,
                     process=args.process)
    except (ValueError, ImportError, OSError, sqlite3.Error) as e:
        # sqlite3.Error: a run state that is not one (another file named OUT.state).
        print(f"tavotools flatfile: {e}", file=sys.stderr)
        return 2
    if report.reset:
        print("tavotools flatfile: the periods, reading options or processing changed: "
              "every file was read again", file=sys.stderr)
    what = "interrupted" if report.interrupted else "wrote"
    print(f"tavotools flatfile: {what} {report.output}: {report.rows} rows "
          f"({_files(report.computed)} read, {report.reused} unchanged)", file=sys.stderr)
    if report.skipped:
        print(f"tavotools flatfile: skipped {_files(report.skipped)} in the folders that no "
              f"reader recognises (event.json, README, ...)", file=sys.stderr)
    if report.failed:
        print(f"tavotools flatfile: {_files(report.failed)} failed: see {report.errors_file}",
              file=sys.stderr)
    return report.status
