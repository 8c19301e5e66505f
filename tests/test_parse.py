"""The compiled number parser: float() bit for bit, exact errors, any buffer, no read outside it."""
import array
import ctypes
import ctypes.util
import decimal
import inspect
import itertools
import math
import mmap
import platform
import random
import re
import sys
import threading

import numpy as np
import pytest

from tavotools import _parse
from tavotools._parse import ParseError

# The syntax the parser accepts, and its meaning in Python's float().
NUMBER = re.compile(r"([+-]?(?:\d+\.?\d*|\.\d+))(?:[EeDd]([+-]?\d+)|([+-]\d+))?")


def py_float(token):
    m = NUMBER.fullmatch(token)
    mantissa, lettered, bare = m.groups()
    exponent = lettered if lettered is not None else bare
    return float(mantissa if exponent is None else f"{mantissa}e{exponent}")


def same_bits(got, expected):
    expected = np.array(expected, dtype=np.float64)
    assert got.shape == expected.shape
    differ = np.flatnonzero(got.view(np.uint64) != expected.view(np.uint64))
    assert differ.size == 0, f"first difference at {differ[0]}: {got[differ[0]]!r} != {expected[differ[0]]!r}"


def random_token(rng):
    """A number in any accepted spelling, leaning on the hard cases."""
    kind = rng.random()
    sign = rng.choice(["", "", "-", "+"])
    if kind < 0.25:  # the shortest repr of a random double: must round-trip
        value = abs(rng.uniform(-1, 1) * 10.0 ** rng.randint(-320, 308))
        text = repr(value)
        if "e" in text and rng.random() < 0.5:
            text = text.replace("e", rng.choice("EdD"))
        return sign + text
    digits = "".join(rng.choice("0123456789") for _ in range(rng.choice([1, 2, 7, 16, 17, 18, 25, 40])))
    point = rng.randint(0, len(digits))
    mantissa = digits[:point] + "." + digits[point:] if rng.random() < 0.8 else digits
    exponent = rng.choice([0, 1, -1, 22, -22, 300, -300, 307, 308, 309, -307, -320, -324, -330, 400, -400])
    exponent += rng.randint(-3, 3)
    form = rng.choice(["", "e", "E", "d", "D", "bare"])
    if form == "":
        return sign + mantissa
    if form == "bare":
        return f"{sign}{mantissa}{exponent:+d}"
    return f"{sign}{mantissa}{form}{exponent:+d}" if rng.random() < 0.7 else f"{sign}{mantissa}{form}{exponent}"


def generated_tokens(n=20000, seed=15):
    rng = random.Random(seed)
    tokens = [random_token(rng) for _ in range(n)]
    return [t for t in tokens if NUMBER.fullmatch(t)]


# ---- float() bit for bit ---------------------------------------------------------

def test_every_number_of_every_sample_file_reads_as_float_does(data):
    files = [p for p in sorted(data.rglob("*")) if p.is_file() and p.suffix not in {".json", ".md"}]
    assert len(files) > 20
    total = 0
    for path in files:
        tokens = [t for t in path.read_bytes().decode("latin-1").split() if NUMBER.fullmatch(t)]
        expected = [py_float(t) for t in tokens]
        values, end = _parse.floats(" ".join(tokens).encode(), 0)
        same_bits(values, expected)
        total += len(tokens)
    assert total > 300_000


def test_generated_edge_cases_read_as_float_does():
    tokens = generated_tokens()
    finite = [t for t in tokens if np.isfinite(py_float(t))]
    assert len(finite) > 15000
    values, _ = _parse.floats("\n".join(finite).encode(), 0)
    same_bits(values, [py_float(t) for t in finite])
    # The same numbers as right-aligned fixed-width fields, three to a line.
    width = max(len(t) for t in finite) + 1
    lines = ["".join(t.rjust(width) for t in finite[k:k + 3]) for k in range(0, len(finite), 3)]
    values, _ = _parse.fixed("\r\n".join(lines).encode(), 0, len(finite), width, 3)
    same_bits(values, [py_float(t) for t in finite])


