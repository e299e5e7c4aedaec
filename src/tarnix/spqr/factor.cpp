// SPQRFactor: one CHOLMOD common record and one SuiteSparseQR factorization,
// selected by value type (float64, complex128) and index width (int32, int64).
//
// The object's own common serves every library call made through it; the
// factorization lives in the slot of its variant (the others stay NULL).
// Construction analyses (and optionally factorizes) a matrix; factorize()
// recomputes the numeric part for a matrix of the analysed pattern; solve()
// and qmult() use it; copy() duplicates it.

#include "spqr/factor.hpp"

#include "spqr/copy.hpp"
#include "spqr/docstrings.hpp"
#include "spqr/info.hpp"
#include "spqr/narrow.hpp"

#include <cmath>
#include <cstring>

namespace spqr_module {

using namespace tarnix;
using spqr_lib::Complex;
using spqr_lib::Factorization;

namespace {

struct FactorObject {
    PyObject_HEAD
    cholmod_common common;
    cholmod_common* cm;  // &common once construction started it, else NULL
    Factorization<double, int32_t>* factor_di;
    Factorization<double, int64_t>* factor_dl;
    Factorization<Complex, int32_t>* factor_zi;
    Factorization<Complex, int64_t>* factor_zl;
    int use_int32;
    int is_real;
    int constructed;  // construction completed without error
    // Rows and columns at full index width: with int64 indices a matrix may
    // have more than 2**31 - 1 of either.
    int64_t shape[2];
    PyObject* itype;
    PyObject* dtype;
    double tol;
    // The analysed pattern (ncol + 1 column pointers, then nnz row indices,
    // in the index width). The library places the values of a re-factorized
    // matrix by the analysed pattern without checking it, so factorize()
    // compares against it first. It is plain memory (PyMem_RawMalloc), so
    // that taking the copy, inside the stretch between the check of the
    // caller's arrays and the library call, neither runs Python code nor
    // lets go of the interpreter lock.
    void* pattern;
    size_t pattern_nnz;
    // The Householder vectors in sparse form for narrow products, one per
    // variant (only the factor's own is ever filled); NULL until first used.
    struct NarrowQ* narrow;
};

struct NarrowQ {
    spqr_narrow::FactorQ<double, int32_t> di;
    spqr_narrow::FactorQ<double, int64_t> dl;
    spqr_narrow::FactorQ<Complex, int32_t> zi;
    spqr_narrow::FactorQ<Complex, int64_t> zl;
};

FactorObject* as_factor(PyObject* op)
{
    return reinterpret_cast<FactorObject*>(op);
}

template <class Entry, class Int>
Factorization<Entry, Int>*& slot(FactorObject* f);
template <>
Factorization<double, int32_t>*& slot<double, int32_t>(FactorObject* f)
{
    return f->factor_di;
}
template <>
Factorization<double, int64_t>*& slot<double, int64_t>(FactorObject* f)
{
    return f->factor_dl;
}
template <>
Factorization<Complex, int32_t>*& slot<Complex, int32_t>(FactorObject* f)
{
    return f->factor_zi;
}
template <>
Factorization<Complex, int64_t>*& slot<Complex, int64_t>(FactorObject* f)
{
    return f->factor_zl;
}

template <class Entry, class Int>
spqr_narrow::FactorQ<Entry, Int>& narrow_slot(NarrowQ& q)
{
    if constexpr (std::is_same_v<Entry, double>) {
        if constexpr (std::is_same_v<Int, int32_t>) {
            return q.di;
        }
        else {
            return q.dl;
        }
    }
    else if constexpr (std::is_same_v<Int, int32_t>) {
        return q.zi;
    }
    else {
        return q.zl;
    }
}

// Y = op(X) with the factor's Q: the sparse kernel for a narrow X, the
// library's product otherwise (the same contract as SuiteSparseQR_qmult).
template <class Entry, class Int>
cholmod_dense* multiply_q(FactorObject* f, int method, cholmod_dense* X)
{
    if (f->narrow == nullptr) {
        f->narrow = new (std::nothrow) NarrowQ();
        if (f->narrow == nullptr) {
            f->cm->status = CHOLMOD_OUT_OF_MEMORY;
            return nullptr;
        }
    }
    return narrow_slot<Entry, Int>(*f->narrow).qmult(method, slot<Entry, Int>(f), X, f->cm);
}

// The vectors are taken again after the numeric part changed.
void drop_narrow(FactorObject* f)
{
    delete f->narrow;
    f->narrow = nullptr;
}

// Calls fn(slot) with the factorization of the object's variant.
template <class F>
decltype(auto) with_factorization(FactorObject* f, F&& fn)
{
    return spqr_lib::dispatch_variant(f->is_real, f->use_int32, [&](auto entry, auto index) {
        return fn(slot<decltype(entry), decltype(index)>(f));
    });
}

bool has_symbolic(FactorObject* f)
{
    return f->constructed && f->cm != nullptr && with_factorization(f, [](auto* QR) { return QR != nullptr && QR->QRsym != nullptr; });
}

bool has_numeric(FactorObject* f)
{
    return has_symbolic(f) && with_factorization(f, [](auto* QR) { return QR->QRnum != nullptr; });
}

// A missing part is an AssertionError while assertions are on; without them
// the operation still refuses, since no library routine may see it.
[[noreturn]] void raise_missing(const State& st, const char* part)
{
    if (st.assertions) {
        PyErr_SetNone(PyExc_AssertionError);
        throw PythonError{};
    }
    raise_format(st.SPQRError, "The factor has no %s factorization.", part);
}

void require_symbolic(const State& st, FactorObject* f)
{
    if (!has_symbolic(f)) {
        raise_missing(st, "symbolic");
    }
}

void require_numeric(const State& st, FactorObject* f)
{
    if (!has_numeric(f)) {
        raise_missing(st, "numeric");
    }
}

struct Context {
    PyObject* module;
    const State& st;
};

Context context_of(PyObject* self)
{
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);
    if (module == nullptr) {
        throw PythonError{};
    }
    return Context{module, state_of(module)};
}

Ref attr(PyObject* obj, const char* name)
{
    return check(PyObject_GetAttrString(obj, name));
}

Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args)
{
    Ref method = attr(obj, name);
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (PyObject* a : args) {
        PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(a));
    }
    return check(PyObject_Call(method.get(), tuple.get(), nullptr));
}

