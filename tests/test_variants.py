"""Every sample file read again after the changes that files pick up on their way
to a user: DOS or old Mac line ends, a DOS end-of-file mark, a byte-order mark,
blanks at the ends of lines or of the file, tabs between free-format numbers,
gzip, a folder of mixed files. Each variant must read to the very records the
sample reads to, bit for bit and field for field.

Also the variants of the formats themselves that other stations' files take:
other channel counts, scale factors and units wordings, fixed-width fields that
touch, and a malformed file of each format (RecordError naming file and line).
"""
import dataclasses
import gzip
import re
import shutil
import warnings

import numpy as np
import pytest

from tavotools.records import Record, RecordError, SkippedFile, read_records

F = "formats"

# Each sample and whether its numbers are free-format (whitespace-separated:
# a tab may stand for blanks) rather than fixed-width columns.
SAMPLES = [
    ("usgs_smc_lomaprieta/0111a.smc", False),
    ("cdmg_coalinga/ce36456p_CE36456.V2", False),
    ("elcentro1940_chopra/elcentro_chopra.csv", True),
    (f"{F}/cosmos/us1000hyfh_akbmrp_AKBMR--n.1000hyfh.BNZ.--.acc.V2c", False),
    (f"{F}/cosmos/Cosmos12TimeSeriesTest.v1", False),
    (f"{F}/dmg/CE89146.V1", False),
    (f"{F}/dmg/CE89146.V2", False),
    (f"{F}/geonet/20180212_211557_WPWS_20.V2A", False),
    (f"{F}/knet/CHB0021412312349.EW", True),
    (f"{F}/kiknet/AICH040010061330.UD2", True),
    (f"{F}/esm/HI.ARS1..HNZ.D.20190728.160908.C.ACC.ASC", True),
    (f"{F}/nsmn/20170720223109_0921.txt", True),
    (f"{F}/cwa/1-EAS.dat", True),
    (f"{F}/renadic/cuya0911131.v1", False),
    (f"{F}/bhrc/5522-1.V1", False),
    (f"{F}/usc/017m30bt.s0a", False),
    (f"{F}/unam/CUP50401.012", False),
    (f"{F}/peer/RSN763_LOMAP_GIL067.AT2", True),
]
NAMES = [name for name, _ in SAMPLES]
FREE = {name for name, free in SAMPLES if free}
FIELDS = [f.name for f in dataclasses.fields(Record) if f.name not in ("accel", "path")]


def short(name):
    return name.split("/")[-1]


def assert_same_records(got, expected):
    """The same records: samples bit for bit, every stated field equal."""
    assert len(got) == len(expected)
    for a, b in zip(got, expected):
        assert a.accel.dtype == b.accel.dtype and a.accel.tobytes() == b.accel.tobytes()
        assert {f: getattr(a, f) for f in FIELDS} == {f: getattr(b, f) for f in FIELDS}


def split_lines(raw):
    """The file's lines without their ends (the last one empty when the file ends in one)."""
    return re.split(rb"\r\n|\n|\r", raw)


def eol(raw):
    return b"\r\n" if b"\r\n" in raw[:4096] else b"\n"


# Each variant: the file's bytes -> the bytes of the variant.
VARIANTS = {
    "LF": lambda raw: b"\n".join(split_lines(raw)),
    "CRLF": lambda raw: b"\r\n".join(split_lines(raw)),
    "CR": lambda raw: b"\r".join(split_lines(raw)),
    "Ctrl-Z": lambda raw: raw + b"\x1a",
    "Ctrl-Z run and line ends": lambda raw: raw + b"\x1a" * 70 + b"\r\n\r\n",
    "Ctrl-Z after the last number": lambda raw: raw.rstrip(b"\r\n\x1a") + b"\x1a",
    "blank lines after": lambda raw: raw + eol(raw) * 3,
    "blank lines of blanks after": lambda raw: raw + (b"  \t " + eol(raw)) * 2,
    "UTF-8 byte-order mark": lambda raw: b"\xef\xbb\xbf" + raw,
    "byte-order mark and CRLF": lambda raw: b"\xef\xbb\xbf" + b"\r\n".join(split_lines(raw)),
    "trailing blanks": lambda raw: eol(raw).join(
        line + b"   " if line else line for line in split_lines(raw)),
    "trailing tab": lambda raw: eol(raw).join(
        line + b"\t" if line else line for line in split_lines(raw)),
    "no final line end": lambda raw: raw.rstrip(b"\r\n\x1a"),
}

