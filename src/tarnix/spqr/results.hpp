// Library results handed over to tarnix.cholmod, which turns them into NumPy
// and SciPy objects and frees the library's records.
#pragma once

#include "spqr/engine/library.hpp"
#include "spqr/state.hpp"
#include "spqr/status.hpp"

#include <cstdint>
#include <memory>
#include <type_traits>

namespace spqr_module {

// A common for one call (MemoryError when it cannot start), finished when
// the owner goes, after the results made through it were handed over.
template <class Int>
std::unique_ptr<spqr_lib::Common<Int>> started_common()
{
    try {
        return std::make_unique<spqr_lib::Common<Int>>();
    }
    catch (const tarnix::engine::CommonNotStarted&) {
        raise_common_not_started();
    }
}

// Hands a dense result over as a new array.
template <class Int>
tarnix::Ref dense_to_ndarray(const State& st, spqr_lib::Owned<cholmod_dense, Int>& X, cholmod_common* cm)
{
    return tarnix::check(
        reinterpret_cast<PyObject*>(st.ndarray_from_dense(X.release(), std::is_same_v<Int, int32_t>, cm)));
}

// Hands a sparse result over as a new csc_array.
template <class Int>
tarnix::Ref sparse_to_csc(const State& st, spqr_lib::Owned<cholmod_sparse, Int>& A, cholmod_common* cm)
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
