// Peaks over rotation angles of two components, for the ground motion and for
// oscillator responses: each component's series is computed once, and a sample
// updates the angles' peaks only where its amplitude could raise one of them.
#include "kernels/rotd.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "kernels/clones.hpp"

namespace tavo::kernels {

namespace {

// Why a sample may be skipped: |x1·c + x2·s| ≤ √(x1² + x2²)·√(c² + s²) (Cauchy–
// Schwarz), so a sample whose amplitude is below the smallest running peak over
// the angles raises none of them. The computed rotated value and the computed
// x1² + x2² are within a few units in the last place (2^-53 relative, 2^-1074
// absolute near underflow) of the exact ones, and the table's c² + s² within a
// few of 1; the margins below cover that many times over, so a sample is only
// skipped when the full scan would leave every peak as it is: the peaks are the
// full scan's, bit for bit.
constexpr double relative_margin = 0x1p-36;
constexpr double absolute_margin = 0x1p-1000;

/// The squared amplitude below which no sample can raise a peak of at least `lowest`.
inline double skip_below(double lowest) noexcept {
  // Past 2^511 the square could overflow: to ∞ rounding to nearest or upward, which
  // would skip every finite amplitude and lose the margin, to the largest double
  // rounding down. 2^511 is a lower bound, squared exactly in every mode.
  const double low = lowest < 0x1p511 ? lowest : 0x1p511;
  return low * low * (1.0 - relative_margin) - absolute_margin;
}

// Samples that pass that test are tested again per sector of 12 consecutive
// angles: with n_c the unit vector in the middle of the sector and n_⊥ its
// normal, each member n = α·n_c + β·n_⊥ with |α| ≤ 1 and |β| ≤ sin Δ (Δ the
// sector's half width), so |x·n| ≤ |x·n_c| + |x·n_⊥|·sin Δ. Only the sectors
// where that bound reaches the sector's smallest peak are scanned.
constexpr std::int64_t max_sector = 12;
constexpr std::int64_t max_sectors = max_angles / max_sector;
static_assert(max_sectors <= 64, "the sectors reached are bits of one word");

/// The sectors of an angle table: centre directions and the sines of their half widths.
struct Sectors {
  static constexpr std::int64_t size = max_sector;  // angles per sector (the last may hold fewer)
  std::int64_t n = 0;
  double cos[max_sectors], sin[max_sectors], width[max_sectors];

