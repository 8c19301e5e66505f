// Traceback entries for failures inside compiled code, so that a Python
// traceback names the compiled function that failed ("tavotools.tavo.abs_cy").
#pragma once
#include <Python.h>

namespace tavo::runtime {

/// Adds one entry (function name, source file, line) to the pending exception's traceback.
/// Never fails: if the entry cannot be built, the original exception stays as it was.
void add_traceback(const char *funcname, const char *filename, int line) noexcept;

} // namespace tavo::runtime

#if defined(__FILE_NAME__)
#define TAVO_SOURCE_FILE __FILE_NAME__
#else
#define TAVO_SOURCE_FILE __FILE__
#endif

/// Records a traceback entry for `qualname` at the current source line and returns nullptr.
#define TAVO_FAIL(qualname) \
  (::tavo::runtime::add_traceback((qualname), TAVO_SOURCE_FILE, __LINE__), nullptr)
