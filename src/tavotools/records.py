"""Readers for the accelerogram files that agencies publish.

Every reader returns `Record` objects: the samples as float64 in m/s², the
time step, the file's own units and the metadata the file states.  Malformed
input raises `RecordError` (a `ValueError`) naming the file and the line.
"""
from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass

import numpy as np

__all__ = [
    "G",
    "UNITS",
    "Record",
    "RecordError",
    "detect_format",
    "normalize_units",
    "read_at2",
    "read_record",
    "read_records",
    "read_smc",
    "read_text",
    "read_v2",
]

#: Gravity in m/s², the value the measures use for their g-based thresholds,
#: so a record read in g and its thresholds agree.
G = 9.81

#: Factor from each accepted unit to m/s².
UNITS = {"g": G, "m/s2": 1.0, "cm/s2": 0.01, "gal": 0.01}

FORMATS = ("smc", "v2", "at2", "text")

_UNITS_HINT = "use one of 'g', 'm/s2', 'cm/s2', 'gal'"


class RecordError(ValueError):
    """A file that cannot be read as an accelerogram; names the file and line."""

    def __init__(self, path, line, reason):
        self.path = str(path)
        self.line = line
        self.reason = reason
        where = self.path if line is None else f"{self.path}, line {line}"
        super().__init__(f"{where}: {reason}")


def normalize_units(text):
    """Return the canonical name ('g', 'm/s2', 'cm/s2', 'gal') of a unit, or None.

    Accepts the spellings agencies use: "CM/SEC/SEC", "cm/sec2", "cm/s^2",
    "m/s**2", "Gal", "G".
    """
    s = re.sub(r"\s+", "", str(text).lower()).rstrip(".")
    s = s.replace("**2", "2").replace("^2", "2").replace("²", "2")
    s = re.sub(r"sec(?:ond)?s?", "s", s)
    s = s.replace("/s/s", "/s2").replace("/(s*s)", "/s2").replace("/ss", "/s2")
    aliases = {
        "g": "g",
        "m/s2": "m/s2", "ms-2": "m/s2", "mps2": "m/s2",
        "cm/s2": "cm/s2", "cms-2": "cm/s2", "cmps2": "cm/s2",
        "gal": "gal", "gals": "gal",
    }
    return aliases.get(s)


def _units_argument(units):
    name = normalize_units(units)
    if name is None:
        raise ValueError(f"unknown units {units!r}: {_UNITS_HINT}")
    return name


@dataclass(frozen=True, eq=False)
class Record:
    """One component of a ground-motion record.

    `accel` holds the samples in m/s² (float64, writable: the measures need a
    writable buffer, and `get_CAVstd_cy` writes into it, so pass it a copy).
    `units` is the unit the file gave the samples in; records in g are scaled
    by 9.81, the measures' own gravity, and cm/s² or gal by 0.01.
    The other fields are what the file states, None where it states nothing.
    `stated_pga` is the peak acceleration the file's header states, in m/s².
    """

    accel: np.ndarray
    dt: float
    units: str = "m/s2"
    station: str | None = None
    component: str | None = None
    event: str | None = None
    event_time: str | None = None
    start_time: str | None = None
    stated_pga: float | None = None
    path: str | None = None
    format: str = "array"
    channel: int | None = None

    def __post_init__(self):
        accel = np.array(self.accel, dtype=np.float64)
        if accel.ndim != 1:
            raise ValueError(f"accel must be one-dimensional, not {accel.ndim}-dimensional")
        if accel.size == 0:
            raise ValueError("a record needs at least one sample")
        if not np.isfinite(accel).all():
            raise ValueError("accel holds NaN or infinite samples")
        dt = float(self.dt)
        if not (math.isfinite(dt) and dt > 0.0):
            raise ValueError(f"dt must be a positive, finite time step, not {dt!r}")
        object.__setattr__(self, "accel", accel)
        object.__setattr__(self, "dt", dt)
        object.__setattr__(self, "units", _units_argument(self.units))

    @classmethod
    def from_samples(cls, samples, dt, units, **metadata):
        """Build a record from samples in `units` ('g', 'm/s2', 'cm/s2' or 'gal')."""
        name = _units_argument(units)
        accel = np.array(samples, dtype=np.float64)
        if name != "m/s2":
            accel = accel * UNITS[name]
        return cls(accel, dt, name, **metadata)

    @property
    def npts(self):
        """Number of samples."""
        return int(self.accel.size)

    @property
    def duration(self):
        """Length of the record in seconds, npts × dt."""
        return self.npts * self.dt

    @property
    def time(self):
        """Time of each sample from the first, k × dt, in seconds."""
        return np.arange(self.npts) * self.dt

    @property
    def label(self):
        """Short name: the file's base name, with the channel for multi-channel files."""
        base = os.path.basename(self.path) if self.path else (self.station or "record")
        return base if self.channel is None else f"{base}#{self.channel}"

    @property
    def is_vertical(self):
        """True when the stated component names the vertical direction."""
        comp = (self.component or "").strip().lower()
        return comp in {"up", "down", "v", "z", "vert", "vertical", "ud", "dwn"} or comp.endswith("z")

    def __repr__(self):
        return (f"Record({self.label!r}, npts={self.npts}, dt={self.dt!r}, units={self.units!r}, "
                f"station={self.station!r}, component={self.component!r})")