  std::int64_t first(std::int64_t g) const noexcept { return g * size; }
  std::int64_t end(std::int64_t g, std::int64_t n_angles) const noexcept {
    return (g + 1) * size < n_angles ? (g + 1) * size : n_angles;
  }
};

/// Sectors of 12 consecutive angles of a table of at most max_angles.
Sectors make_sectors(Angles angles) noexcept {
  Sectors q;
  q.n = (angles.n + q.size - 1) / q.size;
  for (std::int64_t g = 0; g < q.n; ++g) {
    const std::int64_t first = q.first(g), last = q.end(g, angles.n) - 1;
    double cc = angles.cos[first] + angles.cos[last], sc = angles.sin[first] + angles.sin[last];
    const double norm = std::sqrt(cc * cc + sc * sc);
    cc /= norm;
    sc /= norm;
    double w = 0.0;
    for (std::int64_t a = first; a <= last; ++a)
      w = std::fmax(w, std::fabs(angles.cos[a] * sc - angles.sin[a] * cc));
    // Rounded up well past the few ulps of the sums above.
    q.cos[g] = cc;
    q.sin[g] = sc;
    q.width[g] = w * (1.0 + relative_margin) + relative_margin;
  }
  // Padding to a multiple of four: read by the four-wide loops, never used (their bits are masked off).
  for (std::int64_t g = q.n; g < max_sectors; ++g) {
    q.cos[g] = 1.0;
    q.sin[g] = q.width[g] = 0.0;
  }
  return q;
}

// Four angles at a time in GCC's vector extension: the same IEEE operations
// lane by lane, compiled to AVX2 or SSE2 in each build. The helpers are inlined
// into each build (flatten), so no vector crosses a call.
#pragma GCC diagnostic ignored "-Wpsabi"
using v4 = double __attribute__((vector_size(32)));
using v4bits = std::uint64_t __attribute__((vector_size(32)));

inline v4 load4(const double *p) noexcept {
  v4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store4(double *p, v4 v) noexcept { std::memcpy(p, &v, sizeof v); }

/// |x| lane by lane: the sign bit cleared, as fabs does.
inline v4 abs4(v4 x) noexcept {
  return reinterpret_cast<v4>(reinterpret_cast<v4bits>(x) & 0x7fffffffffffffffULL);
}

/// Raises the peaks of the full sector of angles from `first` to the largest
/// |x1[i]·c + x2[i]·s| of the `count` points; returns their smallest peak.
double raise_sector(const double *x1, const double *x2, std::int64_t count, Angles angles,
                    std::int64_t first, double *pk) noexcept {
  static_assert(max_sector == 12, "a full sector is three vectors");
  const double *c = angles.cos + first, *s = angles.sin + first;
  const v4 c0 = load4(c), c1 = load4(c + 4), c2 = load4(c + 8);
  const v4 s0 = load4(s), s1 = load4(s + 4), s2 = load4(s + 8);
  v4 r0 = load4(pk + first), r1 = load4(pk + first + 4), r2 = load4(pk + first + 8);
  for (std::int64_t i = 0; i < count; ++i) {
    const v4 p1 = {x1[i], x1[i], x1[i], x1[i]}, p2 = {x2[i], x2[i], x2[i], x2[i]};
    const v4 a0 = abs4(p1 * c0 + p2 * s0), a1 = abs4(p1 * c1 + p2 * s1),
             a2 = abs4(p1 * c2 + p2 * s2);
    r0 = a0 > r0 ? a0 : r0;
    r1 = a1 > r1 ? a1 : r1;
    r2 = a2 > r2 ? a2 : r2;
  }
  store4(pk + first, r0);
  store4(pk + first + 4, r1);
  store4(pk + first + 8, r2);
  v4 m = r0 < r1 ? r0 : r1;
  m = r2 < m ? r2 : m;
  const double m01 = m[0] < m[1] ? m[0] : m[1], m23 = m[2] < m[3] ? m[2] : m[3];
  return m01 < m23 ? m01 : m23;
}

/// Raises the peaks of angles [first, first + 1) as raise_sector does.
double raise_run(const double *x1, const double *x2, std::int64_t count, Angles angles,
                 std::int64_t first, double *pk) noexcept {
  const double c = angles.cos[first], s = angles.sin[first];
  double run = pk[first];
  for (std::int64_t i = 0; i < count; ++i) {
    const double r = std::fabs(x1[i] * c + x2[i] * s);
    run = r > run ? r : run;
  }
  pk[first] = run;
  return run;
}

/// raise_sector over a short sector (the last of a table), one angle at a time.
double raise_short_sector(const double *x1, const double *x2, std::int64_t count, Angles angles,
                          std::int64_t first, std::int64_t end, double *pk) noexcept {
  double lowest = std::numeric_limits<double>::infinity();
  for (std::int64_t a = first; a < end; ++a) {
    const double p = raise_run(x1, x2, count, angles, a, pk);
    lowest = p < lowest ? p : lowest;
  }
  return lowest;
}

/// The sectors the `count` ≥ 1 points (x1, x2) may raise a peak on, as bits:
/// those where a bound on their projections is not below the smallest peak `low`.
std::uint64_t reach_sectors(const double *x1, const double *x2, std::int64_t count,
                            const Sectors &q, const double *low) noexcept {
  // Every point lies within r of the centre of their bounding box, so
  // |x·n| ≤ |centre·n| + r, and the sector bound applies to centre·n.
  double lo1 = x1[0], hi1 = x1[0], lo2 = x2[0], hi2 = x2[0];
  for (std::int64_t i = 1; i < count; ++i) {
    lo1 = x1[i] < lo1 ? x1[i] : lo1;
    hi1 = x1[i] > hi1 ? x1[i] : hi1;
    lo2 = x2[i] < lo2 ? x2[i] : lo2;
    hi2 = x2[i] > hi2 ? x2[i] : hi2;
  }
  const double c1 = lo1 + (hi1 - lo1) / 2.0, c2 = lo2 + (hi2 - lo2) / 2.0;
  const double w1 = hi1 - lo1, w2 = hi2 - lo2;
  // The radius (w1 + w2 bounds it where the squares would underflow), and the
  // rounding of the centre, the radius and the products. Where a width or a square
  // may have overflowed, every sector is reached: rounding down or toward zero, an
  // overflow gives the largest double, not ∞, and its root would be far too small.
  const double e = w1 * w1 + w2 * w2;
  const double r = e >= 0x1p1023 ? std::numeric_limits<double>::infinity()
                                 : (e > 0x1p-900 ? std::sqrt(e) : w1 + w2) / 2.0;
  const double slack = r + (std::fabs(c1) + std::fabs(c2) + r) * 0x1p-48;
  // The sectors four at a time.
  const v4 q1 = {c1, c1, c1, c1}, q2 = {c2, c2, c2, c2}, sl = {slack, slack, slack, slack};
  std::uint64_t reached = 0;
  for (std::int64_t g = 0; g < q.n; g += 4) {
    const v4 cg = load4(q.cos + g), sg = load4(q.sin + g), wg = load4(q.width + g);
    const v4 along = abs4(q1 * cg + q2 * sg), across = abs4(q2 * cg - q1 * sg);
    const v4 reach = (along + across * wg + sl) * (1.0 + relative_margin) + absolute_margin;
    const auto below = reach < load4(low + g);
    for (int k = 0; k < 4; ++k) reached |= static_cast<std::uint64_t>(!below[k]) << (g + k);
  }
  return reached & (q.n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << q.n) - 1);
}

/// Raises the peaks `pk` of the sectors `reached` to the `count` points where
/// they exceed them; `low` holds each sector's smallest peak. Returns the new
/// skip_below of the smallest peak.
double raise_sectors(const double *x1, const double *x2, std::int64_t count, Angles angles,
                     const Sectors &q, double *pk, double *low, std::uint64_t reached) noexcept {
  while (reached != 0) {
    const std::int64_t g = __builtin_ctzll(reached);
    reached &= reached - 1;
    const std::int64_t first = q.first(g), end = q.end(g, angles.n);
    low[g] = end - first == max_sector
                 ? raise_sector(x1, x2, count, angles, first, pk)
                 : raise_short_sector(x1, x2, count, angles, first, end, pk);
  }
  double lowest = std::numeric_limits<double>::infinity();
  for (std::int64_t g = 0; g < q.n; ++g) lowest = low[g] < lowest ? low[g] : lowest;
  return skip_below(lowest);
}

/// Raises the peaks `pk` to the `count` ≥ 1 points (x1, x2) where they exceed them,
/// sector by sector; `low` holds each sector's smallest peak. Returns the new
/// skip_below of the smallest peak.
double raise_peaks(const double *x1, const double *x2, std::int64_t count, Angles angles,
                   const Sectors &q, double *pk, double *low) noexcept {
  return raise_sectors(x1, x2, count, angles, q, pk, low, reach_sectors(x1, x2, count, q, low));
}

/// The running peaks of one series over the angles, fed one point at a time:
/// the points that may raise a peak are gathered and raised together.
struct Tracker {
  static constexpr std::int64_t batch = 16;
  double *pk;
  double low[max_sectors] = {};
  double bound = skip_below(0.0);
  double x1[batch] = {}, x2[batch] = {};
  std::int64_t count = 0;

