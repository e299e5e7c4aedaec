// SPQRFactor.solve: least-squares and minimum-norm solutions with the factor,
// for dense right-hand sides (_solve_dense, one library call per product and
// triangular solve) and sparse ones (densified a batch of columns at a time).

#include "spqr/arguments.hpp"
#include "spqr/factor.hpp"
#include "spqr/results.hpp"
#include "spqr/status.hpp"
#include "spqr/views.hpp"
#include "spqr/surface.hpp"

#include <algorithm>

namespace spqr_module {

using namespace tarnix;

namespace {

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

// ---------------------------------------------------------------------------
// _solve_dense

template <class T>
Ref solve_dense_typed(PyObject* self, const State& st, PyObject* b, bool transpose)
{
    DenseView<T> view = dense_view<T>(st, b, "b");
    {
        Snapshot v(self);
        require_numeric(st, v.get());
        if (view.rows() == (transpose ? v->cols() : v->rows())) {
            // The factor's variant decides the routine; a b of the other value
            // type is refused by the library's own check (an
            // SPQRInvalidInputError).
            return v->solve(st, view.get(), transpose);
        }
    }
    raise_rhs_shape(self, attr(b, "shape").get(), transpose);
}

Ref solve_dense(PyObject* self, const State& st, PyObject* b, bool transpose)
{
    not_none(b, "b");
    return dispatch_value_type(b, [&](auto entry) { return solve_dense_typed<decltype(entry)>(self, st, b, transpose); });
}

// self._solve_dense(b, transpose): the method itself for the exact type.
Ref solve_dense_call(PyObject* self, const State& st, PyObject* b, bool transpose)
{
    if (!is_exact_factor(self, st)) {
        return call_method(self, "_solve_dense", {b, transpose ? Py_True : Py_False});
    }
    return solve_dense(self, st, b, transpose);
}

}  // namespace

Ref py_solve_dense(PyObject* self, const Args& a)
{
    PyObject* b = a[0];
    not_none(b, "b");
    const bool transpose = truth(a[1]);
    return solve_dense(self, context_of(self).st, b, transpose);
}

namespace {

// ---------------------------------------------------------------------------
// Sparse right-hand sides

Ref empty_solution(const State& st, PyObject* itype, long long rows, PyObject* dtype)
{
    Ref shape = check(Py_BuildValue("((Ln))", rows, Py_ssize_t{0}));
    Ref kwargs = check(Py_BuildValue("{sO}", "dtype", dtype));
    Ref X = check(PyObject_Call(st.csc_array, shape.get(), kwargs.get()));
    Ref indptr = zeros(1, itype);
    Ref indices = zeros(0, itype);
    check_status(PyObject_SetAttrString(X.get(), "indptr", indptr.get()));
    check_status(PyObject_SetAttrString(X.get(), "indices", indices.get()));
    return X;
}

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
        b = as_column(coo.get());
    }
    Ref format = attr(b.get(), "format");
    Ref csc = new_string("csc");
    if (shape_dim(b.get(), 1) == 1 && !check_status(PyObject_RichCompareBool(format.get(), csc.get(), Py_EQ))) {
        Ref to_csc = import_relative(module, "utils", "_to_csc");
        b = check(PyObject_CallOneArg(to_csc.get(), b.get()));
    }
    return coerce_csc(module, b.get(), CoerceCall::Plain).matrix;
}

// Columns start..end of the private b, densified into the leading columns
// of buffer; returns those columns (a view of buffer).
Ref densify_batch(PyObject* b, PyObject* buffer, long long start, long long end)
{
    Ref all = check(PySlice_New(nullptr, nullptr, nullptr));
    Ref width = check(PyLong_FromLongLong(end - start));
    Ref leading = check(PySlice_New(nullptr, width.get(), nullptr));
    Ref first = check(PyTuple_Pack(2, all.get(), leading.get()));
    Ref view = check(PyObject_GetItem(buffer, first.get()));
    Ref lo = check(PyLong_FromLongLong(start));
    Ref hi = check(PyLong_FromLongLong(end));
    Ref columns = check(PySlice_New(lo.get(), hi.get(), nullptr));
    Ref key = check(PyTuple_Pack(2, all.get(), columns.get()));
    Ref block = check(PyObject_GetItem(b, key.get()));
    Ref toarray = attr(block.get(), "toarray");
    Ref empty = check(PyTuple_New(0));
    Ref toarray_kw = check(Py_BuildValue("{sO}", "out", view.get()));
    check(PyObject_Call(toarray.get(), empty.get(), toarray_kw.get()));
    return view;
}

