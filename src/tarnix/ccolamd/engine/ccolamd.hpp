// CCOLAMD and CSYMAMD as the COLAMD family's engine sees them
// (common/engine/colamd_family.hpp): ccolamd/csymamd for 32-bit indices,
// ccolamd_l/csymamd_l for 64-bit ones.
#pragma once

#include "common/engine/colamd_family.hpp"

#include <ccolamd.h>

namespace tarnix::engine {

struct Ccolamd {
    static constexpr const char* name = "CCOLAMD";
    static constexpr int nknobs = CCOLAMD_KNOBS;
    static constexpr int nstats = CCOLAMD_STATS;
    static constexpr bool constrained = true;
    static constexpr int lu_knob = CCOLAMD_LU;
    static constexpr WidthTable<CcolamdLibrary> routines{
        {ccolamd_recommended, ccolamd, csymamd},
        {ccolamd_l_recommended, ccolamd_l, csymamd_l},
    };
    static constexpr void (*set_defaults)(double*) = ccolamd_set_defaults;
};

static_assert(colamd_layout::matches({CCOLAMD_DENSE_ROW, CCOLAMD_DENSE_COL, CCOLAMD_AGGRESSIVE, CCOLAMD_DEFRAG_COUNT,
                                      CCOLAMD_STATUS, CCOLAMD_INFO1, CCOLAMD_INFO2, CCOLAMD_INFO3}),
              "CCOLAMD's knobs and stats as the family lays them out");

}  // namespace tarnix::engine
