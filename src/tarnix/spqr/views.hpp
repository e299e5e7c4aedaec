// Matrices handed to SuiteSparseQR: CHOLMOD headers over arrays Python owns
// (see common/cholmod_views.hpp for what a view guarantees and for the order
// in which a call gathers its arguments, builds its views and calls the
// library), and private copies of the arrays the library indexes with.
//
// SuiteSparseQR runs without the interpreter lock, while other threads may
// write to the caller's arrays. The values it only reads (a caller who
// changes them meanwhile gets a wrong answer, as with NumPy), but the index
// arrays steer its reads and writes: it is handed index arrays the call owns,
// copied before the view is built and checked as copied.
#pragma once

#include "common/cholmod_views.hpp"
#include "spqr/state.hpp"

#include <complex>
#include <type_traits>

namespace spqr_module {

// The header over a CSC matrix's arrays (a matrix from validate_csc_input),
// filled through the module-level _cholmod_sparse_from_csc.
tarnix::SparseView sparse_view(PyObject* module, tarnix::CscParts parts);

// That module-level fill, and whether it is the module's own (which checks
// the structure itself).
tarnix::Ref module_fill(PyObject* module);
bool trusted_fill(const State& st, PyObject* fill);

// The matrix with private copies of its index arrays, converted to
// `index_type` (an NPY_ type number; -1 keeps theirs), for a view that the
// library reads without the interpreter lock. The copies are made before the
// view (a large copy may let go of the interpreter lock), which then checks
// them as they are.
tarnix::CscParts private_indices(tarnix::CscParts parts, int index_type = -1);

// sparse_view(module, private_indices(parts, index_type)).
tarnix::SparseView owned_sparse_view(PyObject* module, tarnix::CscParts parts, int index_type = -1);

// The view of a matrix coerce_csc returned (with PatternCopy::Checked):
// over the copies its native path checked, when it took the matrix and the
// module-level fill is the module's own; owned_sparse_view otherwise.
tarnix::SparseView input_view(PyObject* module, const tarnix::CscInput& in);

// A new csc_array over copies of a CSC matrix's arrays, checked after they
// were copied. For SciPy operations that index with the stored indices after
// Python code has run.
tarnix::Ref private_csc_copy(PyObject* module, PyObject* matrix);

// The dense header over a column-major array of the entry type.
template <class Entry>
tarnix::DenseView<Entry> dense_view(const State& st, PyObject* array, const char* name)
{
    return tarnix::DenseView<Entry>(array, name,
                                    std::is_same_v<Entry, double> ? st.dense_from_float64 : st.dense_from_complex128);
}

}  // namespace spqr_module
