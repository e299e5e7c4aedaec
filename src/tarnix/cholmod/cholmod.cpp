// tarnix.cholmod: conversions between NumPy/SciPy objects and CHOLMOD's
// matrix records, for the modules that call SuiteSparse through CHOLMOD.
//
// Python sees two private functions: _cholmod_sparse_from_csc, which fills a
// caller-owned cholmod_sparse header viewing a CSC matrix's arrays, and
// _cholesky_counts (counts.cpp); the rest is exported to native code in the
// capsule table described in capi.hpp.
//
// Results handed to Python keep the memory CHOLMOD allocated: the arrays are
// moved out of the record (which is then freed as an empty shell) and each
// becomes the buffer of a NumPy array whose base is a small owner object that
// returns it with SuiteSparse_free when the last array using it dies.

#include "common/cholmod_routines.hpp"
#include "common/dispatch.hpp"
#include "common/engine/cholmod_owner.hpp"
#include "common/csc_result.hpp"
#include "common/tarnix.hpp"

#include "cholmod/capi.hpp"
#include "cholmod/counts.hpp"
#include "cholmod/surface.hpp"

#include <atomic>
#include <complex>
#include <cstring>
#include <utility>

namespace {

using namespace tarnix;
namespace capi = tarnix::cholmod_capi;

// ---------------------------------------------------------------------------
// Module state

struct State : ModuleState {
    PyObject* memory_type;  // owner of SuiteSparse-allocated buffers
    static constexpr PyObject* State::*objects[] = {&State::memory_type};
};

// The conversions are called from other modules, without a module argument:
// they reach this module's state through this pointer, set once at import.
State* g_state = nullptr;

// ---------------------------------------------------------------------------
// Owner of a block allocated by SuiteSparse

struct MemoryObject {
    PyObject_HEAD
    void* data;
};

void memory_dealloc(PyObject* op) noexcept
{
    PyTypeObject* type = Py_TYPE(op);
    SuiteSparse_free(reinterpret_cast<MemoryObject*>(op)->data);
    type->tp_free(op);
    Py_DECREF(type);
}

PyType_Slot memory_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(memory_dealloc)},
    {Py_tp_doc, const_cast<char*>("Memory allocated by SuiteSparse, released with SuiteSparse_free.")},
    {0, nullptr},
};

PyType_Spec memory_spec = {
    "tarnix.cholmod._SuiteSparseMemory",
    sizeof(MemoryObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    memory_slots,
};

// ---------------------------------------------------------------------------
// Refusing Python-side allocations (for the test suite)
//
// The hand-offs below create Python objects while they hold blocks that
// SuiteSparse allocated. tarnix._testing sets `fail_at` through the capsule
// table to make the k-th such creation fail, so that the test suite can show
// that every block is still freed exactly once. Inert while fail_at is -1.
// Built with the test hooks only (TARNIX_TESTING); a release admits every
// creation.

#ifdef TARNIX_TESTING

// Atomic: hand-offs run in several threads at once, without the GIL on a
// free-threaded interpreter; each count is taken by exactly one of them.
struct PythonRefusals {
    std::atomic<long long> fail_at{-1};
    std::atomic<long long> count{0};
    std::atomic<bool> failed{false};
};
PythonRefusals g_refusals;

// Called before each Python object a hand-off creates.
void admit_python_allocation()
{
    const long long fail_at = g_refusals.fail_at.load();
    if (fail_at < 0) {
        return;
    }
    if (g_refusals.count.fetch_add(1) == fail_at) {
        g_refusals.failed.store(true);
        PyErr_NoMemory();
        throw PythonError{};
    }
}

void capi_refuse_python_allocation(long long index) noexcept
{
    g_refusals.fail_at.store(-1);  // inert while the counts are reset
    g_refusals.count.store(0);
    g_refusals.failed.store(false);
    g_refusals.fail_at.store(index < 0 ? -1 : index);
}

long long capi_python_allocation_report(int* failed) noexcept
{
    *failed = g_refusals.failed.load();
    return g_refusals.count.load();
}
#else
void admit_python_allocation() noexcept {}
#endif

// An owner that holds no block yet. Blocks are moved into it with adopt(),
// so that each one has an owner from the moment it leaves its record.
Ref new_memory_owner()
{
    admit_python_allocation();
    auto* type = reinterpret_cast<PyTypeObject*>(g_state->memory_type);
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) {
        throw PythonError{};
    }
    reinterpret_cast<MemoryObject*>(obj)->data = nullptr;
    return Ref::steal(obj);
}

