"""A seeded stochastic accelerogram, so the package can be tried without data.

Gaussian white noise is shaped by a Clough-Penzien ground filter (a soil
layer of 2.5 Hz and a low-cut oscillator that keeps the velocity from
drifting) and modulated by a Saragoni-Hart envelope, then scaled to a PGA.
"""
from __future__ import annotations

import math

import numpy as np

from .records import Record

__all__ = ["synthetic_accel", "synthetic_record"]

#: Frequency of the ground filter (Hz), the soil layer of the record.
GROUND_HZ = 2.5


def _envelope(n, dt, duration, peak_at=0.2, tail=0.05):
    """Saragoni-Hart envelope a (t/T)^b exp(-c t/T): 1 at peak_at·T, `tail` at T."""
    b = -peak_at * math.log(tail) / (1.0 + peak_at * (math.log(peak_at) - 1.0))
    c = b / peak_at
    a = (math.e / peak_at) ** b
    # math, not numpy ufuncs: numpy may pick SIMD exp/pow kernels per CPU,
    # and the record must be the same bits on every machine.
    return [a * (k * dt / duration) ** b * math.exp(-c * k * dt / duration) for k in range(n)]


def _oscillator(x, dt, f, zeta):
    """Absolute acceleration response of a damped oscillator to base motion x.

    Central differences on u'' + 2ζωu' + ω²u = -x; returns -(2ζωu' + ω²u),
    which passes x unchanged below f and filters it above.
    """
    w = 2.0 * math.pi * f
    k1 = 1.0 / (dt * dt) + zeta * w / dt
    k2 = 2.0 / (dt * dt) - w * w
    k3 = 1.0 / (dt * dt) - zeta * w / dt
    u_prev, u = 0.0, 0.0
    out = []
    for xk in x:
        u_next = (-xk + k2 * u - k3 * u_prev) / k1
        velocity = (u_next - u_prev) / (2.0 * dt)
        out.append(-(2.0 * zeta * w * velocity + w * w * u))
        u_prev, u = u, u_next
    return out


def synthetic_accel(seed=0, duration=40.0, dt=0.01, pga=3.0):
    """Samples (m/s², float64) of the seeded record; the same bits for the same arguments."""
    if not (math.isfinite(dt) and dt > 0.0 and math.isfinite(duration) and duration > dt):
        raise ValueError("duration and dt must be finite, with 0 < dt < duration")
    if not (math.isfinite(pga) and pga > 0.0):
        raise ValueError("pga must be positive and finite")
    # Central differences are stable only while ω·dt < 2: past that the ground
    # filter's response grows without bound, and scaled to `pga` the record is a
    # burst at its very end with nothing before it.
    if not 2.0 * math.pi * GROUND_HZ * dt < 2.0:
        raise ValueError(f"dt must be below {1.0 / (math.pi * GROUND_HZ):.4g} s, the step "
                         f"at which the {GROUND_HZ:g} Hz ground filter is still stable, "
                         f"not {dt!r}")
    n = int(round(duration / dt))
    noise = np.random.default_rng(seed).standard_normal(n).tolist()
    ground = _oscillator(noise, dt, GROUND_HZ, 0.6)
    # Clough-Penzien's second filter: the ground motion less what a 0.25 Hz
    # oscillator passes, so long periods (and velocity drift) are cut.
    low = _oscillator(ground, dt, 0.25, 0.7)
    shaped = [g - lo for g, lo in zip(ground, low)]
    shaped = [s * e for s, e in zip(shaped, _envelope(n, dt, duration))]
    peak = max(abs(s) for s in shaped)
    scale = pga / peak
    return np.array([s * scale for s in shaped], dtype=np.float64)


def synthetic_record(seed=0, duration=40.0, dt=0.01, pga=3.0):
    """The built-in record as a `Record`: `seed` picks the noise, `pga` is in m/s²."""
    accel = synthetic_accel(seed, duration, dt, pga)
    return Record(accel, dt, "m/s2", station="synthetic", component="H",
                  event=f"stochastic record, seed {seed}", format="synthetic",
                  path=f"synthetic:{seed}")
