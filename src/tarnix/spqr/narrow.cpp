// tarnix.spqr._narrow_limit: the test suite's handle on the width up to which
// products with Q take the sparse Householder kernel (spqr/narrow.hpp). Built
// with the test hooks only (TARNIX_TESTING): a release has the fixed limit.

#include "spqr/engine/narrow.hpp"

#include "common/conversions.hpp"
#include "common/function.hpp"

#ifdef TARNIX_TESTING

namespace spqr_module {

using namespace tarnix;

namespace {

// _narrow_limit(limit=None): the limit in force; a given limit replaces it
// (0 sends every product to the library).
Ref py_narrow_limit(PyObject*, const Args& a)
{
    auto& limit = spqr_narrow::narrow_limit();
    const long long previous = limit.load();
    if (a[0] != Py_None) {
        const long long value = as_int64(a[0]);
        if (value < 0) {
            raise(PyExc_ValueError, "limit must be >= 0");
        }
        limit.store(value);
    }
    return check(PyLong_FromLongLong(previous));
}

constexpr Param narrow_limit_params[] = {Param{"limit", Default::None}};

}  // namespace

extern const FunctionDef narrow_limit_def =
    function("_narrow_limit", py_narrow_limit, narrow_limit_params)
        .with_doc("The widest operand (columns for Q X and Q^H X, rows for X Q and X Q^H) that products with Q apply "
                  "through the sparse Householder kernel; a given limit replaces it (0: always the library's "
                  "product). Returns the limit in force before the call. For the test suite and benchmarks.");

}  // namespace spqr_module

#endif  // TARNIX_TESTING
