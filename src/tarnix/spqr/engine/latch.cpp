// The out-of-memory latch (see latch.hpp): per-thread flags and the
// allocation functions that consult them.

#include "spqr/engine/latch.hpp"

#include <SuiteSparse_config.h>
#include <cholmod.h>

#include <cstddef>

namespace spqr_lib {

namespace {

// Per thread: whether a latch is alive, and whether it has closed. Every
// SuiteSparse allocation reads them: with the initial-exec model a read is
// one load from the thread's static block, where the default model of a
// shared object calls __tls_get_addr each time (16 bytes of the static TLS
// surplus that glibc keeps for modules loaded later).
#if defined(__GNUC__) && defined(__ELF__)
#define TARNIX_TLS_STATIC __attribute__((tls_model("initial-exec")))
#else
#define TARNIX_TLS_STATIC
#endif
thread_local bool t_latch_armed TARNIX_TLS_STATIC = false;
thread_local bool t_latch_closed TARNIX_TLS_STATIC = false;
thread_local bool t_invalid_reported TARNIX_TLS_STATIC = false;
thread_local double t_failed_bytes TARNIX_TLS_STATIC = 0.0;
#undef TARNIX_TLS_STATIC

// The functions the latch wraps, set once at import (before any thread can
// call the library) and only read afterwards.
void* (*g_malloc)(size_t) = nullptr;
void* (*g_calloc)(size_t, size_t) = nullptr;
void* (*g_realloc)(void*, size_t) = nullptr;

// Remembers the first failure of a latch's life, for the error message.
void* note_failure(void* block, double bytes) noexcept
{
    if (block == nullptr && t_latch_armed && t_failed_bytes == 0.0) {
        t_failed_bytes = bytes;
    }
    return block;
}

void* latched_malloc(size_t size)
{
    return t_latch_closed ? nullptr : note_failure(g_malloc(size), static_cast<double>(size));
}

void* latched_calloc(size_t count, size_t size)
{
    return t_latch_closed ? nullptr
                          : note_failure(g_calloc(count, size), static_cast<double>(count) * static_cast<double>(size));
}

void* latched_realloc(void* block, size_t size)
{
    return t_latch_closed ? nullptr : note_failure(g_realloc(block, size), static_cast<double>(size));
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

OutOfMemoryLatch::OutOfMemoryLatch() noexcept
    : outer_armed_(t_latch_armed), outer_closed_(t_latch_closed), outer_invalid_(t_invalid_reported),
      outer_failed_bytes_(t_failed_bytes)
{
    t_latch_armed = true;
    t_latch_closed = false;
    t_invalid_reported = false;
    t_failed_bytes = 0.0;
}

OutOfMemoryLatch::~OutOfMemoryLatch()
{
    t_latch_armed = outer_armed_;
    t_latch_closed = outer_closed_;
    t_invalid_reported = outer_invalid_;
    t_failed_bytes = outer_failed_bytes_;
}

double failed_allocation_bytes() noexcept
{
    return t_latch_armed ? t_failed_bytes : 0.0;
}

bool out_of_memory_latched() noexcept
{
    return t_latch_armed && t_latch_closed;
}

bool invalid_reported() noexcept
{
    return t_latch_armed && t_invalid_reported;
}

void on_library_error(int status, const char*, int, const char*)
{
    if (status == CHOLMOD_OUT_OF_MEMORY && t_latch_armed) {
        t_latch_closed = true;
    }
    if (status == CHOLMOD_INVALID && t_latch_armed) {
        t_invalid_reported = true;
    }
}

}  // namespace spqr_lib
