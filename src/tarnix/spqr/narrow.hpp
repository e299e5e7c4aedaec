// Products with Q for narrow dense operands: the choice between the sparse
// Householder kernel and SuiteSparseQR_qmult, and the kernel's result as a
// cholmod_dense that the callers hand on like the library's.
//
// The library applies Q in blocks of 32 Householder vectors through LAPACK,
// which pays off from about a dozen right-hand sides; below that, applying
// each vector on its own, where it is stored (the factor's fronts, through
// householder_fronts.hpp, or the caller's H), is several times faster
// (benchmarks/bench_narrow.py measures the crossover).
#pragma once

#include "spqr/householder_fronts.hpp"
#include "spqr/library.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>

namespace spqr_narrow {

// Operands with at most this many vectors (columns for Q*X and Q'*X, rows
// for X*Q and X*Q') take the sparse kernel.
constexpr int64_t kDefaultNarrowLimit = 12;

// The limit in force; the test suite changes it to send a call down either
// path (tarnix.spqr._narrow_limit).
inline std::atomic<int64_t>& narrow_limit()
{
    static std::atomic<int64_t> limit{kDefaultNarrowLimit};
    return limit;
}

inline bool is_narrow(int method, int64_t rows, int64_t cols)
{
    const int64_t vectors = (method == SPQR_QTX || method == SPQR_QX) ? cols : rows;
    return vectors > 0 && vectors <= narrow_limit().load(std::memory_order_relaxed);
}

// Y = op(X) through the kernel, allocated by CHOLMOD in the common's width
// as SuiteSparseQR_qmult allocates its result; NULL with cm->status set on
// failure (out of memory, or an operand Q does not fit).
template <class Entry, class Int, class Source>
cholmod_dense* apply_dense(int method, const Source& H, const cholmod_dense* X, cholmod_common* cm)
{
    const auto rows = static_cast<int64_t>(X->nrow);
    const auto cols = static_cast<int64_t>(X->ncol);
    const bool left = method == SPQR_QTX || method == SPQR_QX;
    const int xtype = std::is_same_v<Entry, double> ? CHOLMOD_REAL : CHOLMOD_COMPLEX;
    if ((left ? rows : cols) != H.mh || method < SPQR_QTX || method > SPQR_XQ || X->xtype != xtype ||
        X->dtype != CHOLMOD_DOUBLE || X->d < X->nrow) {
        cm->status = CHOLMOD_INVALID;
        return nullptr;
    }
    cholmod_dense* Y = std::is_same_v<Int, int32_t>
                           ? cholmod_allocate_dense(X->nrow, X->ncol, X->nrow, xtype, cm)
                           : cholmod_l_allocate_dense(X->nrow, X->ncol, X->nrow, xtype, cm);
    if (Y == nullptr) {
        return nullptr;
    }
    try {
        apply(method, H, rows, cols, static_cast<const Entry*>(X->x), static_cast<int64_t>(X->d),
              static_cast<Entry*>(Y->x));
    }
    catch (const std::bad_alloc&) {
        spqr_lib::Cholmod<Int>.free_dense(&Y, cm);
        cm->status = CHOLMOD_OUT_OF_MEMORY;
        return nullptr;
    }
    return Y;
}

// Y = op(X) with Q given as (H, tau, Pinv) in compressed-sparse-column form:
// the kernel for a narrow X, SuiteSparseQR_qmult otherwise. H's structure
// must have been checked (row indices in range), tau must hold H->ncol
// values and Pinv H->nrow.
// Whether H's vectors are in the triangular form the library assumes: each
// vector is 1 in its first row, which no later vector touches. The library
// loads vectors into dense panels that ignore what lies above a panel's
// diagonal, so for other H its result depends on its panel widths; there
// the library's product is kept, whatever its width. False also when the
// check's workspace cannot be had.
template <class Int>
bool is_triangular(const cholmod_sparse* H) noexcept
{
    const auto* Hp = static_cast<const Int*>(H->p);
    const auto* Hi = static_cast<const Int*>(H->i);
    std::unique_ptr<bool[]> pivot(new (std::nothrow) bool[H->nrow + 1]());
    if (pivot == nullptr) {
        return false;
    }
    for (size_t k = 0; k < H->ncol; ++k) {
        if (Hp[k] == Hp[k + 1]) {
            continue;
        }
        for (Int q = Hp[k]; q < Hp[k + 1]; ++q) {
            if (pivot[Hi[q]]) {
                return false;
            }
        }
        pivot[Hi[Hp[k]]] = true;
    }
    return true;
}

template <class Entry, class Int>
cholmod_dense* qmult(int method, cholmod_sparse* H, cholmod_dense* tau, Int* Pinv, cholmod_dense* X,
                     cholmod_common* cm)
{
    if (!is_narrow(method, static_cast<int64_t>(X->nrow), static_cast<int64_t>(X->ncol)) ||
        !is_triangular<Int>(H)) {
        return SuiteSparseQR_qmult<Entry, Int>(method, H, tau, Pinv, X, cm);
    }
    HouseholderView<Entry, Int> view;
    view.mh = static_cast<int64_t>(H->nrow);
    view.nh = static_cast<int64_t>(H->ncol);
    view.Hp = static_cast<const Int*>(H->p);
    view.Hi = static_cast<const Int*>(H->i);
    view.Hx = static_cast<const Entry*>(H->x);
    view.tau = static_cast<const Entry*>(tau->x);
    view.Pinv = Pinv;
    cm->status = CHOLMOD_OK;
    return apply_dense<Entry, Int>(method, view, X, cm);
}

// The index of a factor's Householder vectors, taken from its factorization
// on the first narrow product and kept until the numeric part changes.
template <class Entry, class Int>
class FactorQ {
public:
    FactorQ() = default;
    FactorQ(const FactorQ& other)
        : index_(other.index_ ? std::make_unique<FrontIndex<Entry, Int>>(*other.index_) : nullptr)
    {
    }
    FactorQ& operator=(const FactorQ& other)
    {
        if (this != &other) {
            index_ = other.index_ ? std::make_unique<FrontIndex<Entry, Int>>(*other.index_) : nullptr;
        }
        return *this;
    }

