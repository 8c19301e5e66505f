"""K-NET, KiK-net, ESM, AFAD and CWA readers against the agencies' own headers;
gzip, directories and files no reader recognises."""
import datetime as dt
import gzip
import shutil
import warnings

import numpy as np
import pytest

from tavotools.records import (FORMATS, RecordError, SkippedFile, UnrecognisedFormat,
                               read_record, read_records)

UTC = dt.timezone.utc
KNET = "formats/knet/CHB0021412312349."
KIKNET = "formats/kiknet/AICH040010061330."
ESM = "formats/esm/HI.ARS1..HN{}.D.20190728.160908.C.ACC.ASC"
AFAD = "formats/nsmn/20170720223109_0921.txt"
CWA = "formats/cwa/1-EAS.dat"
TRIED = ", ".join(m.NAME for m in FORMATS)


# (file, channel or None, format, npts, dt, the stated peak as printed, its unit's factor)
# as each file's header states them.
STATED = [
    (KNET + "EW", None, "knet", 68 * 100, 0.01, "6.847", 0.01),
    (KNET + "NS", None, "knet", 68 * 100, 0.01, "3.868", 0.01),
    (KNET + "UD", None, "knet", 68 * 100, 0.01, "7.859", 0.01),
    (KIKNET + "EW2", None, "knet", 143 * 200, 0.005, "3.896", 0.01),
    (KIKNET + "NS2", None, "knet", 143 * 200, 0.005, "5.605", 0.01),
    (KIKNET + "UD2", None, "knet", 143 * 200, 0.005, "1.488", 0.01),
    (ESM.format("E"), None, "esm", 19128, 0.005, "0.300022", 0.01),
    (ESM.format("N"), None, "esm", 19128, 0.005, "0.359017", 0.01),
    (ESM.format("Z"), None, "esm", 19128, 0.005, "0.202093", 0.01),
    (AFAD, "N-S", "afad", 28683, 0.01, "13.200332", 0.01),
    (AFAD, "E-W", "afad", 28683, 0.01, "12.163827", 0.01),
    (AFAD, "U-D", "afad", 28683, 0.01, "9.840572", 0.01),
    (CWA, "U", "cwa", 120 * 50, 0.02, "0.837", 0.01),
    (CWA, "N", "cwa", 120 * 50, 0.02, "2.273", 0.01),
    (CWA, "E", "cwa", 120 * 50, 0.02, "1.017", 0.01),
]


@pytest.mark.parametrize("name, channel, fmt, npts, step, peak, factor", STATED)
def test_count_step_and_peak_as_the_header_states(data, name, channel, fmt, npts, step, peak,
                                                  factor):
    r = read_record(data / name, channel=channel)
    assert (r.format, r.npts, r.dt) == (fmt, npts, step)
    decimals = len(peak.split(".")[1])
    assert f"{np.abs(r.accel).max() / factor:.{decimals}f}" == peak
    assert f"{r.stated_pga / factor:.{decimals}f}" == peak


def test_knet_counts_scaled_and_mean_removed(data):
    r = read_record(data / (KNET + "EW"))
    text = (data / (KNET + "EW")).read_text()
    counts = np.array(text.split("Memo.")[1].split(), dtype=float)
    gal = counts * (7845 / 8223790)
    assert np.array_equal(r.accel, gal * 0.01 - (gal * 0.01).mean())
    # Without the mean removed the peak would be 14.26 gal, not the 6.847 stated.
    assert round(np.abs(gal).max(), 2) == 14.26
    assert r.processing == ("as recorded", "mean removed")
    assert (r.network, r.station, r.location, r.channel, r.component, r.units) == \
        ("K-NET", "CHB002", None, "EW", "E-W", "gal")
    assert (r.latitude, r.longitude, r.elevation) == (35.7868, 139.9031, 14.0)
    # Record Time 23:50:00 JST is the trigger; the first sample is 15 s before.
    assert r.start_time == dt.datetime(2014, 12, 31, 14, 49, 45, tzinfo=UTC)
    e = r.event
    assert (e.time, e.latitude, e.longitude, e.depth, e.magnitude, e.magnitude_type) == \
        (dt.datetime(2014, 12, 31, 14, 49, tzinfo=UTC), 35.785, 139.887, 84.0, 4.2, "MJMA")


