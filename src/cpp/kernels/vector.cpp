// Out-of-line vector kernels: a contiguous fast path beside each strided loop,
// and on x86-64 one clone per instruction-set level, chosen at load time.
// Every result is bit-identical whichever path or clone runs.
#include "kernels/vector.hpp"

#include "kernels/exact_sum.hpp"
#include "kernels/rounding.hpp"

#include <algorithm>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "kernels/clones.hpp"

// Distributed builds stay at the baseline ISA otherwise. x86-64-v3 brings FMA along with AVX2.
#define TAVO_CLONES TAVO_TARGET_CLONES("arch=x86-64-v4", "arch=x86-64-v3", "default")
// The exact sums run different code per level (8 or 4 lanes, or the plain loop), so
// they are dispatched by hand on the same CPU test (see dispatch below).
#define TAVO_DISPATCH TAVO_MULTIVERSIONED

namespace tavo::kernels {
namespace {

constexpr std::int64_t kItem = sizeof(double);

// Loads and stores go through memcpy so that any address is valid: buffers
// may be unaligned, and the vectoriser then assumes no alignment either.
inline double load(const char *p) noexcept {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store(char *p, double v) noexcept { std::memcpy(p, &v, sizeof v); }

// Two doubles at a time: one SSE2 or NEON register, native on every target, so the
// baseline build vectorises as well (wider types lower badly there); the clones
// still gain from VEX encoding and from four independent accumulators.
using Vec = double __attribute__((vector_size(16)));
using Mask = std::int64_t __attribute__((vector_size(16)));
constexpr int kWidth = 2;

inline Vec splat(double v) noexcept { return Vec{v, v}; }
inline bool any_set(Mask m) noexcept { return (m[0] | m[1]) != 0; }

struct Contig {
  const char *p;
  double operator[](std::int64_t i) const noexcept { return load(p + i * kItem); }
  Vec vec(std::int64_t i) const noexcept {
    Vec v;
    std::memcpy(&v, p + i * kItem, sizeof v);
    return v;
  }
  template <int W>
  exact::Vec<W> lanes(std::int64_t i) const noexcept {
    exact::Vec<W> v;
    std::memcpy(&v, p + i * kItem, sizeof v);
    return v;
  }
};
struct Strided {
  const char *p;
  std::int64_t s;
  double operator[](std::int64_t i) const noexcept { return load(p + i * s); }
  Vec vec(std::int64_t i) const noexcept {
    return Vec{(*this)[i], (*this)[i + 1]};
  }
  template <int W>
  exact::Vec<W> lanes(std::int64_t i) const noexcept {
    exact::Vec<W> v;
    for (int j = 0; j < W; ++j) v[j] = (*this)[i + j];
    return v;
  }
};
struct ContigOut {
  char *p;
  void put(std::int64_t i, double v) const noexcept { store(p + i * kItem, v); }
};
struct StridedOut {
  char *p;
  std::int64_t s;
  void put(std::int64_t i, double v) const noexcept { store(p + i * s, v); }
};

inline double keep_greater(double v, double m) noexcept { return v > m ? v : m; }
inline Vec keep_greater(Vec v, Vec m) noexcept { return v > m ? v : m; }

struct Identity {
  double operator()(double v) const noexcept { return v; }
  Vec operator()(Vec v) const noexcept { return v; }
};
struct Magnitude {
  double operator()(double v) const noexcept { return std::fabs(v); }
  Vec operator()(Vec v) const noexcept {
    return reinterpret_cast<Vec>(reinterpret_cast<Mask>(v) & INT64_MAX);  // sign bit cleared
  }
};

/// Running maximum of f(x[i]) from max_start with strict >, over independent lanes.
/// Lanes change which of several equal candidates survives, never its value; the
/// callers handle the one case where equal values differ in bits (signed zeros).
template <class In, class F>
[[gnu::always_inline]] inline double lane_max(In x, std::int64_t n, F f) noexcept {
  constexpr int kSpan = 4 * kWidth;
  Vec m0 = splat(max_start), m1 = m0, m2 = m0, m3 = m0;
  std::int64_t i = 0;
  for (; n - i >= kSpan; i += kSpan) {
    m0 = keep_greater(f(x.vec(i)), m0);
    m1 = keep_greater(f(x.vec(i + kWidth)), m1);
    m2 = keep_greater(f(x.vec(i + 2 * kWidth)), m2);
    m3 = keep_greater(f(x.vec(i + 3 * kWidth)), m3);
  }
  const Vec m = keep_greater(keep_greater(m0, m1), keep_greater(m2, m3));
  double r = max_start;
  for (int k = 0; k < kWidth; ++k) r = keep_greater(m[k], r);
  for (; i < n; ++i) r = keep_greater(f(x[i]), r);
  return r;
}

/// v, with its value hidden from the optimiser. An exponent passed through it keeps
/// pow(x, 2.0) a library call instead of x * x (which differs from glibc's pow in the
/// last bit); -fno-builtin-pow says the same to the compiler.
inline double hidden(double v) noexcept {
#if defined(__GNUC__)
  __asm__("" : "+m"(v));
#endif
  return v;
}

/// True when p = x * x is what the library's pow(x, 2.0) returns.
/// x * x is correctly rounded. glibc's pow(x, y) is exp(y * log(x)) with log(x) to a
/// relative error below 1.5 * 2^-68 and exp within 0.511 ulp (0.509 with FMA): at most
/// 0.511 + |y * log(x)| * 1.5 * 2^-68 * 2^53 ulp in all. With the exact square
/// x * x = p + r (|r| <= ulp / 2), the library can round the other way only where |r|
/// lies within that excess of a half ulp, so every |r| above a margin below it goes
/// to the library:
/// - p in [2^-64, 2^64]: |2 log(x)| <= 44.4, the error is below 0.5134 ulp, and the
///   margin 512/1053 = 0.48623 ulp covers 0.51377 (10^8 random inputs showed
///   mismatches only at |r| >= 0.4915 ulp, that is an error of 0.5085 ulp);
/// - other p in [2^-900, 2^1000]: |2 log(x)| <= 694, the error is below 0.543 ulp, the
///   margin 512/1171 = 0.43723 ulp covers 0.56277.
/// About 2.8 % of uniformly spread squares then go to the library. The AVX2 and
/// AVX-512 passes (products below) take the first range only: squares outside it go
/// to the library there, which costs time on such records, never a bit.
/// The test is one fused step: fl(p + r * k) == p exactly when |r| * k <= ulp / 2
/// (at equality only by the tie rule), that is |r| <= ulp / (2k), the margin, for
/// k = 1053/1024 and 1171/1024 (exact). The gap below a power of two is half the gap
/// above, but no square rounds to a power of two unless it is one exactly (r = 0):
/// the nearest doubles to sqrt(2) * 2^k miss by more than 2^-54 relative.
/// Non-finite, tiny and huge squares go to the library, zeros excepted
/// (pow(+-0, 2) is +0). Other C libraries always go to the library.
inline bool square_is_product(double x, double p) noexcept {
#ifdef __GLIBC__
  // Branch-free so that blocks of it vectorise. The range keeps r exact and
  // ulp(p) a normal number, and excludes NaN and infinity.
  const bool in_range = (p >= 0x1p-900) & (p <= 0x1p+1000);
  const bool moderate = (p >= 0x1p-64) & (p <= 0x1p+64);
  const double r = std::fma(x, x, -p);  // exact: the part of x * x that p rounded off
  const double k = moderate ? 1053.0 / 1024.0 : 1171.0 / 1024.0;
  return (in_range & (std::fma(r, k, p) == p)) | (x == 0.0);
#else
  (void)x;
  (void)p;
  return false;
#endif
}

constexpr std::int64_t kBlock = 256;

/// q[g + j] = pow(x[i0 + g + j], 2.0) for each bit j of mask: the squares the test
/// sent to the library, one call each.
template <class In>
[[gnu::always_inline]] inline void library_squares(In x, std::int64_t i0, std::int64_t g, std::uint64_t mask,
                                                   double *q) noexcept {
  const double two = hidden(2.0);
  for (; mask != 0; mask &= mask - 1) {
    const std::int64_t k = g + std::countr_zero(mask);
    q[k] = std::pow(x[i0 + k], two);
  }
}

/// library_squares for the squares outside [2^-64, 2^64] only; the others, whose exact
/// square lies within the margin of a rounding midpoint, keep p = x * x and are returned
/// as bits: the library gives p or the double on the other side of that midpoint (its
/// error is below 0.51377 ulp there, and |x * x - p| above 0.48623 ulp), and where both
/// give the exact sums the same grid value (squares_agree) the library need not be
/// asked which. NaN lies in neither range (quiet comparisons: no flag). The samples of
/// the squares kept go to kept_x[k]: the output may be the input itself, and a block
/// try that fails has written over them.
template <class In>
[[gnu::always_inline]] inline std::uint64_t library_squares_outside_band(In x, std::int64_t i0, std::int64_t g,
                                                                        std::uint64_t mask, double *q,
                                                                        double *kept_x) noexcept {
  const double two = hidden(2.0);
  std::uint64_t band = 0;
  for (; mask != 0; mask &= mask - 1) {
    const int j = std::countr_zero(mask);
    const std::int64_t k = g + j;
    if (std::isgreaterequal(q[k], 0x1p-64) && std::islessequal(q[k], 0x1p64)) {
      band |= std::uint64_t{1} << j;
      kept_x[k] = x[i0 + k];
    } else {
      q[k] = std::pow(x[i0 + k], two);
    }
  }
  return band;
}

/// The bits of `band` (one word per 64 squares of a block) for the squares in [i, i + m),
/// m <= 64 and the run within one word (tries are whole chunks, aligned to them).
[[gnu::always_inline]] inline std::uint64_t band_bits(const std::uint64_t *band, std::int64_t i,
                                                      std::int64_t m) noexcept {
  const std::uint64_t run = m == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << m) - 1) << (i % 64);
  return band[i / 64] & run;
}

/// The library's squares of the lanes listed in `band` (all of them, or those of
/// bits, a mask of word i / 64), from their samples kept_x
/// (library_squares_outside_band); their bits are cleared.
[[gnu::always_inline]] inline void library_band_squares(const double *kept_x, std::uint64_t *band, double *q,
                                                        std::int64_t word, std::uint64_t bits) noexcept {
  const double two = hidden(2.0);
  for (std::uint64_t mask = bits; mask != 0; mask &= mask - 1) {
    const std::int64_t k = word * 64 + std::countr_zero(mask);
    q[k] = std::pow(kept_x[k], two);
  }
  band[word] &= ~bits;
}
[[gnu::always_inline]] inline void library_band_squares(const double *kept_x, std::uint64_t *band,
                                                        double *q) noexcept {
  for (std::int64_t g = 0; g < kBlock / 64; ++g) library_band_squares(kept_x, band, q, g, band[g]);
}

/// True when every square listed in `band` (or in bits, a mask of word `word`) gets the
/// same grid value q = (t + E) - E, and
/// is no tie, whether t is p = q[k] or its neighbour toward the exact square: a block
/// check on grid g then passes or fails alike with either, and the sums it accepts are
/// the same bits, so they are the sequential sums of the library's squares. (In an
/// accepted block every term is below E; the neighbour of such a p is at most E, and
/// reaches it only from E - u / 2, a tie.) Finite values only: no flag.
[[gnu::always_inline]] inline bool squares_agree(const double *kept_x, std::int64_t word, std::uint64_t bits,
                                                 const double *q, const exact::Grid &grid) noexcept {
  for (std::uint64_t mask = bits; mask != 0; mask &= mask - 1) {
    const std::int64_t k = word * 64 + std::countr_zero(mask);
    const double v = kept_x[k], p = q[k];
    const double r = std::fma(v, v, -p);  // exact, nonzero: the side of the exact square
    const double other = std::bit_cast<double>(std::bit_cast<std::uint64_t>(p) + (r > 0.0 ? 1 : -1));
    const double q1 = (p + grid.E) - grid.E, q2 = (other + grid.E) - grid.E;
    if (q1 != q2 || std::fabs(p - q1) == grid.half_u || std::fabs(other - q2) == grid.half_u) return false;
  }
  return true;
}
[[gnu::always_inline]] inline bool squares_agree(const double *kept_x, const std::uint64_t *band, const double *q,
                                                 const exact::Grid &grid) noexcept {
  for (std::int64_t g = 0; g < kBlock / 64; ++g)
    if (!squares_agree(kept_x, g, band[g], q, grid)) return false;
  return true;
}

/// q[k] = square(x[i0 + k]) for k < m <= kBlock: products and their test first
/// (vectorisable), then the library for the elements that need it, found through
/// a bit mask per 64 elements: no branch per element (which would mispredict on
/// most records) and no pass over every element for the few that fail.
template <class In>
[[gnu::always_inline]] inline void squares_block(In x, std::int64_t i0, std::int64_t m,
                                                 double *q) noexcept {
  std::uint8_t bad[kBlock];
  const bool nearest = rounds_to_nearest();
  for (std::int64_t k = 0; k < m; ++k) {
    const double v = x[i0 + k];
    q[k] = v * v;
    bad[k] = !(nearest && square_is_product(v, q[k]));
  }
  const std::int64_t padded = (m + 7) / 8 * 8;
  for (std::int64_t k = m; k < padded; ++k) bad[k] = 0;
  for (std::int64_t g = 0; g < padded; g += 64) {
    // Eight flags (bytes of 0 or 1) become eight bits: the product moves byte j's
    // bit to bit 56 + j, each partial product on a bit of its own, so nothing carries.
    std::uint64_t mask = 0;
    for (std::int64_t w = 0; w < 8 && g + 8 * w < padded; ++w) {
      std::uint64_t flags;
      std::memcpy(&flags, bad + g + 8 * w, sizeof flags);
      mask |= ((flags * 0x0102040810204080u) >> 56) << (8 * w);
    }
    library_squares(x, i0, g, mask, q);
  }
}

/// Bit j set when p[j] = v[j] * v[j] is known to be pow(v[j], 2.0): square_is_product
/// for W lanes, for squares in [2^-64, 2^64] only (and zeros); other squares go to the
/// library. One block of assembly: the compiler lowers these comparisons and their
/// combination lane by lane inside the helpers, and the fused steps must stay fused.
template <int W>
[[gnu::always_inline]] inline std::uint32_t products(exact::Vec<W> v, exact::Vec<W> p) noexcept {
#if defined(__GLIBC__) && defined(__x86_64__) && defined(__GNUC__)
  const exact::Vec<W> k = exact::splat<W>(1053.0 / 1024.0), zero{};
  exact::Vec<W> r, t;
  std::uint32_t ok;
  if constexpr (W == 8) {
    const exact::Bits<W> lo = exact::Bits<W>{} + std::bit_cast<std::uint64_t>(0x1p-64),
                         span = exact::Bits<W>{} + (std::bit_cast<std::uint64_t>(0x1p64) - std::bit_cast<std::uint64_t>(0x1p-64));
    __asm__(
        "vmovapd %[p], %[r]\n\t"
        "vfmsub231pd %[v], %[v], %[r]\n\t"         // r = v * v - p: exact
        "vfmadd132pd %[k], %[p], %[r]\n\t"         // r = fl(r * k + p)
        "vcmppd $0, %[p], %[r], %%k1\n\t"          // r == p
        "vpsubq %[lo], %[p], %[t]\n\t"             // bits(p) - bits(2^-64)
        "vpcmpuq $2, %[span], %[t], %%k1%{%%k1%}\n\t"  // and p in [2^-64, 2^64] (NaN lies above)
        "vcmppd $0, %[zero], %[v], %%k2\n\t"       // or v == 0
        "korb %%k2, %%k1, %%k1\n\t"
        "kmovb %%k1, %[ok]"
        : [ok] "=r"(ok), [r] "=&v"(r), [t] "=&v"(t)
        : [v] "v"(v), [p] "v"(p), [k] "v"(k), [lo] "v"(lo), [span] "v"(span), [zero] "v"(zero)
        : "k1", "k2");
  } else {
    const exact::Vec<W> lo = exact::splat<W>(0x1p-64), hi = exact::splat<W>(0x1p64);
    __asm__(
        "vmovapd %[p], %[r]\n\t"
        "vfmsub231pd %[v], %[v], %[r]\n\t"         // r = v * v - p: exact
        "vfmadd132pd %[k], %[p], %[r]\n\t"         // r = fl(r * k + p)
        "vcmpeqpd %[p], %[r], %[r]\n\t"            // r == p
        "vcmppd $0x1d, %[lo], %[p], %[t]\n\t"     // p >= 2^-64 (quiet: a NaN raises no flag)
        "vandpd %[t], %[r], %[r]\n\t"
        "vcmppd $0x12, %[hi], %[p], %[t]\n\t"     // p <= 2^64 (quiet)
        "vandpd %[t], %[r], %[r]\n\t"
        "vcmpeqpd %[zero], %[v], %[t]\n\t"         // or v == 0
        "vorpd %[t], %[r], %[r]\n\t"
        "vmovmskpd %[r], %[ok]"
        : [ok] "=r"(ok), [r] "=&x"(r), [t] "=&x"(t)
        : [v] "x"(v), [p] "x"(p), [k] "x"(k), [lo] "x"(lo), [hi] "x"(hi), [zero] "x"(zero));
  }
  return ok;
#else
  std::uint32_t ok = 0;
  for (int j = 0; j < W; ++j) ok |= std::uint32_t{square_is_product(v[j], p[j])} << j;
  return ok;
#endif
}

/// squares_block for W lanes: the products stored and tested a vector at a time, the
/// lanes that need the library gathered as bits.
template <int W, class In>
[[gnu::always_inline]] inline void squares_lanes(In x, std::int64_t i0, std::int64_t m, double *q,
                                                 std::uint64_t *deferred = nullptr,
                                                 double *deferred_x = nullptr) noexcept {
  static_assert(64 % W == 0);
  constexpr std::uint32_t all = (1u << W) - 1;
  std::uint64_t bad[kBlock / 64] = {};
  std::int64_t k = 0;
  for (; m - k >= 64; k += 64) {  // a word of bits at a time, kept in a register
    std::uint64_t word = 0;
    for (int j = 0; j < 64; j += W) {
      const exact::Vec<W> v = x.template lanes<W>(i0 + k + j), p = v * v;
      std::memcpy(q + k + j, &p, sizeof p);
      word |= std::uint64_t{~products<W>(v, p) & all} << j;
    }
    bad[k / 64] = word;
  }
  for (; m - k >= W; k += W) {
    const exact::Vec<W> v = x.template lanes<W>(i0 + k), p = v * v;
    std::memcpy(q + k, &p, sizeof p);
    bad[k / 64] |= std::uint64_t{~products<W>(v, p) & all} << (k % 64);
  }
  for (; k < m; ++k) {
    const double v = x[i0 + k];
    q[k] = v * v;
    bad[k / 64] |= std::uint64_t{!square_is_product(v, q[k])} << (k % 64);
  }
  if (deferred == nullptr) {
    for (std::int64_t g = 0; g < kBlock / 64; ++g) library_squares(x, i0, g * 64, bad[g], q);
  } else {
    for (std::int64_t g = 0; g < kBlock / 64; ++g) deferred[g] = library_squares_outside_band(x, i0, g * 64, bad[g], q, deferred_x);
  }
}

template <class In, class Out>
[[gnu::always_inline]] inline void abs_loop(In x, Out out, std::int64_t n) noexcept {
  for (std::int64_t i = 0; i < n; ++i) out.put(i, std::fabs(x[i]));
}

template <class In, class Out>
[[gnu::always_inline]] inline void pow_loop(In x, double exponent, Out out, std::int64_t n) noexcept {
  const double e = hidden(exponent);
  for (std::int64_t i = 0; i < n; ++i) out.put(i, std::pow(x[i], e));
}

// The left-to-right loops below fix the order of additions for exactness: no
// pairwise, blocked or reassociated sum, whatever the path. They also stop adding
// once the running sum is NaN: which of two NaN operands an addition returns
// depends on the compiler's operand order, so without the stop two loops (or two
// clones) could end on NaNs of different payloads. The result is the first NaN
// the sum meets (a NaN met by a non-NaN sum comes out the same in either order).

constexpr int kChain = 8;

/// s + v(0) + v(1) + ... + v(n - 1), one rounded addition at a time, stopping at
/// the first NaN. The NaN test runs once per eight additions, off the chain; a
/// block that ends on NaN is added again one element at a time to find the first.
template <class V>
[[gnu::always_inline]] inline double add_in_order(double s, std::int64_t n, V v) noexcept {
  if (s != s) return s;
  std::int64_t k = 0;
  for (; n - k >= kChain; k += kChain) {
    double t = s;
    for (int j = 0; j < kChain; ++j) t += v(k + j);
    if (t != t) [[unlikely]] {
      for (int j = 0; j < kChain; ++j) {
        s += v(k + j);
        if (s != s) return s;
      }
    }
    s = t;
  }
  for (; k < n; ++k) {
    s += v(k);
    if (s != s) return s;
  }
  return s;
}

template <class In, class Out>
[[gnu::always_inline]] inline void cumsum_loop(In x, Out out, std::int64_t n) noexcept {
  double s = 0.0;
  for (std::int64_t i = 0; i < n; ++i) {
    s += x[i];
    out.put(i, s);
    if (s != s) [[unlikely]] {
      while (++i < n) out.put(i, s);
      return;
    }
  }
}

template <class In>
[[gnu::always_inline]] inline double sum_loop(In x, std::int64_t n) noexcept {
  return add_in_order(0.0, n, [&](std::int64_t i) { return x[i]; });
}

template <class In>
[[gnu::always_inline]] inline double sum_abs_loop(In x, std::int64_t n, double s = 0.0) noexcept {
  return add_in_order(s, n, [&](std::int64_t i) { return std::fabs(x[i]); });
}

// A masked sample adds +0.0, which leaves the sum unchanged: the partial sum
// starts at +0.0 and only values >= +0.0 (or NaN) are added, so it is never -0.0.
// That also lets a block whose samples are all masked be skipped outright.
template <class In>
[[gnu::always_inline]] inline double sum_abs_at_least_loop(In x, std::int64_t n, double threshold) noexcept {
  double s = 0.0;
  std::int64_t i = 0;
  for (; n - i >= kChain; i += kChain) {
    double a[kChain];
    bool any_kept = false;
    for (int k = 0; k < kChain; ++k) {
      a[k] = std::fabs(x[i + k]);
      const bool masked = a[k] < threshold;
      any_kept |= !masked;
      a[k] = masked ? 0.0 : a[k];
    }
    if (any_kept) s = add_in_order(s, kChain, [&](std::int64_t k) { return a[k]; });
    if (s != s) return s;
  }
  return add_in_order(s, n - i, [&](std::int64_t k) {
    const double v = std::fabs(x[i + k]);
    return v < threshold ? 0.0 : v;
  });
}

template <class In>
[[gnu::always_inline]] inline double sum_squares_loop(In x, std::int64_t n) noexcept {
  double q[kBlock];
  double s = 0.0;
  for (std::int64_t i0 = 0; i0 < n; i0 += kBlock) {
    const std::int64_t m = std::min(kBlock, n - i0);
    squares_block(x, i0, m, q);
    for (std::int64_t k = 0; k < m; ++k) {
      s += q[k];
      if (s != s) [[unlikely]] return s;
    }
  }
  return s;
}

template <class In, class Out>
[[gnu::always_inline]] inline double arias_loop(In x, Out out, std::int64_t n, double dt) noexcept {
  double q[kBlock];
  double s = 0.0;
  for (std::int64_t i0 = 0; i0 < n; i0 += kBlock) {
    const std::int64_t m = std::min(kBlock, n - i0);
    std::int64_t k = 0;
    if (s == s) {
      squares_block(x, i0, m, q);
      for (; k < m; ++k) {
        q[k] = s += q[k];
        if (s != s) [[unlikely]] {
          ++k;
          break;
        }
      }
    }
    for (; k < m; ++k) q[k] = s;  // the sum stays at its first NaN
    for (std::int64_t j = 0; j < m; ++j) out.put(i0 + j, arias_scale(q[j], dt));
  }
  return s;
}

template <class In>
[[gnu::always_inline]] inline std::int64_t first_greater_loop(In x, std::int64_t n, double val) noexcept {
  constexpr int kSpan = 4 * kWidth;
  const Vec v = splat(val);
  std::int64_t i = 0;
  // Whole blocks are tested without an exit branch per element; the block that
  // holds the answer is then searched element by element.
  for (; n - i >= kSpan; i += kSpan) {
    const Mask hit = (x.vec(i) > v) | (x.vec(i + kWidth) > v) | (x.vec(i + 2 * kWidth) > v) |
                     (x.vec(i + 3 * kWidth) > v);
    if (any_set(hit)) break;
  }
  for (; i < n; ++i)
    if (x[i] > val) return i;
  return n;
}

template <class In>
[[gnu::always_inline]] inline bool nondecreasing_loop(In x, std::int64_t n) noexcept {
  // Every element takes part in some pair once n >= 2; a lone one is tested itself.
  if (x[0] != x[0]) return false;
  constexpr int kSpan = 4 * kWidth;
  std::int64_t k = 0;
  // ~(a <= b) also flags NaN on either side.
  for (; n - 1 - k >= kSpan; k += kSpan) {
    Mask bad = ~(x.vec(k) <= x.vec(k + 1));
    for (int j = kWidth; j < kSpan; j += kWidth) bad |= ~(x.vec(k + j) <= x.vec(k + j + 1));
    if (any_set(bad)) return false;
  }
  for (; k < n - 1; ++k)
    if (!(x[k] <= x[k + 1])) return false;
  return true;
}

}  // namespace

