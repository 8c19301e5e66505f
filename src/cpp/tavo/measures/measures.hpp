// The bodies of the eight public functions: typed arguments in, a Python result
// out (new reference), or nullptr with an exception set (the entry point adds
// the traceback entry). Each body takes the fused path (kernels only) while the
// namespace holds what it bound at start-up, else the by-name path (by_name/).
#pragma once
#include <Python.h>

#include <cstdint>

#include "runtime/view.hpp"

namespace tavo::measures {

using runtime::DoubleView;

/// Peak absolute acceleration (float); -999.0 when no sample counts.
PyObject *get_PGA_cy(const DoubleView &accel) noexcept;
/// Peak absolute velocity of integrate.cumulative_trapezoid(accel, dx=dt) (float).
PyObject *get_PGV_cy(const DoubleView &accel, double dt) noexcept;
/// (total Arias intensity, cumulative Arias intensity array).
PyObject *get_Ia_cy(const DoubleView &accel, double dt) noexcept;
/// Times at which the cumulative Arias intensity first exceeds each fraction of the total.
PyObject *get_Ia_times_cy(const DoubleView &accel, double dt, const DoubleView &percentages) noexcept;
/// Cumulative absolute velocity: sum of |a| times dt (float).
PyObject *get_CAV_cy(const DoubleView &accel, double dt) noexcept;
/// CAV counting only samples with |a| >= threshold (float).
PyObject *get_CAVn_cy(const DoubleView &accel, double dt, double threshold) noexcept;
/// Standardized CAV; silences the quiet one-second windows of `accel` in place (float).
PyObject *get_CAVstd_cy(const DoubleView &accel, double dt) noexcept;
/// Damage-potential CAV: CAVstd_gm as a float when the criteria hold, else the int 0.
PyObject *get_CAVdp_cy(double CAVstd_gm, double max_CAVstd, double max_PSA, double max_PSV,
                       std::int32_t PSV_check) noexcept;

} // namespace tavo::measures
