"""The agency formats of fixed-width text: COSMOS, CSMIP/DMG V1 and V2, GeoNet,
USC, RENADIC, BHRC, UNAM, and the text variants. Real samples are checked
against their own headers (counts, steps, stated peaks to their printed
precision, metadata); generated files cover the variants without a sample
and the malformed cases."""
import datetime as dt
import random
import re

import numpy as np
import pytest

from tavotools.records import RecordError, read_records
from tavotools.records.units import UNITS

UTC = dt.timezone.utc
F = "formats"

# file, records, samples, time step, the peaks as printed (per record) and their unit.
SAMPLES = [
    (f"{F}/cosmos/us1000hyfh_akbmrp_AKBMR--n.1000hyfh.BNZ.--.acc.V2c", "cosmos", 1, 42000, 0.005,
     ["-6.852"], "cm/s2"),
    (f"{F}/cosmos/Cosmos12TimeSeriesTest.v1", "cosmos", 1, 7000, 0.01, ["-161.962"], "cm/s2"),
    (f"{F}/dmg/CE89146.V1", "dmg", 3, 13200, 0.005, [".079", ".021", "-.045"], "g"),
    (f"{F}/dmg/CE89146.V2", "dmg", 3, 12000, 0.005, ["77.280", "20.529", "-44.200"], "cm/s2"),
    ("cdmg_coalinga/ce36456p_CE36456.V2", "dmg", 3, None, 0.02, ["-267.957", None, None], "cm/s2"),
    (f"{F}/geonet/20180212_211557_WPWS_20.V2A", "geonet", 3, 5800, 0.02,
     ["-41.6", "-194.0", "-27.3"], "mm/s2"),
    (f"{F}/usc/017m30bt.s0a", "usc", 1, 1887, 0.02, ["-242.39450"], "cm/s2"),
    (f"{F}/renadic/cuya0911131.v1", "renadic", 3, 5652, 0.005, ["0.132", "0.064", "0.129"], "g"),
    (f"{F}/bhrc/5522-1.V1", "bhrc", 3, 9984, 0.005, [None, None, None], None),
    (f"{F}/unam/CUP50401.012", "unam", 3, 17500, 0.004, ["0.47", "-1.19", "1.22"], "gal"),
    (f"{F}/peer/RSN763_LOMAP_GIL067.AT2", "at2", 1, 7999, 0.005, [None], None),
]


# Where the samples are printed more coarsely than the stated peak (USC: 8F10.3
# against "-242.39450"), half a unit of the samples' last digit is added.
SAMPLE_HALF_UNIT = {"017m30bt.s0a": 0.0005}


def printed_tolerance(text):
    """Half a unit in the last printed digit."""
    decimals = len(text.split(".")[1]) if "." in text else 0
    return 0.5 * 10.0 ** -decimals


@pytest.mark.parametrize("name, fmt, n_records, npts, step, peaks, unit", SAMPLES,
                         ids=[s[0].split("/")[-1] for s in SAMPLES])
def test_samples_against_their_headers(data, name, fmt, n_records, npts, step, peaks, unit):
    records = read_records(data / name)
    assert len(records) == n_records
    for r, peak in zip(records, peaks):
        assert r.format == fmt
        assert r.dt == step
        if npts is not None:
            assert r.npts == npts
        if peak is not None:
            stated = abs(float(peak)) * UNITS[unit]
            computed = np.abs(r.accel).max()
            half_unit = printed_tolerance(peak) + SAMPLE_HALF_UNIT.get(name.split("/")[-1], 0.0)
            assert abs(computed - stated) <= half_unit * UNITS[unit] * (1 + 1e-9)
            assert r.stated_pga == pytest.approx(stated, abs=printed_tolerance(peak) * UNITS[unit])
        assert r.processing in (("corrected by agency",), ("as recorded",))


