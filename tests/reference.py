"""Slow, plain-Python versions of the array measures of tavotools.tavo.

Written straight from the definitions, for the differential tests: one Python
float operation at a time, sums strictly left to right from +0.0, NumPy only
where the measure itself is defined by NumPy operations (the whole-array
scaling of the Arias series, the masked assignment of CAVn) and SciPy's
cumulative_trapezoid for the velocity. Never imports tavotools.
"""

import math
import operator

import numpy as np
from scipy import integrate

PI = 3.141592653589793
GRAVITY = 9.81
QUIET = 0.025 * 9.81  # 0.24525000000000002: one ulp above the double nearest 0.24525
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


def as_array(accel):
    """The samples as a float64 array sharing the caller's memory (None: empty)."""
    if accel is None:
        return np.zeros(0)
    a = np.asarray(accel)
    assert a.dtype == np.float64 and a.ndim == 1
    return a


def samples(x):
    """The elements as a list of Python floats, bit for bit."""
    return as_array(x).tolist()


def divide(a, b):
    """IEEE 754 division: Python raises on a zero divisor, C does not."""
    if b != 0.0:
        return a / b
    if a != a:
        return a + 0.0  # a NaN dividend comes through, quieted
    if a == 0.0:
        return 0.0 * math.inf  # the processor's default NaN, as its 0/0 gives
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def c_pow(x, exponent):
    """The C library's pow: math.pow raises where C returns inf or NaN."""
    try:
        return math.pow(x, exponent)
    except OverflowError:
        odd = exponent == math.floor(exponent) and math.fmod(exponent, 2.0) != 0.0
        return -math.inf if (odd and x < 0.0) else math.inf
    except ValueError:
        return math.nan


def float_value(obj):
    """The interpreter's float conversion of a returned object (float(), but without
    parsing strings): __float__, else __index__."""
    if isinstance(obj, float):
        return float.__float__(obj)
    kind = type(obj)
    if hasattr(kind, "__float__"):
        return float(obj)
    if hasattr(kind, "__index__"):
        return float(operator.index(obj))
    raise TypeError(f"must be real number, not {kind.__name__}")


def trunc_int32(x):
    """x truncated toward zero to int32, or None when NaN, infinite or out of range."""
    if not math.isfinite(x):
        return None
    k = int(x)
    return k if INT32_MIN <= k <= INT32_MAX else None


# The kernels.


def max_ref(values):
    m = -999.0
    for v in values:
        if v > m:  # ordered: false with NaN; an equal later value never replaces m
            m = v
    return m


def sum_ref(values):
    # Left to right from +0.0; once NaN the sum is that first NaN (NaN + NaN may
    # return either payload, depending on the operand order the machine uses).
    s = 0.0
    for v in values:
        if s != s:
            break
        s = s + v
    return s


def abs_ref(values):
    return [math.fabs(v) for v in values]


def cumsum_ref(values):
    out, s = [], 0.0
    for v in values:
        if s == s:
            s = s + v
        out.append(s)
    return out


def pow_ref(values, exponent):
    return [c_pow(v, exponent) for v in values]


def linspace_ref(start, stop, num):
    step = divide(stop - start, float(num - 1))
    return [float(i) * step + start for i in range(num)]


def get_index_ref(series, val):
    for k, v in enumerate(series):
        if v > val:
            return k
    return len(series)


def to_f64(values):
    return np.array(values, dtype=np.float64).reshape(-1)


# The measures.


def get_PGA_ref(accel):
    return max_ref(abs_ref(samples(accel)))


def get_PGV_ref(accel, dt):
    y = None if accel is None else as_array(accel)
    vel = integrate.cumulative_trapezoid(y, dx=float(dt))
    return max_ref(abs_ref(vel.tolist()))


def arias_series_ref(accel, dt):
    """(sum of squares, cumulative intensity array)."""
    a_sqr = pow_ref(samples(accel), 2.0)
    P = to_f64(cumsum_ref(a_sqr))
    return sum_ref(a_sqr), P * dt * PI / 2 / GRAVITY


def get_Ia_ref(accel, dt):
    S, Ia_sc = arias_series_ref(accel, dt)
    Ia = S * dt * PI / 2 / GRAVITY
    return Ia, Ia_sc


def get_Ia_times_ref(accel, dt, percentages):
    N_acc = len(samples(accel))
    axis = linspace_ref(dt, float(N_acc) * dt, N_acc)
    _, Ia = arias_series_ref(accel, dt)
    Ia = Ia.tolist()
    times = []
    for p in samples(percentages):
        t = math.nan  # no element exceeds the level, or there is no record
        if N_acc > 0:
            indx = get_index_ref(Ia, p * Ia[N_acc - 1])
            if indx < N_acc:
                t = axis[indx]
        times.append(t)
    return to_f64(times)


def get_CAV_ref(accel, dt):
    return sum_ref(abs_ref(samples(accel))) * dt


def get_CAVn_ref(accel, dt, threshold):
    abs_accel = to_f64(abs_ref(samples(accel)))
    abs_accel[abs_accel < threshold] = 0
    return sum_ref(abs_accel.tolist()) * dt


def get_CAVstd_ref(accel, dt, pga=None):
    """Silences the quiet one-second windows of `accel` in place, then its CAV."""
    pga = get_PGA_ref if pga is None else pga
    a = as_array(accel)
    N_acc = len(a)
    n_steps_1sec = trunc_int32(divide(1.0, dt))
    if n_steps_1sec is None:
        n_steps_1sec = 0
    n_intervals = trunc_int32(math.ceil(float(N_acc) * dt) if math.isfinite(float(N_acc) * dt) else math.nan)
    if n_intervals is None:
        n_intervals = 0
    j = 0
    for _ in range(n_intervals):
        window = a[j : j + n_steps_1sec]
        pga_i = float_value(pga(window))
        if pga_i < QUIET:
            for k in range(len(window)):
                window[k] = 0.0
        j = j + n_steps_1sec
    return sum_ref(abs_ref(a.tolist())) * dt
