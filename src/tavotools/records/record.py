"""What every reader returns: `Record` (one component's samples in m/s² and
what the file states about them), `Event`, `RecordError`, and the one rule
that tells a vertical component from a horizontal one by its name.
"""
from __future__ import annotations

import datetime as _dt
import numbers
import os
import re
from dataclasses import dataclass

import numpy as np

from .. import checks
from .units import UNITS, units_argument

__all__ = ["CORRECTED", "AS_RECORDED", "Event", "PackedFile", "Record", "RecordError", "SkippedFile",
           "UnrecognisedFormat", "is_vertical", "orientation"]

#: `Record.processing` entries that say what the samples have been through.
AS_RECORDED = "as recorded"
CORRECTED = "corrected by agency"


def path_name(path):
    """A path as the str that names it: bytes decoded as the file system's names are
    (`os.fsdecode`, undecodable bytes kept as escapes), never their repr ("b'...'")."""
    try:
        return os.fsdecode(path)
    except TypeError:
        return str(path)


class RecordError(ValueError):
    """A file that cannot be read as an accelerogram; names the file and, where one exists, the line."""

    def __init__(self, path, line, reason):
        self.path = path_name(path)
        self.line = line
        self.reason = reason
        where = self.path if line is None else f"{self.path}, line {line}"
        super().__init__(f"{where}: {reason}")

    def __reduce__(self):
        # Errors cross process boundaries (`--jobs`): rebuild from the parts.
        return type(self), (self.path, self.line, self.reason)


class UnrecognisedFormat(RecordError):
    """A file that no reader recognises (the message names the closest complaint)."""


class PackedFile(UnrecognisedFormat):
    """An archive or a compressed file other than gzip (zip, tar, bzip2, xz, ...): the
    records it holds are not read from it, and the message says to unpack it."""

    #: How every such message ends.
    ADVICE = "unpack it (a record file compressed alone by gzip is read as that file)"


class SkippedFile(UserWarning):
    """A file below a directory that is not a record file, left out."""


@dataclass(frozen=True)
class Event:
    """The earthquake a record belongs to, as far as its file states it.

    `time` is the origin time as a timezone-aware UTC datetime when the file
    states a time of day with its zone; `date` is the UTC date whenever a date
    is stated (also when only the date is). `latitude`/`longitude` in degrees
    (north and east positive), `depth` in km, `magnitude` with its
    `magnitude_type` ("Mw", "ML", ...) where the file names it.
    """

    name: str | None = None
    time: _dt.datetime | None = None
    date: _dt.date | None = None
    latitude: float | None = None
    longitude: float | None = None
    depth: float | None = None
    magnitude: float | None = None
    magnitude_type: str | None = None

    def __post_init__(self):
        # Checked where given: a time in text or a name of 5 failed only in str(event).
        for name in ("name", "magnitude_type"):
            _expect(name, getattr(self, name), str, "a str")
        for name in ("latitude", "longitude", "depth", "magnitude"):
            _real(name, getattr(self, name))
        object.__setattr__(self, "time", _utc(self.time, "time"))
        if self.date is not None and (not isinstance(self.date, _dt.date)
                                      or isinstance(self.date, _dt.datetime)):
            raise TypeError(f"date must be a date or None, not {_kind(self.date)}")
        if self.time is not None and self.date is None:
            object.__setattr__(self, "date", self.time.date())

    def __str__(self):
        return self.name or (self.date.isoformat() if self.date else "")

    def as_dict(self):
        """Plain data for JSON: the time and date in ISO 8601, None where not stated."""
        return {"name": self.name,
                "time": self.time.isoformat() if self.time else None,
                "date": self.date.isoformat() if self.date else None,
                "latitude": self.latitude, "longitude": self.longitude, "depth_km": self.depth,
                "magnitude": self.magnitude, "magnitude_type": self.magnitude_type}


# Component names, lower case with blanks, '-', '/', '_' and '.' taken out.
_VERTICAL = {"z", "v", "u", "up", "down", "dn", "dwn", "ud", "du", "updown", "ver", "vert",
             "vertical", "verticalup"}
_HORIZONTAL = {"h", "h1", "h2", "x", "y", "l", "t", "r", "long", "longitudinal", "tran", "trans",
               "transverse", "radial", "ns", "sn", "ew", "we", "n", "s", "e", "w", "north", "east",
               "south", "west", "horizontal", "hor", "horz"}
