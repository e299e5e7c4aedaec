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

#include "spqr/engine/householder_fronts.hpp"
#include "spqr/engine/library.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace spqr_narrow {

// Operands with at most this many vectors (columns for Q*X and Q'*X, rows
// for X*Q and X*Q') take the sparse kernel.
constexpr int64_t kDefaultNarrowLimit = 12;

#ifdef TARNIX_TESTING
// The limit in force; the test suite changes it to send a call down either
// path (tarnix.spqr._narrow_limit, built with the test hooks only).
inline std::atomic<int64_t>& narrow_limit()
{
    static std::atomic<int64_t> limit{kDefaultNarrowLimit};
    return limit;
}

inline int64_t current_narrow_limit()
{
    return narrow_limit().load(std::memory_order_relaxed);
}
#else
constexpr int64_t current_narrow_limit()
{
    return kDefaultNarrowLimit;
}
#endif

inline bool is_narrow(int method, int64_t rows, int64_t cols)
{
    const int64_t vectors = (method == SPQR_QTX || method == SPQR_QX) ? cols : rows;
    return vectors > 0 && vectors <= current_narrow_limit();
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
    spqr_lib::Owned<cholmod_dense, Int> Y(std::is_same_v<Int, int32_t>
                                              ? cholmod_allocate_dense(X->nrow, X->ncol, X->nrow, xtype, cm)
                                              : cholmod_l_allocate_dense(X->nrow, X->ncol, X->nrow, xtype, cm),
                                          cm);
    if (!Y) {
        return nullptr;
    }
    try {
        apply(method, H, rows, cols, static_cast<const Entry*>(X->x), static_cast<int64_t>(X->d),
              static_cast<Entry*>(Y.get()->x));
    }
    catch (const std::bad_alloc&) {
        cm->status = CHOLMOD_OUT_OF_MEMORY;
        return nullptr;
    }
    return Y.release();
}

// Whether the library's product with H is H's vectors applied one by one,
// each 1 in its first row, as the kernel applies them. The library groups
// consecutive vectors into panels of at most 32 and applies each panel as a
// block reflector, which reads of every vector only what lies on and below
// its diagonal in the panel. The panels it builds backward (QX, XQ') admit a
// vector only when its first row is in no later vector of the panel, so
// nothing lies above a diagonal there. The panels it builds forward (Q'X,
// XQ) may hold a vector that touches the first row of an earlier one: this
// replays the forward grouping (spqr_happly) to look for such an entry.
// False too for a vector without entries (the library reads past it) and
// when the replay's workspace cannot be had: the library's product is kept.
// Replays the forward grouping of one panel, from vector h1 to at most
// hmax: returns where the next panel starts, and sets `above` when a vector
// of this one has an entry above its diagonal. where[mh] is -1 throughout
// on entry and on return; rows[mh] is scratch.
template <class Int>
int64_t replay_panel(const Int* Hp, const Int* Hi, int64_t h1, int64_t hmax, int64_t mh, int64_t* where,
                     int64_t* rows, bool& above) noexcept
{
    // The panel starts with h1's rows, its first row on the diagonal.
    int64_t v = 0;
    for (Int p = Hp[h1]; p < Hp[h1 + 1]; ++p) {
        where[Hi[p]] = v;
        rows[v++] = Hi[p];
    }
    const int64_t vmax = std::min(2 * v + 8, mh);
    int64_t h2 = h1 + 1;
    for (; h2 < hmax && !above; ++h2) {
        const int64_t diagonal = h2 - h1;
        if (diagonal >= v || rows[diagonal] != Hi[Hp[h2]]) {
            break;
        }
        const int64_t before = v;
        bool fits = true;
        for (Int p = Hp[h2] + 1; p < Hp[h2 + 1] && fits; ++p) {
            const Int i = Hi[p];
            if (where[i] >= 0) {
                above = above || where[i] < diagonal;
            }
            else if ((fits = v < vmax)) {
                where[i] = v;
                rows[v++] = i;
            }
        }
        if (!fits) {
            // h2 starts the next panel: take back what it added.
            for (int64_t k = before; k < v; ++k) {
                where[rows[k]] = -1;
            }
            v = before;
            above = false;
            break;
        }
    }
    for (int64_t k = 0; k < v; ++k) {
        where[rows[k]] = -1;
    }
    return h2;
}