  void offer(double p1, double p2, Angles angles, const Sectors &q) noexcept {
    // Negated test: a NaN amplitude (an overflowed series) is offered, and changes nothing.
    if (p1 * p1 + p2 * p2 < bound) return;
    x1[count] = p1;
    x2[count] = p2;
    if (++count == batch) flush(angles, q);
  }

  void flush(Angles angles, const Sectors &q) noexcept {
    if (count > 0) bound = raise_peaks(x1, x2, count, angles, q, pk, low);
    count = 0;
  }
};

constexpr std::int64_t block = 32;   // oscillators advanced together
constexpr std::int64_t chunk = 24;   // response instants a chunk holds

// Smooth stretches. Where the rotated value f(k) = x_k·n over the instants k
// peaks, f(k) is a local extremum (else a neighbour's |f| is at least as
// large): the steps d_k = x_k − x_(k−1) and d_(k+1) do not project on n with one
// strict sign. Over a stretch of instants whose steps all lie in a narrow cone,
// the steps project with one sign on every n far enough from the normal of the
// cone's axis: f is monotone there, and the stretch's inner instants peak at
// none of those angles (its ends are offered themselves). Computed values
// carry rounding: each step must project beyond τ, a bound on the rounding of
// the values at its ends, which holds with the margins below.

constexpr double min_length2 = 0x1p-450, max_length2 = 0x1p450;

/// The sectors on which f is monotone over s[0] → s[1] → … → s[c + 1]: every
/// step within a cone of half angle γ ≤ 30° around the chord s[0] → s[c + 1],
/// and the sector's angles all farther than γ from the chord's normal. 0 when
/// the steps are not in such a cone. Needs c + 1 ≤ chunk + 3.
std::uint64_t monotone_sectors(const double *s1, const double *s2, std::int64_t c,
                               const Sectors &q) noexcept {
  const double h1 = s1[c + 1] - s1[0], h2 = s2[c + 1] - s2[0];
  const double hh = h1 * h1 + h2 * h2;
  // The chord's and every step's squared length within [2^-450, 2^450], so that
  // across² / (dd·hh) below is a normal quotient, correct to a few ulps: past
  // those ends it would be 0/0, x/∞ or a subnormal, and say nothing true of the
  // angle (a step across the chord would pass as one along it).
  if (!(hh >= min_length2 && hh <= max_length2)) return 0;
  // The steps, and the sizes of their ends, padded to whole vectors with the last.
  const std::int64_t n = c + 1, padded = (n + 3) / 4 * 4;
  double d1[chunk + 4], d2[chunk + 4], ends[chunk + 4];
  for (std::int64_t j = 0; j < n; ++j) {
    d1[j] = s1[j + 1] - s1[j];
    d2[j] = s2[j + 1] - s2[j];
    ends[j] = std::fabs(s1[j]) + std::fabs(s2[j]) + std::fabs(s1[j + 1]) + std::fabs(s2[j + 1]);
  }
  for (std::int64_t j = n; j < padded; ++j) {
    d1[j] = d1[n - 1];
    d2[j] = d2[n - 1];
    ends[j] = ends[n - 1];
  }
  const v4 H1 = {h1, h1, h1, h1}, H2 = {h2, h2, h2, h2}, HH = {hh, hh, hh, hh};
  v4 spread = {0.0, 0.0, 0.0, 0.0};  // sin² of each step's angle to the chord
  bool smooth = true;
  for (std::int64_t j = 0; j < padded; j += 4) {
    const v4 e1 = load4(d1 + j), e2 = load4(d2 + j);
    // τ: the rounding of x·n at the step's two ends, far above 2 ulp of |x1| + |x2|.
    const v4 tau = load4(ends + j) * 0x1p-48;
    const v4 dd = e1 * e1 + e2 * e2, along = e1 * H1 + e2 * H2, across = e1 * H2 - e2 * H1;
    // Long enough for its direction to hold beyond τ (asin(τ/|d|) ≤ 2^-19) and beyond
    // the absolute rounding of values near zero (|d| ≥ 2^-225), and pointing along the chord.
    const auto fine = (dd > 0x1p40 * tau * tau) & (dd >= min_length2) & (dd <= max_length2) & (along > 0.0);
    smooth = smooth && fine[0] && fine[1] && fine[2] && fine[3];
    const v4 r = across * across / (dd * HH);
    spread = r > spread ? r : spread;
  }
  const double s01 = spread[0] > spread[1] ? spread[0] : spread[1];
  const double s23 = spread[2] > spread[3] ? spread[2] : spread[3];
  const double widest = s01 > s23 ? s01 : s23;
  if (!smooth || !(widest <= 0.25)) return 0;
  // sin(γ + Δ + μ) ≤ sin γ + sin Δ + μ; μ = 1e-4 covers 2^-19 and every rounding.
  const double sin_gamma = std::sqrt(widest) * (1.0 + 0x1p-30) + 1e-4;
  const double hn = std::sqrt(hh);
  std::uint64_t monotone = 0;
  for (std::int64_t g = 0; g < q.n; ++g) {
    const double axis = std::fabs(h1 * q.cos[g] + h2 * q.sin[g]);
    monotone |= static_cast<std::uint64_t>(axis > hn * (sin_gamma + q.width[g])) << g;
  }
  return monotone;
}

// The responses in two passes over each segment of the record. The first
// advances a block of oscillators together, both components' states and the
// shared coefficients in L1 as in peak_response, and keeps of every chunk of
// instants only the states it starts from and its largest squared amplitude.
// The second takes each oscillator's chunks strongest first, and computes a
// chunk again from its states (the same operations on the same values, so the
// same responses, bit for bit) only where its largest amplitude may raise a
// peak. A peak is a maximum, the same whatever order its values come in; the
// strong chunks bring the peaks close to their final values at once, so that
// few of the others are opened at all (taken in time order, every instant of
// the growing motion raised them a little).
// Why the order changes no bit: every test that leaves an instant out compares
// it with peaks already reached, and peaks only grow, so what was below a peak
// stays below it. An instant left out of a smooth stretch on a sector has a
// neighbour along the stretch with a strictly larger |value| there; following
// the neighbours leads to an end of the stretches, an instant that is either
// raised itself or left out by amplitude, below the peak. So the instant that
// holds a peak is never left out, whichever chunk is opened first.

/// What a segment keeps per chunk and oscillator: the states at its start
/// (after the instant before it) and its largest squared amplitude.
enum Kept : std::int64_t { U1, V1, U2, V2, TOP, kept };
constexpr std::int64_t segment = 2048;  // chunks per segment

// The levels a segment's chunks are taken in, by their largest squared
// amplitude against the segment's largest M: at least M/2, then at least M/16,
// then the rest.
constexpr double level_scale[2] = {0x1p-1, 0x1p-4};

struct PairBlock {
  StepBlock<block> step;
  alignas(64) double u1[block], v1[block], u2[block], v2[block], top[block];
  alignas(64) double bound[block], strongest[block];
  double low[block][max_sectors];  // each oscillator's sector minima
};

/// The record's excitation at instant position g of the sub-step grid (sample
/// g / substeps and the point between), as peak_response computes it.
inline double excitation(Span a, std::int64_t g, std::int64_t substeps,
                         const double *weights) noexcept {
  if (substeps == 1) return at(a, g);
  const std::int64_t k = g / substeps, j = g - k * substeps;
  return j == 0 ? at(a, k) : weights[2 * j] * at(a, k) + weights[2 * j + 1] * at(a, k + 1);
}

/// Pass one over the instants [first, first + count) of a segment: the block's
/// oscillators advanced together; per chunk, the states it starts from and its
/// largest squared amplitude go to `kept`.
void keep_chunks(PairBlock &s, std::int64_t nb, Span a1, Span a2, std::int64_t substeps,
                 const double *weights, std::int64_t first, std::int64_t count,
                 double *kept_at) noexcept {
  double lo1 = excitation(a1, first, substeps, weights), lo2 = excitation(a2, first, substeps, weights);
  for (std::int64_t c = 0; c * chunk < count; ++c) {
    double *row = kept_at + c * kept * block;
    // Every lane, the ones past nb at rest: pass two reads whole vectors.
    for (std::int64_t m = 0; m < block; ++m) {
      row[U1 * block + m] = s.u1[m];
      row[V1 * block + m] = s.v1[m];
      row[U2 * block + m] = s.u2[m];
      row[V2 * block + m] = s.v2[m];
      s.top[m] = 0.0;
    }
    const std::int64_t end = (c + 1) * chunk < count ? (c + 1) * chunk : count;
    for (std::int64_t i = c * chunk; i < end; ++i) {
      const std::int64_t g = first + i + 1;
      const double hi1 = excitation(a1, g, substeps, weights), hi2 = excitation(a2, g, substeps, weights);
#pragma GCC ivdep
      for (std::int64_t m = 0; m < nb; ++m) {
        s.step.advance(m, s.u1[m], s.v1[m], lo1, hi1);
        s.step.advance(m, s.u2[m], s.v2[m], lo2, hi2);
        const double amp2 = s.u1[m] * s.u1[m] + s.u2[m] * s.u2[m];
        // A NaN amplitude (an overflowed response) is never kept: it raises no peak.
        s.top[m] = amp2 > s.top[m] ? amp2 : s.top[m];
      }
      lo1 = hi1;
      lo2 = hi2;
    }
    for (std::int64_t m = 0; m < block; ++m) row[TOP * block + m] = s.top[m];
  }
}

/// Pass two over one chunk of `count` instants from `first` (of `total` in the
/// record), kept at `row`, for the oscillators whose bits `open` holds: their
/// responses computed again from the kept states, four oscillators to a vector
/// as in pass one, with the instant before and the one after; then, oscillator
/// by oscillator, the instants that may raise a peak raised, but on the
/// sectors where they cannot peak.
void open_chunk(PairBlock &s, std::uint64_t open, Span a1, Span a2, std::int64_t substeps,
                const double *weights, std::int64_t first, std::int64_t count,
                std::int64_t total, const double *row, Angles angles, const Sectors &q,
                double *rows) noexcept {
  static_assert(block % 4 == 0 && block <= 64, "whole vectors, the oscillators bits of one word");
  alignas(64) double r1[chunk + 2][block], r2[chunk + 2][block];  // before, the chunk's, next
  std::int64_t groups[block / 4], n_groups = 0;
  for (std::int64_t g = 0; g < block / 4; ++g)
    if ((open >> (4 * g)) & 0xf) groups[n_groups++] = 4 * g;
  v4 u1[block / 4], v1[block / 4], u2[block / 4], v2[block / 4];
  for (std::int64_t i = 0; i < n_groups; ++i) {
    const std::int64_t m = groups[i];
    u1[i] = load4(row + U1 * block + m);
    v1[i] = load4(row + V1 * block + m);
    u2[i] = load4(row + U2 * block + m);
    v2[i] = load4(row + V2 * block + m);
    store4(&r1[0][m], u1[i]);
    store4(&r2[0][m], u2[i]);
  }
  const bool next = first + count < total;  // the record's last instant has none
  double lo1 = excitation(a1, first, substeps, weights), lo2 = excitation(a2, first, substeps, weights);
  const StepBlock<block> &k = s.step;
  for (std::int64_t t = 1; t <= count + next; ++t) {
    const std::int64_t g = first + t;
    const double hi1 = excitation(a1, g, substeps, weights), hi2 = excitation(a2, g, substeps, weights);
    const v4 l1 = {lo1, lo1, lo1, lo1}, h1 = {hi1, hi1, hi1, hi1};
    const v4 l2 = {lo2, lo2, lo2, lo2}, h2 = {hi2, hi2, hi2, hi2};
    for (std::int64_t i = 0; i < n_groups; ++i) {
      const std::int64_t m = groups[i];
      // StepBlock::advance's operations in its order, four lanes at once.
      const v4 a11 = load4(k.a11 + m), a12 = load4(k.a12 + m), a21 = load4(k.a21 + m),
               a22 = load4(k.a22 + m), b1 = load4(k.b1 + m), b2 = load4(k.b2 + m),
               c1 = load4(k.c1 + m), c2 = load4(k.c2 + m);
      const v4 un1 = a11 * u1[i] + a12 * v1[i] + b1 * l1 + c1 * h1;
      const v4 vn1 = a21 * u1[i] + a22 * v1[i] + b2 * l1 + c2 * h1;
      const v4 un2 = a11 * u2[i] + a12 * v2[i] + b1 * l2 + c1 * h2;
      const v4 vn2 = a21 * u2[i] + a22 * v2[i] + b2 * l2 + c2 * h2;
      u1[i] = un1;
      v1[i] = vn1;
      u2[i] = un2;
      v2[i] = vn2;
      store4(&r1[t][m], un1);
      store4(&r2[t][m], un2);
    }
    lo1 = hi1;
    lo2 = hi2;
  }
  while (open != 0) {
    const std::int64_t m = __builtin_ctzll(open);
    open &= open - 1;
    double s1[chunk + 2], s2[chunk + 2], x1[chunk], x2[chunk];
    std::int64_t n = 0;
    for (std::int64_t t = 0; t <= count + next; ++t) {
      s1[t] = r1[t][m];
      s2[t] = r2[t][m];
    }
    for (std::int64_t t = 1; t <= count; ++t) {
      x1[n] = s1[t];
      x2[n] = s2[t];
      // Negated test: a NaN amplitude is offered, and changes nothing.
      n += !(s1[t] * s1[t] + s2[t] * s2[t] < s.bound[m]);
    }
    // The smooth stretch is looked at only where some sector is reached at all.
    std::uint64_t reached = n > 0 ? reach_sectors(x1, x2, n, q, s.low[m]) : 0;
    if (reached != 0 && next) reached &= ~monotone_sectors(s1, s2, count, q);
    if (reached != 0)
      s.bound[m] = raise_sectors(x1, x2, n, angles, q, rows + m * angles.n, s.low[m], reached);
  }
}

/// The oscillators whose chunk is in `level` by its largest squared amplitude
/// `top` and not below their bounds, as bits.
std::uint64_t in_level(const PairBlock &s, std::int64_t nb, const double *top, int level) noexcept {
  std::uint64_t bits = 0;
  for (std::int64_t m = 0; m < nb; m += 4) {
    const v4 t = load4(top + m), strongest = load4(s.strongest + m);
    // At least M/2, else at least M/16, else the rest: whatever M (0 or
    // infinite, never NaN), each chunk is in one level.
    const auto strong = t >= strongest * level_scale[0], fair = t >= strongest * level_scale[1];
    const auto pick = level == 0 ? strong : level == 1 ? ~strong & fair : ~strong & ~fair;
    // Negated bound test, as elsewhere.
    const auto open = pick & ~(t < load4(s.bound + m));
    for (int j = 0; j < 4; ++j) bits |= static_cast<std::uint64_t>(open[j] != 0) << (m + j);
  }
  return nb == 64 ? bits : bits & ((std::uint64_t{1} << nb) - 1);
}

/// Pass two over a segment's `chunks` chunks from instant `first`, level by
/// level, each level in time order; a chunk is opened unless its largest
/// amplitude is below its oscillator's bound.
void open_chunks(PairBlock &s, std::int64_t nb, Span a1, Span a2, std::int64_t substeps,
                 const double *weights, std::int64_t first, std::int64_t chunks,
                 std::int64_t total, const double *kept_at, Angles angles, const Sectors &q,
                 double *rows) noexcept {
  for (std::int64_t m = 0; m < block; ++m) s.strongest[m] = 0.0;
  for (std::int64_t c = 0; c < chunks; ++c) {
    const double *top = kept_at + (c * kept + TOP) * block;
    for (std::int64_t m = 0; m < nb; ++m)
      s.strongest[m] = top[m] > s.strongest[m] ? top[m] : s.strongest[m];
  }
  for (int level = 0; level < 3; ++level) {
    for (std::int64_t c = 0; c < chunks; ++c) {
      const double *row = kept_at + c * kept * block;
      const std::uint64_t open = in_level(s, nb, row + TOP * block, level);
      if (open == 0) continue;
      const std::int64_t start = first + c * chunk;
      const std::int64_t count = total - start < chunk ? total - start : chunk;
      open_chunk(s, open, a1, a2, substeps, weights, start, count, total, row, angles, q, rows);
    }
  }
}

} // namespace

// Built for AVX2 too, with every helper inlined into each build.
TAVO_TARGET_CLONES("avx2", "default") __attribute__((flatten))
void rotated_motion_peaks(Span a1, Span a2, double dt, Angles angles, double *pga,
                          double *pgv, bool *velocity_finite) noexcept {
  for (std::int64_t a = 0; a < angles.n; ++a) pga[a] = pgv[a] = 0.0;
  const Sectors q = make_sectors(angles);
  Tracker acc{pga}, vel{pgv};
  double w1 = 0.0, w2 = 0.0;  // velocities
  for (std::int64_t k = 0; k < a1.n; ++k) {
    const double x1 = at(a1, k), x2 = at(a2, k);
    acc.offer(x1, x2, angles, q);
    if (k == 0) continue;
    // cumulative_trapezoid's arithmetic: cumsum of d * (y[k] + y[k-1]) / 2.0,
    // summed left to right (from 0.0 here rather than from its first term:
    // only the sign of a zero differs, and peaks are of |v|).
    w1 += dt * (x1 + at(a1, k - 1)) / 2.0;
    w2 += dt * (x2 + at(a2, k - 1)) / 2.0;
    vel.offer(w1, w2, angles, q);
  }
  acc.flush(angles, q);
  vel.flush(angles, q);
  if (velocity_finite != nullptr) *velocity_finite = std::isfinite(w1) && std::isfinite(w2);
  // With denormals-are-zero set (MXCSR) a subnormal compares equal to zero, so no
  // subnormal value raises a peak from +0.0; the scan in index order that get_PGA_cy
  // and get_PGV_cy follow keeps the first of several maxima that compare equal. A
  // peak that compares equal to zero is therefore the first value's magnitude that is
  // not NaN. Outside that mode every value there is a zero, and so is that one.
  for (std::int64_t a = 0; a < angles.n; ++a) {
    if (pga[a] != 0.0) continue;
    for (std::int64_t k = 0; k < a1.n; ++k) {
      const double r = std::fabs(at(a1, k) * angles.cos[a] + at(a2, k) * angles.sin[a]);
      if (r == r) {
        pga[a] = r;
        break;
      }
    }
  }
  if (a1.n < 2) return;
  // The first velocities as cumulative_trapezoid gives them: its first terms, not 0.0
  // plus them (with denormals-are-zero that sum drops a subnormal term). A NaN one
  // makes every later one NaN: no value, no peak.
  const double v1 = dt * (at(a1, 1) + at(a1, 0)) / 2.0, v2 = dt * (at(a2, 1) + at(a2, 0)) / 2.0;
  for (std::int64_t a = 0; a < angles.n; ++a) {
    const double r = std::fabs(v1 * angles.cos[a] + v2 * angles.sin[a]);
    if (pgv[a] == 0.0 && r == r) pgv[a] = r;
  }
}

std::int64_t rotated_response_work(std::int64_t n, std::int64_t substeps) noexcept {
  // Whole chunks of the record's (n - 1)·substeps instants, at most a segment.
  const std::int64_t samples = n > 1 ? n - 1 : 0;
  std::int64_t chunks = segment;
  if (samples <= segment * chunk) {  // else a segment at least, and no product overflows
    const std::int64_t needed = (samples * substeps + chunk - 1) / chunk;
    chunks = needed < 1 ? 1 : needed < segment ? needed : segment;
  }
  return chunks * kept * block;
}

// Built for AVX2 too where the processor has it, picked at load time; without
// contraction to FMA both builds do the same IEEE operations, bit for bit.
TAVO_TARGET_CLONES("avx2", "default") __attribute__((flatten))
void rotated_response_peaks(Span a1, Span a2, const Step *steps, std::int64_t n_osc,
                            std::int64_t substeps, const double *weights, Angles angles,
                            double *peak, double *work, bool *finite) noexcept {
  for (std::int64_t i = 0; i < n_osc * angles.n; ++i) peak[i] = 0.0;
  const Sectors q = make_sectors(angles);
  const std::int64_t total = (a1.n > 1 ? a1.n - 1 : 0) * substeps;  // response instants
  PairBlock s;
  for (std::int64_t first = 0; first < n_osc; first += block) {
    const std::int64_t nb = n_osc - first < block ? n_osc - first : block;
    double *rows = peak + first * angles.n;
    s.step.load(steps + first, nb);
    for (std::int64_t m = nb; m < block; ++m) s.step.clear(m);  // lanes that stay at rest
    for (std::int64_t m = 0; m < block; ++m) {
      // At rest at the first sample: the peaks start at 0.
      s.u1[m] = s.v1[m] = s.u2[m] = s.v2[m] = 0.0;
      s.bound[m] = skip_below(0.0);
      for (std::int64_t g = 0; g < max_sectors; ++g) s.low[m][g] = 0.0;
    }
    for (std::int64_t start = 0; start < total; start += segment * chunk) {
      const std::int64_t count = total - start < segment * chunk ? total - start : segment * chunk;
      keep_chunks(s, nb, a1, a2, substeps, weights, start, count, work);
      open_chunks(s, nb, a1, a2, substeps, weights, start, (count + chunk - 1) / chunk, total,
                  work, angles, q, rows);
    }
    // Pass one advanced the states through the whole record: the last ones tell.
    if (finite != nullptr)
      for (std::int64_t m = 0; m < nb; ++m)
        finite[first + m] = std::isfinite(s.u1[m]) && std::isfinite(s.v1[m]) &&
                            std::isfinite(s.u2[m]) && std::isfinite(s.v2[m]);
  }
}

} // namespace tavo::kernels
