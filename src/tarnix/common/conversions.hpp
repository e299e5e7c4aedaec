// Conversions of Python argument objects to C++ values: integers through
// __index__, floats as float() does, truth values, and the single-precision
// form of the ordering libraries' thresholds. Each runs the object's own
// Python code, so a conversion belongs before any view of the arrays it
// could change; a failure propagates as PythonError.
#pragma once

#include "common/errors.hpp"

#include <utility>

namespace tarnix {

// Converts an object to a signed 64-bit integer through __index__.
long long as_int64(PyObject* obj);

// Converts an object to a double, as float() does.
double as_double(PyObject* obj);

// Truth value of an object; an exception from the test propagates.
bool truth(PyObject* obj);

// float(obj) rounded to single precision and widened back to double, the form
// in which the ordering libraries' real-valued thresholds are stored.
double as_single_precision(PyObject* obj);

// A (rows, columns) pair of non-negative integers, from a sequence of exactly
// two objects converted through __index__.
std::pair<long long, long long> parse_shape(PyObject* shape);

}  // namespace tarnix
