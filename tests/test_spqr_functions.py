"""tarnix.spqr: spqr, spqr_factor, spqr_solve and spqr_qmult."""

import warnings

import numpy as np
import pytest
from scipy import sparse

import tarnix.spqr as mod
from support import load, random_csc, run_python, with_index_dtype
from tarnix.spqr import SPQRFactor, SPQRHouseholder, spqr, spqr_factor, spqr_qmult, spqr_solve

rng = np.random.default_rng(7)

MATRICES = {
    "tall real": lambda: load("ash219"),
    "square real": lambda: load("west0067"),
    "wide real": lambda: load("lp_e226"),
    "tall complex": lambda: load("c32"),
    "square complex": lambda: load("young1c")[:300, :300].tocsc(),
    "wide complex": lambda: sparse.csc_array(load("young1c")[:40, :90]),
}


@pytest.fixture(params=list(MATRICES), scope="module")
def matrix(request):
    return MATRICES[request.param]()


def dense(A):
    return A.toarray() if sparse.issparse(A) else A


class TestSpqr:
    def test_full_and_economic(self, matrix):
        A = matrix
        m, n = A.shape
        for mode in ("full", "economic"):
            Q, R, E = spqr(A, mode=mode)
            assert isinstance(Q, sparse.csc_array) and isinstance(R, sparse.csc_array)
            e = Q.shape[1]
            assert Q.shape[0] == m and R.shape == (e, n)
            assert e == (m if mode == "full" else min(m, max(n, np.linalg.matrix_rank(A.toarray()))))
            E = np.arange(n) if E is None else E
            assert np.array_equal(np.sort(E), np.arange(n)) and E.dtype == np.int32
            np.testing.assert_allclose(dense(Q @ R), A.toarray()[:, E], atol=1e-10)
            np.testing.assert_allclose(dense(Q.conj().T @ Q), np.eye(e), atol=1e-10)
            np.testing.assert_allclose(np.tril(R.toarray(), -1), 0)
        # "r" mode's R is the full mode's up to the signs of its rows.
        R2, E2 = spqr(A, mode="r")
        Q, R, E = spqr(A)
        assert R2.shape == R.shape
        np.testing.assert_allclose(np.abs(R2.toarray()), np.abs(R.toarray()), atol=1e-10)
        np.testing.assert_allclose(dense(R2.conj().T @ R2), dense(R.conj().T @ R), atol=1e-10)
        assert (E is None and E2 is None) or np.array_equal(E, E2)

    def test_householder_products(self, matrix):
        A = matrix
        m, n = A.shape
        house, R, E = spqr(A, mode="householder")
        assert isinstance(house, SPQRHouseholder)
        H, tau, v = house
        assert H.shape[0] == m and tau.shape == (H.shape[1],) and v.shape == (m,)
        assert tau.dtype == A.dtype and v.dtype == np.int32
        # The explicit Q of the Householder form: orthogonal, Q R = A E.
        Q = spqr_qmult(house, np.eye(m, dtype=A.dtype))
        np.testing.assert_allclose(Q.conj().T @ Q, np.eye(m), atol=1e-10)
        E = np.arange(n) if E is None else E
        np.testing.assert_allclose(Q @ R.toarray(), A.toarray()[:, E], atol=1e-10)
        X = rng.standard_normal((m, 3)) + (1j * rng.standard_normal((m, 3)) if A.dtype.kind == "c" else 0)
        Y = X.T.copy()
        np.testing.assert_allclose(spqr_qmult(house, X), Q @ X, atol=1e-10)
        np.testing.assert_allclose(spqr_qmult(house, X, "QTX"), Q.conj().T @ X, atol=1e-10)
        np.testing.assert_allclose(spqr_qmult(house, Y, "XQ"), Y @ Q, atol=1e-10)
        np.testing.assert_allclose(spqr_qmult(house, Y, "XQT"), Y @ Q.conj().T, atol=1e-10)
        np.testing.assert_allclose(spqr_qmult(tuple(house), X[:, 0]), (Q @ X)[:, 0], atol=1e-10)
        Xs = sparse.csc_array(np.where(np.abs(X) > 0.5, X, 0))
        Ys = spqr_qmult(house, Xs, "QTX")
        assert isinstance(Ys, sparse.csc_array)
        np.testing.assert_allclose(Ys.toarray(), Q.conj().T @ Xs.toarray(), atol=1e-10)
        # The factor's own Q agrees with the first columns (the rest is a choice of basis).
        f = spqr_factor(A)
        r = np.linalg.matrix_rank(A.toarray())
        Qf = f.qmult(np.eye(m, dtype=A.dtype))
        np.testing.assert_allclose(np.abs(Qf[:, :r].conj().T @ Q[:, :r]).sum(axis=0) ** 0, np.ones(r))

    def test_index_widths(self):
        A64 = with_index_dtype(load("ash219"), np.int64)
        Q, R, E = spqr(A64)
        assert E.dtype == np.int64
        house, R, E = spqr(A64, mode="householder")
        assert house.perm.dtype == np.int64 and E.dtype == np.int64
        X = rng.standard_normal((219, 2))
        np.testing.assert_allclose(spqr_qmult(house, X), spqr_qmult(spqr(load("ash219"), mode="householder")[0], X),
                                   atol=1e-10)
        # A sparse X of the other index width is brought to H's.
        Xs = sparse.csc_array(np.where(X > 0.3, X, 0))
        np.testing.assert_allclose(spqr_qmult(house, Xs).toarray(), spqr_qmult(house, Xs.toarray()), atol=1e-12)

    def test_orderings_and_tolerance(self):
        A = load("west0067")
        Q, R, E = spqr(A, order="fixed")
        assert E is None or np.array_equal(E, np.arange(67))
        for order in ("natural", "amd", "colamd", "metis", "best"):
            Q, R, E = spqr(A, order=order, tol=1e-12)
            E = np.arange(67) if E is None else E
            np.testing.assert_allclose(dense(Q @ R), A.toarray()[:, E], atol=1e-10)
        assert spqr(A, tol="1e-3")[1].shape == (67, 67)  # float() semantics

    def test_errors(self):
        A = load("c32")
        with pytest.raises(ValueError) as err:
            spqr(A, mode="raw")
        assert str(err.value) == "Invalid mode 'raw'. Expected one of ('full', 'economic', 'r', 'householder')."
        with pytest.raises(ValueError) as err:
            spqr(A, order="nope")
        assert str(err.value).startswith("Unknown ordering method: nope. Must be one of {")
        assert isinstance(err.value.__context__, KeyError)
        with pytest.raises(TypeError, match=r"^spqr\(\) takes exactly 1 positional argument \(2 given\)$"):
            spqr(A, "full")
        with pytest.raises(TypeError):
            spqr(A, tol=[1])
        with pytest.raises(TypeError):
            spqr(A, order={})


