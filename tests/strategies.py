"""Hypothesis strategies for the hostile-input tests: random CSC matrices,
the ways a caller can spoil one, and checks that a call left it alone."""

from __future__ import annotations

import numpy as np
from hypothesis import strategies as st
from scipy import sparse

INDEX_DTYPES = (np.int32, np.int64)


def _csc(dense, index_dtype):
    A = sparse.csc_array(dense)
    A.indptr = A.indptr.astype(index_dtype)
    A.indices = A.indices.astype(index_dtype)
    return A


@st.composite
def dense_patterns(draw, min_rows=0, max_rows=8, min_cols=0, max_cols=8, square=False, complex_values=False):
    """A dense m x n array with a random pattern and entries of magnitude 0.5 to 2."""
    m = draw(st.integers(min_rows, max_rows))
    n = m if square else draw(st.integers(min_cols, max_cols))
    cells = draw(st.sets(st.integers(0, max(m * n - 1, 0)), max_size=m * n)) if m * n else set()
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    values = rng.uniform(0.5, 2.0, len(cells)) * rng.choice([-1.0, 1.0], len(cells))
    if complex_values:
        values = values * np.exp(1j * rng.uniform(0, 2 * np.pi, len(cells)))
    D = np.zeros((m, n), dtype=np.complex128 if complex_values else np.float64)
    D.flat[sorted(cells)] = values
    return D


@st.composite
def csc_matrices(draw, index_dtype=None, **kwargs):
    """A canonical csc_array (sorted, no duplicates) of int32 or int64 indices."""
    D = draw(dense_patterns(**kwargs))
    return _csc(D, index_dtype or draw(st.sampled_from(INDEX_DTYPES)))


@st.composite
def full_rank(draw, wide=False, complex_values=False):
    """A tall (or wide) matrix of full rank: a diagonally dominant square
    block under (beside) random rows, rows and columns shuffled."""
    n = draw(st.integers(1, 7))
    m = n + draw(st.integers(0, 5))
    D = draw(dense_patterns(min_rows=m, max_rows=m, min_cols=n, max_cols=n, complex_values=complex_values))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    D[np.arange(n), np.arange(n)] = (2 * n + 1) * rng.choice([-1.0, 1.0], n)
    D = D[rng.permutation(m)][:, rng.permutation(n)]
    return _csc(D.T if wide else D, draw(st.sampled_from(INDEX_DTYPES)))


# ---------------------------------------------------------------------------
# Spoiling a CSC matrix
#
# Each corruption replaces arrays of a csc_array by assignment (SciPy's
# constructors would check or repair them). BENIGN ones keep the matrix it
# stands for: the call must give what it gives for the clean matrix. INVALID
# ones make it malformed: the call must raise ValueError.


def _odd_layout(a, how):
    if how == "negative_stride":
        return np.ascontiguousarray(a[::-1])[::-1]
    if how == "read_only":
        a = a.copy()
        a.setflags(write=False)
        return a
    if how == "byte_swapped":
        return a.astype(a.dtype.newbyteorder())
    if how == "unaligned":
        raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
        out = raw[1:].view(a.dtype)
        out[:] = a
        return out
    raise AssertionError(how)


def _shuffle_columns(A, rng):
    for j in range(A.shape[1]):
        lo, hi = A.indptr[j], A.indptr[j + 1]
        order = lo + rng.permutation(hi - lo)
        A.indices[lo:hi] = A.indices[order].copy()
        A.data[lo:hi] = A.data[order].copy()


def _duplicate(A, rng):
    """Split one entry into two halves, listed twice in its column."""
    if A.nnz == 0:
        return
    k = int(rng.integers(A.nnz))
    j = int(np.searchsorted(A.indptr, k, side="right")) - 1
    half = A.data[k] / 2
    A.data = np.insert(A.data, k, half)
    A.data[k + 1] = half
    A.indices = np.insert(A.indices, k, A.indices[k])
    indptr = A.indptr.copy()
    indptr[j + 1:] += 1
    A.indptr = indptr


def _benign(A, kind, rng):
    if kind == "unsorted":
        _shuffle_columns(A, rng)
    elif kind == "duplicates":
        _duplicate(A, rng)
    elif kind == "unsorted_duplicates":
        _duplicate(A, rng)
        _shuffle_columns(A, rng)
    elif kind in ("int8", "int16", "uint32", "uint64"):
        A.indices = A.indices.astype(kind)
        A.indptr = A.indptr.astype(kind)
    elif kind == "mixed_widths":
        A.indptr = A.indptr.astype(np.int64)
        A.indices = A.indices.astype(np.int32)
    elif kind == "trailing_entries":
        A.indices = np.append(A.indices, A.indices.dtype.type(-7))
        A.data = np.append(A.data, np.nan)
    elif kind == "float32_data":
        A.data = A.data.astype(np.float32 if A.dtype.kind == "f" else np.complex64)
    elif kind.startswith("layout:"):
        _, how, which = kind.split(":")
        setattr(A, which, _odd_layout(getattr(A, which), how))
    else:
        raise AssertionError(kind)


