"""RotD0/50/100 against a brute-force rotation of real records, the exactness of
PGA at every angle, the components as recorded, invariance, and the errors."""
import datetime
import math
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from tavotools import _spectra, tavo
from tavotools.records import Record, read_records
from tavotools.rotd import ANGLES, COS, SIN, rotd
from tavotools.spectra import STANDARD_PERIODS, response_spectrum
from tavotools.obe import obe_check
from tavotools.summary import summarize_components

# Every eighth standard period, 0.01 s to 20 s, and the longest.
PERIODS = np.append(STANDARD_PERIODS[::8], STANDARD_PERIODS[-1])
SPECTRA = ("SD", "PSV", "PSA")

# Horizontal pairs of real records: (files under the data folder, substeps).
PAIRS = {
    "lomaprieta-smc": (["usgs_smc_lomaprieta/0111a.smc", "usgs_smc_lomaprieta/0111c.smc"], 1),
    "coalinga-v2": (["cdmg_coalinga/ce36456p_CE36456.V2"], 3),
    "dmg-v2": (["formats/dmg/CE89146.V2"], 1),
    "knet": (["formats/knet/CHB0021412312349.EW", "formats/knet/CHB0021412312349.NS"], 1),
    "kiknet": (["formats/kiknet/AICH040010061330.EW2", "formats/kiknet/AICH040010061330.NS2"], 1),
    "esm": (["formats/esm/HI.ARS1..HNE.D.20190728.160908.C.ACC.ASC",
             "formats/esm/HI.ARS1..HNN.D.20190728.160908.C.ACC.ASC"], 1),
    "geonet": (["formats/geonet/20180212_211557_WPWS_20.V2A"], 1),
    "cwa": (["formats/cwa/1-EAS.dat"], 1),
    "nsmn": (["formats/nsmn/20170720223109_0921.txt"], 1),
}


def horizontals(data, files):
    """The first two horizontal records of the files; skips formats not read yet."""
    records = []
    for name in files:
        try:
            records += read_records(data / name)
        except ValueError as e:
            pytest.skip(f"{name} is not read: {e}")
    pair = [r for r in records if not r.is_vertical][:2]
    assert len(pair) == 2, [r.component for r in records]
    return pair


def cut(h1, h2):
    n = min(h1.npts, h2.npts)
    return h1.accel[:n], h2.accel[:n]


@pytest.fixture(params=sorted(PAIRS), scope="module")
def pair(request, data):
    files, substeps = PAIRS[request.param]
    h1, h2 = horizontals(data, files)
    return h1, h2, substeps


def brute_force(a1, a2, dt, substeps):
    """Rotate first (with an angle table of NumPy's own), then one spectrum per angle."""
    theta = np.deg2rad(np.arange(180))
    peaks = {m: [] for m in ("PGA", "PGV") + SPECTRA}
    for c, s in zip(np.cos(theta), np.sin(theta)):
        x = a1 * c + a2 * s
        sp = response_spectrum(x, dt, periods=PERIODS, substeps=substeps)
        peaks["PGA"].append(tavo.get_PGA_cy(x))
        peaks["PGV"].append(tavo.get_PGV_cy(x, dt))
        for m in SPECTRA:
            peaks[m].append(getattr(sp, m))
    return {m: np.array(v).T for m, v in peaks.items()}


def test_rotd_matches_brute_force_rotation(pair):
    h1, h2, substeps = pair
    percentiles = (0, 10, 50, 84, 100)
    r = rotd(h1, h2, periods=PERIODS, percentiles=percentiles, substeps=substeps, trim=True)
    a1, a2 = cut(h1, h2)
    brute = brute_force(a1, a2, h1.dt, substeps)
    for m, peaks in brute.items():
        want = np.percentile(peaks, percentiles, axis=-1)
        np.testing.assert_allclose(getattr(r, m), want, rtol=1e-12, atol=0, err_msg=m)
    for m in SPECTRA:
        at_max = np.take_along_axis(brute[m], np.argmax(getattr(r.peaks, m), axis=-1)[:, None], 1)
        np.testing.assert_allclose(at_max[:, 0], getattr(r, m)[-1], rtol=1e-12, atol=0)


