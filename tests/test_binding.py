"""Call binding and argument conversion of the public functions: argument
counts, keywords, conversion to doubles, 32-bit integers and double views,
every message verbatim, and release of every argument on every path."""
import array
import ctypes
import gc
import math
import struct
import sys
import traceback
import warnings

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import tavotools.tavo as tavo
from tavotools import _spectra

try:
    from _testcapi import pyobject_vectorcall
except ImportError:
    pyobject_vectorcall = None

V, D, I = "view", "double", "int32"
PARAMS = {
    "get_PGA_cy": [("accel", V)],
    "get_PGV_cy": [("accel", V), ("dt", D)],
    "get_Ia_cy": [("accel", V), ("dt", D)],
    "get_Ia_times_cy": [("accel", V), ("dt", D), ("percentages", V)],
    "get_CAV_cy": [("accel", V), ("dt", D)],
    "get_CAVn_cy": [("accel", V), ("dt", D), ("threshold", D)],
    "get_CAVstd_cy": [("accel", V), ("dt", D)],
    "get_CAVdp_cy": [("CAVstd_gm", D), ("max_CAVstd", D), ("max_PSA", D), ("max_PSV", D),
                     ("PSV_check", I)],
}
NAMES = list(PARAMS)
DOUBLE_PARAMS = [(n, i) for n, ps in PARAMS.items() for i, (_, k) in enumerate(ps) if k == D]


def valid_args(name):
    """Fresh arguments that every function accepts."""
    if name == "get_CAVdp_cy":
        return [1.7, 2.0, 2.0, 0.2, 1]
    values = {"accel": np.array([0.3, -1.2, 0.7, 2.5, -0.4]), "dt": 0.5,
              "percentages": np.array([0.05, 0.95]), "threshold": 0.5}
    return [values[p] for p, _ in PARAMS[name]]


def n_required(name):
    return 4 if name == "get_CAVdp_cy" else len(PARAMS[name])


def raises(exc, f, *args, **kwargs):
    with pytest.raises(exc) as e:
        f(*args, **kwargs)
    return e.value


def same(a, b):
    """Equal as results, bit for bit."""
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return a.tobytes() == b.tobytes()
    if isinstance(a, float):
        return type(b) is float and struct.pack("<d", a) == struct.pack("<d", b)
    return type(a) is type(b) and a == b


# ---- counts and keywords -----------------------------------------------------------

@pytest.mark.parametrize("name, n, message", [
    ("get_PGA_cy", 0, "get_PGA_cy() takes exactly 1 positional argument (0 given)"),
    ("get_PGA_cy", 2, "get_PGA_cy() takes exactly 1 positional argument (2 given)"),
    ("get_PGV_cy", 1, "get_PGV_cy() takes exactly 2 positional arguments (1 given)"),
    ("get_PGV_cy", 3, "get_PGV_cy() takes exactly 2 positional arguments (3 given)"),
    ("get_Ia_cy", 0, "get_Ia_cy() takes exactly 2 positional arguments (0 given)"),
    ("get_Ia_times_cy", 2, "get_Ia_times_cy() takes exactly 3 positional arguments (2 given)"),
    ("get_Ia_times_cy", 4, "get_Ia_times_cy() takes exactly 3 positional arguments (4 given)"),
    ("get_CAV_cy", 1, "get_CAV_cy() takes exactly 2 positional arguments (1 given)"),
    ("get_CAVn_cy", 4, "get_CAVn_cy() takes exactly 3 positional arguments (4 given)"),
    ("get_CAVstd_cy", 3, "get_CAVstd_cy() takes exactly 2 positional arguments (3 given)"),
    ("get_CAVdp_cy", 0, "get_CAVdp_cy() takes at least 4 positional arguments (0 given)"),
    ("get_CAVdp_cy", 3, "get_CAVdp_cy() takes at least 4 positional arguments (3 given)"),
    ("get_CAVdp_cy", 6, "get_CAVdp_cy() takes at most 5 positional arguments (6 given)"),
])
def test_positional_count(name, n, message):
    args = (valid_args(name) + [0.0] * 6)[:n]
    assert str(raises(TypeError, getattr(tavo, name), *args)) == message


