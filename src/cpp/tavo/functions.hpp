// The public functions of tavotools.tavo, one row each (functions.cpp).
#pragma once

#include <cstddef>

#include "runtime/binding.hpp"

namespace tavo {

/// The module as its functions see it: name, argument-error wording, and its
/// namespace once start-up succeeded.
extern runtime::ModuleInfo module_info;

inline constexpr std::size_t n_functions = 8;
/// The rows, in the order the functions are bound in the namespace.
extern const runtime::FunctionDef functions[n_functions];

} // namespace tavo
