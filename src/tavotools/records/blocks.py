"""Numeric blocks of a `Source` parsed by the compiled `tavotools._parse`,
straight from the file's bytes; a malformed value comes out as RecordError
naming its line and the text found there.
"""
from __future__ import annotations

import re

from .. import _parse

__all__ = ["columns", "cut_short", "fixed", "floats"]

_TOKEN = re.compile(rb"[^\s,;]+")
# The parser takes 64-bit counts and widths. A header may state more (a damaged
# digit run); no file holds 2**63 bytes, so the largest it takes fails as the
# stated one would, and the messages word the stated count.
_LARGEST = 2 ** 63 - 1
_TRAILING_DIGITS = re.compile(rb"\d*\Z")


def _form(token):
    """What printing fixes in a number: a point, an exponent, and the digits after
    the last other character (the decimals, or the exponent's digits)."""
    body = token.lstrip(b"+-")
    exponent = any(c in body for c in b"eEdD") or b"-" in body or b"+" in body
    return b"." in token, exponent, len(_TRAILING_DIGITS.search(token).group())


def cut_short(source, start, end):
    """Whether the number that ends a block (at `end`, from `start`) and the file with it
    was cut short: a file that ends with no line end after its last number, whose last
    number is printed shorter than the numbers above it in its column.

    A file cut off in the middle of its last number still parses ("-0.29" for
    "-0.299", "1.2E-0" for "1.2E-03"), and where a header states the count, the
    count still holds: the last sample would be silently wrong. The two lines
    above must agree with each other, so a column printed freely ("0", "-6.00E-05",
    "-0.00013") is never taken for cut: decimals and exponent digits where its
    numbers have them, else (integers) the column where each number ends.
    """
    data = source.data
    stop = len(data)
    while stop and data[stop - 1] == 0x1A:  # a DOS end-of-file mark is not data
        stop -= 1
    if end != stop:
        return False
    here = data.rfind(b"\n", 0, end) + 1
    above = data.rfind(b"\n", 0, max(here - 1, 0)) + 1
    above2 = data.rfind(b"\n", 0, max(above - 1, 0)) + 1
    if here == 0 or above == 0 or above2 < start:
        return False
    rows = [list(_TOKEN.finditer(data, a, b)) for a, b in ((above2, above - 1), (above, here - 1),
                                                           (here, end))]
    column = len(rows[2]) - 1
    if column < 0 or any(len(row) <= column for row in rows[:2]):
        return False
    two, one, last = (row[column] for row in rows)
    if _form(two.group()) != _form(one.group()):
        return False
    if _form(one.group())[:2] != (False, False):  # decimals or an exponent
        return _form(last.group()) != _form(one.group())
    if b"\t" in data[above2:end]:  # integers aligned by blanks only
        return False
    ends = [m.end() - line for m, line in ((two, above2), (one, above), (last, here))]
    return ends[0] == ends[1] != ends[2]


def _located(source, error):
    return source.error(source.line_number(error.offset) - 1, error.reason)


def _counted(source, e, count, what, width=None):
    """The RecordError of a ParseError in a block of the `count` values a header states,
    worded in those terms (`width`: fixed fields, named by their columns)."""

    def at(reason):
        return source.error(source.line_number(e.offset) - 1, reason)

    stated = f"the {count} {what} the header states"
    if e.kind == "end":
        return at(f"file ends after {e.index} of {stated}")
    if e.kind == "after" and e.index == count:
        return at(f"more {what} than {stated}")
    if e.kind == "line" and e.reason.startswith("blank"):
        return at(f"blank line after {e.index} of {stated}")
    reason = e.reason
    if width is not None and e.kind in ("number", "integer", "range", "blank", "cut"):
        line_start = source.data.rfind(b"\n", 0, e.offset) + 1
        first = (e.offset - line_start) // width * width
        reason = f"columns {first + 1}-{first + width}: {reason}"
    return at(f"{reason} (after {e.index} of {stated})")


def _whole(source, start, parsed):
    """`parsed` (values, end), unless the block's last number was cut off with the file."""
    if cut_short(source, start, parsed[1]):
        raise source.error(source.line_number(parsed[1]) - 1,
                           "file ends inside its last number (cut short)")
    return parsed


def floats(source, start, count=-1, stop=-1, *, what=None):
    """Whitespace-separated numbers from offset `start`: (float64 array, end offset).

    `what` names the values of a counted block ("samples") for the messages.
    """
    try:
        return _whole(source, start, _parse.floats(source.data, start, min(count, _LARGEST), stop))
    except _parse.ParseError as e:
        raise (_located(source, e) if what is None else _counted(source, e, count, what)) from None


def fixed(source, start, count, width, per_line, *, what="samples", integers=False):
    """`count` fixed-width fields from the line at `start`: (float64 array, end offset)."""
    try:
        return _parse.fixed(source.data, start, min(count, _LARGEST), min(width, _LARGEST),
                            min(per_line, _LARGEST), integers=integers)
    except _parse.ParseError as e:
        raise _counted(source, e, count, what, width) from None


def columns(source, start, n_columns, count=-1, stop=-1, *, what=None):
    """Rows of `n_columns` numbers, one per line, from `start`: (2-D float64 array, end offset).

    `what` names the rows of a counted block ("rows") for the messages.
    """
    try:
        return _whole(source, start, _parse.columns(source.data, start, n_columns, min(count, _LARGEST),
                                                    stop))
    except _parse.ParseError as e:
        raise (_located(source, e) if what is None else _counted(source, e, count, what)) from None
