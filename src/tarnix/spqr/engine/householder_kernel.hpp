// Products with Q held as sparse Householder vectors, for dense operands
// with few columns (Q*X, Q'*X) or few rows (X*Q, X*Q').
//
// Q = P' H_0 H_1 ... H_(nh-1) as SuiteSparseQR defines it: H_k = I - tau_k v_k v_k'
// with v_k column k of the compressed-sparse-column H, whose first stored
// entry is taken as 1 whatever its value (the library's convention), and the
// rows permuted by Pinv (Y(Pinv[i], :) = X(i, :) before Q'). Each vector is
// applied on its own with a sparse dot product and a sparse update, which
// beats the library's blocked product while the operand is narrow.
//
// Pure C++: no Python objects, so it may run without the GIL. Its only
// allocation is a workspace (std::bad_alloc on failure).
#pragma once

// The definitions need CHOLMOD's version, declared first.
#include <cholmod.h>
#include <SuiteSparseQR_definitions.h>

#include "spqr/engine/arithmetic.hpp"

#include <algorithm>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace spqr_narrow {

// The kernel reads Q from a source: mh (the rows Q acts on), Pinv (mh
// entries, or null for the identity), shift() (rows of the product before
// the first one the vectors' row indices count from) and each(forward, f),
// which calls f(unit, rows, vals, len, tau) for every non-empty vector,
// first to last or last to first: its unit entry's row, then its other
// entries. Sources borrow their arrays, which must stay valid and unchanged
// while the kernel runs. Two sources: the view below, and the index of a
// factorization's fronts (householder_fronts.hpp).
//
// Q in compressed-sparse-column form: mh rows, nh vectors.
//   Int   Hp[nh + 1]       column pointers
//   Int   Hi[Hp[nh]]       row indices, each in [0, mh)
//   Entry Hx[Hp[nh]]       values (the first of each column read as 1)
//   Entry tau[nh]          coefficients
//   Int   Pinv[mh]         the row permutation, or null
template <class Entry, class Int>
struct HouseholderView {
    int64_t mh = 0;
    int64_t nh = 0;
    const Int* Hp = nullptr;
    const Int* Hi = nullptr;
    const Entry* Hx = nullptr;
    const Entry* tau = nullptr;
    const Int* Pinv = nullptr;

    int64_t shift() const { return 0; }

    template <class F>
    void each(bool forward, F&& f) const
    {
        for (int64_t i = 0; i < nh; ++i) {
            const int64_t k = forward ? i : nh - 1 - i;
            const int64_t p0 = Hp[k];
            const int64_t p1 = Hp[k + 1];
            if (p0 < p1) {
                f(static_cast<int64_t>(Hi[p0]), Hi + p0 + 1, Hx + p0 + 1, p1 - p0 - 1, tau[k]);
            }
        }
    }
};

// The widest block of vectors one sweep carries.
constexpr int64_t kMaxBlock = 64;

