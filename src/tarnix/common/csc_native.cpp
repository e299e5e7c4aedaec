// The native path of validate_csc_input for matrices that are already
// canonical CSC: what it binds at import, and the one pass over a call's
// argument. Anything it does not recognise goes to the Python function.
#include "common/csc_native.hpp"
#include "common/canonical.hpp"
#include "common/csc_result.hpp"
#include "common/module.hpp"

#include <cstdint>
#include <iterator>
#include <limits>
#include <utility>

namespace tarnix {
namespace {

// The names of CscName, in its order: the tuple in the state.
constexpr const char* names[] = {"validate_csc_input", "shape", "format", "indptr", "indices", "data", "nnz"};
constexpr Py_ssize_t name_count = static_cast<Py_ssize_t>(std::size(names));
static_assert(name_count == static_cast<Py_ssize_t>(CscName::Nnz) + 1, "one name per CscName");

PyObject* name(const ModuleState& st, CscName which)
{
    return PyTuple_GET_ITEM(st.csc_names, static_cast<Py_ssize_t>(which));
}

// obj.<name>, or empty when obj has no such attribute; other errors propagate.
Ref attribute(PyObject* obj, PyObject* attr_name)
{
    PyObject* value = PyObject_GetAttr(obj, attr_name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw PythonError{};
        }
        PyErr_Clear();
    }
    return Ref::steal(value);
}

// The array A.<name> when it is a NumPy array itself (a subclass may
// override what the checks read), one-dimensional and viewable in place:
// C-contiguous, writable, aligned, native byte order.
PyArrayObject* plain_vector(const Ref& arr)
{
    if (!arr || !PyArray_CheckExact(arr.get())) {
        return nullptr;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
    const bool usable = PyArray_NDIM(a) == 1 && PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISWRITEABLE(a) &&
                        PyArray_ISALIGNED(a) && PyArray_ISNOTSWAPPED(a);
    return usable ? a : nullptr;
}

// A non-negative int (not a subclass) that fits 64 bits.
bool plain_dimension(PyObject* d, long long& out)
{
    if (!PyLong_CheckExact(d)) {
        return false;
    }
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(d, &overflow);
    return overflow == 0 && out >= 0;
}

bool plain_shape(const Ref& shape, long long& nrows, long long& ncols)
{
    return shape && PyTuple_CheckExact(shape.get()) && PyTuple_GET_SIZE(shape.get()) == 2 &&
           plain_dimension(PyTuple_GET_ITEM(shape.get(), 0), nrows) &&
           plain_dimension(PyTuple_GET_ITEM(shape.get(), 1), ncols);
}

bool is_csc_format(const Ref& format)
{
    return format && PyUnicode_CheckExact(format.get()) && PyUnicode_CompareWithASCIIString(format.get(), "csc") == 0;
}

// A new array like `like` (its dtype) of n entries.
Ref new_like(PyArrayObject* like, npy_intp n)
{
    npy_intp dims[1] = {n};
    return check(PyArray_SimpleNew(1, dims, PyArray_TYPE(like)));
}

// The check in one index width, in place or on copies (stored in `out`).
template <class I>
bool canonical_of(PyArrayObject* indptr, PyArrayObject* indices, long long nrows, long long ncols, PatternCopy copy,
                  CscInput& out)
{
    const long long nnz = PyArray_DIM(indices, 0);
    if (copy == PatternCopy::None) {
        return is_canonical(static_cast<const I*>(PyArray_DATA(indptr)), ncols,
                            static_cast<const I*>(PyArray_DATA(indices)), nnz, nrows);
    }
    // The copies first, the caller's arrays read after: nothing between
    // taking their addresses and the pass.
    Ref P = new_like(indptr, static_cast<npy_intp>(ncols + 1));
    Ref R = new_like(indices, static_cast<npy_intp>(nnz));
    if (PyArray_DIM(indptr, 0) != ncols + 1 || PyArray_DIM(indices, 0) != nnz) {
        return false;
    }
    if (!copy_canonical(static_cast<const I*>(PyArray_DATA(indptr)), ncols,
                        static_cast<const I*>(PyArray_DATA(indices)), nnz, nrows,
                        static_cast<I*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(P.get()))),
                        static_cast<I*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(R.get()))))) {
        return false;
    }
    out.indptr_copy = std::move(P);
    out.indices_copy = std::move(R);
    return true;
}

