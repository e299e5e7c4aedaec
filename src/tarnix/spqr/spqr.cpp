// tarnix.spqr: sparse QR factorization with SuiteSparseQR.
//
// This file holds the module surface: its state, the status-to-exception
// mapping, the ordering table, the views of matrices as CHOLMOD records and
// the import-time set-up. SPQRInfo, SPQRFactor and the one-shot functions
// live in info.cpp, factor.cpp and oneshot.cpp.

#include "spqr/docstrings.hpp"
#include "spqr/factor.hpp"
#include "spqr/info.hpp"
#include "spqr/narrow.hpp"
#include "spqr/oneshot.hpp"

namespace spqr_lib {

namespace {

// Per thread: whether a latch is alive, and whether it has closed.
thread_local bool t_latch_armed = false;
thread_local bool t_latch_closed = false;

void* (*g_malloc)(size_t) = nullptr;
void* (*g_calloc)(size_t, size_t) = nullptr;
void* (*g_realloc)(void*, size_t) = nullptr;

void* latched_malloc(size_t size)
{
    return t_latch_closed ? nullptr : g_malloc(size);
}

void* latched_calloc(size_t count, size_t size)
{
    return t_latch_closed ? nullptr : g_calloc(count, size);
}

void* latched_realloc(void* block, size_t size)
{
    return t_latch_closed ? nullptr : g_realloc(block, size);
}

}  // namespace

void install_out_of_memory_latch()
{
    if (g_malloc != nullptr) {
        return;
    }
    g_malloc = SuiteSparse_config_malloc_func_get();
    g_calloc = SuiteSparse_config_calloc_func_get();
    g_realloc = SuiteSparse_config_realloc_func_get();
    SuiteSparse_config_malloc_func_set(latched_malloc);
    SuiteSparse_config_calloc_func_set(latched_calloc);
    SuiteSparse_config_realloc_func_set(latched_realloc);
}

OutOfMemoryLatch::OutOfMemoryLatch() noexcept : outer_armed_(t_latch_armed), outer_closed_(t_latch_closed)
{
    t_latch_armed = true;
    t_latch_closed = false;
}

OutOfMemoryLatch::~OutOfMemoryLatch()
{
    t_latch_armed = outer_armed_;
    t_latch_closed = outer_closed_;
}

bool out_of_memory_latched() noexcept
{
    return t_latch_armed && t_latch_closed;
}

void on_library_error(int status, const char*, int, const char*)
{
    if (status == CHOLMOD_OUT_OF_MEMORY && t_latch_armed) {
        t_latch_closed = true;
    }
}

}  // namespace spqr_lib

