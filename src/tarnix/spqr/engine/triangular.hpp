// Solves with a sparse upper triangle T, in the form SuiteSparseQR's R has
// once sorted: T X = B by back substitution, T^H X = B by forward
// substitution with T's own columns (a dot product down each one), so the
// adjoint needs no transposed copy of T.
//
// T in compressed-sparse-column form, r x r:
//   Int   Tp[r + 1]    column pointers, 0 = Tp[0] <= ... <= Tp[r] <= len
//   Int   Ti[len]      row indices, strictly increasing within each column
//   Entry Tx[len]      values; each column's last entry is its diagonal
// B dense, column-major, r x k with leading dimension r, overwritten by X.
//
// Pure C++: no Python objects, no allocation, so the solves may run without
// the GIL on arrays the call owns. They trust T: check_upper() first.
#pragma once

#include "spqr/engine/arithmetic.hpp"

#include <complex>
#include <cstdint>

namespace spqr_triangular {

template <class Entry, class Int>
struct UpperTriangle {
    int64_t r = 0;
    int64_t len = 0;  // entries Ti and Tx hold (at least Tp[r])
    const Int* Tp = nullptr;
    const Int* Ti = nullptr;
    const Entry* Tx = nullptr;
};

// What check_upper() found first, with where: the column, and the position
// in Ti (or in Tp for the pointers) and the row index read there.
enum class TriangleFault : unsigned char {
    None,
    FirstPointer,     // Tp[0] != 0
    Decreasing,       // Tp[column + 1] < Tp[column]
    PastEnd,          // Tp[r] > len
    RowOutOfRange,    // Ti[at] outside 0..r-1
    Unsorted,         // Ti[at] not above the row before it in its column
    BelowDiagonal,    // the column's last row is below the diagonal
    MissingDiagonal,  // the column is empty or ends above the diagonal
    ZeroDiagonal,     // the diagonal entry is zero
};

struct TriangleCheck {
    TriangleFault fault = TriangleFault::None;
    int64_t column = 0;
    int64_t at = 0;
    int64_t row = 0;

