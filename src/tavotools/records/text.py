"""Plain text and CSV: one column of samples (the caller gives `dt`), or two
columns of time and acceleration (uniform steps checked). Units come from
the caller or from a header such as "time,acc (g)". Lines starting with #,
% or ! are comments; lines of words before the numbers are the header.
"""
from __future__ import annotations

import re

import numpy as np

from .fields import real
from .units import UNITS_HINT, normalize_units

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "text"
SUFFIXES = ()

_CELL_SEPARATORS = re.compile(r"[,;\s]+")
_BRACKETED = re.compile(r"[(\[]([^)\]]*)[)\]]")
_PRINTED = re.compile(r"[+-]?\d*(?:\.(\d*))?(?:[EeDd]([+-]?\d+))?")
_COMMENT = "#%!"


def _cells(body):
    return [c for c in _CELL_SEPARATORS.split(body) if c]


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


def _table(source):
    """The numeric rows of the file and what surrounds them.

    Returns (rows as a 2-D float64 array, the line index of each row, the
    printed time of each row when there are two columns, the header line
    index, the units the header states), or RecordError.
    """
    header_units = header_line = ncols = None
    rows, row_lines, raw_times = [], [], []
    for i, line in enumerate(source.lines):
        body = line.strip()
        if not body or body[0] in _COMMENT:
            continue
        cells = _cells(body)
        values = [real(c) for c in cells]
        if any(v is None for v in values):
            if rows or header_line is not None:
                bad = cells[[v is None for v in values].index(True)]
                raise source.error(i, f"{bad!r} is not a number")
            header_line = i
            for m in _BRACKETED.finditer(body):
                header_units = normalize_units(m.group(1).strip()) or header_units
            continue
        if ncols is None:
            ncols = len(values)
            if ncols > 2:
                raise source.error(i, f"{ncols} columns: expected one column of samples, "
                                      f"or two of time and acceleration")
        elif len(values) != ncols:
            raise source.error(i, f"{len(values)} columns where the lines before hold {ncols}")
        rows.append(values)
        row_lines.append(i)
        if ncols == 2:
            raw_times.append(cells[0])
    if not rows:
        raise source.error(None, "no samples")
    return np.array(rows, dtype=np.float64), row_lines, raw_times, header_line, header_units


def _time_step(source, t, row_lines, raw_times, dt):
    """The uniform step of the time column, checked; `dt` when the caller gives one that agrees."""
    with np.errstate(over="ignore", invalid="ignore"):
        dt_fit = (t[-1] - t[0]) / (len(t) - 1)
        steps = np.diff(t)
    if not dt_fit > 0.0:
        raise source.error(row_lines[-1], "time does not increase")
    if not np.isfinite(dt_fit) or not np.isfinite(steps).all():
        raise source.error(row_lines[-1], "the time column spans more than a double can hold")
    back = ~(steps > 0.0)
    if back.any():
        k = int(np.argmax(back)) + 1
        raise source.error(row_lines[k], f"time {raw_times[k]} does not increase")
    # Each step against the typical one, allowing for the rounding of the
    # printed times (but never more than a tenth of a step).
    typical = float(np.median(steps))
    slack = np.array([_half_unit(tok) for tok in raw_times])
    allowed = 1e-3 * typical + np.minimum(slack[1:] + slack[:-1], 0.1 * typical)
    off = np.abs(steps - typical) > allowed
    if off.any():
        k = int(np.argmax(off)) + 1
        raise source.error(row_lines[k], f"time {raw_times[k]} is {steps[k - 1]:.6g} s after the "
                                         f"one before, not {typical:.6g} s (non-uniform time steps)")
    step = _snap(dt_fit, 1e-14 * dt_fit)
    if dt is not None:
        if abs(dt - dt_fit) > 1e-3 * dt_fit + 2 * max(slack) / (len(t) - 1):
            raise source.error(None, f"dt {dt!r} does not match the time column's step {step!r}")
        step = dt
    return step


def parse(source):
    """The record of a text file, with the caller's `dt` and `units` from `source`; or RecordError."""
    data, row_lines, raw_times, header_line, header_units = _table(source)
    units, dt = source.units, source.dt
    if units is None:
        units = header_units
    elif header_units is not None and header_units != units:
        raise source.error(header_line, f"header states units {header_units!r}, "
                                        f"the units argument {units!r}")
    if units is None:
        raise source.error(None, f"units not stated in the file: pass units ({UNITS_HINT})")
    if data.shape[1] == 1:
        if dt is None:
            raise source.error(None, "one column of samples needs dt")
        samples = data[:, 0]
    else:
        if len(data) < 2:
            raise source.error(row_lines[0], "one time value gives no time step")
        dt = _time_step(source, data[:, 0], row_lines, raw_times, dt)
        samples = data[:, 1]
    return [source.record(samples, dt, units, locate=row_lines.__getitem__, format=NAME)]