@pytest.mark.parametrize("args, kwargs, message", [
    # the missing dt is found before the repeated accel
    ((), {"accel": 0}, "get_PGV_cy() takes exactly 2 positional arguments (1 given)"),
    ((0,), {"accel": 0}, "get_PGV_cy() takes exactly 2 positional arguments (1 given)"),
    ((0, 1), {"accel": 0}, "get_PGV_cy() got multiple values for keyword argument 'accel'"),
    ((0, 1, 2), {"accel": 0}, "get_PGV_cy() takes exactly 2 positional arguments (3 given)"),
    ((0,), {"dt": 1, "bogus": 2}, "get_PGV_cy() got an unexpected keyword argument 'bogus'"),
    ((), {"accel": 0, "dt": 1, "DT": 2}, "get_PGV_cy() got an unexpected keyword argument 'DT'"),
    ((), {"Accel": 0, "dt": 1}, "get_PGV_cy() takes exactly 2 positional arguments (0 given)"),
    # leftover keywords are judged in call order
    ((0,), {"dt": 1, "accel": 0, "zz": 2}, "get_PGV_cy() got multiple values for keyword argument 'accel'"),
    ((0,), {"dt": 1, "zz": 2, "accel": 0}, "get_PGV_cy() got an unexpected keyword argument 'zz'"),
])
def test_keyword_binding_messages(args, kwargs, message):
    assert str(raises(TypeError, tavo.get_PGV_cy, *args, **kwargs)) == message


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2), {"max_PSV": 4, "PSV_check": 1}, "get_CAVdp_cy() takes at least 4 positional arguments (2 given)"),
    ((1, 2, 3), {"PSV_check": 1}, "get_CAVdp_cy() takes at least 4 positional arguments (3 given)"),
    ((1, 2, 3, 4, 5), {"PSV_check": 1}, "get_CAVdp_cy() got multiple values for keyword argument 'PSV_check'"),
    ((1, 2, 3, 4, 5, 6), {"PSV_check": 1}, "get_CAVdp_cy() takes at most 5 positional arguments (6 given)"),
    ((1, 2, 3, 4), {"psv_check": 1}, "get_CAVdp_cy() got an unexpected keyword argument 'psv_check'"),
    ((1, 2, 3), {"max_PSV": 4, "max_PSA": 3}, "get_CAVdp_cy() got multiple values for keyword argument 'max_PSA'"),
])
def test_keyword_binding_messages_with_default(args, kwargs, message):
    assert str(raises(TypeError, tavo.get_CAVdp_cy, *args, **kwargs)) == message


@pytest.mark.parametrize("name", NAMES)
def test_missing_required_reports_its_index(name):
    f, params = getattr(tavo, name), [p for p, _ in PARAMS[name]]
    r = n_required(name)
    for j in range(r):
        kwargs = dict(zip(params, valid_args(name)))
        del kwargs[params[j]]
        how = "exactly" if r == len(params) else "at least"
        assert str(raises(TypeError, f, **kwargs)) == (
            f"{name}() takes {how} {r} positional argument{'s' if r > 1 else ''} ({j} given)")


@pytest.mark.parametrize("name", NAMES)
def test_duplicate_and_unexpected_for_every_function(name):
    f, params = getattr(tavo, name), [p for p, _ in PARAMS[name]]
    args = valid_args(name)
    for p in (params[0], params[-1]):
        assert str(raises(TypeError, f, *args, **{p: args[0]})) == (
            f"{name}() got multiple values for keyword argument '{p}'")
    assert str(raises(TypeError, f, *args[:-1], **{params[-1]: args[-1], "nope": 0})) == (
        f"{name}() got an unexpected keyword argument 'nope'")


@pytest.mark.parametrize("name", NAMES)
def test_keywords_in_any_order_bind_like_positions(name):
    f, params = getattr(tavo, name), [p for p, _ in PARAMS[name]]
    expected = f(*valid_args(name))
    for split in range(len(params) + 1):
        args = valid_args(name)
        kwargs = dict(reversed(list(zip(params[split:], args[split:]))))
        assert same(f(*args[:split], **kwargs), expected)


def test_keyword_names_compare_by_value():
    a = np.array([1.0, -4.0])
    name = "".join(["acc", "el"])             # equal to the parameter name, not interned

    class Name(str):
        pass

    assert name is not "accel" and tavo.get_PGA_cy(**{name: a}) == 4.0
    assert tavo.get_PGA_cy(**{Name("accel"): a}) == 4.0


@pytest.mark.skipif(pyobject_vectorcall is None, reason="needs _testcapi")
def test_non_string_keyword():
    a = np.array([1.0, -4.0])
    e = raises(TypeError, pyobject_vectorcall, tavo.get_PGV_cy, (a, 1.0, 2.0), ("dt", 1))
    assert str(e) == "get_PGV_cy() keywords must be strings"
    e = raises(TypeError, pyobject_vectorcall, tavo.get_CAVdp_cy, (1.7, 2.0, 2.0, 0.2, 0), (b"x",))
    assert str(e) == "get_CAVdp_cy() keywords must be strings"
    # a missing required parameter is reported before the odd keyword
    e = raises(TypeError, pyobject_vectorcall, tavo.get_PGA_cy, (a,), (1,))
    assert str(e) == "get_PGA_cy() takes exactly 1 positional argument (0 given)"
    assert pyobject_vectorcall(tavo.get_PGA_cy, (a,), ()) == 4.0


def test_binding_precedes_conversion():
    # a call with bad values and a bad keyword reports the keyword
    e = raises(TypeError, tavo.get_PGV_cy, [1], "x", bogus=1)
    assert str(e) == "get_PGV_cy() got an unexpected keyword argument 'bogus'"


# ---- conversion to double ----------------------------------------------------------