TAVO_CLONES double max(Span x) noexcept {
  if (x.n <= 0) return max_start;
  if (x.stride == 0) return keep_greater(load(x.data), max_start);
  const double m = x.stride == kItem ? lane_max(Contig{x.data}, x.n, Identity{})
                                     : lane_max(Strided{x.data, x.stride}, x.n, Identity{});
  // Equal values have equal bits except +0.0 and -0.0. When the maximum is zero,
  // no element is positive, so the first zero in index order is the one kept.
  return m == 0.0 ? first_zero(x) : m;
}

double first_zero(Span x) noexcept {
  // Bounded by n, not by finding a zero: memory that another thread or process
  // writes may hold none by now, and the scan must not run past the end.
  for (std::int64_t i = 0; i < x.n; ++i)
    if (const double v = at(x, i); v == 0.0) return v;
  return 0.0;
}

double sum(Span x) noexcept {
  if (x.n <= 0) return 0.0;
  if (x.stride == kItem) return sum_loop(Contig{x.data}, x.n);
  return sum_loop(Strided{x.data, x.stride}, x.n);
}

namespace {

/// loop(in, out, n) over the first min(x.n, out.n) elements: the contiguous
/// accessors when both strides are one item, else the strided ones. Inlined, as
/// the loops are: an outlined copy would run at the baseline ISA inside a clone.
template <class Loop>
[[gnu::always_inline]] inline void elementwise(Span x, MutSpan out, Loop loop) noexcept {
  const std::int64_t n = std::min(x.n, out.n);
  if (n <= 0) return;
  if (x.stride == kItem && out.stride == kItem)
    loop(Contig{x.data}, ContigOut{out.data}, n);
  else
    loop(Strided{x.data, x.stride}, StridedOut{out.data, out.stride}, n);
}

}  // namespace

