"""Generated arguments for every function of tavotools._spectra and tavotools._parse.

The arrays and scalars of test_fuzz (every dtype, layout and broken conversion),
and for the parser bytes of number-like text in every exporter (bytes,
bytearray, memoryview, mmap, NumPy, raw buffers of odd formats) with offsets,
counts and widths around and far beyond the data. Only the documented
exceptions may come out, a success has the documented shape, and no input is
written. Run under the sanitizer build (tools/sanitize), an access outside a
buffer is a failed run. TAVO_FUZZ_EXAMPLES sets the examples per test.
"""

import array
import mmap
import re
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_fuzz import DOCUMENTED, EXAMPLES, FUZZ, SCALARS, BrokenIndex, arrays, raw_buffers, snapshot

from tavotools import _parse, _spectra

SPECTRA = {
    "response_peaks": ["accel", "dt", "periods", "damping", "substeps"],
    "recurrence_coefficients": ["dt", "period", "damping"],
    "rotated_peaks": ["accel1", "accel2", "dt", "periods", "damping", "substeps", "cos", "sin"],
}
SPECTRA_ARRAYS = {"accel", "accel1", "accel2", "periods", "cos", "sin"}
PARSE = {
    "floats": ["data", "start", "count", "stop", "delimiters"],
    "fixed": ["data", "start", "count", "width", "per_line", "integers"],
    "columns": ["data", "start", "n_columns", "count", "stop", "delimiters"],
    "lone_cr": ["data"],
}


# ---- values -----------------------------------------------------------------------

# Periods and angle tables that pass the checks, so that the kernels run.
PERIODS = st.lists(st.sampled_from([0.01, 0.05, 0.3, 1.0, 7.0, 1e-6, 1e6]), min_size=1, max_size=70)
TABLES = st.sampled_from([(1.0, 0.0), (0.0, 1.0), (-1.0, 0.0), (0.6, 0.8), (0.8, -0.6)])


@st.composite
def spectra_values(draw, name, keep):
    """Arguments of `name`: mostly ones that pass the checks, else anything."""
    params = SPECTRA[name]
    n = draw(st.integers(1, 60))
    samples = st.lists(st.floats(-1e3, 1e3) | st.sampled_from([0.0, 1e300, -1e300, 5e-324]),
                       min_size=n, max_size=n).map(np.array)
    angles = draw(st.lists(TABLES, min_size=1, max_size=30))
    good = {
        "accel": samples, "accel1": samples, "accel2": st.just(None),
        "periods": PERIODS.map(np.array),
        "cos": st.just(np.array([c for c, _ in angles])), "sin": st.just(np.array([s for _, s in angles])),
        "dt": st.sampled_from([0.01, 0.005, 1e-300, 2.0]), "period": st.sampled_from([0.1, 1.0, 1e-5]),
        "damping": st.sampled_from([0.0, 0.05, 0.999999]), "substeps": st.sampled_from([1, 2, 7, 10000]),
    }
    values = {}
    for p in params:
        if draw(st.integers(0, 3)) == 0:  # a hostile argument
            values[p] = draw(arrays(keep) if p in SPECTRA_ARRAYS else SCALARS)
        elif p == "accel2":
            a1 = values.get("accel1")
            # accel1 reversed: as long, so that the kernels run
            values[p] = a1[::-1].copy() if isinstance(a1, np.ndarray) and a1.ndim == 1 else draw(samples)
        else:
            values[p] = draw(good[p])
    # 10000 sub-steps with two periods at most: each example stays quick.
    periods = values.get("periods")
    if values.get("substeps") == 10000 and isinstance(periods, np.ndarray) and periods.ndim == 1:
        values["periods"] = periods[:2]
    return [values[p] for p in params]


NUMBERS = st.sampled_from(["1", "-2.5", "+.5", "3.", "1e5", "2D-3", "1.5-105", "7E+2", "0", "-0.000",
                           "12345678901234567890123", "1e999", "1e-999"])
