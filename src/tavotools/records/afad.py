"""AFAD National Strong Motion Network (Turkey) ASCII: `KEY : value` header
lines (written in a Turkish code page: names are decoded leniently), a title
line naming the columns (N-S, E-W, U-D), then one row of the three
components per sample, in gal.
"""
from __future__ import annotations

import re

from . import blocks
from .fields import Lines, degrees, no_more_numbers, real
from .record import AS_RECORDED, Event
from .times import utc
from .units import UNITS, normalize_units

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "afad"
SUFFIXES = ()

_KEY = re.compile(r"([A-Za-z][A-Za-z0-9 ().\-/]*+)\s*+:\s?(.*)")
_COMPONENT = re.compile(r"[NEU]-?[SWD]", re.I)
_COORDINATES = re.compile(r"(?<![0-9.])([0-9.]++)\s*+([NS])\s*+-?\s*+([0-9.]++)\s*+([EW])", re.I)
_DATE = re.compile(r"(\d{4})/(\d{1,2})/(\d{1,2})\s+(\d{1,2}):(\d{1,2}):(\d{1,2}(?:\.\d*)?)")
_DATE_DMY = re.compile(r"(\d{1,2})/(\d{1,2})/(\d{4})\s+(\d{1,2}):(\d{1,2}):(\d{1,2}(?:\.\d*)?)")
_ZONE = re.compile(r"\(\s*(GMT|UTC)\s*\)", re.I)
_PEAKS = re.compile(r"\(\s*([NEU]-?[SWD])\s*\)\s*([-+0-9.eE]+)", re.I)

#: The order of the columns when the file has no title line naming them.
DEFAULT_COLUMNS = ("N-S", "E-W", "U-D")


def sniff(head):
    """The network's title line, or its NUMBER OF DATA and SAMPLING INTERVAL keys."""
    first = head.lstrip()[:80].upper()
    if first.startswith("STRONG GROUND MOTION RECORDS OF TURK"):
        return True
    return "\nNUMBER OF DATA" in head and "\nSAMPLING INTERVAL" in head and "\nSTATION ID" in head


def decode(text):
    """A header string (latin-1 text of the bytes): UTF-8, else the Turkish code page
    (cp1254: 0xFD is dotless i), else latin-1. Never fails."""
    raw = text.encode("latin-1")
    for codec in ("utf-8", "cp1254"):
        try:
            return raw.decode(codec)
        except UnicodeDecodeError:
            pass
    return text


def header(lines):
    """{KEY: (value, offset of its line)} and the title's column names with its offset
    (None without a title); `lines` is left at the data."""
    fields = {}
    while lines.skip_blank():
        tokens = lines.peek().split()
        if real(tokens[0]) is not None:
            return fields, None
        at, line = lines.take("the header")
        if all(_COMPONENT.fullmatch(t) for t in tokens):
            columns = tuple(t.upper() if "-" in t else f"{t[0]}-{t[1]}".upper() for t in tokens)
            return fields, (columns, at)
        m = _KEY.fullmatch(line.strip())
        if m is not None:
            key, value = " ".join(m.group(1).split()).upper(), m.group(2).strip()
            if key in fields and fields[key][0] != value:
                # Two values for one key: the file does not say which holds.
                raise lines.error(at, f"{key} stated twice, as {fields[key][0]!r} and {value!r}")
            fields.setdefault(key, (value, at))
    return fields, None


def _text(fields, key):
    value = fields.get(key, ("", None))[0]
    return decode(value) if value else None


def _number(lines, fields, key, positive=False, integer=False):
    if key not in fields or not fields[key][0]:
        return None
    text, i = fields[key]
    m = re.match(r"[-+0-9.eE]+", text)
    value = real(m.group()) if m else None
    if value is None or (positive and not value > 0.0) or (integer and value != int(value)):
        what = "count" if integer else "positive number" if positive else "number"
        raise lines.error(i, f"{key} {text!r} is not a {what}")
    return value


