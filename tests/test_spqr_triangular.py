"""tarnix.spqr._solve_triangular: solves with a sorted sparse upper triangle, against dense LAPACK."""

import numpy as np
import pytest
import scipy.linalg
from scipy import sparse

from tarnix.spqr import _solve_triangular


def triangle(r, dtype=np.float64, index_dtype=np.int32, seed=0, cls=sparse.csc_array):
    """A well-conditioned random sparse upper triangle, its diagonal stored last in each column."""
    rng = np.random.default_rng(seed)
    D = np.triu(rng.standard_normal((r, r)) * (rng.random((r, r)) < 0.3), 1)
    if np.dtype(dtype).kind == "c":
        D = D + 1j * np.triu(rng.standard_normal((r, r)) * (rng.random((r, r)) < 0.3), 1)
    D = (D + np.diag(2.0 + rng.random(r))).astype(dtype)
    T = cls(D)
    T.indptr = T.indptr.astype(index_dtype)
    T.indices = T.indices.astype(index_dtype)
    return T, D


def reference(D, B, adjoint):
    return scipy.linalg.solve_triangular(D, B, trans="C" if adjoint else "N") if D.size else np.zeros(B.shape)


@pytest.mark.parametrize("dtype", [np.float64, np.complex128])
@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
@pytest.mark.parametrize("r", [0, 1, 17])
@pytest.mark.parametrize("adjoint", [False, True])
def test_agrees_with_dense_solve(dtype, index_dtype, r, adjoint):
    T, D = triangle(r, dtype, index_dtype, seed=r)
    rng = np.random.default_rng(1)
    for B in (rng.standard_normal(r), rng.standard_normal((r, 3)), rng.standard_normal((3, r)).T,
              np.arange(r, dtype=np.int32), rng.standard_normal((r, 2)).astype(np.float32)):
        before = B.copy()
        parts = [a.copy() for a in (T.indptr, T.indices, T.data)]
        X = _solve_triangular(T, B, adjoint=adjoint)
        assert X.dtype == dtype and X.shape == B.shape
        np.testing.assert_allclose(X, reference(D, B, adjoint), rtol=1e-12, atol=1e-12)
        np.testing.assert_array_equal(B, before)
        for a, b in zip((T.indptr, T.indices, T.data), parts):
            np.testing.assert_array_equal(a, b)


def test_csc_matrix_complex_rhs_and_result_is_new():
    T, D = triangle(9, np.complex128, cls=sparse.csc_matrix)
    B = np.asfortranarray(np.ones((9, 2), dtype=np.complex128))
    X = _solve_triangular(T, B, True)
    assert not np.shares_memory(X, B)
    np.testing.assert_allclose(X, reference(D, B, True), rtol=1e-12)


def raw(data, indices, indptr, shape, dtype=np.float64):
    """A csc_array taken as given: SciPy neither sorts nor checks the structure."""
    T = sparse.csc_array(shape, dtype=dtype)
    T.data, T.indices, T.indptr = (np.asarray(data, dtype=dtype), np.asarray(indices, dtype=np.int32),
                                   np.asarray(indptr, dtype=np.int32))
    return T


@pytest.mark.parametrize("T, error, match", [
    (raw([1.0, 2.0, 3.0], [0, 1, 0], [0, 1, 3], (2, 2)), ValueError, "sorted and without duplicates"),
    (raw([1.0, 2.0, 3.0], [0, 1, 1], [0, 2, 3], (2, 2)), ValueError, "column 0 has an entry in row 1, below"),
    (raw([1.0, 2.0], [0, 0], [0, 1, 2], (2, 2)), ValueError, "column 1 has none"),
    (raw([1.0], [0], [0, 1, 1], (2, 2)), ValueError, "column 1 has none"),
    (raw([1.0, 0.0, 0.0], [0, 0, 1], [0, 1, 3], (2, 2)), ValueError, "column 1 is zero"),
    (raw([1.0, 2.0], [0, 7], [0, 1, 2], (2, 2)), ValueError, "out of range"),
    (raw([1.0, 2.0], [0, 1], [0, 1, 9], (2, 2)), ValueError, "past the end"),
    (raw([1.0, 2.0], [0, 1], [0, 2, 1], (2, 2)), ValueError, "non-decreasing"),
    (raw([1.0, 2.0], [0, 1], [0, 2], (2, 2)), ValueError, "order \\+ 1 = 3 entries"),
    (sparse.csc_array(np.eye(2, 3)), ValueError, "square"),
    (sparse.csc_array(np.eye(2, dtype=np.float32)), TypeError, "float64 or complex128"),
    (sparse.csc_array(np.eye(2, dtype=np.int64)), TypeError, "float64 or complex128"),
    (sparse.csr_array(np.eye(2)), TypeError, "csc_array or csc_matrix"),
    (np.eye(2), TypeError, "csc_array or csc_matrix"),
])
def test_malformed_triangle_is_refused(T, error, match):
    with pytest.raises(error, match=match):
        _solve_triangular(T, np.ones(2))


@pytest.mark.parametrize("B, error, match", [
    ([1.0, 2.0], TypeError, "numpy.ndarray"),
    (np.ones((2, 1, 1)), ValueError, "one- or two-dimensional"),
    (np.ones(3), ValueError, "order 2 as its number of rows, got 3"),
    (np.ones(2, dtype=np.complex128), TypeError, "does not cast safely"),
    (np.array(["a", "b"]), TypeError, "does not cast safely"),
    (np.array([1.0, 2.0], dtype=object), TypeError, "does not cast safely"),
])
def test_bad_right_side_is_refused(B, error, match):
    with pytest.raises(error, match=match):
        _solve_triangular(sparse.csc_array(np.eye(2)), B)


def test_callback_changes_before_the_copy_are_what_is_solved():
    """Python code run while the arguments are read acts before the copies: the answer is for the
    arrays as they are then, or the change is refused."""
    T, D = triangle(6)
    B = np.ones(6)

    class Flip:
        def __init__(self, act):
            self.act = act

        def __bool__(self):
            self.act()
            return True

    def scale():
        T.data *= 2.0
        B[:] = 3.0

    X = _solve_triangular(T, B, adjoint=Flip(scale))
    np.testing.assert_allclose(X, reference(2.0 * D, np.full(6, 3.0), True), rtol=1e-12)

    def lower():
        T.indices[T.indptr[2] - 1] = 5

    with pytest.raises(ValueError, match="below the diagonal"):
        _solve_triangular(T, B, adjoint=Flip(lower))
