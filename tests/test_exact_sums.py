"""The measures whose sums are exact strict left-to-right sums computed a block at a
time, and the velocity pass of get_PGV_cy, against the plain references and SciPy
itself, bit for bit: generated records of the kinds that land on ties and binade
edges, every real record of ../shared/data, and NumPy's floating-point error states."""
import math
import platform
import types

import numpy as np
import pytest
from scipy import integrate

import reference as ref
from tavotools import tavo
from tavotools.records import RecordError, read_records

QUIET = 0.24525000000000002


def bits(x):
    return np.float64(x).view(np.uint64)


def same(got, want):
    """Bit for bit; float results and float64 arrays alike."""
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    assert got.shape == want.shape
    assert got.view(np.uint64).tolist() == want.view(np.uint64).tolist()


def kinds(n, rng):
    """Records that stress the block method: ties, binade edges, odd integers past 2**53."""
    t = np.arange(n) / max(n, 1)
    envelope = np.where(t < 0.1, 0.02, np.where(t < 0.3, 1.0, np.exp(-6 * (t - 0.3))))
    odd = (2 * rng.integers(0, 50, n) + 1) * rng.choice([-1.0, 1.0], n)
    odd[0] = 2.0**53 + 2
    return {
        "gaussian": rng.normal(size=n),
        "record": 3.0 * rng.normal(size=n) * envelope,
        "decimals": np.round(rng.normal(size=n) * 2000) / 1000,
        "integers": np.round(rng.normal(size=n) * 300),
        "dynamic": rng.normal(size=n) * 2.0 ** rng.integers(-20, 21, n),
        "odd_past_2_53": odd.astype(np.float64),
        "half_ulps": (rng.integers(0, 4096, n) + 0.5) * 2.0**-40,
    }


def exact_references(a, dt):
    """(CAV, CAVn, CAVstd, Ia, Ia series) by the plain-Python references."""
    Ia, series = ref.get_Ia_ref(a, dt)
    return (ref.get_CAV_ref(a, dt), ref.get_CAVn_ref(a, dt, QUIET), ref.get_CAVstd_ref(a.copy(), dt), Ia, series)


def exact_measures(a, dt):
    Ia, series = tavo.get_Ia_cy(a, dt)
    return (tavo.get_CAV_cy(a, dt), tavo.get_CAVn_cy(a, dt, QUIET), tavo.get_CAVstd_cy(a.copy(), dt), Ia, series)


def velocity_peak_by_scipy(a, dt):
    """The peak |v| of SciPy's own cumulative_trapezoid, NaN never counting (as get_PGA_cy)."""
    v = integrate.cumulative_trapezoid(a, dx=dt)
    v = np.abs(v[~np.isnan(v)])
    return float(v.max()) if v.size else -999.0


@pytest.mark.parametrize("n", [257, 4099, 20000])
@pytest.mark.parametrize("layout", ["contiguous", "reversed", "stride3"])
def test_generated_kinds_match_references(n, layout):
    rng = np.random.default_rng(n)
    for name, values in kinds(n, rng).items():
        base = np.repeat(values, 3) if layout == "stride3" else values.copy()
        a = {"contiguous": base, "reversed": base[::-1].copy()[::-1], "stride3": base[::3]}[layout]
        for got, want in zip(exact_measures(a, 0.01), exact_references(np.ascontiguousarray(a), 0.01)):
            same(got, want)
        same(tavo.get_PGV_cy(a, 0.01), velocity_peak_by_scipy(a, 0.01))