@pytest.mark.skipif(platform.machine() != "x86_64", reason="the x86-64 values of the rounding modes")
@pytest.mark.parametrize("mode", [0x400, 0x800, 0xC00], ids=["downward", "upward", "toward_zero"])
def test_other_rounding_modes_read_the_nearest_doubles(mode, rounding_mode):
    # A text means one double whatever mode a caller's C code left set: the one
    # float() gives rounding to nearest. Short decimals take one multiplication or
    # division, which would round in the mode set.
    finite = [t for t in generated_tokens(6000) if np.isfinite(py_float(t))] + PLAIN_EDGES
    expected = [py_float(t) for t in finite]
    width = max(len(t) for t in finite) + 1
    fields = "\n".join("".join(t.rjust(width) for t in finite[k:k + 4]) for k in range(0, len(finite), 4))
    rows = "\n".join(f"{t} {t}" for t in finite)
    assert rounding_mode(mode) == 0
    got = [_parse.floats(" ".join(finite).encode(), 0)[0], _parse.fixed(fields.encode(), 0, len(finite), width, 4)[0],
           _parse.columns(rows.encode(), 0, 2)[0][:, 1]]
    left = ctypes.CDLL(ctypes.util.find_library("m")).fegetround()
    rounding_mode(0)
    assert left == mode  # the caller's mode is given back
    for values in got:
        same_bits(values, expected)


@pytest.mark.parametrize("token, value", [
    ("4.9406564584124654e-324", 5e-324),        # smallest subnormal
    ("2.4703282292062328e-324", 5e-324),        # just above half of it
    ("2.4703282292062327e-324", 0.0),           # just below: float() gives zero
    ("-1e-400", -0.0),
    ("2.2250738585072011e-308", 2.225073858507201e-308),
    ("1.7976931348623157e308", 1.7976931348623157e308),
    ("9007199254740993", 9007199254740992.0),   # halfway: to even
    ("0.1000000000000000055511151231257827021181583404541015625", 0.1),
    ("+.5", 0.5), ("5.", 5.0), ("-0", -0.0), ("1.5-105", 1.5e-105), ("-2.5D+3", -2500.0),
])
def test_edge_cases(token, value):
    values, end = _parse.floats(token.encode(), 0)
    same_bits(values, [value])
    assert end == len(token)


@pytest.mark.parametrize("zeros, exponent", [(999_999, "1000005"), (999_999, "1000022"),
                                              (2_000_000, "2000003"), (999_999, "+999999"),
                                              (999_999, "9" * 30)])
@pytest.mark.parametrize("letter", ["e", "D"])
def test_exponents_beyond_a_million_against_a_million_leading_zeros(zeros, exponent, letter):
    # A fraction of a million zeros scales by 10**-1000000 and a large exponent undoes
    # it: the value is what the two give together, whatever their size.
    token = f"0.{'0' * zeros}1{letter}{exponent}"
    expected = float(token.replace("D", "e"))
    for call in (lambda d: _parse.floats(d, 0)[0], lambda d: _parse.columns(d, 0, 1)[0][:, 0],
                 lambda d: _parse.fixed(d, 0, 1, len(d), 1)[0]):
        if math.isinf(expected):
            with pytest.raises(ParseError) as e:
                call(token.encode())
            assert e.value.kind == "range"
        else:
            same_bits(call(token.encode()), [expected])


def halfway(x):
    """The exact decimal halfway between double x and the next one up, 2**1024 past the
    largest (every binary fraction has a finite decimal expansion: up to some 770
    significant digits)."""
    up = math.nextafter(x, math.inf)
    with decimal.localcontext(prec=4000):
        return (decimal.Decimal(x) + (decimal.Decimal(2) ** 1024 if math.isinf(up) else decimal.Decimal(up))) / 2


@pytest.mark.parametrize("x", [5e-324, 1.5e-323, 2.2250738585072009e-308, 2.2250738585072014e-308, 0.1,
                               1.0, 2.0**53, 1e22, 1e23, 8.98846567431158e307, 1.7976931348623155e308])
@pytest.mark.parametrize("offset", ["exact", "below", "above"])
def test_decimals_halfway_between_doubles_read_as_float_does(x, offset):
    # Exactly halfway rounds to even; the least excess or shortfall, hundreds of
    # digits on, decides either way. Spelled out in full (up to some 1100
    # characters), then as mantissa and exponent in each letter and the bare sign.
    with decimal.localcontext(prec=4000):
        nudge = {"exact": 0, "below": -1, "above": 1}[offset] * decimal.Decimal("1e-1500") * decimal.Decimal(x)
        value = halfway(x) + nudge
        plain = format(value, "f")
        mantissa, exponent = format(value, "E").split("E")
    tokens = [plain] + [f"{sign}{mantissa}{letter}{exponent}" for sign in "+-" for letter in "EeDd"]
    tokens.append(f"-{mantissa}{int(exponent):+d}")
    expected = [py_float(t) for t in tokens]
    values, end = _parse.floats(" ".join(tokens).encode(), 0)
    same_bits(values, expected)
    width = max(map(len, tokens)) + 1
    lines = ["".join(t.rjust(width) for t in tokens[k:k + 4]) for k in range(0, len(tokens), 4)]
    values, _ = _parse.fixed("\n".join(lines).encode(), 0, len(tokens), width, 4)
    same_bits(values, expected)
    values, _ = _parse.columns("\n".join(f"{t},{t}" for t in tokens).encode(), 0, 2, delimiters=b",")
    same_bits(values, [[v, v] for v in expected])


