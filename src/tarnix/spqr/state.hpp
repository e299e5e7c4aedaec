// Module state of tarnix.spqr and the pieces its translation units share.
#pragma once

#include "cholmod/capi.hpp"
#include "common/cholmod_views.hpp"
#include "spqr/library.hpp"

namespace spqr_module {

struct State : tarnix::ModuleState {
    // Warnings and exceptions.
    PyObject* SPQRWarning;
    PyObject* SPQRRankDeficiencyWarning;
    PyObject* SPQRError;
    PyObject* SPQRNotInstalledError;
    PyObject* SPQROutOfMemoryError;
    PyObject* SPQROverflowError;
    PyObject* SPQRInvalidInputError;
    PyObject* SPQRGpuProblemError;
    // Internal tables (not reachable from Python).
    PyObject* error_map;       // status -> (class, message)
    PyObject* ordering_codes;  // name -> code
    PyObject* ordering_names;  // code -> name
    // Classes.
    PyObject* info_type;        // SPQRInfo
    PyObject* factor_type;      // SPQRFactor
    PyObject* householder_type; // SPQRHouseholder
    // Bound at import.
    PyObject* issparse;
    PyObject* csc_array;
    PyObject* hstack;
    PyObject* int32_dtype;
    PyObject* int64_dtype;
    PyObject* float64_dtype;
    PyObject* complex128_dtype;
    PyObject* sparse_from_csc;  // tarnix.cholmod._cholmod_sparse_from_csc, as imported
    bool assertions;
    // Native entry points of tarnix.cholmod.
    tarnix::cholmod_capi::NdarrayFromDense ndarray_from_dense;
    tarnix::cholmod_capi::NdarrayCopyFromIntptr ndarray_copy_from_intptr;
    tarnix::cholmod_capi::CscFromSparse csc_from_sparse;
    tarnix::cholmod_capi::CopyCommon copy_common;
    tarnix::cholmod_capi::DenseFromNdarray dense_from_float64;
    tarnix::cholmod_capi::DenseFromNdarray dense_from_complex128;

    static constexpr PyObject* State::*objects[] = {
        &State::SPQRWarning,          &State::SPQRRankDeficiencyWarning, &State::SPQRError,
        &State::SPQRNotInstalledError, &State::SPQROutOfMemoryError,     &State::SPQROverflowError,
        &State::SPQRInvalidInputError, &State::SPQRGpuProblemError,      &State::error_map,
        &State::ordering_codes,        &State::ordering_names,           &State::info_type,
        &State::factor_type,           &State::householder_type,         &State::issparse,
        &State::csc_array,             &State::hstack,                   &State::int32_dtype,
        &State::int64_dtype,           &State::float64_dtype,            &State::complex128_dtype,
        &State::sparse_from_csc,
    };
};

extern PyModuleDef module_def;

inline State& state_of(PyObject* module)
{
    return tarnix::module_state<State>(module);
}

// The state of the module that defined `type` (or a base of it).
State& state_of_type(PyTypeObject* type);

// Raises the exception mapped to a CHOLMOD status; returns when it is 0.
void handle_errors(const State& st, int status);

// The ordering code of `order` (None: the default, 7); an unknown name raises
// ValueError listing the names.
int ordering_code(const State& st, PyObject* order);

// The fill-reducing ordering's name for SPQRInfo.
tarnix::Ref ordering_name(const State& st, int code);

// The header over a CSC matrix's arrays (a matrix from validate_csc_input),
// filled through the module-level _cholmod_sparse_from_csc. See
// common/cholmod_views.hpp for what a view guarantees and for the order in
// which a call gathers its arguments, builds its views and calls the library.
tarnix::SparseView sparse_view(PyObject* module, tarnix::CscParts parts);

// A new csc_array over copies of a CSC matrix's arrays, checked after they
// were copied (copying a large array may let go of the interpreter lock, and
// another thread may write to the caller's arrays meanwhile). For SciPy
// operations that index with the stored indices after Python code has run.
tarnix::Ref private_csc_copy(PyObject* module, PyObject* matrix);

// The dense header over a column-major array of the entry type.
template <class Entry>
tarnix::DenseView<Entry> dense_view(const State& st, PyObject* array, const char* name)
{
    return tarnix::DenseView<Entry>(array, name,
                                    std::is_same_v<Entry, double> ? st.dense_from_float64 : st.dense_from_complex128);
}

// "float64" or "complex128", "int32" or "int64": the types a header holds,
// for messages.
inline const char* value_type_name(bool real)
{
    return real ? "float64" : "complex128";
}
inline const char* index_type_name(bool int32)
{
    return int32 ? "int32" : "int64";
}

// Hands a dense result over to tarnix.cholmod as a new array.
template <class Int>
tarnix::Ref dense_to_ndarray(const State& st, spqr_lib::DenseResult<Int>& X, cholmod_common* cm)
{
    return tarnix::check(reinterpret_cast<PyObject*>(st.ndarray_from_dense(X.release(), std::is_same_v<Int, int32_t>, cm)));
}

template <class Int>
tarnix::Ref sparse_to_csc(const State& st, spqr_lib::SparseResult<Int>& A, cholmod_common* cm)
{
    return tarnix::check(st.csc_from_sparse(A.release(), cm));
}

// Raises when warnings are turned into errors.
void warn(PyObject* category, PyObject* message);

}  // namespace spqr_module
