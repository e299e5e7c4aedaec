// The assertion switch: whether the interpreter runs with assertions on
// (__debug__), read once when a module is executed. The modules check some
// library results only while it is on, as an assert statement would.
#pragma once

namespace tarnix {

// The value of the builtin __debug__.
bool assertions_enabled();

}  // namespace tarnix