def test_pga_at_every_angle_is_the_module_function_of_the_rotated_series(pair):
    # The same arithmetic: x = h1·cos + h2·sin rounded as NumPy rounds it, then get_PGA_cy.
    h1, h2, _ = pair
    r = rotd(h1, h2, periods=(), trim=True)
    a1, a2 = cut(h1, h2)
    want = [tavo.get_PGA_cy(a1 * c + a2 * s) for c, s in zip(COS, SIN)]
    assert r.peaks.PGA.tolist() == want
    assert r.PGA.tolist() == np.percentile(want, (0, 50, 100)).tolist()


def test_pgv_at_every_angle(pair):
    # The velocities are integrated once per component and rotated: equal to the
    # integral of the rotated series up to rounding, exactly so where no rotation mixes them.
    h1, h2, _ = pair
    r = rotd(h1, h2, periods=(), trim=True)
    a1, a2 = cut(h1, h2)
    want = np.array([tavo.get_PGV_cy(a1 * c + a2 * s, h1.dt) for c, s in zip(COS, SIN)])
    np.testing.assert_allclose(r.peaks.PGV, want, rtol=1e-12, atol=0)
    assert r.peaks.PGV[0] == tavo.get_PGV_cy(a1, h1.dt)
    assert r.peaks.PGV[90] == tavo.get_PGV_cy(a2, h1.dt)


def test_components_as_recorded_and_their_geometric_mean(pair):
    h1, h2, substeps = pair
    r = rotd(h1, h2, periods=PERIODS, substeps=substeps, trim=True)
    a1, a2 = cut(h1, h2)
    s1 = response_spectrum(a1, h1.dt, periods=PERIODS, substeps=substeps)
    s2 = response_spectrum(a2, h1.dt, periods=PERIODS, substeps=substeps)
    for m in SPECTRA:
        assert getattr(r.peaks, m)[:, 0].tolist() == getattr(s1, m).tolist()
        assert getattr(r.peaks, m)[:, 90].tolist() == getattr(s2, m).tolist()
        assert getattr(r.geometric_mean, m).tolist() == \
            np.sqrt(getattr(s1, m) * getattr(s2, m)).tolist()
    pga, pgv = tavo.get_PGA_cy, tavo.get_PGV_cy
    assert r.geometric_mean.PGA == math.sqrt(pga(a1) * pga(a2))
    assert r.geometric_mean.PGV == math.sqrt(pgv(a1, h1.dt) * pgv(a2, h1.dt))


@pytest.mark.parametrize("scale", [1e160, 1e-160])
def test_geometric_mean_of_extreme_records_is_finite_and_accurate(scale):
    # sqrt(x1 * x2) once gave inf for peaks past 1e154, and 0 below 1e-162.
    rng = np.random.default_rng(5)
    a1, a2 = rng.normal(size=(2, 800)) * scale
    r = rotd(a1, a2, dt=0.01, periods=PERIODS)
    s = summarize_components(a1, a2, a1.copy(), dt=0.01)
    cases = [(r.geometric_mean.PGA, r.peaks.PGA[0], r.peaks.PGA[90]),
             (r.geometric_mean.PSA, r.peaks.PSA[:, 0], r.peaks.PSA[:, 90])]
    if scale > 1:  # a tiny record's windows are all silenced: its CAVstd is 0
        cases.append((s.CAVstd_gm, s.h1.CAVstd, s.h2.CAVstd))
    for gm, x1, x2 in cases:
        k = 2.0 ** -round(math.log2(scale))  # a power of two: the scaling is exact
        want = np.sqrt((x1 * k) * (x2 * k)) / k
        assert np.all(np.isfinite(gm)) and np.all(np.asarray(gm) > 0)
        np.testing.assert_allclose(gm, want, rtol=1e-15)


