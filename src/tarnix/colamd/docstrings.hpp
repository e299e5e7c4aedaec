// Docstrings of tarnix.colamd. The docstrings of colamd and symamd are
// assembled at import from _COLAMD_DOC_TEMPLATE and the pieces below.
#pragma once

namespace colamd_docs {

inline constexpr const char* module = R"(Column approximate minimum degree ordering (COLAMD and SYMAMD)
===============================================================

Fill-reducing orderings of sparse matrices computed by the SuiteSparse COLAMD
library [1]_ [2]_.

Functions
---------
colamd(A, ...)
    Column permutation ``q`` of an M by N matrix such that the factors of
    ``A[:, q]`` (Cholesky of its normal matrix, LU with partial pivoting, or
    the R of a QR factorization) are sparser than those of ``A``.
symamd(A, ...)
    Symmetric permutation ``p`` of a square matrix such that the Cholesky
    factor of ``A[p][:, p]`` is sparse.
colamd_get_defaults()
    The library's default parameters.

Exceptions
----------
COLAMDError
    Base class of the errors below.
COLAMDValueError
    Invalid input reported by the library (also a ``ValueError``).
COLAMDMemoryError
    The library ran out of memory (also a ``MemoryError``).
COLAMDInternalError
    Internal error of the library (also a ``RuntimeError``).

Records
-------
COLAMDStats
    Statistics of a call, returned with ``return_info=True``.

References
----------
.. [1] T. A. Davis, J. R. Gilbert, S. I. Larimore and E. G. Ng, "A column
   approximate minimum degree ordering algorithm", ACM Transactions on
   Mathematical Software 30(3), 2004, pp. 353-376.
.. [2] T. A. Davis, J. R. Gilbert, S. I. Larimore and E. G. Ng, "Algorithm
   836: COLAMD, a column approximate minimum degree ordering algorithm", ACM
   Transactions on Mathematical Software 30(3), 2004, pp. 377-380.
)";

inline constexpr const char* doc_template = R"({intro}

Parameters
----------
{A_param}
dense_row_thresh : float, optional
    Dense-row threshold factor. A row with more than
    ``max(16, dense_row_thresh * sqrt(N))`` entries (N columns) is considered
    dense; dense rows are ignored during the ordering. A negative value
    removes only completely dense rows. The value is stored in single
    precision. None (default) keeps the library default (10.0, see
    `colamd_get_defaults`).
dense_col_thresh : float, optional
    Dense-column threshold factor. A column with more than
    ``max(16, dense_col_thresh * sqrt(min(M, N)))`` entries is considered
    dense; dense columns are ordered last. A negative value removes only
    completely dense columns. Stored in single precision; None (default)
    keeps the library default (10.0).
aggressive : bool, optional
    Whether to use aggressive absorption (taken by truth value). None
    (default) keeps the library default (on).
return_info : bool, optional
    If true, also return the statistics of the call as a `COLAMDStats`.
    Trivial inputs (no rows, no columns, no stored entries, a single row or
    column) are answered without calling the library and return the bare
    permutation even then.

Returns
-------
perm : numpy.ndarray
    The permutation, of N entries, with the integer dtype of the validated
    matrix's indices (int32 or int64).
stats : COLAMDStats
    Only when `return_info` is true and the library was called.

Raises
------
COLAMDValueError
    If the library rejects the input.
COLAMDMemoryError
    If the library runs out of memory.
COLAMDInternalError
    If the library reports an internal error.

See Also
--------
{see_also}

References
----------
.. {reftag} T. A. Davis, J. R. Gilbert, S. I. Larimore and E. G. Ng,
   "Algorithm 836: COLAMD, a column approximate minimum degree ordering
   algorithm", ACM Transactions on Mathematical Software 30(3), 2004,
   pp. 377-380.

Examples
--------
{example}
)";

inline constexpr const char* colamd_reftag = "[#colamd_c]";
inline constexpr const char* colamd_lead = "Column approximate minimum degree ordering ";
inline constexpr const char* colamd_description = R"(_.

Compute a column permutation ``q`` of the M by N matrix `A` such that the
Cholesky factor of ``A[:, q].T @ A[:, q]`` is sparser than that of
``A.T @ A``. The same permutation keeps the LU factors of ``A[:, q]`` with
partial pivoting, and the R of its QR factorization, sparse.)";

inline constexpr const char* colamd_A_param = R"(A : array_like or sparse matrix
    The M by N matrix to order; it need not be square. Anything
    `tarnix.utils.validate_csc_input` accepts (a sparse matrix of another
    format is converted to CSC with a ``SparseEfficiencyWarning``).)";

inline constexpr const char* colamd_example = R"(>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.colamd import colamd
>>> A = csc_array(np.array([[1., 0., 0., 1.],
...                         [0., 1., 1., 0.],
...                         [1., 1., 0., 0.],
...                         [0., 0., 1., 1.],
...                         [1., 0., 1., 0.]]))
>>> q = colamd(A)
>>> sorted(q.tolist())
[0, 1, 2, 3]
>>> q, stats = colamd(A, return_info=True)
>>> stats.status
0)";

