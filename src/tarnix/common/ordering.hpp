// Mechanisms shared by the fill-reducing ordering modules (COLAMD/SYMAMD,
// CCOLAMD/CSYMAMD, CAMD): trivial-input answers, knob conversion and the
// COLAMD family's status-to-exception mapping.
#pragma once

#include "common/csc.hpp"

namespace tarnix {

// --- Knobs -----------------------------------------------------------------

// knobs[index] = float(value) rounded to single precision; None leaves it.
void set_threshold_knob(double* knobs, int index, PyObject* value);
// knobs[index] = 1.0 or 0.0 by the truth of value; None leaves it.
void set_flag_knob(double* knobs, int index, PyObject* value);

// --- Trivial inputs of COLAMD and CCOLAMD ------------------------------------

// The answer for inputs the library is not called for, or an empty Ref:
//   no rows or no columns                               -> []
//   no stored entries, or one row (unsymmetric ordering) -> arange(N)
//   one column                                          -> [0]
Ref colamd_trivial_ordering(const CscInput& in, bool symmetric);

// True when A.nnz == 0 (Python equality).
bool has_no_entries(PyObject* matrix);

// --- Status of COLAMD and CCOLAMD ---------------------------------------------

// Both libraries report failure with the same status codes; each module maps
// them to its own exception family, with its library's name in the messages.
struct StatusFamily {
    const char* library;     // "COLAMD" or "CCOLAMD"
    PyObject* value_error;
    PyObject* memory_error;
    PyObject* internal_error;
    PyObject* messages;      // dict: status -> text
    bool assertions;         // __debug__ at import
};

// The status-message table, in the libraries' order.
Ref new_colamd_status_messages();

// Returns when the call succeeded; raises the family's exception otherwise.
// A success whose status is not 0 is an AssertionError while assertions are on.
void handle_colamd_status(const StatusFamily& family, int ok, long long status);

// The value of the builtin __debug__.
bool assertions_enabled();

}  // namespace tarnix
