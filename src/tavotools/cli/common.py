"""What the subcommands share: the options that read records (`--dt`,
`--units`, `--jobs`, `--process`) with their checks, the periods of spectra
(`--periods`), the units of tables (`--table-units`), and how a file that
fails is reported.
"""
from __future__ import annotations

import argparse
import math
import os
import sys

from .. import checks
from ..constants import G
from ..files import replacing, same_file
from ..render import printable

__all__ = ["FILE_OPTIONS", "OutputError", "OutputGone", "PLOT_ERRORS", "TABLE_UNITS", "add_jobs",
           "add_reading", "add_table_units", "bounded", "check_process", "check_sources", "emit",
           "failure", "jobs", "parse_periods", "periods", "plot_failure", "plot_target",
           "reported", "same_file", "shown", "time_step", "units", "write_plot", "write_plots"]


def reported(function):
    """An argparse type: `function(text)`, its ValueError the usage error."""
    def argument(text):
        try:
            return function(text)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None

    return argument


def _unit_name(text):
    from ..records.units import units_argument

    return units_argument(text)


#: argparse type of `--units`: the canonical name of an acceleration unit.
units = reported(_unit_name)


def bounded(convert, valid, what):
    """An argparse type: `convert(text)` when `valid` holds for it, else the usage
    error "'TEXT' is not `what`"."""
    def argument(text):
        try:
            value = convert(text)
        except ValueError:
            value = None
        if value is None or not valid(value):
            raise argparse.ArgumentTypeError(f"{text!r} is not {what}")
        return value

    return argument


#: argparse type of `--dt`: a positive, finite time step in seconds.
time_step = bounded(checks.time_step, lambda dt: True, "a positive, finite time step")

#: argparse type of `--jobs`: a count of processes, at least 1.
jobs = bounded(int, lambda n: n >= 1, "a count of processes (at least 1)")


def parse_periods(text):
    """The text of `--periods` as a tuple of seconds: comma-separated numbers, each
    positive, finite and given once, or "standard" for the 111 standard periods. None
    gives (). Raises ValueError naming the text."""
    if text is None:
        return ()
    if text.strip().lower() == "standard":
        from ..spectra import STANDARD_PERIODS

        return tuple(STANDARD_PERIODS)
    try:
        values = tuple(float(v) for v in text.split(",") if v.strip())
    except ValueError:
        raise ValueError(f"{text!r} is not a comma-separated list of periods") from None
    if not values or not all(math.isfinite(v) and v > 0 for v in values):
        raise ValueError(f"{text!r}: periods must be positive numbers of seconds")
    # A period given twice would name two columns alike (one of them lost to any reader
    # that keys by name), and the flatfile cannot hold it at all.
    seen = set()
    for v in values:
        if v in seen:
            raise ValueError(f"{text!r}: the period {v!r} s is given twice")
        seen.add(v)
    return values


#: argparse type of `--periods`: `parse_periods`, its faults usage errors.
periods = reported(parse_periods)


#: What `--table-units` shows of each kind of measure: (unit, conversion from SI).
#: With "g", accelerations are divided by `G`, velocities and displacements
#: multiplied by 100; the CAVs, integrals of |a| over time, are in g s (the
#: unit of their 0.16 g s cut-off); Arias intensity, durations and anything
#: else keep their SI unit.
TABLE_UNITS = {
    "si": {},
    "g": {
        "acceleration": ("g", lambda x: x / G),
        "velocity": ("cm/s", lambda x: x * 100.0),
        "displacement": ("cm", lambda x: x * 100.0),
        "cav": ("g s", lambda x: x / G),
    },
}


def shown(system, kind, unit):
    """(unit, conversion) of a measure of `kind` whose SI unit is `unit`, in a table of
    `--table-units system`; the conversion keeps None."""
    title, convert = TABLE_UNITS[system].get(kind, (unit, None))
    if convert is None:
        return unit, lambda x: x
    return title, lambda x: None if x is None else convert(x)


def add_table_units(parser):
    """`--table-units si|g`: the units of the table (CSV and JSON stay SI)."""
    parser.add_argument("--table-units", choices=tuple(TABLE_UNITS), default="si",
                        help="units of the table: si (m/s2, m/s, m; the default) or g "
                             "(accelerations in g, velocities in cm/s, displacements in cm, "
                             "CAVs in g s; Ia stays in m/s); CSV and JSON are always SI")


def add_reading(parser, *, process=True):
    """`--dt`, `--units` and (with `process`) `--process`: how records are read."""
    parser.add_argument("--dt", type=time_step,
                        help="time step in s, for one-column text files")
    parser.add_argument("--units", type=units,
                        help="units of text files and of files read by ObsPy: g, m/s2, cm/s2, "
                             "gal, mm/s2 or g/10")
    if process:
        parser.add_argument("--process", metavar="STEPS",
                            help="process every record after reading, in order: demean, "
                                 "detrend[:ORDER], taper[:FRACTION], bandpass:LOW-HIGH[:ORDER], "
                                 "highpass:LOW, lowpass:HIGH (e.g. demean,detrend,"
                                 "bandpass:0.1-25); default: the records as read")


def add_jobs(parser):
    """`--jobs N`: read and compute on N processes."""
    parser.add_argument("--jobs", "-j", type=jobs, default=1, metavar="N",
                        help="read and compute on N processes (default: 1)")


def check_process(args, parser):
    """A usage error unless `--process` names steps that exist."""
    if getattr(args, "process", None) is not None:
        from ..processing import parse_steps

        try:
            parse_steps(args.process)
        except ValueError as e:
            parser.error(f"--process: {e}")


