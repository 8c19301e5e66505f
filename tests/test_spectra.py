"""Elastic response spectra: the recurrence against independent solutions.

The step coefficients against SciPy's matrix exponential, the kernel bit for
bit against a NumPy run of the same recurrence, the response against the
closed form of a harmonic input and against an ODE solver on a real record.
"""
import math
import sys
import threading
import warnings

import numpy as np
import pytest
import scipy.linalg
from scipy.integrate import odeint

from tavotools import _spectra
from tavotools.rotd import rotd
from tavotools.spectra import DEFAULT_PERIODS, STANDARD_PERIODS, response_spectrum
from tavotools.summary import summarize_components

@pytest.fixture(scope="module")
def loma_prieta(data):
    from tavotools.records import read_record

    r = read_record(data / "usgs_smc_lomaprieta" / "0111a.smc")
    return r.accel, r.dt


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.int64)


# ---- step coefficients -------------------------------------------------------

def expm_step(x, zeta):
    """e^{xJ}, (φ1 - φ2)(xJ) e2 and φ2(xJ) e2 for xJ = x [[0, 1], [-1, -2ζ]], from expm."""
    Z = np.zeros((4, 4))
    Z[:2, :2] = x * np.array([[0.0, 1.0], [-1.0, -2.0 * zeta]])
    Z[1, 2] = 1.0
    Z[2, 3] = 1.0
    E = scipy.linalg.expm(Z)
    return E[:2, :2], E[:2, 2] - E[:2, 3], E[:2, 3]


@pytest.mark.parametrize("zeta", [0.0, 0.05, 0.5, 0.99, 0.999999])
@pytest.mark.parametrize("x", [1e-6, 1e-3, 0.3, 0.999, 1.0, 1.001, 2.5, 17.0, 300.0])
def test_step_matches_matrix_exponential(x, zeta):
    dt = 0.005
    T = 2 * math.pi * dt / x
    omega = 2 * math.pi / T
    (a11, a12, a21, a22), (b1, b2), (c1, c2) = _spectra.recurrence_coefficients(dt, T, zeta)
    P, R, S = expm_step(omega * dt, zeta)
    # Compared in the state [ω·u, v], where every entry is of order one or less.
    mine = np.array([a11, a12 * omega, a21 / omega, a22,
                     -b1 * omega / dt, -b2 / dt, -c1 * omega / dt, -c2 / dt])
    ref = np.concatenate([P.ravel(), R, S])
    np.testing.assert_allclose(mine, ref, rtol=1e-12, atol=1e-14)


def test_step_is_continuous_where_the_series_hands_over():
    # x = ω·dt = 1 is where the series give way to the closed forms.
    dt = 0.01
    below = np.array(_spectra.recurrence_coefficients(dt, 2 * math.pi * dt / np.nextafter(1.0, 0),
                                                      0.05)[2])
    above = np.array(_spectra.recurrence_coefficients(dt, 2 * math.pi * dt / np.nextafter(1.0, 2),
                                                      0.05)[2])
    np.testing.assert_allclose(below, above, rtol=1e-14)


# ---- the kernel, bit for bit ---------------------------------------------------

def reference_peaks(accel, dt, periods, zeta, substeps):
    """The recurrence in NumPy, across periods, with the module's own coefficients."""
    h = dt / substeps
    coef = np.array([[v for group in _spectra.recurrence_coefficients(h, T, zeta) for v in group]
                     for T in periods]).T
    a11, a12, a21, a22, b1, b2, c1, c2 = coef
    u = np.zeros(len(periods))
    v = np.zeros(len(periods))
    peak = np.zeros(len(periods))
    m = float(substeps)
    for k in range(len(accel) - 1):
        a0, a1 = float(accel[k]), float(accel[k + 1])
        lo = a0
        for j in range(1, substeps + 1):
            hi = a1 if j == substeps else (m - j) / m * a0 + j / m * a1
            u, v = a11 * u + a12 * v + b1 * lo + c1 * hi, a21 * u + a22 * v + b2 * lo + c2 * hi
            peak = np.maximum(peak, np.abs(u))
            lo = hi
    omega = 2 * math.pi / np.asarray(periods)
    return peak, omega * peak, omega * omega * peak


