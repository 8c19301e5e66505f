"""Record readers: real agency files, generated fixtures, and malformed input."""
import ast
import ctypes
import ctypes.util
import dataclasses
import math
import platform
import re
import shutil
from datetime import date, datetime, timezone

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tavotools.obe import obe_check
from tavotools.records import (
    FORMATS, Record, RecordError, detect_format, is_vertical, orientation, read_at2, read_record,
    read_records, read_smc, read_text, read_v2,
)
from tavotools.rotd import rotd
from tavotools.spectra import response_spectrum
from tavotools.summary import summarize

UTC = timezone.utc
SMC_DIR = "usgs_smc_lomaprieta"
V2_FILE = "cdmg_coalinga/ce36456p_CE36456.V2"
CSV_FILE = "elcentro1940_chopra/elcentro_chopra.csv"


# ---- fixtures written the way the agencies write them -------------------------

def smc_field(v):
    """A sample as the SMC files print it: 1.5057E+0, ten columns, no separating blank."""
    mantissa, exponent = f"{v:.4E}".split("E")
    return f"{mantissa}E{int(exponent):+d}".rjust(10)


def smc_lines(samples, rate=100.0, comments=("| written for a test",), peak=1.5):
    ints = [-32768] * 48
    ints[15], ints[16] = len(comments), len(samples)
    reals = [0.17e39] * 50
    reals[1] = rate
    lines = ["2 CORRECTED ACCELEROGRAM", "*", "TST1A",
             "     2001  02  03    0405 Test Valley, CA", "Moment Mag=      5.0",
             "station = Test Station, Main St   component=     90",
             f"epicentral dist =     12.0       pk     =     {peak:.1f}",
             "inst type=FBA-23      data source = TEST", "*", "*", "*"]
    lines += ["".join(f"{v:10d}" for v in ints[k:k + 8]) for k in range(0, 48, 8)]
    lines += ["".join(f"{v:15.7E}" for v in reals[k:k + 5]) for k in range(0, 50, 5)]
    lines += list(comments)
    fields = [smc_field(v) for v in samples]
    lines += ["".join(fields[k:k + 8]) for k in range(0, len(fields), 8)]
    return lines


def v2_lines(samples, dt=".020", units="CM/SEC/SEC"):
    n = len(samples)
    text = ["CORRECTED ACCELEROGRAM   99999-T001-01123.01       CHAN  2: 180 DEG     FROM",
            "UNCORRECTED ACCELEROGRAM DATA              PROCESSED:  1/02/01",
            "TEST VALLEY EARTHQUAKE",
            "JAN 2, 2001 10:20 PST",
            "99999-T001-01123.01               TRIGGER TIME: 01/02/01, 10:20:31.0 PST",
            "STATION NO. 99999   35.000N, 120.000W     SMA-1  S/N 1",
            "TEST STATION 7",
            "CHAN  2: 180 DEG",
            f"  {n} POINTS OF INSTRUMENT- AND BASELINE-CORRECTED ACCEL, VELOC AND DISPL DATA",
            "PEAK ACCELERATION =  -123.456    CM/SEC/SEC  AT    1.000   SEC."]
    text += [""] * (25 - len(text))
    lines = text + ["".join(f"{0:5d}" for _ in range(16))] * 6 + ["    0" * 4]
    lines += ["".join(f"{0.0:10.3f}" for _ in range(8))] * 12 + ["      .000" * 4]
    # Right-aligned in 10 columns, without the leading zero: "     -.787".
    fields = [re.sub(r"^(-?)0\.", r"\1.", f"{v:.3f}").rjust(10) for v in samples]
    for name, unit in (("ACCEL", units), ("VELOC", "CM/SEC"), ("DISPL", "CM")):
        lines.append(f" {n} POINTS OF {name} DATA EQUALLY SPACED AT  {dt} SEC.  (UNITS: {unit})")
        lines += ["".join(fields[k:k + 8]) for k in range(0, n, 8)]
    return lines + ["/&  ----------  END OF DATA FOR CHANNEL  2  ----------"]


def at2_lines(values, form="new", style="E"):
    n = len(values)
    npts = f"NPTS=  {n}, DT=   .0050 SEC" if form == "new" else f"  {n}    0.0050    NPTS, DT"
    lines = ["PEER NGA STRONG MOTION DATABASE RECORD",
             "Test Valley 1979-10-15, Station One, 140",
             "ACCELERATION TIME SERIES IN UNITS OF G", npts]
    if style == "E":
        cells = [f"{v:15.7E}" for v in values]
    else:  # Fortran: D exponents and no leading zero
        cells = [f"{v:15.7E}".replace("E", "D").replace("0.", ".") for v in values]
    return lines + ["".join(cells[k:k + 5]) for k in range(0, n, 5)]


def write(path, lines):
    path.write_text("\r\n".join(lines) + "\r\n", encoding="latin-1")
    return path


SAMPLES = [1.5057, -2.2223, -19.234, 0.031562, -324.4, 3.5638e-3, 51.941, -5.7933,
           -5.5295, 0.25, -7.0]


def named(excinfo, path, line):
    """The message starts with the file and the line."""
    assert str(excinfo.value).startswith(f"{path}, line {line}: "), str(excinfo.value)


# ---- real files -------------------------------------------------------------------

