"""Generated arguments for every public function of tavotools.tavo.

Arrays of every dtype and byte order, 0-D to 3-D, empty, with huge, negative
and zero strides, read-only, unaligned and non-contiguous; buffers with odd
item formats from a raw exporter; scalars with broken __float__, __index__ and
__int__; None; wrong counts and keywords. Only the documented exceptions may
come out, a success must have the documented type, and no measure but
get_CAVstd_cy may change its input. TAVO_FUZZ_EXAMPLES sets the number of
examples per test (default 300: about fifteen seconds in all).
"""

import ctypes
import faulthandler
import math
import os
import types
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from numpy.lib.stride_tricks import as_strided

import tavotools.tavo as tavo

EXAMPLES = int(os.environ.get("TAVO_FUZZ_EXAMPLES", 300))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                       HealthCheck.filter_too_much])


class FuzzError(Exception):
    """Raised by the arguments' own conversion methods: must come out unchanged."""


# Exceptions a caller may meet: the binding layer's, the exporters', the
# interpreter's conversions' and the arguments' own; get_PGV_cy passes on what
# SciPy's cumulative_trapezoid raises for what it refuses (None: IndexError).
DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError, BufferError, FuzzError)
ALLOWED = {name: DOCUMENTED + ((IndexError,) if name == "get_PGV_cy" else ()) for name in [
    "get_PGA_cy", "get_PGV_cy", "get_Ia_cy", "get_Ia_times_cy", "get_CAV_cy", "get_CAVn_cy", "get_CAVstd_cy",
    "get_CAVdp_cy"]}


@pytest.fixture(autouse=True)
def hang_guard():
    # A hang becomes a traceback dump and a failed run instead of a stuck one.
    faulthandler.dump_traceback_later(900, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


# ---- arrays ------------------------------------------------------------------------

DTYPES = ["<f8", ">f8", "=f8", "<f4", ">f4", "f2", "i1", "u1", "<i2", ">u2", "<i4", "<i8", ">i8", "<u8",
          "?", "<c8", "<c16", ">c16", "g", "S8", "U2", "V8", [("x", "<f8")], [("x", "<f8"), ("y", "<f8")],
          ("<f8", (2,)), "O", "M8[s]"]
SAMPLES = st.floats(allow_nan=True, allow_infinity=True, width=64) | st.sampled_from(
    [0.0, -0.0, 0.24525, 0.25, -0.3, 1e-320, 1e308, -1e308])


@st.composite
def numpy_arrays(draw, accepted=False):
    """Any array; with `accepted`, a one-dimensional float64 array in one of the layouts."""
    ndim = 1 if accepted else draw(st.integers(0, 3))
    shape = tuple(draw(st.lists(st.integers(0, 40 if accepted else 7), min_size=ndim, max_size=ndim)))
    dtype = np.dtype("=f8" if accepted else draw(st.sampled_from(DTYPES)))
    size = int(np.prod(shape))
    values = draw(st.lists(SAMPLES, min_size=size, max_size=size))
    layouts = ["plain", "fortran", "step", "reversed", "huge_step", "zero_stride", "unaligned", "readonly"]
    layout = draw(st.sampled_from(layouts[:-1] if accepted else layouts))
    if dtype.kind in "fc":
        with np.errstate(all="ignore"):
            base = np.array(values, dtype=np.float64).astype(dtype).reshape(shape)
    elif dtype.kind == "V" and dtype.names:
        base = np.zeros(shape, dtype=dtype)
        base[dtype.names[0]] = np.array(values, dtype=np.float64).reshape(shape)
    elif dtype.kind == "M":
        base = np.zeros(shape, dtype=dtype)
    else:
        base = np.zeros(shape, dtype=dtype)
    if layout == "fortran":
        return np.asfortranarray(base)
    if layout == "readonly":
        base.flags.writeable = False
        return base
    if ndim == 0:
        return base
    if layout == "step":
        k = draw(st.integers(2, 5))
        big = np.zeros((shape[0] * k,) + shape[1:], dtype=dtype)
        big[::k] = base
        return big[::k]
    if layout == "reversed":
        return base[::-1].copy()[::-1] if draw(st.booleans()) else base[::-1]
    if layout == "huge_step":
        k = draw(st.sampled_from([1000, 4096, 65537]))
        big = np.zeros((max(shape[0], 1) * k,) + shape[1:], dtype=dtype)
        big[: shape[0] * k : k] = base
        return big[: shape[0] * k : k]
    if layout == "zero_stride":
        one = base.reshape(-1)[:1] if size else np.zeros(1, dtype=dtype)
        n = draw(st.integers(0, 50))
        return as_strided(one, shape=(n,) + shape[1:], strides=(0,) + one.strides * (ndim - 1),
                          writeable=True) if ndim == 1 else base
    if layout == "unaligned" and dtype.itemsize > 1 and dtype.kind != "O":
        raw = bytearray(base.nbytes + 1)
        out = np.ndarray(shape, dtype=dtype, buffer=raw, offset=1)
        out[...] = base
        return out
    return base


class _Py_buffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
                ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)), ("internal", ctypes.c_void_p)]


