// COLAMD and SYMAMD as the COLAMD family's engine sees them
// (common/engine/colamd_family.hpp): colamd/symamd for 32-bit indices,
// colamd_l/symamd_l for 64-bit ones.
#pragma once

#include "common/engine/colamd_family.hpp"

#include <colamd.h>

namespace tarnix::engine {

struct Colamd {
    static constexpr const char* name = "COLAMD";
    static constexpr int nknobs = COLAMD_KNOBS;
    static constexpr int nstats = COLAMD_STATS;
    static constexpr bool constrained = false;
    static constexpr int lu_knob = -1;
    static constexpr WidthTable<ColamdLibrary> routines{
        {colamd_recommended, colamd, symamd},
        {colamd_l_recommended, colamd_l, symamd_l},
    };
    static constexpr void (*set_defaults)(double*) = colamd_set_defaults;
};

static_assert(colamd_layout::matches({COLAMD_DENSE_ROW, COLAMD_DENSE_COL, COLAMD_AGGRESSIVE, COLAMD_DEFRAG_COUNT,
                                      COLAMD_STATUS, COLAMD_INFO1, COLAMD_INFO2, COLAMD_INFO3}),
              "COLAMD's knobs and stats as the family lays them out");

}  // namespace tarnix::engine