@pytest.mark.parametrize("name, expected", [
    (f"{F}/cosmos/us1000hyfh_akbmrp_AKBMR--n.1000hyfh.BNZ.--.acc.V2c", [
        dict(station="BMR", station_name="Bremner River, AK, USA", network="AK", location="--", channel="BNZ",
             component="BNZ", vertical=True, units="cm/s2", corrected=True,
             start=dt.datetime(2018, 11, 30, 17, 29, 39, 137490, tzinfo=UTC),
             place=(60.9677, -144.6051, 842.0),
             event=("Point MacKenzie Earthquake", dt.datetime(2018, 11, 30, 17, 29, 29, tzinfo=UTC),
                    61.3464, -149.9552, 46.7, 7.0, "Mw"))]),
    (f"{F}/cosmos/Cosmos12TimeSeriesTest.v1", [
        dict(station="J2236", station_name="Yucaipa - Bryant & Oak Glen", network="CE", channel=1, component="340 deg",
             vertical=False, units="cm/s2", corrected=True,
             start=dt.datetime(2005, 6, 16, 20, 53, 4, 400000, tzinfo=UTC),
             place=(34.046, -117.035, 15.0),
             event=("Somewhere in Los Angeles, CA", dt.datetime(2005, 6, 16, 20, 53, 26, 100000,
                                                               tzinfo=UTC),
                    34.058, -117.011, 11.8, 4.8, "Mw"))]),
    (f"{F}/dmg/CE89146.V1", [
        dict(station="89146", station_name="Willow Creek", channel=c, component=comp, vertical=comp == "Up",
             units="g", corrected=False, start=dt.datetime(2012, 2, 13, 21, 6, 45, tzinfo=UTC),
             place=(40.941, -123.633, None), event=None)
        for c, comp in [(1, "360 Deg"), (2, "Up"), (3, "90 Deg")]]),
    (f"{F}/dmg/CE89146.V2", [
        dict(station="89146", station_name="Willow Creek", channel=c, component=comp, vertical=comp == "Up",
             units="cm/s2", corrected=True, start=dt.datetime(2012, 2, 13, 21, 6, 45, tzinfo=UTC),
             place=(40.941, -123.633, None), event=None)
        for c, comp in [(1, "360 Deg"), (2, "Up"), (3, "90 Deg")]]),
    (f"{F}/geonet/20180212_211557_WPWS_20.V2A", [
        dict(station="WPWS", station_name="Waipawa District Council", channel=c, component=comp, vertical=comp == "Up", units="mm/s2",
             corrected=True, start=None,
             place=(-(39 + 56 / 60 + 38 / 3600), 176 + 35 / 60 + 4 / 3600, None),
             event=("6 km south of Waipukurau", dt.datetime(2018, 2, 12, 21, 15, 54, tzinfo=UTC),
                    -(40 + 3 / 60 + 27 / 3600), 176 + 32 / 60 + 45 / 3600, 9.0, 4.17, "M"))
        for c, comp in [(1, "S16W"), (2, "S74E"), (3, "Up")]]),
    (f"{F}/usc/017m30bt.s0a", [
        dict(station="0061", station_name="BIG TUJUNGA STATION, ANGELES NATIONAL FOREST, CA", channel=None,
             component="N08W", vertical=False, units="cm/s2", corrected=True, start=None,
             place=(34 + 17 / 60 + 11 / 3600, -(118 + 13 / 60 + 31 / 3600), None),
             event=("NORTHRIDGE EARTHQUAKE", dt.datetime(1994, 1, 17, 12, 30, tzinfo=UTC),
                    34 + 12 / 60 + 48 / 3600, -(118 + 32 / 60 + 13 / 3600), None, 6.7, None))]),
    (f"{F}/renadic/cuya0911131.v1", [
        dict(station="CUYA", channel=c, component=comp, vertical=comp == "V", units="g/10",
             corrected=False, start=None, place=(None, None, None), event=None)
        for c, comp in [(1, "L"), (2, "V"), (3, "T")]]),
    (f"{F}/bhrc/5522-1.V1", [
        dict(station="Ajab Shir", channel=c, component=comp, vertical=comp == "V", units="g/10",
             corrected=False, start=None, place=(37.485, 45.891, 1333.0),
             event=(None, None, 38.52, 46.86, 12.0, 6.1, "Mw"))
        for c, comp in [(1, "L"), (2, "V"), (3, "T")]]),
    (f"{F}/unam/CUP50401.012", [
        dict(station="CUP5", station_name="IDEI PATIO 5", channel=c, component=comp, vertical=comp == "V", units="gal",
             corrected=False, start=dt.datetime(2004, 1, 2, 0, 0, 1, tzinfo=UTC),
             place=(19.33024, -99.181076, 2240.0),
             event=(None, dt.datetime(2004, 1, 1, 23, 58, 2, 700000, tzinfo=UTC), 17.30, -101.36,
                    14.0, 5.2, "Mb"))
        for c, comp in [(1, "V"), (2, "N90E"), (3, "N00E")]]),
])
def test_sample_metadata(data, name, expected):
    records = read_records(data / name)
    assert len(records) == len(expected)
    for r, e in zip(records, expected):
        assert r.station == e["station"]
        assert r.station_name == e.get("station_name")
        for key in ("network", "location"):
            if key in e:
                assert getattr(r, key) == e[key]
        assert (r.channel, r.component, r.is_vertical, r.units) == (
            e["channel"], e["component"], e["vertical"], e["units"])
        assert r.processing == (("corrected by agency",) if e["corrected"] else ("as recorded",))
        assert r.start_time == e["start"]
        assert (r.latitude, r.longitude, r.elevation) == pytest.approx(e["place"])
        if e["event"] is None:
            assert r.event is None or (r.event.latitude is None and r.event.magnitude is None)
        else:
            name_, time, lat, lon, depth, magnitude, kind = e["event"]
            ev = r.event
            assert (ev.name, ev.time, ev.magnitude, ev.magnitude_type) == (name_, time, magnitude, kind)
            assert (ev.latitude, ev.longitude, ev.depth) == pytest.approx((lat, lon, depth))


