// Fused passes that stand in for NumPy whole-array operations: NumPy checks the
// floating-point exception flags after each operation and warns or raises per
// np.seterr, so a fused pass counts only when it raised none.
#pragma once

#include <cfenv>

namespace tavo::measures {

/// result = f() with the floating-point exception flags held; true when f raised none
/// of those NumPy reports (the caller then redoes the work by NumPy's own operations).
/// The caller's flags and environment are restored either way.
template <class F>
bool without_fp_flags(F f, double &result) noexcept {
  std::fenv_t saved;
  std::feholdexcept(&saved);
  result = f();
  // The compiler sees no dependency between arithmetic and the flags: it could
  // compute the result after the flag test (the kernels inline here). Passing the
  // result through memory in a volatile statement orders it before the test.
  __asm__ volatile("" : "+m"(result) : : "memory");
  const bool clean = std::fetestexcept(FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID | FE_DIVBYZERO) == 0;
  std::fesetenv(&saved);
  return clean;
}

} // namespace tavo::measures