// Moves *block into the owner (which frees it) and clears *block.
void adopt(const Ref& owner, void** block) noexcept
{
    reinterpret_cast<MemoryObject*>(owner.get())->data = std::exchange(*block, nullptr);
}

// A 1-D or 2-D NumPy array over memory owned by `owner`.
Ref array_over(const Ref& owner, int typenum, int ndim, npy_intp* dims, npy_intp* strides)
{
    admit_python_allocation();
    void* data = reinterpret_cast<MemoryObject*>(owner.get())->data;
    PyArray_Descr* descr = PyArray_DescrFromType(typenum);
    if (descr == nullptr) {
        throw PythonError{};
    }
    Ref arr = check(PyArray_NewFromDescr(&PyArray_Type, descr, ndim, dims, strides, data, NPY_ARRAY_WRITEABLE,
                                         nullptr));
    check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), Ref(owner).release()));
    return arr;
}

// ---------------------------------------------------------------------------
// Library records owned until handed over

// CHOLMOD keeps count of what it allocated through a common; moving a block
// out of a record must move it out of that count too.
void forget_block(cholmod_common* cm, size_t bytes)
{
    cm->memory_inuse = cm->memory_inuse > bytes ? cm->memory_inuse - bytes : 0;
    if (cm->malloc_count > 0) {
        --cm->malloc_count;
    }
}

size_t value_size(int xtype, int dtype)
{
    const size_t real = dtype == CHOLMOD_SINGLE ? sizeof(float) : sizeof(double);
    return xtype == CHOLMOD_COMPLEX ? 2 * real : real;
}

int value_typenum(int xtype, int dtype)
{
    if (dtype == CHOLMOD_SINGLE) {
        return xtype == CHOLMOD_COMPLEX ? NPY_COMPLEX64 : NPY_FLOAT32;
    }
    return xtype == CHOLMOD_COMPLEX ? NPY_COMPLEX128 : NPY_FLOAT64;
}

void require_numeric_values(int xtype, int dtype, const char* what)
{
    if ((xtype != CHOLMOD_REAL && xtype != CHOLMOD_COMPLEX) ||
        (dtype != CHOLMOD_DOUBLE && dtype != CHOLMOD_SINGLE)) {
        raise_format(PyExc_TypeError, "%s has xtype %d and dtype %d; only real and complex values are supported",
                     what, xtype, dtype);
    }
}

// ---------------------------------------------------------------------------
// Exported conversions

// X, owned from the call on (freed by the routines of the width of I).
template <class I>
Ref ndarray_from_dense(cholmod_dense* X, cholmod_common* cm)
{
    engine::Owned<cholmod_dense, I> owned(X, cm);
    require_numeric_values(X->xtype, X->dtype, "the dense matrix");
    if (X->d < X->nrow) {
        raise(PyExc_ValueError, "_ndarray_from_cholmod_dense: leading dimension below the row count");
    }
    const size_t itemsize = value_size(X->xtype, X->dtype);
    const int typenum = value_typenum(X->xtype, X->dtype);
    Ref owner = new_memory_owner();
    if (X->x != nullptr) {
        forget_block(cm, X->nzmax * itemsize);
        adopt(owner, &X->x);
    }
    else {
        // An empty result may come without values: give the array a block.
        void* block = SuiteSparse_malloc(1, itemsize);
        if (block == nullptr) {
            throw std::bad_alloc();
        }
        adopt(owner, &block);
    }
    npy_intp dims[2] = {static_cast<npy_intp>(X->nrow), static_cast<npy_intp>(X->ncol)};
    npy_intp strides[2] = {static_cast<npy_intp>(itemsize), static_cast<npy_intp>(itemsize * X->d)};
    return array_over(owner, typenum, 2, dims, strides);
}