// The batches' solutions side by side, with indices of the factor's width.
Ref stack_solutions(const State& st, PyObject* results, PyObject* itype)
{
    Ref X = check(PyObject_CallOneArg(st.hstack, results));
    Ref indptr = attr(X.get(), "indptr");
    Ref indices = attr(X.get(), "indices");
    Ref indptr_cast = astype(indptr.get(), itype);
    Ref indices_cast = astype(indices.get(), itype);
    check_status(PyObject_SetAttrString(X.get(), "indptr", indptr_cast.get()));
    check_status(PyObject_SetAttrString(X.get(), "indices", indices_cast.get()));
    return X;
}

// b: a private CSC matrix (solve_sparse_columns), in the factor's value
// type; each batch's solution is kept sparse. SciPy's slicing and toarray
// index with b's stored indices, and Python code runs between the batches
// (_solve_dense may be overridden, warnings may be shown): b is a copy,
// checked once, that nothing else can write to.
Ref solve_sparse(PyObject* self, const Ref& b, bool transpose, Py_ssize_t batch)
{
    const Context ctx = context_of(self);
    const long long rows = shape_dim(b.get(), 0);
    const long long K = shape_dim(b.get(), 1);
    Ref dtype = attr(b.get(), "dtype");
    if (batch < 0) {
        raise(PyExc_ValueError, spqr_surface::negative_dimensions);
    }
    if (batch == 0) {
        raise(PyExc_ValueError, spqr_surface::zero_step);
    }
    if (K == 0) {
        const Shape shape = shape_of(self);
        return empty_solution(ctx.st, itype_of(ctx.st, self), transpose ? shape.rows : shape.cols, dtype.get());
    }
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(std::min<long long>(batch, K))};
    PyArray_Descr* descr = nullptr;
    if (!PyArray_DescrConverter(dtype.get(), &descr)) {
        throw PythonError{};
    }
    Ref buffer = check(PyArray_Empty(2, dims, descr, 1));
    Ref results = check(PyList_New(0));
    Ref out_kw = check(Py_BuildValue("{sO}", "dtype", dtype.get()));
    for (long long start = 0; start < K; start += batch) {
        const long long end = std::min(K, start + static_cast<long long>(batch));
        Ref view = densify_batch(b.get(), buffer.get(), start, end);
        Ref Xd = solve_dense_call(self, ctx.st, view.get(), transpose);
        if (!PyArray_Check(Xd.get())) {
            raise_format(PyExc_TypeError, spqr_surface::solve_dense_result, Py_TYPE(Xd.get())->tp_name);
        }
        Ref Xd_args = check(PyTuple_Pack(1, Xd.get()));
        Ref Xs = check(PyObject_Call(ctx.st.csc_array, Xd_args.get(), out_kw.get()));
        check_status(PyList_Append(results.get(), Xs.get()));
    }
    return stack_solutions(ctx.st, results.get(), itype_of(ctx.st, self));
}

// Columns without entries have zero solutions: only the others are solved,
// so that the cost of a sparse b follows its columns that hold entries.

// The positions of b's columns that hold entries (b a private CSC matrix).
Ref nonempty_columns(const State& st, PyObject* b, long long K)
{
    Ref indptr = astype(attr(b, "indptr").get(), st.int64_dtype);
    const auto* p = data_of<int64_t>(indptr);
    npy_intp count = 0;
    for (long long j = 0; j < K; ++j) {
        count += p[j + 1] > p[j];
    }
    Ref kept = zeros(count, NPY_INTP);
    auto* k = data_of<npy_intp>(kept);
    for (long long j = 0; j < K; ++j) {
        if (p[j + 1] > p[j]) {
            *k++ = static_cast<npy_intp>(j);
        }
    }
    return kept;
}

