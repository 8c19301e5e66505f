// Process-wide state of the module: created once by module execution, read-only
// afterwards (state.cpp owns it). Interned names, shared constants, the objects
// the fused paths compare against, and the namespace look-ups of the measures.
#pragma once
#include <Python.h>

#include <cstdint>

namespace tavo {

// The attribute, keyword and module-level names the module uses; the public
// functions' own names and parameters come from their rows (functions.cpp).
#define TAVO_NAMES(X)                                                                  \
  X(np, "np") X(integrate, "integrate") X(numpy, "numpy") X(scipy, "scipy")            \
  X(zeros, "zeros") X(asarray, "asarray") X(dtype, "dtype") X(float64, "float64")      \
  X(cumulative_trapezoid, "cumulative_trapezoid") X(dx, "dx")                          \
  X(array, "array") X(cumsum, "cumsum")                                                \
  X(get_PGA_cy, "get_PGA_cy") X(dunder_author, "__author__") X(dunder_test, "__test__") \
  X(module_name, "tavotools.tavo")

struct Names {
#define TAVO_DECLARE_NAME(ident, text) PyObject *ident = nullptr;
  TAVO_NAMES(TAVO_DECLARE_NAME)
#undef TAVO_DECLARE_NAME
};

struct State {
  PyObject *module = nullptr;  // strong reference, the one module object of the process
  std::int64_t interpreter_id = -1;
  PyObject *globals = nullptr; // the module's namespace (owned by the module)
  // The interpreter's builtins dictionary, the fallback of namespace look-ups: not
  // the calling frame's, which code run by exec() may have replaced.
  PyObject *builtins = nullptr;
  PyObject *gravity = nullptr; // the float constants::gravity
  PyObject *int_0 = nullptr;
  PyObject *int_2 = nullptr;
  PyObject *kwnames_dtype = nullptr; // ("dtype",): keyword names of np.zeros calls
  PyObject *kwnames_dx = nullptr;    // ("dx",): keyword names of cumulative_trapezoid calls
  // What a fused path stands in for, so that it can tell that the namespace still
  // holds it: the np and get_PGA_cy bound at start-up, and NumPy's and SciPy's own
  // functions, each null when not found (strong references; null until start-up succeeds).
  PyObject *numpy = nullptr;
  PyObject *numpy_dict = nullptr;    // numpy's module dictionary; null when numpy is no module
  PyObject *numpy_zeros = nullptr;
  PyObject *numpy_asarray = nullptr;
  PyObject *numpy_array = nullptr;   // with cumsum: what SciPy's cumulative_trapezoid calls in NumPy
  PyObject *numpy_cumsum = nullptr;
  PyObject *get_PGA_cy = nullptr;
  PyObject *cumulative_trapezoid = nullptr;  // SciPy's own, or nullptr when it had none
};

extern Names names;
extern State state;

/// Creates the interned names and the constant objects; false with an exception set.
bool create_names() noexcept;

/// Takes the objects the fused paths compare against from the namespace just
/// bound; false with an exception set. Dropped again by forget_bindings().
bool remember_bindings() noexcept;
void forget_bindings() noexcept;

/// Looks `name` up in the module's namespace, then in the builtins (new reference);
/// nullptr with NameError "name '...' is not defined" when neither has it, or with
/// the error a look-up raised.
PyObject *lookup_global(PyObject *name) noexcept;

/// How a measure runs this call: fused (kernels only, no Python-level call) while
/// nothing it would call by name has been replaced; else by name, through the
/// namespace; failed when a namespace look-up raised (the exception is set).
enum class Path { fused, by_name, failed };

/// fused while the namespace's `np` is the NumPy bound at start-up and its `zeros`
/// and `asarray` are NumPy's own: array creation then has no effect a caller can
/// observe beyond the array itself.
Path choose_path() noexcept;

/// choose_path(), and by name also when NumPy's array or cumsum is not NumPy's own:
/// SciPy's cumulative_trapezoid calls them by name, so its velocity may then differ
/// from the fused pass (get_PGV_cy, while the namespace's integrate holds SciPy's).
Path choose_velocity_path() noexcept;

/// choose_path(), and by name also when the namespace's get_PGA_cy is not the
/// module's own (CAVstd calls it once per window).
Path choose_path_with_own_peak() noexcept;

} // namespace tavo
