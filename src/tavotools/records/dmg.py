"""CDMG/CSMIP V2 corrected records: per channel a text header, integer and real
header blocks, then the acceleration, velocity and displacement blocks, each
announced by a line such as " 3251 POINTS OF ACCEL DATA EQUALLY SPACED AT
.020 SEC. (UNITS: CM/SEC/SEC)". A file holds one channel or several; the
acceleration block of each is read.
"""
from __future__ import annotations

import re

import numpy as np

from .fields import Cursor, real
from .record import CORRECTED, Event
from .source import decode_name
from .times import ZONES, date_mdy, utc
from .units import UNITS, UNITS_HINT, normalize_units

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "v2"
SUFFIXES = (".v2",)

_ACCEL = re.compile(
    r"\s*(\d+)\s+POINTS\s+OF\s+ACCEL(?:ERATION)?\s+DATA\s+EQUALLY\s+SPACED\s+AT\s+(\S+?)\s*SEC",
    re.I)
_FORMAT = re.compile(r"FORMAT\s*(?:[:=]\s*)?(?:\(\s*)?(\d+)\s*[FEGD](\d+)\.\d+", re.I)
_UNITS = re.compile(r"UNITS\s*(?::\s*)?([^)]*)\)", re.I)
_UNITS_IN = re.compile(r"SEC\.?,?\s+IN\s+([^\s,(]+)", re.I)
_POINTS = re.compile(r"\s*(\d+)\s+POINTS\s+OF\s+.*ACCEL", re.I)
_CHANNEL = re.compile(r"CHAN(?:NEL)?\s*(\d+)\s*:(.*)", re.I)
_DIRECTION_END = re.compile(r"\s{3,}|\(|\s+FROM\b", re.I)
_START = re.compile(r"(?:TRIGGER|START)\s+TIME\s*:?(.*)", re.I)
_STATION_NO = re.compile(r"STATION\s+NO\.?\s*(\S+)", re.I)
_PEAK = re.compile(r"PEAK\s+ACCELERATION\s*=\s*(\S+)\s+(\S+)", re.I)
_ORIGIN = re.compile(r"ORIGIN[^:]*:(.*)", re.I)
_HYPOCENTRE = re.compile(r"HYPOCENTER[^:]*:(.*)", re.I)
_PLACE = re.compile(r"(\d+(?:\.\d*)?)\s*([NS])\s*,\s*(\d+(?:\.\d*)?)\s*([EW])", re.I)
_DEPTH = re.compile(r"\bH\s*=\s*(\d+(?:\.\d*)?)\s*KM", re.I)
_MAGNITUDE = re.compile(r"\b(M[LWS]?)\s*=\s*(\d+(?:\.\d*)?)", re.I)
_CLOCK = re.compile(r"(\d{1,2}):(\d{2})(?::(\d{1,2}(?:\.\d*)?))?\s*([A-Za-z]{1,4})?")
_MONTH_DATE = re.compile(r"([A-Za-z]{3})[A-Za-z]*\.?\s+(\d{1,2}),?\s+(\d{4})")
_MONTHS = {m: k for k, m in enumerate(
    ("jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"), 1)}


def sniff(head):
    """A V2 header: "ACCELEROGRAM" on the first line, or an acceleration block line."""
    lines = head.split("\n")
    if lines and "ACCELEROGRAM" in lines[0].upper():
        return True
    return any(_ACCEL.match(line) for line in lines[:200])


def _units(line):
    m = _UNITS.search(line) or _UNITS_IN.search(line)
    if m is None:
        return None, None
    stated = m.group(1).strip()
    return normalize_units(stated), stated


def _when(text):
    """An aware UTC datetime from "05/02/83, 16:42:48.2 PDT" or "MAY 2, 1983 16:42 PDT", or None."""
    ymd = date_mdy(text)
    rest = text
    if ymd is None:
        m = _MONTH_DATE.search(text)
        if m is None or m.group(1).lower() not in _MONTHS:
            return None
        ymd = int(m.group(3)), _MONTHS[m.group(1).lower()], int(m.group(2))
        rest = text[m.end():]
    m = _CLOCK.search(rest)
    if m is None or (m.group(4) or "").upper() not in ZONES:
        return None
    hour, minute, second, zone = m.groups()
    return utc(*ymd, int(hour), int(minute), float(second or 0.0), zone.upper())


def _degrees(value, hemisphere):
    return float(value) * (-1.0 if hemisphere.upper() in "SW" else 1.0)