@pytest.mark.parametrize("offset", ["exact", "above", "below"])
def test_halfway_past_the_largest_double_overflows_as_float_does(offset):
    # Halfway to 2**1024 float() already gives inf: an error, and a shortfall one
    # digit past the 1000th is the largest double.
    with decimal.localcontext(prec=4000):
        nudge = {"exact": 0, "below": -1, "above": 1}[offset] * decimal.Decimal("1e-700")
        token = format(halfway(sys.float_info.max) + nudge, "f")
    if math.isfinite(float(token)):
        assert _parse.floats(token.encode(), 0)[0].tolist() == [float(token)]
    else:
        with pytest.raises(ParseError) as e:
            _parse.floats(token.encode(), 0)
        assert e.value.kind == "range"


def test_overflow_is_an_error_not_infinity():
    # float() would give inf; no record sample may be infinite, so the reader
    # reports the field instead of carrying an inf into the measures.
    for token in ["1e400", "-1.8e308", "1.5+309", "2D999"]:
        with pytest.raises(ParseError) as e:
            _parse.floats(f"1 {token} 2".encode(), 0)
        assert str(e.value) == f"offset 2: {token!r} exceeds the largest double"
        assert (e.value.offset, e.value.text, e.value.index) == (2, token, 1)


# ---- the three block shapes ---------------------------------------------------------

def test_floats_count_stop_and_end():
    data = b"NPTS= 4\n 1.0 -2.0\n 3.0D0 4.5-1\ntrailer 7"
    values, end = _parse.floats(data, 8, 4)
    assert values.tolist() == [1.0, -2.0, 3.0, 0.45] and end == 30
    values, end = _parse.floats(data, 8, stop=31)
    assert values.tolist() == [1.0, -2.0, 3.0, 0.45] and end == 30
    values, end = _parse.floats(data, 8, 0)
    assert values.size == 0 and end == 8
    values, end = _parse.floats(b"   \n", 0)
    assert values.size == 0 and end == 0
    # Run-together E-format numbers are split at the sign of the next one.
    assert _parse.floats(b"1.0E+00-2.0E+00", 0)[0].tolist() == [1.0, -2.0]


def test_fixed_fields():
    data = b"header\n-999.00000-999.00000\n   1.50000   2.5D+00\n         3\n"
    values, end = _parse.fixed(data, 7, 5, 10, 2)
    assert values.tolist() == [-999.0, -999.0, 1.5, 2.5, 3.0]
    assert end == len(data) - 1


# Fields at each edge of the direct reading of plain decimals (sign, digits, one
# point): 19 digits, 2**53, 22 decimals; beyond each edge the general reading.
PLAIN_EDGES = [
    "9007199254740992", "9007199254740993", "-9007199254740992.", ".9007199254740993",
    "900719925474099.2", "1234567890123456789", "12345678901234567890", "0000000000000000000001",
    "-0.0000000000000000000001", "0.00000000000000000000001", "1.0000000000000000000000",
    "+.5", "-.5", "5.", "-0", "+0", "-.0", "0", "-0.000", "+12.5", "1.5-105", "-2.5D+3", "7E0",
    # and at the edges of its exponents: 10**22 is the largest exact power of ten
    "1E22", "1E23", "7E-22", "7E-23", "640865532228086E-23", "6408655322280.86E-21", "-1.5-5",
    "2.5d+0003", "2.5E00003", "1.E5", "-.5D-1", "9007199254740993E0", "9.007199254740993E15",
    # 20 digits whose integer, taken modulo 2**64, would pass for a small one
    "18446744073709551617", "-1844674407370955161.7", "18446744073709551616E-3",
    "1E-0", "+3.25e+2", "-7.3687E+0", "-1.1248E+1",
]


