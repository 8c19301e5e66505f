// Call binding: matches vectorcall arguments to a fixed parameter list and
// converts them, left to right, to typed values (double view, double, int32).
#pragma once
#include <Python.h>

#include <cstdint>
#include <tuple>
#include <utility>

#include "runtime/traceback.hpp"
#include "runtime/view.hpp"

namespace tavo::runtime {

inline constexpr int max_params = 5;

struct Param {
  const char *name;
  PyObject **interned;  // the interned keyword name, created at module start-up
};

/// A public function: its name, docstring, parameter names and entry point.
/// Parameters after `n_required` are optional; the only optional one is an
/// int32, which takes `int_default`.
struct FunctionDef {
  const char *name;
  const char *qualified;   // "tavotools.tavo.<name>", the traceback entry of binding failures
  const char *doc;
  int n_params;
  int n_required;
  Param params[max_params];
  std::int32_t int_default;
  /// Binds and converts one vectorcall and runs the measure: a new reference, or
  /// nullptr with an exception set.
  PyObject *(*call)(const FunctionDef &def, PyObject *const *args, std::size_t nargsf,
                    PyObject *kwnames) noexcept;
};

/// Places the call's arguments into `bound` by parameter index (nullptr: default);
/// false with the argument error set (no traceback entry).
bool bind(const FunctionDef &def, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
          PyObject **bound) noexcept;

/// Converts any object accepted by the interpreter's float conversion.
bool to_double(PyObject *obj, double &out) noexcept;

/// Converts an int (or an object with __int__) that fits a signed 32-bit integer.
bool to_int32(PyObject *obj, std::int32_t &out) noexcept;

namespace detail {

// One converted argument per parameter type of a measure.
template <class T> struct Arg;
template <> struct Arg<const DoubleView &> {
  DoubleView held;
  bool convert(PyObject *obj, const FunctionDef &) noexcept { return to_double_view(obj, held); }
};
template <> struct Arg<double> {
  double held;
  bool convert(PyObject *obj, const FunctionDef &) noexcept { return to_double(obj, held); }
};
template <> struct Arg<std::int32_t> {
  std::int32_t held;
  bool convert(PyObject *obj, const FunctionDef &def) noexcept {
    if (obj == nullptr) {
      held = def.int_default;
      return true;
    }
    return to_int32(obj, held);
  }
};

template <class F> struct Measure;
template <class... P> struct Measure<PyObject *(*)(P...) noexcept> {
  static constexpr int arity = sizeof...(P);

  template <PyObject *(*F)(P...) noexcept, std::size_t... I>
  static PyObject *run(const FunctionDef &def, PyObject *const *values, Py_ssize_t n_given,
                       std::index_sequence<I...>) noexcept {
    // Left to right; the first failure stops, and views taken for earlier
    // parameters are released with `args`.
    std::tuple<Arg<P>...> args;
    if (!(std::get<I>(args).convert(Py_ssize_t(I) < n_given ? values[I] : nullptr, def) && ...))
      return TAVO_FAIL(def.qualified);
    return F(std::get<I>(args).held...);
  }
  template <PyObject *(*F)(P...) noexcept>
  static PyObject *call(const FunctionDef &def, PyObject *const *args, std::size_t nargsf,
                        PyObject *kwnames) noexcept {
    constexpr auto order = std::index_sequence_for<P...>{};
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Positional arguments only, the common call: converted straight from `args`.
    if ((kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) && nargs >= def.n_required &&
        nargs <= def.n_params)
      return run<F>(def, args, nargs, order);
    PyObject *bound[max_params] = {};
    if (!bind(def, args, nargs, kwnames, bound)) return TAVO_FAIL(def.qualified);
    return run<F>(def, bound, def.n_params, order);
  }
};

} // namespace detail

/// The definition of a public function whose typed entry point is the measure F,
/// with one name per parameter of F.
template <auto F, class... Names>
constexpr FunctionDef define(const char *name, const char *qualified, const char *doc,
                             int n_required, std::int32_t int_default, Names... params) {
  using M = detail::Measure<decltype(F)>;
  static_assert(sizeof...(Names) == M::arity && M::arity <= max_params,
                "one parameter name per argument of the measure");
  return FunctionDef{name, qualified, doc, M::arity, n_required, {params...}, int_default,
                     &M::template call<F>};
}

} // namespace tavo::runtime
