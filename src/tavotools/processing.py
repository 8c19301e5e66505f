"""Basic processing for raw records: mean and baseline removal, tapering, filtering.

Each step returns a new `Record` with the step appended to its `processing`
notes; the record given is left as it was.  `parse_steps` turns the command
line's `--process demean,detrend,bandpass:0.1-25` into the same steps.
"""
from __future__ import annotations

import dataclasses
import math
import operator
from decimal import Decimal

import numpy as np

__all__ = ["STEPS", "apply_steps", "bandpass", "demean", "detrend", "parse_steps", "taper"]


def _record(record, step):
    """`record` itself, or TypeError: the steps work on a `Record`, whose time step they need."""
    from .records import Record

    if not isinstance(record, Record):
        raise TypeError(f"{step}() takes a Record, not {type(record).__name__}: make one of "
                        f"samples with Record(accel, dt) or Record.from_samples(samples, dt, "
                        f"units)")
    # Its samples are writable: one made NaN since it was made is the caller's, not the step's.
    from .checks import all_finite

    all_finite(record.accel)
    return record


def _with(record, accel, note):
    # Finite samples can leave the range of doubles on the way (a mean or a filter's
    # padding past 1e308): say which step, not only that the samples are not finite.
    if not np.isfinite(accel).all():
        raise ValueError(f"{note}: the processed samples leave the range of doubles "
                         f"(the record's values reach {float(np.max(np.abs(record.accel)))!r})")
    return dataclasses.replace(record, accel=accel, processing=tuple(record.processing) + (note,))


