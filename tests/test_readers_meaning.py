"""The readers read what the files mean: each real sample file is parsed here a
second time, by a small parser of this test written from the file's own layout
(not the package's code), and every sample, the count, the step and the time
of the stated peak must agree; then variants of the same files (other units,
a time column that starts later, several magnitudes) are checked the same way."""
import re

import numpy as np
import pytest

from tavotools.constants import G
from tavotools.records import RecordError, read_records

F = "formats"
FACTOR = {"g": G, "g/10": G / 10, "cm/s2": 0.01, "gal": 0.01, "mm/s2": 0.001}


def fixed(lines, n, width, per_line):
    """`n` fixed-width fields from `lines` (`per_line` a line), and the lines after them."""
    values, k = [], 0
    while len(values) < n:
        line = lines[k].rstrip("\r\n")
        take = min(per_line, n - len(values))
        values += [float(line[j * width:(j + 1) * width]) for j in range(take)]
        k += 1
    return values, lines[k:]


def read_lines(path):
    return path.read_bytes().decode("latin-1").splitlines()


# Each parser returns, per channel: (samples as printed, units, dt, time of the stated peak or None).

def smc(path):
    lines = read_lines(path)
    ints, rest = fixed(lines[11:], 48, 10, 8)
    reals, rest = fixed(rest, 50, 15, 5)
    samples, _ = fixed(rest[int(ints[15]):], int(ints[16]), 10, 8)
    return [(samples, "cm/s2", 1 / reals[1], None)]


def dmg(path):
    lines, out = read_lines(path), []
    for k, line in enumerate(lines):
        v2 = re.match(r"\s*(\d+) points of accel data equally spaced at\s+(\S+?)\.? sec", line, re.I)
        v1 = re.match(r"\s*(\d+) Accelerogram points at (\d+) pts/sec", line, re.I)
        if not (v1 or v2):
            continue
        form = re.search(r"\((\d+)f(\d+)", line, re.I)
        per_line, width = (int(form.group(1)), int(form.group(2))) if form else (8, 10)
        npts = int((v2 or v1).group(1))
        dt = float(v2.group(2)) if v2 else 1 / float(v1.group(2))
        samples, _ = fixed(lines[k + 1:], npts, width, per_line)
        header = "\n".join(lines[max(0, k - 60):k])
        stated = re.findall(r"(?:Peak acceleration|Max)\s*=\s*\S+\s+\S+\s*,?\s+at\s+(\S+)\s+sec",
                            header, re.I)
        out.append((samples, "cm/s2" if v2 else "g", dt, float(stated[-1])))
    return out


def cosmos(path):
    lines = read_lines(path)
    k = next(i for i, line in enumerate(lines) if "acceleration pts" in line)
    m = re.match(r"\s*(\d+)\s.*Format=\((\d+)[EF](\d+)", lines[k])
    reals_at = next(i for i, line in enumerate(lines) if "Real-header" in line)
    rm = re.search(r"\((\d+)F(\d+)", lines[reals_at])
    reals, _ = fixed(lines[reals_at + 1:], 100, int(rm.group(2)), int(rm.group(1)))
    samples, _ = fixed(lines[k + 1:], int(m.group(1)), int(m.group(3)), int(m.group(2)))
    peak = re.search(r"Max\s*=\s*\S+\s+\S+\s+at\s+(\S+)\s+sec", lines[10])
    return [(samples, "cm/s2", reals[61] / 1000, float(peak.group(1)))]


def geonet(path):
    lines, out = read_lines(path), []
    while lines:
        ints, rest = fixed(lines[16:], 40, 8, 10)
        reals, rest = fixed(rest, 60, 8, 10)
        counts = [int(v) for v in ints[33:36]]
        samples, rest = fixed(rest, counts[0], 8, 10)
        for n in counts[1:]:
            _, rest = fixed(rest, n, 8, 10) if n else ([], rest)
        # The stated peak's time counts from the end of the leading pad (integer 32, samples).
        peak = float(re.search(r"Acceleration:\s+peak\s+\S+\s+\S+\s+at\s+(\S+)", lines[13]).group(1))
        out.append((samples, "mm/s2", reals[25], peak + ints[31] * reals[25]))
        lines = [line for line in rest] if any(line.strip() for line in rest) else []
    return out


