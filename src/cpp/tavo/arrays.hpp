// NumPy arrays read through NumPy's own API: the common argument, a writable
// one-dimensional float64 array, without a buffer request.
#pragma once
#include <Python.h>

#include <cstdint>

namespace tavo::arrays {

/// The direct reader of the view runtime (runtime::DirectReader) for exact NumPy
/// arrays; needs the array API imported.
bool read_float64_array(PyObject *obj, char *&data, std::int64_t &n, std::int64_t &stride) noexcept;
/// The bytes the elements of a NumPy array occupy now, whatever its shape, strides
/// and dtype (runtime::DirectExtent).
bool array_extent(PyObject *obj, const char *&begin, const char *&end) noexcept;

} // namespace tavo::arrays
