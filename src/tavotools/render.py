"""Text, CSV and JSON output, shared by every report of the package: aligned
tables, CSV with full precision, JSON with NaN as null and infinities as
1e999, and names made printable whatever bytes a file name holds.
"""
from __future__ import annotations

import csv
import io
import json
import math
import re

import numpy as np

__all__ = ["csv_text", "exact", "json_safe", "json_text", "number", "period_label", "printable",
           "table_lines"]


def printable(name):
    """`name` as text that any output can print: undecodable bytes of a file name
    (kept by Python as surrogates) are shown as backslash escapes."""
    if name is None:
        return None
    return str(name).encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def exact(value):
    """The shortest digits that read back as `value`: 0.01 -> "0.01", 1.0 -> "1". For what
    names a row or a column (a period, a damping ratio): rounded, two would read alike."""
    text = repr(float(value))
    return text[:-2] if text.endswith(".0") else text


def period_label(period):
    """The period as column names show it: 0.01 -> "0.01s", 1.0 -> "1s"."""
    return exact(period) + "s"


def number(value, spec=".6g"):
    """A measure for a table: `spec` formatting, "n/a" where there is no value (NaN, None)."""
    if value is None or (isinstance(value, (float, np.floating)) and math.isnan(value)):
        return "n/a"
    return format(value, spec)


def table_lines(rows, right_from=0):
    """Rows of cells as aligned lines: the columns before `right_from` to the left, the others
    to the right, two blanks between columns, no trailing blanks."""
    widths = [max(len(r[k]) for r in rows) for k in range(len(rows[0]))]
    return ["  ".join(c.rjust(w) if k >= right_from else c.ljust(w)
                      for k, (c, w) in enumerate(zip(row, widths))).rstrip() for row in rows]


def _cell(value):
    # NumPy's floats as Python's: repr of np.float64 is "np.float64(0.1)", and str of
    # np.float32 is its shortest float32 digits, not the double's.
    if isinstance(value, (float, np.floating)):
        return repr(float(value))
    return "" if value is None else value


def csv_text(header, rows):
    """CSV of a header and rows; floats (NumPy's too) by `repr`, so every digit is kept."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(header)
    for row in rows:
        writer.writerow([_cell(v) for v in row])
    return out.getvalue()


def json_safe(value):
    """Plain JSON data: NaN becomes None, tuples and arrays lists, at any depth. Infinities
    stay: `json_text` writes them as numbers that read back as infinities."""
    if isinstance(value, float):
        return None if math.isnan(value) else value
    if isinstance(value, dict):
        return {k: json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_safe(v) for v in value]
    if isinstance(value, np.ndarray):
        return json_safe(value.tolist())
    if isinstance(value, np.generic):
        return json_safe(value.item())
    return value


# A string, or an infinity as json.dumps spells it outside strings.
_INFINITY = re.compile(r'"(?:[^"\\]|\\.)*"|(-?)Infinity')


def _huge(match):
    return match[0] if match[1] is None else match[1] + "1e999"


def json_text(doc):
    """`doc` as indented JSON text ending in a newline, NaN as null.

    An infinity (an Arias intensity past the largest double) is a value, not a missing
    one: it is written 1e999, a valid JSON number past every double, which json.loads
    and JavaScript's JSON.parse read back as an infinity. (json.dumps's own Infinity is
    no JSON, and most readers refuse the whole document for it.)"""
    return _INFINITY.sub(_huge, json.dumps(json_safe(doc), indent=2)) + "\n"
