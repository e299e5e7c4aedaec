// Module state of tarnix.spqr: its exception classes, tables, classes and
// the objects and native entry points it binds at import.
#pragma once

#include "cholmod/capi.hpp"
#include "common/module.hpp"

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
    unsigned int factor_version;  // SPQRFactor's version tag as made (see is_exact_factor)
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

}  // namespace spqr_module
