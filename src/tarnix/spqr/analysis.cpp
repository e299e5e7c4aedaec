// SPQRFactor's analysis and factorization: __init__ (analyse, and with
// use_singletons factorize at once), factorize() (the numeric part again, for
// a matrix of the analysed pattern) and _check_input_matrix.

#include "common/workspace.hpp"
#include "spqr/arguments.hpp"
#include "spqr/factor.hpp"
#include "spqr/orderings.hpp"
#include "spqr/status.hpp"
#include "spqr/views.hpp"
#include "spqr/surface.hpp"

#include <cstring>
#include <new>

namespace spqr_module {

using namespace tarnix;

// ---------------------------------------------------------------------------
// __init__

namespace {

enum class Analysis { Symbolic, Factorize, ThenNumeric };

void analyse_into(PyObject* self, const Context& ctx, SparseView& view, int ordering, double tol, Analysis how)
{
    // The new variant is analysed where no other call can see it, and
    // published whole, also when the analysis failed (the object then counts
    // as unconstructed, and its info reports the failure; without a common
    // it has no variant at all). Calls that hold the previous variant finish
    // with it.
    std::shared_ptr<FactorBase> fresh;
    try {
        fresh = new_variant(view.real(), view.int32());
        fresh->analyse(ctx.st, view.header(), ordering, tol, how == Analysis::Factorize);
        if (how == Analysis::ThenNumeric) {
            require_symbolic(ctx.st, fresh.get());
            // The matrix analysed is the one factorized: its pattern is the
            // kept one by construction.
            fresh->factorize(ctx.st, view.header(), fresh->tol());
        }
    }
    catch (...) {
        publish(self, std::move(fresh));
        throw;
    }
    publish(self, std::move(fresh));
}

}  // namespace

void construct(PyObject* self, const Context& ctx, const FactorArgs& args)
{
    // Every argument is converted first: each conversion may run Python code,
    // including a call of __init__ on this very object. The index arrays are
    // copied (and checked as copied) before the view is built over them.
    CscInput in = coerce_csc(ctx.module, args.A, CoerceCall::Plain, false, PatternCopy::Checked);
    construct_coerced(self, ctx, in, args);
}

void construct_coerced(PyObject* self, const Context& ctx, const CscInput& in, const FactorArgs& args)
{
    const int ordering = ordering_code(ctx.st, args.order);
    const double tol = args.tol == Py_None ? SPQR_DEFAULT_TOL : require_tol(as_double(args.tol));
    Analysis how = args.numeric_after ? Analysis::ThenNumeric : Analysis::Symbolic;
    if (truth(args.use_singletons)) {
        how = Analysis::Factorize;
    }
    // The check of A stands unless Python code ran since: then A's arrays
    // are read and checked again, as they are now.
    const bool python_ran = args.python_ran || !inert(args.order) || !inert(args.tol) || !inert(args.use_singletons);
    SparseView view = python_ran ? owned_sparse_view(ctx.module, CscParts::of(ctx.module, in.matrix.get()))
                                 : input_view(ctx.module, in);
    analyse_into(self, ctx, view, ordering, tol, how);
}

namespace {

Ref new_factor_object(const State& st)
{
    auto* type = reinterpret_cast<PyTypeObject*>(st.factor_type);
    return check(type->tp_new(type, nullptr, nullptr));
}

}  // namespace

Ref new_factor(const Context& ctx, const FactorArgs& args)
{
    Ref self = new_factor_object(ctx.st);
    construct(self.get(), ctx, args);
    return self;
}

Ref new_factor(const Context& ctx, const CscInput& in, const FactorArgs& args)
{
    Ref self = new_factor_object(ctx.st);
    construct_coerced(self.get(), ctx, in, args);
    return self;
}

int factor_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept
{
    // Not static: PyArg_ParseTupleAndKeywords takes a mutable array.
    const char* keywords[] = {"A", "use_singletons", "order", "tol", nullptr};
    PyObject* A = nullptr;
    PyObject* use_singletons = Py_False;
    PyObject* order = Py_None;
    PyObject* tol = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:SPQRFactor", const_cast<char**>(keywords), &A,
                                     &use_singletons, &order, &tol)) {
        return -1;
    }
    return boundary_status([&] {
        const Context ctx = context_of(self);
        construct(self, ctx, FactorArgs{A, use_singletons, order, tol, false});
    });
}

// ---------------------------------------------------------------------------
// factorize and _check_input_matrix

