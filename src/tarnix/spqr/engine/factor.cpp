// The library calls of one SuiteSparseQR factorization (factor.hpp).

#include "spqr/engine/factor.hpp"

#include "spqr/engine/copy.hpp"

#include <cstring>

namespace spqr_engine {

template <class Entry, class Int>
cholmod_sparse Factor<Entry, Int>::over_pattern(const cholmod_sparse& A) noexcept
{
    cholmod_sparse header = A;
    header.p = Ap_.data();
    header.i = Ai_.data();
    return header;
}

template <class Entry, class Int>
void Factor<Entry, Int>::keep_pattern(const Int* p, size_t ncol, const Int* i)
{
    Ap_.assign(p, p + ncol + 1);
    // Room for one more index, so that the header's i is a real block also
    // when there are no entries (as the caller's array is).
    Ai_.reserve(static_cast<size_t>(p[ncol]) + 1);
    Ai_.assign(i, i + p[ncol]);
}

template <class Entry, class Int>
Status Factor<Entry, Int>::analyse(const cholmod_sparse& A, int ordering, double tol, bool factorize)
{
    keep_pattern(static_cast<const Int*>(A.p), A.ncol, static_cast<const Int*>(A.i));
    tol_ = tol;
    cholmod_sparse header = over_pattern(A);
    spqr_lib::OutOfMemoryLatch latch;
    narrow_.reset();
    qr_.reset(factorize ? SuiteSparseQR_factorize<Entry, Int>(ordering, tol, &header, cm_.get())
                        : SuiteSparseQR_symbolic<Entry, Int>(ordering, 1, &header, cm_.get()));
    return spqr_lib::status_of(*cm_);
}

template <class Entry, class Int>
bool Factor<Entry, Int>::free_factorization() noexcept
{
    QR* qr = qr_.release();
    return qr == nullptr || SuiteSparseQR_free<Entry, Int>(&qr, cm_.get());
}

template <class Entry, class Int>
bool Factor<Entry, Int>::same_pattern(const cholmod_sparse& A) const noexcept
{
    // Equal column pointers end at the same nnz, so A holds Ai_.size() indices.
    return A.ncol + 1 == Ap_.size() && std::memcmp(A.p, Ap_.data(), Ap_.size() * sizeof(Int)) == 0 &&
           (Ai_.empty() || std::memcmp(A.i, Ai_.data(), Ai_.size() * sizeof(Int)) == 0);
}

template <class Entry, class Int>
Status Factor<Entry, Int>::factorize(const cholmod_sparse& A, double tol)
{
    tol_ = tol;
    cholmod_sparse header = over_pattern(A);
    spqr_lib::OutOfMemoryLatch latch;
    narrow_.reset();
    SuiteSparseQR_numeric<Entry, Int>(tol, &header, qr_.get(), cm_.get());
    return spqr_lib::status_of(*cm_);
}

template <class Entry, class Int>
spqr_lib::Owned<cholmod_dense, Int> Factor<Entry, Int>::apply_q(int method, cholmod_dense* X)
{
    return spqr_lib::Owned<cholmod_dense, Int>(narrow_.qmult(method, qr_.get(), X, cm_.get()), cm_.get());
}

template <class Entry, class Int>
Result<cholmod_dense, Int> Factor<Entry, Int>::solve(cholmod_dense* b, bool transpose)
{
    spqr_lib::OutOfMemoryLatch latch;
    Result<cholmod_dense, Int> out{{}, spqr_lib::Owned<cholmod_dense, Int>(cm_.get())};
    if (!transpose) {
        spqr_lib::Owned<cholmod_dense, Int> Y = apply_q(SPQR_QTX, b);
        out.status = spqr_lib::status_of(*cm_);
        if (out.status.status != CHOLMOD_OK || out.status.out_of_memory) {
            return out;
        }
        *out.value.out() = SuiteSparseQR_solve<Entry, Int>(SPQR_RETX_EQUALS_B, qr_.get(), Y.get(), cm_.get());
    }
    else {
        spqr_lib::Owned<cholmod_dense, Int> Z(
            SuiteSparseQR_solve<Entry, Int>(SPQR_RTX_EQUALS_ETB, qr_.get(), b, cm_.get()), cm_.get());
        out.status = spqr_lib::status_of(*cm_);
        if (out.status.status != CHOLMOD_OK || out.status.out_of_memory) {
            return out;
        }
        out.value = apply_q(SPQR_QX, Z.get());
    }
    out.status = spqr_lib::status_of(*cm_);
    return out;
}

template <class Entry, class Int>
Result<cholmod_dense, Int> Factor<Entry, Int>::qmult(int method, cholmod_dense* X)
{
    spqr_lib::OutOfMemoryLatch latch;
    spqr_lib::Owned<cholmod_dense, Int> Y = apply_q(method, X);
    return Result<cholmod_dense, Int>{spqr_lib::status_of(*cm_), std::move(Y)};
}

template <class Entry, class Int>
Result<cholmod_sparse, Int> Factor<Entry, Int>::qmult(int method, cholmod_sparse* X)
{
    spqr_lib::OutOfMemoryLatch latch;
    spqr_lib::Owned<cholmod_sparse, Int> Y(SuiteSparseQR_qmult<Entry, Int>(method, qr_.get(), X, cm_.get()),
                                            cm_.get());
    return Result<cholmod_sparse, Int>{spqr_lib::status_of(*cm_), std::move(Y)};
}

template <class Entry, class Int>
void Factor<Entry, Int>::copy_to(Factor& dest) const
{
    dest.tol_ = tol_;
    if (!Ap_.empty()) {
        dest.keep_pattern(Ap_.data(), Ap_.size() - 1, Ai_.data());
    }
    if (qr_ != nullptr) {
        dest.qr_ = spqr_lib::FactorCopier<Entry, Int>(dest.cm_.get()).copy(qr_.get());
        // The copy has the source's layout: the index of its vectors serves it.
        dest.narrow_ = narrow_;
    }
}

template class Factor<double, int32_t>;
template class Factor<double, int64_t>;
template class Factor<spqr_lib::Complex, int32_t>;
template class Factor<spqr_lib::Complex, int64_t>;

}  // namespace spqr_engine