TAVO_CLONES void abs(Span x, MutSpan out) noexcept {
  elementwise(x, out, [](auto in, auto o, std::int64_t n) __attribute__((always_inline)) { abs_loop(in, o, n); });
}

void cumsum(Span x, MutSpan out) noexcept {
  elementwise(x, out, [](auto in, auto o, std::int64_t n) { cumsum_loop(in, o, n); });
}

void pow(Span x, double exponent, MutSpan out) noexcept {
  elementwise(x, out, [exponent](auto in, auto o, std::int64_t n) { pow_loop(in, exponent, o, n); });
}

TAVO_CLONES void linspace(double start, double stop, std::int32_t num, MutSpan out) noexcept {
  const std::int64_t n = std::min<std::int64_t>(num, out.n);
  if (n <= 0) return;
  // num >= 1 here, so num - 1 fits; num == 1 divides by zero and gives NaN, as intended.
  const double step = (stop - start) / static_cast<double>(num - 1);
  if (out.stride == kItem) {
    const ContigOut o{out.data};
    for (std::int64_t i = 0; i < n; ++i) o.put(i, static_cast<double>(i) * step + start);
  } else {
    const StridedOut o{out.data, out.stride};
    for (std::int64_t i = 0; i < n; ++i) o.put(i, static_cast<double>(i) * step + start);
  }
}