class TestFactorAndSolve:
    def test_spqr_factor(self):
        A = load("ash219")
        for use_singletons in (False, True):
            f = spqr_factor(A, use_singletons=use_singletons, order="amd", tol=1e-10)
            assert isinstance(f, SPQRFactor) and f.is_numeric and f.rank == 85
            assert f.info.ordering == "amd"
        with pytest.raises(TypeError):
            spqr_factor(A, True)

    @pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
    def test_least_squares_and_minimum_norm(self, matrix, index_dtype):
        A = with_index_dtype(matrix, index_dtype)
        m, n = A.shape
        b = rng.standard_normal((m, 2)) + (1j * rng.standard_normal((m, 2)) if A.dtype.kind == "c" else 0)
        x = spqr_solve(A, b)
        Ad = A.toarray()
        if np.linalg.matrix_rank(Ad) == min(m, n):
            # Full rank: the least-squares solution (tall) or the minimum-norm one (wide).
            np.testing.assert_allclose(x, np.linalg.pinv(Ad) @ b, atol=1e-8)
        if m < n:
            np.testing.assert_allclose(Ad @ x, b, atol=1e-8)
            # transpose is ignored on the minimum-norm path
            np.testing.assert_allclose(spqr_solve(A, b, transpose=True), x, atol=1e-12)
            # without min2norm: a basic solution, also exact
            basic = spqr_solve(A, b, min2norm=False)
            np.testing.assert_allclose(Ad @ basic, b, atol=1e-8)
            assert np.linalg.norm(x) <= np.linalg.norm(basic) + 1e-12

    def test_transposed_and_sparse(self):
        A = load("ash219")
        c = rng.standard_normal(85)
        y = spqr_solve(A, c, transpose=True)
        np.testing.assert_allclose(A.T @ y, c, atol=1e-10)
        B = random_csc(219, 120, 0.02, rng)
        X = spqr_solve(A, B, rhs_batch_size=50)
        assert isinstance(X, sparse.csc_array) and X.shape == (85, 120)
        np.testing.assert_allclose(X.toarray(), np.linalg.lstsq(A.toarray(), B.toarray(), rcond=None)[0], atol=1e-10)

    def test_solve_arguments(self):
        A = load("ash219")
        with pytest.raises(TypeError):
            spqr_solve(A, np.ones(219), rhs_batch_size=1.5)
        with pytest.raises(TypeError, match=r"^spqr_solve\(\) takes exactly 2 positional arguments \(3 given\)$"):
            spqr_solve(A, np.ones(219), True)

    def test_each_argument_validated_once(self, monkeypatch):
        # A matrix that needs converting goes through validate_csc_input once
        # per call, and its warning is shown once, also when the numeric
        # factorization follows the analysis.
        A = sparse.csr_array(load("ash219"))
        calls = []
        validate = mod.validate_csc_input

        def spy(*args, **kwargs):
            calls.append(args[0])
            return validate(*args, **kwargs)

        monkeypatch.setattr(mod, "validate_csc_input", spy)
        b = rng.standard_normal(219)
        expected = np.linalg.lstsq(A.toarray(), b, rcond=None)[0]
        for call in (lambda: spqr_solve(A, b), lambda: spqr_factor(A), lambda: spqr_factor(A, use_singletons=True)):
            calls.clear()
            with warnings.catch_warnings(record=True) as seen:
                warnings.simplefilter("always")
                out = call()
            assert calls == [A]
            assert [w.category for w in seen] == [sparse.SparseEfficiencyWarning]
            x = out if isinstance(out, np.ndarray) else out.solve(b)
            np.testing.assert_allclose(x, expected, atol=1e-10)

    def test_subclass_properties_still_read(self):
        # The exact type's own properties are read directly; a subclass's
        # overrides are still looked up by solve, qmult and factorize.
        A = load("ash219")

        class LowRank(SPQRFactor):
            @property
            def rank(self):
                return 0

        class Complex(SPQRFactor):
            @property
            def dtype(self):
                return np.dtype(np.complex128)

        with pytest.warns(mod.SPQRRankDeficiencyWarning, match="rank=0"):
            LowRank(A, use_singletons=True).solve(np.ones(219))
        f = Complex(A, use_singletons=True)
        with pytest.raises(ValueError, match="Input and factor dtypes do not match"):
            f.qmult(np.ones(219))
        with pytest.raises(ValueError, match="data type of the input matrix"):
            f.factorize(A)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            SPQRFactor(A, use_singletons=True).solve(np.ones(219))

    def test_class_patched_after_import_still_read(self):
        # Attributes assigned on SPQRFactor itself are honoured like a
        # subclass's (in a child: the patch sends every later call of this
        # process down the attribute path).
        proc = run_python("""
            import warnings
            import numpy as np
            from scipy import sparse
            import tarnix.spqr as mod
            A = sparse.random_array((30, 10), density=0.5, rng=1, format="csc") + sparse.eye_array(30, 10)
            b = np.ones(30)
            f = mod.SPQRFactor(A, use_singletons=True)
            f.solve(b)
            mod.SPQRFactor.rank = property(lambda self: 0)
            with warnings.catch_warnings(record=True) as seen:
                warnings.simplefilter("always")
                f.solve(b)
            print([str(w.message).split(",")[0] for w in seen])
            mod.SPQRFactor._solve_dense = lambda self, b, transpose: np.zeros((10, 1))
            print(f.solve(b).tolist() == [0.0] * 10)
        """)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.split("\n")[:2] == ["['Matrix is rank deficient: rank=0']", "True"]


