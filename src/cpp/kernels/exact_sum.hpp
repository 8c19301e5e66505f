// Exact strict left-to-right sums of non-negative terms at SIMD speed: the binade
// method. Private to the kernels (included by vector.cpp only); W is the number of
// double lanes of the instruction set the caller was compiled for (4 or 8).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <concepts>
#include <cstdint>

#pragma GCC diagnostic ignored "-Wpsabi"  // the wide vectors live inside target-attributed functions

namespace tavo::kernels::exact {

// Why the result is the sequential loop's, bit for bit.
//
// Let s be the running sum, a double in the binade [E, 2E), E = 2^e, with
// 2^-960 <= s < 2^1000 (grid_of refuses anything else: zero, subnormal, huge,
// infinite, NaN). Every double in [E, 2E] is a multiple of u = E * 2^-52, and
// every multiple of u in [0, 2E] is a double (at most 2^53 units of u).
//
// 1. Rounding a term to the grid. For a term t with 0 <= t < E, t + E lies in
//    [E, 2E], so q = fl(t + E) - E is t rounded to a multiple of u (the
//    subtraction is exact: both are multiples of u, the difference <= E), and
//    r = t - q is exact too (a multiple of ulp(t) no larger than u / 2). q is the
//    nearest multiple of u to t unless t is a tie, |r| == u / 2.
// 2. One addition. If s is a multiple of u in [E, 2E), t is no tie and
//    s + q < 2E, then fl(s + t) = s + q: the doubles around s + t are the
//    multiples of u and s + q is the one nearest to it, uniquely. If instead
//    s + t >= 2E then s + q >= 2E (2E is itself a grid point and rounding to
//    the nearest grid point keeps that order).
// 3. A block. The q are >= 0, so the partial sums s + q1 + ... + qk grow with k;
//    if the last one is < 2E, all are, and by (2) each addition of the loop
//    gives exactly s + (a prefix of the q). Every prefix of the q is a multiple of
//    u below E, so it is computed exactly in any order: lanes, trees, prefix
//    scans. The block's sequential result is then exactly s + sum(q).
// 4. The check is sound for every input. The block is accepted only when
//    fl(s + Q) < 2E, where Q is the q summed in any order, and no |t - q| equals
//    u / 2.
//    - A term t >= E (huge, or +inf) gives fl(t + E) >= 2E, so q >= E. A
//      floating-point sum of non-negative numbers is never below any of them, so
//      Q >= E and fl(s + Q) >= fl(E + E) = 2E: rejected. Hence in an accepted
//      block every t < E, every q is right by (1), and tie detection by |r| is
//      exact.
//    - If the exact s + sum(q) >= 2E, fl(s + Q) >= 2E: either every partial sum
//      of the q was exact (Q is the exact sum and 2E a double), or the first
//      inexact one exceeded 2^53 u = 2E, rounded to >= 2E, and the later
//      additions of non-negative numbers kept it there. A binade crossing is
//      therefore never accepted.
//    - Both hold as well when s is added in with the q in another grouping (the
//      scans carry s along): a sum holding s and a q >= E is at least
//      fl(E + E) = 2E, and by induction over the additions each computed partial
//      sum is at least the lesser of its exact value and 2E (below 2E the exact
//      partial sums are multiples of u, so doubles, so exact).
//    - A NaN term makes Q, hence fl(s + Q), NaN, and NaN < 2E is false.
//    - Ties (including terms exactly on a half-grid point, and integers past
//      2^53 whose every addition is a tie) are caught by |r| == u / 2, exact by (1)
//      once t < E, and rounded by (5). u / 2 >= 2^-1013 is a normal double for the s admitted here,
//      and 2E <= 2^1000 is finite.
//    - A zero or subnormal running sum (the start of every record) has no grid.
// 5. Ties resolved in place. For a tie t = q +- u/2 (q an even multiple of u, as
//    E / u = 2^52 is even), the sequential fl(s' + t), s' the running sum before
//    it, is whichever of s' + q and s' + q +- u (the sign of t - q) is an even
//    multiple of u: round half to even, and the last significand bit of a double
//    in [E, 2E] is the parity of its quotient by u (2E / u = 2^53 is even too).
//    So s' + q when s' / u is even, else the other. Both are >= s', so (3) and
//    (4) hold for the corrected q; s' is formed exactly as s + the corrected q
//    before it when the block is accepted, and if any true partial sum reaches
//    2E the final check rejects the block whatever the rounding of the others.
// A rejected block is added by the plain sequential loop, which is the definition;
// the q of a rejected block are never used.

/// GCC vector types of W doubles, of W 64-bit masks and of W unsigned 64-bit integers.
template <int W>
struct Lanes;
template <>
struct Lanes<4> {
  using type = double __attribute__((vector_size(32)));
  using mask = std::int64_t __attribute__((vector_size(32)));
  using bits = std::uint64_t __attribute__((vector_size(32)));
};
template <>
struct Lanes<8> {
  using type = double __attribute__((vector_size(64)));
  using mask = std::int64_t __attribute__((vector_size(64)));
  using bits = std::uint64_t __attribute__((vector_size(64)));
};
template <int W>
using Vec = typename Lanes<W>::type;
template <int W>
using Mask = typename Lanes<W>::mask;
template <int W>
using Bits = typename Lanes<W>::bits;

template <int W>
[[gnu::always_inline]] inline Vec<W> splat(double v) noexcept {
  return Vec<W>{} + v;
}
template <int W>
[[gnu::always_inline]] inline Vec<W> magnitude(Vec<W> v) noexcept {
  return reinterpret_cast<Vec<W>>(reinterpret_cast<Mask<W>>(v) & INT64_MAX);  // sign bit cleared
}
template <int W>
[[gnu::always_inline]] inline Vec<W> larger(Vec<W> a, Vec<W> b) noexcept {
  return a > b ? a : b;
}
/// The larger of a and |b|, lane by lane, for a >= 0: on AVX-512 one VRANGEPD (by
/// inline assembly, as its intrinsic cannot be inlined through the templates that
/// the instruction-set clones instantiate), elsewhere a sign mask and a comparison.
/// Used where a NaN lane may come out either way: the sum check rejects it anyway.
template <int W>
[[gnu::always_inline]] inline Vec<W> larger_magnitude(Vec<W> a, Vec<W> b) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  if constexpr (W == 8) {
    Vec<W> r;
    __asm__("vrangepd $11, %2, %1, %0" : "=v"(r) : "v"(a), "v"(b));  // max of |a|, |b|; sign cleared
    return r;
  }
#endif
  return larger<W>(a, magnitude<W>(b));
}

