// The extension module tavotools._spectra: multi-phase start-up, argument
// binding and checks, and the entry points over the response and rotation kernels.
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL tavo_spectra_ARRAY_API
#include <numpy/arrayobject.h>

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "runtime/ref.hpp"
#include "kernels/constants.hpp"
#include "kernels/oscillator.hpp"
#include "kernels/rotd.hpp"

namespace tavo::spectra {
namespace {

using kernels::Span;
using kernels::Step;

// ---- argument binding --------------------------------------------------------

constexpr int max_params = 8;

struct Signature {
  const char *name;  // "response_peaks", as the messages show it
  int n_params;
  int n_required;
  const char *params[max_params];
};

/// Places positional then keyword arguments into `slots` (borrowed, nullptr
/// where omitted); false with TypeError set on a count or keyword mistake.
bool bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
          PyObject **slots) noexcept {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (nargs > sig.n_params) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes at most %d positional argument%s (%zd given)",
                 sig.name, sig.n_params, sig.n_params == 1 ? "" : "s", nargs);
    return false;
  }
  for (int i = 0; i < sig.n_params; ++i) slots[i] = i < nargs ? args[i] : nullptr;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    int found = -1;
    for (int i = 0; i < sig.n_params && found < 0; ++i)
      if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) found = i;
    if (found < 0) {
      PyErr_Format(PyExc_TypeError, "'%S' is an invalid keyword argument for %.200s()", key,
                   sig.name);
      return false;
    }
    if (slots[found] != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %.200s() given by name ('%s') and position (%d)",
                   sig.name, sig.params[found], found + 1);
      return false;
    }
    slots[found] = args[nargs + k];
  }
  for (int i = 0; i < sig.n_required; ++i) {
    if (slots[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %d)", sig.name,
                   sig.params[i], i + 1);
      return false;
    }
  }
  return true;
}

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

/// Converts a real number; TypeError naming the parameter otherwise.
bool to_double(PyObject *obj, const char *name, double &out) noexcept {
  out = PyFloat_AsDouble(obj);
  if (out == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be a real number, not %.200s", name,
                   Py_TYPE(obj)->tp_name);
    }
    return false;
  }
  return true;
}

/// Converts an integer (an object with __index__; a float is refused).
bool to_int64(PyObject *obj, const char *name, long long &out) noexcept {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be an integer, not %.200s", name,
                   Py_TYPE(obj)->tp_name);
    }
    return false;
  }
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (overflow != 0) {
    PyErr_Format(PyExc_OverflowError, "%s is out of range", name);
    return false;
  }
  return !(out == -1 && PyErr_Occurred());
}

/// A held one-dimensional float64 buffer, released by the destructor (under
/// the interpreter lock: the owner leaves scope after the lock is retaken).
class Buffer {
  Py_buffer view_{};
  bool held_ = false;

public:
  Buffer() = default;
  Buffer(const Buffer &) = delete;
  Buffer &operator=(const Buffer &) = delete;
  ~Buffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  /// False with TypeError or ValueError set when `obj` is no 1-D float64 buffer.
  bool acquire(PyObject *obj, const char *name) noexcept {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "%s must be a one-dimensional float64 array (a buffer of doubles), not %.200s",
                   name, Py_TYPE(obj)->tp_name);
      return false;
    }
    held_ = true;
    const char *f = view_.format == nullptr ? "B" : view_.format;
    // Native doubles only: "d", "@d", "=d", or "<d" on this little-endian build.
    const bool native = std::strcmp(f, "d") == 0 || std::strcmp(f, "@d") == 0 ||
                        std::strcmp(f, "=d") == 0 ||
                        (std::strcmp(f, "<d") == 0 && PY_LITTLE_ENDIAN);
    if (!native || view_.itemsize != 8) {
      PyErr_Format(PyExc_TypeError, "%s must hold float64 samples, not buffer format '%s'", name,
                   f);
      return false;
    }
    if (view_.ndim != 1) {
      PyErr_Format(PyExc_ValueError, "%s must be one-dimensional, not %d-dimensional", name,
                   view_.ndim);
      return false;
    }
    return true;
  }

  Span samples() const noexcept {
    return Span{static_cast<const char *>(view_.buf), static_cast<std::int64_t>(view_.shape[0]),
                   static_cast<std::int64_t>(view_.strides[0])};
  }
};

