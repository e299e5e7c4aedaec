// Work arrays whose length the caller's matrix decides. One that cannot be
// had throws AllocationFailure with the bytes it wanted, so that the face
// can say which library wanted how much for what, rather than the bare
// MemoryError of a failed new[].
#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <new>

namespace tarnix::engine {

// Thrown by new_workspace: what could not be allocated.
struct AllocationFailure {
    double bytes;
};

// "512 bytes", "1.5 KiB", ..., "16.0 GiB", "2.0 PiB" (powers of 1024).
void format_bytes(double bytes, char* out, size_t size);

// count entries of T, left uninitialised.
template <class T>
std::unique_ptr<T[]> new_workspace(long long count)
{
    const double bytes = static_cast<double>(count) * static_cast<double>(sizeof(T));
    if (count < 0 || static_cast<unsigned long long>(count) > std::numeric_limits<size_t>::max() / sizeof(T)) {
        throw AllocationFailure{bytes};
    }
    T* block = new (std::nothrow) T[static_cast<size_t>(count)];
    if (block == nullptr) {
        throw AllocationFailure{bytes};
    }
    return std::unique_ptr<T[]>(block);
}

}  // namespace tarnix::engine