namespace {

template <class At>
[[gnu::always_inline]] inline double silence_loop(At at, char *data, std::int64_t stride,
                                                  std::int64_t n, std::int64_t window,
                                                  std::int64_t n_windows, double threshold) noexcept {
  // One pass: each window is tested, then silenced or added to the sum while it
  // is in cache. The additions stay in index order; a silenced window would add
  // only +0.0, which leaves a sum that is never -0.0 unchanged.
  double s = 0.0;
  std::int64_t lo = 0;
  for (std::int64_t w = 0; w < n_windows && lo < n; ++w, lo += window) {
    const std::int64_t m = std::min(window, n - lo);
    if (lane_max(at(lo), m, Magnitude{}) < threshold) {
      for (std::int64_t i = 0; i < m; ++i) store(data + (lo + i) * stride, 0.0);
    } else {
      s = sum_abs_loop(at(lo), m, s);
    }
  }
  if (lo < n) s = sum_abs_loop(at(lo), n - lo, s);
  return s;
}

// ---- the exact sums, by instruction-set level ----------------------------------
// Each kernel below is a struct whose run<W> is the whole computation for W lanes
// (W = 0: the plain loops above). The entry points pick W once per call.

template <class In>
struct AbsTerms {
  In x;
  template <int W>
  exact::Vec<W> lanes(std::int64_t i) const noexcept {
    return exact::magnitude<W>(x.template lanes<W>(i));
  }
  double operator[](std::int64_t i) const noexcept { return std::fabs(x[i]); }
};

/// |x| with the samples below the threshold masked to +0.0 (NaN is never below).
template <class In>
struct AtLeastTerms {
  In x;
  double threshold;
  template <int W>
  exact::Vec<W> lanes(std::int64_t i) const noexcept {
    const exact::Vec<W> v = exact::magnitude<W>(x.template lanes<W>(i));
    return v < threshold ? exact::Vec<W>{} : v;
  }
  /// |x| unmasked, and the lanes that lanes() keeps.
  template <int W>
  exact::Vec<W> kept_lanes(std::int64_t i, exact::Mask<W> &keep) const noexcept {
    const exact::Vec<W> v = exact::magnitude<W>(x.template lanes<W>(i));
    keep = !(v < threshold);
    return v;
  }
  double operator[](std::int64_t i) const noexcept {
    const double v = std::fabs(x[i]);
    return v < threshold ? 0.0 : v;
  }
};

template <int W, class Terms>
[[gnu::always_inline]] inline double exact_sum_of(const Terms &t, std::int64_t n, exact::Run &run) noexcept {
  exact::add_terms<W>(run, t, n);
  return run.s;
}

struct SumAbs {
  template <int W>
  [[gnu::always_inline]] static double run(Span x, exact::Run &run) noexcept {
    if constexpr (W == 0) {
      return x.stride == kItem ? sum_abs_loop(Contig{x.data}, x.n) : sum_abs_loop(Strided{x.data, x.stride}, x.n);
    } else {
      if (x.stride == kItem) return exact_sum_of<W>(AbsTerms<Contig>{{x.data}}, x.n, run);
      return exact_sum_of<W>(AbsTerms<Strided>{{x.data, x.stride}}, x.n, run);
    }
  }
};

struct SumAbsAtLeast {
  template <int W>
  [[gnu::always_inline]] static double run(Span x, double threshold, exact::Run &run) noexcept {
    if constexpr (W == 0) {
      return x.stride == kItem ? sum_abs_at_least_loop(Contig{x.data}, x.n, threshold)
                               : sum_abs_at_least_loop(Strided{x.data, x.stride}, x.n, threshold);
    } else {
      if (x.stride == kItem) return exact_sum_of<W>(AtLeastTerms<Contig>{{x.data}, threshold}, x.n, run);
      return exact_sum_of<W>(AtLeastTerms<Strided>{{x.data, x.stride}, threshold}, x.n, run);
    }
  }
};

/// The largest |x[i]| of m elements from max_start, W lanes at a time; as lane_max,
/// a NaN never wins (v > p ? v : p keeps p when v is NaN), and the lanes combine in
/// any order since they hold no NaN and every |x| is >= +0.0.
template <int W, class In>
[[gnu::always_inline]] inline double wide_max_abs(In x, std::int64_t m) noexcept {
  exact::Vec<W> p0 = exact::splat<W>(max_start), p1 = p0;
  std::int64_t i = 0;
  for (; m - i >= 2 * W; i += 2 * W) {
    const exact::Vec<W> v0 = exact::magnitude<W>(x.template lanes<W>(i));
    const exact::Vec<W> v1 = exact::magnitude<W>(x.template lanes<W>(i + W));
    p0 = v0 > p0 ? v0 : p0;
    p1 = v1 > p1 ? v1 : p1;
  }
  double r = exact::max_of_lanes<W>(exact::larger<W>(p0, p1));
  for (; i < m; ++i) r = keep_greater(std::fabs(x[i]), r);
  return r;
}

/// wide_max_abs(x, m) < threshold, stopping at the first stretch of 4W samples after
/// which the running maximum is no longer below the threshold (the maximum of the
/// whole window cannot be smaller): a window of strong motion is decided by its
/// first samples.
template <int W, class In>
[[gnu::always_inline]] inline bool quiet_window(In x, std::int64_t m, double threshold) noexcept {
  // Most strong windows show it in their first lanes: one comparison, no reduction.
  if (m >= W && exact::any_at_least<W>(exact::magnitude<W>(x.template lanes<W>(0)), exact::splat<W>(threshold)))
    return false;
  exact::Vec<W> p0 = exact::splat<W>(max_start), p1 = p0;
  std::int64_t i = 0;
  for (; m - i >= 4 * W; i += 4 * W) {
    for (int k = 0; k < 4 * W; k += 2 * W) {
      const exact::Vec<W> v0 = exact::magnitude<W>(x.template lanes<W>(i + k));
      const exact::Vec<W> v1 = exact::magnitude<W>(x.template lanes<W>(i + k + W));
      p0 = v0 > p0 ? v0 : p0;
      p1 = v1 > p1 ? v1 : p1;
    }
    // A lane at or above the threshold ends the test (the running maxima hold no NaN).
    if (exact::any_at_least<W>(exact::larger<W>(p0, p1), exact::splat<W>(threshold))) return false;
  }
  double r = exact::max_of_lanes<W>(exact::larger<W>(p0, p1));
  for (; i < m; ++i) r = keep_greater(std::fabs(x[i]), r);
  return r < threshold;
}

/// Every |x| is >= +0.0 and NaN never wins, so the lanes' maxima combine in any order
/// to the same bits: the result is order-independent and free to vectorise, W lanes
/// wide on a contiguous span (four accumulators: the comparisons' latency is not the limit).
struct MaxAbs {
  template <int W>
  [[gnu::always_inline]] static double run(Span x) noexcept {
    if constexpr (W == 0) {
      return x.stride == kItem ? lane_max(Contig{x.data}, x.n, Magnitude{})
                               : lane_max(Strided{x.data, x.stride}, x.n, Magnitude{});
    } else {
      if (x.stride != kItem) return lane_max(Strided{x.data, x.stride}, x.n, Magnitude{});
      const Contig c{x.data};
      exact::Vec<W> p0 = exact::splat<W>(max_start), p1 = p0, p2 = p0, p3 = p0;
      std::int64_t i = 0;
      for (; x.n - i >= 4 * W; i += 4 * W) {
        p0 = exact::larger<W>(exact::magnitude<W>(c.lanes<W>(i)), p0);
        p1 = exact::larger<W>(exact::magnitude<W>(c.lanes<W>(i + W)), p1);
        p2 = exact::larger<W>(exact::magnitude<W>(c.lanes<W>(i + 2 * W)), p2);
        p3 = exact::larger<W>(exact::magnitude<W>(c.lanes<W>(i + 3 * W)), p3);
      }
      const exact::Vec<W> p = exact::larger<W>(exact::larger<W>(p0, p1), exact::larger<W>(p2, p3));
      return keep_greater(wide_max_abs<W>(Contig{x.data + i * kItem}, x.n - i), exact::max_of_lanes<W>(p));
    }
  }
};

/// The silencing pass with the exact sum: windows are tested and silenced a stretch
/// at a time, then the stretch is summed while still in cache. A silenced window is
/// not summed at all: its terms are +0.0, and adding +0.0 leaves every sum that is
/// not -0.0 unchanged (this one starts at +0.0 and adds only terms >= +0.0 or NaN).
template <int W, class At>
[[gnu::always_inline]] inline double silence_exact(At at, char *data, std::int64_t stride, std::int64_t n,
                                                   std::int64_t window, std::int64_t n_windows,
                                                   double threshold, exact::Run &run) noexcept {
  constexpr std::int64_t kStretch = 8 * exact::kBlock;
  std::int64_t lo = 0, summed = 0;
  // always_inline: an outlined lambda would be compiled for the baseline ISA, not W lanes.
  auto sum_to = [&](std::int64_t hi) __attribute__((always_inline)) {
    if (hi > summed) exact::add_terms<W>(run, AbsTerms<decltype(at(0))>{at(summed)}, hi - summed);
    summed = hi;
  };
  // Quiet windows come in runs (a record's quiet start and end): each run is silenced
  // by one fill once it ends, rather than a fill per window. The windows do not
  // overlap, so no later test reads a sample of the run.
  std::int64_t quiet_from = -1;
  auto silence_run = [&] {
    if (quiet_from >= 0) fill_zero({data + quiet_from * stride, summed - quiet_from, stride});
    quiet_from = -1;
  };
  for (std::int64_t w = 0; w < n_windows && lo < n; ++w, lo += window) {
    const std::int64_t m = std::min(window, n - lo);
    if (quiet_window<W>(at(lo), m, threshold)) {
      if (quiet_from < 0) {
        sum_to(lo);  // the kept terms before it
        quiet_from = lo;
      }
      summed = lo + m;  // then past it
      continue;
    }
    silence_run();
    if (lo + m - summed >= kStretch) {
      // Whole chunks only: the few terms left over join the next stretch.
      sum_to(summed + (lo + m - summed) / exact::kSub * exact::kSub);
    }
  }
  silence_run();
  sum_to(n);
  return run.s;
}

struct SilenceAndSumAbs {
  template <int W>
  [[gnu::always_inline]] static double run(MutSpan x, std::int64_t window, std::int64_t n_windows,
                                           double threshold, exact::Run &run) noexcept {
    auto contig = [&](std::int64_t lo) { return Contig{x.data + lo * kItem}; };
    auto strided = [&](std::int64_t lo) { return Strided{x.data + lo * x.stride, x.stride}; };
    if constexpr (W == 0) {
      if (x.stride == kItem) return silence_loop(contig, x.data, kItem, x.n, window, n_windows, threshold);
      return silence_loop(strided, x.data, x.stride, x.n, window, n_windows, threshold);
    } else {
      if (x.stride == kItem)
        return silence_exact<W>(contig, x.data, kItem, x.n, window, n_windows, threshold, run);
      return silence_exact<W>(strided, x.data, x.stride, x.n, window, n_windows, threshold, run);
    }
  }
};

struct SumSquares {
  template <int W, class In>
  [[gnu::always_inline]] static double exact_loop(In x, std::int64_t n, exact::Run &run) noexcept {
    double q[kBlock];
    const Contig terms{reinterpret_cast<const char *>(q)};
    for (std::int64_t i0 = 0; i0 < n; i0 += kBlock) {
      const std::int64_t m = std::min(kBlock, n - i0);
      squares_lanes<W>(x, i0, m, q);
      if (!exact::add_terms<W>(run, terms, m)) break;
    }
    return run.s;
  }
  template <int W>
  [[gnu::always_inline]] static double run(Span x, exact::Run &run) noexcept {
    if constexpr (W == 0) {
      return x.stride == kItem ? sum_squares_loop(Contig{x.data}, x.n) : sum_squares_loop(Strided{x.data, x.stride}, x.n);
    } else {
      if (x.stride == kItem) return exact_loop<W>(Contig{x.data}, x.n, run);
      return exact_loop<W>(Strided{x.data, x.stride}, x.n, run);
    }
  }
};

/// v / gravity for W lanes, rounded as the division rounds it, without the divider
/// (whose throughput, two cycles a lane, was half the time of the Arias series).
/// With y = RN(1 / g) (g = 9.81), q = RN(v * y), rem = fma(-q, g, v) and
/// r = fma(rem, y, q), r = RN(v / g) for every |v| in [2^-900, 2^1000]:
/// - Q = v / g, and ulp(Q) = 2^k. g * y = 1 + e with |e| < 0.134 * 2^-53 (the tests
///   check it), so v * y = Q (1 + e) and |Q - q| <= ulp / 2 + |Q e| < 0.64 * 2^k
///   (e < 0: where v * y falls below Q's binade, q is at most its bottom, a power
///   of two, or the double below it, whose ulp is smaller).
/// - rem is exact: with g = G * 2^c (G an integer below 2^53), v and g * q are
///   multiples of 2^(c + k - 1) (q >= 2^(k + 51)), and |v - g q| = g |Q - q| <
///   9.81 * 0.64 * 2^(k + c + 49) < 2^53 * 2^(c + k - 1); at |v| >= 2^-900 that
///   unit is above 2^-1022, so rem is no subnormal either.
/// - r = RN(q + rem * y) = RN(q + g (Q - q) y) = RN(Q + (Q - q) e), and
///   |(Q - q) e| < 0.64 * 0.134 * 2^(k - 53) < 0.09 * 2^(k - 53).
/// - No double quotient Q lies that close to a midpoint M (an odd multiple of
///   2^(k - 1)): v - g M is a nonzero multiple of 2^(c + k - 1) (it is nonzero because
///   G's odd part times the odd M / 2^(k - 1) >= 2^53 would have to be an odd part
///   of v, below 2^53), so |Q - M| >= 2^(k - 1) / G = (8 / 9.81) 2^(k - 53) > 0.81 * 2^(k - 53).
///   The midpoints around the binade's ends are farther still.
/// So Q and Q + (Q - q) e round alike (to nearest, the mode every caller runs in,
/// as the exact sums assume). The range keeps every step normal and finite
/// (no flag but inexact, as with the division). Outside it the steps would differ from
/// the division in value (zero, whose sign the corrections lose) or in flags (on an
/// infinity rem is inf - inf, invalid; below about 2^-969 rem is an inexact subnormal,
/// underflow): lanes there must not reach these steps at all (see outside_gravity_range).
template <int W>
[[gnu::always_inline]] inline exact::Vec<W> divide_by_gravity(exact::Vec<W> v) noexcept {
  constexpr double g = constants::gravity, y = 1.0 / constants::gravity;
  const exact::Vec<W> q = v * y;
  const exact::Vec<W> rem = exact::fused_negative_multiply_add<W>(q, exact::splat<W>(g), v);
  return exact::fused_multiply_add<W>(rem, exact::splat<W>(y), q);
}

/// The lanes of v outside the range of divide_by_gravity, |v| in [2^-900, 2^1000]
/// (NaN included), by integer operations: no flag.
template <int W>
[[gnu::always_inline]] inline exact::Mask<W> outside_gravity_range(exact::Vec<W> v) noexcept {
  constexpr std::uint64_t lo = 0x07b0000000000000u, hi = 0x7e70000000000000u;  // 2^-900, 2^1000
  static_assert(std::bit_cast<double>(lo) == 0x1p-900 && std::bit_cast<double>(hi) == 0x1p1000);
  const exact::Bits<W> bits = reinterpret_cast<exact::Bits<W>>(v) & std::uint64_t{INT64_MAX};
  return reinterpret_cast<exact::Mask<W>>((bits - lo) > (hi - lo));  // below lo wraps round
}

/// out[i], ..., out[i + W - 1] = the lanes of v.
template <int W, class Out>
[[gnu::always_inline]] inline void put_lanes(Out out, std::int64_t i, exact::Vec<W> v) noexcept {
  if constexpr (std::is_same_v<Out, ContigOut>)
    std::memcpy(out.p + i * kItem, &v, sizeof v);
  else
    for (int l = 0; l < W; ++l) out.put(i + l, v[l]);
}

/// True when every running sum in the binade [E, 2E) of grid g scales into the range
/// of divide_by_gravity: each of the three products is monotonic in the sum, so the
/// scaled values of such sums lie between those of E and 2E, the two tested here. For
/// steps of 2^-20 to 2^20 only, where neither end can raise a flag (E and 2E lie in
/// [2^-960, 2^1000]), so that the test adds no flag the series would not raise. The
/// step's bounds are compared quietly: an ordered comparison with a NaN step raises
/// invalid, which the series (quiet NaN products) does not, and would send the caller
/// the slow way.
inline bool binade_scales_in_range(const exact::Grid &g, double dt) noexcept {
  const double step = std::fabs(dt);
  if (!(std::isgreaterequal(step, 0x1p-20) && std::islessequal(step, 0x1p20))) return false;
  const auto in_range = [dt](double P) {
    const double v = std::fabs(((P * dt) * constants::pi) / 2.0);
    return v >= 0x1p-900 && v <= 0x1p1000;
  };
  return in_range(g.E) && in_range(g.top);
}

/// out[i0 + k] = arias_scale(P[k], dt) for k < m (at most kBlock): the products
/// ((P * dt) * pi) / 2 and their range test, and the division by gravity as
/// divide_by_gravity when every lane of the block is in range; otherwise the whole
/// block by the division. Lanes outside never reach divide_by_gravity's steps: with
/// AVX-512 they get 1.0 by one masked blend; with AVX2, where that select costs a
/// quarter of the scaling (the integer and floating-point operations share three
/// ports), the products and the test run as a pass of their own and the steps follow
/// only when the block passed (the extra store and load use other ports; on AVX-512
/// that pass costs a third).
template <int W, class Out>
[[gnu::always_inline]] inline void scale_block(const double *P, std::int64_t m, double dt, Out out,
                                               std::int64_t i0) noexcept {
  const auto put = [&](std::int64_t k, exact::Vec<W> v) __attribute__((always_inline)) { put_lanes<W>(out, i0 + k, v); };
  std::int64_t j = 0;
  exact::Mask<W> outside{};
  if constexpr (W == 8) {
    for (; m - j >= W; j += W) {
      exact::Vec<W> v;
      std::memcpy(&v, P + j, sizeof v);
      v = ((v * dt) * constants::pi) / 2.0;
      const exact::Mask<W> lanes = outside_gravity_range<W>(v);
      outside |= lanes;
      put(j, divide_by_gravity<W>(lanes ? exact::splat<W>(1.0) : v));
    }
    if (exact::any_lane<W>(outside)) j = 0;
  } else {
    alignas(64) double scaled[kBlock];
    for (; m - j >= W; j += W) {
      exact::Vec<W> v;
      std::memcpy(&v, P + j, sizeof v);
      v = ((v * dt) * constants::pi) / 2.0;
      outside |= outside_gravity_range<W>(v);
      std::memcpy(scaled + j, &v, sizeof v);
    }
    if (exact::any_lane<W>(outside)) {
      j = 0;
    } else {
      for (std::int64_t k = 0; k < j; k += W) {
        exact::Vec<W> v;
        std::memcpy(&v, scaled + k, sizeof v);
        put(k, divide_by_gravity<W>(v));
      }
    }
  }
  for (; j < m; ++j) out.put(i0 + j, arias_scale(P[j], dt));
}

/// The scaling alone, over given running sums.
struct ScaleArias {
  template <int W, class Out>
  [[gnu::always_inline]] static void loop(Span P, double dt, Out out, std::int64_t n) noexcept {
    double block[kBlock];
    for (std::int64_t i0 = 0; i0 < n; i0 += kBlock) {
      const std::int64_t m = std::min(kBlock, n - i0);
      for (std::int64_t k = 0; k < m; ++k) block[k] = load(P.data + (i0 + k) * P.stride);
      if constexpr (W == 0)
        for (std::int64_t k = 0; k < m; ++k) out.put(i0 + k, arias_scale(block[k], dt));
      else
        scale_block<W>(block, m, dt, out, i0);
    }
  }
  template <int W>
  [[gnu::always_inline]] static void run(Span P, double dt, MutSpan out) noexcept {
    const std::int64_t n = std::min(P.n, out.n);
    if (out.stride == kItem) return loop<W>(P, dt, ContigOut{out.data}, n);
    loop<W>(P, dt, StridedOut{out.data, out.stride}, n);
  }
};

struct AriasSeries {
  /// The binade that binade_scales_in_range was asked of last, and its answer.
  struct RangeTest {
    double E = 0.0;
    bool in_range = false;
  };
  /// Tries q[i .. i + m) of the block at i0 from run's grid (the scan's block check);
  /// true when they were added, their intensities in out.
  template <int W, class Out>
  [[gnu::always_inline]] static bool try_scaled(exact::Run &run, const double *q, double *P, Out out, double dt,
                                                RangeTest &range, std::int64_t i0, std::int64_t i,
                                                std::int64_t m) noexcept {
    if (run.g.E != range.E) range = {run.g.E, binade_scales_in_range(run.g, dt)};
    if (range.in_range)
      return exact::try_scan<W>(run, q, i, m, [&](std::int64_t k, exact::Vec<W> sums) __attribute__((always_inline)) {
        put_lanes<W>(out, i0 + k, divide_by_gravity<W>(((sums * dt) * constants::pi) / 2.0));
      });
    if (!exact::try_scan<W>(run, q, i, m, P)) return false;
    scale_block<W>(P + i, m, dt, out, i0 + i);
    return true;
  }
  /// q[i .. i + m) of the block at i0 by the plain loop, then scaled.
  template <int W, class Out>
  [[gnu::always_inline]] static void plain(exact::Run &run, const double *q, double *P, Out out, double dt,
                                           std::int64_t i0, std::int64_t i, std::int64_t m) noexcept {
    run.s = exact::plain_scan(run.s, q, i, m, P);
    run.regrid();
    scale_block<W>(P + i, m, dt, out, i0 + i);
  }
  /// The running sums P by the exact scan and the four scalings: a whole block at a
  /// time, else a chunk at a time, else by the plain loop. Where the sums' binade scales
  /// in range, a try is scaled as the scan forms its sums, straight into out (a try that
  /// fails is redone, overwriting what it wrote); elsewhere scale_block follows the scan.
  template <int W, class In, class Out>
  [[gnu::always_inline]] static double exact_loop(In x, Out out, std::int64_t n, double dt,
                                                  exact::Run &run) noexcept {
    double q[kBlock], P[kBlock];
    RangeTest range;
    double growth = INFINITY;  // of the sum over the last block: the guess for the next
    for (std::int64_t i0 = 0; i0 < n; i0 += kBlock) {
      const std::int64_t m = std::min(kBlock, n - i0);
      if (run.s != run.s) {
        for (std::int64_t k = 0; k < m; ++k) P[k] = run.s;  // the sum stays at its first NaN
        scale_block<W>(P, m, dt, out, i0);
        continue;
      }
      // The squares near a rounding midpoint wait for the library until a block
      // needs them: a whole block accepted on a grid where either choice agrees does not.
      std::uint64_t band[kBlock / 64];
      double band_x[kBlock];  // their samples (out may be x: a failed try writes over it)
      squares_lanes<W>(x, i0, m, q, band, band_x);
      bool waiting = (band[0] | band[1] | band[2] | band[3]) != 0;
      static_assert(kBlock / 64 == 4);
      const double s0 = run.s;
      if (m == kBlock) {
        ++run.blocks;
        // A block expected to leave the binade goes by chunks without a whole try.
        if (run.on_grid && run.s + growth < run.g.top && (!waiting || squares_agree(band_x, band, q, run.g)) &&
            try_scaled<W>(run, q, P, out, dt, range, i0, 0, kBlock)) {
          growth = run.s - s0;
          continue;
        }
        ++run.fallbacks;
      }
      // A chunk at a time, its squares near a midpoint still waiting where the grid of
      // its try makes either choice agree; the library gives them before the plain
      // loop adds them (a try that fails with one choice fails with the other).
      std::int64_t i = 0;
      for (; m - i >= exact::kSub; i += exact::kSub) {
        std::uint64_t mine = waiting ? band_bits(band, i, exact::kSub) : 0;
        if (mine != 0 && !(run.on_grid && squares_agree(band_x, i / 64, mine, q, run.g))) {
          library_band_squares(band_x, band, q, i / 64, mine);
          mine = 0;
        }
        if (run.on_grid && try_scaled<W>(run, q, P, out, dt, range, i0, i, exact::kSub)) continue;
        if (mine != 0) library_band_squares(band_x, band, q, i / 64, mine);
        plain<W>(run, q, P, out, dt, i0, i, exact::kSub);
      }
      if (i < m) {
        if (waiting) library_band_squares(band_x, band, q, i / 64, band_bits(band, i, m - i));
        plain<W>(run, q, P, out, dt, i0, i, m - i);
      }
      growth = run.s - s0;
    }
    return run.s;
  }
  template <int W>
  [[gnu::always_inline]] static double run(Span x, double dt, MutSpan out, exact::Run &run) noexcept {
    const std::int64_t n = std::min(x.n, out.n);
    const bool contig = x.stride == kItem && out.stride == kItem;
    if constexpr (W == 0) {
      if (contig) return arias_loop(Contig{x.data}, ContigOut{out.data}, n, dt);
      return arias_loop(Strided{x.data, x.stride}, StridedOut{out.data, out.stride}, n, dt);
    } else {
      if (contig) return exact_loop<W>(Contig{x.data}, ContigOut{out.data}, n, dt, run);
      return exact_loop<W>(Strided{x.data, x.stride}, StridedOut{out.data, out.stride}, n, dt, run);
    }
  }
};

/// SumSquares with the running sum kept at the end of every block, and the first
/// positive one: the blocks start with an all-zero sum, so that sum is the first
/// positive square, found in the block where the sum first leaves zero.
struct SquareBlockEnds {
  static_assert(kBlock % arias_block == 0 && arias_block % exact::kSub == 0);
  template <int W>
  [[gnu::always_inline]] static SquareSums run(Span x, MutSpan ends, exact::Run &run) noexcept {
    if (x.stride == kItem) return loop<W>(Contig{x.data}, x.n, ends, run);
    return loop<W>(Strided{x.data, x.stride}, x.n, ends, run);
  }
  template <int W, class In>
  [[gnu::always_inline]] static SquareSums loop(In x, std::int64_t n, MutSpan ends, exact::Run &run) noexcept {
    double q[kBlock];
    double first = 0.0;
    std::int64_t b = 0;
    for (std::int64_t i0 = 0; i0 < n; i0 += kBlock) {
      const std::int64_t m = std::min(kBlock, n - i0);
      if constexpr (W > 0) {
        // A whole block within one binade and free of ties, its ends from one pass; the
        // squares near a rounding midpoint wait for the library until the block needs
        // them (as in the Arias series).
        std::uint64_t band[kBlock / 64] = {};
        double band_x[kBlock];
        if (run.s == run.s) squares_lanes<W>(x, i0, m, q, band, band_x);
        double block_ends[kBlock / arias_block];
        if (m == kBlock && run.on_grid && squares_agree(band_x, band, q, run.g) &&
            exact::try_with_ends<W>(run, Contig{reinterpret_cast<const char *>(q)}, m, arias_block, block_ends)) {
          ++run.blocks;
          for (const double end : block_ends) store(ends.data + b++ * ends.stride, end);
          continue;
        }
        library_band_squares(band_x, band, q);
      } else if (run.s == run.s) {
        squares_block(x, i0, m, q);
      }
      for (std::int64_t j = 0; j < m; j += arias_block, ++b) {
        const std::int64_t part = std::min(arias_block, m - j);
        if (run.s == run.s) {
          if constexpr (W == 0) {
            for (std::int64_t k = j; k < j + part && run.s == run.s; ++k) run.s += q[k];
          } else {
            exact::add_terms<W>(run, Contig{reinterpret_cast<const char *>(q + j)}, part);
          }
          if (first == 0.0 && run.s != 0.0)
            for (std::int64_t k = j; k < j + part && first == 0.0; ++k) first = q[k];
        }
        store(ends.data + b * ends.stride, run.s);
      }
    }
    return {run.s, first};
  }
};

enum class Level { plain, v3, v4 };

#if TAVO_DISPATCH
/// The level of this CPU, by the test the loader uses for the clones above.
Level cpu_level() noexcept {
  static const Level level = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("x86-64-v4")) return Level::v4;
    if (__builtin_cpu_supports("x86-64-v3")) return Level::v3;
    return Level::plain;
  }();
  return level;
}

