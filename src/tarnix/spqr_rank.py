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
  residual give a lower bound, and ||M^H y|| for the Ritz vector y the estimate and an upper
  bound that holds however inaccurate the solves; Weyl's inequality with the 2-norm of the
  dropped entries turns them into bounds on sigma_r(A). Where R11 is too ill-conditioned for
  the lower bound to certify the rank, the bounds are read off a factorization of M^H instead,
  whose triangle has M's singular values (as in a complete orthogonal decomposition).
- sigma_(r+1)(A) <= ||A N||_2 for any orthonormal N with n - r columns (the min-max
  characterisation), and ||A N||_2 is estimated by a block power method with an error bound.
  `spqr_basic` uses the left null space instead: sigma_(r+1)(A) <= ||A^H NT||_2 for NT = Q[:, r:].

SuiteSparseQR does not pivot columns, so the rank r it finds can exceed the numerical rank when
the columns it keeps are ill-conditioned (the Kahan matrix is the classic case). The iteration
for sigma_r shows this: where it finds k orthonormal vectors Y with ||M^H Y||_2 <= tol, M has k
singular values at most tol (min-max again), whatever the accuracy of the triangular solves, and
the rank becomes r - k. Those vectors are set aside and the iteration continues on the rest (both
sides projected, so that the rounding errors of a huge singular value of M^+ do not swamp the
next). `spqr_null` adds Q[:, :r] Y to its basis, or, when that leaves the rank uncertain, takes
the basis from a complete orthogonal decomposition (as `spqr_cod` does, whose second
factorization finds the rank where the first kept columns too many); a basic solution leaves
out the k kept columns that carry the matching right singular vectors most (a pivoted QR of
them picks the columns) and factorizes the rest of R11 again.

The rank is certified (flag 0) when the lower bound on sigma_r is above tol and the upper bound
on sigma_(r+1) is at most tol. The lower bounds, and the upper bound on sigma_(r+1), hold when
the iterations have converged to the extreme singular values, which their residual tests make
likely but cannot prove (hence "est" in their names); the upper bound on sigma_r is rigorous.

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
import scipy.linalg
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
# At most so many singular values that a factorization kept but the iteration shows to be at
# most tol are set aside; beyond, the rank stays the factorization's (and flag 1 says so).
_MAX_DEFLATION = 32
# Bounds computed in floating point are widened by rounding errors of this relative size.
_EPS = 10 * float(np.finfo(np.float64).eps)


@dataclass(frozen=True)
class SPQRRankStats:
    """How far the answer of a rank function can be trusted.

    Attributes
    ----------
    rank : int
        The numerical rank r that the answer uses.
    rank_spqr : int
        SuiteSparseQR's own rank, from the first factorization of the call (of A, or of A^H for
        `spqr_null`): above `rank` where the bounds showed that it kept columns too many.
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
        Estimated upper and lower bounds of the same singular values. sigma_(r+1) has an upper
        bound only (||A N||_2, which can be far above it): its lower bound is 0.
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

    Examples
    --------
    >>> import numpy as np
    >>> from scipy import sparse
    >>> from tarnix.spqr_rank import spqr_null
    >>> A = sparse.csc_array(np.array([[1., 1., 0.], [0., 1., 1.], [1., 2., 1.]]))  # rank 2
    >>> N, stats = spqr_null(A)
    >>> stats.rank, stats.flag, stats.sval_numbers_for_bounds
    (2, 0, (2, 3))
    >>> s = np.linalg.svd(A.toarray(), compute_uv=False)
    >>> bool(stats.est_sval_lower_bounds[0] <= s[1] <= stats.est_sval_upper_bounds[0])
    True
    >>> bool(s[2] <= stats.est_sval_upper_bounds[1] <= stats.tol)
    True
    """

    rank: int
    rank_spqr: int
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
    dropped = _dropped_norm(A, house, E, R, dead, tol)
    top = R[:r, :].tocsc()
    return _Factor(house, E, live, dead, _Triangle.of(top[:, live].tocsc()), top, dropped,
                   time.perf_counter() - start)


def _dropped_norm(A: sparse.csc_array, house: SPQRHouseholder, E: _Array, R: sparse.csc_array, dead: _Array,
                  tol: float) -> float:
    """An upper bound on the 2-norm of the entries of Q^H A E that the factorization dropped
    (exact, up to rounding, when few columns were dropped)."""
    if dead.size == 0 or A.shape[0] == 0:
        return 0.0
    if dead.size > _EXACT_DROPPED_NORM:
        # SuiteSparseQR drops a column only when what remains of it has norm at most tol.
        col_sq = np.asarray(abs(A[:, E[dead]]).power(2).sum(axis=0)).ravel()
        bound = math.sqrt(float(np.minimum(col_sq, tol * tol).sum()))
        return bound
    # Q^H A E less R on the dead columns: what the factorization set to zero, wherever it lay
    # (not only below the rows reached, when fronts meet), plus rounding where R kept entries.
    Y = sparse.csc_array(spqr_qmult(house, A[:, E[dead]].tocsc(), "QTX"))
    kept = R[:, dead].tocsc()
    if kept.shape[0] < Y.shape[0]:
        kept = sparse.vstack([kept, sparse.csc_array((Y.shape[0] - kept.shape[0], dead.size), dtype=kept.dtype)])
    D = sparse.csc_array(Y - kept)
    fro = float(np.linalg.norm(D.data))
    if fro == 0.0:
        return fro
    gram = (D.conj().T @ D).toarray()
    two = math.sqrt(max(float(np.linalg.eigvalsh(gram)[-1]), 0.0))
    return min(two, fro)


# ---------------------------------------------------------------------------------------------
# Estimators.


