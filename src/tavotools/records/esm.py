"""Engineering Strong-Motion database ASCII (Europe), both the `*.ACC.ASC`
files and the older `*RawAcc*.asc`: a header of `KEY: value` lines (NDATA,
SAMPLING_INTERVAL_S, UNITS, PGA_CM/S^2, ...), then the samples. Times are UTC.
A DURATION_S that is not NDATA x SAMPLING_INTERVAL_S (to a step) is refused.
"""
from __future__ import annotations

import re

from .fields import Lines, free_block, no_more_numbers, real
from .record import AS_RECORDED, CORRECTED, Event
from .source import decode_name
from .times import utc
from .units import UNITS, normalize_units

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "esm"
SUFFIXES = ()

_KEY = re.compile(r"([A-Z][A-Z0-9_/^().\-]*)\s*:[ \t]*(.*)")
_STAMP = re.compile(r"(\d{4})(\d\d)(\d\d)[_ T]?(\d\d)(\d\d)(\d\d(?:\.\d*)?)")
_NONE = {"", "NONE", "NO", "N/A", "NA", "-", "NULL", "UNKNOWN"}


def sniff(head):
    """`KEY: value` lines that state NDATA and SAMPLING_INTERVAL_S."""
    return "\nNDATA:" in head and "\nSAMPLING_INTERVAL_S:" in head


def header(lines):
    """{KEY: (value, offset of its line)} of the header; `lines` is left at the data."""
    fields = {}
    while lines.skip_blank():
        m = _KEY.fullmatch(lines.peek().strip())
        if m is None:
            break
        at, _ = lines.take("the header")
        key, value = m.group(1).upper(), m.group(2).strip()
        if key in fields and fields[key][0] != value:
            # Two values for one key: the file does not say which holds.
            raise lines.error(at, f"{key} stated twice, as {fields[key][0]!r} and {value!r}")
        fields.setdefault(key, (value, at))
    return fields


def _get(fields, key):
    value = fields.get(key, ("", None))[0]
    return None if value.upper() in _NONE else value


def _code(fields, key):
    """A network, station or stream code as written, None when empty: "NO"
    (NORSAR) and "NA" are network codes, not the words for "none" that `_get` passes over."""
    return fields.get(key, ("", None))[0] or None


def _number(lines, fields, key, positive=False):
    text = _get(fields, key)
    if text is None:
        return None
    value = real(text)
    if value is None or (positive and not value > 0.0):
        raise lines.error(fields[key][1], f"{key} {text!r} is not a "
                                          f"{'positive ' if positive else ''}number")
    return value


def _time(lines, fields, key, text=None):
    text = _get(fields, key) if text is None else text
    if text is None:
        return None
    m = _STAMP.fullmatch(text.replace(" ", ""))
    when = None if m is None else utc(*(int(g) for g in m.groups()[:5]), float(m.group(6)))
    if when is None:
        raise lines.error(fields[key][1], f"{key} {text!r} is not a date and time")
    return when


def _event(lines, fields):
    date, time = _get(fields, "EVENT_DATE_YYYYMMDD"), _get(fields, "EVENT_TIME_HHMMSS")
    when = _time(lines, fields, "EVENT_TIME_HHMMSS", date + time) if date and time else None
    magnitude = kind = None
    for key, name in (("MAGNITUDE_W", "Mw"), ("MAGNITUDE_L", "ML"), ("MAGNITUDE_S", "Ms"),
                      ("MAGNITUDE_B", "mb")):
        magnitude = _number(lines, fields, key)
        if magnitude is not None:
            kind = name
            break
    return Event(name=decode_name(_get(fields, "EVENT_NAME") or "") or _get(fields, "EVENT_ID"), time=when,
                 latitude=_number(lines, fields, "EVENT_LATITUDE_DEGREE"),
                 longitude=_number(lines, fields, "EVENT_LONGITUDE_DEGREE"),
                 depth=_number(lines, fields, "EVENT_DEPTH_KM"),
                 magnitude=magnitude, magnitude_type=kind)


