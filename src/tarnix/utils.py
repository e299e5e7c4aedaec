"""Input coercion shared by the tarnix extension modules.

Every matrix argument of ``tarnix`` passes through :func:`validate_csc_input`
before any SuiteSparse routine sees it. The routine guarantees a canonical
compressed sparse column (CSC) structure, because the libraries index arrays
with what they read from it.

The extension modules recognise the common case natively: a ``csc_array`` or
``csc_matrix`` (not a subclass) whose arrays are already what this function
would return, checked in one pass, is used without calling it, with the same
result. Everything else, and every module whose ``validate_csc_input`` binding
was replaced, goes through the function.
"""

from __future__ import annotations

import warnings
from typing import Any, Callable, NamedTuple

import numpy as np
from scipy import sparse

_sorted_unique: Callable[..., Any] | None
try:  # SciPy's own compiled check; a NumPy fallback keeps this module working without it.
    from scipy.sparse._sparsetools import csr_has_canonical_format as _sorted_unique
except ImportError:  # pragma: no cover - depends on SciPy's private layout
    _sorted_unique = None

__all__ = ["CSCInput", "validate_csc_input"]

_INDEX_DTYPES = (np.dtype(np.int32), np.dtype(np.int64))
_VALUE_DTYPES = (np.dtype(np.float64), np.dtype(np.complex128))
_INT32_MAX = np.iinfo(np.int32).max


class CSCInput(NamedTuple):
    """What :func:`validate_csc_input` returns (a 3-tuple).

    Attributes
    ----------
    matrix : scipy.sparse.csc_array or scipy.sparse.csc_matrix
        The matrix in canonical CSC form: ``indptr`` and ``indices`` are
        one-dimensional, C-contiguous, writable arrays of `index_dtype`,
        column pointers run from 0 to ``nnz`` without decreasing, row
        indices lie in ``range(shape[0])``, sorted within each column and
        without duplicates; ``data`` is float64 or complex128 with ``nnz``
        entries.
    copied : bool
        True when none of the matrix's arrays is shared with the argument.
    index_dtype : numpy.dtype
        ``numpy.dtype(numpy.int32)`` or ``numpy.dtype(numpy.int64)`` (equal to
        ``numpy.int32``, ``numpy.int64``), the dtype of ``indptr`` and
        ``indices``.

    Examples
    --------
    >>> import numpy as np
    >>> from tarnix.utils import validate_csc_input
    >>> result = validate_csc_input(np.eye(2, dtype=np.float32))
    >>> result.matrix.dtype, result.copied, result.index_dtype
    (dtype('float64'), True, dtype('int32'))
    """

    matrix: Any
    copied: bool
    index_dtype: np.dtype


def validate_csc_input(A, require_square=False):
    """Coerce `A` to a canonical CSC matrix with float64 or complex128 values.

    Parameters
    ----------
    A : array_like or sparse matrix
        A two-dimensional SciPy sparse array or matrix of any format, or
        anything :func:`numpy.asarray` turns into a two-dimensional numeric
        array. Sparse input in another format than CSC is converted, with a
        :class:`scipy.sparse.SparseEfficiencyWarning`.
    require_square : bool, optional
        If true, `A` must have as many rows as columns.

    Returns
    -------
    CSCInput
        The 3-tuple ``(matrix, copied, index_dtype)``. When `A` already is a
        canonical CSC matrix with float64 or complex128 values and int32 or
        int64 indices of one width, `matrix` is `A` itself (no copy).
        Otherwise it is a new matrix; `A` is never modified. Boolean,
        integer and lower-precision values are converted to float64
        (complex64 to complex128); indices keep the width of the input
        (int64 when the input mixes widths or does not fit int32).

    Raises
    ------
    ValueError
        If `A` is not two-dimensional, cannot be converted to a numeric
        matrix, is not square when `require_square` is true, or is a sparse
        matrix with a malformed structure (column pointers not starting at 0
        or decreasing, row indices out of range, arrays too short).

    Examples
    --------
    >>> import numpy as np
    >>> from scipy.sparse import csc_array
    >>> from tarnix.utils import validate_csc_input
    >>> A = csc_array(np.array([[1.0, 0.0], [2.0, 3.0]]))
    >>> M, copied, itype = validate_csc_input(A)
    >>> M is A, itype
    (True, dtype('int32'))
    >>> M, copied, itype = validate_csc_input([[1, 0], [0, 1]])
    >>> M.dtype, M.nnz
    (dtype('float64'), 2)
    """
    owned = False
    if sparse.issparse(A):
        if A.ndim != 2:
            raise ValueError(f"A must be two-dimensional, got a sparse array of shape {A.shape}")
        if A.format != "csc":
            warnings.warn(
                f"Converting the sparse matrix from {A.format.upper()} to CSC format",
                sparse.SparseEfficiencyWarning,
                stacklevel=2,
            )
            A = _to_csc(A)
            owned = True
    else:
        A = _dense_to_csc(A)
        owned = True

    for name in ("indptr", "indices", "data"):
        arr = getattr(A, name, None)
        if not isinstance(arr, np.ndarray):
            raise ValueError(f"A.{name} must be a NumPy array, got {type(arr).__name__}")

    nrows, ncols = A.shape
    if require_square and nrows != ncols:
        raise ValueError(f"A must be square, got shape {A.shape}")

    value_dtype = _value_dtype(A.dtype)
    indptr, indices, data = A.indptr, A.indices, A.data
    index_dtype = _index_dtype(indptr, indices, max(nrows, ncols))

    # Another thread may write into the caller's arrays while this runs
    # (NumPy lets go of the interpreter lock in large operations, and threads
    # switch between any two steps). So what is checked is what gets used:
    # the test for using A in place reads the caller's arrays, but SciPy's
    # test of the canonical form indexes with the column pointers, so it reads
    # a private copy of them, checked first; the libraries check what they
    # read in place again, right before they read it. Everything copied is
    # checked after it was copied, and only then sorted.
    if (
        data.dtype == value_dtype
        and indptr.dtype == index_dtype
        and indices.dtype == index_dtype
        and _usable(indptr)
        and _usable(indices)
        and _usable(data)
    ):
        pointers = np.array(indptr, copy=True)
        nnz = _check_pointers(pointers, indices, data, ncols)
        _check_rows(indices, nrows, nnz)
        if len(indices) == nnz and len(data) == nnz and _canonical(pointers, indices, ncols):
            return CSCInput(A, owned, index_dtype)

    B = _rebuilt(A, (indptr, indices, data), (nrows, ncols), value_dtype, index_dtype)
    return CSCInput(B, True, index_dtype)


