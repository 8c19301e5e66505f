"""The OBE-exceedance check of a three-component record: its cut-offs, its
frequency grid, and `obe_check`, which computes every value and decision of
the report (`OBEReport`).

Spectra are on `OBE_FREQUENCIES`: 1 to 10 Hz, log-spaced with 400 points
per decade, plus 2 Hz, so that each band edge is a point of the grid.  A
5 %-damped peak is about 2ζ = 10 % wide; the spacing is 0.58 %, so even a
steady sinusoid midway between two points (the sharpest peak a 5 %-damped
spectrum can have) reads at most 0.16 % low.  The response is sampled at
least 100 times per cycle of 10 Hz (`substeps`), so a steady sinusoid's peak
between samples reads at most 1 - cos(π/100) = 0.05 % low; a real record's
response carries higher frequencies too and may read a little lower (0.055 %
for the 2-10 Hz maximum of one K-NET vertical, see the README).
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from .. import constants, tavo
from ..checks import ReadOnlyArrays
from ..components import geometric_mean, matched
from ..constants import MAX_SUBSTEPS
from ..render import printable
from ..spectra import ResponseSpectrum, powers_of_ten, response_spectrum

__all__ = ["CAV_CUTOFF", "Criterion", "ComponentCheck", "DAMPING", "NAMES", "OBEReport",
           "OBE_FREQUENCIES", "POINTS_PER_DECADE", "PSA_BAND", "PSA_CUTOFF", "PSV_BAND",
           "PSV_CUTOFF", "RG1166_PSV_CUTOFF", "builtin_components", "obe_check",
           "sampling_notes", "substeps_for"]

DAMPING = 0.05
PSA_BAND = (2.0, 10.0)  # Hz
PSV_BAND = (1.0, 2.0)  # Hz
POINTS_PER_DECADE = 400
#: Response samples per cycle of the highest frequency of the check, at least.
POINTS_PER_CYCLE = 100

#: The check's frequency grid (Hz): 10**(k/400) for k = 0 … 400 (each power the
#: nearest double, the same on every machine), and 2 Hz.
OBE_FREQUENCIES = np.unique(np.concatenate(
    [powers_of_ten(np.arange(POINTS_PER_DECADE + 1) / POINTS_PER_DECADE), [2.0]]))
OBE_FREQUENCIES.setflags(write=False)

#: 0.2 g, the cut-off of spectral acceleration in both checks (m/s²).
PSA_CUTOFF = constants.PSA_CUTOFF
#: 0.16 g·s, the cut-off of CAVstd (module) and of CAV (RG 1.166), in m/s.
CAV_CUTOFF = constants.CAVSTD_CUTOFF
#: 15.34 cm/s, the module's cut-off of spectral velocity (m/s).
PSV_CUTOFF = constants.PSV_CUTOFF
#: 6 in/s = 15.24 cm/s, RG 1.166's cut-off of spectral velocity (m/s).
RG1166_PSV_CUTOFF = 0.1524

NAMES = ("H1", "H2", "V")


@dataclass(frozen=True)
class Criterion:
    """One cut-off test: met when `value` is strictly greater than `cutoff`."""

    check: str       # "CAVdp" (the module's get_CAVdp_cy) or "RG 1.166"
    name: str        # "max_PSA", "max_CAVstd", "max_PSV", "SA", "SV", "CAV"
    quantity: str    # what `value` is, in words
    value: float
    cutoff: float
    unit: str        # unit of value and cutoff: "m/s2" or "m/s"

    @property
    def exceeded(self):
        """True when the value is above the cut-off (a NaN value is not)."""
        return bool(self.value > self.cutoff)


@dataclass(frozen=True)
class ComponentCheck:
    """The values of one component (SI units: m/s², m/s, Hz)."""

    name: str          # "H1", "H2" or "V"
    label: str         # the file's name, or the component's name for arrays
    npts: int
    dt: float
    PGA: float         # m/s²
    CAV: float         # m/s, plain CAV (get_CAV_cy)
    CAVstd: float      # m/s, standardized CAV (get_CAVstd_cy, on a copy)
    max_PSA: float     # m/s², 5 % damping, 2–10 Hz
    f_max_PSA: float   # Hz where max_PSA is reached
    max_PSV: float     # m/s, 5 % damping, 1–2 Hz
    f_max_PSV: float   # Hz where max_PSV is reached
    spectrum: ResponseSpectrum = field(repr=False, compare=False)


@dataclass(frozen=True)
class OBEReport(ReadOnlyArrays):
    """The values and decisions of the check of one three-component record.

    `max_PSA`, `max_PSV`, `max_CAVstd` and `max_CAV` are over the three
    components; `CAVstd_gm` is sqrt(CAVstd_H1 · CAVstd_H2).  `CAVdp` is what
    `get_CAVdp_cy(CAVstd_gm, max_CAVstd, max_PSA, max_PSV)` returned: the
    float CAVstd_gm, or the int 0 below the cut-offs.  `criteria` holds the
    module's three tests, `rg1166` the three of RG 1.166.
    """

    components: tuple
    CAVstd_gm: float
    max_CAVstd: float
    max_PSA: float
    max_PSV: float
    max_CAV: float
    CAVdp: float | int
    criteria: tuple
    rg1166: tuple
    substeps: int
    notes: tuple = ()
    damping: float = DAMPING
    frequencies: np.ndarray = field(default_factory=lambda: OBE_FREQUENCIES, repr=False,
                                   compare=False)

    @property
    def damage_potential(self):
        """True when all three of the module's cut-offs are exceeded (CAVdp is a float)."""
        return isinstance(self.CAVdp, float)

    @property
    def rg1166_response_spectrum_check(self):
        """RG 1.166's spectrum check: SA 2–10 Hz above 0.2 g or SV 1–2 Hz above 6 in/s."""
        return self.rg1166[0].exceeded or self.rg1166[1].exceeded

    @property
    def rg1166_cav_check(self):
        """RG 1.166's CAV check: the standardized CAV of a component above 0.16 g·s."""
        return self.rg1166[2].exceeded

    @property
    def rg1166_exceeded(self):
        """The OBE is exceeded when both the spectrum check and the CAV check are."""
        return self.rg1166_response_spectrum_check and self.rg1166_cav_check

    def component(self, name):
        """The `ComponentCheck` named "H1", "H2" or "V"."""
        for c in self.components:
            if c.name == name:
                return c
        raise KeyError(name)


