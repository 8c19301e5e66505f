"""The array measures of tavotools.tavo against the plain-Python reference, bit for bit.

Every value is compared through its IEEE 754 bit pattern, so -0.0 against +0.0
and NaN payloads count as differences. Generated records run through every
memory layout the binding accepts, under NumPy's default error handling and
under np.errstate(all="raise"); the module must raise, warn and answer exactly
as the reference does. The same cases run again with the module's `np`
replaced by a counting stand-in, which takes the module off its internal fast
paths onto the ones that go through NumPy by name.
"""

import array
import builtins
import gc
import math
import struct
import sys
import traceback
import types
import warnings

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import reference as ref
import tavotools.tavo as tavo

QUIET = ref.QUIET
GAP = 1.2345e306  # fills the gaps of strided bases: finite, so reading one shows in any result


def bits(x):
    return struct.pack("<d", x).hex()


def f64(h):
    return struct.unpack("<d", bytes.fromhex(h))[0]


NAN_PAYLOAD = f64("2301000000f8ff7f")  # quiet NaN, payload 0x123
NEG_NAN = f64("000000000000f8ff")
SPECIALS = [math.nan, NEG_NAN, NAN_PAYLOAD, math.inf, -math.inf, -0.0, 0.0,
            5e-324, -2.2250738585072014e-308, 1.7976931348623157e308, QUIET, -QUIET]


def same_float(got, want, what=""):
    assert type(got) is float, f"{what}: {type(got).__name__} returned"
    assert bits(got) == bits(want), f"{what}: {got!r} ({bits(got)}) != {want!r} ({bits(want)})"


def same_array(got, want, n, what=""):
    assert isinstance(got, np.ndarray), f"{what}: {type(got).__name__} returned"
    assert got.dtype == np.float64 and got.ndim == 1 and got.shape == (n,), (what, got.dtype, got.shape)
    assert got.flags.writeable, what
    bad = np.flatnonzero(got.view(np.uint64) != np.asarray(want, dtype=np.float64).view(np.uint64))
    if bad.size:
        k = bad[0]
        pytest.fail(f"{what}: {bad.size} elements differ, first at {k}: {got[k]!r} ({bits(got[k])}) "
                    f"!= {want[k]!r} ({bits(want[k])})")


# Layouts: each builds (object handed to the measure, base whose bytes are checked).

def _strided(values, step, offset):
    n = len(values)
    base = np.full(step * n + offset, GAP)
    base[offset::step] = values
    return base[offset::step], base


def _reversed(values):
    base = np.array(values[::-1], dtype=np.float64)
    return base[::-1], base


def _zero_stride(values):
    cell = np.array([values[0] if len(values) else 0.25])
    return as_strided(cell, shape=(len(values),), strides=(0,)), cell


def _memoryview_reversed(values):
    base = np.array(values[::-1], dtype=np.float64)
    return memoryview(base)[::-1], base


def _array(values):
    base = array.array("d", values)
    return base, base


def _memoryview(values):
    base = array.array("d", values)
    return memoryview(base), base


LAYOUTS = {
    "contiguous": lambda v: (lambda a: (a, a))(np.array(v, dtype=np.float64)),
    "stride2": lambda v: _strided(v, 2, 0),
    "stride3": lambda v: _strided(v, 3, 1),
    "reversed": _reversed,
    "zero_stride": _zero_stride,
    "array": _array,
    "memoryview": _memoryview,
    "memoryview_reversed": _memoryview_reversed,
}


def layout_values(layout, values):
    """The values a layout really presents (zero stride repeats one value)."""
    return LAYOUTS[layout](values)[0].tolist()


def snapshot(base):
    return base.tobytes()


# Generated records.

def record_like(rng, n):
    """Noise under an amplitude that changes every few hundred samples, around 0.025 g."""
    out = np.empty(n)
    i = 0
    while i < n:
        k = int(rng.integers(20, 300))
        out[i:i + k] = rng.standard_normal(min(k, n - i)) * 10 ** rng.uniform(-1.7, 0.5)
        i += k
    return out


def sprinkle(rng, x, rate):
    mask = rng.random(len(x)) < rate
    x[mask] = rng.choice(SPECIALS, size=int(mask.sum()))
    return x


KINDS = {
    "record": record_like,
    "specials": lambda rng, n: sprinkle(rng, record_like(rng, n), 0.03),
    "tiny": lambda rng, n: rng.standard_normal(n) * 10 ** rng.uniform(-320, -150, n),
    "huge": lambda rng, n: rng.standard_normal(n) * 10 ** rng.uniform(150, 308, n),
    "mixed": lambda rng, n: sprinkle(rng, rng.choice([-1.0, 1.0], n) * 10 ** rng.uniform(-320, 308, n), 0.02),
}
DTS = [0.005, 0.01, 0.02, 1.0 / 99, 0.016, 1.0, 1.5, 0.0, -0.01, math.nan, math.inf]
LEVELS = [0.05, 0.95, 0.5, 0.0, -0.1, 0.25, 0.75, 1.0, 0.9999999999999999, 5.0, math.nan, 0.05]


def cases(seed):
    """(rng, values, dt) for every length, dt and kind of record."""
    rng = np.random.default_rng(seed)
    lengths = [0, 1, 2, 3, 7, 8, 9, 100, 1000, int(rng.integers(0, 5001))]
    for n in lengths:
        for dt in DTS:
            for make in KINDS.values():
                with np.errstate(all="ignore"):  # tiny and huge magnitudes underflow by design
                    values = make(rng, n)
                yield rng, values.tolist(), dt


