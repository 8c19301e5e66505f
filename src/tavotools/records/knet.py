"""NIED K-NET and KiK-net ASCII (Japan): a 17-line header of fixed labels,
then integer counts, 8 to a line, that the header's `Scale Factor`
("7845(gal)/8223790") turns into gal. KiK-net stations have two sensors:
direction 1-3 (file suffix 1) is the borehole one, 4-6 (suffix 2) the
surface one. Times are Japan Standard Time (UTC+9).
"""
from __future__ import annotations

import datetime as _dt
import re

from .fields import Lines, free_block, no_more_numbers, real
from .record import AS_RECORDED, Event
from .times import utc
from .units import UNITS

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "knet"
SUFFIXES = (".ew", ".ns", ".ud", ".ew1", ".ns1", ".ud1", ".ew2", ".ns2", ".ud2")

#: The header labels, in the order the files print them.
LABELS = ("Origin Time", "Lat.", "Long.", "Depth. (km)", "Mag.", "Station Code", "Station Lat.",
          "Station Long.", "Station Height(m)", "Record Time", "Sampling Freq(Hz)",
          "Duration Time(s)", "Dir.", "Scale Factor", "Max. Acc. (gal)", "Last Correction",
          "Memo.")
_LABEL = re.compile("|".join(re.escape(label) for label in sorted(LABELS, key=len, reverse=True)))
_REQUIRED = ("Station Code", "Record Time", "Sampling Freq(Hz)", "Duration Time(s)", "Dir.",
             "Scale Factor")

#: KiK-net directions: 1-3 the borehole sensor, 4-6 the surface one.
_KIKNET = {"1": ("N-S", "NS1"), "2": ("E-W", "EW1"), "3": ("U-D", "UD1"),
           "4": ("N-S", "NS2"), "5": ("E-W", "EW2"), "6": ("U-D", "UD2")}
_SENSOR = {"1": "borehole", "2": "surface"}
_SUFFIX = re.compile(r"\.(NS|EW|UD)([12])(?:\.gz)?$", re.I)
_SCALE = re.compile(r"([0-9.]+)\s*\(gal\)\s*/\s*([0-9.]+)", re.I)
_RATE = re.compile(r"([0-9.]+)\s*(?:Hz)?", re.I)
_TIME = re.compile(r"(\d{4})/(\d{1,2})/(\d{1,2})\s+(\d{1,2}):(\d{1,2}):(\d{1,2}(?:\.\d*)?)")

#: "Record Time" is the trigger time, and the loggers keep the 15 s before
#: it (their pre-trigger memory): the first sample is 15 s earlier.
RECORD_DELAY = _dt.timedelta(seconds=15)


def sniff(head):
    """The first line is the "Origin Time" label and the header holds a "Scale Factor"."""
    return head.lstrip().startswith("Origin Time") and "Scale Factor" in head[:4000]


def header(lines):
    """The labelled values {label: (text, offset of its line)}; `lines` is left at the data."""
    fields = {}
    for expected in LABELS:
        if lines.at_end():
            raise lines.error(lines.end - 1 if lines.end else None,
                              "file ends inside the header (no 'Memo.' line)")
        at, line = lines.take("the header")
        m = _LABEL.match(line)
        if m is None:
            raise lines.error(at, f"{line.strip()[:40]!r} is not a K-NET header line "
                                  f"(expected {expected!r})")
        label = m.group()
        if label in fields:
            raise lines.error(at, f"{label!r} stated twice")
        fields[label] = (line[len(label):].strip(), at)
        if label == "Memo.":
            break
    for label in _REQUIRED:
        if label not in fields:
            raise lines.error(fields["Memo."][1], f"header has no {label!r} line")
    return fields


def _number(lines, fields, label, positive=False):
    if label not in fields:
        return None
    text, i = fields[label]
    value = real(text)
    if value is None or (positive and not value > 0.0):
        raise lines.error(i, f"{label} {text!r} is not a {'positive ' if positive else ''}number")
    return value


def jst(text):
    """An aware UTC datetime of "YYYY/MM/DD hh:mm:ss" in Japan Standard Time, or None."""
    m = _TIME.fullmatch(text.strip())
    if m is None:
        return None
    y, mo, d, h, mi = (int(g) for g in m.groups()[:5])
    return utc(y, mo, d, h, mi, float(m.group(6)), zone="JST")


