// Deep copy of a SuiteSparseQR factorization.
//
// Every array of the factorization, its symbolic and its numeric part is
// duplicated with the allocator that SuiteSparseQR_free releases with
// (cholmod_malloc for int32 indices, cholmod_l_malloc for int64), through
// the destination's common record, so that the copy owns all of its memory.
// The copy is built so that SuiteSparseQR_free can release it at any stage:
// records are zero-filled, sizes are set before the arrays they describe.
// On failure everything allocated is released and the source is untouched.
//
// The structures copied here (SuiteSparseQR_factorization, spqr_symbolic,
// spqr_numeric) are SuiteSparseQR's private ones: their fields, and which of
// them an array's length comes from, were read from SuiteSparseQR 4.3's
// spqr.hpp. Another release may add or resize fields without notice, and a
// copy that misses one frees or reads the wrong memory, so the build stops on
// any other release until the lists below have been checked against its
// spqr.hpp (then widen the check, or define TARNIX_SPQR_LAYOUT_CHECKED).
#pragma once

#include "spqr/engine/library.hpp"

#include <SuiteSparseQR_definitions.h>

#if !(SPQR_MAIN_VERSION == 4 && SPQR_SUB_VERSION == 3) && !defined(TARNIX_SPQR_LAYOUT_CHECKED)
#error "spqr/copy.hpp copies the private structures of SuiteSparseQR 4.3, but another SuiteSparseQR release is installed: check its fields against that release's spqr.hpp first"
#endif

#include <cstdint>
#include <cstring>
#include <new>

namespace spqr_lib {

// Failure kinds the caller turns into Python exceptions.
struct CopyUnsupported {};   // parallel task analysis or GPU data
struct CopyRelocation {};    // an R block that points into no stack

template <class Entry, class Int>
class FactorCopier {
public:
    explicit FactorCopier(cholmod_common* cm) : cm_(cm) {}

    // Returns the new factorization; throws std::bad_alloc, CopyUnsupported
    // or CopyRelocation (a partial copy is freed).
    FactorizationPtr<Entry, Int> copy(const Factorization<Entry, Int>* src)
    {
        FactorizationPtr<Entry, Int> dst(calloc_record<Factorization<Entry, Int>>(),
                                         FactorizationFree<Entry, Int>{cm_});
        Factorization<Entry, Int>* d = dst.get();
        d->tol = src->tol;
        d->r1nz = src->r1nz;
        d->n1rows = src->n1rows;
        d->n1cols = src->n1cols;
        d->narows = src->narows;
        d->nacols = src->nacols;
        d->bncols = src->bncols;
        d->rank = src->rank;
        d->allow_tol = src->allow_tol;

        const size_t m = static_cast<size_t>(src->narows);
        const size_t n = static_cast<size_t>(src->nacols);
        if (src->QRsym != nullptr) {
            if (src->QRsym->ntasks > 1 || src->QRsym->QRgpu != nullptr) {
                throw CopyUnsupported{};
            }
            d->QRsym = calloc_record<spqr_symbolic<Int>>();
            copy_symbolic(src->QRsym, d->QRsym);
        }
        if (src->QRnum != nullptr) {
            d->QRnum = calloc_record<spqr_numeric<Entry, Int>>();
            copy_numeric(src->QRnum, d->QRnum);
        }
        d->R1p = dup(src->R1p, static_cast<size_t>(src->n1rows) + 1);
        d->R1j = dup(src->R1j, static_cast<size_t>(src->r1nz));
        d->R1x = dup(src->R1x, static_cast<size_t>(src->r1nz));
        d->Q1fill = dup(src->Q1fill, n + static_cast<size_t>(src->bncols));
        d->P1inv = dup(src->P1inv, m);
        d->HP1inv = dup(src->HP1inv, m);
        d->Rmap = dup(src->Rmap, n);
        d->RmapInv = dup(src->RmapInv, n);
        return dst;
    }

private:
    void* allocate(size_t n, size_t size, bool zero)
    {
        void* p = zero ? Cholmod<Int>.calloc(n, size, cm_) : Cholmod<Int>.malloc(n, size, cm_);
        if (p == nullptr) {
            cm_->status = CHOLMOD_OK;
            throw std::bad_alloc();
        }
        return p;
    }

    template <class Record>
    Record* calloc_record()
    {
        return static_cast<Record*>(allocate(1, sizeof(Record), true));
    }

    // A copy of n elements; a missing array stays missing, and an array of
    // length 0 is allocated but not filled.
    template <class T>
    T* dup(const T* src, size_t n)
    {
        if (src == nullptr) {
            return nullptr;
        }
        T* p = static_cast<T*>(allocate(n, sizeof(T), false));
        if (n > 0) {
            std::memcpy(p, src, n * sizeof(T));
        }
        return p;
    }

