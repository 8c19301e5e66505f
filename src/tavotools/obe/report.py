"""The OBE report as text and as plain data: the components, the module's
damage-potential CAV decision and the checks of RG 1.166 side by side.
"""
from __future__ import annotations

from ..constants import G
from ..render import json_safe, printable, table_lines
from .check import POINTS_PER_DECADE, PSV_CUTOFF, RG1166_PSV_CUTOFF

__all__ = ["format_report", "report_as_dict"]


def _g(x):
    return f"{x / G:.4g}"


def _apart(value, cutoff, decimals):
    """`value` with `decimals`, or with as many more as it takes not to read as `cutoff`
    (0.19999 g is not "0.2000 g > 0.2 g: not exceeded"); equal values stay as they are."""
    while value != cutoff and decimals < 20 and \
            f"{value:.{decimals}f}" == f"{cutoff:.{decimals}f}":
        decimals += 1
    return f"{value:.{decimals}f}"


def _shown(c):
    """Value and cut-off of a criterion in the units the cut-offs are stated in."""
    if c.name in ("max_PSA", "SA"):
        return f"{_apart(c.value / G, c.cutoff / G, 4)} g", f"> {c.cutoff / G:.4g} g"
    if c.name in ("max_PSV", "SV"):
        extra = " (6 in/s)" if c.name == "SV" else ""
        return (f"{_apart(c.value * 100, c.cutoff * 100, 3)} cm/s",
                f"> {c.cutoff * 100:.2f} cm/s{extra}")
    return f"{_apart(c.value / G, c.cutoff / G, 4)} g s", f"> {c.cutoff / G:.4g} g s"


def _verdict(flag):
    return "exceeded" if flag else "not exceeded"


def format_report(report):
    """The report as text: the components, the module's decision and RG 1.166's."""
    r = report
    freqs = r.frequencies
    out = [
        f"OBE exceedance check (5 % damped spectra, accelerations in g = {G:g} m/s2)",
        f"spectra on {freqs.size} frequencies, {freqs[0]:g}-{freqs[-1]:g} Hz "
        f"({POINTS_PER_DECADE} per decade, 1, 2 and 10 Hz exact); response sampled every "
        f"dt/{r.substeps}",
        "",
    ]
    head = ["", "record", "npts", "dt (s)", "PGA (g)", "CAV (g s)", "CAVstd (g s)",
            "PSA 2-10 Hz (g)", "at (Hz)", "PSV 1-2 Hz (cm/s)", "at (Hz)"]
    body = [[c.name, printable(c.label), str(c.npts), f"{c.dt:g}", _g(c.PGA), _g(c.CAV), _g(c.CAVstd),
             _g(c.max_PSA), f"{c.f_max_PSA:.3f}", f"{c.max_PSV * 100:.4g}",
             f"{c.f_max_PSV:.3f}"] for c in r.components]
    out += table_lines([head] + body, 2)
    out.append("")

    def criteria_block(title, items):
        rows = []
        for c in items:
            value, cutoff = _shown(c)
            rows.append(["  " + c.quantity, value, cutoff, _verdict(c.exceeded)])
        return [title] + table_lines([["  quantity", "value", "cut-off", "result"]] + rows, 1)

    out += criteria_block("Damage-potential CAV (get_CAVdp_cy)", r.criteria)
    out.append(f"  geometric mean CAVstd of H1 and H2: {r.CAVstd_gm / G:.4f} g s "
               f"({r.CAVstd_gm:.4f} m/s)")
    if r.damage_potential:
        out.append(f"  CAVdp = {r.CAVdp:.6g} m/s: all three cut-offs exceeded")
    else:
        out.append("  CAVdp = 0: not all three cut-offs exceeded")
    out.append("")
    out += criteria_block("US NRC Regulatory Guide 1.166 OBE exceedance", r.rg1166)
    out.append(f"  response-spectrum check (SA or SV): {_verdict(r.rg1166_response_spectrum_check)}"
               f"; CAV check: {_verdict(r.rg1166_cav_check)}")
    out.append(f"  OBE {'exceeded' if r.rg1166_exceeded else 'not exceeded'} "
               f"(both checks must be exceeded)")
    out.append("")
    out.append(f"note: the velocity cut-offs differ, {PSV_CUTOFF * 100:.2f} cm/s for CAVdp and "
               f"{RG1166_PSV_CUTOFF * 100:.2f} cm/s (6 in/s) in RG 1.166; both CAV tests use the "
               f"standardized CAV (the plain CAV, never smaller, is shown per component).")
    for note in r.notes:
        out.append(f"note: {note}")
    return "\n".join(out) + "\n"


def report_as_dict(report):
    """The report as plain data (SI units) for JSON: NaN as None, infinities as they are."""
    r = report

    def criterion(c):
        return {"check": c.check, "name": c.name, "quantity": c.quantity,
                "value": c.value, "cutoff": c.cutoff, "unit": c.unit,
                "exceeded": c.exceeded}

    return json_safe({
        "units": {"PGA": "m/s2", "CAV": "m/s", "CAVstd": "m/s", "PSA": "m/s2", "PSV": "m/s",
                  "frequency": "Hz", "dt": "s"},
        "damping": r.damping,
        "substeps": r.substeps,
        "frequencies": r.frequencies.tolist(),
        "components": [{
            "name": c.name, "record": printable(c.label), "npts": c.npts, "dt": c.dt,
            "PGA": c.PGA, "CAV": c.CAV, "CAVstd": c.CAVstd,
            "max_PSA": c.max_PSA, "f_max_PSA": c.f_max_PSA,
            "max_PSV": c.max_PSV, "f_max_PSV": c.f_max_PSV,
            "PSA": c.spectrum.PSA.tolist(), "PSV": c.spectrum.PSV.tolist(),
        } for c in r.components],
        "CAVstd_gm": r.CAVstd_gm,
        "max_CAVstd": r.max_CAVstd,
        "max_PSA": r.max_PSA,
        "max_PSV": r.max_PSV,
        "max_CAV": r.max_CAV,
        "CAVdp": r.CAVdp,
        "damage_potential": r.damage_potential,
        "criteria": [criterion(c) for c in r.criteria],
        "rg1166": {
            "criteria": [criterion(c) for c in r.rg1166],
            "response_spectrum_check": r.rg1166_response_spectrum_check,
            "cav_check": r.rg1166_cav_check,
            "obe_exceeded": r.rg1166_exceeded,
        },
        "notes": list(r.notes),
    })


