"""tarnix.spqr: SPQRFactor.solve and SPQRFactor.qmult."""

import warnings

import numpy as np
import pytest
from scipy import sparse

from support import load, random_csc, with_index_dtype
from tarnix.spqr import SPQRFactor, SPQRInvalidInputError, SPQRRankDeficiencyWarning, spqr_factor

rng = np.random.default_rng(42)


def lstsq(A, b):
    return np.linalg.lstsq(np.asarray(A.toarray() if sparse.issparse(A) else A), b, rcond=None)[0]


def tall_complex():
    A = load("young1c")[:, :600]
    return sparse.csc_array(A)


CASES = {
    "square real": lambda: load("west0067"),
    "tall real": lambda: load("ash219"),
    "tall real (transposed wide)": lambda: load("lp_e226").T.tocsc(),
    "square complex": lambda: load("young1c"),
    "tall complex": tall_complex,
    "small complex": lambda: load("c32"),
}


def rhs(m, k, dtype):
    b = rng.standard_normal((m, k))
    if np.dtype(dtype).kind == "c":
        b = b + 1j * rng.standard_normal((m, k))
    return b


@pytest.fixture(params=list(CASES), scope="module")
def case(request):
    A = CASES[request.param]()
    return A, spqr_factor(A)


class TestSolve:
    def test_dense_against_lstsq(self, case):
        A, f = case
        m, n = A.shape
        b2 = rhs(m, 3, A.dtype)
        x2 = f.solve(b2)
        assert x2.shape == (n, 3) and x2.dtype == A.dtype
        np.testing.assert_allclose(x2, lstsq(A, b2), atol=1e-8)
        x1 = f.solve(b2[:, 0])
        assert x1.shape == (n,)
        np.testing.assert_allclose(x1, x2[:, 0], atol=1e-12)

    def test_transposed_solve_uses_the_conjugate_transpose(self, case):
        A, f = case
        m, n = A.shape
        c = rhs(n, 2, A.dtype)
        y = f.solve(c, transpose=True)
        assert y.shape == (m, 2)
        AH = A.toarray().conj().T
        np.testing.assert_allclose(AH @ y, c, atol=1e-8)  # A^H y = c (A^T y = c for real A)
        np.testing.assert_allclose(y, lstsq(AH, c), atol=1e-8)  # and y is the minimum-norm solution
        assert f.solve(c[:, 0], transpose=True).shape == (m,)

    def test_sparse_rhs_matches_dense(self, case):
        A, f = case
        m, n = A.shape
        B = random_csc(m, 7, 0.3, rng, A.dtype)
        X = f.solve(B, rhs_batch_size=3)
        assert isinstance(X, sparse.csc_array) and X.shape == (n, 7)
        assert X.indptr.dtype == f.itype and X.indices.dtype == f.itype
        np.testing.assert_allclose(X.toarray(), f.solve(B.toarray()), atol=1e-12)
        assert np.all(X.data != 0)
        Y = f.solve(random_csc(n, 4, 0.3, rng, A.dtype), transpose=True)
        assert Y.shape == (m, 4)
        # A 1-D sparse b (COO or CSR) is one column, and gives a 1-D sparse x.
        b = B[:, [0]].toarray().ravel()
        for b1 in (sparse.coo_array(b), sparse.csr_array(b)):
            x = f.solve(b1)
            assert x.shape == (n,)
            np.testing.assert_allclose(x.toarray(), f.solve(b), atol=1e-12)

    def test_sparse_rhs_batches(self):
        A = load("west0067")
        f = spqr_factor(A)
        B = random_csc(67, 250, 0.05, rng)
        # An entry in every column: columns without any are not solved (test_spqr_sparse_rhs.py).
        B = sparse.csc_array(B + sparse.csc_array((np.ones(250), (np.arange(250) % 67, np.arange(250))), shape=B.shape))
        calls = []

        class Counting(SPQRFactor):
            def _solve_dense(self, b, transpose):
                calls.append(b.shape[1])
                return super()._solve_dense(b, transpose)

        g = Counting(A, use_singletons=True)
        X = g.solve(B)
        assert calls == [100, 100, 50]
        np.testing.assert_allclose(X.toarray(), f.solve(B.toarray()), atol=1e-10)
        # int64 right-hand sides: the result still has the factor's index width.
        X64 = f.solve(with_index_dtype(B, np.int64), rhs_batch_size=1000)
        assert X64.indices.dtype == np.int32
        # Other formats; a single column is converted before validation.
        with pytest.warns(sparse.SparseEfficiencyWarning):
            f.solve(sparse.csr_array(B))
        x = f.solve(sparse.coo_array(B[:, [3]]))
        np.testing.assert_allclose(x.toarray()[:, 0], f.solve(B[:, [3]].toarray()[:, 0]), atol=1e-12)
        empty = f.solve(sparse.csc_array((67, 0)))
        assert empty.shape == (67, 0) and empty.indptr.dtype == np.int32

    def test_batch_size_errors(self):
        f = spqr_factor(load("west0067"))
        B = random_csc(67, 5, 0.2, rng)
        with pytest.raises(ValueError):
            f.solve(B, rhs_batch_size=0)
        with pytest.raises(ValueError):
            f.solve(B, rhs_batch_size=-1)
        with pytest.raises(TypeError):
            f.solve(B, rhs_batch_size=2.0)

    def test_castable_dtypes(self):
        A = load("west0067")
        f = spqr_factor(A)
        b = np.arange(67)
        np.testing.assert_allclose(f.solve(b), np.linalg.solve(A.toarray(), b))
        f.solve(b.astype(np.float32))
        f.solve(b > 3)
        with pytest.raises(TypeError) as err:
            f.solve(b.astype(np.complex128))
        assert str(err.value) == "Cannot safely cast b.dtype=dtype('complex128') to self.dtype=dtype('float64')."
        z = spqr_factor(load("young1c"))
        assert z.solve(np.ones(841)).dtype == np.complex128

    def test_argument_errors(self):
        A = load("ash219")
        f = spqr_factor(A)
        with pytest.raises(ValueError, match=r"^b must be an ndarray or sparse matrix\.$"):
            f.solve([1.0] * 219)
        with pytest.raises(ValueError, match=r"^b must be a 1D or 2D array\.$"):
            f.solve(np.ones((219, 1, 1)))
        with pytest.raises(ValueError) as err:
            f.solve(np.ones(220))
        assert str(err.value) == ("Right-hand side b must have compatible shape with A. Got b.shape=(220,), "
                                  "but A.shape=(219, 85) (transpose=False).")
        with pytest.raises(ValueError) as err:
            f.solve(np.ones(86), transpose=True)
        assert str(err.value).endswith("(transpose=True).")
        with pytest.raises(TypeError):
            f.solve(np.ones(219), True)

    def test_private_dense_solve(self):
        A = load("west0067")
        f = spqr_factor(A)
        b = np.asfortranarray(rhs(67, 2, np.float64))
        np.testing.assert_allclose(f._solve_dense(b, False), np.linalg.solve(A.toarray(), b))
        with pytest.raises(TypeError, match="^Argument 'b' must not be None$"):
            f._solve_dense(None, False)
        with pytest.raises(TypeError, match="^No matching signature found$"):
            f._solve_dense(b.astype(np.float32), False)
        with pytest.raises(ValueError):
            f._solve_dense(np.ascontiguousarray(b), False)
        with pytest.raises(ValueError):
            f._solve_dense(b[:, 0], False)
        with pytest.raises(ValueError, match="compatible shape"):
            f._solve_dense(np.asfortranarray(np.ones((5, 2))), False)
        # A value type the factor was not made for is refused by the library.
        with pytest.raises(SPQRInvalidInputError):
            f._solve_dense(b.astype(np.complex128), False)

    def test_read_only_rhs(self):
        f = spqr_factor(load("west0067"))
        b = np.asfortranarray(np.ones((67, 2)))
        b.flags.writeable = False
        with pytest.raises(ValueError, match="read-only"):
            f.solve(b)
        c = np.ones((67, 2))  # needs a copy anyway: read-only is fine
        c.flags.writeable = False
        f.solve(c)

    def test_rank_deficiency_warning(self):
        A = sparse.csc_array(np.array([[1.0, 2, 3], [2, 4, 6], [1, 0, 1], [0, 1, 1]]))
        f = spqr_factor(A)
        assert f.rank == 2
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            x = f.solve(np.ones(4))
        assert len(caught) == 1 and caught[0].category is SPQRRankDeficiencyWarning
        assert str(caught[0].message) == ("Matrix is rank deficient: rank=2, A.shape=(4, 3). "
                                         "The solution may not be unique.")
        b = np.ones(4)
        assert np.linalg.norm(A @ x - b) == pytest.approx(np.linalg.norm(A @ lstsq(A, b) - b))
        with warnings.catch_warnings():
            warnings.simplefilter("error", SPQRRankDeficiencyWarning)
            with pytest.raises(SPQRRankDeficiencyWarning):
                f.solve(b)

    def test_dense_rhs_reaches_the_library_without_copy(self, monkeypatch):
        f = spqr_factor(load("west0067"))
        seen = []

        class Spy(SPQRFactor):
            def _solve_dense(self, b, transpose):
                seen.append(b)
                return super()._solve_dense(b, transpose)

        g = Spy(load("west0067"), use_singletons=True)
        b = np.asfortranarray(rhs(67, 4, np.float64))
        g.solve(b)
        assert seen[0] is b
        del f