@dataclass(frozen=True)
class _Ritz:
    """The Ritz values s (descending) of an operator B on a block, their residual bounds e, and
    their vectors: B inputs[:, i] = s[i] outputs[:, i] exactly, inputs orthonormal."""

    svals: _Array
    errs: _Array
    inputs: _Array
    outputs: _Array
    converged: bool

    @classmethod
    def nothing(cls, rows: int, dtype: np.dtype[Any]) -> _Ritz:
        return cls(np.zeros(1), np.zeros(1), np.zeros((rows, 0), dtype), np.zeros((0, 1), dtype), True)

    @property
    def s(self) -> float:
        return float(self.svals[0])

    @property
    def e(self) -> float:
        return float(self.errs[0])


def _start_block(rows: int, dtype: np.dtype[Any], width: int = _BLOCK) -> _Array:
    # A fixed seed: the same input gives the same answer on every run.
    rng = np.random.default_rng(rows)
    k = min(width, rows)
    X = rng.standard_normal((rows, k))
    if np.issubdtype(dtype, np.complexfloating):
        X = X + 1j * rng.standard_normal((rows, k))
    return np.linalg.qr(X)[0]


def _widened(V: _Array, width: int, dtype: np.dtype[Any]) -> _Array:
    """V orthonormal with more columns: fresh random directions after V's own."""
    extra = _start_block(V.shape[0], dtype, width)[:, : max(width - V.shape[1], 0)]
    return np.linalg.qr(np.hstack([V, extra]))[0]


def _largest_ritz(apply: Any, apply_h: Any, cols: int, dtype: np.dtype[Any], negligible: float = 0.0,
                  iterations: int = _MAX_ITERATIONS, want: int = 1, start: _Array | None = None) -> _Ritz:
    """Block power method for the `want` largest singular values of an operator B with `cols`
    columns, on the block `start` (default: _BLOCK random vectors).

    apply(V) = B V and apply_h(U) = B^H U. After each step B v_i = s_i u_i holds exactly for the
    Ritz pairs and e_i = ||B^H u_i - s_i v_i||; some singular value of B then lies in
    [s_i - e_i, s_i + e_i], and s_i is never above sigma_i(B) since V is orthonormal. Below
    `negligible` (the rounding level of the products) the iteration cannot converge and need not.
    """
    if cols == 0:
        return _Ritz.nothing(0, dtype)
    V = _start_block(cols, dtype) if start is None else start
    for _ in range(iterations):
        Y = apply(V)
        if Y.shape[0] == 0:
            return _Ritz.nothing(cols, dtype)
        U, s, X = _ritz_pairs(Y)
        inputs = V @ X
        if s[0] == 0.0 or not math.isfinite(s[0]):
            # A product overflowed (an operator too large for float64): no estimate.
            return _Ritz(s, np.zeros_like(s), inputs, U, s[0] == 0.0)
        Z = apply_h(U)
        e = _column_norms(Z - inputs * s)
        head = slice(0, min(want, s.size))
        if np.all((e[head] <= _CONVERGED * s[head]) | (s[head] + e[head] <= negligible)):
            return _Ritz(s, e, inputs, U, True)
        V = np.linalg.qr(Z)[0]
    return _Ritz(s, e, inputs, U, False)


def _ritz_pairs(Y: _Array) -> tuple[_Array, _Array, _Array]:
    """Singular values s (descending) of a tall, narrow Y, right vectors X and left vectors
    U = Y X / s, through the small Gram matrix: a tall SVD costs ten times more, and only the
    leading pairs, which the Gram matrix gives to full accuracy, need to be exact."""
    gram, big = Y.conj().T @ Y, 1.0
    if not (np.isfinite(gram).all() and np.abs(gram).max(initial=0.0) > 1e-250):
        # Scaled so that the Gram matrix neither overflows nor underflows.
        big = float(np.max(np.abs(Y))) if Y.size else 0.0
        if not (0.0 < big < math.inf):
            return Y, np.full(Y.shape[1], big), np.eye(Y.shape[1], dtype=Y.dtype)
        Ys = Y * (1.0 / big)
        gram = Ys.conj().T @ Ys
    w, X = np.linalg.eigh(gram)
    w, X = w[::-1], X[:, ::-1]
    s = np.sqrt(np.maximum(w, 0.0)) * big
    scale = np.where(s > s[0] * 1e-8, s, 1.0) if s[0] > 0 else np.ones_like(s)
    return (Y @ X) / scale, s, X


def _column_norms(D: _Array) -> _Array:
    """2-norms of D's columns, scaled where a square would overflow."""
    plain = np.linalg.norm(D, axis=0)
    if np.isfinite(plain).all():
        return np.asarray(plain)
    big = np.max(np.abs(D), axis=0) if D.shape[0] else np.zeros(D.shape[1])
    big = np.where(big > 0, big, 1.0)
    return np.asarray(np.linalg.norm(D / big, axis=0) * big)


@dataclass(frozen=True)
class _SigmaR:
    """Estimate and bounds of sigma_(r-k)(A) from a factor's first r rows M, where the k
    smallest singular values of M are at most tol (k = 0 unless deflated). `small` holds the
    corresponding left singular directions of M (r x k, orthonormal), `small_columns` the right
    ones on M's live columns (r x k)."""

    est: float
    lower: float
    upper: float
    converged: bool
    small: _Array
    small_columns: _Array

    @property
    def k(self) -> int:
        return int(self.small.shape[1])


