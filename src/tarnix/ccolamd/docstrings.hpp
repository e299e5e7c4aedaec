// Docstrings of tarnix.ccolamd. The docstrings of ccolamd and csymamd are
// assembled at import from _CCOLAMD_DOC_TEMPLATE and the pieces below.
#pragma once

namespace ccolamd_docs {

inline constexpr const char* module = R"(Constrained column approximate minimum degree ordering (CCOLAMD and CSYMAMD)
=============================================================================

Fill-reducing orderings of sparse matrices under ordering constraints,
computed by the SuiteSparse CCOLAMD library [1]_ [2]_. Every column (node)
may be assigned a constraint set: the columns of set 0 are ordered first,
then those of set 1, and so on.

Functions
---------
ccolamd(A, constraints=None, ...)
    Constrained column permutation ``q`` of an M by N matrix, tuned for the
    Cholesky factorization of ``A[:, q].T @ A[:, q]`` or for the LU
    factorization of ``A[:, q]``.
csymamd(A, constraints=None, ...)
    Constrained symmetric permutation ``p`` of a square matrix such that the
    Cholesky factor of ``A[p][:, p]`` is sparse.
ccolamd_get_defaults()
    The library's default parameters.

Exceptions
----------
CCOLAMDError
    Base class of the errors below.
CCOLAMDValueError
    Invalid input reported by the library (also a ``ValueError``).
CCOLAMDMemoryError
    The library ran out of memory (also a ``MemoryError``).
CCOLAMDInternalError
    Internal error of the library (also a ``RuntimeError``).

Records
-------
CCOLAMDStats
    Statistics of a call, returned with ``return_info=True``.

References
----------
.. [1] T. A. Davis, J. R. Gilbert, S. I. Larimore and E. G. Ng, "A column
   approximate minimum degree ordering algorithm", ACM Transactions on
   Mathematical Software 30(3), 2004, pp. 353-376.
.. [2] Y. Chen, T. A. Davis, W. W. Hager and S. Rajamanickam, "Algorithm
   887: CHOLMOD, supernodal sparse Cholesky factorization and
   update/downdate", ACM Transactions on Mathematical Software 35(3), 2008,
   article 22 (CCOLAMD is CHOLMOD's constrained ordering).
)";

// {opt_lu_param} is either empty or a complete parameter entry ending in a
// newline, so that csymamd's docstring has no gap where it is missing.
inline constexpr const char* doc_template = R"({intro}

Parameters
----------
{A_param}
constraints : array_like of int, optional
    The constraint set of every column: an array of N integers, each in
    ``0..N-1``. All columns of set 0 are ordered first, then those of set 1,
    and so on, so ``constraints[perm]`` is non-decreasing. None (default)
    puts every column in one set.
dense_row_thresh : float, optional
    Dense-row threshold factor. A row with more than
    ``max(16, dense_row_thresh * sqrt(N))`` entries is considered dense and
    ignored during the ordering. Stored in single precision; None (default)
    keeps the library default (10.0, see `ccolamd_get_defaults`).
dense_col_thresh : float, optional
    Dense-column threshold factor. A column with more than
    ``max(16, dense_col_thresh * sqrt(min(M, N)))`` entries is considered
    dense and ordered last within its constraint set. Stored in single
    precision; None (default) keeps the library default (10.0).
aggressive : bool, optional
    Whether to use aggressive absorption (taken by truth value). None
    (default) keeps the library default (on).
{opt_lu_param}return_info : bool, optional
    If true, also return the statistics of the call as a `CCOLAMDStats`.
    Trivial inputs (no rows, no columns, no stored entries, a single row or
    column) are answered without calling the library and return the bare
    permutation even then.

Returns
-------
perm : numpy.ndarray
    The permutation, of N entries, with the integer dtype of the validated
    matrix's indices (int32 or int64).
stats : CCOLAMDStats
    Only when `return_info` is true and the library was called.

Raises
------
ValueError
    If `constraints` does not have N entries in ``0..N-1``.
TypeError
    If `constraints` cannot be converted to an integer array.
CCOLAMDValueError
    If the library rejects the input.
CCOLAMDMemoryError
    If the library runs out of memory.
CCOLAMDInternalError
    If the library reports an internal error.

See Also
--------
{see_also}

References
----------
.. {reftag} T. A. Davis, J. R. Gilbert, S. I. Larimore and E. G. Ng,
   "Algorithm 836: COLAMD, a column approximate minimum degree ordering
   algorithm", ACM Transactions on Mathematical Software 30(3), 2004,
   pp. 377-380; CCOLAMD is its constrained variant in SuiteSparse.

Examples
--------
{example}
)";

inline constexpr const char* ccolamd_reftag = "[#ccolamd_c]";
inline constexpr const char* ccolamd_lead = "Constrained column approximate minimum degree ordering ";
inline constexpr const char* ccolamd_description = R"(_.

Compute a column permutation ``q`` of the M by N matrix `A` such that the
factors of ``A[:, q]`` are sparse: the Cholesky factor of
``A[:, q].T @ A[:, q]`` (the default), or the LU factors of ``A[:, q]``
(``opt_lu="lu"``). With `constraints`, the columns are ordered set by set.)";

inline constexpr const char* ccolamd_A_param = R"(A : array_like or sparse matrix
    The M by N matrix to order; it need not be square. Anything
    `tarnix.utils.validate_csc_input` accepts (a sparse matrix of another
    format is converted to CSC with a ``SparseEfficiencyWarning``).)";

inline constexpr const char* ccolamd_opt_lu_param = R"(opt_lu : {'lu', 'cholesky'}, optional
    The factorization to optimise the ordering for: ``"lu"`` for the LU
    factorization of ``A[:, q]``, ``"cholesky"`` for the Cholesky
    factorization of ``A[:, q].T @ A[:, q]``. None (default) keeps the
    library default (Cholesky).
)";

