"""Elastic response spectra of an acceleration record.

Each oscillator is a linear single-degree-of-freedom system at rest when the
record starts, u'' + 2ζωu' + ω²u = -a(t), with the record linear between
samples; the exact recurrence for that excitation (Nigam and Jennings, 1969)
advances it sample by sample, so any period is exact, however short against
`dt`.  The spectra are the peaks over the sample instants:

- ``SD``: peak relative displacement max |u|, in m for accelerations in m/s²;
- ``PSV`` = ω·SD, pseudo-spectral velocity, in m/s;
- ``PSA`` = ω²·SD, pseudo-spectral acceleration, in m/s²;

with ω = 2π/T.  Other acceleration units carry through (cm/s² gives cm).
"""
from __future__ import annotations

import decimal
from dataclasses import dataclass

import numpy as np

from . import _spectra, checks
from .constants import MAX_SUBSTEPS

__all__ = ["DEFAULT_PERIODS", "STANDARD_PERIODS", "ResponseSpectrum", "response_spectrum"]


def powers_of_ten(exponents):
    """10.0 ** x for each double x, each the double nearest the exact power.

    NumPy's power is not always that: its last bit depends on the CPU (AVX-512
    or not) and on NumPy's version, so grids built with it, and every spectrum
    on them, differed from machine to machine. Decimal arithmetic is the same
    everywhere; 30 digits leave the nearest double.
    """
    with decimal.localcontext() as context:
        context.prec = 30
        ten = decimal.Decimal(10)
        return np.array([float(ten ** decimal.Decimal(float(x))) for x in exponents])


#: Periods used when none are given: 0.01 s to 10 s, 100 per decade (301):
#: 10 ** x at the exponents x of np.linspace(-2, 1, 301), k * 0.01 - 2.
DEFAULT_PERIODS = powers_of_ten(np.arange(301) * 0.01 - 2.0)
DEFAULT_PERIODS.setflags(write=False)

#: The 111 periods (s) of the NGA-West2 flatfile, 0.01 s to 20 s: `--periods standard`.
STANDARD_PERIODS = np.array([
    0.01, 0.02, 0.022, 0.025, 0.029, 0.03, 0.032, 0.035, 0.036, 0.04, 0.042, 0.044, 0.045,
    0.046, 0.048, 0.05, 0.055, 0.06, 0.065, 0.067, 0.07, 0.075, 0.08, 0.085, 0.09, 0.095, 0.1,
    0.11, 0.12, 0.13, 0.133, 0.14, 0.15, 0.16, 0.17, 0.18, 0.19, 0.2, 0.22, 0.24, 0.25, 0.26,
    0.28, 0.29, 0.3, 0.32, 0.34, 0.35, 0.36, 0.38, 0.4, 0.42, 0.44, 0.45, 0.46, 0.48, 0.5, 0.55,
    0.6, 0.65, 0.667, 0.7, 0.75, 0.8, 0.85, 0.9, 0.95, 1.0, 1.1, 1.2, 1.3, 1.4, 1.5, 1.6, 1.7,
    1.8, 1.9, 2.0, 2.2, 2.4, 2.5, 2.6, 2.8, 3.0, 3.2, 3.4, 3.5, 3.6, 3.8, 4.0, 4.2, 4.4, 4.6,
    4.8, 5.0, 5.5, 6.0, 6.5, 7.0, 7.5, 8.0, 8.5, 9.0, 9.5, 10.0, 11.0, 12.0, 13.0, 14.0, 15.0,
    20.0])
STANDARD_PERIODS.setflags(write=False)


@dataclass(frozen=True, eq=False)
class ResponseSpectrum(checks.ReadOnlyArrays):
    """Peak responses of linear oscillators, one entry per period (read-only arrays).

    `periods` in s and `frequencies` in Hz describe the same oscillators
    (whichever was given is kept exactly, the other is its reciprocal).
    `SD` is in the acceleration unit times s² (m for m/s²), `PSV` in that unit
    times s (m/s), `PSA` in the acceleration unit (m/s²).
    """

    periods: np.ndarray
    frequencies: np.ndarray
    SD: np.ndarray
    PSV: np.ndarray
    PSA: np.ndarray
    damping: float
    dt: float
    substeps: int = 1

    def __len__(self):
        return int(self.periods.size)