template <class K, class... A>
[[gnu::target("arch=x86-64-v4"), gnu::noinline]] auto run_v4(A &&...a) noexcept {
  return K::template run<8>(a...);
}
template <class K, class... A>
[[gnu::target("arch=x86-64-v3"), gnu::noinline]] auto run_v3(A &&...a) noexcept {
  return K::template run<4>(a...);
}
#endif

// Single-level builds (TAVO_NO_CLONES, other compilers): the level -march gave.
#if defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512DQ__) && defined(__AVX512BW__)
constexpr int kStaticWidth = 8;
#elif defined(__AVX2__) && defined(__FMA__)
constexpr int kStaticWidth = 4;
#else
constexpr int kStaticWidth = 0;  // SSE2, non-x86: the plain loop
#endif

/// K::run<W>(a...) with W the lanes of this CPU's level (0 for the plain loop).
template <class K, class... A>
auto dispatch(A &&...a) noexcept {
  if (!rounds_to_nearest()) return K::template run<0>(a...);
#if TAVO_DISPATCH
  switch (cpu_level()) {
    case Level::v4:
      return run_v4<K>(a...);
    case Level::v3:
      return run_v3<K>(a...);
    case Level::plain:
      break;
  }
  return K::template run<0>(a...);
#else
  return K::template run<kStaticWidth>(a...);
#endif
}

}  // namespace