def extra_argument(name, rng, values, layout):
    if name == "CAVn":
        pool = [0.0, -1.0, QUIET, 0.5, math.nan, math.inf, -math.inf, 1e-300, 1e300]
        if values:
            pool.append(abs(values[int(rng.integers(len(values)))]))  # a sample reaching it exactly
        return pool[int(rng.integers(len(pool)))]
    if name == "Ia_times":
        levels = [LEVELS[k] for k in rng.integers(0, len(LEVELS), int(rng.integers(0, 7)))]
        return LAYOUTS[layout](levels)
    return None


MEASURES = {
    "PGA": (lambda a, dt, x: tavo.get_PGA_cy(a), lambda a, dt, x: ref.get_PGA_ref(a)),
    "PGV": (lambda a, dt, x: tavo.get_PGV_cy(a, dt), lambda a, dt, x: ref.get_PGV_ref(a, dt)),
    "Ia": (lambda a, dt, x: tavo.get_Ia_cy(a, dt), lambda a, dt, x: ref.get_Ia_ref(a, dt)),
    "Ia_times": (lambda a, dt, x: tavo.get_Ia_times_cy(a, dt, x[0]),
                 lambda a, dt, x: ref.get_Ia_times_ref(a, dt, x[0])),
    "CAV": (lambda a, dt, x: tavo.get_CAV_cy(a, dt), lambda a, dt, x: ref.get_CAV_ref(a, dt)),
    "CAVn": (lambda a, dt, x: tavo.get_CAVn_cy(a, dt, x), lambda a, dt, x: ref.get_CAVn_ref(a, dt, x)),
    "CAVstd": (lambda a, dt, x: tavo.get_CAVstd_cy(a, dt), lambda a, dt, x: ref.get_CAVstd_ref(a, dt)),
}


def outcome(fn):
    """('ok', value, warnings) or ('raised', type, message, warnings)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            value = fn()
        except Exception as e:  # noqa: BLE001 - the module must raise what the reference raises
            return ("raised", type(e), str(e), [(w.category, str(w.message)) for w in caught])
    return ("ok", value, [(w.category, str(w.message)) for w in caught])


def same_scalar(got, want, dt, what):
    """A measure's float, bit for bit; with a NaN dt and a NaN result, NaN-ness only.

    Then the final product (sum times dt) may multiply two NaNs, and which one a
    product keeps is the machine code's operand order: the interpreter itself
    differs there (its specialised float multiply keeps one operand, float.__mul__
    the other), and so do compilers and NumPy's loops.
    """
    if dt is not None and math.isnan(dt) and isinstance(got, float) and math.isnan(got):
        assert math.isnan(want), what
    else:
        same_float(got, want, what)


def compare(name, got, want, n, extra, what, dt=None):
    """Bit-for-bit comparison of one measure's results; returns the result arrays."""
    if want[0] == "raised" or got[0] == "raised":
        assert got[:3] == want[:3], f"{what}: module {got[:3]}, reference {want[:3]}"
    else:
        if name == "Ia":
            assert type(got[1]) is tuple and len(got[1]) == 2, what
            same_scalar(got[1][0], want[1][0], dt, what + " total")
            same_array(got[1][1], want[1][1], n, what + " series")
            last = float(got[1][1][-1]) if n else None
            if last is not None and not math.isnan(last):
                same_float(got[1][0], last, what + " total vs last element")
        elif name == "Ia_times":
            same_array(got[1], want[1], len(extra[0]), what)
        else:
            same_scalar(got[1], want[1], dt, what)
    assert got[-1] == want[-1], f"{what}: warnings {got[-1]} != {want[-1]}"
    if got[0] == "ok" and name == "Ia":
        return [got[1][1]]
    if got[0] == "ok" and name == "Ia_times":
        return [got[1]]
    return []


def run_case(name, layout, rng, values, dt):
    """Runs one case through module and reference; returns (sizes np.zeros should see, windows)."""
    module_fn, reference_fn = MEASURES[name]
    accel, base = LAYOUTS[layout](values)
    n = len(accel)
    extra = extra_argument(name, rng, values, layout)
    what = f"{name} {layout} n={n} dt={dt!r} extra={extra[0].tolist() if name == 'Ia_times' else extra!r}"
    before = snapshot(base)
    extra_before = snapshot(extra[1]) if name == "Ia_times" else None

    windows = []
    if name == "CAVstd":
        ref_accel, ref_base = LAYOUTS[layout](values)

        def counting_pga(window):
            windows.append(len(window))
            return ref.get_PGA_ref(window)

        want = outcome(lambda: ref.get_CAVstd_ref(ref_accel, dt, pga=counting_pga))
        got = outcome(lambda: module_fn(accel, dt, extra))
        compare(name, got, want, n, extra, what, dt)
        assert snapshot(base) == snapshot(ref_base), f"{what}: silenced array differs"
        return [*windows, n]

    got = outcome(lambda: module_fn(accel, dt, extra))
    assert snapshot(base) == before, f"{what}: input changed"
    want = outcome(lambda: reference_fn(accel, dt, extra))
    for result in compare(name, got, want, n, extra, what, dt):
        result.fill(-7.0)  # the result owns its memory: the input stays as it was
    assert snapshot(base) == before, f"{what}: writing into the result changed the input"
    if extra_before is not None:
        assert snapshot(extra[1]) == extra_before, f"{what}: percentages changed"
    if got[0] == "raised":
        return None
    nper = len(extra[0]) if name == "Ia_times" else 0
    # The velocity has n - 1 samples; of an empty record, empty where SciPy does not raise.
    return {"PGA": [n], "PGV": [max(n - 1, 0)], "Ia": [n, n], "Ia_times": [n, nper, n, n],
            "CAV": [n], "CAVn": [n]}[name]


