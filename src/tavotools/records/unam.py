"""UNAM Instituto de Ingeniería (Mexico) standard acceleration files
("ARCHIVO ESTANDAR DE ACELERACION"): a header of "KEY : value" lines, values
of several channels written "/v1/v2/v3", then the channels side by side in
the Fortran format the header states ("3F10.3"), one sample of each a line,
after a ruler line, the channel names and another ruler (which must be the
header's orientations, in their order).

Read from the header: the number of samples ("NUM. TOTAL DE MUESTRAS"), the
time step ("INTERVALO DE MUESTREO"), the orientations, the units ("UNIDADES
DE LOS DATOS"), the peaks ("ACEL. MAX."), the station and its coordinates,
the event (date and epicentre time in GMT, epicentre, depth, magnitudes).
The first sample's time is stated as a time of day ("HORA DE LA PRIMERA
MUESTRA (GMT)"): it is taken on the event's date, or the day after when that
would start the record more than 12 hours before the origin. A time is read
only where its key names the zone GMT or UTC (a local time is not guessed at),
and a date where its key names that zone or none. Rows after the
stated count that repeat the last one are padding (the files end so) and are
not read; any other row there is an error.
"""
from __future__ import annotations

import datetime as _dt
import itertools
import re

import numpy as np

from .. import _parse
from .fields import Lines, fixed_block, real, upper
from .record import AS_RECORDED, Event
from .source import decode_name
from .times import utc
from .units import UNITS, UNITS_HINT, normalize_units

__all__ = ["NAME", "SUFFIXES", "parse", "sniff"]

NAME = "unam"
SUFFIXES = ()

_KEY = re.compile(r"^([^:\n]*?)\s*:\s?(.*)$")
_RULER = re.compile(rb"^-{5,}\+", re.M)
_FORMAT = re.compile(r"(\d+)\s*F\s*(\d+)\.\d+", re.I)
_CLOCK = re.compile(r"(\d{1,2}):(\d{2})(?::(\d{1,2}(?:\.\d*)?))?")
_COORDINATE = re.compile(r"(\d+(?:\.\d*)?)\s*(LAT|LONG)\.?\s*([NSEW])", re.I)
_MAGNITUDE = re.compile(r"(M[A-Za-z]?)\s*=\s*(\d+(?:\.\d*)?)")
_BLANKS = re.compile(rb"\s*+")
# The file's line ends, as `Lines` counts them: str.splitlines() also ends a line at a
# form feed, 0x1C-0x1E or 0x85, and would name a later line than the one meant.
_LINE_END = re.compile(r"\r\n|\r|\n")
_UTC_KEY = re.compile(r"[(\[]\s*(?:GMT|UTC)\s*[)\]]", re.I)


def sniff(head):
    """The header names the UNAM standard acceleration file."""
    shouted = upper(head)
    return "ARCHIVO ESTANDAR DE ACELERACION" in shouted or (
        "INSTITUTO DE INGENIERIA" in shouted and "UNAM" in shouted and "CANAL" in shouted)


def _fields(text):
    """The header as {key: [value lines]}: a line starting with ':' continues the key before.

    A key stated again keeps its first statement; the later ones that say
    something else come back as {key: (index of its line, value lines)}, the first of each.
    """
    fields, again, key, statement = {}, {}, None, None
    for k, line in enumerate(_LINE_END.split(text)):
        m = _KEY.match(line)
        if m is None or line.startswith("="):
            continue
        name, value = m.group(1).strip().upper(), m.group(2).strip()
        if name:
            key = name
            statement = fields.setdefault(key, []) if key not in fields else []
            if statement is not fields[key]:
                again.setdefault(key, [])
                again[key].append((k, statement))
        if key is not None:
            statement.append(value)
    differing = {}
    for name, statements in again.items():
        first = [v for v in fields[name] if v]
        for k, values in statements:
            if [v for v in values if v] != first:
                differing[name] = (k, values)
                break
    return fields, differing


# The keys the reader reads (their starts): one stated twice and differently is refused.
_READ = ("NUMERO DE CANALES", "NUM. TOTAL DE MUESTRAS", "INTERVALO DE MUESTREO", "ORIENTACION",
         "ACEL. MAX.(GAL)", "UNIDADES DE LOS DATOS", "FORMATO DATOS", "NOMBRE DE LA ESTACION",
         "CLAVE DE LA ESTACION", "COORDENADAS DE", "ALTITUD", "VEL. DE MUESTREO",
         "DURACION DEL REGISTRO", "FECHA DEL SISMO", "HORA EPICENTRO", "MAGNITUD",
         "PROFUNDIDAD FOCAL", "HORA DE LA PRIMERA MUESTRA")


def _channels(values):
    """'/0.47/-1.19/1.22' as ['0.47', '-1.19', '1.22']."""
    return [v.strip() for v in values.split("/")[1:]] if values.startswith("/") else [values.strip()]


