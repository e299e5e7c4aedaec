// The memory functions handed to library routines that take an allocator
// as an argument (SYMAMD and CSYMAMD): SuiteSparse's own, so that every
// library the package calls draws on the same (replaceable) memory functions.
#pragma once

#include <SuiteSparse_config.h>

#include <cstddef>

namespace tarnix {

inline void* library_calloc(size_t count, size_t size)
{
    return SuiteSparse_calloc(count, size);
}

inline void library_free(void* block)
{
    SuiteSparse_free(block);
}

}  // namespace tarnix