@pytest.mark.parametrize("name, npts, component, first, last, peak", [
    ("0111a.smc", 6001, "360", "1.5057E+0", "-2.8745E-1", 104.4),
    ("0111b.smc", 6002, "up", "-1.2518E+1", "-1.6806E+0", 48.3),
    ("0111c.smc", 6004, "270", "-5.8486E+0", "-1.1594E+0", 70.4),
])
def test_smc_real(data, name, npts, component, first, last, peak):
    r = read_smc(data / SMC_DIR / name)
    assert (r.npts, r.dt, r.units, r.format) == (npts, 0.005, "cm/s2", "smc")
    assert r.component == component
    assert r.station.startswith("San Francisco, 1295 Shafter")
    assert (r.event.name, r.event.time) == ("Loma Prieta, CA", datetime(1989, 10, 18, 0, 4, tzinfo=UTC))
    assert (r.event.latitude, r.event.longitude, r.event.depth) == (37.037, -121.883, 18.0)
    assert (r.event.magnitude, r.event.magnitude_type) == (7.1, "Mw")
    assert (r.latitude, r.longitude, r.elevation) == (37.728, -122.385, None)
    # The integer header: 1989, day 291, 00:04:00.
    assert r.start_time == datetime(1989, 10, 18, 0, 4, tzinfo=UTC)
    assert r.processing == ("corrected by agency",)
    assert r.accel[0] == float(first) * 0.01 and r.accel[-1] == float(last) * 0.01
    # The header's peak is rounded to 0.1 cm/s².
    assert abs(np.abs(r.accel).max() * 100 - peak) <= 0.05 + 1e-9
    assert r.stated_pga == pytest.approx(peak / 100)


def test_v2_real_reads_the_acceleration_block_of_each_channel(data):
    recs = read_v2(data / V2_FILE)
    got = [(r.channel, r.component, r.npts, r.dt, r.units) for r in recs]
    assert got == [(1, "90 DEG", 3251, 0.02, "cm/s2"), (2, "UP", 3250, 0.02, "cm/s2"),
                   (3, "0 DEG", 3250, 0.02, "cm/s2")]
    firsts, lasts = [-3.038, 2.335, 1.527], [-1.308, 3.153, -4.292]
    for r, first, last, peak in zip(recs, firsts, lasts, [267.957, 94.805, 256.231]):
        assert r.accel[0] == first * 0.01 and r.accel[-1] == last * 0.01
        assert np.abs(r.accel).max() == pytest.approx(peak * 0.01, rel=1e-12)
        assert r.stated_pga == pytest.approx(peak * 0.01, rel=1e-12)
        # "STATION NO. 36456 ...", the name on the line after it.
        assert (r.station, r.station_name) == ("36456", "PARKFIELD FAULT ZONE 14")
        assert r.event.name == "COALINGA EARTHQUAKE"
        # "ORIGIN(BRK): 05/02/83, 23:42:38.5 UTC", "TRIGGER TIME: 05/02/83, 16:42:48.2 PDT"
        assert r.event.time == datetime(1983, 5, 2, 23, 42, 38, 500000, tzinfo=UTC)
        assert (r.event.latitude, r.event.longitude, r.event.depth) == (36.25, -120.28, 9.0)
        assert (r.event.magnitude, r.event.magnitude_type) == (6.5, "ML")
        assert r.start_time == datetime(1983, 5, 2, 23, 42, 48, 200000, tzinfo=UTC)
        assert (r.latitude, r.longitude) == (35.908, -120.458)
    assert [r.is_vertical for r in recs] == [False, True, False]
    assert read_record(data / V2_FILE, channel=3).component == "0 DEG"
    with pytest.raises(ValueError, match="holds 3 channels"):
        read_record(data / V2_FILE)


def test_csv_real_with_units_from_its_header(data):
    r = read_record(data / CSV_FILE)
    assert (r.npts, r.dt, r.units, r.format) == (1560, 0.02, "g", "text")
    k = int(np.argmax(np.abs(r.accel)))
    assert k * r.dt == pytest.approx(2.04)
    assert r.accel[k] == -0.31882 * 9.81
    assert (r.accel[0], r.accel[-1]) == (0.0, 0.0)


def test_detection_reads_content_not_names(data, tmp_path):
    for name, fmt in [(f"{SMC_DIR}/0111a.smc", "smc"), (V2_FILE, "dmg"), (CSV_FILE, "text")]:
        src = data / name
        dst = shutil.copy(src, tmp_path / f"record_{fmt}.dat")
        assert detect_format(dst) == fmt
        assert read_records(dst)[0].npts == read_records(src)[0].npts


# ---- generated fixtures -----------------------------------------------------------

@pytest.mark.skipif(platform.machine() != "x86_64", reason="the x86-64 values of the rounding modes")
@pytest.mark.parametrize("mode", [0x400, 0x800, 0xC00], ids=["downward", "upward", "toward_zero"])
def test_every_real_file_reads_alike_in_other_rounding_modes(data, mode, rounding_mode):
    # Some C code may leave another rounding mode set: a file still means the same
    # numbers (its headers' texts, its samples and their units' scaling), and the
    # caller's mode is given back.
    files = [p for p in sorted(data.rglob("*")) if p.is_file() and p.suffix not in (".json", ".md")]
    want = {}
    for path in files:
        try:
            want[path] = read_records(path)
        except (RecordError, ValueError):
            continue
    assert sum(len(r) for r in want.values()) >= 40
    assert rounding_mode(mode) == 0
    got = {path: read_records(path) for path in want}
    left = ctypes.CDLL(ctypes.util.find_library("m")).fegetround()
    rounding_mode(0)
    assert left == mode
    for path, records in want.items():
        assert len(got[path]) == len(records), path
        for g, w in zip(got[path], records):
            stated = [f.name for f in dataclasses.fields(w) if f.name != "accel"]
            assert repr([getattr(g, f) for f in stated]) == repr([getattr(w, f) for f in stated]), path
            assert g.accel.view(np.uint64).tolist() == w.accel.view(np.uint64).tolist(), path