def _time(lines, fields, key):
    """A time stated as GMT/UTC; None when the file does not name the zone."""
    if key not in fields or not fields[key][0]:
        return None
    text, i = fields[key]
    if _ZONE.search(text) is None:
        return None
    m = _DATE.search(text)
    if m is not None:
        y, mo, d, h, mi = (int(g) for g in m.groups()[:5])
    else:
        m = _DATE_DMY.search(text)
        if m is None:
            raise lines.error(i, f"{key} {text!r} is not a date and time")
        d, mo, y, h, mi = (int(g) for g in m.groups()[:5])
    when = utc(y, mo, d, h, mi, float(m.group(6)))
    if when is None:
        raise lines.error(i, f"{key} {text!r} is not a date and time")
    return when


def _coordinates(lines, fields, key):
    """(latitude, longitude) of "37.87470N-27.59223E", north and east positive."""
    if key not in fields or not fields[key][0]:
        return None, None
    text, i = fields[key]
    m = _COORDINATES.search(text)
    if m is None:
        raise lines.error(i, f"{key} {text!r} is not 'LATN-LONE'")
    if real(m.group(1)) is None or real(m.group(3)) is None:
        raise lines.error(i, f"{key} {text!r} is not 'LATN-LONE'")
    return degrees(m.group(1), m.group(2)), degrees(m.group(3), m.group(4))


def _units(lines, fields):
    """The units the peak values are stated in, which are the samples' own: gal unless named."""
    for key in fields:
        if key.startswith(("RAW PGA", "PGA")):
            m = re.search(r"\(([^)]*)\)", key)
            if m:
                units = normalize_units(m.group(1))
                if units is None:
                    raise lines.error(fields[key][1], f"{key}: {m.group(1)!r} is not "
                                                       f"an acceleration unit")
                return key, units
            return key, "gal"
    return None, "gal"


def parse(source):
    """Three records, one per column, in the order of the title line."""
    lines = Lines(source)
    fields, title = header(lines)
    columns = title[0] if title else DEFAULT_COLUMNS
    if len(set(columns)) != len(columns):
        raise lines.error(title[1], f"columns {' '.join(columns)} repeat a component")
    for key in ("NUMBER OF DATA", "SAMPLING INTERVAL (SEC)"):
        if key not in fields:
            raise lines.error(None, f"header has no {key!r} line")
    npts = _number(lines, fields, "NUMBER OF DATA", integer=True)
    dt = _number(lines, fields, "SAMPLING INTERVAL (SEC)", positive=True)
    # Two bytes at least per value: a count the file cannot hold is refused
    # before anything is allocated for it.
    if npts is None or not 0 < npts * len(columns) <= len(source.data):
        raise lines.error(fields["NUMBER OF DATA"][1],
                          f"NUMBER OF DATA {fields['NUMBER OF DATA'][0]!r} is not a sample count")
    npts = int(npts)
    first = lines.pos
    rows, end = blocks.columns(source, first, len(columns), npts, what="rows")
    no_more_numbers(lines, end, npts, "rows")
    peak_key, units = _units(lines, fields)
    peaks = {}
    if peak_key is not None:
        for name, value in _PEAKS.findall(fields[peak_key][0]):
            name = name.upper() if "-" in name else f"{name[0]}-{name[1]}".upper()
            if real(value) is not None:
                peaks[name] = abs(real(value)) * UNITS[units]
    lat, lon = _coordinates(lines, fields, "STATION COORDINATES")
    ev_lat, ev_lon = _coordinates(lines, fields, "EPICENTER COORDINATES")
    magnitude = fields.get("EARTHQUAKE MAGNITUDE", ("", None))[0].split()
    event = Event(time=_time(lines, fields, "EARTHQUAKE DATE"), latitude=ev_lat,
                  longitude=ev_lon, depth=_number(lines, fields, "EARTHQUAKE DEPTH (KM)"),
                  magnitude=real(magnitude[0]) if magnitude else None,
                  magnitude_type=magnitude[1] if len(magnitude) > 1 else None)
    metadata = dict(
        network="AFAD",
        station=_text(fields, "STATION ID"),
        station_name=_text(fields, "PLACE"),
        latitude=lat, longitude=lon,
        elevation=_number(lines, fields, "STATION ALTITUDE (M)"),
        start_time=_time(lines, fields, "RECORD TIME"),
        event=event,
        format=NAME,
        processing=(AS_RECORDED,),
    )
    return [source.record(rows[:, k], dt, units,
                          locate=lambda k: source.line_number(first) - 1 + k, channel=name,
                          component=name, stated_pga=peaks.get(name), **metadata)
            for k, name in enumerate(columns)]