@pytest.mark.parametrize("n_periods", [1, 63, 64, 65, 130])
@pytest.mark.parametrize("zeta,substeps", [(0.05, 1), (0.0, 1), (0.3, 3)])
def test_kernel_equals_reference_bit_for_bit(n_periods, zeta, substeps):
    rng = np.random.default_rng(n_periods)
    accel = rng.standard_normal(240)
    periods = np.exp(rng.uniform(np.log(1e-3), np.log(20.0), n_periods))
    got = _spectra.response_peaks(accel, 0.01, periods, zeta, substeps)
    want = reference_peaks(accel, 0.01, periods, zeta, substeps)
    for g, w in zip(got, want):
        assert np.array_equal(bits(g), bits(w))


@pytest.mark.parametrize("view", [lambda a: a[::-1], lambda a: a[::3], lambda a: a[5:-7:2]])
def test_strided_records_and_periods_are_read_in_place(view):
    rng = np.random.default_rng(7)
    accel = rng.standard_normal(1000)
    periods = np.logspace(-2, 1, 90)
    got = _spectra.response_peaks(view(accel), 0.02, view(periods))
    want = _spectra.response_peaks(view(accel).copy(), 0.02, view(periods).copy())
    for g, w in zip(got, want):
        assert np.array_equal(bits(g), bits(w))


def test_a_single_sample_gives_zero_response():
    sp = response_spectrum([3.0], 0.01, periods=[0.1, 1.0])
    assert sp.SD.tolist() == [0.0, 0.0] and sp.PSA.tolist() == [0.0, 0.0]


# ---- independent solutions ---------------------------------------------------------

def harmonic_response(t, a0, Omega, omega, zeta):
    """u(t) of u'' + 2ζωu' + ω²u = -a0 sin(Ωt) from rest, in closed form."""
    wd = omega * math.sqrt(1 - zeta * zeta)
    D = (omega ** 2 - Omega ** 2) ** 2 + (2 * zeta * omega * Omega) ** 2
    X = -a0 * (omega ** 2 - Omega ** 2) / D
    Y = a0 * 2 * zeta * omega * Omega / D
    P = -Y
    Q = (zeta * omega * P - Omega * X) / wd
    return (X * np.sin(Omega * t) + Y * np.cos(Omega * t)
            + np.exp(-zeta * omega * t) * (P * np.cos(wd * t) + Q * np.sin(wd * t)))


@pytest.mark.parametrize("zeta", [0.0, 0.05, 0.5, 0.95])
def test_harmonic_input_matches_closed_form(zeta):
    dt, f_in, a0 = 1e-4, 2.0, 0.7
    t = np.arange(int(6.0 / dt) + 1) * dt
    accel = a0 * np.sin(2 * math.pi * f_in * t)
    # Below, near and above the input frequency (not on it: ζ = 0 would grow without bound).
    periods = np.array([0.08, 0.3, 0.49, 0.52, 1.7, 5.0])
    sp = response_spectrum(accel, dt, periods=periods, damping=zeta)
    want = [np.abs(harmonic_response(t, a0, 2 * math.pi * f_in, 2 * math.pi / T, zeta)).max()
            for T in periods]
    # The record is the sine linear between samples: (Ω·dt)²/8 ≈ 2e-7 apart.
    np.testing.assert_allclose(sp.SD, want, rtol=1e-6)


def test_real_record_matches_ode_solver_on_a_fine_grid(loma_prieta):
    accel, dt = loma_prieta
    accel = accel[:2400]  # 12 s: the strong motion and the peak at 10.2 s
    n = accel.size
    periods = np.array([0.05, 0.2, 1.0, 3.0])
    zetas = np.array([0.0, 0.05, 0.999])
    W = np.repeat(2 * math.pi / periods, zetas.size)
    Z = np.tile(zetas, periods.size)
    K = W.size
    values = accel.tolist()
    slopes = (np.diff(accel) / dt).tolist()

    def rhs(y, t):
        k = min(int(t / dt), n - 2)
        ag = values[k] + (t - k * dt) * slopes[k]
        u, v = y[:K], y[K:]
        return np.concatenate([v, -ag - 2 * Z * W * v - W * W * u])

    # The record on a grid of dt/2: the solver reports there, and the
    # module samples the response there with substeps=2.
    t_fine = np.arange(2 * n - 1) * (dt / 2)
    y = odeint(rhs, np.zeros(2 * K), t_fine, tcrit=np.arange(n) * dt, rtol=1e-11, atol=1e-14,
               mxstep=100000)
    want = np.abs(y[:, :K]).max(axis=0).reshape(periods.size, zetas.size)
    for j, zeta in enumerate(zetas):
        sp = response_spectrum(accel, dt, periods=periods, damping=zeta, substeps=2)
        np.testing.assert_allclose(sp.SD, want[:, j], rtol=1e-6)


