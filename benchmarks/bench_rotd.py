"""RotD spectra: `tavotools.rotd` against two plain response spectra of the same
pair and against a brute-force rotation in NumPy.

The brute force rotates the pair to each of the 180 angles (h1·cos θ + h2·sin θ,
in NumPy), takes the response spectrum of each rotated series (the package's
own compiled spectrum) and the percentiles over the angles with np.percentile.
Rows are timed in turn, round after round, in CPU time of the calling thread
(every row runs on that one thread), so that other work on a shared machine
counts for none of them; the ratios compare medians.
Run: python -m benchmarks.bench_rotd [--repeat N]
"""
from __future__ import annotations

import argparse
import statistics
import sys
import time

import numpy as np

from tavotools.rotd import rotd
from tavotools.spectra import STANDARD_PERIODS, response_spectrum
from tavotools.synthetic import synthetic_accel

from .measures import machine_line

N = 40_000
DT = 0.005
PERCENTILES = (50, 100)


def brute_force(h1, h2, dt, periods):
    """RotD50 and RotD100 of PSA by rotating first, then one spectrum per angle."""
    theta = np.deg2rad(np.arange(180))
    psa = np.array([response_spectrum(h1 * c + h2 * s, dt, periods=periods).PSA
                    for c, s in zip(np.cos(theta), np.sin(theta))])
    return np.percentile(psa, PERCENTILES, axis=0)


def timed_rounds(rows, repeat):
    """Best and median seconds of each row, the rows called in turn `repeat` times."""
    times = {label: [] for label, _ in rows}
    for _ in range(repeat):
        for label, fn in rows:
            t0 = time.thread_time()
            fn()
            times[label].append(time.thread_time() - t0)
    return {label: (min(t), statistics.median(t)) for label, t in times.items()}


def main(argv=None):
    p = argparse.ArgumentParser(prog="python -m benchmarks.bench_rotd", description=__doc__)
    p.add_argument("--repeat", type=int, default=15, help="rounds of the fast rows (default 15)")
    args = p.parse_args(argv)
    if args.repeat < 1:
        p.error("--repeat must be positive")

    h1 = synthetic_accel(seed=0, duration=N * DT, dt=DT)
    h2 = synthetic_accel(seed=1, duration=N * DT, dt=DT)
    T = STANDARD_PERIODS
    rows = [
        ("rotd: RotD50, RotD100 (PGA, PGV, PSA)",
         lambda: rotd(h1, h2, DT, periods=T, percentiles=PERCENTILES)),
        ("two response spectra", lambda: (response_spectrum(h1, DT, periods=T),
                                          response_spectrum(h2, DT, periods=T))),
    ]
    fast = timed_rounds(rows, args.repeat)
    slow = timed_rounds([("brute force: 180 rotations, 180 spectra",
                          lambda: brute_force(h1, h2, DT, T))] + rows[:1], 3)

    r = rotd(h1, h2, DT, periods=T, percentiles=PERCENTILES)
    worst = float(np.max(np.abs(r.PSA - brute_force(h1, h2, DT, T)) / r.PSA))

    print(machine_line())
    print(f"pair: synthetic (seeds 0 and 1), N = {N} each, dt = {DT} s; {T.size} periods "
          f"{T[0]:g}-{T[-1]:g} s; 5 % damping; {args.repeat} rounds (brute force: 3)")
    print()
    table = [(label, *fast[label]) for label, _ in rows] + \
        [("brute force: 180 rotations, 180 spectra",
          *slow["brute force: 180 rotations, 180 spectra"])]
    width = max(len(label) for label, _, _ in table)
    print(f"{'CPU time':{width}}  {'best (ms)':>10}  {'median (ms)':>11}")
    for label, best, median in table:
        print(f"{label:{width}}  {best * 1e3:10.2f}  {median * 1e3:11.2f}")
    mine, two = fast[rows[0][0]][1], fast[rows[1][0]][1]
    # The brute force against rotd timed in its own rounds, side by side.
    brute_ratio = slow["brute force: 180 rotations, 180 spectra"][1] / slow[rows[0][0]][1]
    print()
    print(f"rotd / two response spectra: {mine / two:.2f}x the time (target: within 2x) "
          + ("PASS" if mine / two <= 2.0 else "MISS"))
    print(f"brute force / rotd: {brute_ratio:.0f}x")
    print(f"RotD50 and RotD100 of PSA agree with the brute force within {worst:.1e} relative")
    return 0


if __name__ == "__main__":
    sys.exit(main())
