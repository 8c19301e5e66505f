// NumPy arrays read through NumPy's own API: the common argument, a writable
// one-dimensional float64 array, without a buffer request.
#pragma once
#include <Python.h>

#include <cstdint>

namespace tavo::arrays {

/// The direct reader of the view runtime (runtime::DirectReader) for exact NumPy
/// arrays; needs the array API imported.
bool read_float64_array(PyObject *obj, char *&data, std::int64_t &n, std::int64_t &stride) noexcept;
/// The bytes the memory of a NumPy array occupies now, whatever shape, strides and
/// dtype it or its owner was given in place (runtime::DirectExtent): the allocation of
/// the array that owns it, which only that owner's resize moves; every address where
/// no array among its bases owns the memory.
bool array_extent(PyObject *obj, const char *&begin, const char *&end) noexcept;

/// The NumPy array that owns the memory `exporter` exports (runtime::MemoryOwner):
/// the view objects pin it while they export that memory.
PyObject *memory_owner(PyObject *exporter) noexcept;

} // namespace tavo::arrays
