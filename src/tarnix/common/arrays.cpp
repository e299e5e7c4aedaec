// New NumPy arrays for results and work space, and the conversion of
// array-like arguments to index arrays.
#include "common/arrays.hpp"
#include "common/surface.hpp"
#include "common/conversions.hpp"
#include "common/engine/checks.hpp"

#include <cstdint>
#include <limits>
#include <type_traits>

namespace tarnix {
namespace {

PyArray_Descr* descr_from(PyObject* dtype)
{
    PyArray_Descr* descr = nullptr;
    if (!PyArray_DescrConverter(dtype, &descr)) {
        throw PythonError{};
    }
    return descr;  // new reference
}

}  // namespace

Ref zeros(npy_intp n, PyObject* dtype)
{
    // PyArray_Zeros steals the descriptor reference, also on failure.
    return check(PyArray_Zeros(1, &n, descr_from(dtype), 0));
}

Ref empty(npy_intp n, PyObject* dtype)
{
    return check(PyArray_Empty(1, &n, descr_from(dtype), 0));
}

Ref arange(npy_intp n, PyObject* dtype)
{
    Ref start = check(PyLong_FromLong(0));
    Ref stop = check(PyLong_FromSsize_t(n));
    Ref step = check(PyLong_FromLong(1));
    // Unlike the constructors above, PyArray_ArangeObj does not steal the descriptor.
    Ref descr = Ref::steal(reinterpret_cast<PyObject*>(descr_from(dtype)));
    return check(PyArray_ArangeObj(start.get(), stop.get(), step.get(),
                                   reinterpret_cast<PyArray_Descr*>(descr.get())));
}

Ref full(npy_intp n, long long value, PyObject* dtype)
{
    Ref arr = empty(n, dtype);
    Ref v = check(PyLong_FromLongLong(value));
    check_status(PyArray_FillWithScalar(reinterpret_cast<PyArrayObject*>(arr.get()), v.get()));
    return arr;
}

Ref zeros(npy_intp n, int typenum)
{
    return check(PyArray_ZEROS(1, &n, typenum, 0));
}

namespace {

// Whether every value of the integer array `a` lies in the range of the index
// type `target`, so that the cast to it wraps nothing; -1 for a layout or
// type the native pass does not cover.
int fits_index_type(PyArrayObject* a, int target)
{
    if (!PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISNOTSWAPPED(a)) {
        return -1;
    }
    const bool narrow = target == NPY_INT32;
    const long long low = narrow ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int64_t>::min();
    const unsigned long long high = narrow ? std::numeric_limits<int32_t>::max() : std::numeric_limits<int64_t>::max();
    const npy_intp n = PyArray_SIZE(a);
    switch (PyArray_TYPE(a)) {
    case NPY_INT64:
        return engine::all_within(static_cast<const int64_t*>(PyArray_DATA(a)), n, low, high);
    case NPY_UINT64:
        return engine::all_within(static_cast<const uint64_t*>(PyArray_DATA(a)), n, low, high);
    case NPY_UINT32:
        return engine::all_within(static_cast<const uint32_t*>(PyArray_DATA(a)), n, low, high);
    default:
        return -1;
    }
}

// np.asarray(obj, dtype=dtype, order="C") or np.ascontiguousarray(obj,
// dtype=dtype) made natively, for what both are the same cast for: a NumPy
// array (not a subclass) of integers of at least one dimension, and an index
// dtype. Such a cast cannot fail or warn. Empty when NumPy's Python functions
// must do it.
Ref convert_plain_array(PyObject* obj, PyObject* dtype)
{
    if (!PyArray_CheckExact(obj) || !PyArray_DescrCheck(dtype)) {
        return Ref{};
    }
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(a) == 0 || !PyArray_ISINTEGER(a)) {
        return Ref{};
    }
    auto* descr = reinterpret_cast<PyArray_Descr*>(dtype);
    if ((descr->type_num != NPY_INT32 && descr->type_num != NPY_INT64) || !PyArray_ISNBO(descr->byteorder)) {
        return Ref{};
    }
    Py_INCREF(descr);  // stolen
    return check(PyArray_FromAny(obj, descr, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_FORCECAST, nullptr));
}

// NumPy wraps integers that the narrower index type cannot hold; a wrapped
// value could pass for a valid one. `converted` is obj cast to the index dtype.
void require_unwrapped(PyObject* obj, PyObject* converted, PyObject* dtype, const char* name)
{
    if (!PyArray_Check(obj) || !PyArray_ISINTEGER(reinterpret_cast<PyArrayObject*>(obj)) ||
        !PyArray_Check(converted) ||
        PyArray_CanCastTypeTo(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj)),
                              PyArray_DESCR(reinterpret_cast<PyArrayObject*>(converted)), NPY_SAFE_CASTING)) {
        return;
    }
    const int target = PyArray_TYPE(reinterpret_cast<PyArrayObject*>(converted));
    int fits = PyArray_CheckExact(obj) ? fits_index_type(reinterpret_cast<PyArrayObject*>(obj), target) : -1;
    if (fits < 0) {
        Ref module = check(PyImport_ImportModule("numpy"));
        Ref equal = check(PyObject_CallMethod(module.get(), "array_equal", "OO", converted, obj));
        fits = truth(equal.get());
    }
    if (!fits) {
        raise_format(PyExc_ValueError, surface::index_range, name, dtype);
    }
}

}  // namespace

Ref convert_index_array(PyObject* obj, PyObject* dtype, Conversion how, const char* name, const char* type_error)
{
    Ref converted = convert_plain_array(obj, dtype);
    if (!converted) {
        const bool as_array = how == Conversion::AsArray;
        Ref module = check(PyImport_ImportModule("numpy"));
        Ref convert = check(PyObject_GetAttrString(module.get(), as_array ? "asarray" : "ascontiguousarray"));
        Ref kwargs = as_array ? check(Py_BuildValue("{sOss}", "dtype", dtype, "order", "C"))
                              : check(Py_BuildValue("{sO}", "dtype", dtype));
        Ref args = check(PyTuple_Pack(1, obj));
        PyObject* result = PyObject_Call(convert.get(), args.get(), kwargs.get());
        if (result == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                raise_chained(PyExc_TypeError, type_error);
            }
            throw PythonError{};
        }
        converted = Ref::steal(result);
    }
    require_unwrapped(obj, converted.get(), dtype, name);
    return converted;
}

Ref slice(PyObject* arr, Py_ssize_t start, Py_ssize_t stop)
{
    return check(PySequence_GetSlice(arr, start, stop));
}

}  // namespace tarnix
