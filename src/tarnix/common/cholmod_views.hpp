// CHOLMOD headers over arrays that Python owns.
//
// A cholmod_sparse or cholmod_dense header filled over a caller's arrays is
// a set of raw pointers: the library reads whatever lies at those addresses
// when it is called. The views below make that safe by construction:
//
//   - A view holds a strong reference to every array its header points into
//     (for a sparse matrix: indptr, indices, data and the matrix itself), for
//     as long as the header lives. An attribute that returns a fresh array
//     each time, or Python code that replaces A.data, cannot free memory the
//     header still points at.
//   - The structure is checked over exactly the memory the header describes:
//     after the header is filled, its pointers, sizes and types are compared
//     with the arrays the view holds.
//
// The rule every call that hands caller data to a library follows:
// everything that may run Python code happens before the views are built.
// That covers truth tests (__bool__), integer and float conversions
// (__index__, __float__), attribute lookups (a subclass's properties, also
// shape, indptr, indices and data themselves), warnings (filters and
// showwarning), issparse, the coercion of the other operands, and methods a
// subclass may override. Then the views are built, the state they are
// checked against (a factor's flags and shape) is read, and the library is
// called; in between nothing runs Python code or lets go of the interpreter
// lock (so no Python object is allocated there either: an allocation may
// start the garbage collector, and with it arbitrary finalizers). Python code
// that writes into the arrays, replaces them or re-initialises the object in
// use therefore runs either before the check, which then sees what it did,
// or after the library returned.
//
// Header-only, for the modules that link CHOLMOD (tarnix.cholmod, tarnix.spqr).
#pragma once

#include "common/buffer.hpp"
#include "common/conversions.hpp"
#include "common/csc.hpp"
#include "common/dispatch.hpp"

#include <cholmod.h>

#include <complex>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

namespace tarnix {

// The arrays of a CSC matrix, looked up once (each lookup may run Python
// code) and held. The shape is read through __index__ into plain integers,
// so that what is passed on and compared later is one fixed pair.
class CscParts {
public:
    CscParts() = default;
    CscParts(const CscParts&) = delete;
    CscParts& operator=(const CscParts&) = delete;
    CscParts(CscParts&&) noexcept = default;
    CscParts& operator=(CscParts&&) noexcept = default;

    // Looks up matrix.shape, .indptr, .indices and .data (by the names
    // interned in the module's state).
    static CscParts of(PyObject* module, PyObject* matrix)
    {
        CscParts parts;
        parts.matrix = Ref::borrow(matrix);
        Ref shape = csc_attribute(module, matrix, CscName::Shape);
        Ref items[2];
        unpack_exact(shape.get(), items, 2);
        parts.nrow = as_int64(items[0].get());
        parts.ncol = as_int64(items[1].get());
        parts.indptr = csc_attribute(module, matrix, CscName::Indptr);
        parts.indices = csc_attribute(module, matrix, CscName::Indices);
        parts.data = csc_attribute(module, matrix, CscName::Data);
        return parts;
    }

    // The same matrix with other index arrays (converted to another width).
    static CscParts with_indices(CscParts&& from, Ref indptr, Ref indices)
    {
        CscParts parts = std::move(from);
        parts.indptr = std::move(indptr);
        parts.indices = std::move(indices);
        return parts;
    }