def _processing(fields):
    """What the agency did, from FILTER_TYPE (a filtered record is a corrected one)
    and BASELINE_CORRECTION."""
    baseline = _get(fields, "BASELINE_CORRECTION")
    kind = _get(fields, "FILTER_TYPE")
    if kind is None:
        return (AS_RECORDED,) + ((f"{baseline.lower()} by agency",) if baseline else ())
    low, high = _get(fields, "LOW_CUT_FREQUENCY_HZ"), _get(fields, "HIGH_CUT_FREQUENCY_HZ")
    order = _get(fields, "FILTER_ORDER")
    band = f" {low or '0'}-{high or 'Nyquist'} Hz" if low or high else ""
    done = f"{kind.lower()} filter{band}" + (f", order {order}" if order else "")
    return (CORRECTED,) + ((baseline.lower(),) if baseline else ()) + (done,)


def parse(source):
    """One record: NDATA samples at SAMPLING_INTERVAL_S in UNITS."""
    lines = Lines(source)
    fields = header(lines)
    for key in ("NDATA", "SAMPLING_INTERVAL_S"):
        if key not in fields:
            # The header ends at its first line that is no `KEY: value`: where that
            # is not the samples, that line is the fault.
            line = lines.peek()
            if line is not None and not all(real(t) is not None for t in line.split()):
                raise lines.error(lines.pos, f"{line.strip()[:40]!r} is not a 'KEY: value' "
                                             f"header line (no {key} before it)")
            raise lines.error(None, f"header has no {key}")
    kind = _get(fields, "DATA_TYPE")
    if kind is not None and "ACC" not in kind.upper():
        raise lines.error(fields["DATA_TYPE"][1], f"DATA_TYPE {kind}: only acceleration "
                                                  f"records are read")
    npts_text, npts_line = fields["NDATA"]
    npts = real(npts_text)
    # Two bytes at least per sample: a count the file cannot hold is refused
    # before anything is allocated for it.
    if npts is None or npts != int(npts) or not 0 < npts <= len(source.data):
        raise lines.error(npts_line, f"NDATA {npts_text!r} is not a sample count")
    npts = int(npts)
    dt = _number(lines, fields, "SAMPLING_INTERVAL_S", positive=True)
    # Only read to be checked: a length that is no number is passed over, as before.
    duration = real(_get(fields, "DURATION_S") or "")
    if duration is not None:
        # NDATA x the interval, to a step (whether the last one is counted) and the
        # printed decimals: a header that states its step two ways that differ is refused.
        half = 0.5 * 10.0 ** -len(_get(fields, "DURATION_S").partition(".")[2])
        if abs(duration - npts * dt) > dt + half:
            raise lines.error(fields["DURATION_S"][1],
                              f"DURATION_S {duration:g} s is not the {npts} samples at "
                              f"{dt:g} s of NDATA and SAMPLING_INTERVAL_S ({npts * dt:g} s)")
    units_text = _get(fields, "UNITS")
    units = normalize_units(units_text) if units_text else source.units
    if units is None:
        where = fields["UNITS"][1] if "UNITS" in fields else None
        raise lines.error(where, f"UNITS {units_text!r} is not an acceleration unit"
                          if units_text else "header states no UNITS: pass units")
    samples, end = free_block(lines, npts)
    no_more_numbers(lines, end, npts, "samples")
    pga = _number(lines, fields, "PGA_CM/S^2")
    stream = _code(fields, "STREAM")
    return [source.record(
        samples, dt, units,
        network=_code(fields, "NETWORK"),
        station=_code(fields, "STATION_CODE"),
        station_name=decode_name(_get(fields, "STATION_NAME") or "") or None,
        location=_get(fields, "LOCATION"),
        channel=stream,
        component=stream,
        latitude=_number(lines, fields, "STATION_LATITUDE_DEGREE"),
        longitude=_number(lines, fields, "STATION_LONGITUDE_DEGREE"),
        elevation=_number(lines, fields, "STATION_ELEVATION_M"),
        start_time=_time(lines, fields, "DATE_TIME_FIRST_SAMPLE_YYYYMMDD_HHMMSS"),
        event=_event(lines, fields),
        stated_pga=None if pga is None else abs(pga) * UNITS["cm/s2"],
        format=NAME,
        processing=_processing(fields),
    )]