class HasFloat:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class HasIndex:
    def __index__(self):
        return 3


@pytest.mark.parametrize("value, expected", [
    (2, 2.0), (True, 1.0), (-1.0, -1.0), (-0.0, -0.0), (2**53 + 1, 9007199254740992.0),
    (np.float32(1.5), 1.5), (np.float64(-2.25), -2.25), (np.int64(3), 3.0), (np.bool_(True), 1.0),
    (HasFloat(2.5), 2.5), (HasFloat(-1.0), -1.0), (HasIndex(), 3.0),
    (math.inf, math.inf), (-math.inf, -math.inf), (HasFloat(math.nan), math.nan),
    # exact ints rounded as float() rounds them, halfway cases to even
    (-(2**64) - 1, float(-(2**64) - 1)), (2**54 + 2, float(2**54 + 2)), (2**54 + 6, float(2**54 + 6)),
    (10**308, 1e308), (2**1024 - 2**970 - 1, float(2**1024 - 2**970 - 1)), (-5, -5.0),
])
def test_double_conversion(value, expected):
    # CAVstd_gm comes back as the converted double when the criteria pass
    r = tavo.get_CAVdp_cy(value, 2.0, 2.0, 0.2)
    assert type(r) is float and struct.pack("<d", r) == struct.pack("<d", expected)


def interpreter_float_error(value):
    try:
        math.fabs(value)                      # the interpreter's own float conversion
    except Exception as e:
        return type(e), str(e)
    raise AssertionError(f"{value!r} converts")


@pytest.mark.parametrize("name, index", DOUBLE_PARAMS)
@pytest.mark.parametrize("bad", ["x", None, b"1", 1j, HasFloat(1), HasFloat("1"), 2**1024, 2**1024 - 2**970],
                         ids=["str", "None", "bytes", "complex", "float_returns_int",
                              "float_returns_str", "huge_int", "int_rounding_to_overflow"])
def test_double_conversion_errors(name, index, bad):
    args = valid_args(name)
    args[index] = bad
    exc, message = interpreter_float_error(bad)
    assert str(raises(exc, getattr(tavo, name), *args)) == message


@pytest.mark.parametrize("name, index", DOUBLE_PARAMS)
def test_double_accepts_int_and_numpy_scalars(name, index):
    f = getattr(tavo, name)
    results = []
    for v in (2, 2.0, np.float32(2.0), np.int8(2), HasFloat(2.0)):
        args = valid_args(name)
        args[index] = v
        results.append(f(*args))
    assert all(same(r, results[1]) for r in results)


# ---- conversion to a 32-bit integer (PSV_check) -------------------------------------

class IntSub(int):
    def __int__(self):
        return 0                              # never called: an int is taken by value


class IntReturns:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


@pytest.mark.parametrize("value, is_zero", [
    (0, True), (1, False), (-1, False), (2, False), (True, False), (False, True),
    (0.9, True), (0.5, True), (-0.9, True), (-1.5, False), (2147483647, False), (-2147483648, False),
    (np.int64(0), True), (np.float64(0.3), True), (IntSub(5), False), (IntReturns(0), True),
])
def test_int32_conversion(value, is_zero):
    # max_PSV below its cut-off: the result tells whether PSV_check converted to 0
    r = tavo.get_CAVdp_cy(1.7, 2.0, 2.0, 0.1, value)
    assert (r, type(r)) == ((1.7, float) if is_zero else (0, int))


@pytest.mark.parametrize("value, exc, message", [
    ("x", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (HasIndex(), TypeError, "an integer is required"),
    (IntReturns(1.5), TypeError, "__int__ returned non-int (type float)"),
    (IntReturns("0"), TypeError, "__int__ returned non-int (type str)"),
    (2**31, OverflowError, None), (-2**31 - 1, OverflowError, None), (2**64, OverflowError, None),
    (IntReturns(2**40), OverflowError, None), (3e9, OverflowError, None),
    (math.nan, ValueError, "cannot convert float NaN to integer"),
    (math.inf, OverflowError, "cannot convert float infinity to integer"),
])
def test_int32_conversion_errors(value, exc, message):
    e = raises(exc, tavo.get_CAVdp_cy, 1.7, 2.0, 2.0, 0.2, value)
    assert message is None or str(e) == message


def test_int_returning_int_subclass_warns():
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type IntSub\)"):
        assert tavo.get_CAVdp_cy(1.7, 2.0, 2.0, 0.1, IntReturns(IntSub(0))) == 1.7
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        raises(DeprecationWarning, tavo.get_CAVdp_cy, 1.7, 2.0, 2.0, 0.1, IntReturns(IntSub(0)))