PyArrayObject* capi_ndarray_from_dense(cholmod_dense* X, int use_int32, cholmod_common* cm) noexcept
{
    return reinterpret_cast<PyArrayObject*>(boundary([&] {
        if (X == nullptr || cm == nullptr) {
            raise(PyExc_ValueError, "_ndarray_from_cholmod_dense: no matrix or no common");
        }
        return with_index(use_int32 != 0 ? IndexWidth::I32 : IndexWidth::I64,
                          [&](auto index) { return ndarray_from_dense<decltype(index)>(X, cm); });
    }));
}

PyArrayObject* capi_ndarray_copy_from_intptr(void* p, size_t n, int use_int32) noexcept
{
    return reinterpret_cast<PyArrayObject*>(boundary([&]() -> Ref {
        if (p == nullptr && n > 0) {
            raise(PyExc_ValueError, "_ndarray_copy_from_intptr: no vector");
        }
        const size_t itemsize = use_int32 ? sizeof(int32_t) : sizeof(int64_t);
        admit_python_allocation();
        Ref arr = zeros(static_cast<npy_intp>(n), use_int32 ? NPY_INT32 : NPY_INT64);
        if (n > 0) {
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())), p, n * itemsize);
        }
        return arr;
    }));
}

// Removes the gaps of an unpacked matrix, in place.
template <class I>
void pack_columns(cholmod_sparse* A, size_t value_bytes)
{
    I* Ap = static_cast<I*>(A->p);
    I* Ai = static_cast<I*>(A->i);
    const I* Anz = static_cast<const I*>(A->nz);
    char* Ax = static_cast<char*>(A->x);
    I dest = 0;
    for (size_t j = 0; j < A->ncol; ++j) {
        const I start = Ap[j];
        const I count = Anz[j];
        Ap[j] = dest;
        std::memmove(Ai + dest, Ai + start, static_cast<size_t>(count) * sizeof(I));
        std::memmove(Ax + static_cast<size_t>(dest) * value_bytes, Ax + static_cast<size_t>(start) * value_bytes,
                     static_cast<size_t>(count) * value_bytes);
        dest += count;
    }
    Ap[A->ncol] = dest;
    A->packed = 1;
}

template <class I>
Ref csc_from_sparse(cholmod_sparse* A, cholmod_common* cm)
{
    const size_t xsize = value_size(A->xtype, A->dtype);
    if (!A->packed) {
        pack_columns<I>(A, xsize);
    }
    if (!A->sorted && !cholmod_lib<I>.sort(A, cm)) {
        raise(PyExc_MemoryError, "CHOLMOD could not sort the matrix");
    }
    const size_t nnz = static_cast<size_t>(static_cast<I*>(A->p)[A->ncol]);
    if (A->nzmax > nnz && nnz > 0) {
        // Give back the unused tail; shrinking never moves data it keeps.
        cholmod_lib<I>.reallocate_sparse(nnz, A, cm);
        cm->status = CHOLMOD_OK;
    }
    // The owners exist before any block leaves the record: until it is
    // adopted, a block is freed with the record (by its owner).
    Ref p_owner = new_memory_owner();
    Ref i_owner = new_memory_owner();
    Ref x_owner = new_memory_owner();
    const size_t nzmax = A->nzmax;
    forget_block(cm, (A->ncol + 1) * sizeof(I));
    forget_block(cm, nzmax * sizeof(I));
    forget_block(cm, nzmax * xsize);
    adopt(p_owner, &A->p);
    adopt(i_owner, &A->i);
    adopt(x_owner, &A->x);

    const int itype = sizeof(I) == 4 ? NPY_INT32 : NPY_INT64;
    npy_intp np_ = static_cast<npy_intp>(A->ncol + 1);
    npy_intp nz = static_cast<npy_intp>(nnz);
    Ref indptr = array_over(p_owner, itype, 1, &np_, nullptr);
    Ref indices = array_over(i_owner, itype, 1, &nz, nullptr);
    Ref data = array_over(x_owner, value_typenum(A->xtype, A->dtype), 1, &nz, nullptr);

    admit_python_allocation();
    return new_csc_array(g_state->csc_array_type, g_state->csc_prototype, static_cast<Py_ssize_t>(A->nrow),
                         static_cast<Py_ssize_t>(A->ncol), data.get(), indices.get(), indptr.get());
}