def usc(path):
    lines = read_lines(path)
    k = next(i for i, line in enumerate(lines) if "POINTS OF ACC DATA" in line)
    m = re.match(r"\s*(\d+) POINTS OF ACC DATA EQUALLY SPACED AT\s+(\S+) SEC", lines[k])
    samples, _ = fixed(lines[k + 1:], int(m.group(1)), 10, 8)
    peak = re.search(r"PEAK ACCELERATION =.*AT\s+(\S+)\s+SEC", "\n".join(lines[:k]))
    return [(samples, "cm/s2", float(m.group(2)), float(peak.group(1)))]


def renadic(path):
    lines, out = read_lines(path), []
    while lines and lines[0].strip():
        npts = int(re.search(r"NO\. OF POINTS =\s*(\d+)", lines[10]).group(1))
        peak = float(re.search(r"AT\s+(\S+)\s+SEC", lines[11]).group(1))
        _, rest = fixed(lines[13:], 100, 5, 16)
        _, rest = fixed(rest, 50, 10, 8)
        pairs, rest = fixed(rest, 2 * npts, 7, 10)
        out.append((pairs[1::2], "g/10", pairs[2] - pairs[0], peak))
        lines = rest[1:]  # the "/&" line
    return out


def bhrc(path):
    lines, out = read_lines(path), []
    while lines and lines[0].strip():
        npts = int(re.search(r"NO\. OF POINTS =\s*(\d+)", lines[10]).group(1))
        rate = float(lines[13 + 7 + 1][:13])  # after the 7 lines of integers
        samples, rest = fixed(lines[13 + 7 + 7:], npts, 13, 10)
        out.append((samples, "g/10", 1 / rate, None))
        lines = rest[1:]
    return out


def unam(path):
    lines = read_lines(path)
    header = "\n".join(lines)
    count = int(re.search(r"NUM\. TOTAL DE MUESTRAS, C1-C6\s*: /(\d+)", header).group(1))
    step = float(re.search(r"INTERVALO DE MUESTREO, C1-C6 \(s\)\s*: /([\d.]+)", header).group(1))
    at = [int(v) for v in re.search(r"EN LA MUESTRA\s*: /(\d+)/(\d+)/(\d+)", header).groups()]
    start = max(i for i, line in enumerate(lines) if line.startswith("---------+")) + 1
    rows = [[float(line[j * 10:(j + 1) * 10]) for j in range(3)] for line in lines[start:start + count]]
    return [([row[c] for row in rows], "gal", step, at[c] * step) for c in range(3)]


def at2(path):
    lines = read_lines(path)
    m = re.search(r"NPTS=\s*(\d+),\s*DT=\s*(\S+)", lines[3])
    samples = [float(v) for line in lines[4:] for v in line.split()]
    assert len(samples) == int(m.group(1))
    return [(samples, "g", float(m.group(2)), None)]


def csv(path):
    rows = [line.split(",") for line in read_lines(path)[1:] if line.strip()]
    times = [float(r[0]) for r in rows]
    return [([float(r[1]) for r in rows], "g", times[1] - times[0], 2.04)]


def esm(path):
    lines = read_lines(path)
    keys = dict(line.split(":", 1) for line in lines if re.match(r"[A-Z_/^0-9]+:", line))
    start = next(i for i, line in enumerate(lines) if not re.match(r"[A-Z_/^0-9().\-]+:", line))
    samples = [float(v) for line in lines[start:] for v in line.split()]
    return [(samples, "cm/s2", float(keys["SAMPLING_INTERVAL_S"]), float(keys["TIME_PGA_S"]))]


