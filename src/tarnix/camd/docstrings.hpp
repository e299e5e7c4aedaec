// Docstrings of tarnix.camd.
#pragma once

namespace camd_docs {

inline constexpr const char* module = R"(Constrained approximate minimum degree ordering (CAMD)
======================================================

Fill-reducing symmetric orderings of sparse matrices computed by the
SuiteSparse CAMD library [1]_ [2]_, optionally under ordering constraints:
every node may be assigned a constraint set, and the nodes of set 0 are
ordered first, then those of set 1, and so on.

Functions
---------
camd(A, constraints=None, ...)
    Symmetric permutation ``p`` of a square matrix such that the Cholesky
    factor of ``A[p][:, p]`` is sparse (the pattern of ``A + A.T`` is
    ordered when `A` is not symmetric).
camd_default_control()
    The library's default parameters.

Exceptions
----------
CAMDError
    Base class of the errors below.
CAMDInvalidMatrixError
    The library rejected the matrix (also a ``ValueError``).
CAMDMemoryError
    The library ran out of memory (also a ``MemoryError``).

Records
-------
CAMDInfo
    Statistics of a call, returned with ``return_info=True``.

References
----------
.. [1] P. R. Amestoy, T. A. Davis and I. S. Duff, "An approximate minimum
   degree ordering algorithm", SIAM Journal on Matrix Analysis and
   Applications 17(4), 1996, pp. 886-905.
.. [2] P. R. Amestoy, T. A. Davis and I. S. Duff, "Algorithm 837: AMD, an
   approximate minimum degree ordering algorithm", ACM Transactions on
   Mathematical Software 30(3), 2004, pp. 381-388.
)";

inline constexpr const char* camd = R"(Constrained approximate minimum degree ordering.

Compute a symmetric permutation ``p`` of the square matrix `A` such that
the Cholesky factor of ``A[p][:, p]`` has fewer nonzeros than that of `A`
[#camd_c]_. If the pattern of `A` is not symmetric, the pattern of ``A + A.T`` is
ordered. With `constraints`, the nodes are ordered set by set, so that
``constraints[p]`` is non-decreasing.

Parameters
----------
A : array_like or sparse matrix
    The N by N matrix to order; it must be square. Anything
    `tarnix.utils.validate_csc_input` accepts (a sparse matrix of another
    format is converted to CSC with a ``SparseEfficiencyWarning``).
constraints : array_like of int, optional
    The constraint set of every node: an array of N integers, each in
    ``0..N-1``. All nodes of set 0 are ordered first, then those of set 1,
    and so on. None (default) puts every node in one set.
dense_thresh : float, optional
    Dense-row threshold factor: a row/column of ``A + A.T`` with more than
    ``max(16, dense_thresh * sqrt(N))`` entries is considered dense and
    ordered last; with a negative value only a row/column adjacent to
    every other one is. Stored in
    single precision; None (default) keeps the library default (10.0, see
    `camd_default_control`).
aggressive : bool, optional
    Whether to use aggressive absorption (taken by truth value). None
    (default) keeps the library default (on).
return_info : bool, optional
    If true, also return the statistics of the call as a `CAMDInfo`. An
    empty matrix or one without stored entries is answered without calling
    the library and returns the bare permutation even then.

Returns
-------
p : numpy.ndarray
    The permutation, of N entries, with the integer dtype of the validated
    matrix's indices (int32 or int64).
info : CAMDInfo
    Only when `return_info` is true and the library was called.

Raises
------
ValueError
    If `A` is not square, `constraints` does not have N entries in
    ``0..N-1``, or `dense_thresh` is NaN. (A threshold beyond every
    row's length, infinity included, leaves every row sparse.)
TypeError
    If `constraints` cannot be converted to an integer array.
CAMDInvalidMatrixError
    If the library rejects the matrix.
CAMDMemoryError
    If the library runs out of memory.

See Also
--------
~tarnix.ccolamd.csymamd, ~tarnix.colamd.symamd

References
----------
.. [#camd_c] P. R. Amestoy, T. A. Davis and I. S. Duff, "Algorithm 837: AMD,
   an approximate minimum degree ordering algorithm", ACM Transactions on
   Mathematical Software 30(3), 2004, pp. 381-388; CAMD is its constrained
   variant in SuiteSparse.

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.camd import camd
>>> A = csc_array(np.array([[4., 1., 1., 1., 1.],
...                         [1., 4., 0., 0., 0.],
...                         [1., 0., 4., 0., 0.],
...                         [1., 0., 0., 4., 0.],
...                         [1., 0., 0., 0., 4.]]))

The hub node 0 is ordered last, so the factor has no fill:

>>> p, info = camd(A, return_info=True)
>>> int(p[-1]), info.Lnz
(0, 4)

Forcing node 0 first fills the factor completely:

>>> p, info = camd(A, constraints=[0, 1, 1, 1, 1], return_info=True)
>>> int(p[0]), info.Lnz
(0, 10))";

inline constexpr const char* info = R"(Statistics of a CAMD call (the library's Info array).

Attributes
----------
status : int
    0 ok, 1 ok but the input columns were jumbled (unsorted or with
    duplicates), -1 out of memory, -2 invalid matrix.
N : int
    Number of rows and columns of `A`.
nz : int
    Number of entries of `A`.
symmetry : float
    Pattern symmetry in [0, 1]: matched off-diagonal entries divided by all
    off-diagonal entries.
nzdiag : int
    Number of entries on the diagonal of `A`.
nz_A_plus_AT : int
    Number of off-diagonal entries of ``A + A.T``.
Ndense : int
    Number of dense rows/columns removed and ordered last.
memory : float
    Memory used by the library, in bytes.
Ncmpa : int
    The library's garbage-collection count (CAMD_NCMPA).
Lnz : int
    Nonzeros in the Cholesky factor L, diagonal excluded (an upper bound).
Ndiv : int
    Divisions for an LU or Cholesky factorization of the permuted matrix.
Nmultsubs_LDL : int
    Multiply-subtract pairs for an LDL' factorization.
Nmultsubs_LU : int
    Multiply-subtract pairs for an LU factorization without numerical
    pivoting.
dmax : int
    Largest number of nonzeros in any column of L, diagonal included.

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.camd import camd
>>> A = csc_array(np.array([[4., 1., 0., 1.], [1., 4., 1., 0.], [0., 1., 4., 1.], [1., 0., 1., 4.]]))
>>> p, info = camd(A, return_info=True)
>>> info.status, info.N, info.nz, info.symmetry, info.Lnz
(0, 4, 12, 1.0, 5)
>>> info.Lnz + info.N == int(np.count_nonzero(np.linalg.cholesky(A.toarray()[np.ix_(p, p)])))
True)";

inline constexpr const char* error = R"(Base class for CAMD-related errors.

Examples
--------
>>> from tarnix.camd import CAMDError, CAMDMemoryError
>>> issubclass(CAMDMemoryError, CAMDError)
True)";

