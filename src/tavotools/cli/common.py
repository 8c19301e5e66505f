"""What the subcommands share: the options that read records (`--dt`,
`--units`, `--jobs`, `--process`) with their checks, and how a file that
fails is reported.
"""
from __future__ import annotations

import argparse

from .. import checks
from ..render import printable

__all__ = ["add_jobs", "add_reading", "check_process", "failure", "jobs", "time_step",
           "units"]


def time_step(text):
    """argparse type of `--dt`: a positive, finite time step in seconds."""
    try:
        return checks.time_step(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive, finite time step") \
            from None


def units(text):
    """argparse type of `--units`: the canonical name of an acceleration unit."""
    from ..records.units import units_argument

    try:
        return units_argument(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def jobs(text):
    """argparse type of `--jobs`: a count of processes, at least 1."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a count of processes (at least 1)")
    return value


def add_reading(parser, *, process=True):
    """`--dt`, `--units` and (with `process`) `--process`: how records are read."""
    parser.add_argument("--dt", type=time_step,
                        help="time step in s, for one-column text files")
    parser.add_argument("--units", type=units,
                        help="units of text files and of files read by ObsPy: g, m/s2, cm/s2, "
                             "gal or mm/s2")
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


def failure(path, error):
    """The line that reports a file that failed: its name and what went wrong.

    Errors of the readers name the file already; anything else (a fault no
    reader foresaw) gets the file's name and the kind of error.
    """
    from ..records import RecordError

    if isinstance(error, RecordError):
        return printable(str(error))
    return f"{printable(path)}: {type(error).__name__}: {printable(str(error))}"