Ref format(PyObject* obj)
{
    return check(PyObject_Format(obj, nullptr));
}

long long shape_dim(PyObject* obj, Py_ssize_t axis)
{
    Ref shape = attr(obj, "shape");
    Ref d = check(PySequence_GetItem(shape.get(), axis));
    return as_int64(d.get());
}

// ---------------------------------------------------------------------------
// Release

void free_factorization(FactorObject* f)
{
    with_factorization(f, [&](auto*& QR) {
        if (QR != nullptr) {
            SuiteSparseQR_free(&QR, f->cm);
        }
        return 0;
    });
}

// Returns the object to the unconstructed state (for a second __init__).
void release(FactorObject* f)
{
    drop_narrow(f);
    if (f->cm != nullptr) {
        free_factorization(f);
        spqr_lib::finish_common(f->cm, f->use_int32);
        f->cm = nullptr;
    }
    std::memset(&f->common, 0, sizeof f->common);
    f->factor_di = nullptr;
    f->factor_dl = nullptr;
    f->factor_zi = nullptr;
    f->factor_zl = nullptr;
    f->use_int32 = 0;
    f->is_real = 0;
    f->constructed = 0;
    f->shape[0] = f->shape[1] = 0;
    f->tol = 0.0;
    Py_XSETREF(f->itype, Py_NewRef(Py_None));
    Py_XSETREF(f->dtype, Py_NewRef(Py_None));
    PyMem_RawFree(f->pattern);
    f->pattern = nullptr;
    f->pattern_nnz = 0;
}

// ---------------------------------------------------------------------------
// Construction and re-factorization

size_t pattern_bytes(size_t ncol, size_t nnz, bool int32)
{
    return (ncol + 1 + nnz) * (int32 ? sizeof(int32_t) : sizeof(int64_t));
}

// A copy of the header's pattern, in memory that the caller frees with
// PyMem_RawFree (NULL when it could not be allocated).
void* copy_pattern(const cholmod_sparse& header, size_t* nnz)
{
    const bool int32 = header.itype == CHOLMOD_INT;
    const size_t isize = int32 ? sizeof(int32_t) : sizeof(int64_t);
    *nnz = int32 ? static_cast<size_t>(static_cast<const int32_t*>(header.p)[header.ncol])
                 : static_cast<size_t>(static_cast<const int64_t*>(header.p)[header.ncol]);
    auto* out = static_cast<char*>(PyMem_RawMalloc(pattern_bytes(header.ncol, *nnz, int32)));
    if (out != nullptr) {
        std::memcpy(out, header.p, (header.ncol + 1) * isize);
        std::memcpy(out + (header.ncol + 1) * isize, header.i, *nnz * isize);
    }
    return out;
}

void construct(PyObject* self, PyObject* A, PyObject* use_singletons, PyObject* order, PyObject* tol)
{
    FactorObject* f = as_factor(self);
    const Context ctx = context_of(self);

    // Every argument is converted first: each conversion may run Python code,
    // including a call of __init__ on this very object.
    CscInput in = coerce_csc(ctx.module, A, CoerceCall::Plain);
    const int ordering = ordering_code(ctx.st, order);
    const double tol_value = tol == Py_None ? SPQR_DEFAULT_TOL : as_double(tol);
    const bool factorize_now = truth(use_singletons);
    SparseView view = sparse_view(ctx.module, CscParts::of(in.matrix.get()));

    // From here to the library call nothing runs Python code. Whatever a
    // re-entrant __init__ built above is released with the previous state.
    release(f);
    const cholmod_sparse& header = view.header();
    f->use_int32 = view.int32();
    f->is_real = view.real();
    f->tol = tol_value;
    f->pattern = copy_pattern(header, &f->pattern_nnz);
    if (f->pattern == nullptr) {
        throw std::bad_alloc();
    }
    f->cm = &f->common;
    if (!spqr_lib::start_common(f->cm, f->use_int32)) {
        f->cm = nullptr;
        raise(PyExc_MemoryError, "CHOLMOD could not start its workspace");
    }
    spqr_lib::OutOfMemoryLatch latch;
    spqr_lib::dispatch_variant(f->is_real, f->use_int32, [&](auto entry, auto index) {
        using Entry = decltype(entry);
        using Int = decltype(index);
        slot<Entry, Int>(f) = factorize_now
                                  ? SuiteSparseQR_factorize<Entry, Int>(ordering, f->tol, view.get(), f->cm)
                                  : SuiteSparseQR_symbolic<Entry, Int>(ordering, 1, view.get(), f->cm);
        return 0;
    });
    handle_errors(ctx.st, f->cm->status);

    Py_XSETREF(f->itype, Py_NewRef(f->use_int32 ? ctx.st.int32_dtype : ctx.st.int64_dtype));
    Py_XSETREF(f->dtype, Py_NewRef(f->is_real ? ctx.st.float64_dtype : ctx.st.complex128_dtype));
    f->shape[0] = static_cast<int64_t>(header.nrow);
    f->shape[1] = static_cast<int64_t>(header.ncol);
    f->constructed = 1;
}

int factor_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept
{
    static const char* keywords[] = {"A", "use_singletons", "order", "tol", nullptr};
    PyObject* A = nullptr;
    PyObject* use_singletons = Py_False;
    PyObject* order = Py_None;
    PyObject* tol = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:SPQRFactor", const_cast<char**>(keywords), &A,
                                     &use_singletons, &order, &tol)) {
        return -1;
    }
    return boundary_status([&] { construct(self, A, use_singletons, order, tol); });
}

[[noreturn]] void raise_mismatch(const char* what, PyObject* expected, PyObject* got, bool quoted)
{
    Ref e = format(expected);
    Ref g = format(got);
    const char* q = quoted ? "'" : "";
    raise_format(PyExc_ValueError,
                 "The %s of the input matrix does not match the one used for symbolic factorization. "
                 "Expected %s%U%s, got %s%U%s.",
                 what, q, e.get(), q, q, g.get(), q);
}

