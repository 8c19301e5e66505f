"""One call for all the intensity measures of a record, or of a three-component set.

The results are frozen dataclasses whose fields carry their units; every value
is exactly what the module's own function returns for the same samples.  With
`periods`, PSA at 5 % damping joins them (`response_spectrum`'s values); a
three-component set adds the RotD values and geometric means of its
horizontals (`rotd`'s values).
"""
from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass, field, fields

import numpy as np

from . import checks, tavo
from .components import _one_station, geometric_mean
from .records import Record
from .rotd import rotd
from .spectra import STANDARD_PERIODS, _oscillators, response_spectrum

__all__ = ["ComponentsSummary", "ROTD_PERCENTILES", "RecordingMeasures", "Summary",
           "measure_recording", "periods_array", "summarize", "summarize_components"]

#: Arias-intensity fractions whose times bound the significant durations.
ARIAS_LEVELS = (0.05, 0.75, 0.95)

#: 5 cm/s², the threshold of `CAV5`, in m/s².
CAV_THRESHOLD = 0.05

#: Damping ratio of the spectral accelerations of a summary.
DAMPING = 0.05

#: The RotD percentiles of a three-component summary.
ROTD_PERCENTILES = (0.0, 50.0, 100.0)


def _unit(unit, doc, default=dataclasses.MISSING):
    return field(default=default, metadata={"unit": unit, "doc": doc})


def _per_period(unit, doc):
    # A read-only array over `periods`, or None when no periods were asked.
    return field(default=None, metadata={"spectral_unit": unit, "doc": doc})


def _same_array(a, b):
    if a is None or b is None:
        return a is b
    return np.array_equal(a, b, equal_nan=True)


def _same(a, b):
    # A NaN measure (a one-sample record's PGV) is the same value in two summaries
    # of one record: equality stays reflexive, through pickling and copies too.
    return a == b or (isinstance(a, float) and isinstance(b, float)
                      and math.isnan(a) and math.isnan(b))


def _hashable(value):
    # hash(nan) is the object's identity: equal summaries must hash alike.
    return "nan" if isinstance(value, float) and math.isnan(value) else value


class _Units(checks.ReadOnlyArrays):
    @classmethod
    def units(cls):
        """Map each scalar measure's field name to its unit."""
        return {f.name: f.metadata["unit"] for f in fields(cls) if "unit" in f.metadata}

    @classmethod
    def spectral_units(cls):
        """Map each per-period field name (an array, or None) to its unit."""
        return {f.name: f.metadata["spectral_unit"] for f in fields(cls)
                if "spectral_unit" in f.metadata}

    def as_dict(self):
        """The scalar measures as a plain dict of floats."""
        return {name: getattr(self, name) for name in self.units()}

    def spectra_dict(self):
        """`periods` and the per-period measures as lists of floats; empty without periods."""
        if self.periods is None:
            return {}
        return {"periods": self.periods.tolist(),
                **{name: None if getattr(self, name) is None else getattr(self, name).tolist()
                   for name in self.spectral_units()}}

    # Equality as the generated one (the scalar fields as a tuple), with the
    # arrays compared by value: a tuple of arrays has no truth value.
    def _compared(self):
        return tuple(getattr(self, f.name) for f in fields(self)
                     if f.compare and "spectral_unit" not in f.metadata and f.name != "periods")

    def __eq__(self, other):
        if other.__class__ is not self.__class__:
            return NotImplemented
        mine, theirs = self._compared(), other._compared()
        return len(mine) == len(theirs) and all(map(_same, mine, theirs)) and all(
            _same_array(getattr(self, name), getattr(other, name))
            for name in ("periods", *self.spectral_units()))

    def __hash__(self):
        return hash(tuple(map(_hashable, self._compared())))


@dataclass(frozen=True, eq=False)
class Summary(_Units):
    """The intensity measures of one component (accelerations in m/s²)."""

    PGA: float = _unit("m/s2", "peak ground acceleration")
    PGV: float = _unit("m/s", "peak ground velocity")
    Ia: float = _unit("m/s", "Arias intensity")
    t5: float = _unit("s", "time at which 5 % of the Arias intensity is exceeded")
    t75: float = _unit("s", "time at which 75 % of the Arias intensity is exceeded")
    t95: float = _unit("s", "time at which 95 % of the Arias intensity is exceeded")
    D5_75: float = _unit("s", "significant duration from 5 % to 75 % of Arias intensity")
    D5_95: float = _unit("s", "significant duration from 5 % to 95 % of Arias intensity")
    CAV: float = _unit("m/s", "cumulative absolute velocity")
    CAV5: float = _unit("m/s", "CAV of the samples at or above 5 cm/s2")
    CAVstd: float = _unit("m/s", "standardized CAV (quiet one-second windows left out)")
    periods: np.ndarray | None = field(default=None, metadata={"doc": "periods of PSA (s)"})
    PSA: np.ndarray | None = _per_period("m/s2", "pseudo-spectral acceleration, 5 % damping")


