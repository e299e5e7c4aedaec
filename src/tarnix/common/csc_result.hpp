// New csc_array results over arrays that tarnix made itself: the instance
// SciPy's constructor would leave, filled in directly. The constructor's
// Python code (shape and index-dtype checks, a format check, pruning) costs
// more than a small factorization and finds nothing to say about arrays
// whose structure the library or tarnix guarantees.
#pragma once

#include "common/errors.hpp"

namespace tarnix {

// A copy of the instance dictionary of csc_array((0, 0)) when it holds
// exactly the attributes new_csc_array fills (_shape, maxprint, data,
// indices, indptr); None for a SciPy whose instances keep more, for which
// new_csc_array calls the constructor.
Ref csc_prototype(PyObject* csc_array_type);

// csc_array((nrow, ncol), dtype=data.dtype) with its data, indices and
// indptr then replaced by the given arrays (given to the constructor, int64
// indices that fit would be narrowed): the same object, made from the
// prototype without SciPy's Python code when there is one. Nothing checks
// the arrays (the constructor path, too, sets them after its checks of the
// empty matrix): they must hold a CSC structure of that shape with one index
// dtype, which the caller guarantees.
Ref new_csc_array(PyObject* csc_array_type, PyObject* prototype, Py_ssize_t nrow, Py_ssize_t ncol, PyObject* data,
                  PyObject* indices, PyObject* indptr);

}  // namespace tarnix
