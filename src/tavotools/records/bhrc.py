"""BHRC (Road, Housing & Urban Development Research Center, Iran) V1 files:
the channels of one recording one after another, each ending at its "/&"
line.

A channel: 13 text lines ("* VOL1DS FILE:", "Origin Time : 2012/08/11
12:23:16", the component letter, "COMP L1", the station and its coordinates,
the epicentre, "NO. OF POINTS = 9984 DURATION = 49.920", "UNITS ARE SECONDS
AND G/10"), 7 lines of integers (14 a line, 5 columns), 7 lines of reals
(13 columns, cut at column 70: the second line starts with the sampling rate
in samples/s), then the samples 10 a line in 13 columns. The origin time
states no zone, so it gives the event's date only.
"""
from __future__ import annotations

import datetime as _dt
import re

from .fields import (channel_end, degrees, each_channel, first_match, fixed_block, real, stated_units,
                     text_header)
from .record import AS_RECORDED, Event
from .source import decode_name

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "bhrc"
SUFFIXES = (".v1",)

_N_TEXT, _N_INT_LINES, _N_REAL_LINES = 13, 7, 7
_FIRST = re.compile(r"\*\s*VOL\s*1", re.I)
_ORIGIN = re.compile(r"Origin\s+Time\s*:\s*(\d{4})/(\d{1,2})/(\d{1,2})", re.I)
_COMP = re.compile(r"^\s*COMP\s+(\S+)", re.I)
# The station's name is what stands before "Station" (found by the word, not by a
# lazy scan of the name, which would be quadratic in a long line).
_STATION = re.compile(r"(?<=\s)Station\s++(\d++(?:\.\d*+)?)\s*+([NS])\s++(\d++(?:\.\d*+)?)\s*+([EW])"
                      r"(?:\s++Altitude\s++(\d++(?:\.\d*+)?)\s*+m)?", re.I)
_EPICENTRE = re.compile(r"Epicenter\s+(\d+(?:\.\d*)?)\s*([NS])\s+(\d+(?:\.\d*)?)\s*([EW])", re.I)
_DEPTH = re.compile(r"\bFD\s+(\d+(?:\.\d*)?)\s*Km", re.I)
_MAGNITUDE = re.compile(r"\b(M[wsl]|mb|ML|Mw|Ms)\s*(\d+(?:\.\d*)?)")
_POINTS = re.compile(r"NO\.\s*OF\s+POINTS\s*=\s*(\d+)(?:\s+DURATION\s*=\s*(\S+))?", re.I)
_UNITS = re.compile(r"UNITS\s+ARE\s+SEC\w*\s+AND\s+(\S+)", re.I)


def sniff(head):
    """The first line is "* VOL1DS FILE: ..."."""
    return bool(_FIRST.match(head.split("\n", 1)[0]))


def parse(source):
    """Every channel of the file, in order; RecordError otherwise."""
    return each_channel(source, _channel, "no channel found")


def _channel(source, lines, number):
    start, text, m = text_header(lines, _N_TEXT, _POINTS)
    npts, duration = int(m.group(1)), real(m.group(2) or "")
    if npts <= 0:
        raise lines.error(start, f"sample count {npts} is not a positive count")
    units = stated_units(lines, start, text, _UNITS)
    for _ in range(_N_INT_LINES):
        lines.take("the integer header")
    reals_at = lines.pos
    reals = [lines.take("the real header")[1] for _ in range(_N_REAL_LINES)]
    rate = real(reals[1][:13])
    if rate is None or not rate > 0.0 or not 1.0 / rate > 0.0:
        raise lines.error(lines._line_end(reals_at)[1], f"sampling rate {reals[1][:13].strip()!r} "
                                                        f"(samples/s) is not a positive rate")
    dt = 1.0 / rate
    if duration is not None and abs(duration - npts * dt) > dt:
        raise lines.error(start, f"{npts} samples at {rate:g} samples/s last {npts * dt:.6g} s, "
                                 f"not the {duration} s the header states")
    first = lines.pos
    samples = fixed_block(lines, npts, 13, 10)
    channel_end(lines, npts)

    # "COMP L1": the component's letter (also alone on line 5) and its channel number.
    m = first_match(text, _COMP)
    code = m.group(1) if m else ""
    digits = code.lstrip("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")
    channel = int(digits) if digits.isdigit() else (code or None)
    component = text[4].strip() or code[:len(code) - len(digits)] or None
    station = lat = lon = elevation = None
    m = first_match(text, _STATION)
    if m:
        station = decode_name(m.string[:m.start()].strip()) or None
        lat, lon = degrees(*m.group(1, 2)), degrees(*m.group(3, 4))
        elevation = float(m.group(5)) if m.group(5) else None
    return source.record(
        samples, dt, units, locate=lambda k: source.line_number(first) - 1 + k // 10,
        format=NAME, station=station, channel=channel, component=component, latitude=lat,
        longitude=lon, elevation=elevation, event=_event(text), processing=(AS_RECORDED,))


def _event(text):
    date = lat = lon = depth = magnitude = kind = None
    m = first_match(text, _ORIGIN)
    if m:
        try:
            date = _dt.date(*(int(g) for g in m.groups()))
        except ValueError:
            date = None
    m = first_match(text, _EPICENTRE)
    if m:
        lat, lon = degrees(*m.group(1, 2)), degrees(*m.group(3, 4))
        line = m.string
        d = _DEPTH.search(line)
        depth = float(d.group(1)) if d else None
        mag = _MAGNITUDE.search(line)
        if mag:
            kind, magnitude = mag.group(1), float(mag.group(2))
    if date is lat is magnitude is None:
        return None
    return Event(date=date, latitude=lat, longitude=lon, depth=depth, magnitude=magnitude,
                 magnitude_type=kind)