@pytest.fixture(scope="module")
def house():
    return spqr(load("ash219"), mode="householder")[0]


class TestQmultValidation:
    def house_error(self, house, X=None):
        with pytest.raises(ValueError) as err:
            spqr_qmult(house, np.ones((219, 1)) if X is None else X)
        assert str(err.value).startswith("house must be a tuple of (H, tau, v) representing the Householder vectors, "
                                         "coefficients, and permutation. Got ")
        return err.value.__context__

    def test_house_errors(self, house):
        H, tau, v = house
        assert isinstance(self.house_error((H, tau)), ValueError)
        assert str(self.house_error((H, tau[:-1], v))) == "tau shape mismatch"
        assert str(self.house_error((H, tau.astype(np.complex128), v))) == "tau dtype mismatch"
        assert str(self.house_error((H, tau, v[:-1]))) == "v shape mismatch"
        assert str(self.house_error((H, tau, v.astype(np.int64)))) == "v dtype mismatch"
        assert isinstance(self.house_error((np.ones(3), tau, v)), ValueError)
        assert isinstance(self.house_error(5), TypeError)

    def test_operand_errors(self, house):
        with pytest.raises(ValueError, match=r"^X must be an ndarray or sparse matrix\.$") as err:
            spqr_qmult(house, [[1.0, 2.0], [3.0]])
        assert err.value.__context__ is not None
        with pytest.raises(ValueError, match=r"^X must be a 1D or 2D array\.$"):
            spqr_qmult(house, 3.0)
        with pytest.raises(TypeError, match="^Expected str, got int$"):
            spqr_qmult(house, np.ones(219), 1)
        with pytest.raises(ValueError, match="Invalid method 'qtx'"):
            spqr_qmult(house, np.ones(219), "qtx")
        with pytest.raises(ValueError, match=r"^Input X must have compatible shape with Q. Expected 219, got 3\.$"):
            spqr_qmult(house, np.ones((3, 4)))
        with pytest.raises(IndexError):
            spqr_qmult(house, np.ones(219), "XQ")
        # Lists are converted.
        np.testing.assert_allclose(spqr_qmult(house, [1.0] * 219), spqr_qmult(house, np.ones(219)))

    def test_private_qmult_refuses_mismatches(self, house):
        H, tau, v = house
        t = np.asfortranarray(tau.reshape(1, -1))
        X = np.asfortranarray(np.ones((219, 2)))
        np.testing.assert_allclose(mod._qmult(1, H, t, v, X), spqr_qmult(house, X))
        with pytest.raises(TypeError, match="^No matching signature found$"):
            mod._qmult(1, H, t.astype(np.float32), v, X)
        with pytest.raises(TypeError, match="^Argument 'tau' must not be None$"):
            mod._qmult(1, H, None, v, X)
        with pytest.raises(TypeError, match="^Argument 'v' must not be None$"):
            mod._qmult(1, H, t, None, X)
        cases = [
            (H, t.astype(np.complex128), v, X.astype(np.complex128)),  # H real, tau complex
            (H, t, v.astype(np.int64), X),  # H int32, v int64
            (H, t[:, :-1].copy(order="F"), v, X),  # tau too short
            (H, t, np.zeros_like(v), X),  # not a permutation
            (H, t, v, X.astype(np.complex128)),  # X of another value type
            (H, t, v, np.ascontiguousarray(np.ones((219, 2)))),  # X not column-major
            (H, t, v, np.asfortranarray(np.ones((218, 2)))),  # X of the wrong size
            (H, t, v, sparse.csc_array(np.ones((219, 2)), dtype=np.complex128)),
            (H, t, v, with_index_dtype(sparse.csc_array(np.ones((219, 2))), np.int64)),
        ]
        for args in cases:
            with pytest.raises(ValueError):
                mod._qmult(1, *args)
        with pytest.raises(ValueError, match="Invalid method code"):
            mod._qmult(9, H, t, v, X)
        empty = spqr(sparse.csc_array((0, 3)), mode="householder")[0]
        with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
            mod._qmult(1, empty.H, np.zeros((1, empty.H.shape[1]), order="F"), empty.perm,
                       np.zeros((0, 1), order="F"))
