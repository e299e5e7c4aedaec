// tarnix.btf: maximum transversal, strongly connected components and block
// triangular form with BTF.
//
// The public functions coerce their input with tarnix.utils, answer empty
// matrices and matrices without entries themselves, allocate the results,
// and call the two-width functions _maxtrans, _strongcomp and _btf, which
// call btf_maxtrans/btf_strongcomp/btf_order (32-bit indices) or their _l
// forms (64-bit indices). BTF trusts its input completely, so the two-width
// functions check the whole pattern and every array length first.

#include "common/tarnix.hpp"

#include "btf/docstrings.hpp"

#include <btf.h>

#include <algorithm>
#include <memory>

namespace {

using namespace tarnix;

// ---------------------------------------------------------------------------
// Module state

// Nothing beyond the shared part: the module has no classes of its own.
using State = ModuleState;

// ---------------------------------------------------------------------------
// Library calls

template <class I>
struct Btf;

template <>
struct Btf<int32_t> {
    static int32_t maxtrans(int32_t m, int32_t n, int32_t* Ap, int32_t* Ai, double maxwork, double* work,
                            int32_t* match, int32_t* w)
    {
        return btf_maxtrans(m, n, Ap, Ai, maxwork, work, match, w);
    }
    static int32_t strongcomp(int32_t n, int32_t* Ap, int32_t* Ai, int32_t* Q, int32_t* P, int32_t* R, int32_t* w)
    {
        return btf_strongcomp(n, Ap, Ai, Q, P, R, w);
    }
    static int32_t order(int32_t n, int32_t* Ap, int32_t* Ai, double maxwork, double* work, int32_t* P,
                         int32_t* Q, int32_t* R, int32_t* nmatch, int32_t* w)
    {
        return btf_order(n, Ap, Ai, maxwork, work, P, Q, R, nmatch, w);
    }
};

template <>
struct Btf<int64_t> {
    static int64_t maxtrans(int64_t m, int64_t n, int64_t* Ap, int64_t* Ai, double maxwork, double* work,
                            int64_t* match, int64_t* w)
    {
        return btf_l_maxtrans(m, n, Ap, Ai, maxwork, work, match, w);
    }
    static int64_t strongcomp(int64_t n, int64_t* Ap, int64_t* Ai, int64_t* Q, int64_t* P, int64_t* R, int64_t* w)
    {
        return btf_l_strongcomp(n, Ap, Ai, Q, P, R, w);
    }
    static int64_t order(int64_t n, int64_t* Ap, int64_t* Ai, double maxwork, double* work, int64_t* P,
                         int64_t* Q, int64_t* R, int64_t* nmatch, int64_t* w)
    {
        return btf_l_order(n, Ap, Ai, maxwork, work, P, Q, R, nmatch, w);
    }
};

// A zero-filled workspace of `per_column` * N entries in the index width.
// Allocated by C++, not by NumPy: NumPy releases the interpreter lock around
// large zeroed allocations, and another thread could then rewrite the pattern
// between its check and BTF's use of it. N is bounded by the length of Ap
// when this runs, so the product does not overflow.
template <class I>
std::unique_ptr<I[]> workspace(long long per_column, long long N)
{
    return std::unique_ptr<I[]>(new I[static_cast<size_t>(per_column * N)]());
}

// Everything below runs in one stretch without Python code and without
// releasing the interpreter lock, from the checks to the library's return:
// the memory BTF reads is the memory that was checked. The Python callers
// convert every scalar and build every view before they enter it.

// The M by N pattern BTF reads: Ap[N+1] from 0, non-decreasing, up to at
// most len(Ai), and every row index in 0..M-1.
template <class I>
void check_pattern(long long M, long long N, const Vector<I>& Ap, const Vector<I>& Ai)
{
    require_non_negative(M, "M");
    require_non_negative(N, "N");
    require_length(Ap.size(), "Ap", one_more(N, "N"), "N + 1");
    require_valid_pattern(Ap, Ai, M);
}

// The column permutation btf_strongcomp starts from: N entries, each a
// column j in 0..N-1 or its flipped form -j - 2, no column twice. `mark`
// holds N zeros.
template <class I>
void check_column_permutation(const Vector<I>& q, long long N, I* mark)
{
    if (q.size() != N) {
        raise(PyExc_ValueError, "qin must have the same lengthas the number of columns in A.");
    }
    for (Py_ssize_t k = 0; k < q.size(); ++k) {
        const I v = q[k];
        // -(v + 2) instead of -v - 2: no overflow at the most negative value.
        const I j = v >= 0 ? v : static_cast<I>(-(v + 2));
        if (j < 0 || j >= N) {
            raise_format(PyExc_ValueError,
                         "qin[%zd] = %lld is not a column of A: expected 0..N-1 = 0..%lld, or a flipped column "
                         "-N-1..-2 = %lld..-2",
                         k, static_cast<long long>(v), N - 1, -N - 1);
        }
        if (mark[j]) {
            raise_format(PyExc_ValueError, "qin[%zd] = %lld names column %lld a second time", k,
                         static_cast<long long>(v), static_cast<long long>(j));
        }
        mark[j] = 1;
    }
}

// jmatch[0..M) receives the column matched to each row, or -1.
template <class I>
void run_maxtrans(long long M, long long N, const Vector<I>& Ap, const Vector<I>& Ai, double maxwork,
                  const Vector<I>& jmatch)
{
    check_pattern(M, N, Ap, Ai);
    require_min_length(jmatch.size(), "jmatch", M, "M");
    require_disjoint({span_of(jmatch, "jmatch")}, {span_of(Ap, "Ap"), span_of(Ai, "Ai")});
    const I m = narrow_size<I>(M, "M");
    const I n = narrow_size<I>(N, "N");
    auto work = workspace<I>(5, N);
    double work_done = 0.0;
    const I matched = Btf<I>::maxtrans(m, n, Ap.data(), Ai.data(), maxwork, &work_done, jmatch.data(), work.get());
    if (matched < 0) {
        raise_format(PyExc_ValueError, "BTF maxtrans failed with error code: %lld", static_cast<long long>(matched));
    }
}

// p[0..N) and r[0..nblocks] receive the permutation and the block starts; q,
// when given, is reordered in place. Returns the number of blocks.
template <class I>
long long run_strongcomp(long long N, const Vector<I>& Ap, const Vector<I>& Ai, const Vector<I>& q,
                         const Vector<I>& p, const Vector<I>& r)
{
    check_pattern(N, N, Ap, Ai);
    require_min_length(p.size(), "p", N, "N");
    require_min_length(r.size(), "r", N + 1, "N + 1");
    // q is read and rewritten: an output like p and r.
    require_disjoint({span_of(q, "q"), span_of(p, "p"), span_of(r, "r")}, {span_of(Ap, "Ap"), span_of(Ai, "Ai")});
    const I n = narrow_size<I>(N, "N");
    auto work = workspace<I>(4, N);
    if (!q.is_null()) {
        check_column_permutation(q, N, work.get());
        std::fill_n(work.get(), N, I{0});
    }
    const I nblocks = Btf<I>::strongcomp(n, Ap.data(), Ai.data(), q.data(), p.data(), r.data(), work.get());
    if (nblocks < 0) {
        raise_format(PyExc_ValueError, "BTF strongcomp failed with error code: %lld",
                     static_cast<long long>(nblocks));
    }
    return nblocks;
}

// p, q and r receive the row and column permutations (unmatched columns
// flipped) and the block starts. Returns the number of blocks.
template <class I>
long long run_btf(long long N, const Vector<I>& Ap, const Vector<I>& Ai, double maxwork, const Vector<I>& p,
                  const Vector<I>& q, const Vector<I>& r)
{
    check_pattern(N, N, Ap, Ai);
    require_min_length(p.size(), "p", N, "N");
    require_min_length(q.size(), "q", N, "N");
    require_min_length(r.size(), "r", N + 1, "N + 1");
    require_disjoint({span_of(p, "p"), span_of(q, "q"), span_of(r, "r")}, {span_of(Ap, "Ap"), span_of(Ai, "Ai")});
    const I n = narrow_size<I>(N, "N");
    auto work = workspace<I>(5, N);
    double work_done = 0.0;
    I nmatch = 0;
    const I nblocks =
        Btf<I>::order(n, Ap.data(), Ai.data(), maxwork, &work_done, p.data(), q.data(), r.data(), &nmatch, work.get());
    if (nblocks < 0) {
        raise_format(PyExc_ValueError, "BTF failed with error code: %lld", static_cast<long long>(nblocks));
    }
    return nblocks;
}

// ---------------------------------------------------------------------------
// Python functions

// maxtrans(A)
Ref py_maxtrans(PyObject* m, const Args& a)
{
    CscInput in = coerce_csc(m, a[0], CoerceCall::Plain);
    PyObject* dtype = in.index_dtype.get();
    const long long M = in.nrows;
    const long long N = in.ncols;
    if (M == 0 || N == 0) {
        return zeros(0, dtype);
    }
    if (has_no_entries(in)) {
        return full(M, -1, dtype);
    }
    Ref jmatch = zeros(M, dtype);
    Ref indptr = check(PyObject_GetAttrString(in.matrix.get(), "indptr"));
    Ref indices = check(PyObject_GetAttrString(in.matrix.get(), "indices"));
    dispatch_index_width(indptr.get(), [&](auto index) {
        using I = decltype(index);
        run_maxtrans(M, N, Vector<I>(indptr.get(), "Ap"), Vector<I>(indices.get(), "Ai"), 0.0,
                     Vector<I>(jmatch.get(), "jmatch"));
    });
    return jmatch;
}

// strongcomp(A, q=None)
Ref py_strongcomp(PyObject* m, const Args& a)
{
    CscInput in = coerce_csc(m, a[0], CoerceCall::Keyword, true);
    PyObject* dtype = in.index_dtype.get();
    const long long N = in.nrows;
    const bool with_q = a[1] != Py_None;
    if (N == 0 || has_no_entries(in)) {
        // Every row its own block; the given q is not looked at.
        Ref p = arange(N, dtype);
        Ref r = arange(N + 1, dtype);
        if (!with_q) {
            return check(PyTuple_Pack(2, p.get(), r.get()));
        }
        Ref q = arange(N, dtype);
        return check(PyTuple_Pack(3, p.get(), q.get(), r.get()));
    }
    // A C-contiguous array of the index dtype is the caller's own, reordered in place.
    Ref q = with_q ? convert_index_array(a[1], dtype, Conversion::Contiguous, "qin", "qin must be an integer array.")
                   : Ref::none();
    Ref p = zeros(N, dtype);
    Ref r = zeros(N + 1, dtype);
    Ref indptr = check(PyObject_GetAttrString(in.matrix.get(), "indptr"));
    Ref indices = check(PyObject_GetAttrString(in.matrix.get(), "indices"));
    const long long nblocks = dispatch_index_width(indptr.get(), [&](auto index) {
        using I = decltype(index);
        return run_strongcomp(N, Vector<I>(indptr.get(), "Ap"), Vector<I>(indices.get(), "Ai"),
                              Vector<I>::optional(q.get(), "q"), Vector<I>(p.get(), "p"), Vector<I>(r.get(), "r"));
    });
    Ref blocks = slice(r.get(), 0, nblocks + 1);
    if (!with_q) {
        return check(PyTuple_Pack(2, p.get(), blocks.get()));
    }
    return check(PyTuple_Pack(3, p.get(), q.get(), blocks.get()));
}

// btf(A)
Ref py_btf(PyObject* m, const Args& a)
{
    CscInput in = coerce_csc(m, a[0], CoerceCall::Keyword, true);
    PyObject* dtype = in.index_dtype.get();
    const long long N = in.nrows;
    if (N == 0) {
        Ref p = zeros(0, dtype);
        Ref q = zeros(0, dtype);
        Ref r = zeros(1, dtype);
        return check(PyTuple_Pack(3, p.get(), q.get(), r.get()));
    }
    if (has_no_entries(in)) {
        // Identity rows, every column unmatched (flipped), N singleton blocks.
        Ref p = arange(N, dtype);
        Ref q = arange(N, dtype);
        Ref r = arange(N + 1, dtype);
        Ref neg = check(PyNumber_Negative(q.get()));
        Ref two = check(PyLong_FromLong(2));
        Ref flipped = check(PyNumber_Subtract(neg.get(), two.get()));
        return check(PyTuple_Pack(3, p.get(), flipped.get(), r.get()));
    }
    Ref p = zeros(N, dtype);
    Ref q = zeros(N, dtype);
    Ref r = zeros(N + 1, dtype);
    Ref indptr = check(PyObject_GetAttrString(in.matrix.get(), "indptr"));
    Ref indices = check(PyObject_GetAttrString(in.matrix.get(), "indices"));
    const long long nblocks = dispatch_index_width(indptr.get(), [&](auto index) {
        using I = decltype(index);
        return run_btf(N, Vector<I>(indptr.get(), "Ap"), Vector<I>(indices.get(), "Ai"), 0.0,
                       Vector<I>(p.get(), "p"), Vector<I>(q.get(), "q"), Vector<I>(r.get(), "r"));
    });
    Ref blocks = slice(r.get(), 0, nblocks + 1);
    return check(PyTuple_Pack(3, p.get(), q.get(), blocks.get()));
}

// btf_q_permutation(q): every negative entry w becomes -w - 2, in place.
Ref py_btf_q_permutation(PyObject*, const Args& a)
{
    Ref asarray = import_attr("numpy", "asarray");
    Ref q = check(PyObject_CallOneArg(asarray.get(), a[0]));
    if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(q.get())) != 1) {
        raise(PyExc_ValueError, "Input must be a 1D array.");
    }
    Ref zero = check(PyLong_FromLong(0));
    Ref two = check(PyLong_FromLong(2));
    Ref mask = check(PyObject_RichCompare(q.get(), zero.get(), Py_LT));
    Ref flipped = check(PyObject_GetItem(q.get(), mask.get()));
    Ref negated = check(PyNumber_Negative(flipped.get()));
    Ref unflipped = check(PyNumber_Subtract(negated.get(), two.get()));
    check_status(PyObject_SetItem(q.get(), mask.get(), unflipped.get()));
    return q;
}

