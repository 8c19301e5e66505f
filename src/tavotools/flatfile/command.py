"""`tavotools flatfile PATH... -o OUT.parquet|OUT.csv`: the command line of flatfiles,
a subcommand of `tavotools.cli`."""
from __future__ import annotations

import sqlite3
import sys

from ..cli.common import add_reading, check_process, jobs, parse_periods, periods
from ..render import printable
from .run import run as run_flatfile

__all__ = ["DESCRIPTION", "HELP", "NAME", "add_arguments", "main", "parse_periods", "run"]

NAME = "flatfile"
HELP = "one row per recording of every record under the paths, as Parquet or CSV"
DESCRIPTION = ("One row per recording of every record under the paths: metadata, "
               "per-component measures and spectra, RotD0/50/100 and the geometric mean "
               "of the horizontals, the damage-potential CAV. Runs again on the same "
               "output compute only new or changed files.")


def add_arguments(p):
    p.add_argument("paths", nargs="+", metavar="PATH",
                   help="record files, or folders to read every record below")
    p.add_argument("-o", "--output", required=True, metavar="OUT.parquet|OUT.csv",
                   help="the flatfile; failures go to OUT.errors.csv beside it")
    p.add_argument("--periods", metavar="LIST", type=periods, default=(),
                   help="periods of the spectra in s, comma-separated, or 'standard'")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--jobs", "-j", type=jobs, default=1, metavar="N",
                       help="read and compute on N local processes (default: 1)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask distributed cluster at ADDRESS "
                            "(needs tavotools[dask])")
    add_reading(p)
    return p


def _files(n):
    return f"{n} file" if n == 1 else f"{n} files"


def main(argv=None):
    """`tavotools flatfile ARGS...`; returns the exit status (1 when a file failed)."""
    from ..cli import main as command_line

    return command_line(["flatfile", *([] if argv is None else argv)])


def run(args, p):
    """Write the flatfile of `args`; the exit status (1 when a file failed, 2 when none could)."""
    check_process(args, p)
    try:
        report = run_flatfile(args.paths, args.output, periods=args.periods, jobs=args.jobs,
                     scheduler=args.scheduler, dt=args.dt, units=args.units,
                     process=args.process)
    except (ValueError, ImportError, OSError, sqlite3.Error) as e:
        # sqlite3.Error: a run state that is not one (another file named OUT.csv.state).
        print(f"tavotools flatfile: {e}", file=sys.stderr)
        return 2
    if not report.written:
        print(f"tavotools flatfile: interrupted while finding the files: {report.output} "
              f"left as it was", file=sys.stderr)
        return report.status
    if report.reset:
        print("tavotools flatfile: the periods, reading options or processing changed: "
              "every file was read again", file=sys.stderr)
    what = "interrupted" if report.interrupted else "wrote"
    print(f"tavotools flatfile: {what} {report.output}: {report.rows} rows "
          f"({_files(report.computed)} read, {report.reused} unchanged)", file=sys.stderr)
    if report.skipped:
        print(f"tavotools flatfile: skipped {_files(report.skipped)} in the folders that no "
              f"reader recognises (event.json, README, ...)", file=sys.stderr)
    if report.packed:
        # The records in an archive are not read: a count among README files would hide them.
        names = ", ".join(printable(name) for name in report.packed[:5])
        more = len(report.packed) - 5
        print(f"tavotools flatfile: {len(report.packed)} of them packed (archives or compressed "
              f"files), whose records were not read: unpack them ({names}"
              f"{f' and {more} more' if more > 0 else ''})", file=sys.stderr)
    if report.failed:
        print(f"tavotools flatfile: {_files(report.failed)} failed: see {report.errors_file}",
              file=sys.stderr)
    return report.status