namespace detail {

using spqr_arithmetic::conj_of;
using spqr_arithmetic::mul;

// One reflection on B interleaved vectors: W holds the rows of B entries
// each. The vector is 1 in row `unit` and vals[q] in row rows[q] (q < len).
// From the left, y -= t v (v' y); from the right (row vectors), x -= t (x v) v'.
// B > 0 is a count known at compile time, B == 0 takes it from b.
template <int B, bool Left, class Entry, class Int>
void reflect(int64_t unit, const Int* rows, const Entry* vals, int64_t len, Entry t, Entry* W, int64_t b, Entry* s)
{
    const int64_t nb = B > 0 ? B : b;
    Entry* w0 = W + unit * nb;
    for (int64_t c = 0; c < nb; ++c) {
        s[c] = w0[c];
    }
    for (int64_t q = 0; q < len; ++q) {
        const Entry v = Left ? conj_of(vals[q]) : vals[q];
        const Entry* w = W + static_cast<int64_t>(rows[q]) * nb;
        for (int64_t c = 0; c < nb; ++c) {
            s[c] += mul(v, w[c]);
        }
    }
    for (int64_t c = 0; c < nb; ++c) {
        s[c] = mul(t, s[c]);
        w0[c] -= s[c];
    }
    for (int64_t q = 0; q < len; ++q) {
        const Entry v = Left ? vals[q] : conj_of(vals[q]);
        Entry* w = W + static_cast<int64_t>(rows[q]) * nb;
        for (int64_t c = 0; c < nb; ++c) {
            w[c] -= mul(v, s[c]);
        }
    }
}

// All reflections, first to last (forward) or last to first; conj_tau uses
// tau's conjugate (the products with Q').
template <int B, bool Left, class Source, class Entry>
void sweep(const Source& H, bool forward, bool conj_tau, Entry* W, int64_t b)
{
    Entry s[B > 0 ? B : kMaxBlock];
    Entry* Ws = W + H.shift() * (B > 0 ? B : b);
    H.each(forward, [&](int64_t unit, const auto* rows, const Entry* vals, int64_t len, const Entry& tau) {
        reflect<B, Left>(unit, rows, vals, len, conj_tau ? conj_of(tau) : tau, Ws, b, s);
    });
}

template <bool Left, class Source, class Entry>
void sweep_block(const Source& H, bool forward, bool conj_tau, Entry* W, int64_t b)
{
    switch (b) {
    case 1: sweep<1, Left>(H, forward, conj_tau, W, b); break;
    case 2: sweep<2, Left>(H, forward, conj_tau, W, b); break;
    case 3: sweep<3, Left>(H, forward, conj_tau, W, b); break;
    case 4: sweep<4, Left>(H, forward, conj_tau, W, b); break;
    case 5: sweep<5, Left>(H, forward, conj_tau, W, b); break;
    case 6: sweep<6, Left>(H, forward, conj_tau, W, b); break;
    case 7: sweep<7, Left>(H, forward, conj_tau, W, b); break;
    case 8: sweep<8, Left>(H, forward, conj_tau, W, b); break;
    default: sweep<0, Left>(H, forward, conj_tau, W, b); break;
    }
}

}  // namespace detail

// Y = Q'X, QX, XQ' or XQ (method SPQR_QTX, SPQR_QX, SPQR_XQT, SPQR_XQ): X is
// rows x cols with leading dimension ldx >= rows, Y is rows x cols with
// leading dimension rows and may not overlap X. The dimension Q acts on
// (rows for QTX/QX, cols for XQT/XQ) must be H.mh.
template <class Source, class Entry>
void apply(int method, const Source& H, int64_t rows, int64_t cols, const Entry* X, int64_t ldx, Entry* Y)
{
    const bool left = method == SPQR_QTX || method == SPQR_QX;
    const bool forward = method == SPQR_QTX || method == SPQR_XQ;
    const bool conj_tau = method == SPQR_QTX || method == SPQR_XQT;
    // The permutation is applied before the sweep for QTX and XQ, after it
    // for QX and XQT.
    const auto* pre = forward ? H.Pinv : nullptr;
    const auto* post = forward ? nullptr : H.Pinv;
    const int64_t nvec = left ? cols : rows;
    const int64_t mh = H.mh;
    // Element (position i of vector c) of X and of Y.
    auto at_x = [&](int64_t i, int64_t c) { return left ? i + c * ldx : c + i * ldx; };
    auto at_y = [&](int64_t i, int64_t c) { return left ? i + c * rows : c + i * rows; };
    std::vector<Entry> work(static_cast<size_t>(mh * std::min(nvec, kMaxBlock)));
    Entry* W = work.data();
    for (int64_t c0 = 0; c0 < nvec; c0 += kMaxBlock) {
        const int64_t b = std::min(kMaxBlock, nvec - c0);
        for (int64_t i = 0; i < mh; ++i) {
            Entry* w = W + (pre != nullptr ? static_cast<int64_t>(pre[i]) : i) * b;
            for (int64_t c = 0; c < b; ++c) {
                w[c] = X[at_x(i, c0 + c)];
            }
        }
        if (left) {
            detail::sweep_block<true>(H, forward, conj_tau, W, b);
        } else {
            detail::sweep_block<false>(H, forward, conj_tau, W, b);
        }
        for (int64_t i = 0; i < mh; ++i) {
            const Entry* w = W + (post != nullptr ? static_cast<int64_t>(post[i]) : i) * b;
            for (int64_t c = 0; c < b; ++c) {
                Y[at_y(i, c0 + c)] = w[c];
            }
        }
    }
}

}  // namespace spqr_narrow
