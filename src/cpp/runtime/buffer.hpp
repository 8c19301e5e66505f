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

/// The NumPy array whose allocation holds the memory `exporter` exports (seen through
/// memoryviews and the bases of array views; borrowed), or nullptr: a module that
/// imported NumPy's array API knows (runtime/array_owner.hpp).
using MemoryOwner = PyObject *(*)(PyObject *exporter) noexcept;
/// Set once at start-up, by the one module this copy of the runtime is linked into.
void set_memory_owner(MemoryOwner owner) noexcept;
/// Keeps the memory `exporter` exports where it is for as long as the result lives:
/// NumPy's resize without its reference check frees an array's memory whatever
/// exports of it exist, but refuses while the array has a weak reference. A new
/// reference (the weak reference), None when nothing needs it, nullptr with an
/// exception set.
PyObject *pin_memory(PyObject *exporter) noexcept;

/// Owns one buffer export, released by the destructor (under the interpreter lock).
/// Memory of a NumPy array stays pinned meanwhile (pin_memory): the holder reads it
/// while code of the caller's runs (a later argument's conversion, another thread).
class HeldBuffer {
  Py_buffer view_{};
  bool held_ = false;
  PyObject *pin_ = nullptr;

public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer &) = delete;
  HeldBuffer &operator=(const HeldBuffer &) = delete;
  ~HeldBuffer() {
    Py_XDECREF(pin_);
    if (held_) PyBuffer_Release(&view_);
  }

  /// Requests the buffer of `obj` with PyBUF_* `flags`; false with the exporter's
  /// exception (TypeError for a non-exporter) set. `pin` false leaves the memory
  /// unpinned, for a buffer handed over before any code runs.
  bool acquire(PyObject *obj, int flags, bool pin = true) noexcept {
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
    held_ = true;
    if (!pin) return true;
    pin_ = pin_memory(view_.obj);
    return pin_ != nullptr;
  }

  /// Takes a C-contiguous, possibly read-only, buffer of `obj` as bytes.
  bool acquire_bytes(PyObject *obj) noexcept { return acquire(obj, PyBUF_SIMPLE); }

  const Py_buffer &view() const noexcept { return view_; }
  const char *data() const noexcept { return static_cast<const char *>(view_.buf); }
  std::int64_t size() const noexcept { return static_cast<std::int64_t>(view_.len); }

  /// Hands the export to the caller, who releases it from now on (unpinned).
  Py_buffer hand_over() noexcept {
    Py_CLEAR(pin_);
    held_ = false;
    return view_;
  }
};

} // namespace tavo::runtime
