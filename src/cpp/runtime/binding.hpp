// Call binding: one row (FunctionDef) describes each public function of a
// module; its names, defaults, signature and traceback label derive from it.
// A call's arguments are matched to the row's parameters and converted, left
// to right, to the typed parameters of the function's body.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>

#include "runtime/traceback.hpp"
#include "runtime/view.hpp"

namespace tavo::runtime {

inline constexpr int max_params = 8;

/// A parameter's default: none (the parameter is required), an int, a float,
/// a bool (`integer` 0 or 1) or None.
struct Default {
  enum class Kind : std::uint8_t { none, integer, real, boolean, null } kind = Kind::none;
  long long integer = 0;
  double real = 0.0;
};

struct Param {
  const char *name;
  Default value;
};
constexpr Param required(const char *name) { return {name, {}}; }
constexpr Param optional(const char *name, int value) {
  return {name, {Default::Kind::integer, value, 0.0}};
}
constexpr Param optional(const char *name, double value) {
  return {name, {Default::Kind::real, 0, value}};
}
constexpr Param optional(const char *name, bool value) {
  return {name, {Default::Kind::boolean, value ? 1 : 0, 0.0}};
}
constexpr Param optional(const char *name, std::nullptr_t) {
  return {name, {Default::Kind::null, 0, 0.0}};
}

struct FunctionDef;

/// The wording of one module's argument errors (its callers and tests pin it).
/// Each raises TypeError and returns false.
struct ArgumentMessages {
  bool (*too_many)(const FunctionDef &def, Py_ssize_t given) noexcept;
  /// `index`: the first required parameter given neither by position nor by name.
  bool (*missing)(const FunctionDef &def, int index) noexcept;
  bool (*not_string)(const FunctionDef &def) noexcept;
  bool (*unexpected)(const FunctionDef &def, PyObject *key) noexcept;
  /// A keyword naming parameter `index`, which a positional argument already gave.
  bool (*duplicate)(const FunctionDef &def, PyObject *key, int index) noexcept;
};

/// The interpreter's own wording of argument errors, as PyArg_ParseTupleAndKeywords
/// gives them ("f() takes at most 4 positional arguments (5 given)").
extern const ArgumentMessages getargs_messages;

/// What the public functions of one extension module share.
struct ModuleInfo {
  const char *name;  // "tavotools.tavo": __module__ and the prefix of traceback labels
  const ArgumentMessages *messages;
  /// True when the bodies read process-wide state that the module's one start-up
  /// creates: the functions then run only while their __globals__ is `globals`.
  bool needs_state = false;
  /// The namespace of the start-up that succeeded; null before and after a failed one.
  PyObject *globals = nullptr;
};

/// The vectorcall of one function object, generated per row: binds and converts the
/// call's arguments and runs the body; a new reference, or nullptr with an exception
/// set and the function's traceback entry added.
using Entry = vectorcallfunc;

/// One public function: name, docstring, module and parameters (the required
/// ones first, then those with a default), and its entry point.
struct FunctionDef {
  const char *name;
  const char *doc;
  ModuleInfo *module;
  int n_params;
  int n_required;
  Param params[max_params];
  Entry call;
};

/// An instance of the function type (function.cpp manages its fields): what a call
/// reads is its row, its parameter names and the namespace it was bound in.
struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;  // the row's entry, called by the interpreter directly
  const FunctionDef *def;
  PyObject *name;
  PyObject *qualname;
  PyObject *module;
  PyObject *doc;
  PyObject *globals;
  PyObject *defaults;
  PyObject *params;  // tuple of the interned parameter names
};

/// A function taken while start-up ran may outlive a failed start-up, and its
/// module's state is then gone: true when `f` must not run its body.
[[gnu::always_inline]] inline bool outlived_state(const FunctionObject &f) noexcept {
  return f.def->module->needs_state && f.globals != f.def->module->globals;
}
/// Raises the ImportError of such a call and adds its traceback entry; returns nullptr.
[[gnu::cold]] PyObject *not_initialised(const FunctionDef &def) noexcept;

/// Places the call's arguments into `bound` by parameter index (nullptr: omitted);
/// false with the module's argument error set (no traceback entry).
bool bind(const FunctionDef &def, PyObject *const *names, PyObject *const *args, Py_ssize_t nargs,
          PyObject *kwnames, PyObject **bound) noexcept;