_DEGREES = re.compile(r"\d{1,3}(?:\.\d+)?(?:deg|degrees|°)?|[ns]\d{1,3}(?:\.\d+)?[ew]")
_SEED = re.compile(r"[a-z][a-z0-9]([zne12])")
# A SEED channel code: band, instrument, orientation ("HNE", "HH1").
_SEED_CHANNEL = re.compile(r"[A-Za-z][A-Za-z0-9][ZNE123zne]")


def orientation(component):
    """'vertical', 'horizontal', or None when the name does not say.

    Reads the names agencies give components: "up", "ver", "V", "Z", "UD",
    "HNZ" (a SEED channel code), "UD2" (a KiK-net sensor suffix) are
    vertical; "90 DEG", "360", "N00E", "NS", "EW", "HNE", "H1", "L", "T"
    horizontal; in any case.
    """
    if component is None:
        return None
    name = re.sub(r"[\s\-/_.]+", "", str(component).lower())
    if len(name) == 3 and name[-1] in "12" and name[:2] in {"ud", "ns", "ew"}:
        name = name[:2]  # KiK-net: 1 the borehole sensor, 2 the surface one
    if name in _VERTICAL:
        return "vertical"
    if name in _HORIZONTAL or _DEGREES.fullmatch(name):
        return "horizontal"
    m = _SEED.fullmatch(name)
    if m:
        return "vertical" if m.group(1) == "z" else "horizontal"
    return None


def is_vertical(component):
    """True when the component's name states the vertical direction."""
    return orientation(component) == "vertical"


_TEXT_FIELDS = ("units", "station", "component", "format", "network", "location",
                "station_name")
_NUMBER_FIELDS = ("stated_pga", "latitude", "longitude", "elevation")


def _kind(value):
    return f"{type(value).__name__} {value!r}"


def _expect(name, value, kind, words):
    """TypeError unless `value` is None or a `kind`."""
    if value is not None and not isinstance(value, kind):
        raise TypeError(f"{name} must be {words} or None, not {_kind(value)}")


def _utc(time, name="start_time"):
    """A time as an aware datetime in UTC; TypeError or ValueError otherwise."""
    if time is None:
        return None
    if not isinstance(time, _dt.datetime):
        raise TypeError(f"{name} must be a datetime or None, not {_kind(time)}")
    if time.tzinfo is None or time.utcoffset() is None:
        # A naive time could be any zone's: two records would be aligned by guesswork.
        raise ValueError(f"{name} must be timezone-aware (UTC), not the naive {time!r}")
    return time.astimezone(_dt.timezone.utc)


def _real(name, value):
    """TypeError unless `value` is None or a real number (a bool is none)."""
    if value is not None and (isinstance(value, (bool, np.bool_))
                              or not isinstance(value, numbers.Real)):
        raise TypeError(f"{name} must be a real number or None, not {_kind(value)}")