    // Forgets the index (the factorization was recomputed or freed).
    void reset() noexcept { index_.reset(); }

    // The bytes kept (0 before the first narrow product).
    size_t bytes() const { return index_ ? index_->bytes() : 0; }

    // Y = op(X): the kernel when X is narrow and the vectors can be had,
    // SuiteSparseQR_qmult otherwise. Same contract as the library's call.
    cholmod_dense* qmult(int method, spqr_lib::Factorization<Entry, Int>* QR, cholmod_dense* X, cholmod_common* cm)
    {
        if (!is_narrow(method, static_cast<int64_t>(X->nrow), static_cast<int64_t>(X->ncol)) ||
            !FrontIndex<Entry, Int>::available(QR)) {
            return SuiteSparseQR_qmult<Entry, Int>(method, QR, X, cm);
        }
        if (!index_) {
            try {
                index_ = std::make_unique<FrontIndex<Entry, Int>>(QR);
            }
            catch (const std::bad_alloc&) {
                cm->status = CHOLMOD_OUT_OF_MEMORY;
                return nullptr;
            }
        }
        cm->status = CHOLMOD_OK;
        return apply_dense<Entry, Int>(method, typename FrontIndex<Entry, Int>::Source(*index_, QR), X, cm);
    }

private:
    std::unique_ptr<FrontIndex<Entry, Int>> index_;
};

}  // namespace spqr_narrow

namespace tarnix {
struct FunctionDef;
}

namespace spqr_module {
// tarnix.spqr._narrow_limit (spqr/narrow.cpp).
extern const tarnix::FunctionDef narrow_limit_def;
}  // namespace spqr_module