/// a * b + c with one rounding, lane by lane: one VFMADD (by inline assembly, for the
/// reason given above; the build keeps the compiler from fusing anything itself).
template <int W>
[[gnu::always_inline]] inline Vec<W> fused_multiply_add(Vec<W> a, Vec<W> b, Vec<W> c) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  __asm__("vfmadd231pd %2, %1, %0" : "+v"(c) : "v"(a), "v"(b));  // c = a * b + c
  return c;
#else
  for (int j = 0; j < W; ++j) c[j] = __builtin_fma(a[j], b[j], c[j]);
  return c;
#endif
}
/// c - a * b with one rounding, lane by lane: one VFNMADD (the negation is exact).
template <int W>
[[gnu::always_inline]] inline Vec<W> fused_negative_multiply_add(Vec<W> a, Vec<W> b, Vec<W> c) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  __asm__("vfnmadd231pd %2, %1, %0" : "+v"(c) : "v"(a), "v"(b));  // c = -(a * b) + c
  return c;
#else
  for (int j = 0; j < W; ++j) c[j] = __builtin_fma(-a[j], b[j], c[j]);
  return c;
#endif
}

/// t rounded to the grid of u, q = fl(t + E) - E as in (1), and t - q: the first
/// addition and the subtraction by fused multiply-adds with a factor of one (t * 1 and
/// q * 1 are exact, so each rounds once, as the addition does: the same bits and
/// flags). Some processors add on two ports but fuse on two others: the pass then
/// spreads its four operations per vector over all four.
template <int W>
[[gnu::always_inline]] inline Vec<W> to_grid(Vec<W> t, Vec<W> E) noexcept {
  return fused_multiply_add<W>(t, splat<W>(1.0), E) - E;
}
template <int W>
[[gnu::always_inline]] inline Vec<W> off_grid(Vec<W> t, Vec<W> q) noexcept {
  return fused_negative_multiply_add<W>(q, splat<W>(1.0), t);
}

