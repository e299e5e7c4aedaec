// Work arrays whose length the caller's matrix decides. When one cannot be
// had, the module's memory error says which library wanted how much for what,
// rather than the bare MemoryError of a failed new[].
#pragma once

#include "common/python.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <utility>

namespace tarnix {

// What a work array is for: the library that needs it and the matrix's size.
struct WorkspaceFor {
    PyObject* memory_error;  // the module's memory error class (a MemoryError)
    const char* library;     // "COLAMD", "BTF", ...
    long long rows;
    long long cols;
};

// Raises for.memory_error with "<library>: cannot allocate 16.0 GiB of
// workspace for a 2147483648 x 3 matrix".
[[noreturn]] void raise_workspace_error(const WorkspaceFor& for_what, double bytes);

// "512 bytes", "1.5 KiB", ..., "16.0 GiB", "2.0 PiB" (powers of 1024).
void format_bytes(double bytes, char* out, size_t size);

// count entries of T, left uninitialised.
template <class T>
std::unique_ptr<T[]> new_workspace(long long count, const WorkspaceFor& for_what)
{
    const double bytes = static_cast<double>(count) * static_cast<double>(sizeof(T));
    if (count < 0 || static_cast<unsigned long long>(count) > std::numeric_limits<size_t>::max() / sizeof(T)) {
        raise_workspace_error(for_what, bytes);
    }
    T* block = new (std::nothrow) T[static_cast<size_t>(count)];
    if (block == nullptr) {
        raise_workspace_error(for_what, bytes);
    }
    return std::unique_ptr<T[]>(block);
}

// f(), a std::bad_alloc it throws (containers of about `bytes` bytes that
// the caller's matrix sizes) raised as for_what's memory error.
template <class F>
decltype(auto) with_workspace(const WorkspaceFor& for_what, double bytes, F&& f)
{
    try {
        return std::forward<F>(f)();
    }
    catch (const std::bad_alloc&) {
        raise_workspace_error(for_what, bytes);
    }
}

}  // namespace tarnix
