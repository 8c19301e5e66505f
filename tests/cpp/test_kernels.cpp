// The vector kernels against naive scalar references, bit for bit, over sizes,
// strides (forward, gapped, reversed), special values and unaligned buffers.
// Output views sit between guard elements so that any stray write shows.
#include "kernels/vector.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfenv>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace k = tavo::kernels;

namespace {

using Vec = std::vector<double>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = 3.141592653589793;

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

::testing::AssertionResult same_bits(double got, double want) {
  if (bits(got) == bits(want)) return ::testing::AssertionSuccess();
  char text[160];
  std::snprintf(text, sizeof text, "got %.17g (0x%016" PRIx64 "), want %.17g (0x%016" PRIx64 ")", got,
                bits(got), want, bits(want));
  return ::testing::AssertionFailure() << text;
}

/// For arithmetic results: bit for bit, -0.0 included, except that a NaN matches any
/// NaN. When both operands of an addition are NaN, which one passes on is the
/// compiler's choice of operand order, not something the definitions fix.
::testing::AssertionResult same_result(double got, double want) {
  if (std::isnan(got) && std::isnan(want)) return ::testing::AssertionSuccess();
  return same_bits(got, want);
}

template <class Same>
::testing::AssertionResult all_same(const Vec &got, const Vec &want, Same same) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << "size " << got.size() << " != " << want.size();
  for (std::size_t i = 0; i < got.size(); ++i)
    if (auto r = same(got[i], want[i]); !r) return r << " at index " << i;
  return ::testing::AssertionSuccess();
}
::testing::AssertionResult same_bits(const Vec &got, const Vec &want) {
  return all_same(got, want, [](double g, double w) { return same_bits(g, w); });
}
::testing::AssertionResult same_result(const Vec &got, const Vec &want) {
  return all_same(got, want, [](double g, double w) { return same_result(g, w); });
}

/// The library's pow with an exponent the optimiser cannot see, so never x * x.
double library_pow(double x, double y) {
  volatile double hidden = y;
  return std::pow(x, hidden);
}

// ---- naive references: one plain loop each, in index order ----

double ref_max(const Vec &x) {
  double m = -999.0;
  for (double v : x)
    if (v > m) m = v;
  return m;
}
double ref_sum(const Vec &x) {
  double s = 0.0;
  for (double v : x) s += v;
  return s;
}
Vec ref_abs(const Vec &x) {
  Vec out;
  for (double v : x) out.push_back(std::bit_cast<double>(bits(v) & ~(std::uint64_t{1} << 63)));
  return out;
}
Vec ref_cumsum(const Vec &x) {
  Vec out;
  double s = 0.0;
  for (double v : x) out.push_back(s += v);
  return out;
}
Vec ref_pow(const Vec &x, double e) {
  Vec out;
  for (double v : x) out.push_back(library_pow(v, e));
  return out;
}
Vec ref_masked(const Vec &x, double threshold) {  // abs, then 0 where below the threshold
  Vec out = ref_abs(x);
  for (double &v : out)
    if (v < threshold) v = 0.0;
  return out;
}
Vec ref_arias(const Vec &x, double dt) {
  Vec out = ref_cumsum(ref_pow(x, 2.0));
  for (double &v : out) v *= dt;
  for (double &v : out) v *= kPi;
  for (double &v : out) v /= 2.0;
  for (double &v : out) v /= 9.81;
  return out;
}
std::int64_t ref_first_greater(const Vec &x, double val) {
  for (std::size_t i = 0; i < x.size(); ++i)
    if (x[i] > val) return static_cast<std::int64_t>(i);
  return static_cast<std::int64_t>(x.size());
}
bool ref_nondecreasing(const Vec &x) {
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::isnan(x[i])) return false;
    if (i + 1 < x.size() && !(x[i] <= x[i + 1])) return false;
  }
  return true;
}

/// n doubles `step` elements apart (negative: reversed in memory) inside a buffer
/// whose other slots hold a guard pattern (a negative signalling NaN by default,
/// which no kernel would produce from reading a guard of another buffer).
class Placed {
 public:
  Placed(const Vec &values, int step, std::uint64_t guard = 0xfff4deadbeef0001)
      : n_(static_cast<std::int64_t>(values.size())), step_(step), guard_(std::bit_cast<double>(guard)) {
    const std::int64_t span = n_ == 0 ? 1 : (n_ - 1) * std::abs(step) + 1;
    buf_.assign(static_cast<std::size_t>(span + 2 * kPad), guard_);
    first_ = kPad + (step < 0 ? span - 1 : 0);
    for (std::int64_t i = 0; i < n_; ++i) slot(i) = values[static_cast<std::size_t>(i)];
  }
  k::Span span() const { return {reinterpret_cast<const char *>(&buf_[first_]), n_, stride()}; }
  k::MutSpan mut() { return {reinterpret_cast<char *>(&buf_[first_]), n_, stride()}; }
  Vec values() const {
    Vec out;
    for (std::int64_t i = 0; i < n_; ++i) out.push_back(buf_[index(i)]);
    return out;
  }
  /// True when every slot outside the view still holds the guard.
  bool guards_intact() const {
    std::vector<bool> inside(buf_.size(), false);
    for (std::int64_t i = 0; i < n_; ++i) inside[index(i)] = true;
    for (std::size_t j = 0; j < buf_.size(); ++j)
      if (!inside[j] && bits(buf_[j]) != bits(guard_)) return false;
    return true;
  }

 private:
  static constexpr std::int64_t kPad = 5;
  std::size_t index(std::int64_t i) const { return static_cast<std::size_t>(first_ + i * step_); }
  double &slot(std::int64_t i) { return buf_[index(i)]; }
  std::int64_t stride() const { return step_ * static_cast<std::int64_t>(sizeof(double)); }
  std::int64_t n_;
  std::int64_t step_;
  double guard_;
  std::int64_t first_ = 0;
  Vec buf_;
};

enum class Flavour { mixed, finite, zeros };

/// Test data: `mixed` salts normal values with NaN, infinities, signed zeros, -999,
/// subnormals and huge values; `zeros` holds only zeros of both signs, negatives and
/// NaN (the maximum is then a zero whose sign depends on order).
Vec make_data(std::int64_t n, Flavour flavour, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 3.0);
  std::uniform_int_distribution<int> pick(0, 19);
  Vec x;
  for (std::int64_t i = 0; i < n; ++i) {
    const int c = pick(rng);
    double v = normal(rng);
    switch (flavour) {
      case Flavour::finite:
        break;
      case Flavour::zeros: {
        static const double kChoices[] = {0.0, -0.0, -1.5, -2000.0, -999.0, kNaN, -kInf, -1e-310};
        v = kChoices[c % 8];
        break;
      }
      case Flavour::mixed: {
        static const double kSpecial[] = {kNaN, kInf, -kInf, 0.0, -0.0, -999.0, -1500.0, 5e-324, -1e-310, 1e300};
        if (c < 10) v = kSpecial[c];
        break;
      }
    }
    x.push_back(v);
  }
  return x;
}

// ---- kernels over every size, stride and flavour ----

using Shape = std::tuple<std::int64_t, int, Flavour>;

class Kernels : public ::testing::TestWithParam<Shape> {
 protected:
  void SetUp() override {
    const auto [n, step, flavour] = GetParam();
    step_ = step;
    data_ = make_data(n, flavour, static_cast<std::uint64_t>(n * 131 + step * 7 + static_cast<int>(flavour)));
    in_ = std::make_unique<Placed>(data_, step, 0x7ff4deadbeef0002);  // abs() of it is not the output guard
  }
  void TearDown() override {
    EXPECT_TRUE(same_bits(in_->values(), data_)) << "input changed";
    EXPECT_TRUE(in_->guards_intact());
  }
  /// An output view of the same shape, preset to a value the kernel must overwrite.
  Placed output() const { return Placed(Vec(data_.size(), 12345.0), step_); }
  k::Span x() const { return in_->span(); }

  Vec data_;
  int step_ = 1;
  std::unique_ptr<Placed> in_;
};

TEST_P(Kernels, Reductions) {
  EXPECT_TRUE(same_bits(k::max(x()), ref_max(data_)));
  EXPECT_TRUE(same_result(k::sum(x()), ref_sum(data_)));
  EXPECT_TRUE(same_bits(k::max_abs(x()), ref_max(ref_abs(data_))));
  EXPECT_TRUE(same_result(k::sum_abs(x()), ref_sum(ref_abs(data_))));
  EXPECT_TRUE(same_result(k::sum_squares(x()), ref_sum(ref_pow(data_, 2.0))));
}

TEST_P(Kernels, SumAbsAtLeastEqualsMaskedSum) {
  Vec thresholds = {0.0, -1.0, 0.5, 2.0, kNaN, kInf, -kInf};
  if (!data_.empty()) thresholds.push_back(std::fabs(data_[data_.size() / 2]));  // an exact tie
  for (double t : thresholds)
    EXPECT_TRUE(same_result(k::sum_abs_at_least(x(), t), ref_sum(ref_masked(data_, t)))) << "threshold " << t;
}

/// Silences the windows of `x` whose peak |x| is below `threshold`, in place, as the
/// standardized CAV does: windows of `window` samples, `n_windows` of them from index 0.
void ref_silence(Vec &x, std::int64_t window, std::int64_t n_windows, double threshold) {
  const auto n = static_cast<std::int64_t>(x.size());
  for (std::int64_t w = 0, lo = 0; w < n_windows && window > 0; ++w, lo += window) {
    const std::int64_t hi = std::min(lo + window, n);
    if (lo >= n) break;
    const Vec part(x.begin() + lo, x.begin() + hi);
    if (ref_max(ref_abs(part)) < threshold)
      for (std::int64_t i = lo; i < hi; ++i) x[static_cast<std::size_t>(i)] = 0.0;
  }
}

