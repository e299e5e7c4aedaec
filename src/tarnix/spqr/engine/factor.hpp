// One SuiteSparseQR factorization of one value type and index width, with
// the CHOLMOD common that serves every library call made on it: the library
// calls of an SPQRFactor, on memory the factor owns or the caller checked.
//
// Each operation arms the out-of-memory latch, calls the library and returns
// the status it left (and its result, owned): the caller (spqr/variant.hpp)
// runs it without the interpreter lock and turns the status into an
// exception. Calls on one Factor must not overlap (the caller's mutex).
#pragma once

#include "spqr/engine/library.hpp"
#include "spqr/engine/narrow.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace spqr_engine {

using spqr_lib::Result;
using spqr_lib::Status;

template <class Entry, class Int>
class Factor {
public:
    using QR = spqr_lib::Factorization<Entry, Int>;

    // Starts the common (tarnix::engine::CommonNotStarted when it cannot).
    Factor() = default;
    Factor(const Factor&) = delete;
    Factor& operator=(const Factor&) = delete;

    const QR* qr() const noexcept { return qr_.get(); }
    double tol() const noexcept { return tol_; }
    cholmod_common* common() noexcept { return cm_.get(); }
    const cholmod_common* common() const noexcept { return cm_.get(); }

    // Keeps a copy of A's pattern (std::bad_alloc when it cannot), then
    // analyses A (a header over index arrays the caller checked) and, with
    // `factorize`, computes the numeric factorization too (with singletons).
    Status analyse(const cholmod_sparse& A, int ordering, double tol, bool factorize);
    // Whether A's column pointers and row indices are the analysed ones.
    bool same_pattern(const cholmod_sparse& A) const noexcept;
    // The numeric factorization of A's values at the analysed pattern (A's
    // pattern must be the analysed one: same_pattern).
    Status factorize(const cholmod_sparse& A, double tol);

    // x = E (R \ (Q^H b)), or with transpose x = Q (R^H \ (E^T b)).
    Result<cholmod_dense, Int> solve(cholmod_dense* b, bool transpose);
    // Q X, Q^H X, X Q or X Q^H (SuiteSparseQR's product codes).
    Result<cholmod_dense, Int> qmult(int method, cholmod_dense* X);
    Result<cholmod_sparse, Int> qmult(int method, cholmod_sparse* X);

    // Makes dest (new, its own common started with the library's default
    // settings: the caller copies them) a deep copy of this factorization.
    // Throws std::bad_alloc, spqr_lib::CopyUnsupported or
    // spqr_lib::CopyRelocation.
    void copy_to(Factor& dest) const;

    // Frees the factorization now. False when the library refuses (only with
    // a common it cannot use); the factorization is forgotten all the same.
    bool free_factorization() noexcept;

private:
    // The one place where a dense operand is multiplied by Q or Q^H.
    spqr_lib::Owned<cholmod_dense, Int> apply_q(int method, cholmod_dense* X);
    void keep_pattern(const Int* p, size_t ncol, const Int* i);
    // A copy of A's header over the kept pattern.
    cholmod_sparse over_pattern(const cholmod_sparse& A) noexcept;

    spqr_lib::Common<Int> cm_;
    spqr_lib::FactorizationPtr<Entry, Int> qr_{nullptr, spqr_lib::FactorizationFree<Entry, Int>{cm_.get()}};
    double tol_ = 0.0;
    // The analysed pattern: ncol + 1 column pointers and nnz row indices. The
    // library places the values of a re-factorized matrix by the analysed
    // pattern without checking it, so factorize's caller compares against it
    // first, and the library reads these copies rather than the caller's.
    std::vector<Int> Ap_;
    std::vector<Int> Ai_;
    // Where the vectors of qr_ lie, for the narrow products (built on the
    // first one, forgotten when the numeric factorization changes).
    spqr_narrow::FactorQ<Entry, Int> narrow_;
};

// Instantiated for every variant in factor.cpp.
extern template class Factor<double, int32_t>;
extern template class Factor<double, int64_t>;
extern template class Factor<spqr_lib::Complex, int32_t>;
extern template class Factor<spqr_lib::Complex, int64_t>;

}  // namespace spqr_engine