class CountingNumpy(types.SimpleNamespace):
    """Stands in for the module's `np`: forwards zeros/asarray to NumPy and records the calls."""

    def __init__(self):
        super().__init__(zeros=self._zeros, asarray=self._asarray)
        self.zeros_calls = []
        self.asarray_calls = 0

    def _zeros(self, *args, **kwargs):
        self.zeros_calls.append((args, kwargs))
        return np.zeros(*args, **kwargs)

    def _asarray(self, *args, **kwargs):
        self.asarray_calls += 1
        return np.asarray(*args, **kwargs)


@pytest.mark.parametrize("errors", ["warn", "raise"])
@pytest.mark.parametrize("path", ["fast", "generic"])
@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("name", list(MEASURES))
def test_generated_records_match_reference(name, layout, path, errors, monkeypatch):
    if name == "CAVstd" and layout == "zero_stride":
        pytest.skip("silencing would write through a zero stride")
    stand_in = CountingNumpy()
    if path == "generic":
        monkeypatch.setattr(tavo, "np", stand_in)
    seed = sum(map(ord, name + layout))  # fixed per test, different across tests
    with np.errstate(all=errors):
        for rng, values, dt in cases(seed):
            before = len(stand_in.zeros_calls), stand_in.asarray_calls
            sizes = run_case(name, layout, rng, values, dt)
            if path == "generic" and sizes is not None:
                calls = stand_in.zeros_calls[before[0]:]
                assert calls == [((k,), {"dtype": "float64"}) for k in sizes], (name, len(values), dt)
                assert all(type(args[0]) is int for args, _ in calls)
                asarray = {"Ia": 3, "Ia_times": 3}.get(name, len(sizes))
                assert stand_in.asarray_calls - before[1] == asarray, (name, len(values), dt)
    if path == "fast":
        assert stand_in.zeros_calls == [] and stand_in.asarray_calls == 0


# Cases named in the definitions of the measures. Where a value is stated, the
# reference is checked against it too, so that the reference itself is pinned.

NAN = math.nan
INF = math.inf
DEFAULT_NAN = 0.0 * math.inf  # what the processor makes of 0/0, inf*0, inf-inf (negative on x86)

FLOAT_CASES = [
    ("PGA", [-3.0, 2.0], None, None, 3.0),
    ("PGA", [0.0, -0.0], None, None, 0.0),
    ("PGA", [-0.0, 0.0], None, None, 0.0),
    ("PGA", [], None, None, -999.0),
    ("PGA", [NAN, NAN], None, None, -999.0),
    ("PGA", [NAN, -5.0], None, None, 5.0),
    ("PGA", [-1500.0, -2000.0], None, None, 2000.0),
    ("PGA", [-INF, 1.0], None, None, INF),
    ("PGV", [0.0, 1.0, 0.0, -1.0, 0.0], 0.1, None, 0.1),
    ("PGV", [0.0, 1.0, 0.0, -1.0, 0.0], -0.1, None, 0.1),
    ("PGV", [2.0], 0.1, None, -999.0),
    ("PGV", [3.0, -4.0, 5.0], 0.0, None, 0.0),
    ("PGV", [NAN, NAN, NAN], 0.1, None, -999.0),
    ("CAV", [1.0, -2.0, 3.0], 0.5, None, 3.0),
    ("CAV", [1.0, 1.0], 1.0, None, 2.0),
    ("CAV", [], 0.5, None, 0.0),
    ("CAV", [], -0.5, None, -0.0),
    ("CAV", [1.0, NAN], 0.5, None, NAN),
    ("CAV", [-0.0, -0.0], 1.0, None, 0.0),
    ("CAV", [1.0, 1e100, 1.0, -1e100], 1.0, None, 2e100),
    ("CAVn", [1.0, -2.0, 3.0], 0.5, 2.0, 2.5),
    ("CAVn", [1.0, -2.0, 3.0], 0.5, 2.5, 1.5),
    ("CAVn", [1.0, -2.0, 3.0], 0.5, 0.0, 3.0),
    ("CAVn", [1.0, -2.0, 3.0], 0.5, -1.0, 3.0),
    ("CAVn", [1.0, -2.0, 3.0], 0.5, NAN, 3.0),
    ("CAVn", [1.0, -2.0, 3.0], 0.5, INF, 0.0),
    ("CAVn", [], 0.5, 1.0, 0.0),
    ("CAVn", [], -0.5, 1.0, -0.0),
    ("CAVn", [1.0, NAN], 0.5, 2.0, NAN),
    ("CAVn", [-0.0, 0.0], 1.0, -1.0, 0.0),
    ("CAVn", [-INF, 1.0], 1.0, INF, INF),
]