@pytest.mark.parametrize("blank_lines", [0, 2])
def test_unam_a_padding_row_that_differs_is_named_at_its_line(data, tmp_path, blank_lines):
    # The table is padded with copies of its last row; one that is not a copy is named,
    # at its own line whatever blank lines come between the rows.
    raw = (data / F / "unam" / "CUP50401.012").read_bytes()
    last = raw.rstrip().rsplit(b"\n", 1)[1]
    path = tmp_path / "padded.012"
    path.write_bytes(raw + b"\r\n" * blank_lines + last + b"\n     1.000     2.000     3.000\r\n")
    with pytest.raises(RecordError) as e:
        read_records(path)
    assert e.value.line == raw.count(b"\n") + blank_lines + 2
    assert "more samples than the 17500 the header states" in str(e.value)


def test_bhrc_origin_without_a_zone_gives_the_date_only(data):
    (r, *_) = read_records(data / F / "bhrc" / "5522-1.V1")
    assert (r.event.date, r.event.time) == (dt.date(2012, 8, 11), None)


def test_samples_are_the_files_numbers(data):
    """First and last samples as printed, times the unit's factor, bit for bit."""
    cases = [
        (f"{F}/cosmos/us1000hyfh_akbmrp_AKBMR--n.1000hyfh.BNZ.--.acc.V2c", 0, "3.437285e-04",
         "2.412614e-04", 0.01),
        (f"{F}/geonet/20180212_211557_WPWS_20.V2A", 2, "0.0", "0.00000", 0.001),
        (f"{F}/usc/017m30bt.s0a", 0, "-1.133", "2.032", 0.01),
        (f"{F}/renadic/cuya0911131.v1", 0, "0.062", None, UNITS["g/10"]),
        (f"{F}/bhrc/5522-1.V1", 0, "-.114699E-01", None, UNITS["g/10"]),
        (f"{F}/unam/CUP50401.012", 2, "0.108", "-0.057", 0.01),
        (f"{F}/dmg/CE89146.V1", 0, ".000010", None, UNITS["g"]),
    ]
    for name, k, first, last, factor in cases:
        r = read_records(data / name)[k]
        assert r.accel[0] == float(first) * factor, name
        if last is not None:
            assert r.accel[-1] == float(last) * factor, name


