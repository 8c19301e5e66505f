// The extension module tavotools._spectra on the shared runtime: the checks,
// the functions over the response and rotation kernels, their rows, and start-up,
// which also exports the constants the kernels use (kernels/constants.hpp).
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL tavo_spectra_ARRAY_API
#include <numpy/arrayobject.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "kernels/constants.hpp"
#include "kernels/oscillator.hpp"
#include "kernels/rotd.hpp"
#include "runtime/array_owner.hpp"
#include "runtime/function.hpp"
#include "runtime/ref.hpp"
#include "runtime/traceback.hpp"
#include "spectra/arguments.hpp"

namespace tavo::spectra {
namespace {

using kernels::Span;
using kernels::Step;

// ---- checks ----------------------------------------------------------------------

/// repr() of a double, for messages; fixed storage, so it cannot throw.
struct Repr {
  char text[40];
  const char *c_str() const noexcept { return text; }
};

Repr repr(double x) noexcept {
  Repr r{"?"};
  char *text = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) {
    PyErr_Clear();  // the message being built replaces it
    return r;
  }
  PyOS_snprintf(r.text, sizeof r.text, "%s", text);
  PyMem_Free(text);
  return r;
}

bool check_dt(double dt) noexcept {
  if (std::isfinite(dt) && dt > 0.0) return true;
  PyErr_Format(PyExc_ValueError, "dt must be a positive, finite time step, not %s",
               repr(dt).c_str());
  return false;
}

bool check_damping(double zeta) noexcept {
  // ζ = 1 is critical damping, where the underdamped closed forms end.
  if (zeta >= 0.0 && zeta < 1.0) return true;
  PyErr_Format(PyExc_ValueError, "damping must be in [0, 1), not %s", repr(zeta).c_str());
  return false;
}

/// ω = 2π / T for a period that both the oscillator and its step h (dt in `substeps`
/// sub-steps) can represent; `index` < 0 names the single parameter `period`, else
/// periods[index].
bool check_period(double T, double dt, double h, long long substeps, std::int64_t index,
                  double &omega) noexcept {
  char name[40] = "period";
  if (index >= 0) PyOS_snprintf(name, sizeof name, "periods[%lld]", static_cast<long long>(index));
  if (!(std::isfinite(T) && T > 0.0)) {
    PyErr_Format(PyExc_ValueError, "%s must be positive and finite, not %s", name,
                 repr(T).c_str());
    return false;
  }
  omega = constants::two_pi / T;
  const double x = omega * h;
  // PSA = ω²·SD and the step divides by (ω·h)²: both must stay finite.
  if (!std::isfinite(omega * omega)) {
    PyErr_Format(PyExc_ValueError, "%s = %s s is too short for double precision", name,
                 repr(T).c_str());
    return false;
  }
  if (!std::isfinite(x * x)) {  // the period is fine: the step is what is out of range
    // The record's step, as the caller gave it, and the sub-step that is too long.
    char step[96];
    if (substeps > 1)
      PyOS_snprintf(step, sizeof step, "%s s (%lld sub-steps of %s s)", repr(dt).c_str(), substeps, repr(h).c_str());
    else
      PyOS_snprintf(step, sizeof step, "%s s", repr(dt).c_str());
    PyErr_Format(PyExc_ValueError, "a time step of %s is too long for %s = %s s in double precision", step, name,
                 repr(T).c_str());
    return false;
  }
  return true;
}

bool check_finite(Span accel, const char *name = "accel") noexcept {
  for (std::int64_t k = 0; k < accel.n; ++k) {
    if (!std::isfinite(kernels::at(accel, k))) {
      PyErr_Format(PyExc_ValueError, "%s holds a NaN or infinite sample at index %lld", name,
                   static_cast<long long>(k));
      return false;
    }
  }
  return true;
}

bool check_substeps(long long substeps) noexcept {
  // The bound keeps the weight table small; dt/10000 already samples every
  // oscillator finely.
  if (substeps >= 1 && substeps <= constants::max_substeps) return true;
  PyErr_Format(PyExc_ValueError, "substeps must be from 1 to %lld, not %lld",
               static_cast<long long>(constants::max_substeps), substeps);
  return false;
}

/// Checks an angle table: as many cosines as sines, at least one, each pair on
/// the unit circle (the kernel's skipping relies on c² + s² = 1).
bool check_angles(Span c, Span s) noexcept {
  if (c.n != s.n || c.n == 0 || c.n > kernels::max_angles) {
    PyErr_Format(PyExc_ValueError,
                 "cos and sin must hold one value per angle, 1 to %lld (%lld and %lld given)",
                 static_cast<long long>(kernels::max_angles), static_cast<long long>(c.n),
                 static_cast<long long>(s.n));
    return false;
  }
  for (std::int64_t a = 0; a < c.n; ++a) {
    const double r = kernels::at(c, a) * kernels::at(c, a) + kernels::at(s, a) * kernels::at(s, a);
    if (!(std::fabs(r - 1.0) <= 0x1p-45)) {
      PyErr_Format(PyExc_ValueError, "cos[%lld] and sin[%lld] are not a cosine and a sine",
                   static_cast<long long>(a), static_cast<long long>(a));
      return false;
    }
  }
  return true;
}

/// The first oscillator whose response left the range of doubles (its state or a
/// peak not finite: a peak past the largest double is no value), or -1. `values`
/// holds `per` peaks of each oscillator, rows of SD, then PSV, then PSA.
std::int64_t first_overflow(const bool *finite, const double *values, std::int64_t n_osc,
                            std::int64_t per) noexcept {
  for (std::int64_t m = 0; m < n_osc; ++m) {
    if (!finite[m]) return m;
    for (std::int64_t row = 0; row < 3; ++row)
      for (std::int64_t a = 0; a < per; ++a)
        if (!std::isfinite(values[(row * n_osc + m) * per + a])) return m;
  }
  return -1;
}

void overflow_error(Span periods, std::int64_t m) noexcept {
  PyErr_Format(PyExc_ValueError,
               "the response at periods[%lld] = %s s leaves the range of double precision: "
               "the accelerations are too large for this time step",
               static_cast<long long>(m), repr(kernels::at(periods, m)).c_str());
}

PyObject *new_array(std::int64_t n) noexcept {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  return PyArray_SimpleNew(1, dims, NPY_FLOAT64);
}

PyObject *new_array(std::int64_t rows, std::int64_t columns) noexcept {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)};
  return PyArray_SimpleNew(2, dims, NPY_FLOAT64);
}