@pytest.mark.parametrize("x1, x2, message", [
    (-1.0, -4.0, "x1 must be a non-negative measure, not -1.0"),  # sqrt(4): 2 once
    (2.0, -8.0, "x2 must be a non-negative measure, not -8.0"),
    (np.array([1.0, 4.0]), np.array([1.0, -0.5]), "x2 must be a non-negative measure, not -0.5"),
    (0.0, 3.0, None), (np.nan, 1.0, None), (np.array([4.0, 0.0]), np.array([9.0, 5.0]), None),
])
def test_geometric_mean_of_a_negative_measure_is_refused(x1, x2, message):
    from tavotools.components import geometric_mean

    if message:
        with pytest.raises(ValueError) as e:
            geometric_mean(x1, x2)
        assert str(e.value) == message
    else:
        assert np.array_equal(geometric_mean(x1, x2), np.sqrt(np.multiply(x1, x2)),
                              equal_nan=True)


def test_ordering_and_components_below_rotd100(pair):
    h1, h2, substeps = pair
    r = rotd(h1, h2, periods=PERIODS, substeps=substeps, trim=True)
    a1, a2 = cut(h1, h2)
    for m in ("PGA", "PGV") + SPECTRA:
        v = getattr(r, m)
        assert np.all(v[0] <= v[1]) and np.all(v[1] <= v[2]), m
    assert r.PGA[2] >= max(tavo.get_PGA_cy(a1), tavo.get_PGA_cy(a2))
    assert r.PGV[2] >= max(tavo.get_PGV_cy(a1, h1.dt), tavo.get_PGV_cy(a2, h1.dt))
    for a in (a1, a2):
        sp = response_spectrum(a, h1.dt, periods=PERIODS, substeps=substeps)
        assert np.all(r.PSA[2] >= sp.PSA)


@pytest.mark.parametrize("change, angle", [
    # (how the pair changes, where angle k of the original is found afterwards)
    (lambda a, b: (b, a), lambda k: (90 - k) % 180),
    (lambda a, b: (-a, b), lambda k: (180 - k) % 180),
    (lambda a, b: (a, -b), lambda k: (180 - k) % 180),
    (lambda a, b: (-b, -a), lambda k: (90 - k) % 180),
])
def test_rotated_pair_has_the_same_rotd_bit_for_bit(pair, change, angle):
    # The angle table is exactly symmetric, so these changes permute the 180 peaks.
    h1, h2, _ = pair
    a1, a2 = cut(h1, h2)
    r = rotd(a1, a2, h1.dt, periods=PERIODS)
    b1, b2 = change(a1, a2)
    s = rotd(b1, b2, h1.dt, periods=PERIODS)
    moved = [angle(k) for k in range(180)]
    for m in ("PGA", "PGV") + SPECTRA:
        assert getattr(s, m).tolist() == getattr(r, m).tolist(), m
        assert getattr(s.peaks, m)[..., moved].tolist() == getattr(r.peaks, m).tolist(), m


def test_angle_table_is_exact_where_it_can_be_and_symmetric():
    assert (COS[0], SIN[0], COS[90], SIN[90]) == (1.0, 0.0, 0.0, 1.0)
    k = np.arange(1, 90)
    assert COS[k].tolist() == SIN[90 - k].tolist()
    assert COS[180 - k].tolist() == (-COS[k]).tolist()
    assert SIN[180 - k].tolist() == SIN[k].tolist()
    # Within an ulp or two of NumPy's own, which loses digits of π near 180°.
    theta = np.deg2rad(ANGLES)
    np.testing.assert_allclose(COS, np.cos(theta), rtol=0, atol=4.5e-16)
    np.testing.assert_allclose(SIN, np.sin(theta), rtol=0, atol=4.5e-16)
    assert ANGLES.tolist() == list(range(180)) and not COS.flags.writeable