inline constexpr const char* invalid_matrix_error = R"(Raised when the input matrix is invalid for CAMD.

Examples
--------
>>> from tarnix.camd import CAMDError, CAMDInvalidMatrixError
>>> issubclass(CAMDInvalidMatrixError, CAMDError), issubclass(CAMDInvalidMatrixError, ValueError)
(True, True))";

inline constexpr const char* memory_error = R"(Raised when CAMD runs out of memory.

Examples
--------
>>> from tarnix.camd import CAMDError, CAMDMemoryError
>>> issubclass(CAMDMemoryError, CAMDError), issubclass(CAMDMemoryError, MemoryError)
(True, True))";

inline constexpr const char* default_control = R"(Return the default parameters of CAMD.

Returns
-------
dict
    ``{"dense_thresh": ..., "aggressive": ...}``: the dense-row threshold
    factor (a float) and whether aggressive absorption is on (a bool), as
    set by ``camd_defaults``.

Examples
--------
>>> from tarnix.camd import camd_default_control
>>> camd_default_control()
{'dense_thresh': 10.0, 'aggressive': True})";

inline constexpr const char* private_camd_order = R"(Call CAMD on arrays in one index width (int32 or int64).

Parameters
----------
N : int
    Number of rows and columns.
Ap : numpy.ndarray or None
    Column pointers, N + 1 entries; its dtype selects the 32-bit or the
    64-bit library routine.
Ai : numpy.ndarray or None
    Row indices, at least Ap[N] entries; read in place.
p : numpy.ndarray or None
    Output, at least N entries: the permutation.
ctrl : numpy.ndarray or None
    float64, at least 5 entries (CAMD_CONTROL); None for the defaults.
info : numpy.ndarray or None
    Output, float64, at least 20 entries (CAMD_INFO).
constraints : numpy.ndarray or None
    N constraint sets, each in 0..N-1.

A None `Ap`, `Ai` or `p` is passed as a null pointer, which the library
rejects as an invalid matrix.)";

}  // namespace camd_docs