double *data_of(const Ref &array) noexcept {
  return static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get())));
}

// ---- functions ------------------------------------------------------------------

struct Free {
  void operator()(void *p) const noexcept { std::free(p); }
};

/// Uninitialised room for n objects of T, or null when n is too large or memory short.
/// malloc, not new: no C++ exception exists to escape, whatever n a caller passes.
/// Room for one at least: malloc(0) may return null (the C standard allows it), which
/// would read as memory short for a call with no periods.
template <class T> std::unique_ptr<T[], Free> allocate(std::int64_t n) noexcept {
  if (n < 0 || static_cast<std::uint64_t>(n) > PTRDIFF_MAX / sizeof(T)) return nullptr;
  const std::size_t count = n > 0 ? static_cast<std::size_t>(n) : 1;
  return std::unique_ptr<T[], Free>(static_cast<T *>(std::malloc(count * sizeof(T))));
}

/// The oscillators of one call: ω and the step of each period, and the
/// interpolation weights of the substeps.
struct Oscillators {
  std::unique_ptr<Step[], Free> steps;
  std::unique_ptr<double[], Free> omega;
  std::unique_ptr<double[], Free> weights;
  std::unique_ptr<bool[], Free> finite;  // per oscillator: its response stayed finite

  /// False with an exception set: a bad period, or (however absurd the count, a
  /// zero-stride view of 2**58) MemoryError when the arrays cannot be held.
  bool prepare(Span periods, double dt, double h, long long substeps) noexcept {
    steps = allocate<Step>(periods.n);
    omega = allocate<double>(periods.n);
    weights = allocate<double>(2 * substeps + 2);
    finite = allocate<bool>(periods.n);
    if (!steps || !omega || !weights || !finite) {
      PyErr_Format(PyExc_MemoryError, "cannot allocate the response of %lld periods",
                   static_cast<long long>(periods.n));
      return false;
    }
    for (std::int64_t m = 0; m < periods.n; ++m)
      if (!check_period(kernels::at(periods, m), dt, h, substeps, m, omega[m])) return false;
    return true;
  }