def parse(source):
    """The channels of the file, in order; RecordError otherwise."""
    lines = Lines(source)
    # The first two rulers, around the channel names, end the header: the table
    # follows them, and whatever comes after it (a second file's header and
    # rulers, put after this one) is not this file's header.
    rulers = list(itertools.islice(_RULER.finditer(lines.data, 0, lines.end), 2))
    if len(rulers) < 2:
        raise lines.error(None, "no channel table: expected two ruler lines "
                                "('---------+---------+...') around the channel names")
    header, again = _fields(lines.text(lines.pos, rulers[0].start()))
    for name, (k, values) in again.items():
        if name.startswith(_READ):
            at = lines.pos
            for _ in range(k):
                at = lines._line_end(at)[1]
            # Two statements of one key: the file does not say which holds.
            raise lines.error(at, f"{name} stated twice, as {' '.join(v for v in header[name] if v)!r} "
                                  f"and {' '.join(v for v in values if v)!r}")

    def get(key, default=None):
        for name, values in header.items():
            if name.startswith(key):
                return values
        return default

    def where(key):
        """The offset of the header line of `key`, for messages."""
        at = lines.data.find(key.encode("latin-1"))
        return at if at >= 0 else None

    n_channels = 0
    for line in get("NUMERO DE CANALES", ["0"]):
        n_channels = int(line) if line.isdigit() else 0
    if n_channels <= 0:
        raise lines.error(where("NUMERO DE CANALES"), "the number of channels is not stated")
    counts = [int(c) for c in _channels(get("NUM. TOTAL DE MUESTRAS, C1-C6", [""])[0])
              if c.isdigit()]
    steps = [real(c) for c in _channels(get("INTERVALO DE MUESTREO, C1-C6", [""])[0])]
    names = _channels(get("ORIENTACION C1-C6", [""])[0])
    # The peaks' key names their unit, Gal, whatever the data's units are.
    peaks = [real(c) for c in _channels(get("ACEL. MAX.(GAL), C1-C6", [""])[0])]
    if len(counts) < n_channels or len(set(counts[:n_channels])) != 1:
        raise lines.error(where("NUM. TOTAL DE MUESTRAS"),
                          f"expected one sample count for the {n_channels} channels, not {counts}")
    npts = counts[0]
    if npts <= 0:
        raise lines.error(where("NUM. TOTAL DE MUESTRAS"), f"sample count {npts} is not positive")
    if len(steps) < n_channels or any(s is None or not s > 0.0 for s in steps[:n_channels]):
        raise lines.error(where("INTERVALO DE MUESTREO"), f"time steps {steps} are not positive")
    _agreeing_steps(lines, where, get, steps, npts, n_channels)
    unit_text = get("UNIDADES DE LOS DATOS", [""])[0]
    units = normalize_units(unit_text.split("(")[0])
    if units is None:
        raise lines.error(where("UNIDADES DE LOS DATOS"), f"unknown units {unit_text!r}: {UNITS_HINT}")
    form = _FORMAT.search(get("FORMATO DATOS", [""])[0])
    if form is None or int(form.group(1)) != n_channels or int(form.group(2)) == 0:
        raise lines.error(where("FORMATO DATOS"), f"expected a format of {n_channels} F fields, "
                                                  f"not {get('FORMATO DATOS', [''])[0]!r}")
    width = int(form.group(2))
    _same_names(lines, rulers, names, n_channels)
    lines.pos = rulers[1].start()
    lines.take("the ruler line")
    first = lines.pos
    table = fixed_block(lines, npts * n_channels, width, n_channels).reshape(npts, n_channels)
    _padding(lines, table[-1], npts)

    name = decode_name((get("NOMBRE DE LA ESTACION") or [""])[0]) or None
    code = decode_name((get("CLAVE DE LA ESTACION") or [""])[0]) or None
    lat, lon = _place(get("COORDENADAS DE LA ESTACION", []))
    elevation = real((get("ALTITUD") or [""])[0])
    event, day = _event(get, header)
    start_time = _start(header, event, day)
    return [source.record(
        table[:, c], steps[c], units, locate=lambda k: source.line_number(first) - 1 + k,
        format=NAME, station=code or name, station_name=name if code else None, channel=c + 1,
        component=names[c] if c < len(names) and names[c] else None, latitude=lat, longitude=lon,
        elevation=elevation, event=event, start_time=start_time,
        stated_pga=abs(peaks[c]) * UNITS["gal"] if c < len(peaks) and peaks[c] is not None else None,
        processing=(AS_RECORDED,)) for c in range(n_channels)]


def _same_names(lines, rulers, names, n_channels):
    """The table's own line of names ("V  N90E  N00E", between the rulers) must be the
    header's orientations in their order: else the columns are not the channels the
    header describes."""
    start, stop = rulers[0].end(), rulers[1].start()
    for line in lines.text(start, stop).splitlines():
        tokens = line.split()
        if len(tokens) != n_channels or any(t.upper().startswith("CANAL") for t in tokens):
            continue
        stated = names[:n_channels]
        if len(stated) == n_channels and all(stated) and \
                [t.upper() for t in tokens] != [t.upper() for t in stated]:
            raise lines.error(start + lines.text(start, stop).index(line),
                              f"the table names its columns {' '.join(tokens)}, the header's "
                              f"orientations are {' '.join(stated)}")
        return


