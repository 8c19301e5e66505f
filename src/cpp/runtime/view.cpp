// The view object and the conversion of buffer exporters to double views:
// acceptance rules (one dimension, 8-byte native little-endian doubles, direct
// access) and their messages.
#include "runtime/view.hpp"

#include <cstdint>
#include <cstring>

#include "runtime/buffer.hpp"

namespace tavo::runtime {
namespace {

PyTypeObject *view_type = nullptr;
DirectReader direct_reader = nullptr;
DirectExtent direct_extent = nullptr;

struct ViewObject {
  PyObject_HEAD
  Py_buffer buffer;   // the exporter's buffer, when owns_buffer
  bool owns_buffer;
  PyObject *base;     // for a slice: the view object that owns the buffer
  char *data;
  Py_ssize_t shape[1];
  Py_ssize_t strides[1];
  Py_ssize_t exports; // buffers this view has exported and not yet had released
  PyObject *pin;      // while exports > 0: pin_memory() of the memory shown
};

ViewObject *as_view(PyObject *o) noexcept { return reinterpret_cast<ViewObject *>(o); }

// ---- item format --------------------------------------------------------

const char *describe_item(char c, bool complex) noexcept {
  if (complex) {
    switch (c) {
    case 'f': return "'complex float'";
    case 'd': return "'complex double'";
    case 'g': return "'complex long double'";
    default: return nullptr;
    }
  }
  switch (c) {
  case '?': return "'bool'";
  case 'c': return "'char'";
  case 'b': return "'signed char'";
  case 'B': return "'unsigned char'";
  case 'h': return "'short'";
  case 'H': return "'unsigned short'";
  case 'i': return "'int'";
  case 'I': return "'unsigned int'";
  case 'l': return "'long'";
  case 'L': return "'unsigned long'";
  case 'q': return "'long long'";
  case 'Q': return "'unsigned long long'";
  case 'f': return "'float'";
  case 'd': return "'double'";
  case 'g': return "'long double'";
  case 'T': return "a struct";
  case 'O': return "Python object";
  case 'P': return "a pointer";
  case 's':
  case 'p': return "a string";
  default: return nullptr;
  }
}

[[gnu::cold]] bool dtype_mismatch(const char *found) noexcept {
  PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", "double",
               "'", found);
  return false;
}

[[gnu::cold]] bool format_not_understood(const char *format) noexcept {
  PyErr_Format(PyExc_ValueError, "Buffer format string not understood: '%s'", format);
  return false;
}

/// Accepts the formats that denote one native-layout little-endian 8-byte double.
bool check_format(const char *format) noexcept {
  const char *p = format ? format : "B";  // no format means unsigned bytes
  char order = 0;
  for (; *p && std::strchr("@=<>!^", *p); ++p) {
    if (*p == '>' || *p == '!') {
      PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
      return false;
    }
    order = *p;
  }
  std::size_t count = 1;
  bool counted = false;
  if (*p >= '0' && *p <= '9') {
    count = 0;
    counted = true;
    for (; *p >= '0' && *p <= '9'; ++p) {
      if (count > 100000000) return format_not_understood(format);
      count = count * 10 + std::size_t(*p - '0');
    }
  }
  bool complex = false;
  if (*p == 'Z') {
    complex = true;
    ++p;
  }
  const char type = *p;
  const char *found = type ? describe_item(type, complex) : nullptr;
  if (found == nullptr) return format_not_understood(format);
  if (type == 'T' && p[1] != '{') return format_not_understood(format);
  ++p;
  while (*p == ' ') ++p;
  if (type == 'T' || *p != '\0') return dtype_mismatch("a struct");
  // A count before 's' or 'p' is the string's length, not a repetition.
  if (counted && count != 1 && type != 's' && type != 'p') {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected 'double' but got an array of %zu %s",
                 count, found);
    return false;
  }
  const bool native_size = order == 0 || order == '@' || order == '^';
  const bool is_double =
      !complex && (type == 'd' || (type == 'g' && sizeof(long double) == 8 && native_size));
  return is_double ? true : dtype_mismatch(found);
}

