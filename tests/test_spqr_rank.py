"""tarnix.spqr_rank: numerical rank, null spaces and pseudoinverse solutions, against dense SVDs."""

import dataclasses
import threading
import warnings

import numpy as np
import pytest
from scipy import sparse
from scipy.sparse.linalg import aslinearoperator

from support import load, with_index_dtype
from tarnix.spqr_rank import SPQRNullBasis, SPQRRankStats, spqr_basic, spqr_cod, spqr_null, spqr_pinv

SOLVERS = [spqr_basic, spqr_pinv, spqr_cod]
ALL = SOLVERS + [spqr_null]


def call(f, A, b=None, **kw):
    """(result, stats) of any of the four functions, with a right-hand side when it takes one."""
    if f is spqr_null:
        return f(A, **kw)
    return f(A, np.ones(A.shape[0]) if b is None else b, **kw)


def unitary(k, rng, dtype):
    X = rng.standard_normal((k, k))
    if np.dtype(dtype).kind == "c":
        X = X + 1j * rng.standard_normal((k, k))
    return np.linalg.qr(X)[0]


def sparse_unitary(n, rng, dtype, layers=3, block=3):
    """A sparse unitary matrix: permuted block-diagonal unitary layers, multiplied together."""
    Q = sparse.identity(n, dtype=dtype, format="csc")
    for _ in range(layers):
        sizes = [min(block, n - i) for i in range(0, n, block)]
        B = sparse.block_diag([unitary(k, rng, dtype) for k in sizes], format="csc")
        Q = sparse.csc_array(B @ Q[rng.permutation(n)])
    return Q


def known_svals(m, n, svals, seed, dtype=np.float64, index_dtype=np.int32):
    """A sparse m x n matrix U S V^H whose singular values are svals (zeros after them)."""
    rng = np.random.default_rng(seed)
    S = sparse.csc_array((np.asarray(svals, float), (np.arange(len(svals)), np.arange(len(svals)))),
                         shape=(m, n))
    A = sparse.csc_array(sparse_unitary(m, rng, dtype) @ S @ sparse_unitary(n, rng, dtype).conj().T)
    A.eliminate_zeros()
    return with_index_dtype(A, index_dtype)


def block_svals(m, n, svals, seed, dtype=np.float64, index_dtype=np.int32, blocks=10):
    """A sparse m x n matrix with singular values svals (zeros after them): a block diagonal of
    U_i S_i V_i^H, each dense with random unitary factors, rows and columns permuted."""
    rng = np.random.default_rng(seed)
    bm, bn = m // blocks, n // blocks
    parts = []
    for i in range(blocks):
        S = np.zeros((bm, bn))
        mine = np.asarray(svals[i::blocks], float)
        S[np.arange(mine.size), np.arange(mine.size)] = mine
        parts.append(unitary(bm, rng, dtype) @ S @ unitary(bn, rng, dtype).conj().T)
    A = sparse.csc_array(sparse.block_diag(parts, format="csc")[rng.permutation(m)][:, rng.permutation(n)])
    return with_index_dtype(A, index_dtype)


def gap_matrix(shape, r, dtype, index_dtype, seed, tail=1e-10):
    """sigma_r = 0.1 > 10 tol > 100 sigma_(r+1) for tol = 1e-6."""
    m, n = shape
    svals = np.concatenate([np.logspace(0, -1, r), np.full(min(m, n) - r, tail)])
    return block_svals(m, n, svals, seed, dtype, index_dtype)


def svd(A):
    return np.linalg.svd(A.toarray(), compute_uv=False)


def brackets(lower, value, upper, s):
    """lower <= value <= upper, up to the rounding error of a dense SVD of A (eps ||A||)."""
    slack = 1e-14 * (s[0] if len(s) else 0.0)
    return lower - slack <= value <= upper + slack


