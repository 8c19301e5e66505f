// Arias intensity and Arias times: the cumulative intensity is the running sum
// of the squared samples scaled by (((. * dt) * pi) / 2) / gravity, four rounded
// operations in that order; times come from the linspace time axis.
#include <algorithm>
#include <cfenv>
#include <climits>
#include <cmath>
#include <memory>
#include <new>

#include "kernels/constants.hpp"
#include "tavo/measures/measures.hpp"
#include "tavo/measures/vector.hpp"
#include "runtime/numpy.hpp"
#include "runtime/traceback.hpp"
#include "tavo/state.hpp"

namespace tavo::measures {
namespace {

using constants::pi;
constexpr int numpy_fp_flags = FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID | FE_DIVBYZERO;

double scale(double s, double dt) noexcept { return (((s * dt) * pi) / 2.0) / constants::gravity; }

/// The cumulative intensity as NumPy computes it: cumsum_cy(pow_array(accel, 2)) * dt * pi / 2 / gravity,
/// four whole-array operations with their floating-point error handling. `total` gets
/// sum_cy(pow_array(accel, 2)) when asked for.
PyObject *cumulative_by_numpy(const DoubleView &accel, double dt, double *total) noexcept {
  Ref a_sqr = Ref::steal(pow_array(accel, 2.0));
  if (!a_sqr) return nullptr;
  DoubleView squares;
  if (!runtime::to_double_view(a_sqr.get(), squares)) return nullptr;
  if (total != nullptr) {
    Ref s = Ref::steal(sum_cy(squares));
    if (!s) return nullptr;
    *total = PyFloat_AS_DOUBLE(s.get());
  }
  Ref running = Ref::steal(cumsum_cy(squares));
  Ref dt_obj = Ref::steal(PyFloat_FromDouble(dt));
  Ref pi_obj = Ref::steal(PyFloat_FromDouble(pi));
  if (!running || !dt_obj || !pi_obj) return nullptr;
  Ref x = Ref::steal(PyNumber_Multiply(running.get(), dt_obj.get()));
  if (x) x = Ref::steal(PyNumber_Multiply(x.get(), pi_obj.get()));
  if (x) x = Ref::steal(PyNumber_TrueDivide(x.get(), state.int_2));
  if (x) x = Ref::steal(PyNumber_TrueDivide(x.get(), state.gravity));
  return x.release();
}

/// The same series in one pass into `out`. Returns false when a floating-point
/// exception flag was raised: NumPy would then warn or raise (per np.seterr), so
/// the caller recomputes the series by NumPy's own operations.
bool cumulative_fused(const DoubleView &accel, double dt, kernels::MutSpan out, double &total) noexcept {
  std::fenv_t saved;
  std::feholdexcept(&saved);
  total = kernels::arias_series(span(accel), dt, out);
  const bool clean = std::fetestexcept(numpy_fp_flags) == 0;
  std::fesetenv(&saved);
  return clean;
}

} // namespace

PyObject *get_Ia_cy(const DoubleView &accel, double dt) noexcept {
  constexpr const char *qualname = "tavotools.tavo.get_Ia_cy";
  Ref series;
  double total = 0.0;
  // Past 2**31 - 1 samples the NumPy path raises pow_array's OverflowError.
  if (numpy_untouched() && accel.n <= INT_MAX) {
    npy_intp n = accel.n;
    series = Ref::steal(PyArray_SimpleNew(1, &n, NPY_DOUBLE));
    if (!series) return TAVO_FAIL(qualname);
    auto *array = reinterpret_cast<PyArrayObject *>(series.get());
    const kernels::MutSpan out{static_cast<char *>(PyArray_DATA(array)), accel.n, 8};
    if (!cumulative_fused(accel, dt, out, total)) series = Ref();
  }
  if (!series) {
    series = Ref::steal(cumulative_by_numpy(accel, dt, &total));
    if (series) series = Ref::steal(np_asarray(series.get()));
    if (!series) return TAVO_FAIL(qualname);
  }
  Ref Ia = Ref::steal(PyFloat_FromDouble(scale(total, dt)));
  if (!Ia) return TAVO_FAIL(qualname);
  PyObject *result = PyTuple_Pack(2, Ia.get(), series.get());
  return result ? result : TAVO_FAIL(qualname);
}

PyObject *get_Ia_times_cy(const DoubleView &accel, double dt, const DoubleView &percentages) noexcept {
  constexpr const char *qualname = "tavotools.tavo.get_Ia_times_cy";
  if (accel.n > INT_MAX || percentages.n > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return TAVO_FAIL(qualname);
  }
  const auto N_acc = static_cast<std::int32_t>(accel.n);
  const double start = dt, stop = double(N_acc) * dt;
  const bool untouched = numpy_untouched();
  // While NumPy is untouched the time axis stays implicit: element k of
  // linspace_cy(dt, N_acc * dt, N_acc) is double(k) * step + dt, computed only
  // where a level is found.
  const double step = (stop - start) / double(N_acc - 1);
  Ref axis_array;
  DoubleView axis;
  if (!untouched) {
    axis_array = Ref::steal(linspace_cy(start, stop, N_acc));
    if (!axis_array || !runtime::to_double_view(axis_array.get(), axis)) return TAVO_FAIL(qualname);
  }
  DoubleView times;
  Ref times_array = Ref::steal(new_result_array(percentages.n, times));
  if (!times_array) return TAVO_FAIL(qualname);

  // The cumulative intensity, in a buffer of our own when the fused pass is exact.
  std::unique_ptr<double[]> own;
  kernels::Span Ia{nullptr, accel.n, 8};
  bool fused = false;
  if (untouched) {
    own.reset(new (std::nothrow) double[accel.n > 0 ? std::size_t(accel.n) : 1]);
    if (!own) {
      PyErr_NoMemory();
      return TAVO_FAIL(qualname);
    }
    double total;
    fused = cumulative_fused(accel, dt, {reinterpret_cast<char *>(own.get()), accel.n, 8}, total);
    Ia.data = reinterpret_cast<const char *>(own.get());
  }
  Ref by_numpy;
  DoubleView Ia_view;
  if (!fused) {
    by_numpy = Ref::steal(cumulative_by_numpy(accel, dt, nullptr));
    if (!by_numpy || !runtime::to_double_view(by_numpy.get(), Ia_view)) return TAVO_FAIL(qualname);
    Ia = span(Ia_view);
  }

  // Levels that no element exceeds (or an empty record) have no time: NaN.
  // Every index is bounded by the length of the array actually read: a
  // substitute np.zeros in the namespace may have returned other lengths.
  const std::int64_t n_series = untouched ? Ia.n : std::min(Ia.n, axis.n);
  const std::int64_t n_times = std::min(percentages.n, times.n);
  const bool sorted = kernels::is_nondecreasing(Ia);
  for (std::int64_t i = 0; i < n_times; ++i) {
    double t = NAN;
    if (Ia.n > 0) {
      const double val = percentages.get(i) * kernels::at(Ia, Ia.n - 1);
      const std::int64_t indx = sorted ? kernels::first_greater_sorted(Ia, val)
                                       : kernels::first_greater(Ia, val);
      if (indx < n_series) t = untouched ? double(indx) * step + start : axis.get(indx);
    }
    times.set(i, t);
  }
  PyObject *result = as_result_array(times);
  return result ? result : TAVO_FAIL(qualname);
}

} // namespace tavo::measures