def _agreeing_steps(lines, where, get, steps, npts, n_channels):
    """The sampling rate and the record length, where stated, must agree with each
    channel's interval: a header that states its step two ways that differ is refused."""
    rates = [real(c) for c in _channels((get("VEL. DE MUESTREO, C1-C6") or [""])[0])]
    lengths = _channels((get("DURACION DEL REGISTRO (S), C1-C6") or [""])[0])
    for c in range(n_channels):
        dt = steps[c]
        rate = rates[c] if c < len(rates) else None
        # Rates and intervals are printed to a few digits (250 and 0.004).
        if rate is not None and rate > 0.0 and abs(rate * dt - 1.0) > 1e-3:
            raise lines.error(where("VEL. DE MUESTREO"), f"channel {c + 1}: {rate:g} samples/s is "
                                                         f"not the interval of {dt:g} s stated")
        printed = lengths[c] if c < len(lengths) else ""
        length = real(printed)
        # The length may count the last step or not, and is printed to some decimals.
        half = 0.5 * 10.0 ** -len(printed.partition(".")[2])
        if length is not None and abs(length - npts * dt) > dt + half:
            raise lines.error(where("DURACION DEL REGISTRO"),
                              f"channel {c + 1}: {npts} samples at {dt:g} s last {npts * dt:g} s, "
                              f"not the {length:g} s stated")


def _padding(lines, last, npts):
    """Rows after the stated count must repeat the last one: the files pad their table so."""
    try:
        rest, _ = _parse.columns(lines.data, lines.pos, len(last), stop=lines.end)
    except _parse.ParseError as e:
        # Often a second file's header, the two put in one.
        raise lines.error(e.offset, f"after the {npts} rows the header states: {e.reason}") from None
    repeated = (rest == last).all(axis=1)
    if not repeated.all():
        # The row after the copies, found as the parser found the rows: blank lines
        # between them are no rows.
        _, end = _parse.columns(lines.data, lines.pos, len(last), int(np.argmin(repeated)), stop=lines.end)
        at = _BLANKS.match(lines.data, end, lines.end).end()
        raise lines.error(at, f"more samples than the {npts} the header states")


def _place(values):
    lat = lon = None
    for value in values:
        m = _COORDINATE.search(value)
        if m:
            degrees = float(m.group(1)) * (-1.0 if m.group(3).upper() in "SW" else 1.0)
            if m.group(2).upper() == "LAT":
                lat = degrees
            else:
                lon = degrees
    return lat, lon


def _in_utc(header, key, date=False):
    """The value of `key` when the key names its zone GMT or UTC ("HORA EPICENTRO (GMT)",
    "FECHA DEL SISMO [GMT]"); else "": a local time, or a time whose zone is not named, is
    not guessed. A `date` whose zone is not named is taken as the date (as a date stated
    alone is elsewhere); one the key calls local is not the UTC date."""
    for name, values in header.items():
        if name.startswith(key):
            qualifier = name[len(key):].strip()
            if _UTC_KEY.fullmatch(qualifier) or (date and not qualifier):
                return values[0] if values else ""
    return ""


def _event(get, header):
    """(the Event or None, the date as written: the day of the first sample's clock)."""
    date = time = None
    m = re.fullmatch(r"(\d{4})/(\d{1,2})/(\d{1,2})", _in_utc(header, "FECHA DEL SISMO", date=True))
    if m:
        try:
            date = _dt.date(*(int(g) for g in m.groups()))
        except ValueError:
            date = None
    clock = _CLOCK.fullmatch(_in_utc(header, "HORA EPICENTRO"))
    if date and clock:
        time = utc(date.year, date.month, date.day, int(clock.group(1)), int(clock.group(2)),
                   float(clock.group(3) or 0.0))
    lat, lon = _place(get("COORDENADAS DEL EPICENTRO", []))
    depth = real((get("PROFUNDIDAD FOCAL") or [""])[0])
    magnitudes = _MAGNITUDE.findall((get("MAGNITUD") or [""])[0])
    kind, magnitude = (magnitudes[0][0], float(magnitudes[0][1])) if magnitudes else (None, None)
    if date is lat is magnitude is None:
        return None, None
    # The event's date is its time's: 23:59:60 or 24:00:00 carries into the next day.
    return Event(date=time.date() if time else date, time=time, latitude=lat, longitude=lon,
                 depth=depth, magnitude=magnitude, magnitude_type=kind), date


def _start(header, event, d):
    clock = _CLOCK.search(_in_utc(header, "HORA DE LA PRIMERA MUESTRA"))
    if clock is None or d is None:
        return None
    start = utc(d.year, d.month, d.day, int(clock.group(1)), int(clock.group(2)),
                float(clock.group(3) or 0.0))
    if start is not None and event.time is not None and start < event.time - _dt.timedelta(hours=12):
        start += _dt.timedelta(days=1)
    return start