def combined(A, k, rng):
    """A with k of its columns replaced by combinations of two others: rank k lower."""
    lost = rng.choice(A.shape[1], k, replace=False)
    kept = np.setdiff1d(np.arange(A.shape[1]), lost)
    i, j = rng.choice(kept, (2, k))
    B = sparse.lil_array(A)
    B[:, lost] = A[:, i] + 0.5 * A[:, j]
    return sparse.csc_array(B)


RANK_DEFICIENT = {
    "GD98_a": lambda: load("GD98_a"),
    "west0067 combined": lambda: combined(load("west0067"), 6, np.random.default_rng(1)),
    "ash219 combined": lambda: combined(load("ash219"), 20, np.random.default_rng(2)),
    "lp_e226 combined": lambda: combined(load("lp_e226"), 260, np.random.default_rng(5)),
    "young1c[:, :300] combined": lambda: combined(load("young1c")[:, :300], 5, np.random.default_rng(3)),
    "c32 widened": lambda: sparse.csc_array(sparse.hstack([load("c32"), (1 + 2j) * load("c32")[:, :1]])),
    "exact rank, complex": lambda: known_svals(70, 50, np.logspace(0, -2, 35), 4, np.complex128),
    "exact rank, wide": lambda: known_svals(40, 90, np.logspace(0, -1, 30), 5),
}

SHAPES = [(60, 40), (40, 60), (50, 50)]


# ---------------------------------------------------------------------------------------------
# Rank and bounds


@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
@pytest.mark.parametrize("dtype", [np.float64, np.complex128], ids=["real", "complex"])
@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_clear_gap_is_certified_and_bracketed(f, dtype, shape, index_dtype):
    r, tol = 25, 1e-6
    A = gap_matrix(shape, r, dtype, index_dtype, seed=shape[0] + shape[1])
    s = svd(A)
    _, st = call(f, A, tol=tol)
    assert st.rank == int((s > tol).sum()) == r
    assert st.flag == 0
    assert st.sval_numbers_for_bounds == (r, r + 1)
    assert abs(st.est_svals[0] - s[r - 1]) <= 0.1 * s[r - 1]
    assert brackets(st.est_sval_lower_bounds[0], s[r - 1], st.est_sval_upper_bounds[0], s)
    assert brackets(0.0, s[r], st.est_sval_upper_bounds[1], s) and st.est_sval_upper_bounds[1] <= tol
    assert st.tol == tol and abs(st.est_norm_A - s[0]) <= 0.05 * s[0]


@pytest.mark.parametrize("name", RANK_DEFICIENT)
@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
def test_rank_of_rank_deficient_matrices(name, f):
    # SuiteSparseQR's own rank is too high at the default tol on some of these (it does not
    # pivot columns); the bounds must find and correct it.
    A = RANK_DEFICIENT[name]()
    s = svd(A)
    _, st = call(f, A)
    true_rank = int((s > st.tol).sum())
    assert true_rank < min(A.shape)
    assert (st.rank, st.flag) == (true_rank, 0) and st.rank_spqr >= st.rank
    assert brackets(st.est_sval_lower_bounds[0], s[st.rank - 1], st.est_sval_upper_bounds[0], s)
    assert brackets(0.0, s[st.rank], st.est_sval_upper_bounds[1], s)


def test_default_tolerance_is_suitesparseqrs():
    A = load("west0067")
    m, n = A.shape
    max_col = np.sqrt((abs(A.toarray()) ** 2).sum(axis=0)).max()
    assert call(spqr_null, A)[1].tol == pytest.approx(20 * (m + n) * np.finfo(float).eps * max_col, rel=1e-12)


