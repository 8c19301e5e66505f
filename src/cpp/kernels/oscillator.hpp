// Elastic response of linear single-degree-of-freedom oscillators to a
// piecewise-linear base acceleration: the exact one-step recurrence and the
// kernel that advances many oscillators per time step. Pure C++, no Python.h.
#pragma once

#include <cstdint>

#include "kernels/span.hpp"

namespace tavo::kernels {

/// One step of u'' + 2ζωu' + ω²u = -a(t) over h with a linear between the
/// step's end values: [u, v]₁ = A [u, v]₀ + B a₀ + C a₁.
struct Step {
  double a11, a12, a21, a22;
  double b1, b2;
  double c1, c2;
};

/// The exact step for angular frequency ω > 0, step h > 0 and 0 ≤ ζ < 1.
/// Cannot fail; every entry is finite when ω, h, ω·h and (ω·h)² are.
Step exact_step(double omega, double h, double zeta) noexcept;

/// Fills the 2·(substeps + 1) interpolation weights ((m - j)/m, j/m), j = 0 … m.
void substep_weights(std::int64_t substeps, double *weights) noexcept;

/// Peak |u| over every sample instant (and the `substeps` - 1 evenly spaced
/// instants between two samples) of each oscillator, at rest at the first
/// sample. `steps[m]` is oscillator m's step for dt / substeps, `weights`
/// from substep_weights; `peak` gets one value per oscillator.
/// Cannot fail; needs substeps ≥ 1.
void peak_response(Span accel, const Step *steps, std::int64_t n_osc, std::int64_t substeps,
                   const double *weights, double *peak) noexcept;

} // namespace tavo::kernels
