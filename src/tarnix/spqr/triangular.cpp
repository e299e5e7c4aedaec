// tarnix.spqr._solve_triangular(T, B, adjoint=False): solves with a sorted
// upper triangle (spqr/engine/triangular.hpp), for tarnix.spqr_rank.
//
// Every attribute of T and the truth of `adjoint` are read first: they may
// run Python code, which may change T's or B's arrays. Then T's arrays and B
// are copied into arrays only this call references, with no Python code in
// between, and everything is checked on the copies and solved there with the
// interpreter lock released: what was checked is what the solve reads, and
// no other thread can change it meanwhile.

#include "spqr/oneshot.hpp"

#include "common/tarnix.hpp"
#include "spqr/docstrings.hpp"
#include "spqr/engine/triangular.hpp"
#include "spqr/state.hpp"
#include "spqr/surface.hpp"

namespace spqr_module {

using namespace tarnix;
namespace tri = spqr_triangular;

namespace {

PyArrayObject* as_array(const Ref& a)
{
    return reinterpret_cast<PyArrayObject*>(a.get());
}

// T's arrays as read, before any copy.
struct TriangleArgs {
    long long order = 0;
    Ref indptr;
    Ref indices;
    Ref data;
    ValueType value = ValueType::Real;
    IndexWidth width = IndexWidth::I32;
};

Ref one_dimensional(PyObject* module, PyObject* T, CscName which, const char* name)
{
    Ref a = csc_attribute(module, T, which);
    if (!PyArray_Check(a.get()) || PyArray_NDIM(as_array(a)) != 1) {
        raise_format(PyExc_TypeError, spqr_surface::T_array, name);
    }
    return a;
}

bool is_index_type(PyArrayObject* a, int itemsize)
{
    return PyArray_ISSIGNED(a) && PyArray_ITEMSIZE(a) == itemsize;
}

TriangleArgs triangle_args(PyObject* module, const State& st, PyObject* T)
{
    if (!PyObject_TypeCheck(T, reinterpret_cast<PyTypeObject*>(st.csc_array_type)) &&
        !PyObject_TypeCheck(T, reinterpret_cast<PyTypeObject*>(st.csc_matrix_type))) {
        raise_format(PyExc_TypeError, spqr_surface::T_not_csc, Py_TYPE(T)->tp_name);
    }
    const auto [rows, cols] = parse_shape(csc_attribute(module, T, CscName::Shape).get());
    if (rows != cols) {
        raise_format(PyExc_ValueError, spqr_surface::T_not_square, rows, cols);
    }
    TriangleArgs t;
    t.order = rows;
    t.indptr = one_dimensional(module, T, CscName::Indptr, "indptr");
    t.indices = one_dimensional(module, T, CscName::Indices, "indices");
    t.data = one_dimensional(module, T, CscName::Data, "data");
    const int type = PyArray_TYPE(as_array(t.data));
    if (type != NPY_DOUBLE && type != NPY_CDOUBLE) {
        raise_format(PyExc_TypeError, spqr_surface::T_values, PyArray_DESCR(as_array(t.data)));
    }
    t.value = type == NPY_DOUBLE ? ValueType::Real : ValueType::Complex;
    PyArrayObject* p = as_array(t.indptr);
    PyArrayObject* i = as_array(t.indices);
    const bool int32 = is_index_type(p, 4) && is_index_type(i, 4);
    if (!int32 && !(is_index_type(p, 8) && is_index_type(i, 8))) {
        raise_format(PyExc_TypeError, spqr_surface::T_indices, PyArray_DESCR(p), PyArray_DESCR(i));
    }
    t.width = int32 ? IndexWidth::I32 : IndexWidth::I64;
    return t;
}

// B's checks, which read only its header: no Python code runs.
void check_right_side(PyObject* B, long long order, int typenum)
{
    if (!PyArray_Check(B)) {
        raise_format(PyExc_TypeError, spqr_surface::B_not_array, Py_TYPE(B)->tp_name);
    }
    auto* b = reinterpret_cast<PyArrayObject*>(B);
    const int ndim = PyArray_NDIM(b);
    if (ndim != 1 && ndim != 2) {
        raise_format(PyExc_ValueError, spqr_surface::B_ndim, ndim);
    }
    if (PyArray_DIM(b, 0) != order) {
        raise_format(PyExc_ValueError, spqr_surface::B_rows, order, static_cast<long long>(PyArray_DIM(b, 0)));
    }
    Ref target = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(typenum)));
    if (!PyArray_CanCastTypeTo(PyArray_DESCR(b), reinterpret_cast<PyArray_Descr*>(target.get()), NPY_SAFE_CASTING)) {
        raise_format(PyExc_TypeError, spqr_surface::B_dtype, PyArray_DESCR(b), target.get());
    }
}

