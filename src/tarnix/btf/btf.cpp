// tarnix.btf: maximum transversal, strongly connected components and block
// triangular form with BTF.
//
// The public functions coerce their input with tarnix.utils, answer empty
// matrices and matrices without entries themselves, allocate the results,
// and run the same calls as the two-width functions _maxtrans, _strongcomp
// and _btf: btf_maxtrans/btf_strongcomp/btf_order (32-bit indices) or their
// _l forms (64-bit indices), through the module's engine (btf/engine/btf.hpp).
// BTF trusts its input completely, so every call checks every array length
// and the whole pattern before BTF sees it, once: as it is copied into the
// arrays BTF then reads without the interpreter lock, by the coercion for
// the public functions, here for the private ones.

#include "common/owned.hpp"
#include "common/tarnix.hpp"
#include "common/threads.hpp"
#include "common/workspace.hpp"

#include "btf/docstrings.hpp"
#include "btf/engine/btf.hpp"
#include "btf/surface.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <type_traits>

namespace {

using namespace tarnix;

// ---------------------------------------------------------------------------
// Module state

// Nothing beyond the shared part: the module has no classes of its own.
using State = ModuleState;

// ---------------------------------------------------------------------------
// Library calls

// The workspace of `per_column` * N entries BTF needs for an M x N matrix.
// Left uninitialised: BTF sets up every entry it reads. N is bounded by the
// length of Ap when this runs, so the product does not overflow.
template <class I>
std::unique_ptr<I[]> workspace(long long per_column, long long M, long long N)
{
    return new_workspace<I>(per_column * N, WorkspaceFor{PyExc_MemoryError, btf_surface::library, M, N});
}

// The private functions copy the pattern (and q) into arrays they own, check
// the copies, and run BTF on them, with the interpreter lock released unless
// the call is small (common/owned.hpp); the results go to owned arrays too
// and are copied into the caller's afterwards. The public functions have the
// coercion copy and check the pattern in one pass (common/canonical.hpp) and
// hand BTF those copies without a second look; they pass outputs they made
// themselves, which no other code can reach: with FreshOutputs BTF writes
// them directly.

// Where the pattern of a call comes from.
enum class Source : unsigned char {
    Caller,   // the caller's arrays: copied and checked here
    Checked,  // the coercion's checked copies, which only this call references
};

// Whether a call on this pattern releases the interpreter lock.
template <class I>
bool releases_for(long long N, const Vector<I>& Ai) noexcept
{
    return releases_lock(Ai.size(), N);
}

// The M by N pattern BTF reads: a checked copy of the caller's, or the
// coercion's copies as they are.
template <class I>
struct Pattern {
    OwnedPattern<I> copies;
    I* Ap;
    I* Ai;

    static Pattern of(long long M, long long N, const Vector<I>& Ap, const Vector<I>& Ai, Source source)
    {
        require_non_negative(M, "M");
        require_non_negative(N, "N");
        require_length(Ap.size(), "Ap", one_more(N, "N"), "N + 1");
        if (source == Source::Checked) {
            return Pattern{OwnedPattern<I>{}, Ap.data(), Ai.data()};
        }
        OwnedPattern<I> copies = OwnedPattern<I>::copy_checked(Ap, Ai, M);
        I* p = copies.Ap.data();
        I* i = copies.Ai.data();
        return Pattern{std::move(copies), p, i};
    }

