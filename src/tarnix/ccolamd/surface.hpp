// The names and messages tarnix.ccolamd shows: its functions and their
// parameters, its private entry points, tables and docstring templates. They
// are the module's public contract (callers match on them, pickles name them)
// and must not change; the docstrings (docstrings.hpp) belong to it too, and
// the texts it shares with the other modules are in common/surface.hpp.
#pragma once

#include "common/function.hpp"

namespace ccolamd_surface {

using tarnix::Default;
using tarnix::kwonly;
using tarnix::Param;

inline constexpr const char* all[] = {"CCOLAMDError",         "CCOLAMDValueError", "CCOLAMDMemoryError",
                                      "CCOLAMDInternalError", "CCOLAMDStats",      "ccolamd",
                                      "csymamd",              "ccolamd_get_defaults"};

// ---------------------------------------------------------------------------
// Functions

inline constexpr const char* ccolamd = "ccolamd";
inline constexpr const char* csymamd = "csymamd";
inline constexpr const char* get_defaults = "ccolamd_get_defaults";
inline constexpr const char* base = "_ccolamd_base";
inline constexpr const char* private_ccolamd = "_ccolamd";
inline constexpr const char* private_csymamd = "_csymamd";

// ccolamd(A, constraints=None, dense_row_thresh=None, dense_col_thresh=None, aggressive=None, opt_lu=None,
//         return_info=False)
inline constexpr Param ccolamd_params[] = {
    {"A"}, {"constraints", Default::None}, {"dense_row_thresh", Default::None},
    {"dense_col_thresh", Default::None}, {"aggressive", Default::None}, {"opt_lu", Default::None},
    {"return_info", Default::False},
};

// csymamd(A, constraints=None, dense_row_thresh=None, dense_col_thresh=None, aggressive=None, return_info=False)
inline constexpr Param csymamd_params[] = {
    {"A"}, {"constraints", Default::None}, {"dense_row_thresh", Default::None},
    {"dense_col_thresh", Default::None}, {"aggressive", Default::None}, {"return_info", Default::False},
};

// _ccolamd_base(A, *, constraints, is_symmetric, dense_row_thresh, dense_col_thresh, aggressive, opt_lu,
//               return_info)
inline constexpr Param base_params[] = {
    {"A"}, kwonly("constraints", Default::None), kwonly("is_symmetric", Default::False),
    kwonly("dense_row_thresh", Default::None), kwonly("dense_col_thresh", Default::None),
    kwonly("aggressive", Default::None), kwonly("opt_lu", Default::None), kwonly("return_info", Default::False),
};

// ---------------------------------------------------------------------------
// Messages

inline constexpr const char* opt_lu_invalid = "opt_lu must be either 'lu' or 'cholesky'.";

// ---------------------------------------------------------------------------
// Record and docstring tables

inline constexpr const char* stats = "CCOLAMDStats";
inline constexpr const char* stats_return_name = "stats";
inline constexpr const char* doc_template = "_CCOLAMD_DOC_TEMPLATE";
inline constexpr const char* opt_lu_param = "ccolamd_opt_lu_param";
inline constexpr const char* opt_lu_field = "opt_lu_param";
inline constexpr const char* ccolamd_reftag = "ccolamd_reftag";
inline constexpr const char* ccolamd_intro = "ccolamd_intro";
inline constexpr const char* ccolamd_A_param = "ccolamd_A_param";
inline constexpr const char* ccolamd_example = "_ccolamd_example";
inline constexpr const char* ccolamd_see_also = "csymamd, ~tarnix.colamd.colamd, ~tarnix.colamd.symamd";
inline constexpr const char* csymamd_reftag = "csymamd_reftag";
inline constexpr const char* csymamd_intro = "csymamd_intro";
inline constexpr const char* csymamd_A_param = "csymamd_A_param";
inline constexpr const char* csymamd_example = "_csymamd_example";
inline constexpr const char* csymamd_see_also = "ccolamd, ~tarnix.colamd.colamd, ~tarnix.colamd.symamd";

}  // namespace ccolamd_surface