// ---- checks ----------------------------------------------------------------------

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

/// ω = 2π / T for a period that both the oscillator and its step can represent;
/// `index` < 0 names the single parameter `period`, else periods[index].
bool check_period(double T, double h, std::int64_t index, double &omega) noexcept {
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
  if (!(std::isfinite(omega * omega) && std::isfinite(x * x))) {
    PyErr_Format(PyExc_ValueError, "%s = %s s is too short for double precision", name,
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

// ---- entry points --------------------------------------------------------------

constexpr Signature sig_peaks{
    "response_peaks", 5, 3, {"accel", "dt", "periods", "damping", "substeps"}};

/// (SD, PSV, PSA) as three new float64 arrays; nullptr with an exception set.
PyObject *response_peaks(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                         PyObject *kwnames) noexcept {
  PyObject *slot[max_params];
  if (!bind(sig_peaks, args, nargsf, kwnames, slot)) return nullptr;
  Buffer accel_buf, period_buf;
  double dt = 0.0, zeta = 0.05;
  long long substeps = 1;
  if (!accel_buf.acquire(slot[0], "accel") || !to_double(slot[1], "dt", dt) ||
      !period_buf.acquire(slot[2], "periods") ||
      (slot[3] != nullptr && !to_double(slot[3], "damping", zeta)) ||
      (slot[4] != nullptr && !to_int64(slot[4], "substeps", substeps)))
    return nullptr;
  const Span accel = accel_buf.samples();
  const Span periods = period_buf.samples();
  if (accel.n == 0) {
    PyErr_SetString(PyExc_ValueError, "accel is empty: a record needs at least one sample");
    return nullptr;
  }
  if (periods.n == 0) {
    PyErr_SetString(PyExc_ValueError, "periods is empty: give at least one period");
    return nullptr;
  }
  if (!check_finite(accel) || !check_dt(dt) || !check_damping(zeta)) return nullptr;
  if (!check_substeps(substeps)) return nullptr;
  const double h = dt / static_cast<double>(substeps);
  try {
    std::vector<Step> steps(static_cast<std::size_t>(periods.n));
    std::vector<double> omega(static_cast<std::size_t>(periods.n));
    std::vector<double> weights(2 * static_cast<std::size_t>(substeps) + 2);
    for (std::int64_t m = 0; m < periods.n; ++m)
      if (!check_period(kernels::at(periods, m), h, m, omega[m])) return nullptr;
    Ref SD = Ref::steal(new_array(periods.n));
    if (!SD) return nullptr;
    Ref PSV = Ref::steal(new_array(periods.n));
    if (!PSV) return nullptr;
    Ref PSA = Ref::steal(new_array(periods.n));
    if (!PSA) return nullptr;
    double *sd = data_of(SD), *psv = data_of(PSV), *psa = data_of(PSA);
    // Nothing below touches a Python object: the buffers stay held, the
    // arrays are still ours alone.
    Py_BEGIN_ALLOW_THREADS
    for (std::int64_t m = 0; m < periods.n; ++m) steps[m] = kernels::exact_step(omega[m], h, zeta);
    kernels::substep_weights(substeps, weights.data());
    kernels::peak_response(accel, steps.data(), periods.n, substeps, weights.data(), sd);
    for (std::int64_t m = 0; m < periods.n; ++m) {
      psv[m] = omega[m] * sd[m];
      psa[m] = omega[m] * omega[m] * sd[m];  // (ω·ω)·SD
    }
    Py_END_ALLOW_THREADS
    return PyTuple_Pack(3, SD.get(), PSV.get(), PSA.get());
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
}

constexpr Signature sig_coefficients{"recurrence_coefficients", 3, 2, {"dt", "period", "damping"}};

/// ((A11, A12, A21, A22), (B1, B2), (C1, C2)) of one step; nullptr with an exception set.
PyObject *recurrence_coefficients(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                                  PyObject *kwnames) noexcept {
  PyObject *slot[max_params];
  if (!bind(sig_coefficients, args, nargsf, kwnames, slot)) return nullptr;
  double dt = 0.0, T = 0.0, zeta = 0.05, omega = 0.0;
  if (!to_double(slot[0], "dt", dt) || !to_double(slot[1], "period", T) ||
      (slot[2] != nullptr && !to_double(slot[2], "damping", zeta)))
    return nullptr;
  if (!check_dt(dt) || !check_damping(zeta) || !check_period(T, dt, -1, omega)) return nullptr;
  const Step s = kernels::exact_step(omega, dt, zeta);
  return Py_BuildValue("((dddd)(dd)(dd))", s.a11, s.a12, s.a21, s.a22, s.b1, s.b2, s.c1, s.c2);
}

constexpr Signature sig_rotated{"rotated_peaks",
                                8,
                                8,
                                {"accel1", "accel2", "dt", "periods", "damping", "substeps",
                                 "cos", "sin"}};

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

/// The peaks over the angles of the table as one new array of 2 + 3·periods rows:
/// PGA, PGV, then SD, PSV and PSA of each period; nullptr with an exception set.
PyObject *rotated_peaks(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                        PyObject *kwnames) noexcept {
  PyObject *slot[max_params];
  if (!bind(sig_rotated, args, nargsf, kwnames, slot)) return nullptr;
  Buffer buf1, buf2, period_buf, cos_buf, sin_buf;
  double dt = 0.0, zeta = 0.05;
  long long substeps = 1;
  if (!buf1.acquire(slot[0], "accel1") || !buf2.acquire(slot[1], "accel2") ||
      !to_double(slot[2], "dt", dt) || !period_buf.acquire(slot[3], "periods") ||
      !to_double(slot[4], "damping", zeta) || !to_int64(slot[5], "substeps", substeps) ||
      !cos_buf.acquire(slot[6], "cos") || !sin_buf.acquire(slot[7], "sin"))
    return nullptr;
  const Span a1 = buf1.samples(), a2 = buf2.samples(), periods = period_buf.samples();
  const std::int64_t n_angles = cos_buf.samples().n;
  if (a1.n != a2.n || a1.n == 0) {
    PyErr_Format(PyExc_ValueError,
                 "accel1 and accel2 must hold the same number of samples, at least one "
                 "(%lld and %lld given)",
                 static_cast<long long>(a1.n), static_cast<long long>(a2.n));
    return nullptr;
  }
  if (!check_finite(a1, "accel1") || !check_finite(a2, "accel2") || !check_dt(dt) ||
      !check_damping(zeta) || !check_angles(cos_buf.samples(), sin_buf.samples()))
    return nullptr;
  if (!check_substeps(substeps)) return nullptr;
  const double h = dt / static_cast<double>(substeps);
  try {
    // The kernels read the angle table contiguously.
    std::vector<double> cosines(static_cast<std::size_t>(n_angles));
    std::vector<double> sines(static_cast<std::size_t>(n_angles));
    for (std::int64_t a = 0; a < n_angles; ++a) {
      cosines[a] = kernels::at(cos_buf.samples(), a);
      sines[a] = kernels::at(sin_buf.samples(), a);
    }
    const kernels::Angles angles{cosines.data(), sines.data(), n_angles};
    std::vector<Step> steps(static_cast<std::size_t>(periods.n));
    std::vector<double> omega(static_cast<std::size_t>(periods.n));
    std::vector<double> weights(2 * static_cast<std::size_t>(substeps) + 2);
    for (std::int64_t m = 0; m < periods.n; ++m)
      if (!check_period(kernels::at(periods, m), h, m, omega[m])) return nullptr;
    // One block: the rows PGA, PGV, then SD, PSV and PSA of each period.
    Ref peaks = Ref::steal(new_array(2 + 3 * periods.n, n_angles));
    if (!peaks) return nullptr;
    double *pga = data_of(peaks), *pgv = pga + n_angles;
    double *sd = pgv + n_angles, *psv = sd + periods.n * n_angles, *psa = psv + periods.n * n_angles;
    // Nothing below touches a Python object: the buffers stay held, the
    // array is still ours alone.
    Py_BEGIN_ALLOW_THREADS
    kernels::rotated_motion_peaks(a1, a2, dt, angles, pga, pgv);
    for (std::int64_t m = 0; m < periods.n; ++m) steps[m] = kernels::exact_step(omega[m], h, zeta);
    kernels::substep_weights(substeps, weights.data());
    kernels::rotated_response_peaks(a1, a2, steps.data(), periods.n, substeps, weights.data(), angles, sd);
    for (std::int64_t m = 0; m < periods.n; ++m) {
      for (std::int64_t a = 0; a < n_angles; ++a) {
        const std::int64_t i = m * n_angles + a;
        // As response_peaks: PSV = ω·SD, PSA = (ω·ω)·SD.
        psv[i] = omega[m] * sd[i];
        psa[i] = omega[m] * omega[m] * sd[i];
      }
    }
    Py_END_ALLOW_THREADS
    return peaks.release();
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
}

// ---- module ----------------------------------------------------------------------

PyMethodDef methods[] = {
    {"response_peaks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(response_peaks)),
     METH_FASTCALL | METH_KEYWORDS,
     "response_peaks($module, /, accel, dt, periods, damping=0.05, substeps=1)\n--\n\n"
     "Peak response of linear oscillators at rest to the base acceleration `accel`.\n\n"
     "accel: acceleration samples (float64) at time step `dt` (s), linear between samples.\n"
     "periods: oscillator periods in s (float64). damping: ratio in [0, 1).\n"
     "substeps (1 to 10000): the response is also sampled at substeps - 1 evenly\n"
     "spaced instants between two samples (the excitation is the same).\n\n"
     "Returns (SD, PSV, PSA): peak |relative displacement| in accel units times s**2\n"
     "(m for m/s**2), PSV = omega * SD, PSA = omega**2 * SD, omega = 2 pi / T.\n"
     "Raises ValueError for an empty or non-finite record, dt <= 0, periods <= 0\n"
     "and damping outside [0, 1)."},
    {"recurrence_coefficients",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(recurrence_coefficients)),
     METH_FASTCALL | METH_KEYWORDS,
     "recurrence_coefficients($module, /, dt, period, damping=0.05)\n--\n\n"
     "The exact step [u, v](t + dt) = A [u, v](t) + B a(t) + C a(t + dt) of\n"
     "u'' + 2 zeta omega u' + omega**2 u = -a with a linear over the step.\n\n"
     "Returns ((A11, A12, A21, A22), (B1, B2), (C1, C2))."},
    {"rotated_peaks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rotated_peaks)),
     METH_FASTCALL | METH_KEYWORDS,
     "rotated_peaks($module, /, accel1, accel2, dt, periods, damping, substeps, cos, sin)\n--\n\n"
     "Peaks over rotation angles of two components of one record.\n\n"
     "For each angle of the table (cos, sin), the series accel1 * cos + accel2 * sin:\n"
     "its peak |acceleration|, its peak |velocity| (trapezoid rule from rest, as\n"
     "scipy.integrate.cumulative_trapezoid), and the peak response of the oscillators at\n"
     "`periods` (s), computed once per component and rotated (the response is linear).\n\n"
     "Returns one float64 array, a column per angle and 2 + 3 * len(periods) rows:\n"
     "PGA, PGV, then SD, PSV and PSA of each period (as response_peaks gives them).\n"
     "Raises ValueError for components of different lengths, empty or non-finite\n"
     "records, dt <= 0, periods <= 0, damping outside [0, 1) or a table off the unit circle."},
    {nullptr, nullptr, 0, nullptr},
};

int spectra_exec(PyObject *) noexcept {
  // NumPy's table of C functions, for the result arrays.
  if (_import_array() < 0) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    return -1;
  }
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
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace tavo::spectra

PyMODINIT_FUNC PyInit__spectra(void) { return PyModuleDef_Init(&tavo::spectra::spectra_module); }
