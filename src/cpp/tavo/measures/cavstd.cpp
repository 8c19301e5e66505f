// Standardized CAV: one-second windows whose peak stays below 0.025 g are
// silenced in the caller's own array, then the CAV of what remains.
#include <climits>
#include <cmath>

#include "kernels/constants.hpp"
#include "kernels/vector.hpp"
#include "runtime/traceback.hpp"
#include "tavo/by_name/by_name.hpp"
#include "tavo/measures/measures.hpp"
#include "tavo/state.hpp"

namespace tavo::measures {
namespace {

/// A double truncated toward zero to int32, or `fallback` when it is NaN, infinite or out of range.
std::int64_t to_int32_or(double x, std::int64_t fallback) noexcept {
  if (!(x > double(INT_MIN) - 1.0 && x < double(INT_MAX) + 1.0)) return fallback;
  return static_cast<std::int32_t>(x);
}

} // namespace

PyObject *get_CAVstd_cy(const DoubleView &accel, double dt) noexcept {
  const std::int64_t n_steps_1sec = to_int32_or(1.0 / dt, 0);
  const std::int64_t n_intervals = to_int32_or(std::ceil(double(accel.n) * dt), 0);
  // A negative window length cannot occur with windows (dt < 0 gives no
  // intervals); clamping keeps every index inside the record regardless.
  const std::int64_t window = n_steps_1sec > 0 ? n_steps_1sec : 0;
  // Without windows get_PGA_cy is never called, so it need not be our own.
  const Path path = n_intervals > 0 ? choose_path_with_own_peak() : choose_path();
  if (path == Path::fused) {
    if (!runtime::check_held(accel)) return TAVO_FAIL_HERE();
    const double s = kernels::silence_and_sum_abs(accel.mut_span(), window, n_intervals,
                                                  constants::CAVstd_quiet);
    return PyFloat_FromDouble(s * dt);
  }
  if (path == Path::by_name) return by_name::get_CAVstd_cy(accel, dt, window, n_intervals);
  return TAVO_FAIL_HERE();
}

} // namespace tavo::measures
