// SPQRFactor.qmult: products with the factor's Q (Q X, Q^H X, X Q, X Q^H)
// for dense operands (_qmult_dense) and sparse ones, and the one place where
// the factor multiplies a dense operand by Q or Q^H (solve uses it too).

#include "spqr/arguments.hpp"
#include "spqr/factor.hpp"
#include "spqr/results.hpp"
#include "spqr/status.hpp"
#include "spqr/views.hpp"
#include "spqr/surface.hpp"

namespace spqr_module {

using namespace tarnix;

namespace {

// ---------------------------------------------------------------------------
// _qmult_dense

template <class T>
Ref qmult_dense_typed(PyObject* self, const State& st, long long method, PyObject* X)
{
    DenseView<T> view = dense_view<T>(st, X, "X");
    Snapshot v(self);
    require_numeric(st, v.get());
    require_method_code(method);
    require_q_shape(v->rows(), by_rows(method) ? view.rows() : view.cols());
    return v->qmult(st, static_cast<int>(method), view.get());
}

Ref qmult_dense(PyObject* self, const State& st, long long method, PyObject* X)
{
    not_none(X, "X");
    return dispatch_value_type(X, [&](auto entry) { return qmult_dense_typed<decltype(entry)>(self, st, method, X); });
}

// self._qmult_dense(code, X): the method itself for the exact type.
Ref qmult_dense_call(PyObject* self, const State& st, int code, PyObject* X)
{
    if (is_exact_factor(self, st)) {
        return qmult_dense(self, st, code, X);
    }
    Ref code_obj = check(PyLong_FromLong(code));
    return call_method(self, "_qmult_dense", {code_obj.get(), X});
}

}  // namespace

Ref py_qmult_dense(PyObject* self, const Args& a)
{
    const long long method = as_int64(a[0]);
    return qmult_dense(self, context_of(self).st, method, a[1]);
}

namespace {

// ---------------------------------------------------------------------------
// Sparse operands

// Narrowing to the factor's 32-bit indices must not wrap: the pointers end
// at nnz, the largest of them.
void require_fits_int32(const CscParts& parts)
{
    if (!PyArray_Check(parts.indptr.get())) {
        return;
    }
    auto* p = reinterpret_cast<PyArrayObject*>(parts.indptr.get());
    const npy_intp n = PyArray_SIZE(p);
    if (n > 0 && PyArray_TYPE(p) == NPY_INT64 && PyArray_ISCARRAY_RO(p) &&
        static_cast<const int64_t*>(PyArray_DATA(p))[n - 1] > INT32_MAX) {
        raise(PyExc_ValueError, spqr_surface::X_too_many_for_factor);
    }
}

// The view of X (from coerce_csc) with indices of the factor's width: over
// the copies coerce_csc checked when they have it, else over new copies,
// converted.
SparseView of_factor_width(PyObject* module, const CscInput& in, bool to_int32)
{
    const bool int32 = PyArray_DescrCheck(in.index_dtype.get()) &&
                       reinterpret_cast<PyArray_Descr*>(in.index_dtype.get())->type_num == NPY_INT32;
    if (in.indptr_copy && int32 == to_int32) {
        return input_view(module, in);
    }
    CscParts parts = CscParts::of(module, in.matrix.get());
    if (to_int32) {
        require_fits_int32(parts);
    }
    return owned_sparse_view(module, std::move(parts), to_int32 ? NPY_INT32 : NPY_INT64);
}

// X and the factor must agree in index width and value type.
void require_same_variant(const SparseView& view, const FactorBase* v)
{
    if (view.int32() != v->int32()) {
        raise_format(PyExc_ValueError, spqr_surface::X_index_width,
                     index_type_name(view.int32()), index_type_name(v->int32()));
    }
    if (view.real() != v->real()) {
        raise_format(PyExc_ValueError, spqr_surface::X_value_type,
                     value_type_name(view.real()), value_type_name(v->real()));
    }
}

// A sparse X, validated and brought to the factor's index width (private
// copies of its index arrays, which the library reads).
Ref qmult_sparse(PyObject* self, int method, PyObject* X_arg)
{
    const Context ctx = context_of(self);
    // The conversions below may run Python code that re-initialises the
    // factor: this call goes on with the variant it started with.
    Snapshot v(self);
    require_numeric(ctx.st, v.get());
    CscInput in = coerce_csc(ctx.module, X_arg, CoerceCall::Plain, false, PatternCopy::Checked);
    SparseView view = of_factor_width(ctx.module, in, v->int32());
    require_same_variant(view, v.get());
    const cholmod_sparse& header = view.header();
    require_q_shape(v->rows(), static_cast<long long>(by_rows(method) ? header.nrow : header.ncol));
    return v->qmult(ctx.st, method, view.get());
}

// ---------------------------------------------------------------------------
// qmult

// X.dtype must be the factor's.
void require_factor_dtype(PyObject* self, const State& st, PyObject* X)
{
    Ref self_dtype = property_of(self, st, "dtype");
    Ref X_dtype = attr(X, "dtype");
    if (check_status(PyObject_RichCompareBool(X_dtype.get(), self_dtype.get(), Py_NE))) {
        Ref self_repr = check(PyObject_Repr(self_dtype.get()));
        Ref X_repr = check(PyObject_Repr(X_dtype.get()));
        raise_format(PyExc_ValueError, spqr_surface::dtype_mismatch, self_repr.get(), X_repr.get());
    }
}

}  // namespace

Ref py_qmult(PyObject* self, const Args& a)
{
    const Context ctx = context_of(self);
    PyObject* X = a[0];
    PyObject* method = a[1];
    require_method_type(method);
    // One variant for the whole call (see Snapshot), also for an overridden
    // _qmult_dense and the dtype and shape read below.
    Snapshot call(self);
    require_numeric(ctx.st, call.get());
    const bool sparse = !PyArray_Check(X) && truth(check(PyObject_CallOneArg(ctx.st.issparse, X)).get());
    if (!PyArray_Check(X) && !sparse) {
        raise(PyExc_ValueError, spqr_surface::X_not_array);
    }
    require_factor_dtype(self, ctx.st, X);
    const long long ndim = ndim_of(X);
    if (ndim != 1 && ndim != 2) {
        raise(PyExc_ValueError, spqr_surface::X_ndim);
    }
    const int code = qmult_code(method);
    require_q_shape(shape_of(self).rows, shape_dim(X, by_rows(code) ? 0 : 1));
    if (sparse) {
        return qmult_sparse(self, code, X);
    }
    Ref Xf = as_fortran(X);
    if (ndim == 1) {
        Xf = as_column(Xf.get());
    }
    Ref Y = qmult_dense_call(self, ctx.st, code, Xf.get());
    return ndim == 1 ? first_column(Y.get()) : Y;
}

}  // namespace spqr_module
