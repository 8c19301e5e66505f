"""University of Southern California strong-motion network files (the Los
Angeles network's corrected Volume II): one component a file.

A text header whose lines may carry a count in columns 73-80, 16-column
integer and 10-column real header blocks, then the acceleration, velocity and
displacement series, each announced by "1887 POINTS OF ACC DATA EQUALLY
SPACED AT .020 SEC. IN UNITS CM/SEC/SEC" and written 8 a line in 10
columns. The acceleration series is read; the header's "PEAK ACCELERATION"
is its stated peak.
"""
from __future__ import annotations

import re

from .dmg import skip_blocks
from .fields import Lines, degrees, fixed_block, line_matches, real, upper
from .record import CORRECTED, Event
from .source import decode_name
from .times import ZONES, utc
from .units import UNITS, UNITS_HINT, normalize_units

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "usc"
SUFFIXES = ()

_DATA = re.compile(r"\s*(\d+)\s+POINTS\s+OF\s+ACC\s+DATA\s+EQUALLY\s+SPACED\s+AT\s+(\S+?)\.?\s*SEC\.?"
                   r"\s+IN\s+UNITS\s+(\S+)", re.I)
# Matched at a line start of the ASCII-upper-cased bytes (see _data_line).
_DATA_UPPER = re.compile(rb"[ \t]*\d+[ \t]+POINTS[ \t]+OF[ \t]+ACC[ \t]+DATA")
# The same in an upper-cased str: it matches only ASCII, which str.upper maps
# as bytes.upper does (the S of "POINTS" is followed by a blank, so the "SS"
# of an upper-cased "ß" cannot be it).
_DATA_UPPER_TEXT = re.compile(_DATA_UPPER.pattern.decode("ascii"), re.ASCII)
_STATION = re.compile(r"STATION\s+USC#\s*(\S+)\s+(\d+)\s+(\d+)\s+(\d+)([NS]),?\s+(\d+)\s+(\d+)\s+"
                      r"(\d+)([EW])", re.I)
_EPICENTRE = re.compile(r"EPICENTER\s*-?\s*(\d+)\s+(\d+)\s+(\d+)([NS]),?\s+(\d+)\s+(\d+)\s+(\d+)([EW])",
                        re.I)
_COMPONENT = re.compile(r"^COMP\s+(\S+)", re.I)
_PEAK = re.compile(r"PEAK\s+ACCELERATION\s*=\s*(\S+)\s+(\S+)", re.I)
_INTERVAL = re.compile(r"INTERVALS\s+OF\s+(\S+?)\.?\s+SEC", re.I)
_MAGNITUDE = re.compile(r"MAGNITUDE\s*=\s*(\d+(?:\.\d*)?)", re.I)
_DATE = re.compile(r"([A-Z]{3})[A-Z]*\.?\s+(\d{1,2}),\s*(\d{4})\s+-?(\d{2})(\d{2})\s+([A-Z]{1,4})\b", re.I)
_MONTHS = {m: k for k, m in enumerate(
    ("jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"), 1)}
_TEXT_WIDTH = 72  # columns 73-80 of the text lines hold a count, not text


def _data_line(data, start, stop):
    """Offset of the first "N POINTS OF ACC DATA" line in `data[start:stop]`, or -1.

    Looked for in the ASCII-upper-cased bytes (offsets kept): a case-insensitive
    multi-line pattern costs about 0.3 ms on a 16 kB head, and every file of
    the formats tried after this one would pay it.
    """
    # In a window that grows: the line is near the start of each record, and
    # upper-casing all the rest for every record of a long file would take time
    # growing as the square of its length. A line cut by the window's end cannot
    # match, and is found in the next, larger one.
    size = 1 << 16
    while True:
        end = min(stop, start + size)
        m = next(line_matches(data[start:end].upper(), b"POINTS", _DATA_UPPER), None)
        if m is not None:
            return start + m.start()
        if end >= stop:
            return -1
        size *= 4


def sniff(head):
    """A USC station line or an "N POINTS OF ACC DATA" line."""
    shouted = upper(head)
    # Found from its "#", a rare character that is searched for at memory speed.
    k = shouted.find("#")
    while k >= 0:
        if shouted.endswith("STATION USC#", 0, k + 1):
            return True
        k = shouted.find("#", k + 1)
    return next(line_matches(shouted, "POINTS", _DATA_UPPER_TEXT), None) is not None