bool check_buffer(const Py_buffer &b, const Extent &extent) noexcept {
  if (b.ndim != 1) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1,
                 b.ndim);
    return false;
  }
  if (!check_format(b.format)) return false;
  if (b.itemsize != 8) {
    PyErr_Format(PyExc_ValueError,
                 "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                 std::size_t(b.itemsize), b.itemsize > 1 ? "s" : "", "double", std::size_t(8), "s");
    return false;
  }
  if (extent.n < 0) {
    PyErr_Format(PyExc_ValueError, "Buffer has a negative number of elements (%lld)",
                 static_cast<long long>(extent.n));
    return false;
  }
  if (b.suboffsets != nullptr && extent.n > 0 && b.suboffsets[0] >= 0) {
    PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", 0);
    return false;
  }
  return true;
}

// ---- the view object ----------------------------------------------------

ViewObject *new_view(char *data, Py_ssize_t n, Py_ssize_t stride) noexcept {
  auto *v = as_view(view_type->tp_alloc(view_type, 0));
  if (v == nullptr) return nullptr;
  v->data = data;
  v->shape[0] = n;
  v->strides[0] = stride;
  return v;
}

void View_dealloc(PyObject *self) noexcept {
  ViewObject *v = as_view(self);
  PyTypeObject *tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (v->owns_buffer) {
    v->owns_buffer = false;
    PyBuffer_Release(&v->buffer);
  }
  Py_CLEAR(v->pin);
  Py_CLEAR(v->base);
  tp->tp_free(self);
  Py_DECREF(tp);
}

int View_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
  ViewObject *v = as_view(self);
  Py_VISIT(Py_TYPE(self));
  if (v->owns_buffer) Py_VISIT(v->buffer.obj);
  Py_VISIT(v->base);
  Py_VISIT(v->pin);
  return 0;
}

bool contiguous(const ViewObject *v) noexcept { return v->shape[0] <= 1 || v->strides[0] == 8; }

/// False with BufferError when the array whose memory `self` shows has been resized
/// away from under it (a view kept beyond the call that made it).
bool view_held(PyObject *self) noexcept {
  ViewObject *v = as_view(self);
  return check_held(DoubleView(Ref::borrow(self), v->data, v->shape[0], v->strides[0]));
}

/// The object whose memory `view` shows: the array a direct reader read, or the
/// exporter whose buffer its view object holds (seen through memoryviews).
PyObject *memory_holder(const DoubleView &view) noexcept {
  PyObject *o = view.owner();
  if (Py_IS_TYPE(o, view_type)) {
    ViewObject *v = as_view(o);
    if (v->base != nullptr) {  // a slice: its base is the array read directly, or the holding view
      o = v->base;
      if (Py_IS_TYPE(o, view_type)) v = as_view(o);
    }
    if (Py_IS_TYPE(o, view_type)) o = v->owns_buffer ? v->buffer.obj : nullptr;
  }
  // A memoryview's export is that of the object it views; a memoryview never views
  // another memoryview (it shares that one's export), but the loop need not trust it.
  for (int depth = 0; o != nullptr && PyMemoryView_Check(o) && depth < 8; ++depth)
    o = PyMemoryView_GET_BASE(o);
  return o;
}