def test_conversion_order_reports_first_failure():
    e = raises(TypeError, tavo.get_CAVdp_cy, 1.0, None, "x", "y", "z")
    assert str(e) == interpreter_float_error(None)[1]
    # every double is converted before PSV_check
    e = raises(TypeError, tavo.get_CAVdp_cy, 1.0, 2.0, 3.0, "y", "z")
    assert str(e) == interpreter_float_error("y")[1]
    e = raises(ValueError, tavo.get_Ia_times_cy, np.zeros((2, 2)), "x", [1])
    assert str(e) == "Buffer has wrong number of dimensions (expected 1, got 2)"
    e = raises(TypeError, tavo.get_Ia_times_cy, np.zeros(2), "x", [1])
    assert str(e) == interpreter_float_error("x")[1]
    e = raises(ValueError, tavo.get_Ia_times_cy, np.zeros(2), 1.0, np.zeros(2, "f4"))
    assert str(e) == "Buffer dtype mismatch, expected 'double' but got 'float'"


# ---- conversion to a double view ----------------------------------------------------

BASE = np.array([1.0, -9.0, 2.0, -8.0, 3.0, -7.0])


@pytest.mark.parametrize("make, pga", [
    (lambda: BASE.copy(), 9.0),
    (lambda: BASE.copy()[::2], 3.0),
    (lambda: BASE.copy()[1::2], 9.0),
    (lambda: BASE.copy()[::-1], 9.0),
    (lambda: BASE.copy()[4::-2], 3.0),
    (lambda: BASE.copy()[:0], -999.0),
    (lambda: as_strided(np.array([-5.0]), shape=(4,), strides=(0,)), 5.0),
    (lambda: np.zeros(3, np.dtype("<f8")) - 0.5, 0.5),
    (lambda: np.zeros(3, np.dtype("=f8")) - 0.5, 0.5),
    (lambda: array.array("d", [0.5, -4.0]), 4.0),
    (lambda: memoryview(bytearray(np.array([0.5, -4.0]).tobytes())).cast("d"), 4.0),
    (lambda: memoryview(bytearray(np.array([0.5, -4.0]).tobytes())).cast("@d"), 4.0),
    (lambda: memoryview(np.array([0.5, -4.0, 1.0]))[::2], 1.0),
    (lambda: (ctypes.c_double * 2)(0.5, -4.0), 4.0),   # exports '<d'
    (lambda: None, -999.0),
])
def test_accepted_double_views(make, pga):
    x = make()
    assert tavo.get_PGA_cy(x) == pga


def test_strided_view_is_written_in_place():
    # silencing a quiet window writes through the stride into the caller's memory
    base = np.array([0.1, 9.0, 0.1, 9.0, 0.3, 9.0, 0.1, 9.0])
    assert tavo.get_CAVstd_cy(base[::2], 0.5) == 0.2
    assert base.tolist() == [0.0, 9.0, 0.0, 9.0, 0.3, 9.0, 0.1, 9.0]


def test_view_object_handed_out_is_accepted_back(monkeypatch):
    seen = []

    class Integrate:                          # stands in for scipy.integrate inside get_PGV_cy
        @staticmethod
        def cumulative_trapezoid(y, dx):
            seen.append((y, tavo.get_PGA_cy(y)))
            return np.zeros(1)

    monkeypatch.setattr(tavo, "integrate", Integrate)
    x = exporter([0.5, -3.0, 2.0])
    tavo.get_PGV_cy(x, 1.0)
    [(view, pga)] = seen
    assert pga == 3.0 and tavo.get_PGA_cy(view) == 3.0
    assert _layouts[id(x)].gets == 1          # the view object shares its buffer: no new request
    before = sys.getrefcount(x)
    del view, seen
    assert sys.getrefcount(x) == before - 1   # the last view released the buffer