def test_smc_fixed_width_fields_that_run_together(tmp_path):
    path = write(tmp_path / "x.dat", smc_lines(SAMPLES, rate=250.0))
    assert any("E+1-2" in line or "E+0-2" in line for line in path.read_text().splitlines())
    r = read_record(path)
    assert r.format == "smc" and r.dt == 1.0 / 250.0 and r.component == "90"
    expected = np.array([float(smc_field(v)) for v in SAMPLES]) * 0.01
    assert np.array_equal(r.accel, expected)
    assert r.station == "Test Station, Main St"
    assert r.event.time == datetime(2001, 2, 3, 4, 5, tzinfo=UTC)


@pytest.mark.parametrize("form", ["new", "old"])
@pytest.mark.parametrize("style", ["E", "D"])
def test_at2_header_forms_and_fortran_numbers(tmp_path, form, style):
    values = [0.001234567, -0.5, 0.25, 1.0e-7, -0.031, 0.0, 0.1]
    path = write(tmp_path / "rec.txt", at2_lines(values, form, style))
    assert detect_format(path) == "at2"
    r = read_at2(path)
    assert (r.npts, r.dt, r.units) == (7, 0.005, "g")
    expected = np.array([float(f"{v:15.7E}") for v in values]) * 9.81
    assert np.array_equal(r.accel, expected)
    assert (r.event.name, r.event.date, r.station, r.component) == (
        "Test Valley", date(1979, 10, 15), "Station One", "140")


@pytest.mark.parametrize("wording", [
    None,
    "   9 points of accel data equally spaced at  .020 sec, in cm/sec2.  (Format: (8F10.3))",
])
def test_v2_fixture_and_its_format(tmp_path, wording):
    samples = [-3.038, -0.787, 2.288, 4.106, -267.957, 0.63, -1.08, -2.112, 5.0]
    lines = v2_lines(samples)
    if wording:
        lines[45] = wording
    path = write(tmp_path / "chan.txt", lines)
    assert detect_format(path) == "dmg"
    (r,) = read_v2(path)
    assert (r.channel, r.component, r.dt, r.units) == (2, "180 DEG", 0.02, "cm/s2")
    assert np.array_equal(r.accel, np.array(samples) * 0.01)
    assert r.stated_pga == pytest.approx(1.23456)


@pytest.mark.parametrize("stated", [12, 200, 10 ** 6, 10 ** 15])
def test_v2_velocity_block_stating_more_points_than_it_holds_loses_no_channel(tmp_path, stated):
    # The blocks after the acceleration are passed over by their count; one stating
    # more points than its rows (a damaged digit) ends at the block or channel that
    # follows it: it took the next channel's lines for its own (200), the rest of the
    # file (10**6), or walked past the end 10**14 times (10**15).
    samples = [-3.038, -0.787, 2.288, 4.106, -267.957, 0.63, -1.08, -2.112, 5.0]
    first = v2_lines(samples)
    k = next(i for i, line in enumerate(first) if "POINTS OF VELOC" in line)
    # Uneven rows: their count cannot be jumped over from the first row's length.
    first = first[:k] + [first[k].replace(" 9 POINTS", f" {stated} POINTS"), first[k + 1] + "  "] + first[k + 2:]
    path = write(tmp_path / "three.v2", first + v2_lines(samples) + v2_lines(samples))
    records = read_v2(path)
    assert len(records) == 3
    for r in records:
        assert np.array_equal(r.accel, np.array(samples) * 0.01)


@pytest.mark.parametrize("lines, kwargs, expected_dt, factor", [
    (["0.5", "-1.25", "2e-2"], {"dt": 0.01, "units": "cm/s2"}, 0.01, 0.01),
    (["# comment", "0.5", "-1.25", "2e-2"], {"dt": 0.01, "units": "gal"}, 0.01, 0.01),
    (["t,a", "0.000,0.5", "0.005,-1.25", "0.010,2e-2"], {"units": "m/s2"}, 0.005, 1.0),
    (["time acc (g)", "1.00 0.5", "1.02 -1.25", "1.04 2e-2"], {}, 0.02, 9.81),
    (["0.0\t0.5", "0.333\t-1.25", "0.667\t2e-2", "1.000\t0"], {"units": "g"}, None, 9.81),
])
def test_text_columns(tmp_path, lines, kwargs, expected_dt, factor):
    path = write(tmp_path / "a.csv", lines)
    r = read_text(path, **kwargs)
    assert np.array_equal(r.accel[:3], np.array([0.5, -1.25, 2e-2]) * factor)
    if expected_dt is None:  # times printed to three decimals of a 1/3 s step
        assert r.dt == pytest.approx(1 / 3, rel=1e-12)
    else:
        assert r.dt == expected_dt


def test_record_from_samples_and_units():
    r = Record.from_samples([1.0, -2.0], 0.01, "G")
    assert r.units == "g" and np.array_equal(r.accel, [9.81, -19.62])
    for bad in ({"samples": [], "dt": 0.01}, {"samples": [1.0], "dt": 0.0},
                {"samples": [np.nan], "dt": 0.01}, {"samples": [[1.0]], "dt": 0.01}):
        with pytest.raises(ValueError):
            Record.from_samples(bad["samples"], bad["dt"], "m/s2")
    with pytest.raises(ValueError, match="unknown units 'ft/s2'"):
        Record.from_samples([1.0], 0.01, "ft/s2")


