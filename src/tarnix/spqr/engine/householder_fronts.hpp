// Where a SuiteSparseQR factorization keeps its Householder vectors: an
// index over the fronts' R+H blocks, taken once and kept with the factor,
// through which the kernel of householder_kernel.hpp applies them in place.
//
// The vectors are found in the factorization's own structures (the fronts'
// staircases, row lists and R+H blocks) exactly as the library's product
// with Q walks them: the same vectors, in the same order, with the same
// coefficients, shifted past the singleton rows, every stored value used
// (zeros too, so that infinities and NaNs spread as in the library's
// product). The permutation is the one that product uses (HP1inv when there
// are column singletons, the numeric object's HPinv otherwise).
//
// The index holds offsets, not addresses: a copy of the factorization made
// by FactorCopier has the same layout, so the index of the original serves
// the copy. Walking the fronts costs a visit of every column of every front;
// the index keeps one record per vector (16 bytes with int32 indices, 24
// with int64) and one offset per front, a small fraction of the vectors' own
// size, and the values are not copied (a compressed-sparse-column copy
// of them takes longer to build than several products take).
//
// Pure C++ over memory the factorization owns: no Python objects, and it
// may run without the GIL. Allocation failure is std::bad_alloc.
#pragma once

#include "spqr/engine/copy.hpp"
#include "spqr/engine/householder_kernel.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace spqr_narrow {

template <class Entry, class Int>
class FrontIndex {
public:
    // Whether a factorization holds what the index reads: a numeric object
    // that kept its Householder vectors.
    static bool available(const spqr_lib::Factorization<Entry, Int>* QR)
    {
        if (QR == nullptr || QR->QRsym == nullptr || QR->QRnum == nullptr) {
            return false;
        }
        const spqr_numeric<Entry, Int>* num = QR->QRnum;
        const Int* pinv = QR->n1cols > 0 ? QR->HP1inv : num->HPinv;
        return num->keepH && num->Hm != nullptr && num->Rblock != nullptr && num->HStair != nullptr &&
               num->HTau != nullptr && num->Hii != nullptr && QR->QRsym->Hip != nullptr && pinv != nullptr;
    }

    // The index of QR, which must be available().
    explicit FrontIndex(const spqr_lib::Factorization<Entry, Int>* QR)
    {
        const int64_t nf = QR->QRsym->nf;
        first_.assign(static_cast<size_t>(nf) + 1, 0);
        for (int64_t f = 0; f < nf; ++f) {
            int64_t n = 0;
            walk_front(QR, f, [&](int64_t, int64_t, int64_t) { ++n; });
            first_[f + 1] = first_[f] + n;
        }
        records_.resize(static_cast<size_t>(first_[nf]));
        for (int64_t f = 0; f < nf; ++f) {
            Record* r = records_.data() + first_[f];
            walk_front(QR, f, [&](int64_t k, int64_t p, int64_t len) {
                *r++ = Record{p, static_cast<Int>(len), static_cast<Int>(k)};
            });
        }
    }

    // The bytes this index holds.
    size_t bytes() const
    {
        return records_.capacity() * sizeof(Record) + first_.capacity() * sizeof(int64_t) + sizeof(*this);
    }

    int64_t vectors() const { return static_cast<int64_t>(records_.size()); }

    // A source for apply(): the vectors of QR, which must be the
    // factorization this index was taken from or a copy of it.
    class Source {
    public:
        Source(const FrontIndex& index, const spqr_lib::Factorization<Entry, Int>* QR)
            : index_(index), QR_(QR), mh(QR->narows), Pinv(QR->n1cols > 0 ? QR->HP1inv : QR->QRnum->HPinv)
        {
        }
        int64_t shift() const { return QR_->n1rows; }

        template <class F>
        void each(bool forward, F&& f) const
        {
            const int64_t nf = static_cast<int64_t>(index_.first_.size()) - 1;
            for (int64_t i = 0; i < nf; ++i) {
                front(forward ? i : nf - 1 - i, forward, f);
            }
        }

    private:
        // The vectors of front fr: the h-th has its unit entry in row h of
        // the front's row list and its other entries in the rows after it.
        template <class F>
        void front(int64_t fr, bool forward, F& f) const
        {
            const Record* recs = index_.records_.data() + index_.first_[fr];
            const int64_t n = index_.first_[fr + 1] - index_.first_[fr];
            const Int* rows = QR_->QRnum->Hii + QR_->QRsym->Hip[fr];
            const Entry* block = QR_->QRnum->Rblock[fr];
            const Entry* tau = QR_->QRnum->HTau + QR_->QRsym->Rp[fr];
            for (int64_t j = 0; j < n; ++j) {
                const int64_t h = forward ? j : n - 1 - j;
                if (j + 1 < n) {
                    // The next vector's values start past a column of R:
                    // fetch them ahead.
                    const Record& next = recs[forward ? h + 1 : h - 1];
                    prefetch(block + next.p, next.len);
                }
                const Record& r = recs[h];
                f(static_cast<int64_t>(rows[h]), rows + h + 1, block + r.p, static_cast<int64_t>(r.len), tau[r.k]);
            }
        }

        static void prefetch(const Entry* p, int64_t len)
        {
            const char* c = reinterpret_cast<const char*>(p);
            const int64_t bytes = std::min<int64_t>(len * static_cast<int64_t>(sizeof(Entry)), 2048);
            for (int64_t off = 0; off < bytes; off += 64) {
                __builtin_prefetch(c + off);
            }
        }

        const FrontIndex& index_;
        const spqr_lib::Factorization<Entry, Int>* QR_;

    public:
        int64_t mh;
        const Int* Pinv;
    };

private:
    // One vector of a front: its values at Rblock[front] + p (len of them,
    // after the unit entry), its coefficient at HTau + Rp[front] + k.
    struct Record {
        int64_t p;
        Int len;
        Int k;
    };

    // One front: its pivotal columns, then the non-pivotal ones, each with a
    // vector unless it is dead. found(k, p, len) is called for the h-th vector
    // of the front, in order: column k of the front (its tau), the entries
    // after the unit one at block[p .. p+len), in rows h+1 .. h+len of the
    // front's row list (the unit entry in row h).
    template <class Found>
    static void walk_front(const spqr_lib::Factorization<Entry, Int>* QR, int64_t f, Found&& found)
    {
        const spqr_symbolic<Int>* sym = QR->QRsym;
        const spqr_numeric<Entry, Int>* num = QR->QRnum;
        const int64_t col1 = sym->Super[f];
        const int64_t fp = sym->Super[f + 1] - col1;
        const int64_t pr = sym->Rp[f];
        const int64_t fn = sym->Rp[f + 1] - pr;
        const Int* stair = num->HStair + pr;
        const int64_t fm = num->Hm[f];
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
            p += rm;  // past the column's R part
            const int64_t len = t - h;
            found(k, p, len);
            p += len;
            ++nh;
            if (h == fm) {
                break;
            }
        }
    }

    std::vector<Record> records_;  // the vectors, front by front
    std::vector<int64_t> first_;   // nf + 1: front f's records start at first_[f]
};

}  // namespace spqr_narrow
