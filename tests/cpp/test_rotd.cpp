// The rotation kernels against a naive scan of every angle at every instant, bit
// for bit: the samples they skip must never have changed a peak. Inputs: noise,
// circular and polarized motion, zeros, one silent component, tiny and huge
// values, several lengths, periods, sub-steps and angle tables.
#include "kernels/constants.hpp"
#include "kernels/oscillator.hpp"
#include "kernels/rotd.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfenv>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace s = tavo::kernels;

namespace {

using Vec = std::vector<double>;
constexpr double kPi = 3.141592653589793;

/// cos and sin of n angles over [0°, 180°), as the Python package builds its table.
struct Table {
  Vec cos, sin;
  explicit Table(int n) : cos(n), sin(n) {
    for (int a = 0; a < n; ++a) {
      cos[a] = std::cos(kPi * a / n);
      sin[a] = std::sin(kPi * a / n);
    }
  }
  s::Angles angles() const { return {cos.data(), sin.data(), static_cast<std::int64_t>(cos.size())}; }
};

s::Span view(const Vec &x) { return {reinterpret_cast<const char *>(x.data()), static_cast<std::int64_t>(x.size()), 8}; }

/// The response instants of one oscillator, with peak_response's arithmetic.
Vec response(const Vec &a, const s::Step &st, std::int64_t substeps) {
  Vec w(2 * substeps + 2);
  s::substep_weights(substeps, w.data());
  Vec out;
  double u = 0.0, v = 0.0;
  auto advance = [&](double lo, double hi) {
    const double un = st.a11 * u + st.a12 * v + st.b1 * lo + st.c1 * hi;
    const double vn = st.a21 * u + st.a22 * v + st.b2 * lo + st.c2 * hi;
    u = un;
    v = vn;
    out.push_back(u);
  };
  for (std::size_t k = 0; k + 1 < a.size(); ++k) {
    double lo = a[k];
    for (std::int64_t j = 1; j < substeps; ++j) {
      const double hi = w[2 * j] * a[k] + w[2 * j + 1] * a[k + 1];
      advance(lo, hi);
      lo = hi;
    }
    advance(lo, a[k + 1]);
  }
  return out;
}

/// max |x1·c + x2·s| over the whole series, at every angle.
Vec naive_peaks(const Vec &x1, const Vec &x2, const Table &t) {
  Vec pk(t.cos.size(), 0.0);
  for (std::size_t a = 0; a < pk.size(); ++a)
    for (std::size_t k = 0; k < x1.size(); ++k)
      pk[a] = std::fmax(pk[a], std::fabs(x1[k] * t.cos[a] + x2[k] * t.sin[a]));
  return pk;
}

/// scipy.integrate.cumulative_trapezoid(a, dx=dt): cumsum of dt * (a[k+1] + a[k]) / 2.0.
Vec trapezoid(const Vec &a, double dt) {
  Vec v;
  for (std::size_t k = 1; k < a.size(); ++k) {
    const double step = dt * (a[k] + a[k - 1]) / 2.0;
    v.push_back(v.empty() ? step : v.back() + step);
  }
  return v;
}

::testing::AssertionResult same_bits(const Vec &got, const Vec &want) {
  if (got.size() != want.size()) return ::testing::AssertionFailure() << "sizes differ";
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::bit_cast<std::uint64_t>(got[i]) != std::bit_cast<std::uint64_t>(want[i])) {
      char text[160];
      std::snprintf(text, sizeof text, "at %zu: got %.17g, want %.17g", i, got[i], want[i]);
      return ::testing::AssertionFailure() << text;
    }
  }
  return ::testing::AssertionSuccess();
}

