// Compressed sparse column input: the call of tarnix.utils.validate_csc_input
// with the unpacking of its result, and the checks of a column-pointer /
// row-index pair made before a library sees it.
#pragma once

#include "common/buffer.hpp"
#include "common/engine/checks.hpp"

#include <limits>
#include <type_traits>

namespace tarnix {

// The three ways the modules call validate_csc_input:
//   Plain:      validate_csc_input(A)
//   Positional: validate_csc_input(A, <bool>)
//   Keyword:    validate_csc_input(A, require_square=True)
enum class CoerceCall : unsigned char { Plain, Positional, Keyword };

// Whether the native path (common/csc_native.hpp) hands over a copy of the
// structure it checked: for a library that trusts its input and reads it
// with the interpreter lock released, or while other threads may be
// running NumPy kernels that write into the caller's arrays, what was
// checked must be what it reads, in memory no one else can reach.
enum class PatternCopy : unsigned char { None, Checked };

struct CscInput {
    Ref matrix;       // the CSC matrix used in place of the argument
    Ref index_dtype;  // numpy.int32 or numpy.int64
    long long nrows;
    long long ncols;
    long long nnz = -1;  // known when the native path took the matrix; -1 otherwise
    // With PatternCopy::Checked, when the native path took the matrix: new
    // arrays of the index dtype holding the matrix's indptr and indices as
    // they were checked, referenced by nothing else. Null otherwise.
    Ref indptr_copy;
    Ref indices_copy;
};

// The names read from CSC matrices (and validate_csc_input's), interned once
// in the module state: the interpreter's type attribute cache matches names
// by identity, so a lookup by a fresh string (PyObject_GetAttrString) always
// misses it and walks the class's whole MRO, a dozen bases for SciPy's
// sparse classes, which costs more than the rest of a small call.
enum class CscName : Py_ssize_t { Validate, Shape, Format, Indptr, Indices, Data, Nnz };
PyObject* csc_name(PyObject* module, CscName which);  // borrowed
// matrix.<which>
Ref csc_attribute(PyObject* module, PyObject* matrix, CscName which);

// Calls the module-level validate_csc_input (looked up in the module's
// globals, as Python code would) and unpacks exactly three items. A matrix
// that the function would return as it is, is recognised natively instead
// (common/csc_native.hpp): same result, no Python call.
CscInput coerce_csc(PyObject* module, PyObject* A, CoerceCall call, bool require_square = false,
                    PatternCopy copy = PatternCopy::None);

// True when matrix.nnz == 0 (Python equality): the modules answer such
// matrices without calling a library.
bool has_no_entries(PyObject* matrix);
// The same for a coerced matrix, from the count the native path found when
// it took the matrix (its nnz, SciPy's indptr[-1]).
bool has_no_entries(const CscInput& in);

// Unpacks exactly n items of a tuple, list or other iterable, with the
// interpreter's messages ("too many values to unpack (expected 3)", "need
// more than 2 values to unpack").
void unpack_exact(PyObject* seq, Ref* out, Py_ssize_t n);

using engine::all_below;

// The column pointers never point past the row indices. Libraries that check
// a pattern column by column before reading it (COLAMD, CCOLAMD, CAMD) then
// read only inside Ai; their own checks report the rest.
template <class I>
void require_pointers_within(const Vector<I>& Ap, Py_ssize_t len_Ai)
{
    const I* p = Ap.data();
    const Py_ssize_t n = Ap.size();
    if (n == 0) {
        return;
    }
    I high = 0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        high = p[j] > high ? p[j] : high;
    }
    if (static_cast<long long>(high) <= static_cast<long long>(len_Ai)) {
        return;
    }
    if (static_cast<long long>(p[n - 1]) > static_cast<long long>(len_Ai)) {
        raise_format(PyExc_ValueError, "Ai must have at least Ap[N] = %lld entries, got %zd",
                     static_cast<long long>(p[n - 1]), len_Ai);
    }
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (static_cast<long long>(p[j]) > static_cast<long long>(len_Ai)) {
            raise_format(PyExc_ValueError, "Ap[%zd] = %lld points past the end of Ai (%zd entries)", j,
                         static_cast<long long>(p[j]), len_Ai);
        }
    }
}

// The column pointers of a pattern: 0 = Ap[0] <= Ap[1] <= ... <= Ap[ncol]
// <= len(Ai). Returns nnz = Ap[ncol]. Ap holds ncol + 1 entries; checking
// that against N is the caller's part.
// The pass is branch-free so that it vectorises: these checks run on every
// call, over every column. The slow loop only finds the culprit.
template <class I>
long long require_column_pointers(const Vector<I>& Ap, Py_ssize_t len_Ai)
{
    const I* p = Ap.data();
    const Py_ssize_t ncol = Ap.size() - 1;
    if (ncol < 0) {
        raise(PyExc_ValueError, "Ap must have at least 1 entry, got 0");
    }
    if (p[0] != 0) {
        raise_format(PyExc_ValueError, "Ap[0] must be 0, got %lld", static_cast<long long>(p[0]));
    }
    unsigned decreasing = 0;
    for (Py_ssize_t j = 0; j < ncol; ++j) {
        decreasing |= static_cast<unsigned>(p[j + 1] < p[j]);
    }
    if (decreasing) {
        for (Py_ssize_t j = 0; j < ncol; ++j) {
            if (p[j + 1] < p[j]) {
                raise_format(PyExc_ValueError, "Ap must be non-decreasing, but Ap[%zd] = %lld > Ap[%zd] = %lld",
                             j, static_cast<long long>(p[j]), j + 1, static_cast<long long>(p[j + 1]));
            }
        }
    }
    const long long nnz = p[ncol];
    if (nnz > len_Ai) {
        raise_format(PyExc_ValueError, "Ai must have at least Ap[N] = %lld entries, got %zd", nnz, len_Ai);
    }
    return nnz;
}

[[noreturn]] inline void raise_row_out_of_range(long long k, long long row, long long nrow)
{
    raise_format(PyExc_ValueError, "row index Ai[%lld] = %lld is out of range for %lld rows", k, row, nrow);
}

// The structure CHOLMOD's sorted matrices have: the column pointers, and row
// indices in range and strictly increasing within each column (sorted, no
// duplicates).
template <class I>
void require_canonical_pattern(const Vector<I>& Ap, const Vector<I>& Ai, long long nrow)
{
    require_column_pointers(Ap, Ai.size());
    const I* p = Ap.data();
    const I* i = Ai.data();
    const Py_ssize_t ncol = Ap.size() - 1;
    for (Py_ssize_t j = 0; j < ncol; ++j) {
        long long previous = -1;
        for (I k = p[j]; k < p[j + 1]; ++k) {
            const long long row = i[k];
            if (row <= previous || row >= nrow) {
                if (row < 0 || row >= nrow) {
                    raise_row_out_of_range(k, row, nrow);
                }
                raise_format(PyExc_ValueError,
                             "row indices of column %zd must be sorted and without duplicates (Ai[%lld] = %lld)", j,
                             static_cast<long long>(k), row);
            }
            previous = row;
        }
    }
}

}  // namespace tarnix
