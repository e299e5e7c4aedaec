// Docstrings of tarnix.spqr. The docstrings of SPQRFactor.solve, spqr_solve,
// SPQRFactor.qmult and spqr_qmult are assembled at import from the templates
// below.
#pragma once

namespace spqr_docs {

inline constexpr const char* module = R"(Sparse QR factorization with SuiteSparseQR
==========================================

Multifrontal sparse QR factorization ``Q R = A E`` of real and complex sparse
matrices by the SuiteSparseQR library [1]_, with least-squares and
minimum-norm solves and products with ``Q``.

Function interface
------------------
``spqr(A, *, mode="full", order=None, tol=None)``
    The factors ``Q``, ``R`` and ``E`` (or ``Q`` in Householder form).
``spqr_solve(A, b, *, transpose=False, min2norm=True, rhs_batch_size=100)``
    Least-squares solution of ``A x = b`` for tall ``A``, minimum-norm
    solution for wide ``A``.
``spqr_factor(A, *, use_singletons=False, order=None, tol=None)``
    A ready (numeric) `SPQRFactor`.
``spqr_qmult(house, X, method="QX")``
    Products with ``Q`` given in Householder form.

Object interface
----------------
``SPQRFactor(A, *, use_singletons=False, order=None, tol=None)``
    Symbolic analysis (and optionally numeric factorization) of ``A``, reused
    by ``factorize``, ``solve`` and ``qmult``; ``rank``, ``perm`` and
    ``info`` describe it.
SPQRInfo
    Statistics of the last library call.
SPQRHouseholder
    ``(H, tau, perm)``, ``Q`` in Householder form.

Warnings and exceptions
-----------------------
Warnings: SPQRWarning, SPQRRankDeficiencyWarning. Exceptions:
SPQRError, SPQRNotInstalledError, SPQROutOfMemoryError (also a
``MemoryError``), SPQROverflowError, SPQRInvalidInputError,
SPQRGpuProblemError.

Fill-reducing orderings (``order``): "default", "fixed", "natural",
"colamd", "cholmod", "amd", "metis", "best", "bestamd".

For complex matrices every transpose is the conjugate transpose.

References
----------
.. [1] T. A. Davis, "Algorithm 915, SuiteSparseQR: Multifrontal multithreaded
   rank-revealing sparse QR factorization", ACM Transactions on Mathematical
   Software 38(1), 2011, pp. 8:1-8:22.
)";

inline constexpr const char* solve_template = R"(Solve ``A x = b`` in the least-squares sense, or ``A^H x = b``.

Without `transpose`, the result is the basic least-squares solution
``x = E (R \ (Q^H b))``; for a rank-deficient ``A`` it is one of the
minimizers of ``||A x - b||``, with zeros for the dead columns. With
`transpose`, the result is ``x = Q (R^H \ (E^T b))``, which solves
``A^H x = b`` (``A^T x = b`` for real ``A``; for complex ``A`` the library's
transpose is the conjugate transpose).

Parameters
----------
{A_doc}b : numpy.ndarray or sparse matrix
    Right-hand side, 1-D of length ``m`` or 2-D with ``m`` rows (``n`` rows
    with `transpose`), where ``A`` is ``m`` by ``n``. Its dtype must cast
    safely to the factor's (int, bool and float32 right-hand sides are
    accepted for a float64 factor; complex ones are not).
transpose : bool, optional
    Solve ``A^H x = b`` instead of ``A x = b``.
{min2norm}rhs_batch_size : int, optional
    A sparse `b` is solved in batches of this many columns, each densified
    into one reused buffer; memory for densified data stays below
    ``rows * rhs_batch_size`` values plus one dense solution batch.
    Columns of `b` without stored entries are not solved: their solutions
    are zero. Default 100.

