"""ObsPy traces as records and back, and the reader of last resort: whatever
`obspy.read` reads (MiniSEED, SAC, ...) when no reader of this package
recognises the file. ObsPy is optional (`pip install 'tavotools[obspy]'`)
and imported only here, only when used.

Such files hold counts as often as accelerations, and say neither: samples
are converted only by an inventory (divided by the overall sensitivity, as
ObsPy's `remove_sensitivity` does) or by units the caller names.
"""
from __future__ import annotations

import copy
import datetime as _dt
import io
import math
import re
import warnings

import numpy as np

from .. import checks
from .record import AS_RECORDED, Event, Record, RecordError, UnrecognisedFormat
from .units import normalize_units, units_argument

__all__ = ["NAME", "SUFFIXES", "available", "from_trace", "parse", "sniff", "to_trace"]

NAME = "obspy"
#: Tried only when no reader recognises the file; its other errors are about a file it read.
FALLBACK = True
SUFFIXES = (".mseed", ".miniseed", ".sac", ".seed")

#: `stats` key under which `to_trace` keeps what ObsPy has no field for.
STATS_KEY = "tavotools"

_SENSITIVITY_REMOVED = "sensitivity removed"

#: ObsPy's processing notes of the steps after which the samples are no longer accelerations
#: (normalize divides them by their peak: numbers without a unit).
_QUANTITY_STEP = re.compile(r"\b(?:integrate|differentiate|normalize)\(")


def available():
    """True when ObsPy can be imported."""
    try:
        import obspy  # noqa: F401
    except ImportError:
        return False
    return True


def _obspy():
    try:
        import obspy
    except ImportError:
        raise ImportError("ObsPy is needed for traces: pip install 'tavotools[obspy]'") from None
    return obspy


def _utc(when):
    """An aware UTC datetime of an ObsPy UTCDateTime."""
    return when.datetime.replace(tzinfo=_dt.timezone.utc)


def _whole_hertz(step):
    """True when `step` is exactly one over a whole number of Hz (2**-12 s: 4096 Hz)."""
    rate = 1.0 / step
    return rate == round(rate) and 1.0 / rate == step


def _step(delta):
    """The trace's step; a float32 step (SAC stores one) as the decimal it was written from.

    A step of one over a whole number of Hz is kept: it is its own decimal, and
    float32's shortest one ('0.00024414062' of 2**-12) is another double.
    """
    delta = float(delta)
    single = np.float32(delta)
    if np.isfinite(single) and float(single) == delta and not _whole_hertz(delta):
        return float(str(single))
    return delta


def _trace_step(stats):
    """The step of a trace: the record's own for a trace of `to_trace` whose step is
    unchanged (ObsPy keeps 1 / (1 / dt), an ulp off dt for about one step in eight),
    a SAC header's step of whole hertz for a trace read from SAC whose step is
    unchanged, else `_step` of its delta."""
    delta = float(stats.delta)
    dt = stats.get(STATS_KEY, {}).get("dt")
    if dt is not None and delta in (dt, 1.0 / (1.0 / dt)):
        return float(dt)
    header = stats.get("sac", {}).get("delta")
    if header is not None and np.isfinite(header) and float(header) > 0.0 \
            and _whole_hertz(float(header)):
        # ObsPy's SAC reader rounds the header's step to the microsecond, which
        # makes 2**-12 s (4096 Hz) 0.000244 s; such a header is exact as it is.
        rounded = round(float(header), 6)
        if rounded > 0.0 and delta in (rounded, 1.0 / (1.0 / rounded)):
            return float(header)
    return _step(delta)


def _error(trace, path, reason):
    """RecordError naming the file (when read from one) and the trace."""
    if path is None:
        return RecordError(trace.id, None, reason)
    return RecordError(path, None, f"{trace.id}: {reason}")


def _samples(trace, path):
    """The trace's samples as float64; RecordError for a gap (a masked sample of a merged
    stream) or complex samples."""
    data = trace.data
    if np.ma.isMaskedArray(data):
        if np.ma.getmaskarray(data).any():
            raise _error(trace, path, f"the trace has gaps (masked samples): "
                                           f"fill them or read its parts as traces of their own")
        data = data.data
    try:
        return checks.real(data, "the samples")
    except ValueError as e:
        raise _error(trace, path, str(e)) from None


def _converted(trace):
    """What says the trace's samples are no longer counts (a trace of `to_trace`, or
    ObsPy's removal of the response or sensitivity), or None."""
    ours = trace.stats.get(STATS_KEY)
    if ours and ours.get("units"):
        return f"they are in {ours['units']}"
    for step in trace.stats.get("processing", []):
        if "remove_response" in step or "remove_sensitivity" in step:
            return step
    return None