def _order(order, name, what):
    """An integer argument, or TypeError (bools are flags, not orders)."""
    if isinstance(order, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not a bool ({order!r})")
    try:
        return operator.index(order)
    except TypeError:
        raise TypeError(f"{name} must be an integer{what}, not {type(order).__name__}") \
            from None


def demean(record):
    """Subtract the mean of the samples (NumPy's mean).

    A constant offset integrates to a velocity growing linearly with time, so
    it inflates PGV and, squared, Arias intensity; removing it is the least a
    raw record needs.
    """
    record = _record(record, "demean")
    with np.errstate(over="ignore", invalid="ignore"):
        accel = record.accel - record.accel.mean()
    return _with(record, accel, "mean removed")


def detrend(record, order=1):
    """Subtract the least-squares polynomial baseline of `order` (1: a straight line).

    The samples are equally spaced, so the fit is over their indices scaled
    to [-1, 1], whatever the time step.  Order 0 is `demean`, bit for bit.
    """
    record = _record(record, "detrend")
    order = _order(order, "order", "")
    if order < 0:
        raise ValueError(f"order must be 0 or more, not {order}")
    if order >= record.npts:
        raise ValueError(f"a baseline of order {order} needs more than {record.npts} samples")
    if order == 0:
        # The least-squares constant is the mean; the fit's rounding would make it
        # differ from demean's in the last bits.
        return demean(record)
    with np.errstate(over="ignore", invalid="ignore"):
        accel = _polynomial_residual(record.accel, order)
    names = {1: "linear baseline removed"}
    return _with(record, accel, names.get(order, f"polynomial baseline of order {order} removed"))


def _polynomial_residual(y, order):
    """`y` less its least-squares polynomial of `order` over equally spaced points.

    The polynomials are built by Arnoldi's process: each is x times the last,
    orthogonalised (twice) against those before and normalised, so the basis
    stays orthonormal at any order.  A basis of powers, even over [-1, 1],
    loses the fit past order 30 or so (NumPy's Polynomial.fit then only warns
    and returns a baseline that is not the least-squares one).
    """
    n = y.size
    x = np.linspace(-1.0, 1.0, n)
    Q = np.empty((order + 1, n))
    Q[0] = 1.0 / math.sqrt(n)
    for k in range(order):
        q = x * Q[k]
        for _ in range(2):
            q -= (Q[:k + 1] @ q) @ Q[:k + 1]
        Q[k + 1] = q / np.linalg.norm(q)
    residual = y - (Q @ y) @ Q
    # Once more: what the first projection left of the baseline through rounding.
    return residual - (Q @ residual) @ Q


def taper(record, fraction=0.05):
    """Bring both ends to zero with a cosine (Hann) ramp over `fraction` of the record each.

    SciPy's Tukey window with alpha = 2 × fraction; fraction is in (0, 0.5].
    """
    from scipy.signal import windows

    from .checks import number

    record = _record(record, "taper")
    fraction = number(fraction, "taper fraction", "a number in (0, 0.5]")
    if not 0.0 < fraction <= 0.5:
        raise ValueError(f"taper fraction must be in (0, 0.5], not {fraction!r}")
    # SciPy's window of one point is 1: that sample is both ends, and goes to zero.
    window = windows.tukey(record.npts, alpha=2.0 * fraction) if record.npts > 1 else np.zeros(1)
    return _with(record, record.accel * window, f"cosine taper {_percent(fraction)} % at each end")


def bandpass(record, low=None, high=None, order=4):
    """Acausal Butterworth filter: SciPy's `butter` (second-order sections) and `sosfiltfilt`.

    `low` and `high` are the corner frequencies in Hz; give only `low` for a
    high-pass, only `high` for a low-pass.  Filtering forward and backward
    leaves no phase shift and squares the amplitude response (each corner is
    at -6 dB, the roll-off twice that of `order`).
    """
    from scipy import signal

    from .checks import number

    record = _record(record, "bandpass")
    nyquist = 0.5 / record.dt
    low, high = (None if f is None else number(f, f"{name} corner", "a frequency in Hz")
                 for name, f in (("low", low), ("high", high)))
    for name, f in (("low", low), ("high", high)):
        if f is not None and not (math.isfinite(f) and 0.0 < f < nyquist):
            raise ValueError(f"{name} corner {f!r} Hz must lie between 0 and the Nyquist "
                             f"frequency {_hz(nyquist)} Hz")
    if low is None and high is None:
        raise ValueError("bandpass needs a low corner, a high corner or both")
    if low is not None and high is not None and not low < high:
        raise ValueError(f"low corner {low!r} Hz must be below the high corner {high!r} Hz")
    order = _order(order, "filter order", " from 1 to 16")
    if not 1 <= order <= 16:
        raise ValueError(f"filter order must be from 1 to 16, not {order}")
    if high is None:
        kind, corners, name = "highpass", low, f"highpass {_hz(low)} Hz"
    elif low is None:
        kind, corners, name = "lowpass", high, f"lowpass {_hz(high)} Hz"
    else:
        kind, corners, name = "bandpass", (low, high), f"bandpass {_hz(low)}-{_hz(high)} Hz"
    sos = signal.butter(order, corners, btype=kind, fs=1.0 / record.dt, output="sos")
    pad = _pad_length(sos)
    if record.npts <= pad:
        raise ValueError(f"a record of {record.npts} samples is too short for this filter "
                         f"(it pads each end by {pad} samples)")
    try:
        with np.errstate(over="ignore", invalid="ignore"):
            accel = signal.sosfiltfilt(sos, record.accel, padlen=pad)
    except ValueError as e:
        # The length is checked above: what is left is poles that round to z = 1, from
        # a corner so far below the sampling rate, or from a band whose high corner lies
        # so near the Nyquist frequency that its design loses the low one.
        why = "its corner is too low"
        if kind == "bandpass" and not _pole_at_one(
                signal.butter(order, low, btype="highpass", fs=1.0 / record.dt, output="sos")):
            why = f"its high corner is too close to the Nyquist frequency {_hz(nyquist)} Hz"
        raise ValueError(f"the {name} filter is unstable in double precision at a time step "
                         f"of {record.dt:g} s: {why} ({e})") from None
    return _with(record, accel, f"acausal Butterworth {name}, order {order}")


def _hz(f):
    """A frequency in six digits where they are the value (0.1, 25), else in all it takes:
    a corner of 49.99999999 Hz is not the Nyquist frequency of 50 Hz it would round to."""
    short = f"{f:g}"
    return short if float(short) == f else repr(float(f))


def _percent(fraction):
    """`fraction` in percent, in six digits where they are the value (5, 12.5), else in
    all it takes: a taper of 0.1234567 is not the 12.3457 % six digits would name."""
    short = f"{fraction * 100:g}"
    if float(short) / 100.0 == fraction:
        return short
    # The shortest decimal of the fraction, moved two places: no rounding of its own.
    return format(Decimal(repr(float(fraction))).scaleb(2).normalize(), "f")


def _pole_at_one(sos):
    """True when a section's denominator vanishes at z = 1, which sosfiltfilt refuses."""
    return bool(np.any(sos[:, 3:].sum(axis=1) == 0.0))


def _pad_length(sos):
    """sosfiltfilt's own default pad: 3 × (2 × sections + 1), less the trailing zero
    coefficients that both numerator and denominator have."""
    zeros = min(int((sos[:, 2] == 0).sum()), int((sos[:, 5] == 0).sum()))
    return 3 * (2 * len(sos) + 1 - zeros)


def _number(step, text):
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"processing step {step!r}: {text!r} is not a number") from None
    return value