@pytest.mark.parametrize("layout", ["contiguous", "stride2"])
@pytest.mark.parametrize("name, values, dt, threshold, expected", FLOAT_CASES)
def test_stated_scalar_cases(name, values, dt, threshold, expected, layout):
    module_fn, reference_fn = MEASURES[name]
    accel, base = LAYOUTS[layout](values)
    before = snapshot(base)
    want = reference_fn(accel, dt, threshold)
    same_float(want, expected, "reference")
    same_float(module_fn(accel, dt, threshold), want, name)
    assert snapshot(base) == before


# Two NaNs in one sum: strict left-to-right addition keeps the first one's bits
# (the processor returns the first operand's NaN). The second block of eight
# samples is NaN throughout, so a blocked loop that adds in another order shows.
def array_layout(r):
    """What a caller can see of a returned array: its flags and the objects behind it."""
    flags = {k: r.flags[k] for k in ("C_CONTIGUOUS", "F_CONTIGUOUS", "OWNDATA", "WRITEABLE", "ALIGNED")}
    base = r.base
    inner = [(type(o).__name__, o.flags["OWNDATA"] if isinstance(o, np.ndarray) else None, getattr(o, "shape", None))
             for o in gc.get_referents(base.obj)] if isinstance(base, memoryview) else None
    return (type(r), r.dtype, r.shape, r.strides, flags, type(base), getattr(base, "format", None),
            getattr(base, "readonly", None), type(getattr(base, "obj", None)), inner)


@pytest.mark.parametrize("n, dt, levels", [
    (4000, 0.01, [0.05, 0.75, 0.95]), (3, 0.5, [0.5]), (100, 0.01, []), (64, -0.01, [0.2, 0.2]), (1, 0.01, [0.0]),
])
def test_ia_times_result_is_built_as_numpy_builds_it(n, dt, levels, monkeypatch):
    # The fast path builds the result itself; it must be the very layout np.zeros and
    # np.asarray of a view give on the path through the namespace.
    accel, levels = np.random.default_rng(n).normal(size=n), np.array(levels)
    fast = tavo.get_Ia_times_cy(accel, dt, levels)
    monkeypatch.setattr(tavo, "np", CountingNumpy())
    by_name = tavo.get_Ia_times_cy(accel, dt, levels)
    assert array_layout(fast) == array_layout(by_name)
    same_array(fast, by_name, len(levels))


NAN_ORDER = [NAN_PAYLOAD] + [1.0] * 7 + [f64("4501000000f8ffff")] * 8


@pytest.mark.parametrize("path", ["fast", "generic"])
@pytest.mark.parametrize("name, dt, extra", [
    ("CAV", 1.0, None), ("CAVn", 1.0, 0.5), ("CAVn", 1.0, NAN), ("CAVstd", 1.5, None), ("Ia", 1.0, None),
])
def test_first_nan_of_a_sum_decides_its_bits(name, dt, extra, path, monkeypatch):
    if path == "generic":
        monkeypatch.setattr(tavo, "np", CountingNumpy())
    module_fn, reference_fn = MEASURES[name]
    want = reference_fn(np.array(NAN_ORDER), dt, extra)
    got = module_fn(np.array(NAN_ORDER), dt, extra)
    if name == "Ia":
        (want, want_series), (got, got_series) = want, got
        same_array(got_series, want_series, len(NAN_ORDER))
    same_float(want, NAN_PAYLOAD, "reference")
    same_float(got, want, name)


@pytest.mark.parametrize("name, args, expected", [
    ("get_PGA_cy", (), -999.0),
    ("get_CAV_cy", (0.5,), 0.0),
    ("get_CAV_cy", (-0.5,), -0.0),
    ("get_CAVn_cy", (0.5, 0.1), 0.0),
    ("get_CAVstd_cy", (0.5,), 0.0),
    ("get_CAVstd_cy", (-0.5,), -0.0),
])
def test_none_is_an_empty_record(name, args, expected):
    same_float(getattr(tavo, name)(None, *args), expected, name)


def test_ia_of_none_and_of_empty():
    for accel in (None, np.zeros(0)):
        total, series = tavo.get_Ia_cy(accel, 0.5)
        same_float(total, 0.0)
        same_array(series, [], 0)
        same_array(tavo.get_Ia_times_cy(accel, 0.5, np.zeros(0)), [], 0)
        same_array(tavo.get_Ia_times_cy(accel, 0.5, np.array([0.5, 0.0])), [NAN, NAN], 2)


@pytest.mark.parametrize("accel, make_error", [
    (None, lambda: ref.integrate.cumulative_trapezoid(None, dx=0.1)),
    (np.zeros(0), lambda: ref.integrate.cumulative_trapezoid(np.zeros(0), dx=0.1)),
])
def test_pgv_passes_scipy_errors_on(accel, make_error):
    want = outcome(make_error)
    if accel is not None and want[0] == "ok":
        pytest.skip("this SciPy integrates an empty record to an empty velocity")
    assert want[0] == "raised"
    assert outcome(lambda: tavo.get_PGV_cy(accel, 0.1))[:3] == want[:3]


def test_ia_stated_values():
    accel = np.array([1.0, -2.0, 3.0])
    want_total, want_series = ref.get_Ia_ref(accel, 0.5)
    same_float(want_total, 1.1208536480697529, "reference")
    same_array(want_series, [0.0800609748621252, 0.400304874310626, 1.1208536480697529], 3)
    total, series = tavo.get_Ia_cy(accel, 0.5)
    same_float(total, want_total)
    same_array(series, want_series, 3)
    same_float(total, float(series[-1]))