def _pseudoinverse_of_top(T: _Triangle, T12: sparse.csc_array) -> tuple[Any, Any] | None:
    """M^+ and its adjoint for M = T [I K] (K = T^-1 T12, d columns), or None when K is too big.

    M^+ = [I; K^H] (I + K K^H)^-1 T^-1, and (I + K K^H)^-1 = I - K (I + K^H K)^-1 K^H needs
    only the eigenvectors X and eigenvalues w of the d-by-d K^H K (or of K K^H when d > r). (A Cholesky factor of
    I + K^H K fails when T is nearly singular and K huge; the eigenvalues stay >= 0 once clipped.)
    """
    r, d = T.order, T12.shape[1]
    if d == 0 or d > _COUPLING_COLUMNS or r * d > _COUPLING_ENTRIES:
        return None
    K = _solve_upper(T, T12.toarray())
    if d <= r:
        w, X = np.linalg.eigh(K.conj().T @ K)
        KX = K @ X
        weights = 1.0 / (1.0 + np.maximum(w, 0.0))

        def shrink(Y: _Array) -> _Array:
            return np.asarray(Y - KX @ (weights[:, None] * (KX.conj().T @ Y)))
    else:
        # Fewer rows than columns: the r-by-r K K^H is the smaller eigenproblem.
        lam, W = np.linalg.eigh(K @ K.conj().T)
        inverse = 1.0 / (1.0 + np.maximum(lam, 0.0))

        def shrink(Y: _Array) -> _Array:
            return np.asarray(W @ (inverse[:, None] * (W.conj().T @ Y)))

    def apply(V: _Array) -> _Array:
        Y = shrink(_solve_upper(T, V))
        return np.vstack([Y, K.conj().T @ Y])

    def apply_h(U: _Array) -> _Array:
        return _solve_upper_h(T, shrink(U[:r] + K @ U[r:]))

    return apply, apply_h


def _without(ops: tuple[Any, Any], inputs: _Array, outputs: _Array) -> tuple[Any, Any]:
    """The operator B of `ops` with the singular pairs (inputs, outputs) taken out:
    (I - U U^H) B (I - V V^H). Both sides are projected: rounding errors of B's products lie
    mostly along its dominant output directions, which would swamp the next pairs."""
    if inputs.shape[1] == 0:
        return ops

    def apply(V: _Array) -> _Array:
        Y = ops[0](V - inputs @ (inputs.conj().T @ V))
        return np.asarray(Y - outputs @ (outputs.conj().T @ Y))

    def apply_h(U: _Array) -> _Array:
        Z = ops[1](U - outputs @ (outputs.conj().T @ U))
        return np.asarray(Z - inputs @ (inputs.conj().T @ Z))

    return apply, apply_h


def _smallest_of_top(ops: tuple[Any, Any], mh: Any, r: int, dtype: np.dtype[Any], tol: float, deflate: bool
                     ) -> tuple[_Ritz, _Array, _Array]:
    """The Ritz pairs of M^+ (ops) after setting aside, with `deflate`, leading pairs whose
    input vectors Y satisfy ||M^H Y||_2 <= tol (mh(Y) = M^H Y): by the min-max characterisation
    M then has k = Y's width singular values at most tol, whatever the accuracy of the inverse
    iteration. Returns the last iteration (its leading pair is for the next singular value of
    M) and the pairs set aside, as orthonormal input (left singular vectors of M) and output
    (right ones) blocks."""
    inputs, outputs = np.zeros((r, 0), dtype), np.zeros((0, 0), dtype)
    ritz = _largest_ritz(ops[0], ops[1], r, dtype)
    while deflate and ritz.svals.size and ritz.s * tol >= 1.0 and inputs.shape[1] < min(r, _MAX_DEFLATION):
        take = 0
        while take < ritz.svals.size and inputs.shape[1] + take < min(r, _MAX_DEFLATION):
            Y = np.hstack([inputs, ritz.inputs[:, : take + 1]])
            if ritz.svals[take] * tol < 1.0 or np.linalg.norm(mh(Y), 2) > tol:
                break
            take += 1
        if take == 0:
            break
        inputs = np.linalg.qr(np.hstack([inputs, ritz.inputs[:, :take]]))[0]
        out = ritz.outputs[:, :take]
        outputs = np.linalg.qr(np.hstack([outputs, out]) if outputs.size else out)[0]
        if inputs.shape[1] == r:
            break
        start = _widened(inputs, inputs.shape[1] + min(_BLOCK, r - inputs.shape[1]), dtype)[:, inputs.shape[1]:]
        ritz = _largest_ritz(*_without(ops, inputs, outputs), r, dtype, start=start)
    return ritz, inputs, outputs


def _sigma_r(T: _Triangle, T12: sparse.csc_array | None, norm_dropped: float,
             dtype: np.dtype[Any], tol: float, deflate: bool = True) -> _SigmaR:
    """sigma_r of A = Q [M; 0] P^H + dropped entries, M = [T T12], from the largest singular values
    of M^+ (or of T^-1 when M^+ would cost too much: sigma_r(M) >= sigma_r(T)).

    With `deflate`, the k singular values of M that the iteration shows to be at most tol are set
    aside (their directions kept) and the bounds are for sigma_(r-k). The lower bound is
    1 / (s + e) less the dropped norm (Weyl). The upper bound is rigorous: ||M^H Y|| for the
    k + 1 orthonormal vectors Y that the iterations end on, plus the dropped norm. Both are
    widened by the rounding errors of the products, eps ||M||_F.
    """
    r = T.order
    if r == 0:
        nothing = np.zeros((0, 0), dtype)
        return _SigmaR(math.inf, math.inf, math.inf, True, nothing, nothing)
    ops = None if T12 is None else _pseudoinverse_of_top(T, T12)
    # Through T^-1 alone the Ritz values bound T's singular values, which can be below M's: they
    # give lower bounds on M's, but neither upper bounds nor a reason to set one aside.
    exact = ops is not None or T12 is None or T12.shape[1] == 0
    if ops is None:
        ops = (lambda V: _solve_upper(T, V), lambda U: _solve_upper_h(T, U))

    def mh(Y: _Array) -> _Array:
        # T^H Y = conj(T^T conj(Y)), and T's transpose is a csr view of its arrays: no copy.
        MhY = np.conj(T.upper.T @ np.conj(Y))
        return np.vstack([MhY, T12.conj().T @ Y]) if T12 is not None and T12.shape[1] else MhY

    ritz, small, columns = _smallest_of_top(ops, mh, r, dtype, tol, deflate and exact)
    k = small.shape[1]
    columns = columns[:r]
    if k == r:
        return _SigmaR(math.inf, math.inf, math.inf, True, small, columns)
    # Only this product with M itself bounds sigma_r(M) from above whatever the solves' accuracy:
    # 1 / s would too in exact arithmetic, but with R11 far worse conditioned than M the solves
    # through it lose every digit (seen: 1 / s = 6e-15 for sigma_r(M) = 2e-5).
    along = float(np.linalg.norm(mh(np.hstack([small, ritz.inputs[:, :1]])), 2))
    # The rounding errors of those products and solves, beside the dropped entries.
    slack = norm_dropped + _EPS * math.sqrt(r + 1) * _frobenius(T.upper, T12)
    lower = max(1.0 / (ritz.s + ritz.e) - slack, 0.0) if ritz.s > 0 else 0.0
    # A lower bound above the upper one shows that the solves were not accurate enough to
    # trust the iteration.
    converged = ritz.converged and lower <= along + slack
    return _SigmaR(along, min(lower, along + slack), along + slack, converged, small, columns)


