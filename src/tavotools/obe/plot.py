"""The plot of the OBE report: the three PSA and PSV spectra with the bands and
the cut-offs of both checks (matplotlib, an optional extra).
"""
from __future__ import annotations

from ..constants import G
from ..plot import pyplot
from ..render import printable
from .check import PSA_BAND, PSA_CUTOFF, PSV_BAND, PSV_CUTOFF, RG1166_PSV_CUTOFF

__all__ = ["plot_spectra"]


def plot_spectra(report, path):
    """Draw the three PSA and PSV spectra with the bands and cut-offs into `path`.

    Raises ImportError when matplotlib is missing.
    """
    plt = pyplot()
    fig, (ax_a, ax_v) = plt.subplots(2, 1, figsize=(8, 8), sharex=True, constrained_layout=True)
    colours = {"H1": "tab:blue", "H2": "tab:orange", "V": "tab:green"}
    for c in report.components:
        sp = c.spectrum
        colour = colours[c.name]
        label = f"{c.name} {printable(c.label)}"
        ax_a.plot(sp.frequencies, sp.PSA / G, lw=1.2, color=colour, label=label)
        ax_a.plot(c.f_max_PSA, c.max_PSA / G, "o", ms=4, color=colour)
        ax_v.plot(sp.frequencies, sp.PSV * 100, lw=1.2, color=colour, label=label)
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
    try:
        fig.savefig(path, dpi=110)
    finally:  # a path that cannot be written must not leave the figure open
        plt.close(fig)
    return path
