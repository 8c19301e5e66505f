"""Operating-basis-earthquake (OBE) exceedance check of a three-component record.

From the two horizontal components and the vertical one, `obe_check` computes
what the damage-potential CAV decision (`get_CAVdp_cy`) needs: per component
the standardized CAV and the 5 %-damped spectral peaks, maximum PSA between
2 and 10 Hz and maximum PSV between 1 and 2 Hz; over the set the geometric
mean of the horizontal CAVstd values and the maximum CAVstd.  It then states,
side by side, the module's three cut-offs and the OBE-exceedance checks of
US NRC Regulatory Guide 1.166, whose velocity cut-off (6 in/s = 15.24 cm/s)
is not the module's (15.34 cm/s).

Spectra are on `OBE_FREQUENCIES`: 1 to 10 Hz, log-spaced with 400 points
per decade, plus 2 Hz, so that each band edge is a point of the grid.  A
5 %-damped peak is about 2ζ = 10 % wide; the spacing is 0.58 %, so even a
steady sinusoid midway between two points (the sharpest peak a 5 %-damped
spectrum can have) reads at most 0.16 % low.  The response is sampled at
least 100 times per cycle of 10 Hz (`substeps`), so a peak between samples
reads at most 1 - cos(π/100) = 0.05 % low.
"""
from __future__ import annotations

import argparse
import json
import math
import sys
from dataclasses import dataclass, field

import numpy as np

from . import tavo
from .plot import _pyplot
from .constants import G
from .components import matched
from .spectra import ResponseSpectrum, response_spectrum

__all__ = [
    "CAV_CUTOFF",
    "Criterion",
    "ComponentCheck",
    "OBEReport",
    "OBE_FREQUENCIES",
    "PSA_CUTOFF",
    "PSV_CUTOFF",
    "RG1166_PSV_CUTOFF",
    "format_report",
    "main",
    "obe_check",
    "plot_spectra",
    "report_as_dict",
]

DAMPING = 0.05
PSA_BAND = (2.0, 10.0)  # Hz
PSV_BAND = (1.0, 2.0)  # Hz
POINTS_PER_DECADE = 400
#: Response samples per cycle of the highest frequency of the check, at least.
POINTS_PER_CYCLE = 100

#: The check's frequency grid (Hz): 10**(k/400) for k = 0 … 400, and 2 Hz.
OBE_FREQUENCIES = np.unique(np.concatenate(
    [10.0 ** (np.arange(POINTS_PER_DECADE + 1) / POINTS_PER_DECADE), [2.0]]))
OBE_FREQUENCIES.setflags(write=False)

#: 0.2 g, the cut-off of spectral acceleration in both checks (m/s²).
PSA_CUTOFF = 0.2 * G
#: 0.16 g·s, the cut-off of CAVstd (module) and of CAV (RG 1.166), in m/s.
CAV_CUTOFF = 0.16 * G
#: 15.34 cm/s, the module's cut-off of spectral velocity (m/s).
PSV_CUTOFF = 0.1534
#: 6 in/s = 15.24 cm/s, RG 1.166's cut-off of spectral velocity (m/s).
RG1166_PSV_CUTOFF = 0.1524

NAMES = ("H1", "H2", "V")


@dataclass(frozen=True)
class Criterion:
    """One cut-off test: met when `value` is strictly greater than `cutoff`."""

    check: str       # "CAVdp" (the module's get_CAVdp_cy) or "RG 1.166"
    name: str        # "max_PSA", "max_CAVstd", "max_PSV", "SA", "SV", "CAV"
    quantity: str    # what `value` is, in words
    value: float
    cutoff: float
    unit: str        # unit of value and cutoff: "m/s2" or "m/s"

    @property
    def exceeded(self):
        """True when the value is above the cut-off (a NaN value is not)."""
        return bool(self.value > self.cutoff)


