"""Every sample file read again after the changes that files pick up on their way
to a user: DOS or old Mac line ends (alone or mixed with Unix ones), a DOS
end-of-file mark, a byte-order mark, blanks at the ends of lines or of the file,
tabs between free-format numbers, gzip, a folder of mixed files. Each variant
must read to the very records the sample reads to, bit for bit and field for
field.

Also the variants of the formats themselves that other stations' files take:
other channel counts, scale factors and units wordings, fixed-width fields that
touch, and a malformed file of each format (RecordError naming file and line).
"""
import dataclasses
import gzip
import itertools
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


def mixed_ends(raw, ends):
    """The file's lines ended in turn by each of `ends`; a CR never comes before an
    empty line's LF, which would make the two one CR LF."""
    lines = split_lines(raw)
    out = []
    for k, line in enumerate(lines[:-1]):
        end = ends[k % len(ends)]
        out.append(line + (b"\n" if end == b"\r" and not lines[k + 1] else end))
    return b"".join(out) + lines[-1]


def ended_from(raw, fraction, first, second):
    """The file's lines ended by `first` up to `fraction` of them (one at least), by `second` after."""
    lines = split_lines(raw)
    k = max(1, int(len(lines) * fraction))
    return first.join(lines[:k]) + first + second.join(lines[k:])


