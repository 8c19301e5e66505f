// Arias intensity and Arias times: the cumulative intensity is the running sum
// of the squared samples scaled by (((. * dt) * pi) / 2) / gravity, four rounded
// operations in that order; times come from the linspace time axis.
#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <new>

#include "kernels/vector.hpp"
#include "runtime/numpy.hpp"
#include "runtime/traceback.hpp"
#include "tavo/by_name/by_name.hpp"
#include "tavo/measures/arias_times.hpp"
#include "tavo/measures/floating_point.hpp"
#include "tavo/measures/measures.hpp"
#include "tavo/state.hpp"

namespace tavo::measures {
namespace {

/// The cumulative intensity in one pass into `out`. False when a floating-point
/// exception flag was raised: NumPy would then warn or raise (per np.seterr), so
/// the caller takes the by-name path, which computes it by NumPy's own operations.
bool cumulative_fused(const DoubleView &accel, double dt, kernels::MutSpan out, double &total) noexcept {
  return without_fp_flags([&] { return kernels::arias_series(accel.span(), dt, out); }, total);
}

/// np.zeros(count, dtype="float64") bound as a double view, and np.asarray of a view
/// object over it: the calls the by-name path makes, made directly, for the fused
/// path only (it runs while the namespace's np, np.zeros and np.asarray are NumPy's
/// own); the objects returned are built exactly as those calls build them.
PyObject *new_zeros(Py_ssize_t count, DoubleView &out) noexcept {
  npy_intp n = count;
  Ref array = Ref::steal(PyArray_Zeros(1, &n, PyArray_DescrFromType(NPY_DOUBLE), 0));
  if (!array || !runtime::to_double_view(array.get(), out)) return nullptr;
  return array.release();
}
PyObject *asarray_of_view(const DoubleView &out) noexcept {
  Ref view = Ref::steal(runtime::view_object(out));
  return view ? PyArray_FromAny(view.get(), nullptr, 0, 0, 0, nullptr) : nullptr;
}

/// Times without the cumulative series, where they provably equal the series' own:
/// for dt > 0 and finite, and a finite running sum of squares P, the series
/// Ia[k] = arias_scale(P[k], dt) is non-decreasing (P is, and each of the four
/// operations is monotonic), so the first Ia[k] above a level lies in the first block
/// whose last Ia is above it, and is found there by recomputing that block's P from
/// the sum before it. The series' flags need no series either: its smallest positive
/// element is arias_scale of the first positive P and its largest the total's, every
/// intermediate result of an element lies between those of the two ends (monotonic
/// again), so an element underflows only if the smallest does and overflows only if the
/// largest does; both ends are scaled here under the flag test, and an end in the
/// subnormal range sends the call to the series. False (nothing written) when a
/// condition fails or a flag was raised.
bool times_by_blocks(const DoubleView &accel, double dt, std::unique_ptr<double[]> &ends, std::int64_t n_blocks,
                     double &total) noexcept {
  if (!(dt > 0.0 && dt < INFINITY) || accel.n <= 0) return false;
  const kernels::MutSpan ends_span{reinterpret_cast<char *>(ends.get()), n_blocks, 8};
  bool ends_ok = false;
  double unused;
  const bool clean = without_fp_flags(
      [&] {
        const kernels::SquareSums sums = kernels::square_sums_by_block(accel.span(), ends_span);
        total = sums.total;
        const double smallest = kernels::arias_scale(sums.first_positive, dt);
        const double largest = kernels::arias_scale(total, dt);
        ends_ok = total < INFINITY && (sums.first_positive == 0.0 || smallest >= 0x1p-1022) && largest < INFINITY;
        return largest;
      },
      unused);
  return clean && ends_ok;
}

/// Past 2**31 - 1 samples the by-name path raises pow_array's OverflowError; a
/// subnormal dt goes by name too (see is_subnormal).
Path choose_arias_path(const DoubleView &accel, double dt) noexcept {
  return accel.n <= INT_MAX && !is_subnormal(dt) ? choose_path() : Path::by_name;
}

} // namespace

PyObject *get_Ia_cy(const DoubleView &accel, double dt) noexcept {
  const Path path = choose_arias_path(accel, dt);
  if (path == Path::failed || !runtime::check_held(accel)) return TAVO_FAIL_HERE();
  if (path == Path::fused) {
    npy_intp n = accel.n;
    Ref series = Ref::steal(PyArray_SimpleNew(1, &n, NPY_DOUBLE));
    if (!series) return TAVO_FAIL_HERE();
    auto *array = reinterpret_cast<PyArrayObject *>(series.get());
    double total;
    if (cumulative_fused(accel, dt, {static_cast<char *>(PyArray_DATA(array)), accel.n, 8}, total)) {
      Ref Ia = Ref::steal(PyFloat_FromDouble(kernels::arias_scale(total, dt)));
      return Ia ? PyTuple_Pack(2, Ia.get(), series.get()) : TAVO_FAIL_HERE();
    }
  }
  return by_name::get_Ia_cy(accel, dt);
}

PyObject *get_Ia_times_cy(const DoubleView &accel, double dt, const DoubleView &percentages) noexcept {
  if (accel.n > INT_MAX || percentages.n > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return TAVO_FAIL_HERE();
  }
  const Path path = choose_arias_path(accel, dt);
  if (path == Path::failed || !runtime::check_held(accel) || !runtime::check_held(percentages))
    return TAVO_FAIL_HERE();
  if (path == Path::fused && accel.n > 0) {
    const std::int64_t n_blocks = (accel.n + kernels::arias_block - 1) / kernels::arias_block;
    std::unique_ptr<double[]> ends(new (std::nothrow) double[std::size_t(n_blocks)]);
    double total;
    if (ends && times_by_blocks(accel, dt, ends, n_blocks, total)) {
      DoubleView times;
      Ref times_array = Ref::steal(new_zeros(percentages.n, times));
      if (!times_array) return TAVO_FAIL_HERE();
      const auto N_acc = static_cast<std::int32_t>(accel.n);
      const double start = dt, step = (double(N_acc) * dt - start) / double(N_acc - 1);
      const double last = kernels::arias_scale(total, dt);
      const std::int64_t n_times = percentages.n < times.n ? percentages.n : times.n;
      // Each level's block is found (by bisection of the block ends) and its samples asked
      // of memory kAhead levels before the level is finished in its block. On a long record
      // the blocks lie far apart and out of cache: found one level at a time, each waited
      // the full latency of memory before its squares, and asked for in whole groups, the
      // first levels of a group still waited while the requests of the rest queued.
      constexpr std::int64_t kAhead = 8;
      double vals[kAhead];
      std::int64_t blocks[kAhead];
      const auto find = [&](std::int64_t j) {
        const double val = vals[j % kAhead] = percentages.get(j) * last;
        // The first block whose last element is above val (the ends are non-decreasing).
        std::int64_t lo = 0, len = n_blocks;
        while (len > 0) {
          const std::int64_t half = len / 2;
          if (kernels::arias_scale(ends[std::size_t(lo + half)], dt) > val) {
            len = half;
          } else {
            lo += half + 1;
            len -= half + 1;
          }
        }
        blocks[j % kAhead] = lo;
        if (lo < n_blocks) {
          const std::int64_t i0 = lo * kernels::arias_block, m = std::min(kernels::arias_block, accel.n - i0);
          // A hint only (it never faults): every element for a stride other than one
          // item, every eighth (a cache line) for contiguous samples.
          const std::int64_t every = accel.stride == 8 ? 8 : 1;
          for (std::int64_t k = 0; k < m; k += every) __builtin_prefetch(accel.data + (i0 + k) * accel.stride, 0, 3);
        }
      };
      for (std::int64_t j = 0; j < std::min(kAhead, n_times); ++j) find(j);
      for (std::int64_t j = 0; j < n_times; ++j) {
        const std::int64_t lo = blocks[j % kAhead];
        const double val = vals[j % kAhead];
        if (j + kAhead < n_times) find(j + kAhead);  // into the slot just read
        double t = NAN;
        if (lo < n_blocks) {
          const std::int64_t i0 = lo * kernels::arias_block;
          const double before = lo > 0 ? ends[std::size_t(lo - 1)] : 0.0;
          const std::int64_t k = kernels::arias_first_above(accel.span(), i0, std::min(kernels::arias_block, accel.n - i0),
                                                            before, dt, val);
          t = double(k) * step + start;  // k < n: the block's last element is above val
        }
        times.set(j, t);
      }
      PyObject *result = asarray_of_view(times);
      return result ? result : TAVO_FAIL_HERE();
    }
  }
  if (path == Path::fused) {
    // The cumulative intensity in a buffer of our own.
    std::unique_ptr<double[]> own(new (std::nothrow) double[accel.n > 0 ? std::size_t(accel.n) : 1]);
    if (!own) {
      PyErr_Format(PyExc_MemoryError, "cannot allocate the cumulative intensity of %lld samples",
                   static_cast<long long>(accel.n));
      return TAVO_FAIL_HERE();
    }
    const kernels::MutSpan Ia{reinterpret_cast<char *>(own.get()), accel.n, 8};
    double total;
    if (cumulative_fused(accel, dt, Ia, total)) {
      DoubleView times;
      Ref times_array = Ref::steal(new_zeros(percentages.n, times));
      if (!times_array) return TAVO_FAIL_HERE();
      // The time axis stays implicit: element k of linspace_cy(dt, N_acc * dt, N_acc)
      // is double(k) * step + dt, computed only where a level is found.
      const auto N_acc = static_cast<std::int32_t>(accel.n);
      const double start = dt, step = (double(N_acc) * dt - start) / double(N_acc - 1);
      fill_level_times(kernels::as_span(Ia), Ia.n, percentages, times,
                       [&](std::int64_t k) { return double(k) * step + start; });
      PyObject *result = asarray_of_view(times);
      return result ? result : TAVO_FAIL_HERE();
    }
  }
  return by_name::get_Ia_times_cy(accel, dt, percentages);
}

} // namespace tavo::measures
