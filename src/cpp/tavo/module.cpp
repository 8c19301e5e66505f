// The extension module tavotools.tavo: module definition, create and exec
// slots, the namespace table of the eight public functions and their entry
// points from the binding layer into the measures.
#define TAVO_IMPORT_ARRAY
#include "runtime/numpy.hpp"

#include <numpy/ufuncobject.h>

#include "kernels/constants.hpp"
#include "tavo/measures/measures.hpp"
#include "runtime/function.hpp"
#include "runtime/ref.hpp"
#include "runtime/traceback.hpp"
#include "runtime/view.hpp"
#include "tavo/state.hpp"

namespace tavo {

Names names;
State state;

namespace {

using runtime::FunctionDef;

constexpr const char *module_doc =
    " A suite of codes to compute ground motion intensity measures (TAVOs) based on ground motion "
    "records.\n";
constexpr const char *author = "tavotools developers";

using runtime::define;
using runtime::Param;

constexpr Param accel{"accel", &names.accel};
constexpr Param dt{"dt", &names.dt};

// The namespace table: every public function, in the order of binding. Each
// entry point converts the arguments to the measure's parameter types.
const FunctionDef functions[] = {
    define<measures::get_PGA_cy>(
        "get_PGA_cy", "tavotools.tavo.get_PGA_cy",
        "\n\tParameter\n\t=========\n\taccel: Acceleration time series. \n\n\tReturns\n\t=======\n\tPGA "
        "in same units as input.\n\t",
        1, 0, accel),
    define<measures::get_PGV_cy>(
        "get_PGV_cy", "tavotools.tavo.get_PGV_cy",
        "\n\tParameter\n\t=========\n\taccel: Acceleration time series in m/s**2.\n\tdt: Time step in "
        "s.\n\n\tReturns\n\t=======\n\tPGV in m/s.\n\t",
        2, 0, accel, dt),
    define<measures::get_Ia_cy>(
        "get_Ia_cy", "tavotools.tavo.get_Ia_cy",
        "\n\tParameter\n\t=========\n\taccel: Acceleration time series in m/s**2.\n\tdt: Time step in "
        "s.\n\t\n\tReturns\n\t=======\n\tIa in m/s.\n\t",
        2, 0, accel, dt),
    define<measures::get_Ia_times_cy>(
        "get_Ia_times_cy", "tavotools.tavo.get_Ia_times_cy",
        "\n\tParameter\n\t=========\n\taccel: Acceleration time series in m/s**2.\n\tdt: Time step in "
        "s.\n\tpercentages: Ia percentages at which to compute the times.\n\n\tReturns\n\t=======\n\tIa "
        "times in s.\n\t",
        3, 0, accel, dt, Param{"percentages", &names.percentages}),
    define<measures::get_CAV_cy>(
        "get_CAV_cy", "tavotools.tavo.get_CAV_cy",
        "\n\tParameter\n\t=========\n\taccel: Acceleration time series.\n\tdt: Time step in "
        "s.\n\n\tReturns\n\t=======\n\tCAV in units consistent with input.\n\t",
        2, 0, accel, dt),
    define<measures::get_CAVn_cy>(
        "get_CAVn_cy", "tavotools.tavo.get_CAVn_cy",
        "\n\tParameter\n\t=========\n\taccel: Acceleration time series.\n\tdt: Time step in "
        "s.\n\tthreshold: Acceleration threshold in same units as \"accel.\"\n\n\tReturns\n\t=======\n\t"
        "CAV_n in units consistent with input.\n\t",
        3, 0, accel, dt, Param{"threshold", &names.threshold}),
    define<measures::get_CAVstd_cy>(
        "get_CAVstd_cy", "tavotools.tavo.get_CAVstd_cy",
        "\n\tParameter\n\t=========\n\taccel: Acceleration time series in m/s**2.\n\tdt: Time step in "
        "s.\n\n\tReturns\n\t=======\n\tCAV_n in m/s.\n\t",
        2, 0, accel, dt),
    define<measures::get_CAVdp_cy>(
        "get_CAVdp_cy", "tavotools.tavo.get_CAVdp_cy",
        "\n\tParameter\n\t=========\n\tCAVstd_gm: Geometric average CAVstd of the two horizontal "
        "components in m/s\n\tmax_CAVstd: Maximum CAVstd of the three components in m/s\n\tmax_PSA: "
        "Maximum PSA (2 - 10 Hz) of the the three horizontal components in m/s**2\n\tmax_PSV: Maximum PSV "
        "(1 - 2 Hz) of the the three horizontal components in m/s\n\tPSV_check: Flag, to check (or not) "
        "for PSV threshold (default = 1)\n\n\tReturns\n\t=======\n\tCAVdp: Damage potential CAV in m/s\n\t",
        4, 1, Param{"CAVstd_gm", &names.CAVstd_gm}, Param{"max_CAVstd", &names.max_CAVstd},
        Param{"max_PSA", &names.max_PSA}, Param{"max_PSV", &names.max_PSV},
        Param{"PSV_check", &names.PSV_check}),
};

// ---- start-up helpers ---------------------------------------------------------

bool create_names() noexcept {
#define TAVO_INTERN(ident, text) \
  if (names.ident == nullptr && (names.ident = PyUnicode_InternFromString(text)) == nullptr) return false;
  TAVO_NAMES(TAVO_INTERN)
#undef TAVO_INTERN
  if (state.gravity == nullptr && (state.gravity = PyFloat_FromDouble(constants::gravity)) == nullptr) return false;
  if (state.int_0 == nullptr && (state.int_0 = PyLong_FromLong(0)) == nullptr) return false;
  if (state.int_1 == nullptr && (state.int_1 = PyLong_FromLong(1)) == nullptr) return false;
  if (state.int_2 == nullptr && (state.int_2 = PyLong_FromLong(2)) == nullptr) return false;
  if (state.kwnames_dtype == nullptr && (state.kwnames_dtype = PyTuple_Pack(1, names.dtype)) == nullptr)
    return false;
  if (state.kwnames_dx == nullptr && (state.kwnames_dx = PyTuple_Pack(1, names.dx)) == nullptr)
    return false;
  return true;
}

/// NumPy's array API table; any failure becomes the one ImportError callers see.
bool import_numpy_api() noexcept {
  if (_import_array() < 0) {
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    return false;
  }
  return true;
}

enum class SizeCheck { Warn, Ignore };

struct TypeCheck {
  const char *module;
  const char *name;
  Py_ssize_t size;
  SizeCheck larger;
};

/// The layouts this module was compiled against must not be larger than the running ones.
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
  value = PyImport_GetModule(Ref::steal(PyUnicode_FromString("scipy.integrate")).get());
  if (value == nullptr && !PyErr_Occurred())
    PyErr_Format(PyExc_ImportError, "cannot import name %S", names.integrate);
  return value;
}

bool set_global(PyObject *name, PyObject *value) noexcept {
  return value != nullptr && PyDict_SetItem(state.globals, name, value) == 0;
}

/// The statements run once per process at module execution.
bool run_module_body() noexcept {
  Ref numpy = Ref::steal(import_module(names.numpy, nullptr));
  if (!set_global(names.np, numpy.get())) return false;
  Ref integrate = Ref::steal(import_integrate());
  if (!set_global(names.integrate, integrate.get())) return false;
  if (!set_global(names.dunder_author, Ref::steal(PyUnicode_FromString(author)).get())) return false;
  Ref defaults = Ref::steal(PyTuple_Pack(1, state.int_1));
  if (!defaults) return false;
  for (const FunctionDef &def : functions) {
    const bool has_default = def.n_required < def.n_params;
    Ref f = Ref::steal(runtime::new_function(def, state.globals, names.module_name,
                                             has_default ? defaults.get() : Py_None));
    if (!f || PyDict_SetItemString(state.globals, def.name, f.get()) < 0) return false;
  }
  if (!set_global(names.dunder_test, Ref::steal(PyDict_New()).get())) return false;

  state.numpy = numpy.release();
  state.numpy_zeros = PyObject_GetAttr(state.numpy, names.zeros);
  state.numpy_asarray = PyObject_GetAttr(state.numpy, names.asarray);
  state.get_PGA_cy = PyDict_GetItemWithError(state.globals, names.get_PGA_cy);
  Py_XINCREF(state.get_PGA_cy);
  return state.numpy_zeros && state.numpy_asarray && state.get_PGA_cy;
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
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (state.interpreter_id == -1) {
    state.interpreter_id = id;
    if (id == -1) return nullptr;
  } else if (id != state.interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
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
  const int major = (Py_Version >> 24) & 0xff, minor = (Py_Version >> 16) & 0xff;
  if ((major != 3 || minor != 12) &&
      PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                       "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                       3, 12, "tavotools.tavo", "does not match", major, minor) < 0)
    return false;
  if (!create_names()) return false;
  traced = true;
  if (!import_numpy_api()) return false;
  PyObject *loaded = PyImport_GetModuleDict();
  const int present = PyDict_Contains(loaded, names.module_name);
  if (present < 0 || (present == 0 && PyDict_SetItem(loaded, names.module_name, module) < 0)) return false;
  if (!runtime::init_view_type() || !runtime::init_function_type() || !check_types()) return false;
  return run_module_body();
}

int tavo_exec(PyObject *module) noexcept {
  if (state.module != nullptr) {
    if (state.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'tavo' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  state.module = Py_NewRef(module);
  bool traced = false;
  if (exec_body(module, traced)) return 0;
  if (traced && PyErr_Occurred()) runtime::add_traceback("init tavotools.tavo", TAVO_SOURCE_FILE, __LINE__);
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
    PyModuleDef_HEAD_INIT, "tavo", module_doc, 0, nullptr, tavo_slots, nullptr, nullptr, nullptr,
};

} // namespace

PyObject *lookup_global(PyObject *name) noexcept {
  PyObject *value = PyDict_GetItemWithError(state.globals, name);
  if (value == nullptr && !PyErr_Occurred()) {
    PyObject *builtins = PyEval_GetBuiltins();
    value = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (value == nullptr && !PyErr_Occurred())
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  }
  return Py_XNewRef(value);
}

bool numpy_untouched() noexcept {
  PyObject *np = PyDict_GetItemWithError(state.globals, names.np);
  if (np != state.numpy) return false;
  PyObject *dict = PyModule_GetDict(np);
  return PyDict_GetItemWithError(dict, names.zeros) == state.numpy_zeros &&
         PyDict_GetItemWithError(dict, names.asarray) == state.numpy_asarray;
}

} // namespace tavo

PyMODINIT_FUNC PyInit_tavo() { return PyModuleDef_Init(&tavo::tavo_module); }
