// Symbolic Cholesky counts through CHOLMOD's analysis, for the structural
// report of `python -m tarnix`.
#pragma once

#include "common/function.hpp"

#include <utility>

namespace tarnix::cholmod_counts {

// _cholesky_counts(shape, indptr, indices, perm, normal)
extern const FunctionDef cholesky_counts_def;

// The (rows, columns) argument of this module's private functions; raises on a bad one.
// Defined in cholmod.cpp.
std::pair<long long, long long> parse_shape(PyObject* shape);

}  // namespace tarnix::cholmod_counts
