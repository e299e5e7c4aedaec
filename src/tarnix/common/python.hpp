// Python and NumPy headers, included the same way by every translation unit.
//
// Each extension module links its own copy of the common code, so the NumPy
// API table below is private to the module (symbols are hidden) and filled by
// tarnix::import_numpy() when the module is executed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL tarnix_ARRAY_API
#ifndef TARNIX_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
