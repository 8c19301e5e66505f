// Call binding: matches vectorcall arguments to a fixed parameter list and
// converts them, left to right, to typed values (double view, double, int32).
#pragma once
#include <Python.h>

#include <cstdint>

#include "runtime/view.hpp"

namespace tavo::runtime {

enum class Kind : std::uint8_t { View, Double, Int32 };

inline constexpr int max_params = 5;

struct Param {
  const char *name;
  Kind kind;
  PyObject **interned;  // the interned keyword name, created at module start-up
};

/// A converted argument; only the member of the parameter's kind is set
/// (the others stay uninitialised: this sits on every call's path).
struct Value {
  DoubleView view;
  double real;
  std::int32_t integer;
};

/// A public function: its name, docstring, parameters and typed entry point.
/// Parameters after `n_required` are optional and take `int_default` (the only
/// optional parameter is an Int32).
struct FunctionDef {
  const char *name;
  const char *qualified;   // "tavotools.tavo.<name>", the traceback entry of binding failures
  const char *doc;
  int n_params;
  int n_required;
  Param params[max_params];
  std::int32_t int_default;
  PyObject *(*impl)(Value *args) noexcept;  // new reference, or nullptr with an exception set
};

/// Binds and converts one call, then runs the entry point.
PyObject *call(const FunctionDef &def, PyObject *const *args, std::size_t nargsf,
               PyObject *kwnames) noexcept;

/// Converts any object accepted by the interpreter's float conversion.
bool to_double(PyObject *obj, double &out) noexcept;

/// Converts an int (or an object with __int__) that fits a signed 32-bit integer.
bool to_int32(PyObject *obj, std::int32_t &out) noexcept;

} // namespace tavo::runtime
