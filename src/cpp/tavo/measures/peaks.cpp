// Peak ground acceleration and peak ground velocity.
#include "tavo/measures/measures.hpp"
#include "tavo/measures/vector.hpp"
#include "runtime/traceback.hpp"
#include "tavo/state.hpp"

namespace tavo::measures {
namespace {

/// max_cy(abs_cy(x)) as a float; without a temporary while NumPy is untouched
/// (the maximum of |x| does not depend on the order of the scan).
PyObject *peak_abs(const DoubleView &x, const char *qualname) noexcept {
  if (numpy_untouched()) return float_result(kernels::max_abs(span(x)), qualname);
  Ref magnitudes = Ref::steal(abs_cy(x));
  DoubleView view;
  if (!magnitudes || !runtime::to_double_view(magnitudes.get(), view)) return TAVO_FAIL(qualname);
  PyObject *peak = max_cy(view);
  return peak ? peak : TAVO_FAIL(qualname);
}

} // namespace

PyObject *get_PGA_cy(const DoubleView &accel) noexcept {
  return peak_abs(accel, "tavotools.tavo.get_PGA_cy");
}

PyObject *get_PGV_cy(const DoubleView &accel, double dt) noexcept {
  constexpr const char *qualname = "tavotools.tavo.get_PGV_cy";
  Ref integrate = Ref::steal(lookup_global(names.integrate));
  if (!integrate) return TAVO_FAIL(qualname);
  Ref trapezoid = Ref::steal(PyObject_GetAttr(integrate.get(), names.cumulative_trapezoid));
  if (!trapezoid) return TAVO_FAIL(qualname);
  Ref samples = Ref::steal(runtime::view_object(accel));
  Ref dx = Ref::steal(PyFloat_FromDouble(dt));
  if (!samples || !dx) return TAVO_FAIL(qualname);
  PyObject *args[] = {nullptr, samples.get(), dx.get()};
  Ref vel = Ref::steal(PyObject_Vectorcall(trapezoid.get(), args + 1,
                                           1 | PY_VECTORCALL_ARGUMENTS_OFFSET, state.kwnames_dx));
  DoubleView velocity;
  if (!vel || !runtime::to_double_view(vel.get(), velocity)) return TAVO_FAIL(qualname);
  return peak_abs(velocity, qualname);
}

} // namespace tavo::measures