// _maxtrans(M, N, Ap, Ai, maxwork, jmatch)
Ref py_private_maxtrans(PyObject*, const Args& a)
{
    // The scalars first: their __index__ and __float__ may run Python code,
    // which must not run once the arrays are viewed.
    const long long M = as_int64(a[0]);
    const long long N = as_int64(a[1]);
    const double maxwork = as_double(a[4]);
    dispatch_index_width(a[2], [&](auto index) {
        using I = decltype(index);
        Vector<I> Ap(a[2], "Ap");
        Vector<I> Ai(a[3], "Ai");
        Vector<I> jmatch(a[5], "jmatch");
        run_maxtrans(M, N, Ap, Ai, maxwork, jmatch);
    });
    return Ref::none();
}

// _strongcomp(N, Ap, Ai, q, p, r)
Ref py_private_strongcomp(PyObject*, const Args& a)
{
    const long long N = as_int64(a[0]);
    const long long nblocks = dispatch_index_width(a[1], [&](auto index) {
        using I = decltype(index);
        Vector<I> Ap(a[1], "Ap");
        Vector<I> Ai(a[2], "Ai");
        auto q = Vector<I>::optional(a[3], "q");
        Vector<I> p(a[4], "p");
        Vector<I> r(a[5], "r");
        return run_strongcomp(N, Ap, Ai, q, p, r);
    });
    return check(PyLong_FromLongLong(nblocks));
}

