// The by-name halves of the measures: each step as the definition states it,
// through the internal kernels and whatever the namespace holds at call time.
// Failures return TAVO_FAIL_HERE(); the public function's entry point adds the
// traceback entry under its own name.
#include <cmath>
#include <initializer_list>

#include "kernels/constants.hpp"
#include "kernels/vector.hpp"
#include "runtime/traceback.hpp"
#include "tavo/by_name/by_name.hpp"
#include "tavo/measures/arias_times.hpp"
#include "tavo/state.hpp"

namespace tavo::by_name {
namespace {

/// sum_cy(magnitudes) as a double, magnitudes being an array kernel's result.
bool sum_of(PyObject *magnitudes, double &s) noexcept {
  DoubleView view;
  if (!runtime::to_double_view(magnitudes, view)) return false;
  Ref total = Ref::steal(sum_cy(view));
  if (!total) return false;
  s = PyFloat_AS_DOUBLE(total.get());
  return true;
}

/// sum_cy(abs_cy(x)) times dt, as a float.
PyObject *cav(const DoubleView &x, double dt) noexcept {
  Ref magnitudes = Ref::steal(abs_cy(x));
  double s;
  if (!magnitudes || !sum_of(magnitudes.get(), s)) return TAVO_FAIL_HERE();
  return PyFloat_FromDouble(s * dt);
}

/// The cumulative intensity as NumPy computes it: cumsum_cy(pow_array(accel, 2)) * dt * pi / 2 / gravity,
/// four whole-array operations with their floating-point error handling. `total` gets
/// sum_cy(pow_array(accel, 2)) when asked for.
PyObject *cumulative_intensity(const DoubleView &accel, double dt, double *total) noexcept {
  Ref a_sqr = Ref::steal(pow_array(accel, 2.0));
  if (!a_sqr) return nullptr;
  DoubleView squares;
  if (!runtime::to_double_view(a_sqr.get(), squares)) return nullptr;
  if (total != nullptr) {
    Ref sum = Ref::steal(sum_cy(squares));
    if (!sum) return nullptr;
    *total = PyFloat_AS_DOUBLE(sum.get());
  }
  Ref running = Ref::steal(cumsum_cy(squares));
  Ref dt_obj = Ref::steal(PyFloat_FromDouble(dt));
  Ref pi_obj = Ref::steal(PyFloat_FromDouble(constants::pi));
  if (!running || !dt_obj || !pi_obj) return nullptr;
  Ref x = Ref::steal(PyNumber_Multiply(running.get(), dt_obj.get()));
  if (x) x = Ref::steal(PyNumber_Multiply(x.get(), pi_obj.get()));
  if (x) x = Ref::steal(PyNumber_TrueDivide(x.get(), state.int_2));
  if (x) x = Ref::steal(PyNumber_TrueDivide(x.get(), state.gravity));
  return x.release();
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

} // namespace

PyObject *get_PGA_cy(const DoubleView &accel) noexcept {
  Ref magnitudes = Ref::steal(abs_cy(accel));
  DoubleView view;
  if (!magnitudes || !runtime::to_double_view(magnitudes.get(), view)) return TAVO_FAIL_HERE();
  PyObject *peak = max_cy(view);
  return peak ? peak : TAVO_FAIL_HERE();
}

PyObject *cumulative_trapezoid() noexcept {
  Ref integrate = Ref::steal(lookup_global(names.integrate));
  return integrate ? PyObject_GetAttr(integrate.get(), names.cumulative_trapezoid) : nullptr;
}

PyObject *velocity(PyObject *trapezoid, const DoubleView &accel, double dt) noexcept {
  Ref samples = Ref::steal(runtime::view_object(accel));
  Ref dx = Ref::steal(PyFloat_FromDouble(dt));
  if (!samples || !dx) return nullptr;
  PyObject *args[] = {nullptr, samples.get(), dx.get()};
  return PyObject_Vectorcall(trapezoid, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                             state.kwnames_dx);
}

PyObject *get_Ia_cy(const DoubleView &accel, double dt) noexcept {
  double total = 0.0;
  Ref series = Ref::steal(cumulative_intensity(accel, dt, &total));
  if (series) series = Ref::steal(np_asarray(series.get()));
  if (!series) return TAVO_FAIL_HERE();
  Ref Ia = Ref::steal(PyFloat_FromDouble(kernels::arias_scale(total, dt)));
  if (!Ia) return TAVO_FAIL_HERE();
  return PyTuple_Pack(2, Ia.get(), series.get());
}

PyObject *get_Ia_times_cy(const DoubleView &accel, double dt, const DoubleView &percentages) noexcept {
  const auto N_acc = static_cast<std::int32_t>(accel.n);  // the caller checked the range
  Ref axis_array = Ref::steal(linspace_cy(dt, double(N_acc) * dt, N_acc));
  DoubleView axis;
  if (!axis_array || !runtime::to_double_view(axis_array.get(), axis)) return TAVO_FAIL_HERE();
  DoubleView times;
  Ref times_array = Ref::steal(new_result_array(percentages.n, times));
  if (!times_array) return TAVO_FAIL_HERE();
  Ref series = Ref::steal(cumulative_intensity(accel, dt, nullptr));
  DoubleView Ia;
  if (!series || !runtime::to_double_view(series.get(), Ia)) return TAVO_FAIL_HERE();

  // Every array here came from, or outlived, code of the namespace's that may have
  // resized it (np.zeros, np.asarray, the arithmetic of the series).
  for (const DoubleView *view : std::initializer_list<const DoubleView *>{&percentages, &axis, &times, &Ia})
    if (!runtime::check_held(*view)) return TAVO_FAIL_HERE();
  // Levels that no element exceeds (or an empty record) have no time: NaN.
  measures::fill_level_times(Ia.span(), axis.n, percentages, times,
                             [&](std::int64_t k) { return axis.get(k); });
  PyObject *result = as_result_array(times);
  return result ? result : TAVO_FAIL_HERE();
}

PyObject *get_CAV_cy(const DoubleView &accel, double dt) noexcept { return cav(accel, dt); }

PyObject *get_CAVn_cy(const DoubleView &accel, double dt, double threshold) noexcept {
  // abs_accel[abs_accel < threshold] = 0, then the sum.
  Ref magnitudes = Ref::steal(abs_cy(accel));
  if (!magnitudes) return TAVO_FAIL_HERE();
  Ref limit = Ref::steal(PyFloat_FromDouble(threshold));
  if (!limit) return TAVO_FAIL_HERE();
  Ref below = Ref::steal(PyObject_RichCompare(magnitudes.get(), limit.get(), Py_LT));
  double s;
  if (!below || PyObject_SetItem(magnitudes.get(), below.get(), state.int_0) < 0 ||
      !sum_of(magnitudes.get(), s))
    return TAVO_FAIL_HERE();
  return PyFloat_FromDouble(s * dt);
}

PyObject *get_CAVstd_cy(const DoubleView &accel, double dt, std::int64_t window,
                        std::int64_t n_windows) noexcept {
  const std::int64_t N_acc = accel.n;
  for (std::int64_t i = 0, j = 0; i < n_windows; ++i, j += window) {
    const std::int64_t lo = j < N_acc ? j : N_acc;
    const std::int64_t hi = (N_acc - lo > window) ? lo + window : N_acc;
    double pga;
    // The namespace's get_PGA_cy may have resized the record it is given a window of.
    if (!window_peak(accel.slice(lo, hi), pga) || !runtime::check_held(accel)) return TAVO_FAIL_HERE();
    if (pga < constants::CAVstd_quiet) kernels::fill_zero(accel.slice(lo, hi).mut_span());
  }
  // The windows ran the namespace's get_PGA_cy, user code that may have rebound
  // `np` or NumPy's functions since the call began: the sum chooses its path again.
  switch (choose_path()) {
  case Path::fused:
    if (!runtime::check_held(accel)) break;
    return PyFloat_FromDouble(kernels::sum_abs(accel.span()) * dt);
  case Path::by_name: return cav(accel, dt);
  case Path::failed: break;
  }
  return TAVO_FAIL_HERE();
}

} // namespace tavo::by_name
