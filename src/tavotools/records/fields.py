"""Numbers and lines as the text formats write them: Fortran reals, integers,
fixed-width fields, free-format lines, and a cursor over a file's lines that
reports faults at their line numbers.

Every pattern here runs in time linear in its input: no two parts of a
pattern can match the same characters, so a long run of digits or blanks
never makes the matcher try every split of it.
"""
from __future__ import annotations

import math
import re

from .record import RecordError

__all__ = ["Cursor", "integer", "real", "reals_on_line"]

# A Fortran real: optional sign, digits with an optional point (".005" has no
# leading zero), an exponent with E or D, or the bare signed exponent that the
# E edit descriptor writes when the exponent needs three digits ("1.5-105").
_MANTISSA = r"[+-]?(?:\d+(?:\.\d*)?|\.\d+)"
_REAL = re.compile(_MANTISSA + r"(?:[EeDd][+-]?\d+|[+-]\d+)?")
_REAL_FULL = re.compile(r"\s*(" + _MANTISSA + r")(?:[EeDd]([+-]?\d+)|([+-]\d+))?\s*")
_INT_FULL = re.compile(r"\s*[+-]?\d+\s*")
_SEPARATORS = re.compile(r"[\s,;]*")
_WORD = re.compile(r"[^\s,;]+")


def real(text):
    """One Fortran-style real as a float, or None when it is not one (or not finite)."""
    m = _REAL_FULL.fullmatch(text)
    if m is None:
        return None
    mantissa, exp, bare_exp = m.groups()
    exponent = exp if exp is not None else bare_exp
    value = float(mantissa if exponent is None else f"{mantissa}e{exponent}")
    return value if math.isfinite(value) else None


def integer(text):
    """One integer, or None when the text is not one."""
    return int(text) if _INT_FULL.fullmatch(text) else None


def reals_on_line(source, index, text):
    """The reals of a free-format line (blanks, commas or semicolons between them).

    E-format numbers that touch ("1.5E+0-2.2E+0") are split apart; anything
    else raises RecordError at line `index`.
    """
    values = []
    pos = 0
    while True:
        pos = _SEPARATORS.match(text, pos).end()
        if pos >= len(text):
            return values
        m = _REAL.match(text, pos)
        value = real(m.group()) if m else None
        end = m.end() if m else pos
        if value is None or (end < len(text) and text[end] not in " \t,;+-"):
            bad = _WORD.match(text, pos).group()
            raise source.error(index, f"{bad!r} is not a number")
        values.append(value)
        pos = end


class Cursor:
    """The next line to read of a `Source`; faults are reported at 1-based line numbers."""

    def __init__(self, source, pos=0):
        self.source = source
        self.lines = source.lines
        self.pos = pos

    def error(self, index, reason):
        return self.source.error(index, reason)

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
        """Fields of `width` columns; fields may run together, so never split on blanks.

        Fields are right-aligned, so a last field shorter than its width was cut
        off: a truncated file, not a smaller number.
        """
        body = text.rstrip()
        values = []
        for start in range(0, len(body), width):
            field = body[start:start + width]
            value = parse(field) if field.strip() else None
            if value is None:
                shown = field.strip() or "a blank field"
                raise self.error(index, f"columns {start + 1}-{start + len(field)}: "
                                        f"{shown!r} is not {kind}")
            if len(field) < width:
                raise self.error(index, f"columns {start + 1}-{start + len(field)}: {field!r} "
                                        f"is cut short ({len(field)} of {width} columns): "
                                        f"the file is truncated")
            values.append(value)
        return values

    def block(self, count, per_line, width, parse, kind, what):
        """`count` values written `per_line` to a line in `width`-column fields."""
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
            tokens = self.lines[self.pos].split()
            if tokens and all(real(t) is not None for t in tokens):
                raise self.error(self.pos, f"more {what} than the {count} the header states")
