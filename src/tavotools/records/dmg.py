"""CSMIP/DMG (formerly CDMG) V1 and V2 records, one channel or several per file.

Per channel: a text header, integer and real header blocks, then the data.
V2 (corrected): acceleration, velocity and displacement blocks, each
announced by a line such as " 3251 POINTS OF ACCEL DATA EQUALLY SPACED AT
.020 SEC. (UNITS: CM/SEC/SEC)" or " 12000 points of accel data equally spaced
at .005 sec, in cm/sec2. (8f10.6)"; the acceleration block is read. V1
(uncorrected, as recorded): one block announced by " 13200 Accelerogram
points at 200 pts/sec in units of g . Format: (8f9.6)". A channel ends at
its "/&" line. The text header states the step again ("At equally-spaced
intervals of .005 sec.", V2; "at 200 Samples/sec", V1) and a V1's units ("Units
of uncor data are sec and g"): where they differ from the data line's, the
channel is refused.
"""
from __future__ import annotations

import functools
import re

from .fields import degrees, each_channel, fixed_block, line_matches, real, upper
from .record import AS_RECORDED, CORRECTED, Event
from .source import decode_name
from .times import ZONES, date_mdy, utc
from .units import UNITS, UNITS_HINT, normalize_units

__all__ = ["ALIASES", "NAME", "SUFFIXES", "parse", "skip_blocks", "sniff"]

NAME = "dmg"
ALIASES = ("v1", "v2")
SUFFIXES = (".v1", ".v2")

_ACCEL = re.compile(
    r"\s*+(\d++)\s++POINTS\s++OF\s++ACCEL(?:ERATION)?\s++DATA\s++EQUALLY\s++SPACED\s++AT\s++(\S+?)\s*SEC",
    re.I)
_V1_DATA = re.compile(
    r"\s*+(\d++)\s++ACCELEROGRAM\s++POINTS\s++AT\s++(\S++)\s++PTS/SEC\s++IN\s++UNITS\s++OF\s++(\S++)", re.I)
_BLOCK = re.compile(r"\s*+(\d++)\s++POINTS\s++OF\s++(\w++)\s++DATA\b", re.I)
_FORMAT = re.compile(r"(?:FORMAT\s*+(?:[:=]\s*+)?)?\(\s*+(\d++)\s*+[FEGD](\d++)\.\d++\s*+\)", re.I)
# Its part from the parenthesis: what every match of _FORMAT holds, with the same
# groups, and searched from a literal "(" (the optional word before it makes
# _FORMAT try every offset of a line). _FORMAT is needed only for its text.
_FORMAT_FIELDS = re.compile(_FORMAT.pattern[_FORMAT.pattern.index(r"\(\s"):], re.I)
_UNITS_IN = re.compile(r"SEC\.?,?\s++IN\s++([^\s,(]++)", re.I)
_POINTS = re.compile(r"[ \t]*+(\d++)[ \t]++POINTS[ \t]++OF[ \t].*ACCEL")  # a line of the upper-cased header
_CHANNEL = re.compile(r"CHAN(?:NEL)?[ \t]*+(\d++)[ \t]*+:(.*)", re.I)
_DIRECTION_END = re.compile(r"\s{3,}|\(|\s+FROM\b", re.I)
_START = re.compile(r"(?:TRIGGER|START)[ \t]++TIME[ \t]*+:?(.*)", re.I)
_STATION_NO = re.compile(r"STATION\s++NO\.?\s*+(\S++)", re.I)
_PEAK = re.compile(r"PEAK[ \t]++ACCELERATION[ \t]*+=[ \t]*+(\S++)[ \t]++(\S++)", re.I)
_MAX = re.compile(r"\bMAX[ \t]*+=[ \t]*+(\S++)[ \t]++([^\s,]++)", re.I)
# "ORIGIN(BRK): ...", "HYPOCENTER(BRK): ...": the text after the first colon. The
# scan to the colon stops at the word's first letter, so that scans from the
# starts of a repeated word do not overlap.
_ORIGIN = re.compile(r"ORIGIN[^:\nO]*+:(.*)", re.I)
_HYPOCENTRE = re.compile(r"HYPOCENTER[^:\nH]*+:(.*)", re.I)
_PLACE = re.compile(r"(?<![\d.])(\d++(?:\.\d*+)?)\s*+([NS])\s*+,\s*+(\d++(?:\.\d*+)?)\s*+([EW])",
                    re.I)
