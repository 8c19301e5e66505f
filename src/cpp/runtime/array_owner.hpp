// The NumPy array that owns the memory an exporter exports, for
// runtime::set_memory_owner. Included by a module's start-up file after NumPy's
// array API header, whose table that module imports.
#pragma once
#include <Python.h>

namespace tavo::runtime {
namespace {

/// Through memoryviews and the bases of array views to the array that owns its
/// memory; nullptr where another kind of exporter owns it (bytes, bytearray, mmap,
/// array.array keep their memory while exported).
[[maybe_unused]] PyObject *numpy_memory_owner(PyObject *exporter) noexcept {
  PyObject *o = exporter;
  for (int depth = 0; o != nullptr && depth < 64; ++depth) {
    if (PyMemoryView_Check(o)) {
      o = PyMemoryView_GET_BASE(o);
    } else if (!PyArray_Check(o)) {
      return nullptr;
    } else if (PyArray_CHKFLAGS(reinterpret_cast<PyArrayObject *>(o), NPY_ARRAY_OWNDATA)) {
      return o;
    } else {
      o = PyArray_BASE(reinterpret_cast<PyArrayObject *>(o));
    }
  }
  return nullptr;
}

} // namespace
} // namespace tavo::runtime
