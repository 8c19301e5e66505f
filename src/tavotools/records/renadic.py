"""RENADIC (Universidad de Chile) uncorrected V1 files: the channels of one
recording one after another, each ending at its "/&" line.

A channel: 13 text lines ("NO. OF POINTS = 5652", "UNITS OF UNCOR ACCEL ARE
SEC AND G/10.  MAX = 0.132 G, AT 11.895 SEC"), 100 integers (16 a line, 5
columns), 50 reals (8 a line, 10 columns), then pairs of time and
acceleration, 10 numbers a line in 7 columns. The time step is the time
column's, which must be uniform (to its printed rounding) and agree with the
stated record length. Values of 0 for a place and 1980-01-01 00:00:00 for a
time are the format's "not known", as the samples show, and are not reported.
"""
from __future__ import annotations

import datetime as _dt
import re

import numpy as np

from .fields import (channel_end, degrees, each_channel, first_match, fixed_block, real, stated_units,
                     text_header, time_column_start)
from .record import AS_RECORDED, Event
from .source import decode_name
from .times import ZONES, date_mdy, utc
from .units import UNITS, normalize_units

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "renadic"
SUFFIXES = (".v1",)

_N_TEXT = 13
_POINTS = re.compile(r"NO\.\s*OF\s+POINTS\s*=\s*(\d+)", re.I)
_LENGTH = re.compile(r"RECORD\s+LENGTH\s*=\s*(\S+)\s*SEC", re.I)
_UNITS = re.compile(r"UNITS\s+OF\s+.*?\bARE\s+SEC\w*\s+AND\s+([^\s.,]+(?:\.\d+)?)", re.I)
_MAX = re.compile(r"\bMAX\s*=\s*(\S+)\s+([^\s,]+)", re.I)
_CHANNEL = re.compile(r"CHAN\s*(\d+)\s*:\s*(\S+)", re.I)
_PLACE = re.compile(r"(\d+(?:\.\d*)?)\s*([NS])\s+(\d+(?:\.\d*)?)\s*([EW])", re.I)
_DEPTH = re.compile(r"\bH\s*=\s*(\d+(?:\.\d*)?)\s*KM", re.I)
_MAGNITUDE = re.compile(r"\b(M[LWS]?)\s*=\s*(\d+(?:\.\d*)?)", re.I)
_TRIGGER = re.compile(r"TRIGGER\s+TIME\s*:\s*(\S+)\s+(\d{1,2}):(\d{2}):(\d{2}(?:\.\d*)?)\s+([A-Z]{1,4})",
                      re.I)
_UNKNOWN_TIME = _dt.datetime(1980, 1, 1, tzinfo=_dt.timezone.utc)


def sniff(head):
    """An uncorrected accelerogram header naming RENADIC."""
    first, _, rest = head.partition("\n")
    return "ACCELEROGRAM" in first.upper() and \
        "RENADIC" in "\n".join(rest.split("\n", _N_TEXT)[:_N_TEXT]).upper()


def parse(source):
    """Every channel of the file, in order; RecordError otherwise."""
    return each_channel(source, _channel, "no channel found")


def _channel(source, lines, number):
    start, text, m = text_header(lines, _N_TEXT, _POINTS)
    npts = int(m.group(1))
    if npts <= 1:
        raise lines.error(start, f"sample count {npts}: at least two samples give a time step")
    units = stated_units(lines, start, text, _UNITS)
    ints_at = lines.pos
    ints = fixed_block(lines, 100, 5, 16, "integer header values", integers=True)
    if int(ints[27]) != npts:
        raise lines.error(ints_at, f"integer 28 states {int(ints[27])} points, the text {npts}")
    fixed_block(lines, 50, 10, 8, "real header values")
    first = lines.pos
    pairs = fixed_block(lines, 2 * npts, 7, 10, "time and acceleration values")
    channel_end(lines, npts)
    t, samples = pairs[0::2], pairs[1::2]

    def line_of(k):
        return source.line_number(first) - 1 + (2 * k) // 10

    steps = np.diff(t)
    dt = float((t[-1] - t[0]) / (npts - 1))
    # The times are printed to 0.001 s: each step may be off by twice half of that.
    off = np.abs(steps - dt) > 0.001 + 1e-9
    if not dt > 0.0 or off.any():
        k = int(np.argmax(off)) + 1 if off.any() else npts - 1
        raise source.error(line_of(k), f"time {float(t[k])!r} is not {dt:.6g} s after the one before "
                                       f"(non-uniform time steps)")
    dt = float(f"{dt:.6g}")
    m = first_match(text, _LENGTH)
    if m and real(m.group(1)) is not None and abs(real(m.group(1)) - npts * dt) > 0.0015:
        raise lines.error(start, f"{npts} samples at {dt} s last {npts * dt:.6g} s, not the "
                                 f"{m.group(1)} s the header states")

    stated = None
    m = first_match(text, _MAX)
    if m and real(m.group(1)) is not None and normalize_units(m.group(2)):
        stated = abs(real(m.group(1))) * UNITS[normalize_units(m.group(2))]
    channel = component = None
    m = first_match(text, _CHANNEL)
    if m:
        channel, component = int(m.group(1)), m.group(2)
    station = text[5].split(" S/N")[0].strip() or None
    lat = lon = None
    m = first_match([line for line in text if "STATION" in line.upper()], _PLACE)
    if m and (float(m.group(1)), float(m.group(3))) != (0.0, 0.0):
        lat, lon = degrees(*m.group(1, 2)), degrees(*m.group(3, 4))
    start_time = None
    m = first_match(text, _TRIGGER)
    if m and date_mdy(m.group(1)) and m.group(5).upper() in ZONES:
        start_time = utc(*date_mdy(m.group(1)), int(m.group(2)), int(m.group(3)),
                         float(m.group(4)), m.group(5).upper())
        if start_time == _UNKNOWN_TIME:
            start_time = None
        # The time column counts from the trigger.
        start_time = time_column_start(lines, start, start_time, t[0], "the trigger")
    return source.record(
        samples, dt, units, locate=line_of, format=NAME, station=decode_name(station) if station else None,
        channel=channel, component=component, latitude=lat, longitude=lon, event=_event(text),
        start_time=start_time, stated_pga=stated, processing=(AS_RECORDED,))


def _event(text):
    m = next((line for line in text if line.upper().lstrip().startswith("HYPOCENTER")), None)
    if m is None:
        return None
    lat = lon = depth = magnitude = kind = None
    place = _PLACE.search(m)
    if place and (float(place.group(1)), float(place.group(3))) != (0.0, 0.0):
        lat, lon = degrees(*place.group(1, 2)), degrees(*place.group(3, 4))
    d = _DEPTH.search(m)
    if d and float(d.group(1)) != 0.0:
        depth = float(d.group(1))
    mag = _MAGNITUDE.search(m)
    if mag and float(mag.group(2)) != 0.0:
        kind, magnitude = mag.group(1).upper(), float(mag.group(2))
    if lat is None and magnitude is None:
        return None
    return Event(latitude=lat, longitude=lon, depth=depth, magnitude=magnitude,
                 magnitude_type=kind)