Returns
-------
x : numpy.ndarray or scipy.sparse.csc_array
    The solution, of length (rows) ``n`` (``m`` with `transpose`), with as
    many columns as `b`: 1-D for 1-D `b`, a ``csc_array`` for sparse `b`
    (zeros dropped; index arrays in the factor's index width).

Warns
-----
SPQRRankDeficiencyWarning
    When the estimated rank of ``A`` is below ``min(m, n)``.

Raises
------
ValueError
    If `b` is not an array or sparse matrix, not 1-D or 2-D, or has the
    wrong number of rows.
TypeError
    If `b` cannot be cast safely to the factor's dtype.
AssertionError
    From ``SPQRFactor.solve`` when the factor has no numeric factorization:
    ``SPQRFactor(A)`` only analyses ``A``. Call ``factorize(A)`` first, or
    make the factor with ``use_singletons=True`` or with ``spqr_factor``. The
    error carries no message.

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.spqr import spqr_factor, spqr_solve
>>> A = csc_array(np.array([[1., 0.], [1., 1.], [0., 2.]]))
>>> b = np.array([1., 2., 2.])
>>> x = spqr_factor(A).solve(b)
>>> np.allclose(x, np.linalg.lstsq(A.toarray(), b, rcond=None)[0])
True
>>> np.allclose(spqr_solve(A, b), x)
True
>>> W = csc_array(np.array([[1., 1., 0.], [0., 1., 1.]]))
>>> y = spqr_solve(W, np.array([1., 2.]))   # minimum-norm solution
>>> np.allclose(y, np.linalg.pinv(W.toarray()) @ [1., 2.])
True
)";

inline constexpr const char* A_doc = R"(A : array_like or sparse matrix
    The ``m`` by ``n`` matrix; anything `tarnix.utils.validate_csc_input`
    accepts. Its values are float64 or complex128 after conversion.
)";

inline constexpr const char* min2norm_doc = R"(min2norm : bool, optional
    For a wide ``A`` (``m < n``), return the minimum 2-norm solution of
    ``A x = b``, computed from the factorization of ``A^H`` (``transpose`` is
    then ignored). Default True.
)";

inline constexpr const char* qmult_template = R"(Multiply by ``Q`` or its (conjugate) transpose without forming ``Q``.

``Q`` is ``m`` by ``m``, where ``m`` is the number of rows of the factored
matrix. For complex data the transpose is the conjugate transpose.

Parameters
----------
{house_doc}X : numpy.ndarray or sparse matrix
    The operand: 1-D or 2-D. ``X.shape[0]`` must be ``m`` for "QX" and
    "QTX", ``X.shape[1]`` for "XQ" and "XQT".
method : {{"QX", "QTX", "XQ", "XQT"}}, optional
    The product: ``Q @ X`` ("QX", default), ``Q^H @ X`` ("QTX"),
    ``X @ Q`` ("XQ") or ``X @ Q^H`` ("XQT").

Returns
-------
Y : numpy.ndarray or scipy.sparse.csc_array
    The product; a ``csc_array`` for sparse `X`, an array otherwise (1-D for
    1-D `X` with "QX" and "QTX").

Raises
------
ValueError
    If `X` is not an array or sparse matrix, not 1-D or 2-D, of the wrong
    dtype or shape, or `method` is not one of the four names.
TypeError
    If `method` is not a string.
AssertionError
    From ``SPQRFactor.qmult`` when the factor has no numeric factorization:
    ``SPQRFactor(A)`` only analyses ``A``. Call ``factorize(A)`` first, or
    make the factor with ``use_singletons=True`` or with ``spqr_factor``. The
    error carries no message.

See Also
--------
spqr{see_also}

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.spqr import spqr, spqr_factor, spqr_qmult
>>> A = csc_array(np.array([[1., 0.], [1., 1.], [0., 2.]]))
>>> f = spqr_factor(A)
>>> Q = f.qmult(np.eye(3))
>>> np.allclose(Q.T @ Q, np.eye(3))
True
>>> np.allclose(f.qmult(f.qmult(np.ones(3), "QTX")), np.ones(3))
True
>>> house, R, E = spqr(A, mode="householder")
>>> np.allclose(spqr_qmult(house, np.eye(3)).T @ spqr_qmult(house, np.eye(3)), np.eye(3))
True
)";

inline constexpr const char* qmult_house_doc = R"(house : SPQRHouseholder or tuple
    ``(H, tau, v)``, ``Q`` in Householder form as returned by
    ``spqr(A, mode="householder")``: the Householder vectors ``H``
    (``m`` by ``k`` sparse), their coefficients ``tau`` (``k`` values of
    ``H``'s dtype) and the row permutation ``v`` (``m`` integers of ``H``'s
    index dtype).
)";

