// The function type of the public functions: vectorcall into the binding layer,
// with the usual function attributes (__name__, __qualname__, __module__,
// __doc__, __defaults__, __signature__, __globals__).
#pragma once
#include <Python.h>

#include "runtime/binding.hpp"

namespace tavo::runtime {

/// Creates the function type; returns false with an exception set on failure.
bool init_function_type() noexcept;

/// A new function object for `def` with the given globals, module name and
/// defaults tuple (or None); nullptr with an exception set on failure.
PyObject *new_function(const FunctionDef &def, PyObject *globals, PyObject *module_name,
                       PyObject *defaults) noexcept;

} // namespace tavo::runtime