/// Sum of the lanes, pairwise: exact for the grid multiples it is used on.
template <int W>
[[gnu::always_inline]] inline double lane_sum(Vec<W> v) noexcept {
  if constexpr (W == 8) v += __builtin_shuffle(v, Mask<8>{4, 5, 6, 7, 0, 1, 2, 3});
  if constexpr (W == 8) v += __builtin_shuffle(v, Mask<8>{2, 3, 0, 1, 6, 7, 4, 5});
  if constexpr (W == 4) v += __builtin_shuffle(v, Mask<4>{2, 3, 0, 1});
  return v[0] + v[1];
}
template <int W>
[[gnu::always_inline]] inline double lane_max(Vec<W> v) noexcept {
  double m = v[0];
  for (int j = 1; j < W; ++j) m = m > v[j] ? m : v[j];
  return m;
}
/// The largest lane by a shuffle tree; for lanes without NaN, where the order of
/// the comparisons cannot matter.
template <int W>
[[gnu::always_inline]] inline double max_of_lanes(Vec<W> v) noexcept {
  if constexpr (W == 8) v = larger<8>(v, __builtin_shuffle(v, Mask<8>{4, 5, 6, 7, 0, 1, 2, 3}));
  if constexpr (W == 8) v = larger<8>(v, __builtin_shuffle(v, Mask<8>{2, 3, 0, 1, 6, 7, 4, 5}));
  if constexpr (W == 4) v = larger<4>(v, __builtin_shuffle(v, Mask<4>{2, 3, 0, 1}));
  return v[0] > v[1] ? v[0] : v[1];
}

/// True when any lane of the mask is set (by a shuffle tree: a lane-by-lane test
/// compiles to scalar code).
template <int W>
[[gnu::always_inline]] inline bool any_lane(Mask<W> m) noexcept {
  if constexpr (W == 8) m |= __builtin_shuffle(m, Mask<8>{4, 5, 6, 7, 0, 1, 2, 3});
  if constexpr (W == 8) m |= __builtin_shuffle(m, Mask<8>{2, 3, 0, 1, 6, 7, 4, 5});
  if constexpr (W == 4) m |= __builtin_shuffle(m, Mask<4>{2, 3, 0, 1});
  return (m[0] | m[1]) != 0;
}
/// True when some lane of v is >= limit (an ordered comparison: NaN lanes are not).
/// On AVX-512 a comparison into a mask register and its test (by inline assembly,
/// as above), where the vector compare of the fallback is reduced by shuffles.
template <int W>
[[gnu::always_inline]] inline bool any_at_least(Vec<W> v, Vec<W> limit) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  if constexpr (W == 8) {
    bool r;
    __asm__("vcmppd $29, %2, %1, %%k1\n\tkortestb %%k1, %%k1\n\tsetnz %0"  // 29: greater or equal, ordered
            : "=r"(r)
            : "v"(v), "v"(limit)
            : "k1", "cc");
    return r;
  }
