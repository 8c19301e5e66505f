"""The readers read what the files mean: each real sample file is parsed here a
second time, by a small parser of this test written from the file's own layout
(not the package's code), and every sample, the count, the step and the time
of the stated peak must agree; then variants of the same files (other units,
a time column that starts later, several magnitudes) are checked the same way."""
import re

import numpy as np
import pytest

from tavotools.constants import G
from tavotools.records import read_records

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

