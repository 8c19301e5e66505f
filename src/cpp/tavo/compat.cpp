// The compatibility surface of tavotools.tavo, kept together so that nobody
// "fixes" it: each text or check names the test that pins it.
#define TAVO_IMPORT_ARRAY
#include "runtime/numpy.hpp"

#include <numpy/ufuncobject.h>

#include "runtime/ref.hpp"
#include "tavo/compat.hpp"

namespace tavo::compat {

// Both pinned by tests/test_module.py::test_namespace_values (the leading blank included).
const char *const module_doc =
    " A suite of codes to compute ground motion intensity measures (TAVOs) based on ground motion "
    "records.\n";
const char *const author = "tavotools developers";

namespace {

// Argument errors, pinned by tests/test_binding.py (counts and keywords, verbatim):
// a missing argument is told as a positional count, "given" being its index.

[[gnu::cold]] bool raise_count(const runtime::FunctionDef &def, Py_ssize_t given) noexcept {
  const bool exact = def.n_required == def.n_params;
  const bool too_few = given < def.n_required;
  const char *more_or_less = exact ? "exactly" : (too_few ? "at least" : "at most");
  const Py_ssize_t expected = (exact || too_few) ? def.n_required : def.n_params;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               def.name, more_or_less, expected, expected == 1 ? "" : "s", given);
  return false;
}

[[gnu::cold]] bool raise_missing(const runtime::FunctionDef &def, int index) noexcept {
  return raise_count(def, index);
}

[[gnu::cold]] bool raise_duplicate(const runtime::FunctionDef &def, PyObject *key, int) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, key);
  return false;
}

[[gnu::cold]] bool raise_unexpected(const runtime::FunctionDef &def, PyObject *key) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
  return false;
}

[[gnu::cold]] bool raise_not_string(const runtime::FunctionDef &def) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
  return false;
}

enum class SizeCheck { Warn, Ignore };

struct TypeCheck {
  const char *module;
  const char *name;
  Py_ssize_t size;
  SizeCheck larger;
};

} // namespace

const runtime::ArgumentMessages argument_messages = {
    raise_count, raise_missing, raise_not_string, raise_unexpected, raise_duplicate,
};

// Pinned by tests/test_module.py::test_second_interpreter_is_refused.
void refuse_interpreter() noexcept {
  PyErr_SetString(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
}

// Pinned by tests/test_module.py::test_create_copies_spec_attributes_and_guards_reinitialisation.
void refuse_reinitialisation() noexcept {
  PyErr_SetString(PyExc_RuntimeError,
                  "Module 'tavo' has already been imported. Re-initialisation is not supported.");
}

// The wording callers on another interpreter version see, assembled from its
// constant parts as it always was (no test runs it: the suite runs on 3.12).
bool warn_version(int major, int minor) noexcept {
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                          3, 12, "tavotools.tavo", "does not match", major, minor) == 0;
}

// Pinned by tests/test_module.py::test_import_fails_without_numpy and
// test_numpy_array_api_import: NumPy's own message is replaced.
bool import_numpy_api() noexcept {
  if (_import_array() < 0) {
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    return false;
  }
  return true;
}

// The type-size table, pinned by tests/test_module.py::test_numpy_type_layout_checks.
bool check_types() noexcept {
  static const TypeCheck checks[] = {
      {"builtins", "type", sizeof(PyHeapTypeObject), SizeCheck::Warn},
      {"numpy", "dtype", sizeof(PyArray_Descr), SizeCheck::Ignore},
      {"numpy", "flatiter", sizeof(PyArrayIterObject), SizeCheck::Ignore},
      {"numpy", "broadcast", sizeof(PyArrayMultiIterObject), SizeCheck::Ignore},
      {"numpy", "ndarray", sizeof(PyArrayObject_fields), SizeCheck::Ignore},
      {"numpy", "ufunc", sizeof(PyUFuncObject), SizeCheck::Ignore},
      {"numpy", "generic", sizeof(PyObject), SizeCheck::Warn},
      {"numpy", "number", sizeof(PyObject), SizeCheck::Warn},
      {"numpy", "integer", sizeof(PyObject), SizeCheck::Warn},
      {"numpy", "signedinteger", sizeof(PyObject), SizeCheck::Warn},
      {"numpy", "unsignedinteger", sizeof(PyObject), SizeCheck::Warn},
      {"numpy", "inexact", sizeof(PyObject), SizeCheck::Warn},
      {"numpy", "floating", sizeof(PyObject), SizeCheck::Warn},
      {"numpy", "complexfloating", sizeof(PyObject), SizeCheck::Warn},
      {"numpy", "flexible", sizeof(PyObject), SizeCheck::Warn},
      {"numpy", "character", sizeof(PyObject), SizeCheck::Warn},
  };
  for (const TypeCheck &c : checks) {
    Ref module = Ref::steal(PyImport_ImportModule(c.module));
    if (!module) return false;
    Ref type = Ref::steal(PyObject_GetAttrString(module.get(), c.name));
    if (!type) return false;
    if (!PyType_Check(type.get())) {
      PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", c.module, c.name);
      return false;
    }
    const Py_ssize_t size = reinterpret_cast<PyTypeObject *>(type.get())->tp_basicsize;
    if (size < c.size) {
      PyErr_Format(PyExc_ValueError,
                   "%.200s.%.200s has instances of %zd bytes, fewer than the %zd bytes this module "
                   "was built for: binary incompatibility",
                   c.module, c.name, size, c.size);
      return false;
    }
    if (size > c.size && c.larger == SizeCheck::Warn &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                         "%.200s.%.200s has instances of %zd bytes, more than the %zd bytes this "
                         "module was built for: binary incompatibility possible",
                         c.module, c.name, size, c.size) < 0)
      return false;
  }
  return true;
}

} // namespace tavo::compat