/// Adds the traceback entry "<module>.<name>" of `def` at the site its body noted
/// (TAVO_FAIL_HERE), else at `file`:`line`; returns nullptr.
[[gnu::cold]] PyObject *trace_failure(const FunctionDef &def, const char *file, int line,
                                      bool body_failed) noexcept;

/// Converts any object accepted by the interpreter's float conversion.
bool to_double(PyObject *obj, double &out) noexcept;

/// Converts an int (or an object with __int__) that fits a signed 32-bit integer.
bool to_int32(PyObject *obj, std::int32_t &out) noexcept;

/// One converted argument per parameter type of a body: `held` is what the body
/// gets; `convert` takes the argument (nullptr when omitted: the default).
/// Modules add specialisations for parameter types of their own.
template <class T> struct Arg;

template <> struct Arg<const DoubleView &> {
  DoubleView held;
  bool convert(PyObject *obj, const Param &) noexcept { return to_double_view(obj, held); }
};
template <> struct Arg<double> {
  double held;
  bool convert(PyObject *obj, const Param &p) noexcept {
    if (obj == nullptr) {
      held = p.value.real;
      return true;
    }
    // The common argument, read in place: to_double's first test, without the call.
    if (PyFloat_CheckExact(obj)) [[likely]] {
      held = PyFloat_AS_DOUBLE(obj);
      return true;
    }
    return to_double(obj, held);
  }
};
template <> struct Arg<std::int32_t> {
  std::int32_t held;
  bool convert(PyObject *obj, const Param &p) noexcept {
    if (obj == nullptr) {
      held = static_cast<std::int32_t>(p.value.integer);
      return true;
    }
    return to_int32(obj, held);
  }
};

namespace detail {

template <class F> struct Body;
template <class... P> struct Body<PyObject *(*)(P...) noexcept> {
  static constexpr int arity = sizeof...(P);

  template <PyObject *(*F)(P...) noexcept, std::size_t... I>
  static PyObject *run(const FunctionDef &def, PyObject *const *values, Py_ssize_t n_given,
                       std::index_sequence<I...>) noexcept {
    // Left to right; the first failure stops, and views taken for earlier
    // parameters are released with `args`.
    std::tuple<Arg<P>...> args;
    if (!(std::get<I>(args).convert(Py_ssize_t(I) < n_given ? values[I] : nullptr, def.params[I]) &&
          ...))
      return trace_failure(def, TAVO_SOURCE_FILE, __LINE__, false);
    PyObject *result = F(std::get<I>(args).held...);
    return result ? result : trace_failure(def, TAVO_SOURCE_FILE, __LINE__, true);
  }

  template <PyObject *(*F)(P...) noexcept>
  static PyObject *call(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) noexcept {
    const FunctionObject &f = *reinterpret_cast<const FunctionObject *>(self);
    const FunctionDef &def = *f.def;
    if (outlived_state(f)) [[unlikely]]
      return not_initialised(def);
    constexpr auto order = std::index_sequence_for<P...>{};
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Positional arguments only, the common call: converted straight from `args`.
    if ((kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) && nargs >= def.n_required &&
        nargs <= def.n_params)
      return run<F>(def, args, nargs, order);
    PyObject *bound[max_params] = {};
    if (!bind(def, &PyTuple_GET_ITEM(f.params, 0), args, nargs, kwnames, bound))
      return trace_failure(def, TAVO_SOURCE_FILE, __LINE__, false);
    return run<F>(def, bound, def.n_params, order);
  }
};

} // namespace detail

/// The row of a public function whose body is F: one parameter per argument of F,
/// the required ones first.
template <auto F, class... Params>
constexpr FunctionDef define(const char *name, ModuleInfo &module, const char *doc,
                             Params... params) {
  using B = detail::Body<decltype(F)>;
  static_assert(sizeof...(Params) == B::arity && B::arity <= max_params,
                "one parameter per argument of the body");
  const Param list[] = {params...};
  int n_required = 0;
  while (n_required < B::arity && list[n_required].value.kind == Default::Kind::none) ++n_required;
  return FunctionDef{name,        doc, &module, B::arity, n_required, {params...},
                     &B::template call<F>};
}

} // namespace tavo::runtime
