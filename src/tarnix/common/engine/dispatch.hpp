// The one dispatch on index width and value type: a run-time choice turned
// into a call of a template with the matching types. The faces decide the
// choice from their arguments (common/dispatch.hpp, spqr/arguments.hpp);
// everything below the call is typed.
#pragma once

#include <complex>
#include <cstdint>

namespace tarnix {

enum class IndexWidth : unsigned char { I32, I64 };
enum class ValueType : unsigned char { Real, Complex };

// f(int32_t{}) or f(int64_t{}).
template <class F>
decltype(auto) with_index(IndexWidth width, F&& f)
{
    if (width == IndexWidth::I32) {
        return f(int32_t{});
    }
    return f(int64_t{});
}

// f(double{}) or f(std::complex<double>{}).
template <class F>
decltype(auto) with_value(ValueType value, F&& f)
{
    if (value == ValueType::Real) {
        return f(double{});
    }
    return f(std::complex<double>{});
}

// f(Entry{}, Int{}) for both choices at once.
template <class F>
decltype(auto) with_variant(ValueType value, IndexWidth width, F&& f)
{
    return with_value(value, [&](auto entry) { return with_index(width, [&](auto index) { return f(entry, index); }); });
}

}  // namespace tarnix