# ---- generated files ----------------------------------------------------------------

def cosmos_lines(samples, *, series="Corrected acceleration", units="cm/sec2(04)", form="(8F10.5)",
                 reals=None, step_ms=10.0):
    ints = [-999] * 100
    ints[39], ints[41], ints[42], ints[43], ints[44] = 2020, 3, 4, 5, 6
    r = [-999.0] * 100
    r[0], r[1], r[2], r[29], r[61] = 10.0, 20.0, 30.0, 7.5, step_ms
    for k, v in (reals or {}).items():
        r[k] = v
    n = len(samples)
    text = [f"{series}    (Format v01.20 with 13 text lines) Src: test",
            "Record of Test Quake of Wed Mar 4, 2020 05:06 UTC",
            "Hypocenter: 10.000 20.000 H= 5km Mw=5.5",
            "Origin: 2020/03/04 05:05:50 UTC",
            "Statn No: 01-00001  Code:XX-TEST  OWNR  Test Station",
            "Coords: 10.0 20.0  Site geology:",
            "Recorder: test  ( 1 Chns of 1 at Sta) Sensor: test",
            "Rcrd start time: 2020/03/04 05:06:07.500 UTC (Q=5) RcrdId: test",
            "Sta Chan   1:  90 deg (Rcrdr Chan  1) Location:",
            "Raw record length = 1.000 sec, Uncor max = 0, at 0 sec.",
            "Processed: 2020-03-05, TEST, Max =   0.000 cm/sec2 at   0.000 sec",
            "Record filtered below 0.1 Hz",
            "Values used when parameter or data value is unknown/unspecified:   -999, -999.00"]
    lines = text + [" 100 Integer-header values follow on  10 lines, Format= (10I8)"]
    lines += ["".join(f"{v:8d}" for v in ints[k:k + 10]) for k in range(0, 100, 10)]
    lines += [" 100 Real-header values follow on  20 lines, Format= (5F15.6)"]
    lines += ["".join(f"{v:15.6f}" for v in r[k:k + 5]) for k in range(0, 100, 5)]
    lines += ["   1 Comment line(s) follow, each starting with a \"|\":", "| test"]
    per_line, width = (8, 10) if form == "(8F10.5)" else (10, 8)
    fmt = (lambda v: f"{v:10.5f}") if form == "(8F10.5)" else (lambda v: f"{int(v):8d}")
    lines += [f"{n:8d} acceleration pts, approx {n * step_ms / 1000:.0f} secs, units={units},"
              f"Format={form}"]
    cells = [fmt(v) for v in samples]
    lines += ["".join(cells[k:k + per_line]) for k in range(0, n, per_line)]
    return lines + ["End-of-data for Chan  1 acceleration"]


def write(path, lines):
    path.write_text("\r\n".join(lines) + "\r\n", encoding="latin-1")
    return path


def test_cosmos_v0_counts_use_the_stated_sensitivity(tmp_path):
    counts = [100, -2000, 35, 0, 8388607, -8388608, 12, 7, 1000, -1]
    path = write(tmp_path / "raw.v0", cosmos_lines(
        counts, series="Raw acceleration counts", units="counts(50)", form="(10I8)",
        reals={21: 2.384186, 42: 1.25}, step_ms=5.0))
    (r,) = read_records(path)
    assert (r.units, r.dt, r.npts, r.processing) == ("g", 0.005, 10, ("as recorded",))
    expected = np.array(counts, dtype=float) * (2.384186 * 1e-6 / 1.25) * UNITS["g"]
    assert np.array_equal(r.accel, expected)
    assert r.start_time == dt.datetime(2020, 3, 4, 5, 6, 7, 500000, tzinfo=UTC)


