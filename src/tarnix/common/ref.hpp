// Owned references to Python objects.
#pragma once

#include "common/python.hpp"

#include <utility>

namespace tarnix {

// An owned (strong) reference. It is built only by saying how: steal() takes
// over a new reference, borrow() adds one. release() hands the pointer back
// and empties the holder. Assignment drops the old reference last, so an
// object may safely be replaced by something it owns.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept
    {
        std::swap(p_, other.p_);
        return *this;  // the old object dies with `other`
    }

    static Ref steal(PyObject* p) noexcept
    {
        Ref r;
        r.p_ = p;
        return r;
    }
    static Ref borrow(PyObject* p) noexcept
    {
        Py_XINCREF(p);
        return steal(p);
    }
    static Ref none() noexcept { return borrow(Py_None); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace tarnix