# Each variant: the file's bytes -> the bytes of the variant.
VARIANTS = {
    "LF": lambda raw: b"\n".join(split_lines(raw)),
    "CRLF": lambda raw: b"\r\n".join(split_lines(raw)),
    "CR": lambda raw: b"\r".join(split_lines(raw)),
    "LF and CR in turn": lambda raw: mixed_ends(raw, [b"\n", b"\r"]),
    "CR LF, CR and LF in turn": lambda raw: mixed_ends(raw, [b"\r\n", b"\r", b"\r\n", b"\n"]),
    "LF on the first line, then CR": lambda raw: ended_from(raw, 0.0, b"\n", b"\r"),
    "CR on the first half, then CR LF": lambda raw: ended_from(raw, 0.5, b"\r", b"\r\n"),
    "Ctrl-Z": lambda raw: raw + b"\x1a",
    "Ctrl-Z run": lambda raw: raw.rstrip(b"\x1a") + b"\x1a" * 70,
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


# Lines before a header that hold nothing but line ends, blanks, tabs or a form feed.
LEADS = {"one blank line": lambda end: end, "three blank lines": lambda end: end * 3,
         "lines of blanks": lambda end: b"   " + end + b" \t\f " + end}


@pytest.mark.parametrize("lead", list(LEADS))
@pytest.mark.parametrize("name", NAMES, ids=short)
def test_blank_lines_before_the_header_are_passed_over(data, tmp_path, originals, name, lead):
    # Never read with the header's lines taken one place off (a wrong event name).
    raw = (data / name).read_bytes()
    target = tmp_path / short(name)
    target.write_bytes(LEADS[lead](eol(raw)) + raw)
    assert_same_records(read_records(target), originals(name))


def garbled_first_line(raw):
    """The file with the first third of its first line made '#'."""
    end = eol(raw)
    first, rest = raw.split(end, 1)
    k = max(1, len(first) // 3)
    return b"#" * k + first[k:] + end + rest


@pytest.mark.parametrize("name", NAMES, ids=short)
def test_blank_lines_before_a_damaged_header_move_only_the_line_named(data, tmp_path, name):
    # The same outcome as without them: the same records, or the same fault at the
    # file's own line of it (blank lines counted), told in the same format's terms.
    raw = garbled_first_line((data / name).read_bytes())
    outcomes = []
    for blanks in (0, 2):
        target = tmp_path / f"{blanks}_{short(name)}"
        target.write_bytes(eol(raw) * blanks + raw)
        try:
            outcomes.append(read_records(target))
        except RecordError as e:
            assert type(e) is RecordError and e.path == str(target)
            outcomes.append((e.line and e.line - blanks, e.reason))
    if isinstance(outcomes[0], list):
        assert_same_records(outcomes[1], outcomes[0])
    else:
        assert outcomes[1] == outcomes[0]


V1_FILES = [f"{F}/cosmos/Cosmos12TimeSeriesTest.v1", f"{F}/renadic/cuya0911131.v1",
            f"{F}/bhrc/5522-1.V1", f"{F}/dmg/CE89146.V1"]


@pytest.mark.parametrize("name", V1_FILES, ids=short)
def test_a_v1_file_whose_first_line_is_damaged_is_read_by_its_own_reader(data, tmp_path,
                                                                          originals, name):
    # Four formats share the suffix: the one that reads the file reads it, not the
    # first of them to refuse it.
    target = tmp_path / short(name)
    target.write_bytes(garbled_first_line((data / name).read_bytes()))
    records = read_records(target)
    assert [r.format for r in records] == [r.format for r in originals(name)]
    assert all(a.accel.tobytes() == b.accel.tobytes() for a, b in zip(records, originals(name)))


@pytest.mark.parametrize("blanks", [0, 2])
@pytest.mark.parametrize("left_blank", [1, 2])
def test_an_at2_header_with_its_first_lines_left_blank(data, tmp_path, originals, blanks,
                                                       left_blank):
    # A blank title (and names line) is part of the four-line header, not a blank line
    # before it: the samples are read whether or not blank lines come before.
    name = f"{F}/peer/RSN763_LOMAP_GIL067.AT2"
    raw = (data / name).read_bytes()
    end = eol(raw)
    lines = raw.split(end)
    target = tmp_path / short(name)
    target.write_bytes(end * blanks + end.join([b""] * left_blank + lines[left_blank:]))
    (record,) = read_records(target)
    (original,) = originals(name)
    assert record.accel.tobytes() == original.accel.tobytes() and record.dt == original.dt
    if left_blank == 1:
        assert_same_records([record], [original])


def form_fed(raw):
    """On the lines of numbers, the blank just before each number a vertical tab or a
    form feed in turn: blanks of fixed-width fields as float() takes them."""
    count = itertools.count()

    def one(m):
        return m.group(1) + (b"\v", b"\f")[next(count) % 2]

    return eol(raw).join(re.sub(rb"( *) (?=[^ ])", one, line) if _NUMBERS.fullmatch(line) else line
                         for line in split_lines(raw))


@pytest.mark.parametrize("name", NAMES, ids=short)
def test_vertical_tabs_and_form_feeds_among_the_blanks_change_nothing(data, tmp_path, originals,
                                                                      name):
    target = tmp_path / short(name)
    target.write_bytes(form_fed((data / name).read_bytes()))
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


# ---- other channel counts -------------------------------------------------------

# Files of channels one after another: each channel starts with a line that
# starts as the file's first line does.
CHANNELLED = ["cdmg_coalinga/ce36456p_CE36456.V2", f"{F}/dmg/CE89146.V1", f"{F}/dmg/CE89146.V2",
              f"{F}/geonet/20180212_211557_WPWS_20.V2A", f"{F}/renadic/cuya0911131.v1",
              f"{F}/bhrc/5522-1.V1", f"{F}/cosmos/Cosmos12TimeSeriesTest.v1",
              f"{F}/cosmos/us1000hyfh_akbmrp_AKBMR--n.1000hyfh.BNZ.--.acc.V2c"]


def channel_blocks(raw):
    """The file cut before every line that starts as its first line does."""
    lines = raw.splitlines(keepends=True)
    mark = lines[0][:20]
    starts = [k for k, line in enumerate(lines) if line.startswith(mark)] + [len(lines)]
    return [b"".join(lines[a:b]) for a, b in zip(starts, starts[1:])]


@pytest.mark.parametrize("pick", ["last alone", "first alone", "six", "reversed"])
@pytest.mark.parametrize("name", CHANNELLED, ids=short)
def test_files_of_other_channel_counts(data, tmp_path, originals, name, pick):
    blocks = channel_blocks((data / name).read_bytes())
    n = len(blocks)
    assert n == len(originals(name))
    order = {"last alone": [n - 1], "first alone": [0], "six": [k % n for k in range(6)],
             "reversed": list(range(n))[::-1]}[pick]
    target = tmp_path / short(name)
    target.write_bytes(b"".join(blocks[k] for k in order))
    expected = [originals(name)[k] for k in order]
    if "geonet" in name:  # its channels are numbered by their place in the file
        expected = [dataclasses.replace(r, channel=k) for k, r in enumerate(expected, 1)]
    assert_same_records(read_records(target), expected)


# ---- units as other files word them ---------------------------------------------

CM_S2 = ["cm/sec2", "CM/SEC2", "cm/s/s", "CM/S/S", "cm/sec/sec", "Cm/Sec/Sec", "cm/s^2", "CM/S**2",
         "cm/sec**2", "cm/s2", "gal", "Gal", "GAL", "gals"]

# (file, the units' words in it, other words for the same factor)
WORDED = [
    ("cdmg_coalinga/ce36456p_CE36456.V2", b"CM/SEC/SEC", CM_S2),
    (f"{F}/dmg/CE89146.V2", b"cm/sec2", CM_S2),
    (f"{F}/dmg/CE89146.V1", b" g ", [" G ", " g "]),
    (f"{F}/cosmos/Cosmos12TimeSeriesTest.v1", b"cm/sec2", CM_S2),
    (f"{F}/usc/017m30bt.s0a", b"CM/SEC/SEC", CM_S2),
    (f"{F}/esm/HI.ARS1..HNZ.D.20190728.160908.C.ACC.ASC", b"cm/s^2", CM_S2),
    (f"{F}/unam/CUP50401.012", b"Gal (cm/s/s)", CM_S2),
    (f"{F}/renadic/cuya0911131.v1", b"G/10", ["g/10", "G/10"]),
    (f"{F}/bhrc/5522-1.V1", b"G/10", ["g/10", "G/10"]),
]


@pytest.mark.parametrize("name, words, spellings", WORDED, ids=[short(w[0]) for w in WORDED])
def test_units_worded_otherwise_read_alike(data, tmp_path, originals, name, words, spellings):
    from tavotools.records.units import normalize_units

    raw = (data / name).read_bytes()
    # Replaced wherever they occur: a stated peak in the same words must still be read.
    assert words in raw
    for k, spelling in enumerate(spellings):
        target = tmp_path / f"{k}_{short(name)}"
        target.write_bytes(raw.replace(words, spelling.encode()))
        canonical = normalize_units(spelling)
        expected = [dataclasses.replace(r, units=canonical) for r in originals(name)]
        assert_same_records(read_records(target), expected)


ESM_Z = f"{F}/esm/HI.ARS1..HNZ.D.20190728.160908.C.ACC.ASC"


@pytest.mark.parametrize("words, canonical", [("g", "g"), ("G", "g"), ("m/s^2", "m/s2"),
                                              ("M/S**2", "m/s2"), ("mm/s^2", "mm/s2"),
                                              ("cm/s/s", "cm/s2")])
def test_esm_samples_in_the_units_stated(data, tmp_path, words, canonical):
    from tavotools.records.units import UNITS

    raw = (data / ESM_Z).read_bytes()
    target = tmp_path / "esm.ASC"
    target.write_bytes(raw.replace(b"UNITS: cm/s^2", b"UNITS: " + words.encode()))
    (r,) = read_records(target)
    fields = raw.split(b"USER5:")[1].split(b"\n", 1)[1].split()
    assert r.units == canonical
    assert r.accel.tobytes() == (np.array([float(f) for f in fields]) * UNITS[canonical]).tobytes()


@pytest.mark.parametrize("factor", ["7845(gal)/8223790", "3920(gal)/6196633", "2000(gal)/1048576",
                                    "1.0(gal)/1", "7845 (gal) / 8223790"])
def test_knet_counts_times_the_scale_factor_stated(data, tmp_path, factor):
    raw = (data / f"{F}/knet/CHB0021412312349.EW").read_bytes()
    target = tmp_path / "CHB.EW"
    target.write_bytes(raw.replace(b"7845(gal)/8223790", factor.encode()))
    (r,) = read_records(target)
    counts = np.array(raw.split(b"Memo.")[1].split(), dtype=float)
    top, bottom = (float(t.strip(" (gal)")) for t in factor.split("/"))
    gal = counts * (top / bottom)
    assert r.accel.tobytes() == (gal * 0.01 - (gal * 0.01).mean()).tobytes()


# ---- fixed-width fields that fill their columns -----------------------------------

def smc_data(lines):
    return max(k for k, line in enumerate(lines) if line.startswith(b"|")) + 1


def after(marker):
    return lambda lines: next(k for k, line in enumerate(lines) if marker in line) + 1


# (file, first line of the first block, count, fields a line, width, decimals,
# E or F, units factor name, and a new Format for the block where it changes)
FILLED = [
    ("usgs_smc_lomaprieta/0111a.smc", smc_data, 6001, 8, 10, 4, "F", "cm/s2", None),
    ("cdmg_coalinga/ce36456p_CE36456.V2", after(b"POINTS OF ACCEL"), 3251, 8, 10, 3, "F", "cm/s2",
     None),
    (f"{F}/dmg/CE89146.V2", after(b"points of accel"), 12000, 8, 10, 6, "F", "cm/s2", None),
    (f"{F}/dmg/CE89146.V1", after(b"Accelerogram points"), 13200, 8, 9, 6, "F", "g", None),
    (f"{F}/cosmos/Cosmos12TimeSeriesTest.v1", after(b"acceleration pts"), 7000, 8, 10, 5, "F",
     "cm/s2", None),
    (f"{F}/cosmos/us1000hyfh_akbmrp_AKBMR--n.1000hyfh.BNZ.--.acc.V2c", after(b"acceleration pts"),
     42000, 5, 13, 6, "E", "cm/s2", (b"(1E15.6)", b"(5E13.6)")),
    (f"{F}/geonet/20180212_211557_WPWS_20.V2A", lambda lines: 26, 5800, 10, 8, 1, "F", "mm/s2",
     None),
    (f"{F}/usc/017m30bt.s0a", after(b"POINTS OF ACC DATA"), 1887, 8, 10, 3, "F", "cm/s2", None),
]


def filled_fields(rng, count, width, decimals, kind):
    """Fields that fill `width` columns: negatives touch the field before them."""
    out = []
    for _ in range(count):
        negative = rng.random() < 0.6
        if kind == "E":
            mantissa = rng.uniform(1.0, 9.999)
            text = f"{-mantissa:.{decimals}E}" if negative else f"{mantissa:.{decimals + 1}E}"
            text = text[:-3] + text[-3:]  # E+05
        else:
            digits = width - decimals - (2 if negative else 1)
            value = rng.uniform(10.0 ** (digits - 1), 10.0 ** digits - 1)
            text = f"{-value if negative else value:.{decimals}f}"
        assert len(text) == width, text
        out.append(text)
    return out


@pytest.mark.parametrize("name, first, count, per_line, width, decimals, kind, units, form", FILLED,
                         ids=[short(f[0]) for f in FILLED])
def test_fields_that_fill_their_columns_are_read_apart(data, tmp_path, name, first, count,
                                                       per_line, width, decimals, kind, units,
                                                       form):
    import random

    from tavotools.records.units import UNITS

    raw = (data / name).read_bytes()
    end = eol(raw)
    lines = raw.split(end)
    at = first(lines)
    old_per_line = per_line if form is None else 1
    fields = filled_fields(random.Random(count), count, width, decimals, kind)
    rows = [b"".join(f.encode() for f in fields[k:k + per_line]) for k in range(0, count, per_line)]
    assert re.search(rb"[0-9]-[0-9]", b"".join(rows))
    lines[at:at + -(-count // old_per_line)] = rows
    if form is not None:
        lines[at - 1] = lines[at - 1].replace(*form)
    target = tmp_path / short(name)
    target.write_bytes(end.join(lines))
    r = read_records(target)[0]
    expected = np.array([float(f) for f in fields]) * UNITS[units]
    assert r.accel.tobytes() == expected.tobytes()


# ---- a malformed file of each format ----------------------------------------------

_NUMERIC = re.compile(rb"[ \t]*[-+0-9.eEdD]+(?:[ \t,]+[-+0-9.eEdD]+)*[ \t]*")


def middle_of_the_data(lines):
    """The middle line of the first run of 100 lines or more that hold only numbers."""
    k = 0
    while k < len(lines):
        j = k
        while j < len(lines) and _NUMERIC.fullmatch(lines[j]):
            j += 1
        if j - k >= 100:
            return (k + j) // 2
        k = j + 1
    raise AssertionError("no block of samples")


def cut_mid_line(lines, at, end):
    return end.join(lines[:at + 1])[:-(len(lines[at]) // 2)]


def letter_in_a_number(lines, at, end):
    digits = [m.start() for m in re.finditer(rb"[0-9]", lines[at])]
    k = digits[len(digits) // 2]
    lines = list(lines)
    lines[at] = lines[at][:k] + b"x" + lines[at][k + 1:]
    return end.join(lines)


def lines_left_out(lines, at, end):
    return end.join(lines[:at] + lines[at + 3:])


# (damage, whether the fault is told at the damaged line); the stated count
# is then larger than the data left, or a value is no number.
DAMAGES = [(cut_mid_line, True), (letter_in_a_number, True), (lines_left_out, False)]


@pytest.mark.parametrize("damage, at_the_line", DAMAGES, ids=[d[0].__name__ for d in DAMAGES])
@pytest.mark.parametrize("name", NAMES, ids=short)
def test_malformed_files_are_record_errors_naming_file_and_line(data, tmp_path, name, damage,
                                                                at_the_line):
    if name.endswith(".csv") and damage is cut_mid_line:
        pytest.skip("plain text states no count: a shorter file is a shorter record")
    raw = (data / name).read_bytes()
    end = eol(raw)
    lines = raw.split(end)
    at = middle_of_the_data(lines)
    target = tmp_path / short(name)
    target.write_bytes(damage(lines, at, end))
    with pytest.raises(RecordError) as e:
        read_records(target)
    assert type(e.value) is RecordError and e.value.path == str(target)
    assert e.value.line is not None and str(e.value).startswith(f"{target}, line {e.value.line}: ")
    if at_the_line:
        assert e.value.line == at + 1


# ---- the formats' sniffers against their plain definitions ------------------------

def _usc_plain(head):
    data_line = re.compile(rb"[ \t]*\d+[ \t]+POINTS[ \t]+OF[ \t]+ACC[ \t]+DATA")
    return "STATION USC#" in head.upper() or any(
        data_line.match(line) for line in head.encode("latin-1").upper().split(b"\n"))


def _dmg_plain(head):
    from tavotools.records import dmg

    lines = head.split("\n", 200)[:200]
    return "ACCELEROGRAM" in lines[0].upper() or any(
        dmg._ACCEL.match(line) or dmg._V1_DATA.match(line) for line in lines)


def _renadic_plain(head):
    lines = head.split("\n")
    return "ACCELEROGRAM" in lines[0].upper() and "RENADIC" in "\n".join(lines[1:14]).upper()


PLAIN_SNIFFERS = {"usc": _usc_plain, "dmg": _dmg_plain, "renadic": _renadic_plain}


def _heads(data):
    """The samples' heads, and each as other files could word it."""
    from tavotools.records.source import HEAD_SIZE

    for name in NAMES:
        head = (data / name).read_bytes()[:HEAD_SIZE].decode("latin-1")
        yield head
        yield head.lower()
        yield head.swapcase()
        yield "ß" + head.replace(" ", "ß", 3)
    yield "x\nstation usc# 123\n"
    yield "x\nStation USC#\n"
    yield "x\nSTATION  USC#\n" + "#" * 50
    yield "ßtation usc#"
    yield "header\n  12 points of acc data equally spaced\n"
    yield "header\n12\tPOINTS OF\tACC  DATA\n"
    yield "header\n12 POINTß OF ACC DATA\n"
    yield "Corrected accelerogram\n"
    yield "Uncorrected accelerogram\n" + "\n" * 12 + "renadic\n"
    yield "Uncorrected accelerogram\n" + "\n" * 13 + "renadic\n"
    yield ""


@pytest.mark.parametrize("fmt", sorted(PLAIN_SNIFFERS))
def test_sniffers_decide_as_their_plain_definitions(data, fmt):
    from tavotools.records.formats import by_name

    module = by_name(fmt)
    for head in _heads(data):
        assert module.sniff(head) == PLAIN_SNIFFERS[fmt](head), head[:80]


def test_format_fields_found_as_the_whole_format_finds_them(data):
    from tavotools.records import dmg

    lines = [line for name in NAMES if "V2" in name or "V1" in name
             for line in (data / name).read_text(encoding="latin-1").splitlines()]
    lines += ["Format: (8f9.6)", "FORMAT = ( 8 F10.3 )", "format:(5E15.7) (8F10.6)", "(8f10.6)",
              "FORMAT (8f10.6", "(x) FORMAT: (10I8) then (8F10.6)", "FORMAT(0F0.0)", "formatformat (1G12.4)"]
    found = 0
    for line in lines:
        whole, fields = dmg._FORMAT.search(line), dmg._FORMAT_FIELDS.search(line)
        assert (whole and whole.groups()) == (fields and fields.groups()), line
        found += whole is not None
    assert found > 10


def _damaged(raw, rng):
    """Copies of `raw` cut anywhere, with bytes changed, or with a line left out."""
    for _ in range(4):
        yield raw[:rng.randrange(len(raw))]
    for _ in range(4):
        b = bytearray(raw)
        for _ in range(rng.randrange(1, 6)):
            b[rng.randrange(len(b))] = rng.choice(b"\x1a\r\n\t \xef\xbb\xbf-.0123456789Ex")
        yield bytes(b)
    lines = raw.splitlines(keepends=True)
    for _ in range(2):
        k = rng.randrange(len(lines))
        yield b"".join(lines[:k] + lines[k + 1:])


@pytest.mark.parametrize("name", NAMES, ids=short)
def test_damaged_dos_variants_raise_only_record_errors(data, tmp_path, name):
    import random

    rng = random.Random(name)
    raw = b"\xef\xbb\xbf" + b"\r\n".join(split_lines((data / name).read_bytes())) + b"\x1a" * 3
    for k, damaged in enumerate(_damaged(raw, rng)):
        target = tmp_path / f"{k}_{short(name)}"
        target.write_bytes(gzip.compress(damaged) if k % 3 == 0 else damaged)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                read_records(target)
        except RecordError as e:
            # Every fault is the file's, told by a reader, not an escaped exception.
            assert e.path == str(target) and not e.reason.startswith("cannot be read as")
