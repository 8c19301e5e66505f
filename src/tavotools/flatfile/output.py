"""The flatfile on disk: Parquet (through pyarrow) or CSV, and the errors file.

Each is written to a temporary file beside its target and renamed over it,
so a reader never sees a half-written flatfile.  Rows stream from the run
state a page at a time; memory does not grow with the number of rows.
"""
from __future__ import annotations

import csv
import itertools
import os
from datetime import datetime

import numpy as np

from ..files import replacing
from ..render import printable

__all__ = ["write_errors", "write_table"]

#: Rows per Parquet row group.
ROW_GROUP = 1024


def _atomic(target, write, mode="w"):
    """Run `write(file)` on a temporary file in `target`'s folder, then rename it to `target`."""
    with replacing(target) as tmp:
        with open(tmp, mode, **({"newline": "", "encoding": "utf-8"} if "b" not in mode else {})) as f:
            write(f)


def _cell(kind, value):
    """A non-float value as CSV text (the bytes of a name that is not UTF-8 escaped)."""
    if value is None:
        return ""
    if kind == "bool":
        return "true" if value else "false"
    return printable(value)


def _groups(rows, size):
    """The rows in lists of at most `size`: (text values, float matrix, mask matrix)."""
    page = []
    for row in rows:
        page.append(row)
        if len(page) == size:
            yield _stacked(page)
            page = []
    if page:
        yield _stacked(page)


def _stacked(page):
    return ([t for t, _, _ in page], np.array([f for _, f, _ in page]),
            np.array([m for _, _, m in page]))


def write_csv(target, schema, rows):
    """Write the rows as CSV text: floats by repr, so each reads back to the same double."""
    position = {name: k for k, name in enumerate(schema.floats)}
    columns = [(c.kind, c.name, position.get(c.name)) for c in schema.columns]

    def write(f):
        w = csv.writer(f, lineterminator="\n")
        w.writerow([c.name for c in schema.columns])
        for texts, floats, masks in _groups(rows, 256):
            for text, values, mask in zip(texts, floats.tolist(), masks.tolist()):
                # repr round-trips: each float reads back as the same double.
                w.writerow([(repr(values[k]) if mask[k] else "") if kind == "float"
                            else _cell(kind, text.get(name)) for kind, name, k in columns])

    _atomic(target, write)


def _pyarrow():
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError:
        raise ImportError("writing Parquet needs pyarrow: pip install 'tavotools[parquet]'") from None
    return pyarrow


def arrow_schema(schema):
    """The Arrow schema of the flatfile; each field's metadata holds its unit and meaning."""
    pa = _pyarrow()
    types = {"str": pa.string(), "int": pa.int64(), "float": pa.float64(), "bool": pa.bool_(),
             "time": pa.timestamp("us", tz="UTC")}
    return pa.schema([pa.field(c.name, types[c.kind],
                               metadata={"unit": c.unit or "", "doc": c.doc})
                      for c in schema.columns])


def write_parquet(target, schema, rows):
    """Write the rows as Parquet, in row groups of `ROW_GROUP` rows."""
    pa = _pyarrow()
    arrow = arrow_schema(schema)
    position = {name: k for k, name in enumerate(schema.floats)}

    def batch(texts, floats, masks):
        columns = []
        for field, c in zip(arrow, schema.columns):
            if c.kind == "float":
                k = position[c.name]
                columns.append(pa.array(floats[:, k], mask=~masks[:, k], type=field.type))
                continue
            values = [t.get(c.name) for t in texts]
            if c.kind == "str":
                values = [printable(v) for v in values]
            elif c.kind == "time":
                values = [None if v is None else datetime.fromisoformat(v) for v in values]
            columns.append(pa.array(values, type=field.type))
        return pa.record_batch(columns, schema=arrow)

    def write(f):
        with pa.parquet.ParquetWriter(f, arrow) as writer:
            empty = True
            for group in _groups(rows, ROW_GROUP):
                writer.write_batch(batch(*group))
                empty = False
            if empty:
                writer.write_table(arrow.empty_table())

    _atomic(target, write, "wb")


def check_writer(target):
    """Raise ImportError when the library that writes `target` is missing (pyarrow for Parquet)."""
    if target.lower().endswith(".parquet"):
        _pyarrow()


def write_table(target, schema, rows):
    """Write `rows` to `target`, Parquet or CSV by its suffix."""
    if target.lower().endswith(".parquet"):
        write_parquet(target, schema, rows)
    else:
        write_csv(target, schema, rows)


def write_errors(target, errors):
    """Write (file, reason) pairs (any iterable) as CSV; with no error, remove a stale errors file."""
    errors = iter(errors)
    first = next(errors, None)
    if first is None:
        try:
            os.unlink(target)
        except FileNotFoundError:
            pass
        return

    def write(f):
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["file", "reason"])
        w.writerows((printable(name), printable(reason))
                    for name, reason in itertools.chain([first], errors))

    _atomic(target, write)

