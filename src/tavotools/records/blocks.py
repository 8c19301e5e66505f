"""Numeric blocks of a `Source` parsed by the compiled `tavotools._parse`,
straight from the file's bytes; a malformed value comes out as RecordError
naming its line and the text found there.
"""
from __future__ import annotations

from .. import _parse

__all__ = ["columns", "fixed", "floats"]


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


def floats(source, start, count=-1, stop=-1, *, what=None):
    """Whitespace-separated numbers from offset `start`: (float64 array, end offset).

    `what` names the values of a counted block ("samples") for the messages.
    """
    try:
        return _parse.floats(source.data, start, count, stop)
    except _parse.ParseError as e:
        raise (_located(source, e) if what is None else _counted(source, e, count, what)) from None


def fixed(source, start, count, width, per_line, *, what="samples", integers=False):
    """`count` fixed-width fields from the line at `start`: (float64 array, end offset)."""
    try:
        return _parse.fixed(source.data, start, count, width, per_line, integers=integers)
    except _parse.ParseError as e:
        raise _counted(source, e, count, what, width) from None


def columns(source, start, n_columns, count=-1, stop=-1, *, what=None):
    """Rows of `n_columns` numbers, one per line, from `start`: (2-D float64 array, end offset).

    `what` names the rows of a counted block ("rows") for the messages.
    """
    try:
        return _parse.columns(source.data, start, n_columns, count, stop)
    except _parse.ParseError as e:
        raise (_located(source, e) if what is None else _counted(source, e, count, what)) from None