@dataclass(frozen=True, eq=False)
class ComponentsSummary(_Units):
    """Two horizontal components and the vertical, and the values they share.

    `CAVstd_gm` (geometric mean of the horizontals) and `max_CAVstd` (maximum
    of the three) are the CAVstd inputs of the damage-potential decision;
    `cavdp` completes it once the spectral values are known.  The RotD values
    and the other geometric means are those of `rotd` on the two horizontals
    (cut to the shorter when their lengths differ, as `notes` says), the
    geometric means being sqrt(x_H1 · x_H2) of the components as recorded.
    `rotd` holds the whole `RotD` (angles, the 180 peaks).
    """

    h1: Summary = field(metadata={"doc": "first horizontal component"})
    h2: Summary = field(metadata={"doc": "second horizontal component"})
    v: Summary = field(metadata={"doc": "vertical component"})
    CAVstd_gm: float = _unit("m/s", "geometric mean CAVstd of the two horizontals")
    max_CAVstd: float = _unit("m/s", "maximum CAVstd of the three components")
    PGA_gm: float = _unit("m/s2", "geometric mean PGA of the two horizontals", math.nan)
    PGV_gm: float = _unit("m/s", "geometric mean PGV of the two horizontals", math.nan)
    PGA_RotD0: float = _unit("m/s2", "RotD0 of PGA of the two horizontals", math.nan)
    PGA_RotD50: float = _unit("m/s2", "RotD50 of PGA of the two horizontals", math.nan)
    PGA_RotD100: float = _unit("m/s2", "RotD100 of PGA of the two horizontals", math.nan)
    PGV_RotD0: float = _unit("m/s", "RotD0 of PGV of the two horizontals", math.nan)
    PGV_RotD50: float = _unit("m/s", "RotD50 of PGV of the two horizontals", math.nan)
    PGV_RotD100: float = _unit("m/s", "RotD100 of PGV of the two horizontals", math.nan)
    periods: np.ndarray | None = field(default=None, metadata={"doc": "periods of PSA (s)"})
    PSA_gm: np.ndarray | None = _per_period("m/s2", "geometric mean PSA of the two horizontals")
    PSA_RotD0: np.ndarray | None = _per_period("m/s2", "RotD0 of PSA of the two horizontals")
    PSA_RotD50: np.ndarray | None = _per_period("m/s2", "RotD50 of PSA of the two horizontals")
    PSA_RotD100: np.ndarray | None = _per_period("m/s2", "RotD100 of PSA of the two horizontals")
    notes: tuple = ()
    rotd: object = field(default=None, compare=False, repr=False)

    def cavdp(self, max_PSA, max_PSV, PSV_check=1):
        """Damage-potential CAV from this set's CAVstd and the spectral peaks.

        `max_PSA`: maximum spectral acceleration between 2 and 10 Hz (m/s²);
        `max_PSV`: maximum spectral velocity between 1 and 2 Hz (m/s), over the
        components.  Returns `CAVstd_gm`, or the int 0 when the motion is below
        the cut-offs.
        """
        return tavo.get_CAVdp_cy(self.CAVstd_gm, self.max_CAVstd, max_PSA, max_PSV, PSV_check)


def _record(record, dt, units, who="summarize()"):
    """A `Record` of `record` (a `Record`, samples with `dt`, or a trace), checked."""
    if record is None:
        # A component left out, not samples short of their dt.
        raise ValueError("accel must be numbers, not None")
    if checks.is_trace(record):
        if dt is not None:
            raise ValueError("dt is given by the trace itself")
        return Record.from_trace(record, units)
    if not isinstance(record, Record):
        if dt is None:
            raise TypeError(f"{who} needs dt when given an array of samples")
        return Record.from_samples(record, dt, "m/s2" if units is None else units)
    if units is not None:
        raise ValueError("units are given by the record itself")
    if dt is not None and checks.time_step(dt) != record.dt:
        raise ValueError(f"dt {dt!r} given for a record whose dt is {record.dt!r}")
    return record


def periods_array(periods):
    """The periods of a summary as a read-only float64 array, or None for None.

    `periods` is a sequence of seconds, each positive and finite, or the string
    "standard" for `STANDARD_PERIODS`; anything else raises ValueError.
    """
    if periods is None:
        return None
    if isinstance(periods, str):
        if periods.strip().lower() != "standard":
            raise ValueError(f"periods must be a sequence of seconds or 'standard', "
                             f"not {periods!r}")
        return STANDARD_PERIODS
    T = np.array(_oscillators(periods, None)[0])
    T.setflags(write=False)
    return T