#endif
  return any_lane<W>(v >= limit);
}
/// In-lane inclusive prefix sums: lane j gets v[0] + ... + v[j] (exact on grid multiples).
template <int W>
[[gnu::always_inline]] inline Vec<W> prefix(Vec<W> v) noexcept {
  const Vec<W> zero{};
  if constexpr (W == 4) {
    v += __builtin_shuffle(v, zero, Mask<4>{4, 0, 1, 2});
    v += __builtin_shuffle(v, zero, Mask<4>{4, 4, 0, 1});
  } else {
    v += __builtin_shuffle(v, zero, Mask<8>{8, 0, 1, 2, 3, 4, 5, 6});
    v += __builtin_shuffle(v, zero, Mask<8>{8, 8, 0, 1, 2, 3, 4, 5});
    v += __builtin_shuffle(v, zero, Mask<8>{8, 8, 8, 8, 0, 1, 2, 3});
  }
  return v;
}
/// Every lane set to the last lane of v.
template <int W>
[[gnu::always_inline]] inline Vec<W> last_lane(Vec<W> v) noexcept {
  return __builtin_shuffle(v, Mask<W>{} + (W - 1));
}

/// The grid of a running sum: s lies in [E, 2E) and the doubles there are multiples of 2 * half_u.
struct Grid {
  double E;
  double half_u;  // u / 2 = E * 2^-53: a term this far from the grid is a tie
  double top;     // 2E, the bottom of the next binade
};

/// True, with g set, when s admits the argument above (2^-960 <= s < 2^1000); false for
/// zero, subnormal, huge, infinite and NaN sums, which the plain loop adds.
/// Sums are compared quietly here and in the checks below (std::isless): an ordered
/// comparison raises invalid on a NaN, which the plain loop adding that NaN does not,
/// and the measures that test the flags would then take their slow path.
[[gnu::always_inline]] inline bool grid_of(double s, Grid &g) noexcept {
  if (!(std::isgreaterequal(s, 0x1p-960) && std::isless(s, 0x1p1000))) return false;
  const double E = std::bit_cast<double>(std::bit_cast<std::uint64_t>(s) & 0x7ff0000000000000u);
  g = {E, E * 0x1p-53, E * 2.0};
  return true;
}

/// Running state of one exact sum: the sum, its grid while it has one, and counts
/// of the work done by the plain loop (for the benchmarks' fallback share).
struct Run {
  double s = 0.0;
  Grid g{};
  bool on_grid = false;
  std::int64_t blocks = 0;     // blocks attempted
  std::int64_t fallbacks = 0;  // of which added by the plain loop, in part or whole
  double mean = 0.0;           // mean term of the stretch added last, to size the next try
  void regrid() noexcept { on_grid = grid_of(s, g); }
};

/// Sizes: terms are checked in chunks of kSub, tried up to kBlock at a time; a
/// binade crossing costs the plain loop a part of one chunk only.
constexpr std::int64_t kBlock = 256;
constexpr std::int64_t kSub = 32;

/// The same block with its ties rounded as the sequential loop rounds them (point 5
/// above): lanes without a tie are summed as before; at a lane group holding a tie
/// the running sum is formed and the group added one term at a time, each tie
/// taking the candidate that leaves the sum an even multiple of u. For a chunk whose
/// grid sum stayed in the binade (as try_chunks reports it); false, with run.s
/// unchanged, if the rounded ties carry it out.
template <int W, class Terms>
[[gnu::always_inline]] inline bool add_with_ties(Run &run, const Terms &t, std::int64_t i0, std::int64_t m) noexcept {
  const Vec<W> E = splat<W>(run.g.E), half_u = splat<W>(run.g.half_u);
  const double u = 2.0 * run.g.half_u;
  Vec<W> q_sum{};
  double s = run.s;
  for (std::int64_t k = 0; k < m; k += W) {
    const Vec<W> tk = t.template lanes<W>(i0 + k);
    const Vec<W> q = (tk + E) - E, off = magnitude<W>(tk - q);
    // No |t - q| exceeds u / 2 here (this chunk's sum stayed in the binade, so every
    // t < E), hence a tie is there exactly when the largest equals it. (A test of
    // the mask lane by lane compiles to a scalar loop at -O3.)
    if (max_of_lanes<W>(off) != run.g.half_u) {
      q_sum += q;
      continue;
    }
    const Mask<W> tie = off == half_u;
    s += lane_sum<W>(q_sum);
    q_sum = Vec<W>{};
    for (int j = 0; j < W; ++j) {
      double qj = q[j];
      if (tie[j] && (std::bit_cast<std::uint64_t>(s) & 1u)) qj += tk[j] > q[j] ? u : -u;
      s += qj;
    }
  }
  s += lane_sum<W>(q_sum);
  if (!std::isless(s, run.g.top)) return false;
  run.s = s;
  return true;
}