@pytest.mark.parametrize("width", [25, 32])
def test_fixed_fields_at_the_edges_of_plain_decimals(width):
    data = "".join(t.rjust(width) for t in PLAIN_EDGES).encode()
    values, end = _parse.fixed(data, 0, len(PLAIN_EDGES), width, len(PLAIN_EDGES))
    same_bits(values, [py_float(t) for t in PLAIN_EDGES])
    assert end == len(data)


@pytest.mark.parametrize("field", ["-", "+", ".", "+.", "-.", "1.2.3", "--1", "+-1", "1 2", "1-",
                                   "1.5-", "..5", "5..", "1,5", "1x", "1E", "1E+", "E5", ".E5",
                                   "1E5.", "1E+-5", "1E5E5", "1EE5", "1-+5"])
def test_fixed_fields_that_are_no_plain_decimal(field):
    with pytest.raises(ParseError) as e:
        _parse.fixed(f"{field:>8}{'1.0':>8}".encode(), 0, 2, 8, 2)
    assert e.value.kind == "number" and e.value.index == 0


@pytest.mark.parametrize("alphabet, length", [("19.+-Ed ", 5), ("05.-eD+\t", 4),
                                              ("7.-E \v\f\t", 4)])
def test_every_short_fixed_field_reads_as_float_does_or_is_refused(alphabet, length):
    # Every field of these characters up to `length` long, blanks anywhere: a number is
    # float()'s value bit for bit, anything else a "number" error (a blank field its own).
    # Blanks are what float() strips from the field's bytes: space, tab, vertical tab, form feed.
    for size in range(1, length + 1):
        for chars in itertools.product(alphabet, repeat=size):
            field = "".join(chars)
            text = field.strip(" \t\v\f")
            data = f"{field}{'7':>{size}}".encode()
            if text and NUMBER.fullmatch(text) and math.isfinite(py_float(text)):
                values, _ = _parse.fixed(data, 0, 2, size, 2)
                same_bits(values, [py_float(text), 7.0])
                continue
            with pytest.raises(ParseError) as e:
                _parse.fixed(data, 0, 2, size, 2)
            assert e.value.index == 0, field
            if text and not NUMBER.fullmatch(text):
                assert e.value.kind == "number", field


@pytest.mark.parametrize("size", [0, 1, 64, 65, 130, 4099])
def test_lone_cr_is_the_first_cr_without_lf(size):
    # Any buffer; the bytes drawn mostly from CR and LF, so that lone ones are rare.
    rng = random.Random(size)
    for _ in range(50):
        data = bytes(rng.choice(b"\r\n\n\nx" if rng.random() < 0.5 else b"\r\n") for _ in range(size))
        lone = re.search(rb"\r(?!\n)", data)
        for buffer in (data, bytearray(data), memoryview(data)):
            assert _parse.lone_cr(buffer) == (lone.start() if lone else -1)


@pytest.mark.parametrize("blank", [b"\x00", b"\x1c", b"\x1f", b"\x85", b"\xa0"])
@pytest.mark.parametrize("where", ["before", "after"])
def test_fixed_fields_with_bytes_float_does_not_strip_are_refused(blank, where):
    # float() of these bytes refuses them (a str of them may read): never read as blanks.
    field = blank + b"12.5" if where == "before" else b"12.5" + blank
    with pytest.raises(ValueError):
        float(field)
    with pytest.raises(ParseError) as e:
        _parse.fixed(field.rjust(8) + b"     1.0", 0, 2, 8, 2)
    assert e.value.kind == "number" and e.value.index == 0


def test_fixed_integers():
    values, _ = _parse.fixed(b"   1  -2\n 999", 0, 3, 4, 2, integers=True)
    assert values.tolist() == [1.0, -2.0, 999.0]
    with pytest.raises(ParseError) as e:
        _parse.fixed(b"   1 2.0", 0, 2, 4, 2, integers=True)
    assert str(e.value) == "offset 5: '2.0' is not an integer"


def test_columns():
    data = b"# t, a\n0.00, 1.5\n\n0.01, -2e-3\r\n0.02,4\n"
    values, end = _parse.columns(data, 7, 2, delimiters=b",")
    assert values.tolist() == [[0.0, 1.5], [0.01, -0.002], [0.02, 4.0]]
    assert end == len(data) - 1
    values, end = _parse.columns(data, 7, 2, 1, delimiters=b",")
    assert values.shape == (1, 2) and end == 16


