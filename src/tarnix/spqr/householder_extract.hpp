// The Householder vectors of a SuiteSparseQR factorization in compressed-
// sparse-column form, taken once from the numeric object's fronts and kept
// for the narrow products of householder_kernel.hpp.
//
// The vectors are read from the factorization's own structures (the fronts'
// staircases, row lists and R+H blocks) exactly as the library's product
// with Q walks them: the same vectors, in the same order, with the same
// coefficients, shifted past the singleton rows, every stored value kept
// (zeros too, so that infinities and NaNs spread as in the library's
// product). The permutation is the one that product uses (HP1inv when there
// are column singletons, the numeric object's HPinv otherwise).
//
// Pure C++ over memory the factorization owns: no Python objects, and it
// may run without the GIL. Allocation failure is std::bad_alloc.
#pragma once

#include "spqr/copy.hpp"
#include "spqr/householder_kernel.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace spqr_narrow {

template <class Entry, class Int>
class SparseHouseholder {
public:
    // Whether a factorization holds what extraction reads: a numeric object
    // that kept its Householder vectors.
    static bool available(const spqr_lib::Factorization<Entry, Int>* QR)
    {
        return QR != nullptr && QR->QRsym != nullptr && QR->QRnum != nullptr && QR->QRnum->keepH &&
               QR->QRnum->Hm != nullptr && QR->QRnum->Rblock != nullptr;
    }

    // Extracts the vectors of QR, which must be available().
    explicit SparseHouseholder(const spqr_lib::Factorization<Entry, Int>* QR)
    {
        const int64_t m = QR->narows;
        const Int* pinv = QR->n1cols > 0 ? QR->HP1inv : QR->QRnum->HPinv;
        mh_ = m;
        if (pinv != nullptr) {
            pinv_.assign(pinv, pinv + m);
        }
        size_t nh = 0;
        size_t nnz = 0;
        walk(QR, [&](int64_t, const Entry&, int64_t len) {
            ++nh;
            nnz += static_cast<size_t>(len) + 1;
        });
        Hp_.reserve(nh + 1);
        Hi_.reserve(nnz);
        Hx_.reserve(nnz);
        tau_.reserve(nh);
        Hp_.push_back(0);
        walk(QR, [&](int64_t, const Entry& t, int64_t) {
            tau_.push_back(t);
            Hp_.push_back(static_cast<Int>(Hi_.size()));
        }, this);
    }

    HouseholderView<Entry, Int> view() const
    {
        HouseholderView<Entry, Int> v;
        v.mh = mh_;
        v.nh = static_cast<int64_t>(tau_.size());
        v.Hp = Hp_.data();
        v.Hi = Hi_.data();
        v.Hx = Hx_.data();
        v.tau = tau_.data();
        v.Pinv = pinv_.empty() ? nullptr : pinv_.data();
        return v;
    }

    // The bytes this object holds.
    size_t bytes() const
    {
        return (Hp_.capacity() + Hi_.capacity() + pinv_.capacity()) * sizeof(Int) +
               (Hx_.capacity() + tau_.capacity()) * sizeof(Entry);
    }

    int64_t nnz() const { return static_cast<int64_t>(Hi_.size()); }

private:
    // Calls found(front, tau, len) for every vector, in the library's order;
    // with a sink, the vector's rows and values are appended to it first.
    template <class Found>
    static void walk(const spqr_lib::Factorization<Entry, Int>* QR, Found found, SparseHouseholder* sink = nullptr)
    {
        const int64_t nf = QR->QRsym->nf;
        for (int64_t f = 0; f < nf; ++f) {
            walk_front(QR, f, found, sink);
        }
    }

    // One front: its pivotal columns, then the non-pivotal ones, each with a
    // vector unless it is dead; a vector's unit entry is row Hi[k] of the
    // front, its other entries follow in the R+H block and in the row list.
    template <class Found>
    static void walk_front(const spqr_lib::Factorization<Entry, Int>* QR, int64_t f, Found& found,
                           SparseHouseholder* sink)
    {
        const spqr_symbolic<Int>* sym = QR->QRsym;
        const spqr_numeric<Entry, Int>* num = QR->QRnum;
        const int64_t col1 = sym->Super[f];
        const int64_t fp = sym->Super[f + 1] - col1;
        const int64_t pr = sym->Rp[f];
        const int64_t fn = sym->Rp[f + 1] - pr;
        const Int* stair = num->HStair + pr;
        const Entry* tau = num->HTau + pr;
        const Int* rows = num->Hii + sym->Hip[f];
        const Entry* block = num->Rblock[f];
        const int64_t fm = num->Hm[f];
        const int64_t shift = QR->n1rows;
        int64_t h = 0, nh = 0, p = 0, rm = 0;
        for (int64_t k = 0; k < fn && nh < fm; ++k) {
            int64_t j;
            const int64_t t = stair[k];
            if (k < fp) {
                j = col1 + k;
                if (t == 0) {
                    p += rm;  // a dead column: R only
                    continue;
                }
                if (rm < fm) {
                    ++rm;
                }
                h = rm;
            }
            else {
                j = sym->Rj[pr + k];
                h = std::min(h + 1, fm);
            }
            if (j + QR->n1cols >= QR->nacols) {
                break;
            }
            p += rm;
            const int64_t len = t - h;
            if (sink != nullptr) {
                sink->Hi_.push_back(static_cast<Int>(rows[nh] + shift));
                sink->Hx_.push_back(Entry(1));
                for (int64_t q = 0; q < len; ++q) {
                    sink->Hi_.push_back(static_cast<Int>(rows[nh + 1 + q] + shift));
                    sink->Hx_.push_back(block[p + q]);
                }
            }
            found(f, tau[k], len);
            p += len;
            ++nh;
            if (h == fm) {
                break;
            }
        }
    }

    int64_t mh_ = 0;
    std::vector<Int> Hp_, Hi_, pinv_;
    std::vector<Entry> Hx_, tau_;
};

}  // namespace spqr_narrow
