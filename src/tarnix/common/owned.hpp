// Arrays a library call owns, so that the library can work with the
// interpreter lock released.
//
// A library that reads or writes the caller's arrays while other threads run
// could see them change under it (the caller's other threads, NumPy kernels
// that release the lock, another of our calls writing its output there). So
// the ordering and BTF calls hand their libraries copies: new NumPy arrays
// that only the call references, viewed like any argument, so that the
// checks of common/csc.hpp and common/ordering.hpp apply to them unchanged.
// The checks run on the copies, after copying: what was checked is what the
// library reads. Outputs are written to owned arrays and copied into the
// caller's once the lock is held again.
//
// Small calls keep the lock and work in place: for them the copies would
// cost more than other threads could gain (a few microseconds for the lock
// and the arrays against a library call of about as long). Nothing else
// runs while they hold the lock, so the caller's arrays are what they check.
#pragma once

#include "common/buffer.hpp"
#include "common/csc.hpp"
#include "common/threads.hpp"

#include <algorithm>
#include <limits>
#include <type_traits>
#include <utility>

namespace tarnix {

// Whether a call over `rows` row indices and `columns` columns works on
// copies without the lock, or in place holding it. The sizes may be any
// arguments' (a negative or huge N is refused later): no sum overflows.
inline constexpr long long kCopiesFromEntries = 4096;

inline bool works_on_copies(long long rows, long long columns) noexcept
{
    auto clamp = [](long long v) { return v < 0 ? 0 : v > kCopiesFromEntries ? kCopiesFromEntries : v; };
    return clamp(rows) + clamp(columns) >= kCopiesFromEntries;
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

    // A copy of a view that may be null (an argument that was None); none
    // unless `copying`.
    static Owned copy_optional(const Vector<I>& src, const char* name, bool copying = true)
    {
        return !copying || src.is_null() ? Owned{} : copy(src, src.size(), name);
    }

    I* data() const noexcept { return view.data(); }

    // The copy, or the caller's array when there is none (an in-place call).
    const Vector<I>& or_caller(const Vector<I>& caller) const noexcept { return array ? view : caller; }

    // Writes the first n entries back into dst.
    void copy_to(const Vector<I>& dst, Py_ssize_t n) const noexcept { std::copy_n(view.data(), n, dst.data()); }
};

// The row indices Ai[0..nnz) copied and checked in one pass: every value
// stored in the copy lies in 0..nrow-1 (raised as require_valid_pattern does).
template <class I>
Owned<I> copy_rows_checked(const Vector<I>& Ai, long long nnz, long long nrow)
{
    Owned<I> rows = Owned<I>::uninitialised(static_cast<Py_ssize_t>(nnz), "Ai");
    using U = std::make_unsigned_t<I>;
    const long long top = std::numeric_limits<I>::max();
    const U bound = nrow <= 0 ? U{0} : nrow > top ? static_cast<U>(static_cast<U>(top) + 1) : static_cast<U>(nrow);
    const I* src = Ai.data();
    I* dst = rows.data();
    U out = 0;
    for (long long k = 0; k < nnz; ++k) {
        const I v = src[k];
        dst[k] = v;
        out |= static_cast<U>(static_cast<U>(v) >= bound);
    }
    if (out != 0) {
        for (long long k = 0; k < nnz; ++k) {
            if (dst[k] < 0 || static_cast<long long>(dst[k]) >= nrow) {
                raise_row_out_of_range(k, dst[k], nrow);
            }
        }
    }
    return rows;
}

// The pattern BTF reads, owned and checked: Ap[N+1] from 0, non-decreasing,
// up to at most len(Ai), and every row index in 0..nrow-1. Ap has N + 1
// entries (checked by the caller). Ap and Ai below are the copies; a call in
// place has none and reads the caller's (Owned::or_caller).
template <class I>
struct OwnedPattern {
    Owned<I> Ap;
    Owned<I> Ai;

    // In place (no copies) the caller's arrays are checked instead.
    static OwnedPattern copy_checked(const Vector<I>& Ap, const Vector<I>& Ai, long long nrow, bool copying)
    {
        if (!copying) {
            require_valid_pattern(Ap, Ai, nrow);
            return OwnedPattern{};
        }
        Owned<I> pointers = Owned<I>::copy(Ap, Ap.size(), "Ap");
        const long long nnz = require_column_pointers(pointers.view, Ai.size());
        return OwnedPattern{std::move(pointers), copy_rows_checked(Ai, nnz, nrow)};
    }
};

// The pattern SYMAMD, CSYMAMD and CAMD read, copied when `copying`: these
// libraries check the pattern themselves, column by column, once the column
// pointers are known to stay inside Ai, which is checked on the copies.
template <class I>
struct OwnedPointers {
    Owned<I> Ap;
    Owned<I> Ai;

    static OwnedPointers copy_checked(const Vector<I>& Ap, const Vector<I>& Ai, bool copying)
    {
        OwnedPointers pattern{Owned<I>::copy_optional(Ap, "Ap", copying), Owned<I>::copy_optional(Ai, "Ai", copying)};
        if (pattern.Ap.array && pattern.Ai.array) {
            require_pointers_within(pattern.Ap.view, pattern.Ai.view.size());
        }
        return pattern;
    }
};

}  // namespace tarnix
