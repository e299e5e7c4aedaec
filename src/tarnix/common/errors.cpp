#include "common/errors.hpp"

#include <cstdarg>
#include <exception>
#include <limits>

namespace tarnix {

void throw_python_error()
{
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "tarnix: error return without exception set");
    }
    throw PythonError{};
}

void raise(PyObject* type, const char* message)
{
    PyErr_SetString(type, message);
    throw PythonError{};
}

void raise_format(PyObject* type, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw PythonError{};
}

void raise_chained(PyObject* type, PyObject* message)
{
    PyObject *ptype, *pvalue, *ptraceback;
    PyErr_Fetch(&ptype, &pvalue, &ptraceback);
    PyErr_NormalizeException(&ptype, &pvalue, &ptraceback);
    if (pvalue != nullptr && ptraceback != nullptr) {
        PyException_SetTraceback(pvalue, ptraceback);
    }
    Py_XDECREF(ptype);
    Py_XDECREF(ptraceback);
    Ref context = Ref::steal(pvalue);
    PyObject* exc = PyObject_CallOneArg(type, message);
    if (exc == nullptr) {
        throw PythonError{};
    }
    if (!context) {
        // Nothing to keep: chain to whatever the caller handles, as `raise` does.
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
        Py_DECREF(exc);
        throw PythonError{};
    }
    PyException_SetContext(exc, context.release());  // steals
    // PyErr_SetObject would chain again, to the exception the caller is
    // handling (inside its own `except` block), and so replace the context
    // set above. PyErr_Restore sets the indicator as it is; the replaced
    // exception already carries the caller's exception as its own context.
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, nullptr);  // steals both
    throw PythonError{};
}

void raise_chained(PyObject* type, const char* message)
{
    PyObject* text = PyUnicode_FromString(message);
    if (text == nullptr) {
        throw PythonError{};
    }
    Ref guard = Ref::steal(text);
    raise_chained(type, text);
}

void translate_current_exception() noexcept
{
    try {
        throw;
    }
    catch (const PythonError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "tarnix: error return without exception set");
        }
    }
    catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "tarnix: unexpected C++ exception: %s", e.what());
    }
    catch (...) {
        PyErr_SetString(PyExc_SystemError, "tarnix: unexpected C++ exception");
    }
}

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