def _frobenius(*parts: sparse.csc_array | None) -> float:
    return math.sqrt(sum(float(np.vdot(P.data, P.data).real) for P in parts if P is not None))


def _norm_A(A: sparse.csc_array) -> float:
    AH = A.conj().T.tocsr()
    ritz = _largest_ritz(lambda X: A @ X, lambda Y: AH @ Y, A.shape[1], A.dtype,
                         iterations=_NORM_ITERATIONS)
    return ritz.s


def _rounding_level(A: sparse.csc_array, norm_A: float) -> float:
    """Norms of products with A below this are rounding errors."""
    return 10.0 * float(np.finfo(np.float64).eps) * math.sqrt(max(A.shape)) * norm_A


def _null_norm(A: sparse.csc_array, N: SPQRNullBasis, negligible: float, *, transpose: bool = False) -> _Ritz:
    """||A N||_2, or ||A^H N||_2 when `transpose` is true (N a basis of a null space of A^H)."""
    B = A.conj().T.tocsr() if transpose else A
    BH = A if transpose else A.conj().T.tocsr()
    return _largest_ritz(lambda X: B @ N._times(X), lambda Y: N._times_h(BH @ Y), N._columns, A.dtype,
                         negligible)


# ---------------------------------------------------------------------------------------------
# Arguments.