@pytest.mark.parametrize("suffix, component, vertical", [("EW2", "E-W", False), ("UD2", "U-D", True)])
def test_kiknet_names_its_sensor(data, suffix, component, vertical):
    r = read_record(data / (KIKNET + suffix))
    assert (r.network, r.station, r.location, r.channel, r.component, r.is_vertical) == \
        ("KiK-net", "AICH04", "surface", suffix, component, vertical)
    assert r.start_time == dt.datetime(2000, 10, 6, 4, 31, 9, tzinfo=UTC)


def test_kiknet_borehole_sensor_from_its_direction(data, tmp_path):
    text = (data / (KIKNET + "NS2")).read_text().replace("Dir.              4",
                                                         "Dir.              1")
    (tmp_path / "x.NS1").write_text(text)
    r = read_record(tmp_path / "x.NS1")
    assert (r.location, r.channel, r.component) == ("borehole", "NS1", "N-S")


def test_esm_metadata(data):
    r = read_record(data / ESM.format("Z"))
    assert (r.network, r.station, r.station_name, r.location, r.channel, r.units) == \
        ("HI", "ARS1", "Town Hall,Argos,Argolis,Peloponnese", None, "HNZ", "cm/s2")
    assert r.is_vertical
    assert (r.latitude, r.longitude, r.elevation) == (37.6349, 22.7293, 34.0)
    assert r.start_time == dt.datetime(2019, 7, 28, 16, 9, 19, 870000, tzinfo=UTC)
    e = r.event
    assert (e.name, e.time, e.latitude, e.longitude, e.depth, e.magnitude, e.magnitude_type) == \
        ("GREECE", dt.datetime(2019, 7, 28, 16, 9, 8, tzinfo=UTC), 38.1, 23.54, 9.0, 4.6, "ML")
    assert r.processing == ("corrected by agency", "baseline removed",
                            "butterworth filter 0.100-30.000 Hz, order 2")


def test_afad_three_columns_and_a_turkish_station_name(data):
    records = read_records(data / AFAD)
    assert [r.component for r in records] == ["N-S", "E-W", "U-D"]
    assert [r.is_vertical for r in records] == [False, False, True]
    r = records[0]
    # 0xFD in the Turkish code page is the dotless i.
    assert (r.network, r.station, r.station_name, r.units, r.processing) == \
        ("AFAD", "0921", "AYD\u0131N GERMENCIK DEVLET HASTANESI", "gal", ("as recorded",))
    assert (r.latitude, r.longitude, r.elevation) == (37.8747, 27.59223, 66.0)
    assert r.start_time == dt.datetime(2017, 7, 20, 22, 30, 58, tzinfo=UTC)
    e = r.event
    assert (e.time, e.latitude, e.longitude, e.depth, e.magnitude, e.magnitude_type) == \
        (dt.datetime(2017, 7, 20, 22, 31, 9, tzinfo=UTC), 36.9198, 27.4435, 19.44, 6.5, "Mw")


@pytest.mark.parametrize("name, expected", [
    (b"\xfc\x81\x8d", "\xfc\x81\x8d"),            # neither UTF-8 nor the Turkish code page: latin-1
    (b"G\xc3\xb6lc\xc3\xbck", "G\u00f6lc\u00fck"),  # valid UTF-8 stays UTF-8
])
def test_afad_station_names_never_fail(data, tmp_path, name, expected):
    raw = (data / AFAD).read_bytes().replace(b"AYD\xfdN GERMENCIK DEVLET HASTANESI", name)
    (tmp_path / "x.txt").write_bytes(raw)
    assert read_records(tmp_path / "x.txt")[0].station_name == expected


def test_cwa_metadata(data):
    records = read_records(data / CWA)
    assert [r.component for r in records] == ["U", "N", "E"]
    r = records[1]
    assert (r.network, r.station, r.station_name, r.units) == ("CWA", "EAS", "Anshuo", "gal")
    assert (r.latitude, r.longitude) == (22.381, 120.857)
    assert r.processing == ("as recorded", "offset removed by agency")
    assert r.start_time == dt.datetime(2018, 2, 6, 15, 50, 29, tzinfo=UTC)
    e = r.event
    assert (e.time, e.latitude, e.longitude, e.depth, e.magnitude, e.magnitude_type) == \
        (dt.datetime(2018, 2, 6, 15, 50, 42, tzinfo=UTC), 24.14, 121.69, 10.0, 6.0, "Ml")


