"""`tavotools spectrum FILE...`: the elastic response spectra (PSA, PSV, SD) of
every record of the files, and the RotD0/50/100 of PSA of each horizontal pair,
as a table, CSV or JSON, and a plot of PSA against period. With no file it runs
on the built-in synthetic three-component set.

A pair is the two horizontals of one recording (the records that share a
station, start time and event, as the flatfile groups them), or, when no
recording holds two, the two horizontal records given, if there are exactly
two. A file that fails is reported on stderr with its name, the others go on,
and the exit status is 1.
"""
from __future__ import annotations

import os
import sys
from dataclasses import dataclass

from ..render import csv_text, exact, json_text, number, printable, table_lines
from .common import (add_reading, add_table_units, bounded, check_sources, emit, failure,
                     periods, shown, why_skipped, write_plot)

__all__ = ["DESCRIPTION", "HELP", "NAME", "add_arguments", "run"]

NAME = "spectrum"
HELP = "response spectra of accelerogram files, and RotD of horizontal pairs"
DESCRIPTION = ("Elastic response spectra (PSA, PSV, SD) of every record of the files at "
               "the periods (default: the 111 standard periods, 0.01 to 20 s), and the "
               "RotD0, RotD50 and RotD100 of PSA, with the angle of RotD100, of each pair of "
               "horizontal components of one recording. With no FILE, runs on a built-in "
               "synthetic three-component record.")

#: (key, column title, SI unit, kind for --table-units) of a record's spectra.
SPECTRA = (("PSA", "PSA", "m/s2", "acceleration"), ("PSV", "PSV", "m/s", "velocity"),
           ("SD", "SD", "m", "displacement"))

#: The RotD percentiles shown.
PERCENTILES = (0.0, 50.0, 100.0)


#: argparse type of `--damping`: a ratio in [0, 1).
_damping = bounded(float, lambda r: 0.0 <= r < 1.0, "a damping ratio in [0, 1)")


def add_arguments(p):
    p.add_argument("files", nargs="*", metavar="FILE",
                   help="accelerogram files (also .gz), or directories: every record file "
                        "below them")
    p.add_argument("--periods", metavar="LIST|standard", type=periods, default=None,
                   help="periods in s, comma-separated, or 'standard' (the default: 111 "
                        "periods from 0.01 to 20 s)")
    p.add_argument("--damping", type=_damping, default=0.05,
                   help="damping ratio of the oscillators (default: 0.05)")
    p.add_argument("--format", choices=("table", "csv", "json"), default="table",
                   help="output format (default: table)")
    add_table_units(p)
    p.add_argument("--plot", metavar="FILE.png",
                   help="draw PSA against period of every record and the RotD50 of each pair "
                        "(needs matplotlib)")
    add_reading(p, process=False)


@dataclass(frozen=True, eq=False)
class _Pair:
    """The RotD of two horizontals, with the labels of the records."""

    h1: str
    h2: str
    rotd: object

    @property
    def label(self):
        return f"{self.h1} + {self.h2}"


def _read(paths, dt, units):
    """(path, record) of every record of the files, each file once, and whether any
    file failed."""
    from ..records import UnrecognisedFormat, read_records, record_files

    items, failed, seen = [], False, set()
    for path in paths:
        below = os.path.isdir(path)
        unlisted = []
        for name in record_files(path, onerror=unlisted.append):
            # A file named twice (or named and below a folder also named) is read once:
            # its records twice over would pair each horizontal with itself.
            try:
                st = os.stat(name)
                identity = (st.st_dev, st.st_ino)
            except OSError:
                identity = None     # read_records reports it
            if identity is not None:
                if identity in seen:
                    continue
                seen.add(identity)
            try:
                items += [(name, r) for r in read_records(name, dt=dt, units=units)]
            except UnrecognisedFormat as e:
                if below:  # a file in a folder that is no record is a note, as in `measures`
                    print(f"tavotools spectrum: note: {printable(name)} skipped, {why_skipped(e)}",
                          file=sys.stderr)
                    continue
                print(f"tavotools spectrum: {failure(name, e)}", file=sys.stderr)
                failed = True
            except Exception as e:  # any fault of one file is that file's
                print(f"tavotools spectrum: {failure(name, e)}", file=sys.stderr)
                failed = True
        for e in unlisted:
            print(f"tavotools spectrum: {printable(e.filename)}: cannot read folder "
                  f"({e.strerror or e})", file=sys.stderr)
            failed = True
    return items, failed


def _horizontal_pairs(items):
    """The (h1, h2) records to rotate: of each recording with two horizontals, or the two
    horizontal records given when no recording has two. Recordings are grouped within
    each folder, as the flatfile groups them: copies of one recording in two folders
    are two recordings."""
    from ..flatfile.rows import group_records, orientation_slots, sensor_code

    folders = {}
    for path, record in items:
        folder = None if path is None else os.path.dirname(os.path.abspath(path))  # None: built in
        folders.setdefault(folder, []).append((path, record))
    pairs = []
    for _, members in (g for folder in folders.values() for g in group_records(folder)):
        slots = orientation_slots([r for _, r in members])
        if slots is not None and slots[0] is not None and slots[1] is not None:
            pairs.append(slots[:2])
    if not pairs:
        horizontal = [r for _, r in items if r.orientation != "vertical"]
        if len(horizontal) == 2:
            sensors = [sensor_code(r) for r in horizontal]
            # Two sensors' components (HNE beside HHN) are not the pair of one motion.
            if None in sensors or sensors[0] == sensors[1]:
                pairs.append(tuple(horizontal))
    return pairs