_from_buffer = ctypes.pythonapi.PyMemoryView_FromBuffer
_from_buffer.restype = ctypes.py_object
_from_buffer.argtypes = [ctypes.POINTER(_Py_buffer)]

FORMATS = [b"d", b"<d", b">d", b"=d", b"@d", b"^d", b"!d", b"@g", b"g", b"<g", b"2d", b"1d", b"dd", b"d ",
           b"T{d:x:}", b"T{<d:x:}", b"Zd", b"Zf", b"q", b"?", b"f", b"e", b"b", b"B", b"h", b"i", b"l", b"Q",
           b"P", b"s", b"8s", b"x", b"", b"(2)d", b"Zq", b"<", b"@", b"99999999999999999999d", b"d\x00x"]


class RawBuffer:
    """A memoryview with exactly the given format, item size, shape and strides over memory it owns."""

    def __init__(self, fmt, itemsize, shape, strides, readonly, values):
        span = sum((n - 1) * abs(s) for n, s in zip(shape, strides) if n > 0) + itemsize
        self.store = np.zeros(span // 8 + 2, dtype=np.float64)
        nd = len(shape)
        self.shape = (ctypes.c_ssize_t * max(nd, 1))(*shape)
        self.strides = (ctypes.c_ssize_t * max(nd, 1))(*strides)
        self.format = ctypes.create_string_buffer(fmt)
        origin = sum((n - 1) * -s for n, s in zip(shape, strides) if s < 0 and n > 0)
        k = min(len(values), self.store.size)
        self.store[:k] = values[:k]
        total = int(np.prod(shape)) if nd else 1
        info = _Py_buffer(self.store.ctypes.data + origin, None, total * itemsize, itemsize, int(readonly), nd,
                          ctypes.cast(self.format, ctypes.c_char_p), self.shape, self.strides, None, None)
        self.view = _from_buffer(ctypes.byref(info))

    def __repr__(self):
        return f"RawBuffer(format={self.format.value!r}, shape={tuple(self.view.shape)})"


@st.composite
def raw_buffers(draw, keep):
    fmt = draw(st.sampled_from(FORMATS[:6]) | st.sampled_from(FORMATS))
    itemsize = draw(st.sampled_from([8, 8, 8, 8, 8, 1, 4, 16]))
    nd = draw(st.sampled_from([1, 1, 1, 1, 0, 2]))
    shape = draw(st.lists(st.integers(0, 6), min_size=nd, max_size=nd))
    strides = [draw(st.sampled_from([itemsize, -itemsize, 0, 3 * itemsize, itemsize + 4])) for _ in shape]
    values = draw(st.lists(SAMPLES, min_size=0, max_size=8))
    raw = RawBuffer(fmt, itemsize, shape, strides, draw(st.sampled_from([False, False, False, True])), values)
    keep.append(raw)  # the memoryview does not keep its memory alive
    return raw.view


def arrays(keep):
    return st.one_of(numpy_arrays(accepted=True), numpy_arrays(), raw_buffers(keep), st.none(),
                     st.sampled_from([[1.0, 2.0], (1.0,), b"\x00" * 8, bytearray(16), "abc", 3.0, object()]))


# ---- scalars ------------------------------------------------------------------------


class Broken:
    """Conversion methods that fail in the ways an argument's own code can."""

    def __init__(self, how):
        self.how = how

    def __repr__(self):
        return f"Broken({self.how!r})"

    def _hook(self, kind):
        if self.how == "raise":
            raise FuzzError(kind)
        if self.how == "wrong_type":
            return "1.0"
        if self.how == "subclass":
            return {"float": type("F", (float,), {})(1.5), "int": True, "index": True}[kind]
        if self.how == "nan":
            return {"float": math.nan, "int": 0, "index": 0}[kind]
        return {"float": 1e308, "int": 2**70, "index": 2**70}[kind]  # "huge"

    def __float__(self):
        return self._hook("float")

    def __int__(self):
        return self._hook("int")


class BrokenIndex:
    def __init__(self, how):
        self.how = how

    def __repr__(self):
        return f"BrokenIndex({self.how!r})"

    def __index__(self):
        if self.how == "raise":
            raise FuzzError("index")
        if self.how == "wrong_type":
            return 1.5
        return 2**2000


SCALARS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(2**70), 2**70),
    st.sampled_from([2**1100, -(2**1100), True, False, 0, -1, 2**31, -(2**31) - 1, 2**31 - 1]),
    st.sampled_from([np.float64(0.5), np.float32(0.25), np.int64(3), np.bool_(True), np.longdouble(1.5),
                     np.complex128(1j), np.array(2.0), np.array([1.0])]),
    st.sampled_from(["1.0", "", b"1", None, 1j, [], object()]),
    st.builds(Broken, st.sampled_from(["raise", "wrong_type", "subclass", "nan", "huge"])),
    st.builds(BrokenIndex, st.sampled_from(["raise", "wrong_type", "huge"])),
)

# ---- calls -------------------------------------------------------------------------

