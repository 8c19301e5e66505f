"""Processing steps for raw records: each returns a new record and says what it did."""
import warnings

import numpy as np
import pytest

from tavotools import processing
from tavotools.constants import G
from tavotools.records import Record, read_record
from tavotools.summary import summarize

DT = 0.01
T = np.arange(2000) * DT


def record(accel, dt=DT):
    return Record(np.asarray(accel, dtype=float), dt, processing=("as recorded",))


def test_demean_is_the_mean_subtracted_and_leaves_the_record_alone():
    accel = 0.3 + np.sin(2 * np.pi * 1.3 * T)
    r = record(accel)
    out = processing.demean(r)
    assert np.array_equal(out.accel, accel - accel.mean())
    assert np.array_equal(r.accel, accel) and r.processing == ("as recorded",)
    assert out.processing == ("as recorded", "mean removed")
    assert (out.dt, out.units) == (r.dt, r.units)


@pytest.mark.parametrize("order, note", [
    (0, "mean removed"), (1, "linear baseline removed"),
    (2, "polynomial baseline of order 2 removed"), (3, "polynomial baseline of order 3 removed"),
])
def test_detrend_removes_a_polynomial_baseline_of_its_order(order, note):
    wave = 0.01 * np.sin(2 * np.pi * 5.0 * T)
    baseline = sum(c * T ** k for k, c in enumerate([0.2, -0.05, 0.003, -1e-4][:order + 1]))
    out = processing.detrend(record(wave + baseline), order)
    assert np.abs(out.accel - wave).max() < 1e-3
    assert out.processing[-1] == note


@pytest.mark.parametrize("accel", [
    0.3 + np.sin(2 * np.pi * 1.3 * T),
    np.random.default_rng(7).normal(-2.5, 0.4, 4001),
    1e5 + np.random.default_rng(8).normal(0.0, 1e-3, 999),
    np.array([0.1, -0.7]),
])
def test_detrend_of_order_0_is_demean_bit_for_bit(accel):
    # The same operation under another name: the least-squares fit of a constant
    # left results a few ulps from the mean's.
    r = record(accel)
    out, mean = processing.detrend(r, 0), processing.demean(r)
    assert out.accel.tobytes() == mean.accel.tobytes()
    assert out.processing == mean.processing == ("as recorded", "mean removed")
    steps = processing.apply_steps(r, "detrend:0")
    assert steps.accel.tobytes() == mean.accel.tobytes()


@pytest.mark.parametrize("order, error, message", [
    (-1, ValueError, "order must be 0 or more, not -1"),
    (2000, ValueError, "a baseline of order 2000 needs more than 2000 samples"),
    (1.5, TypeError, "order must be an integer, not float"),
])
def test_detrend_rejects_orders(order, error, message):
    with pytest.raises(error) as e:
        processing.detrend(record(np.ones(2000)), order)
    assert str(e.value) == message


def _least_squares_residual(y, order):
    # The fit in Legendre polynomials over [-1, 1], through a QR factorisation:
    # well conditioned at these orders, where a basis of powers is not.
    V = np.polynomial.legendre.legvander(np.linspace(-1.0, 1.0, y.size), order)
    q, _ = np.linalg.qr(V)
    return y - q @ (q.T @ y)


@pytest.mark.parametrize("order", [1, 4, 40, 60, 120])
def test_detrend_is_the_least_squares_baseline_at_any_order(order):
    # Past order 30 or so a fit in powers of t (NumPy's Polynomial.fit) only warned
    # (RankWarning) and removed another baseline: 0.26 m/s2 off at order 50.
    rng = np.random.default_rng(order)
    y = rng.standard_normal(4000) + 0.05 + 0.01 * np.arange(4000) * DT
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = processing.detrend(record(y), order)
    assert np.abs(out.accel - _least_squares_residual(y, order)).max() < 1e-12


