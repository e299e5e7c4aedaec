// Products with Q in Householder form: spqr_qmult(house, X, method) and its
// typed core _qmult(method, H, tau, v, X), for the (H, tau, v) triple that
// spqr(A, mode="householder") returns.

#include "spqr/oneshot.hpp"

#include "common/workspace.hpp"
#include "spqr/arguments.hpp"
#include "spqr/docstrings.hpp"
#include "spqr/engine/narrow.hpp"
#include "spqr/results.hpp"
#include "spqr/status.hpp"
#include "spqr/views.hpp"
#include "spqr/surface.hpp"

#include <optional>
#include <vector>

namespace spqr_module {

using namespace tarnix;
using spqr_lib::Complex;

namespace {

// ---------------------------------------------------------------------------
// _qmult

// v is the row permutation of the Householder form; the library indexes rows
// by it, so it must be a permutation of 0..m-1. Checked on the copy that the
// library reads.
template <class Int>
void require_permutation(const std::vector<Int>& v)
{
    const auto m = static_cast<Py_ssize_t>(v.size());
    std::vector<char> seen(v.size(), 0);
    for (Py_ssize_t k = 0; k < m; ++k) {
        const long long i = v[static_cast<size_t>(k)];
        if (i < 0 || i >= m || seen[static_cast<size_t>(i)]) {
            raise_format(PyExc_ValueError, spqr_surface::v_not_permutation, m - 1, k, i);
        }
        seen[static_cast<size_t>(i)] = 1;
    }
}

[[noreturn]] void raise_mismatch(const char* first, const char* second, const char* what, const char* found,
                               const char* expected)
{
    raise_format(PyExc_ValueError, spqr_surface::house_variant_mismatch, first, second, what, first, found, second,
                 expected);
}

template <class Entry, class Int>
void require_variant(const SparseView& view, const char* name, const char* value_source, const char* index_source)
{
    constexpr bool real = std::is_same_v<Entry, double>;
    constexpr bool int32 = std::is_same_v<Int, int32_t>;
    if (view.real() != real) {
        raise_mismatch(name, value_source, "value type", value_type_name(view.real()), value_type_name(real));
    }
    if (view.int32() != int32) {
        raise_mismatch(name, index_source, "index width", index_type_name(view.int32()), index_type_name(int32));
    }
}

// A dense X must hold the values of tau's type.
template <class Entry>
void require_dense_values(PyObject* X)
{
    if (has_element_type(X, element_type<Entry>::value)) {
        return;
    }
    const bool x_real = has_element_type(X, element_type<double>::value);
    const bool x_complex = has_element_type(X, element_type<Complex>::value);
    if (x_real || x_complex) {
        raise_mismatch("X", "tau", "value type", value_type_name(x_real), value_type_name(std::is_same_v<Entry, double>));
    }
    raise_format(PyExc_ValueError, spqr_surface::X_value_kind, value_type_name(std::is_same_v<Entry, double>));
}

// H, tau and v against each other; returns v's private copy.
template <class Entry, class Int>
std::vector<Int> checked_householder(const SparseView& H, const DenseView<Entry>& tau, const Vector<Int>& v)
{
    require_variant<Entry, Int>(H, "H", "tau", "v");
    const cholmod_sparse& Hh = H.header();
    if (tau.rows() != 1 || static_cast<size_t>(tau.cols()) != Hh.ncol) {
        raise_format(PyExc_ValueError, spqr_surface::tau_shape, Hh.ncol, tau.rows(), tau.cols());
    }
    if (v.size() == 0) {
        raise_format(PyExc_IndexError, spqr_surface::out_of_bounds, 0);
    }
    if (static_cast<size_t>(v.size()) != Hh.nrow) {
        raise_format(PyExc_ValueError, spqr_surface::v_length, Hh.nrow, v.size());
    }
    std::vector<Int> copy(v.data(), v.data() + v.size());
    require_permutation(copy);
    return copy;
}

// Y = op(Q) X with X dense or sparse, as a Python object.
template <class Entry, class Int, class XHeader>
Ref householder_product(const State& st, int method, cholmod_sparse* H, cholmod_dense* tau, Int* v, XHeader* X)
{
    const auto common = started_common<Int>();
    cholmod_common* cm = common->get();
    auto Y = without_gil(
        [&] { return spqr_narrow::householder_product<Entry, Int, XHeader>(method, H, tau, v, X, cm); });
    handle_errors(st, Y.status);
    if constexpr (std::is_same_v<XHeader, cholmod_sparse>) {
        return sparse_to_csc(st, Y.value, cm);
    }
    else {
        return dense_to_ndarray(st, Y.value, cm);
    }
}

template <class Entry, class Int>
Ref qmult_householder(PyObject* module, long long method_code, PyObject* H, PyObject* tau, PyObject* v,
                      PyObject* X)
{
    const State& st = state_of(module);
    require_method_code(method_code);
    const int method = static_cast<int>(method_code);
    // Everything that may run Python code comes first: the validation of a
    // sparse X and every attribute lookup. Code run there may write into v
    // or H's arrays; the library reads private copies, checked as copied.
    const bool sparse = !PyArray_Check(X) && truth(check(PyObject_CallOneArg(st.issparse, X)).get());
    CscParts H_parts = CscParts::of(module, H);
    CscParts X_parts;
    if (sparse) {
        Ref Xm = coerce_csc(module, X, CoerceCall::Plain).matrix;
        X_parts = private_indices(CscParts::of(module, Xm.get()));
    }
    else {
        require_dense_values<Entry>(X);
    }
    H_parts = private_indices(std::move(H_parts));

    // The views, and the checks over what they describe; then the library.
    DenseView<Entry> tau_view = dense_view<Entry>(st, tau, "tau");
    Vector<Int> v_view(v, "v");
    std::optional<DenseView<Entry>> X_dense;
    if (!sparse) {
        X_dense.emplace(X, "X", std::is_same_v<Entry, double> ? st.dense_from_float64 : st.dense_from_complex128);
    }
    SparseView H_view = sparse_view(module, std::move(H_parts));
    std::optional<SparseView> X_sparse;
    if (sparse) {
        Ref fill = module_fill(module);
        X_sparse.emplace(std::move(X_parts), fill.get(), trusted_fill(st, fill.get()));
    }
    const long long m = static_cast<long long>(H_view.header().nrow);
    const WorkspaceFor for_v{st.SPQROutOfMemoryError, spqr_surface::library, m,
                             static_cast<long long>(H_view.header().ncol)};
    std::vector<Int> perm = with_workspace(for_v, static_cast<double>(m) * (sizeof(Int) + 1),
                                           [&] { return checked_householder<Entry, Int>(H_view, tau_view, v_view); });
    if (sparse) {
        require_variant<Entry, Int>(*X_sparse, "X", "H", "H");
        const cholmod_sparse& Xh = X_sparse->header();
        require_q_shape(m, static_cast<long long>(by_rows(method) ? Xh.nrow : Xh.ncol));
        return householder_product<Entry, Int>(st, method, H_view.get(), tau_view.get(), perm.data(), X_sparse->get());
    }
    require_q_shape(m, by_rows(method) ? X_dense->rows() : X_dense->cols());
    return householder_product<Entry, Int>(st, method, H_view.get(), tau_view.get(), perm.data(), X_dense->get());
}

// _qmult(method, H, tau, v, X): the variant is chosen by tau's value type and
// v's index width.
Ref qmult_dispatch(PyObject* module, PyObject* method_obj, PyObject* H, PyObject* tau, PyObject* v, PyObject* X)
{
    const long long method = as_int64(method_obj);
    not_none(tau, "tau");
    not_none(v, "v");
    const bool real = has_element_type(tau, element_type<double>::value);
    const bool complex = has_element_type(tau, element_type<Complex>::value);
    const bool int32 = has_element_type(v, element_type<int32_t>::value);
    const bool int64 = has_element_type(v, element_type<int64_t>::value);
    if ((real + complex) * (int32 + int64) > 1) {
        raise(PyExc_TypeError, spqr_surface::ambiguous_types);
    }
    if (real && int32) {
        return qmult_householder<double, int32_t>(module, method, H, tau, v, X);
    }
    if (real && int64) {
        return qmult_householder<double, int64_t>(module, method, H, tau, v, X);
    }
    if (complex && int32) {
        return qmult_householder<Complex, int32_t>(module, method, H, tau, v, X);
    }
    if (complex && int64) {
        return qmult_householder<Complex, int64_t>(module, method, H, tau, v, X);
    }
    raise(PyExc_TypeError, surface::no_matching_signature);
}

Ref py_qmult_private(PyObject* module, const Args& a)
{
    return qmult_dispatch(module, a[0], a[1], a[2], a[3], a[4]);
}

// ---------------------------------------------------------------------------
// spqr_qmult

// A CSC matrix with the arrays of X, its index arrays converted to `itype`.
Ref with_index_dtype(const State& st, PyObject* X, PyObject* itype)
{
    Ref indptr = check(PyObject_CallMethod(attr(X, "indptr").get(), "astype", "O", itype));
    if (!PyArray_Check(indptr.get()) || PyArray_SIZE(reinterpret_cast<PyArrayObject*>(indptr.get())) == 0) {
        raise(PyExc_ValueError, spqr_surface::X_indptr);
    }
    const auto n = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(indptr.get()));
    Ref original = attr(X, "indptr");
    Ref last = check(PySequence_GetItem(original.get(), n - 1));
    Ref nnz = check(PySequence_GetItem(indptr.get(), n - 1));
    if (check_status(PyObject_RichCompareBool(last.get(), nnz.get(), Py_NE))) {
        raise(PyExc_ValueError, spqr_surface::X_too_many_for_H);
    }
    Ref indices = check(PyObject_CallMethod(attr(X, "indices").get(), "astype", "O", itype));
    Ref shape = attr(X, "shape");
    Ref args = check(PyTuple_Pack(1, shape.get()));
    Ref kwargs = check(Py_BuildValue("{sO}", "dtype", attr(X, "dtype").get()));
    Ref result = check(PyObject_Call(st.csc_array, args.get(), kwargs.get()));
    check_status(PyObject_SetAttrString(result.get(), "data", attr(X, "data").get()));
    check_status(PyObject_SetAttrString(result.get(), "indices", indices.get()));
    check_status(PyObject_SetAttrString(result.get(), "indptr", indptr.get()));
    return result;
}

Ref shape_tuple(std::initializer_list<long long> dims)
{
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(dims.size())));
    Py_ssize_t i = 0;
    for (long long d : dims) {
        PyTuple_SET_ITEM(t.get(), i++, check(PyLong_FromLongLong(d)).release());
    }
    return t;
}

