// Strided one-dimensional runs of doubles as every kernel reads and writes them.
// Element access copies bytes (memcpy): buffers from Python may be unaligned, and
// read-only ones may change under a kernel, which must still stay inside [0, n).
#pragma once

#include <cstdint>
#include <cstring>

namespace tavo::kernels {

/// Read-only view of n doubles at data + i * stride (stride in bytes, any sign, 0 allowed).
struct Span {
  const char *data;
  std::int64_t n;
  std::int64_t stride;
};

/// Writable view of n doubles at data + i * stride (stride in bytes, any sign).
struct MutSpan {
  char *data;
  std::int64_t n;
  std::int64_t stride;
};

/// Element i of x; i must lie in [0, x.n). Any address is valid (the copy is one load).
inline double at(Span x, std::int64_t i) noexcept {
  double v;
  std::memcpy(&v, x.data + i * x.stride, sizeof v);
  return v;
}

/// Writes v into element i of x; i must lie in [0, x.n). Any address is valid.
inline void put(MutSpan x, std::int64_t i, double v) noexcept {
  std::memcpy(x.data + i * x.stride, &v, sizeof v);
}

/// A writable span read through the read-only interface.
inline Span as_span(MutSpan x) noexcept { return {x.data, x.n, x.stride}; }

}  // namespace tavo::kernels