@pytest.mark.parametrize("zeta", [0.05, 0.2])
@pytest.mark.parametrize("period", [1e-3, 1e-4])
def test_very_short_period_psa_is_pga(loma_prieta, period, zeta):
    accel, dt = loma_prieta
    sp = response_spectrum(accel, dt, periods=[period], damping=zeta)
    assert sp.PSA[0] == pytest.approx(np.abs(accel).max(), rel=1e-3)


def test_substeps_find_a_peak_between_samples():
    # A 10 Hz oscillator under a pulse sampled 10 times per its cycle: the
    # response between samples, found with sub-steps, is the higher peak.
    dt = 0.01
    accel = np.zeros(300)
    accel[10:15] = [0.0, 1.0, 0.5, -0.8, 0.0]
    coarse = response_spectrum(accel, dt, periods=[0.1]).SD[0]
    fine = response_spectrum(accel, dt, periods=[0.1], substeps=16).SD[0]
    finer = response_spectrum(accel, dt, periods=[0.1], substeps=64).SD[0]
    assert coarse < fine <= finer
    assert finer == pytest.approx(fine, rel=2e-3)


@pytest.mark.parametrize("scale", [2.0, -1.0, 0.5, -0.125])
def test_exact_scaling_by_powers_of_two(scale):
    accel = np.random.default_rng(3).standard_normal(2000)
    base = response_spectrum(accel, 0.01)
    scaled = response_spectrum(scale * accel, 0.01)
    for name in ("SD", "PSV", "PSA"):
        assert np.array_equal(bits(getattr(scaled, name)), bits(abs(scale) * getattr(base, name)))


def test_linearity_in_amplitude():
    accel = np.random.default_rng(4).standard_normal(2000)
    base = response_spectrum(accel, 0.01, damping=0.1)
    scaled = response_spectrum(3.7 * accel, 0.01, damping=0.1)
    np.testing.assert_allclose(scaled.PSA, 3.7 * base.PSA, rtol=1e-13)


# ---- the Python API --------------------------------------------------------------

def _obe_grid():
    from tavotools.obe import OBE_FREQUENCIES
    return OBE_FREQUENCIES[OBE_FREQUENCIES != 2.0], np.arange(401) / 400


@pytest.mark.parametrize("grid", [lambda: (DEFAULT_PERIODS, np.linspace(-2.0, 1.0, 301)), _obe_grid],
                         ids=["default periods", "OBE frequencies"])
def test_log_grids_are_the_nearest_doubles_on_every_machine(grid):
    # Built with NumPy's power, the grids differed by one ulp between an AVX-512
    # CPU and another, and between NumPy 1 and 2: 13 default periods and 20 OBE
    # frequencies on the development machine, so every spectrum on them too.
    from decimal import Decimal, localcontext

    values, exponents = grid()
    assert values.size == exponents.size
    with localcontext() as context:
        context.prec = 60
        far = [k for k, (v, x) in enumerate(zip(values, exponents))
               if abs(Decimal(float(v)) - Decimal(10) ** Decimal(float(x)))
               > Decimal(float(np.spacing(v))) / 2]
    assert far == []
    assert values[0] in (0.01, 1.0) and values[-1] == 10.0


def test_result_units_and_defaults():
    accel = np.sin(np.arange(500) * 0.1)
    sp = response_spectrum(accel, 0.02)
    assert np.array_equal(sp.periods, DEFAULT_PERIODS)
    np.testing.assert_allclose(sp.frequencies, 1.0 / DEFAULT_PERIODS, rtol=0)
    omega = 2 * math.pi / sp.periods
    np.testing.assert_allclose(sp.PSV, omega * sp.SD, rtol=1e-15)
    np.testing.assert_allclose(sp.PSA, omega ** 2 * sp.SD, rtol=1e-15)
    assert (sp.damping, sp.dt, sp.substeps, len(sp)) == (0.05, 0.02, 1, 301)
    with pytest.raises(ValueError):
        sp.PSA[0] = 1.0  # read-only


def test_frequencies_are_kept_as_given():
    f = np.array([1.0, 2.0, 10.0])
    sp = response_spectrum(np.ones(100), 0.01, frequencies=f)
    assert sp.frequencies.tolist() == [1.0, 2.0, 10.0]
    assert np.array_equal(sp.PSA, response_spectrum(np.ones(100), 0.01, periods=1.0 / f).PSA)