def _sensitivities(inventory, trace):
    """The distinct (value, input units) of the overall sensitivities that the inventory
    states for the trace's channel at its start (two epochs or files that overlap)."""
    network, station, location, channel = trace.id.split(".")
    found = set()
    for net in inventory.select(network=network, station=station, location=location,
                                channel=channel, time=trace.stats.starttime):
        for sta in net:
            for cha in sta:
                s = cha.response.instrument_sensitivity if cha.response else None
                found.add((None, None) if s is None else (s.value, s.input_units))
    return found


def _usable(sensitivity):
    """True for a sensitivity whose value is finite and not zero."""
    value = None if sensitivity is None else sensitivity.value
    return value is not None and math.isfinite(value) and value != 0.0


def _from_inventory(trace, inventory, path):
    """The samples divided by the overall sensitivity, and the units it converts to."""
    # Dividing samples already converted would divide them twice.
    converted = _converted(trace)
    if converted is not None:
        raise _error(trace, path, f"the samples are no longer counts ({converted}): an "
                                  f"inventory converts counts; pass units= for what they are")
    try:
        with warnings.catch_warnings():
            # Of several matching responses it takes the first: judged below.
            warnings.filterwarnings("ignore", "Found more than one matching", UserWarning)
            response = inventory.get_response(trace.id, trace.stats.starttime)
    except Exception:  # ObsPy raises a bare Exception when nothing matches
        raise _error(trace, path, f"no response at {trace.stats.starttime} "
                                       f"in the inventory") from None
    stated = _sensitivities(inventory, trace)
    if len(stated) > 1:
        raise _error(trace, path, f"the inventory states {len(stated)} different "
                                  f"sensitivities at {trace.stats.starttime} ("
                                  + ", ".join(f"{v!r} per {u}" for v, u in sorted(stated, key=str))
                                  + "): which one holds is not for the reader to guess")
    sensitivity = given = response.instrument_sensitivity
    if not _usable(sensitivity):
        try:
            # Recalculating writes into the response: the caller's inventory is left as given.
            response = copy.deepcopy(response)
            response.recalculate_overall_sensitivity()
            sensitivity = response.instrument_sensitivity
        except Exception:
            sensitivity = None
    if not _usable(sensitivity):
        # Divided by, a NaN one made NaN samples, blamed on the trace, and an infinite one
        # made them all zero.
        stated = "" if given is None or given.value in (None, 0.0) \
            else f" (it states {given.value!r})"
        raise _error(trace, path, f"the inventory states no overall sensitivity{stated}")
    units = normalize_units(sensitivity.input_units or "")
    if units is None:
        raise _error(trace, path, f"the sensor measures "
                                       f"{sensitivity.input_units}, not acceleration")
    return _samples(trace, path) / sensitivity.value, units


def _uncalibrated(trace, path):
    """RecordError for samples as read that state a calibration factor other than 1.

    ObsPy's values are the samples times `stats.calib` (K-NET's counts times its
    scale factor, SAC's SCALE, GSE2's CALIB), yet `read(apply_calib=True)`
    multiplies them and leaves the factor as it was: whether the samples are in
    the units named, or those units over the factor, is not for the reader to guess.
    """
    calib = float(trace.stats.get("calib", 1.0))
    if calib != 1.0 and _converted(trace) is None:
        raise _error(trace, path, f"the samples state a calibration factor (calib "
                                  f"{calib!r}) that may or may not have been applied to "
                                  f"them: multiply them by it if need be and set "
                                  f"stats.calib to 1.0, then give units= for what they are; "
                                  f"counts are divided by the sensitivity with inventory= "
                                  f"(--inventory)")


def _changed_quantity(trace):
    """The ObsPy step that made the samples another quantity (integrate,
    differentiate or normalize), the last one, or None."""
    for step in reversed(trace.stats.get("processing", [])):
        if "remove_response" in step or "remove_sensitivity" in step:
            return None  # what came before it was counts, not the quantity vouched for
        if _QUANTITY_STEP.search(step):
            return step
    return None


def _stated_units(trace):
    """Units the trace itself vouches for: a trace of `to_trace`, or one whose
    response ObsPy removed to acceleration."""
    ours = trace.stats.get(STATS_KEY)
    if ours and ours.get("units"):
        return ours["units"]
    for step in reversed(trace.stats.get("processing", [])):
        if "remove_response" in step:
            return "m/s2" if "output='ACC'" in step.replace('"', "'") else None
        if "remove_sensitivity" in step:
            return None  # the sensor's input units are not recorded in the trace
    return None


#: SAC's IDEP values of samples that are no accelerations, whatever units a caller names.
_SAC_NOT_ACCELERATION = {6: "displacements (IDISP)", 7: "velocities (IVEL)",
                         50: "volts (IVOLTS)"}