// A new base-class array of `typenum` with a's values, aligned and
// contiguous (column-major for B), referenced by nothing else. The source
// types are NumPy's own numeric types, so the cast runs no Python code.
Ref private_copy(PyObject* a, int typenum, int layout)
{
    PyArray_Descr* descr = PyArray_DescrFromType(typenum);  // stolen by PyArray_FromArray
    return check(PyArray_FromArray(reinterpret_cast<PyArrayObject*>(a), descr,
                                   layout | NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE | NPY_ARRAY_ENSURECOPY |
                                       NPY_ARRAY_ENSUREARRAY));
}

[[noreturn]] void raise_fault(const tri::TriangleCheck& c, long long order)
{
    using F = tri::TriangleFault;
    const long long j = c.column;
    const long long at = c.at;
    const long long row = c.row;
    switch (c.fault) {
    case F::FirstPointer: raise_format(PyExc_ValueError, spqr_surface::T_first_pointer, row);
    case F::Decreasing: raise_format(PyExc_ValueError, spqr_surface::T_decreasing, at, row);
    case F::PastEnd: raise_format(PyExc_ValueError, spqr_surface::T_past_end, at, row);
    case F::RowOutOfRange: raise_format(PyExc_ValueError, spqr_surface::T_row_range, at, row, order);
    case F::Unsorted: raise_format(PyExc_ValueError, spqr_surface::T_unsorted, j, at, row);
    case F::BelowDiagonal: raise_format(PyExc_ValueError, spqr_surface::T_below_diagonal, j, row);
    case F::MissingDiagonal: raise_format(PyExc_ValueError, spqr_surface::T_missing_diagonal, j);
    case F::ZeroDiagonal: raise_format(PyExc_ValueError, spqr_surface::T_zero_diagonal, j);
    case F::None: break;
    }
    raise(PyExc_SystemError, "_solve_triangular: unknown fault");
}

// The copies checked and solved in place: X overwrites the copy of B.
template <class Entry, class Int>
void solve_copies(const TriangleArgs& t, const Ref& Tp, const Ref& Ti, const Ref& Tx, const Ref& X, bool adjoint)
{
    const long long len = PyArray_DIM(as_array(Ti), 0);
    if (PyArray_DIM(as_array(Tp), 0) != t.order + 1) {
        raise_format(PyExc_ValueError, spqr_surface::T_indptr_length, t.order + 1,
                     static_cast<long long>(PyArray_DIM(as_array(Tp), 0)));
    }
    if (PyArray_DIM(as_array(Tx), 0) != len) {
        raise_format(PyExc_ValueError, spqr_surface::T_lengths, len,
                     static_cast<long long>(PyArray_DIM(as_array(Tx), 0)));
    }
    const tri::UpperTriangle<Entry, Int> T{t.order, len, data_of<Int>(Tp), data_of<Int>(Ti), data_of<Entry>(Tx)};
    Entry* B = data_of<Entry>(X);
    const long long k = PyArray_NDIM(as_array(X)) == 2 ? PyArray_DIM(as_array(X), 1) : 1;
    const tri::TriangleCheck fault = without_gil([&] {
        const tri::TriangleCheck c = tri::check_upper(T);
        if (!c) {
            adjoint ? tri::solve_upper_adjoint(T, B, k) : tri::solve_upper(T, B, k);
        }
        return c;
    });
    if (fault) {
        raise_fault(fault, t.order);
    }
}

Ref py_solve_triangular(PyObject* module, const Args& a)
{
    const State& st = state_of(module);
    const bool adjoint = truth(a[2]);
    const TriangleArgs t = triangle_args(module, st, a[0]);
    const int value_type = t.value == ValueType::Real ? NPY_DOUBLE : NPY_CDOUBLE;
    const int index_type = t.width == IndexWidth::I32 ? NPY_INT32 : NPY_INT64;
    check_right_side(a[1], t.order, value_type);
    // From here on no Python code runs until the result is returned.
    Ref Tp = private_copy(t.indptr.get(), index_type, NPY_ARRAY_C_CONTIGUOUS);
    Ref Ti = private_copy(t.indices.get(), index_type, NPY_ARRAY_C_CONTIGUOUS);
    Ref Tx = private_copy(t.data.get(), value_type, NPY_ARRAY_C_CONTIGUOUS);
    Ref X = private_copy(a[1], value_type, NPY_ARRAY_F_CONTIGUOUS);
    // Another thread may have set B.shape since it was checked: the solve
    // goes by the copy's.
    check_right_side(X.get(), t.order, value_type);
    with_variant(t.value, t.width, [&](auto entry, auto index) {
        solve_copies<decltype(entry), decltype(index)>(t, Tp, Ti, Tx, X, adjoint);
    });
    return X;
}

}  // namespace

const FunctionDef solve_triangular_private_def =
    function(spqr_surface::private_solve_triangular, py_solve_triangular,
             spqr_surface::private_solve_triangular_params)
        .with_doc(spqr_docs::solve_triangular_private);

}  // namespace spqr_module