SEPARATORS = st.sampled_from([" ", "  ", "\n", "\r\n", "\r", "\t", ",", ";", "\v", " \n\n"])
# Mostly rows of numbers, which the parsers read through; else anything of their alphabet.
TEXT = st.one_of(
    st.lists(st.tuples(NUMBERS, SEPARATORS), min_size=1, max_size=40).map(lambda p: "".join(a + b for a, b in p)),
    st.lists(NUMBERS.map(lambda x: x.rjust(8)), min_size=1, max_size=40).map(
        lambda p: "\n".join("".join(p[k:k + 3]) for k in range(0, len(p), 3))),
    st.lists(NUMBERS | SEPARATORS | st.sampled_from(["x", "-", ".", "e", "\x00", "\xff"]), max_size=40).map("".join),
).map(lambda text: text.encode("latin-1"))


def _mapped(text):
    m = mmap.mmap(-1, max(len(text), 1))
    m.write(text)
    return m


EXPORTERS = {
    "bytes": bytes, "bytearray": bytearray, "memoryview": memoryview,
    "readonly": lambda t: memoryview(bytearray(t)).toreadonly(),
    "strided": lambda t: memoryview(t * 2)[::2],  # refused: not contiguous
    "numpy": lambda t: np.frombuffer(bytearray(t), dtype=np.uint8),
    "mmap": _mapped,
}


@st.composite
def parse_data(draw, keep):
    text = draw(TEXT)
    how = draw(st.sampled_from(sorted(EXPORTERS) + ["other"] * 2))
    if how == "other":
        return draw(arrays(keep) | raw_buffers(keep))
    return EXPORTERS[how](text)


def _size(data):
    try:
        return memoryview(data).nbytes
    except (TypeError, ValueError):
        return 0


HOSTILE_INTEGERS = st.sampled_from([-1, -2, 2**31, 2**32 + 1, 2**62, 2**63 - 1, -(2**63), 2**64, True, 1.0,
                                     None, BrokenIndex("raise"), BrokenIndex("wrong_type"),
                                     BrokenIndex("huge")])


@st.composite
def parse_values(draw, name, keep):
    """Arguments of `name`: mostly ones that pass the checks, else anything."""
    params = PARSE[name]
    data = draw(parse_data(keep))
    size = _size(data)
    start = draw(st.just(0) | st.integers(0, size))
    good = {
        "start": st.just(start), "count": st.just(-1) | st.integers(0, 50), "stop": st.just(-1) | st.integers(start, size),
        "width": st.integers(1, 12), "per_line": st.integers(1, 6), "n_columns": st.integers(1, 4),
        "delimiters": st.sampled_from([None, b",", b";,", bytearray(b","), b""]),
        "integers": st.booleans(),
    }
    hostile = {
        "delimiters": st.sampled_from([b"1", b"e", b"\x00", "x", 3, memoryview(b",,")[::2]]),
        "integers": st.sampled_from([None, np.array([1, 2]), BrokenIndex("raise")]),
    }
    values = [data]
    if name in ("fixed", "columns") and draw(st.booleans()):
        # A block laid out as the call reads it: rows of `k` numbers, fields of `width`.
        k, width = draw(st.integers(1, 4)), draw(st.integers(4, 25))
        rows = draw(st.lists(st.lists(NUMBERS, min_size=k, max_size=k), min_size=1, max_size=12))
        if name == "fixed":
            text = "\n".join("".join(x.rjust(width)[-width:] for x in row) for row in rows)
            good.update(width=st.just(width), per_line=st.just(k), count=st.integers(0, k * len(rows) + 1))
        else:
            text = "\n".join(" ".join(row) for row in rows)
            good.update(n_columns=st.just(k), count=st.just(-1) | st.integers(0, len(rows) + 1))
        values = [draw(st.sampled_from(sorted(EXPORTERS)).map(EXPORTERS.get))(text.encode())]
        good["start"] = st.just(0)
    for p in params[1:]:
        if draw(st.integers(0, 7)) == 0:
            values.append(draw(hostile.get(p, HOSTILE_INTEGERS | st.integers(-3, size + 3))))
        else:
            values.append(draw(good[p]))
    return values


# ---- calls ------------------------------------------------------------------------


def check_spectra_result(name, args, result):
    if name == "recurrence_coefficients":
        assert [len(part) for part in result] == [4, 2, 2]
        assert all(type(x) is float for part in result for x in part)
        return
    periods = len(memoryview(args[SPECTRA[name].index("periods")]))
    if name == "response_peaks":
        assert type(result) is tuple and len(result) == 3
        assert all(type(r) is np.ndarray and r.dtype == np.float64 and r.shape == (periods,) for r in result)
    else:
        angles = len(memoryview(args[-1]))
        assert type(result) is np.ndarray and result.dtype == np.float64
        assert result.shape == (2 + 3 * periods, angles)