int exact_lanes() noexcept {
#if TAVO_DISPATCH
  switch (cpu_level()) {
    case Level::v4:
      return 8;
    case Level::v3:
      return 4;
    case Level::plain:
      break;
  }
  return 0;
#else
  return kStaticWidth;
#endif
}

double sum_abs(Span x) noexcept {
  if (x.n <= 0) return 0.0;
  exact::Run run;
  return dispatch<SumAbs>(x, run);
}

double max_abs(Span x) noexcept {
  if (x.n <= 0) return max_start;
  if (x.stride == 0) return keep_greater(std::fabs(load(x.data)), max_start);
  const double m = dispatch<MaxAbs>(x);
  if (m != 0.0) return m;
  // With denormals-are-zero set (MXCSR), subnormals compare equal to zero, so lanes may
  // keep another of several equal maxima than the scan in index order, which keeps the
  // first |x| that is not NaN. Bounded by n: memory written meanwhile may hold no such.
  for (std::int64_t i = 0; i < x.n; ++i)
    if (const double v = std::fabs(at(x, i)); v == v) return v == 0.0 ? v : m;
  return m;
}

double silence_and_sum_abs(MutSpan x, std::int64_t window, std::int64_t n_windows,
                           double threshold) noexcept {
  if (x.n <= 0) return 0.0;
  if (window <= 0) n_windows = 0;
  if (x.n > 1 && x.stride > -kItem && x.stride < kItem) {
    // Elements less than a double apart share bytes: silencing a window can change
    // samples of windows already tested, so the sum waits until every window is done.
    std::int64_t lo = 0;
    for (std::int64_t w = 0; w < n_windows && lo < x.n; ++w, lo += window) {
      const MutSpan part{x.data + lo * x.stride, std::min(window, x.n - lo), x.stride};
      if (max_abs(as_span(part)) < threshold) fill_zero(part);
    }
    return sum_abs(as_span(x));
  }
  exact::Run run;
  return dispatch<SilenceAndSumAbs>(x, window, n_windows, threshold, run);
}

