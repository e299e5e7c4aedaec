// The names tarnix.cholmod shows the other modules: its private functions
// and their parameters. They are the module's contract with spqr and the
// report (which call them by these names) and must not change; the names and
// signatures of its native entry points are in capi.hpp, under the same rule.
#pragma once

#include "common/function.hpp"

namespace cholmod_surface {

using tarnix::Param;

inline constexpr const char* sparse_from_csc = "_cholmod_sparse_from_csc";
inline constexpr Param sparse_from_csc_params[] = {{"shape"}, {"indptr"}, {"indices"}, {"data"}, {"stype"},
                                                   {"address"}};
inline constexpr const char* cholesky_counts = "_cholesky_counts";

}  // namespace cholmod_surface
