// The library's work for the Cholesky counts (cholmod/counts.cpp): CHOLMOD's
// symbolic analysis of a checked pattern the call owns, which builds no
// factor pattern, so that orderings with enormous fill are counted as
// cheaply as good ones.
#pragma once

#include "common/cholmod_routines.hpp"
#include "common/engine/cholmod_owner.hpp"

#include <cholmod.h>

#include <cstddef>

namespace tarnix::engine {

// Counts only: a simplicial analysis builds no factor pattern, and one
// ordering method is tried (the given one or the natural order).
template <class I>
void set_counts_only(CholmodCommon<I>& cm) noexcept
{
    cm->supernodal = CHOLMOD_SIMPLICIAL;
    cm->nmethods = 1;
}

// One count, on arrays the call owns and has checked:
//   Ap[ncol+1]     column pointers
//   Ai[Ap[ncol]]   row indices, in range, sorted and unique within each column
//   perm[order]    a permutation of the order (nrow, or ncol when normal), or
//                  null for the natural order
// normal = false: the factor of S[perm][:, perm], S = A + A' (A square);
// normal = true:  the factor of A[:, perm]' A[:, perm].
template <class I>
struct CountsInput {
    long long nrow;
    long long ncol;
    I* Ap;
    I* Ai;
    I* perm;
    bool normal;
};

// What the analysis found; `failed_step` names the step that returned
// nothing (with the common's status), or is null.
struct Counts {
    long long lnz = 0;
    double flops = 0.0;
    const char* failed_step = nullptr;
    int status = CHOLMOD_OK;
};

// A pattern-only header over the arrays, which the library only reads.
template <class I>
cholmod_sparse pattern_header(const CountsInput<I>& a) noexcept
{
    cholmod_sparse A{};
    A.nrow = static_cast<size_t>(a.nrow);
    A.ncol = static_cast<size_t>(a.ncol);
    A.nzmax = static_cast<size_t>(a.Ap[a.ncol]);
    A.p = a.Ap;
    A.i = a.Ai;
    A.itype = cholmod_lib<I>.itype;
    A.xtype = CHOLMOD_PATTERN;
    A.dtype = CHOLMOD_DOUBLE;
    A.sorted = 1;
    A.packed = 1;
    return A;
}

// The count, in a started common; every record it allocates is freed
// before it returns.
template <class I>
Counts count(const CountsInput<I>& a, CholmodCommon<I>& cm) noexcept
{
    cholmod_sparse A = pattern_header(a);
    Counts out;
    auto failed = [&](const char* step) {
        out.failed_step = step;
        out.status = cm.get()->status;
        return out;
    };
    cm.get()->method[0].ordering = a.perm != nullptr ? CHOLMOD_GIVEN : CHOLMOD_NATURAL;
    Owned<cholmod_sparse, I> AT(cholmod_lib<I>.transpose(&A, 0, cm.get()), cm.get());
    if (AT.get() == nullptr) {
        return failed("transpose");
    }
    // For an unsymmetric matrix F, CHOLMOD analyses F F': F = A' gives A'A,
    // with perm ordering the rows of F, the columns of A.
    double one[2] = {1.0, 0.0};
    Owned<cholmod_sparse, I> S(a.normal ? nullptr : cholmod_lib<I>.add(&A, AT.get(), one, one, 0, 1, cm.get()),
                               cm.get());
    if (!a.normal && S.get() == nullptr) {
        return failed("A + A'");
    }
    cholmod_sparse* target = a.normal ? AT.get() : S.get();
    target->stype = a.normal ? 0 : 1;  // S stores both triangles; the upper one is read
    Owned<cholmod_factor, I> L(cholmod_lib<I>.analyze_p(target, a.perm, nullptr, 0, cm.get()), cm.get());
    if (L.get() == nullptr) {
        return failed("analysis");
    }
    const I* colcount = static_cast<const I*>(L.get()->ColCount);
    const long long order = a.normal ? a.ncol : a.nrow;
    for (long long j = 0; j < order; ++j) {
        out.lnz += colcount[j];
    }
    out.flops = cm.get()->fl;
    return out;
}

}  // namespace tarnix::engine
