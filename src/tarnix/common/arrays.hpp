// New NumPy arrays for results and work space.
#pragma once

#include "common/errors.hpp"

namespace tarnix {

// One-dimensional arrays of the dtype `dtype` (anything numpy.dtype accepts,
// e.g. numpy.int32 as returned by validate_csc_input).
Ref zeros(npy_intp n, PyObject* dtype);
Ref empty(npy_intp n, PyObject* dtype);
Ref arange(npy_intp n, PyObject* dtype);
Ref full(npy_intp n, long long value, PyObject* dtype);

// The same for a NumPy type number.
Ref zeros(npy_intp n, int typenum);

// How a caller's array-like argument becomes an index array.
enum class Conversion : unsigned char {
    AsArray,     // np.asarray(obj, dtype=dtype, order="C")
    Contiguous,  // np.ascontiguousarray(obj, dtype=dtype): the same object when it fits
};

// The converted argument. A TypeError of the conversion becomes
// TypeError(type_error) with the original as its context; other errors (such
// as NumPy's ValueError for non-numeric strings) propagate unchanged. An
// integer array whose values the index dtype cannot hold raises ValueError
// naming the argument (`name`) instead of wrapping them.
Ref convert_index_array(PyObject* obj, PyObject* dtype, Conversion how, const char* name, const char* type_error);

// arr[start:stop], a view of a one-dimensional array.
Ref slice(PyObject* arr, Py_ssize_t start, Py_ssize_t stop);

// The data pointer of an array created by the functions above.
template <class T>
T* data_of(const Ref& arr)
{
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
}

}  // namespace tarnix
