// Argument handling shared by SPQRFactor's methods and the one-shot
// functions: product codes, attribute and method lookups, the 1-D right-hand
// side that travels as one column, and the shape checks against Q.
#pragma once

#include "common/engine/dispatch.hpp"
#include "common/tarnix.hpp"

#include <complex>
#include <initializer_list>
#include <utility>

namespace spqr_module {

// The product code of a method string ("QX", "QTX", "XQ", "XQT"); anything
// else raises ValueError.
int qmult_code(PyObject* method);

// method must be a str or None ("Expected str, got ...").
void require_method_type(PyObject* method);

// A product code given as an integer (to _qmult_dense and _qmult) must be
// one of SuiteSparseQR's four.
void require_method_code(long long method);

// Whether a product code multiplies Q from the left (X's rows meet Q).
bool by_rows(long long method);

// The dimension of X that meets Q must be Q's order m.
void require_q_shape(long long m, long long dim);

// operator.index(obj) as a Py_ssize_t (OverflowError when it does not fit).
Py_ssize_t as_ssize(PyObject* obj);

// obj.name, obj.name(*args), format(obj), obj.shape[axis]. The names that
// every solve and product looks up are interned once (intern_names, at
// import): looked up by an interned name, an attribute is found in the
// interpreter's type cache, where a new string object would miss it and, on a
// free-threaded interpreter, take the interpreter-wide type lock each time.
void intern_names();
// The interned string of one of those names (borrowed; null for another).
PyObject* interned_name(const char* name) noexcept;
tarnix::Ref attr(PyObject* obj, const char* name);
tarnix::Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args);
tarnix::Ref format(PyObject* obj);
long long shape_dim(PyObject* obj, Py_ssize_t axis);
// obj.ndim as an integer.
long long ndim_of(PyObject* obj);

// arr.astype(dtype, copy=False).
tarnix::Ref astype(PyObject* arr, PyObject* dtype);

// Whether converting obj (its truth, its float, its look-up as an ordering
// name) runs no Python code: None, a bool, or an exact int, float or str.
// After such conversions a matrix checked before them is still as checked.
bool inert(PyObject* obj) noexcept;

// A tolerance the caller gave, converted: NaN means no tolerance at all (the
// library would compare every column norm against it and drop none, or
// every one, by accident) and is refused with a ValueError naming tol.
double require_tol(double tol);

// obj as an aligned, column-major ndarray (a copy only where needed).
tarnix::Ref as_fortran(PyObject* obj);

// A 1-D operand travels as one column, and its result comes back as that
// column: as_column(x) is x.reshape((-1, 1)), first_column(y) is y[:, 0].
tarnix::Ref as_column(PyObject* x);
tarnix::Ref first_column(PyObject* y);

// A dense operand of the typed entry points (_solve_dense, _qmult_dense),
// not None (tarnix::not_none): f(double{}) or f(std::complex<double>{}) by
// its element type ("No matching signature found" for any other).
tarnix::ValueType value_type_of(PyObject* X);
template <class F>
tarnix::Ref dispatch_value_type(PyObject* X, F&& f)
{
    return tarnix::with_value(value_type_of(X), std::forward<F>(f));
}

// "float64" or "complex128", "int32" or "int64": the types a header holds,
// for messages.
inline const char* value_type_name(bool real)
{
    return real ? "float64" : "complex128";
}
inline const char* index_type_name(bool int32)
{
    return int32 ? "int32" : "int64";
}

}  // namespace spqr_module