def _time(lines, fields, label):
    if label not in fields:
        return None
    text, i = fields[label]
    when = jst(text)
    if when is None and text:
        raise lines.error(i, f"{label} {text!r} is not a time YYYY/MM/DD hh:mm:ss")
    return when


def _direction(lines, fields):
    """(component, channel, KiK-net sensor or None) from "Dir." and the file name."""
    text, i = fields["Dir."]
    if text in _KIKNET:
        component, channel = _KIKNET[text]
        return component, channel, _SENSOR[channel[-1]]
    if text.upper() not in ("N-S", "E-W", "U-D"):
        raise lines.error(i, f"Dir. {text!r} is not N-S, E-W, U-D or a KiK-net direction 1-6")
    m = _SUFFIX.search(lines.source.path)
    if m:  # a KiK-net file whose direction is written as K-NET's
        # Only the sensor comes from the name: the direction is the header's, and a
        # name that says another one belongs to another file.
        if m.group(1).upper() != text.upper().replace("-", ""):
            raise lines.error(i, f"Dir. {text} is not the direction the file name states "
                                 f"({m.group(1).upper()}{m.group(2)})")
        return text.upper(), m.group(1).upper() + m.group(2), _SENSOR[m.group(2)]
    return text.upper(), text.upper().replace("-", ""), None


def parse(source):
    """One record: the counts times the scale factor, in gal, with the mean removed.

    The header's "Max. Acc." is the peak after the mean of the record is
    removed, so the reader removes it and says so in `processing`.
    """
    from ..processing import demean

    lines = Lines(source)
    fields = header(lines)
    rate = fields["Sampling Freq(Hz)"]
    m = _RATE.fullmatch(rate[0])
    if m is None or real(m.group(1)) is None or not real(m.group(1)) > 0.0:
        raise lines.error(rate[1], f"Sampling Freq {rate[0]!r} is not a positive rate in Hz")
    freq = real(m.group(1))
    duration = _number(lines, fields, "Duration Time(s)", positive=True)
    scale_text, scale_at = fields["Scale Factor"]
    m = _SCALE.fullmatch(scale_text)
    # A numerator of 0 would make every sample 0: no record, whatever the header's peak.
    if m is None or not (real(m.group(1)) or 0.0) > 0.0 or not (real(m.group(2)) or 0.0) > 0.0:
        raise lines.error(scale_at, f"Scale Factor {scale_text!r} is not 'N(gal)/D'")
    scale = real(m.group(1)) / real(m.group(2))
    component, channel, sensor = _direction(lines, fields)

    # Two bytes at least per sample: a count the file cannot hold is refused
    # before anything is allocated for it.
    n = duration * freq
    if not (n <= len(source.data) and abs(n - round(n)) <= 1e-6 * n):
        raise lines.error(fields["Duration Time(s)"][1],
                          f"Duration Time {duration:g} s at {freq:g} Hz is not a whole number "
                          f"of samples that the file can hold")
    npts = round(n)
    first = lines.pos
    counts, end = free_block(lines, npts)
    no_more_numbers(lines, end, npts, "samples")
    peak = _number(lines, fields, "Max. Acc. (gal)")
    start = _time(lines, fields, "Record Time")
    event = Event(
        time=_time(lines, fields, "Origin Time"),
        latitude=_number(lines, fields, "Lat."),
        longitude=_number(lines, fields, "Long."),
        depth=_number(lines, fields, "Depth. (km)"),
        magnitude=_number(lines, fields, "Mag."),
        magnitude_type="MJMA" if "Mag." in fields else None,
    )
    record = source.record(
        counts * scale, 1.0 / freq, "gal",
        locate=lambda k: source.line_number(first) - 1 + k // 8,
        network="KiK-net" if sensor else "K-NET",
        station=fields["Station Code"][0] or None,
        location=sensor,
        channel=channel,
        component=component,
        latitude=_number(lines, fields, "Station Lat."),
        longitude=_number(lines, fields, "Station Long."),
        elevation=_number(lines, fields, "Station Height(m)"),
        start_time=None if start is None else start - RECORD_DELAY,
        event=event,
        stated_pga=None if peak is None else abs(peak) * UNITS["gal"],
        format=NAME,
        processing=(AS_RECORDED,),
    )
    return [demean(record)]