// The structure check in the arrays' own index width; false for any other width.
bool canonical_structure(PyArrayObject* indptr, PyArrayObject* indices, long long nrows, long long ncols,
                         PatternCopy copy, CscInput& out)
{
    const int type = PyArray_TYPE(indptr);
    if (type != PyArray_TYPE(indices) || PyArray_DIM(indptr, 0) != ncols + 1) {
        return false;
    }
    if (type == NPY_INT32) {
        // validate_csc_input widens the indices of a matrix with a dimension beyond int32.
        constexpr long long top = std::numeric_limits<int32_t>::max();
        return nrows <= top && ncols <= top && canonical_of<int32_t>(indptr, indices, nrows, ncols, copy, out);
    }
    if (type == NPY_INT64) {
        return canonical_of<int64_t>(indptr, indices, nrows, ncols, copy, out);
    }
    return false;
}

}  // namespace

void bind_csc_input(PyObject* module)
{
    auto& st = module_state<ModuleState>(module);
    Ref tuple = check(PyTuple_New(name_count));
    for (Py_ssize_t k = 0; k < name_count; ++k) {
        PyObject* s = PyUnicode_InternFromString(names[k]);
        if (s == nullptr) {
            throw PythonError{};
        }
        PyTuple_SET_ITEM(tuple.get(), k, s);
    }
    st.csc_names = tuple.release();
    Ref csc_array = import_attr("scipy.sparse", "csc_array");
    Ref csc_matrix = import_attr("scipy.sparse", "csc_matrix");
    if (!PyType_Check(csc_array.get()) || !PyType_Check(csc_matrix.get())) {
        raise(PyExc_TypeError, "scipy.sparse.csc_array and csc_matrix must be classes");
    }
    st.csc_array_type = csc_array.release();
    st.csc_matrix_type = csc_matrix.release();
    st.csc_prototype = csc_prototype(st.csc_array_type).release();
    Ref validate = dict_lookup(PyModule_GetDict(module), name(st, CscName::Validate));
    if (!validate) {
        return;
    }
    st.validate_csc_input = validate.release();
}

PyObject* csc_name(PyObject* module, CscName which)
{
    return name(module_state<ModuleState>(module), which);
}

Ref csc_attribute(PyObject* module, PyObject* matrix, CscName which)
{
    return check(PyObject_GetAttr(matrix, csc_name(module, which)));
}

bool take_canonical_csc(PyObject* module, PyObject* validate, PyObject* A, bool require_square, PatternCopy copy,
                        CscInput& out)
{
    const auto& st = module_state<ModuleState>(module);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(A));
    if (validate != st.validate_csc_input || st.validate_csc_input == nullptr ||
        (type != st.csc_array_type && type != st.csc_matrix_type)) {
        return false;
    }
    // The same attributes validate_csc_input reads; of these classes they
    // are plain instance attributes or SciPy properties returning one.
    if (!is_csc_format(attribute(A, name(st, CscName::Format)))) {
        return false;
    }
    Ref indptr = attribute(A, name(st, CscName::Indptr));
    Ref indices = attribute(A, name(st, CscName::Indices));
    Ref data = attribute(A, name(st, CscName::Data));
    long long nrows = 0;
    long long ncols = 0;
    if (!plain_shape(attribute(A, name(st, CscName::Shape)), nrows, ncols) || (require_square && nrows != ncols)) {
        return false;
    }
    PyArrayObject* p = plain_vector(indptr);
    PyArrayObject* i = plain_vector(indices);
    PyArrayObject* x = plain_vector(data);
    if (p == nullptr || i == nullptr || x == nullptr || (PyArray_TYPE(x) != NPY_DOUBLE && PyArray_TYPE(x) != NPY_CDOUBLE) ||
        PyArray_DIM(x, 0) != PyArray_DIM(i, 0) || !canonical_structure(p, i, nrows, ncols, copy, out)) {
        return false;
    }
    out.matrix = Ref::borrow(A);
    out.index_dtype = Ref::borrow(reinterpret_cast<PyObject*>(PyArray_DESCR(p)));
    out.nrows = nrows;
    out.ncols = ncols;
    out.nnz = PyArray_DIM(i, 0);
    return true;
}

}  // namespace tarnix
