"""Reading record files: the format found from the content (each file read
once), then the format's parser; and the per-format entry points callers
already use.
"""
from __future__ import annotations

import os
import warnings

import numpy as np

from .. import checks
from .._parse import rounding_to_nearest
from .formats import FORMATS, by_name
from .record import RecordError, SkippedFile, UnrecognisedFormat, path_name
from .source import Source
from .units import units_argument

__all__ = ["detect_format", "record_files", "read_at2", "read_record", "read_records", "read_smc", "read_text",
           "read_v2"]


def _sniffed(source):
    """The first format whose `sniff` recognises the file, else None."""
    head = source.head
    for module in FORMATS:
        if module.sniff(head):
            return module
    return None


def _suffix(path):
    name = os.path.basename(path_name(path)).lower()
    if name.endswith(".gz"):
        name = name[:-3]
    return os.path.splitext(name)[1]


def _parse(module, source):
    """`module.parse(source)`; any fault while parsing comes out as RecordError."""
    try:
        return module.parse(source)
    except RecordError:
        raise
    except (MemoryError, RecursionError, KeyboardInterrupt):
        raise
    except Exception as e:  # a fault no reader check names: still the file's fault
        raise RecordError(source.path, None, f"cannot be read as {module.NAME} "
                                             f"({type(e).__name__}: {e})") from e


def _unrecognised(source):
    """Every reader's attempt at a file none recognises; the one that got furthest speaks.

    A fallback reader (ObsPy) that reads the file speaks for it, unless it
    names the reader here whose format the file is (`closest`).
    """
    complaints = []
    closest = None
    for module in FORMATS:
        try:
            return _parse(module, source)
        except RecordError as e:
            if getattr(module, "FALLBACK", False) and not isinstance(e, UnrecognisedFormat):
                raise
            closest = getattr(e, "closest", None) or closest
            complaints.append((e.line or 0, module.NAME, e.reason))
    named = [c for c in complaints if c[1] == closest]
    line, name, reason = named[0] if named else max(complaints, key=lambda c: c[0])
    where = f"line {line}: " if line else ""
    tried = ", ".join(m.NAME for m in FORMATS)
    raise UnrecognisedFormat(source.path, None, f"not a recognised record format (tried: "
                                                f"{tried}); as {name}: {where}{reason}")


def record_files(path, onerror=None):
    """The files below a directory, sorted, hidden ones left out; a file is itself.

    Links to folders are followed (data folders are often linked into a
    project's), each folder read once however many links reach it, so that a
    link back up the tree ends and no file is listed twice. A folder that
    cannot be listed raises its OSError, or, with `onerror`, is passed to
    `onerror(error)` and left out: never left out in silence.
    """
    return list(iter_record_files(path, onerror))


def iter_record_files(path, onerror=None):
    """`record_files` one folder at a time: a walk of a large tree holds one
    folder's names, not every name below it."""
    path = path_name(os.fspath(path))  # not a descriptor (see read_records)
    if not os.path.isdir(path):
        yield path_name(path)
        return

    def unlisted(error):
        if onerror is None:
            raise error
        onerror(error)

    seen = set()
    for folder, dirs, files in os.walk(path, onerror=unlisted, followlinks=True):
        try:
            st = os.stat(folder)
        except OSError as e:
            unlisted(e)
            dirs[:] = []
            continue
        if (st.st_dev, st.st_ino) in seen:
            dirs[:] = []
            continue
        seen.add((st.st_dev, st.st_ino))
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        yield from (os.path.join(folder, f) for f in sorted(files) if not f.startswith("."))


def _read_directory(path, **options):
    records = []
    for name in record_files(path):
        try:
            records.extend(read_records(name, **options))
        except UnrecognisedFormat as e:
            warnings.warn(SkippedFile(f"{name}: skipped, not a record file ({e.reason})"),
                          stacklevel=5)  # read_records' caller: through _read and its lambda
    return records


def read_records(path, *, format=None, dt=None, units=None, inventory=None):
    """Read every channel of an accelerogram file, as a list of `Record`.

    The file is read once; its format ('smc', 'v2', 'at2', 'text', ...) is
    found from its content unless given. A file whose header is damaged past
    recognition is read by the format its suffix names, so the fault is told
    in that format's terms. `dt` and `units` apply where the file does not
    state them (plain text: one column of samples needs `dt`; two columns
    are time and acceleration); formats that state their own ignore them.
    Raises `RecordError` (a ValueError) naming the file and line for any
    fault of the file; ValueError for a bad argument.

    A directory reads every record file below it, in the order of their
    paths; files that no reader recognises (an event.json) are skipped with
    a `SkippedFile` warning. Files that no reader of this package recognises
    go to `obspy.read` when ObsPy is installed (MiniSEED, SAC, ...); their
    samples need `units`, or `inventory` (an ObsPy Inventory or a StationXML
    file) to divide counts by the sensitivity.
    """
    # A path, never a descriptor: open() takes an int (or a bool) for one, and would
    # read the caller's descriptor and close it (read_records(1) closed stdout).
    path = path_name(os.fspath(path))
    # A file means the same numbers whatever rounding mode C code left set: its
    # texts (float() rounds in the mode set) and its units' scaling are read rounding
    # to nearest, as Python and NumPy compute by default.
    return rounding_to_nearest(lambda: _read(path, format, dt, units, inventory))