// _btf(N, Ap, Ai, maxwork, p, q, r)
Ref py_private_btf(PyObject*, const Args& a)
{
    const long long N = as_int64(a[0]);
    const double maxwork = as_double(a[3]);
    const long long nblocks = dispatch_index_width(a[1], [&](auto index) {
        using I = decltype(index);
        Vector<I> Ap(a[1], "Ap");
        Vector<I> Ai(a[2], "Ai");
        Vector<I> p(a[4], "p");
        Vector<I> q(a[5], "q");
        Vector<I> r(a[6], "r");
        return run_btf(N, Ap, Ai, maxwork, p, q, r);
    });
    return check(PyLong_FromLongLong(nblocks));
}

// ---------------------------------------------------------------------------
// Function table

const Param maxtrans_params[] = {{"A"}};
const Param strongcomp_params[] = {{"A"}, {"q", Default::None}};
const Param btf_params[] = {{"A"}};
const Param q_permutation_params[] = {{"q"}};
const Param private_maxtrans_params[] = {{"M"}, {"N"}, {"Ap"}, {"Ai"}, {"maxwork"}, {"jmatch"}};
const Param private_strongcomp_params[] = {{"N"}, {"Ap"}, {"Ai"}, {"q"}, {"p"}, {"r"}};
const Param private_btf_params[] = {{"N"}, {"Ap"}, {"Ai"}, {"maxwork"}, {"p"}, {"q"}, {"r"}};

