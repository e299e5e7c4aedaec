// Arrays a library call owns, so that what the library reads is what was
// checked, and the library can work with the interpreter lock released.
//
// A library that reads or writes the caller's arrays could see them change
// under it: another thread may be writing into them, with Python code or in
// a NumPy kernel, and a kernel that let go of the interpreter lock keeps
// writing while this thread holds it (seen for arrays of a few hundred
// entries). A library that takes row indices or constraint sets as indices
// then reads and writes outside its arrays. So the ordering and BTF calls
// hand their libraries copies, always: new NumPy arrays that only the call
// references, viewed like any argument, so that the checks of
// common/csc.hpp and common/ordering.hpp apply to them unchanged. The checks
// run on the copies, after copying. Outputs are written to owned arrays and
// copied into the caller's afterwards.
//
// Small calls keep the interpreter lock: for them taking it back would cost
// more than other threads could gain (a few microseconds against a library
// call of about as long).
#pragma once

#include "common/buffer.hpp"
#include "common/csc.hpp"
#include "common/threads.hpp"

#include <algorithm>
#include <limits>
#include <type_traits>
#include <utility>

namespace tarnix {

// Whether a call over `rows` row indices and `columns` columns releases the
// interpreter lock. The sizes may be any arguments' (a negative or huge N is
// refused later): no sum overflows.
inline constexpr long long kReleaseFromEntries = 4096;

inline bool releases_lock(long long rows, long long columns) noexcept
{
    auto clamp = [](long long v) { return v < 0 ? 0 : v > kReleaseFromEntries ? kReleaseFromEntries : v; };
    return clamp(rows) + clamp(columns) >= kReleaseFromEntries;
}

// f() with the interpreter lock released when `release`, holding it otherwise.
template <class F>
decltype(auto) run_library(bool release, F&& f)
{
    if (release) {
        return without_gil(std::forward<F>(f));
    }
    return std::forward<F>(f)();
}

// A new uninitialised one-dimensional array of n entries of I, and a view of it.
template <class I>
struct Owned {
    Ref array;
    Vector<I> view;

    static Owned uninitialised(Py_ssize_t n, const char* name)
    {
        npy_intp dims[1] = {static_cast<npy_intp>(n)};
        constexpr int typenum = sizeof(I) == 4 ? NPY_INT32 : (std::is_same_v<I, double> ? NPY_DOUBLE : NPY_INT64);
        Ref array = check(PyArray_SimpleNew(1, dims, typenum));
        Vector<I> view(array.get(), name);
        return Owned{std::move(array), std::move(view)};
    }

    // The first n entries of src (n <= src.size()).
    static Owned copy(const Vector<I>& src, Py_ssize_t n, const char* name)
    {
        Owned owned = uninitialised(n, name);
        std::copy_n(src.data(), n, owned.view.data());
        return owned;
    }

    // A copy of a view that may be null (an argument that was None): none then.
    static Owned copy_optional(const Vector<I>& src, const char* name)
    {
        return src.is_null() ? Owned{} : copy(src, src.size(), name);
    }

    I* data() const noexcept { return view.data(); }

    // The copy, or the caller's array when there is none (an argument that
    // was None, or an output the call made itself).
    const Vector<I>& or_caller(const Vector<I>& caller) const noexcept { return array ? view : caller; }

    // Writes the first n entries back into dst.
    void copy_to(const Vector<I>& dst, Py_ssize_t n) const noexcept { std::copy_n(view.data(), n, dst.data()); }
};

// The row indices Ai[0..nnz) copied and checked in one pass: every value
// stored in the copy lies in 0..nrow-1.
template <class I>
Owned<I> copy_rows_checked(const Vector<I>& Ai, long long nnz, long long nrow)
{
    Owned<I> rows = Owned<I>::uninitialised(static_cast<Py_ssize_t>(nnz), "Ai");
    const engine::IndexFault fault = engine::copy_in_range(Ai.data(), rows.data(), nnz, nrow);
    if (fault) {
        raise_row_out_of_range(fault.at, fault.value, nrow);
    }
    return rows;
}

// The pattern BTF reads, owned and checked: Ap[N+1] from 0, non-decreasing,
// up to at most len(Ai), and every row index in 0..nrow-1. Ap has N + 1
// entries (checked by the caller).
template <class I>
struct OwnedPattern {
    Owned<I> Ap;
    Owned<I> Ai;

    static OwnedPattern copy_checked(const Vector<I>& Ap, const Vector<I>& Ai, long long nrow)
    {
        Owned<I> pointers = Owned<I>::copy(Ap, Ap.size(), "Ap");
        const long long nnz = require_column_pointers(pointers.view, Ai.size());
        return OwnedPattern{std::move(pointers), copy_rows_checked(Ai, nnz, nrow)};
    }
};

// The pattern SYMAMD, CSYMAMD and CAMD read, copied: these libraries check
// the pattern themselves, column by column, once the column pointers are
// known to stay inside Ai, which is checked on the copies.
template <class I>
struct OwnedPointers {
    Owned<I> Ap;
    Owned<I> Ai;

    static OwnedPointers copy_checked(const Vector<I>& Ap, const Vector<I>& Ai)
    {
        OwnedPointers pattern{Owned<I>::copy_optional(Ap, "Ap"), Owned<I>::copy_optional(Ai, "Ai")};
        if (pattern.Ap.array && pattern.Ai.array) {
            require_pointers_within(pattern.Ap.view, pattern.Ai.view.size());
        }
        return pattern;
    }
};

}  // namespace tarnix