def _integer(step, text):
    try:
        return int(text)
    except ValueError:
        raise ValueError(f"processing step {step!r}: {text!r} is not an integer") from None


def _split_corners(corners):
    """LOW and HIGH either side of the dash that is no exponent's sign, so that
    '1e-3-20' is 1e-3 and 20 (a corner is never negative: a leading dash leaves LOW empty)."""
    for k, character in enumerate(corners):
        if character == "-" and not (k > 0 and corners[k - 1] in "eE"):
            return corners[:k], "-", corners[k + 1:]
    return corners, "", ""


def _band(step, arg):
    """'0.1-25[:ORDER]': the corners (either may be left empty) and the order."""
    corners, colon, order = arg.partition(":")
    low, dash, high = _split_corners(corners)
    if not dash:
        raise ValueError(f"processing step {step!r}: give the corners as LOW-HIGH, "
                         f"such as bandpass:0.1-25")
    return dict(low=_number(step, low) if low else None,
                high=_number(step, high) if high else None,
                # 'bandpass:0.1-25:' names an order and gives none, as 'detrend:' does.
                order=_integer(step, order) if colon else 4)


#: The steps of `--process`: name -> (function, parser of the text after ':' or None).
STEPS = {
    "demean": (demean, None),
    "detrend": (detrend, lambda step, arg: dict(order=_integer(step, arg))),
    "taper": (taper, lambda step, arg: dict(fraction=_number(step, arg))),
    "bandpass": (bandpass, _band),
    "highpass": (bandpass, lambda step, arg: dict(low=_number(step, arg))),
    "lowpass": (bandpass, lambda step, arg: dict(high=_number(step, arg))),
}

_USAGE = ("demean, detrend[:ORDER], taper[:FRACTION], bandpass:LOW-HIGH[:ORDER], "
          "highpass:LOW, lowpass:HIGH")


def parse_steps(text):
    """Turn 'demean,detrend,bandpass:0.1-25' into a list of one-argument functions.

    Raises ValueError naming the step that is not understood.
    """
    steps = []
    for step in (s.strip() for s in str(text).split(",")):
        if not step:
            continue
        name, colon, arg = step.partition(":")
        name = name.strip().lower()
        entry = STEPS.get(name)
        if entry is None:
            raise ValueError(f"unknown processing step {step!r}: use {_USAGE}")
        function, parse_arg = entry
        if colon and parse_arg is None:
            raise ValueError(f"processing step {name!r} takes no argument")
        if not colon and name in ("bandpass", "highpass", "lowpass"):
            raise ValueError(f"processing step {name!r} needs its corner frequencies, "
                             f"such as bandpass:0.1-25")
        kwargs = parse_arg(step, arg.strip()) if colon else {}
        steps.append(_bind(function, kwargs))
    return steps


def _bind(function, kwargs):
    def step(record):
        return function(record, **kwargs)
    return step


def apply_steps(record, steps):
    """Apply the steps (from `parse_steps`, the functions themselves, or their text) in order."""
    if isinstance(steps, str):
        steps = parse_steps(steps)
    for step in steps:
        # A step's text in a list ("demean") is that step, not an uncallable str.
        for function in parse_steps(step) if isinstance(step, str) else (step,):
            record = function(record)
    return record