IA_TIMES_CASES = [
    ([0.0, 1.0, 0.0, 1.0], 1.0, [0.5], [4.0]),
    ([1.0, 1.0, 1.0, 1.0], 0.5, [0.5, 0.25, 0.05, 0.95, -0.1], [1.5, 1.0, 0.5, 2.0, 0.5]),
    ([0.0, 0.0, 2.0, 0.0], 1.0, [0.0], [3.0]),
    ([1.0, 1.0, 1.0], 0.01, [0.4], [0.019999999999999997]),
    ([1.0, 2.0, 3.0], 0.5, [], []),
    ([3.0], 0.5, [0.5, 0.0, -1.0], [DEFAULT_NAN] * 3),  # the one-element time axis is 0 * (0/0) + dt
    # Levels that nothing exceeds have no time.
    ([1.0, 2.0, 3.0], 0.5, [1.0, 5.0, 95.0, NAN, 0.9999999999999999, 0.5], [NAN, NAN, NAN, NAN, 1.5, 1.5]),
    ([0.0, 0.0, 0.0], 0.5, [0.0, 0.5], [NAN, NAN]),
    ([1.0, 2.0], 0.0, [0.0, 0.5], [NAN, NAN]),
    ([1.0, INF, 2.0], 0.5, [0.5, 0.0, -0.5], [NAN, NAN, 0.5]),
    ([1.0, NAN, 2.0], 0.5, [0.5], [NAN]),
    ([1.0, 2.0, 3.0], NAN, [0.5], [NAN]),
    ([], 0.5, [0.5, 0.0], [NAN, NAN]),
    # A negative dt makes the series fall: the first element already exceeds the level.
    ([1.0, 2.0, 3.0], -0.5, [0.5, 1.5, NAN], [-0.5, -0.5, NAN]),
]


@pytest.mark.parametrize("layout", ["contiguous", "reversed", "array"])
@pytest.mark.parametrize("values, dt, levels, expected", IA_TIMES_CASES)
def test_ia_times_stated_cases(values, dt, levels, expected, layout):
    accel, base = LAYOUTS[layout](values)
    percentages, pbase = LAYOUTS[layout](levels)
    before = snapshot(base), snapshot(pbase)
    want = ref.get_Ia_times_ref(accel, dt, percentages)
    same_array(want, expected, len(levels), "reference")
    same_array(tavo.get_Ia_times_cy(accel, dt, percentages), want, len(levels), "module")
    assert (snapshot(base), snapshot(pbase)) == before


CAVSTD_CASES = [
    ([0.1, 0.1, 0.3, 0.1], 0.5, 0.2, [0.0, 0.0, 0.3, 0.1]),
    ([0.1, -0.3, 0.2, 0.1, 0.05], 0.5, 0.2, [0.1, -0.3, 0.0, 0.0, 0.0]),
    ([0.2, 0.24525, 0.1, 0.24525000000000002], 0.5, 0.17262500000000003, [0.0, 0.0, 0.1, 0.24525000000000002]),
    ([-0.3, 0.1], 1.0, 0.3, [-0.3, 0.0]),
    ([NAN, NAN, 0.3, 0.1], 0.5, 0.2, [0.0, 0.0, 0.3, 0.1]),
    ([NAN, 0.3, 0.1, 0.1], 0.5, NAN, [NAN, 0.3, 0.0, 0.0]),
    ([0.1, -0.0, 0.3], 1.5, 0.6000000000000001, [0.1, -0.0, 0.3]),
    ([0.1, 0.2], 0.0, 0.0, [0.1, 0.2]),
    ([0.1, INF], 0.0, DEFAULT_NAN, [0.1, INF]),
    ([0.1, 0.2], -0.5, -0.15000000000000002, [0.1, 0.2]),
    ([0.1, 0.2], NAN, NAN, [0.1, 0.2]),
    ([0.1, 0.2], INF, INF, [0.1, 0.2]),
    ([], 0.5, 0.0, []),
    ([], -0.5, -0.0, []),
]


@pytest.mark.parametrize("layout", ["contiguous", "stride3", "reversed", "memoryview"])
@pytest.mark.parametrize("values, dt, expected, after", CAVSTD_CASES)
def test_cavstd_stated_cases(values, dt, expected, after, layout):
    accel, base = LAYOUTS[layout](values)
    ref_accel, ref_base = LAYOUTS[layout](values)
    want = ref.get_CAVstd_ref(ref_accel, dt)
    same_float(want, expected, "reference")
    same_array(np.asarray(ref_accel, dtype=np.float64).copy(), after, len(after), "reference silenced")
    same_float(tavo.get_CAVstd_cy(accel, dt), want, "module")
    assert snapshot(base) == snapshot(ref_base)