PyObject* capi_csc_from_sparse(cholmod_sparse* A, cholmod_common* cm) noexcept
{
    return boundary([&]() -> Ref {
        if (A == nullptr || cm == nullptr) {
            raise(PyExc_ValueError, "_csc_from_cholmod_sparse: no matrix or no common");
        }
        return with_index(A->itype == CHOLMOD_INT ? IndexWidth::I32 : IndexWidth::I64, [&](auto index) {
            using I = decltype(index);
            engine::Owned<cholmod_sparse, I> owned(A, cm);
            require_numeric_values(A->xtype, A->dtype, "the sparse matrix");
            return csc_from_sparse<I>(A, cm);
        });
    });
}

int capi_copy_common(cholmod_common* dest, cholmod_common* source) noexcept
{
    if (dest == nullptr || source == nullptr) {
        PyErr_SetString(PyExc_ValueError, "_copy_cholmod_common: no common");
        return -1;
    }
    if (dest->itype != source->itype) {
        PyErr_SetString(PyExc_ValueError, "_copy_cholmod_common: the commons were started by different variants");
        return -1;
    }
    // Everything is copied but what belongs to the destination: its workspace,
    // its memory accounting and its GPU resources.
    cholmod_common keep;
    std::memcpy(&keep, dest, sizeof keep);
    std::memcpy(dest, source, sizeof *dest);
    dest->nrow = keep.nrow;
    dest->mark = keep.mark;
    dest->iworksize = keep.iworksize;
    dest->xworkbytes = keep.xworkbytes;
    dest->Flag = keep.Flag;
    dest->Head = keep.Head;
    dest->Xwork = keep.Xwork;
    dest->Iwork = keep.Iwork;
    dest->itype = keep.itype;
    dest->no_workspace_reallocate = keep.no_workspace_reallocate;
    dest->malloc_count = keep.malloc_count;
    dest->memory_inuse = keep.memory_inuse;
    dest->cublasHandle = keep.cublasHandle;
    std::memcpy(dest->gpuStream, keep.gpuStream, sizeof keep.gpuStream);
    std::memcpy(dest->cublasEventPotrf, keep.cublasEventPotrf, sizeof keep.cublasEventPotrf);
    dest->updateCKernelsComplete = keep.updateCKernelsComplete;
    std::memcpy(dest->updateCBuffersFree, keep.updateCBuffersFree, sizeof keep.updateCBuffersFree);
    dest->dev_mempool = keep.dev_mempool;
    dest->dev_mempool_size = keep.dev_mempool_size;
    dest->host_pinned_mempool = keep.host_pinned_mempool;
    dest->host_pinned_mempool_size = keep.host_pinned_mempool_size;
    dest->devBuffSize = keep.devBuffSize;
    dest->ibuffer = keep.ibuffer;
#ifdef BLAS_DUMP
    dest->blas_dump = keep.blas_dump;
#endif
    return 0;
}

template <int Xtype, int Dtype>
int capi_dense_from_ndarray(void* data, size_t nrow, size_t ncol, size_t ld, cholmod_dense* out) noexcept
{
    if (out == nullptr || ld < nrow || (data == nullptr && nrow * ncol > 0)) {
        PyErr_SetString(PyExc_ValueError, "cholmod_dense_from_ndarray: invalid array description");
        return -1;
    }
    out->nrow = nrow;
    out->ncol = ncol;
    out->d = ld;
    out->nzmax = ld * ncol;
    out->x = data;
    out->z = nullptr;
    out->xtype = Xtype;
    out->dtype = Dtype;
    return 0;
}

