// Binding of positional and keyword arguments to a parameter list, with the
// argument errors callers see, then conversion of each argument in order.
#include "runtime/binding.hpp"

#include <climits>

#include "runtime/traceback.hpp"

namespace tavo::runtime {
namespace {

[[gnu::cold]] bool raise_count(const FunctionDef &def, bool exact, Py_ssize_t given) noexcept {
  const bool too_few = given < def.n_required;
  const char *more_or_less = exact ? "exactly" : (too_few ? "at least" : "at most");
  const Py_ssize_t expected = (exact || too_few) ? def.n_required : def.n_params;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               def.name, more_or_less, expected, expected == 1 ? "" : "s", given);
  return false;
}

[[gnu::cold]] bool raise_duplicate(const FunctionDef &def, PyObject *key) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, key);
  return false;
}

[[gnu::cold]] bool raise_unexpected(const FunctionDef &def, PyObject *key) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
  return false;
}

[[gnu::cold]] bool raise_not_string(const FunctionDef &def) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
  return false;
}

/// Keyword matching: identity with the interned name first, then string equality.
bool same_name(PyObject *key, PyObject *name) noexcept {
  return key == name || (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0);
}

/// Index of the keyword named `name` among `kwnames`, or -1.
Py_ssize_t find_keyword(PyObject *kwnames, PyObject *name) noexcept {
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k)
    if (PyTuple_GET_ITEM(kwnames, k) == name) return k;
  for (Py_ssize_t k = 0; k < nkw; ++k)
    if (same_name(PyTuple_GET_ITEM(kwnames, k), name)) return k;
  return -1;
}

} // namespace

bool bind(const FunctionDef &def, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
          PyObject **bound) noexcept {
  const bool exact = def.n_required == def.n_params;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw == 0) {
    if (nargs < def.n_required || nargs > def.n_params) return raise_count(def, exact, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    return true;
  }
  if (nargs > def.n_params) return raise_count(def, exact, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
  PyObject *const *kwvalues = args + nargs;
  Py_ssize_t unconsumed = nkw;
  for (Py_ssize_t i = nargs; i < def.n_params; ++i) {
    if (i >= def.n_required && unconsumed == 0) break;
    const Py_ssize_t k = find_keyword(kwnames, *def.params[i].interned);
    if (k >= 0) {
      bound[i] = kwvalues[k];
      --unconsumed;
    } else if (i < def.n_required) {
      return raise_count(def, exact, i);
    }
  }
  if (unconsumed == 0) return true;
  // Some keyword names matched no parameter after the positional ones: find
  // out why, in call order.
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) return raise_not_string(def);
    Py_ssize_t match = -1;
    for (Py_ssize_t i = 0; i < def.n_params && match < 0; ++i)
      if (same_name(key, *def.params[i].interned)) match = i;
    if (match < 0) return raise_unexpected(def, key);
    if (match < nargs) return raise_duplicate(def, key);
    bound[match] = kwvalues[k];
  }
  return true;
}

bool to_double(PyObject *obj, double &out) noexcept {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

bool to_int32(PyObject *obj, std::int32_t &out) noexcept {
  Ref number;
  if (!PyLong_Check(obj)) {
    PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
    if (nb == nullptr || nb->nb_int == nullptr) {
      PyErr_SetString(PyExc_TypeError, "an integer is required");
      return false;
    }
    number = Ref::steal(nb->nb_int(obj));
    if (!number) return false;
    if (!PyLong_CheckExact(number.get())) {
      if (!PyLong_Check(number.get())) {
        PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                     Py_TYPE(number.get())->tp_name);
        return false;
      }
      if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                           "__int__ returned non-int (type %.200s).  The ability to return an "
                           "instance of a strict subclass of int is deprecated, and may be removed "
                           "in a future version of Python.",
                           Py_TYPE(number.get())->tp_name) < 0)
        return false;
    }
    obj = number.get();
  }
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(obj, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < INT_MIN || value > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return false;
  }
  out = static_cast<std::int32_t>(value);
  return true;
}

} // namespace tavo::runtime
