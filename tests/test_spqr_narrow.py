"""Products with Q for narrow operands: the sparse Householder kernel.

solve, qmult and spqr_qmult apply Q vector by vector for operands with few
columns (Q'X, QX) or few rows (XQ', XQ) and through SuiteSparseQR_qmult
otherwise; tarnix.spqr._narrow_limit moves the boundary so that every case
runs down both paths. The kernel's results are checked against the library's
and against dense references (Q rebuilt column by column, NumPy's lstsq), on
real and complex matrices, both index widths, tall, wide and square,
rank-deficient, and with singletons; then the life of the index a factor
keeps (copy, refactorize, re-initialisation), and callbacks that change the
factor while a call is being prepared.
"""

from __future__ import annotations

import numpy as np
import pytest
from scipy import sparse

from support import load, random_csc, with_index_dtype

from tarnix import spqr as spqr_module
from tarnix.spqr import SPQRFactor, spqr, spqr_qmult

METHODS = ["QTX", "QX", "XQT", "XQ"]
NARROW = 10**9  # every width takes the kernel


@pytest.fixture
def limit():
    """Sets the narrow limit for a test and restores it afterwards (a test hook: skipped without it)."""
    if not hasattr(spqr_module, "_narrow_limit"):
        pytest.skip("tarnix.spqr._narrow_limit is built with -Ccmake.define.TARNIX_TESTING=ON only")
    previous = spqr_module._narrow_limit()
    yield spqr_module._narrow_limit
    spqr_module._narrow_limit(previous)


def both_paths(limit, fn):
    limit(0)
    library = fn()
    limit(NARROW)
    kernel = fn()
    return library, kernel


def assert_close(got, want, scale=1.0):
    np.testing.assert_allclose(got, want, rtol=1e-11, atol=1e-12 * max(1.0, scale))


def operand(rng, shape, dtype):
    X = rng.standard_normal(shape)
    if np.dtype(dtype).kind == "c":
        X = X + 1j * rng.standard_normal(shape)
    return X


def with_singletons(rng, m, n, dtype, index_dtype):
    """[D B; 0 C] with D diagonal: its columns are column singletons."""
    k = min(m, n) // 3
    D = sparse.diags_array(rng.uniform(1, 2, size=k), shape=(k, k))
    B = random_csc(k, n - k, 0.2, rng, dtype)
    C = random_csc(m - k, n - k, 0.15, rng, dtype) + sparse.eye_array(m - k, n - k)
    A = sparse.csc_array(sparse.block_array([[D, B], [None, C]]).astype(dtype))
    A.sum_duplicates()
    return with_index_dtype(A, index_dtype)


def rank_deficient(rng, m, n, dtype, index_dtype):
    """Three columns repeated and one scaled copy: rank n - 4 at most."""
    A = random_csc(m, n - 4, 0.15, rng, dtype) + sparse.eye_array(m, n - 4)
    A = sparse.csc_array(sparse.hstack([A, A[:, [0, 2, 5]], 2.0 * A[:, [1]]]).astype(dtype))
    return with_index_dtype(A, index_dtype)


def plain(rng, m, n, dtype, index_dtype):
    A = random_csc(m, n, 0.1, rng, dtype) + sparse.eye_array(m, n)
    return with_index_dtype(sparse.csc_array(A.astype(dtype)), index_dtype)


SHAPES = {"tall": (70, 40), "wide": (40, 70), "square": (50, 50)}
KINDS = {"plain": plain, "singletons": with_singletons, "rank-deficient": rank_deficient}


def make_factor(kind, shape, dtype, index_dtype, seed=0):
    rng = np.random.default_rng(seed)
    A = KINDS[kind](rng, *shape, dtype, index_dtype)
    if kind == "singletons":
        f = SPQRFactor(A, use_singletons=True)
    else:
        f = SPQRFactor(A)
        f.factorize(A)
    return A, f


def dense_q(f, limit):
    """Q rebuilt from the library's product with the identity."""
    m = f.shape[0]
    limit(0)
    Q = f.qmult(np.eye(m, dtype=f.dtype), "QX")
    limit(NARROW)
    return Q