/// A pair of components of one kind.
std::pair<Vec, Vec> pair_of(const std::string &kind, std::size_t n, std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  Vec x1(n), x2(n);
  for (std::size_t k = 0; k < n; ++k) {
    const double t = 0.01 * static_cast<double>(k);
    const double envelope = std::exp(-std::pow(t - 2.0, 2.0));
    if (kind == "noise") {
      x1[k] = envelope * normal(rng);
      x2[k] = envelope * normal(rng);
    } else if (kind == "circular") {
      x1[k] = envelope * std::cos(2.0 * kPi * 1.3 * t);
      x2[k] = envelope * std::sin(2.0 * kPi * 1.3 * t);
    } else if (kind == "polarized") {  // one direction only: most angles see little
      const double a = envelope * normal(rng);
      x1[k] = 0.6 * a;
      x2[k] = -0.8 * a;
    } else if (kind == "identical") {  // the same samples twice: the peak at 45° is the largest
      x1[k] = x2[k] = envelope * normal(rng);
    } else if (kind == "nan") {  // NaN from the middle on in one component: no value of it is a peak
      x1[k] = k >= n / 2 ? std::nan("") : envelope * normal(rng);
      x2[k] = envelope * normal(rng);
    } else if (kind == "apart") {  // one strong burst, then a weak one across: weak chunks hold peaks
      x1[k] = std::exp(-std::pow(t - 1.0, 2.0)) * normal(rng);
      x2[k] = 1e-3 * std::exp(-std::pow(t - 4.5, 2.0)) * normal(rng);
    } else if (kind == "silent") {
      x1[k] = envelope * normal(rng);
      x2[k] = 0.0;
    } else if (kind == "zeros") {
      x1[k] = x2[k] = 0.0;
    } else if (kind == "tiny") {  // subnormal products
      x1[k] = 1e-300 * envelope * normal(rng);
      x2[k] = 1e-300 * envelope * normal(rng);
    } else if (kind == "small" || kind == "large") {  // squared steps and chords past the normal range
      const double scale = kind == "small" ? 1e-100 : 1e110;
      x1[k] = scale * envelope * normal(rng);
      x2[k] = scale * envelope * normal(rng);
    } else if (kind == "huge") {
      x1[k] = 1e200 * envelope * normal(rng);
      x2[k] = 1e200 * envelope * normal(rng);
    } else {  // steps: constant stretches, ties everywhere
      x1[k] = std::floor(4.0 * envelope * normal(rng));
      x2[k] = std::floor(4.0 * envelope * normal(rng));
    }
  }
  return {x1, x2};
}

using Case = std::tuple<std::string, std::size_t, std::int64_t, int>;

class Rotated : public ::testing::TestWithParam<Case> {};

TEST_P(Rotated, ResponsePeaksAreTheFullScans) {
  const auto [kind, n, substeps, n_angles] = GetParam();
  const auto [a1, a2] = pair_of(kind, n, static_cast<std::uint32_t>(n + 7 * substeps));
  const Table table(n_angles);
  const double dt = 0.01, zeta = 0.05;
  const Vec periods = {0.001, 0.02, 0.1, 0.37, 1.0, 4.0, 20.0};
  std::vector<s::Step> steps;
  for (double T : periods) steps.push_back(s::exact_step(tavo::constants::two_pi / T, dt / static_cast<double>(substeps), zeta));
  Vec weights(2 * substeps + 2);
  s::substep_weights(substeps, weights.data());
  Vec got(periods.size() * n_angles);
  Vec work(s::rotated_response_work(static_cast<std::int64_t>(n), substeps));
  s::rotated_response_peaks(view(a1), view(a2), steps.data(), static_cast<std::int64_t>(periods.size()),
                            substeps, weights.data(), table.angles(), got.data(), work.data());
  for (std::size_t m = 0; m < periods.size(); ++m) {
    const Vec want = naive_peaks(response(a1, steps[m], substeps), response(a2, steps[m], substeps), table);
    EXPECT_TRUE(same_bits(Vec(got.begin() + m * n_angles, got.begin() + (m + 1) * n_angles), want))
        << "period " << periods[m];
  }
}

TEST_P(Rotated, MotionPeaksAreTheFullScans) {
  const auto [kind, n, substeps, n_angles] = GetParam();
  if (substeps != 1) GTEST_SKIP() << "the ground motion has no sub-steps";
  const auto [a1, a2] = pair_of(kind, n, static_cast<std::uint32_t>(3 * n + 1));
  const Table table(n_angles);
  const double dt = 0.005;
  Vec pga(n_angles), pgv(n_angles);
  s::rotated_motion_peaks(view(a1), view(a2), dt, table.angles(), pga.data(), pgv.data());
  EXPECT_TRUE(same_bits(pga, naive_peaks(a1, a2, table)));
  EXPECT_TRUE(same_bits(pgv, naive_peaks(trapezoid(a1, dt), trapezoid(a2, dt), table)));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Rotated,
    ::testing::Combine(::testing::Values("noise", "circular", "polarized", "identical", "nan", "apart",
                                         "silent", "zeros", "tiny", "small", "large", "huge", "steps"),
                       ::testing::Values(std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{17},
                                         std::size_t{40}, std::size_t{600}),
                       ::testing::Values(std::int64_t{1}, std::int64_t{3}), ::testing::Values(180, 7, 768)));

