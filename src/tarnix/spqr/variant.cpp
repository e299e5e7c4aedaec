// FactorImpl: the face of the engine's Factor. Each operation calls the
// engine with the interpreter lock released, then turns its status into an
// exception or its result into Python objects.

#include "spqr/variant.hpp"

#include "common/arrays.hpp"
#include "common/dispatch.hpp"
#include "common/workspace.hpp"
#include "spqr/engine/copy.hpp"
#include "spqr/results.hpp"
#include "spqr/status.hpp"
#include "spqr/surface.hpp"

#include <new>

namespace spqr_module {

using namespace tarnix;

template <class Entry, class Int>
FactorImpl<Entry, Int>::FactorImpl()
try : FactorBase(std::is_same_v<Entry, double>, std::is_same_v<Int, int32_t>) {
}
catch (const engine::CommonNotStarted&) {
    raise_common_not_started();
}

template <class Entry, class Int>
FactorImpl<Entry, Int>::~FactorImpl()
{
    if (!engine_.free_factorization()) {
        SavedError saved;
        PyErr_SetNone(PyExc_AssertionError);
        PyObject* where = PyUnicode_FromString(spqr_surface::dealloc_context);
        PyErr_WriteUnraisable(where);
        Py_XDECREF(where);
        saved.restore();
    }
}

template <class Entry, class Int>
bool FactorImpl<Entry, Int>::has_symbolic() const noexcept
{
    return engine_.qr() != nullptr && engine_.qr()->QRsym != nullptr;
}

template <class Entry, class Int>
bool FactorImpl<Entry, Int>::has_numeric() const noexcept
{
    return has_symbolic() && engine_.qr()->QRnum != nullptr;
}

template <class Entry, class Int>
long long FactorImpl<Entry, Int>::rank() const noexcept
{
    return static_cast<long long>(engine_.qr()->rank);
}

template <class Entry, class Int>
Ref FactorImpl<Entry, Int>::perm(const State& st) const
{
    const auto n = static_cast<size_t>(shape_[1]);
    if (engine_.qr()->Q1fill == nullptr) {
        // No fill-reducing or singleton permutation: the identity.
        return arange(static_cast<npy_intp>(n), int32() ? st.int32_dtype : st.int64_dtype);
    }
    return index_array<Int>(st, engine_.qr()->Q1fill, n);
}

template <class Entry, class Int>
void FactorImpl<Entry, Int>::analyse(const State& st, const cholmod_sparse& A, int ordering, double tol,
                                     bool factorize)
{
    spqr_lib::Status status;
    try {
        status = without_gil([&] { return engine_.analyse(A, ordering, tol, factorize); });
    }
    catch (const std::bad_alloc&) {
        // The pattern's copy: ncol + 1 column pointers and nnz + 1 row indices.
        const auto nnz = static_cast<double>(static_cast<const Int*>(A.p)[A.ncol]);
        const double entries = static_cast<double>(A.ncol) + 2.0 + nnz;
        const WorkspaceFor what{st.SPQROutOfMemoryError, spqr_surface::library, static_cast<long long>(A.nrow),
                                static_cast<long long>(A.ncol)};
        raise_workspace_error(what, entries * sizeof(Int));
    }
    handle_analysis_errors(st, status);
    shape_[0] = static_cast<int64_t>(A.nrow);
    shape_[1] = static_cast<int64_t>(A.ncol);
    constructed_ = true;
}

template <class Entry, class Int>
bool FactorImpl<Entry, Int>::same_pattern(const cholmod_sparse& A) const noexcept
{
    return engine_.same_pattern(A);
}

template <class Entry, class Int>
void FactorImpl<Entry, Int>::factorize(const State& st, const cholmod_sparse& A, double tol)
{
    handle_errors(st, without_gil([&] { return engine_.factorize(A, tol); }));
}

template <class Entry, class Int>
Ref FactorImpl<Entry, Int>::solve(const State& st, cholmod_dense* b, bool transpose)
{
    auto X = without_gil([&] { return engine_.solve(b, transpose); });
    handle_errors(st, X.status);
    return dense_to_ndarray(st, X.value, engine_.common());
}

template <class Entry, class Int>
Ref FactorImpl<Entry, Int>::qmult(const State& st, int method, cholmod_dense* X)
{
    auto Y = without_gil([&] { return engine_.qmult(method, X); });
    handle_errors(st, Y.status);
    return dense_to_ndarray(st, Y.value, engine_.common());
}

template <class Entry, class Int>
Ref FactorImpl<Entry, Int>::qmult(const State& st, int method, cholmod_sparse* X)
{
    auto Y = without_gil([&] { return engine_.qmult(method, X); });
    handle_errors(st, Y.status);
    return sparse_to_csc(st, Y.value, engine_.common());
}

template <class Entry, class Int>
std::shared_ptr<FactorBase> FactorImpl<Entry, Int>::copy(const State& st) const
{
    auto dest = std::make_shared<FactorImpl<Entry, Int>>();
    try {
        // Only this call can reach the copy, and the source is locked.
        without_gil([&] { engine_.copy_to(dest->engine_); });
    }
    catch (const spqr_lib::CopyUnsupported&) {
        raise(PyExc_NotImplementedError, spqr_surface::copy_unsupported);
    }
    catch (const spqr_lib::CopyRelocation&) {
        raise(st.SPQRError, spqr_surface::copy_relocation);
    }
    if (st.copy_common(dest->engine_.common(), const_cast<cholmod_common*>(engine_.common())) < 0) {
        throw PythonError{};
    }
    dest->constructed_ = constructed_;
    dest->shape_[0] = shape_[0];
    dest->shape_[1] = shape_[1];
    return dest;
}

template class FactorImpl<double, int32_t>;
template class FactorImpl<double, int64_t>;
template class FactorImpl<spqr_lib::Complex, int32_t>;
template class FactorImpl<spqr_lib::Complex, int64_t>;

std::shared_ptr<FactorBase> new_variant(bool real, bool int32)
{
    return with_variant(real ? ValueType::Real : ValueType::Complex, int32 ? IndexWidth::I32 : IndexWidth::I64,
                        [](auto entry, auto index) -> std::shared_ptr<FactorBase> {
                            return std::make_shared<FactorImpl<decltype(entry), decltype(index)>>();
                        });
}

}  // namespace spqr_module
