// NumPy arrays read through NumPy's own API. NumPy's buffer export of such an
// array fills a cached description and a format string and the runtime wraps it
// in a new object: together more than half the cost of a short call. For the
// arrays below the export would give exactly the array's own pointer, length and
// stride, succeed, and change nothing, so reading those is the same call, faster.
#include "tavo/arrays.hpp"

#include <cstdint>

#include "runtime/numpy.hpp"

#include "runtime/array_owner.hpp"

namespace tavo::arrays {
namespace {

// The flags NumPy documents. Any other bit is NumPy's own bookkeeping (a warning
// due on the first write, for one), which the export may act on: such arrays are
// requested as before.
constexpr int documented_flags = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS | NPY_ARRAY_OWNDATA |
                                 NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED | NPY_ARRAY_WRITEABLE |
                                 NPY_ARRAY_WRITEBACKIFCOPY;

} // namespace

bool read_float64_array(PyObject *obj, char *&data, std::int64_t &n, std::int64_t &stride) noexcept {
  if (!PyArray_CheckExact(obj)) return false;  // a subclass may export otherwise
  auto *a = reinterpret_cast<PyArrayObject *>(obj);
  const int flags = PyArray_FLAGS(a);
  if (PyArray_NDIM(a) != 1 || PyArray_DESCR(a)->type_num != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a) ||
      !(flags & NPY_ARRAY_WRITEABLE) || (flags & ~documented_flags) != 0)
    return false;
  // The export reports a contiguous stride for arrays of fewer than two elements,
  // whatever their own: those are requested, so that every view shows the same.
  if (PyArray_DIM(a, 0) < 2) return false;
  data = PyArray_BYTES(a);
  n = PyArray_DIM(a, 0);
  stride = PyArray_STRIDE(a, 0);
  return true;
}

PyObject *memory_owner(PyObject *exporter) noexcept { return runtime::numpy_memory_owner(exporter); }

bool array_extent(PyObject *obj, const char *&begin, const char *&end) noexcept {
  if (!PyArray_Check(obj)) return false;
  // Only the resize of the array that owns the memory moves it (a view's own layout
  // may be set in place, its strides too, and it still shows the same memory): the
  // bytes held are that owner's allocation, whatever layout either was given since.
  // The owner is found through memoryviews among the bases as well: the base of
  // np.asarray(memoryview(owner)) is the memoryview, and resizing the owner frees
  // the memory that array shows all the same.
  PyObject *owner = runtime::numpy_memory_owner(obj);
  if (owner == nullptr) {
    // No array among its bases owns the memory (another exporter's, held by NumPy's
    // export of it, or a C library's): no resize of an array it shows can move it, and
    // the window is shown as a buffer taken at conversion would show it.
    begin = reinterpret_cast<const char *>(INTPTR_MIN);  // every address (compared as intptr_t)
    end = reinterpret_cast<const char *>(INTPTR_MAX);
    return true;
  }
  auto *a = reinterpret_cast<PyArrayObject *>(owner);
  const std::intptr_t data = reinterpret_cast<std::intptr_t>(PyArray_BYTES(a));
  // The elements' bytes: size times item size is kept by every change of shape,
  // strides or dtype in place; the layout's own span is taken too, where it lies wider.
  std::intptr_t lo = data, hi = data + static_cast<std::intptr_t>(PyArray_NBYTES(a));
  if (PyArray_SIZE(a) > 0) {
    std::intptr_t first = data, last = data;
    for (int d = 0; d < PyArray_NDIM(a); ++d) {
      const std::intptr_t span = (PyArray_DIM(a, d) - 1) * PyArray_STRIDE(a, d);
      (span < 0 ? first : last) += span;
    }
    lo = first < lo ? first : lo;
    hi = last + PyArray_ITEMSIZE(a) > hi ? last + PyArray_ITEMSIZE(a) : hi;
  }
  begin = reinterpret_cast<const char *>(lo);
  end = reinterpret_cast<const char *>(hi);
  return true;
}

} // namespace tavo::arrays