def _event(header, find):
    name = decode_name(header[2].strip()) if len(header) > 2 and header[2].strip() else None
    m = find(_ORIGIN)
    time = _when(m.group(1)) if m else None
    if time is None and len(header) > 3:
        time = _when(header[3])
    lat = lon = depth = magnitude = kind = None
    m = find(_HYPOCENTRE)
    if m:
        place = _PLACE.search(m.group(1))
        if place:
            lat, lon = _degrees(*place.group(1, 2)), _degrees(*place.group(3, 4))
        d = _DEPTH.search(m.group(1))
        depth = float(d.group(1)) if d else None
        mag = _MAGNITUDE.search(m.group(1))
        if mag:
            kind, magnitude = mag.group(1).upper().replace("MW", "Mw").replace("MS", "Ms"), \
                float(mag.group(2))
    if name is time is lat is magnitude is None:
        return None
    return Event(name=name, time=time, latitude=lat, longitude=lon, depth=depth,
                 magnitude=magnitude, magnitude_type=kind)


def _samples(cur, npts, per_line, width):
    """The acceleration block at the cursor: `npts` reals, `per_line` a line in `width` columns."""
    return np.array(cur.block(npts, per_line, width, real, "a number", "samples"),
                    dtype=np.float64)


def parse(source):
    """Every channel's acceleration record, in the file's order, or RecordError."""
    cur = Cursor(source)
    records = []
    while True:
        while not cur.at_end() and not cur.lines[cur.pos].strip():
            cur.pos += 1
        if cur.at_end():
            break
        records.append(_channel(source, cur))
    if not records:
        raise cur.error(None, "no channel found")
    return records


def _channel(source, cur):
    start = cur.pos
    if cur.lines[start].strip().upper().startswith("UNCORRECTED"):
        raise cur.error(start, "uncorrected data: only corrected (V2) acceleration is read")
    acc = None
    for i in range(start, len(cur.lines)):
        line = cur.lines[i]
        if _ACCEL.match(line):
            acc = i
            break
        if line.startswith("/&"):
            break
    if acc is None:
        raise cur.error(start, "no 'POINTS OF ACCEL DATA' line follows this channel header")
    header = cur.lines[start:acc]

    def find(pattern):
        for line in header:
            m = pattern.search(line)
            if m:
                return m
        return None

    channel = component = None
    m = find(_CHANNEL)
    if m:
        channel = int(m.group(1))
        # "90 DEG     FROM", "360 Deg   (Rcrd start time: ...)": the direction only.
        component = _DIRECTION_END.split(m.group(2).strip(), 1)[0].strip() or None
    # The CDMG layout: event name on line 3, its date on line 4, station name on line 7.
    station = header[6].strip() or None if len(header) > 6 else None
    m = find(_START)
    start_time = _when(m.group(1)) if m else None
    lat = lon = None
    m = find(_STATION_NO)
    if m:
        if station and m.group(1) not in station:
            station = f"{station} ({m.group(1)})"
        # "STATION NO. 36456   35.908N, 120.458W"
        place = _PLACE.search(m.string, m.end())
        if place:
            lat, lon = _degrees(*place.group(1, 2)), _degrees(*place.group(3, 4))

    stated = None
    m = find(_PEAK)
    if m and real(m.group(1)) is not None and normalize_units(m.group(2)):
        stated = abs(real(m.group(1))) * UNITS[normalize_units(m.group(2))]

    acc_line = cur.lines[acc]
    m = _ACCEL.match(acc_line)
    npts, dt = int(m.group(1)), real(m.group(2).rstrip("."))
    if npts <= 0:
        raise cur.error(acc, f"sample count {npts} is not a positive count")
    if dt is None or not dt > 0.0:
        raise cur.error(acc, f"time step {m.group(2)!r} is not a positive number")
    units, stated_units = _units(acc_line)
    if units is None:
        what = f"unknown units {stated_units!r}" if stated_units else "no units stated"
        raise cur.error(acc, f"{what}: {UNITS_HINT}")
    for i, line in enumerate(header):
        m = _POINTS.match(line)
        if m and int(m.group(1)) != npts:
            raise cur.error(start + i, f"header states {m.group(1)} points, the acceleration "
                                       f"block {npts}")
    per_line, width = 8, 10
    m = _FORMAT.search(acc_line)
    if m:
        per_line, width = int(m.group(1)), int(m.group(2))
        if per_line == 0 or width == 0:
            raise cur.error(acc, f"format {m.group(0)!r} states fields of no width "
                                 f"or no fields a line")

    cur.pos = first = acc + 1
    samples = _samples(cur, npts, per_line, width)
    cur.expect_no_more_numbers(npts, "samples")
    # The velocity and displacement blocks follow; a channel ends at its "/&" line.
    while not cur.at_end():
        line = cur.lines[cur.pos]
        if line.startswith("/&"):
            cur.pos += 1
            break
        if line.upper().startswith("CORRECTED"):  # the next channel, without a "/&" line
            break
        cur.pos += 1
    return source.record(
        samples, dt, units, locate=lambda k: first + k // per_line,
        station=decode_name(station) if station else None, component=component,
        event=_event(header, find), start_time=start_time, stated_pga=stated, format=NAME,
        channel=channel, latitude=lat, longitude=lon, processing=(CORRECTED,))
