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

#include "common/tarnix.hpp"

#include <cholmod.h>

#include <cstdint>
#include <vector>

namespace tarnix::cholmod_counts {
namespace {

// The CHOLMOD routines of one index width.
template <class I>
struct Lib;

template <>
struct Lib<int32_t> {
    static int start(cholmod_common* c) { return cholmod_start(c); }
    static int finish(cholmod_common* c) { return cholmod_finish(c); }
    static cholmod_sparse* transpose(cholmod_sparse* A, cholmod_common* c) { return cholmod_transpose(A, 0, c); }
    static cholmod_sparse* add(cholmod_sparse* A, cholmod_sparse* B, cholmod_common* c)
    {
        double one[2] = {1.0, 0.0};
        return cholmod_add(A, B, one, one, 0, 1, c);
    }
    static cholmod_factor* analyze(cholmod_sparse* A, int32_t* perm, cholmod_common* c)
    {
        return cholmod_analyze_p(A, perm, nullptr, 0, c);
    }
    static void free_sparse(cholmod_sparse** A, cholmod_common* c) { cholmod_free_sparse(A, c); }
    static void free_factor(cholmod_factor** L, cholmod_common* c) { cholmod_free_factor(L, c); }
};

template <>
struct Lib<int64_t> {
    static int start(cholmod_common* c) { return cholmod_l_start(c); }
    static int finish(cholmod_common* c) { return cholmod_l_finish(c); }
    static cholmod_sparse* transpose(cholmod_sparse* A, cholmod_common* c) { return cholmod_l_transpose(A, 0, c); }
    static cholmod_sparse* add(cholmod_sparse* A, cholmod_sparse* B, cholmod_common* c)
    {
        double one[2] = {1.0, 0.0};
        return cholmod_l_add(A, B, one, one, 0, 1, c);
    }
    static cholmod_factor* analyze(cholmod_sparse* A, int64_t* perm, cholmod_common* c)
    {
        return cholmod_l_analyze_p(A, perm, nullptr, 0, c);
    }
    static void free_sparse(cholmod_sparse** A, cholmod_common* c) { cholmod_l_free_sparse(A, c); }
    static void free_factor(cholmod_factor** L, cholmod_common* c) { cholmod_l_free_factor(L, c); }
};

// A started common, finished on every exit.
template <class I>
class Common {
public:
    Common()
    {
        if (!Lib<I>::start(&cm_)) {
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
    ~Common() { Lib<I>::finish(&cm_); }
    cholmod_common* get() { return &cm_; }

private:
    cholmod_common cm_{};
};

// Owns one CHOLMOD object of the common it came from; frees it through that common.
template <class I, class T, void (*Free)(T**, cholmod_common*)>
class Owned {
public:
    Owned(T* p, Common<I>& cm) : p_(p), cm_(cm) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned()
    {
        if (p_ != nullptr) {
            Free(&p_, cm_.get());
        }
    }
    T* get() const { return p_; }

private:
    T* p_;
    Common<I>& cm_;
};

template <class I>
using Sparse = Owned<I, cholmod_sparse, &Lib<I>::free_sparse>;
template <class I>
using Factor = Owned<I, cholmod_factor, &Lib<I>::free_factor>;

// A library result, or the Python error its status calls for.
template <class T>
T* require_result(T* result, cholmod_common* cm, const char* step)
{
    if (result != nullptr) {
        return result;
    }
    if (cm->status == CHOLMOD_OUT_OF_MEMORY) {
        raise_format(PyExc_MemoryError, "CHOLMOD ran out of memory in %s", step);
    }
    if (cm->status == CHOLMOD_TOO_LARGE) {
        raise_format(PyExc_OverflowError, "the problem is too large for CHOLMOD's %s", step);
    }
    raise_format(PyExc_RuntimeError, "CHOLMOD's %s failed with status %d", step, cm->status);
}

// perm holds every value of 0..n-1 exactly once.
template <class I>
void require_permutation(const Vector<I>& perm, long long n)
{
    require_length(perm.size(), "perm", n, "n");
    std::vector<unsigned char> seen(static_cast<size_t>(n), 0);
    for (long long k = 0; k < n; ++k) {
        const long long v = perm[k];
        if (v < 0 || v >= n || seen[static_cast<size_t>(v)]) {
            raise_format(PyExc_ValueError, "perm must be a permutation of 0..%lld, but perm[%lld] = %lld %s", n - 1,
                         k, v, v < 0 || v >= n ? "is out of range" : "is repeated");
        }
        seen[static_cast<size_t>(v)] = 1;
    }
}

template <class I>
Ref counts(long long nrow, long long ncol, PyObject* indptr, PyObject* indices, PyObject* perm_obj, bool normal)
{
    Vector<I> Ap(indptr, "indptr");
    Vector<I> Ai(indices, "indices");
    require_length(Ap.size(), "indptr", ncol + 1, "ncol + 1");
    narrow_size<I>(nrow, "nrow");
    require_canonical_pattern(Ap, Ai, nrow);
    Vector<I> perm = Vector<I>::optional(perm_obj, "perm");
    const long long order = normal ? ncol : nrow;
    if (!normal && nrow != ncol) {
        raise_format(PyExc_ValueError, "A + A' needs a square matrix, got %lld x %lld", nrow, ncol);
    }
    if (!perm.is_null()) {
        require_permutation(perm, order);
    }
    if (order == 0) {
        return check(Py_BuildValue("(Ld)", 0LL, 0.0));
    }

    // A pattern-only header over the caller's arrays, which the library
    // only reads; no Python code runs from here to the last library call.
    cholmod_sparse A{};
    A.nrow = static_cast<size_t>(nrow);
    A.ncol = static_cast<size_t>(ncol);
    A.nzmax = static_cast<size_t>(Ap[ncol]);
    A.p = Ap.data();
    A.i = Ai.data();
    A.stype = 0;
    A.itype = sizeof(I) == 4 ? CHOLMOD_INT : CHOLMOD_LONG;
    A.xtype = CHOLMOD_PATTERN;
    A.dtype = CHOLMOD_DOUBLE;
    A.sorted = 1;
    A.packed = 1;

    Common<I> cm;
    cm.get()->method[0].ordering = perm.is_null() ? CHOLMOD_NATURAL : CHOLMOD_GIVEN;
    Sparse<I> AT(require_result(Lib<I>::transpose(&A, cm.get()), cm.get(), "transpose"), cm);
    // For an unsymmetric matrix F, CHOLMOD analyses F F': F = A' gives A'A,
    // with perm ordering the rows of F, the columns of A.
    Sparse<I> S(normal ? nullptr : require_result(Lib<I>::add(&A, AT.get(), cm.get()), cm.get(), "A + A'"), cm);
    cholmod_sparse* target = AT.get();
    if (!normal) {
        target = S.get();
        target->stype = 1;  // both triangles are stored; the upper one is read
    }
    Factor<I> L(require_result(Lib<I>::analyze(target, perm.data(), cm.get()), cm.get(), "analysis"), cm);

    const I* colcount = static_cast<const I*>(L.get()->ColCount);
    long long lnz = 0;
    for (long long j = 0; j < order; ++j) {
        lnz += colcount[j];
    }
    return check(Py_BuildValue("(Ld)", lnz, cm.get()->fl));
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

const Param cholesky_counts_params[] = {{"shape"}, {"indptr"}, {"indices"}, {"perm", Default::None}, kwonly("normal", Default::False)};

}  // namespace

const FunctionDef cholesky_counts_def{
    "_cholesky_counts", py_cholesky_counts, cholesky_counts_params, count(cholesky_counts_params),
    R"(Entries and flops of a Cholesky factor, counted by CHOLMOD's analysis.

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
    the floating-point operations of the factorization.)"};

}  // namespace tarnix::cholmod_counts