def substeps_for(dt):
    """Sub-steps so that the response is sampled ≥ 100 times per cycle of 10 Hz.

    At most `MAX_SUBSTEPS`: a record sampled more coarsely than every 10 s
    gets fewer points per cycle, and the check notes it (`sampling_notes`).
    """
    # Rounded first: 100 · 0.005 · 10 must give 5, not 6. Capped before the ceiling:
    # past about 1e305 s the product is infinite, which has no ceiling.
    per_step = round(POINTS_PER_CYCLE * dt * PSA_BAND[1], 9)
    return max(1, math.ceil(min(per_step, MAX_SUBSTEPS)))


def sampling_notes(dt, substeps):
    """What the report must say of a record sampled too coarsely for the 10 Hz band."""
    notes = []
    nyquist = 0.5 / dt
    if nyquist < PSA_BAND[1]:
        notes.append(f"the record is sampled every {dt:g} s, too coarsely for the "
                     f"{PSA_BAND[0]:g}-{PSA_BAND[1]:g} Hz band (Nyquist frequency "
                     f"{nyquist:.3g} Hz): its spectral values above {nyquist:.3g} Hz come "
                     f"from the straight lines between samples, not from recorded motion")
    per_cycle = substeps / (dt * PSA_BAND[1])
    # Short of what substeps_for asks, rounded as it rounds: 7 sub-steps of 0.007 s are
    # its 100 points per cycle, though 7 / 0.07 reads 99.99999999999999.
    if substeps < round(POINTS_PER_CYCLE * dt * PSA_BAND[1], 9):
        low = (f"may read up to {100 * (1 - math.cos(math.pi / per_cycle)):.2g} % low"
               if per_cycle > 2 else "may be missed")
        notes.append(f"the response is sampled {substeps} times a step ({MAX_SUBSTEPS} at "
                     f"most), {per_cycle:.3g} times per cycle of {PSA_BAND[1]:g} Hz, fewer "
                     f"than {POINTS_PER_CYCLE}: peaks there {low}")
    return notes


def _band_max(values, freqs, band):
    inside = (freqs >= band[0]) & (freqs <= band[1])
    k = int(np.argmax(values[inside]))
    return float(values[inside][k]), float(freqs[inside][k])


def _same_start(given):
    """ValueError for components cut to the shortest whose records state starts half a
    step or more apart: cut from their starts, they would not cover one time."""
    starts = [(c.name, c.record.start_time) for c in given.items
              if c.record is not None and c.record.start_time is not None]
    for name, start in starts[1:]:
        first, at = starts[0]
        apart = abs((start - at).total_seconds())
        if apart >= given.dt / 2:
            raise ValueError(f"{first} and {name} start {apart:g} s apart ({at.isoformat()} and "
                             f"{start.isoformat()}): cut to the shortest from their starts, "
                             f"they would not cover one time")


