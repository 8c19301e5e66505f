"""Central Weather Administration (Taiwan) ASCII: `#Key: value` header lines
(times in the zone the key names, "StartTime(GMT+08)"), then rows of time
and three components in the order `#DataSequence` states, in gal.
"""
from __future__ import annotations

import re

import numpy as np

from . import blocks
from .fields import Lines, no_more_numbers, real, time_column_start
from .record import AS_RECORDED, Event
from .source import decode_name
from .times import utc
from .units import UNITS, normalize_units

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "cwa"
SUFFIXES = ()

_KEY = re.compile(r"#\s*([^:()]+?)\s*(?:\(([^)]*)\))?\s*:\s*(.*)")
_ZONE = re.compile(r"(?:GMT|UTC)\s*(?:([+-])\s*(\d{1,2})(?::?(\d\d))?)?$", re.I)
_TIME = re.compile(r"(\d{4})/(\d{1,2})/(\d{1,2})[-\s]+(\d{1,2}):(\d{1,2}):(\d{1,2}(?:\.\d*)?)")
_FORMAT = re.compile(r"(\d+)\s*F\s*(\d+)\.(\d+)", re.I)


def sniff(head):
    """`#Key: value` lines stating the StationCode and the SampleRate."""
    return "\n#StationCode" in head and "\n#SampleRate" in head


def header(lines):
    """{KEY: (value, qualifier in brackets, offset of its line)}; `lines` is left at the data."""
    fields = {}
    while lines.skip_blank() and lines.peek().lstrip().startswith("#"):
        at, line = lines.take("the header")
        m = _KEY.fullmatch(line.strip())
        if m is not None:
            key = " ".join(m.group(1).split()).upper()
            value = (m.group(3).strip(), (m.group(2) or "").strip(), at)
            if key in fields and fields[key][:2] != value[:2]:
                # Two values (or zones, units, hemispheres) for one key: the file
                # does not say which holds.
                raise lines.error(at, f"#{m.group(1).strip()} stated twice, as "
                                      f"{_stated(fields[key])!r} and {_stated(value)!r}")
            fields.setdefault(key, value)
    return fields


def _stated(field):
    """A header value as written, with its qualifier: "(GMT+08) 2018/02/06-23:50:42"."""
    value, qualifier, _ = field
    return f"({qualifier}) {value}" if qualifier else value


def _number(lines, fields, key, positive=False):
    if key not in fields or not fields[key][0]:
        return None
    text, _, i = fields[key]
    value = real(text)
    if value is None or (positive and not value > 0.0):
        raise lines.error(i, f"{key} {text!r} is not a {'positive ' if positive else ''}number")
    return value


def _coordinate(lines, fields, key):
    """Degrees north or east positive: "StationLongitude(E)", "(W)" negative."""
    value = _number(lines, fields, key)
    if value is not None and fields[key][1].upper() in ("W", "S"):
        value = -value
    return value


def _time(lines, fields, key):
    """The time of `key` in UTC; None when its zone is not stated."""
    if key not in fields or not fields[key][0]:
        return None
    text, qualifier, i = fields[key]
    zone = _ZONE.fullmatch(qualifier)
    if zone is None:
        return None
    sign, hours, minutes = zone.groups()
    offset = 0.0 if hours is None else (int(hours) + int(minutes or 0) / 60.0) * (
        -1.0 if sign == "-" else 1.0)
    m = _TIME.fullmatch(text)
    when = None if m is None else utc(*(int(g) for g in m.groups()[:5]), float(m.group(6)),
                                      zone=offset)
    if when is None:
        raise lines.error(i, f"{key} {text!r} is not a date and time YYYY/MM/DD-hh:mm:ss")
    return when


def _columns(lines, fields):
    """The component names in column order after the time, from #DataSequence."""
    if "DATASEQUENCE" not in fields:
        raise lines.error(None, "header has no #DataSequence line")
    text, _, i = fields["DATASEQUENCE"]
    names = [re.sub(r"\(.*\)", "", t).strip() for t in re.split(r"[;,\s]+", text) if t]
    if len(names) < 2 or names[0].lower() != "time" or len(set(names)) != len(names):
        raise lines.error(i, f"#DataSequence {text!r} is not 'Time' and the components")
    return names[1:]


