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

/// The steps of up to N oscillators as arrays, for the kernels that advance
/// them together, vectorised across oscillators.
template <std::int64_t N>
struct StepBlock {
  alignas(64) double a11[N], a12[N], a21[N], a22[N];
  alignas(64) double b1[N], b2[N], c1[N], c2[N];

  /// Takes the first n ≤ N steps.
  void load(const Step *steps, std::int64_t n) noexcept {
    for (std::int64_t m = 0; m < n; ++m) {
      a11[m] = steps[m].a11;
      a12[m] = steps[m].a12;
      a21[m] = steps[m].a21;
      a22[m] = steps[m].a22;
      b1[m] = steps[m].b1;
      b2[m] = steps[m].b2;
      c1[m] = steps[m].c1;
      c2[m] = steps[m].c2;
    }
  }

  /// Oscillator m's step made the null one (a state at rest stays at rest).
  void clear(std::int64_t m) noexcept {
    a11[m] = a12[m] = a21[m] = a22[m] = b1[m] = b2[m] = c1[m] = c2[m] = 0.0;
  }

  /// Oscillator m's state (u, v) one step on, the acceleration going from lo to hi.
  /// The order is fixed, u' = ((a11·u + a12·v) + b1·lo) + c1·hi, so vectorising
  /// across oscillators changes no bit.
  void advance(std::int64_t m, double &u, double &v, double lo, double hi) const noexcept {
    const double un = a11[m] * u + a12[m] * v + b1[m] * lo + c1[m] * hi;
    const double vn = a21[m] * u + a22[m] * v + b2[m] * lo + c2[m] * hi;
    u = un;
    v = vn;
  }
};

/// Fills the 2·(substeps + 1) interpolation weights ((m - j)/m, j/m), j = 0 … m.
void substep_weights(std::int64_t substeps, double *weights) noexcept;

/// Peak |u| over every sample instant (and the `substeps` - 1 evenly spaced
/// instants between two samples) of each oscillator, at rest at the first
/// sample. `steps[m]` is oscillator m's step for dt / substeps, `weights`
/// from substep_weights; `peak` gets one value per oscillator.
/// `finite`, when given, gets per oscillator whether its response stayed within
/// the range of doubles: a peak skips NaN values, so one that overflowed would
/// read as the peak of its finite instants alone. A state once non-finite stays
/// so (∞·0 and ∞ − ∞ are NaN), so the last state tells.
/// Cannot fail; needs substeps ≥ 1.
void peak_response(Span accel, const Step *steps, std::int64_t n_osc, std::int64_t substeps,
                   const double *weights, double *peak, bool *finite = nullptr) noexcept;

} // namespace tavo::kernels
