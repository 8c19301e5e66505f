"""Damage-potential CAV: the decision on precomputed CAVstd and spectral values."""
import math
import traceback

import pytest

from tavotools.tavo import get_CAVdp_cy

NAN = math.nan
PSA_CUT = 0.2 * 9.81                          # 1.9620000000000002
CAVSTD_CUT = 0.16 * 9.81                      # 1.5696
PSV_CUT = 0.1534
PASS = object()                               # marks "CAVstd_gm comes back"
ON = "not 0"                                  # any PSV_check other than 0


def check(result, expected, gm=1.7):
    if expected is PASS:
        assert type(result) is float and (result == gm or math.isnan(gm) and math.isnan(result))
    else:
        assert type(result) is int and result == 0


# psa 2.0 / cavstd 2.0 / psv 0.2 pass their tests; 1.0 / 1.0 / 0.1 fail them
@pytest.mark.parametrize("psv_check, psa, cavstd, psv, expected", [
    (0, 2.0, 2.0, 0.2, PASS), (0, 2.0, 2.0, 0.1, PASS),
    (0, 1.0, 2.0, 0.2, 0), (0, 1.0, 2.0, 0.1, 0),
    (0, 2.0, 1.0, 0.2, 0), (0, 2.0, 1.0, 0.1, 0), (0, 1.0, 1.0, 0.2, 0),
    (ON, 2.0, 2.0, 0.2, PASS), (ON, 2.0, 2.0, 0.1, 0),
    (ON, 1.0, 2.0, 0.2, 0), (ON, 1.0, 2.0, 0.1, 0),
    (ON, 2.0, 1.0, 0.2, 0), (ON, 2.0, 1.0, 0.1, 0), (ON, 1.0, 1.0, 0.2, 0),
])
def test_decision_table(psv_check, psa, cavstd, psv, expected):
    for flag in (psv_check,) if psv_check == 0 else (1, -1, 2, 2147483647, -2147483648):
        check(get_CAVdp_cy(1.7, cavstd, psa, psv, flag), expected)


@pytest.mark.parametrize("psv, psv_check, expected", [
    (0.2, (), PASS), (0.2, (1,), PASS), (0.2, (0,), PASS),
    (0.1, (), 0), (0.1, (1,), 0), (0.1, (0,), PASS),
    (0.1, (True,), 0), (0.1, (False,), PASS), (0.1, (0.5,), PASS), (0.1, (-0.99,), PASS),
    (0.1, (-1.5,), 0), (0.1, (1.5,), 0),
])
def test_psv_check(psv, psv_check, expected):
    check(get_CAVdp_cy(1.7, 2.0, 2.0, psv, *psv_check), expected)


@pytest.mark.parametrize("psa, cavstd, psv, psv_check, expected", [
    # the cut-offs are the double products with g, and every test is strict
    (1.962, 2.0, 0.2, 1, 0),
    (1.9620000000000002, 2.0, 0.2, 1, 0),
    (math.nextafter(PSA_CUT, math.inf), 2.0, 0.2, 1, PASS),
    (2.0, 1.5696, 0.2, 1, 0),
    (2.0, math.nextafter(1.5696, math.inf), 0.2, 1, PASS),
    (2.0, 2.0, 0.1534, 1, 0),
    (2.0, 2.0, math.nextafter(0.1534, math.inf), 1, PASS),
    (2.0, 2.0, 0.1534, 0, PASS),
    (math.inf, math.inf, math.inf, 1, PASS),
    (-math.inf, 2.0, 0.2, 1, 0),
])
def test_cut_offs(psa, cavstd, psv, psv_check, expected):
    check(get_CAVdp_cy(1.7, cavstd, psa, psv, psv_check), expected)


def test_cut_off_values():
    assert PSA_CUT == 1.9620000000000002 == math.nextafter(1.962, math.inf)
    assert CAVSTD_CUT == 1.5696


@pytest.mark.parametrize("psa, cavstd, psv, psv_check, expected", [
    (2.0, 2.0, NAN, 0, PASS),                 # the PSV test is off
    (2.0, 2.0, NAN, 1, 0),
    (NAN, 2.0, 0.2, 1, 0), (NAN, 2.0, 0.2, 0, 0),
    (2.0, NAN, 0.2, 1, 0), (2.0, NAN, 0.2, 0, 0),
    (NAN, NAN, NAN, 0, 0),
])
def test_nan_fails_its_test(psa, cavstd, psv, psv_check, expected):
    check(get_CAVdp_cy(1.7, cavstd, psa, psv, psv_check), expected)


@pytest.mark.parametrize("gm", [-3.5, 0.0, -0.0, math.inf, -math.inf, NAN, 5e-324, 1e308])
def test_gm_returned_whatever_it_is(gm):
    r = get_CAVdp_cy(gm, 2.0, 2.0, 0.2)
    check(r, PASS, gm)
    assert math.copysign(1.0, r) == math.copysign(1.0, gm)


def test_result_types():
    gm = float("1.7")                         # a float object of our own
    r = get_CAVdp_cy(gm, 2.0, 2.0, 0.2)
    assert type(r) is float and r == gm and r is not gm
    two = get_CAVdp_cy(2, 2, 2, 0.2)
    assert type(two) is float and two == 2.0
    zero = get_CAVdp_cy(gm, 1.0, 2.0, 0.2)
    assert type(zero) is int and zero == 0 and zero == 0.0 and not isinstance(zero, bool)


@pytest.mark.parametrize("args, kwargs", [
    ((), dict(CAVstd_gm=1.7, max_CAVstd=2.0, max_PSA=2.0, max_PSV=0.1, PSV_check=0)),
    ((), dict(PSV_check=0, max_PSV=0.1, max_PSA=2.0, max_CAVstd=2.0, CAVstd_gm=1.7)),
    ((1.7,), dict(max_PSV=0.1, max_CAVstd=2.0, max_PSA=2.0, PSV_check=0)),
    ((1.7, 2.0, 2.0, 0.1), dict(PSV_check=0)),
    ((1.7, 2.0, 2.0), dict(max_PSV=0.1, PSV_check=0)),
])
def test_keyword_calls(args, kwargs):
    check(get_CAVdp_cy(*args, **kwargs), PASS)
    del kwargs["PSV_check"]                   # default 1: the PSV test is on and fails
    check(get_CAVdp_cy(*args, **kwargs), 0)


@pytest.mark.parametrize("psv_check", [0, 1])
def test_max_psv_converted_even_when_unused(psv_check):
    with pytest.raises(TypeError) as e:
        get_CAVdp_cy(1.7, 2.0, 2.0, "x", psv_check)
    assert str(e.value) == "must be real number, not str"
    assert traceback.extract_tb(e.value.__traceback__)[-1].name == "tavotools.tavo.get_CAVdp_cy"


@pytest.mark.parametrize("psv_check, exc, message", [
    (None, TypeError, "an integer is required"),
    ("1", TypeError, "an integer is required"),
    (2**31, OverflowError, None),
    (-2**31 - 1, OverflowError, None),
])
def test_psv_check_errors(psv_check, exc, message):
    with pytest.raises(exc) as e:
        get_CAVdp_cy(1.7, 2.0, 2.0, 0.2, psv_check)
    assert message is None or str(e.value) == message
    assert traceback.extract_tb(e.value.__traceback__)[-1].name == "tavotools.tavo.get_CAVdp_cy"