def _readonly(a):
    a = np.array(a)
    a.setflags(write=False)
    return a


def _summary(record, T=None, PSA=None):
    """The Summary of a checked `record`; with periods `T`, its PSA (given, or computed)."""
    accel, dt = record.accel, record.dt
    # A record's samples are writable: a NaN written since it was made would be
    # passed over by the peaks and spread through the sums, a silent wrong summary.
    checks.all_finite(accel)
    if not accel.flags.writeable:
        accel = accel.copy()
    t5, t75, t95 = (float(t) for t in tavo.get_Ia_times_cy(
        accel, dt, np.array(ARIAS_LEVELS, dtype=np.float64)))
    Ia, _ = tavo.get_Ia_cy(accel, dt)
    # One sample has no velocity series: the module's -999.0 for it is a
    # sentinel, not a measurement, so the summary says NaN (null in JSON).
    PGV = tavo.get_PGV_cy(accel, dt) if accel.size > 1 else math.nan
    if T is not None and PSA is None:
        PSA = response_spectrum(accel, dt, periods=T, damping=DAMPING).PSA
    return Summary(
        PGA=tavo.get_PGA_cy(accel),
        PGV=PGV,
        Ia=Ia,
        t5=t5,
        t75=t75,
        t95=t95,
        D5_75=t75 - t5,
        D5_95=t95 - t5,
        CAV=tavo.get_CAV_cy(accel, dt),
        CAV5=tavo.get_CAVn_cy(accel, dt, CAV_THRESHOLD),
        # get_CAVstd_cy silences quiet windows in the array it is given.
        CAVstd=tavo.get_CAVstd_cy(accel.copy(), dt),
        periods=T,
        PSA=None if PSA is None else _readonly(PSA),
    )


def summarize(record, dt=None, *, units=None, periods=None):
    """All the measures of one component: a `Record`, samples in m/s² with `dt`, or an ObsPy `Trace`.

    Samples of any numeric type (float32, integers, a list) are converted to
    float64; `units` names theirs when not m/s² ('g', 'cm/s2', 'gal', ...).
    A trace states its own step; its units are needed unless it says them
    (see `Record.from_trace`). CAVstd is computed on a copy, so the record
    is left as it was.
    `periods` (a sequence of seconds, or "standard" for the 111
    `STANDARD_PERIODS`) adds `periods` and `PSA`, the pseudo-spectral
    acceleration at 5 % damping in m/s² (`response_spectrum`'s); without it
    both are None.
    A one-sample record has no PGV and no durations: they are NaN.
    Raises ValueError for an empty record, non-finite samples, a `dt` that
    is not positive and finite, or bad periods.
    """
    T = periods_array(periods)
    return _summary(_record(record, dt, units), T)


@dataclass(frozen=True, eq=False)
class RecordingMeasures:
    """What one recording's components give, computed once for every output.

    `summaries` and `spectra` map the slots present ("H1", "H2", "V") to the
    component's `Summary` and to its (PSA, PSV) at the periods (5 %
    damping; empty without periods); `rotd` is the `RotD` of the horizontals
    (None unless both are there); `combined` the `ComponentsSummary` when
    all three are; `notes` what sets the vertical apart from the horizontals
    (another time step or length: each component is measured whole).
    """

    summaries: dict
    spectra: dict
    rotd: object
    combined: ComponentsSummary | None
    notes: tuple = ()


