// Python-level vector kernels: result arrays are created with the namespace's
// np.zeros, written through a double view and returned through np.asarray.
#include "tavo/measures/vector.hpp"

#include <climits>

#include "runtime/traceback.hpp"
#include "tavo/state.hpp"

namespace tavo::measures {

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

PyObject *float_result(double value, const char *qualname) noexcept {
  PyObject *result = PyFloat_FromDouble(value);
  return result ? result : TAVO_FAIL(qualname);
}

PyObject *max_cy(const DoubleView &x) noexcept {
  return float_result(kernels::max(span(x)), "tavotools.tavo.max_cy");
}

PyObject *sum_cy(const DoubleView &x) noexcept {
  return float_result(kernels::sum(span(x)), "tavotools.tavo.sum_cy");
}

namespace {

/// The shared shape of the array kernels: create, fill, return through np.asarray.
template <class Fill>
PyObject *array_kernel(Py_ssize_t count, const char *qualname, Fill fill) noexcept {
  DoubleView out;
  Ref array = Ref::steal(new_result_array(count, out));
  if (!array) return TAVO_FAIL(qualname);
  if (!fill(out)) return TAVO_FAIL(qualname);
  PyObject *result = as_result_array(out);
  return result ? result : TAVO_FAIL(qualname);
}

} // namespace

PyObject *abs_cy(const DoubleView &x) noexcept {
  return array_kernel(x.n, "tavotools.tavo.abs_cy", [&](const DoubleView &out) {
    kernels::abs(span(x), mut_span(out));
    return true;
  });
}

PyObject *cumsum_cy(const DoubleView &x) noexcept {
  return array_kernel(x.n, "tavotools.tavo.cumsum_cy", [&](const DoubleView &out) {
    kernels::cumsum(span(x), mut_span(out));
    return true;
  });
}

PyObject *pow_array(const DoubleView &x, double exponent) noexcept {
  return array_kernel(x.n, "tavotools.tavo.pow_array", [&](const DoubleView &out) {
    if (x.n > INT_MAX) {
      PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
      return false;
    }
    kernels::pow(span(x), exponent, mut_span(out));
    return true;
  });
}

PyObject *linspace_cy(double start, double stop, std::int32_t num) noexcept {
  DoubleView out;
  Ref array = Ref::steal(new_result_array(num, out));
  if (!array) return TAVO_FAIL("tavotools.tavo.linspace_cy");
  kernels::linspace(start, stop, num, mut_span(out));
  PyObject *view = runtime::view_object(out);
  return view ? view : TAVO_FAIL("tavotools.tavo.linspace_cy");
}

} // namespace tavo::measures