// What the library needs of a matrix for the analysed factorization, checked
// whatever _check_input_matrix (which a subclass may override) decided.
void require_analysed_structure(const Context& ctx, FactorObject* f, const cholmod_sparse& header)
{
    if (static_cast<int64_t>(header.nrow) != f->shape[0] || static_cast<int64_t>(header.ncol) != f->shape[1]) {
        Ref expected = check(Py_BuildValue("(LL)", static_cast<long long>(f->shape[0]), static_cast<long long>(f->shape[1])));
        Ref got = check(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(header.nrow), static_cast<Py_ssize_t>(header.ncol)));
        raise_mismatch("shape", expected.get(), got.get(), false);
    }
    if ((header.itype == CHOLMOD_INT) != (f->use_int32 != 0)) {
        PyObject* got = header.itype == CHOLMOD_INT ? ctx.st.int32_dtype : ctx.st.int64_dtype;
        raise_mismatch("integer size", f->itype, got, true);
    }
    if ((header.xtype == CHOLMOD_REAL) != (f->is_real != 0)) {
        PyObject* got = header.xtype == CHOLMOD_REAL ? ctx.st.float64_dtype : ctx.st.complex128_dtype;
        raise_mismatch("data type", f->dtype, got, true);
    }
    const size_t isize = f->use_int32 ? 4 : 8;
    const char* stored_p = static_cast<const char*>(f->pattern);
    const char* stored_i = stored_p + (header.ncol + 1) * isize;
    if (std::memcmp(header.p, stored_p, (header.ncol + 1) * isize) != 0 ||
        std::memcmp(header.i, stored_i, f->pattern_nnz * isize) != 0) {
        raise(PyExc_ValueError,
              "The sparsity pattern of the input matrix does not match the one used for symbolic factorization.");
    }
}

Ref py_factorize(PyObject* self, const Args& a)
{
    FactorObject* f = as_factor(self);
    const Context ctx = context_of(self);
    PyObject* tol = a[1];
    CscInput in = coerce_csc(ctx.module, a[0], CoerceCall::Plain);
    call_method(self, "_check_input_matrix", {in.matrix.get(), in.index_dtype.get()});
    const bool new_tolerance = tol != Py_None;
    const double tol_value = new_tolerance ? as_double(tol) : 0.0;
    if (new_tolerance) {
        Ref numeric = attr(self, "is_numeric");
        if (truth(numeric.get()) && !(tol_value == f->tol)) {
            Ref message = new_string(
                "The tolerance has been changed from the one used during a previous numeric factorization. "
                "This may lead to inconsistent rank determination.");
            warn(PyExc_UserWarning, message.get());
        }
    }
    SparseView view = sparse_view(ctx.module, CscParts::of(in.matrix.get()));
    // is_numeric, the warning and the lookups above may have run Python code
    // (a subclass, a warning filter) that re-initialised this object: the
    // matrix is checked against the factor as it is now.
    require_symbolic(ctx.st, f);
    require_analysed_structure(ctx, f, view.header());
    if (new_tolerance) {
        f->tol = tol_value;
    }
    spqr_lib::OutOfMemoryLatch latch;
    drop_narrow(f);
    with_factorization(f, [&](auto* QR) { return SuiteSparseQR_numeric(f->tol, view.get(), QR, f->cm); });
    handle_errors(ctx.st, f->cm->status);
    return Ref::borrow(self);
}

Ref py_check_input_matrix(PyObject* self, const Args& a)
{
    PyObject* A = a[0];
    PyObject* itype = a[1];
    Ref self_shape = attr(self, "shape");
    Ref A_shape = attr(A, "shape");
    if (check_status(PyObject_RichCompareBool(A_shape.get(), self_shape.get(), Py_NE))) {
        raise_mismatch("shape", self_shape.get(), A_shape.get(), false);
    }
    Ref self_itype = attr(self, "itype");
    if (check_status(PyObject_RichCompareBool(itype, self_itype.get(), Py_NE))) {
        raise_mismatch("integer size", self_itype.get(), itype, true);
    }
    Ref self_dtype = attr(self, "dtype");
    Ref A_dtype = attr(A, "dtype");
    if (check_status(PyObject_RichCompareBool(A_dtype.get(), self_dtype.get(), Py_NE))) {
        raise_mismatch("data type", self_dtype.get(), A_dtype.get(), true);
    }
    return Ref::none();
}

// ---------------------------------------------------------------------------
// Solve

[[noreturn]] void raise_rhs_shape(PyObject* self, PyObject* b_shape, bool transpose)
{
    Ref shape_repr = check(PyObject_Repr(b_shape));
    Ref self_shape = attr(self, "shape");
    Ref self_shape_str = format(self_shape.get());
    raise_format(PyExc_ValueError,
                 "Right-hand side b must have compatible shape with A. Got b.shape=%U, but A.shape=%U "
                 "(transpose=%s).",
                 shape_repr.get(), self_shape_str.get(), transpose ? "True" : "False");
}

// x = E (R \ (Q^H b)), or with transpose x = Q (R^H \ (E^T b)).
template <class Entry, class Int>
Ref solve_dense_with(const State& st, FactorObject* f, cholmod_dense* b, bool transpose)
{
    auto* QR = slot<Entry, Int>(f);
    cholmod_common* cm = f->cm;
    spqr_lib::OutOfMemoryLatch latch;
    if (!transpose) {
        spqr_lib::DenseResult<Int> Y(multiply_q<Entry, Int>(f, SPQR_QTX, b), cm);
        handle_errors(st, cm->status);
        spqr_lib::DenseResult<Int> X(SuiteSparseQR_solve<Entry, Int>(SPQR_RETX_EQUALS_B, QR, Y.get(), cm), cm);
        Y.reset();
        handle_errors(st, cm->status);
        return dense_to_ndarray(st, X, cm);
    }
    spqr_lib::DenseResult<Int> Z(SuiteSparseQR_solve<Entry, Int>(SPQR_RTX_EQUALS_ETB, QR, b, cm), cm);
    handle_errors(st, cm->status);
    spqr_lib::DenseResult<Int> X(multiply_q<Entry, Int>(f, SPQR_QX, Z.get()), cm);
    Z.reset();
    handle_errors(st, cm->status);
    return dense_to_ndarray(st, X, cm);
}

