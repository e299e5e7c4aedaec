// The out-of-memory latch: SuiteSparse allocations that keep failing once
// the library has run out of memory, so that no later step of the same call
// writes through a block it could not get.
//
// CHOLMOD's allocation routines reset the common's status when they start, and
// some of SuiteSparseQR's paths (the explicit Q and the Householder form)
// allocate again after a failed allocation before they look at the status: the
// failure is forgotten and the library goes on to write through a block it
// could not allocate or grow. So every common the module starts reports its
// errors here, and while an OutOfMemoryLatch is alive on a thread, the first
// out-of-memory error closes the latch: every later SuiteSparse allocation on
// that thread fails until the latch goes out of scope. The library then meets
// the failure wherever it looks, frees what it holds and returns it.
//
// The latch is per thread: a library call runs on the thread that made the
// latch (also while that thread has let go of the interpreter lock), and
// another thread's calls neither see nor close it.
#pragma once

#include <cholmod.h>

namespace spqr_lib {

// Wraps SuiteSparse's allocation functions (once per process, at import).
void install_out_of_memory_latch();

class OutOfMemoryLatch {
public:
    OutOfMemoryLatch() noexcept;
    ~OutOfMemoryLatch();
    OutOfMemoryLatch(const OutOfMemoryLatch&) = delete;
    OutOfMemoryLatch& operator=(const OutOfMemoryLatch&) = delete;

private:
    bool outer_armed_;
    bool outer_closed_;
    bool outer_invalid_;
    double outer_failed_bytes_;
};

// The size of the first allocation that failed while the innermost latch of
// this thread was alive, in bytes; 0 when none did.
double failed_allocation_bytes() noexcept;

// Whether the innermost latch of this thread has closed. A library call that
// ran out of memory may end with another status (a later step meeting the
// missing block); it is reported as out of memory all the same.
bool out_of_memory_latched() noexcept;

// Whether the library reported CHOLMOD_INVALID through the commons' error
// handler while the innermost latch of this thread was alive. SuiteSparseQR
// reports its own errors through CHOLMOD's 64-bit error routine, which on a
// 32-bit common neither calls the handler nor keeps the status it is given:
// it sets CHOLMOD_INVALID instead. A 32-bit call that ends with that status
// unreported met one of SuiteSparseQR's own errors (see int32_overflow).
bool invalid_reported() noexcept;

// Whether a SuiteSparseQR analysis on a 32-bit common (run under a latch)
// failed because its sizes do not fit 32-bit indices. Its analysis checks the
// entries of each frontal matrix (rows x columns) and of the stack of fronts
// alive at once against the index range and reports CHOLMOD_TOO_LARGE,
// through the 64-bit error routine: on a 32-bit common that arrives as an
// unreported CHOLMOD_INVALID. The library's other errors of that path do not
// arise for the inputs the module hands it (checked arguments; out of memory
// closes the latch; BLAS dimensions fit once the fronts' sizes do).
inline bool int32_overflow(const cholmod_common& cm) noexcept
{
    return cm.itype == CHOLMOD_INT && cm.status == CHOLMOD_INVALID && !out_of_memory_latched() &&
           !invalid_reported();
}

// The error handler of the module's commons.
void on_library_error(int status, const char* file, int line, const char* message);

}  // namespace spqr_lib