def obe_check(h1, h2, v, dt=None, trim=False):
    """Check a record of two horizontal components and the vertical one.

    Each component is a `Record` (from `tavotools.records`), an ObsPy trace
    that states its units (read as `Record.from_trace` reads it), or samples
    in m/s² with `dt` (s).  The three must share their time step and their length;
    with `trim=True` the longer ones are cut to the shortest (the samples
    after the common end are dropped), and the report notes it.
    The inputs are never changed: CAVstd is computed on copies.

    Returns an `OBEReport`.  Raises ValueError for components of different
    time steps or lengths, records that state different stations (networks,
    locations, sensors), records to be cut that state starts half a step or
    more apart, NaN or infinite samples, empty components, or a
    `dt` that is missing, not positive or disagrees with a record's.
    """
    given = matched(NAMES, (h1, h2, v), dt, trim)
    step, notes = given.dt, list(given.notes)
    if given.notes:
        _same_start(given)
    for name, c in zip(NAMES, given.items):
        kind = c.record.orientation if c.record is not None else None
        if kind is not None and (kind == "vertical") != (name == "V"):
            notes.append(f"{name} ({printable(c.record.label)}) states component "
                         f"{c.record.component!r}, a {kind} one")
    n = given.npts
    substeps = substeps_for(step)
    notes.extend(sampling_notes(step, substeps))
    checks = []
    for name, c in zip(NAMES, given.items):
        label = c.label
        # Copies: the measures want writable buffers, get_CAVstd_cy silences
        # quiet windows in place, and trimming must not touch the caller's array.
        a = np.array(c.accel, dtype=np.float64)
        sp = response_spectrum(a, step, frequencies=OBE_FREQUENCIES, damping=DAMPING,
                               substeps=substeps)
        max_psa, f_psa = _band_max(sp.PSA, sp.frequencies, PSA_BAND)
        max_psv, f_psv = _band_max(sp.PSV, sp.frequencies, PSV_BAND)
        checks.append(ComponentCheck(
            name=name, label=label, npts=n, dt=step,
            PGA=tavo.get_PGA_cy(a.copy()),
            CAV=tavo.get_CAV_cy(a.copy(), step),
            CAVstd=tavo.get_CAVstd_cy(a.copy(), step),
            max_PSA=max_psa, f_max_PSA=f_psa, max_PSV=max_psv, f_max_PSV=f_psv,
            spectrum=sp))
    c1, c2, c3 = checks
    CAVstd_gm = geometric_mean(c1.CAVstd, c2.CAVstd)
    max_CAVstd = max(c.CAVstd for c in checks)
    max_PSA = max(c.max_PSA for c in checks)
    max_PSV = max(c.max_PSV for c in checks)
    max_CAV = max(c.CAV for c in checks)
    CAVdp = tavo.get_CAVdp_cy(CAVstd_gm, max_CAVstd, max_PSA, max_PSV)
    over = "over H1, H2 and V"
    criteria = (
        Criterion("CAVdp", "max_PSA", f"maximum PSA (5 %), 2-10 Hz, {over}", max_PSA,
                  PSA_CUTOFF, "m/s2"),
        Criterion("CAVdp", "max_CAVstd", f"maximum standardized CAV, {over}", max_CAVstd,
                  CAV_CUTOFF, "m/s"),
        Criterion("CAVdp", "max_PSV", f"maximum PSV (5 %), 1-2 Hz, {over}", max_PSV,
                  PSV_CUTOFF, "m/s"),
    )
    rg1166 = (
        Criterion("RG 1.166", "SA", "spectral acceleration (5 %), 2-10 Hz, any component",
                  max_PSA, PSA_CUTOFF, "m/s2"),
        Criterion("RG 1.166", "SV", "spectral velocity (5 %), 1-2 Hz, any component",
                  max_PSV, RG1166_PSV_CUTOFF, "m/s"),
        Criterion("RG 1.166", "CAV", "standardized CAV (1-s windows >= 0.025 g), any component",
                  max_CAVstd, CAV_CUTOFF, "m/s"),
    )
    return OBEReport(components=tuple(checks), CAVstd_gm=CAVstd_gm, max_CAVstd=max_CAVstd,
                     max_PSA=max_PSA, max_PSV=max_PSV, max_CAV=max_CAV, CAVdp=CAVdp,
                     criteria=criteria, rg1166=rg1166, substeps=substeps, notes=tuple(notes))


def builtin_components():
    """The built-in three-component set: synthetic records of seeds 1, 2 and 3, with
    peaks of 3.0, 2.5 and (the vertical) 1.5 m/s²."""
    from dataclasses import replace

    from ..synthetic import synthetic_record

    return [synthetic_record(1, pga=3.0), synthetic_record(2, pga=2.5),
            replace(synthetic_record(3, pga=1.5), component="V")]