template <class T>
Ref solve_dense_typed(PyObject* self, PyObject* b, bool transpose)
{
    FactorObject* f = as_factor(self);
    const Context ctx = context_of(self);
    DenseView<T> view = dense_view<T>(ctx.st, b, "b");
    require_numeric(ctx.st, f);
    if (view.rows() != f->shape[transpose ? 1 : 0]) {
        Ref shape = attr(b, "shape");
        raise_rhs_shape(self, shape.get(), transpose);
    }
    // The factor's variant decides the routine; a b of the other value type is
    // refused by the library's own check (an SPQRInvalidInputError).
    return spqr_lib::dispatch_variant(f->is_real, f->use_int32, [&](auto entry, auto index) {
        return solve_dense_with<decltype(entry), decltype(index)>(ctx.st, f, view.get(), transpose);
    });
}

Ref py_solve_dense(PyObject* self, const Args& a)
{
    PyObject* b = a[0];
    if (b == Py_None) {
        raise_format(PyExc_TypeError, "Argument '%.200s' must not be None", "b");
    }
    const bool transpose = truth(a[1]);
    if (has_element_type(b, element_type<double>::value)) {
        return solve_dense_typed<double>(self, b, transpose);
    }
    if (has_element_type(b, element_type<Complex>::value)) {
        return solve_dense_typed<Complex>(self, b, transpose);
    }
    raise(PyExc_TypeError, "No matching signature found");
}

Ref empty_solution(const State& st, FactorObject* f, long long rows, PyObject* dtype)
{
    Ref shape = check(Py_BuildValue("((Ln))", rows, Py_ssize_t{0}));
    Ref kwargs = check(Py_BuildValue("{sO}", "dtype", dtype));
    Ref X = check(PyObject_Call(st.csc_array, shape.get(), kwargs.get()));
    Ref indptr = zeros(1, f->itype);
    Ref indices = zeros(0, f->itype);
    check_status(PyObject_SetAttrString(X.get(), "indptr", indptr.get()));
    check_status(PyObject_SetAttrString(X.get(), "indices", indices.get()));
    return X;
}

Ref astype(PyObject* arr, PyObject* dtype)
{
    Ref method = attr(arr, "astype");
    Ref args = check(PyTuple_Pack(1, dtype));
    Ref kwargs = check(Py_BuildValue("{sO}", "copy", Py_False));
    return check(PyObject_Call(method.get(), args.get(), kwargs.get()));
}

// Sparse right-hand sides: densified a batch of columns at a time into one
// reused buffer; each batch's solution is kept sparse.
// A sparse b as a checked CSC matrix, a 1-D one as a single column. SciPy's
// astype and tocsc sort, sum and convert with the stored indices unchecked,
// and a spoiled structure crashes them, so the structure is checked before
// either runs: a single column of another format is converted (checked,
// without a warning) by tarnix.utils, anything else goes through
// validate_csc_input. (COO's reshape checks the coordinates it moves.)
Ref checked_sparse_rhs(PyObject* module, PyObject* b_arg, bool one_dimensional)
{
    Ref b = Ref::borrow(b_arg);
    if (one_dimensional) {
        Ref coo = call_method(b.get(), "tocoo", {});
        Ref shape = check(Py_BuildValue("(ii)", -1, 1));
        b = call_method(coo.get(), "reshape", {shape.get()});
    }
    Ref format = attr(b.get(), "format");
    Ref csc = new_string("csc");
    if (shape_dim(b.get(), 1) == 1 && !check_status(PyObject_RichCompareBool(format.get(), csc.get(), Py_EQ))) {
        Ref to_csc = import_relative(module, "utils", "_to_csc");
        b = check(PyObject_CallOneArg(to_csc.get(), b.get()));
    }
    return coerce_csc(module, b.get(), CoerceCall::Plain).matrix;
}

// b: a CSC matrix from checked_sparse_rhs, in the factor's value type.
// SciPy's slicing and toarray index with b's stored indices, and Python code
// runs between the batches (_solve_dense may be overridden, warnings may be
// shown): they work on a private copy of b, checked once, that nothing else
// can write to.
Ref solve_sparse(PyObject* self, PyObject* b_arg, bool transpose, Py_ssize_t batch)
{
    FactorObject* f = as_factor(self);
    const Context ctx = context_of(self);
    Ref b = private_csc_copy(ctx.module, b_arg);
    const long long rows = shape_dim(b.get(), 0);
    const long long K = shape_dim(b.get(), 1);
    Ref dtype = attr(b.get(), "dtype");
    if (batch < 0) {
        raise(PyExc_ValueError, "negative dimensions are not allowed");
    }
    if (batch == 0) {
        raise(PyExc_ValueError, "range() arg 3 must not be zero");
    }
    if (K == 0) {
        return empty_solution(ctx.st, f, f->shape[transpose ? 0 : 1], dtype.get());
    }
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(std::min<long long>(batch, K))};
    PyArray_Descr* descr = nullptr;
    if (!PyArray_DescrConverter(dtype.get(), &descr)) {
        throw PythonError{};
    }
    Ref buffer = check(PyArray_Empty(2, dims, descr, 1));
    Ref results = check(PyList_New(0));
    Ref transpose_obj = Ref::borrow(transpose ? Py_True : Py_False);
    Ref out_kw = check(Py_BuildValue("{sO}", "dtype", dtype.get()));
    Ref all = check(PySlice_New(nullptr, nullptr, nullptr));
    for (long long start = 0; start < K; start += batch) {
        const long long end = std::min(K, start + static_cast<long long>(batch));
        Ref width = check(PyLong_FromLongLong(end - start));
        Ref leading = check(PySlice_New(nullptr, width.get(), nullptr));
        Ref first = check(PyTuple_Pack(2, all.get(), leading.get()));
        Ref view = check(PyObject_GetItem(buffer.get(), first.get()));
        Ref lo = check(PyLong_FromLongLong(start));
        Ref hi = check(PyLong_FromLongLong(end));
        Ref columns = check(PySlice_New(lo.get(), hi.get(), nullptr));
        Ref key = check(PyTuple_Pack(2, all.get(), columns.get()));
        Ref block = check(PyObject_GetItem(b.get(), key.get()));
        Ref toarray = attr(block.get(), "toarray");
        Ref empty = check(PyTuple_New(0));
        Ref toarray_kw = check(Py_BuildValue("{sO}", "out", view.get()));
        check(PyObject_Call(toarray.get(), empty.get(), toarray_kw.get()));
        Ref Xd = call_method(self, "_solve_dense", {view.get(), transpose_obj.get()});
        if (!PyArray_Check(Xd.get())) {
            raise_format(PyExc_TypeError, "_solve_dense must return a numpy.ndarray, got %.200s",
                         Py_TYPE(Xd.get())->tp_name);
        }
        Ref Xd_args = check(PyTuple_Pack(1, Xd.get()));
        Ref Xs = check(PyObject_Call(ctx.st.csc_array, Xd_args.get(), out_kw.get()));
        check_status(PyList_Append(results.get(), Xs.get()));
    }
    Ref X = check(PyObject_CallOneArg(ctx.st.hstack, results.get()));
    Ref indptr = attr(X.get(), "indptr");
    Ref indices = attr(X.get(), "indices");
    Ref indptr_cast = astype(indptr.get(), f->itype);
    Ref indices_cast = astype(indices.get(), f->itype);
    check_status(PyObject_SetAttrString(X.get(), "indptr", indptr_cast.get()));
    check_status(PyObject_SetAttrString(X.get(), "indices", indices_cast.get()));
    return X;
}