@pytest.mark.parametrize("samples, message", [
    (np.array([1.0, 2.0 + 1e-9j, 3.0]), "accel must be real numbers, not complex"),
    (np.ma.masked_array([1.0, 2.0, 3.0], mask=[0, 1, 0]), "accel has masked samples (gaps): fill them first"),
])
@pytest.mark.parametrize("build", [
    lambda x: Record(x, 0.01), lambda x: Record.from_samples(x, 0.01, "m/s2"),
    lambda x: Record.from_samples(x, 0.01, "g"), lambda x: summarize(x, 0.01),
    lambda x: rotd(x, np.ones(3), 0.01, periods=[1.0]),
    lambda x: obe_check(np.ones(3), np.ones(3), x, 0.01),
], ids=["Record", "from_samples", "from_samples_g", "summarize", "rotd", "obe_check"])
def test_samples_numpy_would_convert_with_a_loss_are_refused(samples, message, build):
    with pytest.raises(ValueError, match=re.escape(message)):
        build(samples)


@pytest.mark.parametrize("build", [
    lambda x: Record(x, 0.01), lambda x: Record.from_samples(x, 0.01, "g"),
    lambda x: summarize(x, 0.01), lambda x: obe_check(np.ones(3), np.ones(3), x, 0.01),
    lambda x: summarize(np.ones(3), 0.01, periods=x),
], ids=["Record", "from_samples", "summarize", "obe_check", "periods"])
@pytest.mark.parametrize("flags", [
    np.array([True, False, True]),
    np.array([1.5, True, 2.0], dtype=object),
    np.array([1.5, np.False_, 2.0], dtype=object),
], ids=["bool", "object with True", "object with np.False_"])
def test_flags_are_not_samples(build, flags):
    # An array of bools was taken as samples (or periods) of 1.0 and 0.0, where a
    # bool given alone (a dt, a corner) is refused as no number; so was a bool
    # among the objects of an object array (a column of mixed values).
    with pytest.raises(ValueError, match="must be numbers, not bool values"):
        build(flags)


@pytest.mark.parametrize("build", [
    lambda x: Record(np.ones(3), x), lambda x: summarize(np.ones(3), x),
    lambda x: response_spectrum(np.ones(3), x, periods=[1.0]),
], ids=["Record", "summarize", "response_spectrum"])
def test_a_flag_in_an_array_of_no_dimensions_is_no_time_step(build):
    # np.array(True) was a dt of 1 s, where True and np.True_ are refused.
    with pytest.raises(TypeError, match="dt must be a positive, finite time step, not a bool"):
        build(np.array(True))


def test_a_masked_array_with_nothing_masked_is_its_data():
    x = np.ma.masked_array([1.0, -2.0, 3.0], mask=False)
    assert np.array_equal(Record.from_samples(x, 0.01, "gal").accel, [0.01, -0.02, 0.03])


# ---- malformed input --------------------------------------------------------------

def _edit(lines, index, old, new):
    assert old in lines[index]
    lines[index] = lines[index].replace(old, new, 1)
    return lines


# Each case: fixture, edit of its lines, line reported, words of the message.
SMC = smc_lines(SAMPLES)          # header 11 + 6 + 10 lines, 1 comment, samples from line 29
AT2 = at2_lines([0.1, -0.2, 0.3, 0.4, 0.5, 0.6, 0.7])
V2 = v2_lines(SAMPLES)            # acceleration header on line 46, samples on lines 47-48
MALFORMED = [
    ("smc", "truncated", lambda l: l[:-1], 29, "file ends after 8 of the 11 samples"),
    ("smc", "corrupt number", lambda l: _edit(l, 28, "-2.2223E+0", "-2.2Z23E+0"), 29,
     "'-2.2Z23E+0' is not a number"),
    ("smc", "count too small", lambda l: _edit(l, 13, "        11", "        10"), 30,
     "more samples than the 10"),
    ("smc", "count too large", lambda l: _edit(l, 13, "        11", "        12"), 30,
     "file ends after 11 of the 12 samples"),
    ("smc", "comment count", lambda l: _edit(l, 12, "         1", "         2"), 29,
     "comment line 2 of 2 does not start with '|'"),
    ("smc", "bad rate", lambda l: _edit(l, 17, "1.0000000E+02", "1.00000x0E+02"), 18,
     "is not a number"),
    ("smc", "velocity file", lambda l: _edit(l, 0, "2 CORRECTED ACCELEROGRAM", "3 VELOCITY"), 1,
     "only corrected accelerograms"),
    ("smc", "missing sample", lambda l: _edit(l, 28, smc_field(SAMPLES[2]), ""), 29,
     "7 values on a line of 8"),
    ("at2", "truncated", lambda l: l[:-1], 5, "file ends after 5 of the 7 samples"),
    ("at2", "count", lambda l: _edit(l, 3, "NPTS=  7", "NPTS=  6"), 6, "more samples than the 6"),
    ("at2", "count beyond 64 bits", lambda l: _edit(l, 3, "NPTS=  7", f"NPTS={2 ** 64}"), 6,
     f"file ends after 7 of the {2 ** 64} samples the header states"),
    ("at2", "non-numeric", lambda l: _edit(l, 4, "1.0000000E-01", "1.00000O0E-01"), 5,
     "is not a number"),
    ("at2", "no npts", lambda l: _edit(l, 3, "NPTS=", "N="), 4, "expected 'NPTS="),
    ("at2", "velocity", lambda l: _edit(l, 2, "ACCELERATION", "VELOCITY"), 3, "not acceleration"),
    ("v2", "count", lambda l: _edit(l, 45, " 11 POINTS", " 10 POINTS"), 9,
     "header states 11 points, the acceleration block 10"),
    ("v2", "units", lambda l: _edit(l, 45, "CM/SEC/SEC", "FT/SEC/SEC"), 46,
     "unknown units 'FT/SEC/SEC'"),
    ("v2", "corrupt number", lambda l: _edit(l, 47, "-7.000", "-7.0.0"), 48, "is not a number"),
    ("v2", "truncated", lambda l: l[:47], 47, "file ends after 8 of the 11 samples"),
    ("v2", "extra samples", lambda l: l[:48] + ["     1.000"] + l[48:], 49,
     "more samples than the 11"),
]