inline constexpr const char* info = R"(SPQRInfo(nnzR_upper_bound=None, nnzH_upper_bound=None, nf=None, rank_A_estimate=None, n1cols=None, n1rows=None, ordering=None, memory=None, flops_upper_bound=None, tol=None, norm_E_fro=None, analyze_time=None, factorize_time=None, solve_time=None, total_time=None, flops=None)
--

Statistics of a SuiteSparseQR analysis, factorization or solve.

A frozen record (it behaves as a frozen dataclass): every field defaults to
None, int fields hold int, float fields float and `ordering` a str.

Attributes
----------
nnzR_upper_bound : int
    Upper bound on the number of entries of R.
nnzH_upper_bound : int
    Upper bound on the number of entries of the Householder vectors H.
nf : int
    Number of frontal matrices.
rank_A_estimate : int
    Estimated rank of A.
n1cols : int
    Number of column singletons.
n1rows : int
    Number of singleton rows.
ordering : str
    The fill-reducing ordering actually used.
memory : int
    Peak memory use in bytes.
flops_upper_bound : int
    Upper bound on the flop count.
tol : float
    Tolerance used for rank detection.
norm_E_fro : float
    Frobenius norm of the dropped entries.
analyze_time, factorize_time, solve_time : float
    Times of the analysis, factorization and solve, in seconds.
total_time : float
    Their sum.
flops : int
    Flop count of the factorization.

Examples
--------
>>> from tarnix.spqr import SPQRInfo
>>> SPQRInfo(nf=3.9, tol=1).nf, SPQRInfo(tol=1).tol
(3, 1.0)
)";

inline constexpr const char* householder = R"(``Q`` of a sparse QR factorization in Householder form.

Attributes
----------
H : scipy.sparse.csc_array
    The Householder vectors, one per column.
tau : numpy.ndarray
    The Householder coefficients (float or complex), one per column of H.
perm : numpy.ndarray
    The row permutation of the Householder form (integers).

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.spqr import spqr, spqr_qmult
>>> A = csc_array(np.array([[1., 0.], [1., 1.], [0., 2.]]))
>>> house, R, E = spqr(A, mode="householder")
>>> H, tau, perm = house
>>> H.shape, tau.shape, perm.tolist()
((3, 2), (2,), [0, 1, 2])
>>> QR = spqr_qmult(house, R.toarray())
>>> np.allclose(QR, A.toarray()[:, E])
True
)";

inline constexpr const char* factor = R"(SPQRFactor(A, *, use_singletons=False, order=None, tol=None)
--

A SuiteSparseQR factorization ``Q R = A E`` of a sparse matrix, for repeated
solves and products with ``Q``.

Construction performs the symbolic analysis of `A`; with `use_singletons`
it also performs the numeric factorization (exploiting singletons).
`factorize` computes, or recomputes, the numeric factorization for a matrix
with the analysed pattern.

Parameters
----------
A : array_like or sparse matrix
    The ``m`` by ``n`` matrix (float64 or complex128 values, int32 or int64
    indices after `tarnix.utils.validate_csc_input`).
use_singletons : bool, optional
    Also factorize now, exploiting singletons. Such a factor cannot be
    re-factorized if singletons were found.
order : str, optional
    Fill-reducing ordering: "default" (None), "fixed", "natural", "colamd",
    "cholmod", "amd", "metis", "best" or "bestamd".
tol : float, optional
    Rank-detection tolerance; None uses the library's default. Columns with
    2-norm below it are treated as dependent.

Attributes
----------
shape : tuple of int
is_numeric : bool
rank : int or None
    The estimated rank of ``A`` once factorized.
perm : numpy.ndarray
    The column permutation ``E`` (singletons and fill-reducing ordering).
info : SPQRInfo
    Statistics of the last library call made through the factor.
