// Typed views of array arguments: NumPy arrays directly, other objects through
// the buffer protocol; and the length, overlap and size checks made on views.
#include "common/buffer.hpp"
#include "common/surface.hpp"

#include <cstring>
#include <utility>

namespace tarnix {
namespace {

bool little_endian() noexcept
{
    const uint16_t one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

}  // namespace

namespace {

// Skips the byte-order prefix of fmt. False when it asks for the other
// byte order than this machine's; native_sizes is false after '=', '<', '>'
// and '!', which give the standard sizes.
bool skip_byte_order(const char*& fmt, bool& native_sizes) noexcept
{
    native_sizes = true;
    switch (*fmt) {
    case '@':
        ++fmt;
        return true;
    case '=':
        native_sizes = false;
        ++fmt;
        return true;
    case '<':
    case '>':
    case '!':
        native_sizes = false;
        return (*fmt++ == '<') == little_endian();
    default:
        return true;
    }
}

// The element of one struct-module code (kind 0 when it is none we read).
FormatInfo element_of(char code, bool native_sizes) noexcept
{
    switch (code) {
    case 'b': return {'i', 1};
    case 'h': return {'i', 2};
    case 'i': return {'i', 4};
    case 'l': return {'i', native_sizes ? static_cast<int>(sizeof(long)) : 4};
    case 'q': return {'i', 8};
    case 'n': return {'i', native_sizes ? static_cast<int>(sizeof(Py_ssize_t)) : 0};
    case 'B': return {'u', 1};
    case 'H': return {'u', 2};
    case 'I': return {'u', 4};
    case 'L': return {'u', native_sizes ? static_cast<int>(sizeof(unsigned long)) : 4};
    case 'Q': return {'u', 8};
    case 'e': return {'f', 2};
    case 'f': return {'f', 4};
    case 'd': return {'f', 8};
    case 'g': return {'f', static_cast<int>(sizeof(long double))};
    case '?': return {'b', 1};
    default: return FormatInfo{};
    }
}

}  // namespace

FormatInfo parse_format(const char* fmt)
{
    if (fmt == nullptr) {
        fmt = "B";
    }
    bool native_sizes = true;
    if (!skip_byte_order(fmt, native_sizes)) {
        return FormatInfo{};
    }
    const bool complex = *fmt == 'Z';
    if (complex) {
        ++fmt;
    }
    if (fmt[0] == '\0' || fmt[1] != '\0') {
        return FormatInfo{};
    }
    FormatInfo info = element_of(fmt[0], native_sizes);
    if (complex) {
        if (info.kind != 'f') {
            return FormatInfo{};
        }
        info.kind = 'c';
        info.itemsize *= 2;
    }
    return info;
}

namespace {

bool descr_matches(PyArray_Descr* descr, const ElementType& type) noexcept
{
    return descr->kind == type.kind && PyDataType_ELSIZE(descr) == type.itemsize &&
           PyArray_ISNBO(descr->byteorder) && !PyDataType_HASFIELDS(descr) &&
           !PyDataType_HASSUBARRAY(descr);
}

[[noreturn]] void raise_dtype_mismatch(const char* name, const ElementType& type, PyObject* got)
{
    raise_format(PyExc_ValueError, surface::buffer_dtype_mismatch, name, type.name, got);
}

}  // namespace

bool has_element_type(PyObject* obj, const ElementType& type)
{
    if (PyArray_Check(obj)) {
        return descr_matches(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj)), type);
    }
    if (!PyObject_CheckBuffer(obj)) {
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
        PyErr_Clear();
        return false;
    }
    FormatInfo info = parse_format(view.format);
    bool ok = info.kind == type.kind && info.itemsize == type.itemsize && view.itemsize == type.itemsize;
    PyBuffer_Release(&view);
    return ok;
}