# ---- numbers and lines ------------------------------------------------------

# A Fortran real: optional sign, digits with an optional point (".005" has no
# leading zero), an exponent with E or D, or the bare signed exponent that the
# E edit descriptor writes when the exponent needs three digits ("1.5-105").
_REAL = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[EeDd][+-]?\d+|[+-]\d+)?")
_REAL_FULL = re.compile(r"\s*([+-]?(?:\d+\.?\d*|\.\d+))(?:([EeDd])([+-]?\d+)|([+-]\d+))?\s*")
_INT_FULL = re.compile(r"\s*[+-]?\d+\s*")


def _real(text):
    """Parse one Fortran-style real, or return None when it is not one."""
    m = _REAL_FULL.fullmatch(text)
    if m is None:
        return None
    mantissa, _, exp, bare_exp = m.groups()
    exponent = exp if exp is not None else bare_exp
    value = float(mantissa if exponent is None else f"{mantissa}e{exponent}")
    return value if math.isfinite(value) else None


def _read_lines(path):
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as e:
        raise RecordError(path, None, f"cannot read file ({e.strerror or e})") from None
    # latin-1 decodes any byte, so a stray accent in a comment cannot fail;
    # a DOS end-of-file mark is not data.
    text = raw.decode("latin-1").replace("\r\n", "\n").replace("\r", "\n").rstrip("\x1a")
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


class _Lines:
    """A cursor over a file's lines that reports errors at 1-based line numbers."""

    def __init__(self, path, lines, pos=0):
        self.path = str(path)
        self.lines = lines
        self.pos = pos

    def error(self, index, reason):
        line = None if index is None else index + 1
        return RecordError(self.path, line, reason)

    def at_end(self):
        return self.pos >= len(self.lines)

    def last(self):
        """Index of the last line, where an early end of file is reported."""
        return len(self.lines) - 1 if self.lines else None

    def take(self, what):
        if self.pos >= len(self.lines):
            raise self.error(self.last(), f"file ends before {what}")
        index, self.pos = self.pos, self.pos + 1
        return index, self.lines[index]

    def fixed(self, index, text, width, parse, kind):
        """Fields of `width` columns; fields may run together, so never split on blanks."""
        body = text.rstrip()
        values = []
        for start in range(0, len(body), width):
            field = body[start:start + width]
            value = parse(field) if field.strip() else None
            if value is None:
                shown = field.strip() or "a blank field"
                raise self.error(index, f"columns {start + 1}-{start + len(field)}: "
                                        f"{shown!r} is not {kind}")
            values.append(value)
        return values

    def block(self, count, per_line, width, parse, kind, what):
        """Read `count` values written `per_line` to a line in `width`-column fields."""
        values = []
        while len(values) < count:
            if self.pos >= len(self.lines):
                raise self.error(self.last(), f"file ends after {len(values)} of the "
                                           f"{count} {what} the header states")
            index, text = self.take(what)
            if not text.strip():
                raise self.error(index, f"blank line after {len(values)} of the "
                                        f"{count} {what} the header states")
            try:
                row = self.fixed(index, text, width, parse, kind)
            except RecordError as e:
                raise self.error(index, f"{e.reason} (after {len(values)} of the "
                                        f"{count} {what} the header states)") from None
            if len(row) > per_line:
                raise self.error(index, f"{len(row)} values on a line of {per_line}")
            values.extend(row)
            if len(values) > count:
                raise self.error(index, f"more {what} than the {count} the header states")
            if len(row) < per_line and len(values) < count:
                if self.pos >= len(self.lines):
                    raise self.error(index, f"file ends after {len(values)} of the "
                                            f"{count} {what} the header states")
                raise self.error(index, f"{len(row)} values on a line of {per_line}, "
                                        f"with {count - len(values)} {what} still to come")
        return values

    def expect_no_more_numbers(self, count, what):
        """The line after a block must not carry on with numbers: the count was wrong."""
        if self.pos < len(self.lines):
            text = self.lines[self.pos]
            tokens = text.split()
            if tokens and all(_real(t) is not None for t in tokens):
                raise self.error(self.pos, f"more {what} than the {count} the header states")