def _sac_quantity(trace):
    """What a SAC header's IDEP says the samples are, when no acceleration, or None.
    Only a trace as read: after ObsPy's processing the header may be out of date."""
    sac = trace.stats.get("sac")
    if not sac or trace.stats.get("processing"):
        return None
    idep = sac.get("idep")
    return _SAC_NOT_ACCELERATION.get(int(idep)) if idep is not None else None


def _sac(trace):
    """Station coordinates and event of a SAC header, where set (SAC's -12345 is unset)."""
    sac = trace.stats.get("sac")
    if not sac:
        return {}

    def value(key):
        v = sac.get(key)
        return None if v is None or float(v) == -12345.0 else float(v)

    event = None
    if any(value(k) is not None for k in ("evla", "evlo", "evdp", "mag")):
        origin = value("o")
        time = None
        if origin is not None and value("b") is not None:
            # SAC times are seconds from the reference time; the trace starts at b.
            time = _utc(trace.stats.starttime + (origin - value("b")))
        event = Event(time=time, latitude=value("evla"), longitude=value("evlo"),
                      depth=value("evdp"), magnitude=value("mag"))
    return dict(latitude=value("stla"), longitude=value("stlo"), elevation=value("stel"),
                event=event)


def from_trace(trace, units=None, *, inventory=None, path=None, format=NAME):
    """A `Record` of an ObsPy `Trace`.

    `units` names the unit of the samples ('g', 'm/s2', 'cm/s2', 'gal',
    'mm/s2'); with `inventory` instead (an ObsPy Inventory, or a StationXML
    file), the samples (counts) are divided by the channel's overall sensitivity. A trace made by `to_trace`, or one
    whose response ObsPy removed with output='ACC', states its own units.
    Otherwise RecordError: the samples may well be counts.
    """
    # ObsPy notes each step it takes (a trace of to_trace starts with none): the
    # record's steps are those before it, then ObsPy's.
    notes = [str(step) for step in trace.stats.get("processing", [])]
    processing = list(trace.stats.get(STATS_KEY, {}).get("processing", ())) + notes
    if units is not None and inventory is not None:
        raise ValueError("give units or inventory, not both")
    quantity = _sac_quantity(trace)
    if quantity is not None:
        raise _error(trace, path, f"the SAC header states the samples are {quantity}, "
                                  f"not accelerations")
    if units is not None:
        units = units_argument(units)
        _uncalibrated(trace, path)
        samples = _samples(trace, path)
    elif inventory is not None:
        # A StationXML file as well as an Inventory, as read_records takes them: a
        # path has no responses, and was reported as a trace the inventory lacked.
        inventory = load_inventory(inventory)
        samples, units = _from_inventory(trace, inventory, path)
        processing = [AS_RECORDED, *notes, _SENSITIVITY_REMOVED]
    else:
        units = _stated_units(trace)
        changed = _changed_quantity(trace) if units is not None else None
        if changed is not None:
            raise _error(trace, path, f"the samples are no longer accelerations (ObsPy: "
                                      f"{changed}): pass units= if they still are")
        if units is None:
            raise _error(trace, path, f"the samples' units are unknown "
                                           f"(counts?): pass units= (--units) when they are "
                                           f"accelerations, or inventory= (--inventory) to "
                                           f"divide counts by the sensitivity")
        samples = _samples(trace, path)
    stats = trace.stats
    metadata = dict(network=stats.network or None, station=stats.station or None,
                    location=stats.location or None, channel=stats.channel or None,
                    component=stats.channel or None, start_time=_utc(stats.starttime),
                    path=path, format=format, processing=tuple(processing), **_sac(trace))
    kept = _record_fields(trace)
    if path is not None:  # read from a file (an ObsPy pickle keeps stats): that file
        kept.pop("path", None)
        kept.pop("format", None)
    metadata.update(kept)
    if inventory is not None:
        try:
            coordinates = inventory.get_coordinates(trace.id, stats.starttime)
        except Exception:
            coordinates = {}
        for key in ("latitude", "longitude", "elevation"):
            if coordinates.get(key) is not None:
                metadata[key] = float(coordinates[key])
    if not _timed(trace):
        # ObsPy's step of a rate of 0 Hz is 0 s: one over it was a ZeroDivisionError.
        raise _error(trace, path, f"the trace states no sampling rate "
                                  f"({stats.sampling_rate!r} Hz): not samples in time")
    try:
        return Record.from_samples(samples, _trace_step(stats), units, **metadata)
    except ValueError as e:
        raise _error(trace, path, str(e)) from None


#: The fields of a record that a trace has no header for, kept by `to_trace`.
_KEPT = ("channel", "component", "station_name", "latitude", "longitude", "elevation", "event",
         "stated_pga", "path", "format")


