// The library call of tarnix.camd: camd_order (32-bit indices) or
// camd_l_order (64-bit), on arrays the call owns, with its Control array
// made safe.
#pragma once

#include "common/engine/thresholds.hpp"
#include "common/width_table.hpp"

#include <camd.h>

#include <algorithm>
#include <cmath>

namespace tarnix::engine {

template <class I>
struct CamdRoutines {
    int (*order)(I n, const I* Ap, const I* Ai, I* P, double* control, double* info, const I* C);
};

inline constexpr WidthTable<CamdRoutines> camd_routines{{camd_order}, {camd_l_order}};

// The Control array handed to CAMD: a copy of the caller's (or the defaults,
// for a null ctrl) with the dense threshold made safe. CAMD turns a
// threshold alpha into a degree as (Int) (alpha * sqrt(n)); past the index
// range that cast is undefined and in practice gives a negative degree, so
// that nearly every row counts as dense: the opposite of what a huge
// threshold (or infinity) asks for. Any alpha with alpha * sqrt(n) >= n
// already leaves every row sparse, so a larger one is lowered to a value
// whose product still fits. Negative values keep their meaning (only
// completely dense rows are dense). False for a NaN threshold, which means
// nothing: the face refuses it.
template <class I>
bool library_control(double (&out)[CAMD_CONTROL], const double* ctrl, long long N) noexcept
{
    if (ctrl == nullptr) {
        camd_defaults(out);
    }
    else {
        std::copy_n(ctrl, CAMD_CONTROL, out);
    }
    const double alpha = out[CAMD_DENSE];
    if (std::isnan(alpha)) {
        return false;
    }
    const double cap = dense_threshold_cap<I>(N);
    out[CAMD_DENSE] = alpha > cap ? cap : alpha;
    return true;
}

// One ordering, on arrays the call owns; any pointer but control and info
// may be null, which CAMD refuses (CAMD_INVALID) before reading anything.
// CAMD checks the pattern column by column before reading it, once Ap
// stays inside Ai:
//   Ap[n+1], Ai[Ap[n]]   the pattern
//   constraints[n]       constraint sets in 0..n-1, or null for none
//   p[n]                 the permutation out
//   control[CAMD_CONTROL] made safe (library_control)
//   info[CAMD_INFO]      the statistics out
template <class I>
struct CamdOrder {
    I n;
    const I* Ap;
    const I* Ai;
    const I* constraints;
    I* p;
    double* control;
    double* info;
};

// CAMD's status (CAMD_OK, CAMD_OK_BUT_JUMBLED, CAMD_INVALID, CAMD_OUT_OF_MEMORY).
template <class I>
int camd(const CamdOrder<I>& a) noexcept
{
    return camd_routines.get<I>().order(a.n, a.Ap, a.Ai, a.p, a.control, a.info, a.constraints);
}

}  // namespace tarnix::engine
