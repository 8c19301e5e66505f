"""Dates and times as the formats write them, turned into one representation:
timezone-aware UTC datetimes. A time whose zone the file does not state is
not guessed: the readers then give no time.
"""
from __future__ import annotations

import datetime as _dt
import math
import re

__all__ = ["ZONES", "date_mdy", "utc", "utc_day_of_year", "year4"]

UTC = _dt.timezone.utc

#: Hours to add to UTC for the zone names the agencies print.
ZONES = {"UTC": 0, "GMT": 0, "Z": 0, "PST": -8, "PDT": -7, "MST": -7, "MDT": -6, "CST": -6,
         "CDT": -5, "EST": -5, "EDT": -4, "AKST": -9, "AKDT": -8, "HST": -10, "JST": 9}

_MDY = re.compile(r"(\d{1,2})/(\d{1,2})/(\d{4}|\d{2})(?!\d)")


def year4(year):
    """A year as printed, two digits or four: 83 is 1983, 12 is 2012 (records start in the 1930s)."""
    if year >= 100:
        return year
    return 1900 + year if year >= 30 else 2000 + year


def utc(year, month, day, hour=0, minute=0, second=0.0, zone="UTC"):
    """An aware UTC datetime of a local time in `zone`, or None when invalid.

    `zone` is a name of `ZONES` or the hours east of UTC ("GMT+08" is 8).
    The seconds are rounded to the microsecond and carried into the minute:
    "16:09:19.9999996" is 16:09:20, and a 60th second ("23:59:60.5", a leap
    second or a rounded 59.9996) is the first of the next minute, as POSIX
    time counts it; "24:00:00" is the midnight that ends the day.
    """
    hours = zone if isinstance(zone, (int, float)) else ZONES.get(zone)
    if hours is None or not (math.isfinite(second) and 0.0 <= second < 61.0):
        return None
    # Counted whole: a fraction that rounds up to a second would otherwise be a
    # microsecond of 1 000 000, which no datetime holds.
    micro = round(second * 1e6)
    end_of_day = hour == 24 and minute == 0 and micro == 0
    try:
        local = _dt.datetime(year, month, day, 0 if end_of_day else hour, minute, tzinfo=UTC)
        local += _dt.timedelta(days=1 if end_of_day else 0, microseconds=micro)
    except (ValueError, OverflowError):
        return None
    return local - _dt.timedelta(hours=hours)


def utc_day_of_year(year, day, hour=0, minute=0, second=0.0):
    """An aware UTC datetime from a year and a day of the year (1 is 1 January), or None."""
    if not 1 <= day <= 366:
        return None
    # The day is checked on its own: its time may carry into the next year (a leap
    # second at 23:59:60 on 31 December, or 24:00:00), as `utc` carries it.
    try:
        date = _dt.date(year, 1, 1) + _dt.timedelta(days=day - 1)
    except (ValueError, OverflowError):
        return None
    if date.year != year:
        return None
    return utc(date.year, date.month, date.day, hour, minute, second)


def date_mdy(text):
    """(year, month, day) of the first "M/D/YY" or "M/D/YYYY" in `text`, or None."""
    m = _MDY.search(text)
    if m is None:
        return None
    month, day, year = (int(g) for g in m.groups())
    try:
        _dt.date(year4(year), month, day)
    except ValueError:
        return None
    return year4(year), month, day