/// The grid sums and the largest |t - q| of terms, two vectors at a time (two chains
/// of additions), over any run of whole vector pairs: what every block check reads.
///
/// Terms that are values with some lanes masked to +0.0 may hand over the values and
/// the mask of the lanes kept (kept_lanes): with eight lanes the pass then masks q and
/// t - q by zero-masking operations instead of the terms by a blend, one vector
/// operation fewer per vector. A masked lane gives q = +0.0 and t - q = +0.0 either
/// way ((+0.0 + E) - E and +0.0 - +0.0 round to +0.0), so the sums are the same bits.
/// With four lanes a mask is a vector of its own and the masking costs more than the
/// blend: there the terms are masked first.
template <class Terms, int W>
concept MaskedTerms = requires(const Terms &t, std::int64_t i, Mask<W> &keep) {
  { t.template kept_lanes<W>(i, keep) } -> std::same_as<Vec<W>>;
};

template <int W>
struct GridPass {
  Vec<W> q_sum0{}, q_sum1{}, off0{}, off1{};
  template <class Terms>
  [[gnu::always_inline]] void add(const Terms &t, std::int64_t k0, std::int64_t k1, Vec<W> E) noexcept {
    if constexpr (W == 8 && MaskedTerms<Terms, W>) {
      for (std::int64_t k = k0; k < k1; k += 2 * W) {
        Mask<W> keep0, keep1;
        const Vec<W> t0 = t.template kept_lanes<W>(k, keep0), t1 = t.template kept_lanes<W>(k + W, keep1);
        const Vec<W> q0 = keep0 ? to_grid<W>(t0, E) : Vec<W>{}, q1 = keep1 ? to_grid<W>(t1, E) : Vec<W>{};
        q_sum0 += q0;
        q_sum1 += q1;
        off0 = larger_magnitude<W>(off0, keep0 ? t0 - q0 : Vec<W>{});
        off1 = larger_magnitude<W>(off1, keep1 ? t1 - q1 : Vec<W>{});
      }
      return;
    }
    for (std::int64_t k = k0; k < k1; k += 2 * W) {
      const Vec<W> t0 = t.template lanes<W>(k), t1 = t.template lanes<W>(k + W);
      const Vec<W> q0 = to_grid<W>(t0, E), q1 = to_grid<W>(t1, E);
      q_sum0 += q0;
      q_sum1 += q1;
      off0 = larger_magnitude<W>(off0, off_grid<W>(t0, q0));
      off1 = larger_magnitude<W>(off1, off_grid<W>(t1, q1));
    }
  }
  [[gnu::always_inline]] Vec<W> sum() const noexcept { return q_sum0 + q_sum1; }
  [[gnu::always_inline]] Vec<W> far() const noexcept { return larger<W>(off0, off1); }
};

