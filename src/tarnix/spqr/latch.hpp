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
};

// Whether the innermost latch of this thread has closed. A library call that
// ran out of memory may end with another status (a later step meeting the
// missing block); it is reported as out of memory all the same.
bool out_of_memory_latched() noexcept;

// The error handler of the module's commons.
void on_library_error(int status, const char* file, int line, const char* message);

}  // namespace spqr_lib