TEST(Rotated, LongRecordAgainstFullScan) {
  // Long enough for the skipping to do its work: the strong motion, then a coda.
  const auto [a1, a2] = pair_of("noise", 6000, 11);
  const Table table(180);
  const double dt = 0.005;
  const Vec periods = {0.01, 0.1, 0.5, 2.0, 10.0};
  std::vector<s::Step> steps;
  for (double T : periods) steps.push_back(s::exact_step(tavo::constants::two_pi / T, dt, 0.05));
  const double weights[4] = {1.0, 0.0, 0.0, 1.0};
  Vec got(periods.size() * 180);
  Vec work(s::rotated_response_work(6000, 1));
  s::rotated_response_peaks(view(a1), view(a2), steps.data(), static_cast<std::int64_t>(periods.size()), 1,
                            weights, table.angles(), got.data(), work.data());
  for (std::size_t m = 0; m < periods.size(); ++m)
    EXPECT_TRUE(same_bits(Vec(got.begin() + m * 180, got.begin() + (m + 1) * 180),
                          naive_peaks(response(a1, steps[m], 1), response(a2, steps[m], 1), table)));
}

/// The peaks of rotated_response_peaks for the given periods, with exactly the work room asked
/// for (the room sits in a vector of its own, so that reading or writing past it shows under
/// the sanitizers).
Vec kernel_peaks(const Vec &a1, const Vec &a2, const Vec &periods, double dt, std::int64_t substeps,
                 const Table &table, std::vector<s::Step> &steps) {
  steps.clear();
  for (double T : periods)
    steps.push_back(s::exact_step(tavo::constants::two_pi / T, dt / static_cast<double>(substeps), 0.05));
  Vec weights(2 * substeps + 2);
  s::substep_weights(substeps, weights.data());
  const auto n_angles = static_cast<std::int64_t>(table.cos.size());
  Vec got(periods.size() * table.cos.size());
  Vec work(s::rotated_response_work(static_cast<std::int64_t>(a1.size()), substeps));
  s::rotated_response_peaks(view(a1), view(a2), steps.data(), static_cast<std::int64_t>(periods.size()),
                            substeps, weights.data(), {table.cos.data(), table.sin.data(), n_angles},
                            got.data(), work.data());
  return got;
}

TEST(Rotated, RecordsLongerThanTheWorkRoom) {
  // Sub-steps make 120 000 instants, more than the room keeps at once (its size stops
  // growing well before): the peaks carry over from one stretch of the record to the next,
  // and the chunks at the joins are decided with their neighbours on both sides. One quiet
  // and one strong half each way.
  ASSERT_EQ(s::rotated_response_work(20001, 3), s::rotated_response_work(40001, 3));
  for (const bool strong_first : {true, false}) {
    auto [a1, a2] = pair_of("noise", 40001, strong_first ? 21 : 22);
    for (std::size_t k = 0; k < a1.size(); ++k) {
      const double t = static_cast<double>(k) / static_cast<double>(a1.size());
      const double gain = (t < 0.5) == strong_first ? 1.0 : 1e-3;
      a1[k] = gain * std::sin(0.37 * static_cast<double>(k)) + 1e-3 * a1[k];
      a2[k] = gain * std::cos(0.11 * static_cast<double>(k)) + 1e-3 * a2[k];
    }
    const Table table(180);
    const Vec periods = {0.02, 0.3, 3.0};
    std::vector<s::Step> steps;
    const Vec got = kernel_peaks(a1, a2, periods, 0.01, 3, table, steps);
    for (std::size_t m = 0; m < periods.size(); ++m)
      EXPECT_TRUE(same_bits(Vec(got.begin() + m * 180, got.begin() + (m + 1) * 180),
                            naive_peaks(response(a1, steps[m], 3), response(a2, steps[m], 3), table)))
          << "period " << periods[m] << (strong_first ? ", strong first" : ", strong last");
  }
}

TEST(Rotated, OverflowedResponsesAndPartBlocks) {
  // Responses near the largest double, whose squared amplitudes overflow to infinity part
  // way, for 1 to 37 periods (part vectors and part blocks of oscillators): the peaks are
  // the full scans' all the same.
  auto [a1, a2] = pair_of("noise", 400, 9);
  for (std::size_t k = 200; k < 260; ++k) a1[k] = 1.7e308 * (k % 2 ? 1.0 : -1.0);
  const Table table(180);
  for (const std::size_t count : {std::size_t{1}, std::size_t{5}, std::size_t{37}}) {
    Vec periods;
    for (std::size_t m = 0; m < count; ++m) periods.push_back(0.01 * std::pow(1.2, static_cast<double>(m)));
    std::vector<s::Step> steps;
    const Vec got = kernel_peaks(a1, a2, periods, 0.01, 1, table, steps);
    for (std::size_t m = 0; m < count; ++m)
      EXPECT_TRUE(same_bits(Vec(got.begin() + m * 180, got.begin() + (m + 1) * 180),
                            naive_peaks(response(a1, steps[m], 1), response(a2, steps[m], 1), table)))
          << count << " periods, period " << periods[m];
  }
}