def _int(text):
    return int(text) if _INT_FULL.fullmatch(text) else None


def _tokens(cur, index, text):
    """Reals on a free-format line; touching E-format numbers are split apart."""
    values = []
    pos = 0
    sep = re.compile(r"[\s,;]*")
    while True:
        pos = sep.match(text, pos).end()
        if pos >= len(text):
            return values
        m = _REAL.match(text, pos)
        value = _real(m.group()) if m else None
        end = m.end() if m else pos
        if value is None or (end < len(text) and not (text[end] in " \t,;+-")):
            bad = re.match(r"[^\s,;]+", text[pos:]).group()
            raise cur.error(index, f"{bad!r} is not a number")
        values.append(value)
        pos = end


# ---- USGS SMC ---------------------------------------------------------------

def _parse_smc(path, lines):
    cur = _Lines(path, lines)
    idx, first = cur.take("the text header")
    m = re.match(r"\s*(\d)\s+(.*\S)", first)
    if m is None:
        raise cur.error(idx, "not an SMC file: line 1 must start with the data type code")
    code, kind = int(m.group(1)), m.group(2).strip()
    if code != 2 or "UNCORRECTED" in kind.upper() or "ACCELEROGRAM" not in kind.upper():
        raise cur.error(idx, f"SMC data type {code} ({kind}): only corrected "
                             f"accelerograms (type 2) are read")
    text = [first] + [cur.take("the end of the 11-line text header")[1] for _ in range(10)]
    station = text[2].strip() or None
    event = event_time = None
    m = re.match(r"\s*(\d{4})\s+(\d{1,2})\s+(\d{1,2})\s+(\d{1,4})\s*(.*?)\s*$", text[3])
    if m:
        year, month, day, hhmm, name = m.groups()
        hhmm = hhmm.zfill(4)
        event_time = f"{year}-{int(month):02d}-{int(day):02d}T{hhmm[:2]}:{hhmm[2:]}"
        event = name or None
    elif text[3].strip():
        event = text[3].strip()
    component = None
    m = re.search(r"station\s*=\s*(.*?)\s*component\s*=\s*(.*?)\s*$", text[5], re.I)
    if m:
        station = m.group(1).strip() or station
        component = m.group(2).strip() or None
    stated = None
    m = re.search(r"\bpk\s*=\s*(\S+)", text[6], re.I)
    if m and _real(m.group(1)) is not None:
        stated = abs(_real(m.group(1))) * UNITS["cm/s2"]

    ints, int_lines = _smc_header_block(cur, "integer header", 6, 8, 10, _int, "an integer")
    reals, real_lines = _smc_header_block(cur, "real header", 10, 5, 15, _real, "a number")
    int_null, real_null = ints[0], reals[0]
    n_comments, npts = ints[15], ints[16]
    if n_comments == int_null or n_comments < 0:
        raise cur.error(int_lines[1], f"comment line count {n_comments} is not a count")
    if npts == int_null or npts <= 0:
        raise cur.error(int_lines[2], f"sample count {npts} is not a positive count")
    rate = reals[1]
    if rate == real_null or not rate > 0.0:
        raise cur.error(real_lines[0], f"sampling rate {rate!r} is not a positive rate")

    for k in range(n_comments):
        i, line = cur.take(f"the {n_comments} comment lines the header states")
        if not line.startswith("|"):
            raise cur.error(i, f"comment line {k + 1} of {n_comments} does not start with '|'")
    if not cur.at_end() and cur.lines[cur.pos].startswith("|"):
        raise cur.error(cur.pos, f"more comment lines than the {n_comments} the header states")

    samples = cur.block(npts, 8, 10, _real, "a number", "samples")
    for i in range(cur.pos, len(lines)):
        if lines[i].strip():
            raise cur.error(i, f"more samples than the {npts} the header states")
    return [Record.from_samples(samples, 1.0 / rate, "cm/s2", station=station,
                                component=component, event=event, event_time=event_time,
                                stated_pga=stated, path=str(path), format="smc")]