itype, dtype : numpy.dtype
    Index and value dtypes of the analysed matrix.

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.spqr import SPQRFactor
>>> A = csc_array(np.array([[2., 0., 1.], [0., 3., 0.], [1., 0., 4.], [0., 1., 0.], [1., 1., 1.]]))
>>> f = SPQRFactor(A)
>>> f.is_numeric, f.rank
(False, None)
>>> f.factorize(A).rank
3
>>> print(f)
<SPQRFactor numeric factor of dtype 'float64' with 'int32' indices
    A: shape=(5, 3), rank=3>
)";

inline constexpr const char* factorize = R"(Compute the numeric factorization of `A` with the analysed pattern.

`A` must have the shape, index width, value type and sparsity pattern the
factor was analysed with; its values may differ. Returns the factor itself.

Parameters
----------
A : array_like or sparse matrix
tol : float, optional
    New rank-detection tolerance; None keeps the current one. Changing it on
    a numeric factor warns (``UserWarning``).

Returns
-------
SPQRFactor
    The factor itself, now numeric.

Raises
------
ValueError
    If `A` does not match the analysed matrix (shape, index width, value
    type or sparsity pattern).

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.spqr import SPQRFactor
>>> A = csc_array(np.array([[1., 0.], [1., 1.], [0., 2.]]))
>>> f = SPQRFactor(A)
>>> f.factorize(A) is f, f.rank
(True, 2)
>>> B = A.copy()
>>> B.data *= 3.0                  # new values, the same pattern
>>> x = f.factorize(B).solve(np.ones(3))
>>> np.allclose(x, np.linalg.lstsq(B.toarray(), np.ones(3), rcond=None)[0])
True)";

inline constexpr const char* check_input_matrix = R"(Raise ValueError unless `A` (validated) and its index dtype `itype` match the analysed matrix.)";

inline constexpr const char* copy = R"(Return an independent deep copy of the factor (its own common and factorization).

Re-factorizing either factor afterwards leaves the other as it was.

Returns
-------
SPQRFactor

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.spqr import spqr_factor
>>> A = csc_array(np.array([[1., 0.], [1., 1.], [0., 2.]]))
>>> f = spqr_factor(A)
>>> g = f.copy()
>>> x = g.solve(np.ones(3))
>>> _ = f.factorize(2 * A)
>>> np.allclose(g.solve(np.ones(3)), x), np.allclose(f.solve(np.ones(3)), x / 2)
(True, True))";

inline constexpr const char* solve_dense = R"(Solve with a 2-D column-major writable float64 or complex128 array `b` (no copy).)";

inline constexpr const char* qmult_dense = R"(Multiply by Q: `method` is the product code (0 QTX, 1 QX, 2 XQT, 3 XQ), `X` a 2-D column-major writable float64 or complex128 array.)";

inline constexpr const char* spqr = R"(Sparse QR factorization ``Q R = A E`` of a sparse matrix.

Parameters
----------
A : array_like or sparse matrix
    The ``m`` by ``n`` matrix; anything `tarnix.utils.validate_csc_input`
    accepts.
mode : {"full", "economic", "r", "householder"}, optional
    "full" (default): ``Q`` is ``m`` by ``m``, ``R`` is ``m`` by ``n``.
    "economic": ``Q`` is ``m`` by ``e`` and ``R`` ``e`` by ``n`` with
    ``e = max(n, rank)`` (at most ``m``). "r": only ``R`` and ``E``.
    "householder": ``Q`` in Householder form.
order : str, optional
    Fill-reducing ordering (see `SPQRFactor`); None is "default".
tol : float, optional
    Rank-detection tolerance; None uses the library's default.

Returns
-------
Q, R, E
    For "full" and "economic": ``Q`` and ``R`` as ``csc_array`` and the
    column permutation ``E`` (int32 or int64, the matrix's index width) or
    None when the library reports no permutation.
R, E
    For "r".
house, R, E
    For "householder": ``house`` is an `SPQRHouseholder` ``(H, tau, perm)``
    for `spqr_qmult`.

Examples
--------
>>> import numpy as np
>>> from scipy.sparse import csc_array
>>> from tarnix.spqr import spqr
>>> A = csc_array(np.array([[1., 0., 2.], [0., 3., 0.], [4., 0., 5.], [0., 6., 0.], [7., 0., 8.]]))
>>> Q, R, E = spqr(A)
>>> Q.shape, R.shape, E.shape
((5, 5), (5, 3), (3,))
>>> np.allclose((Q @ R).toarray(), A.toarray()[:, E])
True
>>> R2, E2 = spqr(A, mode="r")
>>> np.allclose(abs(R2.toarray()), abs(R.toarray()))
True
)";

