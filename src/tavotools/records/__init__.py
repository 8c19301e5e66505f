"""Readers for the accelerogram files that agencies publish.

Every reader returns `Record` objects: the samples as float64 in m/s², the
time step, the file's own units and the metadata the file states. Malformed
input raises `RecordError` (a `ValueError`) naming the file and the line.

One module per format (`smc`, `dmg`, `at2`, `knet`, `esm`, `afad`, `cwa`,
`text`, and `obspy` for what ObsPy reads), each with `NAME`,
`SUFFIXES`, `sniff(head)` and `parse(source)`, listed once in
`formats.FORMATS`; `read_records` reads a file once into a `Source` and
hands it to the format that recognises it.
"""
from ..constants import G
from .formats import FORMATS
from .reader import (detect_format, read_at2, read_record, read_records, read_smc, read_text,
                     read_v2, record_files)
from .record import (Event, PackedFile, Record, RecordError, SkippedFile, UnrecognisedFormat, is_vertical,
                     orientation)
from .source import Source
from .units import UNITS, normalize_units

__all__ = [
    "FORMATS",
    "G",
    "UNITS",
    "Event",
    "PackedFile",
    "Record",
    "RecordError",
    "SkippedFile",
    "UnrecognisedFormat",
    "Source",
    "detect_format",
    "is_vertical",
    "normalize_units",
    "orientation",
    "read_at2",
    "read_record",
    "read_records",
    "read_smc",
    "read_text",
    "read_v2",
    "record_files",
]