@pytest.mark.parametrize("kind, what, edit, line, words", MALFORMED,
                         ids=[f"{c[0]}-{c[1]}" for c in MALFORMED])
def test_malformed_files_name_file_and_line(tmp_path, kind, what, edit, line, words):
    base = {"smc": SMC, "at2": AT2, "v2": V2}[kind]
    path = write(tmp_path / f"bad.{kind}", edit(list(base)))
    with pytest.raises(RecordError) as e:
        read_records(path)
    named(e, path, line)
    assert words in str(e.value)


@pytest.mark.parametrize("lines, kwargs, line, words", [
    (["0.0,1", "0.01,2", "0.03,3", "0.04,4"], {"units": "g"}, 3, "non-uniform time steps"),
    (["0.0,1", "0.01,2", "0.01,3"], {"units": "g"}, 3, "does not increase"),
    (["0.0,1", "0.01,2", "0.02"], {"units": "g"}, 3, "1 columns where the lines before hold 2"),
    (["1", "2", "x3"], {"units": "g", "dt": 0.1}, 3, "'x3' is not a number"),
    (["1", "2", "nan"], {"units": "g", "dt": 0.1}, 3, "'nan' is not a number"),
    # Blanks that str.split() takes and the parser does not: the text as it stands is named.
    (["1", "\x1c", "2"], {"units": "g", "dt": 0.1}, 2, "'\\x1c' is not a number"),
    (["1 2", "3.0\xa04.0"], {"units": "g", "dt": 0.1}, 2, "'3.0\\xa04.0' is not a number"),
    (["0 1.0", "0.01\x852.0"], {"units": "g"}, 2, "'0.01\\x852.0' is not a number"),
    # A row whose numbers run together at a sign holds as many as the parser reads in it.
    (["0 1.0", "0.01 2e1-2", "0.02 3.0"], {"units": "g"}, 2,
     "3 columns where the lines before hold 2"),
    (["1 2 3"], {"units": "g"}, 1, "3 columns: give dt"),
    (["acc (g)", "1", "2"], {"units": "cm/s2", "dt": 0.1}, 1, "header states units 'g'"),
    # A count and a step, then comment lines only: no samples, not an internal error.
    (["3 0.01", "#c"], {"units": "g"}, 1, "header states 3 samples, the file holds 0"),
    (["3 0.01", "", "%c", "!d"], {"units": "g", "dt": 0.01}, 1,
     "header states 3 samples, the file holds 0"),
])
def test_malformed_text(tmp_path, lines, kwargs, line, words):
    path = write(tmp_path / "bad.csv", lines)
    with pytest.raises(RecordError) as e:
        read_text(path, **kwargs)
    named(e, path, line)
    assert words in str(e.value)


# Cells of a text file's rows, separators among them, and the blanks that str.split()
# takes and the parser does not.
_CELL = st.sampled_from(["1", "-2.5", "3e-1", "2e1-2", "x", "nan", "1e400", ".5", "7D2"])
_GAP = st.sampled_from([" ", "\t", ",", ";", " , ", "\xa0", "\x1c", "\x85", "\v"])


@settings(max_examples=200, deadline=None, database=None)
@given(rows=st.lists(st.lists(st.tuples(_GAP, _CELL), min_size=1, max_size=4), min_size=1, max_size=6),
       dt=st.sampled_from([None, 0.1]))