def parse(source):
    """One record per component; the time column is checked against the sample rate."""
    lines = Lines(source)
    fields = header(lines)
    names = _columns(lines, fields)
    for key in ("SAMPLERATE", "RECORDLENGTH"):
        if key not in fields:
            raise lines.error(None, f"header has no #{key} line")
    rate = _number(lines, fields, "SAMPLERATE", positive=True)
    length = _number(lines, fields, "RECORDLENGTH", positive=True)
    n = length * rate
    # Two bytes at least per value: a count the file cannot hold is refused
    # before anything is allocated for it.
    if not (n * (len(names) + 1) <= len(source.data) and abs(n - round(n)) <= 1e-6 * n):
        raise lines.error(fields["RECORDLENGTH"][2], f"RecordLength {length!r} s at "
                                                     f"{rate!r} Hz is not a sample count")
    npts = round(n)
    units = "gal"
    if "AMPLITUDEUNIT" in fields:
        text, _, i = fields["AMPLITUDEUNIT"]
        units = normalize_units(text.split()[0]) if text.split() else None
        if units is None:
            raise lines.error(i, f"AmplitudeUnit {text!r} is not an acceleration unit")
    rows, end = blocks.columns(source, lines.pos, len(names) + 1, npts, what="rows")
    no_more_numbers(lines, end, npts, "rows")
    dt = 1.0 / rate
    decimals = 3
    m = _FORMAT.search(fields.get("DATA", ("",))[0])
    if m:
        decimals = int(m.group(3))
    # Each printed time within half a unit of its last digit of the uniform grid.
    off = np.abs(rows[:, 0] - (rows[0, 0] + np.arange(npts) * dt)) > 0.5 * 10.0 ** -decimals + 1e-9
    if off.any():
        k = int(np.argmax(off))
        raise lines.error(None, f"time {rows[k, 0]:g} of row {k + 1} is off the "
                                f"{dt:g} s steps of SampleRate {rate:g} Hz")
    corrected = "DCOFFSET" in fields.get("AMPLITUDEUNIT", ("",))[0].upper().replace(" ", "")
    event = Event(time=_time(lines, fields, "ORIGIN TIME"),
                  latitude=_coordinate(lines, fields, "EPICENTERLATITUDE"),
                  longitude=_coordinate(lines, fields, "EPICENTERLONGITUDE"),
                  depth=_number(lines, fields, "DEPTH"),
                  magnitude=_number(lines, fields, "MAGNITUDE"),
                  magnitude_type=fields.get("MAGNITUDE", ("", "", 0))[1] or None)
    metadata = dict(
        network="CWA",
        station=fields.get("STATIONCODE", ("",))[0] or None,
        station_name=decode_name(fields.get("STATIONNAME", ("",))[0]) or None,
        latitude=_coordinate(lines, fields, "STATIONLATITUDE"),
        longitude=_coordinate(lines, fields, "STATIONLONGITUDE"),
        elevation=_number(lines, fields, "STATIONELEVATION"),
        start_time=time_column_start(lines, None, _time(lines, fields, "STARTTIME"),
                                     rows[0, 0], "StartTime"),
        event=event,
        format=NAME,
        processing=(AS_RECORDED, "offset removed by agency") if corrected else (AS_RECORDED,),
    )
    records = []
    for k, name in enumerate(names, 1):
        peak = fields.get(f"AMPLITUDEMAX. {name.upper()}")
        stated = None
        if peak is not None:
            values = [real(v) for v in re.split(r"[~\s]+", peak[0]) if v]
            if values and None not in values:
                stated = max(abs(v) for v in values) * UNITS[units]
        records.append(source.record(rows[:, k], dt, units, channel=name, component=name,
                                     stated_pga=stated, **metadata))
    return records
