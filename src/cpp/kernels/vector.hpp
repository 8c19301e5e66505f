// Vector kernels over strided one-dimensional double data: the reductions,
// element-wise maps and series the measures share. Pure C++: no Python here.
// Kernels never fail, read their input in place and touch nothing outside the
// n elements of each span.
#pragma once

#include <cstdint>

#include "kernels/constants.hpp"
#include "kernels/span.hpp"

namespace tavo::kernels {

/// Starting value of every running maximum: a result of -999.0 means "no sample counted".
inline constexpr double max_start = -999.0;

// The element-wise kernels write min(x.n, out.n) elements of out. out must not
// overlap x except by being the very same elements (in place).

/// Largest element strictly above -999.0, scanning in index order; NaN never counts.
/// An equal later element never replaces the maximum, so [0.0, -0.0] gives +0.0.
double max(Span x) noexcept;
/// The maximum once max() found it to be zero: the first zero of x in index order,
/// sign included, or +0.0 when x holds none (x changed after the maximum was taken).
double first_zero(Span x) noexcept;
/// Strict left-to-right sum from +0.0.
double sum(Span x) noexcept;
/// out[i] = x[i] with its sign bit cleared (-0.0 -> +0.0, NaN stays NaN).
void abs(Span x, MutSpan out) noexcept;
/// out[i] = running total from +0.0 of x[0..i], added in index order.
void cumsum(Span x, MutSpan out) noexcept;
/// out[i] = the math library's pow(x[i], exponent), never a shortcut.
void pow(Span x, double exponent, MutSpan out) noexcept;
/// out[i] = double(i) * step + start with step = (stop - start) / double(num - 1), for i < min(num, out.n).
void linspace(double start, double stop, std::int32_t num, MutSpan out) noexcept;

/// max of |x| without the temporary; bit-identical to max() over abs(x).
double max_abs(Span x) noexcept;
// The sums of non-negative terms below (sum_abs to arias_series) are exact strict
// left-to-right sums computed a block at a time where the binade argument in
// exact_sum.hpp proves the sequential result, and by the sequential loop elsewhere.

/// sum of |x|, strict left-to-right; bit-identical to sum() over abs(x).
double sum_abs(Span x) noexcept;
/// The standardized-CAV pass: x is cut into n_windows consecutive windows of `window`
/// elements (the last ones shorter or empty at the end of x); every window whose
/// max_abs is below `threshold` is set to +0.0 in place. Returns sum_abs of the
/// result, left to right, as if taken after the silencing.
double silence_and_sum_abs(MutSpan x, std::int64_t window, std::int64_t n_windows,
                           double threshold) noexcept;
/// Left-to-right sum from +0.0 of (|x[i]| < threshold ? 0.0 : |x[i]|).
double sum_abs_at_least(Span x, double threshold) noexcept;
/// The math library's pow(x, 2.0), bit for bit, mostly computed as x * x.
double square(double x) noexcept;
/// Left-to-right sum from +0.0 of square(x[i]); bit-identical to sum() over pow(x, 2.0).
double sum_squares(Span x) noexcept;
/// Cumulative Arias intensity: out[k] = (((P[k] * dt) * pi) / 2.0) / gravity with P the
/// running sum of square(x[j]), j <= k; each operation rounded on its own. Returns P[n-1]
/// (0.0 when x is empty); the series runs over min(x.n, out.n) elements.
double arias_series(Span x, double dt, MutSpan out) noexcept;
/// The Arias scaling of a running sum of squares s: four roundings in this order
/// (pi / (2 * gravity) is never formed). T is double or a vector of doubles.
template <class T> inline T arias_scale(T s, double dt) noexcept {
  return (((s * dt) * constants::pi) / 2.0) / constants::gravity;
}
/// out[k] = arias_scale(P[k], dt) over min(P.n, out.n) elements, as arias_series scales.
void arias_scale_series(Span P, double dt, MutSpan out) noexcept;
/// The running sum P of square(x[j]) (as in arias_series) a block at a time, for the
/// Arias times without the series: ends[b] = P at the last sample of block b (blocks of
/// arias_block samples; ends.n must be at least ceil(x.n / arias_block)), and
/// first_positive = the first P above zero (0.0 when none). Once P is NaN the rest of
/// ends is NaN. Returns P[x.n - 1] (0.0 when x is empty).
// Each Arias level recomputes one block: 32 samples rather than 64 made a level about a
// sixth cheaper, while the pass keeping twice as many ends measured no slower.
inline constexpr std::int64_t arias_block = 32;
struct SquareSums {
  double total;
  double first_positive;
};
SquareSums square_sums_by_block(Span x, MutSpan ends) noexcept;
/// The first k in [i0, i0 + m) (m <= arias_block) with arias_scale(P[k], dt) > val, where
/// P[k] = start + square(x[i0]) + ... + square(x[k]) added left to right; i0 + m when
/// none. Needs a non-decreasing arias_scale(P[k], dt) (a non-decreasing P free of NaN,
/// and dt > 0): the index is found by bisection.
std::int64_t arias_first_above(Span x, std::int64_t i0, std::int64_t m, double start, double dt, double val) noexcept;
/// max() over abs(v) with v = cumsum of the n - 1 trapezoid terms (dt * (x[i + 1] + x[i])) / 2.0,
/// the velocity of x integrated from rest, in one pass; max_start when x.n < 2. The
/// running sum starts from its first term, as a cumulative sum does.
double velocity_peak(Span x, double dt) noexcept;

/// The lanes the block methods take in this build on this CPU (while rounding to
/// nearest): 8 (AVX-512), 4 (AVX2) or 0 (the plain loops).
int exact_lanes() noexcept;

/// The exact sums, for block_tally.
enum class ExactKernel { sum_abs, sum_abs_at_least, silence_and_sum_abs, sum_squares, arias_series };
/// Blocks an exact sum tried, and how many of them the plain loop added instead.
struct BlockTally {
  std::int64_t blocks;
  std::int64_t fallbacks;
};
/// Runs `kernel` over x as the measures do and counts its blocks (for the benchmarks).
/// param: the threshold of sum_abs_at_least, the window length of silence_and_sum_abs
/// (threshold 0.025 g), dt of arias_series. silence_and_sum_abs silences x and
/// arias_series writes its series into x, in place.
BlockTally block_tally(ExactKernel kernel, MutSpan x, double param) noexcept;

/// Index of the first element strictly greater than val, or series.n when none.
std::int64_t first_greater(Span series, double val) noexcept;
/// True iff x holds no NaN and x[k] <= x[k + 1] for every k.
bool is_nondecreasing(Span x) noexcept;
/// first_greater by bisection; the series must satisfy is_nondecreasing.
std::int64_t first_greater_sorted(Span series, double val) noexcept;
/// Writes +0.0 into every element of x.
void fill_zero(MutSpan x) noexcept;

}  // namespace tavo::kernels