// X, the solution of b's columns `kept`, as the solution of all K columns:
// the same entries, the other columns empty, indices of the factor's width.
Ref scatter_columns(const State& st, PyObject* X, PyObject* kept, long long K, PyObject* itype)
{
    Ref x_indptr = astype(attr(X, "indptr").get(), st.int64_dtype);
    const auto* xp = data_of<int64_t>(x_indptr);
    const auto* k = static_cast<const npy_intp*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(kept)));
    const npy_intp nkept = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(kept));
    Ref indptr = zeros(static_cast<npy_intp>(K + 1), NPY_INT64);
    auto* p = data_of<int64_t>(indptr);
    for (npy_intp j = 0, c = 0; c < K; ++c) {
        p[c + 1] = p[c];
        if (j < nkept && k[j] == c) {
            p[c + 1] += xp[j + 1] - xp[j];
            ++j;
        }
    }
    Ref data = attr(X, "data");
    Ref indices = astype(attr(X, "indices").get(), itype);
    Ref indptr_cast = astype(indptr.get(), itype);
    Ref arrays = check(PyTuple_Pack(3, data.get(), indices.get(), indptr_cast.get()));
    Ref shape = check(Py_BuildValue("(LL)", shape_dim(X, 0), K));
    Ref args = check(PyTuple_Pack(1, arrays.get()));
    Ref kwargs = check(Py_BuildValue("{sO}", "shape", shape.get()));
    Ref result = check(PyObject_Call(st.csc_array, args.get(), kwargs.get()));
    check_status(PyObject_SetAttrString(result.get(), "indptr", indptr_cast.get()));
    check_status(PyObject_SetAttrString(result.get(), "indices", indices.get()));
    return result;
}

// b: a CSC matrix from checked_sparse_rhs, in the factor's value type. Its
// private copy is inspected, and compressed to the columns that hold entries
// when some do not.
Ref solve_sparse_columns(PyObject* self, PyObject* b_arg, bool transpose, Py_ssize_t batch)
{
    const Context ctx = context_of(self);
    Ref b = private_csc_copy(ctx.module, b_arg);
    const long long K = shape_dim(b.get(), 1);
    Ref kept = nonempty_columns(ctx.st, b.get(), K);
    const npy_intp nkept = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(kept.get()));
    if (nkept == K || batch <= 0) {
        return solve_sparse(self, b, transpose, batch);
    }
    const Shape shape = shape_of(self);
    const long long rows = transpose ? shape.rows : shape.cols;
    PyObject* itype = itype_of(ctx.st, self);
    if (nkept == 0) {
        Ref dtype = attr(b.get(), "dtype");
        Ref none = empty_solution(ctx.st, itype, rows, dtype.get());
        return scatter_columns(ctx.st, none.get(), kept.get(), K, itype);
    }
    Ref all = check(PySlice_New(nullptr, nullptr, nullptr));
    Ref key = check(PyTuple_Pack(2, all.get(), kept.get()));
    Ref part = check(PyObject_GetItem(b.get(), key.get()));
    Ref X = solve_sparse(self, part, transpose, batch);
    return scatter_columns(ctx.st, X.get(), kept.get(), K, itype);
}

// ---------------------------------------------------------------------------
// solve

// b's dtype must cast safely to the factor's.
void require_safe_cast(PyObject* b_dtype, PyObject* self_dtype)
{
    PyArray_Descr* from = nullptr;
    PyArray_Descr* to = nullptr;
    if (!PyArray_DescrConverter(b_dtype, &from)) {
        throw PythonError{};
    }
    Ref from_ref = Ref::steal(reinterpret_cast<PyObject*>(from));
    if (!PyArray_DescrConverter(self_dtype, &to)) {
        throw PythonError{};
    }
    Ref to_ref = Ref::steal(reinterpret_cast<PyObject*>(to));
    if (!PyArray_CanCastTypeTo(from, to, NPY_SAFE_CASTING)) {
        Ref from_repr = check(PyObject_Repr(b_dtype));
        Ref to_repr = check(PyObject_Repr(self_dtype));
        raise_format(PyExc_TypeError, spqr_surface::unsafe_cast, from_repr.get(), to_repr.get());
    }
}