@dataclass(frozen=True)
class ComponentCheck:
    """The values of one component (SI units: m/s², m/s, Hz)."""

    name: str          # "H1", "H2" or "V"
    label: str         # the file's name, or the component's name for arrays
    npts: int
    dt: float
    PGA: float         # m/s²
    CAV: float         # m/s, plain CAV (get_CAV_cy)
    CAVstd: float      # m/s, standardized CAV (get_CAVstd_cy, on a copy)
    max_PSA: float     # m/s², 5 % damping, 2–10 Hz
    f_max_PSA: float   # Hz where max_PSA is reached
    max_PSV: float     # m/s, 5 % damping, 1–2 Hz
    f_max_PSV: float   # Hz where max_PSV is reached
    spectrum: ResponseSpectrum = field(repr=False, compare=False)


@dataclass(frozen=True)
class OBEReport:
    """The values and decisions of the check of one three-component record.

    `max_PSA`, `max_PSV`, `max_CAVstd` and `max_CAV` are over the three
    components; `CAVstd_gm` is sqrt(CAVstd_H1 · CAVstd_H2).  `CAVdp` is what
    `get_CAVdp_cy(CAVstd_gm, max_CAVstd, max_PSA, max_PSV)` returned: the
    float CAVstd_gm, or the int 0 below the cut-offs.  `criteria` holds the
    module's three tests, `rg1166` the three of RG 1.166.
    """

    components: tuple
    CAVstd_gm: float
    max_CAVstd: float
    max_PSA: float
    max_PSV: float
    max_CAV: float
    CAVdp: float | int
    criteria: tuple
    rg1166: tuple
    substeps: int
    notes: tuple = ()
    damping: float = DAMPING
    frequencies: np.ndarray = field(default_factory=lambda: OBE_FREQUENCIES, repr=False,
                                   compare=False)

    @property
    def damage_potential(self):
        """True when all three of the module's cut-offs are exceeded (CAVdp is a float)."""
        return isinstance(self.CAVdp, float)

    @property
    def rg1166_response_spectrum_check(self):
        """RG 1.166's spectrum check: SA 2–10 Hz above 0.2 g or SV 1–2 Hz above 6 in/s."""
        return self.rg1166[0].exceeded or self.rg1166[1].exceeded

    @property
    def rg1166_cav_check(self):
        """RG 1.166's CAV check: the standardized CAV of a component above 0.16 g·s."""
        return self.rg1166[2].exceeded

    @property
    def rg1166_exceeded(self):
        """The OBE is exceeded when both the spectrum check and the CAV check are."""
        return self.rg1166_response_spectrum_check and self.rg1166_cav_check

    def component(self, name):
        """The `ComponentCheck` named "H1", "H2" or "V"."""
        for c in self.components:
            if c.name == name:
                return c
        raise KeyError(name)


def substeps_for(dt):
    """Sub-steps so that the response is sampled ≥ 100 times per cycle of 10 Hz."""
    # Rounded first: 100 · 0.005 · 10 must give 5, not 6.
    return max(1, math.ceil(round(POINTS_PER_CYCLE * dt * PSA_BAND[1], 9)))


def _band_max(values, freqs, band):
    inside = (freqs >= band[0]) & (freqs <= band[1])
    k = int(np.argmax(values[inside]))
    return float(values[inside][k]), float(freqs[inside][k])