Ref py_solve(PyObject* self, const Args& a)
{
    FactorObject* f = as_factor(self);
    const Context ctx = context_of(self);
    PyObject* b_arg = a[0];
    const bool transpose = truth(a[1]);
    Ref batch_index = check(PyNumber_Index(a[2]));
    const Py_ssize_t batch = PyLong_AsSsize_t(batch_index.get());
    if (batch == -1 && PyErr_Occurred()) {
        throw PythonError{};
    }
    require_numeric(ctx.st, f);
    const bool sparse = !PyArray_Check(b_arg) && truth(check(PyObject_CallOneArg(ctx.st.issparse, b_arg)).get());
    if (!PyArray_Check(b_arg) && !sparse) {
        raise(PyExc_ValueError, "b must be an ndarray or sparse matrix.");
    }
    const long long ndim = as_int64(attr(b_arg, "ndim").get());
    if (ndim != 1 && ndim != 2) {
        raise(PyExc_ValueError, "b must be a 1D or 2D array.");
    }
    if (shape_dim(b_arg, 0) != f->shape[transpose ? 1 : 0]) {
        raise_rhs_shape(self, attr(b_arg, "shape").get(), transpose);
    }
    Ref self_dtype = attr(self, "dtype");
    Ref b_dtype = attr(b_arg, "dtype");
    PyArray_Descr* from = nullptr;
    PyArray_Descr* to = nullptr;
    if (!PyArray_DescrConverter(b_dtype.get(), &from)) {
        throw PythonError{};
    }
    Ref from_ref = Ref::steal(reinterpret_cast<PyObject*>(from));
    if (!PyArray_DescrConverter(self_dtype.get(), &to)) {
        throw PythonError{};
    }
    Ref to_ref = Ref::steal(reinterpret_cast<PyObject*>(to));
    if (!PyArray_CanCastTypeTo(from, to, NPY_SAFE_CASTING)) {
        Ref from_repr = check(PyObject_Repr(b_dtype.get()));
        Ref to_repr = check(PyObject_Repr(self_dtype.get()));
        raise_format(PyExc_TypeError, "Cannot safely cast b.dtype=%U to self.dtype=%U.", from_repr.get(),
                     to_repr.get());
    }
    const bool one_dimensional = ndim == 1;
    Ref b = astype(sparse ? checked_sparse_rhs(ctx.module, b_arg, one_dimensional).get() : b_arg, self_dtype.get());

    Ref rank = attr(self, "rank");
    Ref smallest = check(PyLong_FromLongLong(std::min(f->shape[0], f->shape[1])));
    if (check_status(PyObject_RichCompareBool(rank.get(), smallest.get(), Py_LT))) {
        Ref rank_str = format(rank.get());
        Ref shape_str = format(attr(self, "shape").get());
        Ref message = check(PyUnicode_FromFormat(
            "Matrix is rank deficient: rank=%U, A.shape=%U. The solution may not be unique.", rank_str.get(),
            shape_str.get()));
        warn(ctx.st.SPQRRankDeficiencyWarning, message.get());
    }
    if (one_dimensional && !sparse) {
        Ref shape = check(Py_BuildValue("((ii))", -1, 1));
        b = check(PyObject_Call(attr(b.get(), "reshape").get(), shape.get(), nullptr));
    }
    Ref x;
    if (sparse) {
        x = solve_sparse(self, b.get(), transpose, batch);
    }
    else {
        Ref fortran = check(PyArray_FromAny(b.get(), nullptr, 0, 0, NPY_ARRAY_F_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSUREARRAY, nullptr));
        x = call_method(self, "_solve_dense", {fortran.get(), transpose ? Py_True : Py_False});
    }
    if (one_dimensional) {
        Ref key = check(Py_BuildValue("(Oi)", Ref(check(PySlice_New(nullptr, nullptr, nullptr))).get(), 0));
        x = check(PyObject_GetItem(x.get(), key.get()));
    }
    return x;
}

// ---------------------------------------------------------------------------
// Products with Q

template <class Entry, class Int>
Ref qmult_dense_with(const State& st, FactorObject* f, int method, cholmod_dense* X)
{
    cholmod_common* cm = f->cm;
    spqr_lib::OutOfMemoryLatch latch;
    spqr_lib::DenseResult<Int> Y(multiply_q<Entry, Int>(f, method, X), cm);
    handle_errors(st, cm->status);
    return dense_to_ndarray(st, Y, cm);
}

void require_method_code(long long method)
{
    if (method < SPQR_QTX || method > SPQR_XQ) {
        raise_format(PyExc_ValueError, "Invalid method code %lld. Expected 0 (QTX), 1 (QX), 2 (XQT) or 3 (XQ).",
                     method);
    }
}

[[noreturn]] void raise_q_shape(long long m, long long got)
{
    raise_format(PyExc_ValueError, "Input X must have compatible shape with Q. Expected %lld, got %lld.", m, got);
}

