// Double views: typed one-dimensional views of float64 samples taken from any
// buffer exporter, and the view object that holds the exporter's buffer and
// exports it again.
#pragma once
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "kernels/span.hpp"
#include "runtime/ref.hpp"

namespace tavo::runtime {

/// A one-dimensional view of doubles: element i lies at data + i * stride (bytes, any sign).
/// Holds one reference: to the view object that owns the exporter's buffer, or to the
/// exporter itself where a direct reader took its memory (a view object shown of it
/// then holds the exporter, as a buffer request at conversion would have). The empty
/// view (from None) holds none and has no data.
class DoubleView {
  Ref owner_;

public:
  // Left uninitialised by `DoubleView v;` (a view is filled by to_double_view
  // before use): the binding layer declares one per parameter on every call.
  // `DoubleView()` and `{}` give the empty view.
  char *data;
  std::int64_t n;
  std::int64_t stride;

  DoubleView() = default;
  DoubleView(Ref owner, char *d, std::int64_t count, std::int64_t step) noexcept
      : owner_(std::move(owner)), data(d), n(count), stride(step) {}
  DoubleView(DoubleView &&) noexcept = default;
  DoubleView &operator=(DoubleView &&) noexcept = default;

  bool empty_view() const noexcept { return !owner_; }
  PyObject *owner() const noexcept { return owner_.get(); }
  // Element access copies bytes: a writable float64 buffer need not be aligned.
  double get(std::int64_t i) const noexcept {
    double v;
    std::memcpy(&v, data + i * stride, sizeof v);
    return v;
  }
  void set(std::int64_t i, double v) const noexcept { std::memcpy(data + i * stride, &v, sizeof v); }
  /// The view as the kernels take it.
  kernels::Span span() const noexcept { return {data, n, stride}; }
  kernels::MutSpan mut_span() const noexcept { return {data, n, stride}; }
  /// Elements [start, stop) of this view, sharing its buffer; 0 <= start <= stop <= n.
  DoubleView slice(std::int64_t start, std::int64_t stop) const noexcept;
};

/// Converts `obj` to a writable double view (None gives the empty view).
/// Returns false with a Python exception set when `obj` is not accepted.
bool to_double_view(PyObject *obj, DoubleView &out) noexcept;

/// Reads an exporter's memory without a buffer request, where a module knows how
/// (NumPy arrays, through the array API that module imported): true, with data, n
/// and stride exactly what the buffer request would give, only where that request
/// would succeed writable and without side effects; false to make the request.
/// A request is the cost of a small call (the exporter's bookkeeping and the view
/// object that holds it); the memory read is the same either way.
using DirectReader = bool (*)(PyObject *obj, char *&data, std::int64_t &n, std::int64_t &stride) noexcept;
/// The bytes [begin, end) that an exporter read directly holds now, whatever its
/// layout has become since (false when it holds none). A view object shown of its
/// memory later in the call is made only while that memory still holds the view.
using DirectExtent = bool (*)(PyObject *obj, const char *&begin, const char *&end) noexcept;
/// Set once at start-up, by the one module this copy of the runtime is linked into.
void set_direct_reader(DirectReader reader, DirectExtent extent) noexcept;

/// False, with BufferError, when the memory `view` shows is no longer where the NumPy
/// array holding it keeps it. NumPy's resize without its reference check frees an
/// array's memory whatever views or exports of it exist, and a call runs Python code
/// (a conversion, a namespace function, another thread taking the interpreter lock)
/// that may resize the caller's array: a view is checked after such code, before it
/// is read or written again. Other exporters keep their memory while it is exported.
bool check_held(const DoubleView &view) noexcept;

/// The view object exporting `view` (new reference), None for the empty view,
/// nullptr with an exception set on failure.
PyObject *view_object(const DoubleView &view) noexcept;

/// Creates the view object type; returns false with an exception set on failure.
bool init_view_type() noexcept;

} // namespace tavo::runtime
