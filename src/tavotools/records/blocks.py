"""Numeric blocks of a `Source` parsed by the compiled `tavotools._parse`,
straight from the file's bytes; a malformed value comes out as RecordError
naming its line and the text found there.
"""
from __future__ import annotations

from .. import _parse

__all__ = ["columns", "floats"]


def _located(source, error):
    return source.error(source.line_number(error.offset) - 1, error.reason)


def floats(source, start, count=-1, stop=-1):
    """Whitespace-separated numbers from offset `start`: (float64 array, end offset)."""
    try:
        return _parse.floats(source.data, start, count, stop)
    except _parse.ParseError as e:
        raise _located(source, e) from None


def columns(source, start, n_columns, count=-1, stop=-1):
    """Rows of `n_columns` numbers, one per line, from `start`: (2-D float64 array, end offset)."""
    try:
        return _parse.columns(source.data, start, n_columns, count, stop)
    except _parse.ParseError as e:
        raise _located(source, e) from None
