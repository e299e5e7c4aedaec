// Typed views of array arguments.
//
// Vector<T> views a one-dimensional, C-contiguous, writable array of element
// type T; Matrix<T> a two-dimensional, column-major (Fortran-contiguous),
// writable one. NumPy arrays are viewed directly; any other object through the
// buffer protocol. A view never copies: what does not fit raises ValueError
// (wrong dtype, number of dimensions, layout, or a read-only array), naming
// the argument. Views are non-copyable RAII guards; name them.
#pragma once

#include "common/errors.hpp"

#include <complex>
#include <cstdint>
#include <initializer_list>
#include <limits>

namespace tarnix {

// Element types of the views, with the names used in messages.
struct ElementType {
    char kind;          // NumPy kind: 'i' signed integer, 'f' float, 'c' complex
    int itemsize;
    const char* name;   // for messages
};

template <class T>
struct element_type;
template <>
struct element_type<int32_t> {
    static constexpr ElementType value{'i', 4, "int32_t"};
};
template <>
struct element_type<int64_t> {
    static constexpr ElementType value{'i', 8, "int64_t"};
};
template <>
struct element_type<double> {
    static constexpr ElementType value{'f', 8, "double"};
};
template <>
struct element_type<std::complex<double>> {
    static constexpr ElementType value{'c', 16, "double complex"};
};

// The element kind and size described by a struct-module format string, or
// kind 0 when it is not a plain numeric type in native byte order.
struct FormatInfo {
    char kind = 0;
    int itemsize = 0;
};
FormatInfo parse_format(const char* fmt);

// True when obj is an array (or buffer) whose elements are of this type,
// whatever its shape and layout. Used to select among typed variants.
bool has_element_type(PyObject* obj, const ElementType& type);

enum class Layout : unsigned char { C, Fortran };

// Untyped core of the views.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(PyObject* obj, const char* name, const ElementType& type, int ndim, Layout layout);
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    BufferView(BufferView&& other) noexcept;
    BufferView& operator=(BufferView&& other) noexcept;
    ~BufferView() = default;

    void* data() const noexcept { return data_; }
    Py_ssize_t shape(int axis) const noexcept { return shape_[axis]; }

private:
    // The exported buffer of a non-NumPy object; a member, so that it is
    // released also when the constructor throws after acquiring it.
    struct Export {
        Py_buffer view{};
        bool held = false;
        Export() noexcept = default;
        Export(const Export&) = delete;
        Export& operator=(const Export&) = delete;
        ~Export() { release(); }
        void release() noexcept
        {
            if (held) {
                PyBuffer_Release(&view);
                held = false;
            }
        }
    };

    void* data_ = nullptr;
    Py_ssize_t shape_[2] = {0, 0};
    Export export_;
};

// obj, unless it is None: TypeError "Argument '<name>' must not be None".
inline PyObject* not_none(PyObject* obj, const char* name)
{
    if (obj == Py_None) {
        raise_format(PyExc_TypeError, "Argument '%.200s' must not be None", name);
    }
    return obj;
}

// One-dimensional, C-contiguous, writable array of T. A default-constructed
// Vector (or one made from None by optional()) is null: data() is NULL.
template <class T>
class Vector {
public:
    Vector() noexcept = default;
    Vector(PyObject* obj, const char* name)
        : view_(not_none(obj, name), name, element_type<T>::value, 1, Layout::C)
    {
    }
    // None gives a null view.
    static Vector optional(PyObject* obj, const char* name)
    {
        return obj == Py_None ? Vector() : Vector(obj, name);
    }

    T* data() const noexcept { return static_cast<T*>(view_.data()); }
    Py_ssize_t size() const noexcept { return view_.shape(0); }
    bool is_null() const noexcept { return view_.data() == nullptr; }
    T& operator[](Py_ssize_t i) const noexcept { return data()[i]; }

private:
    BufferView view_;
};

// Two-dimensional, column-major, writable array of T.
template <class T>
class Matrix {
public:
    Matrix(PyObject* obj, const char* name)
        : view_(not_none(obj, name), name, element_type<T>::value, 2, Layout::Fortran)
    {
    }

    T* data() const noexcept { return static_cast<T*>(view_.data()); }
    Py_ssize_t rows() const noexcept { return view_.shape(0); }
    Py_ssize_t cols() const noexcept { return view_.shape(1); }

private:
    BufferView view_;
};

// The bytes a view occupies, named after its argument: what the overlap
// check below compares. A null or empty view occupies nothing.
struct MemorySpan {
    const char* name;
    uintptr_t begin;
    uintptr_t end;
};

template <class T>
MemorySpan span_of(const Vector<T>& v, const char* name) noexcept
{
    const auto begin = reinterpret_cast<uintptr_t>(v.data());
    return MemorySpan{name, begin, begin + static_cast<uintptr_t>(v.size()) * sizeof(T)};
}

// The libraries write their outputs while they read their other arguments:
// an output that shares memory with another array argument (as
// np.shares_memory would find for these contiguous views) changes what they
// read mid-call, which BTF and CAMD answer with endless loops and writes out
// of bounds. ValueError naming the two arguments when any output overlaps
// another output or an input; inputs that are only read may overlap each other.
void require_disjoint(std::initializer_list<MemorySpan> outputs, std::initializer_list<MemorySpan> inputs);

// n + 1, for a size argument n that an array of n + 1 entries must match.
// Past PY_SSIZE_T_MAX - 1 no array is that long, and at the top of the range
// the sum would overflow, so such an n is refused before adding.
long long one_more(long long n, const char* name);

// Length checks of the views handed to a library, made before the call.
// The message names the argument, the required and the actual length, e.g.
// "perm must have N + 1 = 6 entries, got 5".
void require_length(Py_ssize_t actual, const char* name, long long required, const char* what);
void require_min_length(Py_ssize_t actual, const char* name, long long required, const char* what);

// A dimension given as an integer argument is not negative: the libraries
// size loops and offsets by it.
void require_non_negative(long long value, const char* name);

// Narrows a size to the index type of a specialization, refusing values that
// do not fit (the 32-bit library routines would otherwise see another size).
template <class I>
I narrow_size(long long value, const char* name)
{
    if (value < static_cast<long long>(std::numeric_limits<I>::min()) ||
        value > static_cast<long long>(std::numeric_limits<I>::max())) {
        raise_format(PyExc_OverflowError, "%s = %lld does not fit in a %d-bit index", name, value,
                     static_cast<int>(8 * sizeof(I)));
    }
    return static_cast<I>(value);
}

}  // namespace tarnix
