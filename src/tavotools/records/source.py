"""A record file read once: its bytes, its text, its lines, and the options
that only some formats use. Every reader parses from a `Source`.

`text` is `data` decoded as latin-1, so every str offset is the byte offset
of the same character: headers are parsed from `text`, numeric blocks may be
parsed straight from `data` at the same offsets.
"""
from __future__ import annotations

import bisect
import gzip
import itertools
import os
import re
import zlib
from functools import cached_property

import numpy as np

from .. import _parse
from .record import PackedFile, Record, RecordError, path_name
from .units import UNITS, normalize_units

__all__ = ["HEAD_SIZE", "Source", "decode_name", "stripped_end"]

#: How much of the start of a file the formats' `sniff` functions see.
HEAD_SIZE = 16384

_LONE_CR = re.compile(rb"\r(?!\n)")
_BLANKS = re.compile(rb"\s*+")


_BOM = b"\xef\xbb\xbf"
_EOF_MARK = b"\x1a"
_BLANKS_AND_ENDS = b" \t\r\n"
_TRAILING = _BLANKS_AND_ENDS + _EOF_MARK
_LINE_ENDS = (b"\n", b"\r\n", b"\r")


def stripped_end(data, chars):
    """len(data.rstrip(chars)), found without copying the data: only its tail is stripped."""
    end, size = len(data), 64  # most tails are a line end or two
    while end:
        chunk = data[max(0, end - size):end]
        kept = chunk.rstrip(chars)
        end -= len(chunk) - len(kept)
        if kept:
            break
        size = 4096
    return end


def _plain(data):
    """The file's bytes without what editors and DOS tools add around the text.

    A UTF-8 byte-order mark is not part of the first line; a DOS end-of-file
    mark (Ctrl-Z, often padded after it with more of them or with line ends)
    ends the data, even where it follows the last number without a line end.
    Old Mac files end their lines with CR alone, and a file edited on two
    systems may mix it with LF or CR LF: each lone CR is made LF, one byte for
    one, so that every offset and line number stays that of the file and every
    reader sees lines ended by LF or CR LF only.
    """
    if data.startswith(_BOM):
        data = data[len(_BOM):]
    last = stripped_end(data, _BLANKS_AND_ENDS) if data[-1:].isspace() else len(data)
    if data[last - 1:last] == _EOF_MARK:  # most files end with a line end, and no mark
        end = stripped_end(data, _TRAILING)
        tail = data[end:]
        # A run of marks alone after the last line end is passed over where
        # lines are split: the file is not copied for it (it often is one).
        if _EOF_MARK in tail and tail.rstrip(_EOF_MARK) not in _LINE_ENDS:
            data = data[:end + tail.find(_EOF_MARK)]
    if b"\r" in data and _parse.lone_cr(data) >= 0:  # most files have no CR, or CR LF only
        data = data.replace(b"\r", b"\n") if b"\r\n" not in data else _LONE_CR.sub(b"\n", data)
    return data


# How archives and compressed files begin (tar: "ustar" at offset 257).
_MAGIC = ((b"\x1f\x8b", "gzip-compressed file"), (b"PK\x03\x04", "zip archive"), (b"PK\x05\x06", "zip archive"),
          (b"\xfd7zXZ\x00", "xz-compressed file"),
          (b"\x28\xb5\x2f\xfd", "zstd-compressed file"), (b"7z\xbc\xaf\x27\x1c", "7-zip archive"),
          (b"Rar!\x1a\x07", "rar archive"))


def _packing(data):
    """What archive or compression a file's bytes begin with ('zip archive', 'tar
    archive', 'gzip-compressed file', ...), or None."""
    for magic, name in _MAGIC:
        if data.startswith(magic):
            return name
    # bzip2: "BZh", the block size's digit, then a block's (or the end's) own mark.
    if data[:3] == b"BZh" and data[3:4] in b"123456789" and data[4:10] in (b"1AY&SY", b"\x17rE8P\x90"):
        return "bzip2-compressed file"
    # compress (.Z): its third byte holds the code width, 9 to 16 bits.
    if data[:2] == b"\x1f\x9d" and len(data) > 2 and 9 <= data[2] & 0x1F <= 16 and not data[2] & 0x60:
        return "file compressed by compress (.Z)"
    if data[257:262] == b"ustar" and b"\x00" in data[:257]:
        return "tar archive"
    return None


def decode_name(raw):
    """A metadata string from the file's bytes: UTF-8 where valid, else Windows-1252,
    else latin-1; never fails.

    Names typed on Windows come as Windows-1252, whose letters and punctuation at
    0x80-0x9F (’ – €) latin-1 would make control characters; above 0x9F the two agree.
    """
    if isinstance(raw, str):
        raw = raw.encode("latin-1")
    for codec in ("utf-8", "cp1252"):
        try:
            return raw.decode(codec)
        except UnicodeDecodeError:
            pass
    return raw.decode("latin-1")