def _matrix(A: ArrayLike | _Sparse) -> sparse.csc_array:
    """A as checked, in arrays of the call's own: a call makes many passes over A, and a
    callback (tol's __float__, say) or another thread changing the caller's arrays between
    them would otherwise mix two matrices in one answer."""
    A = validate_csc_input(A)[0]
    return sparse.csc_array((A.data.copy(), A.indices.copy(), A.indptr.copy()), shape=A.shape)


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
    # A copy of the call's own, for the same reason as A's.
    return np.array(b.reshape((-1, 1)) if vector else b, dtype=A.dtype, order="F"), vector


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
    """An orthonormal basis N of a null space, held as the Householder form of Q, never formed.

    Q comes from the factorization A^H P = Q R of rank r, so N has n rows: its columns are
    Q[:, r:] and, where the rank estimate set aside k singular values of R's first r rows that
    are at most tol, the k columns Q[:, :r] Y for the matching orthonormal directions Y (r x k).
    `N @ X` and `N.H @ Y` cost one product with Q each. `N.T`, `N.conj()` and `N.H` are bases of
    the same kind; `toarray()` and `tocsc()` form the basis;
    `scipy.sparse.linalg.aslinearoperator(N)` wraps it. `spqr_null` makes these objects: the
    constructor's arguments are its internals.

    Examples
    --------
    >>> import numpy as np
    >>> from scipy import sparse
    >>> from tarnix.spqr_rank import spqr_null
    >>> A = sparse.csc_array(np.array([[1., 1., 0.], [0., 1., 1.], [1., 2., 1.]]))  # rank 2
    >>> N, stats = spqr_null(A)
    >>> N
    <3x1 SPQRNullBasis of dtype float64 in Householder form>
    >>> bool(np.allclose(A @ (N @ [1.0]), 0) and np.allclose(N.H @ N.toarray(), 1))
    True
    """

    # ndarray @ N calls N.__rmatmul__ instead of converting N.
    __array_ufunc__ = None
    ndim = 2

    def __init__(self, house: SPQRHouseholder, rank: int, dtype: np.dtype[Any], *,
                 extra: _Array | None = None, perm: _Array | None = None, conjugated: bool = False,
                 transposed: bool = False) -> None:
        self._house = house
        self._rank = int(rank)
        self._order = int(house.H.shape[0])
        self._dtype = np.dtype(dtype)
        self._extra = np.zeros((self._rank, 0), self._dtype) if extra is None else extra
        self._perm = perm
        self._conjugated = conjugated
        self._transposed = transposed

    def _with(self, conjugated: bool, transposed: bool) -> SPQRNullBasis:
        return SPQRNullBasis(self._house, self._rank, self._dtype, extra=self._extra, perm=self._perm,
                             conjugated=conjugated, transposed=transposed)

    @property
    def _columns(self) -> int:
        return self._order - self._rank + int(self._extra.shape[1])

    @property
    def shape(self) -> tuple[int, int]:
        rows, cols = self._order, self._columns
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
        """The complex conjugate basis (the same basis for real A).

        Examples
        --------
        >>> import numpy as np
        >>> from tarnix.spqr_rank import spqr_null
        >>> N, stats = spqr_null(np.array([[1., 1., 0.], [0., 1., 1.], [1., 2., 1.]]))
        >>> bool(np.allclose(N.conj().toarray(), N.toarray()))
        True
        """
        return self._with(not self._conjugated, self._transposed)

    conjugate = conj

    def __repr__(self) -> str:
        op = {(False, False): "", (True, False): ".conj()", (False, True): ".T", (True, True): ".H"}
        return (f"<{self.shape[0]}x{self.shape[1]} SPQRNullBasis{op[self._conjugated, self._transposed]} "
                f"of dtype {self._dtype} in Householder form>")

    def _times(self, X: _Array) -> _Array:
        """N X = Q [Y X2; X1] for X = [X1; X2] (X2 the last k rows)."""
        free = self._order - self._rank
        if self._extra.shape[1]:
            head = self._extra @ X[free:]
        else:
            head = np.zeros((self._rank, X.shape[1]), np.result_type(X, self._dtype))
        V = _qmult(self._house, np.vstack([head, X[:free]]), "QX")
        if self._perm is None:
            return V
        out = np.empty_like(V)
        out[self._perm] = V
        return out

    def _times_h(self, Z: _Array) -> _Array:
        """N^H Z = [(Q^H Z)[r:]; Y^H (Q^H Z)[:r]]."""
        W = _qmult(self._house, Z if self._perm is None else Z[self._perm], "QTX")
        if self._extra.shape[1] == 0:
            return W[self._rank:]
        return np.vstack([W[self._rank:], self._extra.conj().T @ W[: self._rank]])

    def _apply(self, X: _Array) -> _Array:
        # conj(N) X = conj(N conj(X)) and N^T Y = conj(N^H conj(Y)).
        if np.iscomplexobj(X) and self._dtype.kind != "c":
            return self._apply(X.real) + 1j * self._apply(X.imag)
        X = np.asarray(X, dtype=self._dtype, order="F")
        base = self._times_h if self._transposed else self._times
        if self._conjugated != self._transposed and self._dtype.kind == "c":
            return np.conj(base(np.conj(X)))
        return base(X)

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
        """N x for a vector x (as `scipy.sparse.linalg.LinearOperator.matvec`).

        Examples
        --------
        >>> import numpy as np
        >>> from tarnix.spqr_rank import spqr_null
        >>> N, stats = spqr_null(np.array([[1., 1., 0.], [0., 1., 1.], [1., 2., 1.]]))
        >>> N.matvec([2.0]).shape
        (3,)
        """
        return self._product(np.asarray(x).ravel())

    def matmat(self, X: Any) -> _Array:
        """N X for a 2-D X.

        Examples
        --------
        >>> import numpy as np
        >>> from tarnix.spqr_rank import spqr_null
        >>> N, stats = spqr_null(np.array([[1., 1., 0.], [0., 1., 1.], [1., 2., 1.]]))
        >>> N.matmat(np.ones((1, 4))).shape
        (3, 4)
        """
        return self._product(_dense(X))

    def rmatvec(self, y: Any) -> _Array:
        """N^H y for a vector y.

        Examples
        --------
        >>> import numpy as np
        >>> from tarnix.spqr_rank import spqr_null
        >>> N, stats = spqr_null(np.array([[1., 1., 0.], [0., 1., 1.], [1., 2., 1.]]))
        >>> bool(np.allclose(N.rmatvec([1.0, 2.0, 3.0]), N.toarray().T @ [1.0, 2.0, 3.0]))
        True
        """
        return self.H._product(np.asarray(y).ravel())

    def rmatmat(self, Y: Any) -> _Array:
        """N^H Y for a 2-D Y.

        Examples
        --------
        >>> import numpy as np
        >>> from tarnix.spqr_rank import spqr_null
        >>> N, stats = spqr_null(np.array([[1., 1., 0.], [0., 1., 1.], [1., 2., 1.]]))
        >>> N.rmatmat(np.eye(3)).shape
        (1, 3)
        """
        return self.H._product(_dense(Y))

    def toarray(self) -> _Array:
        """The basis as a dense array (one product with Q on an identity block).

        Examples
        --------
        >>> import numpy as np
        >>> from tarnix.spqr_rank import spqr_null
        >>> N, stats = spqr_null(np.array([[1., 1., 0.], [0., 1., 1.], [1., 2., 1.]]))
        >>> bool(np.allclose(N.toarray().T @ N.toarray(), 1))
        True
        """
        return self._product(np.eye(self.shape[1], dtype=self._dtype))

    def tocsc(self) -> sparse.csc_array:
        """The basis as a sparse matrix, formed by a sparse product with Q.

        Examples
        --------
        >>> import numpy as np
        >>> from tarnix.spqr_rank import spqr_null
        >>> N, stats = spqr_null(np.array([[1., 1., 0.], [0., 1., 1.], [1., 2., 1.]]))
        >>> N.tocsc().shape, N.T.tocsc().shape
        ((3, 1), (1, 3))
        """
        rows, free, k = self._order, self._order - self._rank, self._extra.shape[1]
        if free + k == 0 or rows == 0:
            N = sparse.csc_array((rows, free + k), dtype=self._dtype)
        else:
            picks = sparse.csc_array((np.ones(free, self._dtype), (np.arange(self._rank, rows), np.arange(free))),
                                     shape=(rows, free))
            if k:
                picks = sparse.hstack([picks, sparse.vstack([sparse.csc_array(self._extra),
                                                             sparse.csc_array((free, k), dtype=self._dtype)])])
            N = sparse.csc_array(spqr_qmult(self._house, sparse.csc_array(picks), "QX"))
            if self._perm is not None:
                N = sparse.csc_array(N[np.argsort(self._perm)])
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


