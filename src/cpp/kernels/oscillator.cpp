// The exact piecewise-linear recurrence (Nigam and Jennings, 1969) and the
// response kernel that advances a block of oscillators per time step.
#include "kernels/oscillator.hpp"

#include <cmath>

#include "kernels/clones.hpp"

namespace tavo::kernels {

namespace {

/// The step for x = ω·h ≤ 1 from the Taylor series of e^{xJ} and of its
/// integrals φ1, φ2, in the scaled state [ω·u, v] where the matrix is
/// xJ = x [[0, 1], [-1, -2ζ]]. The closed forms below lose digits to
/// cancellation there (1 - A11 ≈ x²/2); the series never subtract large terms.
Step series_step(double omega, double h, double zeta) noexcept {
  const double x = omega * h;
  double p1 = 1.0, p2 = 0.0;  // first column of (xJ)^n / n!
  double q1 = 0.0, q2 = 1.0;  // second column of (xJ)^n / n!
  double P1 = 0.0, P2 = 0.0, Q1 = 0.0, Q2 = 0.0;  // e^{xJ}
  double R1 = 0.0, R2 = 0.0;  // (φ1 - φ2)(xJ) e2 = Σ q_n / (n + 2)
  double S1 = 0.0, S2 = 0.0;  // φ2(xJ) e2 = Σ q_n / ((n + 1)(n + 2))
  // ‖xJ‖ ≤ 2.42 for x ≤ 1 and ζ < 1, so 2.42^40 / 40! is far below 1e-17:
  // a fixed count keeps the coefficients independent of any stopping test.
  for (int n = 0; n < 40; ++n) {
    const double dn = static_cast<double>(n);
    P1 += p1;
    P2 += p2;
    Q1 += q1;
    Q2 += q2;
    R1 += q1 / (dn + 2.0);
    R2 += q2 / (dn + 2.0);
    S1 += q1 / ((dn + 1.0) * (dn + 2.0));
    S2 += q2 / ((dn + 1.0) * (dn + 2.0));
    const double next = dn + 1.0;
    const double np1 = x * p2 / next, np2 = x * (-p1 - 2.0 * zeta * p2) / next;
    const double nq1 = x * q2 / next, nq2 = x * (-q1 - 2.0 * zeta * q2) / next;
    p1 = np1;
    p2 = np2;
    q1 = nq1;
    q2 = nq2;
  }
  // Back to [u, v]: A = S⁻¹ e^{xJ} S, B = -h S⁻¹ (φ1 - φ2) e2, C = -h S⁻¹ φ2 e2,
  // with S = diag(ω, 1).
  const double h_omega = h / omega;
  return Step{P1,           Q1 / omega, omega * P2,  Q2,
              -h_omega * R1, -h * R2,    -h_omega * S1, -h * S2};
}

/// sin(y) / y, exact to rounding for every y ≥ 0 (the series near 0, where
/// ζ close to 1 makes y = √(1 - ζ²)·x small while x is not).
double sinc(double y) noexcept {
  if (y < 1e-3) {
    const double y2 = y * y;
    return 1.0 - y2 / 6.0 * (1.0 - y2 / 20.0);
  }
  return std::sin(y) / y;
}

/// The step for x = ω·h > 1 from the closed forms of the damped oscillator.
Step closed_step(double omega, double h, double zeta) noexcept {
  const double x = omega * h;
  // √((1 - ζ)(1 + ζ)) keeps its digits as ζ → 1, unlike √(1 - ζ²).
  const double q = std::sqrt((1.0 - zeta) * (1.0 + zeta));
  const double y = q * x;
  const double E = std::exp(-zeta * x);
  const double c = std::cos(y);
  const double Es = E * sinc(y);       // e^{-ζx} sin(y) / y
  const double sq = x * sinc(y);       // sin(y) / q, finite as q → 0
  const double a11 = E * (c + zeta * sq);
  const double a22 = E * (c - zeta * sq);
  const double D1 = 1.0 - a11;         // ω² times the unit-step displacement
  const double x2 = x * x;
  const double g1 = D1 / x2;           // φ2 e2, second row, over h
  const double g2 = (1.0 - Es - 2.0 * zeta * D1 / x) / x2;  // φ2 e2, first row, over h²
  return Step{a11,   h * Es,          -omega * x * Es, a22,
              -h * h * (g1 - g2), -h * (Es - g1), -h * h * g2, -h * g1};
}

// Oscillators advanced together: their state and coefficients (11 arrays)
// stay in L1 while the record streams past once per block.
constexpr std::int64_t block = 64;

struct Block {
  StepBlock<block> step;
  alignas(64) double u[block], v[block], pk[block];
};

/// One step of every oscillator of the block from acceleration lo to hi.
inline void advance(Block &s, std::int64_t nb, double lo, double hi) noexcept {
#pragma GCC ivdep
  for (std::int64_t m = 0; m < nb; ++m) {
    s.step.advance(m, s.u[m], s.v[m], lo, hi);
    const double au = std::fabs(s.u[m]);
    s.pk[m] = au > s.pk[m] ? au : s.pk[m];
  }
}

} // namespace

void substep_weights(std::int64_t substeps, double *weights) noexcept {
  const double m = static_cast<double>(substeps);
  for (std::int64_t j = 0; j <= substeps; ++j) {
    const double dj = static_cast<double>(j);
    weights[2 * j] = (m - dj) / m;
    weights[2 * j + 1] = dj / m;
  }
}

Step exact_step(double omega, double h, double zeta) noexcept {
  return omega * h <= 1.0 ? series_step(omega, h, zeta) : closed_step(omega, h, zeta);
}

// Built for AVX2 too where the processor has it, picked at load time; without
// contraction to FMA both builds do the same IEEE operations, bit for bit.
TAVO_TARGET_CLONES("avx2", "default")
void peak_response(Span accel, const Step *steps, std::int64_t n_osc, std::int64_t substeps,
                   const double *weights, double *peak, bool *finite) noexcept {
  Block s;
  for (std::int64_t first = 0; first < n_osc; first += block) {
    const std::int64_t nb = n_osc - first < block ? n_osc - first : block;
    s.step.load(steps + first, nb);
    for (std::int64_t m = 0; m < nb; ++m) {
      // At rest at the first sample: u = v = 0 there, so the peak starts at 0.
      s.u[m] = 0.0;
      s.v[m] = 0.0;
      s.pk[m] = 0.0;
    }
    for (std::int64_t k = 0; k + 1 < accel.n; ++k) {
      const double a0 = at(accel, k), a1 = at(accel, k + 1);
      if (substeps == 1) {
        advance(s, nb, a0, a1);
        continue;
      }
      // The excitation is linear between samples, so the points between are
      // the same excitation: a_j = ((m - j)/m)·a0 + (j/m)·a1, exact at j = 0, m.
      double lo = a0;
      for (std::int64_t j = 1; j < substeps; ++j) {
        const double hi = weights[2 * j] * a0 + weights[2 * j + 1] * a1;
        advance(s, nb, lo, hi);
        lo = hi;
      }
      advance(s, nb, lo, a1);
    }
    for (std::int64_t m = 0; m < nb; ++m) peak[first + m] = s.pk[m];
    if (finite != nullptr)
      for (std::int64_t m = 0; m < nb; ++m)
        finite[first + m] = std::isfinite(s.u[m]) && std::isfinite(s.v[m]);
  }
}

} // namespace tavo::kernels
