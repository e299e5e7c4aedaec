// A library's routines in both index widths, as a table of function pointers.
//
// SuiteSparse names each routine twice, once per index width (colamd and
// colamd_l, btf_order and btf_l_order, ...). A module describes its routines
// once, as a struct template of function pointers R<I>, and fills a
// WidthTable<R> with both sets; the wrapper code, a template over the index
// type, picks its set with table.get<I>().
#pragma once

#include <cstdint>
#include <type_traits>

namespace tarnix {

template <template <class> class R>
struct WidthTable {
    R<int32_t> i32;
    R<int64_t> i64;

    template <class I>
    constexpr const R<I>& get() const noexcept
    {
        static_assert(std::is_same_v<I, int32_t> || std::is_same_v<I, int64_t>, "int32_t or int64_t indices");
        if constexpr (std::is_same_v<I, int32_t>) {
            return i32;
        }
        else {
            return i64;
        }
    }
};

}  // namespace tarnix