// obj.attr != expected raises TypeError(message).
void require_equal(PyObject* actual, PyObject* expected, const char* message)
{
    if (check_status(PyObject_RichCompareBool(actual, expected, Py_NE))) {
        raise(PyExc_TypeError, message);
    }
}

struct House {
    Ref H;
    Ref tau;
    Ref v;
    Ref itype;
};

// house as (H, tau, v): H a checked CSC matrix, tau its 1 x k coefficients,
// v its m row indices; any failure is reported as a ValueError naming house.
House unpack_house(PyObject* module, PyObject* house)
{
    try {
        Ref parts[3];
        unpack_exact(house, parts, 3);
        CscInput in = coerce_csc(module, parts[0].get(), CoerceCall::Plain);
        Ref tau = as_fortran(parts[1].get());
        tau = check(PyObject_CallMethod(tau.get(), "reshape", "((ii))", 1, -1));
        require_equal(attr(tau.get(), "shape").get(), shape_tuple({1, in.ncols}).get(),
                      spqr_surface::tau_shape_mismatch);
        require_equal(attr(tau.get(), "dtype").get(), attr(in.matrix.get(), "dtype").get(),
                      spqr_surface::tau_dtype_mismatch);
        Ref v = as_fortran(parts[2].get());
        require_equal(attr(v.get(), "shape").get(), shape_tuple({in.nrows}).get(), spqr_surface::v_shape_mismatch);
        require_equal(attr(v.get(), "dtype").get(), in.index_dtype.get(), spqr_surface::v_dtype_mismatch);
        return House{in.matrix, tau, v, in.index_dtype};
    }
    catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        SavedError cause;
        Ref text = check(PyObject_Str(house));
        Ref message = check(PyUnicode_FromFormat(spqr_surface::invalid_house, text.get()));
        cause.restore();
        raise_chained(PyExc_ValueError, message.get());
    }
}