def obe_check(h1, h2, v, dt=None, trim=False):
    """Check a record of two horizontal components and the vertical one.

    Each component is a `Record` (from `tavotools.records`) or samples in m/s²
    with `dt` (s).  The three must share their time step and their length;
    with `trim=True` the longer ones are cut to the shortest (the samples
    after the common end are dropped), and the report notes it.
    The inputs are never changed: CAVstd is computed on copies.

    Returns an `OBEReport`.  Raises ValueError for components of different
    time steps or lengths, NaN or infinite samples, empty components, or a
    `dt` that is missing, not positive or disagrees with a record's.
    """
    given = matched(NAMES, (h1, h2, v), dt, trim)
    step, notes = given.dt, list(given.notes)
    for name, c in zip(NAMES, given.items):
        record = c.record
        if record is not None and record.component is not None and \
                record.is_vertical != (name == "V"):
            kind = "vertical" if record.is_vertical else "horizontal"
            notes.append(f"{name} ({record.label}) states component {record.component!r}, "
                         f"a {kind} one")
    n = given.npts
    substeps = substeps_for(step)
    checks = []
    for name, c in zip(NAMES, given.items):
        label = c.label
        # Copies: the measures want writable buffers, get_CAVstd_cy silences
        # quiet windows in place, and trimming must not touch the caller's array.
        a = np.array(c.accel, dtype=np.float64)
        sp = response_spectrum(a, step, frequencies=OBE_FREQUENCIES, damping=DAMPING,
                               substeps=substeps)
        max_psa, f_psa = _band_max(sp.PSA, sp.frequencies, PSA_BAND)
        max_psv, f_psv = _band_max(sp.PSV, sp.frequencies, PSV_BAND)
        checks.append(ComponentCheck(
            name=name, label=label, npts=n, dt=step,
            PGA=tavo.get_PGA_cy(a.copy()),
            CAV=tavo.get_CAV_cy(a.copy(), step),
            CAVstd=tavo.get_CAVstd_cy(a.copy(), step),
            max_PSA=max_psa, f_max_PSA=f_psa, max_PSV=max_psv, f_max_PSV=f_psv,
            spectrum=sp))
    c1, c2, c3 = checks
    CAVstd_gm = math.sqrt(c1.CAVstd * c2.CAVstd)
    max_CAVstd = max(c.CAVstd for c in checks)
    max_PSA = max(c.max_PSA for c in checks)
    max_PSV = max(c.max_PSV for c in checks)
    max_CAV = max(c.CAV for c in checks)
    CAVdp = tavo.get_CAVdp_cy(CAVstd_gm, max_CAVstd, max_PSA, max_PSV)
    over = "over H1, H2 and V"
    criteria = (
        Criterion("CAVdp", "max_PSA", f"maximum PSA (5 %), 2-10 Hz, {over}", max_PSA,
                  PSA_CUTOFF, "m/s2"),
        Criterion("CAVdp", "max_CAVstd", f"maximum standardized CAV, {over}", max_CAVstd,
                  CAV_CUTOFF, "m/s"),
        Criterion("CAVdp", "max_PSV", f"maximum PSV (5 %), 1-2 Hz, {over}", max_PSV,
                  PSV_CUTOFF, "m/s"),
    )
    rg1166 = (
        Criterion("RG 1.166", "SA", "spectral acceleration (5 %), 2-10 Hz, any component",
                  max_PSA, PSA_CUTOFF, "m/s2"),
        Criterion("RG 1.166", "SV", "spectral velocity (5 %), 1-2 Hz, any component",
                  max_PSV, RG1166_PSV_CUTOFF, "m/s"),
        Criterion("RG 1.166", "CAV", "standardized CAV (1-s windows >= 0.025 g), any component",
                  max_CAVstd, CAV_CUTOFF, "m/s"),
    )
    return OBEReport(components=tuple(checks), CAVstd_gm=CAVstd_gm, max_CAVstd=max_CAVstd,
                     max_PSA=max_PSA, max_PSV=max_PSV, max_CAV=max_CAV, CAVdp=CAVdp,
                     criteria=criteria, rg1166=rg1166, substeps=substeps, notes=tuple(notes))


# ---- text and JSON --------------------------------------------------------------

def _g(x):
    return f"{x / G:.4g}"


def _shown(c):
    """Value and cut-off of a criterion in the units the cut-offs are stated in."""
    if c.name in ("max_PSA", "SA"):
        return f"{c.value / G:.4f} g", f"> {c.cutoff / G:.4g} g"
    if c.name in ("max_PSV", "SV"):
        extra = " (6 in/s)" if c.name == "SV" else ""
        return f"{c.value * 100:.3f} cm/s", f"> {c.cutoff * 100:.2f} cm/s{extra}"
    return f"{c.value / G:.4f} g s", f"> {c.cutoff / G:.4g} g s"


def _verdict(flag):
    return "exceeded" if flag else "not exceeded"