class TestQmult:
    def test_q_is_orthogonal(self, case):
        A, f = case
        m = A.shape[0]
        Q = f.qmult(np.eye(m, dtype=A.dtype))
        np.testing.assert_allclose(Q.conj().T @ Q, np.eye(m), atol=1e-10)
        QT = f.qmult(np.eye(m, dtype=A.dtype), "QTX")
        np.testing.assert_allclose(QT, Q.conj().T, atol=1e-12)

    def test_products_agree(self, case):
        A, f = case
        m = A.shape[0]
        X = rhs(m, 3, A.dtype)
        np.testing.assert_allclose(f.qmult(f.qmult(X, "QTX"), "QX"), X, atol=1e-10)
        Q = f.qmult(np.eye(m, dtype=A.dtype))
        Y = X.conj().T  # 3 x m
        np.testing.assert_allclose(f.qmult(Y, "XQ"), Y @ Q, atol=1e-10)
        np.testing.assert_allclose(f.qmult(Y, "XQ"), f.qmult(X, "QTX").conj().T, atol=1e-10)
        np.testing.assert_allclose(f.qmult(Y, "XQT"), Y @ Q.conj().T, atol=1e-10)
        x1 = f.qmult(X[:, 0], "QTX")
        assert x1.shape == (m,)
        np.testing.assert_allclose(x1, f.qmult(X[:, :1], "QTX")[:, 0])

    def test_q_times_r_is_a_times_e(self):
        A = load("ash219")
        f = spqr_factor(A)
        Q = f.qmult(np.eye(219))
        # R = Q^H A E is upper trapezoidal.
        R = f.qmult(A.toarray()[:, f.perm], "QTX")
        np.testing.assert_allclose(np.tril(R, -1), 0, atol=1e-10)
        np.testing.assert_allclose(Q @ R, A.toarray()[:, f.perm], atol=1e-10)

    def test_sparse_operand(self, case):
        A, f = case
        m = A.shape[0]
        X = random_csc(m, 5, 0.2, rng, A.dtype)
        for index_dtype in (np.int32, np.int64):
            Y = f.qmult(with_index_dtype(X, index_dtype))
            assert isinstance(Y, sparse.csc_array) and Y.shape == (m, 5)
            np.testing.assert_allclose(Y.toarray(), f.qmult(X.toarray()), atol=1e-12)
        W = f.qmult(sparse.csc_array(X.T), "XQT")
        np.testing.assert_allclose(W.toarray(), f.qmult(X.toarray().T, "XQT"), atol=1e-12)

    def test_errors(self):
        f = spqr_factor(load("ash219"))
        X = np.ones((219, 2))
        with pytest.raises(ValueError, match=r"^X must be an ndarray or sparse matrix\.$"):
            f.qmult([[1.0]])
        with pytest.raises(ValueError) as err:
            f.qmult(X.astype(np.complex128))
        assert str(err.value) == ("Input and factor dtypes do not match. self.dtype=dtype('float64') and "
                                  "X.dtype=dtype('complex128')")
        with pytest.raises(ValueError, match=r"^X must be a 1D or 2D array\.$"):
            f.qmult(np.ones((219, 1, 1)))
        with pytest.raises(ValueError) as err:
            f.qmult(X, "qx")
        assert str(err.value) == "Invalid method 'qx'. Expected one of ['QX', 'QTX', 'XQ', 'XQT']."
        with pytest.raises(ValueError, match="Invalid method 'None'"):
            f.qmult(X, None)
        with pytest.raises(TypeError, match="^Expected str, got int$"):
            f.qmult(X, 3)
        with pytest.raises(ValueError) as err:
            f.qmult(X, "XQ")
        assert str(err.value) == "Input X must have compatible shape with Q. Expected 219, got 2."
        with pytest.raises(IndexError):
            f.qmult(np.ones(219), "XQ")
        # Float64 X against a complex factor: the dtype check comes first.
        z = spqr_factor(load("c32"))
        with pytest.raises(ValueError, match="dtypes do not match"):
            z.qmult(np.ones((5, 2)))

    def test_private_dense_product(self):
        f = spqr_factor(load("ash219"))
        X = np.asfortranarray(np.ones((219, 2)))
        np.testing.assert_allclose(f._qmult_dense(1, X), f.qmult(X))
        with pytest.raises(TypeError, match="^Argument 'X' must not be None$"):
            f._qmult_dense(1, None)
        with pytest.raises(TypeError, match="^No matching signature found$"):
            f._qmult_dense(1, X.astype(np.int64))
        for bad in (np.ascontiguousarray(np.ones((219, 2))), X[:, 0]):
            with pytest.raises(ValueError):
                f._qmult_dense(1, bad)
        with pytest.raises(ValueError, match="Invalid method code"):
            f._qmult_dense(7, X)
        with pytest.raises(ValueError, match="compatible shape"):
            f._qmult_dense(3, X)
        readonly = X.copy(order="F")
        readonly.flags.writeable = False
        with pytest.raises(ValueError, match="read-only"):
            f._qmult_dense(1, readonly)