@pytest.mark.parametrize("call, message, attrs, kind", [
    (lambda: _parse.floats(b"1 2\n0.3x 4", 0), "offset 4: '0.3x' is not a number", (4, "0.3x", 2), "number"),
    (lambda: _parse.floats(b"1 2", 0, 3), "offset 3: data ends after 2 of 3 numbers", (3, "", 2), "end"),
    (lambda: _parse.floats(b"1 2 3", 0, 9, stop=3), "offset 3: data ends after 2 of 9 numbers", (3, "", 2), "end"),
    (lambda: _parse.floats(b"\x06\x00\x07 1", 0), "offset 0: '\\x06\\x00\\x07' is not a number",
     (0, "\x06\x00\x07", 0), "number"),
    (lambda: _parse.floats(b"1 " + b"x" * 100, 0),
     f"offset 2: {'x' * 64!r}... is not a number", (2, "x" * 64, 1), "number"),
    (lambda: _parse.fixed(b"  1.0  2.\n", 0, 4, 5, 2),
     "offset 5: field '  2.' is cut short: 4 of 5 characters", (5, "  2.", 1), "cut"),
    (lambda: _parse.fixed(b"  1.0\n  2.0", 0, 3, 5, 2), "offset 0: 1 value on a line of 2", (0, "  1.0", 1), "line"),
    (lambda: _parse.fixed(b"  1.0  2.0\n\n  3.0", 0, 3, 5, 2),
     "offset 11: blank line where 1 field is expected", (11, "", 2), "line"),
    (lambda: _parse.fixed(b"  1.0     ", 0, 2, 5, 2),
     "offset 5: blank field where number 2 of 2 is expected", (5, "     ", 1), "blank"),
    (lambda: _parse.fixed(b"  1.0  2.0  3.0\n", 0, 2, 5, 2),
     "offset 12: '3.0' after the last field of the line", (12, "3.0", 2), "after"),
    (lambda: _parse.fixed(b"  1.0  2.0\n", 0, 3, 5, 2), "offset 11: data ends after 2 of 3 fields", (11, "", 2), "end"),
    (lambda: _parse.columns(b"1 2\n3 4 5\n", 0, 2), "offset 4: line holds 3 numbers, not 2", (4, "3 4 5", 1), "columns"),
    (lambda: _parse.columns(b"1 2\n3\n", 0, 2), "offset 4: line holds 1 number, not 2", (4, "3", 1), "columns"),
    (lambda: _parse.columns(b"1 2\n", 0, 2, 2), "offset 4: data ends after 1 of 2 rows", (4, "", 1), "end"),
])
def test_errors_name_offset_and_text(call, message, attrs, kind):
    with pytest.raises(ParseError) as e:
        call()
    assert str(e.value) == message
    assert (e.value.offset, e.value.text, e.value.index) == attrs
    assert e.value.reason == message.split(": ", 1)[1]
    assert e.value.kind == kind
    assert isinstance(e.value, ValueError)


