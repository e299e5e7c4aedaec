// New NumPy arrays for results and work space, and the conversion of
// array-like arguments to index arrays.
#include "common/arrays.hpp"
#include "common/conversions.hpp"

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

Ref convert_index_array(PyObject* obj, PyObject* dtype, Conversion how, const char* name, const char* type_error)
{
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
    Ref converted = Ref::steal(result);
    // NumPy wraps integers that the narrower index type cannot hold; a
    // wrapped value could pass for a valid one.
    if (PyArray_Check(obj) && PyArray_ISINTEGER(reinterpret_cast<PyArrayObject*>(obj)) &&
        PyArray_Check(converted.get()) &&
        !PyArray_CanCastTypeTo(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj)),
                               PyArray_DESCR(reinterpret_cast<PyArrayObject*>(converted.get())), NPY_SAFE_CASTING)) {
        Ref equal = check(PyObject_CallMethod(module.get(), "array_equal", "OO", converted.get(), obj));
        if (!truth(equal.get())) {
            raise_format(PyExc_ValueError, "Values in %s exceed the range of the index dtype %S.", name, dtype);
        }
    }
    return converted;
}

Ref slice(PyObject* arr, Py_ssize_t start, Py_ssize_t stop)
{
    return check(PySequence_GetSlice(arr, start, stop));
}

}  // namespace tarnix
