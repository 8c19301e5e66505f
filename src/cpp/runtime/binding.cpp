// Binding of positional and keyword arguments to a parameter list (the
// module's own wording for argument errors, or the interpreter's), the
// traceback entry of a failed call, and the plain scalar conversions.
#include "runtime/binding.hpp"

#include <climits>

#include "runtime/traceback.hpp"

namespace tavo::runtime {
namespace {

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

// The interpreter's getargs wording.

[[gnu::cold]] bool raise_too_many(const FunctionDef &def, Py_ssize_t given) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() takes at most %d positional argument%s (%zd given)",
               def.name, def.n_params, def.n_params == 1 ? "" : "s", given);
  return false;
}

[[gnu::cold]] bool raise_missing(const FunctionDef &def, int index) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %d)", def.name,
               def.params[index].name, index + 1);
  return false;
}

[[gnu::cold]] bool raise_not_string(const FunctionDef &) noexcept {
  PyErr_SetString(PyExc_TypeError, "keywords must be strings");
  return false;
}

[[gnu::cold]] bool raise_unexpected(const FunctionDef &def, PyObject *key) noexcept {
  PyErr_Format(PyExc_TypeError, "'%S' is an invalid keyword argument for %.200s()", key, def.name);
  return false;
}

[[gnu::cold]] bool raise_duplicate(const FunctionDef &def, PyObject *, int index) noexcept {
  PyErr_Format(PyExc_TypeError, "argument for %.200s() given by name ('%s') and position (%d)",
               def.name, def.params[index].name, index + 1);
  return false;
}

} // namespace

const ArgumentMessages getargs_messages = {
    raise_too_many, raise_missing, raise_not_string, raise_unexpected, raise_duplicate,
};

bool bind(const FunctionDef &def, PyObject *const *names, PyObject *const *args, Py_ssize_t nargs,
          PyObject *kwnames, PyObject **bound) noexcept {
  const ArgumentMessages &say = *def.module->messages;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > def.n_params) return say.too_many(def, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
  if (nkw == 0) return nargs >= def.n_required || say.missing(def, int(nargs));
  PyObject *const *kwvalues = args + nargs;
  Py_ssize_t unconsumed = nkw;
  for (Py_ssize_t i = nargs; i < def.n_params; ++i) {
    if (i >= def.n_required && unconsumed == 0) break;
    const Py_ssize_t k = find_keyword(kwnames, names[i]);
    if (k >= 0) {
      bound[i] = kwvalues[k];
      --unconsumed;
    } else if (i < def.n_required) {
      return say.missing(def, int(i));
    }
  }
  if (unconsumed == 0) return true;
  // Some keyword names matched no parameter after the positional ones: find
  // out why, in call order.
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) return say.not_string(def);
    int match = -1;
    for (int i = 0; i < def.n_params && match < 0; ++i)
      if (same_name(key, names[i])) match = i;
    if (match < 0) return say.unexpected(def, key);
    if (match < nargs) return say.duplicate(def, key, match);
    bound[match] = kwvalues[k];
  }
  return true;
}

PyObject *trace_failure(const FunctionDef &def, const char *file, int line,
                        bool body_failed) noexcept {
  if (body_failed && failure_site.file != nullptr) {
    file = failure_site.file;
    line = failure_site.line;
  }
  failure_site = {};
  char label[200];
  PyOS_snprintf(label, sizeof label, "%s.%s", def.module->name, def.name);
  add_traceback(label, file, line);
  return nullptr;
}

bool to_double(PyObject *obj, double &out) noexcept {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  // An exact int converts as PyFloat_AsDouble converts it (int's float conversion is
  // PyLong_AsDouble, same value, same OverflowError), without the float object between.
  if (PyLong_CheckExact(obj)) {
    out = PyLong_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
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