inline constexpr const char* ccolamd_example = R"(>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.ccolamd import ccolamd
>>> A = csc_array(np.array([[1., 0., 0., 1., 1.],
...                         [0., 1., 1., 0., 0.],
...                         [1., 1., 0., 0., 1.],
...                         [0., 0., 1., 1., 0.],
...                         [1., 0., 1., 0., 1.]]))
>>> q = ccolamd(A)
>>> sorted(q.tolist())
[0, 1, 2, 3, 4]

Pin column 4 first and column 0 last:

>>> q = ccolamd(A, constraints=[2, 1, 1, 1, 0])
>>> int(q[0]), int(q[-1])
(4, 0)
>>> q, stats = ccolamd(A, opt_lu="lu", return_info=True)
>>> stats.status
0)";

inline constexpr const char* csymamd_reftag = "[#csymamd_c]";
inline constexpr const char* csymamd_lead = "Constrained symmetric approximate minimum degree ordering ";
inline constexpr const char* csymamd_description = R"(_.

Compute a symmetric permutation ``p`` of the square matrix `A` such that
the Cholesky factor of ``A[p][:, p]`` is sparse. The library orders the
pattern of the symmetric matrix whose lower triangle is that of `A`. With
`constraints`, the nodes are ordered set by set.)";

inline constexpr const char* csymamd_A_param = R"(A : array_like or sparse matrix
    The N by N matrix to order; it must be square. Its lower triangular part
    is taken as the pattern of a symmetric matrix. Anything
    `tarnix.utils.validate_csc_input` accepts.)";

inline constexpr const char* csymamd_example = R"(>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.ccolamd import csymamd
>>> A = csc_array(np.array([[4., 1., 0., 1.],
...                         [1., 4., 1., 0.],
...                         [0., 1., 4., 1.],
...                         [1., 0., 1., 4.]]))
>>> p = csymamd(A)
>>> sorted(p.tolist())
[0, 1, 2, 3]

Order nodes 2 and 3 before nodes 0 and 1:

>>> p = csymamd(A, constraints=[1, 1, 0, 0])
>>> sorted(p[:2].tolist()), sorted(p[2:].tolist())
([2, 3], [0, 1]))";

inline constexpr const char* stats = R"(Statistics of a CCOLAMD or CSYMAMD call.

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
    none). On errors the detail the library reports (see the CCOLAMD user
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
>>> from tarnix.ccolamd import ccolamd
>>> A = csc_array(np.array([[4., 1., 0., 1.], [1., 4., 1., 0.], [0., 1., 4., 1.], [1., 0., 1., 4.]]))
>>> q, stats = ccolamd(A, return_info=True)
>>> stats.status, stats.N_rows_ignored, stats.N_cols_ignored
(0, 0, 0)
>>> stats
CCOLAMDStats(N_rows_ignored=0, N_cols_ignored=0, Ncmpa=0, status=0, info1=-1, info2=-1, info3=0))";

inline constexpr const char* get_defaults = R"(Return the default parameters of CCOLAMD.

Returns
-------
dict
    ``{"dense_row_thresh": ..., "dense_col_thresh": ..., "aggressive": ...,
    "opt_lu": ...}``: the dense-row and dense-column threshold factors and
    the aggressive absorption flag (1.0 on, 0.0 off) as set by
    ``ccolamd_set_defaults``, each a ``numpy.float64``, and the factorization
    the ordering is tuned for, ``"lu"`` or ``"cholesky"``.

Examples
--------
>>> from tarnix.ccolamd import ccolamd_get_defaults
>>> ccolamd_get_defaults()
{'dense_row_thresh': np.float64(10.0), 'dense_col_thresh': np.float64(10.0), 'aggressive': np.float64(1.0), 'opt_lu': 'cholesky'})";

inline constexpr const char* private_ccolamd = R"(Call CCOLAMD on arrays in one index width (int32 or int64).

Parameters
----------
M, N : int
    Number of rows and columns.
Ap : numpy.ndarray
    Column pointers, N + 1 entries; its dtype selects the 32-bit or the
    64-bit library routine.
Ai : numpy.ndarray
    Row indices, at least Ap[N] entries. Copied into a work array of the
    length ``ccolamd_recommended`` asks for; not modified.
perm : numpy.ndarray
    Output, N + 1 entries: the permutation in its first N entries.
knobs : numpy.ndarray
    float64, at least 20 entries (CCOLAMD_KNOBS).
stats : numpy.ndarray
    Output, at least 20 entries (CCOLAMD_STATS).
constraints : numpy.ndarray, optional
    N constraint sets, each in 0..N-1, or None.)";

inline constexpr const char* private_csymamd = R"(Call CSYMAMD on arrays in one index width (int32 or int64).

Parameters
----------
N : int
    Number of rows and columns.
Ap : numpy.ndarray
    Column pointers, N + 1 entries; its dtype selects the 32-bit or the
    64-bit library routine.
Ai : numpy.ndarray
    Row indices, at least Ap[N] entries; read in place. Only the lower
    triangular part is used.
perm : numpy.ndarray
    Output, N + 1 entries: the permutation in its first N entries.
knobs : numpy.ndarray
    float64, at least 20 entries (CCOLAMD_KNOBS).
stats : numpy.ndarray
    Output, at least 20 entries (CCOLAMD_STATS).
constraints : numpy.ndarray, optional
    N constraint sets, each in 0..N-1, or None.)";

inline constexpr const char* base = R"(Shared implementation of `ccolamd` and `csymamd`.)";

}  // namespace ccolamd_docs
