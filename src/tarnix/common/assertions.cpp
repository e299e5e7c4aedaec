// The assertion switch, read from the builtin __debug__.
#include "common/assertions.hpp"

#include "common/conversions.hpp"
#include "common/module.hpp"

namespace tarnix {

bool assertions_enabled()
{
    Ref builtins = import_module("builtins");
    Ref debug = check(PyObject_GetAttrString(builtins.get(), "__debug__"));
    return truth(debug.get());
}

}  // namespace tarnix
