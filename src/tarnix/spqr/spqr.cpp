// tarnix.spqr: sparse QR factorization with SuiteSparseQR.
//
// This file holds the module definition and the import-time set-up of its
// namespace, under the names of spqr/surface.hpp. SPQRInfo lives in info.cpp,
// SPQRFactor in factor.cpp (its methods beside it), the one-shot functions
// in oneshot.cpp and householder.cpp.

#include "common/assertions.hpp"
#include "spqr/arguments.hpp"
#include "spqr/docstrings.hpp"
#include "spqr/factor.hpp"
#include "spqr/info.hpp"
#include "spqr/engine/latch.hpp"
#include "spqr/engine/narrow.hpp"
#include "spqr/oneshot.hpp"
#include "spqr/orderings.hpp"
#include "spqr/status.hpp"
#include "spqr/surface.hpp"

namespace spqr_module {

using namespace tarnix;
namespace capi = tarnix::cholmod_capi;

namespace {

// ---------------------------------------------------------------------------
// Import-time tables

Ref new_householder_type(PyObject* module)
{
    Ref named_tuple = import_attr("typing", "NamedTuple");
    Ref fields = check(Py_BuildValue("[(sO)(sO)(sO)]", "H", &PyBaseObject_Type, "tau", &PyBaseObject_Type, "perm",
                                     &PyBaseObject_Type));
    Ref cls = check(PyObject_CallFunction(named_tuple.get(), "sO", spqr_surface::householder, fields.get()));
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

Ref descr_of(int typenum)
{
    PyArray_Descr* d = PyArray_DescrFromType(typenum);
    if (d == nullptr) {
        throw PythonError{};
    }
    return Ref::steal(reinterpret_cast<PyObject*>(d));
}

// What the module binds: NumPy, SciPy and the standard library by name, its
// two siblings, and the native entry points of tarnix.cholmod.
void bind_imports(PyObject* m, State& st)
{
    add_object(m, surface::numpy_alias, import_module("numpy").get());
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
    add_object(m, surface::validate_csc_input, import_relative(m, "utils", "validate_csc_input").get());
    bind_cholmod_entries(st);
    st.int32_dtype = descr_of(NPY_INT32).release();
    st.int64_dtype = descr_of(NPY_INT64).release();
    st.float64_dtype = descr_of(NPY_FLOAT64).release();
    st.complex128_dtype = descr_of(NPY_COMPLEX128).release();
    st.assertions = assertions_enabled();
}

// The warning and exception families, each rooted in its builtin.
void add_exceptions(PyObject* m, State& st)
{
    auto add = [&](const char* name, const char* doc, std::initializer_list<PyObject*> bases) {
        return add_exception(m, name, doc, bases).release();
    };
    st.SPQRWarning = add(spqr_surface::warning, spqr_docs::warning, {PyExc_Warning});
    st.SPQRRankDeficiencyWarning =
        add(spqr_surface::rank_deficiency_warning, spqr_docs::rank_deficiency_warning, {st.SPQRWarning});
    st.SPQRError = add(spqr_surface::error, spqr_docs::error, {PyExc_Exception});
    st.SPQRNotInstalledError = add(spqr_surface::not_installed_error, spqr_docs::not_installed_error, {st.SPQRError});
    st.SPQROutOfMemoryError =
        add(spqr_surface::out_of_memory_error, spqr_docs::out_of_memory_error, {PyExc_MemoryError, st.SPQRError});
    st.SPQROverflowError = add(spqr_surface::overflow_error, spqr_docs::overflow_error, {st.SPQRError});
    st.SPQRInvalidInputError = add(spqr_surface::invalid_input_error, spqr_docs::invalid_input_error, {st.SPQRError});
    st.SPQRGpuProblemError = add(spqr_surface::gpu_problem_error, spqr_docs::gpu_problem_error, {st.SPQRError});
}

// The solve and qmult docstrings, shared by the method and the function and
// assembled from the templates kept in the namespace.
void set_docstrings(PyObject* m, const State& st, PyObject* solve_fn, PyObject* qmult_fn)
{
    Ref solve_template = add_string(m, spqr_surface::solve_doc_template, spqr_docs::solve_template);
    Ref A_doc = add_string(m, spqr_surface::A_doc, spqr_docs::A_doc);
    Ref min2norm_doc = add_string(m, spqr_surface::min2norm_doc, spqr_docs::min2norm_doc);
    Ref qmult_template = add_string(m, spqr_surface::qmult_doc_template, spqr_docs::qmult_template);
    Ref house_doc = add_string(m, spqr_surface::qmult_house_doc, spqr_docs::qmult_house_doc);
    Ref empty = new_string("");
    Ref see_qmult = new_string(", spqr_qmult");
    Ref format = check(PyObject_GetAttrString(solve_template.get(), "format"));
    Ref no_args = check(PyTuple_New(0));
    Ref kw = check(Py_BuildValue("{sOsO}", "A_doc", empty.get(), "min2norm", empty.get()));
    Ref solve_doc = check(PyObject_Call(format.get(), no_args.get(), kw.get()));
    Ref qformat = check(PyObject_GetAttrString(qmult_template.get(), "format"));
    Ref qkw = check(Py_BuildValue("{sOsO}", "house_doc", empty.get(), "see_also", see_qmult.get()));
    Ref qmult_doc = check(PyObject_Call(qformat.get(), no_args.get(), qkw.get()));
    set_factor_docstrings(st.factor_type, solve_doc.get(), qmult_doc.get());
    set_formatted_doc(solve_fn, solve_template.get(), {{"A_doc", A_doc.get()}, {"min2norm", min2norm_doc.get()}});
    set_formatted_doc(qmult_fn, qmult_template.get(), {{"house_doc", house_doc.get()}, {"see_also", empty.get()}});
}

void exec_body(PyObject* m)
{
    spqr_lib::install_out_of_memory_latch();
    intern_names();
    State& st = state_of(m);
    bind_imports(m, st);

    // The public names a star import gives.
    set_all(m, spqr_surface::all);
    add_exceptions(m, st);

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
    add_object(m, spqr_surface::householder, st.householder_type);
    add_function(m, spqr_def);
    add_function(m, qmult_private_def);
    Ref qmult_fn = add_function(m, spqr_qmult_def);
    add_function(m, solve_triangular_private_def);
#ifdef TARNIX_TESTING
    add_function(m, narrow_limit_def);
#endif
    set_docstrings(m, st, solve_fn.get(), qmult_fn.get());

    // Named at module level, so that pickles of SPQRInfo can refer to it.
    add_function(m, unpickle_info_def);
    // Last: the type is complete, docstrings included.
    st.factor_version = factor_version(st.factor_type);
}

int exec(PyObject* m)
{
    return exec_module(m, spqr_surface::module, exec_body);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    TARNIX_GIL_NOT_USED_SLOT{0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    spqr_surface::qualified_module,
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

}  // namespace spqr_module

PyMODINIT_FUNC PyInit_spqr()
{
    return PyModuleDef_Init(&spqr_module::module_def);
}
