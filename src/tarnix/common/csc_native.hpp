// validate_csc_input's common case done natively: a SciPy CSC matrix whose
// arrays already are what the function would return is checked in one pass
// in C++ and used as it is, without calling into Python.
#pragma once

#include "common/csc.hpp"

namespace tarnix {

// Binds, in the module state, what the native path compares with and reads:
// the module's validate_csc_input as bound at import, SciPy's csc_array and
// csc_matrix classes, and the attribute names; and the prototype of new
// csc_array results (common/csc_result.hpp). Run once, after the module's
// exec body has bound validate_csc_input; a module without that binding
// (cholmod) never takes the native path.
void bind_csc_input(PyObject* module);

// Fills `out` and returns true when calling `validate` with A would return A
// itself and its index dtype: `validate` is the function the module bound at
// import, A is a csc_array or csc_matrix (the classes themselves: a subclass
// may run Python code in any attribute), `format` is "csc", `shape` holds
// two non-negative ints (equal ones when `require_square`), indptr, indices
// and data are NumPy arrays (not subclasses), one-dimensional, C-contiguous,
// writable, aligned and in native byte order, data float64 or complex128,
// indptr and indices both int32 (dimensions within its range) or both int64,
// and the structure is canonical: 0 = indptr[0] <= ... <= indptr[-1] = nnz =
// len(indices) = len(data), row indices strictly increasing within each
// column and below the row count.
// With PatternCopy::Checked the structure is copied into new arrays first
// and checked there (out.indptr_copy and out.indices_copy).
// Returns false in every other case, having run no Python code other than
// SciPy's own properties of those classes: the caller then calls `validate`,
// whose checks and messages decide.
bool take_canonical_csc(PyObject* module, PyObject* validate, PyObject* A, bool require_square, PatternCopy copy,
                        CscInput& out);

}  // namespace tarnix
