// NumPy arrays read through NumPy's own API. NumPy's buffer export of such an
// array fills a cached description and a format string and the runtime wraps it
// in a new object: together more than half the cost of a short call. For the
// arrays below the export would give exactly the array's own pointer, length and
// stride, succeed, and change nothing, so reading those is the same call, faster.
#include "tavo/arrays.hpp"

#include <cstdint>

#include "runtime/numpy.hpp"

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

bool array_extent(PyObject *obj, const char *&begin, const char *&end) noexcept {
  if (!PyArray_Check(obj)) return false;
  auto *a = reinterpret_cast<PyArrayObject *>(obj);
  begin = end = PyArray_BYTES(a);
  if (PyArray_SIZE(a) == 0) return true;  // holds no element
  std::intptr_t lo = reinterpret_cast<std::intptr_t>(begin), hi = lo;
  for (int d = 0; d < PyArray_NDIM(a); ++d) {
    const std::intptr_t span = (PyArray_DIM(a, d) - 1) * PyArray_STRIDE(a, d);
    (span < 0 ? lo : hi) += span;
  }
  begin = reinterpret_cast<const char *>(lo);
  end = reinterpret_cast<const char *>(hi + PyArray_ITEMSIZE(a));
  return true;
}

} // namespace tavo::arrays