double sum_abs_at_least(Span x, double threshold) noexcept {
  if (x.n <= 0) return 0.0;
  exact::Run run;
  return dispatch<SumAbsAtLeast>(x, threshold, run);
}

TAVO_CLONES double square(double x) noexcept {
  const double p = x * x;
  return rounds_to_nearest() && square_is_product(x, p) ? p : std::pow(x, hidden(2.0));
}

double sum_squares(Span x) noexcept {
  if (x.n <= 0) return 0.0;
  exact::Run run;
  return dispatch<SumSquares>(x, run);
}

double arias_series(Span x, double dt, MutSpan out) noexcept {
  if (std::min(x.n, out.n) <= 0) return 0.0;
  exact::Run run;
  return dispatch<AriasSeries>(x, dt, out, run);
}

SquareSums square_sums_by_block(Span x, MutSpan ends) noexcept {
  if (x.n <= 0) return {0.0, 0.0};
  exact::Run run;
  return dispatch<SquareBlockEnds>(x, ends, run);
}

namespace {

template <int W, class In>
[[gnu::always_inline]] inline std::int64_t first_above_loop(In x, std::int64_t i0, std::int64_t m, double start,
                                                            double dt, double val) noexcept {
  static_assert(arias_block <= 64);  // one word of bits
  double q[arias_block], kept_x[arias_block], P[arias_block];
  // The squares as squares_block gives them, but those near a rounding midpoint wait
  // (as in the Arias series): where the block's running sums stay in the binade of
  // `start` and both candidates of each give its grid the same term and no tie, the
  // sequential sums are the same bits with either (each addition is s plus the term's
  // grid value), so the library need not be asked which.
  const bool nearest = rounds_to_nearest();
  std::uint8_t bad[arias_block];
  for (std::int64_t k = 0; k < m; ++k) {  // branch-free, as in squares_block
    const double v = x[i0 + k];
    q[k] = v * v;
    bad[k] = !(nearest && square_is_product(v, q[k]));
  }
  std::uint64_t mask = 0;
  for (std::int64_t k = 0; k < m; ++k) mask |= std::uint64_t{bad[k]} << k;
  // Other rounding modes: every square from the library (the band's argument needs nearest).
  std::uint64_t band = 0;
  if (nearest)
    band = library_squares_outside_band(x, i0, 0, mask, q, kept_x);
  else
    library_squares(x, i0, 0, mask, q);
  exact::Grid grid{};
  if (band != 0 && !(exact::grid_of(start, grid) && squares_agree(kept_x, 0, band, q, grid)))
    library_band_squares(kept_x, &band, q, 0, band);
  // A whole block's running sums by the exact scan where its check passes (the block in
  // the binade of `start`, no tie), else by the plain loop.
  bool scanned = false;
  if constexpr (W > 0) {
    if (m == arias_block) {
      exact::Run run;
      run.s = start;
      run.regrid();
      scanned = run.on_grid && exact::try_scan<W>(run, q, 0, m, P);
    }
  }
  double s = start;
  if (!scanned)
    for (std::int64_t k = 0; k < m; ++k) P[k] = s += q[k];
  if (!scanned && band != 0 && !std::isless(s, grid.top)) {  // the sums left the binade: the library's squares
    library_band_squares(kept_x, &band, q, 0, band);
    s = start;
    for (std::int64_t k = 0; k < m; ++k) P[k] = s += q[k];
  }
  // The first k with scale(P[k]) > val, the predicate false then true along k, so the
  // number of k where it is false. With lanes, the block is scaled at once, as the
  // Arias series scales (the same bits and flags), and the falses counted: a bisection
  // waited out a division and, half the time, a mispredicted branch at each step.
  if constexpr (W > 0) {
    double scaled[arias_block];
    scale_block<W>(P, m, dt, ContigOut{reinterpret_cast<char *>(scaled)}, 0);
    std::int64_t falses = 0;
    for (std::int64_t k = 0; k < m; ++k) falses += !(scaled[k] > val);
    return i0 + falses;
  }
  std::int64_t lo = 0, len = m;
  while (len > 0) {
    const std::int64_t half = len / 2;
    if (arias_scale(P[lo + half], dt) > val) {
      len = half;
    } else {
      lo += half + 1;
      len -= half + 1;
    }
  }
  return i0 + lo;
}

}  // namespace