def _rows(head, body, right_from):
    widths = [max(len(r[k]) for r in [head] + body) for k in range(len(head))]

    def line(cells):
        return "  ".join(c.rjust(w) if k >= right_from else c.ljust(w)
                         for k, (c, w) in enumerate(zip(cells, widths))).rstrip()

    return [line(head)] + [line(r) for r in body]


def format_report(report):
    """The report as text: the components, the module's decision and RG 1.166's."""
    r = report
    freqs = r.frequencies
    out = [
        "OBE exceedance check (5 % damped spectra, accelerations in g = 9.81 m/s2)",
        f"spectra on {freqs.size} frequencies, {freqs[0]:g}-{freqs[-1]:g} Hz "
        f"({POINTS_PER_DECADE} per decade, 1, 2 and 10 Hz exact); response sampled every "
        f"dt/{r.substeps}",
        "",
    ]
    head = ["", "record", "npts", "dt (s)", "PGA (g)", "CAV (g s)", "CAVstd (g s)",
            "PSA 2-10 Hz (g)", "at (Hz)", "PSV 1-2 Hz (cm/s)", "at (Hz)"]
    body = [[c.name, c.label, str(c.npts), f"{c.dt:g}", _g(c.PGA), _g(c.CAV), _g(c.CAVstd),
             _g(c.max_PSA), f"{c.f_max_PSA:.3f}", f"{c.max_PSV * 100:.4g}",
             f"{c.f_max_PSV:.3f}"] for c in r.components]
    out += _rows(head, body, 2)
    out.append("")

    def criteria_block(title, items):
        rows = []
        for c in items:
            value, cutoff = _shown(c)
            rows.append(["  " + c.quantity, value, cutoff, _verdict(c.exceeded)])
        return [title] + _rows(["  quantity", "value", "cut-off", "result"], rows, 1)

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


def _finite(x):
    return x if math.isfinite(x) else None


