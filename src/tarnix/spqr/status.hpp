// Library statuses as Python exceptions, and the module's warnings.
#pragma once

#include "spqr/state.hpp"

namespace spqr_module {

// The status -> (class, message) table, built once at import.
tarnix::Ref new_error_map(const State& st);

// Raises the exception mapped to a CHOLMOD status; returns when it is 0 and
// this thread's out-of-memory latch is open. Called with the interpreter
// lock held, after the library call returned.
void handle_errors(const State& st, int status);

// Raises when warnings are turned into errors.
void warn(PyObject* category, PyObject* message);

}  // namespace spqr_module
