"""Reliable numerical rank of sparse matrices, with error bounds.

Four functions answer the questions that a rank-deficient sparse A raises, each with a record
of how far its answer can be trusted (`SPQRRankStats`):

- `spqr_basic(A, b)`: a basic solution of min ||A x - b||, with at most rank-many nonzeros;
- `spqr_null(A)`: an orthonormal basis N of the numerical null space of A;
- `spqr_pinv(A, b)`: the pseudoinverse (minimum-norm least-squares) solution;
- `spqr_cod(A, b)`: the same through a complete orthogonal decomposition.

All of them rest on SuiteSparseQR's rank-revealing QR, A E = Q R, which treats as zero every
column whose remaining norm falls to the tolerance tol. The rank r it finds is only a claim;
the functions check it with the mathematics of Foster and Davis (ACM TOMS 39(4), 2013):

- sigma_r(A) is estimated from the first r rows M = [R11 R12] of R (the dropped entries
  aside, A and M share sigma_r): block inverse iteration with the pseudoinverse of M, applied
  through triangular solves with R11 and a small dense correction for R12 (or with R11^-1
  alone when R12 has too many columns, sigma_r(M) >= sigma_r(R11)). The Ritz value and its
  residual give an estimate and an error bound; Weyl's inequality with the 2-norm of the
  dropped entries turns them into bounds on sigma_r(A).
- sigma_(r+1)(A) <= ||A N||_2 for any orthonormal N with n - r columns (the min-max
  characterisation), and ||A N||_2 is estimated by a block power method with an error bound.
  `spqr_basic` uses the left null space instead: sigma_(r+1)(A) <= ||A^H NT||_2 for NT = Q[:, r:].

The rank is certified (flag 0) when the lower bound on sigma_r is above tol and the upper bound
on sigma_(r+1) is at most tol. The lower bounds, and the upper bound on sigma_(r+1), hold when
the iterations have converged to the extreme singular values, which their residual tests make
likely but cannot prove (hence "est" in their names); the upper bound on sigma_r is strict.
SuiteSparseQR does not pivot columns, so its rank can exceed the numerical rank when the
columns it keeps are ill-conditioned; the flag then says so (1), and `spqr_cod`, whose second
factorization drops the extra rows of R, usually finds the right rank.

Default tolerance: 20 * (m + n) * eps * (largest 2-norm of a column of A), the tolerance
SuiteSparseQR itself uses, computed here from A's values so that every factorization of a call
(of A and of A^H) drops columns at the same level.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy import sparse

from tarnix.spqr import SPQRHouseholder, _solve_triangular, spqr, spqr_qmult
from tarnix.utils import validate_csc_input

__all__ = ["SPQRNullBasis", "SPQRRankStats", "spqr_basic", "spqr_cod", "spqr_null", "spqr_pinv"]

_Sparse = sparse.sparray | sparse.spmatrix
_Array = NDArray[Any]

# Block size and iteration budget of the estimators. A block a little wider than one vector
# makes both iterations converge at the rate of the gap to the fourth value, not the second.
_BLOCK = 4
_MAX_ITERATIONS = 30
# Relative residual at which a Ritz value is taken as converged: the bounds it gives are then
# within 1% of one another.
_CONVERGED = 1e-2
# Up to this many dropped columns their entries are read off Q^H A E (a product with Q per
# column) and the 2-norm of the dropped entries is computed exactly; beyond, each dropped column
# counts with SuiteSparseQR's own bound on it, min(tol, its norm in A), in a Frobenius norm.
_EXACT_DROPPED_NORM = 200
# Iteration budget of the estimate of ||A||_2, which needs no more than a few digits.
_NORM_ITERATIONS = 8
# sigma_r of [R11 R12] is estimated through K = R11^-1 R12, held dense, while K has at most so
# many columns and entries; beyond, through R11 alone, whose sigma_r can be smaller.
_COUPLING_COLUMNS = 2000
_COUPLING_ENTRIES = 4_000_000


@dataclass(frozen=True)
class SPQRRankStats:
    """How far the answer of a rank function can be trusted.

    Attributes
    ----------
    rank : int
        The numerical rank r that the answer uses.
    tol : float
        The tolerance: singular values at or below it count as zero.
    flag : int
        0: the rank is certified: the lower bound on sigma_r exceeds tol and the upper bound on
        sigma_(r+1) is at most tol. 1: the null space (or left null space) is good to tol but
        the lower bound on sigma_r is not above tol, so r may be too large. 2: the upper bound
        on sigma_(r+1) exceeds tol, so r may be too small and N is not a null space to tol.
        3: an estimate is unreliable: an iteration stopped before its Ritz value converged.
    est_svals : tuple of float
        Estimates of the singular values numbered `sval_numbers_for_bounds`.
    est_sval_upper_bounds, est_sval_lower_bounds : tuple of float
        Estimated upper and lower bounds of the same singular values.
    sval_numbers_for_bounds : tuple of int
        Which singular values (1-based, largest first) the three tuples above are about:
        r and, when r < min(m, n), r + 1.
    est_norm_A_times_N, est_err_bound_norm_A_times_N : float or None
        Estimate of ||A N||_2 for the orthonormal null-space basis N and the bound on its
        error; None when the function forms no such basis (`spqr_basic`).
    est_norm_A_transpose_times_NT, est_err_bound_norm_A_transpose_times_NT : float or None
        The same for ||A^H NT||_2, NT the left null-space basis Q[:, r:] (`spqr_basic` only).
    est_norm_A : float
        Estimate of ||A||_2 by a few steps of the power method.
    norm_dropped : float
        Upper bound on the 2-norm of the entries the factorization treated as zero.
    time, time_qr : float
        Seconds spent in the whole call and in its QR factorizations.
    """

    rank: int
    tol: float
    flag: int
    est_svals: tuple[float, ...]
    est_sval_upper_bounds: tuple[float, ...]
    est_sval_lower_bounds: tuple[float, ...]
    sval_numbers_for_bounds: tuple[int, ...]
    est_norm_A_times_N: float | None
    est_err_bound_norm_A_times_N: float | None
    est_norm_A_transpose_times_NT: float | None
    est_err_bound_norm_A_transpose_times_NT: float | None
    est_norm_A: float
    norm_dropped: float
    time: float
    time_qr: float


# ---------------------------------------------------------------------------------------------
# Triangular solves. They stay behind these two functions so that native solves with the
# factor's own R can replace SciPy's without touching the estimators.


@dataclass(frozen=True)
class _Triangle:
    """An r-by-r upper triangular matrix T in CSC form, its row indices sorted in each column and
    its diagonal stored last: the form the native solves read, for T X = B and T^H X = B alike."""

    upper: sparse.csc_array

    @classmethod
    def of(cls, T: sparse.csc_array) -> _Triangle:
        return cls(T if T.has_sorted_indices else T.sorted_indices())

    @property
    def order(self) -> int:
        return int(self.upper.shape[0])


def _solve_upper(T: _Triangle, B: _Array) -> _Array:
    """X with T X = B."""
    return _solve_triangular(T.upper, B)


def _solve_upper_h(T: _Triangle, B: _Array) -> _Array:
    """X with T^H X = B."""
    return _solve_triangular(T.upper, B, adjoint=True)


# ---------------------------------------------------------------------------------------------
# Products with Q in Householder form, and the factorization with what is read off it.


def _qmult(house: SPQRHouseholder, X: _Array, method: Literal["QX", "QTX"]) -> _Array:
    # A Q of order 0 has nothing for the library to apply.
    if house.H.shape[0] == 0:
        return np.asarray(X).copy()
    return np.asarray(spqr_qmult(house, X, method))


@dataclass(frozen=True)
class _Factor:
    """A E = Q R with SuiteSparseQR's rank detection, split at the rank r it found.

    `live` and `dead` are positions in E of the columns kept and treated as zero; R11 is R's
    leading triangle on the live columns, R_top its first r rows (in E's order). The dropped
    entries (rows of Q^H A E from a dead column's pivot row down) have 2-norm at most
    `norm_dropped`.
    """

    house: SPQRHouseholder
    E: _Array
    live: _Array
    dead: _Array
    R11: _Triangle
    R_top: sparse.csc_array
    norm_dropped: float
    norm_dropped_fro: float
    seconds: float

    @property
    def rank(self) -> int:
        return int(self.live.size)

    @property
    def R12(self) -> sparse.csc_array:
        return self.R_top[:, self.dead].tocsc()


def _factor(A: sparse.csc_array, tol: float) -> _Factor:
    start = time.perf_counter()
    house, R, E = spqr(A, mode="householder", tol=tol)
    n = A.shape[1]
    E = np.arange(n) if E is None else np.asarray(E, dtype=np.int64)
    R = sparse.csc_array(R)
    R.eliminate_zeros()
    R.sort_indices()
    # R is a staircase: a live column's last entry is its pivot, one row below every earlier
    # column's; a dead column stops above the rows reached so far.
    last = np.full(n, -1, dtype=np.int64)
    filled = np.diff(R.indptr) > 0
    last[filled] = R.indices[R.indptr[1:][filled] - 1]
    reached = np.maximum.accumulate(np.concatenate(([-1], last[:-1]))) if n else last
    live_mask = last > reached
    live, dead = np.flatnonzero(live_mask), np.flatnonzero(~live_mask)
    r = live.size
    two, fro = _dropped_norms(A, house, E, dead, reached[dead] + 1, tol)
    top = R[:r, :].tocsc()
    return _Factor(house, E, live, dead, _Triangle.of(top[:, live].tocsc()), top, two, fro,
                   time.perf_counter() - start)


def _dropped_norms(A: sparse.csc_array, house: SPQRHouseholder, E: _Array, dead: _Array,
                   first_row: _Array, tol: float) -> tuple[float, float]:
    """Upper bounds on the 2-norm and the Frobenius norm of the entries of Q^H A E that the
    factorization dropped (exact when few columns were dropped)."""
    m = A.shape[0]
    keep = first_row < m
    dead, first_row = dead[keep], first_row[keep]
    if dead.size == 0:
        return 0.0, 0.0
    if dead.size > _EXACT_DROPPED_NORM:
        # SuiteSparseQR drops a column only when what remains of it has norm at most tol.
        col_sq = np.asarray(abs(A[:, E[dead]]).power(2).sum(axis=0)).ravel()
        bound = math.sqrt(float(np.minimum(col_sq, tol * tol).sum()))
        return bound, bound
    # Read straight from Q^H A E rather than as A E - Q R, which would cancel.
    Y = sparse.coo_array(spqr_qmult(house, A[:, E[dead]].tocsc(), "QTX"))
    below = Y.row >= first_row[Y.col]
    data = Y.data[below]
    fro = float(np.linalg.norm(data))
    if fro == 0.0:
        return fro, fro
    D = sparse.csc_array((data, (Y.row[below], Y.col[below])), shape=Y.shape)
    gram = (D.conj().T @ D).toarray()
    two = math.sqrt(max(float(np.linalg.eigvalsh(gram)[-1]), 0.0))
    return min(two, fro), fro


# ---------------------------------------------------------------------------------------------
# Estimators.


@dataclass(frozen=True)
class _Ritz:
    """The largest Ritz value s of an operator, the residual bound e, and their vectors."""

    s: float
    e: float
    left: _Array
    converged: bool


def _start_block(rows: int, dtype: np.dtype[Any]) -> _Array:
    # A fixed seed: the same input gives the same answer on every run.
    rng = np.random.default_rng(rows)
    k = min(_BLOCK, rows)
    X = rng.standard_normal((rows, k))
    if np.issubdtype(dtype, np.complexfloating):
        X = X + 1j * rng.standard_normal((rows, k))
    return np.linalg.qr(X)[0]


def _largest_ritz(apply: Any, apply_h: Any, cols: int, dtype: np.dtype[Any], negligible: float = 0.0,
                  iterations: int = _MAX_ITERATIONS) -> _Ritz:
    """Block power method for the largest singular value of an operator B with `cols` columns.

    apply(V) = B V and apply_h(U) = B^H U. After each step B v = s u holds exactly for the
    leading Ritz pair and e = ||B^H u - s v||; some singular value of B then lies in [s - e, s + e],
    and s is never above sigma_1(B) since V is orthonormal. Below `negligible` (the rounding
    level of the products) the iteration cannot converge and need not.
    """
    if cols == 0:
        return _Ritz(0.0, 0.0, np.zeros(0, dtype), True)
    V = _start_block(cols, dtype)
    for _ in range(iterations):
        Y = apply(V)
        if Y.shape[0] == 0:
            return _Ritz(0.0, 0.0, np.zeros(0, dtype), True)
        U, s, X = _ritz_pairs(Y)
        if s[0] == 0.0:
            return _Ritz(0.0, 0.0, U[:, 0], True)
        Z = apply_h(U)
        e = float(np.linalg.norm(Z[:, 0] - s[0] * (V @ X[:, 0])))
        if e <= _CONVERGED * s[0] or s[0] + e <= negligible:
            return _Ritz(float(s[0]), e, U[:, 0], True)
        V = np.linalg.qr(Z)[0]
    return _Ritz(float(s[0]), e, U[:, 0], False)


def _ritz_pairs(Y: _Array) -> tuple[_Array, _Array, _Array]:
    """Singular values s (descending) of a tall, narrow Y, right vectors X and left vectors
    U = Y X / s, through the small Gram matrix: a tall SVD costs ten times more, and only the
    leading pair, which the Gram matrix gives to full accuracy, needs to be exact."""
    w, X = np.linalg.eigh(Y.conj().T @ Y)
    w, X = w[::-1], X[:, ::-1]
    s = np.sqrt(np.maximum(w, 0.0))
    scale = np.where(s > s[0] * 1e-8, s, 1.0) if s[0] > 0 else np.ones_like(s)
    return (Y @ X) / scale, s, X


@dataclass(frozen=True)
class _SigmaR:
    """Estimate and bounds of sigma_r(A) from a factor's triangle."""

    est: float
    lower: float
    upper: float
    converged: bool


def _pseudoinverse_of_top(T: _Triangle, T12: sparse.csc_array) -> tuple[Any, Any] | None:
    """M^+ and its adjoint for M = T [I K] (K = T^-1 T12, d columns), or None when K is too big.

    M^+ = [I; K^H] (I + K K^H)^-1 T^-1, and (I + K K^H)^-1 = I - K (I + K^H K)^-1 K^H needs
    only the eigenvectors X and eigenvalues w of the d-by-d K^H K. (A Cholesky factor of
    I + K^H K fails when T is nearly singular and K huge; the eigenvalues stay >= 0 once clipped.)
    """
    r, d = T.order, T12.shape[1]
    if d == 0 or d > _COUPLING_COLUMNS or r * d > _COUPLING_ENTRIES:
        return None
    K = _solve_upper(T, T12.toarray())
    w, X = np.linalg.eigh(K.conj().T @ K)
    KX = K @ X
    weights = 1.0 / (1.0 + np.maximum(w, 0.0))

    def shrink(Y: _Array) -> _Array:
        return np.asarray(Y - KX @ (weights[:, None] * (KX.conj().T @ Y)))

    def apply(V: _Array) -> _Array:
        Y = shrink(_solve_upper(T, V))
        return np.vstack([Y, K.conj().T @ Y])

    def apply_h(U: _Array) -> _Array:
        return _solve_upper_h(T, shrink(U[:r] + K @ U[r:]))

    return apply, apply_h


def _sigma_r(T: _Triangle, T12: sparse.csc_array | None, norm_dropped: float,
             dtype: np.dtype[Any]) -> _SigmaR:
    """sigma_r of A = Q [M; 0] P^H + dropped entries, M = [T T12], from the largest singular value
    of M^+ (or of T^-1 when M^+ would cost too much: sigma_r(M) >= sigma_r(T)).

    The lower bound is 1 / (s + e) less the dropped norm (Weyl). The upper bound is strict: the
    smaller of 1 / s and ||M^H y|| for the unit vector y that the iteration ends on, plus the
    dropped norm.
    """
    r = T.order
    if r == 0:
        return _SigmaR(math.inf, math.inf, math.inf, True)
    ops = None if T12 is None else _pseudoinverse_of_top(T, T12)
    if ops is None:
        ops = (lambda V: _solve_upper(T, V), lambda U: _solve_upper_h(T, U))
    ritz = _largest_ritz(ops[0], ops[1], r, dtype)
    y = ops[1](ritz.left.reshape((-1, 1)))[:, 0]
    y = y / np.linalg.norm(y)
    # ||T^H y|| = ||T^T conj(y)||, and T's transpose is a csr view of its arrays: no copy.
    along_y = float(np.linalg.norm(T.upper.T @ y.conj()))
    if T12 is not None and T12.shape[1]:
        along_y = math.hypot(along_y, float(np.linalg.norm(T12.conj().T @ y)))
    # 1 / s is a strict upper bound on sigma_r(M) too: s <= sigma_1(M^+) since V is orthonormal.
    best = min(1.0 / ritz.s, along_y)
    lower = max(1.0 / (ritz.s + ritz.e) - norm_dropped, 0.0)
    return _SigmaR(best, lower, best + norm_dropped, ritz.converged)


def _norm_A(A: sparse.csc_array) -> float:
    AH = A.conj().T.tocsr()
    ritz = _largest_ritz(lambda X: A @ X, lambda Y: AH @ Y, A.shape[1], A.dtype,
                         iterations=_NORM_ITERATIONS)
    return ritz.s


def _rounding_level(A: sparse.csc_array, norm_A: float) -> float:
    """Norms of products with A below this are rounding errors."""
    return 10.0 * float(np.finfo(np.float64).eps) * math.sqrt(max(A.shape)) * norm_A


def _null_norm(A: sparse.csc_array, house: SPQRHouseholder, r: int, negligible: float, *,
               transpose: bool = False, perm: _Array | None = None) -> _Ritz:
    """||A N||_2 for N = P Q[:, r:] (P the permutation `perm`, else none), or ||A^H N||_2 when
    `transpose` is true.

    N = Q[:, r:] of a factorization of A^H is a null-space basis of A, and of A a null-space
    basis of A^H; in a complete orthogonal decomposition P Q[:, r:] is.
    """
    B = A.conj().T.tocsr() if transpose else A
    BH = A if transpose else A.conj().T.tocsr()
    order = house.H.shape[0]

    def basis(X: _Array) -> _Array:
        V = _qmult(house, np.vstack([np.zeros((r, X.shape[1]), X.dtype), X]), "QX")
        if perm is None:
            return V
        out = np.empty_like(V)
        out[perm] = V
        return out

    def basis_h(Y: _Array) -> _Array:
        Z = BH @ Y
        return _qmult(house, Z if perm is None else Z[perm], "QTX")[r:]

    return _largest_ritz(lambda X: B @ basis(X), basis_h, order - r, A.dtype, negligible)


# ---------------------------------------------------------------------------------------------
# Arguments.


def _matrix(A: ArrayLike | _Sparse) -> sparse.csc_array:
    A = validate_csc_input(A)[0]
    return A if isinstance(A, sparse.csc_array) else sparse.csc_array(A)


def _tolerance(A: sparse.csc_array, tol: Any) -> float:
    if tol is None:
        m, n = A.shape
        if A.nnz == 0:
            return 0.0
        col_norms = np.sqrt(np.asarray(abs(A).power(2).sum(axis=0)).ravel())
        return 20.0 * (m + n) * float(np.finfo(np.float64).eps) * float(col_norms.max())
    value = float(tol)
    if not (math.isfinite(value) and value >= 0.0):
        raise ValueError(f"tol must be a finite number >= 0 or None, got {value!r}.")
    return value


def _rhs(A: sparse.csc_array, b: Any) -> tuple[_Array, bool]:
    """b as a 2-D array of A's value type, and whether the caller gave a vector."""
    if sparse.issparse(b):
        b = _dense(b)
    elif not isinstance(b, np.ndarray):
        raise ValueError("b must be an ndarray or sparse matrix.")
    if b.ndim not in (1, 2):
        raise ValueError("b must be a 1D or 2D array.")
    if b.shape[0] != A.shape[0]:
        raise ValueError(f"Right-hand side b must have compatible shape with A. Got b.shape={b.shape!r}, "
                         f"but A.shape={A.shape}.")
    if not np.can_cast(b.dtype, A.dtype):
        raise TypeError(f"Cannot safely cast b.dtype={b.dtype!r} to A.dtype={A.dtype!r}.")
    vector = b.ndim == 1
    return np.asarray(b.reshape((-1, 1)) if vector else b, dtype=A.dtype, order="F"), vector


def _dense(X: Any) -> _Array:
    """X as an ndarray, sparse operands densified."""
    toarray = getattr(X, "toarray", None) if sparse.issparse(X) else None
    return np.asarray(X if toarray is None else toarray())


def _adjoint(A: sparse.csc_array) -> sparse.csc_array:
    AH = sparse.csc_array(A.conj().T)
    AH.sort_indices()
    return AH


# ---------------------------------------------------------------------------------------------
# The null-space basis in Householder form.


class SPQRNullBasis:
    """An orthonormal basis N = Q[:, r:] held as the Householder form of Q, never formed.

    Q comes from the factorization A^H P = Q R of rank r, so N has n rows and n - r columns.
    `N @ X` computes Q [0; X] and `N.H @ Y` the trailing rows of Q^H Y, each at the cost of
    one product with Q. `N.T`, `N.conj()` and `N.H` are bases of the same kind; `toarray()` and
    `tocsc()` form the basis; `scipy.sparse.linalg.aslinearoperator(N)` wraps it.
    """

    # ndarray @ N calls N.__rmatmul__ instead of converting N.
    __array_ufunc__ = None
    ndim = 2

    def __init__(self, house: SPQRHouseholder, rank: int, dtype: np.dtype[Any], *,
                 conjugated: bool = False, transposed: bool = False) -> None:
        self._house = house
        self._rank = int(rank)
        self._order = int(house.H.shape[0])
        self._dtype = np.dtype(dtype)
        self._conjugated = conjugated
        self._transposed = transposed

    def _with(self, conjugated: bool, transposed: bool) -> SPQRNullBasis:
        return SPQRNullBasis(self._house, self._rank, self._dtype, conjugated=conjugated,
                             transposed=transposed)

    @property
    def shape(self) -> tuple[int, int]:
        rows, cols = self._order, self._order - self._rank
        return (cols, rows) if self._transposed else (rows, cols)

    @property
    def dtype(self) -> np.dtype[Any]:
        return self._dtype

    @property
    def T(self) -> SPQRNullBasis:
        return self._with(self._conjugated, not self._transposed)

    @property
    def H(self) -> SPQRNullBasis:
        return self._with(not self._conjugated, not self._transposed)

    def conj(self) -> SPQRNullBasis:
        return self._with(not self._conjugated, self._transposed)

    conjugate = conj

    def __repr__(self) -> str:
        op = {(False, False): "", (True, False): ".conj()", (False, True): ".T", (True, True): ".H"}
        return (f"<{self.shape[0]}x{self.shape[1]} SPQRNullBasis{op[self._conjugated, self._transposed]} "
                f"of dtype {self._dtype} in Householder form>")

    def _base(self, X: _Array) -> _Array:
        """N X, or N^H X when transposed."""
        if self._transposed:
            return _qmult(self._house, X, "QTX")[self._rank:]
        head = np.zeros((self._rank, X.shape[1]), X.dtype)
        return _qmult(self._house, np.vstack([head, X]), "QX")

    def _apply(self, X: _Array) -> _Array:
        # conj(N) X = conj(N conj(X)) and N^T Y = conj(N^H conj(Y)).
        if np.iscomplexobj(X) and self._dtype.kind != "c":
            return self._apply(X.real) + 1j * self._apply(X.imag)
        X = np.asarray(X, dtype=self._dtype, order="F")
        if self._conjugated != self._transposed and self._dtype.kind == "c":
            return np.conj(self._base(np.conj(X)))
        return self._base(X)

    def __matmul__(self, X: Any) -> _Array:
        return self._product(_dense(X))

    def __rmatmul__(self, Y: Any) -> _Array:
        Y = _dense(Y)
        return self.T._product(Y) if Y.ndim == 1 else self.T._product(Y.T).T

    def _product(self, X: _Array) -> _Array:
        if X.ndim not in (1, 2) or X.shape[0] != self.shape[1]:
            raise ValueError(f"matmul: the operand of shape {X.shape} does not fit a basis of "
                             f"shape {self.shape}.")
        if X.ndim == 1:
            return self._apply(X.reshape((-1, 1)))[:, 0]
        return self._apply(X)

    # What scipy.sparse.linalg.aslinearoperator looks for.
    def matvec(self, x: Any) -> _Array:
        return self._product(np.asarray(x).ravel())

    def matmat(self, X: Any) -> _Array:
        return self._product(_dense(X))

    def rmatvec(self, y: Any) -> _Array:
        return self.H._product(np.asarray(y).ravel())

    def rmatmat(self, Y: Any) -> _Array:
        return self.H._product(_dense(Y))

    def toarray(self) -> _Array:
        return self._product(np.eye(self.shape[1], dtype=self._dtype))

    def tocsc(self) -> sparse.csc_array:
        """The basis as a sparse matrix, formed by a sparse product with Q."""
        rows, cols = self._order, self._order - self._rank
        if cols == 0 or rows == 0:
            N = sparse.csc_array((rows, cols), dtype=self._dtype)
        else:
            picks = sparse.csc_array((np.ones(cols, self._dtype), (np.arange(self._rank, rows), np.arange(cols))),
                                     shape=(rows, cols))
            N = sparse.csc_array(spqr_qmult(self._house, picks, "QX"))
        if self._conjugated:
            N = N.conj()
        return sparse.csc_array(N.T) if self._transposed else N

    def _explicit(self) -> _Array | sparse.csc_array:
        # Sparse when its three arrays take fewer bytes than the dense array would.
        N = self.tocsc()
        sparse_bytes = N.data.nbytes + N.indices.nbytes + N.indptr.nbytes
        if sparse_bytes < N.shape[0] * N.shape[1] * self._dtype.itemsize:
            return N
        return N.toarray()


# ---------------------------------------------------------------------------------------------
# The record and the four functions.


def _flag(sigma: _SigmaR, following: _Ritz, tol: float) -> int:
    if not (sigma.converged and following.converged):
        return 3
    if following.s + following.e > tol:
        return 2
    return 1 if sigma.lower <= tol else 0


def _stats(A: sparse.csc_array, r: int, tol: float, sigma: _SigmaR, following: _Ritz, *, left: bool,
           norm_A: float, norm_dropped: float, start: float, time_qr: float
           ) -> SPQRRankStats:
    """The record of a call whose rank is r, from the estimates of sigma_r and sigma_(r+1)."""
    numbers, est, upper, lower = [], [], [], []
    if r > 0:
        numbers.append(r)
        est.append(sigma.est)
        upper.append(sigma.upper)
        lower.append(sigma.lower)
    if r < min(A.shape):
        # ||A N|| bounds sigma_(r+1) from above; from below only while N is close to the
        # trailing singular vectors, as the estimate assumes.
        numbers.append(r + 1)
        est.append(following.s)
        upper.append(following.s + following.e)
        lower.append(max(following.s - following.e, 0.0))
    norms = (following.s, following.e)
    return SPQRRankStats(
        rank=r, tol=tol, flag=_flag(sigma, following, tol), est_svals=tuple(est),
        est_sval_upper_bounds=tuple(upper), est_sval_lower_bounds=tuple(lower),
        sval_numbers_for_bounds=tuple(numbers),
        est_norm_A_times_N=None if left else norms[0], est_err_bound_norm_A_times_N=None if left else norms[1],
        est_norm_A_transpose_times_NT=norms[0] if left else None,
        est_err_bound_norm_A_transpose_times_NT=norms[1] if left else None,
        est_norm_A=norm_A, norm_dropped=norm_dropped, time=time.perf_counter() - start,
        time_qr=time_qr)


def _basic_solution(F: _Factor, B: _Array, n: int) -> _Array:
    """x = E [R11^-1 (Q^H b)[:r]; 0]: nonzero only on the r live columns."""
    C = _qmult(F.house, B, "QTX")[:F.rank]
    X = np.zeros((n, B.shape[1]), B.dtype)
    X[F.E[F.live]] = _solve_upper(F.R11, C)
    return X


def _shaped(X: _Array, vector: bool) -> _Array:
    return X[:, 0] if vector else X


def spqr_basic(A: ArrayLike | _Sparse, b: ArrayLike | _Sparse, *,
               tol: float | None = None) -> tuple[_Array, SPQRRankStats]:
    """A basic solution of min ||A x - b||, with at most rank-many nonzeros.

    With A E = Q R of numerical rank r, x = E [R11^-1 (Q^H b)[:r]; 0]. The statistics bound
    sigma_r from R11 and sigma_(r+1) by ||A^H NT||_2, NT = Q[:, r:] the left null space.

    Parameters
    ----------
    A : matrix (anything `tarnix.utils.validate_csc_input` accepts), float64 or complex128
    b : ndarray or sparse matrix with A.shape[0] rows, 1-D or 2-D
    tol : float >= 0, optional
        Singular values at or below it count as zero; default 20 (m + n) eps max_j ||A[:, j]||.

    Returns
    -------
    x : ndarray of A's value type, 1-D for a 1-D b, else with b's columns (dense for sparse b)
    stats : SPQRRankStats
    """
    start = time.perf_counter()
    A = _matrix(A)
    B, vector = _rhs(A, b)
    tol = _tolerance(A, tol)
    norm_A = _norm_A(A)
    F = _factor(A, tol)
    X = _basic_solution(F, B, A.shape[1])
    sigma = _sigma_r(F.R11, F.R12, F.norm_dropped, A.dtype)
    following = _null_norm(A, F.house, F.rank, _rounding_level(A, norm_A), transpose=True)
    stats = _stats(A, F.rank, tol, sigma, following, left=True,
                   norm_A=norm_A, norm_dropped=F.norm_dropped, start=start, time_qr=F.seconds)
    return _shaped(X, vector), stats


def spqr_null(A: ArrayLike | _Sparse, *, tol: float | None = None,
              form: Literal["implicit", "explicit"] = "implicit"
              ) -> tuple[SPQRNullBasis | _Array | sparse.csc_array, SPQRRankStats]:
    """An orthonormal basis N of the numerical null space of A.

    From A^H P = Q R of numerical rank r, N = Q[:, r:] (n rows, n - r columns); ||A N||_2 bounds
    sigma_(r+1) and is estimated with an error bound.

    Parameters
    ----------
    A : matrix (anything `tarnix.utils.validate_csc_input` accepts), float64 or complex128
    tol : float >= 0, optional
        Singular values at or below it count as zero; default 20 (m + n) eps max_j ||A[:, j]||.
    form : "implicit" or "explicit"
        "implicit" returns an `SPQRNullBasis`, which applies N through Q's Householder form.
        "explicit" forms N: a `scipy.sparse.csc_array` when its data and index arrays take fewer
        bytes than the dense n x (n - r) array would, else a dense ndarray.

    Returns
    -------
    N : SPQRNullBasis, csc_array or ndarray
    stats : SPQRRankStats
    """
    start = time.perf_counter()
    if form not in ("implicit", "explicit"):
        raise ValueError(f"form must be 'implicit' or 'explicit', got {form!r}.")
    A = _matrix(A)
    tol = _tolerance(A, tol)
    norm_A = _norm_A(A)
    G = _factor(_adjoint(A), tol)
    sigma = _sigma_r(G.R11, G.R12, G.norm_dropped, A.dtype)
    following = _null_norm(A, G.house, G.rank, _rounding_level(A, norm_A))
    stats = _stats(A, G.rank, tol, sigma, following, left=False,
                   norm_A=norm_A, norm_dropped=G.norm_dropped, start=start, time_qr=G.seconds)
    N = SPQRNullBasis(G.house, G.rank, A.dtype)
    return (N if form == "implicit" else N._explicit()), stats


def spqr_pinv(A: ArrayLike | _Sparse, b: ArrayLike | _Sparse, *,
              tol: float | None = None) -> tuple[_Array, SPQRRankStats]:
    """The pseudoinverse solution of min ||A x - b|| for the numerical rank of A.

    x = x_basic - N (N^H x_basic): the basic solution of `spqr_basic` with its null-space
    component removed, N from the factorization of A^H (as `spqr_null`). When the two
    factorizations disagree on the rank, one of them kept a column too many and the projection
    would mix two ranks: the solution then comes from the complete orthogonal decomposition of
    `spqr_cod`, whose second factorization settles the rank. Parameters and results as
    `spqr_basic`.
    """
    start = time.perf_counter()
    A = _matrix(A)
    B, vector = _rhs(A, b)
    tol = _tolerance(A, tol)
    norm_A = _norm_A(A)
    F = _factor(A, tol)
    G = _factor(_adjoint(A), tol)
    if F.rank != G.rank:
        X, stats = _cod(A, B, tol, norm_A, F, start, G.seconds)
        return _shaped(X, vector), stats
    # N N^H x = Q [0; (Q^H x)[r:]], so x - N N^H x keeps the leading r rows of Q^H x.
    Z = _qmult(G.house, _basic_solution(F, B, A.shape[1]), "QTX")
    Z[G.rank:] = 0
    X = _qmult(G.house, Z, "QX")
    sigma = _sigma_r(F.R11, F.R12, F.norm_dropped, A.dtype)
    following = _null_norm(A, G.house, G.rank, _rounding_level(A, norm_A))
    stats = _stats(A, F.rank, tol, sigma, following, left=False, norm_A=norm_A,
                   norm_dropped=F.norm_dropped, start=start, time_qr=F.seconds + G.seconds)
    return _shaped(X, vector), stats


def spqr_cod(A: ArrayLike | _Sparse, b: ArrayLike | _Sparse, *,
             tol: float | None = None) -> tuple[_Array, SPQRRankStats]:
    """The pseudoinverse solution through a complete orthogonal decomposition.

    A E = Q1 R1 of rank r, then R1[:r, :]^H P2 = Q2 R2, so that A E ~ Q1[:, :r] P2 R2^H Q2^H and
    x = E Q2 [R2^-H P2^T (Q1^H b)[:r]; 0]. The singular values of R2 are those of R1[:r, :],
    so sigma_r is estimated closely; sigma_(r+1) is bounded by ||A E Q2[:, r:]||_2. When the
    second factorization drops rows that the first kept, its smaller rank is the one used.
    Parameters and results as `spqr_basic`.
    """
    start = time.perf_counter()
    A = _matrix(A)
    B, vector = _rhs(A, b)
    tol = _tolerance(A, tol)
    norm_A = _norm_A(A)
    X, stats = _cod(A, B, tol, norm_A, _factor(A, tol), start)
    return _shaped(X, vector), stats


def _cod(A: sparse.csc_array, B: _Array, tol: float, norm_A: float, F: _Factor, start: float,
         seconds_before: float = 0.0) -> tuple[_Array, SPQRRankStats]:
    """The solution and record of `spqr_cod`, given the factorization F of A."""
    n = A.shape[1]
    G = _factor(_adjoint(F.R_top), tol)
    C = _qmult(F.house, B, "QTX")[:F.rank]
    W = np.zeros((n, B.shape[1]), B.dtype)
    W[:G.rank] = _solve_upper_h(G.R11, C[G.E[G.live]])
    X = np.empty_like(W)
    X[F.E] = _qmult(G.house, W, "QX")
    dropped = F.norm_dropped + G.norm_dropped
    sigma = _sigma_r(G.R11, G.R12, dropped, A.dtype)
    following = _null_norm(A, G.house, G.rank, _rounding_level(A, norm_A), perm=F.E)
    # The second factorization may drop rows of R1 that the first kept: its rank is the one
    # the bounds (and the solution) are for.
    stats = _stats(A, G.rank, tol, sigma, following, left=False, norm_A=norm_A, norm_dropped=dropped,
                   start=start, time_qr=seconds_before + F.seconds + G.seconds)
    return X, stats
