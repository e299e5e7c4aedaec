// Errors: raising Python exceptions, and the translation of C++ exceptions at
// the boundary of each entry point.
#include "common/errors.hpp"

#include <cstdarg>
#include <exception>

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
    Ref context = SavedError{}.take_value();
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

}  // namespace tarnix