# NumPy arrays are read without a buffer request where the request would give the
# array's own pointer, length and stride: every measure must read them exactly as
# through the request (a memoryview of the same layout takes the request).
def _record(n):
    rng = np.random.default_rng(n)
    a = rng.normal(0.0, 1.0, n) * np.where(np.arange(n) % 300 < 100, 0.01, 1.0)  # quiet windows too
    a[n // 3:n // 3 + 1] = np.nan if n > 9 else a[n // 3:n // 3 + 1]
    return a


def _unaligned(n):
    raw = np.frombuffer(bytearray(8 * n + 3), np.uint8)[3:].view(np.float64)
    raw[:] = _record(n)
    return raw


DIRECT_LAYOUTS = {
    "contiguous": lambda n: _record(n),
    "every other": lambda n: _record(2 * n)[::2],
    "reversed": lambda n: _record(n)[::-1],
    "reversed by 3": lambda n: _record(3 * n)[::-3],
    "one sample repeated": lambda n: as_strided(_record(1) * 7.0, shape=(n,), strides=(0,)),
    "unaligned": _unaligned,
    "Fortran column": lambda n: np.asfortranarray(_record(2 * n).reshape(n, 2))[:, 1],
}
ARRAY_CALLS = {
    "get_PGA_cy": lambda a: tavo.get_PGA_cy(a),
    "get_PGV_cy": lambda a: tavo.get_PGV_cy(a, 0.01) if len(a) else None,
    "get_Ia_cy": lambda a: tavo.get_Ia_cy(a, 0.01),
    "get_Ia_times_cy": lambda a: tavo.get_Ia_times_cy(a, 0.01, np.array([0.05, 0.5, 0.95])),
    "get_Ia_times_cy levels": lambda a: tavo.get_Ia_times_cy(np.abs(_record(50)), 0.01, np.abs(a) / 50),
    "get_CAV_cy": lambda a: tavo.get_CAV_cy(a, 0.01),
    "get_CAVn_cy": lambda a: tavo.get_CAVn_cy(a, 0.01, 0.5),
    "get_CAVstd_cy": lambda a: tavo.get_CAVstd_cy(a, 0.01),
}


@pytest.mark.parametrize("n", [0, 1, 2, 3, 299, 1000])
@pytest.mark.parametrize("layout", DIRECT_LAYOUTS)
@pytest.mark.parametrize("call", ARRAY_CALLS)
def test_arrays_read_directly_as_through_their_buffer(call, layout, n):
    direct, requested = DIRECT_LAYOUTS[layout](n), DIRECT_LAYOUTS[layout](n)
    with np.errstate(all="ignore"):
        assert same(ARRAY_CALLS[call](direct), ARRAY_CALLS[call](memoryview(requested)))
    assert direct.tobytes() == requested.tobytes()     # CAVstd silenced the same samples


@pytest.mark.parametrize("make", [
    lambda: np.arange(6.0)[::-2],
    lambda: np.arange(9.0)[1::4],
    lambda: np.arange(9.0)[::5][:1],           # one sample: the export gives it stride 8
    lambda: np.frombuffer(bytearray(8 * 6 + 1), np.uint8)[1:].view(np.float64),
    lambda: np.arange(6.0),
])
def test_views_handed_out_show_the_callers_array(monkeypatch, make):
    """The windows get_CAVstd_cy passes to the namespace's get_PGA_cy, and the velocity's
    input, are the caller's memory, for arrays read directly as for any buffer."""
    seen = []
    own = tavo.get_PGA_cy

    def peak(window):
        seen.append((memoryview(window).strides, np.asarray(window).tolist()))
        return own(window)

    class Integrate:
        @staticmethod
        def cumulative_trapezoid(y, dx):
            seen.append((memoryview(y).strides, np.asarray(y).tolist()))
            return np.zeros(1)

    for source in (make, lambda: memoryview(make())):
        monkeypatch.setattr(tavo, "get_PGA_cy", peak)
        monkeypatch.setattr(tavo, "integrate", Integrate)
        x = source()
        tavo.get_CAVstd_cy(x, 0.5)
        tavo.get_PGV_cy(x, 0.5)
    half = len(seen) // 2
    assert seen[:half] == seen[half:] and half == math.ceil(len(make()) * 0.5) + 1


class _Subclass(np.ndarray):
    pass


@pytest.mark.parametrize("change", ["writeable", "shape", "dtype", "strides"])
@pytest.mark.parametrize("kind", ["array", "owner", "subclass"])
def test_array_changed_in_place_while_read(monkeypatch, kind, change):
    """A call keeps the view it took of its record: flags, shape, dtype or strides
    changed in place by code it runs (the namespace's get_PGA_cy) leave the memory
    where it was, and the later windows are shown and silenced as for any buffer."""
    base = np.array([0.1, 0.1, 0.3, 0.1, 0.3, 0.3])
    kept = base.view()                          # the memory as laid out before the call
    a = {"array": base[:], "owner": base, "subclass": base.view(_Subclass)}[kind]
    windows = []

    def peak(window):
        windows.append(np.asarray(window).tolist())
        if len(windows) == 1:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)   # NumPy 2.5 deprecates the setters
                if change == "writeable":
                    a.flags.writeable = False
                elif change == "shape":
                    a.shape = (2, 3)
                elif change == "dtype":
                    a.dtype = np.int64
                else:
                    a.strides = (0,)            # every element the first: no longer spans the rest
        return 0.0

    monkeypatch.setattr(tavo, "get_PGA_cy", peak)
    assert same(tavo.get_CAVstd_cy(a, 0.5), 0.0)
    assert windows == [[0.1, 0.1], [0.3, 0.1], [0.3, 0.3]]
    assert kept.tolist() == [0.0] * 6


@pytest.mark.parametrize("kind", ["array", "view"])
def test_array_resized_while_read_is_refused(monkeypatch, kind):
    """NumPy's resize without its reference check moves an array that a call holds, or
    the array whose memory it views; the next window's view must not show the memory
    the array has left."""
    owner = np.ones(300)
    a = owner if kind == "array" else owner[:]
    own = tavo.get_PGA_cy

    def peak(window):
        loud = own(window)                      # read before the move: the window held now
        if len(owner) == 300:                   # is freed with it (NumPy's risk, not ours)
            owner.resize(2_000_000, refcheck=False)     # moves the data: the first window is loud
        return loud

    monkeypatch.setattr(tavo, "get_PGA_cy", peak)
    e = raises(BufferError, tavo.get_CAVstd_cy, a, 0.01)
    assert str(e) == "the array was resized while the call was reading it"


