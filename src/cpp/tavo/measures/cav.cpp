// Cumulative absolute velocity and thresholded CAV: rectangle sums of |a|,
// multiplied by dt once after the summation.
#include "tavo/measures/measures.hpp"
#include "tavo/measures/vector.hpp"
#include "runtime/traceback.hpp"
#include "tavo/state.hpp"

namespace tavo::measures {
namespace {

/// sum_cy over the array `magnitudes` (an abs_cy result) as a double.
bool sum_of(PyObject *magnitudes, double &s) noexcept {
  DoubleView view;
  if (!runtime::to_double_view(magnitudes, view)) return false;
  Ref total = Ref::steal(sum_cy(view));
  if (!total) return false;
  s = PyFloat_AS_DOUBLE(total.get());
  return true;
}

} // namespace

PyObject *get_CAV_cy(const DoubleView &accel, double dt) noexcept {
  constexpr const char *qualname = "tavotools.tavo.get_CAV_cy";
  double s;
  if (numpy_untouched()) {
    s = kernels::sum_abs(span(accel));
  } else {
    Ref magnitudes = Ref::steal(abs_cy(accel));
    if (!magnitudes || !sum_of(magnitudes.get(), s)) return TAVO_FAIL(qualname);
  }
  return float_result(s * dt, qualname);
}

PyObject *get_CAVn_cy(const DoubleView &accel, double dt, double threshold) noexcept {
  constexpr const char *qualname = "tavotools.tavo.get_CAVn_cy";
  double s;
  if (numpy_untouched()) {
    s = kernels::sum_abs_at_least(span(accel), threshold);
  } else {
    // abs_accel[abs_accel < threshold] = 0, then the sum.
    Ref magnitudes = Ref::steal(abs_cy(accel));
    if (!magnitudes) return TAVO_FAIL(qualname);
    Ref limit = Ref::steal(PyFloat_FromDouble(threshold));
    if (!limit) return TAVO_FAIL(qualname);
    Ref below = Ref::steal(PyObject_RichCompare(magnitudes.get(), limit.get(), Py_LT));
    if (!below || PyObject_SetItem(magnitudes.get(), below.get(), state.int_0) < 0 ||
        !sum_of(magnitudes.get(), s))
      return TAVO_FAIL(qualname);
  }
  return float_result(s * dt, qualname);
}

} // namespace tavo::measures
