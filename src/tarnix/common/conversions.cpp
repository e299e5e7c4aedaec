// Conversions of Python argument objects to C++ values.
#include "common/conversions.hpp"

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

}  // namespace tarnix