    void copy_symbolic(const spqr_symbolic<Int>* s, spqr_symbolic<Int>* d)
    {
        d->m = s->m;
        d->n = s->n;
        d->anz = s->anz;
        d->nf = s->nf;
        d->maxfn = s->maxfn;
        d->rjsize = s->rjsize;
        d->do_rank_detection = s->do_rank_detection;
        d->maxstack = s->maxstack;
        d->hisize = s->hisize;
        d->keepH = s->keepH;
        d->ntasks = s->ntasks;
        d->ns = s->ns;
        d->maxcsize = s->maxcsize;
        d->maxesize = s->maxesize;
        const size_t m = static_cast<size_t>(s->m);
        const size_t n = static_cast<size_t>(s->n);
        const size_t nf = static_cast<size_t>(s->nf);
        d->Sp = dup(s->Sp, m + 1);
        d->Sj = dup(s->Sj, static_cast<size_t>(s->anz));
        d->Qfill = dup(s->Qfill, n);
        d->PLinv = dup(s->PLinv, m);
        d->Sleft = dup(s->Sleft, n + 2);
        d->Parent = dup(s->Parent, nf + 1);
        d->Child = dup(s->Child, nf + 1);
        d->Childp = dup(s->Childp, nf + 2);
        d->Super = dup(s->Super, nf + 1);
        d->Rp = dup(s->Rp, nf + 1);
        d->Rj = dup(s->Rj, static_cast<size_t>(s->rjsize));
        d->Post = dup(s->Post, nf + 1);
        d->Hip = dup(s->Hip, nf + 1);
        // Front sizes and column counts from the analysis: not used by the
        // numeric factorization, but part of the record it owns.
        d->Fm = dup(s->Fm, nf + 1);
        d->Cm = dup(s->Cm, nf + 1);
        d->ColCount = dup(s->ColCount, n);
    }

    void copy_numeric(const spqr_numeric<Entry, Int>* s, spqr_numeric<Entry, Int>* d)
    {
        d->hisize = s->hisize;
        d->n = s->n;
        d->m = s->m;
        d->nf = s->nf;
        d->ntasks = s->ntasks;
        d->ns = s->ns;
        d->maxstack = s->maxstack;
        d->rank = s->rank;
        d->rank1 = s->rank1;
        d->maxfrank = s->maxfrank;
        d->norm_E_fro = s->norm_E_fro;
        d->keepH = s->keepH;
        d->rjsize = s->rjsize;
        d->maxfm = s->maxfm;
        const size_t m = static_cast<size_t>(s->m);
        const size_t n = static_cast<size_t>(s->n);
        const size_t nf = static_cast<size_t>(s->nf);
        const size_t rjsize = static_cast<size_t>(s->rjsize);
        d->Rdead = dup(s->Rdead, n);
        if (s->keepH) {
            d->HStair = dup(s->HStair, rjsize);
            d->HTau = dup(s->HTau, rjsize);
            d->Hii = dup(s->Hii, static_cast<size_t>(s->hisize));
            d->HPinv = dup(s->HPinv, m);
            d->Hm = dup(s->Hm, nf);
            d->Hr = dup(s->Hr, nf);
        }
        // The values live in ns stacks; the R blocks point into them.
        const size_t ns = static_cast<size_t>(s->ns);
        auto stack_size = [&](size_t k) {
            return static_cast<size_t>(s->Stack_size != nullptr ? s->Stack_size[k] : s->maxstack);
        };
        d->Stack_size = dup(s->Stack_size, ns);
        if (s->Stacks != nullptr) {
            d->Stacks = static_cast<Entry**>(allocate(ns, sizeof(Entry*), true));
            for (size_t k = 0; k < ns; ++k) {
                d->Stacks[k] = dup(s->Stacks[k], stack_size(k));
            }
        }
        if (s->Rblock != nullptr) {
            d->Rblock = static_cast<Entry**>(allocate(nf, sizeof(Entry*), true));
            for (size_t f = 0; f < nf; ++f) {
                d->Rblock[f] = relocate(s, d, s->Rblock[f], stack_size);
            }
        }
    }

    template <class StackSize>
    Entry* relocate(const spqr_numeric<Entry, Int>* s, const spqr_numeric<Entry, Int>* d, const Entry* block,
                    StackSize stack_size)
    {
        if (block == nullptr) {
            return nullptr;
        }
        const auto address = reinterpret_cast<uintptr_t>(block);
        // First the stack whose range holds the block; then one that ends at
        // it (an empty block at the very end of a stack).
        for (int pass = 0; pass < 2; ++pass) {
            for (size_t k = 0; s->Stacks != nullptr && k < static_cast<size_t>(s->ns); ++k) {
                if (s->Stacks[k] == nullptr) {
                    continue;
                }
                const auto start = reinterpret_cast<uintptr_t>(s->Stacks[k]);
                const uintptr_t end = start + stack_size(k) * sizeof(Entry);
                const bool inside = pass == 0 ? (start <= address && address < end) : address == end;
                if (inside) {
                    return d->Stacks[k] + (address - start) / sizeof(Entry);
                }
            }
        }
        throw CopyRelocation{};
    }

    cholmod_common* cm_;
};

}  // namespace spqr_lib