def _record_fields(trace):
    """What `to_trace` kept of its record's fields, while the trace's codes are the ones it
    wrote (a trace renamed since is another channel); its start time None where the record
    stated none and the trace still starts at ObsPy's default."""
    ours = trace.stats.get(STATS_KEY)
    if not ours:
        return {}
    fields = {}
    if "fields" in ours and ours.get("id") == trace.id:
        fields = {name: ours["fields"].get(name) for name in _KEPT}
    if ours.get("no_start") and trace.stats.starttime == _obspy().UTCDateTime(0):
        fields["start_time"] = None
    return fields


def _timed(trace):
    """True for a trace of samples in time: a positive, finite sampling rate."""
    rate = float(trace.stats.sampling_rate)
    return math.isfinite(rate) and rate > 0.0


def to_trace(record):
    """An ObsPy `Trace` of the record: the samples in m/s² (a copy), its codes and start.

    The units, processing notes, exact time step and the fields a trace has no
    header for (the component's name, a numbered channel, coordinates, event,
    stated PGA, path and format, no start time) ride in `trace.stats.tavotools`, so that
    `from_trace` gives the record back.
    """
    obspy = _obspy()
    header = {"delta": record.dt, "network": record.network or "",
              "station": record.station or "", "location": record.location or "",
              "channel": "" if record.channel is None else str(record.channel)}
    if record.start_time is not None:
        header["starttime"] = obspy.UTCDateTime(record.start_time)
    trace = obspy.Trace(record.accel.copy(), header=header)
    trace.stats[STATS_KEY] = obspy.core.AttribDict(
        units="m/s2", dt=record.dt, processing=tuple(record.processing), id=trace.id,
        # ObsPy starts a trace without a start at 1970-01-01: not a time the record states.
        no_start=record.start_time is None,
        fields=obspy.core.AttribDict({name: getattr(record, name) for name in _KEPT}))
    return trace


def sniff(head):
    """Never by content: ObsPy is tried only when no reader recognises a file."""
    return False


#: ObsPy's names of formats that a reader of this package reads: a file that
#: ObsPy reads as one of these is one that reader refused, and its complaint
#: is the one to report.
OWN_FORMATS = {"KNET": "knet"}


class NotRead(UnrecognisedFormat):
    """ObsPy does not read the file either (or reads it as a format read here: `closest`)."""

    def __init__(self, path, line, reason, closest=None):
        super().__init__(path, line, reason)
        self.closest = closest

    def __reduce__(self):
        return type(self), (self.path, self.line, self.reason, self.closest)


def load_inventory(inventory):
    """An ObsPy Inventory: the one given, or the one read from a StationXML (or other) file."""
    if inventory is None or hasattr(inventory, "get_response"):
        return inventory
    obspy = _obspy()
    try:
        return obspy.read_inventory(inventory)
    except Exception as e:  # ObsPy's inventory readers raise anything on a bad file
        raise RecordError(inventory, None, f"cannot be read as an inventory "
                                           f"({type(e).__name__}: {e})") from None


def parse(source):
    """Every trace that `obspy.read` finds in the file, as records (see `from_trace`)."""
    try:
        obspy = _obspy()
    except ImportError as e:
        raise NotRead(source.path, None, str(e)) from None
    inventory = load_inventory(source.inventory)
    try:
        with warnings.catch_warnings():
            # Of a SAC step it rounded to the microsecond: `_trace_step` takes the
            # header's where that is exact.
            warnings.filterwarnings("ignore", "Sample spacing read from SAC file", UserWarning)
            stream = obspy.read(io.BytesIO(source.raw))
    except Exception as e:  # ObsPy's readers raise anything on a file that is not theirs
        reason = "unknown format" if isinstance(e, TypeError) else f"{type(e).__name__}: {e}"
        raise NotRead(source.path, None, f"ObsPy cannot read it ({reason})") from None
    if not stream:
        raise NotRead(source.path, None, "ObsPy finds no trace in it")
    fmt = stream[0].stats.get("_format", "")
    if fmt.upper() in OWN_FORMATS:
        raise NotRead(source.path, None, f"ObsPy reads it as {fmt}", OWN_FORMATS[fmt.upper()])
    # Dataloggers write their logs and state of health into the MiniSEED beside the
    # samples (a LOG channel in ASCII, channels of no sampling rate): not records.
    traces = [trace for trace in stream
              if np.asarray(trace.data).dtype.kind not in "SU" and _timed(trace)]
    if not traces:
        raise NotRead(source.path, None, "ObsPy finds only text or channels of no sampling "
                      "rate in it (" + ", ".join(sorted({trace.id for trace in stream}))
                      + "), no samples in time")
    name = f"{NAME}:{fmt.lower()}" if fmt else NAME
    return [from_trace(trace, source.units, inventory=inventory, path=source.path,
                       format=name) for trace in traces]