// Whether b is one of NumPy's own arrays whose dtype casts safely to the
// factor's (a descriptor): the check of require_safe_cast without lookups.
bool safe_cast_of_array(PyObject* b, PyObject* self_dtype)
{
    return PyArray_CheckExact(b) && PyArray_DescrCheck(self_dtype) &&
           PyArray_CanCastTypeTo(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(b)),
                                 reinterpret_cast<PyArray_Descr*>(self_dtype), NPY_SAFE_CASTING);
}

void warn_if_rank_deficient(const State& st, PyObject* self, const FactorBase* v)
{
    const long long smallest = std::min(v->rows(), v->cols());
    if (is_exact_factor(self, st) && v->rank() >= smallest) {
        return;
    }
    Ref rank = property_of(self, st, "rank");
    Ref smallest_obj = check(PyLong_FromLongLong(smallest));
    if (check_status(PyObject_RichCompareBool(rank.get(), smallest_obj.get(), Py_LT))) {
        Ref rank_str = format(rank.get());
        Ref shape_str = format(property_of(self, st, "shape").get());
        Ref message = check(PyUnicode_FromFormat(spqr_surface::rank_deficient, rank_str.get(), shape_str.get()));
        warn(st.SPQRRankDeficiencyWarning, message.get());
    }
}

// The checks of solve's b against the factor as it is now; returns b's
// number of dimensions (1 or 2).
long long check_rhs(PyObject* self, PyObject* b, bool sparse, bool transpose)
{
    if (!PyArray_Check(b) && !sparse) {
        raise(PyExc_ValueError, spqr_surface::b_not_array);
    }
    const long long ndim = ndim_of(b);
    if (ndim != 1 && ndim != 2) {
        raise(PyExc_ValueError, spqr_surface::b_ndim);
    }
    const Shape shape = shape_of(self);
    if (shape_dim(b, 0) != (transpose ? shape.cols : shape.rows)) {
        raise_rhs_shape(self, attr(b, "shape").get(), transpose);
    }
    return ndim;
}

}  // namespace

Ref py_solve(PyObject* self, const Args& a)
{
    const Context ctx = context_of(self);
    const bool transpose = truth(a[1]);
    return solve_call(self, ctx, a[0], transpose, as_ssize(a[2]));
}

Ref solve_call(PyObject* self, const Context& ctx, PyObject* b_arg, bool transpose, Py_ssize_t batch)
{
    // From here on the call sees one variant (one analysis and numeric
    // factorization), whatever another thread or Python code run below does
    // to the object: the checks of b, its cast, the rank warning, every batch
    // and the index width of a sparse result.
    Snapshot call(self);
    require_numeric(ctx.st, call.get());
    const bool sparse = !PyArray_Check(b_arg) && truth(check(PyObject_CallOneArg(ctx.st.issparse, b_arg)).get());
    const bool one_dimensional = check_rhs(self, b_arg, sparse, transpose) == 1;
    Ref self_dtype = property_of(self, ctx.st, "dtype");
    if (!safe_cast_of_array(b_arg, self_dtype.get())) {
        require_safe_cast(attr(b_arg, "dtype").get(), self_dtype.get());
    }
    Ref b = astype(sparse ? checked_sparse_rhs(ctx.module, b_arg, one_dimensional).get() : b_arg, self_dtype.get());
    warn_if_rank_deficient(ctx.st, self, call.get());
    if (sparse) {
        Ref x = solve_sparse_columns(self, b.get(), transpose, batch);
        return one_dimensional ? first_column(x.get()) : x;
    }
    Ref column = one_dimensional ? as_column(b.get()) : b;
    Ref fortran = as_fortran(column.get());
    Ref x = solve_dense_call(self, ctx.st, fortran.get(), transpose);
    return one_dimensional ? first_column(x.get()) : x;
}

}  // namespace spqr_module