@pytest.mark.filterwarnings("ignore::tarnix.spqr.SPQRRankDeficiencyWarning")
@pytest.mark.parametrize("kind", list(KINDS))
@pytest.mark.parametrize("shape", list(SHAPES))
@pytest.mark.parametrize("dtype", [np.float64, np.complex128], ids=["real", "complex"])
def test_factor_qmult_all_methods(limit, kind, shape, dtype, index_dtype):
    A, f = make_factor(kind, SHAPES[shape], dtype, index_dtype)
    if kind == "singletons":
        assert f.info.n1cols > 0
    m = A.shape[0]
    Q = dense_q(f, limit)
    np.testing.assert_allclose(Q.conj().T @ Q, np.eye(m), atol=1e-12)
    rng = np.random.default_rng(1)
    reference = {"QX": lambda X: Q @ X, "QTX": lambda X: Q.conj().T @ X,
                 "XQ": lambda X: X @ Q, "XQT": lambda X: X @ Q.conj().T}
    for method in METHODS:
        for width in (1, 3, 8):
            shape_x = (m, width) if method in ("QX", "QTX") else (width, m)
            X = operand(rng, shape_x, dtype)
            library, kernel = both_paths(limit, lambda: f.qmult(X, method))
            assert kernel.shape == library.shape == X.shape
            assert_close(kernel, library)
            assert_close(kernel, reference[method](X))


@pytest.mark.filterwarnings("ignore::tarnix.spqr.SPQRRankDeficiencyWarning")
@pytest.mark.parametrize("kind", list(KINDS))
@pytest.mark.parametrize("dtype", [np.float64, np.complex128], ids=["real", "complex"])
def test_factor_qmult_vector_and_layouts(limit, kind, dtype, index_dtype):
    A, f = make_factor(kind, SHAPES["tall"], dtype, index_dtype)
    m = A.shape[0]
    rng = np.random.default_rng(2)
    x = operand(rng, (m,), dtype)
    for method in ("QTX", "QX"):
        library, kernel = both_paths(limit, lambda: f.qmult(x, method))
        assert kernel.shape == library.shape == (m,)
        assert_close(kernel, library)
    # C-ordered and strided operands give what their Fortran copies give.
    X = operand(rng, (m, 6), dtype)
    for Xv in (np.ascontiguousarray(X), X[:, ::2], np.asfortranarray(X)[::-1]):
        library, kernel = both_paths(limit, lambda: f.qmult(Xv, "QTX"))
        assert_close(kernel, library)


@pytest.mark.parametrize("shape", ["tall", "square"])
@pytest.mark.parametrize("dtype", [np.float64, np.complex128], ids=["real", "complex"])
@pytest.mark.parametrize("kind", ["plain", "singletons"])
def test_solve_against_lstsq(limit, kind, shape, dtype, index_dtype):
    A, f = make_factor(kind, SHAPES[shape], dtype, index_dtype, seed=3)
    Ad = A.toarray()
    rng = np.random.default_rng(4)
    for width in (1, 2, 5):
        b = operand(rng, (A.shape[0], width), dtype)
        library, kernel = both_paths(limit, lambda: f.solve(b))
        assert_close(kernel, library)
        assert_close(kernel, np.linalg.lstsq(Ad, b, rcond=None)[0], np.abs(library).max())
        c = operand(rng, (A.shape[1], width), dtype)
        library, kernel = both_paths(limit, lambda: f.solve(c, transpose=True))
        assert_close(kernel, library)
        # The minimum-norm solution of A^H x = c.
        assert_close(kernel, np.linalg.lstsq(Ad.conj().T, c, rcond=None)[0], np.abs(library).max())
    x = operand(rng, (A.shape[0],), dtype)
    library, kernel = both_paths(limit, lambda: f.solve(x))
    assert kernel.shape == library.shape == (A.shape[1],)
    assert_close(kernel, library)


@pytest.mark.parametrize("transpose", [False, True])
def test_sparse_right_hand_sides_in_narrow_batches(limit, transpose, index_dtype):
    """A sparse b is solved in dense batches of rhs_batch_size columns: narrow ones take the kernel."""
    A, f = make_factor("singletons", SHAPES["tall"], np.float64, index_dtype, seed=19)
    rows = A.shape[1] if transpose else A.shape[0]
    b = sparse.csc_array(sparse.random_array((rows, 7), density=0.3, rng=20))
    library, kernel = both_paths(limit, lambda: f.solve(b, transpose=transpose, rhs_batch_size=3))
    assert_close(kernel.toarray(), library.toarray())