TEST_P(Kernels, SilenceAndSumEqualsSilencingThenSumming) {
  // (window, windows): regular, a partial last window, windows past the end, an
  // uncovered tail, no window, and empty windows; windows of one vector's lanes and
  // one more. Thresholds a sample may equal (5e-324, zeros) and below every sample.
  const std::pair<std::int64_t, std::int64_t> layouts[] = {{3, 1000}, {7, 2},  {1, 5},  {64, 3},
                                                           {5, 0},    {0, 4},  {8, 600}, {9, 500}};
  for (const double threshold : {2.0, 0.24525000000000002, kInf, kNaN}) {
    for (const auto &[window, n_windows] : layouts) {
      Vec want = data_;
      ref_silence(want, window, n_windows, threshold);
      Placed x(data_, step_);
      const double s = k::silence_and_sum_abs(x.mut(), window, n_windows, threshold);
      EXPECT_TRUE(same_bits(x.values(), want)) << "window " << window << " x " << n_windows;
      EXPECT_TRUE(same_result(s, ref_sum(ref_abs(want)))) << "window " << window << " x " << n_windows;
      EXPECT_TRUE(x.guards_intact());
    }
  }
}

TEST_P(Kernels, ElementWise) {
  Placed out = output();
  k::abs(x(), out.mut());
  EXPECT_TRUE(same_bits(out.values(), ref_abs(data_))) << "abs";
  k::cumsum(x(), out.mut());
  EXPECT_TRUE(same_result(out.values(), ref_cumsum(data_))) << "cumsum";
  for (double e : {2.0, 0.5, 1.0 / 3.0, -1.0, 3.0, 0.0}) {
    k::pow(x(), e, out.mut());
    EXPECT_TRUE(same_result(out.values(), ref_pow(data_, e))) << "pow " << e;
  }
  for (double dt : {0.01, -0.005, 1.0}) {
    const Vec want = ref_arias(data_, dt);
    const double total = k::arias_series(x(), dt, out.mut());
    EXPECT_TRUE(same_result(out.values(), want)) << "arias dt " << dt;
    EXPECT_TRUE(same_result(total, data_.empty() ? 0.0 : ref_cumsum(ref_pow(data_, 2.0)).back()));
  }
  k::fill_zero(out.mut());
  EXPECT_TRUE(same_bits(out.values(), Vec(data_.size(), 0.0))) << "fill_zero";
  EXPECT_TRUE(out.guards_intact());
}

TEST_P(Kernels, InPlace) {
  Placed buf(data_, step_);
  k::abs(buf.span(), buf.mut());
  EXPECT_TRUE(same_bits(buf.values(), ref_abs(data_)));
  k::cumsum(buf.span(), buf.mut());
  EXPECT_TRUE(same_result(buf.values(), ref_cumsum(ref_abs(data_))));
  EXPECT_TRUE(buf.guards_intact());
}

TEST_P(Kernels, FirstGreater) {
  Vec vals = {kNaN, kInf, -kInf, 0.0, -0.0, -999.0, 1.0, -1.0};
  for (std::size_t i = 0; i < data_.size(); i += 1 + data_.size() / 16) vals.push_back(data_[i]);
  for (double v : vals)
    EXPECT_EQ(k::first_greater(x(), v), ref_first_greater(data_, v)) << "val " << v;
  EXPECT_EQ(k::is_nondecreasing(x()), ref_nondecreasing(data_));
}

TEST_P(Kernels, SortedSearchMatchesLinearSearch) {
  // A non-decreasing series with ties, signed zeros and an infinite tail, like a
  // cumulative intensity that saturates.
  Vec sorted = data_;
  for (double &v : sorted)
    if (std::isnan(v)) v = 0.0;
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 1; i + 1 < sorted.size(); i += 3) sorted[i] = sorted[i - 1];
  Placed placed(sorted, step_);
  const k::Span s = placed.span();
  ASSERT_EQ(k::is_nondecreasing(s), ref_nondecreasing(sorted));
  ASSERT_TRUE(k::is_nondecreasing(s));
  Vec vals = {kNaN, kInf, -kInf, 0.0, -0.0, -1e308, 1e308};
  for (double v : sorted) {
    vals.push_back(v);
    vals.push_back(std::nextafter(v, -kInf));
    vals.push_back(std::nextafter(v, kInf));
  }
  for (double v : vals) {
    EXPECT_EQ(k::first_greater_sorted(s, v), ref_first_greater(sorted, v)) << "val " << v;
    EXPECT_EQ(k::first_greater(s, v), ref_first_greater(sorted, v)) << "val " << v;
  }
  if (sorted.size() >= 2) {  // one descent anywhere makes the series unsorted
    std::swap(sorted.front(), sorted.back());
    if (sorted.front() != sorted.back()) {
      EXPECT_FALSE(k::is_nondecreasing(Placed(sorted, step_).span()));
    }
  }
}

std::string shape_name(const ::testing::TestParamInfo<Shape> &info) {
  const auto [n, step, flavour] = info.param;
  static const char *kNames[] = {"mixed", "finite", "zeros"};
  std::string name = "n";
  name += std::to_string(n);
  name += step < 0 ? "_stepm" : "_step";
  name += std::to_string(std::abs(step));
  name += '_';
  name += kNames[static_cast<int>(flavour)];
  return name;
}

INSTANTIATE_TEST_SUITE_P(Shapes, Kernels,
                         ::testing::Combine(::testing::Values<std::int64_t>(0, 1, 2, 7, 8, 9, 127, 128, 129, 1000,
                                                                            4099),
                                            ::testing::Values(1, 3, -1),
                                            ::testing::Values(Flavour::mixed, Flavour::finite, Flavour::zeros)),
                         shape_name);

// ---- edge cases with fixed answers ----

struct MaxCase {
  Vec x;
  double want;
};
class MaxEdges : public ::testing::TestWithParam<MaxCase> {};

TEST_P(MaxEdges, Max) {
  const MaxCase &c = GetParam();
  Placed p(c.x, 1);
  EXPECT_TRUE(same_bits(k::max(p.span()), c.want));
}

INSTANTIATE_TEST_SUITE_P(
    Fixed, MaxEdges,
    ::testing::Values(MaxCase{{}, -999.0}, MaxCase{{-1500.0, -2000.0}, -999.0}, MaxCase{{-999.0}, -999.0},
                      MaxCase{{kNaN, 1.0}, 1.0}, MaxCase{{kNaN}, -999.0}, MaxCase{{0.0, -0.0}, 0.0},
                      MaxCase{{-0.0, 0.0}, -0.0}, MaxCase{{-kInf, -1000.0}, -999.0},
                      MaxCase{{-998.0, -0.0, kNaN, 0.0}, -0.0}, MaxCase{{kInf, kNaN}, kInf}));

TEST(Edges, SumIsStrictlyLeftToRight) {
  Placed p({1.0, 1e100, 1.0, -1e100}, 1);
  EXPECT_TRUE(same_bits(k::sum(p.span()), 0.0));
  EXPECT_TRUE(same_bits(k::sum(Placed({}, 1).span()), 0.0));
  EXPECT_TRUE(same_bits(k::sum(Placed({-0.0, -0.0}, 1).span()), 0.0));  // +0.0 start
  EXPECT_TRUE(std::isnan(k::sum(Placed({kInf, -kInf}, 1).span())));
}

TEST(Edges, SumsEndOnTheirFirstNaN) {
  // Two quiet NaNs of different payloads, the first at every offset within a
  // block of additions: the sum is the first one, whichever order the compiler
  // gives an addition's operands.
  const double first = std::bit_cast<double>(std::uint64_t{0x7ff8000000000123});
  const double later = std::bit_cast<double>(std::uint64_t{0x7ff8000000000456});
  for (std::size_t at = 0; at < 20; ++at) {
    Vec x(40, 1.0);
    x[at] = first;
    for (std::size_t j = at + 1; j < x.size(); j += 3) x[j] = later;
    const k::Span v{reinterpret_cast<const char *>(x.data()), 40, 8};
    EXPECT_TRUE(same_bits(k::sum(v), first)) << at;
    EXPECT_TRUE(same_bits(k::sum_abs(v), first)) << at;
    EXPECT_TRUE(same_bits(k::sum_abs_at_least(v, 0.5), first)) << at;
    EXPECT_TRUE(same_bits(k::sum_squares(v), first)) << at;
    Vec out(40);
    k::cumsum(v, {reinterpret_cast<char *>(out.data()), 40, 8});
    EXPECT_TRUE(same_bits(out.back(), first)) << at;
    EXPECT_TRUE(same_bits(k::arias_series(v, 1.0, {reinterpret_cast<char *>(out.data()), 40, 8}), first)) << at;
    Vec y = x;
    EXPECT_TRUE(same_bits(k::silence_and_sum_abs({reinterpret_cast<char *>(y.data()), 40, 8}, 7, 6, 0.5), first))
        << at;
  }
}

TEST(Edges, AbsClearsOnlyTheSignBit) {
  const double neg_nan = -std::bit_cast<double>(std::uint64_t{0x7ff8000000000123});
  Placed in({-0.0, -3.5, neg_nan, -kInf}, 1);
  Placed out(Vec(4, 1.0), 1);
  k::abs(in.span(), out.mut());
  EXPECT_TRUE(same_bits(out.values(), {0.0, 3.5, -neg_nan, kInf}));
}

TEST(Edges, CumsumAndPow) {
  Placed out(Vec(3, 0.0), 1);
  k::cumsum(Placed({1.0, 2.0, 3.0}, 1).span(), out.mut());
  EXPECT_TRUE(same_bits(out.values(), {1.0, 3.0, 6.0}));
  Placed two(Vec(2, 0.0), 1);
  k::pow(Placed({-2.0, 3.0}, 1).span(), 2.0, two.mut());
  EXPECT_TRUE(same_bits(two.values(), {4.0, 9.0}));
  Placed one(Vec(1, 0.0), 1);
  k::pow(Placed({-8.0}, 1).span(), 1.0 / 3.0, one.mut());
  EXPECT_TRUE(std::isnan(one.values()[0]));
}

TEST(Edges, PowSpecialValuesFollowTheLibrary) {
  const Vec x = {0.0, -0.0, 1.0, -1.0, kInf, -kInf, kNaN, 5e-324, -2.5, 0.5, 1e308};
  const Vec exponents = {0.0, -0.0, 1.0, -1.0, 2.0, -2.0, 0.5, 3.0, kInf, -kInf, kNaN, 1e-300};
  Placed out(Vec(x.size(), 0.0), 1);
  for (double e : exponents) {
    k::pow(Placed(x, 1).span(), e, out.mut());
    EXPECT_TRUE(same_bits(out.values(), ref_pow(x, e))) << "exponent " << e;
  }
}