def _edited(data, tmp_path, name, edit, suffix=""):
    raw = (data / name).read_bytes()
    target = tmp_path / ("edited" + suffix)
    target.write_bytes(edit(raw))
    return target


def _lines(keep):
    def edit(raw):
        lines = raw.splitlines(keepends=True)
        return b"".join(lines[keep])
    return edit


def _replace(old, new):
    return lambda raw: raw.replace(old, new, 1)


MALFORMED = [
    ("knet", KNET + "EW", _lines(slice(0, -1)), 866,
     "file ends after 6792 of the 6800 samples the header states"),
    ("knet", KNET + "EW", _replace(b"-7755", b"-77x5"), 18,
     "'-77x5' is not a number (after 2 of the 6800 samples the header states)"),
    ("knet", KNET + "EW", _replace(b"7845(gal)/8223790", b"7845(gal)/0"), 14,
     "Scale Factor '7845(gal)/0' is not 'N(gal)/D'"),
    # A numerator of 0 made every sample 0 under a header stating a peak of 6.847 gal.
    ("knet", KNET + "EW", _replace(b"7845(gal)/8223790", b"0(gal)/8223790"), 14,
     "Scale Factor '0(gal)/8223790' is not 'N(gal)/D'"),
    ("knet", KNET + "EW", _replace(b"Duration Time(s)  68", b"Duration Time(s)  1e300"), 12,
     "Duration Time 1e+300 s at 100 Hz is not a whole number of samples that the file can hold"),
    ("knet", KNET + "EW", _replace(b"Dir.              E-W", b"Dir.              X"), 13,
     "Dir. 'X' is not N-S, E-W, U-D or a KiK-net direction 1-6"),
    ("esm", ESM.format("E"), _replace(b"NDATA: 19128", b"NDATA: 99999999999"), 30,
     "NDATA '99999999999' is not a sample count"),
    ("esm", ESM.format("E"), _replace(b"NDATA: 19128", b"NDATA: 19127"), 19192,
     "more samples than the 19127 the header states"),
    ("esm", ESM.format("E"), _replace(b"UNITS: cm/s^2", b"UNITS: counts"), 33,
     "UNITS 'counts' is not an acceleration unit"),
    ("esm", ESM.format("E"), _replace(b"DATA_TYPE: ACCELERATION", b"DATA_TYPE: VELOCITY"), 50,
     "DATA_TYPE VELOCITY: only acceleration records are read"),
    ("esm", ESM.format("E"), _replace(b"EVENT_NAME: GREECE", b"EVENT NAME GREECE"), 1,
     "'EVENT NAME GREECE' is not a 'KEY: value' header line (no NDATA before it)"),
    ("esm", ESM.format("E"), lambda raw: b"\n \n" + raw.replace(b"EVENT_ID:", b"#EVENT_ID:"), 4,
     "'#EVENT_ID: EMSC-20190728_0000106' is not a 'KEY: value' header line (no NDATA before it)"),
    ("afad", AFAD, _replace(b"    0.000893     -0.000179    -0.000083", b"    0.000893     -0.000179"),
     20, "line holds 2 numbers, not 3 (after 1 of the 28683 rows the header states)"),
    ("afad", AFAD, _lines(slice(0, -2)), 28699,
     "file ends after 28681 of the 28683 rows the header states"),
    ("afad", AFAD, _replace(b"NUMBER OF DATA          : 28683", b"NUMBER OF DATA          : 2.5"), 13,
     "NUMBER OF DATA '2.5' is not a count"),
    ("cwa", CWA, _replace(b"     0.040     0.000", b"     0.045     0.000"), None,
     "time 0.045 of row 3 is off the 0.02 s steps of SampleRate 50 Hz"),
    ("cwa", CWA, _replace(b"#DataSequence: Time U(+); N(+); E(+)", b"#DataSequence: U N E"), 21,
     "#DataSequence 'U N E' is not 'Time' and the components"),
    ("cwa", CWA, _lines(slice(0, -3)), 6019,
     "file ends after 5997 of the 6000 rows the header states"),
]


@pytest.mark.parametrize("fmt, name, edit, line, reason", MALFORMED,
                         ids=[f"{m[0]}-{k}" for k, m in enumerate(MALFORMED)])