@pytest.mark.filterwarnings("ignore::tarnix.spqr.SPQRRankDeficiencyWarning")
@pytest.mark.parametrize("kind", ["rank-deficient"])
@pytest.mark.parametrize("shape", list(SHAPES))
def test_solve_rank_deficient_matches_library(limit, kind, shape, index_dtype):
    for dtype in (np.float64, np.complex128):
        A, f = make_factor(kind, SHAPES[shape], dtype, index_dtype, seed=5)
        rng = np.random.default_rng(6)
        b = operand(rng, (A.shape[0], 2), dtype)
        library, kernel = both_paths(limit, lambda: f.solve(b))
        assert_close(kernel, library, np.abs(library).max())
        c = operand(rng, (A.shape[1], 2), dtype)
        library, kernel = both_paths(limit, lambda: f.solve(c, transpose=True))
        assert_close(kernel, library, np.abs(library).max())


@pytest.mark.parametrize("name", ["west0067", "ash219", "lp_e226", "c32", "494_bus"])
def test_real_matrices(limit, name, index_dtype):
    A = load(name, index_dtype)
    f = SPQRFactor(A, use_singletons=True)
    rng = np.random.default_rng(7)
    m = A.shape[0]
    for method in METHODS:
        shape_x = (m, 2) if method in ("QX", "QTX") else (2, m)
        X = operand(rng, shape_x, A.dtype)
        library, kernel = both_paths(limit, lambda: f.qmult(X, method))
        assert_close(kernel, library, np.abs(library).max())
        # Q is unitary: the kernel's Q' undoes the kernel's Q.
        inverse = {"QX": "QTX", "QTX": "QX", "XQ": "XQT", "XQT": "XQ"}[method]
        assert_close(f.qmult(kernel, inverse), X, np.abs(X).max())


def stacked_laplacian(k):
    """The 2-D Laplacian of a k x k grid stacked on half the identity: many fronts and a deep tree."""
    one = sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(k, k))
    L = sparse.kron(one, sparse.eye_array(k)) + sparse.kron(sparse.eye_array(k), one)
    return sparse.csc_array(sparse.vstack([L, 0.5 * sparse.eye_array(k * k)]))


def test_larger_grid(limit):
    A = stacked_laplacian(70)
    f = SPQRFactor(A)
    f.factorize(A)
    rng = np.random.default_rng(8)
    b = rng.standard_normal(A.shape[0])
    library, kernel = both_paths(limit, lambda: f.solve(b))
    assert_close(kernel, library, np.abs(library).max())
    r = A @ kernel - b
    np.testing.assert_allclose(A.T @ r, 0, atol=1e-10 * np.abs(b).max())


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("dtype", [np.float64, np.complex128], ids=["real", "complex"])
def test_spqr_qmult_householder_triple(limit, method, dtype, index_dtype):
    rng = np.random.default_rng(9)
    A = plain(rng, 60, 35, dtype, index_dtype)
    house = spqr(A, mode="householder")[0]
    m = A.shape[0]
    for width in (1, 4):
        shape_x = (m, width) if method in ("QX", "QTX") else (width, m)
        X = operand(rng, shape_x, dtype)
        library, kernel = both_paths(limit, lambda: spqr_qmult(house, X, method))
        assert_close(kernel, library)
    if method in ("QX", "QTX"):
        x = operand(rng, (m,), dtype)
        library, kernel = both_paths(limit, lambda: spqr_qmult(house, x, method))
        assert kernel.shape == library.shape == (m,)
        assert_close(kernel, library)


@pytest.mark.parametrize("method", METHODS)
def test_spqr_qmult_vectors_touching_earlier_first_rows(limit, method):
    """Vectors that touch an earlier vector's first row, in separate panels of the library's.

    The third vector's smallest row is the second one's: the library starts a
    new panel with it and applies both in full, as the kernel does.
    """
    rng = np.random.default_rng(4)
    m = 7
    H = sparse.random_array((m, 3), density=0.6, rng=rng, format="csc").tolil()
    H[0, 0] = H[1, 1] = H[2, 2] = 1.0
    H[1, 2] = 0.5                      # the third vector touches the second's first row
    H = sparse.csc_array(H)
    house = (H, np.array([0.4, 0.9, 1.3]), np.arange(m, dtype=np.int32)[::-1].copy())
    shape_x = (m, 2) if method in ("QX", "QTX") else (2, m)
    X = rng.standard_normal(shape_x)
    library, kernel = both_paths(limit, lambda: spqr_qmult(house, X, method))
    assert_close(kernel, library)


