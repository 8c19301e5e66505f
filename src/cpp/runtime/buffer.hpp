// A held buffer export from any exporter (bytes, bytearray, memoryview, mmap,
// array, NumPy): the memory stays valid and in place until the holder is
// destroyed, so it may be read with the interpreter lock released.
#pragma once
#include <Python.h>

#include <cstdint>

namespace tavo::runtime {

/// Element count and byte stride of a one-dimensional export. An exporter may leave
/// shape and strides out (memoryview and NumPy read such an export as len / itemsize
/// contiguous items), so neither is read through a null pointer. A malformed export
/// may still declare a negative count: callers refuse it.
struct Extent {
  std::int64_t n;
  std::int64_t stride;
};
inline Extent extent_1d(const Py_buffer &b) noexcept {
  const Py_ssize_t n = b.shape != nullptr ? b.shape[0] : (b.itemsize > 0 ? b.len / b.itemsize : 0);
  const Py_ssize_t stride = b.strides != nullptr ? b.strides[0] : b.itemsize;
  return {static_cast<std::int64_t>(n), static_cast<std::int64_t>(stride)};
}

/// Owns one buffer export, released by the destructor (under the interpreter lock).
class HeldBuffer {
  Py_buffer view_{};
  bool held_ = false;

public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer &) = delete;
  HeldBuffer &operator=(const HeldBuffer &) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  /// Requests the buffer of `obj` with PyBUF_* `flags`; false with the exporter's
  /// exception (TypeError for a non-exporter) set.
  bool acquire(PyObject *obj, int flags) noexcept {
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
    held_ = true;
    return true;
  }

  /// Takes a C-contiguous, possibly read-only, buffer of `obj` as bytes.
  bool acquire_bytes(PyObject *obj) noexcept { return acquire(obj, PyBUF_SIMPLE); }

  const Py_buffer &view() const noexcept { return view_; }
  const char *data() const noexcept { return static_cast<const char *>(view_.buf); }
  std::int64_t size() const noexcept { return static_cast<std::int64_t>(view_.len); }

  /// Hands the export to the caller, who releases it from now on.
  Py_buffer hand_over() noexcept {
    held_ = false;
    return view_;
  }
};

} // namespace tavo::runtime