def afad(path):
    lines = read_lines(path)
    start = next(i for i, line in enumerate(lines) if line.split() == ["N-S", "E-W", "U-D"]) + 1
    rows = [[float(v) for v in line.split()] for line in lines[start:] if line.strip()]
    return [([row[c] for row in rows], "gal", 0.01, None) for c in range(3)]


def cwa(path):
    rows = [[float(v) for v in line.split()] for line in read_lines(path)
            if line.strip() and not line.startswith("#")]
    return [([row[c] for row in rows], "gal", 1 / 50, None) for c in (1, 2, 3)]


SAMPLES = [
    ("usgs_smc_lomaprieta/0111a.smc", smc),
    ("usgs_smc_lomaprieta/0111b.smc", smc),
    ("usgs_smc_lomaprieta/0111c.smc", smc),
    ("cdmg_coalinga/ce36456p_CE36456.V2", dmg),
    ("elcentro1940_chopra/elcentro_chopra.csv", csv),
    (f"{F}/dmg/CE89146.V1", dmg),
    (f"{F}/dmg/CE89146.V2", dmg),
    (f"{F}/cosmos/Cosmos12TimeSeriesTest.v1", cosmos),
    (f"{F}/cosmos/us1000hyfh_akbmrp_AKBMR--n.1000hyfh.BNZ.--.acc.V2c", cosmos),
    (f"{F}/geonet/20180212_211557_WPWS_20.V2A", geonet),
    (f"{F}/usc/017m30bt.s0a", usc),
    (f"{F}/renadic/cuya0911131.v1", renadic),
    (f"{F}/bhrc/5522-1.V1", bhrc),
    (f"{F}/unam/CUP50401.012", unam),
    (f"{F}/peer/RSN763_LOMAP_GIL067.AT2", at2),
    (f"{F}/esm/HI.ARS1..HNE.D.20190728.160908.C.ACC.ASC", esm),
    (f"{F}/esm/HI.ARS1..HNZ.D.20190728.160908.C.ACC.ASC", esm),
    (f"{F}/nsmn/20170720223109_0921.txt", afad),
    (f"{F}/cwa/1-EAS.dat", cwa),
]


def check_channel(r, samples, units, dt, peak_time):
    assert r.npts == len(samples)
    assert r.dt == pytest.approx(dt, rel=1e-12)
    assert r.units == units or FACTOR[r.units] == FACTOR[units]
    expected = np.array(samples) * FACTOR[units]
    np.testing.assert_array_equal(r.accel, expected)
    if peak_time is not None:
        # The stated peak is at the sample the reader puts there: no sample shifted,
        # dropped or repeated before it.
        assert abs(r.accel[round(peak_time / r.dt)]) == np.abs(r.accel).max()


@pytest.mark.parametrize("name, parser", SAMPLES, ids=[s[0].split("/")[-1] for s in SAMPLES])
def test_every_sample_where_the_file_puts_it(data, name, parser):
    records = read_records(data / name)
    channels = parser(data / name)
    assert len(records) == len(channels)
    for r, (samples, units, dt, peak_time) in zip(records, channels):
        check_channel(r, samples, units, dt, peak_time)


# ---- variants of the real files ---------------------------------------------------------

UNAM = f"{F}/unam/CUP50401.012"
UNAM_UNITS = "UNIDADES DE LOS DATOS                  : Gal (cm/s/s)"


@pytest.mark.parametrize("stated, units", [("Gal (cm/s/s)", "gal"), ("g", "g"), ("m/s2", "m/s2"),
                                           ("cm/s2", "cm/s2")])
def test_unam_peaks_are_in_gal_whatever_the_data_units(edited, data, stated, units):
    """The peaks' key says Gal ("ACEL. MAX.(Gal)"); the data's units scale the samples only."""
    path = edited(UNAM, [(UNAM_UNITS, UNAM_UNITS.replace("Gal (cm/s/s)", stated))])
    records = read_records(path)
    channels = unam(data / UNAM)
    for r, (samples, _, dt, peak_time), peak in zip(records, channels, ["0.47", "-1.19", "1.22"]):
        assert r.units == units
        np.testing.assert_array_equal(r.accel, np.array(samples) * {**FACTOR, "m/s2": 1.0}[units])
        assert r.stated_pga == abs(float(peak)) * 0.01


