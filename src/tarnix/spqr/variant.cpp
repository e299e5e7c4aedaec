// FactorImpl's life and its queries: the common it starts and finishes, the
// factorization it frees, rank and the column permutation.

#include "spqr/variant.hpp"

#include "spqr/results.hpp"

namespace spqr_module {

using namespace tarnix;

template <class Entry, class Int>
FactorImpl<Entry, Int>::FactorImpl() : FactorBase(std::is_same_v<Entry, double>, std::is_same_v<Int, int32_t>)
{
    if (!spqr_lib::start_common<Int>(&cm_)) {
        raise(PyExc_MemoryError, "CHOLMOD could not start its workspace");
    }
}

// Runs with the interpreter lock held (the last reference goes with the
// factor's object or a call that used it).
template <class Entry, class Int>
FactorImpl<Entry, Int>::~FactorImpl()
{
    if (qr_ != nullptr && !SuiteSparseQR_free<Entry, Int>(&qr_, &cm_)) {
        // The common is left as it is: the library could not use it.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_SetNone(PyExc_AssertionError);
        PyObject* where = PyUnicode_FromString("tarnix.spqr.SPQRFactor.__dealloc__");
        PyErr_WriteUnraisable(where);
        Py_XDECREF(where);
        PyErr_Restore(type, value, traceback);
        return;
    }
    spqr_lib::Cholmod<Int>.finish(&cm_);
}

template <class Entry, class Int>
bool FactorImpl<Entry, Int>::has_symbolic() const noexcept
{
    return qr_ != nullptr && qr_->QRsym != nullptr;
}

template <class Entry, class Int>
bool FactorImpl<Entry, Int>::has_numeric() const noexcept
{
    return has_symbolic() && qr_->QRnum != nullptr;
}

template <class Entry, class Int>
long long FactorImpl<Entry, Int>::rank() const noexcept
{
    return static_cast<long long>(qr_->rank);
}

template <class Entry, class Int>
Ref FactorImpl<Entry, Int>::perm(const State& st) const
{
    const auto n = static_cast<size_t>(shape_[1]);
    if (qr_->Q1fill == nullptr) {
        // No fill-reducing or singleton permutation: the identity.
        return arange(static_cast<npy_intp>(n), int32() ? st.int32_dtype : st.int64_dtype);
    }
    return index_array<Int>(st, qr_->Q1fill, n);
}

#define SPQR_INSTANTIATE(E, I) template class FactorImpl<E, I>;
SPQR_FOR_EACH_VARIANT(SPQR_INSTANTIATE)
#undef SPQR_INSTANTIATE

std::shared_ptr<FactorBase> new_variant(bool real, bool int32)
{
    using spqr_lib::Complex;
    if (real) {
        return int32 ? std::shared_ptr<FactorBase>(std::make_shared<FactorImpl<double, int32_t>>())
                     : std::shared_ptr<FactorBase>(std::make_shared<FactorImpl<double, int64_t>>());
    }
    return int32 ? std::shared_ptr<FactorBase>(std::make_shared<FactorImpl<Complex, int32_t>>())
                 : std::shared_ptr<FactorBase>(std::make_shared<FactorImpl<Complex, int64_t>>());
}

}  // namespace spqr_module
