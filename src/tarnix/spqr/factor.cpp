// SPQRFactor: the type, its slots and properties, and its method table. The
// object holds one SuiteSparseQR variant (variant.hpp); the methods live in
// the files of their concern: analysis.cpp (__init__, factorize), solve.cpp,
// qmult.cpp and copy.cpp.

#include "spqr/factor.hpp"

#include "spqr/arguments.hpp"
#include "spqr/docstrings.hpp"
#include "spqr/info.hpp"

#include "common/critical_section.hpp"
#include "spqr/surface.hpp"

#include <cstring>
#include <new>

namespace spqr_module {

using namespace tarnix;

Context context_of(PyObject* self)
{
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);
    if (module == nullptr) {
        throw PythonError{};
    }
    return Context{module, state_of(module)};
}

namespace {

// This thread's innermost Snapshot that holds a factor's lock; each links to
// the one it is nested in (calls on other factors, made from callbacks).
thread_local const Snapshot* t_calls = nullptr;

std::shared_ptr<FactorBase> published_variant(PyObject* self)
{
    CriticalSection section(self);
    return as_factor(self)->variant;
}

}  // namespace

const Snapshot* Snapshot::enclosing(PyObject* self) noexcept
{
    for (const Snapshot* call = t_calls; call != nullptr; call = call->outer_) {
        if (call->self_ == self) {
            return call;
        }
    }
    return nullptr;
}

std::shared_ptr<FactorBase> current_variant(PyObject* self)
{
    const Snapshot* call = Snapshot::enclosing(self);
    return call != nullptr ? call->variant() : published_variant(self);
}

void publish(PyObject* self, std::shared_ptr<FactorBase> variant)
{
    {
        CriticalSection section(self);
        as_factor(self)->variant.swap(variant);
    }
    // The previous variant (now in `variant`) is released outside the
    // section; a call still using it keeps it alive.
}

Snapshot::Snapshot(PyObject* self) : self_(self)
{
    if (const Snapshot* call = enclosing(self)) {
        variant_ = call->variant_;
        return;
    }
    variant_ = published_variant(self);
    if (variant_ != nullptr) {
        lock_.emplace(variant_->mutex(), spqr_surface::in_use);
        outer_ = t_calls;
        t_calls = this;
    }
}

Snapshot::~Snapshot()
{
    if (lock_) {
        t_calls = outer_;
    }
}

Locked::Locked(PyObject* self) : variant_(published_variant(self))
{
    if (variant_ != nullptr) {
        lock_.emplace(variant_->mutex(), spqr_surface::in_use);
    }
}

bool has_symbolic(const FactorBase* v) noexcept
{
    return v != nullptr && v->constructed() && v->has_symbolic();
}

bool has_numeric(const FactorBase* v) noexcept
{
    return has_symbolic(v) && v->has_numeric();
}

namespace {

[[noreturn]] void raise_missing(const State& st, const char* part)
{
    if (st.assertions) {
        PyErr_SetNone(PyExc_AssertionError);
        throw PythonError{};
    }
    raise_format(st.SPQRError, spqr_surface::no_factorization, part);
}

}  // namespace

void require_symbolic(const State& st, const FactorBase* v)
{
    if (!has_symbolic(v)) {
        raise_missing(st, "symbolic");
    }
}

void require_numeric(const State& st, const FactorBase* v)
{
    if (!has_numeric(v)) {
        raise_missing(st, "numeric");
    }
}

PyObject* itype_of(const State& st, const FactorBase* v)
{
    if (v == nullptr || !v->constructed()) {
        return Py_None;
    }
    return v->int32() ? st.int32_dtype : st.int64_dtype;
}

PyObject* dtype_of(const State& st, const FactorBase* v)
{
    if (v == nullptr || !v->constructed()) {
        return Py_None;
    }
    return v->real() ? st.float64_dtype : st.complex128_dtype;
}

Shape shape_of(PyObject* self)
{
    const std::shared_ptr<FactorBase> variant = current_variant(self);
    const FactorBase* v = variant.get();
    if (v == nullptr || !v->constructed()) {
        return Shape{0, 0};
    }
    return Shape{static_cast<long long>(v->rows()), static_cast<long long>(v->cols())};
}

PyObject* itype_of(const State& st, PyObject* self)
{
    return itype_of(st, current_variant(self).get());
}

