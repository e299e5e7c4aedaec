// The fill-reducing orderings SuiteSparseQR offers, by name and by code.
#pragma once

#include "spqr/state.hpp"

namespace spqr_module {

// Fills st.ordering_codes (name -> code) and st.ordering_names (code -> name).
void build_ordering_tables(State& st);

// The ordering code of `order` (None: the default, 7); an unknown name raises
// ValueError listing the names.
int ordering_code(const State& st, PyObject* order);

// The fill-reducing ordering's name for SPQRInfo.
tarnix::Ref ordering_name(const State& st, int code);

}  // namespace spqr_module