BENIGN = ["unsorted", "duplicates", "unsorted_duplicates", "int8", "int16", "uint32", "uint64", "mixed_widths",
          "trailing_entries", "float32_data"] + [
    f"layout:{how}:{which}"
    for how in ("negative_stride", "read_only", "byte_swapped", "unaligned")
    for which in ("indices", "indptr", "data")
]


def _invalid(A, kind, rng, extra):
    m, n = A.shape
    indices, indptr = A.indices.copy(), A.indptr.copy()
    k = int(rng.integers(max(A.nnz, 1)))
    if kind == "row_too_large":
        indices[k] = m + extra
    elif kind == "row_negative":
        indices[k] = -1 - extra
    elif kind == "row_int8_negative":
        # a narrow index that wraps to a valid row when read unsigned
        indices = indices.astype(np.int8)
        indices[k] = -1 - (extra % 100)
    elif kind == "pointer_decreasing":
        j = int(rng.integers(1, n)) if n > 1 else 1
        indptr[j] = indptr[j - 1] - 1 - extra if j == n else indptr[j + 1] + 1 + extra
    elif kind == "pointer_start":
        indptr[0] = 1 + extra if rng.integers(2) else -1 - extra
    elif kind == "pointer_overrun":
        indptr[-1] = len(indices) + 1 + extra
    elif kind == "pointer_short":
        indptr = indptr[:-1]
    elif kind == "pointer_long":
        indptr = np.append(indptr, indptr[-1])
    elif kind == "float_indices":
        indices = indices.astype(np.float64)
    elif kind == "float_indptr":
        indptr = indptr.astype(np.float64)
    elif kind == "index_2d":
        indices = indices.reshape(1, -1)
    elif kind == "data_short":
        A.data = A.data[:-1]
    elif kind == "data_longdouble":
        A.data = A.data.real.astype(np.longdouble)
    elif kind == "data_object":
        A.data = A.data.astype(object)
    else:
        raise AssertionError(kind)
    A.indices, A.indptr = indices, indptr


# Each of these needs at least one stored entry (and the pointer ones one column).
INVALID = ["row_too_large", "row_negative", "row_int8_negative", "pointer_decreasing", "pointer_start",
           "pointer_overrun", "pointer_short", "pointer_long", "float_indices", "float_indptr", "index_2d",
           "data_short", "data_longdouble", "data_object"]


@st.composite
def corrupted(draw, kinds, matrices, fmt="csc"):
    """(clean matrix, spoiled copy, kind); the copy in CSC or CSR format."""
    A = draw(matrices)
    kind = draw(st.sampled_from(kinds))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    if kind == "float32_data":  # the clean matrix holds the values the spoiled one can
        A = sparse.csc_array(A, copy=True)
        A.data = A.data.astype(np.complex64 if A.dtype.kind == "c" else np.float32).astype(A.dtype)
    B = (sparse.csc_array if fmt == "csc" else sparse.csr_array)(A, copy=True)
    if kind in BENIGN:
        _benign(B, kind, rng)
    else:
        _invalid(B, kind, rng, draw(st.integers(0, 2**31 - 1000)))
    return A, B, kind


# ---------------------------------------------------------------------------
# The caller's arrays after a call


def fingerprint(*arrays):
    """Bytes, dtype, shape, strides and flags: what a call must not change."""
    out = []
    for a in arrays:
        if isinstance(a, np.ndarray):
            f = a.flags
            out.append((a.tobytes(), a.dtype.str, a.shape, a.strides, f.c_contiguous, f.f_contiguous,
                        f.writeable, f.aligned, a.__array_interface__["data"][0]))
        else:
            out.append(repr(a))
    return out


def csc_fingerprint(A):
    return fingerprint(A.data, A.indices, A.indptr)


def padded(n, dtype, fill=0):
    """An array of n entries inside a larger one with sentinels on both
    sides: (view, check) where check() tells that nothing wrote outside."""
    pad = 16
    base = np.full(n + 2 * pad, -12345, dtype=dtype)
    view = base[pad:pad + n]
    view[:] = fill

    def check():
        return bool((base[:pad] == -12345).all() and (base[pad + n:] == -12345).all())

    return view, check