def test_malformed_files_name_the_file_the_line_and_the_fault(data, tmp_path, fmt, name, edit,
                                                              line, reason):
    path = _edited(data, tmp_path, name, edit)
    with pytest.raises(RecordError) as e:
        read_records(path)
    where = str(path) if line is None else f"{path}, line {line}"
    assert str(e.value) == f"{where}: {reason}"


@pytest.mark.parametrize("name", [KNET + "UD", ESM.format("N"), AFAD, CWA])
def test_gzip_reads_as_the_file_itself(data, tmp_path, name):
    target = tmp_path / "record.gz"
    target.write_bytes(gzip.compress((data / name).read_bytes()))
    plain, packed = read_records(data / name), read_records(target)
    assert [r.format for r in packed] == [r.format for r in plain]
    assert all(np.array_equal(a.accel, b.accel) for a, b in zip(plain, packed))


def test_a_directory_reads_every_record_below_it_and_skips_the_rest(data, tmp_path):
    shutil.copytree(data / "formats" / "knet", tmp_path / "knet")
    shutil.copy(data / CWA, tmp_path / "knet" / "deeper.dat")
    (tmp_path / "knet" / "ew.gz").write_bytes(gzip.compress((data / (KNET + "EW")).read_bytes()))
    (tmp_path / "knet" / ".hidden").write_text("not looked at")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        records = read_records(tmp_path)
    assert [(r.label, r.component) for r in records] == [
        ("CHB0021412312349.EW", "E-W"), ("CHB0021412312349.NS", "N-S"),
        ("CHB0021412312349.UD", "U-D"), ("deeper.dat", "U"), ("deeper.dat", "N"),
        ("deeper.dat", "E"), ("ew.gz", "E-W")]
    [note] = caught
    assert note.category is SkippedFile and note.filename == __file__  # told at the caller
    skipped = tmp_path / "knet" / "event.json"
    assert str(note.message).startswith(f"{skipped}: skipped, not a record file "
                                        f"(not a recognised record format (tried: {TRIED}); as ")


def test_a_malformed_record_in_a_directory_is_an_error(data, tmp_path):
    (tmp_path / "bad.EW").write_bytes((data / (KNET + "EW")).read_bytes()[:2000])
    with pytest.raises(RecordError) as e:
        read_records(tmp_path)
    assert str(e.value).startswith(f"{tmp_path / 'bad.EW'}, line ")


DAMAGED = "line 14: 'Scale Fbctor      7845(gal)/8223790' is not a K-NET header line " \
          "(expected 'Scale Factor')"


def test_a_damaged_knet_header_is_told_in_knet_terms(data, tmp_path):
    edit = _replace(b"Scale Factor", b"Scale Fbctor")
    # Its suffix names the format.
    path = _edited(data, tmp_path, KNET + "EW", edit, suffix=".EW")
    with pytest.raises(RecordError) as e:
        read_records(path)
    assert str(e.value) == f"{path}, {DAMAGED}"


@pytest.mark.parametrize("content", [b"\x06\x00\x13\x99" * 500, b"{\n  \"id\": 3\n}\n",
                                     b"hello\nworld\n"])
def test_a_file_no_reader_recognises(tmp_path, content):
    path = tmp_path / "mystery"
    path.write_bytes(content)
    with pytest.raises(UnrecognisedFormat) as e:
        read_records(path)
    assert str(e.value).startswith(f"{path}: not a recognised record format (tried: {TRIED}); as ")
    assert "as text" not in str(e.value)  # never "line 2: '\x06\x00' is not a number"


@pytest.mark.parametrize("edit, processing", [
    (_replace(b"FILTER_TYPE: BUTTERWORTH", b"FILTER_TYPE: "),
     ("as recorded", "baseline removed by agency")),
    (lambda raw: raw.replace(b"FILTER_TYPE: BUTTERWORTH", b"FILTER_TYPE: NONE").replace(
        b"BASELINE_CORRECTION: BASELINE REMOVED", b"BASELINE_CORRECTION: "), ("as recorded",)),
])
def test_esm_uncorrected_records_say_so(data, tmp_path, edit, processing):
    # A file that states no filter is not a corrected one.
    assert read_record(_edited(data, tmp_path, ESM.format("E"), edit)).processing == processing