# ---- CDMG / CSMIP V2 --------------------------------------------------------

_V2_ACCEL = re.compile(
    r"^\s*(\d+)\s+POINTS\s+OF\s+ACCEL(?:ERATION)?\s+DATA\s+EQUALLY\s+SPACED\s+AT\s+(\S+?)\s*SEC", re.I)
_V2_FORMAT = re.compile(r"FORMAT\s*[:=]?\s*\(?\s*(\d+)\s*[FEGD](\d+)\.\d+", re.I)


def _v2_units(line):
    m = re.search(r"UNITS\s*:?\s*([^)]+?)\s*\)", line, re.I) or \
        re.search(r"SEC\.?,?\s+IN\s+([^\s,(]+)", line, re.I)
    return (normalize_units(m.group(1)), m.group(1)) if m else (None, None)


def _parse_v2(path, lines):
    cur = _Lines(path, lines)
    records = []
    while True:
        while not cur.at_end() and not cur.lines[cur.pos].strip():
            cur.pos += 1
        if cur.at_end():
            break
        records.append(_parse_v2_channel(cur))
    if not records:
        raise cur.error(None, "no channel found")
    return records


def _parse_v2_channel(cur):
    start = cur.pos
    first = cur.lines[start]
    if first.strip().upper().startswith("UNCORRECTED"):
        raise cur.error(start, "uncorrected data: only corrected (V2) acceleration is read")
    acc = None
    for i in range(start, len(cur.lines)):
        line = cur.lines[i]
        if _V2_ACCEL.match(line):
            acc = i
            break
        if line.startswith("/&"):
            break
    if acc is None:
        raise cur.error(start, "no 'POINTS OF ACCEL DATA' line follows this channel header")
    header = cur.lines[start:acc]

    def find(pattern):
        for line in header:
            m = re.search(pattern, line, re.I)
            if m:
                return m
        return None

    channel = component = None
    m = find(r"CHAN(?:NEL)?\s*(\d+)\s*:\s*(.*?)\s*$")
    if m:
        channel = int(m.group(1))
        # "90 DEG     FROM", "360 Deg   (Rcrd start time: ...)": the direction only.
        component = re.split(r"\s{3,}|\(|\s+FROM\b", m.group(2))[0].strip() or None
    # The CDMG layout: event name on line 3, its date on line 4, station name on line 7.
    event = header[2].strip() or None if len(header) > 2 else None
    event_time = header[3].split("(")[0].strip() or None if len(header) > 3 else None
    station = header[6].strip() or None if len(header) > 6 else None
    m = find(r"(?:TRIGGER|RE?C(?:OR)?D\s+START)\s+TIME\s*:?\s*(.*?)\s*\)?\s*$")
    start_time = m.group(1) or None if m else None
    m = find(r"STATION\s+NO\.?\s*(\S+)")
    if m and station and m.group(1) not in station:
        station = f"{station} ({m.group(1)})"

    stated = None
    m = find(r"PEAK\s+ACCELERATION\s*=\s*(\S+)\s+(\S+)")
    if m and _real(m.group(1)) is not None and normalize_units(m.group(2)):
        stated = abs(_real(m.group(1))) * UNITS[normalize_units(m.group(2))]

    acc_line = cur.lines[acc]
    m = _V2_ACCEL.match(acc_line)
    npts, dt = int(m.group(1)), _real(m.group(2).rstrip("."))
    if npts <= 0:
        raise cur.error(acc, f"sample count {npts} is not a positive count")
    if dt is None or not dt > 0.0:
        raise cur.error(acc, f"time step {m.group(2)!r} is not a positive number")
    units, stated_units = _v2_units(acc_line)
    if units is None:
        what = f"unknown units {stated_units!r}" if stated_units else "no units stated"
        raise cur.error(acc, f"{what}: {_UNITS_HINT}")
    for i, line in enumerate(header):
        m = re.match(r"\s*(\d+)\s+POINTS\s+OF\s+.*ACCEL", line, re.I)
        if m and int(m.group(1)) != npts:
            raise cur.error(start + i, f"header states {m.group(1)} points, the acceleration "
                                       f"block {npts}")
    per_line, width = 8, 10
    m = _V2_FORMAT.search(acc_line)
    if m:
        per_line, width = int(m.group(1)), int(m.group(2))

    cur.pos = acc + 1
    samples = cur.block(npts, per_line, width, _real, "a number", "samples")
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
    return Record.from_samples(samples, dt, units, station=station, component=component,
                               event=event, event_time=event_time, start_time=start_time,
                               stated_pga=stated, path=cur.path, format="v2", channel=channel)


