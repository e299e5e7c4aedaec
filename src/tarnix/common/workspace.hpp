// Work arrays whose length the caller's matrix decides, for the faces: the
// allocation is the engine's (common/engine/workspace.hpp); when it fails,
// the module's memory error says which library wanted how much for what,
// rather than the bare MemoryError of a failed new[].
#pragma once

#include "common/engine/workspace.hpp"
#include "common/python.hpp"

#include <memory>
#include <new>
#include <utility>

namespace tarnix {

using engine::format_bytes;

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

// f(), an engine's AllocationFailure it throws raised as for_what's memory
// error; so is a std::bad_alloc (containers of about `bytes` bytes that the
// caller's matrix sizes).
template <class F>
decltype(auto) with_workspace(const WorkspaceFor& for_what, double bytes, F&& f)
{
    try {
        return std::forward<F>(f)();
    }
    catch (const engine::AllocationFailure& failure) {
        raise_workspace_error(for_what, failure.bytes);
    }
    catch (const std::bad_alloc&) {
        raise_workspace_error(for_what, bytes);
    }
}

// count entries of T, left uninitialised.
template <class T>
std::unique_ptr<T[]> new_workspace(long long count, const WorkspaceFor& for_what)
{
    return with_workspace(for_what, 0.0, [&] { return engine::new_workspace<T>(count); });
}

}  // namespace tarnix