def test_cosmos_v0_without_sensitivity_is_refused(tmp_path):
    path = write(tmp_path / "raw.v0", cosmos_lines(
        [1, 2, 3], series="Raw acceleration counts", units="counts(50)", form="(10I8)",
        reals={21: 2.384186}))
    with pytest.raises(RecordError) as e:
        read_records(path)
    assert str(e.value) == (f"{path}, line 48: raw counts, and the header states no recorder "
                            "resolution (real 22, µV a count) and sensor sensitivity (real 43, "
                            "V/g) to convert them with")


def test_cosmos_several_sections_velocity_passed_over(tmp_path):
    accel = cosmos_lines([1.5, -2.25, 3.0])
    velocity = cosmos_lines([9.0, 9.0, 9.0], series="Velocity")
    velocity[-5 - 1] = velocity[-5 - 1]  # unchanged: the data line names acceleration...
    velocity = [line.replace("acceleration pts", "velocity pts") for line in velocity]
    path = write(tmp_path / "two.v2", accel + velocity + accel)
    records = read_records(path)
    assert [r.accel.tolist() for r in records] == [[0.015, -0.0225, 0.03]] * 2


@pytest.mark.parametrize("edit, line, message", [
    (lambda l: l[:-3], 48, "file ends after 0 of the 10 samples the header states"),
    (lambda l: l[:47] + [l[47].replace("   10 acc", "   11 acc")] + l[48:], 50,
     "2 values on a line of 3 (after 10 of the 11 samples the header states)"),
    (lambda l: l[:48] + [l[48][:70] + "   x.00000"] + l[49:], 49,
     "columns 71-80: 'x.00000' is not a number (after 7 of the 10 samples the header states)"),
    (lambda l: l[:13] + [l[13].replace("Integer", "Real")] + l[14:], 14,
     "expected '... Integer-header values follow on ... lines, Format= (...)', not "
     "'100 Real-header values follow on  10 lines, Format= (10I8)'"),
    (lambda l: l[:47] + [l[47].replace("cm/sec2", "furlong/fortnight")] + l[48:], 48,
     "unknown units 'furlong/fortnight': use one of 'g', 'm/s2', 'cm/s2', 'gal', 'mm/s2', 'g/10'"),
    (lambda l: l[:47] + [l[47].replace("approx 0 secs", "approx 9 secs")] + l[48:], 48,
     "10 samples at 0.01 s last 0.1 s, not the 9 s the data line states"),
    # Counts beyond 64 bits: as any count the file cannot hold.
    (lambda l: l[:47] + [l[47].replace("      10 acc", f"{2 ** 64} acc")] + l[48:], 50,
     f"2 values on a line of 8 (after 10 of the {2 ** 64} samples the header states)"),
    (lambda l: l[:13] + [l[13].replace(" 100 Integer", f" {10 ** 30} Integer")] + l[14:], 25,
     f"columns 1-8: '100 Rea' is not a number (after 100 of the {10 ** 30} integer-header "
     f"values the header states)"),
])
def test_cosmos_malformed(tmp_path, edit, line, message):
    path = write(tmp_path / "bad.v2", edit(cosmos_lines([0.5] * 10)))
    with pytest.raises(RecordError) as e:
        read_records(path)
    assert str(e.value) == f"{path}, line {line}: {message}"


def test_text_npts_dt_header(tmp_path):
    values = [0.001, -0.002, 0.0035, 0.0, 0.25, -0.125, 1e-5]
    lines = ["El Centro NS, units (g)", f"{len(values)} 0.0100"]
    lines += [" ".join(f"{v:.5g}" for v in values[k:k + 3]) for k in range(0, len(values), 3)]
    (r,) = read_records(write(tmp_path / "npts.txt", lines))
    assert (r.npts, r.dt, r.units, r.format) == (7, 0.01, "g", "text")
    assert np.array_equal(r.accel, np.array([float(f"{v:.5g}") for v in values]) * UNITS["g"])
    lines[1] = "8 0.0100"
    with pytest.raises(RecordError) as e:
        read_records(write(tmp_path / "short.txt", lines))
    assert str(e.value).endswith("line 2: header states 8 samples, the file holds 7")