_NUMBERS = re.compile(rb"[ \t]*[-+0-9.eEdD]+(?:[ \t,]+[-+0-9.eEdD]+)*[ \t]*")


def tabbed(raw):
    """Tabs for the blanks between numbers on the lines of numbers, and one before the first."""
    return eol(raw).join(
        b"\t" + re.sub(rb" +", b"\t", line.lstrip(b" ")) if _NUMBERS.fullmatch(line) else line
        for line in split_lines(raw))


@pytest.fixture(scope="module")
def originals(data):
    """The records each sample reads to, read once."""
    cache = {}

    def read(name):
        if name not in cache:
            cache[name] = read_records(data / name)
        return cache[name]

    return read


@pytest.mark.parametrize("packed", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("variant", list(VARIANTS))
@pytest.mark.parametrize("name", NAMES, ids=short)
def test_line_ends_marks_and_blanks_change_nothing(data, tmp_path, originals, name, variant,
                                                   packed):
    raw = VARIANTS[variant]((data / name).read_bytes())
    target = tmp_path / (short(name) + (".gz" if packed else ""))
    target.write_bytes(gzip.compress(raw) if packed else raw)
    assert_same_records(read_records(target), originals(name))


@pytest.mark.parametrize("name", sorted(FREE), ids=short)
def test_tabs_between_free_format_numbers_change_nothing(data, tmp_path, originals, name):
    raw = tabbed((data / name).read_bytes())
    assert b"\t" in raw
    target = tmp_path / short(name)
    target.write_bytes(raw)
    assert_same_records(read_records(target), originals(name))


def test_a_folder_of_formats_packed_and_plain_with_other_files(data, tmp_path, originals):
    picked = [f"{F}/dmg/CE89146.V2", f"{F}/knet/CHB0021412312349.EW", f"{F}/cwa/1-EAS.dat",
              f"{F}/unam/CUP50401.012", "usgs_smc_lomaprieta/0111a.smc"]
    (tmp_path / "a").mkdir()
    (tmp_path / "b" / "c").mkdir(parents=True)
    places = ["a/1.V2", "a/2.EW.gz", "b/3.dat", "b/c/4.012.gz", "b/c/5.smc"]
    for name, place in zip(picked, places):
        raw = (data / name).read_bytes()
        (tmp_path / place).write_bytes(gzip.compress(raw) if place.endswith(".gz") else raw)
    others = ["a/event.json", "b/README.txt", "b/c/notes.gz", "b/plot.png"]
    (tmp_path / others[0]).write_text('{"id": "ci1234", "magnitude": 5.1}\n')
    (tmp_path / others[1]).write_text("Records of the test event.\nSee the agency's site.\n")
    (tmp_path / others[2]).write_bytes(gzip.compress(b"packed notes, no samples\n"))
    (tmp_path / others[3]).write_bytes(b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR" + bytes(range(256)))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        records = read_records(tmp_path)
    expected = [r for name in picked for r in originals(name)]
    assert [r.path for r in records] == [str(tmp_path / place) for place, name in
                                         zip(places, picked) for _ in originals(name)]
    assert_same_records(records, expected)
    skipped = sorted(str(w.message).split(": skipped")[0] for w in caught
                     if w.category is SkippedFile)
    assert skipped == sorted(str(tmp_path / o) for o in others)