/// Tries terms t.lanes(i0) ... in n_chunks chunks of kSub terms. A first pass checks
/// them all at once (the common case: the tries are sized not to cross). When that
/// check fails, a second pass goes chunk by chunk and accepts the chunks before the
/// first whose check fails, stopping there (the chunks after it are tried again by
/// the caller). run.s moves past the terms accepted, whose number is returned; `ties`
/// tells whether the next chunk failed on ties only.
template <int W, class Terms>
[[gnu::always_inline]] inline std::int64_t try_chunks(Run &run, const Terms &t, std::int64_t i0, int n_chunks,
                                                      bool &ties) noexcept {
  static_assert(kSub % (2 * W) == 0);
  const Vec<W> E = splat<W>(run.g.E);
  ties = false;
  {
    GridPass<W> all;
    all.add(t, i0, i0 + n_chunks * kSub, E);
    const double r = run.s + lane_sum<W>(all.sum());
    if (std::isless(r, run.g.top) && max_of_lanes<W>(all.far()) != run.g.half_u) {
      run.s = r;
      return n_chunks * kSub;
    }
  }
  // The chunks before the first that crosses, turns NaN or holds a tie: each check
  // is the block check of (4) over the terms from i0 to that chunk's end.
  double s = run.s;
  int c = 0;
  for (; c < n_chunks; ++c) {
    GridPass<W> chunk;
    chunk.add(t, i0 + c * kSub, i0 + (c + 1) * kSub, E);
    const double next = s + lane_sum<W>(chunk.sum());
    if (!std::isless(next, run.g.top)) break;
    if (lane_max<W>(chunk.far()) == run.g.half_u) {
      ties = true;
      break;
    }
    s = next;
  }
  run.s = s;
  return c * kSub;
}

/// True when the kSub terms from i are all zero. Their sum tells: a sum of terms
/// >= 0 is 0 only when every term is (no rounding takes a positive sum to 0), and a
/// NaN makes it NaN. (A mask reduction compiles to a lane-by-lane loop at -O3.)
template <int W, class Terms>
[[gnu::always_inline]] inline bool all_zero(const Terms &t, std::int64_t i) noexcept {
  Vec<W> sum{};
  for (std::int64_t k = i; k < i + kSub; k += W) sum += t.template lanes<W>(k);
  return lane_sum<W>(sum) == 0.0;
}

/// The plain sequential loop from term i to at most `stop`, one term at a time, until
/// the sum leaves its binade (or reaches a grid at all, or turns NaN), or with `whole`
/// up to stop or NaN. Returns the index of the next term; at least one term is added.
template <class Terms>
[[gnu::always_inline]] inline std::int64_t add_until_regrid(Run &run, const Terms &t, std::int64_t i,
                                                            std::int64_t stop, bool whole) noexcept {
  double s = run.s;
  if (whole || (!run.on_grid && s >= 0x1p-960)) {
    // All the way to stop: asked for, or a huge or infinite sum, which never comes
    // back to a grid (the terms are >= 0).
    do {
      s += t[i++];
    } while (i < stop && s == s);
  } else {
    const double leave = run.on_grid ? run.g.top : 0x1p-960;
    do {
      s += t[i++];
    } while (i < stop && std::isless(s, leave));  // false for NaN as well (quietly, as above)
  }
  run.s = s;
  run.regrid();
  return i;
}

