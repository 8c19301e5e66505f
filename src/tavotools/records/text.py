"""Plain text and CSV records:

- one column of samples (the caller gives `dt`);
- two columns of time and acceleration (uniform steps checked);
- several samples per line, read row by row (the caller gives `dt`);
- a line "NPTS DT" (a count and a time step, e.g. "4684 0.0100") before the
  samples, any number a line.

Units come from the caller or from a header such as "time,acc (g)"; a header
that names a rate in brackets which is no acceleration unit ("(ft/s2)", a
velocity's "(cm/s)") is refused, whatever the caller says. Lines
starting with #, % or ! are comments; lines of words before the numbers are
the header. The numbers are parsed by the compiled parser.
"""
from __future__ import annotations

import re

import numpy as np

from .. import _parse
from .fields import Lines, real
from .units import UNITS_HINT, normalize_units

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "text"
SUFFIXES = ()

_BRACKETED = re.compile(r"[(\[]([^()\[\]]*)[)\]]")
_PRINTED = re.compile(r"[+-]?\d*+(?:\.(\d*+))?(?:[EeDd]([+-]?\d++))?")
_COUNT = re.compile(r"\+?\d+")
# A header cell naming the time column: "time", "Time(s)", "t", "t[s]", "time_s".
_TIME_NAME = re.compile(r"t(?:ime)?(?:[(\[][^()\[\]]*[)\]]|_s(?:ec)?)?", re.I)
_COMMENT = "#%!"
_MARKS = tuple(c.encode() for c in _COMMENT)  # starting a comment line inside the data
_DELIMITERS = b",;"


def _cells(body):
    """The cells of a line, between blanks, commas or semicolons."""
    return body.replace(",", " ").replace(";", " ").split()


def sniff(head):
    """Text (no NUL byte) with a line of numbers only among its first lines."""
    if "\x00" in head:
        return False
    for line in head.split("\n")[:200]:
        body = line.strip()
        if body and body[0] not in _COMMENT:
            cells = _cells(body)
            if cells and all(real(c) is not None for c in cells):
                return True
    return False


def _half_unit(token):
    """Half a unit in the last printed digit: how far a printed time may be from the true one."""
    m = _PRINTED.fullmatch(token.strip())
    if m is None:
        return 0.0
    digits = len(m.group(1) or "")
    exponent = int(m.group(2) or 0)
    # A string, so that an absurd exponent gives inf or 0.0, never OverflowError.
    return float(f"5e{exponent - digits - 1}")


def _snap(dt_fit, tolerance):
    """The shortest decimal within `tolerance` of the fitted step: 0.02, not 0.020000000000000004."""
    for digits in range(1, 18):
        candidate = float(f"{dt_fit:.{digits}g}")
        if abs(candidate - dt_fit) <= tolerance:
            return candidate
    return dt_fit


def _comment_line(data, mark, pos, end):
    """Offset of the first line in [pos, end) that starts with `mark`, or -1 (not the
    first line of the file). The mark alone is looked for, a rare byte found at
    memory speed: a line end followed by it was searched for several times slower."""
    k = data.find(mark, max(pos, 1), end)
    while k >= 0 and data[k - 1] != 0x0A:
        k = data.find(mark, k + 1, end)
    return k