@pytest.mark.parametrize("n, dt, kept", [
    (60, 0.01, []),                       # one window holding the whole record
    (1050, 0.01, []),                     # the short eleventh window is tested too
    (1000, 0.016, list(range(992, 1000))),  # windows of 62: the last 8 samples are in none
    (200, 1.0 / 99, []),                  # windows of 98, not 99
    (5, 1.0, []),                         # one sample per window
    (5, 1.5, list(range(5))),             # empty windows silence nothing
])
@pytest.mark.parametrize("layout", ["contiguous", "stride2"])
def test_cavstd_window_boundaries(n, dt, kept, layout):
    # A quiet record with one loud sample right after each window boundary the
    # definitions predict: a window that ended one sample later or earlier
    # would keep or lose quiet samples.
    values = [0.1] * n
    accel, base = LAYOUTS[layout](values)
    ref_accel, ref_base = LAYOUTS[layout](values)
    want = ref.get_CAVstd_ref(ref_accel, dt)
    got = tavo.get_CAVstd_cy(accel, dt)
    same_float(got, want)
    assert snapshot(base) == snapshot(ref_base)
    assert [k for k, v in enumerate(np.asarray(accel).tolist()) if v != 0.0] == kept
    if layout == "stride2":
        assert base[1::2].tolist() == [GAP] * n  # only the viewed elements were written


def test_cavstd_windows_of_98_samples_for_dt_1_over_99():
    accel = np.full(200, 0.1)
    accel[98] = 1.0  # first sample of the second window: the first window stays quiet
    ref_accel = accel.copy()
    same_float(tavo.get_CAVstd_cy(accel, 1.0 / 99), ref.get_CAVstd_ref(ref_accel, 1.0 / 99))
    assert accel.view(np.uint64).tolist() == ref_accel.view(np.uint64).tolist()
    assert not accel[:98].any() and accel[98:196].tolist() == ref_accel[98:196].tolist() == [1.0] + [0.1] * 97


def test_cavstd_second_call_changes_nothing():
    rng = np.random.default_rng(7)
    accel = record_like(rng, 3000)
    first = tavo.get_CAVstd_cy(accel, 0.01)
    after = accel.copy()
    same_float(tavo.get_CAVstd_cy(accel, 0.01), first)
    assert accel.tobytes() == after.tobytes()


# The paths through the module namespace.

def pga_spy(record, base):
    """A get_PGA_cy that records each window's samples and whether it lies in `base`."""
    def spy(window):
        samples = np.asarray(window)
        assert samples.dtype == np.float64 and samples.ndim == 1
        record.append((samples.copy(), samples.size == 0 or np.shares_memory(samples, base)))
        return ref.get_PGA_ref(window)
    return spy


@pytest.mark.parametrize("layout", ["contiguous", "stride2", "reversed", "memoryview"])
@pytest.mark.parametrize("n, dt", [(1050, 0.01), (1000, 0.016), (10, 1.5), (7, 1.0), (0, 0.5), (50, 0.0)])
def test_cavstd_calls_get_pga_cy_per_window(n, dt, layout, monkeypatch):
    rng = np.random.default_rng(n)
    values = record_like(rng, n).tolist()
    accel, base = LAYOUTS[layout](values)
    ref_accel, ref_base = LAYOUTS[layout](values)
    seen, expected = [], []
    monkeypatch.setattr(tavo, "get_PGA_cy", pga_spy(seen, base))
    got = tavo.get_CAVstd_cy(accel, dt)
    same_float(got, ref.get_CAVstd_ref(ref_accel, dt, pga=pga_spy(expected, ref_base)))
    assert len(seen) == len(expected)
    for k, ((window, shared), (want, _)) in enumerate(zip(seen, expected)):
        assert shared, f"window {k} is a copy"
        assert window.tobytes() == want.tobytes(), f"window {k}"
    assert snapshot(base) == snapshot(ref_base)


class WindowFailure(Exception):
    pass


@pytest.mark.parametrize("failing", [0, 3, 10])
def test_cavstd_failure_in_a_window_leaves_earlier_windows_silenced(failing, monkeypatch):
    accel = np.full(1050, 0.1)
    ref_accel = accel.copy()
    error = WindowFailure("window")

    def failing_pga(calls):
        def pga(window):
            calls.append(1)
            if len(calls) == failing + 1:
                raise error
            return ref.get_PGA_ref(window)
        return pga

    monkeypatch.setattr(tavo, "get_PGA_cy", failing_pga([]))
    with pytest.raises(WindowFailure) as info:
        tavo.get_CAVstd_cy(accel, 0.01)
    assert info.value is error
    assert traceback.extract_tb(info.tb)[-1].name == "pga"
    with pytest.raises(WindowFailure):
        ref.get_CAVstd_ref(ref_accel, 0.01, pga=failing_pga([]))
    assert accel.tobytes() == ref_accel.tobytes()
    assert not accel[:100 * failing].any() and (accel[100 * failing:] == 0.1).all()


@pytest.mark.parametrize("peak, silenced", [
    (0, True), (True, False), (np.float64(0.3), False), (np.float32(0.1), True), (QUIET, False),
    (-999.0, True), (NAN, False),
])
def test_cavstd_converts_the_peak_to_float(peak, silenced, monkeypatch):
    monkeypatch.setattr(tavo, "get_PGA_cy", lambda window: peak)
    accel = np.full(4, 0.1)
    tavo.get_CAVstd_cy(accel, 0.5)
    assert (accel == 0.0).all() if silenced else (accel == 0.1).all()


def test_cavstd_peak_that_is_no_number(monkeypatch):
    monkeypatch.setattr(tavo, "get_PGA_cy", lambda window: "0.3")
    accel = np.full(4, 0.1)
    with pytest.raises(TypeError) as info:
        tavo.get_CAVstd_cy(accel, 0.5)
    with pytest.raises(TypeError) as want:
        ref.get_CAVstd_ref(accel.copy(), 0.5, pga=lambda window: "0.3")
    assert str(info.value) == str(want.value)
    assert (accel == 0.1).all()