@pytest.mark.parametrize("dt", [1e306, 1e-320, 5e-324])
def test_detrend_does_not_depend_on_the_time_step(dt):
    # The baseline of equally spaced samples is the same whatever their step: fitted
    # over times past the range of doubles or subnormal, it raised LinAlgError.
    y = np.random.default_rng(2).standard_normal(1000) + np.linspace(0.0, 3.0, 1000)
    for order in (1, 3):
        got = processing.detrend(record(y, dt), order).accel
        assert np.array_equal(got, processing.detrend(record(y), order).accel)
        assert np.abs(got - _least_squares_residual(y, order)).max() < 1e-12


def test_taper_brings_the_ends_to_zero_and_keeps_the_middle():
    out = processing.taper(record(np.ones(2000)), 0.1)
    assert out.accel[0] == 0.0 and out.accel[-1] == 0.0
    assert np.all(out.accel[200:1800] == 1.0) and np.all(np.diff(out.accel[:200]) > 0)
    assert out.processing[-1] == "cosine taper 10 % at each end"


@pytest.mark.parametrize("n", [1, 2, 3])
def test_taper_brings_the_ends_of_the_shortest_records_to_zero(n):
    # A record of one sample kept it whole (SciPy's window of one point is 1),
    # though its processing said "cosine taper 5 % at each end".
    out = processing.taper(record(np.full(n, 2.0)))
    assert out.accel[0] == 0.0 and out.accel[-1] == 0.0
    assert out.processing[-1] == "cosine taper 5 % at each end"


@pytest.mark.parametrize("fraction", [0.0, 0.6, float("nan")])
def test_taper_fraction_checked(fraction):
    with pytest.raises(ValueError) as e:
        processing.taper(record(np.ones(100)), fraction)
    assert str(e.value) == f"taper fraction must be in (0, 0.5], not {fraction!r}"


def test_bandpass_keeps_the_band_removes_the_rest_and_shifts_nothing():
    inside = np.sin(2 * np.pi * 2.0 * T)
    out = processing.bandpass(record(inside + 0.5 + np.sin(2 * np.pi * 45.0 * T)), 0.5, 25.0)
    middle = slice(500, 1500)
    # Forward and backward: no phase shift, the band's amplitude kept.
    assert np.abs(out.accel[middle] - inside[middle]).max() < 0.01
    assert out.processing[-1] == "acausal Butterworth bandpass 0.5-25 Hz, order 4"


@pytest.mark.parametrize("kwargs, note", [
    (dict(low=0.5), "acausal Butterworth highpass 0.5 Hz, order 4"),
    (dict(high=10.0, order=2), "acausal Butterworth lowpass 10 Hz, order 2"),
])
def test_high_and_low_pass(kwargs, note):
    assert processing.bandpass(record(np.sin(3 * T)), **kwargs).processing[-1] == note


@pytest.mark.parametrize("args, message", [
    ((0.1, 50.0), "high corner 50.0 Hz must lie between 0 and the Nyquist frequency 50 Hz"),
    ((0.0, 10.0), "low corner 0.0 Hz must lie between 0 and the Nyquist frequency 50 Hz"),
    ((5.0, 1.0), "low corner 5.0 Hz must be below the high corner 1.0 Hz"),
    ((None, None), "bandpass needs a low corner, a high corner or both"),
])
def test_bandpass_corners_checked(args, message):
    with pytest.raises(ValueError) as e:
        processing.bandpass(record(np.ones(2000)), *args)
    assert str(e.value) == message


def test_bandpass_of_a_record_shorter_than_the_filter_pad():
    with pytest.raises(ValueError) as e:
        processing.bandpass(record(np.ones(20)), 0.1, 10.0)
    assert str(e.value).startswith("a record of 20 samples is too short for this filter (")


@pytest.mark.parametrize("kwargs", [dict(low=1e-9, high=10.0, order=2), dict(low=1e-7),
                                    dict(high=1e-9)])
