// Standardized CAV: one-second windows whose peak stays below 0.025 g are
// silenced in the caller's own array, then the CAV of what remains.
#include <climits>
#include <cmath>

#include "kernels/constants.hpp"
#include "tavo/measures/measures.hpp"
#include "tavo/measures/vector.hpp"
#include "runtime/function.hpp"
#include "runtime/traceback.hpp"
#include "tavo/state.hpp"

namespace tavo::measures {
namespace {

constexpr const char *qualname = "tavotools.tavo.get_CAVstd_cy";
constexpr double quiet_threshold = constants::CAVstd_quiet;

/// A double truncated toward zero to int32, or `fallback` when it is NaN, infinite or out of range.
std::int64_t to_int32_or(double x, std::int64_t fallback) noexcept {
  if (!(x > double(INT_MIN) - 1.0 && x < double(INT_MAX) + 1.0)) return fallback;
  return static_cast<std::int32_t>(x);
}

/// The peak of one window, through whatever the namespace's get_PGA_cy is now.
bool window_peak(const DoubleView &window, double &pga) noexcept {
  Ref pga_function = Ref::steal(lookup_global(names.get_PGA_cy));
  if (!pga_function) return false;
  Ref samples = Ref::steal(runtime::view_object(window));
  if (!samples) return false;
  Ref peak = Ref::steal(PyObject_CallOneArg(pga_function.get(), samples.get()));
  if (!peak) return false;
  pga = PyFloat_CheckExact(peak.get()) ? PyFloat_AS_DOUBLE(peak.get()) : PyFloat_AsDouble(peak.get());
  return !(pga == -1.0 && PyErr_Occurred());
}

/// Our own get_PGA_cy, with NumPy untouched, has no effect but its value: the
/// windows' peaks can then be taken here without a call per window.
bool own_peak_function() noexcept {
  Ref pga_function = Ref::steal(lookup_global(names.get_PGA_cy));
  if (!pga_function) {
    PyErr_Clear();  // the generic loop raises it again, at the first window
    return false;
  }
  return pga_function.get() == state.get_PGA_cy && numpy_untouched();
}

} // namespace

PyObject *get_CAVstd_cy(const DoubleView &accel, double dt) noexcept {
  const std::int64_t N_acc = accel.n;
  const std::int64_t n_steps_1sec = to_int32_or(1.0 / dt, 0);
  const std::int64_t n_intervals = to_int32_or(std::ceil(double(N_acc) * dt), 0);
  // A negative window length cannot occur with windows (dt < 0 gives no
  // intervals); clamping keeps every index inside the record regardless.
  const std::int64_t step = n_steps_1sec > 0 ? n_steps_1sec : 0;
  if (n_intervals > 0 && own_peak_function()) {
    const double s = kernels::silence_and_sum_abs(mut_span(accel), step, n_intervals, quiet_threshold);
    return float_result(s * dt, qualname);
  }
  for (std::int64_t i = 0, j = 0; i < n_intervals; ++i, j += step) {
    const std::int64_t lo = j < N_acc ? j : N_acc;
    const std::int64_t hi = (N_acc - lo > step) ? lo + step : N_acc;
    double pga;
    if (!window_peak(accel.slice(lo, hi), pga)) return TAVO_FAIL(qualname);
    if (pga < quiet_threshold) kernels::fill_zero(mut_span(accel.slice(lo, hi)));
  }
  double s;
  if (numpy_untouched()) {
    s = kernels::sum_abs(span(accel));
  } else {
    Ref magnitudes = Ref::steal(abs_cy(accel));
    DoubleView view;
    if (!magnitudes || !runtime::to_double_view(magnitudes.get(), view)) return TAVO_FAIL(qualname);
    Ref total = Ref::steal(sum_cy(view));
    if (!total) return TAVO_FAIL(qualname);
    s = PyFloat_AS_DOUBLE(total.get());
  }
  return float_result(s * dt, qualname);
}

} // namespace tavo::measures
