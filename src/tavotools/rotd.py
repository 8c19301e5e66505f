"""Orientation-independent measures of two horizontal components: RotD0, RotD50, RotD100.

At each angle θ = 0°, 1°, …, 179° the two components combine into the motion
along that azimuth, h1·cos θ + h2·sin θ.  RotDnn of a measure is the nn-th
percentile of its 180 peaks, as `np.percentile` computes it (linear
interpolation): RotD0 is the smallest, RotD50 the median, RotD100 the largest.

- PGA: the peak of |h1·cos θ + h2·sin θ|;
- PGV: the same of the two velocities, each integrated from rest by the
  trapezoid rule exactly as `get_PGV_cy` integrates it, then rotated;
- SD, PSV, PSA: the same of the oscillator responses u1·cos θ + u2·sin θ; the
  response is linear in the excitation, so each component's response is
  computed once (the recurrence of `tavotools.spectra`), and PSV = ω·SD,
  PSA = ω²·SD at each angle.

The angle table is exactly symmetric (cos θ = sin(90° − θ), cos(180° − θ) =
−cos θ, with cos 90° = 0): swapping or negating a component permutes the 180
peaks, so every RotD value is unchanged, bit for bit.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from . import _spectra, checks
from .checks import ReadOnlyArrays
from .components import geometric_mean, matched
from .spectra import DEFAULT_PERIODS, _oscillator_parameters, _oscillators

__all__ = ["ANGLES", "AnglePeaks", "GeometricMean", "RotD", "rotd"]

#: The rotation angles, in degrees: 0, 1, …, 179.
ANGLES = np.arange(180.0)


def _angle_table():
    # cos and sin of 0° … 45° from the library (within an ulp), the rest by
    # symmetry so that the table is exactly symmetric; 45° takes √½ for both.
    k = np.arange(46.0)
    c, s = np.cos(np.deg2rad(k)), np.sin(np.deg2rad(k))
    c[45] = s[45] = math.sqrt(0.5)
    cos, sin = np.empty(180), np.empty(180)
    cos[:46], sin[:46] = c, s
    cos[46:91], sin[46:91] = s[44::-1], c[44::-1]    # θ = 90° − k
    cos[91:], sin[91:] = -cos[89:0:-1], sin[89:0:-1]  # θ = 180° − k
    for table in (cos, sin):
        table.setflags(write=False)
    return cos, sin


#: cos θ and sin θ of each of the `ANGLES` (cos 0° = sin 90° = 1, sin 0° = cos 90° = 0).
COS, SIN = _angle_table()
ANGLES.setflags(write=False)

#: Names of the components, as messages and notes show them.
NAMES = ("H1", "H2")

_SI = {"PGA": "m/s2", "PGV": "m/s", "SD": "m", "PSV": "m/s", "PSA": "m/s2"}


def _unit(measure, doc):
    return field(metadata={"unit": _SI[measure], "doc": doc})


@dataclass(frozen=True, eq=False)
class AnglePeaks(ReadOnlyArrays):
    """The peak of each measure at each of the 180 `ANGLES` (read-only arrays).

    `PGA` and `PGV` hold one value per angle; `SD`, `PSV` and `PSA` one row
    per period and one column per angle.  Angle 0° is H1 as recorded, 90° is
    H2, bit for bit.
    """

    PGA: np.ndarray = _unit("PGA", "peak acceleration at each angle")
    PGV: np.ndarray = _unit("PGV", "peak velocity at each angle")
    SD: np.ndarray = _unit("SD", "peak relative displacement, per period and angle")
    PSV: np.ndarray = _unit("PSV", "pseudo-spectral velocity, per period and angle")
    PSA: np.ndarray = _unit("PSA", "pseudo-spectral acceleration, per period and angle")


@dataclass(frozen=True, eq=False)
class GeometricMean(ReadOnlyArrays):
    """sqrt(x_H1 · x_H2) of each measure of the two components as recorded."""

    PGA: float = _unit("PGA", "geometric mean of the two components' PGA")
    PGV: float = _unit("PGV", "geometric mean of the two components' PGV")
    SD: np.ndarray = _unit("SD", "geometric mean of the two components' SD, per period")
    PSV: np.ndarray = _unit("PSV", "geometric mean of the two components' PSV, per period")
    PSA: np.ndarray = _unit("PSA", "geometric mean of the two components' PSA, per period")


@dataclass(frozen=True, eq=False)
class RotD(ReadOnlyArrays):
    """RotD values of two horizontal components (read-only arrays, SI units).

    `PGA` and `PGV` hold one value per entry of `percentiles`; `SD`, `PSV` and
    `PSA` have one row per percentile and one column per period.  `PGA_angle`,
    `PGV_angle`, and `SD_angle`, `PSV_angle`, `PSA_angle` (one per period) are
    the angles in degrees where each RotD100 value occurs (the first such angle).  `geometric_mean` holds the older measure of the two
    components as recorded, `peaks` the 180 peaks the percentiles are taken
    over, `notes` what was done to the input (trimming).
    """

    percentiles: np.ndarray
    periods: np.ndarray
    damping: float
    dt: float
    substeps: int
    npts: int
    PGA: np.ndarray = _unit("PGA", "peak ground acceleration, per percentile")
    PGV: np.ndarray = _unit("PGV", "peak ground velocity, per percentile")
    SD: np.ndarray = _unit("SD", "peak relative displacement, per percentile and period")
    PSV: np.ndarray = _unit("PSV", "pseudo-spectral velocity, per percentile and period")
    PSA: np.ndarray = _unit("PSA", "pseudo-spectral acceleration, per percentile and period")
    PGA_angle: float = 0.0
    PGV_angle: float = 0.0
    SD_angle: np.ndarray | None = None
    PSV_angle: np.ndarray | None = None
    PSA_angle: np.ndarray | None = None
    geometric_mean: GeometricMean | None = field(default=None, repr=False)
    peaks: AnglePeaks | None = field(default=None, repr=False)
    notes: tuple = ()

    def value(self, measure, percentile):
        """The RotD`percentile` value of `measure` ("PGA", "PGV", "SD", "PSV", "PSA"):
        a float for PGA and PGV, an array over the periods for the spectra."""
        if measure not in _SI:
            raise ValueError(f"unknown measure {measure!r}: one of " + ", ".join(_SI))
        # float() reads a flag as percentile 1 or 0, as rotd's percentiles refuse it.
        if isinstance(percentile, (bool, np.bool_)):
            raise ValueError(f"percentile must be a number, not {bool(percentile)}")
        hits = np.flatnonzero(self.percentiles == float(percentile))
        if hits.size == 0:
            raise ValueError(f"RotD{percentile:g} was not computed: percentiles are "
                             + ", ".join(f"{p:g}" for p in self.percentiles))
        row = getattr(self, measure)[int(hits[0])]
        return float(row) if row.ndim == 0 else row


def _readonly(a):
    a = np.asarray(a)
    a.setflags(write=False)
    return a


def _pair(h1, h2, dt, trim):
    """(a1, a2, dt, notes): the two components on one time step and length."""
    given = matched(NAMES, (h1, h2), dt, trim)
    if given.npts < 2:
        raise ValueError("H1 and H2 hold one sample: a velocity needs at least two")
    # Rotation combines the samples of one index: records that state first samples
    # half a step or more apart would be combined at different instants.
    starts = [c.record.start_time if c.record is not None else None for c in given.items]
    if None not in starts:
        apart = abs((starts[1] - starts[0]).total_seconds())
        if apart >= given.dt / 2:
            raise ValueError(f"H1 and H2 start {apart:g} s apart ({starts[0].isoformat()} and "
                             f"{starts[1].isoformat()}): the samples of one index are not "
                             f"simultaneous, so they cannot be rotated")
    return given.items[0].accel, given.items[1].accel, given.dt, given.notes


def _percentiles(percentiles):
    # NumPy parses text: "50" would be RotD50 where "median" is refused; periods refuse it too.
    if isinstance(percentiles, (str, bytes)) or (isinstance(percentiles, np.ndarray)
                                                 and percentiles.ndim == 0
                                                 and percentiles.dtype.kind in "SU"):
        raise ValueError(f"percentiles must be numbers from 0 to 100, not the text {percentiles!r}")
    if np.iscomplexobj(percentiles):  # NumPy would drop the imaginary parts
        raise ValueError("percentiles must be real numbers, not complex")
    if np.ma.isMaskedArray(percentiles) and np.ma.getmaskarray(percentiles).any():
        # NumPy would take the values under the mask
        raise ValueError("percentiles must not be masked: give only the percentiles wanted")
    no_numbers = "percentiles must be numbers from 0 to 100"
    try:
        given = np.asarray(percentiles)
    except (TypeError, ValueError):
        raise ValueError(no_numbers) from None
    # True would be RotD1, a duration of 50 s RotD50: refused, as in every other input.
    checks.given_as_numbers(given, "percentiles")
    try:
        p = np.array(given, dtype=np.float64, ndmin=1)
    except (TypeError, ValueError):
        raise ValueError(no_numbers) from None
    if p.ndim != 1 or p.size == 0:
        raise ValueError("percentiles must be a non-empty sequence of numbers from 0 to 100")
    bad = ~((p >= 0.0) & (p <= 100.0))
    if bad.any():
        k = int(np.argmax(bad))
        raise ValueError(f"percentiles must be from 0 to 100: percentiles[{k}] is {float(p[k])!r}")
    return p


def _periods(periods):
    if periods is None:
        return np.array(DEFAULT_PERIODS)
    if np.ndim(periods) == 1 and np.size(periods) == 0:
        return np.empty(0)  # PGA and PGV only
    return _oscillators(periods, None)[0]


def rotd(h1, h2, dt=None, periods=None, damping=0.05, percentiles=(0, 50, 100), substeps=1,
         trim=False):
    """RotD values of two horizontal components of one record.

    `h1`, `h2`: `Record`s (from `tavotools.records`), ObsPy traces that state
    their units (read as `Record.from_trace` reads them), or samples in m/s²
    with `dt` (s).  They must share their time step and their length; with
    `trim=True` the longer is cut to the shorter, and `notes` says so.
    Records that both state their `start_time` must start within half a step,
    and must not state different stations, networks, locations or sensors.
    `periods` (s): the oscillators of the spectra (`DEFAULT_PERIODS` when None;
    an empty sequence computes PGA and PGV only); `damping` and `substeps` as
    in `response_spectrum`.  `percentiles`: which RotD values, 0 to 100.

    Returns a `RotD`.  Raises ValueError for components of different time
    steps, lengths or start times, fewer than two samples, NaN or infinite samples, a `dt`
    that is missing or not positive, bad periods, damping, substeps or
    percentiles, or rotated values that leave the range of doubles.
    """
    a1, a2, dt, notes = _pair(h1, h2, dt, trim)
    damping, substeps = _oscillator_parameters(damping, substeps)
    T = _periods(periods)
    p = _percentiles(percentiles)
    peaks = _readonly(_spectra.rotated_peaks(a1, a2, dt, T, damping, substeps, COS, SIN))
    P = T.size
    PGA, PGV, SD, PSV, PSA = peaks[0], peaks[1], peaks[2:2 + P], peaks[2 + P:2 + 2 * P], \
        peaks[2 + 2 * P:]
    by_angle = AnglePeaks(PGA, PGV, SD, PSV, PSA)
    h1_at, h2_at = 0, 90  # the columns of the components as recorded
    # One call over every row: each row's percentiles are what a call on it alone gives.
    values = np.percentile(peaks, p, axis=-1)
    angles = ANGLES[np.argmax(peaks, axis=-1)]

    def rows(x, start, stop):
        return _readonly(x[..., start:stop])

    gm = GeometricMean(
        PGA=geometric_mean(PGA[h1_at], PGA[h2_at]), PGV=geometric_mean(PGV[h1_at], PGV[h2_at]),
        **{name: _readonly(geometric_mean(x[:, h1_at], x[:, h2_at]))
           for name, x in (("SD", SD), ("PSV", PSV), ("PSA", PSA))})
    return RotD(
        percentiles=_readonly(p), periods=_readonly(T), damping=damping, dt=dt,
        substeps=substeps, npts=int(a1.size),
        PGA=rows(values, 0, 1)[:, 0], PGV=rows(values, 1, 2)[:, 0],
        SD=rows(values, 2, 2 + P), PSV=rows(values, 2 + P, 2 + 2 * P),
        PSA=rows(values, 2 + 2 * P, 2 + 3 * P),
        PGA_angle=float(angles[0]), PGV_angle=float(angles[1]),
        SD_angle=rows(angles, 2, 2 + P), PSV_angle=rows(angles, 2 + P, 2 + 2 * P),
        PSA_angle=rows(angles, 2 + 2 * P, 2 + 3 * P),
        geometric_mean=gm, peaks=by_angle, notes=notes)
