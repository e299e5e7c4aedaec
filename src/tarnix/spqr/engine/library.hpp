// SuiteSparseQR and CHOLMOD as the sparse QR engine uses them: the CHOLMOD
// routines of each index width, commons that report to the out-of-memory
// latch, the owner of a factorization, and the status a call leaves.
#pragma once

#include "common/cholmod_routines.hpp"
#include "common/engine/cholmod_owner.hpp"
#include "spqr/engine/latch.hpp"

#include <SuiteSparseQR.hpp>

#include <complex>
#include <cstdint>
#include <memory>

namespace spqr_lib {

using Complex = std::complex<double>;

template <class Entry, class Int>
using Factorization = SuiteSparseQR_factorization<Entry, Int>;

// The CHOLMOD routines of one index width (common/cholmod_routines.hpp): a
// common started by the cholmod_l_* routines is only ever handed to them.
template <class Int>
inline constexpr const tarnix::CholmodRoutines<Int>& Cholmod = tarnix::cholmod_lib<Int>;

template <class T, class Int>
using Owned = tarnix::engine::Owned<T, Int>;

// A common of the index width of Int, its errors reported to the
// out-of-memory latch and never printed (every failure becomes an exception;
// the setting is the common's own, so other users of SuiteSparse in the
// process keep their printing); its other settings keep the library's
// defaults. Throws tarnix::engine::CommonNotStarted when it cannot start.
template <class Int>
class Common : public tarnix::engine::CholmodCommon<Int> {
public:
    Common() : tarnix::engine::CholmodCommon<Int>(on_library_error) {}
};

// Frees a factorization with the common it was made with (which outlives
// it: declare the common first).
template <class Entry, class Int>
struct FactorizationFree {
    cholmod_common* cm = nullptr;
    void operator()(Factorization<Entry, Int>* qr) const noexcept { SuiteSparseQR_free<Entry, Int>(&qr, cm); }
};

template <class Entry, class Int>
using FactorizationPtr = std::unique_ptr<Factorization<Entry, Int>, FactorizationFree<Entry, Int>>;

// What a library call left: its CHOLMOD status, and what the out-of-memory
// latch of the call saw (read before the latch went out of scope).
struct Status {
    int status = CHOLMOD_OK;
    // The latch closed: the call ran out of memory, whatever status it ended with.
    bool out_of_memory = false;
    // The size of the first allocation that failed, in bytes (0: none).
    double failed_bytes = 0.0;
    // A 32-bit analysis whose sizes do not fit 32-bit indices (latch.hpp).
    bool int32_overflow = false;
};

// The status of a call on `cm`, with this thread's latch still alive.
inline Status status_of(const cholmod_common& cm) noexcept
{
    return Status{cm.status, out_of_memory_latched(), failed_allocation_bytes(), int32_overflow(cm)};
}

// A status and an owned result (empty unless the status is clean).
template <class T, class Int>
struct Result {
    Status status;
    Owned<T, Int> value;
};

}  // namespace spqr_lib
