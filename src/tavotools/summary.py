"""One call for all the intensity measures of a record, or of a three-component set.

The results are frozen dataclasses whose fields carry their units; every value
is exactly what the module's own function returns for the same samples.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field, fields

import numpy as np

from . import tavo
from .records import Record

__all__ = ["ComponentsSummary", "Summary", "summarize", "summarize_components"]

#: Arias-intensity fractions whose times bound the significant durations.
ARIAS_LEVELS = (0.05, 0.75, 0.95)

#: 5 cm/s², the threshold of `CAV5`, in m/s².
CAV_THRESHOLD = 0.05


def _unit(unit, doc):
    return field(metadata={"unit": unit, "doc": doc})


class _Units:
    @classmethod
    def units(cls):
        """Map each field name to its unit."""
        return {f.name: f.metadata["unit"] for f in fields(cls) if "unit" in f.metadata}

    def as_dict(self):
        """The measures as a plain dict of floats."""
        return {name: getattr(self, name) for name in self.units()}


@dataclass(frozen=True)
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


@dataclass(frozen=True)
class ComponentsSummary(_Units):
    """Two horizontal components and the vertical, and the CAVstd values they share.

    `CAVstd_gm` (geometric mean of the horizontals) and `max_CAVstd` (maximum
    of the three) are the CAVstd inputs of the damage-potential decision;
    `cavdp` completes it once the spectral values are known.
    """

    h1: Summary = field(metadata={"doc": "first horizontal component"})
    h2: Summary = field(metadata={"doc": "second horizontal component"})
    v: Summary = field(metadata={"doc": "vertical component"})
    CAVstd_gm: float = _unit("m/s", "geometric mean CAVstd of the two horizontals")
    max_CAVstd: float = _unit("m/s", "maximum CAVstd of the three components")

    def cavdp(self, max_PSA, max_PSV, PSV_check=1):
        """Damage-potential CAV from this set's CAVstd and the spectral peaks.

        `max_PSA`: maximum spectral acceleration between 2 and 10 Hz (m/s²);
        `max_PSV`: maximum spectral velocity between 1 and 2 Hz (m/s), over the
        components.  Returns `CAVstd_gm`, or the int 0 when the motion is below
        the cut-offs.
        """
        return tavo.get_CAVdp_cy(self.CAVstd_gm, self.max_CAVstd, max_PSA, max_PSV, PSV_check)


def _is_trace(obj):
    """An ObsPy Trace, told by its shape so that ObsPy is never imported for a check."""
    return hasattr(obj, "stats") and hasattr(obj, "data") and hasattr(obj, "id")


def _samples(record, dt, units):
    """The samples as a writable float64 array in m/s², and dt, checked."""
    if _is_trace(record):
        if dt is not None:
            raise ValueError("dt is given by the trace itself")
        record = Record.from_trace(record, units)
    elif not isinstance(record, Record):
        if dt is None:
            raise TypeError("summarize() needs dt when given an array of samples")
        record = Record.from_samples(record, dt, "m/s2" if units is None else units)
    elif units is not None:
        raise ValueError("units are given by the record itself")
    elif dt is not None and float(dt) != record.dt:
        raise ValueError(f"dt {dt!r} given for a record whose dt is {record.dt!r}")
    return record.accel, record.dt


def summarize(record, dt=None, *, units=None):
    """All the measures of one component: a `Record`, samples in m/s² with `dt`, or an ObsPy `Trace`.

    Samples of any numeric type (float32, integers, a list) are converted to
    float64; `units` names theirs when not m/s² ('g', 'cm/s2', 'gal', ...).
    A trace states its own step; its units are needed unless it says them
    (see `Record.from_trace`). CAVstd is computed on a copy, so the record
    is left as it was.
    A one-sample record has no PGV and no durations: they are NaN.
    Raises ValueError for an empty record, non-finite samples or a `dt` that
    is not positive and finite.
    """
    accel, dt = _samples(record, dt, units)
    if not accel.flags.writeable:
        accel = accel.copy()
    t5, t75, t95 = (float(t) for t in tavo.get_Ia_times_cy(
        accel, dt, np.array(ARIAS_LEVELS, dtype=np.float64)))
    Ia, _ = tavo.get_Ia_cy(accel, dt)
    # One sample has no velocity series: the module's -999.0 for it is a
    # sentinel, not a measurement, so the summary says NaN (null in JSON).
    PGV = tavo.get_PGV_cy(accel, dt) if accel.size > 1 else math.nan
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
    )


def summarize_components(h1, h2, v, dt=None, *, units=None):
    """The measures of a three-component set: two horizontals, then the vertical.

    Each component is what `summarize` takes, with `dt` and `units` for all.  Adds the
    geometric mean of the horizontals' CAVstd, sqrt(h1 × h2), and the maximum
    CAVstd of the three.
    """
    s1, s2, s3 = (summarize(c, dt, units=units) for c in (h1, h2, v))
    return ComponentsSummary(
        h1=s1, h2=s2, v=s3,
        CAVstd_gm=math.sqrt(s1.CAVstd * s2.CAVstd),
        max_CAVstd=max(s1.CAVstd, s2.CAVstd, s3.CAVstd),
    )
