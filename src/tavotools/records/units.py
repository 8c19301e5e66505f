"""Acceleration units: their canonical names and factors to m/s².

Gravity is `tavotools.constants.G`, the value of the measures' own g-based
thresholds, so a record read in g and those thresholds agree.
"""
from __future__ import annotations

import functools
import re

from ..constants import G

__all__ = ["UNITS", "UNITS_HINT", "normalize_units", "units_argument"]

#: Factor from each accepted unit to m/s².
UNITS = {"g": G, "m/s2": 1.0, "cm/s2": 0.01, "gal": 0.01, "mm/s2": 0.001, "g/10": G / 10}

UNITS_HINT = "use one of " + ", ".join(repr(name) for name in UNITS)

# Spellings agencies use, once blanks are gone, "sec" is "s" and the squares
# are written "2": "CM/SEC/SEC", "cm/sec2", "cm/s^2", "m/s**2", "Gal", "G".
_ALIASES = {
    "g": "g",
    "m/s2": "m/s2", "ms-2": "m/s2", "mps2": "m/s2",
    "cm/s2": "cm/s2", "cms-2": "cm/s2", "cmps2": "cm/s2", "cms/s2": "cm/s2",
    "mm/s2": "mm/s2", "mms-2": "mm/s2",
    "gal": "gal", "gals": "gal",
    "g/10": "g/10",
}


def normalize_units(text):
    """Return the canonical name of a unit ('g', 'm/s2', 'cm/s2', 'gal', 'mm/s2', 'g/10'), or None.

    Accepts the spellings agencies use: "CM/SEC/SEC", "CMS/SEC/SEC", "cm/sec2",
    "cm/s^2", "m/s**2", "mm/s/s", "Gal", "G", "G/10" (older analog records).
    """
    return _canonical(str(text))


@functools.lru_cache(maxsize=512)
def _canonical(text):
    # Cached: readers ask for the same few spellings once a channel.
    s = "".join(text.lower().split()).rstrip(".")
    s = s.replace("**2", "2").replace("^2", "2").replace("²", "2")
    s = re.sub(r"sec(?:ond)?s?", "s", s)
    s = s.replace("/s/s", "/s2").replace("/(s*s)", "/s2").replace("/ss", "/s2")
    return _ALIASES.get(s)


def units_argument(units):
    """The canonical name of a unit given by a caller, or ValueError naming the choices."""
    name = normalize_units(units)
    if name is None:
        raise ValueError(f"unknown units {units!r}: {UNITS_HINT}")
    return name