    // The pattern as the engine takes it, once its sizes are narrowed.
    engine::BtfPattern<I> as(I nrow, I ncol) const noexcept { return engine::BtfPattern<I>{nrow, ncol, Ap, Ai}; }
};

// An output of n entries: the caller's array itself when it is fresh, an
// owned copy of it otherwise. BTF uses some outputs as workspace too (R as a
// stack in strongcomp) and may leave entries unwritten; with the copy, those
// keep the caller's values, as when BTF wrote the caller's array itself.
template <class I, bool FreshOutputs>
Owned<I> output(const Vector<I>& out, long long n, const char* name)
{
    if (FreshOutputs) {
        return Owned<I>{};
    }
    return Owned<I>::copy(out, static_cast<Py_ssize_t>(n), name);
}

template <class I>
I* output_data(const Owned<I>& owned, const Vector<I>& out) noexcept
{
    return owned.or_caller(out).data();
}

template <class I>
void copy_back(const Owned<I>& owned, const Vector<I>& out, long long n) noexcept
{
    if (owned.array) {
        owned.copy_to(out, static_cast<Py_ssize_t>(n));
    }
}

// The column permutation btf_strongcomp starts from: N entries, each a
// column j in 0..N-1 or its flipped form -j - 2, no column twice. `mark`
// holds N entries.
template <class I>
void check_column_permutation(const Vector<I>& q, long long N, I* mark)
{
    if (q.size() != N) {
        raise(PyExc_ValueError, btf_surface::qin_length);
    }
    // -(v + 2) instead of -v - 2: no overflow at the most negative value.
    auto column = [](I v) { return static_cast<long long>(v >= 0 ? v : static_cast<I>(-(v + 2))); };
    const engine::IndexFault fault = engine::find_non_unique(q.data(), N, N, mark, column);
    if (!fault) {
        return;
    }
    const I v = static_cast<I>(fault.value);
    if (!fault.repeated) {
        raise_format(PyExc_ValueError, btf_surface::qin_not_a_column, static_cast<Py_ssize_t>(fault.at), fault.value,
                     N - 1, -N - 1);
    }
    raise_format(PyExc_ValueError, btf_surface::qin_repeated, static_cast<Py_ssize_t>(fault.at), fault.value,
                 column(v));
}

// jmatch[0..M) receives the column matched to each row, or -1.
template <class I, bool FreshOutputs>
void run_maxtrans(long long M, long long N, const Vector<I>& Ap, const Vector<I>& Ai, Source source, double maxwork,
                  const Vector<I>& jmatch)
{
    const bool release = releases_for(N, Ai);
    const Pattern<I> pattern = Pattern<I>::of(M, N, Ap, Ai, source);
    require_min_length(jmatch.size(), "jmatch", M, "M");
    require_disjoint({span_of(jmatch, "jmatch")}, {span_of(Ap, "Ap"), span_of(Ai, "Ai")});
    const I m = narrow_size<I>(M, "M");
    const I n = narrow_size<I>(N, "N");
    const Owned<I> match = output<I, FreshOutputs>(jmatch, M, "jmatch");
    auto work = workspace<I>(engine::maxtrans_work, M, N);
    const engine::Maxtrans<I> in{pattern.as(m, n), maxwork, output_data(match, jmatch), work.get()};
    const I matched = run_library(release, [&] { return engine::maxtrans(in); });
    copy_back(match, jmatch, M);
    if (matched < 0) {
        raise_format(PyExc_ValueError, btf_surface::maxtrans_failed, static_cast<long long>(matched));
    }
}

// p[0..N) and r[0..nblocks] receive the permutation and the block starts; q,
// when given, is reordered in place. Returns the number of blocks.
template <class I, bool FreshOutputs>
long long run_strongcomp(long long N, const Vector<I>& Ap, const Vector<I>& Ai, Source source, const Vector<I>& q,
                         const Vector<I>& p, const Vector<I>& r)
{
    const bool release = releases_for(N, Ai);
    const Pattern<I> pattern = Pattern<I>::of(N, N, Ap, Ai, source);
    require_min_length(p.size(), "p", N, "N");
    require_min_length(r.size(), "r", N + 1, "N + 1");
    // q is read and rewritten: an output like p and r.
    require_disjoint({span_of(q, "q"), span_of(p, "p"), span_of(r, "r")}, {span_of(Ap, "Ap"), span_of(Ai, "Ai")});
    const I n = narrow_size<I>(N, "N");
    auto work = workspace<I>(engine::strongcomp_work, N, N);
    // q may be the caller's own array, in the public function too.
    const Owned<I> q_owned = Owned<I>::copy_optional(q, "q");
    if (!q.is_null()) {
        check_column_permutation(q_owned.or_caller(q), N, work.get());
    }
    const Owned<I> p_out = output<I, FreshOutputs>(p, N, "p");
    const Owned<I> r_out = output<I, FreshOutputs>(r, N + 1, "r");
    const engine::Strongcomp<I> in{pattern.as(n, n), output_data(q_owned, q), output_data(p_out, p),
                                   output_data(r_out, r), work.get()};
    const I nblocks = run_library(release, [&] { return engine::strongcomp(in); });
    copy_back(q_owned, q, N);
    copy_back(p_out, p, N);
    copy_back(r_out, r, N + 1);
    if (nblocks < 0) {
        raise_format(PyExc_ValueError, btf_surface::strongcomp_failed,
                     static_cast<long long>(nblocks));
    }
    return nblocks;
}

// p, q and r receive the row and column permutations (unmatched columns
// flipped) and the block starts. Returns the number of blocks.
template <class I, bool FreshOutputs>
long long run_btf(long long N, const Vector<I>& Ap, const Vector<I>& Ai, Source source, double maxwork,
                  const Vector<I>& p, const Vector<I>& q, const Vector<I>& r)
{
    const bool release = releases_for(N, Ai);
    const Pattern<I> pattern = Pattern<I>::of(N, N, Ap, Ai, source);
    require_min_length(p.size(), "p", N, "N");
    require_min_length(q.size(), "q", N, "N");
    require_min_length(r.size(), "r", N + 1, "N + 1");
    require_disjoint({span_of(p, "p"), span_of(q, "q"), span_of(r, "r")}, {span_of(Ap, "Ap"), span_of(Ai, "Ai")});
    const I n = narrow_size<I>(N, "N");
    const Owned<I> p_out = output<I, FreshOutputs>(p, N, "p");
    const Owned<I> q_out = output<I, FreshOutputs>(q, N, "q");
    const Owned<I> r_out = output<I, FreshOutputs>(r, N + 1, "r");
    auto work = workspace<I>(engine::order_work, N, N);
    const engine::BtfOrder<I> in{pattern.as(n, n),      maxwork, output_data(p_out, p), output_data(q_out, q),
                                 output_data(r_out, r), work.get()};
    const I nblocks = run_library(release, [&] { return engine::btf_order(in); });
    copy_back(p_out, p, N);
    copy_back(q_out, q, N);
    copy_back(r_out, r, N + 1);
    if (nblocks < 0) {
        raise_format(PyExc_ValueError, btf_surface::btf_failed, static_cast<long long>(nblocks));
    }
    return nblocks;
}

// ---------------------------------------------------------------------------
// Python functions

// Runs f(I{}, Ap, Ai, source) with views of the coerced matrix's column
// pointers and row indices, in their index width: the coercion's checked
// copies when it made them, the matrix's own arrays otherwise. The arrays
// are looked up (which may run Python code) before the views are made.
template <class F>
decltype(auto) with_pattern(PyObject* m, const CscInput& in, F&& f)
{
    const bool checked = static_cast<bool>(in.indptr_copy);
    Ref indptr = checked ? in.indptr_copy : csc_attribute(m, in.matrix.get(), CscName::Indptr);
    Ref indices = checked ? in.indices_copy : csc_attribute(m, in.matrix.get(), CscName::Indices);
    const Source source = checked ? Source::Checked : Source::Caller;
    return dispatch_index_width(indptr.get(), [&](auto index) {
        using I = decltype(index);
        Vector<I> Ap(indptr.get(), "Ap");
        Vector<I> Ai(indices.get(), "Ai");
        return f(index, Ap, Ai, source);
    });
}

// maxtrans(A)
Ref py_maxtrans(PyObject* m, const Args& a)
{
    CscInput in = coerce_csc(m, a[0], CoerceCall::Plain, false, PatternCopy::Checked);
    PyObject* dtype = in.index_dtype.get();
    const long long M = in.nrows;
    const long long N = in.ncols;
    if (M == 0 || N == 0) {
        return zeros(0, dtype);
    }
    if (has_no_entries(in)) {
        return full(M, -1, dtype);
    }
    Ref jmatch = empty(M, dtype);
    with_pattern(m, in, [&](auto index, const auto& Ap, const auto& Ai, Source source) {
        using I = decltype(index);
        Vector<I> match(jmatch.get(), "jmatch");
        run_maxtrans<I, true>(M, N, Ap, Ai, source, 0.0, match);
    });
    return jmatch;
}

// strongcomp(A, q=None)
Ref py_strongcomp(PyObject* m, const Args& a)
{
    CscInput in = coerce_csc(m, a[0], CoerceCall::Keyword, true, PatternCopy::Checked);
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
    Ref q = with_q ? convert_index_array(a[1], dtype, Conversion::Contiguous, "qin", btf_surface::qin_not_integers)
                   : Ref::none();
    Ref p = empty(N, dtype);
    Ref r = zeros(N + 1, dtype);
    const long long nblocks = with_pattern(m, in, [&](auto index, const auto& Ap, const auto& Ai, Source source) {
        using I = decltype(index);
        auto qv = Vector<I>::optional(q.get(), "q");
        Vector<I> pv(p.get(), "p");
        Vector<I> rv(r.get(), "r");
        return run_strongcomp<I, true>(N, Ap, Ai, source, qv, pv, rv);
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
    CscInput in = coerce_csc(m, a[0], CoerceCall::Keyword, true, PatternCopy::Checked);
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
    Ref p = empty(N, dtype);
    Ref q = empty(N, dtype);
    Ref r = zeros(N + 1, dtype);
    const long long nblocks = with_pattern(m, in, [&](auto index, const auto& Ap, const auto& Ai, Source source) {
        using I = decltype(index);
        Vector<I> pv(p.get(), "p");
        Vector<I> qv(q.get(), "q");
        Vector<I> rv(r.get(), "r");
        return run_btf<I, true>(N, Ap, Ai, source, 0.0, pv, qv, rv);
    });
    Ref blocks = slice(r.get(), 0, nblocks + 1);
    return check(PyTuple_Pack(3, p.get(), q.get(), blocks.get()));
}

// btf_q_permutation(q): every negative entry w becomes -w - 2, in place.
template <class I>
void unflip(I* q, npy_intp n)
{
    // -w - 2 in unsigned arithmetic: it wraps as NumPy's integers do.
    using U = std::make_unsigned_t<I>;
    for (npy_intp k = 0; k < n; ++k) {
        if (q[k] < 0) {
            q[k] = static_cast<I>(U{0} - static_cast<U>(q[k]) - U{2});
        }
    }
}

// The unflipping in one pass, for an int32 or int64 array that NumPy's
// masked assignment below would update in place the same way (C-contiguous,
// aligned, writable, native byte order); false for any other array.
bool unflip_in_place(PyArrayObject* q)
{
    if (!PyArray_IS_C_CONTIGUOUS(q) || !PyArray_ISWRITEABLE(q) || !PyArray_ISALIGNED(q) || !PyArray_ISNOTSWAPPED(q)) {
        return false;
    }
    switch (PyArray_TYPE(q)) {
    case NPY_INT32:
        unflip(static_cast<int32_t*>(PyArray_DATA(q)), PyArray_SIZE(q));
        return true;
    case NPY_INT64:
        unflip(static_cast<int64_t*>(PyArray_DATA(q)), PyArray_SIZE(q));
        return true;
    default:
        return false;
    }
}

Ref py_btf_q_permutation(PyObject*, const Args& a)
{
    // np.asarray(q) is q itself for a NumPy array (not a subclass).
    Ref q = PyArray_CheckExact(a[0]) ? Ref::borrow(a[0])
                                     : check(PyObject_CallOneArg(import_attr("numpy", "asarray").get(), a[0]));
    if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(q.get())) != 1) {
        raise(PyExc_ValueError, btf_surface::not_one_dimensional);
    }
    if (unflip_in_place(reinterpret_cast<PyArrayObject*>(q.get()))) {
        return q;
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
        run_maxtrans<I, false>(M, N, Ap, Ai, Source::Caller, maxwork, jmatch);
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
        return run_strongcomp<I, false>(N, Ap, Ai, Source::Caller, q, p, r);
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
        return run_btf<I, false>(N, Ap, Ai, Source::Caller, maxwork, p, q, r);
    });
    return check(PyLong_FromLongLong(nblocks));
}