namespace {

[[noreturn]] void raise_mismatch(const char* what, PyObject* expected, PyObject* got, bool quoted)
{
    Ref e = format(expected);
    Ref g = format(got);
    const char* q = quoted ? "'" : "";
    raise_format(PyExc_ValueError, spqr_surface::structure_mismatch, what, q, e.get(), q, q, g.get(), q);
}

// What the library needs of a matrix for the analysed factorization, checked
// whatever _check_input_matrix (which a subclass may override) decided.
void require_analysed_structure(const State& st, const FactorBase* v, const cholmod_sparse& header)
{
    if (static_cast<int64_t>(header.nrow) != v->rows() || static_cast<int64_t>(header.ncol) != v->cols()) {
        Ref expected = check(Py_BuildValue("(LL)", static_cast<long long>(v->rows()), static_cast<long long>(v->cols())));
        Ref got = check(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(header.nrow), static_cast<Py_ssize_t>(header.ncol)));
        raise_mismatch("shape", expected.get(), got.get(), false);
    }
    if ((header.itype == CHOLMOD_INT) != v->int32()) {
        PyObject* got = header.itype == CHOLMOD_INT ? st.int32_dtype : st.int64_dtype;
        raise_mismatch("integer size", itype_of(st, v), got, true);
    }
    if ((header.xtype == CHOLMOD_REAL) != v->real()) {
        PyObject* got = header.xtype == CHOLMOD_REAL ? st.float64_dtype : st.complex128_dtype;
        raise_mismatch("data type", dtype_of(st, v), got, true);
    }
    if (!v->same_pattern(header)) {
        raise(PyExc_ValueError, spqr_surface::pattern_mismatch);
    }
}

// _check_input_matrix's checks: A (from validate_csc_input) and its index
// dtype against the factor's shape, itype and dtype.
void check_input_matrix(PyObject* self, const State& st, PyObject* A, PyObject* itype);

// The tolerance of the last numeric factorization (0 without a variant).
double current_tol(PyObject* self)
{
    Locked v(self);
    return v.get() != nullptr ? v->tol() : 0.0;
}

}  // namespace

Ref py_factorize(PyObject* self, const Args& a)
{
    const Context ctx = context_of(self);
    PyObject* tol = a[1];
    CscInput in = coerce_csc(ctx.module, a[0], CoerceCall::Plain, false, PatternCopy::Checked);
    if (is_exact_factor(self, ctx.st)) {
        check_input_matrix(self, ctx.st, in.matrix.get(), in.index_dtype.get());
    }
    else {
        call_method(self, "_check_input_matrix", {in.matrix.get(), in.index_dtype.get()});
    }
    const bool new_tolerance = tol != Py_None;
    const double tol_value = new_tolerance ? require_tol(as_double(tol)) : 0.0;
    bool python_ran = !is_exact_factor(self, ctx.st) || !inert(tol);
    if (new_tolerance) {
        Ref numeric = property_of(self, ctx.st, "is_numeric");
        if (truth(numeric.get()) && !(tol_value == current_tol(self))) {
            python_ran = true;  // the warning's filters and handlers
            Ref message = new_string(spqr_surface::tolerance_changed);
            warn(PyExc_UserWarning, message.get());
        }
    }
    SparseView view = python_ran ? sparse_view(ctx.module, CscParts::of(ctx.module, in.matrix.get()))
                                 : input_view(ctx.module, in);
    // is_numeric, the warning and the lookups above may have run Python code
    // (a subclass, a warning filter) that re-initialised this object: the
    // matrix is checked against the factor as it is now. The library reads
    // the factor's own copy of the pattern and the values of A.
    Locked v(self);
    require_symbolic(ctx.st, v.get());
    require_analysed_structure(ctx.st, v.get(), view.header());
    v->factorize(ctx.st, view.header(), new_tolerance ? tol_value : v->tol());
    return Ref::borrow(self);
}

Ref py_check_input_matrix(PyObject* self, const Args& a)
{
    check_input_matrix(self, context_of(self).st, a[0], a[1]);
    return Ref::none();
}

namespace {

void check_input_matrix(PyObject* self, const State& st, PyObject* A, PyObject* itype)
{
    Ref self_shape = property_of(self, st, "shape");
    Ref A_shape = attr(A, "shape");
    if (check_status(PyObject_RichCompareBool(A_shape.get(), self_shape.get(), Py_NE))) {
        raise_mismatch("shape", self_shape.get(), A_shape.get(), false);
    }
    Ref self_itype = property_of(self, st, "itype");
    if (check_status(PyObject_RichCompareBool(itype, self_itype.get(), Py_NE))) {
        raise_mismatch("integer size", self_itype.get(), itype, true);
    }
    Ref self_dtype = property_of(self, st, "dtype");
    Ref A_dtype = attr(A, "dtype");
    if (check_status(PyObject_RichCompareBool(A_dtype.get(), self_dtype.get(), Py_NE))) {
        raise_mismatch("data type", self_dtype.get(), A_dtype.get(), true);
    }
}

}  // namespace

}  // namespace spqr_module
