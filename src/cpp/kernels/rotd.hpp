// Orientation-independent peaks of two horizontal components: at each angle θ
// of a table, the peak of x1·cos θ + x2·sin θ, for the ground acceleration, the
// ground velocity and the response of linear oscillators. Pure C++, no Python.h.
#pragma once

#include <cstdint>

#include "kernels/oscillator.hpp"

namespace tavo::kernels {

/// The most angles the kernels take.
inline constexpr std::int64_t max_angles = 768;

/// The rotation angles as their cosines and sines, `n` of each.
struct Angles {
  const double *cos;
  const double *sin;
  std::int64_t n;
};

/// For every angle a, pga[a] = max |a1[k]·cos a + a2[k]·sin a| over the samples and
/// pgv[a] the same of the velocities, integrated from rest by the trapezoid rule
/// exactly as scipy.integrate.cumulative_trapezoid(accel, dx=dt) does.
/// The rotated value is rounded as written: (x1·c) + (x2·s). Needs a1.n == a2.n,
/// 1 to max_angles angles with c² + s² within 2^-45 of 1; peaks of no sample are 0.
/// A NaN value raises no peak: `velocity_finite`, when given, gets whether both
/// velocities stayed within the range of doubles (the last ones tell, as in
/// peak_response). A peak that compares equal to zero is the magnitude of the first
/// value that is not NaN, as a scan in index order keeps it (with denormals-are-zero
/// set that may be a subnormal; otherwise it is +0.0). Cannot fail.
void rotated_motion_peaks(Span a1, Span a2, double dt, Angles angles, double *pga,
                          double *pgv, bool *velocity_finite = nullptr) noexcept;

/// For oscillator m and angle a, peak[m·angles.n + a] = max |u1·cos a + u2·sin a|
/// over the instants peak_response samples, where u1 and u2 are the responses
/// to a1 and a2, each computed once with peak_response's arithmetic (so angle
/// 0, where cos = 1 and sin = 0, gives peak_response's peak bit for bit).
/// `work` holds rotated_response_work(a1.n, substeps) doubles of room.
/// `finite`, when given, gets per oscillator whether both responses stayed
/// within the range of doubles, as peak_response's.
/// Needs a1.n == a2.n, substeps ≥ 1 and angles as rotated_motion_peaks. Cannot fail.
void rotated_response_peaks(Span a1, Span a2, const Step *steps, std::int64_t n_osc,
                            std::int64_t substeps, const double *weights, Angles angles,
                            double *peak, double *work, bool *finite = nullptr) noexcept;

/// The doubles of work room rotated_response_peaks needs for n samples (at
/// least one chunk's, at most 327 680 however long the record).
std::int64_t rotated_response_work(std::int64_t n, std::int64_t substeps) noexcept;

} // namespace tavo::kernels