def test_call_through_tp_call():
    a = np.array([1.0, -3.0])
    assert tavo.get_PGV_cy.__call__(accel=a, dt=1.0) == tavo.get_PGV_cy(a, 1.0)
    e = raises(TypeError, tavo.get_PGV_cy.__call__, a, accel=a, dt=1.0)
    assert str(e) == "get_PGV_cy() got multiple values for keyword argument 'accel'"


@pytest.mark.parametrize("dtype, found", [
    ("?", "'bool'"), ("b", "'signed char'"), ("B", "'unsigned char'"), ("h", "'short'"),
    ("H", "'unsigned short'"), ("i", "'int'"), ("I", "'unsigned int'"), ("l", "'long'"),
    ("L", "'unsigned long'"), ("q", "'long long'"), ("Q", "'unsigned long long'"),
    ("f", "'float'"), ("F", "'complex float'"), ("D", "'complex double'"),
    ("g", "'long double'"), ("G", "'complex long double'"), ("O", "Python object"),
    ([("a", "f8")], "a struct"), ([("a", "f8"), ("b", "f8")], "a struct"),
    ("S1", "a string"), ("S3", "a string"),
])
def test_dtype_mismatch(dtype, found):
    dt = np.dtype(dtype)
    if dt.char == "g" and dt.itemsize == 8:
        pytest.skip("long double is a double here")
    a = np.zeros(3, dt)
    if dtype in ("q", "Q") and memoryview(a).format not in ("q", "Q"):
        pytest.skip("long long exports as long")
    e = raises(ValueError, tavo.get_PGA_cy, a)
    assert str(e) == f"Buffer dtype mismatch, expected 'double' but got {found}"


@pytest.mark.parametrize("make, found", [
    (lambda: (ctypes.c_char * 3)(), "'char'"),
    (lambda: (ctypes.c_void_p * 3)(), "a pointer"),
    (lambda: (ctypes.c_bool * 3)(), "'bool'"),
    (lambda: array.array("f", [1.0]), "'float'"),
    (lambda: array.array("q", [1]), "'long long'"),
    (lambda: bytearray(8), "'unsigned char'"),
])
def test_dtype_mismatch_other_exporters(make, found):
    e = raises(ValueError, tavo.get_PGA_cy, make())
    assert str(e) == f"Buffer dtype mismatch, expected 'double' but got {found}"


@pytest.mark.parametrize("make", [
    lambda: np.zeros(3, ">f8"),
    lambda: np.zeros(3, [("a", ">f8")]).view(">f8"),
    lambda: (ctypes.c_double.__ctype_be__ * 3)(),
])
def test_big_endian(make):
    e = raises(ValueError, tavo.get_PGA_cy, make())
    assert str(e) == "Big-endian buffer not supported on little-endian compiler"


@pytest.mark.parametrize("shape, ndim", [((), 0), ((2, 2), 2), ((1, 3), 2), ((2, 1, 1), 3)])
def test_wrong_number_of_dimensions(shape, ndim):
    e = raises(ValueError, tavo.get_PGA_cy, np.zeros(shape))
    assert str(e) == f"Buffer has wrong number of dimensions (expected 1, got {ndim})"


def exporter_error(obj):
    """What the exporter itself raises when asked for a writable strided buffer."""
    import _testbuffer
    try:
        _testbuffer.ndarray(obj, getbuf=_testbuffer.PyBUF_RECORDS)
    except Exception as e:
        return type(e), str(e)
    raise AssertionError("exported")


def test_exporter_refusals_pass_unchanged():
    ro = np.zeros(3)
    ro.flags.writeable = False
    exc, message = exporter_error(ro)
    assert str(raises(exc, tavo.get_PGA_cy, ro)) == message == "buffer source array is read-only"
    e = raises(BufferError, tavo.get_PGA_cy, b"12345678")
    assert str(e) == "Object is not writable."
    e = raises(BufferError, tavo.get_PGA_cy, memoryview(bytes(8)).cast("d"))
    assert str(e) == "memoryview: underlying buffer is not writable"
    for bad in ([1.0, 2.0], 1.0, (1.0,)):
        e = raises(TypeError, tavo.get_PGA_cy, bad)
        assert str(e) == f"a bytes-like object is required, not '{type(bad).__name__}'"


# A buffer exporter built on the C API through ctypes, for the buffer layouts that
# no standard exporter produces (odd item sizes, sub-offsets, no format).
class _Py_buffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_void_p), ("shape", ctypes.c_void_p), ("strides", ctypes.c_void_p),
                ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]