def test_cavstd_looks_get_pga_cy_up_for_every_window(monkeypatch):
    calls = []

    def second(window):
        calls.append("second")
        return 1.0

    def first(window):
        calls.append("first")
        monkeypatch.setattr(tavo, "get_PGA_cy", second)
        return 0.0

    monkeypatch.setattr(tavo, "get_PGA_cy", first)
    accel = np.full(4, 0.1)
    tavo.get_CAVstd_cy(accel, 0.5)
    assert calls == ["first", "second"]
    assert accel.tolist() == [0.0, 0.0, 0.1, 0.1]


def test_cavstd_without_get_pga_cy(monkeypatch):
    monkeypatch.delattr(tavo, "get_PGA_cy")
    accel = np.full(4, 0.1)
    with pytest.raises(NameError) as info:
        tavo.get_CAVstd_cy(accel, 0.5)
    assert str(info.value) == "name 'get_PGA_cy' is not defined"
    assert traceback.extract_tb(info.tb)[-1].name == "tavotools.tavo.get_CAVstd_cy"
    assert (accel == 0.1).all()
    # No window, no lookup.
    same_float(tavo.get_CAVstd_cy(accel, 0.0), 0.0)
    # The builtins are the fallback: the interpreter's, not the calling frame's.
    seen, frame_seen = [], []
    monkeypatch.setattr(builtins, "get_PGA_cy", pga_spy(seen, accel), raising=False)
    exec("f(accel, 0.5)", {"__builtins__": {"get_PGA_cy": pga_spy(frame_seen, accel)},
                           "f": tavo.get_CAVstd_cy, "accel": accel})
    assert len(seen) == 2 and not frame_seen and (accel == 0.0).all()


MISSING_NP = [
    ("get_PGA_cy", (), ["tavotools.tavo.get_PGA_cy", "tavotools.tavo.abs_cy"]),
    ("get_PGV_cy", (0.1,), ["tavotools.tavo.get_PGV_cy", "tavotools.tavo.abs_cy"]),
    ("get_Ia_cy", (0.1,), ["tavotools.tavo.get_Ia_cy", "tavotools.tavo.pow_array"]),
    ("get_Ia_times_cy", (0.1, np.array([0.5])), ["tavotools.tavo.get_Ia_times_cy", "tavotools.tavo.linspace_cy"]),
    ("get_CAV_cy", (0.1,), ["tavotools.tavo.get_CAV_cy", "tavotools.tavo.abs_cy"]),
    ("get_CAVn_cy", (0.1, 0.2), ["tavotools.tavo.get_CAVn_cy", "tavotools.tavo.abs_cy"]),
    ("get_CAVstd_cy", (0.0,), ["tavotools.tavo.get_CAVstd_cy", "tavotools.tavo.abs_cy"]),
    ("get_CAVstd_cy", (0.5,), ["tavotools.tavo.get_CAVstd_cy", "tavotools.tavo.get_PGA_cy",
                               "tavotools.tavo.abs_cy"]),
]


@pytest.mark.parametrize("name, args, entries", MISSING_NP)
def test_missing_np_is_a_name_error(name, args, entries, monkeypatch):
    monkeypatch.delattr(tavo, "np")
    accel = np.array([0.1, 0.3, 0.2, 0.1])
    before = accel.tobytes()
    refs = sys.getrefcount(accel)
    for _ in range(3):
        with pytest.raises(NameError) as info:
            getattr(tavo, name)(accel, *args)
        assert str(info.value) == "name 'np' is not defined"
        assert [e.name for e in traceback.extract_tb(info.tb)[-len(entries):]] == entries
        del info
    assert sys.getrefcount(accel) == refs
    assert accel.tobytes() == before
    # With `np` among the builtins the module finds it there.
    monkeypatch.setattr(builtins, "np", CountingNumpy(), raising=False)
    getattr(tavo, name)(accel, *args)
    assert builtins.np.zeros_calls
    # Those of the interpreter, not the calling frame's (code run by exec with builtins of its own).
    calls = len(builtins.np.zeros_calls)
    frame_np = CountingNumpy()
    exec("f(accel, *args)", {"__builtins__": {"np": frame_np}, "f": getattr(tavo, name), "accel": accel,
                             "args": args})
    assert not frame_np.zeros_calls and len(builtins.np.zeros_calls) == 2 * calls


def test_pga_through_patched_numpy_functions(monkeypatch):
    # Replacing NumPy's own zeros (not the module's `np`) also leaves the fast path.
    calls = []
    zeros = np.zeros
    monkeypatch.setattr(np, "zeros", lambda *a, **k: (calls.append(a), zeros(*a, **k))[1])
    accel = np.array([0.1, -0.3, NAN])
    same_float(tavo.get_PGA_cy(accel), 0.3)
    same_float(tavo.get_CAV_cy(accel[:2], 1.0), ref.get_CAV_ref(accel[:2], 1.0))
    assert calls == [(3,), (2,)]


