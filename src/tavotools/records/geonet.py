"""GeoNet (New Zealand) V1A and V2A files: the components of one recording one
after another, in mm/s².

A component: 16 text lines, 40 integers (10 a line, 8 columns each), 60
reals (10 a line, 8 columns), then its series, 10 values a line in 8
columns: acceleration, and for a V2A velocity and displacement. The counts
are integers 34-36 (1-based: acceleration, velocity, displacement points),
the time step real 26 (s), the peak acceleration real 36 (mm/s²), as the
text lines also state ("Number of points", "at 0.020 sec intervals",
"Acceleration: peak"); a text that states another step, or the peak in
other units than mm/s/s, is refused. The origin time and epicentre come from the text
("2018 February 12  21:15:54 UT", "Epicentre 40 03 27S 176 32 45E ...
Depth 9km M 4.17"), the site from "Site WPWS 39 56 38S 176 35 04E" and its name from the line after.
"""
from __future__ import annotations

import re

from .fields import degrees, each_channel, first_match, fixed_block, real
from .record import AS_RECORDED, CORRECTED, Event
from .source import decode_name
from .times import utc
from .units import normalize_units

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "geonet"
SUFFIXES = (".v1a", ".v2a")

_FIRST = re.compile(r"\s*(Corrected|Uncorrected)\s+accelerogram\b", re.I)
_SITE = re.compile(r"Site\s+(\S+)\s+(\d+)\s+(\d+)\s+(\d+)([NS])\s+(\d+)\s+(\d+)\s+(\d+)([EW])", re.I)
_POINTS = re.compile(r"Number\s+of\s+points\s+(\d+)", re.I)
_INTERVAL = re.compile(r"at\s+(\S+)\s+sec\s+intervals", re.I)
_COMPONENT = re.compile(r"Component\s+(\S+)", re.I)
_PEAK = re.compile(r"Acceleration:\s*peak\s+(\S+)\s+(\S+)", re.I)
_ORIGIN = re.compile(r"(\d{4})\s+([A-Za-z]+)\s+(\d{1,2})\s+(\d{1,2}):(\d{2}):(\d{2}(?:\.\d*)?)\s+UT\b")
_EPICENTRE = re.compile(r"Epicentre\s+(\d+)\s+(\d+)\s+(\d+)([NS])\s+(\d+)\s+(\d+)\s+(\d+)([EW])", re.I)
_DEPTH = re.compile(r"Depth\s+(\d+(?:\.\d*)?)\s*km", re.I)
_MAGNITUDE = re.compile(r"\b(M[LWSw]?)\s+(\d+(?:\.\d*)?)\s*$")
_MONTHS = {m: k for k, m in enumerate(
    ("january", "february", "march", "april", "may", "june", "july", "august", "september",
     "october", "november", "december"), 1)}

_N_TEXT, _N_INTS, _N_REALS, _PER_LINE, _WIDTH = 16, 40, 60, 10, 8
_I_POINTS = (33, 34, 35)  # acceleration, velocity, displacement (0-based)
_R_STEP, _R_PEAK = 25, 35


def sniff(head):
    """"Corrected accelerogram" or "Uncorrected accelerogram" and a GeoNet "Site" line."""
    lines = head.split("\n", 3)
    return len(lines) > 2 and bool(_FIRST.match(lines[0])) and bool(_SITE.match(lines[1]))


def parse(source):
    """Every component of the file, in order; RecordError otherwise."""
    return each_channel(source, _component, "no component found")


def _component(source, lines, number):
    start, first = lines.take("the text header")
    m = _FIRST.match(first)
    if m is None:
        raise lines.error(start, f"expected 'Corrected accelerogram' or 'Uncorrected "
                                 f"accelerogram', not {first.strip()!r}")
    corrected = m.group(1).lower() == "corrected"
    text = [first] + [lines.take(f"the end of the {_N_TEXT}-line text header")[1]
                      for _ in range(_N_TEXT - 1)]
    ints_at = lines.pos
    ints = [int(v) for v in fixed_block(lines, _N_INTS, _WIDTH, _PER_LINE,
                                        "integer header values", integers=True)]
    reals_at = lines.pos
    reals = fixed_block(lines, _N_REALS, _WIDTH, _PER_LINE, "real header values").tolist()
    npts = ints[_I_POINTS[0]]
    if npts <= 0:
        raise lines.error(ints_at, f"acceleration sample count {npts} is not a positive count")
    m = first_match(text, _POINTS)
    if m and int(m.group(1)) != npts:
        raise lines.error(ints_at, f"integer 34 states {npts} points, the text "
                                   f"{m.group(1)}")
    dt = reals[_R_STEP]
    if not dt > 0.0:
        raise lines.error(reals_at, f"time step {dt!r} (real 26) is not positive")
    m = first_match(text, _INTERVAL)
    if m and real(m.group(1)) is not None and abs(real(m.group(1)) - dt) > 0.0005:
        raise lines.error(reals_at, f"real 26 states a time step of {dt!r} s, the text "
                                    f"{m.group(1)} s")
    for i, line in enumerate(text):
        m = _PEAK.search(line)
        if m and normalize_units(m.group(2)) != "mm/s2":
            # The series are in mm/s², as the peak's line says: a file that says
            # otherwise is not read as mm/s².
            raise source.error(source.line_number(start) - 1 + i,
                               f"the acceleration is stated in {m.group(2)!r}, not mm/s/s")
    first_sample = lines.pos
    samples = fixed_block(lines, npts, _WIDTH, _PER_LINE)
    for k, what in ((1, "velocity"), (2, "displacement")):
        n = ints[_I_POINTS[k]]
        if n > 0:
            fixed_block(lines, n, _WIDTH, _PER_LINE, f"{what} values")

    station = name = lat = lon = None
    m = _SITE.match(text[1])
    if m:
        station = m.group(1)
        lat, lon = degrees(*m.group(2, 5, 3, 4)), degrees(*m.group(6, 9, 7, 8))
    if text[2].strip():
        name = decode_name(text[2].strip())
    m = first_match(text, _COMPONENT)
    component = m.group(1) if m else None
    stated = reals[_R_PEAK]
    return source.record(
        samples, dt, "mm/s2", locate=lambda k: source.line_number(first_sample) - 1 + k // _PER_LINE,
        format=NAME, station=station or name, station_name=name if station else None,
        component=component, channel=number,
        latitude=lat, longitude=lon, event=_event(text), stated_pga=abs(stated) * 0.001,
        processing=(CORRECTED,) if corrected else (AS_RECORDED,))


def _event(text):
    time = lat = lon = depth = magnitude = kind = None
    name = text[6].strip() or None
    m = first_match(text, _ORIGIN)
    if m and m.group(2).lower() in _MONTHS:
        year, month, day, hour, minute, second = m.groups()
        time = utc(int(year), _MONTHS[month.lower()], int(day), int(hour), int(minute),
                   float(second))
    for line in text:
        e = _EPICENTRE.search(line)
        if e is None:
            continue
        lat, lon = degrees(*e.group(1, 4, 2, 3)), degrees(*e.group(5, 8, 6, 7))
        d = _DEPTH.search(line)
        depth = float(d.group(1)) if d else None
        mag = _MAGNITUDE.search(line)
        if mag:
            kind, magnitude = mag.group(1), float(mag.group(2))
        break
    if name is time is lat is magnitude is None:
        return None
    return Event(name=decode_name(name) if name else None, time=time, latitude=lat, longitude=lon,
                 depth=depth, magnitude=magnitude, magnitude_type=kind)