// ---------------------------------------------------------------------------
// Python function

// Fills the header with the arrays of each width and value type.
template <class I, class T>
void fill_sparse_header(cholmod_sparse* header, long long nrow, long long ncol, const Vector<I>& Ap,
                        const Vector<I>& Ai, const Vector<T>& Ax, int stype)
{
    header->nrow = static_cast<size_t>(nrow);
    header->ncol = static_cast<size_t>(ncol);
    header->nzmax = static_cast<size_t>(Ap[ncol]);
    header->p = Ap.data();
    header->i = Ai.data();
    header->nz = nullptr;
    header->x = Ax.data();
    header->z = nullptr;
    header->stype = stype;
    header->itype = sizeof(I) == 4 ? CHOLMOD_INT : CHOLMOD_LONG;
    header->xtype = std::is_same_v<T, double> ? CHOLMOD_REAL : CHOLMOD_COMPLEX;
    header->dtype = CHOLMOD_DOUBLE;
    header->sorted = 1;
    header->packed = 1;
}

// _cholmod_sparse_from_csc(shape, indptr, indices, data, stype, address)
Ref py_sparse_from_csc(PyObject*, const Args& a)
{
    const auto [nrow, ncol] = parse_shape(a[0]);
    const long long stype = as_int64(a[4]);
    if (stype < -1 || stype > 1 || (stype != 0 && nrow != ncol)) {
        raise_format(PyExc_ValueError, "stype must be -1, 0 or 1 (and 0 for a rectangular matrix), got %lld", stype);
    }
    auto* header = static_cast<cholmod_sparse*>(PyLong_AsVoidPtr(a[5]));
    if (header == nullptr) {
        if (PyErr_Occurred()) {
            throw PythonError{};
        }
        raise(PyExc_ValueError, "address must not be 0");
    }
    const bool real = has_element_type(a[3], element_type<double>::value);
    if (!real && !has_element_type(a[3], element_type<std::complex<double>>::value)) {
        raise(PyExc_TypeError, "data must be a float64 or complex128 array");
    }
    // All three views are taken before anything is checked: taking a view of
    // an object other than a NumPy array may run Python code (its __buffer__),
    // which must not come between the check and the header.
    dispatch_index_width(a[1], [&](auto index) {
        using I = decltype(index);
        auto fill_with = [&](auto value) {
            using T = decltype(value);
            Vector<I> Ap(a[1], "indptr");
            Vector<I> Ai(a[2], "indices");
            Vector<T> Ax(a[3], "data");
            require_length(Ap.size(), "indptr", ncol + 1, "ncol + 1");
            narrow_size<I>(nrow, "nrow");
            require_canonical_pattern(Ap, Ai, nrow);
            require_min_length(Ax.size(), "data", Ap[ncol], "nnz");
            fill_sparse_header(header, nrow, ncol, Ap, Ai, Ax, static_cast<int>(stype));
        };
        if (real) {
            fill_with(double{});
        }
        else {
            fill_with(std::complex<double>{});
        }
    });
    return Ref::none();
}

constexpr FunctionDef sparse_from_csc_def =
    function(cholmod_surface::sparse_from_csc, py_sparse_from_csc, cholmod_surface::sparse_from_csc_params).with_doc(
    R"(Fill the cholmod_sparse header at `address` to view a CSC matrix in place.

Private: `address` must be the address of a cholmod_sparse record that the
caller owns and keeps, with the arrays, for as long as it uses the header.
The structure is checked first: indptr has ncol + 1 entries from 0, never
decreasing; row indices lie in range, sorted and unique within each column;
indptr and indices are both int32 (CHOLMOD_INT) or both int64 (CHOLMOD_LONG);
data is float64 (CHOLMOD_REAL) or complex128 (CHOLMOD_COMPLEX).

Parameters
----------
shape : tuple of int
    (nrow, ncol).
indptr, indices, data : numpy.ndarray
    The CSC arrays, one-dimensional, C-contiguous and writable.
stype : int
    0 for an unsymmetric matrix; -1 or 1 for the lower or upper triangle of
    a symmetric one.
address : int
    Address of the header to fill.)");