# ---- PEER NGA AT2 -----------------------------------------------------------

_AT2_NPTS = re.compile(r"NPTS\s*=\s*(\d+)\s*[,;]?\s*DT\s*=\s*(\S+?)\s*(?:SEC|S\b|,|$)", re.I)
_AT2_NPTS_OLD = re.compile(r"^\s*(\d+)\s+(\S+)\s+NPTS\s*,?\s*DT", re.I)


def _parse_at2(path, lines):
    cur = _Lines(path, lines)
    header = [cur.take("the end of the 4-line header")[1] for _ in range(4)]
    meta = [p.strip() for p in header[1].split(",")]
    event = event_time = station = component = None
    if len(meta) >= 4:
        event, event_time, station, component = meta[0], meta[1], ", ".join(meta[2:-1]), meta[-1]
    elif len(meta) == 3:
        event, station, component = meta
        # The older form keeps the date with the event: "IMPERIAL VALLEY 05/19/40 0439".
        m = re.fullmatch(r"(.*?)\s+(\d{1,4}[-/]\d{1,2}[-/]\d{1,4}(?:\s+\d{3,4})?)", event)
        if m:
            event, event_time = m.groups()
    elif header[1].strip():
        event = header[1].strip()
    unit_line = header[2].upper()
    if "VELOCITY" in unit_line or "DISPLACEMENT" in unit_line:
        raise cur.error(2, "holds velocity or displacement, not acceleration")
    m = re.search(r"UNITS\s+OF\s+(.+?)\s*$", header[2], re.I)
    units = normalize_units(m.group(1)) if m else None
    if units is None:
        raise cur.error(2, f"no acceleration units stated: {header[2].strip()!r}")
    m = _AT2_NPTS.search(header[3]) or _AT2_NPTS_OLD.match(header[3])
    if m is None:
        raise cur.error(3, "expected 'NPTS=..., DT=... SEC' or '... NPTS, DT'")
    npts, dt = int(m.group(1)), _real(m.group(2).rstrip(","))
    if npts <= 0:
        raise cur.error(3, f"sample count {npts} is not a positive count")
    if dt is None or not dt > 0.0:
        raise cur.error(3, f"time step {m.group(2)!r} is not a positive number")
    samples = []
    last = 3
    while not cur.at_end():
        i, line = cur.take("samples")
        row = _tokens(cur, i, line)
        if row:
            last = i
        samples.extend(row)
        if len(samples) > npts:
            raise cur.error(i, f"more samples than the {npts} NPTS states")
    if len(samples) < npts:
        raise cur.error(last, f"file ends after {len(samples)} of the {npts} samples NPTS states")
    return [Record.from_samples(samples, dt, units, station=station or None,
                                component=component or None, event=event or None,
                                event_time=event_time or None, path=str(path), format="at2")]


# ---- plain text and CSV -----------------------------------------------------

