// The scans of common/canonical.hpp.
#include "common/canonical.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>

// Each scan is compiled twice, for AVX2 and for the baseline, and the loader
// picks one when the module is loaded (GNU ifunc: glibc only, so not on
// musl, macOS or Windows). GCC only: Clang's support of the attribute on
// templates varies between releases.
#if defined(__x86_64__) && defined(__GLIBC__) && defined(__GNUC__) && !defined(__clang__)
#define TARNIX_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TARNIX_VECTOR_CLONES
#endif

namespace tarnix {
namespace {

// A count over at most this many entries fits an unsigned I: the inner
// loops count in the element width, so that they vectorise at full width.
constexpr long long kCountBlock = 1 << 16;

// Entries copied and then scanned at a time: 16 KiB, well inside L1.
template <class I>
constexpr long long kCopyBlock = 16384 / static_cast<long long>(sizeof(I));

template <class I>
using Unsigned = std::make_unsigned_t<I>;

// Every I from 0 to nrow-1 lies below this, viewed unsigned, and no
// negative one does (they wrap above every valid row).
template <class I>
Unsigned<I> row_bound(long long nrow)
{
    using U = Unsigned<I>;
    const long long top = std::numeric_limits<I>::max();
    return nrow <= 0 ? U{0} : nrow > top ? static_cast<U>(static_cast<U>(top) + 1) : static_cast<U>(nrow);
}

// Whether some column pointer is below its predecessor.
template <class I>
TARNIX_VECTOR_CLONES bool decreasing(const I* Ap, long long ncol)
{
    unsigned found = 0;
    for (long long j = 0; j < ncol; ++j) {
        found |= static_cast<unsigned>(Ap[j + 1] < Ap[j]);
    }
    return found != 0;
}

// What a scan of the row indices finds.
struct RowScan {
    unsigned long long descents = 0;  // k with Ai[k] <= Ai[k-1]: where the rows do not rise
    bool out_of_range = false;        // some Ai[k] outside 0..nrow-1
};

// Adds the descents at k = lo..hi-1 (lo >= 1) and the rows out of range
// among Ai[lo..hi) to `scan`. Counted in the element width, block by
// block, so that the loop runs at full vector width.
template <class I>
TARNIX_VECTOR_CLONES void scan_rows(const I* Ai, long long lo, long long hi, Unsigned<I> bound, RowScan& scan)
{
    using U = Unsigned<I>;
    U out = 0;
    for (long long block = lo; block < hi; block += kCountBlock) {
        const long long end = std::min(block + kCountBlock, hi);
        U count = 0;
        for (long long k = block; k < end; ++k) {
            out |= static_cast<U>(static_cast<U>(Ai[k]) >= bound);
            count += static_cast<U>(Ai[k] <= Ai[k - 1]);
        }
        scan.descents += count;
    }
    scan.out_of_range = scan.out_of_range || out != 0;
}

// The descents at the first entries of the non-empty columns among
// ja..jb-1, all of which start at 1..nnz-1 when Ap is as checked. Where
// other threads may change Ap meanwhile (`Clamp`), the start is clamped
// into that range before it indexes Ai, so that changed pointers spoil the
// count, not the reads.
template <class I, bool Clamp>
TARNIX_VECTOR_CLONES unsigned long long start_descents(const I* Ap, long long ja, long long jb, const I* Ai,
                                                       long long nnz)
{
    using U = Unsigned<I>;
    const I low = 1;
    const I high = static_cast<I>(nnz - 1);
    unsigned long long total = 0;
    for (long long block = ja; block < jb; block += kCountBlock) {
        const long long end = std::min(block + kCountBlock, jb);
        U count = 0;
        for (long long j = block; j < end; ++j) {
            const I start = Ap[j];
            const I s = Clamp ? std::min(std::max(start, low), high) : start;
            count += static_cast<U>(start < Ap[j + 1]) & static_cast<U>(Ai[s] <= Ai[s - 1]);
        }
        total += count;
    }
    return total;
}

// Whether the rows, scanned into `scan`, rise strictly within every column
// (under column pointers that passed canonical_pointers) and lie in
// 0..nrow-1: whether every descent falls on the first entry of a column.
template <class I, bool Clamp>
bool rows_canonical(const I* Ap, long long ncol, const I* Ai, long long nnz, const RowScan& scan)
{
    if (scan.out_of_range) {
        return false;
    }
    if (nnz < 2) {
        return true;
    }
    // The columns whose first entry may be a descent: from the first column
    // starting after entry 0 to the last starting before entry nnz.
    const long long jb = std::lower_bound(Ap, Ap + ncol, static_cast<I>(nnz)) - Ap;
    const long long ja = std::min(static_cast<long long>(std::upper_bound(Ap, Ap + jb, I{0}) - Ap), jb);
    return scan.descents == start_descents<I, Clamp>(Ap, ja, jb, Ai, nnz);
}

}  // namespace

template <class I>
bool canonical_pointers(const I* Ap, long long ncol, long long nnz)
{
    return Ap[0] == 0 && Ap[ncol] == nnz && !decreasing(Ap, ncol);
}

template <class I>
bool canonical_rows(const I* Ap, long long ncol, const I* Ai, long long nnz, long long nrow)
{
    if (nnz == 0) {
        return true;
    }
    const Unsigned<I> bound = row_bound<I>(nrow);
    RowScan scan;
    scan.out_of_range = static_cast<Unsigned<I>>(Ai[0]) >= bound;
    scan_rows(Ai, 1, nnz, bound, scan);
    return rows_canonical<I, true>(Ap, ncol, Ai, nnz, scan);
}

template <class I>
bool copy_canonical(const I* Ap, long long ncol, const I* Ai, long long nnz, long long nrow, I* P, I* R)
{
    std::copy_n(Ap, ncol + 1, P);
    if (!canonical_pointers(P, ncol, nnz)) {
        return false;
    }
    if (nnz == 0) {
        return true;
    }
    const Unsigned<I> bound = row_bound<I>(nrow);
    RowScan scan;
    for (long long block = 0; block < nnz; block += kCopyBlock<I>) {
        const long long end = std::min(block + kCopyBlock<I>, nnz);
        std::copy(Ai + block, Ai + end, R + block);
        if (block == 0) {
            scan.out_of_range = static_cast<Unsigned<I>>(R[0]) >= bound;
        }
        scan_rows(R, std::max(block, 1LL), end, bound, scan);
    }
    return rows_canonical<I, false>(P, ncol, R, nnz, scan);
}

template bool canonical_pointers<int32_t>(const int32_t*, long long, long long);
template bool canonical_pointers<int64_t>(const int64_t*, long long, long long);
template bool canonical_rows<int32_t>(const int32_t*, long long, const int32_t*, long long, long long);
template bool canonical_rows<int64_t>(const int64_t*, long long, const int64_t*, long long, long long);
template bool copy_canonical<int32_t>(const int32_t*, long long, const int32_t*, long long, long long, int32_t*,
                                      int32_t*);
template bool copy_canonical<int64_t>(const int64_t*, long long, const int64_t*, long long, long long, int64_t*,
                                      int64_t*);

}  // namespace tarnix
