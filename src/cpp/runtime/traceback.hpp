// Traceback entries for failures inside compiled code, so that a Python
// traceback names the compiled function that failed ("tavotools.tavo.abs_cy"),
// with the source file and line of the failing statement.
#pragma once
#include <Python.h>

namespace tavo::runtime {

/// Adds one entry (function name, source file, line) to the pending exception's traceback.
/// Never fails: if the entry cannot be built, the original exception stays as it was.
void add_traceback(const char *funcname, const char *filename, int line) noexcept;

/// Where the body of a public function failed; the function's own entry point
/// adds the traceback entry under the function's name (function.cpp).
struct FailureSite {
  const char *file = nullptr;
  int line = 0;
};
/// Per thread: another thread may fail meanwhile, while this one runs Python code.
inline thread_local FailureSite failure_site;

/// Notes the failure site and returns nullptr.
inline PyObject *failed_at(const char *file, int line) noexcept {
  failure_site = {file, line};
  return nullptr;
}

} // namespace tavo::runtime

#if defined(__FILE_NAME__)
#define TAVO_SOURCE_FILE __FILE_NAME__
#else
#define TAVO_SOURCE_FILE __FILE__
#endif

/// Records a traceback entry for `qualname` at the current source line and returns nullptr.
#define TAVO_FAIL(qualname) \
  (::tavo::runtime::add_traceback((qualname), TAVO_SOURCE_FILE, __LINE__), nullptr)

/// Inside a public function's body: returns nullptr, noting this line for the
/// traceback entry that the function's entry point adds under its name.
#define TAVO_FAIL_HERE() (::tavo::runtime::failed_at(TAVO_SOURCE_FILE, __LINE__))
