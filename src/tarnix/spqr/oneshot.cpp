// The one-shot functions of tarnix.spqr: spqr (explicit factors or the
// Householder form), spqr_factor, spqr_solve, and spqr_qmult with its typed
// core _qmult (products with Q in Householder form).

#include "spqr/oneshot.hpp"

#include "spqr/docstrings.hpp"
#include "spqr/factor.hpp"
#include "spqr/narrow.hpp"

#include <optional>
#include <vector>

namespace spqr_module {

using namespace tarnix;
using spqr_lib::Complex;

namespace {

Ref attr(PyObject* obj, const char* name)
{
    return check(PyObject_GetAttrString(obj, name));
}

// ---------------------------------------------------------------------------
// spqr

enum class Mode { Full, Economic, R, Householder };

// The factors of one call, each owned until converted.
template <class Int>
struct Outputs {
    explicit Outputs(cholmod_common* cm, size_t m, size_t n)
        : Q(nullptr, cm), R(nullptr, cm), H(nullptr, cm), HTau(nullptr, cm), E(n, cm), HPinv(m, cm)
    {
    }
    spqr_lib::SparseResult<Int> Q;
    spqr_lib::SparseResult<Int> R;
    spqr_lib::SparseResult<Int> H;
    spqr_lib::DenseResult<Int> HTau;
    spqr_lib::IndexResult<Int> E;
    spqr_lib::IndexResult<Int> HPinv;
};

template <class Entry, class Int>
Ref spqr_call(const State& st, Mode mode, int ordering, double tol, cholmod_sparse* A)
{
    spqr_lib::ScopedCommon common(std::is_same_v<Int, int32_t>);
    cholmod_common* cm = common.get();
    const auto m = static_cast<Int>(A->nrow);
    const auto n = static_cast<Int>(A->ncol);
    const Int econ = mode == Mode::Economic ? n : m;
    Outputs<Int> out(cm, A->nrow, A->ncol);
    spqr_lib::OutOfMemoryLatch latch;
    switch (mode) {
    case Mode::R:
        SuiteSparseQR<Entry, Int>(ordering, tol, econ, A, out.R.out(), out.E.out(), cm);
        break;
    case Mode::Full:
    case Mode::Economic:
        SuiteSparseQR<Entry, Int>(ordering, tol, econ, A, out.Q.out(), out.R.out(), out.E.out(), cm);
        break;
    case Mode::Householder:
        SuiteSparseQR<Entry, Int>(ordering, tol, econ, A, out.R.out(), out.E.out(), out.H.out(), out.HPinv.out(),
                                  out.HTau.out(), cm);
        break;
    }
    handle_errors(st, cm->status);

    const int use_int32 = std::is_same_v<Int, int32_t>;
    Ref Q = out.Q.get() != nullptr ? sparse_to_csc(st, out.Q, cm) : Ref::none();
    Ref R = out.R.get() != nullptr ? sparse_to_csc(st, out.R, cm) : Ref::none();
    Ref E = out.E.get() != nullptr
                ? check(reinterpret_cast<PyObject*>(st.ndarray_copy_from_intptr(out.E.get(), A->ncol, use_int32)))
                : Ref::none();
    const size_t h_rows = out.H.get() != nullptr ? out.H.get()->nrow : 0;
    Ref H = out.H.get() != nullptr ? sparse_to_csc(st, out.H, cm) : Ref::none();
    Ref HPinv = Ref::none();
    if (H.get() != Py_None && out.HPinv.get() != nullptr) {
        HPinv = check(reinterpret_cast<PyObject*>(st.ndarray_copy_from_intptr(out.HPinv.get(), h_rows, use_int32)));
    }
    Ref tau = Ref::none();
    if (out.HTau.get() != nullptr) {
        // 1 x k -> k values (also for k == 1).
        Ref row = dense_to_ndarray(st, out.HTau, cm);
        tau = check(PyArray_Ravel(reinterpret_cast<PyArrayObject*>(row.get()), NPY_FORTRANORDER));
    }
    switch (mode) {
    case Mode::R:
        return check(PyTuple_Pack(2, R.get(), E.get()));
    case Mode::Householder: {
        Ref args = check(PyTuple_Pack(3, H.get(), tau.get(), HPinv.get()));
        Ref house = check(PyObject_Call(st.householder_type, args.get(), nullptr));
        return check(PyTuple_Pack(3, house.get(), R.get(), E.get()));
    }
    default:
        return check(PyTuple_Pack(3, Q.get(), R.get(), E.get()));
    }
}

Ref py_spqr(PyObject* module, const Args& a)
{
    const State& st = state_of(module);
    PyObject* mode_obj = a[1];
    CscInput in = coerce_csc(module, a[0], CoerceCall::Plain);
    static const char* names[] = {"full", "economic", "r", "householder"};
    Ref allowed = check(Py_BuildValue("(ssss)", names[0], names[1], names[2], names[3]));
    if (!check_status(PySequence_Contains(allowed.get(), mode_obj))) {
        Ref mode_str = check(PyObject_Str(mode_obj));
        Ref allowed_str = check(PyObject_Str(allowed.get()));
        raise_format(PyExc_ValueError, "Invalid mode '%U'. Expected one of %U.", mode_str.get(), allowed_str.get());
    }
    Mode mode = Mode::Full;
    for (int k = 0; k < 4; ++k) {
        Ref name = new_string(names[k]);
        if (check_status(PyObject_RichCompareBool(mode_obj, name.get(), Py_EQ))) {
            mode = static_cast<Mode>(k);
            break;
        }
    }
    const int ordering = ordering_code(st, a[2]);
    double tol = SPQR_DEFAULT_TOL;
    if (a[3] != Py_None) {
        Ref value = check(PyNumber_Float(a[3]));
        tol = PyFloat_AS_DOUBLE(value.get());
    }
    SparseView view = sparse_view(module, CscParts::of(in.matrix.get()));
    return spqr_lib::dispatch_variant(view.real(), view.int32(), [&](auto entry, auto index) {
        return spqr_call<decltype(entry), decltype(index)>(st, mode, ordering, tol, view.get());
    });
}

// ---------------------------------------------------------------------------
// spqr_factor, spqr_solve

Ref new_factor(const State& st, PyObject* A, bool use_singletons, PyObject* order, PyObject* tol)
{
    Ref args = check(PyTuple_Pack(1, A));
    Ref kwargs = check(Py_BuildValue("{sOsOsO}", "use_singletons", use_singletons ? Py_True : Py_False, "order",
                                     order, "tol", tol));
    return check(PyObject_Call(st.factor_type, args.get(), kwargs.get()));
}

Ref py_spqr_factor(PyObject* module, const Args& a)
{
    const State& st = state_of(module);
    if (truth(a[1])) {
        return new_factor(st, a[0], true, a[2], a[3]);
    }
    Ref factor = new_factor(st, a[0], false, a[2], a[3]);
    Ref factorize = attr(factor.get(), "factorize");
    return check(PyObject_CallOneArg(factorize.get(), a[0]));
}

Ref py_spqr_solve(PyObject* module, const Args& a)
{
    const State& st = state_of(module);
    Ref batch = check(PyNumber_Index(a[4]));
    if (PyLong_AsSsize_t(batch.get()) == -1 && PyErr_Occurred()) {
        throw PythonError{};
    }
    CscInput in = coerce_csc(module, a[0], CoerceCall::Plain);
    Ref A = in.matrix;
    PyObject* transpose = a[2];
    const bool min2norm = truth(a[3]);
    if (in.nrows < in.ncols && min2norm) {
        // The minimum-norm solution of the wide system is Q (R^H \ (E^T b))
        // from the factorization of A^H: its transposed solve is with A.
        // SciPy's transposition indexes with the stored indices, after Python
        // code (a subclass's shape or arrays) may have changed them since the
        // check: it transposes a private copy, checked against its shape.
        A = private_csc_copy(module, A.get());
        Ref conj = check(PyObject_CallMethod(A.get(), "conj", nullptr));
        Ref transposed = attr(conj.get(), "T");
        A = check(PyObject_CallMethod(transposed.get(), "tocsc", nullptr));
        transpose = Py_True;
    }
    Ref factor = new_factor(st, A.get(), true, Py_None, Py_None);
    Ref solve = attr(factor.get(), "solve");
    Ref args = check(PyTuple_Pack(1, a[1]));
    Ref kwargs = check(Py_BuildValue("{sOsO}", "transpose", transpose, "rhs_batch_size", batch.get()));
    return check(PyObject_Call(solve.get(), args.get(), kwargs.get()));
}

// ---------------------------------------------------------------------------
// Products with Q in Householder form

// v is the row permutation of the Householder form; the library indexes rows
// by it, so it must be a permutation of 0..m-1.
template <class Int>
void require_permutation(const Vector<Int>& v)
{
    const Py_ssize_t m = v.size();
    std::vector<char> seen(static_cast<size_t>(m), 0);
    for (Py_ssize_t k = 0; k < m; ++k) {
        const long long i = v[k];
        if (i < 0 || i >= m || seen[static_cast<size_t>(i)]) {
            raise_format(PyExc_ValueError, "v must be a permutation of 0..%zd, but v[%zd] = %lld", m - 1, k, i);
        }
        seen[static_cast<size_t>(i)] = 1;
    }
}

[[noreturn]] void raise_mismatch(const char* first, const char* second, const char* what, const char* found,
                               const char* expected)
{
    raise_format(PyExc_ValueError,
                 "H, tau, v and X must agree in value type and index width: %s and %s differ in %s "
                 "(%s has %s, %s %s)",
                 first, second, what, first, found, second, expected);
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

template <class Entry, class Int>
Ref qmult_householder(PyObject* module, int method, PyObject* H, PyObject* tau, PyObject* v, PyObject* X)
{
    const State& st = state_of(module);
    if (method < SPQR_QTX || method > SPQR_XQ) {
        raise_format(PyExc_ValueError, "Invalid method code %d. Expected 0 (QTX), 1 (QX), 2 (XQT) or 3 (XQ).", method);
    }
    // Everything that may run Python code comes first: the validation of a
    // sparse X and every attribute lookup. Code run there may write into v
    // or H's arrays; they are checked afterwards.
    const bool sparse = !PyArray_Check(X) && truth(check(PyObject_CallOneArg(st.issparse, X)).get());
    CscParts H_parts = CscParts::of(H);
    CscParts X_parts;
    if (sparse) {
        Ref Xm = coerce_csc(module, X, CoerceCall::Plain).matrix;
        X_parts = CscParts::of(Xm.get());
    }
    else if (!has_element_type(X, element_type<Entry>::value)) {
        const bool x_real = has_element_type(X, element_type<double>::value);
        const bool x_complex = has_element_type(X, element_type<Complex>::value);
        if (x_real || x_complex) {
            raise_mismatch("X", "tau", "value type", value_type_name(x_real),
                           value_type_name(std::is_same_v<Entry, double>));
        }
        raise_format(PyExc_ValueError, "X must hold %s values", value_type_name(std::is_same_v<Entry, double>));
    }

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
        Ref name = new_string("_cholmod_sparse_from_csc");
        Ref fill = module_global(module, name.get());
        X_sparse.emplace(std::move(X_parts), fill.get(), fill.get() == st.sparse_from_csc);
    }
    require_variant<Entry, Int>(H_view, "H", "tau", "v");
    const cholmod_sparse& Hh = H_view.header();
    if (tau_view.rows() != 1 || static_cast<size_t>(tau_view.cols()) != Hh.ncol) {
        raise_format(PyExc_ValueError, "tau must have shape (1, %zu), got (%zd, %zd)", Hh.ncol, tau_view.rows(),
                     tau_view.cols());
    }
    if (v_view.size() == 0) {
        raise_format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
    }
    if (static_cast<size_t>(v_view.size()) != Hh.nrow) {
        raise_format(PyExc_ValueError, "v must have %zu entries (the rows of H), got %zd", Hh.nrow, v_view.size());
    }
    require_permutation(v_view);
    const long long m = static_cast<long long>(Hh.nrow);
    const bool by_rows = method == SPQR_QTX || method == SPQR_QX;
    if (sparse) {
        require_variant<Entry, Int>(*X_sparse, "X", "H", "H");
        const cholmod_sparse& Xh = X_sparse->header();
        const long long dim = static_cast<long long>(by_rows ? Xh.nrow : Xh.ncol);
        if (dim != m) {
            raise_format(PyExc_ValueError, "Input X must have compatible shape with Q. Expected %lld, got %lld.", m, dim);
        }
    }
    else {
        const long long dim = by_rows ? X_dense->rows() : X_dense->cols();
        if (dim != m) {
            raise_format(PyExc_ValueError, "Input X must have compatible shape with Q. Expected %lld, got %lld.", m, dim);
        }
    }

    spqr_lib::ScopedCommon common(std::is_same_v<Int, int32_t>);
    cholmod_common* cm = common.get();
    spqr_lib::OutOfMemoryLatch latch;
    if (sparse) {
        spqr_lib::SparseResult<Int> Y(
            SuiteSparseQR_qmult<Entry, Int>(method, H_view.get(), tau_view.get(), v_view.data(), X_sparse->get(), cm),
            cm);
        handle_errors(st, cm->status);
        return sparse_to_csc(st, Y, cm);
    }
    spqr_lib::DenseResult<Int> Y(
        spqr_narrow::qmult<Entry, Int>(method, H_view.get(), tau_view.get(), v_view.data(), X_dense->get(), cm),
        cm);
    handle_errors(st, cm->status);
    return dense_to_ndarray(st, Y, cm);
}

// _qmult(method, H, tau, v, X): the variant is chosen by tau's value type and
// v's index width.
Ref qmult_dispatch(PyObject* module, PyObject* method_obj, PyObject* H, PyObject* tau, PyObject* v, PyObject* X)
{
    const long long method = as_int64(method_obj);
    for (auto [name, value] : {std::pair{"tau", tau}, std::pair{"v", v}}) {
        if (value == Py_None) {
            raise_format(PyExc_TypeError, "Argument '%.200s' must not be None", name);
        }
    }
    const bool real = has_element_type(tau, element_type<double>::value);
    const bool complex = has_element_type(tau, element_type<Complex>::value);
    const bool int32 = has_element_type(v, element_type<int32_t>::value);
    const bool int64 = has_element_type(v, element_type<int64_t>::value);
    if ((real + complex) * (int32 + int64) > 1) {
        raise(PyExc_TypeError, "Function call with ambiguous argument types");
    }
    const int code = static_cast<int>(method >= 0 && method <= 3 ? method : -1);
    if (real && int32) {
        return qmult_householder<double, int32_t>(module, code, H, tau, v, X);
    }
    if (real && int64) {
        return qmult_householder<double, int64_t>(module, code, H, tau, v, X);
    }
    if (complex && int32) {
        return qmult_householder<Complex, int32_t>(module, code, H, tau, v, X);
    }
    if (complex && int64) {
        return qmult_householder<Complex, int64_t>(module, code, H, tau, v, X);
    }
    raise(PyExc_TypeError, "No matching signature found");
}

Ref py_qmult_private(PyObject* module, const Args& a)
{
    return qmult_dispatch(module, a[0], a[1], a[2], a[3], a[4]);
}

// A CSC matrix with the arrays of X, its index arrays converted to `itype`.
Ref with_index_dtype(const State& st, PyObject* X, PyObject* itype)
{
    Ref indptr = check(PyObject_CallMethod(attr(X, "indptr").get(), "astype", "O", itype));
    if (!PyArray_Check(indptr.get()) || PyArray_SIZE(reinterpret_cast<PyArrayObject*>(indptr.get())) == 0) {
        raise(PyExc_ValueError, "X.indptr must be a non-empty NumPy array");
    }
    const auto n = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(indptr.get()));
    Ref original = attr(X, "indptr");
    Ref last = check(PySequence_GetItem(original.get(), n - 1));
    Ref nnz = check(PySequence_GetItem(indptr.get(), n - 1));
    if (check_status(PyObject_RichCompareBool(last.get(), nnz.get(), Py_NE))) {
        raise(PyExc_ValueError, "X has too many entries for H's 32-bit indices");
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

Ref asfortranarray(PyObject* obj)
{
    return check(PyArray_FromAny(obj, nullptr, 0, 0,
                                 NPY_ARRAY_F_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSUREARRAY, nullptr));
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

Ref py_spqr_qmult(PyObject* module, const Args& a)
{
    const State& st = state_of(module);
    PyObject* house = a[0];
    PyObject* X_arg = a[1];
    PyObject* method = a[2];
    Ref H, tau, v, itype;
    try {
        Ref parts[3];
        unpack_exact(house, parts, 3);
        CscInput in = coerce_csc(module, parts[0].get(), CoerceCall::Plain);
        H = in.matrix;
        itype = in.index_dtype;
        tau = asfortranarray(parts[1].get());
        tau = check(PyObject_CallMethod(tau.get(), "reshape", "((ii))", 1, -1));
        Ref tau_shape = attr(tau.get(), "shape");
        Ref expected = shape_tuple({1, in.ncols});
        if (check_status(PyObject_RichCompareBool(tau_shape.get(), expected.get(), Py_NE))) {
            raise(PyExc_TypeError, "tau shape mismatch");
        }
        if (check_status(PyObject_RichCompareBool(attr(tau.get(), "dtype").get(), attr(H.get(), "dtype").get(), Py_NE))) {
            raise(PyExc_TypeError, "tau dtype mismatch");
        }
        v = asfortranarray(parts[2].get());
        Ref v_shape = attr(v.get(), "shape");
        Ref expected_v = shape_tuple({in.nrows});
        if (check_status(PyObject_RichCompareBool(v_shape.get(), expected_v.get(), Py_NE))) {
            raise(PyExc_TypeError, "v shape mismatch");
        }
        if (check_status(PyObject_RichCompareBool(attr(v.get(), "dtype").get(), itype.get(), Py_NE))) {
            raise(PyExc_TypeError, "v dtype mismatch");
        }
    }
    catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        SavedError cause;
        Ref text = check(PyObject_Str(house));
        Ref message = check(PyUnicode_FromFormat(
            "house must be a tuple of (H, tau, v) representing the Householder vectors, coefficients, and "
            "permutation. Got %U.",
            text.get()));
        cause.restore();
        raise_chained(PyExc_ValueError, message.get());
    }

    Ref X = Ref::borrow(X_arg);
    if (truth(check(PyObject_CallOneArg(st.issparse, X_arg)).get())) {
        // A sparse operand is brought to H's index width.
        CscInput in = coerce_csc(module, X_arg, CoerceCall::Plain);
        X = in.matrix;
        if (check_status(PyObject_RichCompareBool(in.index_dtype.get(), itype.get(), Py_NE))) {
            X = with_index_dtype(st, X.get(), itype.get());
        }
    }
    else {
        try {
            X = asfortranarray(X_arg);
        }
        catch (const PythonError&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                throw;
            }
            raise_chained(PyExc_ValueError, "X must be an ndarray or sparse matrix.");
        }
    }
    const long long ndim = as_int64(attr(X.get(), "ndim").get());
    if (ndim != 1 && ndim != 2) {
        raise(PyExc_ValueError, "X must be a 1D or 2D array.");
    }
    require_method_type(method);
    const int code = qmult_code(method);
    Ref X_shape = attr(X.get(), "shape");
    Ref dim_obj = check(PySequence_GetItem(X_shape.get(), code == SPQR_QTX || code == SPQR_QX ? 0 : 1));
    const long long dim = as_int64(dim_obj.get());
    const long long M = as_int64(check(PySequence_GetItem(attr(H.get(), "shape").get(), 0)).get());
    if (dim != M) {
        raise_format(PyExc_ValueError, "Input X must have compatible shape with Q. Expected %lld, got %lld.", M, dim);
    }
    if (ndim == 1) {
        X = check(PyObject_CallMethod(X.get(), "reshape", "((Li))", dim, 1));
    }
    Ref code_obj = check(PyLong_FromLong(code));
    Ref Y = qmult_dispatch(module, code_obj.get(), H.get(), tau.get(), v.get(), X.get());
    if (ndim == 1) {
        Ref key = check(Py_BuildValue("(Oi)", Ref(check(PySlice_New(nullptr, nullptr, nullptr))).get(), 0));
        return check(PyObject_GetItem(Y.get(), key.get()));
    }
    return Y;
}

const Param spqr_params[] = {{"A"}, Param{"mode", Default::Str, true, 0, "full"}, kwonly("order", Default::None),
                             kwonly("tol", Default::None)};
const Param factor_params[] = {{"A"}, kwonly("use_singletons", Default::False), kwonly("order", Default::None),
                               kwonly("tol", Default::None)};
const Param solve_params[] = {{"A"}, {"b"}, kwonly("transpose", Default::False), kwonly("min2norm", Default::True),
                              Param{"rhs_batch_size", Default::Int, true, 100}};
const Param qmult_params[] = {{"house"}, {"X"}, Param{"method", Default::Str, false, 0, "QX"}};
const Param qmult_private_params[] = {{"method"}, {"H"}, {"tau"}, {"v"}, {"X"}};

}  // namespace

const FunctionDef spqr_factor_def{"spqr_factor", py_spqr_factor, factor_params, 4, spqr_docs::spqr_factor};
const FunctionDef spqr_solve_def{"spqr_solve", py_spqr_solve, solve_params, 5};
const FunctionDef spqr_def{"spqr", py_spqr, spqr_params, 4, spqr_docs::spqr};
const FunctionDef qmult_private_def{"_qmult", py_qmult_private, qmult_private_params, 5, spqr_docs::qmult_private};
const FunctionDef spqr_qmult_def{"spqr_qmult", py_spqr_qmult, qmult_params, 3};

}  // namespace spqr_module
