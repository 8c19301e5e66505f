// Micro-benchmarks of the vector kernels on contiguous record-like data, beside
// the bare loops they are measured against: the left-to-right |a| sum that bounds
// every strict sum, and x * x against the library's pow.
// Each result carries a per_sample counter: seconds per sample.
#include "kernels/vector.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace k = tavo::kernels;

namespace {

/// White noise under a rise-and-decay envelope, so that quiet stretches lie at both ends
/// as in a recorded accelerogram.
std::vector<double> record(std::int64_t n) {
  std::mt19937_64 rng(42);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> a(static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(n);
    const double envelope = t < 0.2 ? 0.05 : std::exp(-4.0 * (t - 0.2));
    a[static_cast<std::size_t>(i)] = noise(rng) * envelope;
  }
  return a;
}

k::Span span(const std::vector<double> &a) {
  return {reinterpret_cast<const char *>(a.data()), static_cast<std::int64_t>(a.size()), 8};
}
k::MutSpan mut(std::vector<double> &a) {
  return {reinterpret_cast<char *>(a.data()), static_cast<std::int64_t>(a.size()), 8};
}

/// Time per sample in seconds, printed with an SI prefix (3.2n is 3.2 ns).
void per_sample(benchmark::State &state) {
  state.counters["per_sample"] = benchmark::Counter(
      static_cast<double>(state.range(0)), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

/// Runs f(input, output) once per iteration over an n-sample record.
template <class F>
void run(benchmark::State &state, F f) {
  const std::vector<double> a = record(state.range(0));
  std::vector<double> out(a.size());
  for (auto _ : state) {
    f(a, out);
    benchmark::ClobberMemory();
  }
  per_sample(state);
}

#define TAVO_BENCH(name, body)                                                                  \
  void name(benchmark::State &state) {                                                         \
    run(state, []([[maybe_unused]] const std::vector<double> &a, [[maybe_unused]] std::vector<double> &out) { body; });          \
  }                                                                                            \
  BENCHMARK(name)->Arg(100)->Arg(4000)->Arg(40000)->Arg(1000000)

TAVO_BENCH(max, benchmark::DoNotOptimize(k::max(span(a))));
TAVO_BENCH(max_abs, benchmark::DoNotOptimize(k::max_abs(span(a))));
TAVO_BENCH(sum, benchmark::DoNotOptimize(k::sum(span(a))));
TAVO_BENCH(sum_abs, benchmark::DoNotOptimize(k::sum_abs(span(a))));
TAVO_BENCH(sum_abs_at_least, benchmark::DoNotOptimize(k::sum_abs_at_least(span(a), 0.24525000000000002)));
// The window pass silences the record in place: each run starts from a fresh copy, as a caller's would.
TAVO_BENCH(copy_record, std::copy(a.begin(), a.end(), out.begin()));
TAVO_BENCH(silence_and_sum_abs, {
  std::copy(a.begin(), a.end(), out.begin());
  benchmark::DoNotOptimize(k::silence_and_sum_abs(mut(out), 100, (static_cast<std::int64_t>(a.size()) + 99) / 100, 0.24525000000000002));
});
TAVO_BENCH(sum_squares, benchmark::DoNotOptimize(k::sum_squares(span(a))));
TAVO_BENCH(abs, k::abs(span(a), mut(out)));
TAVO_BENCH(cumsum, k::cumsum(span(a), mut(out)));
TAVO_BENCH(pow, k::pow(span(a), 2.0, mut(out)));
TAVO_BENCH(linspace, k::linspace(0.01, static_cast<double>(out.size()) * 0.01, static_cast<std::int32_t>(out.size()), mut(out)));
TAVO_BENCH(arias_series, benchmark::DoNotOptimize(k::arias_series(span(a), 0.01, mut(out))));
// The running sum of squares kept at every block end (the Arias times without the series).
TAVO_BENCH(square_sums_by_block, benchmark::DoNotOptimize(k::square_sums_by_block(span(a), mut(out))));
TAVO_BENCH(first_greater, benchmark::DoNotOptimize(k::first_greater(span(a), 1e300)));  // full scan
TAVO_BENCH(is_nondecreasing, benchmark::DoNotOptimize(k::is_nondecreasing(span(out))));  // out is all zero: full scan
TAVO_BENCH(fill_zero, k::fill_zero(mut(out)));
TAVO_BENCH(square, for (std::size_t i = 0; i < a.size(); ++i) out[i] = k::square(a[i]));

// The floor of every strict left-to-right sum: one dependent addition per sample.
TAVO_BENCH(floor_sum_fabs, {
  double s = 0.0;
  for (double v : a) s += std::fabs(v);
  benchmark::DoNotOptimize(s);
});

// x * x as the compiler would emit it, against the library call it may differ from.
TAVO_BENCH(bare_product, for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] * a[i]);
TAVO_BENCH(bare_pow, {
  double two = 2.0;
  benchmark::DoNotOptimize(two);  // keeps pow(x, 2.0) from becoming x * x
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = std::pow(a[i], two);
});

// first_greater_sorted is one bisection: its time is per call, with no per-sample counter.
void first_greater_sorted(benchmark::State &state) {
  std::vector<double> series = record(state.range(0));
  double s = 0.0;
  for (double &v : series) v = s += v * v;
  const double level = 0.95 * s;
  for (auto _ : state) benchmark::DoNotOptimize(k::first_greater_sorted(span(series), level));
}
BENCHMARK(first_greater_sorted)->Arg(100)->Arg(4000)->Arg(40000)->Arg(1000000);

}  // namespace

BENCHMARK_MAIN();
