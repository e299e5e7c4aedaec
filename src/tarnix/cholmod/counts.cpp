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

#include "common/cholmod_routines.hpp"
#include "common/owned.hpp"
#include "common/tarnix.hpp"
#include "common/workspace.hpp"

#include <cholmod.h>

#include <cstdint>
#include <vector>

namespace tarnix::cholmod_counts {
namespace {

// A started common, finished on every exit.
template <class I>
class Common {
public:
    Common()
    {
        if (!cholmod_lib<I>.start(&cm_)) {
            raise(PyExc_MemoryError, "CHOLMOD could not start a common");
        }
        // Counts only: a simplicial analysis builds no factor pattern, and
        // CHOLMOD prints nothing; failures are read from the status.
        cm_.supernodal = CHOLMOD_SIMPLICIAL;
        cm_.print = 0;
        cm_.nmethods = 1;
    }
    Common(const Common&) = delete;
    Common& operator=(const Common&) = delete;
    ~Common() { cholmod_lib<I>.finish(&cm_); }
    cholmod_common* get() { return &cm_; }

private:
    cholmod_common cm_{};
};

// Frees a record through the routines of its width.
template <class I>
void free_record(cholmod_sparse** A, cholmod_common* cm)
{
    cholmod_lib<I>.free_sparse(A, cm);
}
template <class I>
void free_record(cholmod_factor** L, cholmod_common* cm)
{
    cholmod_lib<I>.free_factor(L, cm);
}

// Owns one CHOLMOD object of the common it came from; frees it through that common.
template <class I, class T>
class OwnedRecord {
public:
    OwnedRecord(T* p, Common<I>& cm) : p_(p), cm_(cm) {}
    OwnedRecord(const OwnedRecord&) = delete;
    OwnedRecord& operator=(const OwnedRecord&) = delete;
    ~OwnedRecord()
    {
        if (p_ != nullptr) {
            free_record<I>(&p_, cm_.get());
        }
    }
    T* get() const { return p_; }

private:
    T* p_;
    Common<I>& cm_;
};

template <class I>
using Sparse = OwnedRecord<I, cholmod_sparse>;
template <class I>
using Factor = OwnedRecord<I, cholmod_factor>;

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
    std::vector<unsigned char> seen = with_workspace(WorkspaceFor{PyExc_MemoryError, "CHOLMOD", n, n},
                                                     static_cast<double>(n),
                                                     [&] { return std::vector<unsigned char>(static_cast<size_t>(n), 0); });
    for (long long k = 0; k < n; ++k) {
        const long long v = perm[k];
        if (v < 0 || v >= n || seen[static_cast<size_t>(v)]) {
            raise_format(PyExc_ValueError, "perm must be a permutation of 0..%lld, but perm[%lld] = %lld %s", n - 1,
                         k, v, v < 0 || v >= n ? "is out of range" : "is repeated");
        }
        seen[static_cast<size_t>(v)] = 1;
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

// What the analysis found; `failed_step` names the step that returned
// nothing (with the common's status), or is null.
struct Counts {
    long long lnz = 0;
    double flops = 0.0;
    const char* failed_step = nullptr;
    int status = CHOLMOD_OK;
};

// The library's part of a count, run with the interpreter lock released: it
// touches no Python object, only the pattern's own arrays and the records it
// allocates (all freed before it returns).
template <class I>
Counts analyse(const Pattern<I>& pattern, bool normal, Common<I>& cm) noexcept
{
    // A pattern-only header over the copies, which the library only reads.
    cholmod_sparse A{};
    A.nrow = static_cast<size_t>(pattern.nrow);
    A.ncol = static_cast<size_t>(pattern.ncol);
    A.nzmax = static_cast<size_t>(pattern.Ap.view[pattern.ncol]);
    A.p = pattern.Ap.data();
    A.i = pattern.Ai.data();
    A.itype = cholmod_lib<I>.itype;
    A.xtype = CHOLMOD_PATTERN;
    A.dtype = CHOLMOD_DOUBLE;
    A.sorted = 1;
    A.packed = 1;

    Counts out;
    auto failed = [&](const char* step) {
        out.failed_step = step;
        out.status = cm.get()->status;
        return out;
    };
    cm.get()->method[0].ordering = pattern.perm.array ? CHOLMOD_GIVEN : CHOLMOD_NATURAL;
    Sparse<I> AT(cholmod_lib<I>.transpose(&A, 0, cm.get()), cm);
    if (AT.get() == nullptr) {
        return failed("transpose");
    }
    // For an unsymmetric matrix F, CHOLMOD analyses F F': F = A' gives A'A,
    // with perm ordering the rows of F, the columns of A.
    double one[2] = {1.0, 0.0};
    Sparse<I> S(normal ? nullptr : cholmod_lib<I>.add(&A, AT.get(), one, one, 0, 1, cm.get()), cm);
    if (!normal && S.get() == nullptr) {
        return failed("A + A'");
    }
    cholmod_sparse* target = normal ? AT.get() : S.get();
    target->stype = normal ? 0 : 1;  // S stores both triangles; the upper one is read
    Factor<I> L(cholmod_lib<I>.analyze_p(target, pattern.perm.data(), nullptr, 0, cm.get()), cm);
    if (L.get() == nullptr) {
        return failed("analysis");
    }
    const I* colcount = static_cast<const I*>(L.get()->ColCount);
    const long long order = normal ? pattern.ncol : pattern.nrow;
    for (long long j = 0; j < order; ++j) {
        out.lnz += colcount[j];
    }
    out.flops = cm.get()->fl;
    return out;
}

template <class I>
Ref counts(long long nrow, long long ncol, PyObject* indptr, PyObject* indices, PyObject* perm, bool normal)
{
    const Pattern<I> pattern = copy_pattern<I>(nrow, ncol, indptr, indices, perm, normal);
    if ((normal ? ncol : nrow) == 0) {
        return check(Py_BuildValue("(Ld)", 0LL, 0.0));
    }
    Common<I> cm;
    const Counts result = without_gil([&] { return analyse(pattern, normal, cm); });
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
    function("_cholesky_counts", py_cholesky_counts, cholesky_counts_params).with_doc(R"(Entries and flops of a Cholesky factor, counted by CHOLMOD's analysis.

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