template <class T>
Ref qmult_dense_typed(PyObject* self, long long method, PyObject* X)
{
    FactorObject* f = as_factor(self);
    const Context ctx = context_of(self);
    DenseView<T> view = dense_view<T>(ctx.st, X, "X");
    require_numeric(ctx.st, f);
    require_method_code(method);
    const long long dim = (method == SPQR_QTX || method == SPQR_QX) ? view.rows() : view.cols();
    if (dim != f->shape[0]) {
        raise_q_shape(f->shape[0], dim);
    }
    return spqr_lib::dispatch_variant(f->is_real, f->use_int32, [&](auto entry, auto index) {
        return qmult_dense_with<decltype(entry), decltype(index)>(ctx.st, f, static_cast<int>(method), view.get());
    });
}

Ref py_qmult_dense(PyObject* self, const Args& a)
{
    const long long method = as_int64(a[0]);
    PyObject* X = a[1];
    if (X == Py_None) {
        raise_format(PyExc_TypeError, "Argument '%.200s' must not be None", "X");
    }
    if (has_element_type(X, element_type<double>::value)) {
        return qmult_dense_typed<double>(self, method, X);
    }
    if (has_element_type(X, element_type<Complex>::value)) {
        return qmult_dense_typed<Complex>(self, method, X);
    }
    raise(PyExc_TypeError, "No matching signature found");
}

// A sparse X, validated and brought to the factor's index width.
Ref qmult_sparse(PyObject* self, int method, PyObject* X_arg)
{
    FactorObject* f = as_factor(self);
    const Context ctx = context_of(self);
    Ref X = coerce_csc(ctx.module, X_arg, CoerceCall::Plain).matrix;
    CscParts parts = CscParts::of(X.get());
    // Narrowing to the factor's 32-bit indices must not wrap: the pointers
    // end at nnz, the largest of them.
    const bool to_int32 = f->use_int32 != 0;
    Ref itype = Ref::borrow(to_int32 ? ctx.st.int32_dtype : ctx.st.int64_dtype);
    if (to_int32 && PyArray_Check(parts.indptr.get())) {
        auto* p = reinterpret_cast<PyArrayObject*>(parts.indptr.get());
        const npy_intp n = PyArray_SIZE(p);
        if (n > 0 && PyArray_TYPE(p) == NPY_INT64 && PyArray_ISCARRAY_RO(p) &&
            static_cast<const int64_t*>(PyArray_DATA(p))[n - 1] > INT32_MAX) {
            raise(PyExc_ValueError, "X has too many entries for the factor's 32-bit indices");
        }
    }
    Ref indptr = astype(parts.indptr.get(), itype.get());
    Ref indices = astype(parts.indices.get(), itype.get());
    SparseView view = sparse_view(ctx.module, CscParts::with_indices(std::move(parts), indptr, indices));
    // The conversions above may have run Python code that re-initialised the
    // factor: X is checked against the factor as it is now.
    require_numeric(ctx.st, f);
    if (view.int32() != (f->use_int32 != 0)) {
        raise_format(PyExc_ValueError, "X and the factor differ in index width: X has %s indices, the factor %s",
                     index_type_name(view.int32()), index_type_name(f->use_int32));
    }
    if (view.real() != (f->is_real != 0)) {
        raise_format(PyExc_ValueError, "X and the factor differ in value type: X has %s values, the factor %s",
                     value_type_name(view.real()), value_type_name(f->is_real));
    }
    const cholmod_sparse& header = view.header();
    const long long dim = static_cast<long long>(method == SPQR_QTX || method == SPQR_QX ? header.nrow : header.ncol);
    if (dim != f->shape[0]) {
        raise_q_shape(f->shape[0], dim);
    }
    return spqr_lib::dispatch_variant(f->is_real, f->use_int32, [&](auto entry, auto index) {
        using Entry = decltype(entry);
        using Int = decltype(index);
        spqr_lib::OutOfMemoryLatch latch;
        spqr_lib::SparseResult<Int> Y(SuiteSparseQR_qmult<Entry, Int>(method, slot<Entry, Int>(f), view.get(), f->cm),
                                      f->cm);
        handle_errors(ctx.st, f->cm->status);
        return sparse_to_csc(ctx.st, Y, f->cm);
    });
}

Ref py_qmult(PyObject* self, const Args& a)
{
    FactorObject* f = as_factor(self);
    const Context ctx = context_of(self);
    PyObject* X = a[0];
    PyObject* method = a[1];
    require_method_type(method);
    require_numeric(ctx.st, f);
    const bool sparse = !PyArray_Check(X) && truth(check(PyObject_CallOneArg(ctx.st.issparse, X)).get());
    if (!PyArray_Check(X) && !sparse) {
        raise(PyExc_ValueError, "X must be an ndarray or sparse matrix.");
    }
    Ref self_dtype = attr(self, "dtype");
    Ref X_dtype = attr(X, "dtype");
    if (check_status(PyObject_RichCompareBool(X_dtype.get(), self_dtype.get(), Py_NE))) {
        Ref self_repr = check(PyObject_Repr(self_dtype.get()));
        Ref X_repr = check(PyObject_Repr(X_dtype.get()));
        raise_format(PyExc_ValueError, "Input and factor dtypes do not match. self.dtype=%U and X.dtype=%U",
                     self_repr.get(), X_repr.get());
    }
    const long long ndim = as_int64(attr(X, "ndim").get());
    if (ndim != 1 && ndim != 2) {
        raise(PyExc_ValueError, "X must be a 1D or 2D array.");
    }
    const int code = qmult_code(method);
    const long long dim = shape_dim(X, code == SPQR_QTX || code == SPQR_QX ? 0 : 1);
    if (dim != f->shape[0]) {
        raise_q_shape(f->shape[0], dim);
    }
    if (sparse) {
        return qmult_sparse(self, code, X);
    }
    Ref Xf = check(PyArray_FromAny(X, nullptr, 0, 0, NPY_ARRAY_F_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSUREARRAY, nullptr));
    if (ndim == 1) {
        Ref shape = check(Py_BuildValue("((Li))", shape_dim(Xf.get(), 0), 1));
        Xf = check(PyObject_Call(attr(Xf.get(), "reshape").get(), shape.get(), nullptr));
    }
    Ref code_obj = check(PyLong_FromLong(code));
    Ref Y = call_method(self, "_qmult_dense", {code_obj.get(), Xf.get()});
    if (ndim == 1) {
        Ref key = check(Py_BuildValue("(Oi)", Ref(check(PySlice_New(nullptr, nullptr, nullptr))).get(), 0));
        return check(PyObject_GetItem(Y.get(), key.get()));
    }
    return Y;
}

