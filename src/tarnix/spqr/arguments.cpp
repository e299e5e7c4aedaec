// Argument handling shared by SPQRFactor's methods and the one-shot functions.

#include "spqr/arguments.hpp"
#include "spqr/surface.hpp"

#include <cholmod.h>
#include <cstring>
#include <SuiteSparseQR_definitions.h>

#include <cmath>

namespace spqr_module {

using namespace tarnix;

void require_method_type(PyObject* method)
{
    if (method != Py_None && !PyUnicode_Check(method)) {
        raise_format(PyExc_TypeError, surface::expected_type, "str", Py_TYPE(method)->tp_name);
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
    raise_format(PyExc_ValueError, spqr_surface::invalid_method, text.get());
}

bool inert(PyObject* obj) noexcept
{
    return obj == Py_None || PyBool_Check(obj) || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) ||
           PyUnicode_CheckExact(obj);
}

double require_tol(double tol)
{
    if (std::isnan(tol)) {
        raise(PyExc_ValueError, spqr_surface::tol_nan);
    }
    return tol;
}

void require_method_code(long long method)
{
    if (method < SPQR_QTX || method > SPQR_XQ) {
        raise_format(PyExc_ValueError, spqr_surface::invalid_method_code, method);
    }
}

bool by_rows(long long method)
{
    return method == SPQR_QTX || method == SPQR_QX;
}

void require_q_shape(long long m, long long dim)
{
    if (dim != m) {
        raise_format(PyExc_ValueError, spqr_surface::incompatible_shape, m, dim);
    }
}

ValueType value_type_of(PyObject* X)
{
    if (has_element_type(X, element_type<double>::value)) {
        return ValueType::Real;
    }
    if (has_element_type(X, element_type<std::complex<double>>::value)) {
        return ValueType::Complex;
    }
    raise(PyExc_TypeError, surface::no_matching_signature);
}

Py_ssize_t as_ssize(PyObject* obj)
{
    Ref index = check(PyNumber_Index(obj));
    const Py_ssize_t value = PyLong_AsSsize_t(index.get());
    if (value == -1 && PyErr_Occurred()) {
        throw PythonError{};
    }
    return value;
}

namespace {

constexpr const char* kInterned[] = {"dtype",      "shape",        "ndim",         "rank",
                                     "is_numeric", "itype",        "_solve_dense", "_qmult_dense",
                                     "astype",     "reshape",      "indptr",       "indices",
                                     "toarray",    "format",       "_check_input_matrix",
                                     "_cholmod_sparse_from_csc"};
constexpr size_t kInternedCount = sizeof(kInterned) / sizeof(kInterned[0]);

// Set once, when the module is imported (once per process), and only read
// afterwards; they live as long as the process.
PyObject* g_interned[kInternedCount] = {};

}  // namespace

PyObject* interned_name(const char* name) noexcept
{
    for (size_t k = 0; k < kInternedCount; ++k) {
        if (std::strcmp(name, kInterned[k]) == 0) {
            return g_interned[k];
        }
    }
    return nullptr;
}

void intern_names()
{
    for (size_t k = 0; k < kInternedCount; ++k) {
        if (g_interned[k] == nullptr) {
            g_interned[k] = check(PyUnicode_InternFromString(kInterned[k])).release();
        }
    }
}

Ref attr(PyObject* obj, const char* name)
{
    PyObject* key = interned_name(name);
    return check(key != nullptr ? PyObject_GetAttr(obj, key) : PyObject_GetAttrString(obj, name));
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

// NumPy's own arrays (not a subclass, whose attributes may be Python code)
// are read in place: the same values without the lookups.
long long shape_dim(PyObject* obj, Py_ssize_t axis)
{
    if (PyArray_CheckExact(obj) && axis < PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj))) {
        return static_cast<long long>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(obj), static_cast<int>(axis)));
    }
    Ref shape = attr(obj, "shape");
    Ref d = check(PySequence_GetItem(shape.get(), axis));
    return as_int64(d.get());
}

long long ndim_of(PyObject* obj)
{
    if (PyArray_CheckExact(obj)) {
        return PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj));
    }
    return as_int64(attr(obj, "ndim").get());
}

Ref astype(PyObject* arr, PyObject* dtype)
{
    if (PyArray_CheckExact(arr) && PyArray_DescrCheck(dtype) &&
        PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(arr)),
                           reinterpret_cast<PyArray_Descr*>(dtype))) {
        return Ref::borrow(arr);  // what astype(copy=False) returns
    }
    Ref method = attr(arr, "astype");
    Ref args = check(PyTuple_Pack(1, dtype));
    Ref kwargs = check(Py_BuildValue("{sO}", "copy", Py_False));
    return check(PyObject_Call(method.get(), args.get(), kwargs.get()));
}

Ref as_fortran(PyObject* obj)
{
    return check(PyArray_FromAny(obj, nullptr, 0, 0, NPY_ARRAY_F_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSUREARRAY,
                                 nullptr));
}

Ref as_column(PyObject* x)
{
    if (PyArray_CheckExact(x)) {
        npy_intp dims[2] = {-1, 1};
        PyArray_Dims shape = {dims, 2};
        return check(PyArray_Newshape(reinterpret_cast<PyArrayObject*>(x), &shape, NPY_CORDER));
    }
    Ref shape = check(Py_BuildValue("((ii))", -1, 1));
    return check(PyObject_Call(attr(x, "reshape").get(), shape.get(), nullptr));
}

Ref first_column(PyObject* y)
{
    auto* a = reinterpret_cast<PyArrayObject*>(y);
    if (PyArray_CheckExact(y) && PyArray_NDIM(a) == 2 && PyArray_DIM(a, 1) == 1) {
        // A single column's y[:, 0] is the same view as its reshape.
        npy_intp dims[1] = {PyArray_DIM(a, 0)};
        PyArray_Dims shape = {dims, 1};
        return check(PyArray_Newshape(a, &shape, NPY_ANYORDER));
    }
    Ref all = check(PySlice_New(nullptr, nullptr, nullptr));
    Ref key = check(Py_BuildValue("(Oi)", all.get(), 0));
    return check(PyObject_GetItem(y, key.get()));
}

}  // namespace spqr_module