def check_parse_result(name, args, result):
    if name == "lone_cr":
        assert type(result) is int and -1 <= result < _size(args[0])
        return
    values, end = result
    assert type(values) is np.ndarray and values.dtype == np.float64 and type(end) is int
    assert values.ndim == (2 if name == "columns" else 1)
    assert 0 <= end <= _size(args[0])
    assert np.isfinite(values).all()


def call_checked(module, name, args, check):
    before = [snapshot(a) for a in args]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # DeprecationWarning for int subclasses
        try:
            result = getattr(module, name)(*args)
        except SystemError as e:  # a failure without an exception, or an exception without a failure
            raise AssertionError(f"SystemError from {name}: {e}") from e
        except DOCUMENTED:  # ParseError is a ValueError
            return
    check(name, args, result)
    assert before == [snapshot(a) for a in args], "input changed"


@pytest.mark.parametrize("name", sorted(SPECTRA))
def test_generated_spectra_arguments(name):
    keep = []

    @FUZZ
    @given(args=spectra_values(name, keep))
    def run(args):
        call_checked(_spectra, name, args, check_spectra_result)
        keep.clear()

    run()


@pytest.mark.parametrize("name", sorted(PARSE))
def test_generated_parse_arguments(name):
    keep = []

    @settings(FUZZ, max_examples=EXAMPLES * 2)
    @given(args=parse_values(name, keep))
    def run(args):
        call_checked(_parse, name, args, check_parse_result)
        keep.clear()

    run()


# ---- arguments that act on the buffers converted before them -----------------------


class Hook:
    """A number whose conversion first runs `action` (on the arguments already converted)."""

    def __init__(self, value, action):
        self.value, self.action, self.refused = value, action, []

    def _run(self):
        try:
            self.action()
        except BufferError as e:  # a held buffer may not be resized or closed
            self.refused.append(e)
        return self.value

    def __float__(self):
        return self._run()

    def __index__(self):
        return self._run()


def _set(array, index, value):
    return lambda: array.__setitem__(index, value)


@pytest.mark.parametrize("call, message", [
    # The checks see the samples as the later conversions left them.
    (lambda a, p, c, s: _spectra.response_peaks(a, Hook(0.01, _set(a, 3, np.nan)), p),
     "accel holds a NaN or infinite sample at index 3"),
    (lambda a, p, c, s: _spectra.response_peaks(a, 0.01, p, Hook(0.05, _set(p, 1, -1.0))),
     "periods[1] must be positive and finite, not -1.0"),
    (lambda a, p, c, s: _spectra.rotated_peaks(a, a, 0.01, p, 0.05, Hook(1, _set(c, 0, 2.0)), c, s),
     "cos[0] and sin[0] are not a cosine and a sine"),
    (lambda a, p, c, s: _spectra.rotated_peaks(a, a, Hook(0.01, _set(a, 0, np.inf)), p, 0.05, 1, c, s),
     "accel1 holds a NaN or infinite sample at index 0"),
])
def test_later_arguments_rewriting_earlier_buffers_are_checked(call, message):
    a, p, c, s = np.linspace(-1.0, 1.0, 20), np.array([0.1, 1.0]), np.array([1.0, 0.0]), np.array([0.0, 1.0])
    with pytest.raises(ValueError, match=re.escape(message)):
        call(a, p, c, s)


@pytest.mark.parametrize("exporter", ["bytearray", "mmap", "array"])
@pytest.mark.parametrize("name", ["floats", "columns", "fixed"])
def test_later_arguments_cannot_resize_or_close_the_data(exporter, name):
    text = b"  1.5 -2.0\n  3.0  4e1\n"
    data = {"bytearray": bytearray, "mmap": _mapped, "array": lambda t: array.array("b", t)}[exporter](text)
    hook = Hook(0, lambda: data.close() if exporter == "mmap" else data.extend(b" 9" * 4096))
    values, _ = {"floats": lambda: _parse.floats(data, hook),
                 "columns": lambda: _parse.columns(data, hook, 2),
                 "fixed": lambda: _parse.fixed(data, hook, 4, 5, 2)}[name]()
    assert len(hook.refused) == 1
    assert values.ravel().tolist() == [1.5, -2.0, 3.0, 40.0]
    assert bytes(data[:len(text)]) == text