// ---------------------------------------------------------------------------
// Copy, state, representation

Ref py_copy(PyObject* self, const Args&)
{
    FactorObject* src = as_factor(self);
    const Context ctx = context_of(self);
    auto* type = reinterpret_cast<PyTypeObject*>(ctx.st.factor_type);
    Ref dest_obj = check(type->tp_new(type, nullptr, nullptr));
    FactorObject* dest = as_factor(dest_obj.get());
    dest->use_int32 = src->use_int32;
    dest->is_real = src->is_real;
    dest->constructed = src->constructed;
    dest->cm = &dest->common;
    if (!spqr_lib::start_common(dest->cm, dest->use_int32)) {
        dest->cm = nullptr;
        raise(PyExc_MemoryError, "CHOLMOD could not start its workspace");
    }
    if (src->cm != nullptr && ctx.st.copy_common(dest->cm, src->cm) < 0) {
        throw PythonError{};
    }
    dest->shape[0] = src->shape[0];
    dest->shape[1] = src->shape[1];
    Py_XSETREF(dest->itype, Py_NewRef(src->itype));
    Py_XSETREF(dest->dtype, Py_NewRef(src->dtype));
    dest->tol = src->tol;
    if (src->pattern != nullptr) {
        const size_t bytes = pattern_bytes(static_cast<size_t>(src->shape[1]), src->pattern_nnz, src->use_int32);
        dest->pattern = PyMem_RawMalloc(bytes);
        if (dest->pattern == nullptr) {
            throw std::bad_alloc();
        }
        std::memcpy(dest->pattern, src->pattern, bytes);
        dest->pattern_nnz = src->pattern_nnz;
    }
    if (src->cm == nullptr) {
        return dest_obj;
    }
    spqr_lib::dispatch_variant(src->is_real, src->use_int32, [&](auto entry, auto index) {
        using Entry = decltype(entry);
        using Int = decltype(index);
        const auto* from = slot<Entry, Int>(src);
        if (from == nullptr) {
            return 0;
        }
        try {
            slot<Entry, Int>(dest) = spqr_lib::FactorCopier<Entry, Int>(dest->cm).copy(from);
            if (src->narrow != nullptr) {
                dest->narrow = new NarrowQ(*src->narrow);
            }
        }
        catch (const spqr_lib::CopyUnsupported&) {
            raise(PyExc_NotImplementedError, "SPQR task parallelism and GPU not yet supported.");
        }
        catch (const spqr_lib::CopyRelocation&) {
            raise(ctx.st.SPQRError, "Failed to copy Rblock pointers.");
        }
        return 0;
    });
    return dest_obj;
}

constexpr const char* kNoPickle =
    "self._cm,self._common,self._factor_di,self._factor_dl,self._factor_zi,self._factor_zl cannot be converted "
    "to a Python object for pickling";

Ref py_reduce(PyObject*, const Args&)
{
    raise(PyExc_TypeError, kNoPickle);
}

Ref py_setstate(PyObject*, const Args&)
{
    raise(PyExc_TypeError, kNoPickle);
}

PyObject* factor_repr(PyObject* self) noexcept
{
    return boundary([&]() -> Ref {
        Ref cls = attr(self, "__class__");
        Ref name = attr(cls.get(), "__name__");
        const bool numeric = truth(attr(self, "is_numeric").get());
        Ref dtype = format(attr(self, "dtype").get());
        Ref itype = format(attr(self, "itype").get());
        Ref shape = format(attr(self, "shape").get());
        Ref rank = format(attr(self, "rank").get());
        return check(PyUnicode_FromFormat("<%U %s factor of dtype '%U' with '%U' indices\n    A: shape=%U, rank=%U>",
                                          name.get(), numeric ? "numeric" : "symbolic", dtype.get(), itype.get(),
                                          shape.get(), rank.get()));
    });
}

PyObject* factor_str(PyObject* self) noexcept
{
    return boundary([&] { return call_method(self, "__repr__", {}); });
}

// ---------------------------------------------------------------------------
// Properties

PyObject* get_is_numeric(PyObject* self, void*) noexcept
{
    return PyBool_FromLong(has_numeric(as_factor(self)));
}

PyObject* get_shape(PyObject* self, void*) noexcept
{
    FactorObject* f = as_factor(self);
    return Py_BuildValue("(LL)", static_cast<long long>(f->shape[0]), static_cast<long long>(f->shape[1]));
}

PyObject* get_rank(PyObject* self, void*) noexcept
{
    return boundary([&]() -> Ref {
        FactorObject* f = as_factor(self);
        if (!truth(attr(self, "is_numeric").get())) {
            return Ref::none();
        }
        require_numeric(context_of(self).st, f);
        return with_factorization(f, [](auto* QR) { return check(PyLong_FromLongLong(QR->rank)); });
    });
}

PyObject* get_perm(PyObject* self, void*) noexcept
{
    return boundary([&]() -> Ref {
        FactorObject* f = as_factor(self);
        const Context ctx = context_of(self);
        require_symbolic(ctx.st, f);
        return with_factorization(f, [&](auto* QR) -> Ref {
            const auto n = static_cast<size_t>(f->shape[1]);
            if (QR->Q1fill == nullptr) {
                // No fill-reducing or singleton permutation: the identity.
                return arange(static_cast<npy_intp>(n), f->itype);
            }
            return check(reinterpret_cast<PyObject*>(ctx.st.ndarray_copy_from_intptr(QR->Q1fill, n, f->use_int32)));
        });
    });
}

PyObject* get_info(PyObject* self, void*) noexcept
{
    return boundary([&] { return info_from_common(context_of(self).st, as_factor(self)->cm); });
}

PyObject* get_itype(PyObject* self, void*) noexcept
{
    return Py_NewRef(as_factor(self)->itype);
}

PyObject* get_dtype(PyObject* self, void*) noexcept
{
    return Py_NewRef(as_factor(self)->dtype);
}