    explicit operator bool() const noexcept { return fault != TriangleFault::None; }
};

namespace detail {

using spqr_arithmetic::conj_of;
using spqr_arithmetic::mul;

inline bool is_zero(double x) { return x == 0.0; }
inline bool is_zero(const std::complex<double>& x) { return x.real() == 0.0 && x.imag() == 0.0; }

// The rows of column j, from its pointers; a fault or none.
template <class Int>
TriangleCheck check_column(const Int* Ti, int64_t j, int64_t p0, int64_t p1, int64_t r)
{
    int64_t previous = -1;
    for (int64_t p = p0; p < p1; ++p) {
        const int64_t row = Ti[p];
        if (row < 0 || row >= r) {
            return {TriangleFault::RowOutOfRange, j, p, row};
        }
        if (row <= previous) {
            return {TriangleFault::Unsorted, j, p, row};
        }
        previous = row;
    }
    if (previous > j) {
        return {TriangleFault::BelowDiagonal, j, p1 - 1, previous};
    }
    if (previous < j) {
        return {TriangleFault::MissingDiagonal, j, p1 - 1, previous};
    }
    return {};
}

}  // namespace detail

// Whether T has the form the solves read. Of the values only the diagonal
// is read, once the structure is known good.
template <class Entry, class Int>
TriangleCheck check_upper(const UpperTriangle<Entry, Int>& T)
{
    const int64_t r = T.r;
    if (static_cast<int64_t>(T.Tp[0]) != 0) {
        return {TriangleFault::FirstPointer, 0, 0, static_cast<int64_t>(T.Tp[0])};
    }
    for (int64_t j = 0; j < r; ++j) {
        if (T.Tp[j + 1] < T.Tp[j]) {
            return {TriangleFault::Decreasing, j, j + 1, static_cast<int64_t>(T.Tp[j + 1])};
        }
    }
    if (static_cast<int64_t>(T.Tp[r]) > T.len) {
        return {TriangleFault::PastEnd, r, r, static_cast<int64_t>(T.Tp[r])};
    }
    for (int64_t j = 0; j < r; ++j) {
        const TriangleCheck c = detail::check_column(T.Ti, j, T.Tp[j], T.Tp[j + 1], r);
        if (c) {
            return c;
        }
        if (detail::is_zero(T.Tx[T.Tp[j + 1] - 1])) {
            return {TriangleFault::ZeroDiagonal, j, static_cast<int64_t>(T.Tp[j + 1]) - 1, j};
        }
    }
    return {};
}

// The right-hand sides a pass over T carries: T, far larger than B's rows
// in cache, is then read once per so many columns, not once per column.
constexpr int64_t kBlock = 8;

namespace detail {

// Columns c0..c0+nb-1 of B (nb <= kBlock) by back substitution.
template <class Entry, class Int>
void back_block(const UpperTriangle<Entry, Int>& T, Entry* B, int64_t c0, int64_t nb) noexcept
{
    const int64_t r = T.r;
    Entry* x = B + c0 * r;
    Entry xj[kBlock];
    for (int64_t j = r - 1; j >= 0; --j) {
        const int64_t p0 = T.Tp[j];
        const int64_t last = static_cast<int64_t>(T.Tp[j + 1]) - 1;
        for (int64_t c = 0; c < nb; ++c) {
            xj[c] = x[c * r + j] / T.Tx[last];
            x[c * r + j] = xj[c];
        }
        for (int64_t p = p0; p < last; ++p) {
            const Entry t = T.Tx[p];
            Entry* row = x + static_cast<int64_t>(T.Ti[p]);
            for (int64_t c = 0; c < nb; ++c) {
                row[c * r] -= mul(t, xj[c]);
            }
        }
    }
}

// Columns c0..c0+nb-1 of B (nb <= kBlock) by forward substitution with T^H.
template <class Entry, class Int>
void forward_block(const UpperTriangle<Entry, Int>& T, Entry* B, int64_t c0, int64_t nb) noexcept
{
    const int64_t r = T.r;
    Entry* x = B + c0 * r;
    Entry s[kBlock];
    for (int64_t j = 0; j < r; ++j) {
        const int64_t p0 = T.Tp[j];
        const int64_t last = static_cast<int64_t>(T.Tp[j + 1]) - 1;
        for (int64_t c = 0; c < nb; ++c) {
            s[c] = x[c * r + j];
        }
        for (int64_t p = p0; p < last; ++p) {
            const Entry t = conj_of(T.Tx[p]);
            const Entry* row = x + static_cast<int64_t>(T.Ti[p]);
            for (int64_t c = 0; c < nb; ++c) {
                s[c] -= mul(t, row[c * r]);
            }
        }
        const Entry d = conj_of(T.Tx[last]);
        for (int64_t c = 0; c < nb; ++c) {
            x[c * r + j] = s[c] / d;
        }
    }
}

}  // namespace detail

// B = T^-1 B: column j of T, once x_j is known, is taken off the rows above.
template <class Entry, class Int>
void solve_upper(const UpperTriangle<Entry, Int>& T, Entry* B, int64_t k) noexcept
{
    for (int64_t c0 = 0; c0 < k; c0 += kBlock) {
        detail::back_block(T, B, c0, k - c0 < kBlock ? k - c0 : kBlock);
    }
}

// B = T^-H B: row j of T^H is column j of T conjugated, and its entries
// above the diagonal meet the x already found.
template <class Entry, class Int>
void solve_upper_adjoint(const UpperTriangle<Entry, Int>& T, Entry* B, int64_t k) noexcept
{
    for (int64_t c0 = 0; c0 < k; c0 += kBlock) {
        detail::forward_block(T, B, c0, k - c0 < kBlock ? k - c0 : kBlock);
    }
}

}  // namespace spqr_triangular
