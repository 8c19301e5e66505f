"""USGS SMC corrected accelerograms: 11 text lines, 48 integers (8 a line,
10 columns each), 50 reals (5 a line, 15 columns), comment lines starting
with '|' (their count is integer 16), then the samples in cm/s², 8 a line in
10-column fields that may run together ("1.5E+0-2.2E+0").
"""
from __future__ import annotations

import re

from .fields import Lines, fixed_block, real
from .record import CORRECTED, Event
from .source import decode_name
from .times import utc, utc_day_of_year

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "smc"
SUFFIXES = (".smc",)

_TYPE = re.compile(r"\s*+(\d)\s++(\S.*)")
_SNIFF_TYPE = re.compile(r"\s*+\d\s++[A-Za-z]")
_SNIFF_WORDS = re.compile(r"ACCELEROGRAM|VELOCITY|DISPLACEMENT|SPECTR", re.I)
_EVENT = re.compile(r"\s*+(\d{4})\s++(\d{1,2})\s++(\d{1,2})\s++(\d{1,4})(.*)")
_STATION = re.compile(r"station\s*+=", re.I)
_COMPONENT = re.compile(r"component\s*+=", re.I)
# "pk = 104.4" in the older files, "pk acc =  3.91E+1" in the newer ones (cm/s²).
_PEAK = re.compile(r"\bpk(?:\s++acc)?\s*+=\s*+(\S++)", re.I)

# Places in the integer and real headers (0-based).
_I_START = slice(1, 7)           # year, day of year, hour, minute, second, millisecond
_I_COMMENTS, _I_NPTS = 15, 16
_R_RATE = 1
_R_EPICENTRE = (2, 3, 4)         # latitude, longitude, depth (km)
_R_MAGNITUDES = ((5, "Mw"), (6, "Ms"), (7, "ML"))
_R_STATION = (10, 11, 12)        # latitude, longitude, elevation (m)


def sniff(head):
    """The first line is a data-type digit and the kind of series."""
    first = head.split("\n", 1)[0]
    return bool(_SNIFF_TYPE.match(first) and _SNIFF_WORDS.search(first))


def _header_block(lines, name, count, per_line, width, integers):
    """A header block of `count` fixed-width values: the values and the offset of each line."""
    starts = []
    pos = lines.pos
    for _ in range(-(-count // per_line)):
        starts.append(pos)
        pos = lines._line_end(pos)[1]
    values = fixed_block(lines, count, width, per_line, f"{name} values", integers=integers)
    return values, starts


def _event(text, reals, real_null):
    name = time = None
    m = _EVENT.match(text[3])
    if m:
        year, month, day, hhmm, rest = m.groups()
        hhmm = hhmm.zfill(4)
        # The event line gives the origin in UTC, to the minute.
        time = utc(int(year), int(month), int(day), int(hhmm[:2]), int(hhmm[2:]))
        name = rest.strip() or None
    elif text[3].strip():
        name = text[3].strip()

    def stated(k):
        return None if reals[k] == real_null else reals[k]

    lat, lon, depth = (stated(k) for k in _R_EPICENTRE)
    magnitude = kind = None
    for k, label in _R_MAGNITUDES:
        if stated(k) is not None:
            magnitude, kind = reals[k], label
            break
    if name is time is lat is magnitude is None:
        return None
    return Event(name=decode_name(name) if name else None, time=time, latitude=lat,
                 longitude=lon, depth=depth, magnitude=magnitude, magnitude_type=kind)


def _start_time(ints, int_null):
    year, day, hour, minute, second, milli = ints[_I_START]
    if int_null in (year, day, hour, minute):
        return None
    second = 0 if second == int_null else second
    milli = 0 if milli == int_null else milli
    return utc_day_of_year(year, day, hour, minute, second + milli / 1000.0)


def parse(source):
    """The record of an SMC file (one component; one of each where files were put
    one after another in one), or RecordError."""
    lines = Lines(source)
    records = [_record(source, lines)]
    while lines.skip_blank():
        records.append(_record(source, lines))
    return records


def _record(source, lines):
    """The record whose header starts at the next line."""
    at, first = lines.take("the text header")
    m = _TYPE.match(first)
    if m is None:
        raise lines.error(at, "not an SMC file: the first line must start with the data type code")
    code, kind = int(m.group(1)), m.group(2).strip()
    if code != 2 or "UNCORRECTED" in kind.upper() or "ACCELEROGRAM" not in kind.upper():
        raise lines.error(at, f"SMC data type {code} ({kind}): only corrected "
                              f"accelerograms (type 2) are read")
    text = [first] + [lines.take("the end of the 11-line text header")[1] for _ in range(10)]
    station = text[2].strip() or None
    component = None
    line = text[5]
    m, c = _STATION.search(line), _COMPONENT.search(line)
    if m and c and m.end() <= c.start():
        station = line[m.end():c.start()].strip() or station
        component = line[c.end():].strip() or None
    stated = None
    m = _PEAK.search(text[6])
    if m and real(m.group(1)) is not None:
        stated = abs(real(m.group(1))) * 0.01

    ints, int_lines = _header_block(lines, "integer header", 48, 8, 10, True)
    reals, real_lines = _header_block(lines, "real header", 50, 5, 15, False)
    ints = [int(v) for v in ints]
    reals = reals.tolist()
    int_null, real_null = ints[0], reals[0]
    n_comments, npts = ints[_I_COMMENTS], ints[_I_NPTS]
    if n_comments == int_null or n_comments < 0:
        raise lines.error(int_lines[1], f"comment line count {n_comments} is not a count")
    if npts == int_null or npts <= 0:
        raise lines.error(int_lines[2], f"sample count {npts} is not a positive count")
    rate = reals[_R_RATE]
    if rate == real_null or not rate > 0.0:
        raise lines.error(real_lines[0], f"sampling rate {rate!r} is not a positive rate")
    dt = 1.0 / rate
    if dt == float("inf"):
        raise lines.error(real_lines[0], f"sampling rate {rate!r} gives no finite time step")

    for k in range(n_comments):
        at, line = lines.take(f"the {n_comments} comment lines the header states")
        if not line.startswith("|"):
            raise lines.error(at, f"comment line {k + 1} of {n_comments} does not start with '|'")
    if (lines.peek() or "").startswith("|"):
        raise lines.error(lines.pos, f"more comment lines than the {n_comments} the header states")

    first_sample = lines.pos
    samples = fixed_block(lines, npts, 10, 8)
    if lines.skip_blank():  # only another file's header may follow
        lines.expect_no_more_numbers(npts, "samples")
    lat, lon, elevation = (None if reals[k] == real_null else reals[k] for k in _R_STATION)
    return source.record(
        samples, dt, "cm/s2", locate=lambda k: source.line_number(first_sample) - 1 + k // 8,
        station=decode_name(station) if station else None, component=component,
        event=_event(text, reals, real_null), start_time=_start_time(ints, int_null),
        stated_pga=stated, format=NAME, latitude=lat, longitude=lon, elevation=elevation,
        processing=(CORRECTED,))