def _readonly(a):
    a = np.asarray(a)
    a.setflags(write=False)
    return a


def _oscillators(periods, frequencies):
    if periods is not None and frequencies is not None:
        raise ValueError("give periods or frequencies, not both")
    given = periods if periods is not None else frequencies
    name = "periods" if periods is not None else "frequencies"
    if given is None:
        T = np.array(DEFAULT_PERIODS)
        return T, 1.0 / T
    # NumPy parses text as a number: "1.0" would be one period, and "standard" (what
    # summarize and the command line take) would fail as no number at all.
    if isinstance(given, (str, bytes)) or (isinstance(given, np.ndarray) and given.ndim == 0
                                           and given.dtype.kind in "SU"):
        unit = "seconds" if periods is not None else "hertz"
        raise ValueError(f"{name} must be numbers of {unit}, not the text {given!r}")
    values = checks.vector(given, name)
    if values.size == 0:
        raise ValueError(f"{name} is empty")
    bad = ~(np.isfinite(values) & (values > 0.0))
    if bad.any():
        k = int(np.argmax(bad))
        raise ValueError(f"{name} must be positive and finite: {name}[{k}] is {float(values[k])!r}")
    # A subnormal value has no finite reciprocal: a period past the largest double
    # is refused here under its own name, a frequency past it by the kernel's check
    # of a period too short (as when the periods are given).
    with np.errstate(over="ignore"):
        reciprocal = 1.0 / values
    if periods is not None:
        return values, reciprocal
    if not np.isfinite(reciprocal).all():
        k = int(np.argmax(~np.isfinite(reciprocal)))
        raise ValueError(f"frequencies[{k}] = {float(values[k])!r} Hz is too low for double "
                         f"precision: its period is past the largest double")
    return reciprocal, values


def response_spectrum(accel, dt, periods=None, frequencies=None, damping=0.05, substeps=1):
    """Elastic response spectrum of `accel` (m/s²) at time step `dt` (s).

    Give the oscillators as `periods` (s) or `frequencies` (Hz), not both; with
    neither, `DEFAULT_PERIODS`.  `damping` is the ratio ζ in [0, 1) (0.05 is
    5 % of critical).  `substeps` (1 to 10000) also samples the response at substeps - 1
    instants between two samples (the excitation is unchanged: it is linear
    there), so a peak between samples of a short-period oscillator is not
    missed; with 1 the peaks are over the sample instants.

    Returns a `ResponseSpectrum`.  Raises ValueError for an empty, non-finite
    or multi-dimensional record, a `dt` that is not positive and finite,
    non-positive periods or frequencies or ones given as text, damping outside
    [0, 1), or a response that leaves the range of doubles.
    """
    a = checks.samples(accel, index=True)
    dt = checks.time_step(dt)
    damping, substeps = _oscillator_parameters(damping, substeps)
    T, f = _oscillators(periods, frequencies)
    SD, PSV, PSA = _spectra.response_peaks(a, dt, T, damping, substeps)
    return ResponseSpectrum(
        periods=_readonly(T), frequencies=_readonly(f), SD=_readonly(SD), PSV=_readonly(PSV),
        PSA=_readonly(PSA), damping=damping, dt=dt, substeps=substeps)


def _oscillator_parameters(damping, substeps):
    """(damping, substeps) as float and int, checked."""
    damping = checks.number(damping, "damping", "a ratio in [0, 1)")
    if not (0.0 <= damping < 1.0):
        raise ValueError(f"damping must be in [0, 1), not {damping!r}")
    return damping, checks.positive_int(substeps, "substeps", MAX_SUBSTEPS)
