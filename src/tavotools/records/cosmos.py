"""COSMOS Strong-Motion (VDC) files: V0 raw counts, V1 uncorrected and V2
corrected acceleration (also CESMD's ".V2c"), one or more sections a file.

A section: its text header (line 1 names the series and states "with N text
lines"), "100 Integer-header values follow on 10 lines, Format= (10I8)" and
the values, the same for the reals, "K Comment line(s) follow", then
"42000 acceleration pts, approx 210 secs, units=cm/sec2(04),Format=(1E15.6)",
the samples, and an end-of-data line. Velocity and displacement sections are
passed over.

Read from the headers (places 1-based, as the format numbers them): the start
of the record from integers 40 (year), 42-45 (month, day, hour, minute) and
real 30 (seconds), in the zone the "Rcrd start time" line states; the station
from reals 1-3 (latitude, longitude, elevation in m); the hypocentre from
reals 10-13; the time step from real 62 (ms), else, for raw data, real 34 (s);
the stated peak from real 64, else the text's "Max = ...". The null values
are those the text header's last line gives.

Raw counts (V0) become g as counts x real 22 (recorder resolution, µV a
count) x 1e-6 / real 43 (sensor sensitivity, V/g); a file that does not state
both raises RecordError.
"""
from __future__ import annotations

import re

from .fields import each_channel, fixed_block, real
from .record import AS_RECORDED, CORRECTED, Event
from .source import decode_name
from .times import ZONES, utc
from .units import UNITS, UNITS_HINT, normalize_units

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "cosmos"
SUFFIXES = (".v0", ".v1", ".v2", ".v2c", ".v1c", ".v0c")

# Line 1's format note; the series is the text before it (found by the note, not by a
# lazy scan of the series, which would be quadratic in a long line).
_FIRST = re.compile(r"\(Format\s++v?\s*+(\d++\.\d++)\s++with\s++(\d++)\s++text\s++lines\)", re.I)
_BLOCK_LINE = re.compile(r"\s*(\d+)\s+(Integer|Real)-header\s+values\s+follow\s+on\s+(\d+)\s+lines,?"
                         r"\s*Format\s*=\s*\((\d+)([IFEG])(\d+)(?:\.\d+)?\)", re.I)
_COMMENTS = re.compile(r"\s*(\d+)\s+Comment\s+line", re.I)
_DATA = re.compile(r"\s*(\d+)\s+(.*?)\s*pts,\s*approx\s+(\S+)\s+secs?,\s*units\s*=\s*([^(,]*?)\s*"
                   r"(?:\((\d+)\))?\s*,\s*Format\s*=\s*\((\d+)([IFEG])(\d+)(?:\.\d+)?\)", re.I)
_NULLS = re.compile(r"unknown/unspecified:\s*(\S+?),?\s+(\S+)", re.I)
_MAX = re.compile(r"\bMax\s*=\s*(\S+)\s+(\S+)", re.I)
_START = re.compile(r"Rcrd\s+start\s+time:.*?\b([A-Z]{1,4})\b\s*(?:\(|$)", re.I)
_STATION = re.compile(r"Statn\s+No:\s*(\S+)\s+Code:\s*(\S*)\s*(.*)", re.I)
_CHANNEL = re.compile(r"Sta\s+Chan?\s*:?\s*(\S+)\s*:\s*(.*?)\s*\(", re.I)
_HYPOCENTRE = re.compile(r"\b(M[LWSbwsl]?|mb|Mw)\s*=\s*(\d+(?:\.\d*)?)")
_ORIGIN = re.compile(r"Origin:\s*(\d{1,4})/(\d{1,2})/(\d{1,4}),?\s+(\d{1,2}):(\d{2})(?::(\d{1,2}(?:\.\d*)?))?"
                     r"\s*([A-Z]{1,4})?", re.I)
_NAME = re.compile(r"(?:Record\s+of\s+)?(.*?)(?:\s+of\s+\w{3}\s+\w{3}\s+\d|\s{3,}|$)", re.I)
_SCNL = re.compile(r"<SCNL>\s*([^.\s]*)\.([^.\s]*)\.([^.\s]*)\.([^.\s]*)")

# Places in the headers, 0-based.
_I_START = (39, 41, 42, 43, 44)         # year, month, day, hour, minute
_R_SECOND = 29
_R_STATION = (0, 1, 2)                   # latitude, longitude, elevation (m)
_R_HYPOCENTRE = (9, 10, 11, 12)          # latitude, longitude, depth (km), magnitude
_R_RESOLUTION, _R_SENSITIVITY = 21, 42   # µV a count, V/g
_R_RAW_STEP, _R_STEP_MS, _R_PEAK = 33, 61, 63