def synthetic_pair(n=3000, seed=3):
    rng = np.random.default_rng(seed)
    t = np.arange(n) * 0.01
    envelope = t * np.exp(-t / 4.0)
    return envelope * rng.standard_normal(n), 0.7 * envelope * rng.standard_normal(n)


def test_percentiles_are_numpys_and_angles_are_where_rotd100_occurs():
    a1, a2 = synthetic_pair()
    r = rotd(a1, a2, 0.01, periods=PERIODS, percentiles=(0, 12.5, 50, 99.9, 100))
    for m in ("PGA", "PGV") + SPECTRA:
        peaks = getattr(r.peaks, m)
        assert getattr(r, m).tolist() == np.percentile(peaks, r.percentiles, axis=-1).tolist()
        assert getattr(r, m)[0].tolist() == np.min(peaks, axis=-1).tolist()
        assert getattr(r, m)[-1].tolist() == np.max(peaks, axis=-1).tolist()
        angle = np.asarray(getattr(r, f"{m}_angle"))
        k = angle.astype(int)
        assert np.all(k == angle)
        assert np.take_along_axis(np.atleast_2d(peaks), np.atleast_1d(k)[:, None], 1).ravel() \
            .tolist() == np.atleast_1d(getattr(r, m)[-1]).tolist()
    assert r.value("PSA", 12.5).tolist() == r.PSA[1].tolist() and r.value("PGV", 100) == r.PGV[4]


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.int64).tolist()


@pytest.mark.parametrize("mask", [0x40, 0x8040, 0x8000], ids=["daz", "ftz_daz", "ftz"])
@pytest.mark.parametrize("n, at", [(2, 0), (10, 0), (40, 25)])
def test_peaks_that_compare_equal_to_zero_with_subnormals_flushed(n, at, mask, flush_to_zero):
    """With denormals-are-zero set a subnormal compares equal to zero: the peak at an
    angle is still the first value of the rotated series, as get_PGA_cy keeps it."""
    # Equal and opposite normal samples: near 45° they rotate to subnormals (as do their
    # velocities), elsewhere to normals. Zeros before them (`at`) come first.
    h1 = np.zeros(n)
    h1[at] = 2.0**-1020
    h2 = -h1
    flush_to_zero(mask)
    r = rotd(h1, h2, 1.0, periods=[])
    v1, v2 = (np.cumsum(1.0 * (h[1:] + h[:-1]) / 2.0) for h in (h1, h2))
    pga = [tavo.get_PGA_cy(h1 * c + h2 * s) for c, s in zip(COS, SIN)]
    pgv = [tavo.get_PGA_cy(v1 * c + v2 * s) for c, s in zip(COS, SIN)]
    assert bits(r.peaks.PGA) == bits(pga)
    assert bits(r.peaks.PGV) == bits(pgv)
    assert bits(r.PGA) == bits(np.percentile(pga, (0, 50, 100)))


def test_inputs_untouched_results_read_only_and_threads_agree():
    a1, a2 = synthetic_pair()
    c1, c2 = a1.copy(), a2.copy()
    r = rotd(Record(a1, 0.01), a2, 0.01, periods=PERIODS)
    assert a1.tolist() == c1.tolist() and a2.tolist() == c2.tolist()
    for m in ("PGA", "PSA", "PSA_angle"):
        with pytest.raises(ValueError):
            getattr(r, m)[0] = 1.0
    with ThreadPoolExecutor(4) as pool:
        runs = list(pool.map(lambda _: rotd(a1, a2, 0.01, periods=PERIODS), range(8)))
    assert all(s.PSA.tolist() == r.PSA.tolist() and s.PGV.tolist() == r.PGV.tolist() for s in runs)


