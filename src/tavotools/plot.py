"""Acceleration, velocity and Husid plot of a record, and PSA spectra (matplotlib, an
optional extra)."""
from __future__ import annotations

import numpy as np

from . import tavo
from .render import printable
from .summary import summarize

__all__ = ["plot_record", "plot_response_spectra", "pyplot"]


def pyplot():
    """matplotlib.pyplot drawing into files only; ImportError saying what to install."""
    try:
        import matplotlib
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'tavotools[plot]'") from None
    # Files only: no display is needed, and none may exist.
    matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt
    return plt


def plot_record(record, path, summary=None, title=None):
    """Draw acceleration, velocity and the Husid plot of `record` into `path` (PNG, SVG, PDF).

    The Husid plot is the Arias intensity normalised by its total against
    time, with the 5, 75 and 95 % times marked.  Raises ImportError when
    matplotlib is missing.
    """
    plt = pyplot()
    from scipy.integrate import cumulative_trapezoid

    if summary is None:
        summary = summarize(record)
    accel, dt, n = record.accel, record.dt, record.npts
    t = np.arange(n) * dt
    velocity = cumulative_trapezoid(accel, dx=dt, initial=0.0)
    Ia, Ia_sc = tavo.get_Ia_cy(accel, dt)
    husid = Ia_sc / Ia if Ia > 0.0 else np.zeros(n)
    # The Arias times are the ends of samples: sample k ends at (k + 1) dt.
    t_end = t + dt

    fig, axes = plt.subplots(3, 1, figsize=(9, 8), sharex=True, constrained_layout=True)
    ax_a, ax_v, ax_h = axes
    ax_a.plot(t, accel, lw=0.6, color="tab:blue")
    k = int(np.argmax(np.abs(accel)))
    ax_a.plot(t[k], accel[k], "o", color="tab:red", ms=4)
    ax_a.annotate(f"PGA {summary.PGA:.3g} m/s²", (t[k], accel[k]), xytext=(6, 0),
                  textcoords="offset points", va="center", fontsize=8)
    ax_a.set_ylabel("acceleration (m/s²)")
    ax_v.plot(t, velocity, lw=0.8, color="tab:green")
    ax_v.set_ylabel("velocity (m/s)")
    ax_v.text(0.99, 0.92, f"PGV {summary.PGV:.3g} m/s", transform=ax_v.transAxes,
              ha="right", va="top", fontsize=8)
    ax_h.plot(t_end, husid, lw=1.2, color="black")
    for level, when, colour in ((0.05, summary.t5, "tab:orange"),
                                (0.75, summary.t75, "tab:purple"),
                                (0.95, summary.t95, "tab:red")):
        if np.isfinite(when):
            ax_h.axvline(when, ls="--", lw=0.8, color=colour)
            ax_h.axhline(level, ls=":", lw=0.6, color=colour)
            # Below and right of the crossing, where a rising curve leaves room.
            ax_h.annotate(f"{level:.0%} at {when:.2f} s", (when, level), xytext=(4, -3),
                          textcoords="offset points", fontsize=8, color=colour, va="top")
    ax_h.set_ylim(-0.02, 1.05)
    ax_h.set_ylabel("Ia / Ia total")
    ax_h.set_xlabel("time (s)")
    ax_h.text(0.99, 0.05, f"Ia {summary.Ia:.3g} m/s   D5-75 {summary.D5_75:.2f} s   "
                          f"D5-95 {summary.D5_95:.2f} s", transform=ax_h.transAxes,
              ha="right", va="bottom", fontsize=8)
    for ax in axes:
        ax.grid(True, lw=0.3, alpha=0.5)
    if title is None:
        parts = [record.label, record.station, record.component, record.event]
        # printable: matplotlib refuses the surrogates of a file name that is not UTF-8.
        title = " | ".join(printable(p) for p in parts if p)
    fig.suptitle(title, fontsize=10)
    try:
        fig.savefig(path, dpi=110)
    finally:  # a path that cannot be written must not leave the figure open
        plt.close(fig)
    return path


def plot_response_spectra(labels, spectra, rotds, path, title=None):
    """Draw PSA against period (log axis) of each `ResponseSpectrum` of `spectra`, named
    by `labels`, and the RotD50 of each (label, `RotD`) of `rotds`, into `path`.

    Raises ImportError when matplotlib is missing.
    """
    plt = pyplot()
    fig, ax = plt.subplots(figsize=(8, 5), constrained_layout=True)
    for label, sp in zip(labels, spectra):
        ax.plot(sp.periods, sp.PSA, lw=1.0, label=printable(label))
    for label, r in rotds:
        ax.plot(r.periods, r.value("PSA", 50), lw=2.0, color="black", ls="--",
                label=f"RotD50 {printable(label)}")
    ax.set_xscale("log")
    ax.set_xlabel("period (s)")
    ax.set_ylabel("PSA (m/s²)")
    damping = spectra[0].damping if spectra else 0.05
    ax.set_title(title or f"Pseudo-spectral acceleration, {damping:.3g} damping", fontsize=10)
    ax.grid(True, which="both", lw=0.3, alpha=0.5)
    ax.legend(fontsize=8)
    try:
        fig.savefig(path, dpi=110)
    finally:  # a path that cannot be written must not leave the figure open
        plt.close(fig)
    return path
