// The extension module tavotools.tavo: the module definition and its create
// and exec slots. Start-up stops at the first error and reports that error;
// a failed start-up leaves functions taken meanwhile refusing to run.
#include "kernels/constants.hpp"
#include "runtime/buffer.hpp"
#include "runtime/function.hpp"
#include "runtime/ref.hpp"
#include "runtime/traceback.hpp"
#include "runtime/view.hpp"
#include "tavo/arrays.hpp"
#include "tavo/compat.hpp"
#include "tavo/functions.hpp"
#include "tavo/state.hpp"

namespace tavo {
namespace {

PyObject *import_module(PyObject *name, PyObject *fromlist) noexcept {
  return PyImport_ImportModuleLevelObject(name, state.globals, nullptr, fromlist, 0);
}

/// `from scipy import integrate`, falling back to the loaded submodule.
PyObject *import_integrate() noexcept {
  Ref fromlist = Ref::steal(PyList_New(1));
  if (!fromlist) return nullptr;
  PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(names.integrate));
  Ref scipy = Ref::steal(import_module(names.scipy, fromlist.get()));
  if (!scipy) return nullptr;
  PyObject *value = PyObject_GetAttr(scipy.get(), names.integrate);
  if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
  PyErr_Clear();
  Ref submodule = Ref::steal(PyUnicode_FromString("scipy.integrate"));
  if (!submodule) return nullptr;
  value = PyImport_GetModule(submodule.get());
  if (value == nullptr && !PyErr_Occurred())
    PyErr_Format(PyExc_ImportError, "cannot import name %S", names.integrate);
  return value;
}

bool set_global(PyObject *name, PyObject *value) noexcept {
  return value != nullptr && PyDict_SetItem(state.globals, name, value) == 0;
}

/// The statements run once per process at module execution.
bool run_module_body() noexcept {
  if (!set_global(names.np, Ref::steal(import_module(names.numpy, nullptr)).get())) return false;
  if (!set_global(names.integrate, Ref::steal(import_integrate()).get())) return false;
  if (!set_global(names.dunder_author, Ref::steal(PyUnicode_FromString(compat::author)).get()))
    return false;
  if (!runtime::bind_functions(state.globals, functions, n_functions)) return false;
  // An empty __test__, pinned by tests/test_module.py::test_namespace_values.
  if (!set_global(names.dunder_test, Ref::steal(PyDict_New()).get())) return false;
  return remember_bindings();
}

// ---- slots ----------------------------------------------------------------------

/// Copies one attribute of the import spec into the module's namespace; a missing one is skipped.
bool copy_spec_attr(PyObject *spec, PyObject *moddict, const char *from, const char *to,
                    bool allow_none) noexcept {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (value.get() == Py_None && !allow_none) return true;
  return PyDict_SetItemString(moddict, to, value.get()) == 0;
}

PyObject *tavo_create(PyObject *spec, PyModuleDef *) noexcept {
  // One interpreter per process: the state below is process-wide.
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (state.interpreter_id == -1) {
    state.interpreter_id = id;
    if (id == -1) return nullptr;
  } else if (id != state.interpreter_id) {
    compat::refuse_interpreter();
    return nullptr;
  }
  if (state.module != nullptr) return Py_NewRef(state.module);
  Ref modname = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!modname) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(modname.get()));
  if (!module) return nullptr;
  PyObject *moddict = PyModule_GetDict(module.get());
  if (moddict == nullptr || !copy_spec_attr(spec, moddict, "loader", "__loader__", true) ||
      !copy_spec_attr(spec, moddict, "origin", "__file__", true) ||
      !copy_spec_attr(spec, moddict, "parent", "__package__", true) ||
      !copy_spec_attr(spec, moddict, "submodule_search_locations", "__path__", false))
    return nullptr;
  return module.release();
}

/// The start-up sequence; `traced` is set once failures get an "init" traceback entry.
bool exec_body(PyObject *module, bool &traced) noexcept {
  state.globals = PyModule_GetDict(module);
  if (state.globals == nullptr) return false;
  PyObject *builtins = PyImport_AddModule("builtins");  // borrowed
  if (builtins == nullptr || PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return false;
  if (state.builtins == nullptr) state.builtins = Py_NewRef(PyModule_GetDict(builtins));
  const int major = (Py_Version >> 24) & 0xff, minor = (Py_Version >> 16) & 0xff;
  if ((major != 3 || minor != 12) && !compat::warn_version(major, minor)) return false;
  if (!create_names()) return false;
  traced = true;
  if (!compat::import_numpy_api()) return false;
  PyObject *loaded = PyImport_GetModuleDict();
  const int present = PyDict_Contains(loaded, names.module_name);
  if (present < 0 || (present == 0 && PyDict_SetItem(loaded, names.module_name, module) < 0)) return false;
  if (!runtime::init_view_type() || !runtime::init_function_type(module_info) || !compat::check_types())
    return false;
  runtime::set_direct_reader(arrays::read_float64_array, arrays::array_extent);
  runtime::set_memory_owner(arrays::memory_owner);
  return run_module_body();
}

int tavo_exec(PyObject *module) noexcept {
  if (state.module != nullptr) {
    if (state.module == module) return 0;
    compat::refuse_reinitialisation();
    return -1;
  }
  state.module = Py_NewRef(module);
  bool traced = false;
  if (exec_body(module, traced)) {
    module_info.globals = state.globals;  // the functions run from now on
    return 0;
  }
  // The entry's label is pinned by tests/test_module.py::test_import_fails_without_scipy and
  // test_numpy_array_api_import.
  if (traced && PyErr_Occurred()) runtime::add_traceback("init tavotools.tavo", TAVO_SOURCE_FILE, __LINE__);
  forget_bindings();
  Py_CLEAR(state.module);
  state.globals = nullptr;
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init tavotools.tavo");
  return -1;
}

PyModuleDef_Slot tavo_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(tavo_create)},
    {Py_mod_exec, reinterpret_cast<void *>(tavo_exec)},
    {0, nullptr},
};

PyModuleDef tavo_module = {
    PyModuleDef_HEAD_INIT, "tavo", compat::module_doc, 0, nullptr, tavo_slots, nullptr, nullptr, nullptr,
};

} // namespace
} // namespace tavo

PyMODINIT_FUNC PyInit_tavo() { return PyModuleDef_Init(&tavo::tavo_module); }