@pytest.mark.parametrize("method", METHODS)
def test_spqr_qmult_takes_the_kernel_for_spqrs_own_triple(limit, method):
    """SPQR's own multifrontal H has vectors touching earlier first rows (its
    contribution blocks go on to the parent fronts), but never inside one of
    the library's panels: the kernel applies it, to the library's answer."""
    A = stacked_laplacian(20)
    house = spqr(A, mode="householder")[0]
    m = A.shape[0]
    X = np.random.default_rng(2).standard_normal((m, 3) if method in ("QX", "QTX") else (3, m))
    library, kernel = both_paths(limit, lambda: spqr_qmult(house, X, method))
    assert_close(kernel, library, np.abs(library).max())
    # Different rounding shows that the kernel, not the library, made it.
    assert not np.array_equal(kernel, library)


def _above_a_diagonal():
    """A triple one of whose vectors touches, inside a panel the library builds
    forward, the first row of an earlier vector of that panel (the fourth
    vector's row 8 is the third one's first): the library's block reflector
    does not read that entry."""
    m = 10
    H = np.zeros((m, 4))
    rng = np.random.default_rng(0)
    for k, rows in enumerate([[0, 3, 8], [3, 4], [8, 9], [4, 8]]):
        H[rows, k] = rng.uniform(0.5, 1.5, len(rows))
        H[rows[0], k] = 1.0
    return H, np.array([0.7, 1.1, 0.4, 0.9])


@pytest.mark.parametrize("method", METHODS)
def test_spqr_qmult_keeps_the_library_where_its_panels_skip_entries(limit, method):
    H, tau = _above_a_diagonal()
    m = H.shape[0]
    house = (sparse.csc_array(H), tau, np.arange(m, dtype=np.int32))
    X = np.random.default_rng(1).standard_normal((m, 2) if method in ("QX", "QTX") else (2, m))
    library, kernel = both_paths(limit, lambda: spqr_qmult(house, X, method))
    if method in ("QTX", "XQ"):
        # Built forward, the panel skips the entry: only the library gives its own answer ...
        np.testing.assert_array_equal(kernel, library)
        one_by_one = X.copy() if method == "QTX" else X.T.copy()
        for k in range(H.shape[1]):
            one_by_one -= tau[k] * np.outer(H[:, k], H[:, k] @ one_by_one)
        one_by_one = one_by_one if method == "QTX" else one_by_one.T
        assert np.abs(library - one_by_one).max() > 0.1
    else:
        # ... built backward, no panel holds both vectors.
        assert_close(kernel, library)


def test_spqr_qmult_random_triples_as_the_library(limit):
    rng = np.random.default_rng(11)
    for _ in range(300):
        m, k = int(rng.integers(3, 12)), int(rng.integers(1, 8))
        H = sparse.random_array((m, k), density=float(rng.uniform(0.2, 0.8)), rng=rng, format="lil")
        for j in range(min(m, k)):
            if rng.random() < 0.8:
                H[j, j] = 1.0
        H = sparse.csc_array(H)
        if (np.diff(H.indptr) == 0).any():
            continue
        house = (H, rng.uniform(0.2, 1.5, k), rng.permutation(m).astype(np.int32))
        for method in METHODS:
            X = rng.standard_normal((m, 2) if method in ("QX", "QTX") else (2, m))
            library, kernel = both_paths(limit, lambda: spqr_qmult(house, X, method))
            assert_close(kernel, library)


def test_spqr_qmult_no_vectors(limit):
    """An H without columns: Q is the permutation alone."""
    H = sparse.csc_array((5, 0))
    house = (H, np.zeros(0), np.array([3, 0, 4, 1, 2], dtype=np.int32))
    X = np.arange(10.0).reshape(5, 2)
    for method in ("QX", "QTX"):
        library, kernel = both_paths(limit, lambda: spqr_qmult(house, X, method))
        np.testing.assert_array_equal(kernel, library)