struct FirstAbove {
  template <int W>
  [[gnu::always_inline]] static std::int64_t run(Span x, std::int64_t i0, std::int64_t m, double start, double dt,
                                                 double val) noexcept {
    if (x.stride == kItem) return first_above_loop<W>(Contig{x.data}, i0, m, start, dt, val);
    return first_above_loop<W>(Strided{x.data, x.stride}, i0, m, start, dt, val);
  }
};

std::int64_t arias_first_above(Span x, std::int64_t i0, std::int64_t m, double start, double dt,
                               double val) noexcept {
  m = std::min(m, arias_block);
  if (m <= 0) return i0;
  return dispatch<FirstAbove>(x, i0, m, start, dt, val);
}

void arias_scale_series(Span P, double dt, MutSpan out) noexcept { dispatch<ScaleArias>(P, dt, out); }

BlockTally block_tally(ExactKernel kernel, MutSpan x, double param) noexcept {
  exact::Run run;
  if (x.n > 0) {
    switch (kernel) {
      case ExactKernel::sum_abs:
        dispatch<SumAbs>(as_span(x), run);
        break;
      case ExactKernel::sum_abs_at_least:
        dispatch<SumAbsAtLeast>(as_span(x), param, run);
        break;
      case ExactKernel::silence_and_sum_abs: {
        const auto window = static_cast<std::int64_t>(param);
        dispatch<SilenceAndSumAbs>(x, window, (x.n + window - 1) / window, constants::CAVstd_quiet, run);
        break;
      }
      case ExactKernel::sum_squares:
        dispatch<SumSquares>(as_span(x), run);
        break;
      case ExactKernel::arias_series:
        dispatch<AriasSeries>(as_span(x), param, x, run);
        break;
    }
  }
  return {run.blocks, run.fallbacks};
}

namespace {

/// The velocity pass: the trapezoid terms a block at a time (vectorisable), their
/// running sum in index order, the peak of the block.
template <class In>
[[gnu::always_inline]] inline double velocity_loop(In x, std::int64_t n, double dt) noexcept {
  double v[kBlock];
  double sum = 0.0, peak = max_start;
  bool ended = false;  // the running sum is NaN from its first NaN on; no later velocity counts
  const std::int64_t n_terms = n - 1;
  for (std::int64_t i0 = 0; i0 < n_terms; i0 += kBlock) {
    const std::int64_t m = std::min(kBlock, n_terms - i0);
    // NumPy's d * (y[1:] + y[:-1]) / 2.0: the sum, the product, then the halving
    // (exact, so the compiler's multiplication by 0.5 rounds alike).
    for (std::int64_t k = 0; k < m; ++k) v[k] = (dt * (x[i0 + k + 1] + x[i0 + k])) / 2.0;
    if (ended) {
      // Terms past the end still raise their floating-point flags, as NumPy's whole-
      // array operations do (the caller tests them): keep them from being optimised out.
      __asm__ volatile("" : : "m"(v) : "memory");
      continue;
    }
    std::int64_t k = 0;
    if (i0 == 0) sum = v[k++];  // a cumulative sum starts with its first term itself
    for (; k < m; ++k) v[k] = sum += v[k];
    std::int64_t counted = m;
    if (sum != sum) [[unlikely]] {
      // Only the velocities before the first NaN are compared, so no comparison meets a NaN.
      counted = 0;
      while (v[counted] == v[counted]) ++counted;
      ended = true;
    }
    peak = keep_greater(lane_max(Contig{reinterpret_cast<const char *>(v)}, counted, Magnitude{}), peak);
  }
  return peak;
}

}  // namespace

TAVO_CLONES double velocity_peak(Span x, double dt) noexcept {
  if (x.n < 2) return max_start;
  const double peak = x.stride == kItem ? velocity_loop(Contig{x.data}, x.n, dt)
                                        : velocity_loop(Strided{x.data, x.stride}, x.n, dt);
  if (peak != 0.0) return peak;
  // As in max_abs: with denormals-are-zero the scan in index order keeps the first velocity,
  // which is the first trapezoid term itself (a NaN one would have left no peak at all).
  const double first = std::fabs((dt * (at(x, 1) + at(x, 0))) / 2.0);
  return first == 0.0 ? first : peak;
}

TAVO_CLONES std::int64_t first_greater(Span series, double val) noexcept {
  if (series.n <= 0 || val != val) return std::max<std::int64_t>(series.n, 0);  // NaN exceeds nothing
  if (series.stride == kItem) return first_greater_loop(Contig{series.data}, series.n, val);
  return first_greater_loop(Strided{series.data, series.stride}, series.n, val);
}

TAVO_CLONES bool is_nondecreasing(Span x) noexcept {
  if (x.n <= 0) return true;
  if (x.stride == kItem) return nondecreasing_loop(Contig{x.data}, x.n);
  return nondecreasing_loop(Strided{x.data, x.stride}, x.n);
}

std::int64_t first_greater_sorted(Span series, double val) noexcept {
  if (series.n <= 0) return std::max<std::int64_t>(series.n, 0);
  if (val != val) return series.n;
  // x[k] > val is false then true along a non-decreasing, NaN-free series, so the
  // first true index is found by halving, the same index the linear scan returns.
  std::int64_t lo = 0;
  std::int64_t len = series.n;
  while (len > 0) {
    const std::int64_t half = len / 2;
    if (load(series.data + (lo + half) * series.stride) > val) {
      len = half;
    } else {
      lo += half + 1;
      len -= half + 1;
    }
  }
  return lo;
}

void fill_zero(MutSpan x) noexcept {
  if (x.n <= 0) return;
  if (x.stride == kItem) {
    std::memset(x.data, 0, static_cast<std::size_t>(x.n) * sizeof(double));  // +0.0 is all zero bits
    return;
  }
  for (std::int64_t i = 0; i < x.n; ++i) store(x.data + i * x.stride, 0.0);
}

}  // namespace tavo::kernels