TEST(Edges, Linspace) {
  Placed guard(Vec(2, 7.0), 1);
  k::linspace(0.0, 1.0, 0, guard.mut());
  k::linspace(0.0, 1.0, -3, guard.mut());
  EXPECT_TRUE(same_bits(guard.values(), {7.0, 7.0})) << "num <= 0 writes nothing";

  Placed one(Vec(1, 0.0), 1);
  k::linspace(0.5, 2.0, 1, one.mut());
  EXPECT_TRUE(std::isnan(one.values()[0]));  // 0 * inf + start

  Placed two(Vec(2, 0.0), 1);
  k::linspace(0.2, 0.9, 2, two.mut());
  EXPECT_TRUE(same_bits(two.values(), {0.2, 0.8999999999999999}));

  Placed eleven(Vec(11, 0.0), -1);
  k::linspace(0.0, 1.0, 11, eleven.mut());
  EXPECT_TRUE(same_bits(eleven.values()[3], 0.30000000000000004));
  EXPECT_TRUE(eleven.guards_intact());

  // More values requested than the view holds: the view's length bounds the writes.
  Placed short_view(Vec(3, 0.0), 3);
  k::linspace(0.01, 3 * 0.01, 3, short_view.mut());
  EXPECT_TRUE(same_bits(short_view.values()[1], 0.019999999999999997));
  Placed shorter(Vec(2, 0.0), 1);
  k::linspace(1.0, 10.0, 10, shorter.mut());
  EXPECT_TRUE(same_bits(shorter.values(), {1.0, 2.0}));
  EXPECT_TRUE(shorter.guards_intact());
}

TEST(Edges, FirstGreaterTiesMoveOn) {
  Placed s({0.0, 1.0, 1.0, 2.0}, 1);
  EXPECT_EQ(k::first_greater(s.span(), 1.0), 3);
  EXPECT_EQ(k::first_greater_sorted(s.span(), 1.0), 3);
  EXPECT_EQ(k::first_greater(s.span(), -0.0), 1);
  EXPECT_EQ(k::first_greater_sorted(s.span(), kNaN), 4);
  EXPECT_EQ(k::first_greater(Placed({}, 1).span(), -kInf), 0);
  EXPECT_EQ(k::first_greater_sorted(Placed({}, 1).span(), -kInf), 0);
  EXPECT_FALSE(k::is_nondecreasing(Placed({kNaN}, 1).span()));
  EXPECT_FALSE(k::is_nondecreasing(Placed({1.0, kNaN, 2.0}, 1).span()));
  EXPECT_TRUE(k::is_nondecreasing(Placed({0.0, -0.0, 0.0}, 1).span()));
  EXPECT_TRUE(k::is_nondecreasing(Placed({}, 1).span()));
}

TEST(Edges, EmptyViewHasNoAddress) {
  const k::Span none{nullptr, 0, 0};
  const k::MutSpan out{nullptr, 0, 0};
  EXPECT_TRUE(same_bits(k::max(none), -999.0));
  EXPECT_TRUE(same_bits(k::max_abs(none), -999.0));
  EXPECT_TRUE(same_bits(k::sum_abs_at_least(none, 1.0), 0.0));
  EXPECT_TRUE(same_bits(k::sum_squares(none), 0.0));
  EXPECT_TRUE(same_bits(k::arias_series(none, 0.01, out), 0.0));
  EXPECT_EQ(k::first_greater(none, 0.0), 0);
  k::abs(none, out);
  k::fill_zero(out);
}

// Lanes of the vectorised maximum see the elements in another order; only signed
// zeros could tell, so shuffles of the same multiset must still match the scan.
TEST(Edges, MaximumIgnoresLaneOrder) {
  std::mt19937_64 rng(7);
  Vec base = {0.0, -0.0, -0.0, 0.0, -3.0, kNaN, -1500.0, -999.0};
  base.resize(37, -0.0);
  for (int trial = 0; trial < 300; ++trial) {
    std::shuffle(base.begin(), base.end(), rng);
    for (int step : {1, -1}) {
      Placed p(base, step);
      const Vec seen = p.values();
      ASSERT_TRUE(same_bits(k::max(p.span()), ref_max(seen))) << "trial " << trial;
      ASSERT_TRUE(same_bits(k::max_abs(p.span()), ref_max(ref_abs(seen))));
    }
  }
  Vec magnitudes(64, 2.5);
  for (std::size_t i = 0; i < magnitudes.size(); i += 2) magnitudes[i] = -2.5;
  magnitudes[40] = kNaN;
  EXPECT_TRUE(same_bits(k::max_abs(Placed(magnitudes, 1).span()), 2.5));
  EXPECT_TRUE(same_bits(k::max(Placed(magnitudes, 1).span()), 2.5));
}

// Buffers need not be aligned: a view may start at any byte.
TEST(Edges, UnalignedBuffers) {
  const Vec data = make_data(301, Flavour::mixed, 99);
  std::vector<char> raw(data.size() * sizeof(double) + 16);
  for (std::size_t offset : {1u, 3u, 4u}) {
    char *base = raw.data() + offset;
    std::memcpy(base, data.data(), data.size() * sizeof(double));
    const k::Span x{base, static_cast<std::int64_t>(data.size()), 8};
    EXPECT_TRUE(same_bits(k::max_abs(x), ref_max(ref_abs(data))));
    EXPECT_TRUE(same_bits(k::max(x), ref_max(data)));
    EXPECT_TRUE(same_result(k::sum_squares(x), ref_sum(ref_pow(data, 2.0))));
    EXPECT_EQ(k::first_greater(x, 3.0), ref_first_greater(data, 3.0));
    k::abs(x, {base, x.n, 8});  // in place
    Vec back(data.size());
    std::memcpy(back.data(), base, data.size() * sizeof(double));
    EXPECT_TRUE(same_bits(back, ref_abs(data)));
  }
}

