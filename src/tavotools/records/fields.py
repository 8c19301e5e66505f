"""Numbers and lines as the text formats write them: Fortran reals in headers,
a cursor over a file's lines (`Lines`, by byte offsets) that reports faults at
their line numbers, the numeric blocks parsed by the compiled parser straight
from the file's bytes (through `blocks`), and the helpers the readers share.

Every pattern here runs in time linear in its input: no two parts of a
pattern can match the same characters, so a long run of digits or blanks
never makes the matcher try every split of it (the readers' header patterns
follow the same rule).
"""
from __future__ import annotations

import datetime as _dt
import math
import re

from . import blocks
from .source import stripped_end
from .units import UNITS_HINT, normalize_units

__all__ = ["Lines", "channel_end", "degrees", "each_channel", "first_match", "fixed_block", "free_block",
           "no_more_numbers", "real", "stated_units", "text_header", "time_column_start", "upper"]

# A Fortran real: optional sign, digits with an optional point (".005" has no
# leading zero), an exponent with E or D, or the bare signed exponent that the
# E edit descriptor writes when the exponent needs three digits ("1.5-105").
# Possessive quantifiers (`++`, `*+`): a run of digits is never given back
# one digit at a time, so a long run that ends badly fails after one scan.
_MANTISSA = r"[+-]?(?:\d++(?:\.\d*+)?|\.\d++)"
_REAL_FULL = re.compile(r"\s*+(" + _MANTISSA + r")(?:[EeDd]([+-]?\d++)|([+-]\d++))?\s*+")


def real(text):
    """One Fortran-style real as a float, or None when it is not one (or not finite)."""
    m = _REAL_FULL.fullmatch(text)
    if m is None:
        return None
    mantissa, exp, bare_exp = m.groups()
    exponent = exp if exp is not None else bare_exp
    value = float(mantissa if exponent is None else f"{mantissa}e{exponent}")
    return value if math.isfinite(value) else None


_last_upper = (None, None)


def upper(text):
    """`text.upper()`, kept for the last `text` asked for: the formats' sniffers
    try the same head in turn, and each upper-casing costs as much as a scan."""
    global _last_upper
    last, upper_text = _last_upper  # one tuple: a thread never sees a half-made pair
    if last is not text:
        upper_text = text.upper()
        _last_upper = (text, upper_text)
    return upper_text