TEST(Rotated, FiniteFlagsTellAResponseThatLeftTheDoubles) {
  // Accelerations of 1e300 alternating over dt = 1e5 s: at T = 1e6 s the state turns NaN
  // (∞ − ∞) after two steps, and a peak skips NaN, so only the flags can tell; at
  // T = 1e-3 s the oscillator follows the ground and stays finite. Both kernels say so
  // per oscillator, the plain one over either component alone.
  const Vec a1 = {1e300, -1e300, 1e300, -1e300, 1e300, -1e300};
  const Vec a2 = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  const double dt = 1e5;
  const Vec periods = {1e-3, 1e6};
  std::vector<s::Step> steps;
  for (double T : periods) steps.push_back(s::exact_step(tavo::constants::two_pi / T, dt, 0.05));
  Vec weights(4);
  s::substep_weights(1, weights.data());
  for (const Vec *a : {&a1, &a2}) {
    Vec peak(2);
    bool finite[2] = {false, false};
    s::peak_response(view(*a), steps.data(), 2, 1, weights.data(), peak.data(), finite);
    EXPECT_TRUE(finite[0]);
    EXPECT_EQ(finite[1], a == &a2);
  }
  const Table table(180);
  Vec peak(2 * 180), work(s::rotated_response_work(6, 1));
  bool finite[2] = {false, true};  // the opposite of the answers, as below
  s::rotated_response_peaks(view(a1), view(a2), steps.data(), 2, 1, weights.data(), table.angles(),
                            peak.data(), work.data(), finite);
  EXPECT_TRUE(finite[0]);
  EXPECT_FALSE(finite[1]);
  // The velocities: 1e300 over 1e10 s is past the largest double; over 0.01 s it is not.
  const Vec v1 = {0.0, 1e300, 1e300, 0.0}, v2 = {0.0, 0.0, 0.0, 0.0};
  for (const double step : {1e10, 0.01}) {
    Vec pga(180), pgv(180);
    bool velocity_finite = !(step < 1.0);  // the opposite of the answer: the kernel must write it
    s::rotated_motion_peaks(view(v1), view(v2), step, table.angles(), pga.data(), pgv.data(),
                            &velocity_finite);
    EXPECT_EQ(velocity_finite, step < 1.0) << "dt " << step;
  }
}

/// A period far below dt: the response follows the excitation, u_k = b1·a_(k-1) + c1·a_k
/// (the free motion decays to exactly zero in a step). One component ramps by `ramp` a
/// step, the other holds one spike of `spike` that is back at exactly zero within the
/// chunk: every step then points along the chord, or across it where the other peaks.
using Spike = std::tuple<double, double>;
class FollowingResponse : public ::testing::TestWithParam<Spike> {};

TEST_P(FollowingResponse, SpikeAcrossARampIsThePeakAtMostAngles) {
  const auto [ramp, spike] = GetParam();
  const double dt = 0.01, T = 1e-6;
  const s::Step st = s::exact_step(tavo::constants::two_pi / T, dt, 0.05);
  ASSERT_EQ(st.a11, 0.0);
  ASSERT_EQ(st.a12, 0.0);
  Vec a1(120), a2(120, 0.0);
  for (std::size_t k = 0; k < a1.size(); ++k) a1[k] = ramp / std::fabs(st.b1 + st.c1) * static_cast<double>(k);
  a2[36] = spike / std::fabs(st.c1);
  const Table table(180);
  std::vector<s::Step> steps;
  const Vec got = kernel_peaks(a1, a2, {T}, dt, 1, table, steps);
  EXPECT_TRUE(same_bits(got, naive_peaks(response(a1, steps[0], 1), response(a2, steps[0], 1), table)));
}

// Squared steps that underflow (the first three) or overflow (the last two).
INSTANTIATE_TEST_SUITE_P(Scales, FollowingResponse,
                         ::testing::Values(Spike{1e-161, 1e-3}, Spike{3e-162, 1e-12}, Spike{1e-120, 1e-112},
                                           Spike{1e4, 1e156}, Spike{1e100, 1e104}));

/// Sets a rounding mode until the end of the scope (some C code leaves one set).
class Rounding {
public:
  explicit Rounding(int mode) { std::fesetround(mode); }
  ~Rounding() { std::fesetround(FE_TONEAREST); }
  Rounding(const Rounding &) = delete;
  Rounding &operator=(const Rounding &) = delete;
};