    Ref matrix;
    Ref indptr;
    Ref indices;
    Ref data;
    long long nrow = 0;
    long long ncol = 0;
};

namespace cholmod_views_detail {

inline PyArrayObject* held_array(const Ref& obj, const char* name)
{
    if (!PyArray_Check(obj.get())) {
        raise_format(PyExc_ValueError, "A.%s must be a NumPy array, got %.200s", name, Py_TYPE(obj.get())->tp_name);
    }
    return reinterpret_cast<PyArrayObject*>(obj.get());
}

inline int value_xtype(PyArrayObject* data)
{
    switch (PyArray_TYPE(data)) {
    case NPY_FLOAT64: return CHOLMOD_REAL;
    case NPY_COMPLEX128: return CHOLMOD_COMPLEX;
    default: return -1;
    }
}

}  // namespace cholmod_views_detail

// A cholmod_sparse header over a CSC matrix's arrays. `fill` is the callable
// that fills it (tarnix.cholmod._cholmod_sparse_from_csc, as the module binds
// it: fill(shape, indptr, indices, data, 0, address)); `trusted` says whether
// it is that function itself, which checks the structure (column pointers,
// row indices in range, sorted and unique) before it writes the header.
// Any other callable may be Python code, so the structure is then checked
// here, after it returned.
class SparseView {
public:
    SparseView(CscParts parts, PyObject* fill, bool trusted) : parts_(std::move(parts))
    {
        namespace d = cholmod_views_detail;
        PyArrayObject* p = d::held_array(parts_.indptr, "indptr");
        PyArrayObject* i = d::held_array(parts_.indices, "indices");
        PyArrayObject* x = d::held_array(parts_.data, "data");
        Ref shape = check(Py_BuildValue("(LL)", parts_.nrow, parts_.ncol));
        Ref stype = check(PyLong_FromLong(0));
        Ref address = check(PyLong_FromVoidPtr(&header_));
        PyObject* args[] = {shape.get(), parts_.indptr.get(), parts_.indices.get(), parts_.data.get(), stype.get(),
                            address.get()};
        header_ = cholmod_sparse{};
        check(PyObject_Vectorcall(fill, args, 6, nullptr));
        if (!trusted) {
            check_structure();
        }
        // The header must describe exactly the memory that was checked and
        // that this view keeps alive.
        const int itemsize = static_cast<int>(PyArray_ITEMSIZE(p));
        const bool ok = header_.p == PyArray_DATA(p) && header_.i == PyArray_DATA(i) &&
                        header_.x == PyArray_DATA(x) && header_.nz == nullptr && header_.z == nullptr &&
                        static_cast<long long>(header_.nrow) == parts_.nrow &&
                        static_cast<long long>(header_.ncol) == parts_.ncol && header_.packed && header_.stype == 0 &&
                        header_.dtype == CHOLMOD_DOUBLE && header_.xtype == d::value_xtype(x) &&
                        header_.itype == (itemsize == 4 ? CHOLMOD_INT : CHOLMOD_LONG) &&
                        PyArray_TYPE(p) == PyArray_TYPE(i) && (itemsize == 4 || itemsize == 8);
        if (!ok) {
            header_ = cholmod_sparse{};
            raise(PyExc_ValueError, "_cholmod_sparse_from_csc did not describe the matrix's own arrays");
        }
    }
    SparseView(const SparseView&) = delete;
    SparseView& operator=(const SparseView&) = delete;
    SparseView(SparseView&&) noexcept = default;

    // The header over index arrays the native path of coerce_csc copied and
    // checked (CscInput's indptr_copy and indices_copy, which nothing else
    // references) and the matrix's data, which is read now: Python code that
    // ran since the check may have replaced it, so its type and length are
    // checked here. Empty when data is not a plain float64 or complex128
    // vector of at least nnz values: the general path then decides.
    static std::optional<SparseView> over_checked(PyObject* module, const CscInput& in)
    {
        namespace d = cholmod_views_detail;
        Ref data = csc_attribute(module, in.matrix.get(), CscName::Data);
        auto* p = reinterpret_cast<PyArrayObject*>(in.indptr_copy.get());
        auto* i = reinterpret_cast<PyArrayObject*>(in.indices_copy.get());
        auto* x = reinterpret_cast<PyArrayObject*>(data.get());
        const int xtype = PyArray_Check(data.get()) ? d::value_xtype(x) : -1;
        if (xtype < 0 || PyArray_NDIM(x) != 1 || !PyArray_IS_C_CONTIGUOUS(x) || !PyArray_ISALIGNED(x) ||
            !PyArray_ISNOTSWAPPED(x) || !PyArray_ISWRITEABLE(x) || PyArray_DIM(x, 0) < PyArray_DIM(i, 0)) {
            return std::nullopt;
        }
        CscParts parts;
        parts.matrix = in.matrix;
        parts.indptr = in.indptr_copy;
        parts.indices = in.indices_copy;
        parts.data = std::move(data);
        parts.nrow = in.nrows;
        parts.ncol = in.ncols;
        const bool int32 = PyArray_ITEMSIZE(p) == 4;
        cholmod_sparse h{};
        h.nrow = static_cast<size_t>(in.nrows);
        h.ncol = static_cast<size_t>(in.ncols);
        h.nzmax = static_cast<size_t>(PyArray_DIM(i, 0));
        h.p = PyArray_DATA(p);
        h.i = PyArray_DATA(i);
        h.x = PyArray_DATA(x);
        h.itype = int32 ? CHOLMOD_INT : CHOLMOD_LONG;
        h.xtype = xtype;
        h.dtype = CHOLMOD_DOUBLE;
        h.sorted = 1;
        h.packed = 1;
        return SparseView(std::move(parts), h);
    }