#: The options that say how files are read, by their flags: the built-in record needs none.
FILE_OPTIONS = (("dt", "--dt"), ("units", "--units"), ("inventory", "--inventory"))


def check_sources(args, parser):
    """A usage error for an option that would apply to nothing: one that says how
    files are read given with no file, or `--seed`, which drives the built-in
    record only, given with files."""
    if args.files:
        if getattr(args, "seed", None) is not None:
            parser.error("--seed only applies to the built-in record, not to files")
        return
    given = [flag for name, flag in FILE_OPTIONS if getattr(args, name, None) is not None]
    if given:
        verb = "applies" if len(given) == 1 else "apply"
        parser.error(f"{', '.join(given)} only {verb} to files, and none is given")


def why_skipped(error):
    """The reason a note gives for a file in a folder that no reader recognises: an
    archive is named as one, so that the records in it are not taken for read."""
    from ..records import PackedFile

    return error.reason if isinstance(error, PackedFile) else "not a record file"


def failure(path, error):
    """The line that reports a file that failed: its name and what went wrong.

    Errors of the readers name the file already; anything else (a fault no
    reader foresaw) gets the file's name and the kind of error.
    """
    from ..records import RecordError

    if isinstance(error, RecordError):
        return printable(str(error))
    return f"{printable(path)}: {type(error).__name__}: {printable(str(error))}"


#: What drawing a plot into the user's file may raise for that file: a folder that does
#: not exist or cannot be written (OSError), a suffix matplotlib has no format for
#: (ValueError). Anything else a backend raises while it writes (zlib.error from a PDF
#: on a full disk) is also that plot's failure; the messages of these name their type.
PLOT_ERRORS = (OSError, ValueError)


def _system_error(error):
    """The OSError with a reason among `error` and the errors it was raised in handling:
    what a backend raises after a failed write (zlib.error) hides the full disk."""
    seen = set()
    while error is not None and id(error) not in seen:
        if isinstance(error, OSError) and error.strerror:
            return error
        seen.add(id(error))
        error = error.__cause__ or error.__context__
    return None


def plot_failure(path, error):
    """The line that reports a plot that could not be written to `path`."""
    system = _system_error(error)
    if system is not None:
        reason = system.strerror
    elif isinstance(error, PLOT_ERRORS):
        reason = str(error)
    else:
        kind = type(error)
        name = kind.__qualname__ if kind.__module__ == "builtins" else \
            f"{kind.__module__}.{kind.__qualname__}"
        reason = f"{name}: {error}"
    return f"cannot write {printable(path)}: {printable(reason)}"


def plot_target(path):
    """The file a plot asked for as `path` is written to: a name with no suffix gets
    ".png", as matplotlib gives it (it names the format)."""
    path = os.fspath(path)
    if os.path.splitext(path)[1][1:]:
        return path
    return path.rstrip(".") + ".png"


def _draw_into(draw, target):
    """`draw(path)` into a temporary file that becomes `target` once whole (see files.replacing)."""
    with replacing(target) as tmp:
        draw(tmp)


def write_plots(plots, say, inputs=()):
    """Draw each of the (draw, path) pairs `plots`: `draw(file)` writes a plot to `file`,
    here a temporary file that becomes `plot_target(path)` once it is whole. Report each
    outcome through `say` (a line of stderr). A plot that cannot be written does not keep
    the others from being drawn; without matplotlib none can, and one line says so. A
    plot whose file is one of `inputs` (the files read) is refused: it would replace a
    record. True when every plot was written."""
    written = True
    for draw, path in plots:
        target = plot_target(path)
        if any(same_file(target, f) for f in inputs if f is not None):
            say(f"cannot write {printable(target)}: it is one of the files read")
            written = False
            continue
        try:
            _draw_into(draw, target)
        except ImportError as e:  # matplotlib is an extra
            say(str(e))
            return False
        except Exception as e:  # noqa: BLE001 - whatever the backend raised is this plot's
            say(plot_failure(target, e))
            written = False
            continue
        say(f"wrote {printable(target)}")
    return written


def write_plot(draw, path, say, inputs=()):
    """`write_plots` of the one plot that `draw(file)` writes for `path`."""
    return write_plots([(draw, path)], say, inputs)


class OutputError(Exception):
    """Standard output cannot take the report: a full disk, a closed stream."""


class OutputGone(Exception):
    """The reader of standard output has gone (a broken pipe: `| head -1`)."""


def emit(text):
    """Write `text` to standard output and flush it, so that a failure to write is
    known here, not at exit: OutputGone for a broken pipe, OutputError otherwise."""
    stream = sys.stdout
    try:
        if stream is None:  # started with stdout closed (`>&-`)
            raise OutputError("standard output is closed")
        binary = getattr(stream, "buffer", None)
        if binary is None:
            stream.write(text)
        else:
            # A pipe whose reader leaves during a long write takes part of it, and the
            # text layer drops the rest without a word (status 0): write the bytes until
            # all are taken, so that the next write meets the broken pipe.
            stream.flush()
            data = memoryview(text.encode(stream.encoding, stream.errors or "strict"))
            while data:
                taken = binary.write(data)
                if not taken:   # a non-blocking stream that is full
                    raise OutputError("standard output takes no more")
                data = data[taken:]
            binary.flush()
        stream.flush()
    except BrokenPipeError:
        raise OutputGone() from None
    except OSError as e:
        raise OutputError(e.strerror or str(e)) from None
    except ValueError as e:  # a stream closed under us: "I/O operation on closed file"
        raise OutputError(str(e)) from None
