// Symbolic Cholesky counts through CHOLMOD's analysis, for the structural
// report of `python -m tarnix`.
#pragma once

#include "common/function.hpp"

namespace tarnix::cholmod_counts {

// _cholesky_counts(shape, indptr, indices, perm, normal)
extern const FunctionDef cholesky_counts_def;

}  // namespace tarnix::cholmod_counts
