// Fused passes that stand in for NumPy whole-array operations: NumPy checks the
// floating-point exception flags after each operation and warns or raises per
// np.seterr, so a fused pass counts only when it raised none.
#pragma once

#include <cfenv>
#include <cstdint>
#include <cstring>

namespace tavo::measures {

/// result = f() with the floating-point exception flags held; true when f raised none
/// of those NumPy reports (the caller then redoes the work by NumPy's own operations).
/// The caller's flags and environment are restored either way.
template <class F>
bool without_fp_flags(F f, double &result) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  // The kernels compute in the vector unit only (no x87), so its control and status
  // register is the whole environment they touch: saving, clearing and testing it
  // costs a third of what the <cfenv> calls do (they also store and reload the x87
  // environment), which is felt on short records.
  constexpr unsigned all_masked = 0x1f80u, flags = 0x3fu;
  constexpr unsigned reported = 0x01u | 0x04u | 0x08u | 0x10u;  // invalid, divide-by-zero, overflow, underflow
  const unsigned saved = __builtin_ia32_stmxcsr();
  __builtin_ia32_ldmxcsr((saved | all_masked) & ~flags);
  __asm__ volatile("" : : : "memory");
  result = f();
  // The compiler sees no dependency between arithmetic and the flags: it could
  // compute the result after the flag test (the kernels inline here). Passing the
  // result through memory in a volatile statement orders it before the test.
  __asm__ volatile("" : "+m"(result) : : "memory");
  const unsigned raised = __builtin_ia32_stmxcsr();
  __builtin_ia32_ldmxcsr(saved);
  return (raised & reported) == 0;
#else
  std::fenv_t saved;
  std::feholdexcept(&saved);
  result = f();
  __asm__ volatile("" : "+m"(result) : : "memory");  // as above
  const bool clean = std::fetestexcept(FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID | FE_DIVBYZERO) == 0;
  std::fesetenv(&saved);
  return clean;
#endif
}

/// True for a subnormal `dt`, read from its bits (with denormals-are-zero set, a
/// comparison would take it for zero). With flush-to-zero set, NumPy's vector loops
/// report underflow for some lengths of an array multiplied by such a scalar even when
/// every product is normal; a fused pass sees only its own flags, so with such a `dt`
/// the work goes to NumPy, for its warning or error.
inline bool is_subnormal(double dt) noexcept {
  std::uint64_t b;
  std::memcpy(&b, &dt, sizeof b);
  return (b & 0x7ff0000000000000u) == 0 && (b & 0x000fffffffffffffu) != 0;
}

} // namespace tavo::measures
