// Cumulative absolute velocity and thresholded CAV: rectangle sums of |a|
// times dt, strictly left to right.
#include "kernels/vector.hpp"
#include "runtime/traceback.hpp"
#include "tavo/by_name/by_name.hpp"
#include "tavo/measures/measures.hpp"
#include "tavo/state.hpp"

namespace tavo::measures {

PyObject *get_CAV_cy(const DoubleView &accel, double dt) noexcept {
  const Path path = choose_path();
  if (path == Path::fused)
    return runtime::check_held(accel) ? PyFloat_FromDouble(kernels::sum_abs(accel.span()) * dt) : TAVO_FAIL_HERE();
  if (path == Path::by_name) return by_name::get_CAV_cy(accel, dt);
  return TAVO_FAIL_HERE();
}

PyObject *get_CAVn_cy(const DoubleView &accel, double dt, double threshold) noexcept {
  const Path path = choose_path();
  if (path == Path::fused)
    return runtime::check_held(accel) ? PyFloat_FromDouble(kernels::sum_abs_at_least(accel.span(), threshold) * dt)
                                      : TAVO_FAIL_HERE();
  if (path == Path::by_name) return by_name::get_CAVn_cy(accel, dt, threshold);
  return TAVO_FAIL_HERE();
}

} // namespace tavo::measures