def sniff(head):
    """Line 1 names the series and its format: "(Format v01.20 with 13 text lines)"."""
    return bool(_FIRST.search(head.split("\n", 1)[0]))


def parse(source):
    """Every acceleration section of the file, in order; RecordError otherwise."""
    return each_channel(source, _section, "no acceleration series in the file")


def _header_values(lines, kind):
    """An integer or real header block: its announcing line, then the values."""
    at, line = lines.take(f"the {kind.lower()}-header line")
    m = _BLOCK_LINE.match(line)
    if m is None or m.group(2).lower() != kind.lower():
        raise lines.error(at, f"expected '... {kind}-header values follow on ... lines, "
                              f"Format= (...)', not {line.strip()!r}")
    count, per_line, width = int(m.group(1)), int(m.group(4)), int(m.group(6))
    if per_line == 0 or width == 0:
        raise lines.error(at, f"format of no fields or no width: {line.strip()!r}")
    values = fixed_block(lines, count, width, per_line, f"{kind.lower()}-header values",
                         integers=m.group(5).upper() == "I")
    return values.tolist(), at


def _section(source, lines, number):
    start, first = lines.take("the text header")
    m = _FIRST.search(first)
    if m is None:
        raise lines.error(start, f"expected a COSMOS header line '... (Format v01.20 with 13 "
                                 f"text lines)', not {first.strip()!r}")
    series, n_text = first[:m.start()].strip(), int(m.group(2))
    if n_text < 1:
        raise lines.error(start, f"a header of {n_text} text lines")
    text = [first] + [lines.take(f"the {n_text} text lines the header states")[1]
                      for _ in range(n_text - 1)]
    nulls = _NULLS.search(text[-1])
    int_null = int(nulls.group(1)) if nulls and re.fullmatch(r"[+-]?\d+", nulls.group(1)) else -999
    real_null = real(nulls.group(2)) if nulls and real(nulls.group(2)) is not None else -999.0
    ints, ints_at = _header_values(lines, "Integer")
    reals, reals_at = _header_values(lines, "Real")

    def stated_int(k):
        return None if k >= len(ints) or ints[k] == int_null else int(ints[k])

    def stated_real(k):
        return None if k >= len(reals) or reals[k] == real_null else reals[k]

    at, line = lines.take("the comment count line")
    m = _COMMENTS.match(line)
    if m is None:
        raise lines.error(at, f"expected 'N Comment line(s) follow', not {line.strip()!r}")
    comments = [lines.take(f"the {m.group(1)} comment lines the header states")
                for _ in range(int(m.group(1)))]
    for at, comment in comments:
        if not comment.lstrip().startswith("|"):
            raise lines.error(at, f"comment line does not start with '|': {comment.strip()!r}")

    data_at, line = lines.take("the data line")
    m = _DATA.match(line)
    if m is None:
        raise lines.error(data_at, "expected 'N acceleration pts, approx T secs, units=..., "
                                   f"Format=(...)', not {line.strip()!r}")
    npts, kind, approx, unit_text = int(m.group(1)), m.group(2).lower(), m.group(3), m.group(4)
    per_line, letter, width = int(m.group(6)), m.group(7).upper(), int(m.group(8))
    if per_line == 0 or width == 0:
        raise lines.error(data_at, f"format of no fields or no width: {line.strip()!r}")
    if npts <= 0:
        raise lines.error(data_at, f"sample count {npts} is not a positive count")
    first = lines.pos
    samples = fixed_block(lines, npts, width, per_line, integers=letter == "I")
    _end_of_section(lines)
    if "acc" not in kind:  # velocity, displacement: not read
        return None

    raw = "count" in unit_text.lower() or series.lower().startswith("raw")
    step_ms = stated_real(_R_STEP_MS)
    if step_ms is not None:
        dt = step_ms / 1000.0
    elif raw and stated_real(_R_RAW_STEP) is not None:
        dt = stated_real(_R_RAW_STEP)
    else:
        raise lines.error(reals_at, "the real header states no time step (real 62, ms)")
    if not dt > 0.0:
        raise lines.error(reals_at, f"time step {dt!r} s is not positive")
    seconds = real(approx)
    if seconds is not None and abs(npts * dt - seconds) > max(1.0, 0.02 * seconds):
        raise lines.error(data_at, f"{npts} samples at {dt!r} s last {npts * dt:.6g} s, "
                                   f"not the {approx} s the data line states")
    if raw:
        resolution, sensitivity = stated_real(_R_RESOLUTION), stated_real(_R_SENSITIVITY)
        if not resolution or not sensitivity:
            raise lines.error(data_at, "raw counts, and the header states no recorder resolution "
                                       "(real 22, µV a count) and sensor sensitivity (real 43, "
                                       "V/g) to convert them with")
        samples = samples * (resolution * 1e-6 / sensitivity)
        units = "g"
    else:
        units = normalize_units(unit_text)
        if units is None:
            raise lines.error(data_at, f"unknown units {unit_text!r}: {UNITS_HINT}")

    stated = stated_real(_R_PEAK)
    peak_units = units
    m = _MAX.search(text[10]) if len(text) > 10 else None
    if stated is None and m and real(m.group(1)) is not None:
        stated, peak_units = real(m.group(1)), normalize_units(m.group(2))
    stated_pga = None
    if stated is not None and peak_units is not None and not raw:
        stated_pga = abs(stated) * UNITS[peak_units]

    network = name = code = channel = component = location = None
    m = _STATION.search(text[4]) if len(text) > 4 else None
    if m:
        network, _, code = m.group(2).partition("-")
        if not code:
            network, code = None, network or None
        words = m.group(3).split(None, 1)
        # The first word names the operating agency (CDMG, UAF, ...); the rest is the place.
        name = decode_name(words[1].strip()) if len(words) > 1 else None
    m = _CHANNEL.search(text[8]) if len(text) > 8 else None
    if m:
        channel = int(m.group(1)) if m.group(1).isdigit() else None
        stated_component = m.group(2).strip()
        component = stated_component if stated_component.lower() not in ("other", "?", "") else None
    for _, comment in comments:
        s = _SCNL.search(comment)
        if s:
            code = code or s.group(1) or None
            network = network or s.group(3) or None
            location = s.group(4) or None
            channel = channel if channel is not None else (s.group(2) or None)
            component = component or s.group(2) or None

    lat, lon, elevation = (stated_real(k) for k in _R_STATION)
    return source.record(
        samples, dt, units, locate=lambda k: source.line_number(first) - 1 + k // per_line, format=NAME,
        station=code or name, station_name=name if code else None,
        network=network, location=location, channel=channel, component=component,
        latitude=lat, longitude=lon, elevation=elevation, start_time=_start(text, stated_int,
                                                                             stated_real),
        event=_event(text, stated_real), stated_pga=stated_pga,
        processing=(CORRECTED,) if series.lower().startswith("corrected") else (AS_RECORDED,))