class _Layout:
    # shape=None or strides=None leave them out of the export (a one-dimensional
    # exporter may, as memoryview and NumPy accept); length overrides the shape.
    def __init__(self, values, format=b"d", itemsize=8, suboffset=None, shape=True, strides=True,
                 length=None):
        self.data = (ctypes.c_double * max(len(values), 1))(*values)
        self.format = None if format is None else ctypes.create_string_buffer(format)
        self.itemsize = itemsize
        self.len = len(values) * 8
        self.shape = None if shape is None else (ctypes.c_ssize_t * 1)(
            len(values) if length is None else length)
        self.strides = None if strides is None else (ctypes.c_ssize_t * 1)(8)
        self.suboffsets = None if suboffset is None else (ctypes.c_ssize_t * 1)(suboffset)
        self.gets = 0


_layouts = {}
_capi = ctypes.PyDLL(None)                    # own handle: argtypes set here stay private
_capi.Py_IncRef.argtypes = [ctypes.c_void_p]
_capi.Py_IncRef.restype = None
_capi.PyType_FromSpec.restype = ctypes.py_object
_addr = lambda buf: None if buf is None else ctypes.addressof(buf)


@ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(_Py_buffer), ctypes.c_int)
def _getbuffer(self, view, flags):
    lay, v = _layouts[self], view.contents
    _capi.Py_IncRef(self)                     # the buffer's reference, dropped by its release
    v.buf, v.obj, v.len, v.itemsize = ctypes.addressof(lay.data), self, lay.len, lay.itemsize
    v.readonly, v.ndim, v.format = 0, 1, _addr(lay.format)
    v.shape, v.strides, v.suboffsets, v.internal = _addr(lay.shape), _addr(lay.strides), _addr(lay.suboffsets), None
    lay.gets += 1
    return 0


class _Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]


class _Spec(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int), ("itemsize", ctypes.c_int),
                ("flags", ctypes.c_uint), ("slots", ctypes.POINTER(_Slot))]


_slots = (_Slot * 2)((1, ctypes.cast(_getbuffer, ctypes.c_void_p)), (0, None))  # 1: Py_bf_getbuffer
_spec = _Spec(b"test_binding.Exporter", 0, 0, 1 << 18, _slots)
Exporter = _capi.PyType_FromSpec(ctypes.byref(_spec))


def exporter(values, **layout):
    obj = Exporter()
    _layouts[id(obj)] = _Layout(values, **layout)
    return obj


