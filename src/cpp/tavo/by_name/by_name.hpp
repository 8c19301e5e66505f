// The measures as their definitions state them, through the module's namespace:
// arrays made by `np.zeros` and handed back through `np.asarray`, the velocity
// from `integrate.cumulative_trapezoid`, window peaks from `get_PGA_cy`, each
// looked up at call time, so that whatever the namespace holds is called. The
// fused paths (measures/) give the same results while none of it is replaced.
#pragma once
#include <Python.h>

#include <cstdint>

#include "runtime/view.hpp"

namespace tavo::by_name {

using runtime::DoubleView;

// ---- the internal kernels (kernels.cpp); each failure adds an entry under its own name

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

/// np.zeros(count, dtype="float64"), bound as a writable view in `out`: the array
/// (new reference), or nullptr with an exception set (no traceback entry).
PyObject *new_result_array(Py_ssize_t count, DoubleView &out) noexcept;
/// np.asarray(view object over `out`); nullptr on failure (no traceback entry).
PyObject *as_result_array(const DoubleView &out) noexcept;
/// np.asarray(obj); nullptr on failure (no traceback entry).
PyObject *np_asarray(PyObject *obj) noexcept;

// ---- the measures' by-name halves (measures.cpp): the public functions' bodies
// call them when they cannot take the fused path; nullptr with an exception set.

/// max_cy(abs_cy(accel)); get_PGV_cy takes it over the velocity too.
PyObject *get_PGA_cy(const DoubleView &accel) noexcept;
/// The namespace's integrate.cumulative_trapezoid (new reference).
PyObject *cumulative_trapezoid() noexcept;
/// trapezoid(accel, dx=dt), trapezoid being cumulative_trapezoid(): the velocity (new reference).
PyObject *velocity(PyObject *trapezoid, const DoubleView &accel, double dt) noexcept;
PyObject *get_Ia_cy(const DoubleView &accel, double dt) noexcept;
PyObject *get_Ia_times_cy(const DoubleView &accel, double dt, const DoubleView &percentages) noexcept;
PyObject *get_CAV_cy(const DoubleView &accel, double dt) noexcept;
PyObject *get_CAVn_cy(const DoubleView &accel, double dt, double threshold) noexcept;
/// Silences the quiet windows through the namespace's get_PGA_cy, then the CAV of what remains.
PyObject *get_CAVstd_cy(const DoubleView &accel, double dt, std::int64_t window,
                        std::int64_t n_windows) noexcept;

} // namespace tavo::by_name
