// The library calls of tarnix.btf: btf_maxtrans, btf_strongcomp and
// btf_order (32-bit indices) or their _l forms (64-bit), on arrays the call
// owns. BTF trusts its input completely: the pattern handed to these calls
// has been checked whole (column pointers from 0, non-decreasing, within
// Ai; every row index in range), and a starting column permutation too.
#pragma once

#include "common/width_table.hpp"

#include <btf.h>

namespace tarnix::engine {

template <class I>
struct BtfRoutines {
    I (*maxtrans)(I nrow, I ncol, I* Ap, I* Ai, double maxwork, double* work, I* Match, I* Work);
    I (*strongcomp)(I n, I* Ap, I* Ai, I* Q, I* P, I* R, I* Work);
    I (*order)(I n, I* Ap, I* Ai, double maxwork, double* work, I* P, I* Q, I* R, I* nmatch, I* Work);
};

inline constexpr WidthTable<BtfRoutines> btf_routines{
    {btf_maxtrans, btf_strongcomp, btf_order},
    {btf_l_maxtrans, btf_l_strongcomp, btf_l_order},
};

// The entries per column of the workspace each routine needs.
inline constexpr long long maxtrans_work = 5;
inline constexpr long long strongcomp_work = 4;
inline constexpr long long order_work = 5;

// The nrow by ncol pattern BTF reads (checked; see above): Ap[ncol+1], Ai[Ap[ncol]].
template <class I>
struct BtfPattern {
    I nrow;
    I ncol;
    I* Ap;
    I* Ai;
};

// The maximum transversal: match[nrow] receives the column matched to each
// row, or -1. work holds maxtrans_work * ncol entries. Returns the number of
// matches (the structural rank), negative on failure.
template <class I>
struct Maxtrans {
    BtfPattern<I> A;
    double maxwork;
    I* match;
    I* work;
};

template <class I>
I maxtrans(const Maxtrans<I>& a) noexcept
{
    double work_done = 0.0;
    return btf_routines.get<I>().maxtrans(a.A.nrow, a.A.ncol, a.A.Ap, a.A.Ai, a.maxwork, &work_done, a.match,
                                          a.work);
}

// The strongly connected components of a square pattern: p[n] and r[n+1]
// receive the permutation and the block starts; q[n], when not null, a
// column permutation (columns j in 0..n-1 or flipped -j-2, none twice) is
// reordered in place. BTF also uses r as a stack and may leave entries of
// its outputs unwritten. work holds strongcomp_work * n entries. Returns the
// number of blocks, negative on failure.
template <class I>
struct Strongcomp {
    BtfPattern<I> A;
    I* q;
    I* p;
    I* r;
    I* work;
};

template <class I>
I strongcomp(const Strongcomp<I>& a) noexcept
{
    return btf_routines.get<I>().strongcomp(a.A.ncol, a.A.Ap, a.A.Ai, a.q, a.p, a.r, a.work);
}

// The block triangular form of a square pattern: p[n], q[n] and r[n+1]
// receive the row and column permutations (unmatched columns flipped) and
// the block starts. work holds order_work * n entries. Returns the number of
// blocks, negative on failure.
template <class I>
struct BtfOrder {
    BtfPattern<I> A;
    double maxwork;
    I* p;
    I* q;
    I* r;
    I* work;
};

template <class I>
I btf_order(const BtfOrder<I>& a) noexcept
{
    double work_done = 0.0;
    I nmatch = 0;
    return btf_routines.get<I>().order(a.A.ncol, a.A.Ap, a.A.Ai, a.maxwork, &work_done, a.p, a.q, a.r, &nmatch,
                                       a.work);
}

}  // namespace tarnix::engine