namespace spqr_module {

using namespace tarnix;
namespace capi = tarnix::cholmod_capi;

namespace {

// ---------------------------------------------------------------------------
// Import-time tables

Ref new_error_map(const State& st)
{
    const struct {
        int status;
        PyObject* cls;
        const char* message;
    } table[] = {
        {CHOLMOD_NOT_INSTALLED, st.SPQRNotInstalledError, "SPQR library is not installed or not found."},
        {CHOLMOD_OUT_OF_MEMORY, st.SPQROutOfMemoryError, "SPQR ran out of memory."},
        {CHOLMOD_TOO_LARGE, st.SPQROverflowError, "SPQR encountered an integer overflow."},
        {CHOLMOD_INVALID, st.SPQRInvalidInputError, "SPQR received invalid input."},
        {CHOLMOD_GPU_PROBLEM, st.SPQRGpuProblemError, "SPQR encountered a problem with CUDA."},
    };
    Ref map = check(PyDict_New());
    for (const auto& e : table) {
        Ref key = check(PyLong_FromLong(e.status));
        Ref value = check(Py_BuildValue("(Os)", e.cls, e.message));
        check_status(PyDict_SetItem(map.get(), key.get(), value.get()));
    }
    return map;
}

void build_ordering_tables(State& st)
{
    const struct {
        const char* name;
        int code;
    } table[] = {
        {"default", SPQR_ORDERING_DEFAULT}, {"fixed", SPQR_ORDERING_FIXED}, {"natural", SPQR_ORDERING_NATURAL},
        {"colamd", SPQR_ORDERING_COLAMD},   {"cholmod", SPQR_ORDERING_CHOLMOD}, {"amd", SPQR_ORDERING_AMD},
        {"metis", SPQR_ORDERING_METIS},     {"best", SPQR_ORDERING_BEST},   {"bestamd", SPQR_ORDERING_BESTAMD},
    };
    Ref codes = check(PyDict_New());
    Ref names = check(PyDict_New());
    for (const auto& e : table) {
        Ref name = new_string(e.name);
        Ref code = check(PyLong_FromLong(e.code));
        check_status(PyDict_SetItem(codes.get(), name.get(), code.get()));
        check_status(PyDict_SetItem(names.get(), code.get(), name.get()));
    }
    st.ordering_codes = codes.release();
    st.ordering_names = names.release();
}

Ref new_householder_type(PyObject* module)
{
    Ref named_tuple = import_attr("typing", "NamedTuple");
    Ref fields = check(Py_BuildValue("[(sO)(sO)(sO)]", "H", &PyBaseObject_Type, "tau", &PyBaseObject_Type, "perm",
                                     &PyBaseObject_Type));
    Ref cls = check(PyObject_CallFunction(named_tuple.get(), "sO", "SPQRHouseholder", fields.get()));
    // The annotations are documentation, kept as the strings they are.
    Ref annotations = check(Py_BuildValue("{ssssss}", "H", "~scipy.sparse.csc_array", "tau", "~numpy.ndarray", "perm",
                                          "~numpy.ndarray"));
    check_status(PyObject_SetAttrString(cls.get(), "__annotations__", annotations.get()));
    Ref doc = new_string(spqr_docs::householder);
    check_status(PyObject_SetAttrString(cls.get(), "__doc__", doc.get()));
    Ref module_name = check(PyObject_GetAttrString(module, "__name__"));
    check_status(PyObject_SetAttrString(cls.get(), "__module__", module_name.get()));
    return cls;
}

void bind_cholmod_entries(State& st)
{
    Ref cholmod = import_module(capi::kModule);
    auto bind = [&](const char* name, const char* signature) {
        return import_capi_function(cholmod.get(), capi::kCapiTable, name, signature);
    };
    st.ndarray_from_dense =
        reinterpret_cast<capi::NdarrayFromDense>(bind(capi::kNdarrayFromDenseName, capi::kNdarrayFromDenseSig));
    st.ndarray_copy_from_intptr = reinterpret_cast<capi::NdarrayCopyFromIntptr>(
        bind(capi::kNdarrayCopyFromIntptrName, capi::kNdarrayCopyFromIntptrSig));
    st.csc_from_sparse =
        reinterpret_cast<capi::CscFromSparse>(bind(capi::kCscFromSparseName, capi::kCscFromSparseSig));
    st.copy_common = reinterpret_cast<capi::CopyCommon>(bind(capi::kCopyCommonName, capi::kCopyCommonSig));
    st.dense_from_float64 =
        reinterpret_cast<capi::DenseFromNdarray>(bind(capi::kDenseFromFloat64Name, capi::kDenseFromFloat64Sig));
    st.dense_from_complex128 = reinterpret_cast<capi::DenseFromNdarray>(
        bind(capi::kDenseFromComplex128Name, capi::kDenseFromComplex128Sig));
}

Ref dtype_of(int typenum)
{
    PyArray_Descr* d = PyArray_DescrFromType(typenum);
    if (d == nullptr) {
        throw PythonError{};
    }
    return Ref::steal(reinterpret_cast<PyObject*>(d));
}

void exec_body(PyObject* m)
{
    spqr_lib::install_out_of_memory_latch();
    State& st = state_of(m);

    // What the module binds: NumPy, SciPy and the standard library by name,
    // its two siblings, and the native entry points of tarnix.cholmod.
    add_object(m, "np", import_module("numpy").get());
    st.csc_array = import_attr("scipy.sparse", "csc_array").release();
    st.issparse = import_attr("scipy.sparse", "issparse").release();
    st.hstack = import_attr("scipy.sparse", "hstack").release();
    add_object(m, "csc_array", st.csc_array);
    add_object(m, "issparse", st.issparse);
    add_object(m, "hstack", st.hstack);
    add_object(m, "NamedTuple", import_attr("typing", "NamedTuple").get());
    add_object(m, "warnings", import_module("warnings").get());
    st.sparse_from_csc = import_relative(m, "cholmod", "_cholmod_sparse_from_csc").release();
    add_object(m, "_cholmod_sparse_from_csc", st.sparse_from_csc);
    add_object(m, "validate_csc_input", import_relative(m, "utils", "validate_csc_input").get());
    bind_cholmod_entries(st);
    st.int32_dtype = dtype_of(NPY_INT32).release();
    st.int64_dtype = dtype_of(NPY_INT64).release();
    st.float64_dtype = dtype_of(NPY_FLOAT64).release();
    st.complex128_dtype = dtype_of(NPY_COMPLEX128).release();
    st.assertions = assertions_enabled();

    // The public names a star import gives.
    set_all(m, {"SPQRError", "SPQRNotInstalledError", "SPQROutOfMemoryError", "SPQROverflowError",
                "SPQRInvalidInputError", "SPQRGpuProblemError", "SPQRFactor", "spqr_factor", "spqr_solve"});

    // The warning and exception families, each rooted in its builtin.
    st.SPQRWarning = add_exception(m, "SPQRWarning", spqr_docs::warning, {PyExc_Warning}).release();
    st.SPQRRankDeficiencyWarning = add_exception(m, "SPQRRankDeficiencyWarning",
                                                 spqr_docs::rank_deficiency_warning,
                                                 {st.SPQRWarning})
                                       .release();
    st.SPQRError = add_exception(m, "SPQRError", spqr_docs::error, {PyExc_Exception}).release();
    st.SPQRNotInstalledError = add_exception(m, "SPQRNotInstalledError",
                                             spqr_docs::not_installed_error, {st.SPQRError})
                                   .release();
    st.SPQROutOfMemoryError = add_exception(m, "SPQROutOfMemoryError", spqr_docs::out_of_memory_error,
                                            {PyExc_MemoryError, st.SPQRError})
                                  .release();
    st.SPQROverflowError = add_exception(m, "SPQROverflowError", spqr_docs::overflow_error,
                                         {st.SPQRError})
                               .release();
    st.SPQRInvalidInputError = add_exception(m, "SPQRInvalidInputError", spqr_docs::invalid_input_error,
                                             {st.SPQRError})
                                   .release();
    st.SPQRGpuProblemError = add_exception(m, "SPQRGpuProblemError",
                                           spqr_docs::gpu_problem_error, {st.SPQRError})
                                 .release();

    // Status codes to exceptions, ordering names to codes and back.
    st.error_map = new_error_map(st).release();
    build_ordering_tables(st);

    // The classes and the module functions; SPQRHouseholder comes before
    // spqr, which returns it.
    st.info_type = add_info_type(m).release();
    st.factor_type = add_factor_type(m).release();
    add_function(m, spqr_factor_def);
    Ref solve_fn = add_function(m, spqr_solve_def);
    st.householder_type = new_householder_type(m).release();
    add_object(m, "SPQRHouseholder", st.householder_type);
    add_function(m, spqr_def);
    add_function(m, qmult_private_def);
    Ref qmult_fn = add_function(m, spqr_qmult_def);
    add_function(m, narrow_limit_def);

    // The solve and qmult docstrings, shared by the method and the function
    // and assembled from the templates kept in the namespace.
    Ref solve_template = add_string(m, "_SOLVE_DOC_TEMPLATE", spqr_docs::solve_template);
    Ref A_doc = add_string(m, "_A_doc", spqr_docs::A_doc);
    Ref min2norm_doc = add_string(m, "_min2norm_doc", spqr_docs::min2norm_doc);
    Ref qmult_template = add_string(m, "_QMULT_DOC_TEMPLATE", spqr_docs::qmult_template);
    Ref house_doc = add_string(m, "_qmult_house_doc", spqr_docs::qmult_house_doc);
    Ref empty = new_string("");
    Ref see_qmult = new_string(", spqr_qmult");
    Ref format = check(PyObject_GetAttrString(solve_template.get(), "format"));
    {
        Ref no_args = check(PyTuple_New(0));
        Ref kw = check(Py_BuildValue("{sOsO}", "A_doc", empty.get(), "min2norm", empty.get()));
        Ref solve_doc = check(PyObject_Call(format.get(), no_args.get(), kw.get()));
        Ref qformat = check(PyObject_GetAttrString(qmult_template.get(), "format"));
        Ref qkw = check(Py_BuildValue("{sOsO}", "house_doc", empty.get(), "see_also", see_qmult.get()));
        Ref qmult_doc = check(PyObject_Call(qformat.get(), no_args.get(), qkw.get()));
        set_factor_docstrings(st.factor_type, solve_doc.get(), qmult_doc.get());
    }
    set_formatted_doc(solve_fn.get(), solve_template.get(), {{"A_doc", A_doc.get()}, {"min2norm", min2norm_doc.get()}});
    set_formatted_doc(qmult_fn.get(), qmult_template.get(), {{"house_doc", house_doc.get()}, {"see_also", empty.get()}});

    // Named at module level, so that pickles of SPQRInfo can refer to it.
    add_function(m, unpickle_info_def);
}

int exec(PyObject* m)
{
    return exec_module(m, "spqr", exec_body);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnix.spqr",
    spqr_docs::module,
    sizeof(State),
    nullptr,
    slots,
    state_traverse<State>,
    state_clear<State>,
    state_free<State>,
};

State& state_of_type(PyTypeObject* type)
{
    PyObject* module = PyType_GetModuleByDef(type, &module_def);
    if (module == nullptr) {
        throw PythonError{};
    }
    return state_of(module);
}

void handle_errors(const State& st, int status)
{
    if (spqr_lib::out_of_memory_latched()) {
        status = CHOLMOD_OUT_OF_MEMORY;
    }
    if (status == CHOLMOD_OK) {
        return;
    }
    // Callers hold the lock already; taking it again is harmless.
    PyGILState_STATE gil = PyGILState_Ensure();
    struct Release {
        PyGILState_STATE g;
        ~Release() { PyGILState_Release(g); }
    } release{gil};
    Ref key = check(PyLong_FromLong(status));
    PyObject* entry = PyDict_GetItemWithError(st.error_map, key.get());  // borrowed
    if (entry == nullptr && PyErr_Occurred()) {
        throw PythonError{};
    }
    PyObject* cls = entry != nullptr ? PyTuple_GET_ITEM(entry, 0) : st.SPQRError;
    const char* base = entry != nullptr ? PyUnicode_AsUTF8(PyTuple_GET_ITEM(entry, 1)) : "An unknown SPQR error occurred.";
    if (base == nullptr) {
        throw PythonError{};
    }
    raise_format(cls, "%s (code %d)", base, status);
}

int ordering_code(const State& st, PyObject* order)
{
    if (order == Py_None) {
        return SPQR_ORDERING_DEFAULT;
    }
    PyObject* code = PyDict_GetItemWithError(st.ordering_codes, order);  // borrowed
    if (code == nullptr) {
        if (PyErr_Occurred()) {
            throw PythonError{};  // unhashable
        }
        Ref names = check(PySet_New(st.ordering_codes));
        Ref order_str = check(PyObject_Format(order, nullptr));
        Ref names_str = check(PyObject_Format(names.get(), nullptr));
        Ref message = check(PyUnicode_FromFormat("Unknown ordering method: %U. Must be one of %U.", order_str.get(),
                                                 names_str.get()));
        PyErr_SetObject(PyExc_KeyError, order);
        raise_chained(PyExc_ValueError, message.get());
    }
    return static_cast<int>(PyLong_AsLong(code));
}

Ref ordering_name(const State& st, int code)
{
    Ref key = check(PyLong_FromLong(code));
    PyObject* name = PyDict_GetItemWithError(st.ordering_names, key.get());
    if (name != nullptr) {
        return Ref::borrow(name);
    }
    if (PyErr_Occurred()) {
        throw PythonError{};
    }
    return check(PyUnicode_FromFormat("unknown %d", code));
}

SparseView sparse_view(PyObject* module, CscParts parts)
{
    const State& st = state_of(module);
    Ref name = new_string("_cholmod_sparse_from_csc");
    Ref fill = module_global(module, name.get());
    return SparseView(std::move(parts), fill.get(), fill.get() == st.sparse_from_csc);
}

namespace {

Ref private_copy(const Ref& array, const char* name)
{
    if (!PyArray_Check(array.get())) {
        raise_format(PyExc_ValueError, "A.%s must be a NumPy array, got %.200s", name, Py_TYPE(array.get())->tp_name);
    }
    return check(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(array.get()), NPY_CORDER));
}

}  // namespace

Ref private_csc_copy(PyObject* module, PyObject* matrix)
{
    const State& st = state_of(module);
    CscParts parts = CscParts::of(matrix);
    Ref indptr = private_copy(parts.indptr, "indptr");
    Ref indices = private_copy(parts.indices, "indices");
    Ref data = private_copy(parts.data, "data");
    parts.indptr = indptr;
    parts.indices = indices;
    parts.data = data;
    const long long nrow = parts.nrow;
    const long long ncol = parts.ncol;
    {
        // The module's own fill checks the structure of the copies.
        SparseView checked(std::move(parts), st.sparse_from_csc, true);
    }
    // An empty csc_array of the shape and dtype, then the copies: the
    // constructor would otherwise scan int64 indices and narrow them.
    Ref shape = check(Py_BuildValue("((LL))", nrow, ncol));
    Ref dtype = Ref::borrow(reinterpret_cast<PyObject*>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(data.get()))));
    Ref kwargs = check(Py_BuildValue("{sO}", "dtype", dtype.get()));
    Ref result = check(PyObject_Call(st.csc_array, shape.get(), kwargs.get()));
    check_status(PyObject_SetAttrString(result.get(), "data", data.get()));
    check_status(PyObject_SetAttrString(result.get(), "indices", indices.get()));
    check_status(PyObject_SetAttrString(result.get(), "indptr", indptr.get()));
    return result;
}

void warn(PyObject* category, PyObject* message)
{
    const char* text = PyUnicode_AsUTF8(message);
    if (text == nullptr || PyErr_WarnEx(category, text, 1) < 0) {
        throw PythonError{};
    }
}

}  // namespace spqr_module

PyMODINIT_FUNC PyInit_spqr()
{
    return PyModuleDef_Init(&spqr_module::module_def);
}