const FunctionDef maxtrans_def{"maxtrans", py_maxtrans, maxtrans_params, count(maxtrans_params),
                               btf_docs::maxtrans};
const FunctionDef private_maxtrans_def{"_maxtrans", py_private_maxtrans, private_maxtrans_params,
                                       count(private_maxtrans_params), nullptr, 2, 6};
const FunctionDef strongcomp_def{"strongcomp", py_strongcomp, strongcomp_params, count(strongcomp_params),
                                 btf_docs::strongcomp};
const FunctionDef private_strongcomp_def{"_strongcomp", py_private_strongcomp, private_strongcomp_params,
                                         count(private_strongcomp_params), nullptr, 1, 6};
const FunctionDef btf_def{"btf", py_btf, btf_params, count(btf_params), btf_docs::btf};
const FunctionDef private_btf_def{"_btf", py_private_btf, private_btf_params, count(private_btf_params), nullptr,
                                  1, 7};
const FunctionDef q_permutation_def{"btf_q_permutation", py_btf_q_permutation, q_permutation_params,
                                    count(q_permutation_params), btf_docs::q_permutation};

// ---------------------------------------------------------------------------
// Module initialisation

void exec_body(PyObject* m)
{
    add_object(m, "np", import_module("numpy").get());
    add_object(m, "validate_csc_input", import_relative(m, "utils", "validate_csc_input").get());
    set_all(m, {"maxtrans", "strongcomp", "btf", "btf_q_permutation"});
    add_function(m, maxtrans_def);
    add_function(m, private_maxtrans_def);
    add_function(m, strongcomp_def);
    add_function(m, private_strongcomp_def);
    add_function(m, btf_def);
    add_function(m, private_btf_def);
    add_function(m, q_permutation_def);
}

}  // namespace

TARNIX_MODULE(btf, btf_docs::module, State, exec_body)
