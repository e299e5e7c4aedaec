// Errors: the C++-to-Python boundary and helpers that raise Python exceptions.
//
// Inside the package, failure travels as a C++ exception. PythonError means
// "the Python error indicator is set"; everything else is translated once, at
// the boundary of each entry point called by the interpreter:
//   std::bad_alloc       -> MemoryError
//   any other exception  -> SystemError
#pragma once

#include "common/ref.hpp"

#include <new>

namespace tarnix {

// Thrown after a Python exception has been set.
struct PythonError {};

[[noreturn]] void throw_python_error();
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// Replaces the exception that is set by type(message), the way `raise` inside
// an `except` block does: the replaced exception becomes the new one's
// __context__, so a conversion error stays visible behind a clearer message.
[[noreturn]] void raise_chained(PyObject* type, PyObject* message);
[[noreturn]] void raise_chained(PyObject* type, const char* message);

// Holds the current exception while other Python code runs (building a
// message for the exception that will replace it, say); restore() sets it
// again. The destructor drops it when it was not restored.
class SavedError {
public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError()
    {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }
    void restore() noexcept
    {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
    }
    // The exception itself, normalized and carrying its traceback (null when
    // none was set); nothing is held afterwards.
    Ref take_value() noexcept
    {
        PyErr_NormalizeException(&type_, &value_, &traceback_);
        if (value_ != nullptr && traceback_ != nullptr) {
            PyException_SetTraceback(value_, traceback_);
        }
        Ref value = Ref::steal(value_);
        value_ = nullptr;
        Py_CLEAR(type_);
        Py_CLEAR(traceback_);
        return value;
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Takes over a new reference returned by the C API; NULL means an error is set.
inline Ref check(PyObject* p)
{
    if (p == nullptr) {
        throw_python_error();
    }
    return Ref::steal(p);
}

// For C API calls that return -1 on error.
inline int check_status(int rc)
{
    if (rc < 0) {
        throw_python_error();
    }
    return rc;
}

// Sets the Python error for the exception being handled; used by boundary().
void translate_current_exception() noexcept;

// Runs f (which returns a Ref) and returns its new reference, or NULL with a
// Python exception set. No C++ exception leaves this function.
template <class F>
PyObject* boundary(F&& f) noexcept
{
    try {
        return f().release();
    }
    catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

// The same for entry points that report failure as -1.
template <class F>
int boundary_status(F&& f) noexcept
{
    try {
        f();
        return 0;
    }
    catch (...) {
        translate_current_exception();
        return -1;
    }
}

}  // namespace tarnix
