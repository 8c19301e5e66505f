"""The work of one task, in a worker: read a batch of neighbouring files, group
their records into recordings (the components of one station's recording of
one motion), and turn each recording into a flatfile row.

A file that cannot be read is an error of that file only; the batch goes on.
"""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from datetime import timezone

import numpy as np

from ..obe import PSA_BAND, PSV_BAND
from ..processing import apply_steps
from ..records import RecordError, UnrecognisedFormat, read_records
from ..summary import measure_recording
from .schema import COMPONENTS, PERCENTILES, SUMMARY_FIELDS, Schema, period_label

__all__ = ["Options", "Result", "group_records", "orientation_slots", "process_batch",
           "recording_key", "sensor_code"]


@dataclass(frozen=True)
class Options:
    """What every task of a run shares: the spectra's periods and the reading options."""

    periods: tuple = ()
    dt: float | None = None
    units: str | None = None
    process: str | None = None

    def settings(self):
        """The options that change the rows, as plain data (a changed setting recomputes all)."""
        return {"periods": [repr(float(T)) for T in self.periods], "dt": self.dt,
                "units": self.units, "process": self.process}


@dataclass
class Result:
    """What a task returns: rows, the files that failed, and those that are not records.

    `rows` holds (directory, key, sort key, files, text values, float values,
    float mask) per row, `files` being the absolute paths it was computed
    from (the rows of a set split into one per component share its key); `errors` and `skipped` hold (file, reason).
    `unread` holds (file, reason) of the files the system would not let the task
    read (permissions, an I/O error): failures of this run, not of their content.
    """

    rows: list = field(default_factory=list)
    errors: list = field(default_factory=list)
    skipped: list = field(default_factory=list)
    unread: list = field(default_factory=list)


# ---- grouping -------------------------------------------------------------------


def _text(value):
    return None if value is None else str(value)


def sensor_code(record):
    """The band and instrument codes of a SEED channel ("HN" of "HNE"), or None:
    `Record.sensor`."""
    return record.sensor


def recording_key(record, path):
    """The key shared by the components of one recording.

    Records that state their station are grouped by format, network, station,
    location, start time, event, processing and, for SEED channel codes,
    sensor; records that do not state their station are grouped by file.
    """
    if not record.station:
        return ("file", path)
    event = record.event
    key = ("station", record.format, record.network, record.station, record.location,
           _iso(record.start_time), _text(event and (event.name, event.time, event.date)),
           record.processing)
    sensor = sensor_code(record)
    return key if sensor is None else key + (sensor,)


def orientation_slots(records):
    """(h1, h2, v) from the records of one recording, or None when they do not fit.

    Horizontals keep their reading order (file name, then channel); a
    component whose name states no direction counts as horizontal.  A set with
    more than two horizontals or more than one vertical does not fit.
    """
    vertical = [r for r in records if r.orientation == "vertical"]
    horizontal = [r for r in records if r.orientation != "vertical"]
    if len(vertical) > 1 or len(horizontal) > 2:
        return None
    h = horizontal + [None] * (2 - len(horizontal))
    return h[0], h[1], vertical[0] if vertical else None


def group_records(items):
    """Group (path, record) pairs in reading order into recordings: lists of (path, record).

    Returns a list of (key, members); a set of components that does not form
    one recording (several sensors of one station) becomes one row per record,
    its key the group's key followed by "split" and the record's place.
    """
    groups = {}
    for path, record in items:
        groups.setdefault(recording_key(record, path), []).append((path, record))
    out = []
    for key, members in groups.items():
        if orientation_slots([r for _, r in members]) is not None:
            out.append((key, members))
        else:
            out += [(key + ("split", f"{p}#{k}"), [(p, r)]) for k, (p, r) in enumerate(members)]
    return out


# ---- rows ---------------------------------------------------------------------


def _iso(time):
    """An aware datetime in ISO 8601, UTC; None stays None."""
    return None if time is None else time.astimezone(timezone.utc).isoformat()


def _common_stem(names):
    """The common start of the file names, trimmed of separators: 'CHB0021412312349'."""
    stem = os.path.commonprefix(names).rstrip("._-#")
    return stem if stem else names[0]