def _decimals(token):
    """Half a unit in the last printed digit: how far a printed time may be from the true one."""
    m = re.fullmatch(r"[+-]?\d*(?:\.(\d*))?(?:[EeDd]([+-]?\d+))?", token.strip())
    if m is None:
        return 0.0
    digits = len(m.group(1) or "")
    exponent = int(m.group(2) or 0)
    return 0.5 * 10.0 ** (exponent - digits)


def _snap(dt_fit, tolerance):
    """The shortest decimal within `tolerance` of the fitted step: 0.02, not 0.020000000000000004."""
    for digits in range(1, 18):
        candidate = float(f"{dt_fit:.{digits}g}")
        if abs(candidate - dt_fit) <= tolerance:
            return candidate
    return dt_fit


def _parse_text(path, lines, dt=None, units=None):
    cur = _Lines(path, lines)
    if units is not None:
        units = _units_argument(units)
    if dt is not None:
        dt = float(dt)
        if not (math.isfinite(dt) and dt > 0.0):
            raise ValueError(f"dt must be a positive, finite time step, not {dt!r}")
    header_units = None
    header_line = None
    rows, row_lines, raw_times = [], [], []
    ncols = None
    for i, line in enumerate(lines):
        body = line.strip()
        if not body or body[0] in "#%!":
            continue
        cells = [c for c in re.split(r"[,;\s]+", body) if c]
        values = [_real(c) for c in cells]
        if any(v is None for v in values):
            if rows or header_line is not None:
                bad = cells[[v is None for v in values].index(True)]
                raise cur.error(i, f"{bad!r} is not a number")
            header_line = i
            for m in re.finditer(r"[\(\[]\s*([^\)\]]+?)\s*[\)\]]", body):
                header_units = normalize_units(m.group(1)) or header_units
            continue
        if ncols is None:
            ncols = len(values)
            if ncols > 2:
                raise cur.error(i, f"{ncols} columns: expected one column of samples, "
                                   f"or two of time and acceleration")
        elif len(values) != ncols:
            raise cur.error(i, f"{len(values)} columns where the lines before hold {ncols}")
        rows.append(values)
        row_lines.append(i)
        if ncols == 2:
            raw_times.append(cells[0])
    if not rows:
        raise cur.error(None, "no samples")
    if units is None:
        units = header_units
    elif header_units is not None and header_units != units:
        raise cur.error(header_line, f"header states units {header_units!r}, "
                                     f"the units argument {units!r}")
    if units is None:
        raise cur.error(None, f"units not stated in the file: pass units ({_UNITS_HINT})")
    data = np.array(rows, dtype=np.float64)
    if ncols == 1:
        if dt is None:
            raise cur.error(None, "one column of samples needs dt")
        return [Record.from_samples(data[:, 0], dt, units, path=str(path), format="text")]

    t = data[:, 0]
    if len(t) < 2:
        raise cur.error(row_lines[0], "one time value gives no time step")
    dt_fit = (t[-1] - t[0]) / (len(t) - 1)
    if not dt_fit > 0.0:
        raise cur.error(row_lines[-1], "time does not increase")
    back = ~(np.diff(t) > 0.0)
    if back.any():
        k = int(np.argmax(back)) + 1
        raise cur.error(row_lines[k], f"time {raw_times[k]} does not increase")
    # Each step against the typical one, allowing for the rounding of the
    # printed times (but never more than a tenth of a step).
    steps = np.diff(t)
    typical = float(np.median(steps))
    slack = np.array([_decimals(tok) for tok in raw_times])
    allowed = 1e-3 * typical + np.minimum(slack[1:] + slack[:-1], 0.1 * typical)
    off = np.abs(steps - typical) > allowed
    if off.any():
        k = int(np.argmax(off)) + 1
        raise cur.error(row_lines[k], f"time {raw_times[k]} is {steps[k - 1]:.6g} s after the "
                                      f"one before, not {typical:.6g} s (non-uniform time steps)")
    step = _snap(dt_fit, 1e-14 * dt_fit)
    if dt is not None:
        if abs(dt - dt_fit) > 1e-3 * dt_fit + 2 * max(slack) / (len(t) - 1):
            raise cur.error(None, f"dt {dt!r} does not match the time column's step {step!r}")
        step = dt
    return [Record.from_samples(data[:, 1], step, units, path=str(path), format="text")]