class _Data:
    """The numeric part of the file: where it starts, its comment lines, its rows' lines."""

    def __init__(self, source, lines, start):
        self.source, self.lines, self.start = source, lines, start
        # Stretches of data between comment lines, each parsed on its own.
        self.segments = []
        data, end = source.data, lines.end
        pos = start
        found = {}  # each mark's next comment line found so far (-1: none left)
        while pos < end:
            cut = end
            for mark in _MARKS:
                k = found.get(mark, -2)
                if k != -1 and k < pos:
                    k = found[mark] = _comment_line(data, mark, pos, end)
                if k >= 0:
                    cut = min(cut, k)
            if cut > pos:
                self.segments.append((pos, cut))
            pos = lines._line_end(cut)[1] if cut < end else end

    def rows(self):
        """(line index, cells) of every data line, in order: the slow path, for messages."""
        found = []
        data = self.source.data
        for first, stop in self.segments:
            walk = Lines(self.source, first)
            walk.end = stop
            # Numbered from the segment's first line on, counting the line ends
            # between rows: a count from the top of the file for every row made
            # the time column's checks quadratic in the file's length.
            index, counted = self.source.line_number(first) - 1, first
            while not walk.at_end():
                at, line = walk.take("")
                index += data.count(b"\n", counted, at)
                counted = at
                cells = _cells(line)
                if cells:
                    found.append((index, cells))
        return found

    def edge_rows(self):
        """The cells of the first and of the last data line, as `rows` gives them, without
        walking the lines between: a caller's dt is checked on every file of a flatfile."""
        data = self.source.data
        first = last = None
        for start, stop in self.segments:
            walk = Lines(self.source, start)
            walk.end = stop
            while first is None and not walk.at_end():
                first = _cells(walk.take("")[1]) or None
            if first is not None:
                break
        for start, stop in reversed(self.segments):
            pos = stop
            while last is None and pos > start:
                # No lone CR is left (see `Source`): lines end at LF, their CR a blank.
                begin = max(data.rfind(b"\n", start, pos - 1) + 1, start)
                last = _cells(data[begin:pos].decode("latin-1")) or None
                pos = begin
            if last is not None:
                break
        return first, last

    def parse(self, how, *args):
        """The values of every segment by `_parse.<how>`, joined; RecordError at a bad one."""
        parts = []
        for first, stop in self.segments:
            try:
                values, _ = getattr(_parse, how)(self.source.data, first, *args, stop=stop,
                                                 delimiters=_DELIMITERS)
            except _parse.ParseError as e:
                raise self._error(e, *args) from None
            parts.append(values)
        if not parts:  # comment lines only: no values, which the caller words
            return np.empty((0,) + ((args[0],) if how == "columns" else ()))
        return parts[0] if len(parts) == 1 else np.concatenate(parts)

    def _error(self, e, *args):
        # The parser's own count and text: the line's cells as str.split() finds them
        # differ where numbers run together at a sign or a blank is one it does not take
        # (a no-break space, 0x1C-0x1F).
        if e.kind == "columns":
            return self.lines.error(e.offset, f"{e.found} columns where the lines before hold {args[0]}")
        return self.lines.error(e.offset, e.reason)


def _header(source):
    """(the offset of the first line of numbers, the header line's index, the units it states,
    whether its first column is named time)."""
    lines = Lines(source)
    header_line = header_units = None
    timed = False
    unknown = None
    while not lines.at_end():
        at, line = lines.take("")
        body = line.strip()
        if not body or body[0] in _COMMENT:
            continue
        cells = _cells(body)
        if all(real(c) is not None for c in cells):
            if header_units is None and unknown is not None:
                raise source.error(unknown[0], f"header states units {unknown[1]!r}, not an "
                                               f"acceleration unit: {UNITS_HINT}")
            return lines, at, cells, header_line, header_units, timed
        header_line = source.line_number(at) - 1
        timed = bool(_TIME_NAME.fullmatch(cells[0]))
        for m in _BRACKETED.finditer(body):
            named = normalize_units(m.group(1).strip())
            header_units = named or header_units
            if named is None and "/" in m.group(1):
                # A rate the reader does not know ("ft/s2", or a velocity's "cm/s"):
                # the samples are in it, whatever units a caller assumes.
                unknown = (header_line, m.group(1).strip())
    raise source.error(None, "no samples")


