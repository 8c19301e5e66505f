// NumPy arrays read through NumPy's own API: the common argument, a writable
// one-dimensional float64 array, without a buffer request.
#pragma once
#include <Python.h>

#include <cstdint>

namespace tavo::arrays {

/// The direct reader of the view runtime (runtime::DirectReader) for exact NumPy
/// arrays; needs the array API imported.
bool read_float64_array(PyObject *obj, char *&data, std::int64_t &n, std::int64_t &stride) noexcept;

} // namespace tavo::arrays
