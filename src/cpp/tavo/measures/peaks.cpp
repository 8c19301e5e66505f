// Peak ground acceleration and peak ground velocity.
#include "kernels/vector.hpp"
#include "runtime/traceback.hpp"
#include "tavo/by_name/by_name.hpp"
#include "tavo/measures/floating_point.hpp"
#include "tavo/measures/measures.hpp"
#include "tavo/state.hpp"

namespace tavo::measures {

PyObject *get_PGA_cy(const DoubleView &accel) noexcept {
  const Path path = choose_path();
  // The maximum of |a| does not depend on the order of the scan: no temporary needed.
  if (path == Path::fused)
    return runtime::check_held(accel) ? PyFloat_FromDouble(kernels::max_abs(accel.span())) : TAVO_FAIL_HERE();
  if (path == Path::by_name) return by_name::get_PGA_cy(accel);
  return TAVO_FAIL_HERE();
}

PyObject *get_PGV_cy(const DoubleView &accel, double dt) noexcept {
  Ref trapezoid = Ref::steal(by_name::cumulative_trapezoid());
  if (!trapezoid) return TAVO_FAIL_HERE();
  // SciPy's own function computes cumsum(dt * (y[1:] + y[:-1]) / 2.0) with NumPy,
  // sequentially; the kernel does the same arithmetic in one pass without the
  // temporaries. Shorter records go to SciPy for its error and its empty result; a
  // pass that raised a floating-point flag too, for NumPy's warning or error; and so
  // does every call while a NumPy function that SciPy calls by name is replaced, and
  // with a subnormal dt (see is_subnormal).
  if (trapezoid.get() == state.cumulative_trapezoid && accel.n >= 2 && !is_subnormal(dt)) {
    const Path path = choose_velocity_path();
    // Finding the function ran the namespace's code (integrate's __getattr__, say).
    if (path == Path::failed || !runtime::check_held(accel)) return TAVO_FAIL_HERE();
    double peak;
    if (path == Path::fused &&
        without_fp_flags([&] { return kernels::velocity_peak(accel.span(), dt); }, peak)) {
      PyObject *result = PyFloat_FromDouble(peak);
      return result ? result : TAVO_FAIL_HERE();
    }
  }
  Ref result = Ref::steal(by_name::velocity(trapezoid.get(), accel, dt));
  DoubleView velocity;
  if (!result || !runtime::to_double_view(result.get(), velocity)) return TAVO_FAIL_HERE();
  // The peak as get_PGA_cy's body takes it, its path chosen only now:
  // cumulative_trapezoid may be user code that rebound `np`.
  return get_PGA_cy(velocity);
}

} // namespace tavo::measures