def _end_of_section(lines):
    """Passes the end-of-data line ("End-of-data for ...", "/& ... End of data ...")."""
    line = lines.peek()
    if line is not None and ("end-of-data" in line.lower() or "end of data" in line.lower()
                             or line.startswith("/&")):
        lines.take("")


def _start(text, stated_int, stated_real):
    """The first sample's time from the integer and real headers, in the zone the text names."""
    m = _START.search(text[7]) if len(text) > 7 else None
    zone = m.group(1).upper() if m else None
    parts = [stated_int(k) for k in _I_START]
    second = stated_real(_R_SECOND)
    if zone not in ZONES or None in parts:
        return None
    year, month, day, hour, minute = parts
    return utc(year, month, day, hour, minute, second or 0.0, zone)


def _half_unit(printed):
    """Half a unit in the last digit of a number printed without exponent ("4.8": 0.05)."""
    decimals = len(printed.partition(".")[2])
    return 0.5 * 10.0 ** -decimals


def _event(text, stated_real):
    name = None
    if len(text) > 1:
        m = _NAME.match(text[1].strip())
        name = decode_name(m.group(1).strip()) if m and m.group(1).strip() else None
    lat, lon, depth, magnitude = (stated_real(k) for k in _R_HYPOCENTRE)
    kind = None
    if len(text) > 2:
        # The line may state several ("ML=4.9, Mw=4.8(CIT), Ms=4.2"): the type is that of
        # the one that is real 13 to its printed digits (the nearest); when real 13 states
        # none, the first of the line is the magnitude.
        stated = [(m.group(1), m.group(2)) for m in _HYPOCENTRE.finditer(text[2])]
        if magnitude is None and stated:
            kind, magnitude = stated[0][0], float(stated[0][1])
        else:
            near = [(abs(float(value) - magnitude), k) for k, value in stated
                    if abs(float(value) - magnitude) <= _half_unit(value) * (1 + 1e-9)]
            kind = min(near)[1] if near else None
    time = None
    if len(text) > 3:
        m = _ORIGIN.search(text[3])
        if m:
            a, b, c, hour, minute, second, zone = m.groups()
            year, month, day = (int(a), int(b), int(c)) if len(a) == 4 else (int(c), int(a), int(b))
            if (zone or "").upper() in ZONES:
                time = utc(year, month, day, int(hour), int(minute), float(second or 0.0),
                           zone.upper())
    if name is time is lat is magnitude is None:
        return None
    return Event(name=name, time=time, latitude=lat, longitude=lon, depth=depth,
                 magnitude=magnitude, magnitude_type=kind)
