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

// Strong-reference dictionary lookup (CPython 3.13), for older interpreters:
// 1 with *result a new reference, 0 (and NULL) when the key is missing, -1
// with an exception set.
#if PY_VERSION_HEX < 0x030D0000
static inline int PyDict_GetItemRef(PyObject* mp, PyObject* key, PyObject** result)
{
    PyObject* item = PyDict_GetItemWithError(mp, key);
    if (item != nullptr) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
}
#endif