def _read(path, format, dt, units, inventory):
    if os.path.isdir(path):
        return _read_directory(path, format=format, dt=dt, units=units, inventory=inventory)
    if units is not None:
        units = units_argument(units)
    if dt is not None:
        dt = checks.time_step(dt)
    module = None if format is None else by_name(format)
    source = Source.read(path, dt=dt, units=units, inventory=inventory)
    if module is None:
        module = _sniffed(source)
        # Plain text is recognised by any line of numbers: a file whose suffix
        # names a format (K-NET's .EW) but whose header is damaged is that
        # format's, and its fault is told in that format's terms.
        if module is None or module.NAME == "text":
            named = [m for m in FORMATS if _suffix(path) in m.SUFFIXES]
            if named:
                return _by_suffix(source, named)
    if module is None:
        return _unrecognised(source)
    return _parse(module, source)


def _by_suffix(source, named):
    """The records of the first of the formats `named` by the file's suffix that reads it.

    Several formats share a suffix (.v1: COSMOS, RENADIC, BHRC, CDMG): when
    none reads the file, the one that read furthest into it (the first of
    those that failed on the same line) tells its fault.
    """
    faults = []
    for module in named:
        try:
            return _parse(module, source)
        except RecordError as e:
            faults.append(e)
    raise max(faults, key=lambda e: e.line or 0)


def _told_apart(records):
    """What sets records of one channel apart: their stations, else their locations, else
    their first samples' times (the parts of a trace with gaps)."""
    for name, value in (("stations", lambda r: r.station), ("locations", lambda r: r.location),
                        ("starting", lambda r: r.start_time and r.start_time.isoformat())):
        values = [value(r) for r in records]
        if len(set(values)) == len(values):
            return f"{name} " + ", ".join(str(v) for v in values)
    return "stations " + ", ".join(str(r.station) for r in records)


def read_record(path, *, channel=None, format=None, dt=None, units=None, inventory=None):
    """Read one `Record`; `channel` picks one of several (the file's channel number or code)."""
    if isinstance(channel, (bool, np.bool_)):  # True == 1: a flag is not channel 1
        raise TypeError(f"channel must be a channel number or code, not a bool ({channel!r})")
    records = read_records(path, format=format, dt=dt, units=units, inventory=inventory)
    path = path_name(path)
    if channel is None:
        if len(records) == 1:
            return records[0]
        numbers = ", ".join(str(r.channel) for r in records)
        raise ValueError(f"{path} holds {len(records)} channels ({numbers}): pass channel")
    chosen = [r for r in records if r.channel == channel or (r.channel is None and channel == 1)]
    if len(chosen) > 1:
        # Files put one after another (two stations' channel 1): which one is meant
        # is not for the reader to guess.
        raise ValueError(f"{path} holds {len(chosen)} records that channel {channel!r} names "
                         f"({_told_apart(chosen)})")
    if not chosen:
        raise ValueError(f"{path} has no channel {channel!r}")
    return chosen[0]


def detect_format(path):
    """Name the format of a file from its content ('smc', 'v2', 'at2', 'text', ...), or None."""
    module = _sniffed(Source.read(path))
    return module.NAME if module else None


def read_smc(path):
    """Read a USGS SMC corrected accelerogram (cm/s²)."""
    return read_record(path, format="smc")


def read_v2(path):
    """Read the acceleration block of every channel of a CDMG/CSMIP V2 file."""
    return read_records(path, format="v2")


def read_at2(path):
    """Read a PEER NGA AT2 acceleration file (values in g, scaled by `tavotools.constants.G`)."""
    return read_record(path, format="at2")


def read_text(path, dt=None, units=None):
    """Read one column of samples (with `dt`), or two columns of time and acceleration.

    `units` is 'g', 'm/s2', 'cm/s2', 'gal' or 'mm/s2'; a header such as
    "acc (g)" may state it instead. Time steps must be uniform.
    """
    return read_record(path, format="text", dt=dt, units=units)
