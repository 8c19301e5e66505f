"""PEER NGA AT2 acceleration files: a four-line header (title; event, date,
station, component; "UNITS OF G"; "NPTS=..., DT=... SEC" or the older
"... NPTS, DT"), then the samples, free format, usually five a line.
"""
from __future__ import annotations

import datetime as _dt
import re

import numpy as np

from .fields import Cursor, real, reals_on_line
from .record import CORRECTED, Event
from .source import decode_name
from .times import utc, year4
from .units import normalize_units

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "at2"
SUFFIXES = (".at2",)

_NPTS = re.compile(r"NPTS\s*=\s*(\d+)\s*(?:[,;]\s*)?DT\s*=\s*(\S+?)\s*(?:SEC|S\b|,|$)", re.I)
_NPTS_OLD = re.compile(r"\s*(\d+)\s+(\S+)\s+NPTS\s*(?:,\s*)?DT", re.I)
_UNITS = re.compile(r"UNITS\s+OF\s+(.*)", re.I)
_DATE = re.compile(r"(\d{1,4})[-/](\d{1,2})[-/](\d{1,4})")
_HHMM = re.compile(r"\d{3,4}")


def sniff(head):
    """An NPTS/DT line in the first four lines, or PEER's title line."""
    lines = head.split("\n")[:4]
    if any(_NPTS.search(line) or _NPTS_OLD.match(line) for line in lines):
        return True
    title = lines[0].upper() if lines else ""
    return "PEER" in title and "STRONG MOTION" in title


def _date(token):
    """(year, month, day) of "1979-10-15", "10/18/1989" or "05/19/40", or None."""
    m = _DATE.fullmatch(token)
    if m is None:
        return None
    a, b, c = m.groups()
    year, month, day = (int(a), int(b), int(c)) if len(a) == 4 else (year4(int(c)), int(a), int(b))
    try:
        _dt.date(year, month, day)
    except ValueError:
        return None
    return year, month, day


def _event(name, when):
    """The event from its name and the date (and time, "0439", UTC as PEER gives it) as printed."""
    tokens = when.split()
    ymd = _date(tokens[0]) if tokens else None
    if ymd is None:
        return Event(name=name or None) if name else None
    time = None
    if len(tokens) > 1 and _HHMM.fullmatch(tokens[1]):
        hhmm = tokens[1].zfill(4)
        time = utc(*ymd, int(hhmm[:2]), int(hhmm[2:]))
    return Event(name=name or None, time=time, date=_dt.date(*ymd))


def _metadata(line):
    """(event, station, component) from the second header line."""
    parts = [decode_name(p.strip()) for p in line.split(",")]
    if len(parts) >= 4:
        return _event(parts[0], parts[1]), ", ".join(parts[2:-1]) or None, parts[-1] or None
    if len(parts) == 3:
        # The older form keeps the date with the event: "IMPERIAL VALLEY 05/19/40 0439",
        # and the newer one may too: "Test Valley 1979-10-15".
        words = parts[0].split()
        for cut in (2, 1):
            if len(words) > cut and _date(words[-cut]) is not None:
                event = _event(" ".join(words[:-cut]), " ".join(words[-cut:]))
                return event, parts[1] or None, parts[2] or None
        return _event(parts[0], ""), parts[1] or None, parts[2] or None
    return (Event(name=line.strip()) if line.strip() else None), None, None


def _samples(source, cur, npts):
    """Free-format reals from the cursor to the end of the file; at most `npts` of them."""
    samples = []
    last = 3
    while not cur.at_end():
        i, line = cur.take("samples")
        row = reals_on_line(source, i, line)
        if row:
            last = i
        samples.extend(row)
        if len(samples) > npts:
            raise cur.error(i, f"more samples than the {npts} NPTS states")
    if len(samples) < npts:
        raise cur.error(last, f"file ends after {len(samples)} of the {npts} samples NPTS states")
    return np.array(samples, dtype=np.float64)


def _line_of_sample(source, first, k):
    """The line of sample k of a free-format block starting at line `first`; for messages."""
    seen = 0
    for i in range(first, len(source.lines)):
        seen += len(reals_on_line(source, i, source.lines[i]))
        if seen > k:
            return i
    return None


def parse(source):
    """The record of an AT2 file, or RecordError."""
    cur = Cursor(source)
    header = [cur.take("the end of the 4-line header")[1] for _ in range(4)]
    event, station, component = _metadata(header[1])
    unit_line = header[2].upper()
    if "VELOCITY" in unit_line or "DISPLACEMENT" in unit_line:
        raise cur.error(2, "holds velocity or displacement, not acceleration")
    m = _UNITS.search(header[2])
    units = normalize_units(m.group(1).strip()) if m else None
    if units is None:
        raise cur.error(2, f"no acceleration units stated: {header[2].strip()!r}")
    m = _NPTS.search(header[3]) or _NPTS_OLD.match(header[3])
    if m is None:
        raise cur.error(3, "expected 'NPTS=..., DT=... SEC' or '... NPTS, DT'")
    npts, dt = int(m.group(1)), real(m.group(2).rstrip(","))
    if npts <= 0:
        raise cur.error(3, f"sample count {npts} is not a positive count")
    if dt is None or not dt > 0.0:
        raise cur.error(3, f"time step {m.group(2)!r} is not a positive number")
    samples = _samples(source, cur, npts)
    return [source.record(samples, dt, units, locate=lambda k: _line_of_sample(source, 4, k),
                          station=station, component=component, event=event, format=NAME,
                          processing=(CORRECTED,))]