class Lines:
    """The lines of a `Source` read in order from an offset, without decoding or
    splitting the whole file: numeric blocks between them are parsed from the
    bytes and skipped.

    `pos` is the offset of the next line (at first the file's first line that
    is not blank, `Source.start`); lines come back as str (latin-1, so
    offsets are the same in both). Faults are reported at the line of an offset
    (`error`), found only when a fault occurs.
    """

    def __init__(self, source, pos=None):
        self.source = source
        self.data = data = source.data
        # A DOS end-of-file mark is not data.
        self.end = stripped_end(data, b"\x1a") if data[-1:] == b"\x1a" else len(data)
        self.pos = source.start if pos is None else pos
        # The last line read (its offset, the end it was read against, its text and
        # the offset after it): a line peeked at is often taken or peeked at again.
        self._last = (-1, -1, None, -1)

    def at_end(self):
        return self.pos >= self.end

    def error(self, offset, reason):
        """RecordError at the line holding `offset` (None: the whole file)."""
        index = None if offset is None else self.source.line_number(min(offset, self.end)) - 1
        return self.source.error(None if index is not None and index < 0 else index, reason)

    def _line_end(self, pos):
        """(end of the line starting at `pos`, start of the next line): CR LF, LF or CR."""
        data, end = self.data, self.end
        nl = data.find(b"\n", pos, end)
        if nl < 0:
            nl = end
        cr = data.find(b"\r", pos, nl)
        if cr < 0:
            return nl, min(nl + 1, end)
        return cr, (nl + 1 if cr == nl - 1 else cr + 1)

    def text(self, start, stop):
        """The bytes [start, stop) as str."""
        return self.data[start:stop].decode("latin-1")

    def _line(self, start):
        """(text, start of the next line) of the line at `start` < `end`."""
        at, end, line, after = self._last
        if at != start or end != self.end:  # `end` may be narrowed to a stretch of the file
            stop, after = self._line_end(start)
            line = self.text(start, stop)
            self._last = (start, self.end, line, after)
        return line, after

    def peek(self):
        """The next line without taking it, or None at the end."""
        if self.pos >= self.end:
            return None
        return self._line(self.pos)[0]

    def take(self, what):
        """(offset, text) of the next line; RecordError at the end of the file."""
        if self.pos >= self.end:
            raise self.error(self.end - 1 if self.end else None, f"file ends before {what}")
        start = self.pos
        line, self.pos = self._line(start)
        return start, line

    def skip_blank(self):
        """Passes blank lines; True when a line remains."""
        at = _BLANKS.match(self.data, self.pos, self.end).end()
        if at >= self.end:
            self.pos = self.end
            return False
        # Back to the start of the line holding the first non-blank byte.
        self.pos = max(self.data.rfind(b"\n", self.pos, at), self.data.rfind(b"\r", self.pos, at),
                       self.pos - 1) + 1
        return True

    def after(self, offset):
        """Moves to the line after the one holding `offset` (the end of a block)."""
        self.pos = self._line_end(offset)[1] if offset < self.end else self.end

    def skip_lines(self, count, follows):
        """Moves past `count` lines of fixed-width rows, to a line for which
        `follows(line)` is true (or the end).

        Rows of one block have one length, so the jump is computed from the
        first row; it is taken when a row starts where it lands and the line
        after it is the one that follows; else the rows are walked one by one,
        to the first line that follows or the end where that comes before
        `count` rows: a count stating more rows than the block holds must take
        neither the lines of what follows nor a walk past the end of the file.
        """
        if count <= 0:
            return
        step = self._line_end(self.pos)[1] - self.pos
        last = self.pos + (count - 1) * step
        if last < self.end and (count == 1 or self.data[last - 1] in b"\r\n"):
            nxt = self._line_end(last)[1]
            line = self._line(nxt)[0] if nxt < self.end else None
            if line is None or follows(line):
                self.pos = nxt
                return
        for _ in range(count):
            if self.pos >= self.end or follows(self._line(self.pos)[0]):
                return
            self.pos = self._line_end(self.pos)[1]

    def expect_no_more_numbers(self, count, what):
        """The line after a block must not carry on with numbers: the count was wrong."""
        line = self.peek()
        tokens = line.split() if line else []
        if tokens and all(real(t) is not None for t in tokens):
            raise self.error(self.pos, f"more {what} than the {count} the header states")

    def rest_blank(self, reason):
        """Only blank lines may remain; RecordError (`reason`) at the first other one."""
        at = _BLANKS.match(self.data, self.pos, self.end).end()
        if at < self.end:
            raise self.error(at, reason)


_BLANKS = re.compile(rb"\s*")


def fixed_block(lines, count, width, per_line, what="samples", *, integers=False):
    """`count` fixed-width fields from the next line of `lines`, `per_line` a line.

    Returns the values (a float64 array) and moves `lines` past the block;
    RecordError naming the line and the field otherwise.
    """
    values, end = blocks.fixed(lines.source, lines.pos, count, width, per_line, what=what,
                               integers=integers)
    lines.after(end)
    return values


def free_block(lines, count, what="samples", *, stop=-1):
    """`count` whitespace-separated numbers (-1: all up to `stop`) from the next line of `lines`.

    Returns the values (a float64 array) and the offset just after the last
    one; RecordError naming the line and the text otherwise.
    """
    return blocks.floats(lines.source, lines.pos, count, stop, what=what)