BufferView::BufferView(PyObject* obj, const char* name, const ElementType& type, int ndim, Layout layout)
{
    const char* layout_name = layout == Layout::C ? surface::layout_c : surface::layout_fortran;
    if (PyArray_Check(obj)) {
        auto* arr = reinterpret_cast<PyArrayObject*>(obj);
        if (PyArray_NDIM(arr) != ndim) {
            raise_format(PyExc_ValueError, surface::buffer_dimensions, ndim, PyArray_NDIM(arr), name);
        }
        if (!descr_matches(PyArray_DESCR(arr), type)) {
            raise_dtype_mismatch(name, type, reinterpret_cast<PyObject*>(PyArray_DESCR(arr)));
        }
        const bool contiguous = layout == Layout::C ? PyArray_IS_C_CONTIGUOUS(arr) : PyArray_IS_F_CONTIGUOUS(arr);
        if (!contiguous) {
            raise_format(PyExc_ValueError, surface::ndarray_layout, layout_name, name);
        }
        if (!PyArray_ISALIGNED(arr)) {
            raise_format(PyExc_ValueError, surface::ndarray_unaligned, name);
        }
        if (!PyArray_ISWRITEABLE(arr)) {
            raise_format(PyExc_ValueError, surface::read_only, name);
        }
        data_ = PyArray_DATA(arr);
        for (int i = 0; i < ndim; ++i) {
            shape_[i] = PyArray_DIM(arr, i);
        }
        return;
    }

    Py_buffer& buffer = export_.view;
    if (PyObject_GetBuffer(obj, &buffer, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
        throw PythonError{};
    }
    export_.held = true;
    if (buffer.ndim != ndim) {
        raise_format(PyExc_ValueError, surface::buffer_dimensions, ndim, buffer.ndim, name);
    }
    FormatInfo info = parse_format(buffer.format);
    if (info.kind != type.kind || info.itemsize != type.itemsize || buffer.itemsize != type.itemsize) {
        Ref got = check(PyUnicode_FromString(buffer.format != nullptr ? buffer.format : "B"));
        raise_dtype_mismatch(name, type, got.get());
    }
    if (!PyBuffer_IsContiguous(&buffer, layout == Layout::C ? 'C' : 'F')) {
        raise_format(PyExc_ValueError, surface::buffer_layout, layout_name, name);
    }
    const auto alignment = static_cast<uintptr_t>(type.itemsize > 8 ? 8 : type.itemsize);
    if (reinterpret_cast<uintptr_t>(buffer.buf) % alignment != 0) {
        raise_format(PyExc_ValueError, surface::buffer_unaligned, name);
    }
    data_ = buffer.buf;
    for (int i = 0; i < ndim; ++i) {
        shape_[i] = buffer.shape[i];
    }
}

BufferView::BufferView(BufferView&& other) noexcept
    : data_(std::exchange(other.data_, nullptr))
{
    shape_[0] = other.shape_[0];
    shape_[1] = other.shape_[1];
    export_.view = other.export_.view;
    export_.held = std::exchange(other.export_.held, false);
}

BufferView& BufferView::operator=(BufferView&& other) noexcept
{
    if (this != &other) {
        export_.release();
        data_ = std::exchange(other.data_, nullptr);
        shape_[0] = other.shape_[0];
        shape_[1] = other.shape_[1];
        export_.view = other.export_.view;
        export_.held = std::exchange(other.export_.held, false);
    }
    return *this;
}

void require_length(Py_ssize_t actual, const char* name, long long required, const char* what)
{
    if (actual != required) {
        raise_format(PyExc_ValueError, surface::length_exact, name, what, required, actual);
    }
}

void require_min_length(Py_ssize_t actual, const char* name, long long required, const char* what)
{
    if (actual < required) {
        raise_format(PyExc_ValueError, surface::length_at_least, name, what, required, actual);
    }
}

void require_disjoint(std::initializer_list<MemorySpan> outputs, std::initializer_list<MemorySpan> inputs)
{
    auto overlap = [](const MemorySpan& a, const MemorySpan& b) {
        return a.begin < a.end && b.begin < b.end && a.begin < b.end && b.begin < a.end;
    };
    auto refuse = [](const MemorySpan& out, const MemorySpan& other) {
        raise_format(PyExc_ValueError,
                     "Arguments '%s' and '%s' share memory: an output array must not overlap another array argument",
                     out.name, other.name);
    };
    for (auto out = outputs.begin(); out != outputs.end(); ++out) {
        for (auto other = outputs.begin(); other != out; ++other) {
            if (overlap(*out, *other)) {
                refuse(*other, *out);
            }
        }
        for (const MemorySpan& in : inputs) {
            if (overlap(*out, in)) {
                refuse(*out, in);
            }
        }
    }
}

long long one_more(long long n, const char* name)
{
    if (n >= static_cast<long long>(PY_SSIZE_T_MAX)) {
        raise_format(PyExc_ValueError, surface::size_too_large, name, n, name);
    }
    return n + 1;
}

void require_non_negative(long long value, const char* name)
{
    if (value < 0) {
        raise_format(PyExc_ValueError, surface::negative_size, name, value);
    }
}

}  // namespace tarnix