def _rebuilt(A, arrays, shape, value_dtype, index_dtype):
    """A new canonical CSC matrix from fresh or converted copies of A's arrays
    (as read once by the caller), each checked once copied; the argument's own
    arrays are never written to."""
    indptr, indices, data = arrays
    nrows, ncols = shape
    new_indptr = np.array(indptr, dtype=index_dtype, order="C", copy=True)
    nnz = _check_pointers(new_indptr, indices, data, ncols)
    new_indices = np.array(indices[:nnz], dtype=index_dtype, order="C", copy=True)
    new_data = np.array(data[:nnz], dtype=value_dtype, order="C", copy=True)
    _check_pointers(new_indptr, new_indices, new_data, ncols)
    _check_rows(new_indices, nrows, nnz)
    csc_class = A.__class__ if A.format == "csc" else sparse.csc_array
    B = csc_class((new_data, new_indices, new_indptr), shape=(nrows, ncols), copy=False)
    # The constructor may narrow int64 indices whose values fit int32; keep the width.
    B.indptr, B.indices = new_indptr, new_indices
    if not _canonical(new_indptr, new_indices, ncols):
        B.has_sorted_indices = False
        B.sum_duplicates()
    return B


def _to_csc(A):
    """A sparse matrix of another format, converted to CSC.

    SciPy's conversions index their output with the stored indices without
    checking them, so a spoiled structure (an index out of range, decreasing
    pointers, arrays of different lengths) would crash the interpreter. It is
    checked first, on a new matrix over copies of the arrays (the checks
    replace arrays, the argument must stay as it is, and another thread may
    write into the argument's arrays between the check and the conversion).
    """
    try:
        if A.format == "coo":
            B = A.__class__((A.data, A.coords), shape=A.shape, copy=True)
            if B.data.ndim != 1 or any(c.ndim != 1 or len(c) != len(B.data) for c in B.coords):
                raise ValueError("coordinate and data arrays of different lengths")
        else:
            if A.format in ("csr", "bsr"):
                if any(np.asarray(a).dtype.kind not in "iu" for a in (A.indptr, A.indices)):
                    raise ValueError("index arrays must hold integers")
                B = A.__class__((A.data, A.indices, A.indptr), shape=A.shape, copy=True)
            else:
                B = A.tocsr()
            B.check_format(full_check=True)
        return B.tocsc()
    except (TypeError, ValueError, IndexError, OverflowError, AttributeError) as exc:
        raise ValueError(f"A is a {A.format.upper()} matrix with a malformed structure: {exc}") from exc


def _dense_to_csc(A):
    try:
        arr = np.asarray(A)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"A cannot be converted to a matrix: {exc}") from exc
    if arr.ndim != 2:
        raise ValueError(f"A must be two-dimensional, got an array of shape {arr.shape}")
    arr = arr.astype(_value_dtype(arr.dtype), copy=False)
    return sparse.csc_array(arr)