@pytest.mark.parametrize("call, exc, message", [
    (lambda: _parse.floats(b"1", 2), ValueError, "start must be from 0 to len(data) = 1, not 2"),
    (lambda: _parse.floats(b"1", -1), ValueError, "start must be from 0 to len(data) = 1, not -1"),
    (lambda: _parse.floats(b"12", 1, stop=0), ValueError,
     "stop must be -1 or from start = 1 to len(data) = 2, not 0"),
    (lambda: _parse.floats(b"12", 0, stop=3), ValueError,
     "stop must be -1 or from start = 0 to len(data) = 2, not 3"),
    (lambda: _parse.floats(b"1", 0, -2), ValueError, "count must be -1 or >= 0, not -2"),
    (lambda: _parse.fixed(b"1", 0, -1, 1, 1), ValueError, "count must be >= 0, not -1"),
    (lambda: _parse.fixed(b"1", 0, 1, 0, 1), ValueError, "width must be >= 1, not 0"),
    (lambda: _parse.fixed(b"1", 0, 1, 1, 0), ValueError, "per_line must be >= 1, not 0"),
    (lambda: _parse.columns(b"1", 0, 0), ValueError, "n_columns must be >= 1, not 0"),
    (lambda: _parse.floats(b"1", 0, delimiters=b",."), ValueError,
     "delimiters must not hold digits, signs, points, exponent letters or NUL bytes"),
    (lambda: _parse.floats("1 2", 0), TypeError, "a bytes-like object is required, not 'str'"),
    (lambda: _parse.floats(b"1", 0.0), TypeError, "'float' object cannot be interpreted as an integer"),
    (lambda: _parse.floats(b"1", 2**63), OverflowError, "int too big to convert"),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as e:
        call()
    assert str(e.value) == message
    assert not isinstance(e.value, ParseError)


@pytest.mark.parametrize("call, message", [
    (lambda: _parse.floats(b"1"), "floats() missing required argument 'start' (pos 2)"),
    (lambda: _parse.floats(b"1", 0, -1, -1, None, 1),
     "floats() takes at most 5 positional arguments (6 given)"),
    (lambda: _parse.fixed(b"1", 0, 1, 1, 1, width=1),
     "argument for fixed() given by name ('width') and position (4)"),
    (lambda: _parse.columns(b"1", 0, 1, sep=b","), "'sep' is an invalid keyword argument for columns()"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_signatures_and_keywords():
    assert str(inspect.signature(_parse.floats)) == "(data, start, count=-1, stop=-1, delimiters=None)"
    assert str(inspect.signature(_parse.fixed)) == "(data, start, count, width, per_line, integers=False)"
    assert str(inspect.signature(_parse.columns)) == \
        "(data, start, n_columns, count=-1, stop=-1, delimiters=None)"
    values, end = _parse.columns(data=bytearray(b"1;2\n3;4"), start=0, n_columns=2, delimiters=b";")
    assert values.tolist() == [[1.0, 2.0], [3.0, 4.0]] and end == 7
    assert _parse.fixed(b" 1 2", 0, 2, 2, 2, 1)[0].tolist() == [1.0, 2.0]


# ---- buffers -------------------------------------------------------------------------

def test_any_buffer(tmp_path):
    text = b"xx 1.5 -2 3e1"
    expected = [1.5, -2.0, 30.0]
    path = tmp_path / "r.txt"
    path.write_bytes(text)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        assert _parse.floats(m, 3)[0].tolist() == expected
    for data in [text, bytearray(text), memoryview(text), array.array("b", text)]:
        assert _parse.floats(data, 3)[0].tolist() == expected
    assert _parse.floats(memoryview(text)[3:], 0)[0].tolist() == expected
    with pytest.raises(BufferError):
        _parse.floats(memoryview(text)[::2], 0)


def test_offsets_beyond_4_gib(tmp_path):
    # A sparse file: the numbers sit past 2**32 bytes, only their pages are read.
    path = tmp_path / "big.bin"
    base = 2**32 + 17
    with open(path, "wb") as f:
        f.seek(base)
        f.write(b"  1.25  -3.5\n   7.0")
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        values, end = _parse.floats(m, base, 3)
        assert values.tolist() == [1.25, -3.5, 7.0] and end == base + 19
        values, end = _parse.fixed(m, base, 3, 6, 2)
        assert values.tolist() == [1.25, -3.5, 7.0]
        with pytest.raises(ParseError) as e:
            _parse.floats(m, base, 4, stop=base + 19)
        assert e.value.offset == base + 19


def test_threads_share_one_buffer():
    rng = np.random.default_rng(3)
    data = " ".join(f"{x:.7E}" for x in rng.normal(size=50_000)).encode()
    expected, _ = _parse.floats(data, 0)
    results = [None] * 4

    def work(k):
        results[k] = _parse.floats(data, 0)[0]

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        same_bits(r, expected)


# ---- fuzz -----------------------------------------------------------------------------

def test_mutated_blocks_raise_only_parse_errors():
    """Random bytes, byte flips and truncations: a result or ParseError, never anything else."""
    rng = random.Random(2024)
    block = "".join(f"{v:10.4f}" + ("\n" if k % 8 == 7 else "") for k, v in
                    enumerate(np.random.default_rng(0).normal(size=200) * 100)).encode()
    for trial in range(3000):
        data = bytearray(block[:rng.randint(0, len(block))])
        for _ in range(rng.randint(0, 4)):
            if data:
                data[rng.randrange(len(data))] = rng.randrange(256)
        if trial % 10 == 0:
            data = bytearray(rng.randbytes(rng.randint(0, 200)))
        data = bytes(data)
        count = rng.choice([0, 1, 50, 200, 10**12])
        for call in (lambda: _parse.floats(data, 0), lambda: _parse.floats(data, 0, count),
                     lambda: _parse.fixed(data, 0, count, 10, 8), lambda: _parse.columns(data, 0, 8),
                     lambda: _parse.columns(data, 0, 8, count)):
            try:
                values, end = call()
            except ParseError as e:
                assert 0 <= e.offset <= len(data)
                continue
            assert 0 <= end <= len(data)
            assert np.isfinite(values).all()
