// Library statuses as Python exceptions, and the module's warnings.
#pragma once

#include "spqr/state.hpp"

#include <cholmod.h>

namespace spqr_module {

// The status -> (class, message) table, built once at import.
tarnix::Ref new_error_map(const State& st);

// Raises the exception mapped to a CHOLMOD status; returns when it is 0 and
// this thread's out-of-memory latch is open. Called with the interpreter
// lock held, after the library call returned.
void handle_errors(const State& st, int status);

// handle_errors for a call that ran SuiteSparseQR's analysis under a latch,
// on the common it used: an analysis whose sizes overflow 32-bit indices is
// reported as the overflow it is, with the cure, rather than as the invalid
// input the library's 32-bit path turns it into (spqr/latch.hpp).
void handle_analysis_errors(const State& st, const cholmod_common& cm);

// Raises when warnings are turned into errors.
void warn(PyObject* category, PyObject* message);

}  // namespace spqr_module