@dataclass(frozen=True, eq=False)
class Record:
    """One component of a ground-motion record.

    `accel` holds the samples in m/s² (float64, writable: the measures need a
    writable buffer, and `get_CAVstd_cy` writes into it, so pass it a copy);
    `dt` is the time step in s. `units` is the unit the file gave the samples
    in; records in g are scaled by `tavotools.constants.G`, g/10 by G / 10,
    cm/s² and gal by 0.01, mm/s² by 0.001.

    What the file states, None where it states nothing:
    `network`, `station`, `location`: the recording station (`station` is the
    station's code where the file gives one, else its name; `station_name` the
    station's name in words where the file gives it beside a code); `channel`: the channel as the file
    names it, an int for a numbered channel of a multi-channel file (DMG
    "CHAN 1") or a code such as "HNE"; `component`: the orientation as the
    file names it ("90 DEG", "up", "EW"); `latitude`, `longitude` (degrees,
    north and east positive), `elevation` (m) of the station; `event`: an
    `Event`; `start_time`: the time of the first sample, a timezone-aware UTC
    datetime; `stated_pga`: the peak acceleration the header states, in m/s²;
    `processing`: what the samples have been through, in order
    ("as recorded", "corrected by agency", "mean removed", ...), empty when
    the file does not say. `path` and `format` (the reader's name) say where
    the record comes from.

    A field of another type is a TypeError (a number for a text field, a str
    for `start_time`); a naive `start_time` a ValueError, an aware one is
    turned into UTC; `processing` given as one str is that one step.
    """

    accel: np.ndarray
    dt: float
    units: str = "m/s2"
    station: str | None = None
    component: str | None = None
    event: Event | None = None
    start_time: _dt.datetime | None = None
    stated_pga: float | None = None
    path: str | None = None
    format: str = "array"
    channel: int | str | None = None
    network: str | None = None
    location: str | None = None
    latitude: float | None = None
    longitude: float | None = None
    elevation: float | None = None
    processing: tuple = ()
    station_name: str | None = None

    def __post_init__(self):
        object.__setattr__(self, "accel", checks.samples(self.accel))
        object.__setattr__(self, "dt", checks.time_step(self.dt))
        object.__setattr__(self, "units", units_argument(self.units))
        if isinstance(self.event, str):
            object.__setattr__(self, "event", Event(name=self.event))
        # A field of the wrong type is refused here, where it is given: stored, it
        # would fail far from its cause (a path of 5 in repr, a start time in text
        # where two records are aligned) or compare wrongly ("5" is not 5).
        for name in _TEXT_FIELDS:
            _expect(name, getattr(self, name), str, "a str")
        for name in _NUMBER_FIELDS:
            _real(name, getattr(self, name))
        _expect("event", self.event, Event, "an Event or a str")
        channel = self.channel
        if channel is not None and (isinstance(channel, (bool, np.bool_))
                                    or not isinstance(channel, (int, np.integer, str))):
            raise TypeError(f"channel must be an int, a str or None, not {_kind(channel)}")
        if isinstance(self.path, os.PathLike):
            object.__setattr__(self, "path", os.fspath(self.path))
        _expect("path", self.path, str, "a str or a path")
        object.__setattr__(self, "start_time", _utc(self.start_time))
        # A str is one step, not its letters.
        processing = (self.processing,) if isinstance(self.processing, str) else self.processing
        object.__setattr__(self, "processing", tuple(processing))
        for step in self.processing:
            _expect("processing", step, str, "a sequence of str")

    @classmethod
    def from_samples(cls, samples, dt, units, **metadata):
        """Build a record from samples in `units` ('g', 'm/s2', 'cm/s2', 'gal', 'mm/s2')."""
        name = units_argument(units)
        # Not copied here: the product, or the record's own check, makes the copy.
        accel = checks.real(samples, "accel")
        factor = UNITS[name]
        if factor > 1.0:
            # A finite value in g may not be finite in m/s²: the check after
            # says so, without a warning from the multiplication.
            with np.errstate(over="ignore", invalid="ignore"):
                accel = accel * factor
        elif name != "m/s2":
            accel = accel * factor  # no larger than the value: no overflow to warn of
        return cls(accel, dt, name, **metadata)

    @classmethod
    def from_trace(cls, trace, units=None, *, inventory=None):
        """A record of an ObsPy `Trace` (needs ObsPy): see `tavotools.records.obspy.from_trace`.

        `units` names the samples' unit; with `inventory` instead, counts are
        divided by the channel's overall sensitivity.
        """
        from .obspy import from_trace

        return from_trace(trace, units, inventory=inventory)

    def to_trace(self):
        """An ObsPy `Trace` of the samples in m/s² (needs ObsPy)."""
        from .obspy import to_trace

        return to_trace(self)

    @property
    def npts(self):
        """Number of samples."""
        return int(self.accel.size)

    @property
    def duration(self):
        """Length of the record in seconds, npts × dt."""
        return self.npts * self.dt

    @property
    def time(self):
        """Time of each sample from the first, k × dt, in seconds."""
        return np.arange(self.npts) * self.dt

    @property
    def label(self):
        """Short name: the file's base name, with the channel number for multi-channel files."""
        base = os.path.basename(self.path) if self.path else (self.station or "record")
        numbered = isinstance(self.channel, int) and not isinstance(self.channel, bool)
        return f"{base}#{self.channel}" if numbered else base

    @property
    def event_time(self):
        """The event's origin time (an aware UTC datetime), or None."""
        return self.event.time if self.event else None

    @property
    def orientation(self):
        """'vertical' or 'horizontal' as the component's name states it, else None."""
        return orientation(self.component)

    @property
    def sensor(self):
        """The band and instrument codes of a SEED channel ("HN" of "HNE"), or None.

        A station may record on several sensors at once (an accelerometer HN?
        beside a broadband HH?): their components are not one recording.
        KiK-net's names ("NS1", "UD2") are directions, their sensor being the
        location.
        """
        channel = self.channel
        if not isinstance(channel, str) or not _SEED_CHANNEL.fullmatch(channel) \
                or channel[:2].lower() in ("ns", "ew", "ud"):
            return None
        return channel[:2].upper()

    @property
    def is_vertical(self):
        """True when the stated component names the vertical direction."""
        return self.orientation == "vertical"

    def __repr__(self):
        return (f"Record({self.label!r}, npts={self.npts}, dt={self.dt!r}, units={self.units!r}, "
                f"station={self.station!r}, component={self.component!r})")