def test_input_is_not_changed():
    accel = np.random.default_rng(5).standard_normal(300)
    before = accel.copy()
    response_spectrum(accel, 0.01)
    _spectra.response_peaks(accel, 0.01, np.array([0.1, 1.0]))
    assert np.array_equal(accel, before)


@pytest.mark.parametrize("kwargs,message", [
    ({"accel": [0.0, np.nan, 1.0]}, "accel holds a NaN or infinite sample at index 1"),
    ({"accel": [0.0, 1.0, -np.inf]}, "accel holds a NaN or infinite sample at index 2"),
    ({"accel": []}, "accel is empty: a record needs at least one sample"),
    ({"accel": np.ones((3, 2))}, "accel must be one-dimensional, not 2-dimensional"),
    # NumPy would drop the imaginary parts, or take the values under the mask, with a warning at most.
    ({"accel": np.ones(3) + 0j}, "accel must be real numbers, not complex"),
    ({"accel": np.ma.masked_invalid([1.0, np.nan, 2.0])}, "accel has masked samples (gaps): fill them first"),
    ({"periods": np.array([0.5, 1.0 + 1e-3j])}, "periods must be real numbers, not complex"),
    ({"periods": ["0.1", "x"]}, "periods must be numbers"),
    ({"dt": 0.0}, "dt must be a positive, finite time step, not 0.0"),
    ({"dt": -0.01}, "dt must be a positive, finite time step, not -0.01"),
    ({"dt": math.nan}, "dt must be a positive, finite time step, not nan"),
    ({"periods": [0.1, 0.0]}, "periods must be positive and finite: periods[1] is 0.0"),
    ({"periods": [-1.0]}, "periods must be positive and finite: periods[0] is -1.0"),
    ({"periods": [np.inf]}, "periods must be positive and finite: periods[0] is inf"),
    ({"periods": []}, "periods is empty"),
    ({"frequencies": [1.0, np.nan]}, "frequencies must be positive and finite: frequencies[1] is nan"),
    ({"periods": [1.0], "frequencies": [1.0]}, "give periods or frequencies, not both"),
    # 1/f overflows: the message once named periods[0] = inf, which the caller never gave.
    ({"frequencies": [1.0, 1e-310]},
     "frequencies[1] = 1e-310 Hz is too low for double precision: its period is past the largest double"),
    ({"periods": [1.0, 1e-310]}, "periods[1] = 1e-310 s is too short for double precision"),
    ({"damping": 1.0}, "damping must be in [0, 1), not 1.0"),
    ({"damping": -0.01}, "damping must be in [0, 1), not -0.01"),
    ({"damping": math.nan}, "damping must be in [0, 1), not nan"),
    ({"substeps": 0}, "substeps must be an integer from 1 to 10000, not 0"),
    ({"substeps": 10001}, "substeps must be an integer from 1 to 10000, not 10001"),
    ({"substeps": 2.0}, "substeps must be an integer from 1 to 10000, not 2.0"),
])
def test_bad_input_raises_value_error(kwargs, message):
    args = {"accel": np.ones(10), "dt": 0.01, **kwargs}
    with pytest.raises(ValueError) as e, warnings.catch_warnings():
        warnings.simplefilter("error")  # the error alone, no warning of NumPy's before it
        response_spectrum(**args)
    assert str(e.value) == message


TEXT_CALLS = {
    "periods": lambda T: response_spectrum(np.ones(10), 0.01, periods=T),
    "frequencies": lambda T: response_spectrum(np.ones(10), 0.01, frequencies=T),
    "rotd": lambda T: rotd(np.ones(10), np.ones(10), 0.01, periods=T),
    "summarize_components": lambda T: summarize_components(np.ones(10), np.ones(10), np.ones(10),
                                                           0.01, periods=T),
}


@pytest.mark.parametrize("text", ["1.0", b"0.5", np.str_("2"), np.array("1.0"), "standard"],
                         ids=["str", "bytes", "numpy-str", "0-d-array", "standard"])
@pytest.mark.parametrize("name", sorted(TEXT_CALLS))
def test_periods_given_as_text_are_refused(name, text):
    # NumPy would parse "1.0" as one period of 1 s; only the summaries take "standard".
    if name == "summarize_components" and isinstance(text, str) and text == "standard":
        assert TEXT_CALLS[name](text).periods.tolist() == STANDARD_PERIODS.tolist()
        return
    with pytest.raises(ValueError, match="not the text|sequence of seconds"):
        TEXT_CALLS[name](text)