def parse(source):
    """The acceleration record of a USC file (of each, where files were put one
    after another in one), or RecordError."""
    lines = Lines(source)
    records = [_record(source, lines, _data_line(lines.data, lines.pos, lines.end))]
    # What follows the series of a record is another record only where it has a
    # data line of its own; other lines there are passed over, as they always were.
    while lines.skip_blank():
        at = _data_line(lines.data, lines.pos, lines.end)
        if at < 0:
            break
        records.append(_record(source, lines, at))
    return records


def _record(source, lines, at):
    """The record whose header starts at the next line and whose data line is at `at`."""
    if at < 0:
        raise lines.error(None, "no 'N POINTS OF ACC DATA' line")
    # The event's name and date are read from their places in the header, which
    # starts at the first line that is not blank.
    header = [line[:_TEXT_WIDTH].rstrip() for line in lines.text(lines.pos, at).splitlines()]
    lines.pos = at
    at, line = lines.take("the data line")
    d = _DATA.match(line)
    if d is None:
        raise lines.error(at, f"expected 'N POINTS OF ACC DATA EQUALLY SPACED AT DT SEC. IN "
                              f"UNITS U', not {line.strip()!r}")
    npts, dt = int(d.group(1)), real(d.group(2))
    if npts <= 0:
        raise lines.error(at, f"sample count {npts} is not a positive count")
    if dt is None or not dt > 0.0:
        raise lines.error(at, f"time step {d.group(2)!r} is not a positive number")
    units = normalize_units(d.group(3))
    if units is None:
        raise lines.error(at, f"unknown units {d.group(3)!r}: {UNITS_HINT}")

    def find(pattern):
        for text in header:
            found = pattern.search(text)
            if found:
                return found
        return None

    m = find(_INTERVAL)
    if m and real(m.group(1)) is not None and real(m.group(1)) != dt:
        raise lines.error(at, f"the header states samples at {m.group(1)} s, the data line "
                              f"at {d.group(2)} s")
    first = lines.pos
    samples = fixed_block(lines, npts, 10, 8)
    lines.expect_no_more_numbers(npts, "samples")
    skip_blocks(lines)

    stated = None
    m = find(_PEAK)
    if m and real(m.group(1)) is not None and normalize_units(m.group(2)):
        stated = abs(real(m.group(1))) * UNITS[normalize_units(m.group(2))]
    station = name = lat = lon = None
    m = find(_STATION)
    if m:
        station = m.group(1)  # the station number
        lat, lon = degrees(*m.group(2, 5, 3, 4)), degrees(*m.group(6, 9, 7, 8))
        index = next(i for i, text in enumerate(header) if _STATION.search(text))
        if index + 1 < len(header) and header[index + 1].strip():
            name = decode_name(header[index + 1].strip())
    m = find(_COMPONENT)
    component = m.group(1) if m else None
    return source.record(
        samples, dt, units, locate=lambda k: source.line_number(first) - 1 + k // 8,
        format=NAME, station=station or name, station_name=name if station else None, component=component, latitude=lat, longitude=lon,
        event=_event(header, find), stated_pga=stated, processing=(CORRECTED,))


def _event(header, find):
    name = header[2].strip() if len(header) > 2 and header[2].strip() else None
    time = None
    m = _DATE.search(header[3]) if len(header) > 3 else None
    if m and m.group(1).lower() in _MONTHS and m.group(6).upper() in ZONES:
        month, day, year, hour, minute, zone = m.groups()
        time = utc(int(year), _MONTHS[month.lower()], int(day), int(hour), int(minute), 0.0,
                   zone.upper())
    lat = lon = magnitude = None
    m = find(_EPICENTRE)
    if m:
        lat, lon = degrees(*m.group(1, 4, 2, 3)), degrees(*m.group(5, 8, 6, 7))
    m = find(_MAGNITUDE)
    if m:
        magnitude = float(m.group(1))
    if name is time is lat is magnitude is None:
        return None
    return Event(name=decode_name(name) if name else None, time=time, latitude=lat, longitude=lon,
                 magnitude=magnitude)
