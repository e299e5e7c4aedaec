// SPQRInfo: the frozen record of SuiteSparseQR's statistics.
#pragma once

#include "common/tarnix.hpp"
#include "spqr/state.hpp"

#include <cholmod.h>

namespace spqr_module {

// Creates the SPQRInfo type (with its dataclass metadata) and adds it to the
// module.
tarnix::Ref add_info_type(PyObject* module);

// A new SPQRInfo filled from the statistics a common record holds.
tarnix::Ref info_from_common(const State& st, const cholmod_common* cm);

// __kvt_unpickle_SPQRInfo(__kvt_type, __kvt_checksum, __kvt_state)
extern const tarnix::FunctionDef unpickle_info_def;

}  // namespace spqr_module