// ---------------------------------------------------------------------------
// Module initialisation

Ref new_capi_table()
{
    struct Entry {
        const char* name;
        const char* signature;
        void* fn;
    };
    const Entry entries[] = {
        {capi::kNdarrayFromDenseName, capi::kNdarrayFromDenseSig,
         reinterpret_cast<void*>(static_cast<capi::NdarrayFromDense>(capi_ndarray_from_dense))},
        {capi::kNdarrayCopyFromIntptrName, capi::kNdarrayCopyFromIntptrSig,
         reinterpret_cast<void*>(static_cast<capi::NdarrayCopyFromIntptr>(capi_ndarray_copy_from_intptr))},
        {capi::kCscFromSparseName, capi::kCscFromSparseSig,
         reinterpret_cast<void*>(static_cast<capi::CscFromSparse>(capi_csc_from_sparse))},
        {capi::kCopyCommonName, capi::kCopyCommonSig,
         reinterpret_cast<void*>(static_cast<capi::CopyCommon>(capi_copy_common))},
        {capi::kDenseFromFloat64Name, capi::kDenseFromFloat64Sig,
         reinterpret_cast<void*>(static_cast<capi::DenseFromNdarray>(capi_dense_from_ndarray<CHOLMOD_REAL, CHOLMOD_DOUBLE>))},
        {capi::kDenseFromComplex128Name, capi::kDenseFromComplex128Sig,
         reinterpret_cast<void*>(
             static_cast<capi::DenseFromNdarray>(capi_dense_from_ndarray<CHOLMOD_COMPLEX, CHOLMOD_DOUBLE>))},
        {capi::kDenseFromFloat32Name, capi::kDenseFromFloat32Sig,
         reinterpret_cast<void*>(static_cast<capi::DenseFromNdarray>(capi_dense_from_ndarray<CHOLMOD_REAL, CHOLMOD_SINGLE>))},
        {capi::kDenseFromComplex64Name, capi::kDenseFromComplex64Sig,
         reinterpret_cast<void*>(
             static_cast<capi::DenseFromNdarray>(capi_dense_from_ndarray<CHOLMOD_COMPLEX, CHOLMOD_SINGLE>))},
    };
    Ref table = check(PyDict_New());
#ifdef TARNIX_TESTING
    // Test hooks (see PythonRefusals), outside the table the modules bind from.
    const Entry hooks[] = {
        {capi::kRefusePythonAllocationName, capi::kRefusePythonAllocationSig,
         reinterpret_cast<void*>(static_cast<capi::RefusePythonAllocation>(capi_refuse_python_allocation))},
        {capi::kPythonAllocationReportName, capi::kPythonAllocationReportSig,
         reinterpret_cast<void*>(static_cast<capi::PythonAllocationReport>(capi_python_allocation_report))},
    };
    for (const Entry& e : hooks) {
        Ref capsule = check(PyCapsule_New(e.fn, e.signature, nullptr));
        check_status(PyDict_SetItemString(table.get(), e.name, capsule.get()));
    }
#endif
    for (const Entry& e : entries) {
        Ref capsule = check(PyCapsule_New(e.fn, e.signature, nullptr));
        check_status(PyDict_SetItemString(table.get(), e.name, capsule.get()));
    }
    return table;
}

void exec_body(PyObject* m)
{
    State& st = module_state<State>(m);
    st.memory_type = PyType_FromModuleAndSpec(m, &memory_spec, nullptr);
    if (st.memory_type == nullptr) {
        throw PythonError{};
    }
    add_function(m, sparse_from_csc_def);
    add_function(m, cholmod_counts::cholesky_counts_def);
    add_object(m, capi::kCapiTable, new_capi_table().get());
    g_state = &st;
}

}  // namespace

constexpr const char* module_doc = "Conversions between NumPy/SciPy objects and CHOLMOD's matrix records (internal).";

TARNIX_MODULE(cholmod, module_doc, State, exec_body)
