// Library results handed over to tarnix.cholmod, which turns them into NumPy
// and SciPy objects and frees the library's records.
#pragma once

#include "spqr/library.hpp"
#include "spqr/state.hpp"

#include <cstdint>
#include <type_traits>

namespace spqr_module {

// Hands a dense result over as a new array.
template <class Int>
tarnix::Ref dense_to_ndarray(const State& st, spqr_lib::DenseResult<Int>& X, cholmod_common* cm)
{
    return tarnix::check(reinterpret_cast<PyObject*>(st.ndarray_from_dense(X.release(), std::is_same_v<Int, int32_t>, cm)));
}

// Hands a sparse result over as a new csc_array.
template <class Int>
tarnix::Ref sparse_to_csc(const State& st, spqr_lib::SparseResult<Int>& A, cholmod_common* cm)
{
    return tarnix::check(st.csc_from_sparse(A.release(), cm));
}

// A copy of n library indices as a new array of the width of Int.
template <class Int>
tarnix::Ref index_array(const State& st, const Int* values, size_t n)
{
    return tarnix::check(
        reinterpret_cast<PyObject*>(st.ndarray_copy_from_intptr(const_cast<Int*>(values), n, std::is_same_v<Int, int32_t>)));
}

}  // namespace spqr_module