  /// The steps and weights; runs without the interpreter lock.
  void compute(std::int64_t n_osc, double h, double zeta, long long substeps) noexcept {
    for (std::int64_t m = 0; m < n_osc; ++m) steps[m] = kernels::exact_step(omega[m], h, zeta);
    kernels::substep_weights(substeps, weights.get());
  }
};

/// (SD, PSV, PSA) as three new float64 arrays; nullptr with an exception set.
PyObject *response_peaks(const Doubles &accel_arg, Real dt_arg, const Doubles &periods_arg,
                         Real damping, Count substeps_arg) noexcept {
  const Span accel = accel_arg.span, periods = periods_arg.span;
  const double dt = dt_arg.value, zeta = damping.value;
  const long long substeps = substeps_arg.value;
  if (accel.n == 0) {
    PyErr_SetString(PyExc_ValueError, "accel is empty: a record needs at least one sample");
    return TAVO_FAIL_HERE();
  }
  if (periods.n == 0) {
    PyErr_SetString(PyExc_ValueError, "periods is empty: give at least one period");
    return TAVO_FAIL_HERE();
  }
  if (!check_finite(accel) || !check_dt(dt) || !check_damping(zeta)) return TAVO_FAIL_HERE();
  if (!check_substeps(substeps)) return TAVO_FAIL_HERE();
  const double h = dt / static_cast<double>(substeps);
  Oscillators osc;
  if (!osc.prepare(periods, dt, h, substeps)) return TAVO_FAIL_HERE();
  Ref SD = Ref::steal(new_array(periods.n));
  if (!SD) return TAVO_FAIL_HERE();
  Ref PSV = Ref::steal(new_array(periods.n));
  if (!PSV) return TAVO_FAIL_HERE();
  Ref PSA = Ref::steal(new_array(periods.n));
  if (!PSA) return TAVO_FAIL_HERE();
  double *sd = data_of(SD), *psv = data_of(PSV), *psa = data_of(PSA);
  std::int64_t overflow = -1;
  // Nothing below touches a Python object: the buffers stay held, the
  // arrays are still ours alone.
  Py_BEGIN_ALLOW_THREADS
  osc.compute(periods.n, h, zeta, substeps);
  kernels::peak_response(accel, osc.steps.get(), periods.n, substeps, osc.weights.get(), sd,
                         osc.finite.get());
  for (std::int64_t m = 0; m < periods.n; ++m) {
    psv[m] = osc.omega[m] * sd[m];
    psa[m] = osc.omega[m] * osc.omega[m] * sd[m];  // (ω·ω)·SD
  }
  // SD, PSV and PSA are three arrays: checked one oscillator at a time.
  for (std::int64_t m = 0; m < periods.n && overflow < 0; ++m)
    if (!osc.finite[m] || !std::isfinite(sd[m]) || !std::isfinite(psv[m]) || !std::isfinite(psa[m]))
      overflow = m;
  Py_END_ALLOW_THREADS
  if (overflow >= 0) {
    overflow_error(periods, overflow);
    return TAVO_FAIL_HERE();
  }
  return PyTuple_Pack(3, SD.get(), PSV.get(), PSA.get());
}

/// ((A11, A12, A21, A22), (B1, B2), (C1, C2)) of one step; nullptr with an exception set.
PyObject *recurrence_coefficients(Real dt, Real period, Real damping) noexcept {
  double omega = 0.0;
  if (!check_dt(dt.value) || !check_damping(damping.value) ||
      !check_period(period.value, dt.value, dt.value, 1, -1, omega))
    return TAVO_FAIL_HERE();
  const Step s = kernels::exact_step(omega, dt.value, damping.value);
  return Py_BuildValue("((dddd)(dd)(dd))", s.a11, s.a12, s.a21, s.a22, s.b1, s.b2, s.c1, s.c2);
}