def exact_squares_to_the_top(crossing, j, units, squared, rng):
    """A record whose running sum reaches the top 2**53 u of its binade at sample
    `crossing`, a chunk or block edge: exactly (units = 0), a grid unit short (-1), a
    tie past it (1: the sum rounds to the top) or a new grid unit past it (2: an odd
    multiple of the new grid's unit). The terms are whole multiples of u = 4**j: with
    `squared` the samples are k * 2**j, whose squares k**2 * u are exact (and the
    library's), else the samples are the terms themselves. Sixteen samples bring the
    sum near the top (integers, or integer squares, summing to a given integer; the
    rest zeros), equal terms carry it there, and after the crossing whole blocks of
    odd terms are ties on the next binade's grid: rounded to even from a sum whose
    parity is set by the crossing (and, unsquared, by terms of twice an odd number),
    then small terms follow."""
    root = 2.0**j if squared else 4.0**j
    c = int(rng.integers(1, 2**12))
    need = 2**53 - (crossing - 15) * c * (c if squared else 1) + units
    head, rest = [], need
    while rest > 0:  # greedy: fewer than sixteen integer squares for any need below 2**53
        k = math.isqrt(rest) if squared else rest
        head.append(k)
        rest -= k * k if squared else k
    head += [0] * (16 - len(head))
    odd = 2 * rng.integers(0, 2**12, 600) + 1
    if not squared:  # squares are never an odd multiple of the next grid's unit
        odd *= rng.choice([1, 1, 1, 2], odd.size)
    small = rng.integers(0, 2**10, 100)
    k = np.concatenate([head, [c] * (crossing - 15), odd, small]).astype(np.float64)
    return k * root * rng.choice([-1.0, 1.0], k.size)


@pytest.mark.parametrize("crossing", [31, 32, 33, 63, 64, 65, 255, 256, 257])
@pytest.mark.parametrize("units", [-1, 0, 1, 2])
@pytest.mark.parametrize("j", [-300, 0, 240])
def test_sums_reaching_the_top_of_a_binade_on_block_edges(crossing, units, j):
    rng = np.random.default_rng(crossing * 7 + units)
    for squared in (True, False):
        a = exact_squares_to_the_top(crossing, j, units, squared, rng)
        if squared:
            Ia, series = ref.get_Ia_ref(a, 0.01)
            # Levels on elements at the crossing and among the ties, and an ulp either side.
            picks = [crossing - 1, crossing, crossing + 1, 300, 511, 512, 513, 600, 700, 767, 800]
            levels = np.array([float(series[k]) / float(series[-1]) for k in picks if k < a.size])
            levels = np.concatenate([levels, np.nextafter(levels, 0.0), np.nextafter(levels, 1.0)])
            times = ref.get_Ia_times_ref(a, 0.01, levels)
        for layout in (a, a[::-1].copy()[::-1], np.repeat(a, 2)[::2]):
            if squared:
                got_Ia, got_series = tavo.get_Ia_cy(layout, 0.01)
                same(got_Ia, Ia)
                same(got_series, series)
                same(tavo.get_Ia_times_cy(layout, 0.01, levels), times)
            else:
                same(tavo.get_CAV_cy(layout, 0.01), ref.get_CAV_ref(a, 0.01))
                same(tavo.get_CAVn_cy(layout, 0.01, 0.0), ref.get_CAVn_ref(a, 0.01, 0.0))


def squared_otherwise(rng, count):
    """Samples whose library square is not their product (about 1 in 1200 doubles with
    glibc); skips where the library squares every double as the product does."""
    found = []
    for _ in range(100):
        for v in (rng.uniform(1.0, 2.0, 4096) * 2.0 ** rng.integers(-30, 31, 4096)).tolist():
            if math.pow(v, 2.0) != v * v:
                found.append(v)
        if len(found) >= count:
            return np.array(found[:count])
    pytest.skip("this math library's pow(x, 2) is the product x * x")