def report_as_dict(report):
    """The report as plain data (SI units), for JSON."""
    r = report

    def criterion(c):
        return {"check": c.check, "name": c.name, "quantity": c.quantity,
                "value": _finite(c.value), "cutoff": c.cutoff, "unit": c.unit,
                "exceeded": c.exceeded}

    return {
        "units": {"PGA": "m/s2", "CAV": "m/s", "CAVstd": "m/s", "PSA": "m/s2", "PSV": "m/s",
                  "frequency": "Hz", "dt": "s"},
        "damping": r.damping,
        "substeps": r.substeps,
        "frequencies": r.frequencies.tolist(),
        "components": [{
            "name": c.name, "record": c.label, "npts": c.npts, "dt": c.dt,
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
    }


# ---- plot ------------------------------------------------------------------------

def plot_spectra(report, path):
    """Draw the three PSA and PSV spectra with the bands and cut-offs into `path`.

    Raises ImportError when matplotlib is missing.
    """
    plt = _pyplot()
    fig, (ax_a, ax_v) = plt.subplots(2, 1, figsize=(8, 8), sharex=True, constrained_layout=True)
    colours = {"H1": "tab:blue", "H2": "tab:orange", "V": "tab:green"}
    for c in report.components:
        sp = c.spectrum
        colour = colours[c.name]
        ax_a.plot(sp.frequencies, sp.PSA / G, lw=1.2, color=colour, label=f"{c.name} {c.label}")
        ax_a.plot(c.f_max_PSA, c.max_PSA / G, "o", ms=4, color=colour)
        ax_v.plot(sp.frequencies, sp.PSV * 100, lw=1.2, color=colour, label=f"{c.name} {c.label}")
        ax_v.plot(c.f_max_PSV, c.max_PSV * 100, "o", ms=4, color=colour)
    ax_a.axvspan(*PSA_BAND, color="tab:red", alpha=0.07, lw=0, label="2-10 Hz band")
    ax_a.axhline(PSA_CUTOFF / G, color="tab:red", ls="--", lw=1, label="0.2 g cut-off")
    ax_a.set_ylabel("PSA, 5 % damping (g)")
    ax_v.axvspan(*PSV_BAND, color="tab:purple", alpha=0.07, lw=0, label="1-2 Hz band")
    ax_v.axhline(PSV_CUTOFF * 100, color="tab:purple", ls="--", lw=1,
                 label="15.34 cm/s (CAVdp)")
    ax_v.axhline(RG1166_PSV_CUTOFF * 100, color="black", ls=":", lw=1,
                 label="15.24 cm/s = 6 in/s (RG 1.166)")
    ax_v.set_ylabel("PSV, 5 % damping (cm/s)")
    ax_v.set_xlabel("frequency (Hz)")
    ax_v.set_xscale("log")
    ax_v.set_xticks([1, 2, 3, 5, 10])
    ax_v.set_xticklabels(["1", "2", "3", "5", "10"])
    for ax in (ax_a, ax_v):
        ax.set_ylim(bottom=0.0)
        ax.grid(True, which="both", lw=0.3, alpha=0.5)
        ax.legend(fontsize=8, loc="best")
    decision = (f"CAVdp {report.CAVdp:.3g} m/s" if report.damage_potential else "CAVdp 0") + \
        f"; RG 1.166 OBE {'exceeded' if report.rg1166_exceeded else 'not exceeded'}"
    fig.suptitle(decision, fontsize=10)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


# ---- command line --------------------------------------------------------------

def _parser():
    p = argparse.ArgumentParser(
        prog="tavotools obe",
        description="OBE exceedance check of a three-component accelerogram: per component "
                    "CAVstd and the 5 %-damped spectral peaks (PSA 2-10 Hz, PSV 1-2 Hz), the "
                    "damage-potential CAV decision and, beside it, the checks of US NRC "
                    "Regulatory Guide 1.166. With no file, runs on a built-in synthetic "
                    "three-component record.")
    p.add_argument("files", nargs="*", metavar="H1 H2 V",
                   help="the two horizontal components and the vertical one (accelerogram files)")
    p.add_argument("--format", choices=("table", "json"), default="table",
                   help="output format (default: table)")
    p.add_argument("--plot", metavar="FILE.png",
                   help="draw the three spectra with the bands and cut-offs (needs matplotlib)")
    p.add_argument("--trim", action="store_true",
                   help="cut components of different lengths to the shortest")
    p.add_argument("--dt", type=float, help="time step in s, for one-column text files")
    p.add_argument("--units", help="units of text files: g, m/s2, cm/s2 or gal")
    return p


def builtin_components():
    """The built-in three-component set: synthetic records of seeds 1, 2 and 3, with
    peaks of 3.0, 2.5 and (the vertical) 1.5 m/s²."""
    from dataclasses import replace

    from .synthetic import synthetic_record

    return [synthetic_record(1, pga=3.0), synthetic_record(2, pga=2.5),
            replace(synthetic_record(3, pga=1.5), component="V")]


def _read(path, dt, units):
    from .records import read_record

    return read_record(path, dt=dt, units=units)


def main(argv=None):
    """Run `tavotools obe H1 H2 V`; returns the exit status (1 on a read or input error)."""
    parser = _parser()
    args = parser.parse_args(argv)
    if len(args.files) not in (0, 3):
        parser.error("give three files (H1 H2 V), or none for the built-in record")
    try:
        if args.files:
            records = [_read(path, args.dt, args.units) for path in args.files]
        else:
            records = builtin_components()
        report = obe_check(*records, trim=args.trim)
    except (ValueError, OSError) as e:
        message = str(e)
        if "trim cuts them" in message:
            message = message.replace("trim cuts them", "--trim cuts them")
        print(f"tavotools obe: {message}", file=sys.stderr)
        return 1
    if args.format == "json":
        sys.stdout.write(json.dumps(report_as_dict(report), indent=2) + "\n")
    else:
        sys.stdout.write(format_report(report))
    if args.plot is not None:
        try:
            plot_spectra(report, args.plot)
        except ImportError as e:
            print(f"tavotools obe: {e}", file=sys.stderr)
            return 1
        print(f"tavotools obe: wrote {args.plot}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