@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
def test_kahan_matrix_rank_is_corrected(f):
    # QR without pivoting keeps every column of the Kahan matrix (each has norm > 0.02), yet
    # sigma_n is 1e-11: the rank must come down to n - 1, with bounds that certify it.
    n, c = 90, 0.285
    K = np.diag(np.sqrt(1 - c * c) ** np.arange(n)) @ (np.eye(n) - c * np.triu(np.ones((n, n)), 1))
    K = K @ np.diag(1 - 25 * np.finfo(float).eps * np.arange(n))
    s = np.linalg.svd(K, compute_uv=False)
    assert (s > 1e-10).sum() == n - 1
    x, st = call(f, sparse.csc_array(K), tol=1e-10)
    assert (st.rank_spqr, st.rank, st.flag, st.sval_numbers_for_bounds) == (n, n - 1, 0, (n - 1, n))
    assert brackets(st.est_sval_lower_bounds[0], s[-2], st.est_sval_upper_bounds[0], s)
    assert brackets(0.0, s[-1], st.est_sval_upper_bounds[1], s) and st.est_sval_upper_bounds[1] <= 1e-10
    A, b = sparse.csc_array(K), np.ones(n)
    if f is spqr_basic:
        best = np.linalg.norm(A @ reference_pinv(A, b, 1e-10) - b)
        assert np.count_nonzero(x) <= n - 1 and abs(np.linalg.norm(A @ x - b) - best) <= 1e-8 * best
    elif f is not spqr_null:
        ref = reference_pinv(A, b, 1e-10)
        assert np.linalg.norm(x - ref) <= 1e-8 * np.linalg.norm(ref)


@pytest.mark.parametrize("f", SOLVERS, ids=lambda f: f.__name__)
def test_columns_each_below_tol(f):
    # Forty copies of a column of norm 0.9 tol: each is dropped as zero, together they make a
    # singular value of 4.8 tol. The factorization of A finds too low a rank, and the bound on
    # sigma_(r+1) says so; spqr_pinv takes the rank from its factorization of A^H, whose rows
    # are not that small, and certifies it.
    tol, rng = 1e-6, np.random.default_rng(0)
    u = rng.standard_normal(30)
    A = sparse.hstack([sparse.eye_array(30, 10), np.outer(u / np.linalg.norm(u), np.full(40, 0.9 * tol))]).tocsc()
    s = svd(A)
    b = rng.standard_normal(30)
    x, st = f(A, b, tol=tol)
    assert (s > tol).sum() == 11 and st.rank_spqr == 10
    if f is spqr_pinv:
        assert (st.rank, st.flag) == (11, 0)
        assert brackets(st.est_sval_lower_bounds[0], s[10], st.est_sval_upper_bounds[0], s)
        # Entries of 0.8 tol that the factorization dropped limit the accuracy to about
        # norm_dropped / sigma_r.
        ref = reference_pinv(A, b, tol)
        assert np.linalg.norm(x - ref) <= 2 * st.norm_dropped / s[10] * np.linalg.norm(ref)
    else:
        assert (st.rank, st.flag) == (10, 2)
        assert brackets(0.0, s[10], st.est_sval_upper_bounds[1], s) and st.est_sval_upper_bounds[1] > tol


@pytest.mark.parametrize("seed", range(6))
def test_flag_zero_is_never_wrong(seed):
    # Spectra without a gap with tol among the singular values, and a wide gap on a matrix whose
    # column subsets are ill-conditioned, so that QR without pivoting can keep a column too
    # many: whatever the flag, a certified rank is the SVD's; the upper bound on sigma_r holds.
    rng = np.random.default_rng(seed)
    A = known_svals(45, 35, np.logspace(0, -8, 35) * rng.uniform(0.5, 2, 35), seed)
    gap = known_svals(50, 50, np.r_[np.logspace(0, -1, 25), np.full(25, 1e-10)], seed + 2)
    for A, tol in [(A, 10.0 ** -rng.uniform(2, 7)), (gap, 1e-6)]:
        check_flag_zero_is_right(A, tol)


def check_flag_zero_is_right(A, tol=None):
    s = svd(A)
    for f in ALL:
        _, st = call(f, A, tol=tol)
        assert st.flag in (0, 1, 2, 3)
        r = st.rank
        if st.flag == 0:
            assert r == (s > st.tol).sum()
            assert r == 0 or brackets(st.est_sval_lower_bounds[0], s[r - 1], st.est_sval_upper_bounds[0], s)
        assert r == 0 or brackets(0.0, s[r - 1], st.est_sval_upper_bounds[0], s)
        assert r == min(A.shape) or brackets(0.0, s[r], st.est_sval_upper_bounds[-1], s)