int View_getbuffer(PyObject *self, Py_buffer *view, int flags) noexcept {
  ViewObject *v = as_view(self);
  if (!view_held(self)) {
    view->obj = nullptr;
    return -1;
  }
  const bool wants_strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES;
  const bool wants_contiguous = (flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS ||
                                (flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS ||
                                (flags & PyBUF_ANY_CONTIGUOUS) == PyBUF_ANY_CONTIGUOUS;
  if ((wants_contiguous || !wants_strides) && !contiguous(v)) {
    PyErr_SetString(PyExc_BufferError, "view is not contiguous");
    view->obj = nullptr;
    return -1;
  }
  // An exporter keeps the memory it exports in place until the export is released,
  // as bytearray and array.array refuse to resize meanwhile: the NumPy array whose
  // memory this view shows is pinned while any export lasts, so that its resize
  // without the reference check is refused rather than free what a consumer reads
  // (a later argument's conversion, or another thread while the consumer runs
  // without the interpreter lock).
  if (v->exports == 0) {
    const DoubleView shown(Ref::borrow(self), v->data, v->shape[0], v->strides[0]);
    PyObject *pin = pin_memory(memory_holder(shown));
    if (pin == nullptr) {
      view->obj = nullptr;
      return -1;
    }
    Py_XSETREF(v->pin, pin);
  }
  ++v->exports;
  view->buf = v->data;
  view->obj = Py_NewRef(self);
  view->len = v->shape[0] * 8;
  view->readonly = 0;
  view->itemsize = 8;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char *>("d") : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) ? v->shape : nullptr;
  view->strides = wants_strides ? v->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void View_releasebuffer(PyObject *self, Py_buffer *) noexcept {
  ViewObject *v = as_view(self);
  if (--v->exports == 0) Py_CLEAR(v->pin);
}

Py_ssize_t View_length(PyObject *self) noexcept { return as_view(self)->shape[0]; }

PyObject *View_item(PyObject *self, Py_ssize_t i) noexcept {
  ViewObject *v = as_view(self);
  if (i < 0 || i >= v->shape[0]) {
    PyErr_SetString(PyExc_IndexError, "view index out of range");
    return nullptr;
  }
  if (!view_held(self)) return nullptr;
  double x;
  std::memcpy(&x, v->data + i * v->strides[0], sizeof x);
  return PyFloat_FromDouble(x);
}

PyObject *View_repr(PyObject *self) noexcept {
  return PyUnicode_FromFormat("<tavotools.tavo.view of %zd doubles at %p>", as_view(self)->shape[0],
                              self);
}

PyType_Slot view_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(View_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(View_traverse)},
    {Py_tp_repr, reinterpret_cast<void *>(View_repr)},
    {Py_bf_getbuffer, reinterpret_cast<void *>(View_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void *>(View_releasebuffer)},
    {Py_sq_length, reinterpret_cast<void *>(View_length)},
    {Py_sq_item, reinterpret_cast<void *>(View_item)},
    {Py_tp_doc, const_cast<char *>("One-dimensional float64 view sharing the memory of another buffer.")},
    {0, nullptr},
};

PyType_Spec view_spec = {
    "tavotools.tavo.view", sizeof(ViewObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    view_slots};

/// The view object over the whole of a held buffer that passes the checks, the
/// buffer handed over to it; nullptr with the error set.
ViewObject *holding_view(HeldBuffer &held) noexcept {
  const Py_buffer &b = held.view();
  const Extent extent = b.ndim == 1 ? extent_1d(b) : Extent{0, 0};
  if (!check_buffer(b, extent)) return nullptr;
  ViewObject *v = new_view(static_cast<char *>(b.buf), extent.n, extent.stride);
  if (v == nullptr) return nullptr;
  v->buffer = held.hand_over();
  v->owns_buffer = true;
  return v;
}

/// True when every byte of the elements of `view` lies in [begin, end).
bool holds(const char *begin, const char *end, const DoubleView &view) noexcept {
  if (view.n <= 0) return true;  // nothing of it is read
  // As integers: the view may point outside what the exporter holds now.
  const std::intptr_t lo_end = reinterpret_cast<std::intptr_t>(begin);
  const std::intptr_t hi_end = reinterpret_cast<std::intptr_t>(end);
  if (lo_end == INTPTR_MIN && hi_end == INTPTR_MAX) return true;  // every address
  std::intptr_t span, last;
  const std::intptr_t first = reinterpret_cast<std::intptr_t>(view.data);
  // A strided view of a small buffer may span more than the address space: not held.
  if (__builtin_mul_overflow(static_cast<std::intptr_t>(view.n - 1), static_cast<std::intptr_t>(view.stride), &span) ||
      __builtin_add_overflow(first, span, &last))
    return false;
  const std::intptr_t lo = first < last ? first : last, hi = (first < last ? last : first);
  return lo >= lo_end && hi <= hi_end - 8;
}

[[gnu::cold]] PyObject *moved() noexcept {
  PyErr_SetString(PyExc_BufferError, "the array was resized while the call was reading it");
  return nullptr;
}

/// A view object over the elements of `view`, whose owner is an exporter that a direct
/// reader read: it holds the exporter, which keeps the memory, as the buffer taken at
/// conversion would have. Flags, shape or dtype the call's own Python code changed in
/// place since leave the memory where it was, and the view is shown as it was taken;
/// an exporter that no longer holds the elements (NumPy's resize without its reference
/// check moves them) is refused rather than shown where its memory used to be.
PyObject *direct_view(const DoubleView &view) noexcept {
  const char *begin = nullptr, *end = nullptr;
  if (direct_extent == nullptr || !direct_extent(view.owner(), begin, end) || !holds(begin, end, view))
    return moved();
  ViewObject *v = new_view(view.data, view.n, view.stride);
  if (v == nullptr) return nullptr;
  v->base = Py_NewRef(view.owner());
  return reinterpret_cast<PyObject *>(v);
}

} // namespace

bool init_view_type() noexcept {
  if (view_type != nullptr) return true;
  view_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&view_spec));
  return view_type != nullptr;
}

