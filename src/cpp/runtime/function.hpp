// The function type of the public functions: vectorcall into the binding layer,
// with the usual function attributes (__name__, __qualname__, __module__,
// __doc__, __defaults__, __signature__, __globals__), all derived from the row.
#pragma once
#include <Python.h>

#include <cstddef>

#include "runtime/binding.hpp"

namespace tavo::runtime {

/// Creates the function type of `module` ("<module name>.function"); false with an
/// exception set on failure. Once per process.
bool init_function_type(const ModuleInfo &module) noexcept;

/// Creates the function of each row, in order, and binds it under its name in
/// `globals`, which becomes its __globals__; false with an exception set on failure.
bool bind_functions(PyObject *globals, const FunctionDef *defs, std::size_t count) noexcept;

} // namespace tavo::runtime
