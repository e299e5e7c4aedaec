// The names and messages tarnix.btf shows: its functions and their
// parameters, and its private entry points. They are the module's public
// contract (callers match on them, pickles name them) and must not change;
// the docstrings (docstrings.hpp) belong to it too, and the texts it shares
// with the other modules are in common/surface.hpp.
#pragma once

#include "common/function.hpp"

namespace btf_surface {

using tarnix::Default;
using tarnix::Param;

inline constexpr const char* all[] = {"maxtrans", "strongcomp", "btf", "btf_q_permutation"};

// ---------------------------------------------------------------------------
// Functions

inline constexpr const char* maxtrans = "maxtrans";
inline constexpr const char* strongcomp = "strongcomp";
inline constexpr const char* btf = "btf";
inline constexpr const char* q_permutation = "btf_q_permutation";
inline constexpr const char* private_maxtrans = "_maxtrans";
inline constexpr const char* private_strongcomp = "_strongcomp";
inline constexpr const char* private_btf = "_btf";

inline constexpr Param maxtrans_params[] = {{"A"}};
inline constexpr Param strongcomp_params[] = {{"A"}, {"q", Default::None}};
inline constexpr Param btf_params[] = {{"A"}};
inline constexpr Param q_permutation_params[] = {{"q"}};
inline constexpr Param private_maxtrans_params[] = {{"M"}, {"N"}, {"Ap"}, {"Ai"}, {"maxwork"}, {"jmatch"}};
inline constexpr Param private_strongcomp_params[] = {{"N"}, {"Ap"}, {"Ai"}, {"q"}, {"p"}, {"r"}};
inline constexpr Param private_btf_params[] = {{"N"}, {"Ap"}, {"Ai"}, {"maxwork"}, {"p"}, {"q"}, {"r"}};

// ---------------------------------------------------------------------------
// Messages

// "lengthas" is as callers have always matched it.
inline constexpr const char* qin_length = "qin must have the same lengthas the number of columns in A.";
// Format: position, value, N - 1, -N - 1.
inline constexpr const char* qin_not_a_column =
    "qin[%zd] = %lld is not a column of A: expected 0..N-1 = 0..%lld, or a flipped column -N-1..-2 = %lld..-2";
// Format: position, value, the column it names.
inline constexpr const char* qin_repeated = "qin[%zd] = %lld names column %lld a second time";
inline constexpr const char* qin_not_integers = "qin must be an integer array.";
inline constexpr const char* not_one_dimensional = "Input must be a 1D array.";
// Format: the library's status.
inline constexpr const char* maxtrans_failed = "BTF maxtrans failed with error code: %lld";
inline constexpr const char* strongcomp_failed = "BTF strongcomp failed with error code: %lld";
inline constexpr const char* btf_failed = "BTF failed with error code: %lld";
// The library named in the memory error of a work array.
inline constexpr const char* library = "BTF";

}  // namespace btf_surface
