// Conversions of tavotools._spectra's arguments; its argument errors are the
// interpreter's wording (runtime::getargs_messages). Every message is pinned
// verbatim by tests/test_spectra.py::test_module_argument_errors.
#include "spectra/arguments.hpp"

#include <cstring>

#include "runtime/ref.hpp"

namespace tavo::spectra {

bool to_doubles(PyObject *obj, const char *name, Doubles &out) noexcept {
  if (!out.held.acquire(obj, PyBUF_STRIDES | PyBUF_FORMAT)) {
    // An object that gives no such buffer is named; an exporter's own failure (a
    // KeyboardInterrupt or MemoryError in a __buffer__ written in Python, a tavo view
    // whose array was resized away) reaches the caller as it was raised.
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError))
      return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "%s must be a one-dimensional float64 array (a buffer of doubles), not %.200s", name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  const Py_buffer &b = out.held.view();
  const char *f = b.format == nullptr ? "B" : b.format;
  // Native doubles only: "d", "@d", "=d", or "<d" on this little-endian build.
  const bool native = std::strcmp(f, "d") == 0 || std::strcmp(f, "@d") == 0 ||
                      std::strcmp(f, "=d") == 0 || (std::strcmp(f, "<d") == 0 && PY_LITTLE_ENDIAN);
  if (!native || b.itemsize != 8) {
    PyErr_Format(PyExc_TypeError, "%s must hold float64 samples, not buffer format '%s'", name, f);
    return false;
  }
  if (b.ndim != 1) {
    PyErr_Format(PyExc_ValueError, "%s must be one-dimensional, not %d-dimensional", name, b.ndim);
    return false;
  }
  const runtime::Extent extent = runtime::extent_1d(b);
  if (extent.n < 0) {
    PyErr_Format(PyExc_ValueError, "%s has a negative number of elements (%lld)", name,
                 static_cast<long long>(extent.n));
    return false;
  }
  // Sub-offsets make buf an array of pointers: the samples are not where the span reads.
  if (b.suboffsets != nullptr && extent.n > 0 && b.suboffsets[0] >= 0) {
    PyErr_Format(PyExc_ValueError, "%s must be directly addressable, not a buffer with sub-offsets", name);
    return false;
  }
  out.span = {static_cast<const char *>(b.buf), extent.n, extent.stride};
  return true;
}

bool to_real(PyObject *obj, const char *name, double &out) noexcept {
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

bool to_count(PyObject *obj, const char *name, long long &out) noexcept {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be an integer, not %.200s", name, Py_TYPE(obj)->tp_name);
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

} // namespace tavo::spectra