/// Adds m terms to run.s in strict index order: chunks by the method where it proves
/// the result (a chunk with ties by add_with_ties), the plain loop from a rejected
/// chunk to the point where the sum leaves its binade (a crossing, a huge term) or
/// turns NaN. Each try is sized to end before the expected crossing (the room left in
/// the binade over the mean term of the last stretch, at most a block), so that a
/// crossing costs a few plain additions rather than a rejected block. The size is
/// only a guess: every acceptance is still the check of (4). Returns false once the
/// sum is NaN (it stays so: the caller may stop).
template <int W, class Terms>
[[gnu::always_inline]] inline bool add_terms(Run &run, const Terms &t, std::int64_t m) noexcept {
  // A sum already NaN stays that NaN: adding to it would leave its payload to the
  // operand order of an addition of two NaNs.
  if (run.s != run.s) return false;
  std::int64_t i = 0, block_end = 0;
  bool fell_back = false;  // within the current block of kBlock terms (for the tally)
  constexpr double kMaxChunks = kBlock / kSub;
  while (i < m) {
    if (i >= block_end) {
      run.fallbacks += fell_back;
      fell_back = false;
      ++run.blocks;
      block_end = std::min(i + kBlock, m);
    }
    // +0.0 plus a zero of either sign is +0.0: zeros before the first nonzero term
    // (a masked or silenced quiet start, padding) are passed over a chunk at a time.
    if (!run.on_grid && std::bit_cast<std::uint64_t>(run.s) == 0) {
      while (m - i >= kSub && all_zero<W>(t, i)) i += kSub;
      if (i == m) break;
    }
    // Chunks expected to fit before the sum leaves its binade, at the mean term of
    // the last stretch: a try that would cross is cut short rather than wasted. A
    // term of size t is a tie with odds of about t / E, so tries are also kept to
    // E / 2 of terms, where a tie (a second pass) is not the likely outcome.
    // (Without a division where a whole block fits, the common case: the sizing sits on
    // the chain from one try's sum to the next try.) A try costs about as much as 25
    // plain additions in checks and mispredicted branches, more than the vector pass
    // saves on one chunk: where fewer than two fit (the start of a record, where the
    // sum crosses a binade every few dozen terms) they go a vector at a time (below).
    double fit = 0.0;
    if (run.on_grid) {
      const double room = std::min(run.g.top - run.s, 0.5 * run.g.E);
      fit = room >= run.mean * double(kBlock) ? kMaxChunks : room / (run.mean * double(kSub));
    }
    if (run.on_grid && m - i >= kSub && fit >= 2.0) {
      const std::int64_t whole_chunks = (m - i) / kSub;
      const int n_chunks = static_cast<int>(std::min<std::int64_t>(
          fit >= kMaxChunks ? std::int64_t(kMaxChunks) : std::int64_t(fit), whole_chunks));
      const double s0 = run.s;
      bool ties;
      const std::int64_t done = try_chunks<W>(run, t, i, n_chunks, ties);
      if (done == kBlock)
        run.mean = (run.s - s0) * (1.0 / double(kBlock));
      else if (done > 0)
        run.mean = (run.s - s0) / double(done);
      i += done;
      if (done == n_chunks * kSub) continue;
      if (ties && add_with_ties<W>(run, t, i, kSub)) {
        i += kSub;
        continue;
      }
    }
    // Where chunks do not fit but two vectors do, a vector of terms at a time: at the
    // start of a record the sum crosses a binade every few dozen terms, and a vector
    // checked alone (the block check of (4) over W terms) still costs less than W
    // plain additions. The plain loop then takes the vector that crosses or ties.
    // (Tried on a vector's room: the failed tries cost more than they saved.)
    const std::int64_t stop = std::min(i + kSub, m);
    std::int64_t plain_stop = stop;
    if (run.on_grid && fit >= double(2 * W) / double(kSub)) {
      const Vec<W> E = splat<W>(run.g.E);
      const double s_in = run.s;
      const std::int64_t i_in = i;
      while (stop - i >= W) {
        const Vec<W> tk = t.template lanes<W>(i);
        const Vec<W> q = to_grid<W>(tk, E);
        const double next = run.s + lane_sum<W>(q);
        if (!std::isless(next, run.g.top) || max_of_lanes<W>(magnitude<W>(off_grid<W>(tk, q))) == run.g.half_u)
          break;
        run.s = next;
        i += W;
      }
      if (i > i_in) run.mean = (run.s - s_in) / double(i - i_in);
      if (i == stop) continue;
      plain_stop = std::min(i + W, m);  // the vector that failed; or the tail, shorter than one
    }
    // The plain loop: to the crossing that is near, or through a whole chunk when
    // crossings come every few terms (the start of a record) or there is no grid.
    fell_back = true;
    const double s0 = run.s;
    const std::int64_t i0 = i;
    i = add_until_regrid(run, t, i, plain_stop, !run.on_grid || !(fit >= 0.5));
    if (run.s != run.s) {
      run.fallbacks += 1;
      return false;
    }
    if (run.on_grid) run.mean = (run.s - s0) / double(i - i0);
  }
  run.fallbacks += fell_back;
  return true;
}

