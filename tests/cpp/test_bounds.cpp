// Every kernel stays inside [0, n) of its spans: the data lie right against
// inaccessible pages, so one read past either end faults. Also the case where
// memory contradicts an earlier pass (changed by another thread or process).
#include "kernels/oscillator.hpp"
#include "kernels/vector.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace k = tavo::kernels;

namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

/// n doubles (at `offset` bytes from alignment) between two PROT_NONE pages:
/// `last()` ends exactly at the upper one, `first()` starts exactly at the lower one.
class Guarded {
  char *map_ = nullptr;
  std::size_t size_ = 0;
  std::size_t page_ = 0;
  std::int64_t n_;

public:
  explicit Guarded(std::int64_t n) : n_(n) {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t bytes = static_cast<std::size_t>(n) * sizeof(double);
    const std::size_t inner = (bytes + page_ - 1) / page_ * page_ + page_;
    size_ = inner + 2 * page_;
    void *p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    map_ = static_cast<char *>(p);
    mprotect(map_, page_, PROT_NONE);
    mprotect(map_ + page_ + inner, page_, PROT_NONE);
  }
  Guarded(const Guarded &) = delete;
  ~Guarded() { munmap(map_, size_); }

  /// The n elements ending at the upper guard page, `misalign` bytes off 8-byte alignment.
  char *last(std::size_t misalign = 0) const {
    return map_ + size_ - page_ - static_cast<std::size_t>(n_) * sizeof(double) - misalign;
  }
  /// The n elements starting at the lower guard page.
  char *first(std::size_t misalign = 0) const { return map_ + page_ + misalign; }

  void fill(char *at, double v) const {
    for (std::int64_t i = 0; i < n_; ++i) std::memcpy(at + i * 8, &v, sizeof v);
  }
};

// The maximum's second pass looks for the first zero once the vector pass found
// the maximum to be zero. Memory written meanwhile may hold no zero any more;
// the scan must then end at n, not at the first zero past the end.
TEST(Bounds, FirstZeroStopsAtTheEndWhenMemoryHoldsNoZero) {
  for (std::int64_t n : {1, 7, 8, 9, 1 << 16}) {
    Guarded g(n);
    for (std::size_t misalign : {0u, 3u}) {
      char *up = g.last(misalign);
      g.fill(up, -1.0);
      EXPECT_EQ(bits(k::first_zero({up, n, 8})), bits(0.0)) << n;
      // Reversed: element 0 is the highest address, the run ends at the lower guard.
      char *down = g.first(misalign);
      g.fill(down, -1.0);
      EXPECT_EQ(bits(k::first_zero({down + (n - 1) * 8, n, -8})), bits(0.0)) << n;
    }
  }
}

TEST(Bounds, FirstZeroKeepsTheSignOfTheFirstZero) {
  Guarded g(4);
  char *at = g.last();
  const double values[] = {-1.0, -0.0, 0.0, -2.0};
  std::memcpy(at, values, sizeof values);
  EXPECT_EQ(bits(k::first_zero({at, 4, 8})), bits(-0.0));
  EXPECT_EQ(bits(k::first_zero({at + 24, 4, -8})), bits(0.0));
}

// Every kernel over spans that touch both guard pages, forward and reversed,
// aligned or not: a read or write one element too far faults.
TEST(Bounds, EveryKernelStaysInsideItsSpan) {
  for (std::int64_t n : {1, 2, 7, 8, 9, 257, 1000}) {
    for (std::size_t misalign : {0u, 5u}) {
      Guarded in(n), out(n);
      for (int dir : {1, -1}) {
        char *x0 = dir == 1 ? in.last(misalign) : in.first(misalign) + (n - 1) * 8;
        char *o0 = dir == 1 ? out.first(misalign) : out.last(misalign) + (n - 1) * 8;
        const std::int64_t s = 8 * dir;
        for (std::int64_t i = 0; i < n; ++i) {
          const double v = (i % 3 == 0 ? -0.5 : 0.25) * static_cast<double>(i % 11);
          std::memcpy(x0 + i * s, &v, sizeof v);
        }
        const k::Span x{x0, n, s};
        const k::MutSpan o{o0, n, s};
        k::max(x);
        k::max_abs(x);
        k::first_zero(x);
        k::sum(x);
        k::sum_abs(x);
        k::sum_abs_at_least(x, 0.3);
        k::sum_squares(x);
        k::is_nondecreasing(x);
        k::first_greater(x, 100.0);
        k::first_greater_sorted(x, 100.0);
        k::abs(x, o);
        k::cumsum(x, o);
        k::pow(x, 2.0, o);
        k::arias_series(x, 0.01, o);
        k::linspace(0.0, 1.0, static_cast<std::int32_t>(n), o);
        k::silence_and_sum_abs(o, 3, n, 0.1);
        k::fill_zero(o);
        const k::Step step = k::exact_step(6.0, 0.01, 0.05);
        double weights[6], peak = 0.0;
        k::substep_weights(2, weights);
        k::peak_response(x, &step, 1, 2, weights, &peak);
        EXPECT_GE(peak, 0.0);
      }
    }
  }
}

// The oscillator reads unaligned samples as the aligned ones, bit for bit.
TEST(Bounds, OscillatorReadsUnalignedSamples) {
  const std::int64_t n = 500;
  std::vector<double> aligned(n);
  for (std::int64_t i = 0; i < n; ++i) aligned[i] = 0.01 * static_cast<double>((i * 37) % 101 - 50);
  Guarded g(n);
  char *odd = g.last(1);
  std::memcpy(odd, aligned.data(), n * sizeof(double));
  k::Step steps[3];
  const double omegas[] = {0.5, 6.0, 60.0};
  for (int m = 0; m < 3; ++m) steps[m] = k::exact_step(omegas[m], 0.01, 0.05);
  double weights[4], want[3], got[3];
  k::substep_weights(1, weights);
  k::peak_response({reinterpret_cast<const char *>(aligned.data()), n, 8}, steps, 3, 1, weights, want);
  k::peak_response({odd, n, 8}, steps, 3, 1, weights, got);
  for (int m = 0; m < 3; ++m) EXPECT_EQ(bits(got[m]), bits(want[m])) << m;
}

}  // namespace