def test_zero_width_and_empty_factor(limit):
    A = sparse.csc_array((6, 4))
    f = SPQRFactor(A, use_singletons=True)
    for method, shape in (("QX", (6, 1)), ("QTX", (6, 2)), ("XQ", (1, 6)), ("XQT", (3, 6)), ("QX", (6, 0))):
        X = np.arange(float(np.prod(shape))).reshape(shape)
        library, kernel = both_paths(limit, lambda: f.qmult(X, method))
        np.testing.assert_array_equal(kernel, library)


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_empty_matrices(limit, shape):
    f = SPQRFactor(sparse.csc_array(shape), use_singletons=True)
    m = shape[0]
    for method, X in (("QX", np.ones((m, 1))), ("QTX", np.ones((m, 2))), ("XQ", np.ones((1, m)))):
        library, kernel = both_paths(limit, lambda: f.qmult(X, method))
        assert kernel.shape == library.shape == X.shape
    library, kernel = both_paths(limit, lambda: f.solve(np.ones(m)))
    np.testing.assert_array_equal(kernel, library)


@pytest.mark.parametrize("dtype", [np.float64, np.complex128], ids=["real", "complex"])
def test_limit_boundary(limit, dtype):
    """Widths on both sides of the limit agree with the library."""
    A, f = make_factor("plain", SHAPES["tall"], dtype, np.int32)
    rng = np.random.default_rng(10)
    limit(0)
    X = operand(rng, (A.shape[0], 6), dtype)
    want = f.qmult(X, "QTX")
    for value in (5, 6, 7):
        limit(value)
        assert_close(f.qmult(X, "QTX"), want)


def test_limit_argument_checks(limit):
    with pytest.raises(ValueError, match="limit must be >= 0"):
        spqr_module._narrow_limit(-1)
    with pytest.raises(TypeError):
        spqr_module._narrow_limit("8")
    assert spqr_module._narrow_limit(3) >= 0
    assert spqr_module._narrow_limit() == 3


# ---------------------------------------------------------------------------
# The index a factor keeps


def test_copy_carries_the_index(limit):
    A, f = make_factor("singletons", SHAPES["tall"], np.float64, np.int32)
    rng = np.random.default_rng(11)
    b = rng.standard_normal((A.shape[0], 2))
    limit(NARROW)
    first = f.qmult(b, "QTX")  # builds the index
    g = f.copy()
    del f
    limit(0)
    want = g.qmult(b, "QTX")
    limit(NARROW)
    assert_close(g.qmult(b, "QTX"), want)
    assert_close(first, want)
    h = g.copy()  # a copy of a copy, before and after its first narrow use
    assert_close(h.qmult(b, "QTX"), want)
    assert_close(h.copy().qmult(b, "QTX"), want)


@pytest.mark.filterwarnings("ignore::tarnix.spqr.SPQRRankDeficiencyWarning")
def test_refactorize_renews_the_index(limit):
    """New values of the same pattern, down to rank deficiency: the vectors change."""
    rng = np.random.default_rng(12)
    A = plain(rng, 60, 30, np.float64, np.int32)
    f = SPQRFactor(A)
    f.factorize(A)
    b = rng.standard_normal((60, 1))
    limit(NARROW)
    f.solve(b)
    B = A.copy()
    B.data = rng.standard_normal(B.nnz)
    C = A.copy()
    C.data[C.indptr[3]:C.indptr[5]] = 0.0  # columns 3 and 4 now zero: dead columns
    for M in (B, C, A):
        f.factorize(M)
        library, kernel = both_paths(limit, lambda: f.qmult(b, "QTX"))
        assert_close(kernel, library)
        library, kernel = both_paths(limit, lambda: f.solve(b))
        assert_close(kernel, library, np.abs(library).max())


def test_reinit_drops_the_index(limit):
    rng = np.random.default_rng(13)
    A = plain(rng, 50, 20, np.float64, np.int32)
    B = plain(rng, 80, 70, np.complex128, np.int64)
    f = SPQRFactor(A, use_singletons=True)
    limit(NARROW)
    f.qmult(rng.standard_normal((50, 1)), "QTX")
    f.__init__(B, use_singletons=True)
    X = operand(rng, (80, 2), np.complex128)
    library, kernel = both_paths(limit, lambda: f.qmult(X, "QTX"))
    assert_close(kernel, library)


# ---------------------------------------------------------------------------
# Python code that changes the factor while a call is being prepared


class Flag:
    """A truth value whose __bool__ runs `action` first."""

    def __init__(self, action, value=False):
        self.action = action
        self.value = value

    def __bool__(self):
        self.action()
        return self.value