def measure_recording(h1, h2, v, periods=None):
    """The measures of the `Record`s of one recording (any of them None).

    The horizontals are rotated as `rotd` does, the longer cut to the
    shorter (noted in `rotd.notes`). Each component's spectrum is computed
    once: a horizontal's is its own column of the rotation (0° for H1, 90°
    for H2), bit for bit its `response_spectrum`, unless it was cut. Raises
    ValueError for horizontals of different time steps, and what
    `summarize` raises.
    """
    # No periods at all (the flatfile's default) is PGA and PGV only, as None is.
    empty = not isinstance(periods, str) and periods is not None and np.size(periods) == 0
    T = None if empty else periods_array(periods)
    slots = {name: r for name, r in zip(("H1", "H2", "V"), (h1, h2, v)) if r is not None}
    spectra, r = {}, None
    if h1 is not None and h2 is not None and min(h1.npts, h2.npts) > 1:
        r = rotd(h1, h2, periods=np.empty(0) if T is None else T, damping=DAMPING,
                 percentiles=ROTD_PERCENTILES, trim=True)
        if T is not None:
            for name, record, column in (("H1", h1, 0), ("H2", h2, 90)):
                if r.npts == record.npts:
                    spectra[name] = (r.peaks.PSA[:, column], r.peaks.PSV[:, column])
    elif h1 is not None and h2 is not None and h1.dt != h2.dt:
        rotd(h1, h2)  # raises the message of components on different time steps
    if T is not None:
        for name, record in slots.items():
            if name not in spectra:
                sp = response_spectrum(record.accel, record.dt, periods=T, damping=DAMPING)
                spectra[name] = (sp.PSA, sp.PSV)
    summaries = {name: _summary(record, T, spectra[name][0] if T is not None else None)
                 for name, record in slots.items()}
    notes = _vertical_notes(h1, h2, v, r)
    combined = None
    if len(slots) == 3:
        s1, s2, s3 = summaries["H1"], summaries["H2"], summaries["V"]
        rotated = _rotated(r, T)
        rotated["notes"] = rotated["notes"] + notes
        combined = ComponentsSummary(
            h1=s1, h2=s2, v=s3,
            CAVstd_gm=geometric_mean(s1.CAVstd, s2.CAVstd),
            max_CAVstd=max(s1.CAVstd, s2.CAVstd, s3.CAVstd),
            **rotated)
    return RecordingMeasures(summaries=summaries, spectra=spectra, rotd=r, combined=combined,
                             notes=notes)


def _vertical_notes(h1, h2, v, r):
    """Notes of a vertical whose time step or length is not the horizontals' (as rotated
    by `r`, when there are two): the set is measured, but is not one record."""
    horizontal = [(name, h) for name, h in (("H1", h1), ("H2", h2)) if h is not None]
    if v is None or not horizontal:
        return ()
    which = "the horizontals" if len(horizontal) == 2 else horizontal[0][0]
    # Horizontals on different time steps are refused before this.
    step = horizontal[0][1].dt
    npts = r.npts if r is not None else min(h.npts for _, h in horizontal)
    notes = []
    if v.dt != step:
        notes.append(f"V is sampled every {v.dt!r} s, {which} every {step!r} s")
    if v.npts != npts:
        notes.append(f"V holds {v.npts} samples, {which} {npts}")
    return tuple(notes)


def _rotated(r, T):
    """The RotD and geometric-mean fields of a ComponentsSummary from `rotd`'s result."""
    if r is None:  # a horizontal of one sample has no velocity: nothing to rotate
        return {"notes": ("a horizontal holds one sample: no RotD",), "periods": T}
    gm = r.geometric_mean
    out = {"PGA_gm": gm.PGA, "PGV_gm": gm.PGV, "notes": r.notes, "rotd": r}
    for k, p in enumerate(ROTD_PERCENTILES):
        out[f"PGA_RotD{p:g}"] = float(r.PGA[k])
        out[f"PGV_RotD{p:g}"] = float(r.PGV[k])
        if T is not None:
            out[f"PSA_RotD{p:g}"] = r.PSA[k]
    if T is not None:
        out.update(periods=T, PSA_gm=gm.PSA)
    return out


def _component(name, item, dt, units):
    """The checked `Record` of one component of a set, its faults named by its slot ("V: ..."),
    as `obe_check` and `rotd` name them."""
    try:
        record = _record(item, dt, units, "summarize_components()")
        checks.all_finite(record.accel)
    except TypeError as e:
        raise TypeError(f"{name}: {e}") from None
    except ValueError as e:
        raise ValueError(f"{name}: {e}") from None
    return record


def summarize_components(h1, h2, v, dt=None, *, units=None, periods=None):
    """The measures of a three-component set: two horizontals, then the vertical.

    Each component is what `summarize` takes, with `dt`, `units` and
    `periods` for all.  Adds the geometric mean of the horizontals' CAVstd,
    sqrt(h1 × h2), and the maximum CAVstd of the three; the RotD0, RotD50
    and RotD100 of PGA and PGV of the horizontals and their geometric means
    (`rotd`'s values, on the horizontals cut to the shorter if their lengths
    differ); with `periods`, the same of PSA at each period (5 % damping).
    A vertical of another time step or length than the horizontals is
    measured whole, on its own, and `notes` says so.  Raises ValueError for
    horizontals of different time steps or start times (as `rotd` does),
    components that state different stations (networks, locations, sensors),
    and what `summarize` raises, each component's fault named by its slot
    ("V: accel must be numbers, not None").
    """
    # Checked as `summarize` checks them: an empty list is refused, not read as no periods.
    T = periods_array(periods)
    records = [_component(name, c, dt, units) for name, c in zip(("H1", "H2", "V"), (h1, h2, v))]
    # The vertical too: its CAVstd goes into max_CAVstd, as in the OBE check.
    _one_station(("H1", "H2", "V"), records)
    return measure_recording(*records, periods=T).combined