/// The peaks over the angles of the table as one new array of 2 + 3·periods rows:
/// PGA, PGV, then SD, PSV and PSA of each period; nullptr with an exception set.
PyObject *rotated_peaks(const Doubles &accel1, const Doubles &accel2, Real dt_arg,
                        const Doubles &periods_arg, Real damping, Count substeps_arg,
                        const Doubles &cos, const Doubles &sin) noexcept {
  const Span a1 = accel1.span, a2 = accel2.span, periods = periods_arg.span;
  const double dt = dt_arg.value, zeta = damping.value;
  const long long substeps = substeps_arg.value;
  const std::int64_t n_angles = cos.span.n;
  if (a1.n != a2.n || a1.n == 0) {
    PyErr_Format(PyExc_ValueError,
                 "accel1 and accel2 must hold the same number of samples, at least one "
                 "(%lld and %lld given)",
                 static_cast<long long>(a1.n), static_cast<long long>(a2.n));
    return TAVO_FAIL_HERE();
  }
  if (!check_finite(a1, "accel1") || !check_finite(a2, "accel2") || !check_dt(dt) ||
      !check_damping(zeta) || !check_angles(cos.span, sin.span) || !check_substeps(substeps))
    return TAVO_FAIL_HERE();
  const double h = dt / static_cast<double>(substeps);
  // The kernels read the angle table contiguously.
  const auto cosines = allocate<double>(n_angles), sines = allocate<double>(n_angles);
  if (!cosines || !sines) {
    PyErr_Format(PyExc_MemoryError, "cannot allocate a table of %lld angles",
                 static_cast<long long>(n_angles));
    return TAVO_FAIL_HERE();
  }
  for (std::int64_t a = 0; a < n_angles; ++a) {
    cosines[a] = kernels::at(cos.span, a);
    sines[a] = kernels::at(sin.span, a);
  }
  const kernels::Angles angles{cosines.get(), sines.get(), n_angles};
  Oscillators osc;
  if (!osc.prepare(periods, dt, h, substeps)) return TAVO_FAIL_HERE();
  const auto work = allocate<double>(kernels::rotated_response_work(a1.n, substeps));
  if (!work) {
    PyErr_SetString(PyExc_MemoryError, "cannot allocate the room of a rotated response");
    return TAVO_FAIL_HERE();
  }
  // One block: the rows PGA, PGV, then SD, PSV and PSA of each period.
  Ref peaks = Ref::steal(new_array(2 + 3 * periods.n, n_angles));
  if (!peaks) return TAVO_FAIL_HERE();
  double *pga = data_of(peaks), *pgv = pga + n_angles;
  double *sd = pgv + n_angles, *psv = sd + periods.n * n_angles, *psa = psv + periods.n * n_angles;
  bool velocity_finite = true;
  bool motion_finite = true;
  std::int64_t overflow = -1;
  // Nothing below touches a Python object: the buffers stay held, the
  // array is still ours alone.
  Py_BEGIN_ALLOW_THREADS
  kernels::rotated_motion_peaks(a1, a2, dt, angles, pga, pgv, &velocity_finite);
  for (std::int64_t a = 0; a < n_angles; ++a)
    motion_finite = motion_finite && std::isfinite(pga[a]) && std::isfinite(pgv[a]);
  osc.compute(periods.n, h, zeta, substeps);
  kernels::rotated_response_peaks(a1, a2, osc.steps.get(), periods.n, substeps, osc.weights.get(),
                                  angles, sd, work.get(), osc.finite.get());
  for (std::int64_t m = 0; m < periods.n; ++m) {
    for (std::int64_t a = 0; a < n_angles; ++a) {
      const std::int64_t i = m * n_angles + a;
      // As response_peaks: PSV = ω·SD, PSA = (ω·ω)·SD.
      psv[i] = osc.omega[m] * sd[i];
      psa[i] = osc.omega[m] * osc.omega[m] * sd[i];
    }
  }
  overflow = first_overflow(osc.finite.get(), sd, periods.n, n_angles);
  Py_END_ALLOW_THREADS
  // A peak skips NaN values: without these checks an overflowed series would
  // give the peaks of its finite instants alone, or 0.
  if (!velocity_finite || !motion_finite) {
    PyErr_SetString(PyExc_ValueError,
                    "the rotated accelerations or velocities leave the range of double precision: "
                    "the accelerations are too large for this time step");
    return TAVO_FAIL_HERE();
  }
  if (overflow >= 0) {
    overflow_error(periods, overflow);
    return TAVO_FAIL_HERE();
  }
  return peaks.release();
}

// ---- module ----------------------------------------------------------------------

using runtime::define;
using runtime::optional;
using runtime::required;

runtime::ModuleInfo module_info{"tavotools._spectra", &runtime::getargs_messages};

constexpr double default_damping = 0.05;

