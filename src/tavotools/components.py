"""The components of one recording, each a `Record`, an ObsPy `Trace` (see
`Record.from_trace`) or samples in m/s² with their time step: checked, on one time step and one length (the longer ones cut
to the shortest when asked, and noted).
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import checks
from .records import Record

__all__ = ["Component", "Components", "geometric_mean", "matched"]


@dataclass(frozen=True, eq=False)
class Component:
    """One component as the caller named it: its samples (m/s², cut to the common
    length; the caller's own array where nothing was cut or copied), the file's
    label or the name, and the `Record` given, if one was."""

    name: str
    accel: np.ndarray
    label: str
    record: Record | None


@dataclass(frozen=True, eq=False)
class Components:
    """The matched components, their common time step (s) and what was done to them."""

    items: tuple
    dt: float
    notes: tuple

    @property
    def npts(self):
        return int(self.items[0].accel.size)


def geometric_mean(x1, x2):
    """sqrt(x1 · x2) of two non-negative measures (floats or arrays, elementwise).

    Where the product leaves the normal range (peaks beyond about 1e154, or below
    1e-154), it is sqrt(x1) · sqrt(x2) instead, which stays finite and accurate;
    everywhere else the bits are those of sqrt(x1 · x2). A negative measure is a
    ValueError: the product of two would pass for a positive one's. NaN gives NaN.
    """
    for name, x in (("x1", x1), ("x2", x2)):
        negative = np.less(x, 0.0)
        if np.any(negative):
            value = np.asarray(x)[negative].flat[0] if np.ndim(x) else x
            raise ValueError(f"{name} must be a non-negative measure, not {float(value)!r}")
    with np.errstate(over="ignore", under="ignore"):
        product = np.multiply(x1, x2)
        outside = ((product == np.inf) | (product < np.finfo(np.float64).tiny)) \
            & np.isfinite(x1) & np.isfinite(x2)
        gm = np.sqrt(product)
        split = np.sqrt(x1) * np.sqrt(x2)
    gm = np.where(outside, split, gm)
    return float(gm) if gm.ndim == 0 else gm


def _listed(words):
    words = [str(w) for w in words]
    return words[0] if len(words) == 1 else ", ".join(words[:-1]) + " and " + words[-1]


def _one(name, item, dt):
    if item is None:
        # A component left out, not samples short of their dt.
        raise ValueError(f"{name}: accel must be numbers, not None")
    if checks.is_trace(item):
        # A trace states its step, and its units or that they are unknown.
        if dt is not None:
            raise ValueError(f"{name}: dt is given by the trace itself")
        item = Record.from_trace(item)
    if dt is None and not isinstance(item, Record):
        raise ValueError(f"{name}: an array of samples needs dt")
    try:
        step = None if dt is None else checks.time_step(dt)
        record = item if isinstance(item, Record) else Record(item, step)
    except (TypeError, ValueError, OverflowError) as e:
        raise ValueError(f"{name}: {e}") from None
    if record is item:
        if step is not None and step != item.dt:
            raise ValueError(f"{name}: dt {dt!r} given for a record whose dt is {item.dt!r}")
        # A record's samples are writable: one made NaN since is named by its component.
        try:
            checks.all_finite(item.accel)
        except ValueError as e:
            raise ValueError(f"{name}: {e}") from None
        return item.accel, item.dt, item.label, item
    return record.accel, record.dt, name, None


#: What records state of where they were recorded, with the words of the message.
_PLACE = (("stations", lambda r: r.station), ("networks", lambda r: r.network),
          ("locations", lambda r: r.location), ("sensors", lambda r: r.sensor))


def _one_station(names, records):
    """ValueError for records that state different stations, networks, locations or
    sensors (HN and HH of a SEED channel code): not the components of one motion.
    What only one of them states is not compared."""
    for what, get in _PLACE:
        stated = [(n, get(r)) for n, r in zip(names, records) if r is not None]
        stated = [(n, v) for n, v in stated if v is not None]
        if len({v for _, v in stated}) > 1:
            raise ValueError(f"{_listed([n for n, _ in stated])} are records of different "
                             f"{what} ({_listed([repr(v) for _, v in stated])}): not the "
                             f"components of one motion")
    _distinct(names, records)


def _channel_key(record):
    """What names a record's channel at its station: a channel code in any case ("hne" is
    "HNE"), or a channel number within its file (files number their channels each from 1)."""
    channel = record.channel
    if channel is None:
        return None
    if isinstance(channel, str):
        return channel.strip().upper() or None
    return (record.path, int(channel)) if record.path is not None else None


def _distinct(names, records):
    """ValueError for two records of one station that name the same channel: one
    component given twice would be combined with itself as if it were another."""
    seen = {}
    for name, record in zip(names, records):
        key = None if record is None else _channel_key(record)
        if key is None:
            continue
        if key in seen:
            raise ValueError(f"{seen[key]} and {name} are both channel {record.channel!r}: "
                             f"the same component given twice, not two components of one "
                             f"motion")
        seen[key] = name


def matched(names, items, dt=None, trim=False):
    """The components `items`, named `names` in messages ("H1", "H2", "V").

    Raises ValueError for an item that is not a record's samples, records
    that state different stations (networks, locations, sensors), a missing
    `dt` or one that disagrees with a record's, components of different time
    steps, or of different lengths unless `trim` (then cut to the shortest).
    Returns `Components`.
    """
    given = [_one(n, c, dt) for n, c in zip(names, items)]
    _one_station(names, [g[3] for g in given])
    steps = [g[1] for g in given]
    if len(set(steps)) != 1:
        raise ValueError(f"{_listed(names)} have different time steps ("
                         + ", ".join(f"{s!r}" for s in steps) + " s): they must share one")
    lengths = [g[0].size for g in given]
    shortest = min(lengths)
    notes = ()
    if len(set(lengths)) != 1:
        if not trim:
            raise ValueError(f"{_listed(names)} hold {_listed(lengths)} samples: components of "
                             f"one record must have the same length (trim cuts them to the "
                             f"shortest, {shortest})")
        notes = (f"trimmed to {shortest} samples (" + ", ".join(
            f"{n} dropped {n_k - shortest}" for n, n_k in zip(names, lengths)
            if n_k > shortest) + ")",)
    return Components(
        items=tuple(Component(n, a[:shortest], label, record)
                    for n, (a, _, label, record) in zip(names, given)),
        dt=steps[0], notes=notes)