/// Tries the m terms from t.lanes(0) (m a multiple of `every`, `every` of kSub, at most
/// kBlock) as one block, keeping the running sum at every `every` terms: when the
/// block check of (4) passes, ends[j] is the sequential running sum after term
/// (j + 1) * every - 1 (s plus a prefix of the q, exact by (3)), run.s moves to the
/// last, and the result is true; else nothing is written and run.s is unchanged.
template <int W, class Terms>
[[gnu::always_inline]] inline bool try_with_ends(Run &run, const Terms &t, std::int64_t m, std::int64_t every,
                                                 double *ends) noexcept {
  static_assert(kSub % (2 * W) == 0);
  const Vec<W> E = splat<W>(run.g.E);
  Vec<W> prefix_at[kBlock / kSub];
  GridPass<W> all;
  const std::int64_t n_ends = m / every;
  for (std::int64_t j = 0; j < n_ends; ++j) {
    all.add(t, j * every, (j + 1) * every, E);
    prefix_at[j] = all.sum();
  }
  const double r = run.s + lane_sum<W>(all.sum());
  if (!std::isless(r, run.g.top) || max_of_lanes<W>(all.far()) == run.g.half_u) return false;
  for (std::int64_t j = 0; j < n_ends; ++j) ends[j] = run.s + lane_sum<W>(prefix_at[j]);
  run.mean = (r - run.s) / double(m);
  run.s = r;
  return true;
}

/// Tries the running sums of q[i0 .. i0 + m) (m a multiple of W), P[k] = s + q[i0] + ...
/// + q[k], handing each vector of them to emit(k, P) as the in-register scan forms it,
/// before the check. True, with run.s moved to the last running sum, when the block
/// check passes: every P handed out was then the sequential running sum, exactly.
/// Otherwise run.s is unchanged and what emit received is meaningless (the caller
/// redoes the block). The carry starts at s, so the check's sum is s and the q added
/// in another grouping than the loop's: (4) holds for every grouping.
template <int W, class Emit>
[[gnu::always_inline]] inline bool try_scan(Run &run, const double *q, std::int64_t i0, std::int64_t m,
                                            Emit emit) noexcept {
  const Vec<W> E = splat<W>(run.g.E);
  Vec<W> carry = splat<W>(run.s), off{};
  for (std::int64_t k = i0; k < i0 + m; k += W) {
    Vec<W> t;
    __builtin_memcpy(&t, q + k, sizeof t);
    const Vec<W> g = (t + E) - E;
    off = larger_magnitude<W>(off, t - g);
    const Vec<W> P = prefix<W>(g) + carry;
    emit(k, P);
    carry = last_lane<W>(P);  // s plus every q so far, as the loop's next running sum
  }
  const double r = carry[0];
  if (!std::isless(r, run.g.top) || lane_max<W>(off) == run.g.half_u) return false;
  run.s = r;
  return true;
}

/// try_scan with the running sums stored into P.
template <int W>
[[gnu::always_inline]] inline bool try_scan(Run &run, const double *q, std::int64_t i0, std::int64_t m,
                                            double *P) noexcept {
  return try_scan<W>(run, q, i0, m, [P](std::int64_t k, Vec<W> v) __attribute__((always_inline)) {
    __builtin_memcpy(P + k, &v, sizeof v);
  });
}

/// The sequential running sums of q[i0 .. i0 + m) into P; after the first NaN every
/// P is that NaN. Returns the last running sum.
[[gnu::always_inline]] inline double plain_scan(double s, const double *q, std::int64_t i0, std::int64_t m,
                                                double *P) noexcept {
  std::int64_t k = i0;
  if (s == s) {
    for (; k < i0 + m; ++k) {
      P[k] = s += q[k];
      if (s != s) [[unlikely]] {
        ++k;
        break;
      }
    }
  }
  for (; k < i0 + m; ++k) P[k] = s;
  return s;
}

}  // namespace tavo::kernels::exact
