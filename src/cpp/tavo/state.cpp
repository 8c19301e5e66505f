// The process-wide state of the module and the namespace look-ups the measures
// make at call time. Every look-up that raises hands its exception to the
// caller: none is left pending or silently cleared.
#include "tavo/state.hpp"

#include <initializer_list>

#include "kernels/constants.hpp"
#include "runtime/ref.hpp"

namespace tavo {

Names names;
State state;

bool create_names() noexcept {
#define TAVO_INTERN(ident, text) \
  if (names.ident == nullptr && (names.ident = PyUnicode_InternFromString(text)) == nullptr) return false;
  TAVO_NAMES(TAVO_INTERN)
#undef TAVO_INTERN
  // Each created once: a retried start-up keeps what an earlier attempt made.
  const auto once = [](PyObject *&slot, auto make) noexcept {
    if (slot == nullptr) slot = make();
    return slot != nullptr;
  };
  return once(state.gravity, [] { return PyFloat_FromDouble(constants::gravity); }) &&
         once(state.int_0, [] { return PyLong_FromLong(0); }) &&
         once(state.int_2, [] { return PyLong_FromLong(2); }) &&
         once(state.kwnames_dtype, [] { return PyTuple_Pack(1, names.dtype); }) &&
         once(state.kwnames_dx, [] { return PyTuple_Pack(1, names.dx); });
}

namespace {

/// `name` as the library itself defines it: the attribute of the first of `modules`
/// that the library has loaded (new reference); nullptr with no exception set when
/// none has it. Its package's attribute may already have been replaced when this
/// module is imported (a tracer, a test's patch); the defining module still holds the
/// library's own function.
PyObject *own_function(std::initializer_list<const char *> modules, PyObject *name) noexcept {
  for (const char *defining : modules) {
    Ref module_name = Ref::steal(PyUnicode_FromString(defining));
    if (!module_name) return nullptr;
    Ref module = Ref::steal(PyImport_GetModule(module_name.get()));  // loaded only: no import here
    if (!module) {
      if (PyErr_Occurred()) return nullptr;
      continue;
    }
    PyObject *f = PyObject_GetAttr(module.get(), name);
    if (f != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return f;
    PyErr_Clear();
  }
  return nullptr;
}

} // namespace

bool remember_bindings() noexcept {
  PyObject *numpy = PyDict_GetItemWithError(state.globals, names.np);
  if (numpy == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", names.np);
    return false;
  }
  state.numpy = Py_NewRef(numpy);
  if (PyModule_Check(numpy)) state.numpy_dict = Py_NewRef(PyModule_GetDict(numpy));
  // The np just bound must offer the kernels' zeros and asarray, or start-up fails
  // (one at a time: a failure stops here, with its own exception).
  for (PyObject *name : {names.zeros, names.asarray})
    if (!Ref::steal(PyObject_GetAttr(numpy, name))) return false;
  // The fused paths stand in for NumPy's and SciPy's own functions only, not for
  // whatever their packages held at import. NumPy 1.x defines them in numpy.core
  // (asarray in numpy.core._asarray before 1.25), NumPy 2 in numpy._core; SciPy
  // before 1.8 in scipy.integrate.quadrature. Where none is found, the by-name paths run.
  state.numpy_zeros = own_function({"numpy._core.multiarray", "numpy.core.multiarray"}, names.zeros);
  if (!state.numpy_zeros && PyErr_Occurred()) return false;
  state.numpy_asarray = own_function(
      {"numpy._core.multiarray", "numpy.core.multiarray", "numpy.core._asarray"}, names.asarray);
  if (!state.numpy_asarray && PyErr_Occurred()) return false;
  state.numpy_array = own_function({"numpy._core.multiarray", "numpy.core.multiarray"}, names.array);
  if (!state.numpy_array && PyErr_Occurred()) return false;
  state.numpy_cumsum = own_function({"numpy._core.fromnumeric", "numpy.core.fromnumeric"}, names.cumsum);
  if (!state.numpy_cumsum && PyErr_Occurred()) return false;
  state.cumulative_trapezoid = own_function(
      {"scipy.integrate._quadrature", "scipy.integrate.quadrature"}, names.cumulative_trapezoid);
  if (!state.cumulative_trapezoid && PyErr_Occurred()) return false;
  state.get_PGA_cy = Py_XNewRef(PyDict_GetItemWithError(state.globals, names.get_PGA_cy));
  return state.get_PGA_cy != nullptr || !PyErr_Occurred();
}

void forget_bindings() noexcept {
  Py_CLEAR(state.numpy);
  Py_CLEAR(state.numpy_dict);
  Py_CLEAR(state.numpy_zeros);
  Py_CLEAR(state.numpy_asarray);
  Py_CLEAR(state.numpy_array);
  Py_CLEAR(state.numpy_cumsum);
  Py_CLEAR(state.get_PGA_cy);
  Py_CLEAR(state.cumulative_trapezoid);
}

PyObject *lookup_global(PyObject *name) noexcept {
  PyObject *value = PyDict_GetItemWithError(state.globals, name);
  if (value == nullptr && !PyErr_Occurred()) {
    value = PyDict_GetItemWithError(state.builtins, name);
    if (value == nullptr && !PyErr_Occurred())
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  }
  return Py_XNewRef(value);
}

namespace {

/// fused when `dict[name]` is `expected`, by_name when it is anything else or
/// absent, failed when the look-up raised (a key whose __eq__ raises).
Path same_binding(PyObject *dict, PyObject *name, PyObject *expected) noexcept {
  if (expected == nullptr) return Path::by_name;  // the library's own was not found
  PyObject *found = PyDict_GetItemWithError(dict, name);
  if (found == expected) return Path::fused;
  return found == nullptr && PyErr_Occurred() ? Path::failed : Path::by_name;
}

} // namespace

Path choose_path() noexcept {
  if (state.numpy_dict == nullptr) return Path::by_name;
  Path path = same_binding(state.globals, names.np, state.numpy);
  if (path == Path::fused) path = same_binding(state.numpy_dict, names.zeros, state.numpy_zeros);
  if (path == Path::fused) path = same_binding(state.numpy_dict, names.asarray, state.numpy_asarray);
  return path;
}

Path choose_velocity_path() noexcept {
  Path path = choose_path();
  if (path == Path::fused) path = same_binding(state.numpy_dict, names.array, state.numpy_array);
  if (path == Path::fused) path = same_binding(state.numpy_dict, names.cumsum, state.numpy_cumsum);
  return path;
}

Path choose_path_with_own_peak() noexcept {
  // A missing or raising get_PGA_cy fails here as it would at the first window.
  Ref peak = Ref::steal(lookup_global(names.get_PGA_cy));
  if (!peak) return Path::failed;
  return peak.get() == state.get_PGA_cy ? choose_path() : Path::by_name;
}

} // namespace tavo
