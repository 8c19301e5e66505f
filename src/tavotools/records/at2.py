"""PEER NGA AT2 acceleration files: a four-line header (title; event, date,
station, component; "UNITS OF G"; "NPTS=..., DT=... SEC" or the older
"... NPTS, DT"), then the samples, free format, usually five a line.
"""
from __future__ import annotations

import datetime as _dt
import re

from .fields import Lines, free_block, no_more_numbers, real
from .record import CORRECTED, Event
from .source import decode_name
from .times import utc, year4
from .units import normalize_units

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "at2"
SUFFIXES = (".at2",)

_NPTS = re.compile(r"NPTS\s*+=\s*+(\d++)\s*+(?:[,;]\s*+)?DT\s*+=\s*+(\S+?)\s*(?:SEC|S\b|,|$)", re.I)
_NPTS_OLD = re.compile(r"\s*+(\d++)\s++(\S++)\s++NPTS\s*+(?:,\s*+)?DT", re.I)
_UNITS = re.compile(r"UNITS\s++OF\s++(.*)", re.I)
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
    # The date is the time's where there is one: "2400" is the midnight that ends the day.
    return Event(name=name or None, time=time, date=time.date() if time else _dt.date(*ymd))


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


def _header(source, lines):
    """The four header lines, (offset, text) each; `lines` is left after them.

    They start at the first line that is not blank, unless the NPTS line comes
    sooner: then the title (or the title and the names) was left blank, and
    is taken from the blank lines before, which a file without blank lines
    before its header has.
    """
    header = []
    while len(header) < 4:
        header.append(lines.take("the end of the 4-line header"))
        if _NPTS.search(header[-1][1]) or _NPTS_OLD.match(header[-1][1]):
            break
    missing = 4 - len(header)
    if missing:
        walk, blank = Lines(source, 0), []
        while walk.pos < source.start:
            blank.append(walk.take("the header"))
        if len(blank) >= missing:
            return blank[len(blank) - missing:] + header
        header += [lines.take("the end of the 4-line header") for _ in range(missing)]
    return header


def parse(source):
    """The record of an AT2 file, or RecordError."""
    lines = Lines(source)
    (_, title), (_, names), (units_at, unit_line), (npts_at, npts_line) = _header(source, lines)
    event, station, component = _metadata(names)
    if "VELOCITY" in unit_line.upper() or "DISPLACEMENT" in unit_line.upper():
        raise lines.error(units_at, "holds velocity or displacement, not acceleration")
    m = _UNITS.search(unit_line)
    units = normalize_units(m.group(1).strip()) if m else None
    if units is None:
        raise lines.error(units_at, f"no acceleration units stated: {unit_line.strip()!r}")
    m = _NPTS.search(npts_line) or _NPTS_OLD.match(npts_line)
    if m is None:
        raise lines.error(npts_at, "expected 'NPTS=..., DT=... SEC' or '... NPTS, DT'")
    npts, dt = int(m.group(1)), real(m.group(2).rstrip(","))
    if npts <= 0:
        raise lines.error(npts_at, f"sample count {npts} is not a positive count")
    if dt is None or not dt > 0.0:
        raise lines.error(npts_at, f"time step {m.group(2)!r} is not a positive number")
    first = lines.pos
    samples, end = free_block(lines, npts)
    no_more_numbers(lines, end, npts, "samples")

    def locate(k):
        """The line of sample k, for a message about it."""
        _, after = free_block(Lines(source, first), k + 1)
        return source.line_number(after - 1) - 1

    return [source.record(samples, dt, units, locate=locate,
                          station=station, component=component, event=event, format=NAME,
                          processing=(CORRECTED,))]