@pytest.mark.parametrize("name", ["cumsum", "array"])
def test_pgv_through_numpy_functions_that_scipy_calls(name, monkeypatch):
    # SciPy's own cumulative_trapezoid reaches NumPy by name at call time: with one of
    # those functions replaced, the velocity is SciPy's, which calls the replacement.
    original, calls = getattr(np, name), []
    accel = np.array([0.0, 1.0, 0.0, -1.0, 0.0, 3.0])  # made before: its np.array is no call of SciPy's
    monkeypatch.setattr(np, name, lambda *a, **k: (calls.append(name), original(*a, **k))[1])
    want = np.abs(ref.integrate.cumulative_trapezoid(accel, dx=0.1)).max()
    if not calls:
        pytest.skip(f"this SciPy does not call numpy.{name}")
    calls.clear()
    same_float(tavo.get_PGV_cy(accel, 0.1), float(want))
    assert calls                              # SciPy ran, and called the replacement


class RecordingIntegrate:
    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def cumulative_trapezoid(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.result is not None:
            return self.result
        return ref.integrate.cumulative_trapezoid(*args, **kwargs)


@pytest.mark.parametrize("layout", ["contiguous", "stride3", "reversed", "array"])
@pytest.mark.parametrize("dt", [0.01, -0.02, 0.0, NAN])
def test_pgv_hands_the_record_to_cumulative_trapezoid(layout, dt, monkeypatch):
    values = record_like(np.random.default_rng(3), 500).tolist()
    accel, base = LAYOUTS[layout](values)
    stand_in = RecordingIntegrate()
    monkeypatch.setattr(tavo, "integrate", stand_in)
    same_float(tavo.get_PGV_cy(accel, dt), ref.get_PGV_ref(accel, dt))
    [(args, kwargs)] = stand_in.calls
    assert len(args) == 1 and list(kwargs) == ["dx"]
    assert type(kwargs["dx"]) is float and bits(kwargs["dx"]) == bits(dt)
    seen = np.asarray(args[0])
    assert seen.dtype == np.float64 and seen.tolist() == np.asarray(accel).tolist()
    assert np.shares_memory(seen, base)


@pytest.mark.parametrize("velocity, error, message", [
    (np.zeros((2, 2)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.zeros(3, dtype=np.float32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (np.zeros(3, dtype=">f8"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
    ([0.0, 1.0], TypeError, None),
])
def test_pgv_velocity_must_be_a_double_buffer(velocity, error, message, monkeypatch):
    monkeypatch.setattr(tavo, "integrate", RecordingIntegrate(velocity))
    with pytest.raises(error) as info:
        tavo.get_PGV_cy(np.ones(3), 0.1)
    if message is not None:
        assert str(info.value) == message
    assert traceback.extract_tb(info.tb)[-1].name == "tavotools.tavo.get_PGV_cy"


def test_pgv_without_integrate(monkeypatch):
    monkeypatch.delattr(tavo, "integrate")
    with pytest.raises(NameError) as info:
        tavo.get_PGV_cy(np.ones(3), 0.1)
    assert str(info.value) == "name 'integrate' is not defined"


@pytest.mark.parametrize("name", ["Ia", "Ia_times"])
@pytest.mark.parametrize("accel, dt, message", [
    ([1e154, 1e154], 1e300, "overflow encountered in multiply"),
    ([1e-160, 3.0], 1e-300, "underflow encountered in multiply"),
    ([INF, 1.0], 0.0, "invalid value encountered in multiply"),
])
def test_arias_scaling_raises_and_warns_as_numpy(name, accel, dt, message):
    module_fn, reference_fn = MEASURES[name]
    levels = (np.array([0.5, 0.1]), None)
    a = np.array(accel)
    with np.errstate(all="raise"):
        with pytest.raises(FloatingPointError) as want:
            reference_fn(a, dt, levels)
        with pytest.raises(FloatingPointError) as got:
            module_fn(a, dt, levels)
    assert str(got.value) == str(want.value) == message
    if message.startswith("underflow"):
        return  # NumPy ignores underflow by default
    with pytest.warns(RuntimeWarning, match=message):
        got = module_fn(a, dt, levels)
    with pytest.warns(RuntimeWarning, match=message):
        want = reference_fn(a, dt, levels)
    if name == "Ia":
        same_float(got[0], want[0])
        same_array(got[1], want[1], len(accel))
    else:
        same_array(got, want, 2)


@pytest.mark.parametrize("name", list(MEASURES))
def test_references_to_inputs_are_released(name):
    module_fn, _ = MEASURES[name]
    accel = record_like(np.random.default_rng(5), 300)
    levels = np.array([0.05, 0.5, 0.95])
    extra = (levels, None) if name == "Ia_times" else 0.3
    counts = sys.getrefcount(accel), sys.getrefcount(levels)
    for _ in range(5):
        module_fn(accel, 0.01, extra)
        module_fn(accel[::-2], 0.01, extra)
    assert (sys.getrefcount(accel), sys.getrefcount(levels)) == counts


@pytest.mark.parametrize("name", list(MEASURES))
def test_real_record_matches_reference(data, name):
    [csv] = sorted((data / "elcentro1940_chopra").glob("*.csv"))
    accel = np.loadtxt(csv, delimiter=",", skiprows=1, usecols=1) * 9.81
    module_fn, reference_fn = MEASURES[name]
    extra = (np.array([0.05, 0.75, 0.95, 0.5]), None) if name == "Ia_times" else QUIET
    a, b = accel.copy(), accel.copy()
    got = outcome(lambda: module_fn(a, 0.02, extra))
    want = outcome(lambda: reference_fn(b, 0.02, extra))
    assert got[0] == want[0] == "ok"
    compare(name, got, want, len(accel), extra, name)
    assert a.tobytes() == b.tobytes()