COSMOS = f"{F}/cosmos/Cosmos12TimeSeriesTest.v1"
COSMOS_MAGNITUDES = "ML=4.9, Mw=4.8(CIT), Ms=4.2(NEIC)"


@pytest.mark.parametrize("line, kind", [
    (COSMOS_MAGNITUDES, "Mw"),            # the file as it is: real 13 is 4.8, its Mw
    ("Mw=4.8(CIT), ML=4.9", "Mw"),
    ("Ms=4.2, ML=4.8", "ML"),
    ("ML=4.80", "ML"),
    ("Mw=5, ML=4.8", "ML"),               # the nearer of two that both round to it
    ("ML=4.9, Ms=4.2", None),             # neither is real 13's 4.8: no type is guessed
])
def test_cosmos_magnitude_type_is_that_of_the_stated_magnitude(edited, line, kind):
    path = edited(COSMOS, [(COSMOS_MAGNITUDES, line)])
    (r,) = read_records(path)
    assert (r.event.magnitude, r.event.magnitude_type) == (4.8, kind)


def test_cosmos_magnitude_from_the_text_when_real_13_states_none(edited):
    reals = "     4.800000     4.200000     4.900000     5.100000    45.030000   120.500000"
    path = edited(COSMOS, [(COSMOS_MAGNITUDES, "Ms=4.2, ML=4.9"),
                           (reals, reals.replace("     4.800000", "  -999.000000", 1))])
    (r,) = read_records(path)
    assert (r.event.magnitude, r.event.magnitude_type) == (4.2, "Ms")


CWA = f"{F}/cwa/1-EAS.dat"


@pytest.mark.parametrize("shift", [0.0, 10.0, 0.5, -2.0])
def test_cwa_start_is_that_of_the_first_row_of_the_time_column(data, tmp_path, shift):
    """The time column counts from StartTime: a first row at 10.000 starts the record 10 s later."""
    import datetime as dt

    text = (data / CWA).read_text()
    lines = [f"{float(line[:10]) + shift:10.3f}{line[10:]}"
             if line.strip() and not line.startswith("#") else line for line in text.split("\n")]
    path = tmp_path / "shifted.dat"
    path.write_text("\n".join(lines))
    records, original = read_records(path), read_records(data / CWA)
    for r, o in zip(records, original):
        np.testing.assert_array_equal(r.accel, o.accel)
        assert r.start_time == o.start_time + dt.timedelta(seconds=shift)


@pytest.mark.parametrize("header, columns", [("time,ax (g),ay (g)", 3), ("Time(s) NS EW UD", 4),
                                             ("t[s];a1;a2", 3), ("time_s, x, y, z", 4)])
@pytest.mark.parametrize("dt", [None, 0.01])
def test_text_table_of_time_and_several_components_is_refused(tmp_path, header, columns, dt):
    """Read as several samples a line, its times would be samples between the components'."""
    rows = [",".join([f"{k * 0.01:.2f}"] + [f"0.{k}{j}" for j in range(1, columns)])
            for k in range(5)]
    path = tmp_path / "table.csv"
    path.write_text("\n".join([header] + rows) + "\n")
    with pytest.raises(RecordError, match=f"line 1: the header names the first of {columns} "
                                          f"columns time"):
        read_records(path, dt=dt, units=None if "(g)" in header else "g")


@pytest.mark.parametrize("header", ["acc (g)", "T=0.01 s, 3 samples a line (g)", ""])
def test_text_several_samples_a_line_still_read_row_by_row(tmp_path, header):
    path = tmp_path / "rows.txt"
    path.write_text("\n".join(([header] if header else []) + ["0.1 0.2 0.3", "0.4 0.5 0.6", "0.7"])
                    + "\n")
    (r,) = read_records(path, dt=0.01, units=None if header else "g")
    np.testing.assert_array_equal(r.accel, np.array([0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7]) * G)