def _value_dtype(dtype):
    """float64 or complex128: the value type a dtype converts to without loss."""
    dtype = np.dtype(dtype)
    if dtype in _VALUE_DTYPES:
        return dtype
    if dtype.kind in "biuf" and np.can_cast(dtype, np.float64):
        return _VALUE_DTYPES[0]
    if dtype.kind in "biufc" and np.can_cast(dtype, np.complex128):
        return _VALUE_DTYPES[1]
    raise ValueError(
        f"A has dtype {dtype}, which cannot be converted to float64 or complex128 without loss"
    )


def _index_dtype(indptr, indices, largest_dimension):
    """int32 or int64: one width for both index arrays, wide enough for the shape."""
    for name, arr in (("indptr", indptr), ("indices", indices)):
        if arr.dtype.kind not in "iu":
            raise ValueError(f"A.{name} must hold integers, got dtype {arr.dtype}")
        if arr.ndim != 1:
            raise ValueError(f"A.{name} must be one-dimensional, got shape {arr.shape}")
    if largest_dimension > _INT32_MAX:
        return _INDEX_DTYPES[1]
    if indptr.dtype == indices.dtype and indptr.dtype in _INDEX_DTYPES:
        return indptr.dtype
    if indptr.dtype.itemsize >= 8 or indices.dtype.itemsize >= 8:
        return _INDEX_DTYPES[1]
    # Narrower or unsigned 32-bit input: int32 when every value fits.
    for arr in (indptr, indices):
        if arr.size and int(arr.max()) > _INT32_MAX:
            return _INDEX_DTYPES[1]
    return _INDEX_DTYPES[0]


def _check_pointers(indptr, indices, data, ncols):
    """Reject column pointers that do not run from 0 to nnz without decreasing; returns nnz."""
    if data.ndim != 1:
        raise ValueError(f"A.data must be one-dimensional, got shape {data.shape}")
    if len(indptr) != ncols + 1:
        raise ValueError(
            f"A.indptr must have {ncols + 1} entries (columns + 1), got {len(indptr)}"
        )
    if indptr[0] != 0:
        raise ValueError(f"A.indptr[0] must be 0, got {indptr[0]}")
    if ncols and (indptr[1:] < indptr[:-1]).any():
        j = int(np.flatnonzero(indptr[1:] < indptr[:-1])[0])
        raise ValueError(
            f"A.indptr must be non-decreasing, but A.indptr[{j}] = {indptr[j]}"
            f" > A.indptr[{j + 1}] = {indptr[j + 1]}"
        )
    nnz = int(indptr[-1])
    if len(indices) < nnz or len(data) < nnz:
        raise ValueError(
            f"A.indptr[-1] = {nnz} stored entries, but A.indices has {len(indices)}"
            f" and A.data has {len(data)}"
        )
    return nnz


def _check_rows(indices, nrows, nnz):
    """Reject row indices outside range(nrows)."""
    if nnz == 0:
        return
    rows = indices[:nnz]
    if nrows > np.iinfo(rows.dtype).max:
        # Every non-negative value of so narrow a type is a valid row, and
        # the unsigned view below would let negative ones through (int8 -1
        # is 255, a valid row of a 300-row matrix).
        low = int(rows.min())
        if low < 0:
            raise ValueError(f"A has a row index {low} out of range for {nrows} rows")
        return
    # One pass instead of min() and max(): viewed unsigned, negative
    # indices wrap above every valid one.
    if int(rows.view(rows.dtype.str.replace("i", "u")).max()) >= nrows:
        low, high = int(rows.min()), int(rows.max())
        bad = low if low < 0 else high
        raise ValueError(f"A has a row index {bad} out of range for {nrows} rows")


def _usable(arr):
    """One-dimensional, C-contiguous, aligned and writable: viewable in place."""
    flags = arr.flags
    return flags.c_contiguous and flags.writeable and flags.aligned


def _canonical(indptr, indices, ncols):
    """Row indices strictly increasing within every column (sorted, no duplicates).

    Only called on column pointers that passed _check_pointers.
    """
    if _sorted_unique is not None and indptr.dtype == indices.dtype and indptr.dtype in _INDEX_DTYPES:
        return bool(_sorted_unique(ncols, indptr, indices))
    nnz = int(indptr[-1])
    if nnz < 2:
        return True
    rows = indices[:nnz]
    bad = rows[1:] <= rows[:-1]
    if not bad.any():
        return True
    starts = indptr[1:-1]
    starts = starts[(starts > 0) & (starts < nnz)]
    bad[starts - 1] = False  # the first entry of a column may be below the last of the previous one
    return not bad.any()
