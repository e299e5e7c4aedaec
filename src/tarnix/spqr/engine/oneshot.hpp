// The one-shot factorization of tarnix.spqr's spqr(): Q, R and E, R and E,
// or the Householder form, in one library call.
#pragma once

#include "spqr/engine/library.hpp"

#include <cstddef>

namespace spqr_engine {

using spqr_lib::Owned;
using spqr_lib::Status;

enum class Mode { Full, Economic, R, Householder };

// The factors of one call, each owned until handed on; all of them through
// the common of the call (which outlives them).
template <class Int>
struct Factors {
    // m, n: the rows and columns of A (the lengths of HPinv and E).
    Factors(cholmod_common* cm, size_t m, size_t n) noexcept
        : Q(cm), R(cm), H(cm), HTau(cm), E(cm, n), HPinv(cm, m)
    {
    }
    Owned<cholmod_sparse, Int> Q;
    Owned<cholmod_sparse, Int> R;
    Owned<cholmod_sparse, Int> H;
    Owned<cholmod_dense, Int> HTau;
    Owned<Int, Int> E;
    Owned<Int, Int> HPinv;
};

// The factorization of A (a header over index arrays the caller checked)
// that `mode` asks for, into `out`.
template <class Entry, class Int>
Status factor_once(Mode mode, int ordering, double tol, cholmod_sparse* A, Factors<Int>& out, cholmod_common* cm)
{
    const auto m = static_cast<Int>(A->nrow);
    const auto n = static_cast<Int>(A->ncol);
    const Int econ = mode == Mode::Economic ? n : m;
    spqr_lib::OutOfMemoryLatch latch;
    switch (mode) {
    case Mode::R:
        SuiteSparseQR<Entry, Int>(ordering, tol, econ, A, out.R.out(), out.E.out(), cm);
        break;
    case Mode::Full:
    case Mode::Economic:
        SuiteSparseQR<Entry, Int>(ordering, tol, econ, A, out.Q.out(), out.R.out(), out.E.out(), cm);
        break;
    case Mode::Householder:
        SuiteSparseQR<Entry, Int>(ordering, tol, econ, A, out.R.out(), out.E.out(), out.H.out(), out.HPinv.out(),
                                  out.HTau.out(), cm);
        break;
    }
    return spqr_lib::status_of(*cm);
}

}  // namespace spqr_engine