class RowBuilder:
    """Builds the row of one recording; holds the schema's column positions."""

    def __init__(self, options):
        self.options = options
        self.schema = Schema(options.periods)
        self.index = {name: k for k, name in enumerate(self.schema.floats)}
        self.periods = np.array(options.periods, dtype=np.float64)
        labels = [period_label(T) for T in options.periods]

        def positions(prefix):
            return np.array([self.index[f"{prefix}_PSA_{t} (m/s2)"] for t in labels], dtype=np.intp)

        # Column positions of the spectra, so that a spectrum goes in at once.
        self.psa = {name: positions(name) for name in
                    COMPONENTS + tuple(f"RotD{p:g}" for p in PERCENTILES) + ("GM",)}
        T = self.periods
        self.in_psa_band = (T >= 1.0 / PSA_BAND[1]) & (T <= 1.0 / PSA_BAND[0])
        self.in_psv_band = (T >= 1.0 / PSV_BAND[1]) & (T <= 1.0 / PSV_BAND[0])

    def build(self, members, shown):
        """(text values, float values, float mask) of one recording.

        `members` are (path, record) pairs; `shown` maps a path to the name
        the row shows for it.  The file columns hold the paths themselves: the
        run that writes the flatfile shows them as it was given them
        (`State.rows`), whichever run computed the row.
        """
        records = [r for _, r in members]
        h1, h2, v = orientation_slots(records)
        text = dict.fromkeys(self.schema.others)
        values = np.zeros(len(self.schema.floats))
        mask = np.zeros(len(self.schema.floats), dtype=bool)

        def put(name, value):
            if value is not None:
                k = self.index[name]
                values[k] = value
                mask[k] = True

        def put_spectrum(name, spectrum):
            k = self.psa[name]
            values[k] = spectrum
            mask[k] = True

        first = records[0]
        files = [shown[p] for p, _ in members]
        names = sorted({os.path.basename(f) for f in files})
        label = names[0] if len(names) == 1 else _common_stem(names)
        if first.channel is not None and len(records) == 1:
            label = first.label   # one channel of a multi-channel file
        notes = []
        event = first.event
        text.update({
            "recording": label,
            "format": ", ".join(dict.fromkeys(r.format for r in records)),
            "processing": "; ".join(first.processing) or None,
            "network": first.network,
            "station": first.station,
            "station_name": first.station_name,
            "location": first.location,
            "start_time (UTC)": _iso(first.start_time),
            "components": len(records),
        })
        put("dt (s)", first.dt)
        put("station_latitude (deg)", first.latitude)
        put("station_longitude (deg)", first.longitude)
        put("station_elevation (m)", first.elevation)
        if event is not None:
            text["event"] = event.name
            text["event_time (UTC)"] = _iso(event.time)
            # The date alone where the file states no time of day (BHRC, AT2), or no zone for it.
            text["event_date (UTC)"] = event.date.isoformat() if event.date else None
            text["magnitude_type"] = event.magnitude_type
            put("event_latitude (deg)", event.latitude)
            put("event_longitude (deg)", event.longitude)
            put("event_depth (km)", event.depth)
            put("magnitude", event.magnitude)

        slots = dict(zip(COMPONENTS, (h1, h2, v)))
        # Summaries, spectra and RotD of the recording, each computed once.
        measured = measure_recording(h1, h2, v, self.periods)
        combined, spectra = measured.combined, measured.spectra
        for slot, record in slots.items():
            if record is None:
                continue
            path = next(p for p, r in members if r is record)
            text[f"{slot}_file"] = path
            text[f"{slot}_channel"] = _text(record.channel)
            text[f"{slot}_component"] = record.component
            text[f"{slot}_npts"] = record.npts
            put(f"{slot}_stated_PGA (m/s2)", record.stated_pga)
            s = measured.summaries[slot]
            units = s.units()
            for field_name, title in SUMMARY_FIELDS:
                put(f"{slot}_{title} ({units[field_name]})", getattr(s, field_name))
            if slot in spectra:
                put_spectrum(slot, spectra[slot][0])
        if measured.rotd is not None:
            notes += measured.rotd.notes
            self._put_rotated(measured.rotd, put, put_spectrum)
        elif h1 is not None and h2 is not None:
            notes.append("a horizontal holds one sample: no RotD")
        notes += measured.notes

        if combined is not None:
            put("CAVstd_gm (m/s)", combined.CAVstd_gm)
            put("max_CAVstd (m/s)", combined.max_CAVstd)
            if not (self.in_psa_band.any() and self.in_psv_band.any()):
                notes.append("no period from 0.1 to 0.5 s or from 0.5 to 1 s: no CAVdp")
            else:
                # The peaks over the components at the run's periods inside the bands.
                max_psa = max(float(psa[self.in_psa_band].max()) for psa, _ in spectra.values())
                max_psv = max(float(psv[self.in_psv_band].max()) for _, psv in spectra.values())
                put("max_PSA_2-10Hz (m/s2)", max_psa)
                put("max_PSV_1-2Hz (m/s)", max_psv)
                cavdp = combined.cavdp(max_psa, max_psv)
                put("CAVdp (m/s)", float(cavdp))
                text["damage_potential"] = isinstance(cavdp, float)
        text["notes"] = "; ".join(notes) or None
        return text, values, mask

    @staticmethod
    def _put_rotated(r, put, put_spectrum):
        for k, p in enumerate(PERCENTILES):
            put(f"RotD{p:g}_PGA (m/s2)", float(r.PGA[k]))
            put(f"RotD{p:g}_PGV (m/s)", float(r.PGV[k]))
            if r.periods.size:
                put_spectrum(f"RotD{p:g}", r.PSA[k])
        gm = r.geometric_mean
        put("GM_PGA (m/s2)", gm.PGA)
        put("GM_PGV (m/s)", gm.PGV)
        if r.periods.size:
            put_spectrum("GM", gm.PSA)