def no_more_numbers(lines, offset, count, what):
    """Only blanks may follow a free-format block that ends at `offset`."""
    m = _WORD_AFTER.match(lines.data, offset, lines.end)
    if m:
        word = m.group(1).decode("latin-1")
        if real(word) is not None:
            raise lines.error(m.start(1), f"more {what} than the {count} the header states")
        raise lines.error(m.start(1), f"{word!r} is not a number")


_WORD_AFTER = re.compile(rb"\s*(\S+)")


def each_channel(source, read, empty):
    """The records `read(source, lines, number)` returns for the channels of a file,
    one after another (blank lines between them), numbered from 1; a record of
    None (a series that is not acceleration) is left out. RecordError `empty`
    when there is none."""
    lines = Lines(source)
    records = []
    number = 0
    while lines.skip_blank():
        number += 1
        record = read(source, lines, number)
        if record is not None:
            records.append(record)
    if not records:
        raise lines.error(None, empty)
    return records


def line_matches(text, word, pattern, stop=None):
    """The matches of `pattern` (one line long) at the start of each line of
    `text[:stop]` (str or bytes) that holds `word`, in order.

    A literal search for `word` finds the candidate lines: a multi-line
    pattern tried at every offset is tens of times slower on a header of a
    few kilobytes, and headers are read for every channel.
    """
    newline = "\n" if isinstance(text, str) else b"\n"
    stop = len(text) if stop is None else stop
    k = text.find(word, 0, stop)
    while k >= 0:
        m = pattern.match(text, text.rfind(newline, 0, k) + 1, stop)
        if m:
            yield m
        end = text.find(newline, k, stop)
        if end < 0:
            return
        k = text.find(word, end, stop)


def first_match(lines, pattern):
    """The first match of `pattern` in any of `lines`, or None."""
    for line in lines:
        m = pattern.search(line)
        if m:
            return m
    return None


def text_header(lines, n, points):
    """The next `n` lines (a channel's text header), where they start, and the match of
    `points` (its "NO. OF POINTS =" line) in them; RecordError when either is missing."""
    start = lines.pos
    text = [lines.take(f"the end of the {n}-line text header")[1] for _ in range(n)]
    m = first_match(text, points)
    if m is None:
        raise lines.error(start, "no 'NO. OF POINTS =' in the channel's text header")
    return start, text, m


def stated_units(lines, start, text, pattern):
    """The canonical units that group 1 of `pattern` names in the header `text`;
    RecordError at `start` when it names none or unknown ones."""
    m = first_match(text, pattern)
    units = normalize_units(m.group(1)) if m else None
    if units is None:
        raise lines.error(start, f"units not stated or unknown ({m.group(1) if m else 'none'!r}): "
                                 f"{UNITS_HINT}")
    return units


def channel_end(lines, npts):
    """Takes the "/&" line that ends a channel of `npts` samples, if there is one;
    RecordError when anything but blanks comes first."""
    end = lines.peek()
    if end is not None and end.startswith("/&"):
        lines.take("")
    elif end is not None and end.strip():
        raise lines.error(lines.pos, f"more samples than the {npts} the header states")


def degrees(value, hemisphere, minutes=0, seconds=0):
    """Signed degrees of a coordinate written with its hemisphere (south and west negative)."""
    value = float(value) + int(minutes) / 60.0 + int(seconds) / 3600.0
    return -value if hemisphere.upper() in "SW" else value


def time_column_start(lines, index, start, first_time, since):
    """The first sample's time, where a time column counts from `start` (a datetime,
    or None: unknown) and need not begin at 0.  A first time beyond any date is the
    RecordError at `index` that says so, naming what the column counts from (`since`)."""
    if start is None or first_time == 0.0:
        return start
    try:
        return start + _dt.timedelta(seconds=float(first_time))
    except OverflowError:
        raise lines.error(index, f"the time column starts {float(first_time):g} s after "
                                 f"{since}, beyond any date") from None