void set_direct_reader(DirectReader reader, DirectExtent extent) noexcept {
  direct_reader = reader;
  direct_extent = extent;
}

DoubleView DoubleView::slice(std::int64_t start, std::int64_t stop) const noexcept {
  if (empty_view()) return {};
  return DoubleView(Ref::borrow(owner()), data + start * stride, stop - start, stride);
}

bool to_double_view(PyObject *obj, DoubleView &out) noexcept {
  if (obj == Py_None) {
    out = DoubleView();
    return true;
  }
  if (Py_IS_TYPE(obj, view_type)) {  // already ours: share its buffer, no new request
    ViewObject *v = as_view(obj);
    out = DoubleView(Ref::borrow(obj), v->data, v->shape[0], v->strides[0]);
    return true;
  }
  char *data;
  std::int64_t n, stride;
  if (direct_reader != nullptr && direct_reader(obj, data, n, stride)) {
    out = DoubleView(Ref::borrow(obj), data, n, stride);
    return true;
  }
  // Handed over to the view object at once: that pins the memory when it exports
  // it, and a call checks the memory (check_held) after any code it runs.
  HeldBuffer held;
  if (!held.acquire(obj, PyBUF_RECORDS, false)) return false;
  ViewObject *v = holding_view(held);
  if (v == nullptr) return false;
  out = DoubleView(Ref::steal(reinterpret_cast<PyObject *>(v)), v->data, v->shape[0], v->strides[0]);
  return true;
}

bool check_held(const DoubleView &view) noexcept {
  if (view.empty_view() || view.n <= 0) return true;
  PyObject *holder = memory_holder(view);
  const char *begin = nullptr, *end = nullptr;
  // Not a NumPy array: its exporter keeps the memory while the export lasts.
  if (holder == nullptr || direct_extent == nullptr || !direct_extent(holder, begin, end)) return true;
  return holds(begin, end, view) || moved() != nullptr;
}

PyObject *view_object(const DoubleView &view) noexcept {
  if (view.empty_view()) return Py_NewRef(Py_None);
  if (!check_held(view)) return nullptr;  // never shown where its array's memory used to be
  if (!Py_IS_TYPE(view.owner(), view_type)) return direct_view(view);
  ViewObject *owner = as_view(view.owner());
  if (owner->data == view.data && owner->shape[0] == view.n && owner->strides[0] == view.stride)
    return Py_NewRef(view.owner());
  ViewObject *v = new_view(view.data, view.n, view.stride);
  if (v == nullptr) return nullptr;
  v->base = Py_NewRef(owner->base ? owner->base : view.owner());
  return reinterpret_cast<PyObject *>(v);
}

} // namespace tavo::runtime
