// The canonical form of a CSC pattern, checked in a few branch-free passes:
// column pointers running from 0 to nnz without decreasing, row indices in
// 0..nrow-1 and strictly increasing within each column (sorted, no
// duplicates).
//
// A check column by column runs a short loop per column, which neither
// vectorises nor predicts well on the short columns of most sparse
// matrices. Here the row indices are scanned as one sequence instead:
// every place where an index does not rise above its predecessor (a
// descent) is counted, and a second pass over the column pointers counts
// the descents that fall on the first entry of a column, where they are
// allowed. The pattern is canonical when the two counts agree. The scans
// run with AVX2 where the processor has it (built by GCC for x86-64 glibc),
// with the baseline instructions elsewhere.
//
//   I Ap[ncol+1]   column pointers
//   I Ai[nnz]      row indices
#pragma once

#include <cstdint>

namespace tarnix {

// Whether Ap[0..ncol] is 0 = Ap[0] <= Ap[1] <= ... <= Ap[ncol] = nnz.
template <class I>
bool canonical_pointers(const I* Ap, long long ncol, long long nnz);

// Whether the rows Ai[0..nnz), under column pointers that passed
// canonical_pointers, are in 0..nrow-1 and strictly increasing within each
// column. Ap is read again: where another thread writes into the arrays
// meanwhile the answer may be wrong, but every read stays inside them.
template <class I>
bool canonical_rows(const I* Ap, long long ncol, const I* Ai, long long nnz, long long nrow);

// Both checks on arrays that other threads may be writing into; see
// canonical_rows.
template <class I>
bool is_canonical(const I* Ap, long long ncol, const I* Ai, long long nnz, long long nrow)
{
    return canonical_pointers(Ap, ncol, nnz) && canonical_rows(Ap, ncol, Ai, nnz, nrow);
}

// Copies Ap into P[0..ncol] and Ai into R[0..nnz), and checks the copies:
// the answer is about what was copied, whatever other threads write into
// Ap and Ai meanwhile. The rows are copied in blocks, each checked while it
// is still in the cache, so that the copy and the check read Ai once.
template <class I>
bool copy_canonical(const I* Ap, long long ncol, const I* Ai, long long nnz, long long nrow, I* P, I* R);

extern template bool canonical_pointers<int32_t>(const int32_t*, long long, long long);
extern template bool canonical_pointers<int64_t>(const int64_t*, long long, long long);
extern template bool canonical_rows<int32_t>(const int32_t*, long long, const int32_t*, long long, long long);
extern template bool canonical_rows<int64_t>(const int64_t*, long long, const int64_t*, long long, long long);
extern template bool copy_canonical<int32_t>(const int32_t*, long long, const int32_t*, long long, long long,
                                             int32_t*, int32_t*);
extern template bool copy_canonical<int64_t>(const int64_t*, long long, const int64_t*, long long, long long,
                                             int64_t*, int64_t*);

}  // namespace tarnix