inline constexpr const char* spqr_factor = R"(Return a numeric `SPQRFactor` of `A`.

Parameters are those of `SPQRFactor`; without `use_singletons` the factor is
analysed and then factorized by ``factorize(A)``.

Examples
--------
>>> import numpy as np
>>> from tarnix.spqr import spqr_factor
>>> f = spqr_factor(np.array([[1., 2.], [3., 4.], [5., 6.]]))
>>> f.is_numeric, f.rank
(True, 2)
)";

// The warning and exception classes: the summary line, then an example.
inline constexpr const char* warning = R"(Base class for SPQR warnings.

Examples
--------
>>> from tarnix.spqr import SPQRWarning, SPQRRankDeficiencyWarning
>>> issubclass(SPQRRankDeficiencyWarning, SPQRWarning), issubclass(SPQRWarning, Warning)
(True, True))";

inline constexpr const char* rank_deficiency_warning = R"(Raised when SPQR detects a rank-deficient matrix.

Examples
--------
>>> import warnings
>>> import numpy as np
>>> from tarnix.spqr import SPQRRankDeficiencyWarning, spqr_solve
>>> with warnings.catch_warnings(record=True) as caught:
...     warnings.simplefilter("always")
...     x = spqr_solve(np.array([[1., 1.], [1., 1.]]), np.ones(2))
>>> caught[0].category is SPQRRankDeficiencyWarning
True
>>> print(caught[0].message)
Matrix is rank deficient: rank=1, A.shape=(2, 2). The solution may not be unique.)";

inline constexpr const char* error = R"(Base class for SPQR exceptions.

Examples
--------
>>> from tarnix.spqr import SPQRError, SPQROutOfMemoryError
>>> issubclass(SPQROutOfMemoryError, SPQRError)
True)";

inline constexpr const char* not_installed_error = R"(Raised when the SPQR library is not installed.

Examples
--------
>>> from tarnix.spqr import SPQRError, SPQRNotInstalledError
>>> issubclass(SPQRNotInstalledError, SPQRError)
True)";

inline constexpr const char* out_of_memory_error = R"(Raised when SPQR runs out of memory.

Examples
--------
>>> from tarnix.spqr import SPQRError, SPQROutOfMemoryError
>>> issubclass(SPQROutOfMemoryError, SPQRError), issubclass(SPQROutOfMemoryError, MemoryError)
(True, True))";

inline constexpr const char* overflow_error = R"(Raised when SPQR encounters an integer overflow.

Examples
--------
>>> from tarnix.spqr import SPQRError, SPQROverflowError
>>> issubclass(SPQROverflowError, SPQRError), issubclass(SPQROverflowError, OverflowError)
(True, False))";

inline constexpr const char* invalid_input_error = R"(Raised when SPQR receives invalid input.

Examples
--------
>>> from tarnix.spqr import SPQRError, SPQRInvalidInputError
>>> issubclass(SPQRInvalidInputError, SPQRError), issubclass(SPQRInvalidInputError, ValueError)
(True, False))";

inline constexpr const char* gpu_problem_error = R"(Raised when SPQR encounters a problem with CUDA.

Examples
--------
>>> from tarnix.spqr import SPQRError, SPQRGpuProblemError
>>> issubclass(SPQRGpuProblemError, SPQRError)
True)";

inline constexpr const char* qmult_private = R"(Multiply by Q in Householder form (H, tau, v), with tau of shape (1, k) and `method` the product code.)";

inline constexpr const char* solve_triangular_private = R"(X with T X = B, or T^H X = B when `adjoint` is true.

T is an upper triangular csc_array or csc_matrix (float64 or complex128,
int32 or int64 indices) with its row indices sorted in each column and the
diagonal, nonzero, stored last; B a 1-D or 2-D array with T's order as its
number of rows, of a dtype that casts safely to T's. Returns a new array of
T's dtype and B's shape; T and B are left as they are.)";

}  // namespace spqr_docs