SIGNATURES = {
    "get_PGA_cy": ["accel"],
    "get_PGV_cy": ["accel", "dt"],
    "get_Ia_cy": ["accel", "dt"],
    "get_Ia_times_cy": ["accel", "dt", "percentages"],
    "get_CAV_cy": ["accel", "dt"],
    "get_CAVn_cy": ["accel", "dt", "threshold"],
    "get_CAVstd_cy": ["accel", "dt"],
    "get_CAVdp_cy": ["CAVstd_gm", "max_CAVstd", "max_PSA", "max_PSV", "PSV_check"],
}
ARRAY_PARAMS = {"accel", "percentages"}
NAMES = list(SIGNATURES)


def snapshot(obj):
    """The bytes an accepted float64 array holds, to check that it was not written."""
    if isinstance(obj, np.ndarray) and obj.dtype == np.float64 and obj.ndim == 1:
        return obj.tobytes()
    return None


def check_result(name, args, kwargs, result):
    if name == "get_Ia_cy":
        assert type(result) is tuple and len(result) == 2
        assert type(result[0]) is float
        series = result[1]
        assert type(series) is np.ndarray and series.dtype == np.float64 and series.ndim == 1
    elif name == "get_Ia_times_cy":
        assert type(result) is np.ndarray and result.dtype == np.float64 and result.ndim == 1
        levels = kwargs.get("percentages", args[2] if len(args) > 2 else None)
        assert len(result) == (0 if levels is None else len(memoryview(levels)))
    elif name == "get_CAVdp_cy":
        assert type(result) is float or (type(result) is int and result == 0)
    else:
        assert type(result) is float


def call_checked(name, args, kwargs):
    f = getattr(tavo, name)
    before = [snapshot(a) for a in (*args, *kwargs.values())]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # DeprecationWarning for int subclasses, NumPy's RuntimeWarnings
        try:
            result = f(*args, **kwargs)
        except SystemError as e:  # a failure without an exception, or an exception without a failure
            raise AssertionError(f"SystemError from {name}: {e}") from e
        except ALLOWED[name]:
            return
    check_result(name, args, kwargs, result)
    if name != "get_CAVstd_cy":
        after = [snapshot(a) for a in (*args, *kwargs.values())]
        assert before == after, "input changed"


@st.composite
def well_formed_calls(draw, name, keep):
    """The right parameters, each generated by kind, by position or by keyword."""
    params = SIGNATURES[name]
    count = len(params) - (draw(st.booleans()) if name == "get_CAVdp_cy" else 0)
    values = [draw(arrays(keep)) if p in ARRAY_PARAMS else draw(SCALARS) for p in params[:count]]
    n_positional = draw(st.integers(0, count))
    args = tuple(values[:n_positional])
    kwargs = dict(zip(params[n_positional:count], values[n_positional:]))
    return args, kwargs


@st.composite
def odd_calls(draw, name, keep):
    """Wrong counts and keywords, with arguments of any kind."""
    anything = st.one_of(arrays(keep), SCALARS)
    args = tuple(draw(st.lists(anything, max_size=7)))
    names = st.sampled_from(SIGNATURES[name] + ["acc", "DT", "", "percentage", "accel ", "Accel", "x"])
    kwargs = draw(st.dictionaries(names, anything, max_size=4))
    return args, kwargs


@pytest.mark.parametrize("name", NAMES)
def test_generated_arguments(name):
    keep = []

    @FUZZ
    @given(call=well_formed_calls(name, keep))
    def run(call):
        call_checked(name, *call)
        keep.clear()

    run()


@pytest.mark.parametrize("name", NAMES)
def test_generated_call_shapes(name):
    keep = []

    @FUZZ
    @given(call=odd_calls(name, keep))
    def run(call):
        call_checked(name, *call)
        keep.clear()

    run()


@pytest.mark.parametrize("name", ["get_PGA_cy", "get_Ia_cy", "get_Ia_times_cy", "get_CAV_cy", "get_CAVn_cy",
                                  "get_CAVstd_cy", "get_PGV_cy"])
def test_generated_arguments_on_the_generic_path(name, monkeypatch):
    # With `np` rebound the measures go through NumPy's own calls instead of their fast paths.
    monkeypatch.setattr(tavo, "np", types.SimpleNamespace(zeros=np.zeros, asarray=np.asarray))
    keep = []

    @settings(FUZZ, max_examples=max(EXAMPLES // 3, 1))
    @given(call=well_formed_calls(name, keep))
    def run(call):
        # Here every window of get_CAVstd_cy is a call through the namespace, as
        # many as ceil(N * dt) (up to 2**31 - 1 for a huge dt): keep them few.
        assume(name != "get_CAVstd_cy" or cavstd_windows(*call) <= 10**5)
        call_checked(name, *call)
        keep.clear()

    run()


def cavstd_windows(args, kwargs):
    """The number of windows get_CAVstd_cy walks for these arguments (0 when they do not bind)."""
    bound = dict(zip(SIGNATURES["get_CAVstd_cy"], args), **kwargs)
    try:
        n, dt = len(bound["accel"]), float(bound["dt"])
        windows = math.ceil(n * dt)
    except Exception:  # noqa: BLE001 - hostile arguments raise anything: the call itself will say
        return 0
    return max(windows, 0)
