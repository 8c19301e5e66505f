"""The one table of record formats, in the order their `sniff` functions are
tried. Each entry is a module with `NAME`, `SUFFIXES`, `sniff(head)` and
`parse(source)` (and optionally `ALIASES`, other names `format=` accepts);
adding a format is a module and a line here.
"""
from __future__ import annotations

from . import afad, at2, bhrc, cosmos, cwa, dmg, esm, geonet, knet, obspy, renadic, smc, text, unam, usc

__all__ = ["FORMATS", "by_name"]

#: Format modules in sniff order: first those told by fixed labels alone
#: (K-NET's first line, ESM's, AFAD's and CWA's keys), quick and exact; `text`,
#: the most lenient, comes last of those that sniff, then `obspy`, the
#: fallback (`FALLBACK`) for files that no other reader recognises. The agency formats whose first line also names an
#: "accelerogram" (GeoNet, USC, RENADIC) are tried before `dmg`.
FORMATS = (knet, esm, afad, cwa, smc, cosmos, geonet, usc, renadic, bhrc, unam, dmg, at2, text,
           obspy)


def by_name(name):
    """The format module called `name` (its `NAME`), or ValueError naming the choices."""
    for module in FORMATS:
        if str(name).lower() in (module.NAME, *getattr(module, "ALIASES", ())):
            return module
    raise ValueError(f"unknown format {name!r}: use one of "
                     f"{', '.join(m.NAME for m in FORMATS)}")