def _stats(A: sparse.csc_array, r: int, tol: float, sigma: _SigmaR, following: _Ritz, *, left: bool, rank_spqr: int,
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
        # ||A N|| bounds sigma_(r+1) from above only: it is close to sigma_(r+1) while N is close
        # to the trailing singular vectors, but can be far above it, so nothing bounds it below.
        numbers.append(r + 1)
        est.append(following.s)
        upper.append(following.s + following.e)
        lower.append(0.0)
    norms = (following.s, following.e)
    return SPQRRankStats(
        rank=r, rank_spqr=rank_spqr, tol=tol, flag=_flag(sigma, following, tol), est_svals=tuple(est),
        est_sval_upper_bounds=tuple(upper), est_sval_lower_bounds=tuple(lower),
        sval_numbers_for_bounds=tuple(numbers),
        est_norm_A_times_N=None if left else norms[0], est_err_bound_norm_A_times_N=None if left else norms[1],
        est_norm_A_transpose_times_NT=norms[0] if left else None,
        est_err_bound_norm_A_transpose_times_NT=norms[1] if left else None,
        est_norm_A=norm_A, norm_dropped=norm_dropped, time=time.perf_counter() - start,
        time_qr=time_qr)


def _basic_solution(basic: _Basic, B: _Array, n: int) -> _Array:
    """x = E [R11^-1 (Q^H b)[:r]; 0], nonzero only on the r live columns; after a second
    factorization of R11's kept columns, their least-squares solution through it."""
    F, S = basic.F, basic.second
    C = _qmult(F.house, B, "QTX")[:F.rank]
    X = np.zeros((n, B.shape[1]), B.dtype)
    if S is None:
        X[F.E[F.live]] = _solve_upper(F.R11, C)
    else:
        assert basic.kept is not None
        columns = F.E[F.live[basic.kept]]
        X[columns[S.E[S.live]]] = _solve_upper(S.R11, _qmult(S.house, C, "QTX")[:S.rank])
    return X


@dataclass(frozen=True)
class _Basic:
    """The factorization A E = Q R that a basic solution comes from, and the bounds of A's rank.

    When R's first r rows have k singular values at most tol, `second` factorizes R11 without
    the k columns `dropped` (positions among R's live columns) that carry the matching right
    singular vectors most: R11[:, kept] = Q2 R2 E2^T, its rank r - k.
    """

    F: _Factor
    sigma: _SigmaR
    seconds: float
    kept: _Array | None = None
    second: _Factor | None = None

    @property
    def rank(self) -> int:
        return self.F.rank if self.second is None else self.second.rank

    def left_null(self, dtype: np.dtype[Any]) -> SPQRNullBasis:
        """NT, an orthonormal basis of the complement of the range of A's basic columns:
        Q[:, r:] and, after a second factorization, Q[:, :r] Q2[:, r - k:]."""
        F, S = self.F, self.second
        if S is None:
            return SPQRNullBasis(F.house, F.rank, dtype)
        picks = np.zeros((F.rank, F.rank - S.rank), dtype)
        picks[S.rank:] = np.eye(F.rank - S.rank)
        return SPQRNullBasis(F.house, F.rank, dtype, extra=_qmult(S.house, picks, "QX"))


def _of_rows(F: _Factor, dtype: np.dtype[Any], tol: float, deflate: bool = True) -> tuple[_Factor, _SigmaR]:
    """M^H P2 = Q2 R2 for M = R[:r, :] of F, the second step of a complete orthogonal
    decomposition, and the bounds on sigma_r(A) read off R2, which has M's singular values."""
    H = _factor(_adjoint(F.R_top), tol)
    return H, _sigma_r(H.R11, H.R12, F.norm_dropped + H.norm_dropped, dtype, tol, deflate)


def _certified_through_cod(A: sparse.csc_array, tol: float, F: _Factor, sigma: _SigmaR) -> _Basic:
    """F with its bounds; when they cannot certify F's rank, the bounds on sigma_r(M) read off
    the factorization M^H P2 = Q2 R2 instead if they can (M = R[:r, :]; R11 can be far worse
    conditioned than M, whose singular values R2 shares, and then the solves through R11 are
    too inaccurate to bound sigma_r from below)."""
    if F.rank == 0 or (sigma.lower > tol and sigma.converged):
        return _Basic(F, sigma, F.seconds)
    H, again = _of_rows(F, A.dtype, tol, deflate=False)
    seconds = F.seconds + H.seconds
    if H.rank == F.rank and again.lower > tol and again.converged:
        return _Basic(F, again, seconds)
    return _Basic(F, sigma, seconds)


def _basic_factor(A: sparse.csc_array, tol: float) -> _Basic:
    """A E = Q R with a basic solution's rank: when SuiteSparseQR kept k columns too many (the
    bounds show k singular values of R's first rows at most tol), the k kept columns that carry
    the matching right singular vectors most (a pivoted QR picks them) are left out of R11 and
    the rest factorized again. The bounds stay those of A."""
    F = _factor(A, tol)
    sigma = _sigma_r(F.R11, F.R12, F.norm_dropped, A.dtype, tol)
    if sigma.k == 0:
        return _certified_through_cod(A, tol, F, sigma)
    pivots = scipy.linalg.qr(sigma.small_columns.conj().T, mode="r", pivoting=True)[1]
    kept = np.sort(pivots[sigma.k:])
    # R11 without those columns has full column rank: no column may be treated as zero.
    S = _factor(F.R11.upper[:, kept].tocsc(), 0.0)
    if S.rank == F.rank - sigma.k:
        return _Basic(F, sigma, F.seconds + S.seconds, kept, S)
    return _Basic(F, _sigma_r(F.R11, F.R12, F.norm_dropped, A.dtype, tol, deflate=False),
                  F.seconds + S.seconds)


@dataclass(frozen=True)
class _Null:
    """A null-space basis of A from A^H P = Q R, and the bounds of A's rank it has."""

    N: SPQRNullBasis
    sigma: _SigmaR
    seconds: float
    norm_dropped: float
    rank_spqr: int
    # The factorization of A^H when N is its Q[:, r:] as it stands (nothing set aside).
    G: _Factor | None = None

    @property
    def rank(self) -> int:
        return self.N.shape[0] - self.N.shape[1]


def _null_basis(A: sparse.csc_array, tol: float) -> _Null:
    """N from A^H P = Q R; when its rank is not certified, from a complete orthogonal
    decomposition instead if that one is: A E = Q1 R1, R1[:r, :]^H P2 = Q2 R2, N = E Q2[:, r2:]
    (the second factorization finds the rank where the first kept columns too many)."""
    G = _factor(_adjoint(A), tol)
    sigma = _sigma_r(G.R11, G.R12, G.norm_dropped, A.dtype, tol)
    null = _Null(SPQRNullBasis(G.house, G.rank, A.dtype, extra=sigma.small), sigma, G.seconds, G.norm_dropped,
                 G.rank, None if sigma.k else G)
    if null.rank == 0 or (sigma.lower > tol and sigma.converged):
        return null
    F = _factor(A, tol)
    H, cod = _of_rows(F, A.dtype, tol)
    seconds = G.seconds + F.seconds + H.seconds
    if not (cod.lower > tol and cod.converged):
        return _Null(null.N, sigma, seconds, G.norm_dropped, G.rank)
    return _Null(SPQRNullBasis(H.house, H.rank, A.dtype, extra=cod.small, perm=F.E), cod, seconds,
                 F.norm_dropped + H.norm_dropped, G.rank)


def _shaped(X: _Array, vector: bool) -> _Array:
    return X[:, 0] if vector else X


def spqr_basic(A: ArrayLike | _Sparse, b: ArrayLike | _Sparse, *,
               tol: float | None = None) -> tuple[_Array, SPQRRankStats]:
    """A basic solution of min ||A x - b||, with at most rank-many nonzeros.

    With A E = Q R of numerical rank r, x = E [R11^-1 (Q^H b)[:r]; 0]. The statistics bound
    sigma_r from R11 and sigma_(r+1) by ||A^H NT||_2, NT = Q[:, r:] the left null space. When
    the bounds show that R kept k columns too many, k of R11's columns are left out and the
    rest factorized again: x then has r - k nonzeros and NT gains k columns.

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

    Examples
    --------
    >>> import numpy as np
    >>> from scipy import sparse
    >>> from tarnix.spqr_rank import spqr_basic
    >>> A = sparse.csc_array(np.array([[1., 1., 0.], [0., 1., 1.], [1., 2., 1.]]))  # rank 2
    >>> b = np.array([1., 2., 3.])
    >>> x, stats = spqr_basic(A, b)
    >>> stats.rank, stats.flag, int(np.count_nonzero(x))
    (2, 0, 2)
    >>> bool(np.allclose(A @ x, b))
    True
    """
    start = time.perf_counter()
    A = _matrix(A)
    B, vector = _rhs(A, b)
    tol = _tolerance(A, tol)
    norm_A = _norm_A(A)
    basic = _basic_factor(A, tol)
    X = _basic_solution(basic, B, A.shape[1])
    following = _null_norm(A, basic.left_null(A.dtype), _rounding_level(A, norm_A), transpose=True)
    stats = _stats(A, basic.rank, tol, basic.sigma, following, left=True, rank_spqr=basic.F.rank, norm_A=norm_A,
                   norm_dropped=basic.F.norm_dropped, start=start, time_qr=basic.seconds)
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

    Examples
    --------
    >>> import numpy as np
    >>> from scipy import sparse
    >>> from tarnix.spqr_rank import spqr_null
    >>> A = sparse.csc_array(np.array([[1., 1., 0.], [0., 1., 1.], [1., 2., 1.]]))  # rank 2
    >>> N, stats = spqr_null(A)
    >>> N.shape, stats.rank, stats.flag
    ((3, 1), 2, 0)
    >>> bool(np.allclose(abs(N.toarray()), 1 / np.sqrt(3)))   # +-(1, -1, 1) / sqrt(3)
    True
    """
    start = time.perf_counter()
    if form not in ("implicit", "explicit"):
        raise ValueError(f"form must be 'implicit' or 'explicit', got {form!r}.")
    A = _matrix(A)
    tol = _tolerance(A, tol)
    norm_A = _norm_A(A)
    null = _null_basis(A, tol)
    following = _null_norm(A, null.N, _rounding_level(A, norm_A))
    stats = _stats(A, null.rank, tol, null.sigma, following, left=False, rank_spqr=null.rank_spqr, norm_A=norm_A,
                   norm_dropped=null.norm_dropped, start=start, time_qr=null.seconds)
    return (null.N if form == "implicit" else null.N._explicit()), stats


def spqr_pinv(A: ArrayLike | _Sparse, b: ArrayLike | _Sparse, *,
              tol: float | None = None) -> tuple[_Array, SPQRRankStats]:
    """The pseudoinverse solution of min ||A x - b|| for the numerical rank of A.

    x = x_basic - N (N^H x_basic): the basic solution of `spqr_basic` with its null-space
    component removed, N from the factorization of A^H (as `spqr_null`). When the two
    factorizations disagree on the rank, the projection would mix two ranks. If the
    factorization of A^H found the higher rank and its bounds certify it (that of A dropped
    columns each at most tol which together are not), the solution comes from it alone:
    x = Q [y; 0] for the least-squares solution y of R[:r, :]^H y = P^T b. Otherwise it comes
    from the complete orthogonal decomposition of `spqr_cod`, whose second factorization
    settles the rank. Parameters and results as `spqr_basic`.

    Examples
    --------
    >>> import numpy as np
    >>> from scipy import sparse
    >>> from tarnix.spqr_rank import spqr_pinv
    >>> A = sparse.csc_array(np.array([[1., 1., 0.], [0., 1., 1.], [1., 2., 1.]]))  # rank 2
    >>> b = np.array([1., 2., 4.])
    >>> x, stats = spqr_pinv(A, b)
    >>> stats.rank, stats.flag
    (2, 0)
    >>> bool(np.allclose(x, np.linalg.pinv(A.toarray()) @ b))
    True
    """
    start = time.perf_counter()
    A = _matrix(A)
    B, vector = _rhs(A, b)
    tol = _tolerance(A, tol)
    norm_A = _norm_A(A)
    basic = _basic_factor(A, tol)
    null = _null_basis(A, tol)
    if basic.rank == null.rank:
        X, stats = _projected(A, B, tol, norm_A, basic, null, start)
        return _shaped(X, vector), stats
    if basic.rank < null.rank and null.G is not None:
        # The factorization of A dropped columns that the one of A^H kept: if the higher rank
        # is certified, the solution comes from the factorization of A^H alone.
        X, stats = _from_adjoint(A, B, tol, norm_A, basic, null, start)
        if stats.flag == 0:
            return _shaped(X, vector), stats
    X, stats = _cod(A, B, tol, norm_A, start, basic.seconds + null.seconds)
    return _shaped(X, vector), stats


def spqr_cod(A: ArrayLike | _Sparse, b: ArrayLike | _Sparse, *,
             tol: float | None = None) -> tuple[_Array, SPQRRankStats]:
    """The pseudoinverse solution through a complete orthogonal decomposition.

    A E = Q1 R1 of rank r, then R1[:r, :]^H P2 = Q2 R2, so that A E ~ Q1[:, :r] P2 R2^H Q2^H and
    x = E Q2 [R2^-H P2^T (Q1^H b)[:r]; 0]. The singular values of R2 are those of R1[:r, :],
    so sigma_r is estimated closely; sigma_(r+1) is bounded by ||A E Q2[:, r:]||_2. When the
    second factorization drops rows that the first kept, its smaller rank is the one used; when
    the bounds show that it too kept singular values at most tol, the solution is that of
    `spqr_pinv` with both of its factorizations corrected (if their ranks then agree).
    Parameters and results as `spqr_basic`.

    Examples
    --------
    >>> import numpy as np
    >>> from scipy import sparse
    >>> from tarnix.spqr_rank import spqr_cod
    >>> A = sparse.csc_array(np.array([[1., 0., 1., 2.], [0., 1., 1., 1.]]))  # wide: 2 x 4
    >>> x, stats = spqr_cod(A, np.array([3., 1.]))
    >>> stats.rank, stats.flag, x.shape
    (2, 0, (4,))
    >>> bool(np.allclose(x, np.linalg.pinv(A.toarray()) @ [3., 1.]))    # the minimum-norm solution
    True
    """
    start = time.perf_counter()
    A = _matrix(A)
    B, vector = _rhs(A, b)
    tol = _tolerance(A, tol)
    norm_A = _norm_A(A)
    X, stats = _cod(A, B, tol, norm_A, start)
    return _shaped(X, vector), stats


def _projected(A: sparse.csc_array, B: _Array, tol: float, norm_A: float, basic: _Basic, null: _Null,
               start: float) -> tuple[_Array, SPQRRankStats]:
    """The basic solution less its component in the null space: x - N N^H x."""
    X = _basic_solution(basic, B, A.shape[1])
    X = X - null.N._times(null.N._times_h(X))
    following = _null_norm(A, null.N, _rounding_level(A, norm_A))
    stats = _stats(A, basic.rank, tol, basic.sigma, following, left=False, rank_spqr=basic.F.rank, norm_A=norm_A,
                   norm_dropped=basic.F.norm_dropped, start=start, time_qr=basic.seconds + null.seconds)
    return X, stats


def _from_adjoint(A: sparse.csc_array, B: _Array, tol: float, norm_A: float, basic: _Basic, null: _Null,
                  start: float) -> tuple[_Array, SPQRRankStats]:
    """The pseudoinverse solution from A^H P = Q R alone: A = P [M^H 0] Q^H, so x = Q [y; 0] with
    y the least-squares solution of M^H y = P^T b, through M^H E3 = Q3 R3 (M^H has full column
    rank r: the bounds on M's sigma_r say so). x lies in the row space of A, hence has no
    component in its null space."""
    G = null.G
    assert G is not None
    S = _factor(_adjoint(G.R_top), 0.0)
    C = _qmult(S.house, B[G.E], "QTX")[:S.rank]
    Y = np.zeros((G.rank, B.shape[1]), B.dtype)
    Y[S.E[S.live]] = _solve_upper(S.R11, C)
    X = _qmult(G.house, np.vstack([Y, np.zeros((A.shape[1] - G.rank, B.shape[1]), B.dtype)]), "QX")
    following = _null_norm(A, null.N, _rounding_level(A, norm_A))
    stats = _stats(A, G.rank, tol, null.sigma, following, left=False, rank_spqr=basic.F.rank, norm_A=norm_A,
                   norm_dropped=null.norm_dropped, start=start, time_qr=basic.seconds + null.seconds + S.seconds)
    return X, stats


def _cod(A: sparse.csc_array, B: _Array, tol: float, norm_A: float, start: float,
         seconds_before: float = 0.0) -> tuple[_Array, SPQRRankStats]:
    """The solution and record of `spqr_cod`."""
    n = A.shape[1]
    F = _factor(A, tol)
    G, sigma = _of_rows(F, A.dtype, tol)
    dropped = F.norm_dropped + G.norm_dropped
    if sigma.k and not seconds_before:
        # Both factorizations kept singular values that the bounds show to be at most tol:
        # the solution is then the projected basic solution of `spqr_pinv`, each factor
        # deflated, if their ranks agree.
        basic, null = _basic_factor(A, tol), _null_basis(A, tol)
        if basic.rank == null.rank:
            return _projected(A, B, tol, norm_A, basic, null, start)
        seconds_before = basic.seconds + null.seconds
    if sigma.k:
        sigma = _sigma_r(G.R11, G.R12, dropped, A.dtype, tol, deflate=False)
    C = _qmult(F.house, B, "QTX")[:F.rank]
    W = np.zeros((n, B.shape[1]), B.dtype)
    W[:G.rank] = _solve_upper_h(G.R11, C[G.E[G.live]])
    X = np.empty_like(W)
    X[F.E] = _qmult(G.house, W, "QX")
    N = SPQRNullBasis(G.house, G.rank, A.dtype, perm=F.E)
    following = _null_norm(A, N, _rounding_level(A, norm_A))
    # The second factorization may drop rows of R1 that the first kept: its rank is the one
    # the bounds (and the solution) are for.
    stats = _stats(A, G.rank, tol, sigma, following, left=False, rank_spqr=F.rank, norm_A=norm_A, norm_dropped=dropped,
                   start=start, time_qr=seconds_before + F.seconds + G.seconds)
    return X, stats