# ---- one task -------------------------------------------------------------------


def _read(path, options):
    records = read_records(path, dt=options.dt, units=options.units)
    if options.process:
        records = [apply_steps(r, options.process) for r in records]
    return records


def _reason(error):
    """The message of a failure, without the file name that the errors file shows beside it."""
    if isinstance(error, RecordError) and getattr(error, "reason", None):
        line = getattr(error, "line", None)
        return f"line {line}: {error.reason}" if line else error.reason
    return f"{type(error).__name__}: {error}" if str(error) else type(error).__name__


def _unreadable(error):
    """Whether `error` tells that the system refused the file (the reader's error
    raised while handling the system's, which carries an error number), rather than
    what the file holds: a gzip file that is not one carries none."""
    cause = error if isinstance(error, OSError) else error.__context__
    return isinstance(cause, OSError) and cause.errno is not None


def process_batch(files, options, only=None):
    """Read `files` ((path, shown name, explicit), one directory) and build their rows.

    With `only` (a recording's key, as stored), builds that recording's row
    alone: the files were read before, and their other rows are stored.
    Returns a `Result`.  Never raises for a bad file: its reason goes to
    `errors`, the other files go on.  A file that no reader recognises (an
    event.json) goes to `skipped` however it was found: each run counts it as
    it finds it, a failure when named (`State.errors`).
    """
    result = Result()
    builder = RowBuilder(options)
    items, shown = [], {}
    for path, name, _ in files:
        shown[path] = name
        try:
            records = _read(path, options)
            if not records:
                raise RecordError(name, None, "no record in the file")
        except UnrecognisedFormat as e:
            result.skipped.append((path, _reason(e)))
            continue
        except Exception as e:  # a bad file is reported, whatever it raised
            (result.unread if _unreadable(e) else result.errors).append((path, _reason(e)))
            continue
        items += [(path, r) for r in records]
    for key, members in group_records(items):
        base = key[:-2] if key[-2:-1] == ("split",) else key
        if only is not None and repr(base) != only:
            continue
        try:
            text, values, mask = builder.build(members, shown)
        except Exception as e:
            result.errors += [(p, _reason(e)) for p in dict.fromkeys(p for p, _ in members)]
            continue
        paths = list(dict.fromkeys(p for p, _ in members))
        sort_key = f"{min(paths)}\x00{(_text(members[0][1].channel) or '').rjust(9)}"
        # The rows of a split set share its key: the state sees them as one
        # recording, to be merged whole with components read by other tasks.
        result.rows.append((os.path.dirname(paths[0]), repr(base), sort_key, paths,
                            text, values, mask))
    return result