const runtime::FunctionDef functions[] = {
    define<response_peaks>(
        "response_peaks", module_info,
        "Peak response of linear oscillators at rest to the base acceleration `accel`.\n\n"
        "accel: acceleration samples (float64) at time step `dt` (s), linear between samples.\n"
        "periods: oscillator periods in s (float64). damping: ratio in [0, 1).\n"
        "substeps (1 to 10000): the response is also sampled at substeps - 1 evenly\n"
        "spaced instants between two samples (the excitation is the same).\n\n"
        "Returns (SD, PSV, PSA): peak |relative displacement| in accel units times s**2\n"
        "(m for m/s**2), PSV = omega * SD, PSA = omega**2 * SD, omega = 2 pi / T.\n"
        "Raises ValueError for an empty or non-finite record, dt <= 0, periods <= 0,\n"
        "damping outside [0, 1) and a response past the range of doubles; MemoryError\n"
        "when the periods are too many to hold.",
        required("accel"), required("dt"), required("periods"), optional("damping", default_damping),
        optional("substeps", 1)),
    define<recurrence_coefficients>(
        "recurrence_coefficients", module_info,
        "The exact step [u, v](t + dt) = A [u, v](t) + B a(t) + C a(t + dt) of\n"
        "u'' + 2 zeta omega u' + omega**2 u = -a with a linear over the step.\n\n"
        "Returns ((A11, A12, A21, A22), (B1, B2), (C1, C2)).",
        required("dt"), required("period"), optional("damping", default_damping)),
    define<rotated_peaks>(
        "rotated_peaks", module_info,
        "Peaks over rotation angles of two components of one record.\n\n"
        "For each angle of the table (cos, sin), the series accel1 * cos + accel2 * sin:\n"
        "its peak |acceleration|, its peak |velocity| (trapezoid rule from rest, as\n"
        "scipy.integrate.cumulative_trapezoid), and the peak response of the oscillators at\n"
        "`periods` (s), computed once per component and rotated (the response is linear).\n\n"
        "Returns one float64 array, a column per angle and 2 + 3 * len(periods) rows:\n"
        "PGA, PGV, then SD, PSV and PSA of each period (as response_peaks gives them).\n"
        "Raises ValueError for components of different lengths, empty or non-finite\n"
        "records, dt <= 0, periods <= 0, damping outside [0, 1), a table off the unit circle\n"
        "or rotated values past the range of doubles.",
        required("accel1"), required("accel2"), required("dt"), required("periods"),
        required("damping"), required("substeps"), required("cos"), required("sin")),
};

/// The module attributes that tell the kernels' constants to the Python package
/// (tests/test_constants.py checks them against tavotools.constants).
bool add_constants(PyObject *module) noexcept {
  const struct {
    const char *name;
    double value;
  } reals[] = {
      {"G", constants::gravity},
      {"PI", constants::pi},
      {"CAVSTD_QUIET", constants::CAVstd_quiet},
      {"PSA_CUTOFF", constants::PSA_cutoff},
      {"CAVSTD_CUTOFF", constants::CAVstd_cutoff},
      {"PSV_CUTOFF", constants::PSV_cutoff},
  };
  for (const auto &c : reals) {
    Ref value = Ref::steal(PyFloat_FromDouble(c.value));
    if (!value || PyModule_AddObjectRef(module, c.name, value.get()) < 0) return false;
  }
  return PyModule_AddIntConstant(module, "MAX_SUBSTEPS", static_cast<long>(constants::max_substeps)) == 0;
}

int spectra_exec(PyObject *module) noexcept {
  // NumPy's table of C functions, for the result arrays.
  if (_import_array() < 0) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    return -1;
  }
  // Arrays whose buffers a call holds stay where they are while it runs.
  runtime::set_memory_owner(runtime::numpy_memory_owner);
  PyObject *globals = PyModule_GetDict(module);  // borrowed
  if (globals == nullptr || !runtime::init_function_type(module_info) ||
      !runtime::bind_functions(globals, functions, std::size(functions)) || !add_constants(module))
    return -1;
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(spectra_exec)},
    // NumPy itself runs in the main interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef spectra_module = {
    PyModuleDef_HEAD_INIT,
    "_spectra",
    "Elastic response spectra: peak relative displacement, pseudo-spectral velocity and\n"
    "acceleration of linear single-degree-of-freedom oscillators by the exact\n"
    "piecewise-linear recurrence.\n",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace tavo::spectra

PyMODINIT_FUNC PyInit__spectra(void) { return PyModuleDef_Init(&tavo::spectra::spectra_module); }
