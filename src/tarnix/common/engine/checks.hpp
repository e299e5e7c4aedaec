// Range and uniqueness checks of index arrays, before a library indexes its
// work arrays by them. Every check runs on every call, over arrays of
// millions of entries: a first pass is branch-free so that it vectorises
// (plain SSE2) and runs at memory speed, and only a failed pass is followed
// by the slow loop that finds the culprit for the message. The messages
// themselves are each caller's: these functions only say where and what.
#pragma once

#include <limits>
#include <type_traits>

namespace tarnix::engine {

// The unsigned bound that 0..limit-1 becomes for indices of type I (limit
// > 0): viewed unsigned, negative values wrap above every valid one, so one
// compare per value decides. Every non-negative I is below a limit beyond
// its range.
template <class I>
std::make_unsigned_t<I> unsigned_bound(long long limit) noexcept
{
    using U = std::make_unsigned_t<I>;
    const long long top = std::numeric_limits<I>::max();
    return limit > top ? static_cast<U>(static_cast<U>(top) + 1) : static_cast<U>(limit);
}

// True when every one of the n values lies in 0..limit-1. OR-ing the
// outcomes keeps the loop free of branches.
template <class I>
bool all_below(const I* values, long long n, long long limit) noexcept
{
    using U = std::make_unsigned_t<I>;
    if (limit <= 0) {
        return n == 0;
    }
    const U bound = unsigned_bound<I>(limit);
    U out = 0;
    for (long long k = 0; k < n; ++k) {
        out |= static_cast<U>(static_cast<U>(values[k]) >= bound);
    }
    return out == 0;
}

// True when every one of the n values of any integer type T lies in
// low..high (low <= 0): whether a cast to a narrower index type keeps them.
template <class T>
bool all_within(const T* values, long long n, long long low, unsigned long long high) noexcept
{
    unsigned out = 0;
    for (long long k = 0; k < n; ++k) {
        const T v = values[k];
        if constexpr (std::is_signed_v<T>) {
            out |= static_cast<unsigned>(v < low || (v > 0 && static_cast<unsigned long long>(v) > high));
        }
        else {
            out |= static_cast<unsigned>(v > high);
        }
    }
    return out == 0;
}

// Where an index array leaves its range or names an index twice.
struct IndexFault {
    long long at = -1;      // position of the first offending entry; -1: none
    long long value = 0;    // the entry there
    bool repeated = false;  // in range, but named by an earlier entry
    explicit operator bool() const noexcept { return at >= 0; }
};

// The first of values[0..n) outside 0..limit-1.
template <class I>
IndexFault find_out_of_range(const I* values, long long n, long long limit) noexcept
{
    if (all_below(values, n, limit)) {
        return IndexFault{};
    }
    for (long long k = 0; k < n; ++k) {
        if (values[k] < 0 || static_cast<long long>(values[k]) >= limit) {
            return IndexFault{k, static_cast<long long>(values[k]), false};
        }
    }
    return IndexFault{};
}

// src[0..n) copied into dst, and the first copied value outside
// 0..limit-1, in one pass. The copy is what the library reads, so it is what
// is checked: another thread may change src meanwhile.
template <class I>
IndexFault copy_in_range(const I* src, I* dst, long long n, long long limit) noexcept
{
    using U = std::make_unsigned_t<I>;
    const U bound = limit <= 0 ? U{0} : unsigned_bound<I>(limit);
    U out = 0;
    for (long long k = 0; k < n; ++k) {
        const I v = src[k];
        dst[k] = v;
        out |= static_cast<U>(static_cast<U>(v) >= bound);
    }
    return out == 0 ? IndexFault{} : find_out_of_range(dst, n, limit);
}

// The identity, for indices that are the entries themselves.
struct AsIndex {
    template <class I>
    constexpr long long operator()(I v) const noexcept
    {
        return static_cast<long long>(v);
    }
};

// The first of values[0..n) whose index index_of(value) lies outside
// 0..limit-1 or repeats an earlier one. `seen` holds limit entries (any
// integer type), cleared here.
template <class I, class Mark, class Key = AsIndex>
IndexFault find_non_unique(const I* values, long long n, long long limit, Mark* seen, Key index_of = {}) noexcept
{
    for (long long j = 0; j < limit; ++j) {
        seen[j] = Mark{0};
    }
    for (long long k = 0; k < n; ++k) {
        const long long j = index_of(values[k]);
        if (j < 0 || j >= limit) {
            return IndexFault{k, static_cast<long long>(values[k]), false};
        }
        if (seen[j]) {
            return IndexFault{k, static_cast<long long>(values[k]), true};
        }
        seen[j] = Mark{1};
    }
    return IndexFault{};
}

}  // namespace tarnix::engine
