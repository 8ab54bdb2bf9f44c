#pragma once
// Single place that includes NumPy's C API; module.cpp defines KESRA_NUMPY_IMPORT to own
// the API table, every other file shares it.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kesra_ARRAY_API
#ifndef KESRA_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <Python.h>
#include <numpy/arrayobject.h>
