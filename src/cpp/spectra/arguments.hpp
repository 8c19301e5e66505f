// The parameter types of tavotools._spectra's functions and their conversions
// (tests/test_spectra.py::test_module_argument_errors pins every message).
#pragma once
#include <Python.h>

#include "kernels/span.hpp"
#include "runtime/binding.hpp"
#include "runtime/buffer.hpp"

namespace tavo::spectra {

/// A held one-dimensional float64 buffer, possibly read-only and unaligned.
struct Doubles {
  runtime::HeldBuffer held;
  kernels::Span span{nullptr, 0, 0};
};

/// A real number (anything float() takes).
struct Real {
  double value;
};

/// An integer (an object with __index__; a float is refused).
struct Count {
  long long value;
};

bool to_doubles(PyObject *obj, const char *name, Doubles &out) noexcept;
bool to_real(PyObject *obj, const char *name, double &out) noexcept;
bool to_count(PyObject *obj, const char *name, long long &out) noexcept;

} // namespace tavo::spectra

namespace tavo::runtime {

template <> struct Arg<const spectra::Doubles &> {
  spectra::Doubles held;
  bool convert(PyObject *obj, const Param &p) noexcept { return spectra::to_doubles(obj, p.name, held); }
};
template <> struct Arg<spectra::Real> {
  spectra::Real held;
  bool convert(PyObject *obj, const Param &p) noexcept {
    held.value = p.value.real;
    return obj == nullptr || spectra::to_real(obj, p.name, held.value);
  }
};
template <> struct Arg<spectra::Count> {
  spectra::Count held;
  bool convert(PyObject *obj, const Param &p) noexcept {
    held.value = p.value.integer;
    return obj == nullptr || spectra::to_count(obj, p.name, held.value);
  }
};

} // namespace tavo::runtime