inline constexpr const char* symamd_reftag = "[#symamd_c]";
inline constexpr const char* symamd_lead = "Symmetric approximate minimum degree ordering ";
inline constexpr const char* symamd_description = R"(_.

Compute a symmetric permutation ``p`` of the square matrix `A` such that
the Cholesky factor of ``A[p][:, p]`` is sparse. The library builds a matrix
``M`` whose ``M.T @ M`` has the pattern of `A` and orders the columns of
``M`` with COLAMD.)";

inline constexpr const char* symamd_A_param = R"(A : array_like or sparse matrix
    The N by N matrix to order; it must be square. Its lower triangular part
    is taken as the pattern of a symmetric matrix. Anything
    `tarnix.utils.validate_csc_input` accepts.)";

inline constexpr const char* symamd_example = R"(>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.colamd import symamd
>>> A = csc_array(np.array([[4., 1., 0., 1.],
...                         [1., 4., 1., 0.],
...                         [0., 1., 4., 1.],
...                         [1., 0., 1., 4.]]))
>>> p = symamd(A)
>>> sorted(p.tolist())
[0, 1, 2, 3]
>>> p.dtype
dtype('int32'))";

inline constexpr const char* stats = R"(Statistics of a COLAMD or SYMAMD call.

Attributes
----------
N_rows_ignored : int
    Number of dense or empty rows ignored.
N_cols_ignored : int
    Number of dense or empty columns ignored.
Ncmpa : int
    Number of garbage collections performed.
status : int
    The library status: 0 ok, 1 ok but the columns were jumbled (unsorted or
    with duplicates), negative on error.
info1 : int
    Status 0: the highest column that is unsorted or has duplicates (-1 if
    none). On errors the detail the library reports (see the COLAMD user
    guide): n_row, n_col, nnz, p[0], the required Alen, the column with a
    negative count, or the column with a bad row index.
info2 : int
    Status 0: the last duplicate or unsorted row index (-1 if none). On
    errors: the actual Alen (-7) or the bad row index (-9).
info3 : int
    Status 0: the number of duplicate or unsorted row indices. Status -9:
    n_row.

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.colamd import colamd
>>> A = csc_array(np.array([[4., 1., 0., 1.], [1., 4., 1., 0.], [0., 1., 4., 1.], [1., 0., 1., 4.]]))
>>> q, stats = colamd(A, return_info=True)
>>> stats.status, stats.N_rows_ignored, stats.N_cols_ignored
(0, 0, 0)
>>> stats
COLAMDStats(N_rows_ignored=0, N_cols_ignored=0, Ncmpa=0, status=0, info1=-1, info2=-1, info3=0))";

inline constexpr const char* get_defaults = R"(Return the default parameters of COLAMD.

Returns
-------
dict
    ``{"dense_row_thresh": ..., "dense_col_thresh": ..., "aggressive": ...}``:
    the dense-row and dense-column threshold factors and the aggressive
    absorption flag (1.0 on, 0.0 off) as set by ``colamd_set_defaults``,
    each a ``numpy.float64``.

Examples
--------
>>> from tarnix.colamd import colamd_get_defaults
>>> colamd_get_defaults()
{'dense_row_thresh': np.float64(10.0), 'dense_col_thresh': np.float64(10.0), 'aggressive': np.float64(1.0)})";

inline constexpr const char* private_colamd = R"(Call COLAMD on arrays in one index width (int32 or int64).

Parameters
----------
M, N : int
    Number of rows and columns.
Ap : numpy.ndarray
    Column pointers, N + 1 entries; its dtype selects the 32-bit or the
    64-bit library routine.
Ai : numpy.ndarray
    Row indices, at least Ap[N] entries. Copied into a work array of the
    length ``colamd_recommended`` asks for; not modified.
perm : numpy.ndarray
    Output, N + 1 entries: the permutation in its first N entries.
knobs : numpy.ndarray
    float64, at least 20 entries (COLAMD_KNOBS).
stats : numpy.ndarray
    Output, at least 20 entries (COLAMD_STATS).)";

inline constexpr const char* private_symamd = R"(Call SYMAMD on arrays in one index width (int32 or int64).

Parameters
----------
M : int
    Converted but not used.
N : int
    Number of rows and columns.
Ap : numpy.ndarray
    Column pointers, N + 1 entries; its dtype selects the 32-bit or the
    64-bit library routine.
Ai : numpy.ndarray
    Row indices, at least Ap[N] entries; read in place.
perm : numpy.ndarray
    Output, N + 1 entries: the permutation in its first N entries.
knobs : numpy.ndarray
    float64, at least 20 entries (COLAMD_KNOBS).
stats : numpy.ndarray
    Output, at least 20 entries (COLAMD_STATS).)";

inline constexpr const char* base = R"(Shared implementation of `colamd` and `symamd`.)";

}  // namespace colamd_docs
