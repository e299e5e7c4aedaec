// _cholesky_counts: exact entry and flop counts of a Cholesky factor, from
// CHOLMOD's symbolic analysis (elimination tree, postorder, row/column
// counts), in time close to linear in nnz(A) and with O(n + nnz(A)) memory:
// no factor pattern is ever built, so orderings with enormous fill (the
// natural order of a 3-D grid) are counted as cheaply as good ones.
//
// Two matrices are counted for a pattern A:
//   normal = False: S = A + A' (A square), the factor of S[p][:, p];
//   normal = True:  A'A, the factor of A[:, q]' A[:, q], which bounds the R
//                   of a QR factorization of A[:, q] (and the U of LU with
//                   partial pivoting).

#include "cholmod/counts.hpp"

#include "cholmod/engine/counts.hpp"
#include "cholmod/surface.hpp"
#include "common/engine/checks.hpp"
#include "common/owned.hpp"
#include "common/tarnix.hpp"
#include "common/workspace.hpp"

#include <optional>

#include <cstdint>

namespace tarnix::cholmod_counts {
namespace {

// The Python error for a library step that returned nothing.
[[noreturn]] void raise_step_failure(int status, const char* step)
{
    if (status == CHOLMOD_OUT_OF_MEMORY) {
        raise_format(PyExc_MemoryError, "CHOLMOD ran out of memory in %s", step);
    }
    if (status == CHOLMOD_TOO_LARGE) {
        raise_format(PyExc_OverflowError, "the problem is too large for CHOLMOD's %s", step);
    }
    raise_format(PyExc_RuntimeError, "CHOLMOD's %s failed with status %d", step, status);
}

// perm holds every value of 0..n-1 exactly once.
template <class I>
void require_permutation(const Vector<I>& perm, long long n)
{
    require_length(perm.size(), "perm", n, "n");
    const auto seen = new_workspace<unsigned char>(n, WorkspaceFor{PyExc_MemoryError, "CHOLMOD", n, n});
    const engine::IndexFault fault = engine::find_non_unique(perm.data(), n, n, seen.get());
    if (fault) {
        raise_format(PyExc_ValueError, "perm must be a permutation of 0..%lld, but perm[%lld] = %lld %s", n - 1,
                     fault.at, fault.value, fault.repeated ? "is repeated" : "is out of range");
    }
}

// The checked pattern of one count, in arrays the call owns (see
// common/owned.hpp):
//   Ap[ncol+1]   column pointers
//   Ai[Ap[ncol]] row indices, sorted and unique within each column
//   perm[order]  the ordering, or null for the natural order
template <class I>
struct Pattern {
    long long nrow;
    long long ncol;
    Owned<I> Ap;
    Owned<I> Ai;
    Owned<I> perm;
};

// The call's copy of a one-dimensional argument, made as soon as it is viewed.
template <class I>
Owned<I> copy_argument(PyObject* obj, const char* name)
{
    Vector<I> caller(obj, name);
    return Owned<I>::copy(caller, caller.size(), name);
}

// The row indices Ai[0..Ap[ncol]) copied in the pass that checks them: in
// 0..nrow-1 and strictly increasing within each column. A failure is raised
// by the full check of the copy, with its message.
template <class I>
Owned<I> copy_sorted_rows(const Owned<I>& Ap, const Vector<I>& Ai, long long nrow)
{
    const long long nnz = require_column_pointers(Ap.view, Ai.size());
    Owned<I> rows = Owned<I>::uninitialised(static_cast<Py_ssize_t>(nnz), "indices");
    const I* p = Ap.data();
    const I* src = Ai.data();
    I* dst = rows.data();
    bool sorted = true;
    for (Py_ssize_t j = 0; j + 1 < Ap.view.size(); ++j) {
        long long previous = -1;
        for (I k = p[j]; k < p[j + 1]; ++k) {
            const I row = src[k];
            dst[k] = row;
            sorted &= row > previous;
            previous = row;
        }
        sorted &= previous < nrow;
    }
    if (!sorted) {
        require_canonical_pattern(Ap.view, rows.view, nrow);
    }
    return rows;
}

// Each argument is copied as soon as it is viewed, and checked on the copy.
template <class I>
Pattern<I> copy_pattern(long long nrow, long long ncol, PyObject* indptr, PyObject* indices, PyObject* perm,
                        bool normal)
{
    Owned<I> Ap = copy_argument<I>(indptr, "indptr");
    Vector<I> Ai(indices, "indices");
    require_length(Ap.view.size(), "indptr", ncol + 1, "ncol + 1");
    narrow_size<I>(nrow, "nrow");
    Owned<I> rows = copy_sorted_rows(Ap, Ai, nrow);
    Pattern<I> pattern{nrow, ncol, std::move(Ap), std::move(rows), {}};
    if (perm != Py_None) {
        pattern.perm = copy_argument<I>(perm, "perm");
    }
    if (!normal && nrow != ncol) {
        raise_format(PyExc_ValueError, "A + A' needs a square matrix, got %lld x %lld", nrow, ncol);
    }
    if (pattern.perm.array) {
        require_permutation(pattern.perm.view, normal ? ncol : nrow);
    }
    return pattern;
}

template <class I>
Ref counts(long long nrow, long long ncol, PyObject* indptr, PyObject* indices, PyObject* perm, bool normal)
{
    const Pattern<I> pattern = copy_pattern<I>(nrow, ncol, indptr, indices, perm, normal);
    if ((normal ? ncol : nrow) == 0) {
        return check(Py_BuildValue("(Ld)", 0LL, 0.0));
    }
    std::optional<engine::CholmodCommon<I>> cm;
    try {
        cm.emplace();
    }
    catch (const engine::CommonNotStarted&) {
        raise(PyExc_MemoryError, "CHOLMOD could not start a common");
    }
    engine::set_counts_only(*cm);
    const engine::CountsInput<I> in{pattern.nrow, pattern.ncol, pattern.Ap.data(), pattern.Ai.data(),
                                    pattern.perm.data(), normal};
    // The library's work touches no Python object, only the pattern's own
    // arrays and the records it allocates.
    const engine::Counts result = without_gil([&] { return engine::count(in, *cm); });
    if (result.failed_step != nullptr) {
        raise_step_failure(result.status, result.failed_step);
    }
    return check(Py_BuildValue("(Ld)", result.lnz, result.flops));
}

// _cholesky_counts(shape, indptr, indices, perm, normal)
Ref py_cholesky_counts(PyObject*, const Args& a)
{
    const auto [nrow, ncol] = parse_shape(a[0]);
    const bool normal = truth(a[4]);
    return dispatch_index_width(a[1], [&](auto index) {
        using I = decltype(index);
        return counts<I>(nrow, ncol, a[1], a[2], a[3], normal);
    });
}

constexpr Param cholesky_counts_params[] = {
    {"shape"}, {"indptr"}, {"indices"}, {"perm", Default::None}, kwonly("normal", Default::False)};

}  // namespace

const FunctionDef cholesky_counts_def =
    function(cholmod_surface::cholesky_counts, py_cholesky_counts, cholesky_counts_params).with_doc(R"(Entries and flops of a Cholesky factor, counted by CHOLMOD's analysis.

Private, for the structural report. The CSC pattern (values are not read)
must be canonical: indptr and indices of one integer width (int32 or int64),
row indices in range, sorted and unique within each column.

Parameters
----------
shape : tuple of int
    (nrow, ncol).
indptr, indices : numpy.ndarray
    The CSC index arrays, one-dimensional, C-contiguous and writable.
perm : numpy.ndarray or None
    The ordering, in the index dtype; None for the natural order.
normal : bool
    False: the factor of S[perm][:, perm] for the pattern S = A + A' (A square).
    True: the factor of A[:, perm].T @ A[:, perm], an upper bound on the
    pattern of R in the QR factorization of A[:, perm].

Returns
-------
(nnz, flops) : tuple of int and float
    Entries of the factor including its diagonal (exact, structural), and
    the floating-point operations of the factorization.)");

}  // namespace tarnix::cholmod_counts
