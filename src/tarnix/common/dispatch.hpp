// The two-width dispatch of the private library-calling functions.
//
// Each such function exists in a 32-bit and a 64-bit index specialization
// behind one Python name. The specialization is chosen on every call from one
// argument, the column pointers Ap:
//   None                                   -> 32-bit
//   1-D NumPy array of signed integers     -> by its item size (4 or 8 bytes)
//   other 1-D buffer of signed integers    -> by its item size
//   anything else                          -> TypeError("No matching signature found")
// The choice is made here, once; below it every array is viewed in that width.
#pragma once

#include "common/buffer.hpp"
#include "common/engine/dispatch.hpp"

#include <cstdint>
#include <utility>

namespace tarnix {

IndexWidth select_index_width(PyObject* Ap);

// Calls f(int32_t{}) or f(int64_t{}) for the width that Ap selects.
template <class F>
decltype(auto) dispatch_index_width(PyObject* Ap, F&& f)
{
    return with_index(select_index_width(Ap), std::forward<F>(f));
}

}  // namespace tarnix