_DEPTH = re.compile(r"\bH\s*+=\s*+(\d++(?:\.\d*+)?)\s*+KM", re.I)
_MAGNITUDE = re.compile(r"\b(M[LWS]?)\s*+=\s*+(\d++(?:\.\d*+)?)", re.I)
_CLOCK = re.compile(r"(\d{1,2}):(\d{2})(?::(\d{1,2}(?:\.\d*)?))?\s*([A-Za-z]{1,4})?")
_MONTH_DATE = re.compile(r"(?<![A-Za-z])([A-Za-z]{3})[A-Za-z]*+\.?\s++(\d{1,2}),?\s++(\d{4})")
_MONTHS = {m: k for k, m in enumerate(
    ("jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"), 1)}
_NEXT = re.compile(r"\s*(?:UN)?CORRECTED\s+ACCELEROGRAM", re.I)
# The step and units as the text header states them too: "At equally-spaced intervals
# of .005 sec." (V2), "Record Length = 66.000 sec at 200 Samples/sec" and "Units of
# uncor data are sec and g ." (V1).
_INTERVALS = re.compile(r"INTERVALS[ \t]++OF[ \t]*+(\.?\d[\d.]*+)", re.I)
_SAMPLES_PER_SEC = re.compile(r"\bAT[ \t]++(\.?\d[\d.]*+)[ \t]*+SAMPLES/SEC", re.I)
_UNCOR_UNITS = re.compile(r"UNITS[ \t]++OF[ \t]++UNCOR[ \t]++DATA[ \t]++ARE[ \t]++SEC\w*+[ \t]++AND"
                          r"[ \t]++([^\s,]++)", re.I)

#: Bytes a channel header may hold before its data line.
_MAX_HEADER_BYTES = 32768
_DATA_LINE = re.compile(rb"^[ \t]*\d+[ \t]+(?:POINTS[ \t]+OF[ \t]+ACCEL(?:ERATION)?[ \t]+DATA|"
                        rb"ACCELEROGRAM[ \t]+POINTS[ \t]+AT)", re.I | re.M)


#: Each header pattern without re.I, for the upper-cased header.
_UPPER = {p: re.compile(p.pattern) for p in (_CHANNEL, _START, _PEAK, _MAX, _ORIGIN, _HYPOCENTRE,
                                              _INTERVALS, _SAMPLES_PER_SEC, _UNCOR_UNITS)}


def _half_unit(printed):
    """Half a unit in the last digit of a number printed without exponent (".005": 0.0005)."""
    return 0.5 * 10.0 ** -len(printed.rstrip(".").partition(".")[2])


def _disagree(stated, printed):
    """True when the number `printed` in the text header is not `stated` (the data line's,
    printed as `stated`) to the digits either is printed with."""
    value = real(printed.rstrip("."))
    return value is not None and abs(value - real(stated.rstrip("."))) > \
        max(_half_unit(printed), _half_unit(stated)) * (1 + 1e-9)


def sniff(head):
    """A V1 or V2 header: "ACCELEROGRAM" on the first line, or a data line."""
    end = head.find("\n")
    if "ACCELEROGRAM" in (head if end < 0 else head[:end]).upper():
        return True
    # Both data lines hold "points": most heads of other formats have none, and
    # are passed over without trying the patterns on each line (nor splitting them).
    if "POINTS" not in upper(head):
        return False
    return any(_ACCEL.match(line) or _V1_DATA.match(line) for line in head.split("\n", 200)[:200])


def _units(line):
    """(canonical units, units as stated) of "(UNITS: CM/SEC/SEC)" or "SEC, IN cm/sec2"."""
    start = line.upper().find("UNITS")
    end = line.find(")", start) if start >= 0 else -1
    if end >= 0:
        stated = line[start + 5:end].strip().lstrip(":").strip()
    else:
        m = _UNITS_IN.search(line)
        if m is None:
            return None, None
        stated = m.group(1)
    return normalize_units(stated), stated


@functools.lru_cache(maxsize=256)
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


def _event(header, find, corrected):
    """The event the channel header states (the channels of a file share it: cached)."""
    origin, hypocentre = find(_ORIGIN), find(_HYPOCENTRE)
    return _stated_event(corrected, header[2] if len(header) > 2 else "",
                         header[3] if len(header) > 3 else "",
                         origin.group(1) if origin else None,
                         hypocentre.group(1) if hypocentre else None)


