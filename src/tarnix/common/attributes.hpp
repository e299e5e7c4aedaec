// Attribute lookups by interned names. The interpreter's type attribute
// cache matches names by identity, so a lookup by a fresh string (as
// PyObject_GetAttrString makes) always misses it and walks the class's whole
// MRO: for SciPy's sparse classes, with a dozen bases, that costs more than
// the rest of a small call.
#pragma once

#include "common/errors.hpp"

namespace tarnix {

// obj.<name>; the name is looked up in the interpreter's table of interned
// strings, which keeps it for later calls.
inline Ref interned_attr(PyObject* obj, const char* name)
{
    Ref key = check(PyUnicode_InternFromString(name));
    return check(PyObject_GetAttr(obj, key.get()));
}

}  // namespace tarnix