def test_text_several_values_a_line_given_dt(tmp_path):
    values = np.round(np.random.default_rng(1).normal(size=23), 6)
    lines = ["# acc (cm/s2), five a line"]
    lines += ["  ".join(f"{v:.6f}" for v in values[k:k + 5]) for k in range(0, values.size, 5)]
    path = write(tmp_path / "flat.txt", lines)
    (r,) = read_records(path, dt=0.02, units="cm/s2")
    assert np.array_equal(r.accel, np.array([float(f"{v:.6f}") for v in values]) * 0.01)
    with pytest.raises(RecordError) as e:
        read_records(path, units="cm/s2")
    assert "5 columns: give dt" in str(e.value)


# ---- malformed real files, and a fuzz of mutations ---------------------------------------

MUTABLE = [s[0] for s in SAMPLES]


def mutations(raw, rng):
    """Truncations, byte flips, absurd counts and huge or tiny numbers in a real file."""
    cut = rng.randrange(len(raw))
    yield raw[:cut]
    flipped = bytearray(raw)
    for _ in range(rng.randint(1, 8)):
        flipped[rng.randrange(len(raw))] = rng.randrange(256)
    yield bytes(flipped)
    numbers = list(re.finditer(rb"\d+", raw[:6000]))
    if numbers:
        m = rng.choice(numbers)
        for replacement in (b"99999999", b"0", b"1" * (m.end() - m.start())):
            yield raw[:m.start()] + replacement + raw[m.end():]
    fields = list(re.finditer(rb"-?\d*\.\d+(?:[Ee][+-]?\d+)?", raw))
    if fields:
        m = rng.choice(fields)
        width = m.end() - m.start()
        for replacement in (b"1e400", b"1e-400", b"9" * width, b"-" * width):
            yield raw[:m.start()] + replacement.rjust(width)[:max(width, len(replacement))] + raw[m.end():]


@pytest.mark.parametrize("name", MUTABLE, ids=[m.split("/")[-1] for m in MUTABLE])
def test_mutated_files_raise_only_record_errors(data, tmp_path, name):
    raw = (data / name).read_bytes()
    rng = random.Random(name)
    for trial in range(6):
        for k, mutated in enumerate(mutations(raw, rng)):
            path = tmp_path / f"m{trial}_{k}{(data / name).suffix}"
            path.write_bytes(mutated)
            try:
                records = read_records(path)
            except RecordError as e:
                assert str(e).startswith(str(path))
                continue
            for r in records:
                assert np.isfinite(r.accel).all() and r.dt > 0


@pytest.mark.parametrize("name", [f"{F}/bhrc/5522-1.V1", f"{F}/renadic/cuya0911131.v1"])
@pytest.mark.parametrize("edit, message", [
    ("points", "line 1: no 'NO. OF POINTS =' in the channel's text header"),
    ("units", "line 1: units not stated or unknown ('FURLONGS'): use one of "),
    ("more", "line {end}: more samples than the {npts} the header states"),
])
def test_v1_channel_header_and_end_faults(data, tmp_path, name, edit, message):
    lines = (data / name).read_bytes().decode("latin-1").splitlines()
    end = next(k for k, line in enumerate(lines) if line.startswith("/&"))
    npts = read_records(data / name)[0].npts
    if edit == "points":
        lines = [line.replace("NO. OF POINTS", "NO. OF SAMPLES") for line in lines]
    elif edit == "units":
        lines = [line.replace("AND G/10", "AND FURLONGS") for line in lines]
    else:
        lines.insert(end, "  0.5")  # one value past the stated count, before the channel's "/&"
    path = write(tmp_path / name.split("/")[-1], lines)
    with pytest.raises(RecordError) as e:
        read_records(path)
    assert str(e.value).startswith(f"{path}, " + message.format(end=end + 1, npts=npts))