namespace {

// ---------------------------------------------------------------------------
// Pickling (refused) and representation

Ref py_reduce(PyObject*, const Args&)
{
    raise(PyExc_TypeError, spqr_surface::no_pickle);
}

Ref py_setstate(PyObject*, const Args&)
{
    raise(PyExc_TypeError, spqr_surface::no_pickle);
}

PyObject* factor_repr(PyObject* self) noexcept
{
    return boundary([&]() -> Ref {
        Snapshot call(self);  // every line of the text from one state
        const State& st = context_of(self).st;
        Ref cls = attr(self, "__class__");
        Ref name = attr(cls.get(), "__name__");
        const bool numeric = truth(property_of(self, st, "is_numeric").get());
        Ref dtype = format(property_of(self, st, "dtype").get());
        Ref itype = format(property_of(self, st, "itype").get());
        Ref shape = format(property_of(self, st, "shape").get());
        Ref rank = format(property_of(self, st, "rank").get());
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
    return boundary([&]() -> Ref {
        Snapshot v(self);
        return Ref::borrow(has_numeric(v.get()) ? Py_True : Py_False);
    });
}

PyObject* get_shape(PyObject* self, void*) noexcept
{
    const Shape shape = shape_of(self);
    return Py_BuildValue("(LL)", shape.rows, shape.cols);
}

PyObject* get_rank(PyObject* self, void*) noexcept
{
    return boundary([&]() -> Ref {
        Snapshot v(self);  // is_numeric (which a subclass may override) reads the same state
        if (!truth(property_of(self, context_of(self).st, "is_numeric").get())) {
            return Ref::none();
        }
        require_numeric(context_of(self).st, v.get());
        return check(PyLong_FromLongLong(v->rank()));
    });
}

PyObject* get_perm(PyObject* self, void*) noexcept
{
    return boundary([&]() -> Ref {
        const Context ctx = context_of(self);
        Snapshot v(self);
        require_symbolic(ctx.st, v.get());
        return v->perm(ctx.st);
    });
}

PyObject* get_info(PyObject* self, void*) noexcept
{
    return boundary([&] {
        const Context ctx = context_of(self);
        Snapshot v(self);
        return info_from_common(ctx.st, v.get() != nullptr ? v->common() : nullptr);
    });
}

PyObject* get_itype(PyObject* self, void*) noexcept
{
    return boundary([&] { return Ref::borrow(itype_of(context_of(self).st, self)); });
}

PyObject* get_dtype(PyObject* self, void*) noexcept
{
    return boundary([&] { return Ref::borrow(dtype_of(context_of(self).st, current_variant(self).get())); });
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

}  // namespace

// Assigning an attribute of a type gives it a new version tag (tags are never
// reused), so a class patched since the module was made takes the attribute path.
bool is_exact_factor(PyObject* self, const State& st) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    return reinterpret_cast<PyObject*>(type) == st.factor_type && st.factor_version != 0 &&
           __atomic_load_n(&type->tp_version_tag, __ATOMIC_RELAXED) == st.factor_version;
}

unsigned int factor_version(PyObject* type)
{
    // A lookup through the type gives it a version tag when it has none.
    Ref probe = attr(type, "solve");
    return __atomic_load_n(&reinterpret_cast<PyTypeObject*>(type)->tp_version_tag, __ATOMIC_RELAXED);
}

Ref property_of(PyObject* self, const State& st, const char* name)
{
    if (is_exact_factor(self, st)) {
        // The two that every solve and product reads, without the getters'
        // look-up of the module.
        if (std::strcmp(name, "dtype") == 0) {
            return Ref::borrow(dtype_of(st, current_variant(self).get()));
        }
        if (std::strcmp(name, "itype") == 0) {
            return Ref::borrow(itype_of(st, self));
        }
        for (const PyGetSetDef& def : factor_getset) {
            if (def.name != nullptr && std::strcmp(def.name, name) == 0) {
                return check(def.get(self, nullptr));
            }
        }
    }
    return attr(self, name);
}

namespace {

// ---------------------------------------------------------------------------
// Allocation and destruction

PyObject* factor_new(PyTypeObject* type, PyObject*, PyObject*) noexcept
{
    PyObject* op = type->tp_alloc(type, 0);
    if (op == nullptr) {
        return nullptr;
    }
    new (&as_factor(op)->variant) std::shared_ptr<FactorBase>();  // no variant yet
    return op;
}

void factor_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    {
        SavedError saved;
        // No call can be using the variant through this object any more; one
        // that holds it as well keeps it until it returns.
        as_factor(self)->variant.~shared_ptr<FactorBase>();
        saved.restore();
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// The factor as a SciPy LinearOperator: the class is Python's (tarnix._operators),
// and its products call this factor's public methods, so they take its lock.

constexpr const char* kAsLinearOperatorDoc = R"(The factor as a `scipy.sparse.linalg.LinearOperator`.

Parameters
----------
op : {"solve", "QX", "QTX", "XQ", "XQT"}, optional
    What the operator applies to a vector: ``"solve"`` the factor's solve
    (``shape`` is ``(n, m)`` for an ``m x n`` factor; its ``rmatvec`` is the
    transposed solve, ``solve(b, transpose=True)``, which is its exact
    adjoint), ``"QX"``/``"QTX"`` the products ``Q x``/``Q^H x`` (``m x m``,
    each the adjoint of the other), ``"XQ"``/``"XQT"`` the products
    ``x Q``/``x Q^H`` of a row vector ``x`` (``m x m``: ``Q^T x`` and
    ``conj(Q) x`` as columns).

Returns
-------
FactorOperator
    A `~scipy.sparse.linalg.LinearOperator` whose ``matvec``, ``rmatvec``
    and ``matmat`` call `solve` and `qmult` of this factor (each call takes
    the factor's lock, as a direct call would). It keeps a reference to the
    factor: a later `factorize` changes what it applies.

Raises
------
ValueError
    An unknown ``op``.
AssertionError
    The factor holds no numeric factorization (analysed only): call
    `factorize` first.

See Also
--------
scipy.sparse.linalg.aslinearoperator, scipy.sparse.linalg.lsqr

Examples
--------
>>> import numpy as np
>>> from scipy import sparse
>>> from tarnix.spqr import spqr_factor
>>> A = sparse.csc_array(np.array([[2., 0.], [1., 1.], [0., 3.]]))
>>> f = spqr_factor(A)
>>> Q = f.as_linear_operator("QX")
>>> Q.shape
(3, 3)
>>> x = np.array([1., 2., 3.])
>>> bool(np.allclose(Q.rmatvec(Q.matvec(x)), x))
True
>>> bool(np.allclose(f.as_linear_operator() @ (A @ [1., 2.]), [1., 2.]))
True
)";

Ref py_as_linear_operator(PyObject* self, const Args& a)
{
    Ref make = import_attr("tarnix._operators", "factor_operator");
    return check(PyObject_CallFunctionObjArgs(make.get(), self, a[0], nullptr));
}

// ---------------------------------------------------------------------------
// Method table

constexpr FunctionDef factor_methods[] = {
    method(spqr_surface::factorize, py_factorize, spqr_surface::factorize_params).with_doc(spqr_docs::factorize),
    method(spqr_surface::check_input_matrix, py_check_input_matrix, spqr_surface::check_params)
        .with_doc(spqr_docs::check_input_matrix),
    method(spqr_surface::solve, py_solve, spqr_surface::solve_params),
    method(spqr_surface::solve_dense, py_solve_dense, spqr_surface::solve_dense_params)
        .with_doc(spqr_docs::solve_dense),
    method(spqr_surface::qmult, py_qmult, spqr_surface::qmult_params),
    method(spqr_surface::qmult_dense, py_qmult_dense, spqr_surface::qmult_dense_params)
        .with_doc(spqr_docs::qmult_dense),
    method(spqr_surface::copy, py_copy).with_doc(spqr_docs::copy),
    method(spqr_surface::as_linear_operator, py_as_linear_operator, spqr_surface::operator_params)
        .with_doc(kAsLinearOperatorDoc),
    method(spqr_surface::reduce, py_reduce),
    method(spqr_surface::setstate, py_setstate, spqr_surface::setstate_params),
};

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
    spqr_surface::factor_qualified,
    sizeof(FactorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    factor_slots,
};

}  // namespace

Ref add_factor_type(PyObject* module)
{
    Ref type = check(PyType_FromModuleAndSpec(module, &factor_spec, nullptr));
    for (const FunctionDef& def : factor_methods) {
        add_method(module, type.get(), def);
    }
    add_object(module, spqr_surface::factor, type.get());
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