def _compute(records, pairs, T, damping):
    """(the records whose spectra could be computed, their spectra, pairs with their RotD,
    notes of the records and pairs that could not be)."""
    from ..rotd import rotd
    from ..spectra import response_spectrum

    kept, spectra, errors = [], [], []
    for r in records:
        try:
            spectra.append(response_spectrum(r.accel, r.dt, periods=T, damping=damping))
        except ValueError as e:  # a response past the range of doubles: the record only fails
            errors.append(f"{printable(r.label)}: no spectrum: {e}")
            continue
        kept.append(r)
    done = []
    for h1, h2 in pairs:
        try:
            r = rotd(h1, h2, periods=T, damping=damping, percentiles=PERCENTILES, trim=True)
        except ValueError as e:  # different time steps, one sample: the pair only fails
            errors.append(f"{printable(h1.label)} + {printable(h2.label)}: no RotD: {e}")
            continue
        done.append(_Pair(printable(h1.label), printable(h2.label), r))
    return kept, spectra, done, errors


def _table(records, spectra, pairs, T, system):
    out = []
    columns = [(title, *shown(system, kind, unit), key) for key, title, unit, kind in SPECTRA]
    for record, sp in zip(records, spectra):
        out.append(f"{printable(record.label)} ({record.component or '-'}): "
                   f"{exact(sp.damping)} damping, dt {record.dt:g} s, {record.npts} samples")
        head = ["T"] + [title for title, _, _, _ in columns]
        units = ["s"] + [unit for _, unit, _, _ in columns]
        # Periods whole: two that 6 digits round alike would label two rows alike.
        body = [[exact(t)] + [number(convert(float(getattr(sp, key)[k])))
                              for _, _, convert, key in columns]
                for k, t in enumerate(T)]
        out += table_lines([head, units] + body, 1) + [""]
    unit, convert = shown(system, "acceleration", "m/s2")
    for pair in pairs:
        r = pair.rotd
        notes = "".join(f"; {n}" for n in r.notes)
        out.append(f"RotD of PSA, {pair.label}: {exact(r.damping)} damping{notes}")
        head = ["T"] + [f"RotD{p:g}" for p in PERCENTILES] + ["RotD100 angle"]
        units = ["s"] + [unit] * len(PERCENTILES) + ["deg"]
        body = [[exact(t)] + [number(convert(float(r.PSA[j, k])))
                              for j in range(len(PERCENTILES))] + [f"{r.PSA_angle[k]:g}"]
                for k, t in enumerate(T)]
        out += table_lines([head, units] + body, 1) + [""]
    return "\n".join(out[:-1]) + "\n"


def _csv(records, spectra, pairs, T, system):
    rotd_names = [f"RotD{p:g}_PSA (m/s2)" for p in PERCENTILES]
    header = ["record", "component", "damping", "period (s)", "PSA (m/s2)", "PSV (m/s)",
              "SD (m)", *rotd_names, "RotD100_angle (deg)"]
    rows = []
    for record, sp in zip(records, spectra):
        rows += [[printable(record.label), record.component, sp.damping, float(t),
                  float(sp.PSA[k]), float(sp.PSV[k]), float(sp.SD[k])] + [None] * 4
                 for k, t in enumerate(T)]
    for pair in pairs:
        r = pair.rotd
        rows += [[pair.label, "RotD", r.damping, float(t), None, None, None] +
                 [float(r.PSA[j, k]) for j in range(len(PERCENTILES))] +
                 [float(r.PSA_angle[k])] for k, t in enumerate(T)]
    return csv_text(header, rows)


def _json(records, spectra, pairs, T, system):
    return json_text({
        "units": {"periods": "s", "PSA": "m/s2", "PSV": "m/s", "SD": "m",
                  **{f"RotD{p:g}": "m/s2" for p in PERCENTILES}, "RotD100_angle": "deg"},
        "periods": list(T),
        "damping": spectra[0].damping if spectra else None,
        "records": [{"record": printable(r.label), "path": printable(r.path),
                     "component": r.component, "npts": r.npts, "dt": r.dt,
                     "PSA": sp.PSA, "PSV": sp.PSV, "SD": sp.SD}
                    for r, sp in zip(records, spectra)],
        "rotd": [{"H1": pair.h1, "H2": pair.h2, "npts": pair.rotd.npts,
                  "notes": list(pair.rotd.notes),
                  **{f"RotD{p:g}": pair.rotd.PSA[j] for j, p in enumerate(PERCENTILES)},
                  "RotD100_angle": pair.rotd.PSA_angle}
                 for pair in pairs],
    })


RENDER = {"table": _table, "csv": _csv, "json": _json}


def run(args, parser):
    """The spectra of every record of the files; 1 when a file or a pair failed."""
    import numpy as np

    from ..spectra import STANDARD_PERIODS

    check_sources(args, parser)
    T = np.array(STANDARD_PERIODS if args.periods is None else args.periods)
    if args.files:
        items, failed = _read(args.files, args.dt, args.units)
    else:
        from ..obe import builtin_components

        items, failed = [(None, r) for r in builtin_components()], False
    records = [r for _, r in items]
    records, spectra, pairs, errors = _compute(records, _horizontal_pairs(items), T, args.damping)
    for error in errors:
        print(f"tavotools spectrum: {error}", file=sys.stderr)
    if records:
        emit(RENDER[args.format](records, spectra, pairs, T, args.table_units))
    if args.plot is not None and records:
        from ..plot import plot_response_spectra

        def draw(path):
            plot_response_spectra([printable(r.label) for r in records], spectra,
                                  [(pair.label, pair.rotd) for pair in pairs], path)

        if not write_plot(draw, args.plot,
                          lambda line: print(f"tavotools spectrum: {line}", file=sys.stderr),
                          inputs=[r.path for r in records]):
            return 1
    return 1 if failed or errors else 0