@pytest.mark.parametrize("lead", [0.0, 2.0**10, 2.0**40])
@pytest.mark.parametrize("n", [255, 256, 2000])
def test_squares_the_library_rounds_otherwise_through_the_arias_measures(lead, n):
    """Such samples amid small ones, after a first sample that sets the running sum's
    grid near their squares' ulps; the series, the total and levels on the elements
    they end (an ulp either side) all as the library squares them."""
    rng = np.random.default_rng(n + int(lead))
    odd = squared_otherwise(rng, 64)
    a = rng.normal(size=n) * 1e-3
    at = np.sort(rng.choice(np.arange(1, n), n // 8, replace=False))
    a[at] = rng.choice(odd, at.size) * rng.choice([-1.0, 1.0], at.size)
    a[0] = lead * odd[0]
    Ia, series = ref.get_Ia_ref(a, 0.01)
    levels = np.array([float(series[k]) / float(series[-1]) for k in at[::3]])
    levels = np.concatenate([levels, np.nextafter(levels, 0.0), np.nextafter(levels, 1.0)])
    times = ref.get_Ia_times_ref(a, 0.01, levels)
    for layout in (a, a[::-1].copy()[::-1], np.repeat(a, 2)[::2]):
        got_Ia, got_series = tavo.get_Ia_cy(layout, 0.01)
        same(got_Ia, Ia)
        same(got_series, series)
        same(tavo.get_Ia_times_cy(layout, 0.01, levels), times)


def real_records(folder):
    for path in sorted(p for p in folder.rglob("*") if p.is_file() and p.suffix not in (".json", ".md")):
        try:
            yield from ((path, r) for r in read_records(path))
        except (RecordError, ValueError, OSError):
            continue  # a format this package does not read


@pytest.mark.skipif(platform.machine() != "x86_64", reason="the x86-64 values of the rounding modes")
@pytest.mark.parametrize("mode", [0x400, 0x800, 0xC00], ids=["downward", "upward", "toward_zero"])
@pytest.mark.parametrize("kind", ["record", "integers", "half_ulps"])
def test_other_rounding_modes_give_the_plain_results(mode, kind, rounding_mode):
    a = kinds(5000, np.random.default_rng(3))[kind]
    assert rounding_mode(mode) == 0
    got, want = exact_measures(a, 0.01), exact_references(a, 0.01)
    rounding_mode(0)
    for g, w in zip(got, want):
        same(g, w)


def test_every_real_record(data):
    checked = 0
    for path, r in real_records(data):
        a = np.ascontiguousarray(r.accel, dtype=np.float64)
        for got, want in zip(exact_measures(a, r.dt), exact_references(a, r.dt)):
            same(got, want)
        same(tavo.get_PGV_cy(a, r.dt), velocity_peak_by_scipy(a, r.dt))
        checked += 1
    assert checked >= 5


@pytest.mark.parametrize("values", [
    [1.0, 2.0],
    [0.0, -0.0, -0.0],
    [1.0, math.nan, 5.0, 9.0],
    [math.nan, 1.0, 2.0],
    [3.0, -1.0, math.inf, 2.0],
    [1e308, 1e308, -1e308],
    [5e-324, 5e-324, 0.0],
])
@pytest.mark.parametrize("dt", [0.01, 0.5, -0.02, 0.0])
def test_pgv_fused_pass_equals_scipy(values, dt):
    a = np.array(values)
    with np.errstate(all="ignore"):
        same(tavo.get_PGV_cy(a, dt), velocity_peak_by_scipy(a, dt))


class Wrapped(types.ModuleType):
    """An integrate whose cumulative_trapezoid is not SciPy's own object (it calls it)."""

    def __init__(self):
        super().__init__("integrate")
        self.calls = 0

    def cumulative_trapezoid(self, *args, **kwargs):
        self.calls += 1
        return integrate.cumulative_trapezoid(*args, **kwargs)


def test_pgv_fused_only_while_scipy_function_is_found(monkeypatch):
    a = np.random.default_rng(1).normal(size=5000)
    fused = tavo.get_PGV_cy(a, 0.01)
    stand_in = Wrapped()
    monkeypatch.setattr(tavo, "integrate", stand_in)
    same(tavo.get_PGV_cy(a, 0.01), fused)
    assert stand_in.calls == 1


@pytest.mark.parametrize("values, dt, message", [
    ([np.inf, -np.inf, 1.0], 0.01, "invalid value encountered in add"),
    ([1e307, 1e307, 1.0], 100.0, "overflow encountered in multiply"),
    ([1e308, 1e308, 1.0], 0.01, "overflow encountered in add"),
    ([1e-310, 1e-310, 1.0], 0.01, "underflow encountered in multiply"),
])
def test_pgv_warns_and_raises_as_scipy(values, dt, message):
    a = np.array(values)
    with np.errstate(all="raise"):
        with pytest.raises(FloatingPointError) as want:
            integrate.cumulative_trapezoid(a, dx=dt)
        with pytest.raises(FloatingPointError) as got:
            tavo.get_PGV_cy(a, dt)
    assert str(got.value) == str(want.value) == message


def ia_times_record(kind, n, rng):
    a = 3.0 * rng.normal(size=n) * np.exp(-np.linspace(0.0, 4.0, n))
    if kind == "decimals":
        a = np.round(a * 1000) / 1000
    elif kind == "plateaus":
        # Leading zeros and runs of zeros across the 64- and 256-sample block edges:
        # the series stays flat there, so levels land on many equal elements at once.
        for lo, hi in ((0, 70), (120, 200), (250, 330), (n // 2, n // 2 + 90)):
            a[lo:hi] = 0.0
    return a


@pytest.mark.parametrize("n", [1, 2, 63, 64, 65, 255, 256, 257, 5000])
@pytest.mark.parametrize("dt", [0.01, 1.0 / 99, 3.0])
@pytest.mark.parametrize("kind", ["record", "decimals", "plateaus"])
def test_ia_times_on_every_kind_of_level(n, dt, kind):
    """Levels whose value is exactly an element of the series, or one ulp either side,
    at block edges and elsewhere, plus the levels no element exceeds."""
    rng = np.random.default_rng(n)
    a = ia_times_record(kind, n, rng)
    _, series = ref.get_Ia_ref(a, dt)
    last = float(series[-1])
    picks = {0, 1, 62, 63, 64, 65, 127, 128, 255, 256, 257, n // 2, n - 2, n - 1, *rng.integers(0, n, 40).tolist()}
    levels = [0.0, -0.1, 1.0, 5.0, math.nan, math.inf, -math.inf, 0.9999999999999999]
    for k in sorted(k for k in picks if 0 <= k < n):
        p = float(series[k]) / last if last else 0.5
        levels += [p, math.nextafter(p, -math.inf), math.nextafter(p, math.inf)]
    levels = np.array(levels)
    same(tavo.get_Ia_times_cy(a, dt, levels), ref.get_Ia_times_ref(a, dt, levels))
    same(tavo.get_Ia_times_cy(a[::-1], dt, levels[::2]), ref.get_Ia_times_ref(a[::-1], dt, levels[::2]))


@pytest.mark.parametrize("accel, dt, message", [
    ([1e-150, 3.0, 1.0], 1e-20, "underflow encountered in multiply"),  # the squares are normal, their scaling is not
    ([0.0, 0.0, 1e-150, 3.0], 1e-20, "underflow encountered in multiply"),
    ([1e100, 1e100, 1.0], 1e300, "overflow encountered in multiply"),  # the sum is finite, its scaling is not
])
def test_ia_times_raises_where_only_the_series_scaling_would(accel, dt, message):
    a = np.array(accel)
    levels = np.array([0.05, 0.5, 0.95])
    with np.errstate(all="raise"):
        with pytest.raises(FloatingPointError) as want:
            ref.get_Ia_times_ref(a, dt, levels)
        with pytest.raises(FloatingPointError) as got:
            tavo.get_Ia_times_cy(a, dt, levels)
    assert str(got.value) == str(want.value) == message
    with np.errstate(all="ignore"):
        same(tavo.get_Ia_times_cy(a, dt, levels), ref.get_Ia_times_ref(a, dt, levels))
