"""The measures on records built to land on rounding ties and binade edges of the
running sums, against the plain sequential reference, bit for bit.

Each generator aims at one way a blocked sum could part from the sequential one:
terms exactly halfway between two multiples of the running sum's unit (at chosen
lanes, on odd and even sums), sums that reach a power of two exactly, one unit below
it or by a tie at chunk and block ends, squares exactly on half units, squares the
library may round the other way, integers past 2^53, and the extremes of the range.
"""

import array
import math
import warnings

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import reference as ref
import tavotools.tavo as tavo

EDGES = [7, 8, 31, 32, 33, 63, 64, 247, 255, 256, 257, 511, 512]


def bits(x):
    return np.asarray(x, dtype=np.float64).reshape(-1).view(np.uint64).tolist()


def half_unit_terms(rng, n, e, c, lanes):
    """|a| of a record that puts the sum at [2^e, 2^(e+1)) and then adds odd multiples
    of half its unit (ties), their neighbours and even multiples (which flip the sum's
    parity), terms of about 2^(e - c); ties only at positions whose index mod 8 is in
    `lanes` (all positions when None)."""
    t = np.zeros(n)
    t[0] = math.ldexp(float((1 << 52) + int(rng.integers(0, 1 << 52))), e - 52)
    for i in range(1, n):
        J = int(rng.integers(0, 1 << (53 - c)))
        odd = math.ldexp(float(J | 1), e - 53)
        kind = int(rng.integers(0, 4))
        if lanes is not None and i % 8 not in lanes:
            kind = 3
        t[i] = [odd, math.nextafter(odd, math.inf), math.nextafter(odd, 0.0), math.ldexp(float(J & ~1), e - 53)][kind]
    return t


def landing_terms(rng, n, at, offset):
    """Even grid terms whose running sum reaches the next power of two at index `at`,
    missed or passed by `offset` units of the sum's binade; ties on the new grid after."""
    t = half_unit_terms(rng, n, int(rng.integers(-900, 990)), 12, lanes={9})  # no tie before `at`
    s = ref.sum_ref(t[:at].tolist())
    m, ex = math.frexp(s)
    u = math.ldexp(1.0, ex - 53)
    t[at] = max(0.0, math.ldexp(1.0, ex) - s + offset * u)
    for i in range(at + 1, n):
        t[i] = math.ldexp(float(int(rng.integers(0, 1 << 20)) | 1), ex - 53)  # half units of the new grid
    return t