template <class Int>
bool panels_are_exact(const cholmod_sparse* H, int method) noexcept
{
    if (method == SPQR_QX || method == SPQR_XQT) {
        return true;
    }
    const auto* Hp = static_cast<const Int*>(H->p);
    const auto* Hi = static_cast<const Int*>(H->i);
    const int64_t nh = static_cast<int64_t>(H->ncol);
    const int64_t mh = static_cast<int64_t>(H->nrow);
    for (int64_t h = 0; h < nh; ++h) {
        if (Hp[h] == Hp[h + 1]) {
            return false;
        }
    }
    std::unique_ptr<int64_t[]> where(new (std::nothrow) int64_t[static_cast<size_t>(mh) + 1]);
    std::unique_ptr<int64_t[]> rows(new (std::nothrow) int64_t[static_cast<size_t>(mh) + 1]);
    if (where == nullptr || rows == nullptr) {
        return false;
    }
    std::fill_n(where.get(), mh, int64_t{-1});
    constexpr int64_t panel_vectors = 32;  // the library's HCHUNK_DENSE
    const int64_t chunk = std::min(panel_vectors, nh);
    bool above = false;
    for (int64_t h1 = 0; h1 < nh && !above;) {
        h1 = replay_panel(Hp, Hi, h1, std::min(h1 + chunk, nh), mh, where.get(), rows.get(), above);
    }
    return !above;
}

// Y = op(X) with Q given as (H, tau, Pinv) in compressed-sparse-column form:
// the kernel for a narrow X, SuiteSparseQR_qmult otherwise. H's structure
// must have been checked (row indices in range), tau must hold H->ncol
// values and Pinv H->nrow.
template <class Entry, class Int>
cholmod_dense* qmult(int method, cholmod_sparse* H, cholmod_dense* tau, Int* Pinv, cholmod_dense* X,
                     cholmod_common* cm)
{
    if (!is_narrow(method, static_cast<int64_t>(X->nrow), static_cast<int64_t>(X->ncol)) ||
        !panels_are_exact<Int>(H, method)) {
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

// Y = op(Q) X for a Q in Householder form (H, tau, v): a dense X through
// qmult above, a sparse one through the library; the status and Y (owned,
// through cm).
template <class Entry, class Int, class XHeader>
auto householder_product(int method, cholmod_sparse* H, cholmod_dense* tau, Int* v, XHeader* X, cholmod_common* cm)
{
    using Y = std::conditional_t<std::is_same_v<XHeader, cholmod_sparse>, cholmod_sparse, cholmod_dense>;
    spqr_lib::OutOfMemoryLatch latch;
    spqr_lib::Owned<Y, Int> out(cm);
    if constexpr (std::is_same_v<XHeader, cholmod_sparse>) {
        *out.out() = SuiteSparseQR_qmult<Entry, Int>(method, H, tau, v, X, cm);
    }
    else {
        *out.out() = qmult<Entry, Int>(method, H, tau, v, X, cm);
    }
    return spqr_lib::Result<Y, Int>{spqr_lib::status_of(*cm), std::move(out)};
}

}  // namespace spqr_narrow

namespace tarnix {
struct FunctionDef;
}

#ifdef TARNIX_TESTING
namespace spqr_module {
// tarnix.spqr._narrow_limit (spqr/narrow.cpp), a test hook.
extern const tarnix::FunctionDef narrow_limit_def;
}  // namespace spqr_module
#endif