def test_text_errors_quote_what_the_named_line_holds(tmp_path_factory, rows, dt):
    lines = ["0 1", "0.1 2"] + ["".join(g + c for g, c in row).strip(" ,;") or "0" for row in rows]
    path = write(tmp_path_factory.mktemp("text") / "rows.txt", lines)
    try:
        read_text(path, dt=dt, units="g")
    except RecordError as e:
        assert e.line is not None and 1 <= e.line <= len(lines), str(e)
        line = lines[e.line - 1]
        m = re.match(r"('(?:[^'\\]|\\.)*'|\"(?:[^\"\\]|\\.)*\") (?:is not a number|exceeds)", e.reason)
        if m:
            assert ast.literal_eval(m.group(1)) in line, str(e)
        m = re.match(r"(\d+) columns where the lines before hold 2", e.reason)
        if m:  # as many as the parser reads: numbers run together at a sign are two
            found = len(re.findall(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[EeDd][+-]?\d+|[+-]\d+)?", line))
            assert int(m.group(1)) == found, str(e)
        assert not e.reason.startswith("cannot be read"), str(e)


@pytest.mark.parametrize("kwargs, words", [
    ({"dt": 0.1}, "units not stated in the file"),
    ({"units": "g"}, "one column of samples needs dt"),
    ({"units": "furlong/s2", "dt": 0.1}, "unknown units 'furlong/s2'"),
    ({"units": "g", "dt": -0.1}, "dt must be a positive"),
])
def test_text_needs_units_and_dt(tmp_path, kwargs, words):
    path = write(tmp_path / "one.txt", ["1", "2", "3"])
    with pytest.raises(ValueError, match=re.escape(words)):
        read_text(path, **kwargs)


def test_dt_and_units_apply_only_where_the_file_does_not_state_them(tmp_path):
    # The file is read once, so the options reach every reader; one that
    # states its own units and step keeps them.
    path = write(tmp_path / "a.at2", AT2)
    (r,) = read_records(path, units="cm/s2", dt=0.5)
    assert (r.units, r.dt) == ("g", 0.005)
    assert r.accel[0] == 0.1 * 9.81


def _timed(rows, step=0.01):
    """Two columns, the times printed as `%g` writes them ("0", "0.99", "1", "1.01")."""
    return [f"{k * step:g},{(-1) ** k * 0.1}" for k in range(rows)]


@pytest.mark.parametrize("lines, wrong", [
    (_timed(50), 0.02),             # "0" first: its half unit was taken for every time
    (_timed(120), 0.015),           # "1" in the middle widened the check as much
    (["0.0,0.1", "0.01,0.2", "0.02,0.3"], 0.02),
])
def test_dt_given_for_a_time_column_must_match_it(tmp_path, lines, wrong):
    # The caller's dt replaces the time column's step when they agree; a step twice
    # or 1.5 times the column's passed as agreeing, a silent wrong time axis.
    path = write(tmp_path / "t.csv", lines)
    with pytest.raises(RecordError, match="does not match the time column's step 0.01"):
        read_text(path, dt=wrong, units="g")
    assert read_text(path, dt=0.01, units="g").dt == read_text(path, units="g").dt == 0.01


def _printed(coarse):
    """Times 0 to 0.1 s printed to 4 decimals, those of the rows in `coarse` to 1 or 2."""
    return [f"{k * 0.01:.{1 if k in (0, 10) else 2}f}" if k in coarse else f"{k * 0.01:.4f}"
            for k in range(11)]


@pytest.mark.parametrize("coarse, agrees", [
    ((), False),        # every time to 0.1 ms: 0.01003 s is too far from 0.01 s
    ((0,), True),       # "0.0" or "0.1" at either end: the fitted step may be that far off
    ((10,), True),
    ((0, 10), True),
    ((5,), False),      # a coarse time inside bounds no error of the fitted step
    ((9,), False),
])
@pytest.mark.parametrize("layout", ["lf", "crlf", "no last line end", "blank lines after",
                                    "comments inside and after", "semicolons"])
def test_dt_given_is_checked_against_the_first_and_last_printed_times(tmp_path, coarse, agrees,
                                                                       layout):
    times = _printed(coarse)
    sep = ";" if layout == "semicolons" else ","
    lines = ["t (s), a (g)"] + [f"{t}{sep}{k % 3}" for k, t in enumerate(times)]
    if layout == "comments inside and after":
        lines = lines[:4] + ["# inside", "", "! again"] + lines[4:] + ["% after", "# end"]
    elif layout == "blank lines after":
        lines += ["", "   ", ""]
    ending = "\r\n" if layout == "crlf" else "\n"
    body = ending.join(lines) + ("" if layout == "no last line end" else ending)
    path = tmp_path / "t.csv"
    path.write_bytes(body.encode())
    if agrees:
        assert read_text(path, dt=0.01003, units="g").dt == 0.01003
    else:
        with pytest.raises(RecordError, match="does not match the time column's step 0.01"):
            read_text(path, dt=0.01003, units="g")
    assert read_text(path, dt=0.01, units="g").dt == 0.01


def _off_at(rows, bad):
    """Time and acceleration a line, every step 0.01 s but the one before row `bad`."""
    return [f"{k * 0.01 + (0.005 if k >= bad else 0.0):.3f},{k % 7}" for k in range(rows)]


@pytest.mark.parametrize("lines, line", [
    (_off_at(30, 20), 21),
    (["time (s), acc (g)"] + _off_at(30, 20), 22),
    (["# made by hand", "", "t, a (g)"] + _off_at(30, 20), 24),
    # Comment and blank lines inside the data split it into parts numbered apart.
    (_off_at(10, 99) + ["# gap", "! and", ""] + [f"{(k + 10) * 0.01:.3f},1" for k in range(5)]
     + ["%"] + [f"{0.155 + k * 0.01:.3f},1" for k in range(3)], 20),
    (_off_at(10, 99) + ["", "  ", ""] + [f"{(k + 10) * 0.01:.3f},1" for k in range(3)]
     + ["0.135,1"], 17),
])
@pytest.mark.parametrize("given", [None, 0.01])
@pytest.mark.parametrize("ending", ["\n", "\r\n"])
def test_text_time_step_faults_name_their_line(tmp_path, lines, line, given, ending):
    # The rows behind these messages are numbered by counting the line ends
    # between them, not from the top of the file each time.
    path = tmp_path / "t.csv"
    path.write_bytes((ending.join(lines) + ending).encode())
    with pytest.raises(RecordError) as e:
        read_text(path, dt=given, units="g")
    named(e, path, line)
    assert "non-uniform time steps" in str(e.value)


def test_text_rows_are_numbered_in_one_pass(tmp_path, monkeypatch):
    # A time column checked against the caller's dt (or one whose printed times
    # are off the typical step) walks its rows: numbering each from the top of
    # the file took minutes for a few hundred thousand rows.
    from tavotools.records.source import Source

    calls = []
    counted = Source.line_number
    monkeypatch.setattr(Source, "line_number",
                        lambda self, offset: calls.append(offset) or counted(self, offset))
    path = write(tmp_path / "long.csv", ["t, a (m/s2)"] + [f"{k * 0.01:.2f},{k % 5}" for k in range(3000)]
                 + ["# end", "30.00,1", "30.01,2"])
    r = read_text(path, dt=0.01)
    assert (r.npts, r.dt, r.units, r.accel[-1]) == (3002, 0.01, "m/s2", 2.0)
    assert len(calls) <= 4, len(calls)


@pytest.mark.parametrize("cut", [100, 2000, 6000])
def test_real_smc_truncated_anywhere_never_returns_partial_samples(data, tmp_path, cut):
    lines = (data / SMC_DIR / "0111a.smc").read_text(encoding="latin-1").splitlines()
    keep = min(cut // 8 + 35, len(lines) - 1)
    path = write(tmp_path / "cut.smc", lines[:keep])
    with pytest.raises(RecordError) as e:
        read_smc(path)
    named(e, path, keep)


# ---- faults a hostile or damaged file may hold: RecordError, never another error -------

def test_smc_stated_peak_in_the_newer_wording_and_start_time(tmp_path):
    lines = smc_lines(SAMPLES)
    lines[6] = "epicentral dist =     12.0       pk acc =  3.91E+1"
    # The integer header: start year, day of the year, hour, minute, second, millisecond.
    lines[11] = "".join(f"{v:10d}" for v in [-32768, 2011, 235, 17, 51, 4, 250, -32768])
    r = read_record(write(tmp_path / "new.smc", lines))
    assert r.stated_pga == 0.391
    assert r.start_time == datetime(2011, 8, 23, 17, 51, 4, 250000, tzinfo=UTC)


@pytest.mark.parametrize("cut", [1, 4])
def test_fixed_width_field_cut_short_is_truncation(data, tmp_path, cut):
    text = (data / SMC_DIR / "0111a.smc").read_text(encoding="latin-1").rstrip("\r\n")
    assert text.endswith("-2.8745E-1")
    path = tmp_path / "cut.smc"
    path.write_text(text[:-cut] + "\r\n", encoding="latin-1")
    with pytest.raises(RecordError) as e:
        read_smc(path)
    assert str(e.value) == (f"{path}, line 786: columns 1-10: field {'-2.8745E-1'[:-cut]!r} "
                            f"is cut short: {10 - cut} of 10 characters "
                            f"(after 6000 of the 6001 samples the header states)")


@pytest.mark.parametrize("kind, edit, line, message", [
    ("v2", lambda l: _edit(l, 45, "(UNITS: CM/SEC/SEC)", "(UNITS: CM/SEC/SEC) FORMAT (8F0.3)"), 46,
     "format 'FORMAT (8F0.3)' states fields of no width or no fields a line"),
    ("at2", lambda l: _edit(l, 5, "6.0000000E-01", "1.0000000E+308"), 6,
     "sample 6, 1e+308 g, is beyond the range of a double in m/s2"),
    ("smc", lambda l: _edit(l, 17, "1.0000000E+02", "1.0000000-321"), 18,
     "sampling rate 1e-321 gives no finite time step"),
])
def test_values_out_of_range_are_record_errors(tmp_path, kind, edit, line, message):
    base = {"smc": SMC, "at2": AT2, "v2": V2}[kind]
    path = write(tmp_path / f"bad.{kind}", edit(list(base)))
    with pytest.raises(RecordError) as e:
        read_records(path)
    assert str(e.value) == f"{path}, line {line}: {message}"


@pytest.mark.parametrize("lines, line, message", [
    (["-1.7e308,1", "0,2", "1.7e308,3"], 3, "the time column spans more than a double can hold"),
    (["0,1", "1e-300,2", "2e-300,3"], None, None),
    (["0e400,1", "0.01,2", "0.02,3"], None, None),
])
def test_time_columns_at_the_ends_of_the_doubles(tmp_path, lines, line, message):
    path = write(tmp_path / "t.csv", lines)
    if message is None:
        assert read_text(path, units="g").npts == 3
        return
    with pytest.raises(RecordError) as e:
        read_text(path, units="g")
    assert str(e.value) == f"{path}, line {line}: {message}"


def test_a_file_no_reader_recognises(tmp_path):
    path = tmp_path / "noise.bin"
    path.write_bytes(b"\x06\x00\x01binary\x00\xff" * 20)
    with pytest.raises(RecordError) as e:
        read_records(path)
    tried = ", ".join(m.NAME for m in FORMATS)
    assert str(e.value).startswith(f"{path}: not a recognised record format (tried: {tried}); as ")


def test_gzip_is_read_as_its_content(tmp_path):
    import gzip

    plain = write(tmp_path / "a.at2", AT2)
    packed = tmp_path / "a.at2.gz"
    packed.write_bytes(gzip.compress(plain.read_bytes()))
    assert np.array_equal(read_at2(packed).accel, read_at2(plain).accel)


def _mutations(raw, rng):
    """Damaged copies of a file: cut, bytes flipped, numbers made huge, tiny or absurd."""
    for _ in range(8):
        yield raw[:rng.randrange(len(raw))]
    for _ in range(8):
        b = bytearray(raw)
        for _ in range(rng.randrange(1, 6)):
            b[rng.randrange(len(b))] = rng.randrange(256)
        yield bytes(b)
    numbers = list(re.finditer(rb"\d+", raw))
    for word in (b"9" * 30, b"1e308", b"1e-321", b"0", b"99999999999", b"1" * 2000):
        for _ in range(2):
            m = numbers[rng.randrange(min(len(numbers), 400))]
            yield raw[:m.start()] + word + raw[m.end():]


def test_damaged_real_records_raise_only_record_error(data, tmp_path):
    import random

    rng = random.Random(13)
    files = [data / SMC_DIR / "0111b.smc", data / V2_FILE, data / CSV_FILE,
             data / "formats" / "peer" / "RSN763_LOMAP_GIL067.AT2"]
    outcomes = {"read": 0, "RecordError": 0}
    for source in files:
        for k, damaged in enumerate(_mutations(source.read_bytes(), rng)):
            path = tmp_path / f"{k}{source.suffix}"
            path.write_bytes(damaged)
            try:
                read_records(path, dt=0.01, units="g")
                outcomes["read"] += 1
            except RecordError:
                outcomes["RecordError"] += 1
    assert outcomes["RecordError"] > 60 and outcomes["read"] > 10, outcomes


def _read_seconds(paths, repeat=3):
    """Best time to read each of `paths`, the files read in turn (a busy machine slows all alike)."""
    import time

    best = [math.inf] * len(paths)
    for _ in range(repeat):
        for k, path in enumerate(paths):
            start = time.perf_counter()
            try:
                read_records(path, dt=0.01, units="g")
            except RecordError:
                pass
            best[k] = min(best[k], time.perf_counter() - start)
    return best


@pytest.fixture(scope="module")
def ordinary(tmp_path_factory):
    """A file of 10**6 characters of ordinary numbers (then a bad line)."""
    normal = tmp_path_factory.mktemp("normal") / "normal.txt"
    normal.write_text("0.123456\n" * (10**6 // 9) + "x\n", encoding="latin-1")
    return normal


@pytest.mark.parametrize("name, build", [
    ("token.txt", lambda n: "1" * n + "x\n"),
    ("point.txt", lambda n: "0." + "1" * n + "x\n"),
    ("header.txt", lambda n: "acc (" + " " * n + "\n1\n"),
    ("v2.txt", lambda n: "CORRECTED ACCELEROGRAM\n 10 POINTS OF ACCEL DATA EQUALLY SPACED AT .02 SEC."
                         " (UNITS:" + " " * n + "x\n"),
    ("format.v2", lambda n: "CORRECTED ACCELEROGRAM\n 10 POINTS OF ACCEL DATA EQUALLY SPACED AT .02 "
                            "SEC. FORMAT" + " " * n + "x\n"),
    ("at2.at2", lambda n: "PEER STRONG MOTION\nx\nUNITS OF G\nNPTS=  5" + " " * n + "x\n"),
    ("old.at2", lambda n: "PEER STRONG MOTION\nx\nUNITS OF G\n 5 0.01 NPTS" + " " * n + "x\n"),
    ("smc.smc", lambda n: "2 CORRECTED ACCELEROGRAM\n*\nX\n     1989  10  18    0004" + " " * n
                          + "x\n*\nstation =" + " " * n + "x\n"),
])
def test_reading_is_linear_in_a_long_token_or_blank_run(tmp_path, ordinary, name, build):
    # A file of one long run against a file of ordinary numbers of about the
    # same size: a pattern that tries every split of the run takes n² time,
    # hours at this size. A file that no reader recognises costs every
    # reader's attempt, so the bound leaves room for a constant factor.
    hostile = tmp_path / name
    hostile.write_text(build(10**6), encoding="latin-1")
    hostile_seconds, ordinary_seconds = _read_seconds([hostile, ordinary])
    assert hostile_seconds < 10.0 * ordinary_seconds + 0.5


@pytest.mark.parametrize("names, expected", [
    (["ver", "VER", "Z", "z", "UD", "ud", "UP", "Up", "HNZ", "hnz", "BHZ", "V", "v", "Vertical",
      "U-D", "UD2", "down"], "vertical"),
    (["90 DEG", "360", "0 Deg", "N00E", "s45w", "NS", "EW", "E-W", "HNE", "HN1", "H1", "L", "T",
      "Trans", "north", "EW1"], "horizontal"),
    (["", "-", "???", "channel 3", None], None),
])
def test_one_rule_for_the_orientation_of_a_component(names, expected):
    for name in names:
        assert orientation(name) == expected, name
        assert is_vertical(name) == (expected == "vertical")
        assert Record([1.0], 0.01, component=name).is_vertical == (expected == "vertical")



@pytest.mark.parametrize("module, name, method, unit", [
    ("bhrc", "_STATION", "search", "a "),
    ("afad", "_KEY", "fullmatch", "a"),
    ("afad", "_COORDINATES", "search", "1"),
    ("cosmos", "_FIRST", "search", " "),
    ("dmg", "_ORIGIN", "search", "ORIGIN"),
    ("dmg", "_PLACE", "search", "1"),
    ("text", "_BRACKETED", "search", "("),
])
def test_header_patterns_are_linear_in_a_long_line(module, name, method, unit):
    # Eight times the line takes about eight times as long, not sixty-four.
    import importlib
    import time

    call = getattr(getattr(importlib.import_module(f"tavotools.records.{module}"), name), method)

    texts = {n: unit * (n // len(unit)) + "x" for n in (10_000, 80_000)}
    best = dict.fromkeys(texts, math.inf)
    # Interleaved, best of several: a busy machine slows both sizes alike.
    for _ in range(7):
        for n, text in texts.items():
            start = time.perf_counter()
            call(text)
            best[n] = min(best[n], time.perf_counter() - start)

    assert best[80_000] < 24 * best[10_000] + 1e-3