def _time_step(source, data, t, dt):
    """The uniform step of the time column, checked; `dt` when the caller gives one that agrees."""
    with np.errstate(over="ignore", invalid="ignore"):
        dt_fit = (t[-1] - t[0]) / (len(t) - 1)
        steps = np.diff(t)
    rows = None

    def row(k):
        nonlocal rows
        rows = rows or data.rows()
        return rows[k]

    if not dt_fit > 0.0:
        raise source.error(row(len(t) - 1)[0], "time does not increase")
    if not np.isfinite(dt_fit) or not np.isfinite(steps).all():
        raise source.error(row(len(t) - 1)[0], "the time column spans more than a double can hold")
    back = ~(steps > 0.0)
    if back.any():
        k = int(np.argmax(back)) + 1
        raise source.error(row(k)[0], f"time {row(k)[1][0]} does not increase")
    # Each step against the typical one, allowing for the rounding of the
    # printed times (but never more than a tenth of a step). The printed
    # digits are looked at only when a step is off without that allowance,
    # which only ever widens the check.
    typical = float(np.median(steps))
    off = np.abs(steps - typical) > 1e-3 * typical
    slack = None
    if off.any():
        slack = np.array([_half_unit(cells[0]) for _, cells in (rows or data.rows())])
        allowed = 1e-3 * typical + np.minimum(slack[1:] + slack[:-1], 0.1 * typical)
        off = np.abs(steps - typical) > allowed
    if off.any():
        k = int(np.argmax(off)) + 1
        line, cells = row(k)
        raise source.error(line, f"time {cells[0]} is {steps[k - 1]:.6g} s after the "
                                 f"one before, not {typical:.6g} s (non-uniform time steps)")
    step = _snap(dt_fit, 1e-14 * dt_fit)
    if dt is not None:
        # The fitted step rests on the first and last times alone, so only their
        # printing bounds its error (capped as for a step above): a coarse time
        # elsewhere ("1" among "0.99", "1.01") must not widen it.
        if slack is None:  # no step is off: the first and last times alone are needed
            first, last = data.edge_rows()
            ends = min(_half_unit(first[0]) + _half_unit(last[0]), 0.1 * typical)
        else:
            ends = min(slack[0] + slack[-1], 0.1 * typical)
        if abs(dt - dt_fit) > 1e-3 * dt_fit + ends / (len(t) - 1):
            raise source.error(None, f"dt {dt!r} does not match the time column's step {step!r}")
        step = dt
    return step


def _npts_dt(cells, following):
    """(npts, dt) when the first line of numbers is a count and a step and the next is not
    another row of two, else None."""
    if len(cells) != 2 or not _COUNT.fullmatch(cells[0]) or following is None:
        return None
    npts, dt = int(cells[0]), real(cells[1])
    if npts <= 0 or dt is None or not dt > 0.0 or len(_cells(following)) == 2:
        return None
    return npts, dt


def parse(source):
    """The record of a text file, with the caller's `dt` and `units` from `source`; or RecordError."""
    lines, first, cells, header_line, header_units, timed = _header(source)
    units, dt = source.units, source.dt
    if units is None:
        units = header_units
    elif header_units is not None and header_units != units:
        raise source.error(header_line, f"header states units {header_units!r}, "
                                        f"the units argument {units!r}")
    if units is None:
        raise source.error(None, f"units not stated in the file: pass units ({UNITS_HINT})")
    first_line = source.line_number(first) - 1
    following = lines.peek() if lines.skip_blank() else None
    stated = _npts_dt(cells, following)
    if stated is not None:  # "NPTS DT", then the samples
        npts, step = stated
        data = _Data(source, lines, lines.pos)
        samples = data.parse("floats")
        if samples.size != npts:
            raise source.error(first_line, f"header states {npts} samples, the file holds "
                                           f"{samples.size}")
        if dt is not None and dt != step:
            raise source.error(first_line, f"dt {dt!r} does not match the header's {step!r}")
        return [source.record(samples, step, units, format=NAME,
                              locate=lambda k: _sample_line(data, k))]
    data = _Data(source, lines, first)
    ncols = len(cells)
    if ncols > 2 and timed:
        # Time and several components a line ("time,ax (g),ay (g)"): read as several
        # samples a line, the times and the components would be one interleaved series.
        raise source.error(header_line, f"the header names the first of {ncols} columns time: "
                                        f"a table of time and several components is not one "
                                        f"record; write time and one acceleration a line")
    if ncols > 2 or (ncols == 1 and dt is not None):
        if dt is None:
            raise source.error(first_line, f"{ncols} columns: give dt for a file of several "
                                           f"samples a line, or write two columns of time "
                                           f"and acceleration")
        samples = data.parse("floats")
        return [source.record(samples, dt, units, format=NAME,
                              locate=lambda k: _sample_line(data, k))]
    table = data.parse("columns", ncols)
    if ncols == 1:
        raise source.error(None, "one column of samples needs dt")
    if len(table) < 2:
        raise source.error(first_line, "one time value gives no time step")
    step = _time_step(source, data, table[:, 0], dt)
    return [source.record(table[:, 1], step, units, format=NAME,
                          locate=lambda k: data.rows()[k][0])]


def _sample_line(data, k):
    """The line of sample k of a file of several samples a line; for messages."""
    seen = 0
    for line, cells in data.rows():
        seen += len(cells)
        if seen > k:
            return line
    return None