// X as an array, or a checked CSC matrix of H's index width.
Ref qmult_operand(PyObject* module, const State& st, PyObject* X_arg, PyObject* itype)
{
    if (truth(check(PyObject_CallOneArg(st.issparse, X_arg)).get())) {
        CscInput in = coerce_csc(module, X_arg, CoerceCall::Plain);
        if (check_status(PyObject_RichCompareBool(in.index_dtype.get(), itype, Py_NE))) {
            return with_index_dtype(st, in.matrix.get(), itype);
        }
        return in.matrix;
    }
    try {
        return as_fortran(X_arg);
    }
    catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        raise_chained(PyExc_ValueError, spqr_surface::X_not_array);
    }
}

Ref py_spqr_qmult(PyObject* module, const Args& a)
{
    const State& st = state_of(module);
    PyObject* method = a[2];
    const House house = unpack_house(module, a[0]);
    Ref X = qmult_operand(module, st, a[1], house.itype.get());
    const long long ndim = as_int64(attr(X.get(), "ndim").get());
    if (ndim != 1 && ndim != 2) {
        raise(PyExc_ValueError, spqr_surface::X_ndim);
    }
    require_method_type(method);
    const int code = qmult_code(method);
    const long long dim = shape_dim(X.get(), by_rows(code) ? 0 : 1);
    require_q_shape(shape_dim(house.H.get(), 0), dim);
    if (ndim == 1) {
        X = as_column(X.get());
    }
    Ref code_obj = check(PyLong_FromLong(code));
    Ref Y = qmult_dispatch(module, code_obj.get(), house.H.get(), house.tau.get(), house.v.get(), X.get());
    return ndim == 1 ? first_column(Y.get()) : Y;
}

}  // namespace

const FunctionDef qmult_private_def =
    function(spqr_surface::private_qmult, py_qmult_private, spqr_surface::private_qmult_params)
        .with_doc(spqr_docs::qmult_private);
const FunctionDef spqr_qmult_def = function(spqr_surface::spqr_qmult, py_spqr_qmult, spqr_surface::spqr_qmult_params);

}  // namespace spqr_module