def test_no_periods_gives_pga_and_pgv_only_and_trim_notes():
    a1, a2 = synthetic_pair()
    r = rotd(a1, a2[:-7], 0.01, periods=[], trim=True)
    assert r.PSA.shape == (3, 0) and r.PSA_angle.shape == (0,) and r.npts == a1.size - 7
    assert r.notes == (f"trimmed to {a1.size - 7} samples (H1 dropped 7)",)
    assert r.PGA.tolist() == rotd(a1[:-7], a2[:-7], 0.01, periods=[]).PGA.tolist()
    assert rotd(a1, a2, 0.01, periods=None).periods.size == 301


@pytest.mark.parametrize("shift, refused", [(0.0, False), (0.0024, False), (0.0025, True),
                                             (1.0, True), (-3.0, True), (None, False)])
def test_records_must_start_together(shift, refused):
    # Rotation combines the samples of one index: records a second apart were once
    # rotated as if simultaneous. Within half a step (0.005 s here) they are.
    a1, a2 = synthetic_pair()
    t0 = datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc)
    later = None if shift is None else t0 + datetime.timedelta(seconds=shift)
    h1, h2 = Record(a1, 0.005, start_time=t0), Record(a2, 0.005, start_time=later)
    if refused:
        with pytest.raises(ValueError) as e:
            rotd(h1, h2, periods=[1.0])
        assert str(e.value) == (
            f"H1 and H2 start {abs(shift):g} s apart ({t0.isoformat()} and {later.isoformat()}): "
            f"the samples of one index are not simultaneous, so they cannot be rotated")
    else:
        assert rotd(h1, h2, periods=[1.0]).PSA.tolist() == \
            rotd(a1, a2, 0.005, periods=[1.0]).PSA.tolist()



@pytest.mark.parametrize("second, refused", [
    (dict(station="ABD"), "stations ('ABC' and 'ABD')"),
    (dict(network="YY"), "networks ('XX' and 'YY')"),
    (dict(location="surface"), "locations ('borehole' and 'surface')"),  # KiK-net's two sensors
    (dict(channel="HHN"), "sensors ('HN' and 'HH')"),  # the broadband sensor beside it
    (dict(channel="hnn"), None),
    (dict(station=None, network=None, location=None, channel=None), None),  # not stated
])
def test_records_must_be_of_one_station_and_sensor(second, refused):
    # Two stations', or two sensors', horizontals are no one motion's components.
    a1, a2 = synthetic_pair()
    first = dict(station="ABC", network="XX", location="borehole", channel="HNE")
    h1, h2 = Record(a1, 0.005, **first), Record(a2, 0.005, **{**first, "channel": "HNN",
                                                                **second})
    if refused:
        with pytest.raises(ValueError) as e:
            rotd(h1, h2, periods=[])
        assert str(e.value) == (f"H1 and H2 are records of different {refused}: not the "
                                f"components of one motion")
        with pytest.raises(ValueError, match=f"^H1, H2 and V are records of different "
                                             f"{refused.split()[0]}"):
            summarize_components(h1, h2, h1)
    else:
        assert rotd(h1, h2, periods=[1.0]).PSA.tolist() == \
            rotd(a1, a2, 0.005, periods=[1.0]).PSA.tolist()

@pytest.mark.parametrize("first, second, refused", [
    (dict(channel="HNE"), dict(channel="HNE"), "'HNE'"),
    (dict(channel="HNE"), dict(channel="hne "), "'hne '"),  # a code in another case
    (dict(channel=1, path="CE89146.V2"), dict(channel=1, path="CE89146.V2"), "1"),
    (dict(channel=1, path="a.v2"), dict(channel=1, path="b.v2"), None),  # each file's own 1
    (dict(channel="HNE"), dict(channel="HNN"), None),
    (dict(), dict(), None),  # nothing stated: nothing to tell them by
])
def test_one_channel_given_twice_is_refused(first, second, refused):
    a1, a2 = synthetic_pair()
    h1, h2 = Record(a1, 0.005, station="ABC", **first), Record(a2, 0.005, station="ABC", **second)
    v = Record(a1 * 0.5, 0.005, station="ABC")
    calls = (lambda: rotd(h1, h2, periods=[]), lambda: summarize_components(h1, h2, v),
             lambda: summarize_components(h1, v, h2), lambda: obe_check(v, h1, h2))
    slots = ("H1 and H2", "H1 and H2", "H1 and V", "H2 and V")
    for call, which in zip(calls, slots):
        if refused:
            with pytest.raises(ValueError) as e:
                call()
            assert str(e.value) == (f"{which} are both channel {refused}: the same component "
                                    f"given twice, not two components of one motion")
        else:
            call()
    if not refused:
        assert rotd(h1, h2, periods=[]).PGA.tolist() == rotd(a1, a2, 0.005, periods=[]).PGA.tolist()


