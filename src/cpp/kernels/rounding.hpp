// The rounding mode the kernels' arguments are made for, and a scope that sets it.
#pragma once

#include <cfenv>

namespace tavo::kernels {

/// True while the arithmetic rounds to nearest, the mode Python and NumPy run in. The
/// block methods, the test of squares against the library and the division by gravity
/// are argued for that mode only: in another one (which some C code may set) the plain
/// loops and the library run, and they are the definitions in any mode.
inline bool rounds_to_nearest() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  return (__builtin_ia32_stmxcsr() & 0x6000u) == 0;  // the rounding control of the vector arithmetic
#else
  return std::fegetround() == FE_TONEAREST;
#endif
}

/// Rounding to nearest within a scope, whatever mode the caller left set; the
/// caller's mode is back after it, with the exception flags raised within it.
/// For results whose value is fixed whatever the mode: the double nearest a text.
class NearestRounding {
public:
  NearestRounding() noexcept {
    // Both units on x86-64: the vector unit computes, the C library reads the x87's mode.
    other_ = !rounds_to_nearest() || std::fegetround() != FE_TONEAREST;
    if (other_) {
      std::fegetenv(&saved_);
      std::fesetround(FE_TONEAREST);
    }
  }
  ~NearestRounding() {
    if (other_) std::feupdateenv(&saved_);
  }
  NearestRounding(const NearestRounding &) = delete;
  NearestRounding &operator=(const NearestRounding &) = delete;

private:
  bool other_;
  std::fenv_t saved_;
};

} // namespace tavo::kernels
