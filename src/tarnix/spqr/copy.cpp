// SPQRFactor.copy: a new factor with a deep copy of the factorization, its
// own common (the statistics copied) and the analysed pattern.

#include "spqr/copy.hpp"

#include "spqr/factor.hpp"

namespace spqr_module {

using namespace tarnix;

template <class Entry, class Int>
std::shared_ptr<FactorBase> FactorImpl<Entry, Int>::copy(const State& st) const
{
    auto dest = std::make_shared<FactorImpl<Entry, Int>>();
    if (st.copy_common(&dest->cm_, const_cast<cholmod_common*>(&cm_)) < 0) {
        throw PythonError{};
    }
    dest->constructed_ = constructed_;
    dest->shape_[0] = shape_[0];
    dest->shape_[1] = shape_[1];
    dest->tol_ = tol_;
    if (!Ap_.empty()) {
        dest->keep_pattern(Ap_.data(), Ap_.size() - 1, Ai_.data());
    }
    if (qr_ == nullptr) {
        return dest;
    }
    try {
        // Only this call can reach the copy, and the source is locked.
        dest->qr_ = without_gil([&] { return spqr_lib::FactorCopier<Entry, Int>(&dest->cm_).copy(qr_); });
        // The copy has the source's layout: the index of its vectors serves it.
        dest->narrow_ = narrow_;
    }
    catch (const spqr_lib::CopyUnsupported&) {
        raise(PyExc_NotImplementedError, "SPQR task parallelism and GPU not yet supported.");
    }
    catch (const spqr_lib::CopyRelocation&) {
        raise(st.SPQRError, "Failed to copy Rblock pointers.");
    }
    return dest;
}

#define SPQR_INSTANTIATE(E, I) template std::shared_ptr<FactorBase> FactorImpl<E, I>::copy(const State&) const;
SPQR_FOR_EACH_VARIANT(SPQR_INSTANTIATE)
#undef SPQR_INSTANTIATE

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