@pytest.mark.parametrize("seed", [9, 12, 30, 36])
def test_bounds_hold_on_random_rank_deficient_matrices(seed):
    # Random sparse matrices with columns made dependent, some scaled to 1e-3 with 1e-12 noise:
    # among them R11 far worse conditioned than R's rows (seed 30: solves through R11 put
    # 1 / s at 6e-15 for sigma_r = 2e-5; seed 9: no lower bound above tol through R11),
    # and sigma_r within 5% of tol (seed 36).
    rng = np.random.default_rng(seed)
    m, n = rng.integers(20, 70, 2)
    A = sparse.random_array((m, n), density=0.15, random_state=seed, format="csc")
    A = combined(A, int(rng.integers(1, min(m, n) // 3 + 2)), rng)
    if seed % 3 == 0:
        A = sparse.csc_array(A * 1e-3 + sparse.random_array((m, n), density=0.02, random_state=seed + 100) * 1e-12)
    check_flag_zero_is_right(A)


@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
@pytest.mark.parametrize("shape", [(0, 4), (4, 0), (5, 4), (1, 1)], ids=str)
def test_degenerate_shapes_and_zero_matrices(f, shape):
    A = sparse.csc_array(shape)
    x, st = call(f, A)
    assert st.rank == 0 and st.flag == 0
    assert st.sval_numbers_for_bounds == ((1,) if min(shape) else ())
    if f is spqr_null:
        assert x.shape == (shape[1], shape[1])
        np.testing.assert_array_equal(x.H @ x.toarray(), np.eye(shape[1]))
    else:
        np.testing.assert_array_equal(x, np.zeros(shape[1]))


def test_stats_record():
    _, st = call(spqr_cod, load("GD98_a"))
    assert isinstance(st, SPQRRankStats)
    with pytest.raises(dataclasses.FrozenInstanceError):
        st.rank = 3
    assert type(st.rank) is type(st.rank_spqr) is int and type(st.tol) is float and type(st.flag) is int
    assert all(type(v) is float for v in st.est_svals + st.est_sval_upper_bounds + st.est_sval_lower_bounds)
    assert st.time >= st.time_qr > 0
    assert st.est_norm_A_transpose_times_NT is None and st.est_norm_A_times_N is not None
    _, st = call(spqr_basic, load("GD98_a"))
    assert st.est_norm_A_times_N is None and st.est_norm_A_transpose_times_NT is not None


# ---------------------------------------------------------------------------------------------
# Null spaces


@pytest.mark.parametrize("dtype", [np.float64, np.complex128], ids=["real", "complex"])
@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_null_space_is_orthonormal_and_bounded(dtype, shape, index_dtype):
    A = gap_matrix(shape, 25, dtype, index_dtype, seed=3)
    N, st = spqr_null(A, tol=1e-6)
    Nd = N.toarray()
    n = shape[1]
    assert N.shape == Nd.shape == (n, n - 25) and N.dtype == A.dtype
    np.testing.assert_allclose(Nd.conj().T @ Nd, np.eye(n - 25), atol=1e-12)
    norm_AN = np.linalg.norm(A @ Nd, 2)
    s = svd(A)
    assert brackets(st.est_norm_A_times_N, norm_AN, st.est_norm_A_times_N + st.est_err_bound_norm_A_times_N, s)
    assert norm_AN <= st.tol
    # The same subspace as the SVD's trailing right singular vectors.
    V = np.linalg.svd(A.toarray())[2].conj().T[:, 25:]
    assert np.linalg.norm(Nd @ Nd.conj().T - V @ V.conj().T, 2) < 1e-5


@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_cod_bounds_sigma_r_plus_one_closely(shape):
    A = gap_matrix(shape, 25, np.float64, np.int32, seed=9)
    s = svd(A)
    _, st = spqr_cod(A, np.ones(shape[0]), tol=1e-6)
    assert brackets(st.est_sval_lower_bounds[1], s[25], st.est_sval_upper_bounds[1], s)
    assert abs(st.est_svals[1] - s[25]) <= 0.1 * s[25]


NULL_BASES = {
    "real": lambda: (gap_matrix((30, 40), 12, np.float64, np.int64, seed=11), 1e-6),
    "complex": lambda: (gap_matrix((30, 40), 12, np.complex128, np.int64, seed=11), 1e-6),
    # SuiteSparseQR keeps a column too many: the basis gains a vector from R's leading rows.
    "set-aside vector": lambda: (RANK_DEFICIENT["exact rank, wide"](), None),
    # ... several too many: the basis comes from a complete orthogonal decomposition.
    "orthogonal decomposition": lambda: (RANK_DEFICIENT["young1c[:, :300] combined"](), None),
}


@pytest.mark.parametrize("case", NULL_BASES)
def test_null_basis_products_match_its_array(case):
    A, tol = NULL_BASES[case]()
    N, st = spqr_null(A, tol=tol)
    Nd = N.toarray()
    n, k = Nd.shape
    np.testing.assert_allclose(Nd.conj().T @ Nd, np.eye(k), atol=1e-12)
    assert np.linalg.norm(A @ Nd, 2) <= st.est_norm_A_times_N + st.est_err_bound_norm_A_times_N <= st.tol
    rng = np.random.default_rng(0)
    X = rng.standard_normal((k, 3)) + 1j * rng.standard_normal((k, 3))
    Y = rng.standard_normal((n, 2)) + 1j * rng.standard_normal((n, 2))
    cases = [(N, Nd, X), (N.H, Nd.conj().T, Y), (N.conj().T, Nd.conj().T, Y), (N.T, Nd.T, Y),
             (N.conj(), Nd.conj(), X), (N.H.H, Nd, X.real)]
    for op, dense, Z in cases:
        assert op.shape == dense.shape
        np.testing.assert_allclose(op @ Z, dense @ Z, atol=1e-13)
        np.testing.assert_allclose(op @ Z[:, 0], dense @ Z[:, 0], atol=1e-13)
        np.testing.assert_allclose(op.toarray(), dense, atol=1e-13)
        np.testing.assert_allclose(op.tocsc().toarray(), dense, atol=1e-13)
    np.testing.assert_allclose(Y.T @ N, Y.T @ Nd, atol=1e-13)
    np.testing.assert_allclose(N @ sparse.csc_array(X.real), Nd @ X.real, atol=1e-13)
    L = aslinearoperator(N)
    np.testing.assert_allclose(L.matvec(X[:, 0]), Nd @ X[:, 0], atol=1e-13)
    np.testing.assert_allclose(L.rmatvec(Y[:, 0]), Nd.conj().T @ Y[:, 0], atol=1e-13)
    np.testing.assert_allclose(L.H @ Y, Nd.conj().T @ Y, atol=1e-13)
    with pytest.raises(ValueError, match="does not fit"):
        N @ np.ones(k - 1)
    with pytest.raises(ValueError, match="does not fit"):
        N @ np.ones((k, 2, 2))


def test_explicit_form_is_csc_when_smaller():
    # The null space of a graph's incidence matrix is spanned by sparse component indicators,
    # and of a matrix with a dense orthogonal factor by a dense basis.
    sparse_case = incidence([(0, 1), (1, 2), (3, 4), (5, 6), (6, 7)], 8).T.tocsc()
    dense_case = known_svals(20, 30, np.logspace(0, -1, 10), 1)
    for A, kind in [(sparse_case, sparse.csc_array), (dense_case, np.ndarray)]:
        N, st = spqr_null(A, tol=1e-6, form="explicit")
        assert type(N) is kind
        Nd = N.toarray() if kind is sparse.csc_array else N
        np.testing.assert_allclose(Nd, spqr_null(A, tol=1e-6)[0].toarray(), atol=1e-14)


def incidence(edges, n):
    """The n x len(edges) incidence matrix of a graph (+1 and -1 in each column)."""
    e = np.asarray(edges).reshape(-1, 2)
    k = len(e)
    cols = np.r_[np.arange(k), np.arange(k)]
    return sparse.csc_array((np.r_[np.ones(k), -np.ones(k)], (np.r_[e[:, 0], e[:, 1]], cols)), shape=(n, k))


def grid_edges(rows, cols, offset):
    idx = np.arange(rows * cols).reshape(rows, cols) + offset
    return np.concatenate([np.stack([idx[:, :-1].ravel(), idx[:, 1:].ravel()], 1),
                           np.stack([idx[:-1].ravel(), idx[1:].ravel()], 1)])


def test_null_space_of_a_large_graph_spans_its_components():
    sizes = [(200, 200), (200, 150), (150, 200)]
    starts = np.cumsum([0] + [r * c for r, c in sizes])
    A = incidence(np.concatenate([grid_edges(r, c, o) for (r, c), o in zip(sizes, starts)]), starts[-1])
    assert A.shape[0] == 100_000
    N, st = spqr_null(A.T.tocsc())
    assert N.shape == (100_000, 3) and st.flag == 0
    indicators = np.zeros((100_000, 3))
    for j in range(3):
        indicators[starts[j]:starts[j + 1], j] = 1 / np.sqrt(starts[j + 1] - starts[j])
    # Orthonormal bases of the same subspace: the indicators lie in span(N) and vice versa.
    np.testing.assert_allclose(N @ (N.H @ indicators), indicators, atol=1e-10)
    np.testing.assert_allclose(np.linalg.svd(N.H @ indicators, compute_uv=False), 1, atol=1e-10)


# ---------------------------------------------------------------------------------------------
# Solutions


def reference_pinv(A, b, tol):
    D = A.toarray()
    s0 = np.linalg.norm(D, 2)
    return np.linalg.pinv(D, rcond=tol / s0 if s0 else 0.0) @ b


def rhs(m, k, dtype, seed=0):
    rng = np.random.default_rng(seed)
    b = rng.standard_normal((m, k))
    return b + 1j * rng.standard_normal((m, k)) if np.dtype(dtype).kind == "c" else b


@pytest.mark.parametrize("name", RANK_DEFICIENT)
@pytest.mark.parametrize("f", [spqr_pinv, spqr_cod], ids=lambda f: f.__name__)
def test_pseudoinverse_solutions_match_numpy(name, f):
    A = RANK_DEFICIENT[name]()
    b = rhs(A.shape[0], 2, A.dtype)
    x, st = f(A, b)
    ref = reference_pinv(A, b, st.tol)
    assert x.shape == ref.shape and x.dtype == A.dtype and st.flag == 0
    # The solution is as sensitive as sigma_1 / sigma_r: no two stable methods (nor two LAPACK
    # builds of numpy's) agree better than that times eps (lp_e226's is 1.4e8).
    s = svd(A)
    agree = max(1e-8, 10 * s[0] / s[st.rank - 1] * np.finfo(float).eps)
    assert np.linalg.norm(x - ref) <= agree * np.linalg.norm(ref)


@pytest.mark.parametrize("name", RANK_DEFICIENT)
def test_basic_solution_is_least_squares_and_sparse(name):
    A = RANK_DEFICIENT[name]()
    b = rhs(A.shape[0], 1, A.dtype)[:, 0]
    # Where the flag is not 0 the rank, and so the solution, may differ from the SVD's.
    x, st = spqr_basic(A, b)
    ref = reference_pinv(A, b, st.tol)
    best = np.linalg.norm(A @ ref - b)
    assert x.shape == (A.shape[1],) and np.count_nonzero(x) <= st.rank
    assert st.flag != 0 or abs(np.linalg.norm(A @ x - b) - best) <= 1e-8 * max(best, np.linalg.norm(b))


@pytest.mark.parametrize("f", SOLVERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("dtype", [np.float64, np.complex128], ids=["real", "complex"])
def test_right_hand_side_forms(f, dtype, index_dtype):
    A = known_svals(30, 20, np.logspace(0, -1, 12), 6, dtype, index_dtype)
    B = rhs(30, 3, dtype, seed=1)
    X, _ = f(A, B)
    assert X.shape == (20, 3)
    np.testing.assert_allclose(f(A, B[:, 1])[0], X[:, 1], atol=1e-12)
    np.testing.assert_allclose(f(A, sparse.csc_array(B))[0], X, atol=1e-12)
    np.testing.assert_allclose(f(A, sparse.csr_matrix(B[:, :1]))[0], X[:, :1], atol=1e-12)
    assert f(A, np.ones(30, dtype=np.int64))[0].dtype == dtype
    assert f(A, np.ones((30, 0)))[0].shape == (20, 0)


# ---------------------------------------------------------------------------------------------
# Arguments


@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
def test_bad_arguments(f):
    A = load("lfat5b")
    for tol in (-1.0, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="tol must be a finite number >= 0 or None"):
            call(f, A, tol=tol)
    with pytest.raises(TypeError):
        call(f, A, tol=[1e-3])
    with pytest.raises(ValueError, match="A must be two-dimensional"):
        call(f, np.ones((3, 3, 3)))
    if f is spqr_null:
        with pytest.raises(ValueError, match="form must be 'implicit' or 'explicit', got 'dense'."):
            f(A, form="dense")
        return
    with pytest.raises(ValueError, match=r"^b must be an ndarray or sparse matrix\.$"):
        f(A, [1.0] * 14)
    with pytest.raises(ValueError, match=r"^b must be a 1D or 2D array\.$"):
        f(A, np.ones((14, 1, 1)))
    with pytest.raises(ValueError, match=r"Got b.shape=\(13,\), but A.shape=\(14, 14\)\.$"):
        f(A, np.ones(13))
    with pytest.raises(TypeError, match="Cannot safely cast b.dtype=dtype"):
        f(A, np.ones(14, dtype=complex))


def test_hostile_tolerance_and_threads():
    class Tol:
        calls = 0

        def __float__(self):
            Tol.calls += 1
            if Tol.calls > 1:
                raise ZeroDivisionError("second look")
            return 1e-6

    A = gap_matrix((40, 30), 12, np.float64, np.int32, seed=2)
    _, st = spqr_null(A, tol=Tol())
    assert st.tol == 1e-6 and st.rank == 12
    with pytest.raises(ZeroDivisionError, match="second look"):
        spqr_null(A, tol=Tol())

    class Bad:
        def __float__(self):
            return "x"

    with pytest.raises(TypeError):
        spqr_cod(A, np.ones(40), tol=Bad())
    expected = {f: call(f, A, tol=1e-6)[0] for f in SOLVERS}

    class Wrecker:
        # Read once A and b are checked: what it does to them must not reach the answer.
        def __float__(self):
            A.data[:] = np.nan
            b[:] = 0.0
            return 1e-6

    for f in SOLVERS:
        b, kept = np.ones(40), A.copy()
        np.testing.assert_allclose(f(A, b, tol=Wrecker())[0], expected[f], atol=1e-14)
        A = kept
    errors = []

    def work(f):
        try:
            for _ in range(3):
                np.testing.assert_allclose(call(f, A, tol=1e-6)[0], expected[f], atol=1e-14)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(f,)) for f in SOLVERS * 2]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


def test_no_warnings_of_its_own():
    # Canonical CSC input: whatever a caller's warning filters, nothing inside warns.
    A = RANK_DEFICIENT["west0067 combined"]()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for f in ALL:
            call(f, A)
        spqr_null(A, form="explicit")[0]


def test_input_is_not_modified():
    A = load("GD98_a", np.int64)
    before = [a.copy() for a in (A.indptr, A.indices, A.data)]
    b = np.ones(A.shape[0])
    for f in ALL:
        call(f, A, b)
    assert all(np.array_equal(a, c) and a.dtype == c.dtype for a, c in zip((A.indptr, A.indices, A.data), before))
    np.testing.assert_array_equal(b, 1)
    assert isinstance(spqr_null(A)[0], SPQRNullBasis)