def test_dmg_each_channel_its_own_step_and_units(data, tmp_path):
    """A multi-channel file whose second channel differs: read with its own data line."""
    name = f"{F}/dmg/CE89146.V2"
    line = " 12000 points of accel data equally spaced at  .005 sec, in cm/sec2. (8f10.6)"
    text = (data / name).read_bytes().decode("latin-1")
    # Channel 2's header states its step again, and must agree with its data line.
    step = "At equally-spaced intervals of    .005  sec."
    at = text.index(step, text.index(step) + 1)
    text = text[:at] + step.replace(".005", ".010") + text[at + len(step):]
    k = text.index(line, text.index(line) + 1)  # channel 2's
    path = tmp_path / "CE89146.V2"
    path.write_bytes((text[:k] + line.replace(".005", ".010").replace("cm/sec2", "g")
                      + text[k + len(line):]).encode("latin-1"))
    records, channels = read_records(path), dmg(data / name)
    for c, (r, (samples, units, dt, _)) in enumerate(zip(records, channels)):
        if c == 1:
            units, dt = "g", 0.01
        check_channel(r, samples, units, dt, None)


def test_afad_columns_in_the_order_the_title_names_them(edited, data):
    name = f"{F}/nsmn/20170720223109_0921.txt"
    path = edited(name, [("       N-S          E-W          U-D",
                           "       E-W          U-D          N-S")])
    records, channels = read_records(path), afad(data / name)
    assert [r.component for r in records] == ["E-W", "U-D", "N-S"]
    # The stated peaks follow the names, not the columns.
    assert [r.stated_pga for r in records] == [v * 0.01 for v in (12.163827, 9.840572, 13.200332)]
    for r, (samples, units, dt, _) in zip(records, channels):
        check_channel(r, samples, units, dt, None)


def test_cwa_time_column_beyond_any_date_is_a_record_error(data, tmp_path):
    text = (data / CWA).read_text().split("\n")
    header = [line.replace("RecordLength(sec): 120", "RecordLength(sec): 0.02")
              for line in text if line.startswith("#") or not line.strip()]
    path = tmp_path / "far.dat"
    path.write_text("\n".join(header) + "\n     1e300     0.000     0.000     0.000\n")
    with pytest.raises(RecordError, match="beyond any date"):
        read_records(path)


RENADIC = f"{F}/renadic/cuya0911131.v1"
RENADIC_TRIGGER = "TRIGGER TIME: 1/1/1980 0:00:00.000 GMT"


@pytest.mark.parametrize("first, start", [("  0.000", 0.0), ("  2.500", 2.5), (" -1.000", -1.0)])
def test_renadic_start_is_the_trigger_plus_the_first_time(data, tmp_path, first, start):
    import datetime as dt

    text = (data / RENADIC).read_bytes().decode("latin-1").replace(
        RENADIC_TRIGGER, "TRIGGER TIME: 9/13/2011 14:20:05.000 GMT")
    shift = float(first)
    lines = text.split("\n")
    for k, line in enumerate(lines):  # every time of the pairs, 5 a line in 14 columns
        if re.fullmatch(r"(?: *-?\d+\.\d{3} *-?\d+\.\d{3})+\r?", line) and len(line.rstrip()) % 14 == 0:
            cells = [line[j:j + 14] for j in range(0, len(line.rstrip()), 14)]
            lines[k] = "".join(f"{float(c[:7]) + shift:7.3f}{c[7:]}" for c in cells) + \
                ("\r" if line.endswith("\r") else "")
    path = tmp_path / "cuya.v1"
    path.write_bytes("\n".join(lines).encode("latin-1"))
    records, original = read_records(path), read_records(data / RENADIC)
    for r, o in zip(records, original):
        np.testing.assert_array_equal(r.accel, o.accel)
        assert r.dt == o.dt
        assert r.start_time == dt.datetime(2011, 9, 13, 14, 20, 5, tzinfo=dt.timezone.utc) + \
            dt.timedelta(seconds=start)
