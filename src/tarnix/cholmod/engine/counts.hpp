// The library's work for the Cholesky counts (cholmod/counts.cpp): CHOLMOD's
// symbolic analysis of a checked pattern the call owns, which builds no
// factor pattern, so that orderings with enormous fill are counted as
// cheaply as good ones.
#pragma once

#include "common/cholmod_routines.hpp"

#include <cholmod.h>

#include <cstddef>

namespace tarnix::engine {

// A common of the width I, started on construction when the library can
// (started()), finished on destruction.
template <class I>
class CountsCommon {
public:
    CountsCommon() noexcept
    {
        started_ = cholmod_lib<I>.start(&cm_) != 0;
        // Counts only: a simplicial analysis builds no factor pattern, and
        // CHOLMOD prints nothing; failures are read from the status.
        cm_.supernodal = CHOLMOD_SIMPLICIAL;
        cm_.print = 0;
        cm_.nmethods = 1;
    }
    CountsCommon(const CountsCommon&) = delete;
    CountsCommon& operator=(const CountsCommon&) = delete;
    ~CountsCommon()
    {
        if (started_) {
            cholmod_lib<I>.finish(&cm_);
        }
    }
    bool started() const noexcept { return started_; }
    cholmod_common* get() noexcept { return &cm_; }

private:
    cholmod_common cm_{};
    bool started_ = false;
};

// Frees a record through the routines of its width.
template <class I>
void free_record(cholmod_sparse** A, cholmod_common* cm) noexcept
{
    cholmod_lib<I>.free_sparse(A, cm);
}
template <class I>
void free_record(cholmod_factor** L, cholmod_common* cm) noexcept
{
    cholmod_lib<I>.free_factor(L, cm);
}

// Owns one CHOLMOD object of the common it came from; frees it through that common.
template <class I, class T>
class CountsRecord {
public:
    CountsRecord(T* p, CountsCommon<I>& cm) noexcept : p_(p), cm_(cm) {}
    CountsRecord(const CountsRecord&) = delete;
    CountsRecord& operator=(const CountsRecord&) = delete;
    ~CountsRecord()
    {
        if (p_ != nullptr) {
            free_record<I>(&p_, cm_.get());
        }
    }
    T* get() const noexcept { return p_; }

private:
    T* p_;
    CountsCommon<I>& cm_;
};

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
Counts count(const CountsInput<I>& a, CountsCommon<I>& cm) noexcept
{
    cholmod_sparse A = pattern_header(a);
    Counts out;
    auto failed = [&](const char* step) {
        out.failed_step = step;
        out.status = cm.get()->status;
        return out;
    };
    cm.get()->method[0].ordering = a.perm != nullptr ? CHOLMOD_GIVEN : CHOLMOD_NATURAL;
    CountsRecord<I, cholmod_sparse> AT(cholmod_lib<I>.transpose(&A, 0, cm.get()), cm);
    if (AT.get() == nullptr) {
        return failed("transpose");
    }
    // For an unsymmetric matrix F, CHOLMOD analyses F F': F = A' gives A'A,
    // with perm ordering the rows of F, the columns of A.
    double one[2] = {1.0, 0.0};
    CountsRecord<I, cholmod_sparse> S(a.normal ? nullptr : cholmod_lib<I>.add(&A, AT.get(), one, one, 0, 1, cm.get()),
                                      cm);
    if (!a.normal && S.get() == nullptr) {
        return failed("A + A'");
    }
    cholmod_sparse* target = a.normal ? AT.get() : S.get();
    target->stype = a.normal ? 0 : 1;  // S stores both triangles; the upper one is read
    CountsRecord<I, cholmod_factor> L(cholmod_lib<I>.analyze_p(target, a.perm, nullptr, 0, cm.get()), cm);
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
