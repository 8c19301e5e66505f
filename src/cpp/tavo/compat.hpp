// The compatibility surface of tavotools.tavo: texts and checks that exist
// because callers and tests pin them verbatim (typos and odd spacing included).
// Change nothing declared here without the test named beside its definition.
#pragma once
#include <Python.h>

#include "runtime/binding.hpp"

namespace tavo::compat {

extern const char *const module_doc;
extern const char *const author;
/// The wording of argument errors (count, missing, keyword mistakes).
extern const runtime::ArgumentMessages argument_messages;

/// ImportError when this interpreter is not the one that first created the module.
[[gnu::cold]] void refuse_interpreter() noexcept;
/// RuntimeError when another module object of this module would be executed.
[[gnu::cold]] void refuse_reinitialisation() noexcept;
/// The RuntimeWarning when the running interpreter is not the 3.12 this module was
/// built for; false when the warning is raised as an error.
bool warn_version(int major, int minor) noexcept;
/// NumPy's array API table; any failure becomes the one ImportError callers see.
bool import_numpy_api() noexcept;
/// The layouts this module was compiled against must not be larger than the running ones.
bool check_types() noexcept;

} // namespace tavo::compat
