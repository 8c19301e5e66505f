// The vector kernels as the measures call them: typed views in, a Python float
// or a new float64 array out, each failure traced under the kernel's name.
#pragma once
#include <Python.h>

#include <cstdint>

#include "kernels/vector.hpp"
#include "runtime/view.hpp"

namespace tavo::measures {

using runtime::DoubleView;

inline kernels::Span span(const DoubleView &v) noexcept { return {v.data, v.n, v.stride}; }
inline kernels::MutSpan mut_span(const DoubleView &v) noexcept { return {v.data, v.n, v.stride}; }

/// Largest element, starting from -999.0 (float).
PyObject *max_cy(const DoubleView &x) noexcept;
/// Left-to-right sum from +0.0 (float).
PyObject *sum_cy(const DoubleView &x) noexcept;
/// New float64 array of the absolute values, returned through np.asarray.
PyObject *abs_cy(const DoubleView &x) noexcept;
/// New float64 array of the running sums, returned through np.asarray.
PyObject *cumsum_cy(const DoubleView &x) noexcept;
/// New float64 array of pow(x[i], exponent); OverflowError past 2**31 - 1 elements.
PyObject *pow_array(const DoubleView &x, double exponent) noexcept;
/// View object over a new float64 array of num values i * step + start.
PyObject *linspace_cy(double start, double stop, std::int32_t num) noexcept;

/// np.zeros(count, dtype="float64"), looked up at call time, bound as a writable view in `out`.
/// Returns the array (new reference), or nullptr with an exception set (no traceback entry).
PyObject *new_result_array(Py_ssize_t count, DoubleView &out) noexcept;
/// np.asarray(view object over `out`), looked up at call time; nullptr on failure (no traceback entry).
PyObject *as_result_array(const DoubleView &out) noexcept;
/// np.asarray(obj), looked up at call time; nullptr on failure (no traceback entry).
PyObject *np_asarray(PyObject *obj) noexcept;
/// A Python float, or nullptr with a traceback entry under `qualname`.
PyObject *float_result(double value, const char *qualname) noexcept;

} // namespace tavo::measures