PyGetSetDef factor_getset[] = {
    {"is_numeric", get_is_numeric, nullptr, "True once the numeric factorization is present.", nullptr},
    {"shape", get_shape, nullptr, "(rows, columns) of the analysed matrix.", nullptr},
    {"rank", get_rank, nullptr, "Estimated rank of A (None before the numeric factorization).", nullptr},
    {"perm", get_perm, nullptr, "The column permutation E (singletons and fill-reducing ordering).", nullptr},
    {"info", get_info, nullptr, "SPQRInfo of the last library call made through the factor.", nullptr},
    {"itype", get_itype, nullptr, "Index dtype of the analysed matrix (int32 or int64).", nullptr},
    {"dtype", get_dtype, nullptr, "Value dtype of the analysed matrix (float64 or complex128).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Allocation and destruction

PyObject* factor_new(PyTypeObject* type, PyObject*, PyObject*) noexcept
{
    PyObject* op = type->tp_alloc(type, 0);  // zero-filled: no common, no factorization
    if (op == nullptr) {
        return nullptr;
    }
    as_factor(op)->itype = Py_NewRef(Py_None);
    as_factor(op)->dtype = Py_NewRef(Py_None);
    return op;
}

void factor_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    FactorObject* f = as_factor(self);
    PyObject *ptype, *pvalue, *ptraceback;
    PyErr_Fetch(&ptype, &pvalue, &ptraceback);
    if (f->cm != nullptr) {
        const int ok = with_factorization(f, [&](auto*& QR) { return SuiteSparseQR_free(&QR, f->cm); });
        if (!ok) {
            PyErr_SetNone(PyExc_AssertionError);
            PyObject* where = PyUnicode_FromString("tarnix.spqr.SPQRFactor.__dealloc__");
            PyErr_WriteUnraisable(where);
            Py_XDECREF(where);
        }
        else {
            spqr_lib::finish_common(f->cm, f->use_int32);
        }
    }
    drop_narrow(f);
    Py_CLEAR(f->itype);
    Py_CLEAR(f->dtype);
    PyMem_RawFree(f->pattern);
    f->pattern = nullptr;
    PyErr_Restore(ptype, pvalue, ptraceback);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Method table

const Param factorize_params[] = {{"A"}, kwonly("tol", Default::None)};
const Param check_params[] = {{"A"}, {"itype"}};
const Param solve_params[] = {{"b"}, kwonly("transpose", Default::False), Param{"rhs_batch_size", Default::Int, true, 100}};
const Param solve_dense_params[] = {{"b"}, {"transpose"}};
const Param qmult_params[] = {{"X"}, Param{"method", Default::Str, false, 0, "QX"}};
const Param qmult_dense_params[] = {{"method"}, {"X"}};
const Param no_params[] = {{"_"}};
const Param setstate_params[] = {{"state"}};

constexpr auto kMethod = FunctionDef::Binding::Method;
const FunctionDef factorize_def{"factorize", py_factorize, factorize_params, 2, spqr_docs::factorize, -1, 0, kMethod};
const FunctionDef check_def{"_check_input_matrix", py_check_input_matrix, check_params, 2,
                            spqr_docs::check_input_matrix, -1, 0, kMethod};
const FunctionDef solve_def{"solve", py_solve, solve_params, 3, nullptr, -1, 0, kMethod};
const FunctionDef solve_dense_def{"_solve_dense", py_solve_dense, solve_dense_params, 2, spqr_docs::solve_dense, -1,
                                  0, kMethod};
const FunctionDef qmult_def{"qmult", py_qmult, qmult_params, 2, nullptr, -1, 0, kMethod};
const FunctionDef qmult_dense_def{"_qmult_dense", py_qmult_dense, qmult_dense_params, 2, spqr_docs::qmult_dense, -1,
                                  0, kMethod};
const FunctionDef copy_def{"copy", py_copy, no_params, 0, spqr_docs::copy, -1, 0, kMethod};
const FunctionDef reduce_def{"__reduce__", py_reduce, no_params, 0, nullptr, -1, 0, kMethod};
const FunctionDef setstate_def{"__setstate__", py_setstate, setstate_params, 1, nullptr, -1, 0, kMethod};

PyType_Slot factor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(factor_new)},
    {Py_tp_init, reinterpret_cast<void*>(factor_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(factor_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(factor_repr)},
    {Py_tp_str, reinterpret_cast<void*>(factor_str)},
    {Py_tp_getset, factor_getset},
    {Py_tp_doc, const_cast<char*>(spqr_docs::factor)},
    {0, nullptr},
};

PyType_Spec factor_spec = {
    "tarnix.spqr.SPQRFactor",
    sizeof(FactorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    factor_slots,
};

}  // namespace

void require_method_type(PyObject* method)
{
    if (method != Py_None && !PyUnicode_Check(method)) {
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(method)->tp_name);
    }
}

int qmult_code(PyObject* method)
{
    static const struct {
        const char* name;
        int code;
    } table[] = {{"QX", SPQR_QX}, {"QTX", SPQR_QTX}, {"XQ", SPQR_XQ}, {"XQT", SPQR_XQT}};
    if (method != Py_None && PyUnicode_Check(method)) {
        for (const auto& entry : table) {
            if (PyUnicode_CompareWithASCIIString(method, entry.name) == 0) {
                return entry.code;
            }
        }
    }
    Ref text = check(PyObject_Str(method));
    raise_format(PyExc_ValueError, "Invalid method '%U'. Expected one of ['QX', 'QTX', 'XQ', 'XQT'].", text.get());
}

Ref add_factor_type(PyObject* module)
{
    Ref type = check(PyType_FromModuleAndSpec(module, &factor_spec, nullptr));
    for (const FunctionDef* def : {&factorize_def, &check_def, &solve_def, &solve_dense_def, &qmult_def,
                                   &qmult_dense_def, &copy_def, &reduce_def, &setstate_def}) {
        add_method(module, type.get(), *def);
    }
    add_object(module, "SPQRFactor", type.get());
    return type;
}

void set_factor_docstrings(PyObject* type, PyObject* solve_doc, PyObject* qmult_doc)
{
    Ref solve = attr(type, "solve");
    Ref qmult = attr(type, "qmult");
    check_status(PyObject_SetAttrString(solve.get(), "__doc__", solve_doc));
    check_status(PyObject_SetAttrString(qmult.get(), "__doc__", qmult_doc));
}

}  // namespace spqr_module
