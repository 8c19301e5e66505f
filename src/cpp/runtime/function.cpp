// Function objects for the public entry points. Fields are raw references
// managed by traverse/clear/dealloc; the interpreter calls each object's row
// entry directly (the binding layer's vectorcall, which first checks that the
// module's start-up has succeeded).
#include "runtime/function.hpp"

#include <cstddef>

#include "runtime/ref.hpp"

namespace tavo::runtime {
namespace {

PyTypeObject *function_type = nullptr;

FunctionObject *as_function(PyObject *o) noexcept { return reinterpret_cast<FunctionObject *>(o); }

int Function_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
  FunctionObject *f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->globals);
  Py_VISIT(f->defaults);
  Py_VISIT(f->params);
  return 0;
}

int Function_clear(PyObject *self) noexcept {
  FunctionObject *f = as_function(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->params);
  return 0;
}

void Function_dealloc(PyObject *self) noexcept {
  PyTypeObject *tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Function_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject *Function_repr(PyObject *self) noexcept {
  return PyUnicode_FromFormat("<tavotools function %U at %p>", as_function(self)->qualname, self);
}

/// pickle and copy treat a string result as the name of a module-level global.
PyObject *Function_reduce(PyObject *self, PyObject *) noexcept {
  return Py_NewRef(as_function(self)->qualname);
}

PyObject *Function_get_signature(PyObject *self, void *) noexcept {
  FunctionObject *f = as_function(self);
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
  Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
  if (!parameter || !signature) return nullptr;
  Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
  Ref params = Ref::steal(PyList_New(0));
  if (!kind || !params) return nullptr;
  const FunctionDef &def = *f->def;
  for (int i = 0; i < def.n_params; ++i) {
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    if (i >= def.n_required) {
      Ref dflt = Ref::borrow(PyTuple_Check(f->defaults) ? PyTuple_GET_ITEM(f->defaults, i - def.n_required)
                                                        : nullptr);
      if (dflt && PyDict_SetItemString(kwargs.get(), "default", dflt.get()) < 0) return nullptr;
    }
    Ref args = Ref::steal(PyTuple_Pack(2, PyTuple_GET_ITEM(f->params, i), kind.get()));
    if (!args) return nullptr;
    Ref p = Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
    if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
  }
  return PyObject_CallOneArg(signature.get(), params.get());
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(FunctionObject, defaults), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", Function_get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", Function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(Function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(Function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(Function_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(Function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

/// A default as the Python object __defaults__ holds.
PyObject *default_object(const Default &d) noexcept {
  switch (d.kind) {
  case Default::Kind::integer: return PyLong_FromLongLong(d.integer);
  case Default::Kind::boolean: return PyBool_FromLong(long(d.integer));
  case Default::Kind::null: return Py_NewRef(Py_None);
  default: return PyFloat_FromDouble(d.real);
  }
}

/// The row's defaults as a tuple, or None when every parameter is required.
PyObject *defaults_of(const FunctionDef &def) noexcept {
  if (def.n_required == def.n_params) return Py_NewRef(Py_None);
  Ref defaults = Ref::steal(PyTuple_New(def.n_params - def.n_required));
  if (!defaults) return nullptr;
  for (int i = def.n_required; i < def.n_params; ++i) {
    PyObject *value = default_object(def.params[i].value);
    if (value == nullptr) return nullptr;
    PyTuple_SET_ITEM(defaults.get(), i - def.n_required, value);
  }
  return defaults.release();
}

/// The interned parameter names; keyword matching compares them by identity first.
PyObject *params_of(const FunctionDef &def) noexcept {
  Ref params = Ref::steal(PyTuple_New(def.n_params));
  if (!params) return nullptr;
  for (int i = 0; i < def.n_params; ++i) {
    PyObject *name = PyUnicode_InternFromString(def.params[i].name);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(params.get(), i, name);
  }
  return params.release();
}

/// A new function object for `def` with `globals` (new reference), or nullptr.
PyObject *new_function(const FunctionDef &def, PyObject *globals) noexcept {
  Ref self = Ref::steal(function_type->tp_alloc(function_type, 0));
  if (!self) return nullptr;
  FunctionObject *f = as_function(self.get());
  f->vectorcall = def.call;
  f->def = &def;
  f->name = PyUnicode_InternFromString(def.name);
  f->qualname = Py_XNewRef(f->name);
  f->doc = PyUnicode_FromString(def.doc);
  f->module = PyUnicode_InternFromString(def.module->name);
  f->globals = Py_NewRef(globals);
  f->defaults = defaults_of(def);
  f->params = params_of(def);
  if (!f->name || !f->doc || !f->module || !f->defaults || !f->params) return nullptr;
  return self.release();
}

char type_name[128];

PyType_Spec function_spec = {
    type_name, sizeof(FunctionObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots};

} // namespace

PyObject *not_initialised(const FunctionDef &def) noexcept {
  PyErr_Format(PyExc_ImportError,
               "module %s is not initialised: its start-up failed or has not finished", def.module->name);
  return trace_failure(def, TAVO_SOURCE_FILE, __LINE__, false);
}

bool init_function_type(const ModuleInfo &module) noexcept {
  if (function_type != nullptr) return true;
  PyOS_snprintf(type_name, sizeof type_name, "%s.function", module.name);
  function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_spec));
  return function_type != nullptr;
}

bool bind_functions(PyObject *globals, const FunctionDef *defs, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    Ref f = Ref::steal(new_function(defs[i], globals));
    if (!f || PyDict_SetItemString(globals, defs[i].name, f.get()) < 0) return false;
  }
  return true;
}

} // namespace tavo::runtime
