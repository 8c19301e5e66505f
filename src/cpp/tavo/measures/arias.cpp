// Arias intensity and Arias times: the cumulative intensity is the running sum
// of the squared samples scaled by (((. * dt) * pi) / 2) / gravity, four rounded
// operations in that order; times come from the linspace time axis.
#include <climits>
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

/// Past 2**31 - 1 samples the by-name path raises pow_array's OverflowError.
Path choose_arias_path(const DoubleView &accel) noexcept {
  return accel.n <= INT_MAX ? choose_path() : Path::by_name;
}

} // namespace

PyObject *get_Ia_cy(const DoubleView &accel, double dt) noexcept {
  const Path path = choose_arias_path(accel);
  if (path == Path::failed) return TAVO_FAIL_HERE();
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
  const Path path = choose_arias_path(accel);
  if (path == Path::failed) return TAVO_FAIL_HERE();
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
      Ref times_array = Ref::steal(by_name::new_result_array(percentages.n, times));
      if (!times_array) return TAVO_FAIL_HERE();
      // The time axis stays implicit: element k of linspace_cy(dt, N_acc * dt, N_acc)
      // is double(k) * step + dt, computed only where a level is found.
      const auto N_acc = static_cast<std::int32_t>(accel.n);
      const double start = dt, step = (double(N_acc) * dt - start) / double(N_acc - 1);
      fill_level_times(kernels::as_span(Ia), Ia.n, percentages, times,
                       [&](std::int64_t k) { return double(k) * step + start; });
      PyObject *result = by_name::as_result_array(times);
      return result ? result : TAVO_FAIL_HERE();
    }
  }
  return by_name::get_Ia_times_cy(accel, dt, percentages);
}

} // namespace tavo::measures
