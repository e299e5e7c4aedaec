// Conversions of Python argument objects to C++ values.
#include "common/conversions.hpp"
#include "common/surface.hpp"

#include "common/csc.hpp"

#include <limits>

namespace tarnix {

long long as_int64(PyObject* obj)
{
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) {
        throw PythonError{};
    }
    return v;
}

double as_double(PyObject* obj)
{
    const double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
        throw PythonError{};
    }
    return d;
}

bool truth(PyObject* obj)
{
    if (obj == Py_True) {
        return true;
    }
    if (obj == Py_False || obj == Py_None) {
        return false;
    }
    return check_status(PyObject_IsTrue(obj)) != 0;
}

double as_single_precision(PyObject* obj)
{
    const double d = as_double(obj);
    // IEC 60559 conversion: rounds to nearest, overflows to a signed infinity.
    static_assert(std::numeric_limits<float>::is_iec559, "IEEE single precision required");
    return static_cast<double>(static_cast<float>(d));
}

std::pair<long long, long long> parse_shape(PyObject* shape)
{
    Ref items[2];
    unpack_exact(shape, items, 2);
    const long long nrow = as_int64(items[0].get());
    const long long ncol = as_int64(items[1].get());
    if (nrow < 0 || ncol < 0) {
        raise_format(PyExc_ValueError, surface::negative_shape, nrow, ncol);
    }
    return {nrow, ncol};
}

}  // namespace tarnix
