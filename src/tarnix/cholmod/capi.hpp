// The native interface of tarnix.cholmod, shared with the modules that use it.
//
// tarnix.cholmod exports its entry points in a dict attribute (kCapiTable),
// each as a PyCapsule whose name is the entry's signature text. A user binds
// them once at import with tarnix::import_capi_function, which checks the
// signature text, and calls them through the pointer types below.
//
// Ownership: the entries that take a CHOLMOD result over (the dense and sparse
// conversions) own it from the moment they are called, on success and on
// failure; the caller never frees it and may finish the common right after.
// The matrix's arrays become the memory of the returned NumPy arrays, released
// with SuiteSparse's allocator when the last array using them dies.
//
// Every entry runs with the interpreter lock held, and keeps it: they build
// Python objects, and the common they are given belongs to the caller, whose
// other threads may rely on the lock to keep it to themselves.
#pragma once

#include "common/python.hpp"

#include <cholmod.h>

#include <cstddef>

namespace tarnix::cholmod_capi {

inline constexpr const char* kModule = "tarnix.cholmod";
inline constexpr const char* kCapiTable = "_C_API";

// New 2-D array (nrow, ncol) over X's values; takes X over. use_int32 tells
// which CHOLMOD variant (cholmod_* or cholmod_l_*) allocated X with `common`.
inline constexpr const char* kNdarrayFromDenseName = "_ndarray_from_cholmod_dense";
inline constexpr const char* kNdarrayFromDenseSig = "PyArrayObject *(cholmod_dense *, int, cholmod_common *)";
using NdarrayFromDense = PyArrayObject* (*)(cholmod_dense* X, int use_int32, cholmod_common* common);

// New 1-D int32 (use_int32 = 1) or int64 copy of n indices; the caller keeps
// and frees the source vector.
inline constexpr const char* kNdarrayCopyFromIntptrName = "_ndarray_copy_from_intptr";
inline constexpr const char* kNdarrayCopyFromIntptrSig = "PyArrayObject *(void *, size_t, int)";
using NdarrayCopyFromIntptr = PyArrayObject* (*)(void* p, size_t n, int use_int32);

// New scipy.sparse.csc_array over A's arrays (packed and sorted first when
// needed); takes A over.
inline constexpr const char* kCscFromSparseName = "_csc_from_cholmod_sparse";
inline constexpr const char* kCscFromSparseSig = "PyObject *(cholmod_sparse *, cholmod_common *)";
using CscFromSparse = PyObject* (*)(cholmod_sparse* A, cholmod_common* common);

// Copies the settings and statistics of `source` into `dest` (already started
// with the same variant), never its workspace or memory accounting. 0 or -1.
inline constexpr const char* kCopyCommonName = "_copy_cholmod_common";
inline constexpr const char* kCopyCommonSig = "int (cholmod_common *, cholmod_common *)";
using CopyCommon = int (*)(cholmod_common* dest, cholmod_common* source);

// Fill a caller-owned header that views a column-major array in place:
// values at `data`, nrow x ncol, leading dimension ld (>= nrow). 0 or -1.
inline constexpr const char* kDenseFromFloat64Name = "cholmod_dense_from_ndarray_float64";
inline constexpr const char* kDenseFromFloat64Sig = "int (double *, size_t, size_t, size_t, cholmod_dense *)";
inline constexpr const char* kDenseFromComplex128Name = "cholmod_dense_from_ndarray_complex128";
inline constexpr const char* kDenseFromComplex128Sig =
    "int (double _Complex *, size_t, size_t, size_t, cholmod_dense *)";
inline constexpr const char* kDenseFromFloat32Name = "cholmod_dense_from_ndarray_float32";
inline constexpr const char* kDenseFromFloat32Sig = "int (float *, size_t, size_t, size_t, cholmod_dense *)";
inline constexpr const char* kDenseFromComplex64Name = "cholmod_dense_from_ndarray_complex64";
inline constexpr const char* kDenseFromComplex64Sig =
    "int (float _Complex *, size_t, size_t, size_t, cholmod_dense *)";
using DenseFromNdarray = int (*)(void* data, size_t nrow, size_t ncol, size_t ld, cholmod_dense* out);

// Test hooks, used by tarnix._testing only: from the call on, the creation
// numbered `index` (from 0) of a Python object by the conversions above fails
// with MemoryError (-1: none does); the report gives the number of creations
// counted and whether the refused one was reached.
inline constexpr const char* kRefusePythonAllocationName = "_refuse_python_allocation";
inline constexpr const char* kRefusePythonAllocationSig = "void (long long)";
using RefusePythonAllocation = void (*)(long long index);
inline constexpr const char* kPythonAllocationReportName = "_python_allocation_report";
inline constexpr const char* kPythonAllocationReportSig = "long long (int *)";
using PythonAllocationReport = long long (*)(int* failed);

}  // namespace tarnix::cholmod_capi
