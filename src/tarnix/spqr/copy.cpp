// SPQRFactor.copy: a new factor with a deep copy of the factorization, its
// own common (the statistics copied) and the analysed pattern
// (FactorImpl::copy, over the engine's copy in spqr/engine/copy.hpp).

#include "spqr/factor.hpp"

namespace spqr_module {

using namespace tarnix;

Ref py_copy(PyObject* self, const Args&)
{
    const Context ctx = context_of(self);
    auto* type = reinterpret_cast<PyTypeObject*>(ctx.st.factor_type);
    Ref dest = check(type->tp_new(type, nullptr, nullptr));
    Snapshot v(self);
    // A factor that was never initialised copies to one with a started
    // common and nothing else, as its variant would be.
    publish(dest.get(), v.get() != nullptr ? v->copy(ctx.st) : new_variant(false, false));
    return dest;
}

}  // namespace spqr_module
