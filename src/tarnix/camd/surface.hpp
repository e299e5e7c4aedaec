// The names and messages tarnix.camd shows: its functions and their
// parameters, its private entry point, its exceptions and record. They are
// the module's public contract (callers match on them, pickles name them) and
// must not change; the docstrings (docstrings.hpp) belong to it too, and
// the texts it shares with the other modules are in common/surface.hpp.
#pragma once

#include "common/function.hpp"

namespace camd_surface {

using tarnix::Default;
using tarnix::Param;

inline constexpr const char* all[] = {"CAMDError", "CAMDInvalidMatrixError", "CAMDMemoryError",
                                      "CAMDInfo",  "camd",                   "camd_default_control"};

// ---------------------------------------------------------------------------
// Functions

inline constexpr const char* camd = "camd";
inline constexpr const char* camd_order = "_camd_order";
inline constexpr const char* default_control = "camd_default_control";

inline constexpr Param camd_params[] = {
    {"A"},
    {"constraints", Default::None},
    {"dense_thresh", Default::None},
    {"aggressive", Default::None},
    {"return_info", Default::False},
};

inline constexpr Param camd_order_params[] = {
    {"N"}, {"Ap"}, {"Ai"}, {"p"}, {"ctrl"}, {"info"}, {"constraints", Default::None},
};

// The keys of camd_default_control().
inline constexpr const char* dense_thresh = "dense_thresh";
inline constexpr const char* aggressive = "aggressive";

// ---------------------------------------------------------------------------
// Exceptions, record and messages

inline constexpr const char* error = "CAMDError";
inline constexpr const char* invalid_matrix_error = "CAMDInvalidMatrixError";
inline constexpr const char* memory_error = "CAMDMemoryError";
inline constexpr const char* info = "CAMDInfo";
inline constexpr const char* info_return_name = "info";

inline constexpr const char* dense_threshold_nan = "The dense threshold (Control[0], dense_thresh) must not be NaN.";
inline constexpr const char* out_of_memory = "camd: out of memory";
// Format: the CAMDInfo record of the call.
inline constexpr const char* invalid_matrix = "camd: input matrix A is invalid:\n%S";

}  // namespace camd_surface
