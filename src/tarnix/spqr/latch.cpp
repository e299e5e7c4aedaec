// The out-of-memory latch (see latch.hpp): per-thread flags and the
// allocation functions that consult them.

#include "spqr/latch.hpp"

#include <SuiteSparse_config.h>
#include <cholmod.h>

#include <cstddef>

namespace spqr_lib {

namespace {

// Per thread: whether a latch is alive, and whether it has closed.
thread_local bool t_latch_armed = false;
thread_local bool t_latch_closed = false;

// The functions the latch wraps, set once at import (before any thread can
// call the library) and only read afterwards.
void* (*g_malloc)(size_t) = nullptr;
void* (*g_calloc)(size_t, size_t) = nullptr;
void* (*g_realloc)(void*, size_t) = nullptr;

void* latched_malloc(size_t size)
{
    return t_latch_closed ? nullptr : g_malloc(size);
}

void* latched_calloc(size_t count, size_t size)
{
    return t_latch_closed ? nullptr : g_calloc(count, size);
}

void* latched_realloc(void* block, size_t size)
{
    return t_latch_closed ? nullptr : g_realloc(block, size);
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

OutOfMemoryLatch::OutOfMemoryLatch() noexcept : outer_armed_(t_latch_armed), outer_closed_(t_latch_closed)
{
    t_latch_armed = true;
    t_latch_closed = false;
}

OutOfMemoryLatch::~OutOfMemoryLatch()
{
    t_latch_armed = outer_armed_;
    t_latch_closed = outer_closed_;
}

bool out_of_memory_latched() noexcept
{
    return t_latch_armed && t_latch_closed;
}

void on_library_error(int status, const char*, int, const char*)
{
    if (status == CHOLMOD_OUT_OF_MEMORY && t_latch_armed) {
        t_latch_closed = true;
    }
}

}  // namespace spqr_lib