# ---- detection and entry points ---------------------------------------------

def _detect(lines):
    head = lines[:4]
    if any(_AT2_NPTS.search(l) or _AT2_NPTS_OLD.match(l) for l in head) or \
            (head and "PEER" in head[0].upper() and "STRONG MOTION" in head[0].upper()):
        return "at2"
    if head and re.match(r"\s*\d\s+[A-Za-z]", head[0]) and re.search(
            r"ACCELEROGRAM|VELOCITY|DISPLACEMENT|SPECTR", head[0], re.I):
        return "smc"
    if head and "ACCELEROGRAM" in head[0].upper():
        return "v2"
    if any(_V2_ACCEL.match(l) for l in lines[:200]):
        return "v2"
    return "text"


_BY_SUFFIX = {".smc": "smc", ".v2": "v2", ".at2": "at2"}


def detect_format(path):
    """Name the format of a file from its content: 'smc', 'v2', 'at2' or 'text'."""
    return _detect(_read_lines(path)[:200])


_PARSERS = {"smc": _parse_smc, "v2": _parse_v2, "at2": _parse_at2}


def read_records(path, *, format=None, dt=None, units=None):
    """Read every channel of an accelerogram file, as a list of `Record`.

    The format ('smc', 'v2', 'at2' or 'text') is detected from the content
    unless given.  `dt` and `units` apply to plain text and CSV files only:
    one column of samples needs `dt`; two columns are time and acceleration.
    Raises `RecordError` (a ValueError) naming the file and line.
    """
    lines = _read_lines(path)
    if format is None:
        format = _detect(lines)
        suffix = _BY_SUFFIX.get(os.path.splitext(str(path))[1].lower())
        # A damaged header can hide the format; the suffix then picks the
        # parser so that the error says what is wrong in that format's terms.
        if format == "text" and suffix:
            format = suffix
    format = str(format).lower()
    if format not in FORMATS:
        raise ValueError(f"unknown format {format!r}: use one of {', '.join(FORMATS)}")
    if format == "text":
        return _parse_text(path, lines, dt=dt, units=units)
    if dt is not None or units is not None:
        raise ValueError(f"{path}: dt and units apply to plain text files; "
                         f"a {format} file states its own")
    return _PARSERS[format](path, lines)


def read_record(path, *, format=None, dt=None, units=None, channel=None):
    """Read one `Record`; `channel` (the file's channel number) picks one of several."""
    records = read_records(path, format=format, dt=dt, units=units)
    if channel is None:
        if len(records) == 1:
            return records[0]
        numbers = ", ".join(str(r.channel) for r in records)
        raise ValueError(f"{path} holds {len(records)} channels ({numbers}): pass channel")
    for r in records:
        if r.channel == channel or (r.channel is None and channel == 1):
            return r
    raise ValueError(f"{path} has no channel {channel!r}")


def _smc_header_block(cur, name, lines, per_line, width, parse, kind):
    """`lines` fixed-width lines of `per_line` fields each: the values and their line numbers."""
    values, where = [], []
    for _ in range(lines):
        i, line = cur.take(f"the end of the {name}")
        row = cur.fixed(i, line, width, parse, kind)
        if len(row) != per_line:
            raise cur.error(i, f"{name} line holds {len(row)} values, expected {per_line}")
        values.extend(row)
        where.append(i)
    return values, where


def read_smc(path):
    """Read a USGS SMC corrected accelerogram (cm/s²)."""
    return read_record(path, format="smc")


def read_v2(path):
    """Read the acceleration block of every channel of a CDMG/CSMIP V2 file."""
    return read_records(path, format="v2")


def read_at2(path):
    """Read a PEER NGA AT2 acceleration file (values in g, scaled by 9.81)."""
    return read_record(path, format="at2")


def read_text(path, dt=None, units=None):
    """Read one column of samples (with `dt`), or two columns of time and acceleration.

    `units` is 'g', 'm/s2', 'cm/s2' or 'gal'; a header such as "acc (g)" may
    state it instead.  Time steps must be uniform.
    """
    return read_record(path, format="text", dt=dt, units=units)
