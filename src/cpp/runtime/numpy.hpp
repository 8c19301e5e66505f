// NumPy's C array API, shared by all translation units of the module.
#pragma once
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL tavo_ARRAY_API
#ifndef TAVO_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
