// The one-shot functions of tarnix.spqr: spqr (explicit factors or the
// Householder form, one library call), spqr_factor and spqr_solve (through
// an SPQRFactor).

#include "spqr/oneshot.hpp"

#include "spqr/arguments.hpp"
#include "spqr/docstrings.hpp"
#include "spqr/engine/oneshot.hpp"
#include "spqr/factor.hpp"
#include "spqr/orderings.hpp"
#include "spqr/results.hpp"
#include "spqr/status.hpp"
#include "spqr/views.hpp"
#include "spqr/surface.hpp"

namespace spqr_module {

using namespace tarnix;

namespace {

// ---------------------------------------------------------------------------
// spqr

using spqr_engine::Mode;

// The results as Python objects: (Q, R, E), (R, E) or (SPQRHouseholder, R, E).
template <class Int>
Ref spqr_result(const State& st, Mode mode, spqr_engine::Factors<Int>& out, size_t ncol, cholmod_common* cm)
{
    Ref Q = out.Q.get() != nullptr ? sparse_to_csc(st, out.Q, cm) : Ref::none();
    Ref R = out.R.get() != nullptr ? sparse_to_csc(st, out.R, cm) : Ref::none();
    Ref E = out.E.get() != nullptr ? index_array<Int>(st, out.E.get(), ncol) : Ref::none();
    const size_t h_rows = out.H.get() != nullptr ? out.H.get()->nrow : 0;
    Ref H = out.H.get() != nullptr ? sparse_to_csc(st, out.H, cm) : Ref::none();
    Ref HPinv = Ref::none();
    if (H.get() != Py_None && out.HPinv.get() != nullptr) {
        HPinv = index_array<Int>(st, out.HPinv.get(), h_rows);
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

template <class Entry, class Int>
Ref spqr_call(const State& st, Mode mode, int ordering, double tol, cholmod_sparse* A)
{
    const auto common = started_common<Int>();
    cholmod_common* cm = common->get();
    spqr_engine::Factors<Int> out(cm, A->nrow, A->ncol);
    const spqr_lib::Status status =
        without_gil([&] { return spqr_engine::factor_once<Entry, Int>(mode, ordering, tol, A, out, cm); });
    handle_analysis_errors(st, status);
    return spqr_result(st, mode, out, A->ncol, cm);
}

Mode mode_of(PyObject* mode_obj)
{
    const auto& names = spqr_surface::modes;
    Ref allowed = check(Py_BuildValue("(ssss)", names[0], names[1], names[2], names[3]));
    if (!check_status(PySequence_Contains(allowed.get(), mode_obj))) {
        Ref mode_str = check(PyObject_Str(mode_obj));
        Ref allowed_str = check(PyObject_Str(allowed.get()));
        raise_format(PyExc_ValueError, spqr_surface::invalid_mode, mode_str.get(), allowed_str.get());
    }
    for (int k = 0; k < 4; ++k) {
        Ref name = new_string(names[k]);
        if (check_status(PyObject_RichCompareBool(mode_obj, name.get(), Py_EQ))) {
            return static_cast<Mode>(k);
        }
    }
    return Mode::Full;
}

Ref py_spqr(PyObject* module, const Args& a)
{
    const State& st = state_of(module);
    CscInput in = coerce_csc(module, a[0], CoerceCall::Plain);
    const Mode mode = mode_of(a[1]);
    const int ordering = ordering_code(st, a[2]);
    double tol = SPQR_DEFAULT_TOL;
    if (a[3] != Py_None) {
        Ref value = check(PyNumber_Float(a[3]));
        tol = require_tol(PyFloat_AS_DOUBLE(value.get()));
    }
    SparseView view = owned_sparse_view(module, CscParts::of(module, in.matrix.get()));
    const ValueType value = view.real() ? ValueType::Real : ValueType::Complex;
    return with_variant(value, view.int32() ? IndexWidth::I32 : IndexWidth::I64, [&](auto entry, auto index) {
        return spqr_call<decltype(entry), decltype(index)>(st, mode, ordering, tol, view.get());
    });
}

// ---------------------------------------------------------------------------
// spqr_factor, spqr_solve

Ref py_spqr_factor(PyObject* module, const Args& a)
{
    const Context ctx{module, state_of(module)};
    const bool use_singletons = truth(a[1]);
    // Without singletons the numeric factorization follows the analysis, of
    // the same matrix, as factorize(A) would.
    return new_factor(ctx, FactorArgs{a[0], use_singletons ? Py_True : Py_False, a[2], a[3], !use_singletons});
}

// A^H as a new CSC matrix, for the minimum-norm solution of a wide system:
// it is Q (R^H \ (E^T b)) from the factorization of A^H, whose transposed
// solve is with A. SciPy's transposition indexes with the stored indices,
// after Python code (a subclass's shape or arrays) may have changed them
// since the check: it transposes a private copy, checked against its shape.
Ref conjugate_transpose(PyObject* module, PyObject* A)
{
    Ref copy = private_csc_copy(module, A);
    Ref conj = check(PyObject_CallMethod(copy.get(), "conj", nullptr));
    Ref transposed = attr(conj.get(), "T");
    return check(PyObject_CallMethod(transposed.get(), "tocsc", nullptr));
}

Ref py_spqr_solve(PyObject* module, const Args& a)
{
    const Context ctx{module, state_of(module)};
    Ref batch = check(PyNumber_Index(a[4]));
    const Py_ssize_t batch_size = as_ssize(batch.get());
    CscInput in = coerce_csc(module, a[0], CoerceCall::Plain, false, PatternCopy::Checked);
    PyObject* transpose = a[2];
    const bool min2norm = truth(a[3]);
    if (in.nrows < in.ncols && min2norm) {
        Ref AH = conjugate_transpose(module, in.matrix.get());
        in = coerce_csc(module, AH.get(), CoerceCall::Plain, false, PatternCopy::Checked);
        transpose = Py_True;
    }
    const FactorArgs args{in.matrix.get(), Py_True, Py_None, Py_None, false, !inert(a[3])};
    Ref factor = new_factor(ctx, in, args);
    const bool transposed = truth(transpose);
    return solve_call(factor.get(), ctx, a[1], transposed, batch_size);
}

}  // namespace

const FunctionDef spqr_factor_def =
    function(spqr_surface::spqr_factor, py_spqr_factor, spqr_surface::spqr_factor_params)
        .with_doc(spqr_docs::spqr_factor);
const FunctionDef spqr_solve_def =
    function(spqr_surface::spqr_solve, py_spqr_solve, spqr_surface::spqr_solve_params);
const FunctionDef spqr_def =
    function(spqr_surface::spqr, py_spqr, spqr_surface::spqr_params).with_doc(spqr_docs::spqr);

}  // namespace spqr_module