// ---------------------------------------------------------------------------
// Function table

constexpr FunctionDef maxtrans_def =
    function(btf_surface::maxtrans, py_maxtrans, btf_surface::maxtrans_params).with_doc(btf_docs::maxtrans);
constexpr FunctionDef private_maxtrans_def =
    function(btf_surface::private_maxtrans, py_private_maxtrans, btf_surface::private_maxtrans_params)
        .dispatch_on("Ap");
constexpr FunctionDef strongcomp_def =
    function(btf_surface::strongcomp, py_strongcomp, btf_surface::strongcomp_params).with_doc(btf_docs::strongcomp);
constexpr FunctionDef private_strongcomp_def =
    function(btf_surface::private_strongcomp, py_private_strongcomp, btf_surface::private_strongcomp_params)
        .dispatch_on("Ap");
constexpr FunctionDef btf_def = function(btf_surface::btf, py_btf, btf_surface::btf_params).with_doc(btf_docs::btf);
constexpr FunctionDef private_btf_def =
    function(btf_surface::private_btf, py_private_btf, btf_surface::private_btf_params).dispatch_on("Ap");
constexpr FunctionDef q_permutation_def =
    function(btf_surface::q_permutation, py_btf_q_permutation, btf_surface::q_permutation_params)
        .with_doc(btf_docs::q_permutation);

// ---------------------------------------------------------------------------
// Module initialisation

void exec_body(PyObject* m)
{
    add_object(m, surface::numpy_alias, import_module("numpy").get());
    add_object(m, surface::validate_csc_input, import_relative(m, "utils", "validate_csc_input").get());
    set_all(m, btf_surface::all);
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