@pytest.mark.parametrize("layout, message", [
    (dict(itemsize=4), "Item size of buffer (4 bytes) does not match size of 'double' (8 bytes)"),
    (dict(itemsize=1), "Item size of buffer (1 byte) does not match size of 'double' (8 bytes)"),
    (dict(itemsize=16), "Item size of buffer (16 bytes) does not match size of 'double' (8 bytes)"),
    (dict(suboffset=0), "Buffer not compatible with direct access in dimension 0."),
    (dict(format=None), "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"),
    (dict(format=b"Zd"), "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    (dict(format=b"!d"), "Big-endian buffer not supported on little-endian compiler"),
    (dict(format=b"s"), "Buffer dtype mismatch, expected 'double' but got a string"),
    (dict(format=b"p"), "Buffer dtype mismatch, expected 'double' but got a string"),
    (dict(format=b"P"), "Buffer dtype mismatch, expected 'double' but got a pointer"),
    (dict(format=b"c"), "Buffer dtype mismatch, expected 'double' but got 'char'"),
])
def test_custom_exporter_refused(layout, message):
    x = exporter([1.0, -5.0, 2.0], **layout)
    before = sys.getrefcount(x)
    try:                                      # no pytest.raises: its frames would hold x
        tavo.get_PGA_cy(x)
    except ValueError as e:
        assert str(e) == message
    else:
        raise AssertionError("accepted")
    assert sys.getrefcount(x) == before       # the buffer was released


@pytest.mark.parametrize("layout", [dict(), dict(format=b"^d"), dict(format=b"<d"), dict(format=b"=d"),
                                    dict(format=b"@d"), dict(suboffset=-1)])
def test_custom_exporter_accepted(layout):
    x = exporter([1.0, -5.0, 2.0], **layout)
    before = sys.getrefcount(x)
    assert tavo.get_PGA_cy(x) == 5.0
    assert sys.getrefcount(x) == before


@pytest.mark.parametrize("fmt", [b"g", b"@g", b"^g", b"<g", b"=g"])
def test_long_double_format(fmt):
    # 'g' is a double only where long double has 8 bytes, and only with native sizes
    x = exporter([1.0, -5.0], format=fmt)
    if ctypes.sizeof(ctypes.c_longdouble) == 8 and fmt in (b"g", b"@g", b"^g"):
        assert tavo.get_PGA_cy(x) == 5.0
    else:
        e = raises(ValueError, tavo.get_PGA_cy, x)
        assert str(e) == "Buffer dtype mismatch, expected 'double' but got 'long double'"


@pytest.mark.parametrize("layout", [dict(shape=None), dict(strides=None), dict(shape=None, strides=None)])
def test_custom_exporter_without_shape_or_strides(layout):
    # Without a shape the export holds len / itemsize contiguous items, as memoryview
    # and NumPy read it; the float64 arguments of _spectra are taken the same way.
    x = exporter([1.0, -5.0, 2.0], **layout)
    before = sys.getrefcount(x)
    assert tavo.get_PGA_cy(x) == 5.0
    assert same(tavo.get_Ia_cy(x, 0.5), tavo.get_Ia_cy(np.array([1.0, -5.0, 2.0]), 0.5))
    periods = np.array([0.1, 1.0])
    assert same(_spectra.response_peaks(x, 0.01, exporter([0.1, 1.0], **layout)),
                _spectra.response_peaks(np.array([1.0, -5.0, 2.0]), 0.01, periods))
    assert sys.getrefcount(x) == before


def test_custom_exporter_with_a_negative_length():
    # A malformed export is refused, not taken for an empty record (PGA -999.0).
    x = exporter([1.0, -5.0, 2.0], length=-3)
    before = sys.getrefcount(x)
    for call in (lambda: tavo.get_PGA_cy(x), lambda: tavo.get_CAVstd_cy(x, 0.5),
                 lambda: _spectra.response_peaks(x, 0.01, np.array([1.0]))):
        try:                                  # no pytest.raises: its frames would hold x
            call()
        except ValueError as e:
            assert "negative" in str(e)
        else:
            raise AssertionError("accepted")
    assert sys.getrefcount(x) == before


def test_custom_exporter_empty_with_suboffsets():
    # sub-offsets of an empty buffer are never used
    assert tavo.get_PGA_cy(exporter([], suboffset=0)) == -999.0


def test_spectra_refuses_sub_offsets():
    # Its buffer would hold pointers to the samples, not the samples themselves.
    with pytest.raises(ValueError, match="accel must be directly addressable"):
        _spectra.response_peaks(exporter([1.0, -5.0, 2.0], suboffset=0), 0.01, np.array([1.0]))
    periods = np.array([0.1, 1.0])
    assert same(_spectra.response_peaks(exporter([1.0, -5.0, 2.0], suboffset=-1), 0.01, periods),
                _spectra.response_peaks(np.array([1.0, -5.0, 2.0]), 0.01, periods))


# ---- release, reference counts, traceback entries -----------------------------------

FAILING_CALLS = [
    ("get_PGA_cy", lambda a: ((a, a), {})),
    ("get_PGV_cy", lambda a: ((a,), {"dt": 1.0, "zz": 0})),
    ("get_PGV_cy", lambda a: ((a, "x"), {})),
    ("get_Ia_times_cy", lambda a: ((a, 1.0, [1.0]), {})),
    ("get_Ia_times_cy", lambda a: ((a, 1.0, np.zeros(2, "f4")), {})),
    ("get_Ia_times_cy", lambda a: ((a, 1.0), {"percentages": np.zeros((1, 1))})),
    ("get_CAVn_cy", lambda a: ((a, 1.0, None), {})),
    ("get_CAVstd_cy", lambda a: ((a,), {"dt": HasFloat("x")})),
]


@pytest.mark.parametrize("name, make", FAILING_CALLS)
def test_failed_call_releases_its_views(name, make):
    a = np.arange(4.0)
    args, kwargs = make(a)
    with pytest.raises((TypeError, ValueError)) as e:
        getattr(tavo, name)(*args, **kwargs)
    entries = [f.name for f in traceback.extract_tb(e.value.__traceback__)]
    assert entries[-1] == f"tavotools.tavo.{name}"
    assert [n for n in entries if n.startswith("tavotools.")] == [f"tavotools.tavo.{name}"]
    del e, args, kwargs
    a.resize(5)                               # NumPy refuses while any export remains


def test_measure_failure_releases_its_views(monkeypatch):
    a = np.arange(4.0)
    resize_error = []

    class Integrate:
        @staticmethod
        def cumulative_trapezoid(y, dx):
            try:
                a.resize(7)
            except ValueError as e:           # the caller's array is exported during the call
                resize_error.append(e)
            raise LookupError("inside")

    monkeypatch.setattr(tavo, "integrate", Integrate)
    with pytest.raises(LookupError):
        tavo.get_PGV_cy(a, 1.0)
    assert len(resize_error) == 1
    resize_error.clear()
    a.resize(5)


@pytest.mark.parametrize("name", NAMES)
def test_reference_counts_stable(name):
    f, params = getattr(tavo, name), [p for p, _ in PARAMS[name]]
    args = valid_args(name)
    bad = np.zeros(3, "f4")
    kw = dict(zip(params, args))
    objects = [*args, bad, f, *params]
    for _ in range(10):                       # warm up any caches of the interpreter
        f(*args)
    gc.collect()  # garbage of earlier tests must not be collected in between
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(1000):
        f(*args)
        f(**kw)
        for call in (lambda: f(*args, *args), lambda: f(bad, *args[1:]), lambda: f(*args, nope=1),
                     lambda: f(*args[:-1], "x")):
            try:
                call()
            except (TypeError, ValueError):
                pass
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before
