// Library statuses as Python exceptions, and the module's warnings.
#pragma once

#include "spqr/engine/library.hpp"
#include "spqr/state.hpp"

#include <cholmod.h>

namespace spqr_module {

// The status -> (class, message) table, built once at import.
tarnix::Ref new_error_map(const State& st);

// Raises the exception mapped to the status an engine call returned;
// returns when it is 0 and the call's out-of-memory latch stayed open.
// Called with the interpreter lock held, after the engine returned.
void handle_errors(const State& st, const spqr_lib::Status& status);

// handle_errors for a call that ran SuiteSparseQR's analysis: an analysis
// whose sizes overflow 32-bit indices is reported as the overflow it is,
// with the cure, rather than as the invalid input the library's 32-bit path
// turns it into (spqr/engine/latch.hpp).
void handle_analysis_errors(const State& st, const spqr_lib::Status& status);

// The MemoryError of a CHOLMOD common that could not start.
[[noreturn]] void raise_common_not_started();

// Raises when warnings are turned into errors.
void warn(PyObject* category, PyObject* message);

}  // namespace spqr_module