@functools.lru_cache(maxsize=64)
def _stated_event(corrected, third, fourth, origin, hypocentre):
    # The V2 layout names the event on its third line; "Record of ..." is the
    # record's own time, not a name.
    name = None
    line = third.strip()
    if corrected and line and not line.upper().startswith("RECORD OF") and \
            "PROCESSING" not in line.upper():
        name = decode_name(line)
    time = _when(origin) if origin is not None else None
    if time is None and corrected:
        time = _when(fourth)
    lat = lon = depth = magnitude = kind = None
    if hypocentre is not None:
        place = _PLACE.search(hypocentre)
        if place:
            lat, lon = degrees(*place.group(1, 2)), degrees(*place.group(3, 4))
        d = _DEPTH.search(hypocentre)
        depth = float(d.group(1)) if d else None
        mag = _MAGNITUDE.search(hypocentre)
        if mag:
            kind, magnitude = mag.group(1).upper().replace("MW", "Mw").replace("MS", "Ms"), \
                float(mag.group(2))
    if name is time is lat is magnitude is None:
        return None
    return Event(name=name, time=time, latitude=lat, longitude=lon, depth=depth,
                 magnitude=magnitude, magnitude_type=kind)


def _lines_holding(shouted, word):
    """The indexes of the lines of `shouted` (an upper-cased header, lines joined by
    newlines) that hold `word`, in order: no Python loop over the other lines."""
    k = shouted.find(word)
    while k >= 0:
        yield shouted.count("\n", 0, k)
        end = shouted.find("\n", k)
        if end < 0:
            return
        k = shouted.find(word, end)


def _follows_block(line):
    """A line that may follow a data block: the next block, the channel's end or the next channel."""
    return bool(_BLOCK.match(line) or line.startswith("/&") or _NEXT.match(line))


