"""The columns of a flatfile: one row per recording, the unit of every value in
its column's name.  The schema depends only on the periods of the spectra, so
every row of a run (and of the runs it resumes) has the same columns.
"""
from __future__ import annotations

from dataclasses import dataclass, fields

from ..render import period_label
from ..summary import ROTD_PERCENTILES, Summary

__all__ = ["COMPONENTS", "Column", "Schema", "period_label"]

#: The component slots of a row: two horizontals and the vertical.
COMPONENTS = ("H1", "H2", "V")

#: Percentiles of the rotated measures.
PERCENTILES = ROTD_PERCENTILES

# Fields of `Summary` that the row carries, with their column titles; the
# units come from the dataclass itself.
SUMMARY_FIELDS = (
    ("PGA", "PGA"), ("PGV", "PGV"), ("Ia", "Ia"), ("D5_75", "D5-75"), ("D5_95", "D5-95"),
    ("CAV", "CAV"), ("CAV5", "CAV5"), ("CAVstd", "CAVstd"),
)


@dataclass(frozen=True)
class Column:
    """One column: `kind` is "str", "int", "float", "bool" or "time" (UTC)."""

    name: str
    kind: str
    doc: str
    unit: str | None = None




def _named(title, unit):
    return f"{title} ({unit})" if unit else title


def _summary_docs():
    return {f.name: f.metadata.get("doc", "") for f in fields(Summary)}


class Schema:
    """The columns for spectra at `periods` (s); `floats` lists the float columns in order."""

    def __init__(self, periods=()):
        self.periods = tuple(float(T) for T in periods)
        units, docs = Summary.units(), _summary_docs()
        cols = [
            Column("recording", "str", "name of the recording: the file, or the files' common stem"),
            Column("format", "str", "format of the file(s), as the reader names it"),
            Column("processing", "str", "what was applied to the samples, in order"),
            Column("network", "str", "network code"),
            Column("station", "str", "station code, or its name where the file gives no code"),
            Column("station_name", "str", "station name in words, where the file gives it beside a code"),
            Column("location", "str", "location code or sensor position"),
            Column(_named("station_latitude", "deg"), "float", "station latitude", "deg"),
            Column(_named("station_longitude", "deg"), "float", "station longitude", "deg"),
            Column(_named("station_elevation", "m"), "float", "station elevation", "m"),
            Column(_named("start_time", "UTC"), "time", "time of the first sample", "UTC"),
            Column("event", "str", "event name or identifier"),
            Column(_named("event_time", "UTC"), "time", "origin time of the event", "UTC"),
            Column(_named("event_date", "UTC"), "str",
                   "date of the event (ISO 8601), also where the file states no time of day",
                   "UTC"),
            Column(_named("event_latitude", "deg"), "float", "epicentre latitude", "deg"),
            Column(_named("event_longitude", "deg"), "float", "epicentre longitude", "deg"),
            Column(_named("event_depth", "km"), "float", "hypocentre depth", "km"),
            Column("magnitude", "float", "event magnitude"),
            Column("magnitude_type", "str", "magnitude scale (Mw, ML, Mj, ...)"),
            Column(_named("dt", "s"), "float", "time step", "s"),
            Column("components", "int", "number of components in the row (1 to 3)"),
            Column("notes", "str", "what was done to combine the components (trimming, ...)"),
        ]
        for c in COMPONENTS:
            cols += [
                Column(f"{c}_file", "str", f"{c}: file it was read from"),
                Column(f"{c}_channel", "str", f"{c}: channel as the file names it: a number in a "
                                              f"multi-channel file, or a code (HNE, EW2)"),
                Column(f"{c}_component", "str", f"{c}: component as the file names it"),
                Column(f"{c}_npts", "int", f"{c}: number of samples"),
                Column(_named(f"{c}_stated_PGA", "m/s2"), "float",
                       f"{c}: peak acceleration the file's header states", "m/s2"),
            ]
            cols += [Column(_named(f"{c}_{title}", units[name]), "float",
                            f"{c}: {docs[name]}", units[name]) for name, title in SUMMARY_FIELDS]
            cols += [Column(_named(f"{c}_PSA_{period_label(T)}", "m/s2"), "float",
                            f"{c}: pseudo-spectral acceleration, 5 % damping, T = "
                            f"{period_label(T)}", "m/s2") for T in self.periods]
        for p in PERCENTILES:
            name = f"RotD{p:g}"
            cols += [Column(_named(f"{name}_PGA", "m/s2"), "float",
                            f"{name} of the peak acceleration of the two horizontals", "m/s2"),
                     Column(_named(f"{name}_PGV", "m/s"), "float",
                            f"{name} of the peak velocity of the two horizontals", "m/s")]
            cols += [Column(_named(f"{name}_PSA_{period_label(T)}", "m/s2"), "float",
                            f"{name} of PSA, 5 % damping, T = {period_label(T)}", "m/s2")
                     for T in self.periods]
        cols += [Column(_named("GM_PGA", "m/s2"), "float",
                        "geometric mean of the horizontals' PGA", "m/s2"),
                 Column(_named("GM_PGV", "m/s"), "float",
                        "geometric mean of the horizontals' PGV", "m/s")]
        cols += [Column(_named(f"GM_PSA_{period_label(T)}", "m/s2"), "float",
                        f"geometric mean of the horizontals' PSA, T = {period_label(T)}", "m/s2")
                 for T in self.periods]
        cols += [
            Column(_named("CAVstd_gm", "m/s"), "float",
                   "geometric mean of the horizontals' CAVstd", "m/s"),
            Column(_named("max_CAVstd", "m/s"), "float", "maximum CAVstd of the three", "m/s"),
            Column(_named("max_PSA_2-10Hz", "m/s2"), "float",
                   "maximum PSA (5 %) over the three components at the periods from "
                   "0.1 to 0.5 s", "m/s2"),
            Column(_named("max_PSV_1-2Hz", "m/s"), "float",
                   "maximum PSV (5 %) over the three components at the periods from "
                   "0.5 to 1 s", "m/s"),
            Column(_named("CAVdp", "m/s"), "float",
                   "damage-potential CAV: CAVstd_gm when the three cut-offs are exceeded, else 0",
                   "m/s"),
            Column("damage_potential", "bool",
                   "the three cut-offs of the damage-potential CAV are exceeded"),
        ]
        names = [c.name for c in cols]
        if len(set(names)) != len(names):
            raise ValueError("periods must be distinct")
        self.columns = tuple(cols)
        self.floats = tuple(c.name for c in cols if c.kind == "float")
        self.others = tuple(c.name for c in cols if c.kind != "float")

    def __len__(self):
        return len(self.columns)