class Source:
    """One file's content, read once, and the caller's text-only options.

    `path` (str, for messages), `raw` (the file's bytes, gunzipped when the
    file is gzip), `data` (`raw` as text: without a byte-order mark or a DOS
    end-of-file mark, lone CRs made LF, see `_plain`; the same object when it
    has none of them), `text` (`data` as latin-1), `start` (where the first
    line that is not blank starts), `dt`, `units`, `inventory` (None unless
    given). `lines` are the text's lines without their ends (CR LF, CR or LF);
    `offset(i)` is where line i (0-based) starts in `data` and `text`.
    """

    def __init__(self, path, data, *, dt=None, units=None, inventory=None):
        self.path = path_name(path)
        # Binary formats (read by ObsPy) take `raw`: a last sample whose last byte
        # is 0x1A is no end-of-file mark there, nor a 0x0D byte a line end.
        self.raw = bytes(data)
        self.data = _plain(self.raw)
        self.dt = dt
        self.units = units
        self.inventory = inventory

    @classmethod
    def read(cls, path, **options):
        """Read the file at `path` (gunzipped when it is gzip); RecordError when it cannot be."""
        path = path_name(os.fspath(path))  # TypeError for a descriptor, which open() would take and close
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as e:
            raise RecordError(path, None, f"cannot read file ({e.strerror or e})") from None
        packed = _packing(data)
        if packed == "gzip-compressed file":
            try:
                data = gzip.decompress(data)
            except (OSError, EOFError, zlib.error) as e:
                raise RecordError(path, None, f"cannot read gzip file ({e})") from None
            packed = _packing(data)
            if packed is not None:
                packed = f"gzip-compressed {packed}"  # a .tar.gz, or a file packed twice
        if packed is not None:
            # Read as text, an archive was refused with a complaint about its bytes, or
            # not at all: a tar's first member follows a line of its name and NULs, and
            # a reader that looks for its data line anywhere took a .tar for the member.
            article = "an" if packed[0] in "ax" else "a"
            raise PackedFile(path, None, f"{article} {packed}, not a record file: {PackedFile.ADVICE}")
        return cls(path, data, **options)

    @cached_property
    def text(self):
        """`data` decoded as latin-1: every character at the offset of its byte.

        Decoded when first asked for: readers that walk their headers with
        `fields.Lines` and parse their blocks from `data` never need all of it.
        """
        return self.data.decode("latin-1")

    @cached_property
    def start(self):
        """Offset of the first line that is not blank, where a header begins.

        Blank lines before a header (left by a mailer, an editor or a
        concatenation) are no part of it: every reader starts there, and
        every line keeps its number in the file.
        """
        data = self.data
        if not data[:1].isspace():
            return 0
        first = _BLANKS.match(data).end()
        return data.rfind(b"\n", 0, first) + 1

    @property
    def head(self):
        """The text from `start` on, what `sniff` functions look at."""
        return self.data[self.start:self.start + HEAD_SIZE].decode("latin-1")

    @cached_property
    def _split(self):
        text = self.text
        # A DOS end-of-file mark is not data.
        end = len(text.rstrip("\x1a")) if text.endswith("\x1a") else len(text)
        raw = text[:end].split("\n")  # no lone CR is left: see `_plain`
        starts = list(itertools.accumulate((len(r) + 1 for r in raw[:-1]), initial=0))
        lines = [r[:-1] if r.endswith("\r") else r for r in raw]
        if lines and lines[-1] == "":
            lines.pop()
            starts.pop()
        return lines, starts

    @property
    def lines(self):
        """The lines of the text, without their ends."""
        return self._split[0]

    def offset(self, index):
        """Offset in `data` of the start of line `index` (0-based); the end of the data past the last."""
        starts = self._split[1]
        return starts[index] if index < len(starts) else len(self.data)

    def line_number(self, offset):
        """The 1-based number of the line holding `offset`."""
        if "_split" in self.__dict__:
            return bisect.bisect_right(self._split[1], offset)
        # Counted from the bytes, as `_split` numbers them: readers ask for the line of
        # a header or a block's start on every file, and splitting a large file's
        # every line in Python for it costs several times the parse.
        if offset < 0:
            return 0
        data = self.data
        end = stripped_end(data, _EOF_MARK) if data[-1:] == _EOF_MARK else len(data)
        number = data.count(b"\n", 0, max(0, min(offset, end))) + 1
        if end <= offset and (end == 0 or data[end - 1:end] == b"\n"):
            number -= 1  # no line starts after the last line end
        return number

    def error(self, index, reason):
        """RecordError at line `index` (0-based), or for the whole file when `index` is None."""
        return RecordError(self.path, None if index is None else index + 1, reason)

    def record(self, samples, dt, units, *, locate=None, **metadata):
        """A `Record` of this file, or RecordError naming the file (and the line of a bad sample).

        `locate(k)` gives the 0-based line of sample k, so that a sample whose
        value is finite in the file's units but not in m/s² is named by its line.
        """
        try:
            return Record.from_samples(samples, dt, units, path=self.path, **metadata)
        except (ValueError, OverflowError) as e:
            reason, index = str(e), None
            values = np.asarray(samples, dtype=np.float64)
            if locate is not None and values.ndim == 1 and np.isfinite(values).all():
                with np.errstate(over="ignore"):
                    scaled = values * UNITS.get(normalize_units(units), 1.0)
                bad = ~np.isfinite(scaled)
                if bad.any():
                    k = int(np.argmax(bad))
                    index = locate(k)
                    reason = f"sample {k + 1}, {float(values[k])!r} {units}, is beyond the range of a double in m/s2"
            raise self.error(index, reason) from None