using InMode = std::tuple<std::string, int>;
class RotatedInMode : public ::testing::TestWithParam<InMode> {};

TEST_P(RotatedInMode, PeaksAreTheFullScansOfTheSameMode) {
  // The pruning's bounds and the full scan both round in the mode set; past 2^512 the
  // squares overflow, to the largest double rounding down or toward zero.
  const auto [kind, mode] = GetParam();
  const auto [a1, a2] = pair_of(kind, 600, 17);
  const Table table(180);
  const Vec periods = {0.02, 0.3, 3.0};
  Vec pga(180), pgv(180), want_pga, want_pgv, got;
  std::vector<Vec> want;
  std::vector<s::Step> steps;
  {
    const Rounding rounding(mode);
    s::rotated_motion_peaks(view(a1), view(a2), 0.005, table.angles(), pga.data(), pgv.data());
    want_pga = naive_peaks(a1, a2, table);
    want_pgv = naive_peaks(trapezoid(a1, 0.005), trapezoid(a2, 0.005), table);
    got = kernel_peaks(a1, a2, periods, 0.005, 1, table, steps);
    for (const s::Step &st : steps) want.push_back(naive_peaks(response(a1, st, 1), response(a2, st, 1), table));
  }
  EXPECT_TRUE(same_bits(pga, want_pga));
  EXPECT_TRUE(same_bits(pgv, want_pgv));
  for (std::size_t m = 0; m < periods.size(); ++m)
    EXPECT_TRUE(same_bits(Vec(got.begin() + m * 180, got.begin() + (m + 1) * 180), want[m])) << "period " << periods[m];
}

INSTANTIATE_TEST_SUITE_P(Modes, RotatedInMode,
                         ::testing::Combine(::testing::Values("huge", "large", "noise", "tiny"),
                                            ::testing::Values(FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO)));

TEST(Rotated, PeaksPastTheRootOfTheLargestDouble) {
  // A table a caller may pass (c² + s² within 2^-45 of 1) whose one angle lengthens what
  // it projects: after a batch of peaks at 2^512, whose squares overflow, a sample just
  // below 2^512 still projects above them.
  Table table(1);
  table.cos = {1.0 + 0x1p-46};
  Vec a1(16, 0x1p512 * (1.0 - 0x1p-50)), a2(17, 0.0);
  a1.push_back(0x1p512 * (1.0 - 0x1p-53));
  for (const int mode : {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    double pga = 0.0, pgv = 0.0;
    Vec want;
    {
      const Rounding rounding(mode);
      s::rotated_motion_peaks(view(a1), view(a2), 1e-300, table.angles(), &pga, &pgv);
      want = naive_peaks(a1, a2, table);
    }
    EXPECT_TRUE(same_bits({pga}, want)) << "mode " << mode;
  }
}

TEST(Rotated, WorkRoomIsBoundedAndNeverEmpty) {
  const std::int64_t longest = s::rotated_response_work(std::int64_t{1} << 40, 1000);
  EXPECT_GT(s::rotated_response_work(1, 1), 0);
  EXPECT_GT(s::rotated_response_work(2, 1), 0);
  EXPECT_LE(s::rotated_response_work(2, 1), s::rotated_response_work(200, 1));
  EXPECT_EQ(s::rotated_response_work(std::int64_t{1} << 62, 1), longest);
  EXPECT_LE(longest, std::int64_t{1} << 20);
}

TEST(Rotated, ReadsStridedAndReversedViews) {
  const auto [a1, a2] = pair_of("noise", 300, 5);
  Vec gapped1(600), reversed2(300);
  for (std::size_t k = 0; k < 300; ++k) {
    gapped1[2 * k] = a1[k];
    gapped1[2 * k + 1] = 1e300;  // never read
    reversed2[299 - k] = a2[k];
  }
  const s::Span v1{reinterpret_cast<const char *>(gapped1.data()), 300, 16};
  const s::Span v2{reinterpret_cast<const char *>(reversed2.data() + 299), 300, -8};
  const Table table(180);
  Vec pga(180), pgv(180), want_pga(180), want_pgv(180);
  s::rotated_motion_peaks(v1, v2, 0.01, table.angles(), pga.data(), pgv.data());
  s::rotated_motion_peaks(view(a1), view(a2), 0.01, table.angles(), want_pga.data(), want_pgv.data());
  EXPECT_TRUE(same_bits(pga, want_pga));
  EXPECT_TRUE(same_bits(pgv, want_pgv));
}

}  // namespace
