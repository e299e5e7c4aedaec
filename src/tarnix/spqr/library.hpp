// SuiteSparseQR and CHOLMOD as the sparse QR module uses them: the CHOLMOD
// routines of each index width, commons that report to the out-of-memory
// latch, and owners of the records the library allocates, so that every
// result is freed or handed over exactly once.
#pragma once

#include "common/cholmod_routines.hpp"
#include "common/tarnix.hpp"
#include "spqr/latch.hpp"

#include <SuiteSparseQR.hpp>

#include <complex>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace spqr_lib {

using Complex = std::complex<double>;

template <class Entry, class Int>
using Factorization = SuiteSparseQR_factorization<Entry, Int>;

// The CHOLMOD routines of one index width (common/cholmod_routines.hpp): a
// common started by the cholmod_l_* routines is only ever handed to them.
template <class Int>
inline constexpr const tarnix::CholmodRoutines<Int>& Cholmod = tarnix::cholmod_lib<Int>;

// Starts a common of the index width of Int, its errors reported to the
// out-of-memory latch and never printed (every failure becomes an exception;
// the setting is the common's own, so other users of SuiteSparse in the
// process keep their printing); its other settings keep the library's defaults.
template <class Int>
int start_common(cholmod_common* cm)
{
    if (!Cholmod<Int>.start(cm)) {
        return 0;
    }
    cm->print = 0;
    cm->error_handler = on_library_error;
    return 1;
}

// Calls f(Entry{}, Int{}) for the value type and index width of a matrix
// handed to a one-shot function (a factor chooses its variant once, at
// construction: see variant.hpp).
template <class F>
decltype(auto) dispatch_variant(bool is_real, bool use_int32, F&& f)
{
    if (is_real) {
        return use_int32 ? f(double{}, int32_t{}) : f(double{}, int64_t{});
    }
    return use_int32 ? f(Complex{}, int32_t{}) : f(Complex{}, int64_t{});
}

// A common record started for one call and finished when it goes out of
// scope (after every result it allocated has been released).
template <class Int>
class ScopedCommon {
public:
    ScopedCommon()
    {
        if (!start_common<Int>(&cm_)) {
            tarnix::raise(PyExc_MemoryError, "CHOLMOD could not start its workspace");
        }
    }
    ScopedCommon(const ScopedCommon&) = delete;
    ScopedCommon& operator=(const ScopedCommon&) = delete;
    ~ScopedCommon() { Cholmod<Int>.finish(&cm_); }
    cholmod_common* get() { return &cm_; }

private:
    cholmod_common cm_{};
};

// Owner of a dense result; release() hands it over (to the sibling module,
// which then frees it).
template <class Int>
class DenseResult {
public:
    DenseResult(cholmod_dense* X, cholmod_common* cm) noexcept : X_(X), cm_(cm) {}
    DenseResult(const DenseResult&) = delete;
    DenseResult& operator=(const DenseResult&) = delete;
    ~DenseResult() { reset(); }
    cholmod_dense* get() const noexcept { return X_; }
    cholmod_dense** out() noexcept { return &X_; }
    cholmod_dense* release() noexcept { return std::exchange(X_, nullptr); }
    void reset() noexcept
    {
        if (X_ != nullptr) {
            Cholmod<Int>.free_dense(&X_, cm_);
        }
    }

private:
    cholmod_dense* X_;
    cholmod_common* cm_;
};

template <class Int>
class SparseResult {
public:
    SparseResult(cholmod_sparse* A, cholmod_common* cm) noexcept : A_(A), cm_(cm) {}
    SparseResult(const SparseResult&) = delete;
    SparseResult& operator=(const SparseResult&) = delete;
    ~SparseResult()
    {
        if (A_ != nullptr) {
            Cholmod<Int>.free_sparse(&A_, cm_);
        }
    }
    cholmod_sparse* get() const noexcept { return A_; }
    cholmod_sparse** out() noexcept { return &A_; }
    cholmod_sparse* release() noexcept { return std::exchange(A_, nullptr); }

private:
    cholmod_sparse* A_;
    cholmod_common* cm_;
};

// An index vector the library allocated (E, HPinv): n entries of Int.
template <class Int>
class IndexResult {
public:
    IndexResult(size_t n, cholmod_common* cm) noexcept : n_(n), cm_(cm) {}
    IndexResult(const IndexResult&) = delete;
    IndexResult& operator=(const IndexResult&) = delete;
    ~IndexResult()
    {
        if (p_ != nullptr) {
            Cholmod<Int>.free(n_, sizeof(Int), p_, cm_);
        }
    }
    Int* get() const noexcept { return p_; }
    Int** out() noexcept { return &p_; }
    void set_size(size_t n) noexcept { n_ = n; }

private:
    Int* p_ = nullptr;
    size_t n_;
    cholmod_common* cm_;
};

}  // namespace spqr_lib
