// The library calls of the COLAMD family (COLAMD/SYMAMD and
// CCOLAMD/CSYMAMD), over a description of the library that each module's
// engine gives as a struct Lib:
//
//   name              "COLAMD" or "CCOLAMD"
//   nknobs, nstats    the sizes of the knobs and stats arrays
//   constrained       whether the routines take constraint sets (cmember)
//   lu_knob           index of the LU/Cholesky knob, or -1 without one
//   routines          the routines in both widths (WidthTable<ColamdRoutines...>)
//   set_defaults      the library's default knobs
//
// Both libraries lay their knobs and stats out alike (colamd_layout); each
// module's engine checks its library's constants against it. Every array
// handed to these calls is the call's own and checked where the library
// does not check it itself, so that they can run without the interpreter
// lock; the face copies and checks them.
#pragma once

#include "common/allocator.hpp"
#include "common/engine/thresholds.hpp"
#include "common/engine/workspace.hpp"
#include "common/width_table.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <tuple>
#include <type_traits>

namespace tarnix::engine {

using LibraryAllocate = void* (*)(size_t, size_t);
using LibraryRelease = void (*)(void*);

// The routines of COLAMD (Constrained = false) or CCOLAMD (true) in the index
// type I: the recommended work length, the unsymmetric ordering (which
// overwrites its A and p) and the symmetric one (which reads A and p).
template <class I, bool Constrained>
struct ColamdRoutines;

template <class I>
struct ColamdRoutines<I, false> {
    size_t (*recommended)(I nnz, I n_row, I n_col);
    int (*order)(I n_row, I n_col, I alen, I* A, I* p, double* knobs, I* stats);
    int (*symmetric)(I n, I* A, I* p, I* perm, double* knobs, I* stats, LibraryAllocate, LibraryRelease);
};

// CSYMAMD takes its triangle selector as an int, CSYMAMD_L as an int64_t.
template <class I>
using CsymamdStype = std::conditional_t<sizeof(I) == 8, int64_t, int>;

template <class I>
struct ColamdRoutines<I, true> {
    size_t (*recommended)(I nnz, I n_row, I n_col);
    int (*order)(I n_row, I n_col, I alen, I* A, I* p, double* knobs, I* stats, I* cmember);
    int (*symmetric)(I n, I* A, I* p, I* perm, double* knobs, I* stats, LibraryAllocate, LibraryRelease,
                     I* cmember, CsymamdStype<I> stype);
};

template <class I>
using ColamdLibrary = ColamdRoutines<I, false>;
template <class I>
using CcolamdLibrary = ColamdRoutines<I, true>;

// Knob and stats positions shared by both libraries.
namespace colamd_layout {
inline constexpr int dense_row = 0;
inline constexpr int dense_col = 1;
inline constexpr int aggressive = 2;
inline constexpr int defrag_count = 2;
inline constexpr int status = 3;
inline constexpr int info1 = 4;
inline constexpr int info2 = 5;
inline constexpr int info3 = 6;

// Whether a library's positions, given in the order above (dense_row,
// dense_col, aggressive, defrag_count, status, info1, info2, info3), are these.
constexpr bool matches(const int (&positions)[8]) noexcept
{
    const int ours[8] = {dense_row, dense_col, aggressive, defrag_count, status, info1, info2, info3};
    for (int k = 0; k < 8; ++k) {
        if (positions[k] != ours[k]) {
            return false;
        }
    }
    return true;
}
}  // namespace colamd_layout


// The knobs handed to the library: a copy of the caller's K knobs with the
// dense-row and dense-column thresholds (knobs 0 and 1) made safe. The
// libraries turn a threshold alpha into a count as (Int) max(16, alpha *
// sqrt(n)), n at most max(M, N); beyond the index range that cast is
// undefined, and in practice gives the most negative count, so that every
// row and column is taken as dense: the opposite of what a huge threshold
// (or infinity) asks for. Such a threshold is lowered to one that still
// leaves every row and column sparse. NaN means nothing: the index of a NaN
// threshold is returned (and the face refuses it), -1 otherwise.
template <class I, size_t K>
int library_knobs(double (&out)[K], const double* knobs, long long M, long long N) noexcept
{
    std::copy_n(knobs, K, out);
    const double cap = dense_threshold_cap<I>(M > N ? M : N);
    for (int k = 0; k < 2; ++k) {
        if (std::isnan(out[k])) {
            return k;
        }
        out[k] = out[k] > cap ? cap : out[k];
    }
    return -1;
}

// The work array COLAMD and CCOLAMD order in, of the recommended length
// alen >= nnz: the row indices, then room the library sets up for itself
// (left uninitialised, as the library asks only for the indices). The
// library checks the copy before it reads it. Throws AllocationFailure.
template <class I>
std::unique_ptr<I[]> colamd_work_array(const I* Ai, long long nnz, I alen)
{
    std::unique_ptr<I[]> work = new_workspace<I>(alen);
    std::copy_n(Ai, nnz, work.get());
    return work;
}

// What a call of the library returned: its verdict and its statistics.
template <class Lib, class I>
struct ColamdOutcome {
    int ok = 0;
    I stats[Lib::nstats] = {};
};

// What both orderings take besides the pattern, in arrays the call owns:
//   perm[n_col + 1]   the permutation out (the unsymmetric ordering reads
//                     the column pointers from it first)
//   knobs[nknobs]     made safe (library_knobs)
//   cmember[n_col]    constraint sets in 0..n_col-1, or null (CCOLAMD only)
template <class I>
struct ColamdShared {
    I* perm;
    double* knobs;
    I* cmember;
};

// routine(lead..., perm, knobs, stats, tail...), with the constrained
// arguments appended for CCOLAMD and CSYMAMD, which take them last.
template <class Lib, class I, class Routine, class... Lead, class... Tail, class... Constrained>
ColamdOutcome<Lib, I> call_family(Routine routine, const std::tuple<Lead...>& lead, const ColamdShared<I>& s,
                                  const std::tuple<Tail...>& tail,
                                  const std::tuple<Constrained...>& constrained) noexcept
{
    ColamdOutcome<Lib, I> out;
    const auto args = std::tuple_cat(lead, std::tuple{s.perm, s.knobs, &out.stats[0]}, tail);
    if constexpr (Lib::constrained) {
        out.ok = std::apply(routine, std::tuple_cat(args, constrained));
    }
    else {
        static_cast<void>(constrained);
        out.ok = std::apply(routine, args);
    }
    return out;
}

// The unsymmetric ordering: work[alen] holds the row indices, then room
// (overwritten), and perm the column pointers.
template <class I>
struct ColamdOrder {
    I n_row;
    I n_col;
    I alen;
    I* work;
    ColamdShared<I> shared;
};

template <class Lib, class I>
ColamdOutcome<Lib, I> colamd_order(const ColamdOrder<I>& a) noexcept
{
    return call_family<Lib, I>(Lib::routines.template get<I>().order, std::tuple{a.n_row, a.n_col, a.alen, a.work},
                               a.shared, std::tuple{}, std::tuple{a.shared.cmember});
}

// The symmetric ordering, on copies of the pattern Ap[n + 1], Ai[Ap[n]],
// which the library reads (it checks the pattern itself once Ap stays
// inside Ai). CSYMAMD reads the lower triangle (stype -1).
template <class I>
struct ColamdSymmetric {
    I n;
    I* Ap;
    I* Ai;
    ColamdShared<I> shared;
};

template <class Lib, class I>
ColamdOutcome<Lib, I> colamd_symmetric(const ColamdSymmetric<I>& a) noexcept
{
    return call_family<Lib, I>(Lib::routines.template get<I>().symmetric, std::tuple{a.n, a.Ai, a.Ap}, a.shared,
                               std::tuple{&library_calloc, &library_free},
                               std::tuple{a.shared.cmember, CsymamdStype<I>{-1}});
}

}  // namespace tarnix::engine