A = np.ones(10)


@pytest.mark.parametrize("call, message", [
    (lambda: rotd(A, A), "H1: an array of samples needs dt"),
    (lambda: rotd(Record(A, 0.01), Record(A, 0.02)),
     "H1 and H2 have different time steps (0.01, 0.02 s): they must share one"),
    (lambda: rotd(A, np.ones(12), 0.01),
     "H1 and H2 hold 10 and 12 samples: components of one record must have the same length "
     "(trim cuts them to the shortest, 10)"),
    (lambda: rotd(Record(A, 0.01), A, 0.02), "H1: dt 0.02 given for a record whose dt is 0.01"),
    (lambda: rotd(A, [1.0, math.nan] * 5, 0.01), "H2: accel holds NaN or infinite samples"),
    (lambda: rotd([1.0], [2.0], 0.01), "H1 and H2 hold one sample: a velocity needs at least two"),
    (lambda: rotd(A, A, 0.01, percentiles=(50, 101)),
     "percentiles must be from 0 to 100: percentiles[1] is 101.0"),
    (lambda: rotd(A, A, 0.01, percentiles=()),
     "percentiles must be a non-empty sequence of numbers from 0 to 100"),
    (lambda: rotd(A, A, 0.01, percentiles="median"),
     "percentiles must be numbers from 0 to 100, not the text 'median'"),
    (lambda: rotd(A, A, 0.01, percentiles="50"),
     "percentiles must be numbers from 0 to 100, not the text '50'"),
    (lambda: rotd(A, A, 0.01, percentiles=b"50"),
     "percentiles must be numbers from 0 to 100, not the text b'50'"),
    (lambda: rotd(A, A, 0.01, percentiles=["50", "x"]), "percentiles must be numbers from 0 to 100"),
    (lambda: rotd(A, A, 0.01, percentiles=np.array([50, 100 + 1j])),
     "percentiles must be real numbers, not complex"),
    (lambda: rotd(A, A, 0.01, percentiles=np.ma.array([50, 100], mask=[False, True])),
     "percentiles must not be masked: give only the percentiles wanted"),
    # NumPy reads a flag as percentile 1 or 0, a duration as its seconds, None as NaN.
    (lambda: rotd(A, A, 0.01, percentiles=True), "percentiles must be numbers, not bool values"),
    (lambda: rotd(A, A, 0.01, percentiles=np.array([0, 50, True], dtype=object)),
     "percentiles must be numbers, not bool values"),
    (lambda: rotd(A, A, 0.01, percentiles=np.array([50], dtype="m8[s]")),
     "percentiles must be numbers, not timedelta64[s] values"),
    (lambda: rotd(A, A, 0.01, percentiles=[50, None]), "percentiles must be numbers, not None"),
    (lambda: rotd(A, A, 0.01, periods=[0.1, -1.0]),
     "periods must be positive and finite: periods[1] is -1.0"),
    (lambda: rotd(A, A, 0.01, damping=1.0), "damping must be in [0, 1), not 1.0"),
    (lambda: rotd(A, A, 0.01, substeps=0), "substeps must be an integer from 1 to 10000, not 0"),
    (lambda: rotd(A, A, 0.01).value("PGD", 50),
     "unknown measure 'PGD': one of PGA, PGV, SD, PSV, PSA"),
    (lambda: rotd(A, A, 0.01).value("PSA", 84),
     "RotD84 was not computed: percentiles are 0, 50, 100"),
    (lambda: rotd(A, A, 0.01, percentiles=(0, 1, 50)).value("PSA", True),
     "percentile must be a number, not True"),
    (lambda: rotd(A, A, 0.01).value("PGA", np.False_), "percentile must be a number, not False"),
    (lambda: _spectra.rotated_peaks(A, np.ones(9), 0.01, PERIODS, 0.05, 1, COS, SIN),
     "accel1 and accel2 must hold the same number of samples, at least one (10 and 9 given)"),
    (lambda: _spectra.rotated_peaks(A, A, 0.01, PERIODS, 0.05, 1, COS, SIN[:-1]),
     "cos and sin must hold one value per angle, 1 to 768 (180 and 179 given)"),
    (lambda: _spectra.rotated_peaks(A, A, 0.01, PERIODS, 0.05, 1, np.ones(800), np.zeros(800)),
     "cos and sin must hold one value per angle, 1 to 768 (800 and 800 given)"),
    (lambda: _spectra.rotated_peaks(A, A, 0.01, PERIODS, 0.05, 1, 2 * COS, SIN),
     "cos[0] and sin[0] are not a cosine and a sine"),
])
def test_errors(call, message):
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == message