RESONANT = np.sin(2 * np.pi * np.arange(1001) * 0.01)  # ten cycles of 1 s at dt = 0.01 s


@pytest.mark.parametrize("accel,dt,period", [
    # The state turns NaN (∞ − ∞), which a peak skips: SD read 0.
    ([1e300, -1e300] * 3, 1e5, 1e6),
    # The displacement itself overflows: SD and PSA read inf.
    ([0.0, 1e300, 1e300, 0.0], 1e10, 1e12),
    ([0.0, 1e300, 0.0], 1e10, 1e12),
    # SD stays finite, PSA = ω²·SD does not.
    (1e308 * RESONANT, 0.01, 1.0),
])
@pytest.mark.parametrize("substeps", [1, 3])
def test_a_response_past_the_range_of_doubles_raises(accel, dt, period, substeps):
    with pytest.raises(ValueError) as e:
        response_spectrum(accel, dt, periods=[1e-3, period], substeps=substeps)
    assert str(e.value) == (f"the response at periods[1] = {period!r} s leaves the range of "
                            f"double precision: the accelerations are too large for this time step")


def test_the_largest_responses_that_fit_are_kept():
    # 2**1010 scales exactly: every value is the unscaled one times it, none refused.
    k = 2.0 ** 1010
    small = response_spectrum(RESONANT, 0.01, periods=[1e-3, 1.0, 100.0])
    large = response_spectrum(RESONANT * k, 0.01, periods=[1e-3, 1.0, 100.0])
    for m in ("SD", "PSV", "PSA"):
        assert (getattr(large, m) == getattr(small, m) * k).all()


# ---- the module's own argument checks ------------------------------------------------

P = np.array([0.1, 1.0])
A = np.ones(10)


@pytest.mark.parametrize("call,error,message", [
    (lambda: _spectra.response_peaks(A, 0.01), TypeError,
     "response_peaks() missing required argument 'periods' (pos 3)"),
    (lambda: _spectra.response_peaks(A, 0.01, P, 0.05, 1, 2), TypeError,
     "response_peaks() takes at most 5 positional arguments (6 given)"),
    (lambda: _spectra.response_peaks(A, 0.01, P, zeta=0.1), TypeError,
     "'zeta' is an invalid keyword argument for response_peaks()"),
    (lambda: _spectra.response_peaks(A, 0.01, P, dt=0.1), TypeError,
     "argument for response_peaks() given by name ('dt') and position (2)"),
    (lambda: _spectra.response_peaks([1.0, 2.0], 0.01, P), TypeError,
     "accel must be a one-dimensional float64 array (a buffer of doubles), not list"),
    (lambda: _spectra.response_peaks(np.ones(4, dtype=np.float32), 0.01, P), TypeError,
     "accel must hold float64 samples, not buffer format 'f'"),
    (lambda: _spectra.response_peaks(np.ones((2, 2)), 0.01, P), ValueError,
     "accel must be one-dimensional, not 2-dimensional"),
    (lambda: _spectra.response_peaks(A, "0.01", P), TypeError,
     "dt must be a real number, not str"),
    (lambda: _spectra.response_peaks(A, 0.01, P, 0.05, 1.5), TypeError,
     "substeps must be an integer, not float"),
    (lambda: _spectra.response_peaks(A, 0.01, P, 0.05, 0), ValueError,
     "substeps must be from 1 to 10000, not 0"),
    (lambda: _spectra.response_peaks(A, 0.01, P, 0.05, 10001), ValueError,
     "substeps must be from 1 to 10000, not 10001"),
    (lambda: _spectra.response_peaks(A, 0.01, P, 0.05, 2 ** 70), OverflowError,
     "substeps is out of range"),
    (lambda: _spectra.response_peaks(A, 0.01, np.array([1e-160])), ValueError,
     "periods[0] = 1e-160 s is too short for double precision"),
    (lambda: _spectra.response_peaks(np.array([1.0, np.nan]), 0.01, P), ValueError,
     "accel holds a NaN or infinite sample at index 1"),
    (lambda: _spectra.response_peaks(A, 0.01, np.array([1.0, -2.0])), ValueError,
     "periods[1] must be positive and finite, not -2.0"),
    (lambda: _spectra.response_peaks(A, 0.01, P, damping=1.5), ValueError,
     "damping must be in [0, 1), not 1.5"),
    (lambda: _spectra.response_peaks(np.ones(0), 0.01, P), ValueError,
     "accel is empty: a record needs at least one sample"),
    (lambda: _spectra.recurrence_coefficients(0.01), TypeError,
     "recurrence_coefficients() missing required argument 'period' (pos 2)"),
    (lambda: _spectra.recurrence_coefficients(0.01, 0.0), ValueError,
     "period must be positive and finite, not 0.0"),
    (lambda: _spectra.recurrence_coefficients(0.01, 1e-200), ValueError,
     "period = 1e-200 s is too short for double precision"),
    # The period is fine there: the step is too long for it (the message once blamed the period).
    (lambda: _spectra.response_peaks(A, 1e300, np.array([1.0])), ValueError,
     "a time step of 1e+300 s is too long for periods[0] = 1.0 s in double precision"),
    (lambda: _spectra.response_peaks(A, 1e300, np.array([1.0]), 0.05, 4), ValueError,
     "a time step of 1e+300 s (4 sub-steps of 2.5e+299 s) is too long for periods[0] = 1.0 s in double precision"),
])
def test_module_argument_errors(call, error, message):
    with pytest.raises(error) as e:
        call()
    assert str(e.value) == message


