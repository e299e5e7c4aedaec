// The names tarnix.colamd shows: its functions and their parameters, its
// private entry points, tables and docstring templates. They are the module's
// public contract (callers match on them, pickles name them) and must not
// change; the docstrings (docstrings.hpp) belong to it too, and the texts it
// shares with the other modules are in common/surface.hpp.
#pragma once

#include "common/function.hpp"

namespace colamd_surface {

using tarnix::Default;
using tarnix::kwonly;
using tarnix::Param;

inline constexpr const char* all[] = {"COLAMDError",         "COLAMDValueError", "COLAMDMemoryError",
                                      "COLAMDInternalError", "COLAMDStats",      "colamd",
                                      "symamd",              "colamd_get_defaults"};

// ---------------------------------------------------------------------------
// Functions

inline constexpr const char* colamd = "colamd";
inline constexpr const char* symamd = "symamd";
inline constexpr const char* get_defaults = "colamd_get_defaults";
inline constexpr const char* base = "_colamd_base";
inline constexpr const char* private_colamd = "_colamd";
inline constexpr const char* private_symamd = "_symamd";

// colamd(A, dense_row_thresh=None, dense_col_thresh=None, aggressive=None, return_info=False), symamd(...)
inline constexpr Param ordering_params[] = {
    {"A"}, {"dense_row_thresh", Default::None}, {"dense_col_thresh", Default::None},
    {"aggressive", Default::None}, {"return_info", Default::False},
};

// _colamd_base(A, *, is_symmetric, dense_row_thresh, dense_col_thresh, aggressive, return_info)
inline constexpr Param base_params[] = {
    {"A"}, kwonly("is_symmetric", Default::False), kwonly("dense_row_thresh", Default::None),
    kwonly("dense_col_thresh", Default::None), kwonly("aggressive", Default::None),
    kwonly("return_info", Default::False),
};

// ---------------------------------------------------------------------------
// Record and docstring tables

inline constexpr const char* stats = "COLAMDStats";
inline constexpr const char* stats_return_name = "stats";
inline constexpr const char* doc_template = "_COLAMD_DOC_TEMPLATE";
inline constexpr const char* colamd_reftag = "_colamd_reftag";
inline constexpr const char* colamd_intro = "_colamd_intro";
inline constexpr const char* colamd_A_param = "_colamd_A_param";
inline constexpr const char* colamd_example = "_colamd_example";
inline constexpr const char* colamd_see_also = "symamd, ~tarnix.ccolamd.ccolamd, ~tarnix.ccolamd.csymamd";
inline constexpr const char* symamd_reftag = "_symamd_reftag";
inline constexpr const char* symamd_intro = "_symamd_intro";
inline constexpr const char* symamd_A_param = "_symamd_A_param";
inline constexpr const char* symamd_example = "_symamd_example";
inline constexpr const char* symamd_see_also = "colamd, ~tarnix.ccolamd.ccolamd, ~tarnix.ccolamd.csymamd";

}  // namespace colamd_surface
