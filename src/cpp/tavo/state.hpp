// Process-wide state of the module: created once by module execution, read-only
// afterwards. Interned names, shared constants and the objects the measures'
// fast paths compare against.
#pragma once
#include <Python.h>

#include <cstdint>

namespace tavo {

// Every attribute, keyword, parameter and module-level name the module uses.
#define TAVO_NAMES(X)                                                                  \
  X(np, "np") X(integrate, "integrate") X(numpy, "numpy") X(scipy, "scipy")            \
  X(zeros, "zeros") X(asarray, "asarray") X(dtype, "dtype") X(float64, "float64")      \
  X(cumulative_trapezoid, "cumulative_trapezoid") X(dx, "dx")                          \
  X(get_PGA_cy, "get_PGA_cy") X(builtins, "builtins")                                  \
  X(dunder_builtins, "__builtins__") X(dunder_author, "__author__")                    \
  X(dunder_test, "__test__") X(dunder_loader, "__loader__") X(dunder_file, "__file__") \
  X(dunder_package, "__package__") X(dunder_path, "__path__") X(name, "name")          \
  X(loader, "loader") X(origin, "origin") X(parent, "parent")                          \
  X(submodule_search_locations, "submodule_search_locations")                          \
  X(module_name, "tavotools.tavo") X(accel, "accel") X(dt, "dt")                       \
  X(percentages, "percentages") X(threshold, "threshold") X(CAVstd_gm, "CAVstd_gm")    \
  X(max_CAVstd, "max_CAVstd") X(max_PSA, "max_PSA") X(max_PSV, "max_PSV")              \
  X(PSV_check, "PSV_check")

struct Names {
#define TAVO_DECLARE_NAME(ident, text) PyObject *ident = nullptr;
  TAVO_NAMES(TAVO_DECLARE_NAME)
#undef TAVO_DECLARE_NAME
};

struct State {
  PyObject *module = nullptr;  // strong reference, the one module object of the process
  std::int64_t interpreter_id = -1;
  PyObject *globals = nullptr; // the module's namespace (owned by the module)
  PyObject *gravity = nullptr; // the float constants::gravity
  PyObject *int_0 = nullptr;
  PyObject *int_1 = nullptr;
  PyObject *int_2 = nullptr;
  PyObject *kwnames_dtype = nullptr; // ("dtype",): keyword names of np.zeros calls
  PyObject *kwnames_dx = nullptr;    // ("dx",): keyword names of cumulative_trapezoid calls
  // The objects bound at start-up, so that a fast path can tell that the
  // namespace still holds them.
  PyObject *numpy = nullptr;
  PyObject *numpy_zeros = nullptr;
  PyObject *numpy_asarray = nullptr;
  PyObject *get_PGA_cy = nullptr;
};

extern Names names;
extern State state;

/// Looks `name` up in the module's namespace, then in the builtins (new reference);
/// nullptr with NameError "name '...' is not defined" when neither has it.
PyObject *lookup_global(PyObject *name) noexcept;

/// True while the namespace's `np` is the NumPy bound at start-up and its
/// `zeros` and `asarray` are NumPy's own: array creation then has no effect
/// that a caller can observe beyond the array itself.
bool numpy_untouched() noexcept;

} // namespace tavo
