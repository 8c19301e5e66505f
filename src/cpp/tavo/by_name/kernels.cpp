// The internal kernels of the by-name paths: result arrays are created with the
// namespace's np.zeros, written through a double view and returned through
// np.asarray. Each failure adds a traceback entry under the kernel's own name
// ("tavotools.tavo.abs_cy"): tests/test_measures.py::test_missing_np_is_a_name_error
// pins those labels.
#include <climits>

#include "kernels/vector.hpp"
#include "runtime/traceback.hpp"
#include "tavo/by_name/by_name.hpp"
#include "tavo/state.hpp"

namespace tavo::by_name {
namespace {

/// A Python float, or nullptr with a traceback entry under `label`.
PyObject *float_result(double value, const char *label) noexcept {
  PyObject *result = PyFloat_FromDouble(value);
  return result ? result : TAVO_FAIL(label);
}

/// The shared shape of the array kernels: create, fill, return through np.asarray.
template <class Fill>
PyObject *array_kernel(Py_ssize_t count, const char *label, Fill fill) noexcept {
  DoubleView out;
  Ref array = Ref::steal(new_result_array(count, out));
  // np.zeros is the namespace's: it may have resized the array the kernel reads.
  if (!array || !fill(out)) return TAVO_FAIL(label);
  PyObject *result = as_result_array(out);
  return result ? result : TAVO_FAIL(label);
}

} // namespace

PyObject *new_result_array(Py_ssize_t count, DoubleView &out) noexcept {
  Ref np = Ref::steal(lookup_global(names.np));
  if (!np) return nullptr;
  Ref zeros = Ref::steal(PyObject_GetAttr(np.get(), names.zeros));
  if (!zeros) return nullptr;
  Ref n = Ref::steal(PyLong_FromSsize_t(count));
  if (!n) return nullptr;
  PyObject *args[] = {nullptr, n.get(), names.float64};
  Ref array = Ref::steal(PyObject_Vectorcall(zeros.get(), args + 1,
                                             1 | PY_VECTORCALL_ARGUMENTS_OFFSET, state.kwnames_dtype));
  if (!array || !runtime::to_double_view(array.get(), out)) return nullptr;
  return array.release();
}

PyObject *np_asarray(PyObject *obj) noexcept {
  Ref np = Ref::steal(lookup_global(names.np));
  if (!np) return nullptr;
  Ref asarray = Ref::steal(PyObject_GetAttr(np.get(), names.asarray));
  if (!asarray) return nullptr;
  return PyObject_CallOneArg(asarray.get(), obj);
}

PyObject *as_result_array(const DoubleView &out) noexcept {
  Ref view = Ref::steal(runtime::view_object(out));
  return view ? np_asarray(view.get()) : nullptr;
}

PyObject *max_cy(const DoubleView &x) noexcept {
  return float_result(kernels::max(x.span()), "tavotools.tavo.max_cy");
}

PyObject *sum_cy(const DoubleView &x) noexcept {
  return float_result(kernels::sum(x.span()), "tavotools.tavo.sum_cy");
}

PyObject *abs_cy(const DoubleView &x) noexcept {
  return array_kernel(x.n, "tavotools.tavo.abs_cy", [&](const DoubleView &out) {
    if (!runtime::check_held(x)) return false;
    kernels::abs(x.span(), out.mut_span());
    return true;
  });
}

PyObject *cumsum_cy(const DoubleView &x) noexcept {
  return array_kernel(x.n, "tavotools.tavo.cumsum_cy", [&](const DoubleView &out) {
    if (!runtime::check_held(x)) return false;
    kernels::cumsum(x.span(), out.mut_span());
    return true;
  });
}

PyObject *pow_array(const DoubleView &x, double exponent) noexcept {
  return array_kernel(x.n, "tavotools.tavo.pow_array", [&](const DoubleView &out) {
    if (x.n > INT_MAX) {
      PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
      return false;
    }
    if (!runtime::check_held(x)) return false;
    kernels::pow(x.span(), exponent, out.mut_span());
    return true;
  });
}

PyObject *linspace_cy(double start, double stop, std::int32_t num) noexcept {
  constexpr const char *label = "tavotools.tavo.linspace_cy";
  DoubleView out;
  Ref array = Ref::steal(new_result_array(num, out));
  if (!array) return TAVO_FAIL(label);
  kernels::linspace(start, stop, num, out.mut_span());
  PyObject *view = runtime::view_object(out);
  return view ? view : TAVO_FAIL(label);
}

} // namespace tavo::by_name