TOO_LARGE = "the accelerations are too large for this time step"


@pytest.mark.parametrize("a1, a2, dt, periods, message", [
    # Responses whose states turn NaN or infinite: a peak skips NaN, so RotD0 and RotD50 read 0.
    ([1e300, -1e300] * 3, [5e299, -5e299] * 3, 1e5, [1e-3, 1e6],
     "the response at periods[1] = 1000000.0 s leaves the range of double precision"),
    ([0.0, 1e290, 1e290, 0.0], [0.0, 5e289, 5e289, 0.0], 1e10, [1e-3, 1e12],
     "the response at periods[1] = 1000000000000.0 s leaves the range of double precision"),
    # Velocities past the largest double (RotD0 and RotD50 of PGV read 0), and a rotated
    # acceleration past it (1.5e308 at 0° and at 90° is 2.1e308 at 45°).
    ([0.0, 1e300, 1e300, 0.0], [0.0, 5e299, 5e299, 0.0], 1e10, [],
     "the rotated accelerations or velocities leave the range of double precision"),
    ([1.5e308, 0.0, 0.0], [1.5e308, 0.0, 0.0], 0.01, [],
     "the rotated accelerations or velocities leave the range of double precision"),
])
def test_rotated_series_past_the_range_of_doubles_raise(a1, a2, dt, periods, message):
    with pytest.raises(ValueError) as e:
        rotd(np.array(a1), np.array(a2), dt, periods=periods)
    assert str(e.value) == f"{message}: {TOO_LARGE}"


def test_kernel_names_the_bad_sample_and_the_bad_argument():
    with pytest.raises(ValueError) as e:
        _spectra.rotated_peaks(A, np.array([0.0, math.inf] * 5), 0.01, PERIODS, 0.05, 1, COS, SIN)
    assert str(e.value) == "accel2 holds a NaN or infinite sample at index 1"
    with pytest.raises(TypeError) as e:
        _spectra.rotated_peaks(A, [1.0] * 10, 0.01, PERIODS, 0.05, 1, COS, SIN)
    assert str(e.value) == \
        "accel2 must be a one-dimensional float64 array (a buffer of doubles), not list"
    with pytest.raises(TypeError) as e:
        _spectra.rotated_peaks(A, A, 0.01, PERIODS, 0.05, 1, COS)
    assert str(e.value) == "rotated_peaks() missing required argument 'sin' (pos 8)"