class _RaisingExporter:
    def __init__(self, exc):
        self.exc = exc

    def __buffer__(self, flags):
        raise self.exc


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), MemoryError(), RuntimeError("exporter broke"),
                                 BufferError("busy")])
def test_an_exporters_own_error_reaches_the_caller(exc):
    # Only an object that gives no buffer of doubles is named as the wrong argument: a
    # Ctrl-C or an allocation failure while an exporter runs is not a TypeError.
    with pytest.raises(type(exc)) as e:
        _spectra.response_peaks(_RaisingExporter(exc), 0.01, P)
    assert e.value is exc


def test_buffers_are_released_on_every_path():
    accel, periods = np.ones(50), np.array([0.1, 1.0])
    bad = np.array([0.1, -1.0])
    before = (sys.getrefcount(accel), sys.getrefcount(periods), sys.getrefcount(bad))
    for _ in range(100):
        _spectra.response_peaks(accel, 0.01, periods)
        with pytest.raises(ValueError):
            _spectra.response_peaks(accel, 0.01, bad)
        with pytest.raises(TypeError):
            _spectra.response_peaks(accel, 0.01, periods, 0.05, "x")
    assert (sys.getrefcount(accel), sys.getrefcount(periods), sys.getrefcount(bad)) == before
    # A reference, a buffer export or a weak reference left behind would forbid resizing.
    accel.resize(60)


def test_threads_get_the_same_results():
    accel = np.random.default_rng(6).standard_normal(20000)
    periods = np.logspace(-2, 1, 100)
    want = _spectra.response_peaks(accel, 0.005, periods)
    results = [None] * 4

    def work(i):
        results[i] = _spectra.response_peaks(accel, 0.005, periods)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        assert all(np.array_equal(g, w) for g, w in zip(r, want))


def test_unaligned_read_only_buffers_give_the_aligned_results():
    # np.frombuffer over bytes at an odd offset: read-only and not 8-byte aligned.
    accel = np.random.default_rng(8).standard_normal(400)
    periods = np.array([0.05, 0.3, 2.0])
    odd_accel = np.frombuffer(b"x" + accel.tobytes(), offset=1)
    odd_periods = np.frombuffer(b"x" + periods.tobytes(), offset=1)
    assert not odd_accel.flags.aligned and not odd_accel.flags.writeable
    want = _spectra.response_peaks(accel, 0.01, periods)
    got = _spectra.response_peaks(odd_accel, 0.01, odd_periods)
    assert all(g.tobytes() == w.tobytes() for g, w in zip(got, want))


@pytest.mark.parametrize("rotated", [False, True])
@pytest.mark.parametrize("n_periods", [2 ** 45, 2 ** 58])
def test_periods_too_many_to_hold_raise_memory_error(n_periods, rotated):
    # A zero-stride view claims any count; the working arrays for it cannot be had.
    periods = np.lib.stride_tricks.as_strided(np.array([1.0]), shape=(n_periods,), strides=(0,))
    with pytest.raises(MemoryError) as e:
        if rotated:
            _spectra.rotated_peaks(np.ones(10), np.ones(10), 0.01, periods, 0.05, 1, np.ones(1), np.zeros(1))
        else:
            _spectra.response_peaks(np.ones(10), 0.01, periods)
    assert str(e.value) == f"cannot allocate the response of {n_periods} periods"