// Stride 0 repeats one element; n is past any 32-bit index.
TEST(Edges, HugeRepeatedView) {
  const double v = -0.75;
  const k::Span x{reinterpret_cast<const char *>(&v), 3'000'000'000, 0};
  EXPECT_TRUE(same_bits(k::max_abs(x), 0.75));
  EXPECT_TRUE(same_bits(k::max(x), -0.75));
  EXPECT_TRUE(same_bits(k::sum_abs(x), 2.25e9));  // every partial sum is exact
  EXPECT_EQ(k::first_greater(x, -0.75), 3'000'000'000);
}

// ---- square: the library's pow(x, 2.0), bit for bit ----

TEST(Square, SpecialValues) {
  Vec xs = {0.0, -0.0, kInf, -kInf, kNaN, -kNaN, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-310,
            std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(), 1e-160, -1e-160,
            std::sqrt(std::numeric_limits<double>::max()), 0x1p-450, 0x1p-451, 0x1p+500, 0x1p+511, 1.0, -1.0};
  for (double e = 1e154; e <= 1e155; e += 1e153) xs.push_back(e);
  for (double x : xs) {
    EXPECT_TRUE(same_bits(k::square(x), library_pow(x, 2.0))) << "x = " << x;
    EXPECT_TRUE(same_bits(k::square(std::nextafter(x, kInf)), library_pow(std::nextafter(x, kInf), 2.0)));
    EXPECT_TRUE(same_bits(k::square(std::nextafter(x, -kInf)), library_pow(std::nextafter(x, -kInf), 2.0)));
  }
}

/// Draws from one of five families: uniform in [-10, 10], any bit pattern, a few
/// ulps around powers of two and around sqrt(2) times them, tiny or huge values, and
/// values whose exact square lies within 0.05 ulp of a rounding midpoint (where the
/// library may round either way), at every scale from 2^-450 to 2^500 and most
/// often near 2^-32 and 2^32, the edges of the squares' middle range.
double draw(std::mt19937_64 &rng, int family) {
  if (family == 4) {
    for (;;) {
      const int e = (rng() & 1) ? static_cast<int>(rng() % 950) - 450 : static_cast<int>(rng() % 8) + ((rng() & 2) ? 28 : -36);
      const double x = std::ldexp(1.0 + std::ldexp(static_cast<double>(rng() >> 12), -52), e);
      const double p = x * x;
      const double ulp = std::nextafter(p, kInf) - p;
      if (std::fabs(std::fma(x, x, -p)) >= 0.45 * ulp) return (rng() & 2) ? -x : x;
    }
  }
  std::uniform_real_distribution<double> unit(-10.0, 10.0);
  switch (family) {
    case 0:
      return unit(rng);
    case 1:
      return std::bit_cast<double>(rng());
    case 2: {
      const int e = static_cast<int>(rng() % 1001) - 500;
      const double centre = (rng() & 1) ? std::ldexp(1.0, e) : std::ldexp(1.4142135623730951, e);
      const auto ulps = static_cast<std::int64_t>(rng() % 2001) - 1000;
      return std::bit_cast<double>(bits(centre) + static_cast<std::uint64_t>(ulps)) * ((rng() & 2) ? -1.0 : 1.0);
    }
    default: {
      const int e = (rng() & 1) ? static_cast<int>(rng() % 120) - 560 : static_cast<int>(rng() % 40) + 480;
      return std::ldexp(1.0 + std::ldexp(static_cast<double>(rng() >> 12), -52), e);
    }
  }
}

TEST(Square, MatchesLibraryPowOnRandomDoubles) {
  constexpr std::int64_t count = 100'000'000;  // about 10 s
  std::mt19937_64 rng(2024);
  std::int64_t product_differs = 0;  // the cases a plain x * x would get wrong
  std::int64_t wrong = 0;
  const auto start = std::chrono::steady_clock::now();
  Vec block(4096);
  Vec squares(block.size());
  std::int64_t done = 0;
  for (; done < count; done += static_cast<std::int64_t>(block.size())) {
    const int family = static_cast<int>((done / static_cast<std::int64_t>(block.size())) % 5);
    for (double &v : block) v = draw(rng, family);
    const k::Span x{reinterpret_cast<const char *>(block.data()), static_cast<std::int64_t>(block.size()), 8};
    for (std::size_t i = 0; i < block.size(); ++i) {
      const double want = library_pow(block[i], 2.0);
      if (bits(k::square(block[i])) != bits(want) && wrong++ < 5)
        ADD_FAILURE() << "square(" << block[i] << "): " << same_bits(k::square(block[i]), want).message();
      if (bits(block[i] * block[i]) != bits(want) && !std::isnan(want)) ++product_differs;
      squares[i] = want;
    }
    // The fused sum takes the same decisions in blocks.
    if (!same_result(k::sum_squares(x), ref_sum(squares)) && wrong++ < 5)
      ADD_FAILURE() << "sum_squares of the block at " << done;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(product_differs, 0) << "the draws never reached a case where x * x and pow differ";
  std::printf("square: %" PRId64 " doubles in %.1f s, %" PRId64 " where x * x differs from pow\n", done, seconds,
              product_differs);
}

/// The Arias scaling of each P (given running sums), against the four operations one at a time.
::testing::AssertionResult scales_like_division(const Vec &P, double dt) {
  Vec out(P.size(), 12345.0), want = P;
  for (double &v : want) v = (((v * dt) * kPi) / 2.0) / 9.81;
  k::arias_scale_series({reinterpret_cast<const char *>(P.data()), static_cast<std::int64_t>(P.size()), 8}, dt,
                        {reinterpret_cast<char *>(out.data()), static_cast<std::int64_t>(out.size()), 8});
  return same_bits(out, want);
}

// Quotients by gravity as close to a rounding midpoint as doubles allow, where a product
// by the reciprocal rounds the other way. With 9.81 = Go * 2^z * 2^-49 (Go odd), the
// quotient of v = 8n by 9.81 is the midpoint K + 1/2 up to t * 2^-48 / 9.81 when
// Go * (2K + 1) = n * 2^(53 - z) + t: 2K + 1 = t / Go modulo 2^(53 - z), for small odd t.
TEST(AriasScaling, QuotientsByGravityNearMidpoints) {
  const double y = 1.0 / 9.81;
  ASSERT_LT(std::fabs(std::fma(9.81, y, -1.0)), 0.134 * 0x1p-53);  // the error the kernel's argument allows
  const std::uint64_t G = (bits(9.81) & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int z = std::countr_zero(G);
  const std::uint64_t Go = G >> z, mod = std::uint64_t{1} << (53 - z);
  std::uint64_t inverse = Go;  // Newton's iteration: Go's inverse modulo 2^64
  for (int i = 0; i < 6; ++i) inverse *= 2 - Go * inverse;
  Vec v;
  std::int64_t lower_binade = 0, upper_binade = 0;
  for (std::int64_t t = -20001; t <= 20001; t += 2) {
    const std::uint64_t base = (static_cast<std::uint64_t>(t) * inverse) & (mod - 1);
    for (std::uint64_t odd = base; odd < (std::uint64_t{1} << 54); odd += mod) {
      if (odd < (std::uint64_t{1} << 53)) continue;  // the quotient in [2^52, 2^53)
      __extension__ using Wide = unsigned __int128;
      const Wide product = static_cast<Wide>(Go) * odd;
      const auto n = static_cast<std::uint64_t>((product + (mod >> 1)) >> (53 - z));
      if (n >= (std::uint64_t{1} << 53) && (n & 1)) continue;  // 8n is no double
      v.push_back(8.0 * static_cast<double>(n));
      ++(n >= (std::uint64_t{1} << 53) ? upper_binade : lower_binade);
    }
  }
  // v below 2^56 and v at or above it sit differently against the quotient's grid
  // (their ulps are 8 and 16 times its ulp): both must be among the cases.
  ASSERT_GT(lower_binade, 10000);
  ASSERT_GT(upper_binade, 3000);
  // The same significands across the exponent range (past its ends the division runs),
  // and the P whose scaling ((P * 1) * pi) / 2 is exactly each of them.
  Vec P;
  std::int64_t product_differs = 0;
  for (int e : {-1100, -955, -950, -700, -100, -55, 0, 40, 300, 940, 945, 960}) {
    for (double target : v) {
      const double w = std::ldexp(target, e) * 2.0;
      if (!std::isfinite(w) || w == 0.0) continue;
      double p = w / kPi;
      for (int step = 0; step < 8 && (p * kPi) != w; ++step) p = std::nextafter(p, (p * kPi) < w ? kInf : -kInf);
      if ((p * kPi) != w) continue;
      P.push_back(p);
      P.push_back(-p);
      if ((w / 2.0) * y != (w / 2.0) / 9.81) ++product_differs;
    }
  }
  EXPECT_GT(product_differs, 1000) << "the construction did not reach quotients the reciprocal rounds wrongly";
  for (double dt : {1.0, -1.0}) EXPECT_TRUE(scales_like_division(P, dt)) << "dt " << dt << ", " << P.size() << " sums";
}

// The ends of the range, zeros of both signs, subnormals, infinities and NaNs with
// payloads, mixed into blocks of ordinary sums (a block with one of them is redone).
TEST(AriasScaling, SpecialValuesAndRangeEnds) {
  Vec special = {0.0, -0.0, 5e-324, -5e-324, 0x1p-1022, 0x1p-900, 0x1.fffffffffffffp-901, 0x1p1000, 0x1.0000000000001p1000,
                 0x1p1015, 1e308, kInf, -kInf, kNaN, std::bit_cast<double>(std::uint64_t{0x7ff8000000000123}),
                 std::bit_cast<double>(std::uint64_t{0xfff80000000abcde})};
  std::mt19937_64 rng(17);
  for (double dt : {0.01, -0.005, 1.0, 0x1p-60, 1e300}) {
    Vec P;
    for (int i = 0; i < 3000; ++i) {
      const bool odd = rng() % 37 == 0;
      P.push_back(odd ? special[rng() % special.size()] : std::ldexp(1.0 + double(rng() >> 11) * 0x1p-53, int(rng() % 80) - 40));
    }
    P.insert(P.end(), special.begin(), special.end());
    EXPECT_TRUE(scales_like_division(P, dt)) << "dt " << dt;
  }
}

/// The exception flags the measures test (NumPy would report them) that f raised.
template <class F>
int flags_raised(F f) {
  std::feclearexcept(FE_ALL_EXCEPT);
  f();
  const int raised = std::fetestexcept(FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID | FE_DIVBYZERO);
  std::feclearexcept(FE_ALL_EXCEPT);
  return raised;
}

// The scaling raises the flags the division raises, no more: one sum outside the
// range of the fast lanes (redone by the division) among ordinary ones, with a dt
// that keeps the others ordinary too, or makes them infinite or tiny.
TEST(AriasScaling, RaisesOnlyTheDivisionsFlags) {
  const Vec special = {kInf, -kInf, kNaN, 0.0, -0.0, 0x1p-1000, -0x1p-1000, 0x1.6p-985, 0x1p-969, 0x1p-960,
                       0x1p-1022, 1e-310, 5e-324, 1e308, 0x1p1000, 1.0};
  for (double dt : {0.01, 1.0, 1e-300, 0x1p-1000, kInf, -kInf, 1e300}) {
    for (double s : special) {
      Vec P(21);
      for (std::size_t i = 0; i < P.size(); ++i) P[i] = 1.0 + 0.37 * static_cast<double>(i);
      P[11] = s;
      Vec out(P.size()), want = P;
      const int got = flags_raised([&] {
        k::arias_scale_series({reinterpret_cast<const char *>(P.data()), static_cast<std::int64_t>(P.size()), 8}, dt,
                              {reinterpret_cast<char *>(out.data()), static_cast<std::int64_t>(out.size()), 8});
        __asm__ volatile("" : : "r"(out.data()) : "memory");
      });
      const int expected = flags_raised([&] {
        for (double &v : want) v = (((v * dt) * kPi) / 2.0) / 9.81;
        __asm__ volatile("" : : "r"(want.data()) : "memory");
      });
      EXPECT_EQ(got, expected) << "sum " << s << ", dt " << dt;
      EXPECT_TRUE(same_bits(out, want)) << "sum " << s << ", dt " << dt;
    }
  }
}

}  // namespace

// ---- exact sums: the block method against the plain sequential loop ----

/// The plain sequential loops the exact sums must reproduce, each stopping at its
/// first NaN (whose bits are then the result, and every later running sum's).
double seq_sum(const Vec &terms) {
  double s = 0.0;
  for (double t : terms)
    if (s == s) s += t;
  return s;
}
Vec seq_running(const Vec &terms) {
  Vec out;
  double s = 0.0;
  for (double t : terms) out.push_back(s == s ? (s += t) : s);
  return out;
}

enum class Kind { gaussian, record, decimals, integers, dynamic, odd_past_2_53, half_grid, binade_edges, specials, bursts };
constexpr Kind kKinds[] = {Kind::gaussian,      Kind::record,    Kind::decimals,     Kind::integers, Kind::dynamic,
                           Kind::odd_past_2_53, Kind::half_grid, Kind::binade_edges, Kind::specials, Kind::bursts};
const char *kind_name(Kind kind) {
  static const char *names[] = {"gaussian",      "record",    "decimals",     "integers", "dynamic",
                                "odd_past_2_53", "half_grid", "binade_edges", "specials", "bursts"};
  return names[static_cast<int>(kind)];
}

/// The bottom 2^e of the binade of a positive normal s.
double binade_of(double s) { return std::bit_cast<double>(bits(s) & 0x7ff0000000000000u); }

/// n samples of one kind. The adversarial kinds follow the running sum of |x| as
/// they go, so that their terms land on ties and binade edges of that very sum:
/// odd integers once the sum is past 2^53 (every addition a tie), terms a whole
/// number and a half of the sum's ulp, and terms that carry the sum to within a
/// few half-ulps of the top of its binade, exactly onto it, or just past it.
Vec make_kind(Kind kind, std::int64_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Vec x;
  x.reserve(static_cast<std::size_t>(n));
  double s = 0.0;  // running sum of |x| so far, as the sequential loop forms it
  double scale = 1.0;  // of the current stretch (bursts)
  for (std::int64_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(std::max<std::int64_t>(n, 1));
    double v = normal(rng);
    switch (kind) {
      case Kind::gaussian:
        break;
      case Kind::record:  // quiet, a strong phase, then an exponential decay
        v *= 3.0 * (t < 0.1 ? 0.02 : t < 0.3 ? 1.0 : std::exp(-6.0 * (t - 0.3)));
        break;
      case Kind::decimals:  // a text file's 3-decimal values, as its reader parses them
        v = std::round(v * 2000.0) / 1000.0;
        break;
      case Kind::integers:
        v = std::round(v * 300.0);
        break;
      case Kind::dynamic:
        v *= std::ldexp(1.0, static_cast<int>(rng() % 41) - 20);
        break;
      case Kind::odd_past_2_53:
        if (i == 0) v = 0x1p53 + 2.0 * static_cast<double>(rng() % 1000);
        else v = static_cast<double>(2 * static_cast<std::int64_t>(rng() % 50) + 1) * ((rng() & 1) ? 1.0 : -1.0);
        break;
      case Kind::half_grid:
        if (s > 0.0 && rng() % 8 != 0) {
          const double u = binade_of(s) * 0x1p-52;
          v = (static_cast<double>(rng() % 4096) + 0.5) * u * ((rng() & 1) ? 1.0 : -1.0);
        }
        break;
      case Kind::binade_edges:
        if (s > 0.0 && rng() % 16 == 0) {
          const double E = binade_of(s), u = E * 0x1p-52;
          const double gap = 2.0 * E - s;  // exact: both are multiples of u
          v = gap + static_cast<double>(static_cast<int>(rng() % 7) - 3) * 0.5 * u;
          if (v < 0.0) v = 0.5 * u;
        } else {
          v *= 1e-3 * std::max(s, 1.0);
        }
        break;
      case Kind::bursts: {  // signed zeros first (now and then a NaN among them), then stretches
                            // whose size jumps by up to 2^±30: each try is sized by the stretch before
        const std::int64_t quiet = std::max<std::int64_t>(n / 5, 1);
        if (i < quiet) {
          v = rng() % 8192 == 0 ? kNaN : ((rng() & 1) ? 0.0 : -0.0);
        } else {
          if (i == quiet || rng() % 700 == 0) scale = std::ldexp(1.0, static_cast<int>(rng() % 61) - 30);
          v *= rng() % 16 == 0 ? 0.0 : scale;
        }
        break;
      }
      case Kind::specials: {  // rare non-finite, huge, tiny and zero samples in a record
        // NaNs of three payloads: the first one met must be the result's.
        static const double kRare[] = {kNaN, kInf, -kInf, 0.0, -0.0, 1e300, -5e-324, 1e-310, 0x1p1000, -0x1p-960,
                                       std::bit_cast<double>(std::uint64_t{0x7ff8000000000123}),
                                       std::bit_cast<double>(std::uint64_t{0xfff80000000abcde})};
        if (rng() % 4096 == 0) v = kRare[rng() % std::size(kRare)];
        break;
      }
    }
    x.push_back(v);
    if (s == s) s += std::fabs(v);
  }
  return x;
}

struct ExactCase {
  Kind kind;
  std::int64_t n;
  int step;
  std::uint64_t seed;
};

/// Every exact kernel over one generated record, against its sequential loop, bit
/// for bit. Returns the number of mismatching kernels (each also reported).
int check_exact(const ExactCase &c) {
  const Vec data = make_kind(c.kind, c.n, c.seed);
  const Placed in(data, c.step);
  const Vec magnitudes = ref_abs(data);
  const Vec squares = ref_pow(data, 2.0);
  int failures = 0;
  auto expect = [&](::testing::AssertionResult r, const char *what) {
    if (r) return;
    ++failures;
    ADD_FAILURE() << what << ", " << kind_name(c.kind) << " n=" << c.n << " step=" << c.step << " seed=" << c.seed
                  << ": " << r.message();
  };
  expect(same_bits(k::sum_abs(in.span()), seq_sum(magnitudes)), "sum_abs");
  expect(same_bits(k::sum_squares(in.span()), seq_sum(squares)), "sum_squares");
  const double threshold = data.empty() ? 1.0 : std::fabs(data[data.size() / 3]);  // an exact tie with a sample
  expect(same_bits(k::sum_abs_at_least(in.span(), threshold), seq_sum(ref_masked(data, threshold))),
         "sum_abs_at_least");

  Placed out(Vec(data.size(), 12345.0), c.step);
  const double dt = 0.01;
  const Vec running = seq_running(squares);
  const double total = k::arias_series(in.span(), dt, out.mut());
  expect(same_bits(total, running.empty() ? 0.0 : running.back()), "arias_series total");
  Vec series = running;
  for (double &v : series) v = (((v * dt) * kPi) / 2.0) / 9.81;
  expect(same_bits(out.values(), series), "arias_series");

  // The running sum at every block end, and the first one above zero.
  const std::int64_t n_blocks = (c.n + k::arias_block - 1) / k::arias_block;
  Vec ends(static_cast<std::size_t>(n_blocks), 12345.0), want_ends;
  const k::SquareSums sums = k::square_sums_by_block(in.span(), {reinterpret_cast<char *>(ends.data()), n_blocks, 8});
  for (std::int64_t b = 0; b < n_blocks; ++b)
    want_ends.push_back(running[static_cast<std::size_t>(std::min((b + 1) * k::arias_block, c.n) - 1)]);
  expect(same_bits(ends, want_ends), "square_sums_by_block ends");
  expect(same_bits(sums.total, running.empty() ? 0.0 : running.back()), "square_sums_by_block total");
  const auto positive = std::find_if(running.begin(), running.end(), [](double v) { return !(v == 0.0); });
  expect(same_bits(sums.first_positive, positive == running.end() ? 0.0 : *positive), "square_sums_by_block first");
  // Within a block, levels on an element and one ulp either side: the first element above.
  if (!running.empty() && std::isfinite(running.back())) {
    for (std::int64_t b = 0; b < n_blocks; b += std::max<std::int64_t>(1, n_blocks / 7)) {
      const std::int64_t i0 = b * k::arias_block, m = std::min(k::arias_block, c.n - i0);
      const double start = b > 0 ? running[static_cast<std::size_t>(i0 - 1)] : 0.0;
      for (std::int64_t j : {i0, i0 + m / 2, i0 + m - 1})
        for (double val : {series[static_cast<std::size_t>(j)], std::nextafter(series[static_cast<std::size_t>(j)], -kInf),
                           std::nextafter(series[static_cast<std::size_t>(j)], kInf)}) {
          std::int64_t want = i0;
          while (want < i0 + m && !(series[static_cast<std::size_t>(want)] > val)) ++want;
          expect(::testing::AssertionResult(k::arias_first_above(in.span(), i0, m, start, dt, val) == want)
                     << "block " << b << " level " << val,
                 "arias_first_above");
        }
    }
  }

  // Windows of 100 samples at a level that silences the quiet ones of a record.
  const double level = c.kind == Kind::record ? 0.24525000000000002 : 0.5;
  Vec silenced = data;
  ref_silence(silenced, 100, (c.n + 99) / 100, level);
  Placed work(data, c.step);
  const double s = k::silence_and_sum_abs(work.mut(), 100, (c.n + 99) / 100, level);
  expect(same_bits(work.values(), silenced), "silence_and_sum_abs silencing");
  expect(same_bits(s, seq_sum(ref_abs(silenced))), "silence_and_sum_abs");
  return failures;
}

class ExactSums : public ::testing::TestWithParam<std::tuple<Kind, int>> {};

TEST_P(ExactSums, MatchTheSequentialLoop) {
  const auto [kind, step] = GetParam();
  // Lengths around the block sizes and long enough for many binades.
  for (const std::int64_t n : {255, 256, 257, 1000, 4099, 65536 + 31, 250000}) {
    if (step != 1 && n > 70000) continue;
    check_exact({kind, n, step, static_cast<std::uint64_t>(n * 31 + step)});
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ExactSums, ::testing::Combine(::testing::ValuesIn(kKinds), ::testing::Values(1, 3, -1)),
                         [](const ::testing::TestParamInfo<std::tuple<Kind, int>> &param) {
                           char name[64];
                           std::snprintf(name, sizeof name, "%s_step%s%d", kind_name(std::get<0>(param.param)),
                                         std::get<1>(param.param) < 0 ? "m" : "", std::abs(std::get<1>(param.param)));
                           return std::string(name);
                         });

/// Records of random kinds and lengths until TAVO_EXACT_SAMPLES samples (default
/// 2 million; 100000000 for the full differential run) have been checked.
TEST(ExactSumRecords, ManyGeneratedRecords) {
  const char *env = std::getenv("TAVO_EXACT_SAMPLES");
  const std::int64_t target = env ? std::atoll(env) : 2'000'000;
  std::mt19937_64 rng(17);
  std::int64_t done = 0, records = 0;
  int failures = 0;
  const auto start = std::chrono::steady_clock::now();
  while (done < target && failures < 10) {
    const Kind kind = kKinds[rng() % std::size(kKinds)];
    const auto n = static_cast<std::int64_t>(1 + rng() % 300'000);
    failures += check_exact({kind, n, 1, rng()});
    done += n;
    ++records;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("exact sums: %" PRId64 " samples in %" PRId64 " records, %.1f s\n", done, records, seconds);
}

// Rounding upward, downward or toward zero (which some C code may set), every kernel
// still gives its plain loop's result in that mode: the block methods, the squares'
// test and the division by gravity hold for rounding to nearest only.
TEST(ExactSumRecords, OtherRoundingModesGiveThePlainLoops) {
  for (const int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    for (const Kind kind : {Kind::record, Kind::decimals, Kind::integers}) {
      ASSERT_EQ(std::fesetround(mode), 0);
      const int failures = check_exact({kind, 20'000, 1, 11});
      std::fesetround(FE_TONEAREST);
      EXPECT_EQ(failures, 0) << "rounding mode " << mode << ", " << kind_name(kind);
    }
  }
}

/// The plain loop's Arias series from the squares: their running sums, then the four
/// scalings, in place; returns the flags the sums and scalings raised.
int plain_arias_series(Vec &series, double dt) {
  return flags_raised([&] {
    series = seq_running(series);
    for (double &v : series) v = (((v * dt) * kPi) / 2.0) / 9.81;
    __asm__ volatile("" : : "r"(series.data()) : "memory");
  });
}

/// k::arias_series(in, dt, out), its total in `total`; returns the flags it raised.
int kernel_arias_series(const Placed &in, double dt, Placed &out, double &total) {
  return flags_raised([&] {
    total = k::arias_series(in.span(), dt, out.mut());
    __asm__ volatile("" : : : "memory");
  });
}

// The series' blocks are scaled as their sums are formed only where every sum of the
// binade scales into the range of the division's replacement: records whose scaled
// sums pass the ends of that range (2^-900 and 2^1000) mid-record, and steps at and
// past the bounds of the steps admitted (2^-20 and 2^20), against the plain loop, in
// value and, at the bottom, in flags: the samples are integers times powers of two,
// whose squares are exact and raise none, and below the range the replacement would
// raise underflow.
TEST(ExactSumRecords, AriasSeriesAcrossTheRangeOfTheFastScaling) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (const int low : {-480, -458, 491, 497}) {  // squares from about 2^(2 low) to 2^(2 low + 24)
    Vec x(20'000);
    for (std::size_t i = 0; i < x.size(); ++i)
      x[i] = std::round(normal(rng) * 1000.0) * std::ldexp(1.0, low - 10 + static_cast<int>(12 * i / x.size()));
    // NaN steps too: every intensity that NaN, quietly, whichever way the blocks are scaled.
    for (const double dt : {0.01, -0.01, 0x1p-20, -0x1p20, 0x1.0000000000001p20, 0x1.fffffffffffffp-21, 40.0, 1e-7,
                            kNaN, -kNaN, std::bit_cast<double>(std::uint64_t{0x7ff8000000000123})}) {
      Vec want = ref_pow(x, 2.0);  // exact squares: the library raises no flag
      const int want_flags = plain_arias_series(want, dt);
      for (const int step : {1, -2}) {
        const Placed in(x, step);
        Placed out(Vec(x.size(), 12345.0), step);
        double total;
        const int flags = kernel_arias_series(in, dt, out, total);
        EXPECT_TRUE(same_bits(out.values(), want)) << "squares from 2^" << 2 * low << ", dt " << dt << ", step " << step;
        if (low < 0) {
          EXPECT_EQ(flags, want_flags) << "squares from 2^" << 2 * low << ", dt " << dt << ", step " << step;
        }
      }
    }
  }
}

/// arias_first_above over block b of `in` at levels on each of its elements and one ulp
/// either side, against the first element of `series` (the scaled running sums) above.
::testing::AssertionResult first_above_agrees(const Placed &in, const Vec &running, const Vec &series, std::int64_t b,
                                              double dt) {
  const auto n = static_cast<std::int64_t>(series.size());
  const std::int64_t i0 = b * k::arias_block, m = std::min(k::arias_block, n - i0);
  const double start = b > 0 ? running[static_cast<std::size_t>(i0 - 1)] : 0.0;
  for (std::int64_t j = i0; j < i0 + m; ++j) {
    const double on = series[static_cast<std::size_t>(j)];
    for (const double val : {on, std::nextafter(on, -kInf), std::nextafter(on, kInf)}) {
      std::int64_t want = i0;
      while (want < i0 + m && !(series[static_cast<std::size_t>(want)] > val)) ++want;
      const std::int64_t got = k::arias_first_above(in.span(), i0, m, start, dt, val);
      if (got != want)
        return ::testing::AssertionFailure() << "block " << b << ", level " << val << ": " << got << ", not " << want;
    }
  }
  return ::testing::AssertionSuccess();
}

// A square whose exact value lies near a rounding midpoint, where the library rounds
// it the other way than x * x, and that other way is a tie on the running sum's grid:
// the block must not be taken with x * x (not a tie) in its place. Each record sets
// the sum to E, or to E + u (an odd multiple of u, where the tie rounds the other way
// than the square's own nearest grid point), leaves a block of zeros (so that a whole
// block is tried next), then puts the square among zeros, at every lane position;
// and again with a square at the block's end that leaves the binade, so that the
// block goes a chunk at a time and each chunk decides on its own squares. Both the
// Arias series and the sums at block ends (the Arias times) are checked.
TEST(ExactSumRecords, ALibrarySquareThatIsATieOnTheGrid) {
  std::mt19937_64 rng(8);
  std::uniform_real_distribution<double> uniform(0.5, 0.7);
  const double two = 2.0;
  int found = 0, records = 0;
  for (int tries = 0; found < 128 && tries < 10'000'000; ++tries) {
    const double x = uniform(rng), w = std::pow(x, two);
    if (w == x * x) continue;
    const auto lsb = std::bit_cast<std::uint64_t>(w) & (~std::bit_cast<std::uint64_t>(w) + 1);
    const int e = std::ilogb(w) - 52 + std::countr_zero(lsb) + 53;  // E = 2^e: w is an odd multiple of u / 2
    ++found;
    for (const bool odd_sum : {false, true})
    for (const bool crossing : {false, true}) {
      if (odd_sum && e % 2 != 0) continue;  // u = 2^(e - 52) is a square only for even e
      Vec a(768, 0.0);
      if (crossing) a[767] = std::ldexp(1.0, (e + 2) / 2);  // its square is at least 2E
      std::size_t lead = 0;
      if (e % 2 == 0) {
        a[lead++] = std::ldexp(1.0, e / 2);
      } else {
        a[lead++] = std::ldexp(1.0, (e - 1) / 2);
        a[lead++] = std::ldexp(1.0, (e - 1) / 2);
      }
      if (odd_sum) a[lead++] = std::ldexp(1.0, (e - 52) / 2);
      a[512 + static_cast<std::size_t>(records * 37 % 255)] = records % 2 ? -x : x;
      ++records;
      Vec want = ref_pow(a, 2.0);
      ASSERT_EQ(seq_sum(Vec(want.begin(), want.begin() + 256)), std::ldexp(odd_sum ? 1.0 + 0x1p-52 : 1.0, e));
      const Vec running = seq_running(want);
      Vec want_ends;
      for (std::size_t b = k::arias_block; b <= a.size(); b += k::arias_block) want_ends.push_back(running[b - 1]);
      plain_arias_series(want, 0.01);
      const std::string what = "x " + std::to_string(x) + (odd_sum ? ", sum E + u" : ", sum E") +
                               (crossing ? ", crossing at the block's end" : "");
      for (const int step : {1, -2}) {
        const Placed in(a, step);
        Placed out(Vec(a.size(), 12345.0), step);
        double total;
        kernel_arias_series(in, 0.01, out, total);
        EXPECT_TRUE(same_bits(out.values(), want)) << what << ", step " << step;
        Vec ends(want_ends.size(), 12345.0);
        const k::SquareSums sums = k::square_sums_by_block(
            in.span(), {reinterpret_cast<char *>(ends.data()), static_cast<std::int64_t>(ends.size()), 8});
        EXPECT_TRUE(same_bits(ends, want_ends)) << "block ends, " << what << ", step " << step;
        EXPECT_TRUE(same_bits(sums.total, running.back())) << "block ends' total, " << what << ", step " << step;
        for (std::int64_t b = 8; b < 12; ++b)  // the blocks after the zeros: the square's among them
          EXPECT_TRUE(first_above_agrees(in, running, want, b, 0.01)) << what << ", step " << step;
      }
    }
  }
  EXPECT_EQ(found, 128);
}

// A square near a midpoint that waited for the library while its chunk was tried on
// the grid of E (where both of its candidates give one grid value) must come from the
// library when that try fails and the plain loop adds it: there a term before it has
// taken the sum to 2E, on whose grid of 2u the library's square is a tie. Each record
// sets the sum to E, passes a block of zeros, then holds in one chunk a square of E
// (the crossing), optionally one of u' = 2u (an odd sum), and the square.
TEST(ExactSumRecords, ALibrarySquareThatIsATieAfterACrossing) {
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> uniform(0.5, 0.7);
  const double two = 2.0;
  // The terms whose squares add up to 2^e exactly: one, or two of 2^(e - 1).
  auto power_terms = [](int e) {
    return e % 2 == 0 ? Vec{std::ldexp(1.0, e / 2)} : Vec{std::ldexp(1.0, (e - 1) / 2), std::ldexp(1.0, (e - 1) / 2)};
  };
  int found = 0, exercised = 0;
  for (int tries = 0; found < 128 && tries < 10'000'000; ++tries) {
    const double x = uniform(rng), w = std::pow(x, two);
    const double p = x * x;
    if (w == p) continue;
    const auto lsb = std::bit_cast<std::uint64_t>(w) & (~std::bit_cast<std::uint64_t>(w) + 1);
    if (std::countr_zero(lsb) < 2) continue;  // then p is no nearer w than u / 2: the chunk would not wait
    const int e2 = std::ilogb(w) - 52 + std::countr_zero(lsb) + 53;  // 2E = 2^e2: w is an odd multiple of u' / 2
    ++found;
    for (const bool odd_sum : {false, true}) {
      if (odd_sum && e2 % 2 != 0) continue;  // u' = 2^(e2 - 52) is a square only for even e2
      Vec a(768, 0.0);
      std::size_t at = 0;
      for (const double t : power_terms(e2 - 1)) a[at++] = t;
      at = 512;
      for (const double t : power_terms(e2 - 1)) a[at++] = t;
      if (odd_sum) a[at++] = std::ldexp(1.0, (e2 - 52) / 2);
      a[at + static_cast<std::size_t>(found % 8)] = found % 2 ? -x : x;
      Vec want = ref_pow(a, 2.0);
      const Vec running = seq_running(want);
      // The case bites where the library's tie and x * x leave different sums.
      Vec with_product = want;
      for (double &v : with_product) v = v == w ? p : v;
      exercised += seq_sum(with_product) != running.back();
      plain_arias_series(want, 0.01);
      for (const int step : {1, -2}) {
        const Placed in(a, step);
        Placed out(Vec(a.size(), 12345.0), step);
        double total;
        kernel_arias_series(in, 0.01, out, total);
        EXPECT_TRUE(same_bits(out.values(), want)) << "x " << x << (odd_sum ? ", odd sum" : "") << ", step " << step;
        EXPECT_TRUE(first_above_agrees(in, running, want, 8, 0.01)) << "x " << x << (odd_sum ? ", odd sum" : "") << ", step " << step;
      }
    }
  }
  EXPECT_EQ(found, 128);
  EXPECT_GT(exercised, 0) << "no record where the library's square and x * x give different sums";
}

// The Arias series written over its own samples (as block_tally runs it): a block
// whose whole try failed after scaling straight into the output must not read its
// samples again, for the squares that waited for the library among them.
TEST(ExactSumRecords, AriasSeriesInPlace) {
  for (const Kind kind : kKinds) {
    for (const int step : {1, -3}) {
      const Vec data = make_kind(kind, 20'000, static_cast<std::uint64_t>(41 + step));
      Vec want = ref_pow(data, 2.0);
      plain_arias_series(want, 0.01);
      Placed buf(data, step);
      const double total = k::arias_series(buf.span(), 0.01, buf.mut());
      EXPECT_TRUE(same_bits(buf.values(), want)) << kind_name(kind) << ", step " << step;
      EXPECT_TRUE(same_bits(total, seq_sum(ref_pow(data, 2.0)))) << kind_name(kind) << ", step " << step;
      EXPECT_TRUE(buf.guards_intact());
      Placed tallied(data, step);
      k::block_tally(k::ExactKernel::arias_series, tallied.mut(), 0.01);
      EXPECT_TRUE(same_bits(tallied.values(), want)) << "block_tally, " << kind_name(kind) << ", step " << step;
    }
  }
}

// Squares that the library rounds the other way than x * x, amid zeros, each a random
// fraction of the running sum at its place, so that one candidate or the other is
// often a tie on the sum's grid: from squares below 2^-64 to squares above 2^64 (the
// ends of the range where they wait for the library), at block and chunk ends, in a
// partial last block, forwards and backwards in memory.
TEST(ExactSumRecords, LibrarySquaresAmidTheirOwnSums) {
  std::mt19937_64 rng(23);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  static const std::int64_t kPlaces[] = {0, 1, 31, 32, 63, 64, 127, 128, 191, 254, 255};
  int records = 0;
  for (const std::int64_t n : {60'000, 60'000 + 77}) {
    for (const int per_block : {1, 3}) {
      Vec x(static_cast<std::size_t>(n), 0.0);
      double s = 0x1p-72;
      x[0] = std::sqrt(s);
      s = library_pow(x[0], 2.0);
      int other_way = 0;
      for (std::int64_t i0 = 256; i0 < n; i0 += 256) {
        for (int j = 0; j < per_block; ++j) {
          const std::int64_t i = i0 + (rng() & 1 ? kPlaces[rng() % std::size(kPlaces)] : static_cast<std::int64_t>(rng() % 256));
          if (i >= n) continue;
          double v = std::sqrt(s * std::ldexp(0.5 + unit(rng), -static_cast<int>(rng() % 6)));
          for (int tries = 0; library_pow(v, 2.0) == v * v && tries < 100'000; ++tries) v = std::nextafter(v, kInf);
          other_way += library_pow(v, 2.0) != v * v;
          x[static_cast<std::size_t>(i)] = (rng() & 1) ? v : -v;
          s += library_pow(v, 2.0);
        }
        if (s > 0x1p72) s = 0x1p-72;  // start again: squares below the grid until the sum catches up
      }
      ASSERT_GT(other_way, 200);
      Vec want = ref_pow(x, 2.0);
      plain_arias_series(want, 0.01);
      for (const int step : {1, -1, 2}) {
        const Placed in(x, step);
        Placed out(Vec(x.size(), 12345.0), step);
        double total;
        kernel_arias_series(in, 0.01, out, total);
        EXPECT_TRUE(same_bits(out.values(), want)) << "n " << n << ", " << per_block << " a block, step " << step;
        ++records;
      }
    }
  }
  EXPECT_EQ(records, 12);
}

// A NaN sample (a gap in a record) raises no flag in the sums of squares and the Arias
// series that their plain loops do not raise: quiet NaN arithmetic raises none, and
// the sums are compared quietly. A flag would send the measures that test them the
// slow way. On the eight-lane path only: the four-lane one takes maxima of the NaN,
// which raises invalid (a cost in time, never a bit).
TEST(ExactSumRecords, ANaNSampleRaisesNoFlagOnTheEightLanePath) {
  if (k::exact_lanes() != 8) GTEST_SKIP() << "the kernels run " << k::exact_lanes() << " lanes here";
  std::mt19937_64 rng(21);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (const std::size_t at : {0, 1, 31, 255, 256, 4000, 4001, 9999}) {
    Vec x(10'000);
    for (double &v : x) v = normal(rng);
    x[at] = std::bit_cast<double>(std::uint64_t{0x7ff8000000000123});
    const Placed in(x, 1);
    Vec want = ref_pow(x, 2.0);
    const double want_total = seq_sum(want);
    const int want_flags = plain_arias_series(want, 0.01);
    Placed out(Vec(x.size(), 12345.0), 1);
    double total;
    EXPECT_EQ(kernel_arias_series(in, 0.01, out, total), want_flags) << "arias_series, NaN at " << at;
    EXPECT_TRUE(same_bits(out.values(), want)) << "NaN at " << at;
    Vec ends(x.size() / static_cast<std::size_t>(k::arias_block) + 1);
    const int ends_flags = flags_raised([&] {
      total = k::square_sums_by_block(in.span(), {reinterpret_cast<char *>(ends.data()),
                                                   static_cast<std::int64_t>(ends.size()), 8}).total;
      __asm__ volatile("" : : : "memory");
    });
    EXPECT_EQ(ends_flags, want_flags) << "square_sums_by_block, NaN at " << at;
    EXPECT_TRUE(same_bits(total, want_total)) << "NaN at " << at;
    EXPECT_EQ(flags_raised([&] {
                total = k::sum_squares(in.span());
                __asm__ volatile("" : "+m"(total) : : "memory");
              }),
              want_flags)
        << "sum_squares, NaN at " << at;
  }
}

TEST(ExactSumRecords, TiesAtTheTopOfABinadeRoundToEven) {
  // s = 2 - u sits on the top grid point of [1, 2); adding u / 2 ties between an odd
  // and an even neighbour and must round up to 2.0, and so on past the crossing.
  const double u = 0x1p-52;
  Vec x(600, 0.5 * u);
  x[0] = 2.0 - u;
  for (std::size_t i = 300; i < x.size(); ++i) x[i] = 1.5 * u;  // ties on the grid of [2, 4)
  const Placed in(x, 1);
  EXPECT_TRUE(same_bits(k::sum_abs(in.span()), seq_sum(x)));
  EXPECT_TRUE(same_bits(k::sum_abs_at_least(in.span(), 0.0), seq_sum(x)));
}

TEST(ExactSumRecords, TiesThatCarryTheSumOntoTheTopOfItsBinade) {
  // s = 2E - g u (g odd), then [u / 2, u] pairs: each half-ulp tie rounds up from an
  // odd sum, so the sum reaches 2E exactly although the terms' grid values stay
  // below the gap; the 1.25 u after it rounds to 2E + 2u in the next binade, while
  // its grid value u would give 2E. Zeros before the ties place them at every lane
  // and chunk offset, whatever the tries' sizing.
  int failures = 0;
  for (const double E : {1.0, 0x1p-900, 0x1p900})
    for (const int g : {3, 5, 9})
      for (int zeros = 0; zeros < 80; ++zeros) {
        const double u = E * 0x1p-52;
        Vec x{-(2.0 * E - g * u)};
        x.resize(static_cast<std::size_t>(1 + zeros), -0.0);
        for (int pair = 0; pair < g / 2; ++pair) x.insert(x.end(), {0.5 * u, -u});
        x.insert(x.end(), {-0.5 * u, 1.25 * u});
        x.resize(x.size() + 40, 0.0);
        const double want = seq_sum(ref_abs(x));
        for (const int step : {1, -1, 3}) {
          Placed in(x, step);
          const bool ok = same_bits(k::sum_abs(in.span()), want) &&
                          same_bits(k::sum_abs_at_least(in.span(), 0.0), want) &&
                          same_bits(k::silence_and_sum_abs(in.mut(), 64, 8, 5e-324), want);  // the zero windows silenced
          if (!ok && failures++ < 5) ADD_FAILURE() << "E=" << E << " g=" << g << " zeros=" << zeros << " step=" << step;
        }
      }
  EXPECT_EQ(failures, 0);
}

// Samples whose library square is not their product (about 1 in 1200 doubles) in the
// last block of a record, 1 to 255 samples long: each one's square must come from the
// library, wherever its lane, vector or 64-sample word falls (a lost or misplaced bit of
// the squares' test leaves the product there). Every sample of the block such a one, and
// one such among zeros at each position, where its square is the sum itself (a
// difference of an ulp is not lost in the rounding of a larger sum).
TEST(ExactSumRecords, SquaresTheLibraryRoundsOtherwiseAtEveryPosition) {
  std::mt19937_64 rng(44);
  std::uniform_real_distribution<double> unit(1.0, 2.0);
  Vec odd;
  while (odd.size() < 512) {
    const double v = unit(rng);
    if (library_pow(v, 2.0) != v * v) odd.push_back((rng() & 1) ? v : -v);
  }
  int failures = 0;
  const auto check = [&](const Vec &x, const char *what, std::int64_t tail, std::int64_t at) {
    const Vec running = seq_running(ref_pow(x, 2.0));
    Vec series = running;
    for (double &v : series) v = (((v * 0.01) * kPi) / 2.0) / 9.81;
    for (const int step : {1, -1}) {
      const Placed in(x, step);
      Placed out(Vec(x.size(), 12345.0), step);
      const auto total = same_bits(k::arias_series(in.span(), 0.01, out.mut()), running.back());
      const auto sum = same_bits(k::sum_squares(in.span()), running.back());
      const auto arias = same_bits(out.values(), series);
      if ((!total || !sum || !arias) && failures++ < 5)
        ADD_FAILURE() << what << ", last block " << tail << ", at " << at << ", step " << step << ": "
                      << total.message() << " " << sum.message() << " " << arias.message();
    }
  };
  for (std::int64_t tail = 1; tail < 256; ++tail) {
    Vec x(static_cast<std::size_t>(256 + tail));
    for (double &v : x) v = odd[rng() % odd.size()];
    check(x, "every sample", tail, -1);
    if (tail % 8 > 1 && tail % 8 < 7 && tail % 64 > 8 && tail % 64 < 56) continue;  // the others hold no new case
    for (std::int64_t at = 0; at < tail; ++at) {
      Vec one(static_cast<std::size_t>(256 + tail), 0.0);
      one[static_cast<std::size_t>(256 + at)] = odd[rng() % odd.size()];
      check(one, "one sample", tail, at);
    }
  }
  EXPECT_EQ(failures, 0);
}

/// A sample near sqrt(target) whose library square is target itself when one of the
/// three nearest candidates has it (about half the time), else the nearest.
double root_of(double target, std::mt19937_64 &rng) {
  const double r = std::sqrt(target);
  for (double x : {r, std::nextafter(r, 0.0), std::nextafter(r, kInf)})
    if (library_pow(x, 2.0) == target) return (rng() & 1) ? x : -x;
  return r;
}

/// One Arias record aimed at the scan's checks: a background whose running sum passes
/// `level` mid-record, and at chunk and block starts and ends (the offsets the tries
/// begin and end on) terms that tie on the grid of the sum as the loop forms it, carry
/// it to within a few half-ulps of the top of its binade (onto it, or past), runs of
/// zeros, and now and then a NaN, an infinity or a huge sample; each edge term is one
/// of these with odds 1 / odds (dense: every block has some; sparse: whole blocks pass).
Vec arias_adversary(std::int64_t n, double level, std::uint64_t odds, std::mt19937_64 &rng) {
  std::normal_distribution<double> normal(0.0, 1.0);
  const double amplitude = std::sqrt(level / (0.5 * static_cast<double>(n)));
  Vec x;
  double s = 0.0;  // the loop's running sum of squares
  for (std::int64_t i = 0; i < n; ++i) {
    const std::int64_t c = i % 32, b = i % 256;
    const bool edge = c <= 1 || c >= 30 || b <= 1 || b >= 254;
    double v = normal(rng) * amplitude;
    if (s > 0.0 && s < 0x1p1000 && edge && rng() % odds == 0) {
      const double E = binade_of(s), u = E * 0x1p-52;
      switch (rng() % 8) {
        case 0:
        case 1:
        case 2:  // a tie: an odd number of half-ulps
          v = root_of(static_cast<double>(2 * (rng() % 4096) + 1) * 0.5 * u, rng);
          break;
        case 3:  // a tie among the terms in [E / 2, E), every other double of which is one
          v = root_of(E * (0.5 + 0.5 * std::ldexp(static_cast<double>(rng() % (1u << 20)), -20)), rng);
          break;
        case 4:
        case 5: {  // to the top of the binade, within three half-ulps
          const double target = (2.0 * E - s) + static_cast<double>(static_cast<int>(rng() % 7) - 3) * 0.5 * u;
          v = target > 0.0 ? root_of(target, rng) : 0.0;
          break;
        }
        case 6:
          v = (rng() & 1) ? 0.0 : -0.0;
          break;
        default:
          if (rng() % 64 == 0) {
            static const double kRare[] = {kNaN, kInf, -kInf, 1e300, 0x1p511, 0x1p520};
            v = kRare[rng() % std::size(kRare)];
          }
      }
    }
    x.push_back(v);
    if (s == s) s += library_pow(v, 2.0);
  }
  return x;
}

// Records aimed at the exact Arias series: lengths a few samples either side of whole
// blocks and chunks, steps at and just past the ends of the range where the scan's
// sums are scaled as they are formed (and zero, subnormal, huge, non-finite), running
// sums whose scaled values pass 2^-900 or 2^1000 (the ends of that range) mid-record,
// ties and binade tops at the tries' first and last terms, strided and reversed
// input and output, an output shorter or longer than the input (the series runs over
// the shorter; the rest of a longer output stays as it was). Against the plain loop,
// bit for bit; and every flag its sums and scalings raise is raised (a flag missed would
// let a caller that tests them pass a result NumPy warns about; more flags only send it
// the slower way). TAVO_ARIAS_RECORDS sets the number of records.
TEST(ExactSumRecords, AriasSeriesAdversarialRecords) {
  const char *env = std::getenv("TAVO_ARIAS_RECORDS");
  const std::int64_t records = env ? std::atoll(env) : 300;
  static const double kSteps[] = {0.01, 0.005, 1.0, 0x1p-20, -0x1p-20, 0x1p20, -0x1p20,
                                  0x1.0000000000001p20, 0x1.fffffffffffffp-21, -0x1.fffffffffffffp19,
                                  0x1.0000000000001p-20, -0.0, 0.0, 5e-324, 1e-300, 1e300, kInf, -kInf, kNaN};
  std::mt19937_64 rng(2112);
  std::int64_t samples = 0, missing_flags = 0, extra_flags = 0;
  int failures = 0;
  for (std::int64_t r = 0; r < records && failures < 10; ++r) {
    static const int kNear[] = {-33, -32, -31, -1, 0, 1, 31, 32, 33};
    const std::int64_t n =
        std::max<std::int64_t>(1, 256 * static_cast<std::int64_t>(1 + rng() % 24) + kNear[rng() % std::size(kNear)]);
    double dt = kSteps[rng() % std::size(kSteps)];
    if (rng() % 3 == 0)  // anywhere from 2^-25 to 2^25, either sign
      dt = std::ldexp((rng() & 1) ? 1.0 : -1.0, static_cast<int>(rng() % 50) - 25) *
           (1.0 + 0x1p-30 * static_cast<double>(rng() % 4096));
    // The running sum passes the end of the scaled range (for the steps that have one),
    // or some level over a wide span.
    const double scale = std::isfinite(dt) && dt != 0.0 ? std::fabs(dt) * kPi / 2.0 : 1.0;
    double level;
    switch (rng() % 3) {
      case 0: level = 0x1p-900 / scale; break;
      case 1: level = 0x1p1000 / scale; break;
      default: level = std::ldexp(1.0, static_cast<int>(rng() % 1200) - 600);
    }
    level = std::min(std::max(level, 0x1p-1000), 0x1p1015);
    const Vec x = arias_adversary(n, level, std::uint64_t{3} << (3 * (rng() % 4)), rng);
    static const int kInSteps[] = {1, 1, -1, 2}, kOutSteps[] = {1, 1, 2, -1, -3};
    static const int kOutLength[] = {0, 0, 0, -1, -37, 5};
    const int in_step = kInSteps[rng() % std::size(kInSteps)], out_step = kOutSteps[rng() % std::size(kOutSteps)];
    const std::int64_t n_out = std::max<std::int64_t>(1, n + kOutLength[rng() % std::size(kOutLength)]);
    const std::int64_t used = std::min(n, n_out);

    // The flags of the sums and scalings (those of the squares are the library's, and
    // no square is taken once the sum is NaN).
    Vec want = ref_pow(Vec(x.begin(), x.begin() + used), 2.0);
    const double want_total = seq_sum(want);
    const int want_flags = plain_arias_series(want, dt);
    want.resize(static_cast<std::size_t>(n_out), 12345.0);

    const Placed in(x, in_step);
    Placed out(Vec(static_cast<std::size_t>(n_out), 12345.0), out_step);
    double total = 0.0;
    const int flags = kernel_arias_series(in, dt, out, total);
    samples += n;
    missing_flags += (want_flags & ~flags) != 0;
    extra_flags += (flags & ~want_flags) != 0;
    const auto series = same_bits(out.values(), want);
    const auto sum = same_bits(total, want_total);
    if (!series || !sum || !out.guards_intact() || (want_flags & ~flags) != 0) {
      ++failures;
      ADD_FAILURE() << "record " << r << ": n=" << n << " dt=" << dt << " level=" << level << " steps " << in_step
                    << "/" << out_step << " out " << n_out << ": " << series.message() << " " << sum.message()
                    << " flags " << flags << " want " << want_flags;
    }
  }
  std::printf("arias adversary: %" PRId64 " records, %" PRId64 " samples; flags missing in %" PRId64
              ", extra in %" PRId64 "\n", records, samples, missing_flags, extra_flags);
  EXPECT_EQ(failures, 0);
}

/// max |v| over the running sum v of the trapezoid terms, NumPy's way: the terms
/// first, v[0] the first term itself, the peak counting no NaN (from -999.0).
double ref_velocity_peak(const Vec &x, double dt) {
  Vec terms;
  for (std::size_t i = 0; i + 1 < x.size(); ++i) terms.push_back((dt * (x[i + 1] + x[i])) / 2.0);
  double v = 0.0, peak = -999.0;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    v = i == 0 ? terms[0] : v + terms[i];
    if (std::fabs(v) > peak) peak = std::fabs(v);
  }
  return peak;
}

TEST_P(Kernels, VelocityPeak) {
  for (const double dt : {0.01, -0.5, 0.0}) EXPECT_TRUE(same_bits(k::velocity_peak(x(), dt), ref_velocity_peak(data_, dt)));
}

/// Runs the tests unless --require-isa=LEVEL names an x86-64 level this CPU lacks
/// (the single-ISA test builds), which exits with 77 for CTest to count as skipped.
int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--require-isa=", 0) != 0) continue;
    const std::string level = arg.substr(14);
    bool ok = level == "x86-64";
#if defined(__x86_64__) && defined(__GNUC__)
    if (level == "x86-64-v3") ok = __builtin_cpu_supports("x86-64-v3");
    if (level == "x86-64-v4") ok = __builtin_cpu_supports("x86-64-v4");
#endif
    if (!ok) {
      std::printf("skipped: this CPU does not run %s code\n", level.c_str());
      return 77;
    }
  }
  return RUN_ALL_TESTS();
}