def square_tie_samples(rng, n, e):
    """Samples whose exact squares are odd multiples of half the unit of a running sum
    started at 2^e (e odd), with samples whose library squares are odd multiples of the
    unit mixed in so that ties meet odd sums as well."""
    f = (e - 53) // 2
    x = np.zeros(n)
    x[:2] = math.ldexp(1.0, (e - 1) // 2)  # 2^(e-1) + 2^(e-1)
    cand = np.sqrt(np.ldexp(rng.random(4096) + 1.0, e - 8))
    units = np.ldexp(np.array(ref.pow_ref(cand.tolist(), 2.0)), 52 - e)
    flips = cand[(units == np.floor(units)) & (np.fmod(units, 2.0) == 1.0)]
    for i in range(2, n):
        r = rng.random()
        if r < 0.3 and flips.size:
            x[i] = flips[int(rng.integers(0, flips.size))]
        else:
            x[i] = math.ldexp(float(int(rng.integers(0, 1 << 18)) | (1 if r < 0.8 else 0)), f)
    return signed(rng, x)


def near_midpoint_samples(rng, n, e):
    """Squares within 0.02 ulp of a rounding midpoint (the library may round them either
    way), at 2^-1 .. 2^-4 of a running sum started near 2^e: about half are ties or
    neighbours of ties on its grid."""
    x = np.zeros(n)
    x[0] = math.ldexp(1.0, e // 2)
    for i in range(1, n):
        while True:
            m = int(rng.integers(1 << 52, 1 << 53))
            sq = m * m
            low = sq.bit_length() - 53
            if abs((sq & ((1 << low) - 1)) / float(1 << low) - 0.5) < 0.02:
                break
        x[i] = math.ldexp(float(m), (e - int(rng.integers(1, 5)) - (sq.bit_length() - 1)) // 2)
    return x


def integer_terms(rng, n, scale):
    """Odd integers on a sum past 2^53, where every addition of an odd term is a tie."""
    t = (rng.integers(0, 64, size=n) | 1).astype(np.float64)
    t[0] = 2.0**53 + float(rng.integers(-3, 4))
    return np.ldexp(t, scale)


def extreme_terms(rng, n):
    """2^-1074 .. 2^1023, the 2^-960 and 2^1000 limits, infinities, NaN payloads, zeros."""
    nans = np.array([0x7FF8000000000001, 0xFFF4000000000ABC], dtype=np.uint64).view(np.float64).tolist()
    pool = [0.0, -0.0, math.inf, 5e-324, 2.0**-960, math.nextafter(2.0**-960, 0), 2.0**-1013, 2.0**1000,
            math.nextafter(2.0**1000, 0), 2.0**999, *nans]
    t = np.ldexp(rng.random(n), rng.integers(-1074, 1024, size=n))
    pick = rng.random(n) < 0.3
    t[pick] = rng.choice(pool, size=int(pick.sum()))
    return t


def signed(rng, t):
    return np.where(rng.random(t.size) < 0.5, -t, t)  # a sign flip raises nothing on a signalling NaN


def cav_records():
    rng = np.random.default_rng(2026)
    cases = []
    for e, c, lanes in [(0, 10, None), (-960, 8, {0}), (998, 14, {7}), (40, 6, {3, 4}), (-500, 20, None)]:
        cases.append((f"half_units_e{e}_lanes{sorted(lanes) if lanes else 'all'}",
                       signed(rng, half_unit_terms(rng, 600, e, c, lanes))))
    for at in [31, 255, 256, 511]:
        for offset in [0, -1, 0.5, -0.5]:
            cases.append((f"landing_at{at}_{offset:+}u", signed(rng, landing_terms(rng, 600, at, offset))))
    for scale in [0, -1000, 940]:
        cases.append((f"integers_past_2^53_scaled_2^{scale}", signed(rng, integer_terms(rng, 600, scale))))
    cases.append(("extremes", signed(rng, extreme_terms(rng, 600))))
    return cases


def arias_records():
    rng = np.random.default_rng(2027)
    cases = [(f"square_ties_e{e}", square_tie_samples(rng, 600, e)) for e in [1, -957, 995, 61]]
    cases += [(f"near_midpoints_e{e}", near_midpoint_samples(rng, 600, e)) for e in [0, 30, -50]]
    cases.append(("integer_squares_past_2^53", rng.integers(1, 1 << 26, size=600).astype(np.float64)))
    cases.append(("extremes", signed(rng, extreme_terms(rng, 600))))
    return cases


CAV_RECORDS = cav_records()
ARIAS_RECORDS = arias_records()


def layout(kind, x):
    if kind == "contiguous":
        return x.copy()
    if kind == "reversed":
        return x[::-1].copy()[::-1]
    if kind == "stride3":
        base = np.full(3 * x.size + 1, 1.5)
        base[: 3 * x.size : 3] = x
        return base[: 3 * x.size : 3]
    return array.array("d", x.tolist())


LAYOUTS = ["contiguous", "reversed", "stride3", "array"]


@pytest.mark.parametrize("layout_kind", LAYOUTS)
@pytest.mark.parametrize("name, x", CAV_RECORDS, ids=[n for n, _ in CAV_RECORDS])
def test_cav_sums_on_ties_and_binade_edges(name, x, layout_kind):
    dt = 0.01
    for n in sorted({0, 1, 31, 32, 33, 255, 256, 257, x.size}):
        a = layout(layout_kind, x[:n])
        assert bits(tavo.get_CAV_cy(a, dt)) == bits(ref.get_CAV_ref(x[:n], dt))
        for threshold in [float(abs(x[n // 2])) if n else 0.0, 0.0, math.nan, math.inf]:
            got = tavo.get_CAVn_cy(a, dt, threshold)
            assert bits(got) == bits(ref.get_CAVn_ref(x[:n], dt, threshold)), threshold


@pytest.mark.parametrize("dt", [1 / 8, 1 / 32, 1 / 256, 1 / 300, math.nextafter(1 / 33, 0), 1.0])
@pytest.mark.parametrize("name, x", CAV_RECORDS[::3], ids=[n for n, _ in CAV_RECORDS[::3]])
def test_cavstd_sums_on_ties_and_binade_edges(name, x, dt):
    """Windows silenced at random (peaks just below, at and above 0.025 g) among the tie terms."""
    rng = np.random.default_rng(len(name))
    a = x.copy()
    w = int(1.0 / dt)
    for lo in range(0, a.size, w):
        if rng.random() < 0.5:
            seg = a[lo:lo + w]
            seg[~np.isfinite(seg)] = 0.0
            peak = float(np.max(np.abs(seg)))
            if peak > 0.0:
                seg[:] = np.ldexp(seg, -(math.frexp(peak / ref.QUIET)[1] + 1))  # below 0.025 g, ties kept
            seg[int(rng.integers(0, seg.size))] = rng.choice([ref.QUIET, math.nextafter(ref.QUIET, 0)])
    want_a = a.copy()
    want = ref.get_CAVstd_ref(want_a, dt)
    got_a = layout("stride3", a)
    assert bits(tavo.get_CAVstd_cy(got_a, dt)) == bits(want)
    assert bits(got_a) == bits(want_a)


@pytest.mark.parametrize("layout_kind", LAYOUTS)
@pytest.mark.parametrize("name, x", ARIAS_RECORDS, ids=[n for n, _ in ARIAS_RECORDS])
def test_arias_sums_on_ties_and_library_squares(name, x, layout_kind):
    series_ref = None
    for dt in [0.01, 2.0**-20, 3.0]:
        a = layout(layout_kind, x)
        total, series = tavo.get_Ia_cy(a, dt)
        want_total, want_series = ref.get_Ia_ref(x, dt)
        assert bits(total) == bits(want_total)
        assert bits(series) == bits(want_series)
        series_ref = want_series
        # levels exactly at running values of the series, and one unit around them
        fractions = [0.0, 1.0, -1.0, 100.0, math.nan, 0.05, 0.95]
        for k in (1, 255, 256, x.size // 2, x.size - 2):
            v = series_ref[k] / series_ref[-1]
            fractions += [v, math.nextafter(v, 0), math.nextafter(v, 2)]
        p = np.array(fractions)
        assert bits(tavo.get_Ia_times_cy(a, dt, p)) == bits(ref.get_Ia_times_ref(x, dt, p))


def overlapping(n, w, loud, stride):
    """n samples `stride` bytes apart (stride 1, 2 or 4), so that each shares all but
    `stride` bytes with the next; windows of w samples, those in `loud` with samples
    near 1.0, the others near 0.125 (or 4.8e-4 for stride 1), all below 0.025 g."""
    unit = {4: (np.uint32, 0x3FF00000, 0x3FC00000), 2: (np.uint16, 0x3FF0, 0x3FC0), 1: (np.uint8, 0x40, 0x3F)}
    dtype, hi, lo = unit[stride]
    k = 8 // stride
    words = np.full(n + k - 1, hi, dtype=dtype)
    for i in range(n):
        words[i + k - 1] = hi if i // w in loud else lo  # the top unit of sample i
    return words


@pytest.mark.parametrize("mode", [None, 0x800], ids=["nearest", "upward"])
@pytest.mark.parametrize("stride", [4, 2, 1, -4])
@pytest.mark.parametrize("n, w, loud", [(2112, 64, set(range(32))), (64, 8, {0, 2}), (600, 50, {1, 2, 3, 7})])
def test_cavstd_of_samples_sharing_bytes_silences_before_summing(n, w, loud, stride, mode, rounding_mode):
    """Silencing a window rewrites bytes of the last sample of the window before it; the sum
    is of the record as left after every window, as when it is read afterwards."""
    words = overlapping(n, w, loud, abs(stride))
    if mode is not None:
        rounding_mode(mode)
    results = []
    for compute in (tavo.get_CAVstd_cy, ref.get_CAVstd_ref):
        memory = words.copy()
        base = np.frombuffer(memory.data, dtype=np.float64, count=memory.nbytes // 8)
        view = as_strided(base, shape=(n,), strides=(abs(stride),), writeable=True)
        view = view if stride > 0 else view[::-1]
        results.append((compute(view, 1.0 / w), memory.tobytes()))
    assert bits(results[0][0]) == bits(results[1][0])
    assert results[0][1] == results[1][1]


@pytest.mark.parametrize("mask", [0x8000, 0x40, 0x8040], ids=["ftz", "daz", "ftz_daz"])
@pytest.mark.parametrize("name, x", CAV_RECORDS[::4] + ARIAS_RECORDS[::2],
                         ids=[n for n, _ in CAV_RECORDS[::4] + ARIAS_RECORDS[::2]])
def test_flushing_subnormals_gives_the_plain_results(name, x, mask, flush_to_zero):
    """With subnormals flushed (as some C code leaves the register), the block sums keep
    giving what the sequential loop gives in that same setting."""
    with np.errstate(invalid="ignore"):  # signalling NaNs among the extremes
        tiny = np.ldexp(x, -1000)  # the record's sums near and below 2^-960, subnormals among its terms
    flush_to_zero(mask)
    for a in (x, tiny):
        for dt in (0.01, 2.0**-20):
            assert bits(tavo.get_CAV_cy(a, dt)) == bits(ref.get_CAV_ref(a, dt))
            assert bits(tavo.get_CAVn_cy(a, dt, float(abs(a[7])))) == bits(ref.get_CAVn_ref(a, dt, float(abs(a[7]))))
            total, series = tavo.get_Ia_cy(a, dt)
            want_total, want_series = ref.get_Ia_ref(a, dt)
            assert bits(total) == bits(want_total) and bits(series) == bits(want_series)
            p = np.array([0.0, 0.05, 0.5, 0.95, 1.0])
            assert bits(tavo.get_Ia_times_cy(a, dt, p)) == bits(ref.get_Ia_times_ref(a, dt, p))
        got, want = a.copy(), a.copy()
        assert bits(tavo.get_CAVstd_cy(got, 1 / 64)) == bits(ref.get_CAVstd_ref(want, 1 / 64))
        assert bits(got) == bits(want)


def zero_like(n, at, first):
    """n samples of +-0.0 with `first` at index `at` (NaNs before it when at > 0)."""
    x = np.where(np.arange(n) % 3 == 0, -0.0, 0.0)
    x[:at] = np.nan
    x[at] = first
    return x


@pytest.mark.parametrize("n", [9, 64, 257, 1000])
@pytest.mark.parametrize("at", [0, 1, 7])
@pytest.mark.parametrize("first", [5e-324, -2.0**-1023, 0.0])
def test_peaks_of_zeros_and_subnormals_with_denormals_are_zero(n, at, first, flush_to_zero):
    """With denormals-are-zero, a subnormal compares equal to zero: the scan in index order
    keeps the first of them, whatever lane it would fall in."""
    flush_to_zero(0x40)
    x = zero_like(n, at, first)
    assert bits(tavo.get_PGA_cy(x)) == bits(ref.get_PGA_ref(x))
    # the first velocity is (dt * (x[1] + x[0])) / 2: 2^-1023 from normal samples, then zeros
    v = np.zeros(n)
    v[at] = 2.0**-1022 if first else 0.0
    with np.errstate(all="ignore"):
        for dt in (1.0, -1.0):
            assert bits(tavo.get_PGV_cy(v[at:], dt)) == bits(ref.get_PGV_ref(v[at:], dt))


def outcome(compute):
    """What a call gives under the current np.errstate: its result's bits or its
    exception, and the warnings it issued."""
    with warnings.catch_warnings(record=True) as issued:
        warnings.simplefilter("always")
        try:
            result = ("value", bits(compute()))
        except FloatingPointError as e:
            result = ("raised", str(e))
    return result, [str(w.message) for w in issued]


@pytest.mark.parametrize("errors", ["warn", "raise"])
@pytest.mark.parametrize("dt", [5e-324, 1e-310, -2.0**-1030])
@pytest.mark.parametrize("n", [9, 14, 15, 16, 17, 33, 100])
@pytest.mark.parametrize("name", ["PGV", "Ia", "Ia_times"])
def test_subnormal_time_step_with_flush_to_zero_reports_as_numpy(name, n, dt, errors, flush_to_zero):
    """With flush-to-zero set, NumPy reports underflow for some lengths of an array times
    a subnormal scalar although every product is normal: with such a dt the measures that
    multiply by it in NumPy (and SciPy) warn or raise as those operations do."""
    x = np.random.default_rng(n).normal(size=n) * 1e100  # products with dt near 1e-210
    p = np.array([0.05, 0.5, 0.95])
    module, reference = {
        "PGV": (lambda: tavo.get_PGV_cy(x, dt), lambda: ref.get_PGV_ref(x, dt)),
        "Ia": (lambda: tavo.get_Ia_cy(x, dt)[1], lambda: ref.get_Ia_ref(x, dt)[1]),
        "Ia_times": (lambda: tavo.get_Ia_times_cy(x, dt, p), lambda: ref.get_Ia_times_ref(x, dt, p)),
    }[name]
    flush_to_zero(0x8000)
    with np.errstate(all=errors):
        assert outcome(module) == outcome(reference)