def test_a_corner_too_low_for_double_precision_is_named_not_the_length(kwargs):
    # 2000 samples are ample for the pad: the fault is the corner, whose poles round to z = 1.
    with pytest.raises(ValueError) as e:
        processing.bandpass(record(np.sin(3 * T)), **kwargs)
    assert "too short" not in str(e.value)
    assert "is unstable in double precision at a time step of 0.01 s: its corner is too low" \
        in str(e.value)


@pytest.mark.parametrize("dt", [0.01, 0.005, 0.02, 1 / 128])
@pytest.mark.parametrize("order", [1, 4, 16])
def test_a_band_reaching_the_nyquist_frequency_blames_its_high_corner(dt, order):
    # A high corner one ulp below the Nyquist frequency puts the band's poles at z = 1;
    # the message said the corner was too low, which the low corner of 1 Hz is not.
    import math

    nyquist = 0.5 / dt
    high = math.nextafter(nyquist, 0.0)
    with pytest.raises(ValueError) as e:
        processing.bandpass(record(np.sin(3 * T), dt), 1.0, high, order)
    assert str(e.value).startswith(
        f"the bandpass 1-{high!r} Hz filter is unstable in double precision at a time step "
        f"of {dt:g} s: its high corner is too close to the Nyquist frequency {nyquist:g} Hz (")


@pytest.mark.parametrize("dt, kwargs, words", [
    (DT, dict(low=0.1234567, high=20.0), "acausal Butterworth bandpass 0.1234567-20 Hz, order 4"),
    (DT, dict(high=49.99999999), "acausal Butterworth lowpass 49.99999999 Hz, order 4"),
    (DT, dict(low=1e-3, high=25.0), "acausal Butterworth bandpass 0.001-25 Hz, order 4"),
    (0.003, dict(high=166.6668),
     "high corner 166.6668 Hz must lie between 0 and the Nyquist frequency 166.66666666666666 Hz"),
])
def test_corners_are_named_as_given(dt, kwargs, words):
    # Six digits named 0.1234567 Hz 0.123457 in the record's processing, a corner just
    # below a Nyquist frequency of 50 Hz "50 Hz", and refused 166.6668 Hz as not lying
    # below a Nyquist frequency of "166.667 Hz".
    try:
        got = processing.bandpass(record(np.sin(3 * T), dt), **kwargs).processing[-1]
    except ValueError as e:
        got = str(e)
    assert got == words


@pytest.mark.parametrize("fraction, words", [
    (0.05, "5"), (0.07, "7"), (0.5, "50"), (0.125, "12.5"),
    (0.1234567, "12.34567"), (1 / 3, "33.33333333333333"), (1e-9, "0.0000001"),
])
def test_a_taper_is_named_as_given(fraction, words):
    # Six digits named a taper of 0.1234567 "12.3457 %" in the record's processing.
    out = processing.taper(record(np.sin(3 * T), DT), fraction)
    assert out.processing[-1] == f"cosine taper {words} % at each end"


@pytest.mark.parametrize("kwargs", [dict(low=0.1, high=20.0), dict(low=0.5, order=7),
                                    dict(high=5.0, order=1), dict(low=1.0, high=2.0, order=16)])
def test_bandpass_is_sosfiltfilt_with_its_own_pad_and_short_records_name_it(kwargs):
    from scipy import signal

    x = np.sin(2 * np.pi * 1.7 * T) + 0.1 * np.cos(2 * np.pi * 31.0 * T)
    low, high = kwargs.get("low"), kwargs.get("high")
    kind = "bandpass" if low and high else "highpass" if low else "lowpass"
    corners = (low, high) if low and high else low or high
    sos = signal.butter(kwargs.get("order", 4), corners, btype=kind, fs=1 / DT, output="sos")
    assert np.array_equal(processing.bandpass(record(x), **kwargs).accel,
                          signal.sosfiltfilt(sos, x))

    def takes(n):
        try:
            signal.sosfiltfilt(sos, x[:n])
        except ValueError:
            return False
        return True

    # The shortest record SciPy's own default pad lets through is the shortest filtered.
    pad = next(n for n in range(1, 400) if takes(n)) - 1
    processing.bandpass(record(x[:pad + 1]), **kwargs)
    with pytest.raises(ValueError) as e:
        processing.bandpass(record(x[:pad]), **kwargs)
    assert str(e.value) == (f"a record of {pad} samples is too short for this filter "
                            f"(it pads each end by {pad} samples)")


