// The dense-row thresholds of the orderings, kept where the libraries'
// conversion of them to counts is defined.
#pragma once

#include <cmath>
#include <limits>

namespace tarnix::engine {

// The largest dense threshold the orderings are given for n rows or
// columns: alpha * sqrt(n) stays below half the index range, where the
// libraries' conversion of it to a count is still defined.
template <class I>
double dense_threshold_cap(long long n) noexcept
{
    const double size = static_cast<double>(n > 1 ? n : 1);
    return 0.5 * static_cast<double>(std::numeric_limits<I>::max()) / std::sqrt(size);
}

}  // namespace tarnix::engine