    cholmod_sparse* get() noexcept { return &header_; }
    const cholmod_sparse& header() const noexcept { return header_; }
    bool int32() const noexcept { return header_.itype == CHOLMOD_INT; }
    bool real() const noexcept { return header_.xtype == CHOLMOD_REAL; }
    PyObject* matrix() const noexcept { return parts_.matrix.get(); }

private:
    SparseView(CscParts parts, const cholmod_sparse& header) noexcept : parts_(std::move(parts)), header_(header) {}

    void check_structure()
    {
        dispatch_index_width(parts_.indptr.get(), [&](auto index) {
            using I = decltype(index);
            Vector<I> Ap(parts_.indptr.get(), "indptr");
            Vector<I> Ai(parts_.indices.get(), "indices");
            require_length(Ap.size(), "indptr", parts_.ncol + 1, "ncol + 1");
            require_canonical_pattern(Ap, Ai, parts_.nrow);
            const long long nnz = Ap[parts_.ncol];
            const auto* x = reinterpret_cast<PyArrayObject*>(parts_.data.get());
            if (PyArray_NDIM(x) != 1 || PyArray_DIM(x, 0) < nnz) {
                raise(PyExc_ValueError, "data must hold at least nnz values");
            }
        });
    }

    CscParts parts_;
    cholmod_sparse header_{};
};

// A cholmod_dense header over a two-dimensional, column-major, writable array
// of T (double or std::complex<double>), filled by one of tarnix.cholmod's
// cholmod_dense_from_ndarray entries. The header lives as long as the view,
// which holds the array.
template <class T>
class DenseView {
public:
    using Fill = int (*)(void* data, size_t nrow, size_t ncol, size_t ld, cholmod_dense* out);

    DenseView(PyObject* array, const char* name, Fill fill)
        : array_(Ref::borrow(not_none(array, name))), view_(array, name)
    {
        static_assert(std::is_same_v<T, double> || std::is_same_v<T, std::complex<double>>, "value type");
        const auto rows = static_cast<size_t>(view_.rows());
        if (fill(view_.data(), rows, static_cast<size_t>(view_.cols()), rows, &header_) < 0) {
            throw PythonError{};
        }
        const int xtype = std::is_same_v<T, double> ? CHOLMOD_REAL : CHOLMOD_COMPLEX;
        if (header_.x != view_.data() || header_.nrow != rows || header_.d != rows ||
            header_.ncol != static_cast<size_t>(view_.cols()) || header_.xtype != xtype ||
            header_.dtype != CHOLMOD_DOUBLE) {
            header_ = cholmod_dense{};
            raise_format(PyExc_ValueError, "cholmod_dense_from_ndarray did not describe %s", name);
        }
    }
    DenseView(const DenseView&) = delete;
    DenseView& operator=(const DenseView&) = delete;

    cholmod_dense* get() noexcept { return &header_; }
    Py_ssize_t rows() const noexcept { return view_.rows(); }
    Py_ssize_t cols() const noexcept { return view_.cols(); }

private:
    Ref array_;
    Matrix<T> view_;
    cholmod_dense header_{};
};

}  // namespace tarnix
