"""`tavotools obe H1 H2 V`: the OBE-exceedance check of a three-component record,
as text or JSON, and the plot of its spectra. With no file it runs on the
built-in synthetic three-component set.
"""
from __future__ import annotations

import itertools
import sys

from ..render import json_text, printable
from .common import add_reading, check_sources, emit, failure, same_file, write_plot

__all__ = ["DESCRIPTION", "HELP", "NAME", "add_arguments", "run"]

NAME = "obe"
HELP = "OBE exceedance and the damage-potential CAV of three components"
DESCRIPTION = ("OBE exceedance check of a three-component accelerogram: per component "
               "CAVstd and the 5 %-damped spectral peaks (PSA 2-10 Hz, PSV 1-2 Hz), the "
               "damage-potential CAV decision and, beside it, the checks of US NRC "
               "Regulatory Guide 1.166. With no file, runs on a built-in synthetic "
               "three-component record.")


def add_arguments(p):
    p.add_argument("files", nargs="*", metavar="H1 H2 V",
                   help="the two horizontal components and the vertical one (accelerogram files)")
    p.add_argument("--format", choices=("table", "json"), default="table",
                   help="output format (default: table)")
    p.add_argument("--plot", metavar="FILE.png",
                   help="draw the three spectra with the bands and cut-offs (needs matplotlib)")
    p.add_argument("--trim", action="store_true",
                   help="cut components of different lengths to the shortest")
    add_reading(p, process=False)


def _say(message):
    print(f"tavotools obe: {message}", file=sys.stderr)


def _read(paths, dt, units):
    """The record of each file, or None after every failure is reported."""
    from ..records import read_records

    records, failed = [], False
    for path in paths:
        try:
            got = read_records(path, dt=dt, units=units)
        except Exception as e:  # any fault of one file is reported with its name
            _say(failure(path, e))
            failed = True
            continue
        if len(got) != 1:
            # One component a file: read_record's "pass channel" names an argument
            # that the command has no option for.
            numbers = [r.channel for r in got]
            channels = "" if not got or None in numbers else \
                f" (channels {', '.join(str(n) for n in numbers)})"
            _say(f"{printable(path)} holds {len(got)} records{channels}: give one file per "
                 f"component, H1 H2 V")
            failed = True
            continue
        records.append(got[0])
    return None if failed else records


def run(args, parser):
    """The report of the three files (or the built-in set); 1 on a read or input error."""
    from ..obe import (NAMES, builtin_components, format_report, obe_check, plot_spectra,
                       report_as_dict)

    check_sources(args, parser)
    if len(args.files) not in (0, 3):
        parser.error("give three files (H1 H2 V), or none for the built-in record")
    for (i, a), (j, b) in itertools.combinations(enumerate(args.files), 2):
        # Records that state no channel cannot tell one component given twice from two:
        # the file can (a name and ./name, a link), as spectrum reads such a file once.
        if same_file(a, b):
            _say(f"{NAMES[i]} and {NAMES[j]} are one file, {printable(b)}: the same component "
                 f"given twice, not two components of one motion")
            return 1
    records = _read(args.files, args.dt, args.units) if args.files else builtin_components()
    if records is None:
        return 1
    try:
        report = obe_check(*records, trim=args.trim)
    except ValueError as e:
        _say(printable(str(e)).replace("trim cuts them", "--trim cuts them"))
        return 1
    if args.format == "json":
        emit(json_text(report_as_dict(report)))
    else:
        emit(format_report(report))
    if args.plot is not None:
        if not write_plot(lambda path: plot_spectra(report, path), args.plot, _say,
                          inputs=args.files):
            return 1
    return 0