@pytest.mark.parametrize("text, kwargs", [
    ("bandpass:1e-3-20", dict(low=1e-3, high=20.0)),       # an exponent's dash is no separator
    ("bandpass:1E-3-2e1:2", dict(low=1e-3, high=20.0, order=2)),
    ("bandpass:0.05-2.5e-1", dict(low=0.05, high=0.25)),
    ("bandpass:1e-2-", dict(low=1e-2)),
    ("bandpass:-1e1", dict(high=10.0)),
])
def test_parse_steps_reads_corners_written_with_exponents(text, kwargs):
    r = record(np.sin(2 * np.pi * T) + 0.1 * T)
    out = processing.apply_steps(r, text)
    assert np.array_equal(out.accel, processing.bandpass(r, **kwargs).accel)
    assert out.processing == processing.bandpass(r, **kwargs).processing


def test_parse_steps_applies_them_in_order():
    r = record(np.sin(2 * np.pi * T) + 0.1 * T)
    out = processing.apply_steps(r, "demean, detrend:2,taper:0.05,bandpass:0.1-25:2,"
                                    "highpass:0.2,lowpass:20")
    assert out.processing == ("as recorded", "mean removed",
                              "polynomial baseline of order 2 removed",
                              "cosine taper 5 % at each end",
                              "acausal Butterworth bandpass 0.1-25 Hz, order 2",
                              "acausal Butterworth highpass 0.2 Hz, order 4",
                              "acausal Butterworth lowpass 20 Hz, order 4")
    again = processing.apply_steps(r, processing.parse_steps("demean,detrend"))
    assert np.array_equal(again.accel, processing.detrend(processing.demean(r)).accel)


USAGE = ("demean, detrend[:ORDER], taper[:FRACTION], bandpass:LOW-HIGH[:ORDER], "
         "highpass:LOW, lowpass:HIGH")


@pytest.mark.parametrize("text, message", [
    ("demean,smooth", f"unknown processing step 'smooth': use {USAGE}"),
    ("demean:2", "processing step 'demean' takes no argument"),
    ("bandpass", "processing step 'bandpass' needs its corner frequencies, such as bandpass:0.1-25"),
    # Names are read in any case, the missing corners too (not only at the first record).
    (" HighPass ", "processing step 'highpass' needs its corner frequencies, such as bandpass:0.1-25"),
    ("bandpass:0.1", "processing step 'bandpass:0.1': give the corners as LOW-HIGH, "
                     "such as bandpass:0.1-25"),
    ("taper:five", "processing step 'taper:five': 'five' is not a number"),
    ("detrend:1.5", "processing step 'detrend:1.5': '1.5' is not an integer"),
    # An order asked for and not given is no default order 4.
    ("bandpass:0.1-25:", "processing step 'bandpass:0.1-25:': '' is not an integer"),
    ("detrend:", "processing step 'detrend:': '' is not an integer"),
])
def test_parse_steps_errors(text, message):
    with pytest.raises(ValueError) as e:
        processing.parse_steps(text)
    assert str(e.value) == message


def test_an_offset_inflates_pgv_and_demean_takes_it_out(data):
    r = read_record(data / "elcentro1940_chopra" / "elcentro_chopra.csv")
    shifted = Record(r.accel + 0.005 * G, r.dt)
    assert round(summarize(r).PGV, 2) == 0.36
    assert round(summarize(shifted).PGV, 2) == 1.53
    assert round(summarize(processing.demean(shifted)).PGV, 2) == 0.36