def skip_blocks(lines):
    """Moves past the velocity and displacement blocks that follow the acceleration
    block, to the channel's "/&" line or the next channel."""
    while True:
        line = lines.peek()
        m = _BLOCK.match(line) if line is not None else None
        if m is None:
            break
        lines.take("")  # the line just peeked at: not decoded again
        per_line = 8
        f = _FORMAT_FIELDS.search(line)
        if f and int(f.group(1)) > 0:
            per_line = int(f.group(1))
        lines.skip_lines(-(-int(m.group(1)) // per_line), _follows_block)
    line = lines.peek()
    if line is None or _follows_block(line):
        return
    # Something else: look for the end of the channel.
    found = [k + 1 for k in (lines.data.find(mark, lines.pos - 1, lines.end)
                             for mark in (b"\n/&", b"\nCorrected", b"\nCORRECTED",
                                          b"\nUncorrected", b"\nUNCORRECTED")) if k >= 0]
    lines.pos = min(found, default=lines.end)


def parse(source):
    """Every channel's acceleration record, in the file's order, or RecordError."""
    return each_channel(source, _channel, "no channel found")


def _data_line(lines, start):
    """Offset of the channel's data line, or None: the lines holding "points" found
    by literal searches of the bytes (a case-insensitive regex scans slowly), then
    checked; the regex alone where they find none."""
    data, stop = lines.data, min(lines.end, start + _MAX_HEADER_BYTES)
    pos = start
    while True:
        upper = data.find(b"OINTS", pos, stop)
        lower = data.find(b"oints", pos, upper if upper >= 0 else stop)  # no further than needed
        k = lower if lower >= 0 else upper
        if k < 0:
            break
        at = max(data.rfind(b"\n", start, k) + 1, start)
        if _DATA_LINE.match(data, at, stop):
            return at
        pos = k + 5
    m = _DATA_LINE.search(data, pos, stop)
    return m.start() if m else None


def _header(lines):
    """The channel header up to its data line: (header lines, data line offset, data line).

    The data line is searched for in the bytes, and the header split at once:
    no Python loop over its lines.
    """
    start = lines.pos
    at = _data_line(lines, start)
    ends = lines.data.find(b"\n/&", start, lines.end if at is None else at)
    if at is None or ends >= 0 or lines.data.startswith(b"/&", start):
        return None, None, None
    header = lines.text(start, at).splitlines()
    lines.pos = at
    at, line = lines.take("the data line")
    return header, at, line


def _channel(source, lines, number):
    start = lines.pos
    header, acc, acc_line = _header(lines)
    accel = v1 = None
    if header is not None:
        accel = _ACCEL.match(acc_line)
        v1 = None if accel else _V1_DATA.match(acc_line)
    if accel is None and v1 is None:
        raise lines.error(start, "no 'POINTS OF ACCEL DATA' or 'Accelerogram points' line "
                                 "follows this channel header")

    joined = "\n".join(header)
    upper = joined.upper()
    if len(upper) != len(joined):  # an upper case that is longer ("ß"): no shortcut
        upper = None

    def find(pattern):
        """The first match in the header; patterns do not reach across its lines.

        Searched case-sensitively in the upper-cased header, which is much faster
        than a case-insensitive search, and taken from the header as written.
        """
        if upper is None:
            return pattern.search(joined)
        m = _UPPER[pattern].search(upper)
        return pattern.match(joined, m.start()) if m else None

    corrected = accel is not None
    channel = component = None
    m = find(_CHANNEL)
    if m:
        channel = int(m.group(1))
        # "90 DEG     FROM", "360 Deg   (Rcrd start time: ...)": the direction only.
        component = _DIRECTION_END.split(m.group(2).strip(), 1)[0].strip() or None
    m = find(_START)
    start_time = _when(m.group(1)) if m else None
    station = name = lat = lon = None
    shouted = upper if upper is not None else joined.upper()
    for i in _lines_holding(shouted, "NO"):
        line = header[i]
        m = _STATION_NO.search(line)
        if m is None:
            continue
        # "STATION NO. 89146": the station's code. Its name is the next line, its
        # owner after a wide gap: "Willow Creek   CGS".
        station = m.group(1)
        if i + 1 < len(header):
            name = re.split(r"\s{3,}", header[i + 1].strip())[0] or None
        # "STATION NO. 36456   35.908N, 120.458W"
        place = _PLACE.search(line, m.end())
        if place:
            lat, lon = degrees(*place.group(1, 2)), degrees(*place.group(3, 4))
        break

    if corrected:
        m = accel
        npts, dt = int(m.group(1)), real(m.group(2).rstrip("."))
        if dt is None or not dt > 0.0:
            raise lines.error(acc, f"time step {m.group(2)!r} is not a positive number")
        units, stated_units = _units(acc_line)
        peak = find(_PEAK)
    else:
        m = v1
        npts, rate = int(m.group(1)), real(m.group(2))
        if rate is None or not rate > 0.0 or not 1.0 / rate > 0.0:
            raise lines.error(acc, f"sampling rate {m.group(2)!r} is not a positive rate")
        dt = 1.0 / rate
        stated_units = m.group(3).rstrip(".")
        units = normalize_units(stated_units)
        peak = find(_MAX)
    if npts <= 0:
        raise lines.error(acc, f"sample count {npts} is not a positive count")
    # The text header states the step and the units again: where it says otherwise
    # than the data line, the file does not say which holds.
    twice = (find(_INTERVALS), "a step of", m.group(2), "s") if corrected else \
        (find(_SAMPLES_PER_SEC), "a rate of", m.group(2), "samples/s")
    if twice[0] and _disagree(twice[2], twice[0].group(1)):
        raise lines.error(acc, f"the data line states {twice[1]} {twice[2].rstrip('.')} {twice[3]}, "
                               f"the header {twice[0].group(1).rstrip('.')} {twice[3]}")
    if units is None:
        what = f"unknown units {stated_units!r}" if stated_units else "no units stated"
        raise lines.error(acc, f"{what}: {UNITS_HINT}")
    uncor = None if corrected else find(_UNCOR_UNITS)
    if uncor and normalize_units(uncor.group(1).rstrip(".")) != units:
        raise lines.error(acc, f"the data line states units of {stated_units!r}, the header "
                               f"{uncor.group(1)!r}")
    stated = None
    if peak:
        value, peak_units = real(peak.group(1)), normalize_units(peak.group(2))
        if value is not None and peak_units:
            stated = abs(value) * UNITS[peak_units]
    for m in line_matches(shouted, "POINTS", _POINTS):
        if int(m.group(1)) != npts:
            at = start
            for _ in range(shouted.count("\n", 0, m.start())):
                at = lines._line_end(at)[1]
            raise lines.error(at, f"header states {m.group(1)} points, the acceleration "
                                  f"block {npts}")
    per_line, width = (8, 10) if corrected else (8, 9)
    m = _FORMAT_FIELDS.search(acc_line)
    if m:
        per_line, width = int(m.group(1)), int(m.group(2))
        if per_line == 0 or width == 0:
            raise lines.error(acc, f"format {_FORMAT.search(acc_line).group(0)!r} states fields "
                                   f"of no width or no fields a line")

    first = lines.pos
    samples = fixed_block(lines, npts, width, per_line)
    lines.expect_no_more_numbers(npts, "samples")
    # The velocity and displacement blocks follow; a channel ends at its "/&"
    # line, or where the next channel starts.
    skip_blocks(lines)
    if lines.data.startswith(b"/&", lines.pos):
        lines.take("")
    return source.record(
        samples, dt, units, locate=lambda k: source.line_number(first) - 1 + k // per_line,
        station=decode_name(station) if station else None,
        station_name=decode_name(name) if name else None, component=component,
        event=_event(header, find, corrected), start_time=start_time, stated_pga=stated,
        format=NAME, channel=channel, latitude=lat, longitude=lon,
        processing=(CORRECTED,) if corrected else (AS_RECORDED,))
