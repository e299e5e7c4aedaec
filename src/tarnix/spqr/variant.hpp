// The face of one SuiteSparseQR factorization of one value type and index
// width (spqr/engine/factor.hpp holds the factorization and its common).
//
// An SPQRFactor holds one FactorBase, made for the value type (float64,
// complex128) and index width (int32, int64) of the matrix it analyses and
// fixed from then on; FactorImpl<Entry, Int> implements it over the engine's
// Factor of that variant. Each operation calls the engine with the
// interpreter lock released (it touches no Python object), and turns its
// result or status into Python objects once the lock is held again.
//
// Threads. Calls on one variant run one at a time under its mutex, taken
// without holding the interpreter lock (see common/threads.hpp); its
// constant part (value type, width, shape, whether the analysis succeeded)
// is set before the variant is shared. The members are in variant.cpp; the
// methods of SPQRFactor that call them in analysis.cpp, solve.cpp, qmult.cpp
// and copy.cpp.
#pragma once

#include "common/threads.hpp"
#include "spqr/engine/factor.hpp"
#include "spqr/state.hpp"

#include <cstdint>
#include <memory>

namespace spqr_module {

class FactorBase {
public:
    virtual ~FactorBase() = default;
    FactorBase(const FactorBase&) = delete;
    FactorBase& operator=(const FactorBase&) = delete;

    bool real() const noexcept { return real_; }
    bool int32() const noexcept { return int32_; }
    // The analysis completed without error.
    bool constructed() const noexcept { return constructed_; }
    // Rows and columns at full index width: with int64 indices a matrix may
    // have more than 2**31 - 1 of either.
    int64_t rows() const noexcept { return shape_[0]; }
    int64_t cols() const noexcept { return shape_[1]; }
    tarnix::ObjectMutex& mutex() noexcept { return mutex_; }

    // The tolerance of the last numeric factorization.
    virtual double tol() const noexcept = 0;
    // The common of the library calls made on the factorization.
    virtual const cholmod_common* common() const noexcept = 0;

    virtual bool has_symbolic() const noexcept = 0;
    virtual bool has_numeric() const noexcept = 0;
    virtual long long rank() const noexcept = 0;
    // The column permutation E (the identity when the library keeps none).
    virtual tarnix::Ref perm(const State& st) const = 0;

    // Analyses A (a header over index arrays the call owns, of this variant)
    // and, with `factorize`, computes the numeric factorization too. The
    // pattern is kept: factorize() checks later matrices against it.
    virtual void analyse(const State& st, const cholmod_sparse& A, int ordering, double tol, bool factorize) = 0;
    // Whether A's column pointers and row indices are the analysed ones.
    virtual bool same_pattern(const cholmod_sparse& A) const noexcept = 0;
    // The numeric factorization of A's values at the analysed pattern.
    virtual void factorize(const State& st, const cholmod_sparse& A, double tol) = 0;

    // x = E (R \ (Q^H b)), or with transpose x = Q (R^H \ (E^T b)).
    virtual tarnix::Ref solve(const State& st, cholmod_dense* b, bool transpose) = 0;
    // Q X, Q^H X, X Q or X Q^H (SuiteSparseQR's product codes).
    virtual tarnix::Ref qmult(const State& st, int method, cholmod_dense* X) = 0;
    virtual tarnix::Ref qmult(const State& st, int method, cholmod_sparse* X) = 0;
    // A deep copy with a common of its own (its statistics copied).
    virtual std::shared_ptr<FactorBase> copy(const State& st) const = 0;

protected:
    FactorBase(bool real, bool int32) noexcept : real_(real), int32_(int32) {}

    bool constructed_ = false;
    int64_t shape_[2] = {0, 0};

private:
    const bool real_;
    const bool int32_;
    tarnix::ObjectMutex mutex_;
};

template <class Entry, class Int>
class FactorImpl final : public FactorBase {
public:
    using Engine = spqr_engine::Factor<Entry, Int>;

    // Starts the engine's common (MemoryError when it cannot).
    FactorImpl();
    // Runs with the interpreter lock held: a factorization the library
    // refuses to free is reported as unraisable.
    ~FactorImpl() override;

    double tol() const noexcept override { return engine_.tol(); }
    const cholmod_common* common() const noexcept override { return engine_.common(); }
    bool has_symbolic() const noexcept override;
    bool has_numeric() const noexcept override;
    long long rank() const noexcept override;
    tarnix::Ref perm(const State& st) const override;

    void analyse(const State& st, const cholmod_sparse& A, int ordering, double tol, bool factorize) override;
    bool same_pattern(const cholmod_sparse& A) const noexcept override;
    void factorize(const State& st, const cholmod_sparse& A, double tol) override;

    tarnix::Ref solve(const State& st, cholmod_dense* b, bool transpose) override;
    tarnix::Ref qmult(const State& st, int method, cholmod_dense* X) override;
    tarnix::Ref qmult(const State& st, int method, cholmod_sparse* X) override;
    std::shared_ptr<FactorBase> copy(const State& st) const override;

private:
    Engine engine_;
};

// A new variant for the value type and index width, its common started and
// no factorization yet.
std::shared_ptr<FactorBase> new_variant(bool real, bool int32);

}  // namespace spqr_module