@pytest.mark.parametrize("transpose", [False, True])
def test_solve_flag_refactorizes(limit, transpose):
    """The transpose flag refactorizes with other values: the solve uses the new factorization."""
    rng = np.random.default_rng(14)
    A = plain(rng, 50, 30, np.float64, np.int32)
    B = A.copy()
    B.data = rng.standard_normal(B.nnz)
    b = rng.standard_normal(50 if not transpose else 30)
    f = SPQRFactor(A)
    f.factorize(A)
    limit(NARROW)
    f.solve(np.ones(50))  # the index of A's factorization
    got = f.solve(b, transpose=Flag(lambda: f.factorize(B), transpose))
    g = SPQRFactor(B)
    g.factorize(B)
    limit(0)
    assert_close(got, g.solve(b, transpose=transpose), 1e3)


def test_solve_flag_reinitialises(limit):
    """The flag re-initialises the factor with a matrix of another shape."""
    rng = np.random.default_rng(15)
    A = plain(rng, 50, 30, np.float64, np.int32)
    B = plain(rng, 40, 40, np.float64, np.int64)
    f = SPQRFactor(A, use_singletons=True)
    limit(NARROW)
    f.solve(np.ones(50))
    b = rng.standard_normal(50)
    try:
        x = f.solve(b, transpose=Flag(lambda: f.__init__(B, use_singletons=True)))
    except ValueError:
        pass  # the right-hand side no longer fits
    else:
        assert x.shape == (40,)
    c = rng.standard_normal(40)
    library, kernel = both_paths(limit, lambda: f.solve(c))
    assert_close(kernel, library)


def indexed_factor(limit, seed):
    """A factor whose index is built, other values B of its pattern, and an operand."""
    rng = np.random.default_rng(seed)
    A = plain(rng, 40, 25, np.float64, np.int32)
    B = A.copy()
    B.data = rng.standard_normal(B.nnz)
    f = SPQRFactor(A)
    f.factorize(A)
    limit(NARROW)
    X = rng.standard_normal((40, 2))
    f.qmult(X, "QTX")
    return f, B, X


def test_qmult_method_refactorizes(limit):
    """A method string whose comparisons refactorize the factor, should any run."""
    f, B, X = indexed_factor(limit, 16)

    class Method(str):
        def __eq__(self, other):
            f.factorize(B)
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    got = f.qmult(X, Method("QTX"))
    limit(0)
    # Whatever ran, the product is the one of the factorization the call ended with.
    assert_close(got, f.qmult(X, "QTX"))


def test_operand_conversion_refactorizes(limit):
    """An operand whose conversion to an array refactorizes the factor."""
    f, B, X = indexed_factor(limit, 17)

    class Operand(np.ndarray):
        busy = False

        def __array_finalize__(self, obj):
            # Runs for every array made from the operand (its Fortran copy too).
            if not Operand.busy:
                Operand.busy = True
                try:
                    f.factorize(B)
                finally:
                    Operand.busy = False

    got = f.qmult(np.ascontiguousarray(X).view(Operand), "QTX")
    g = SPQRFactor(B)
    g.factorize(B)
    limit(0)
    assert_close(got, g.qmult(X, "QTX"))


# ---------------------------------------------------------------------------
# Threads


def test_threads_share_a_fresh_factor(limit):
    """Eight threads make the first narrow products of one factor at once: one index, right answers."""
    import threading

    rng = np.random.default_rng(18)
    A = plain(rng, 300, 200, np.float64, np.int64)
    b = rng.standard_normal((300, 2))
    X = rng.standard_normal((3, 300))
    reference = SPQRFactor(A, use_singletons=True)
    limit(0)
    want = reference.solve(b), reference.qmult(X, "XQ"), reference.solve(b[:200], transpose=True)
    limit(NARROW)
    f = SPQRFactor(A, use_singletons=True)
    barrier = threading.Barrier(8)
    failures = []

    def work(i):
        barrier.wait()
        g = f.copy() if i % 4 == 3 else f
        for _ in range(5):
            got = g.solve(b), g.qmult(X, "XQ"), g.solve(b[:200], transpose=True)
            for x, y in zip(got, want):
                if not np.allclose(x, y, rtol=1e-11, atol=1e-12):
                    failures.append(i)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
