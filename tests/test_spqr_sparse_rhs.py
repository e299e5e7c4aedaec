"""Sparse right-hand sides whose columns hold no entries: their solutions are zero and they
are not solved, so that the work follows the columns that hold entries."""

from __future__ import annotations

import numpy as np
import pytest
from scipy import sparse

from tarnix.spqr import SPQRFactor


class CountingFactor(SPQRFactor):
    """Records the width of every dense batch the sparse solve hands to _solve_dense."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.batches = []

    def _solve_dense(self, b, transpose):
        self.batches.append(b.shape[1])
        return super()._solve_dense(b, transpose)


@pytest.fixture(scope="module")
def A():
    rng = np.random.default_rng(11)
    return sparse.csc_array(sparse.random_array((30, 20), density=0.2, rng=rng) + sparse.eye_array(30, 20))


def rhs(rows, K, filled, index_dtype=np.int32, dtype=np.float64):
    rng = np.random.default_rng(5)
    cols = np.repeat(np.asarray(filled, dtype=np.int64), 2)
    b = sparse.csc_array((rng.standard_normal(cols.size).astype(dtype), (rng.integers(0, rows, cols.size), cols)),
                         shape=(rows, K))
    b.indptr = b.indptr.astype(index_dtype)
    b.indices = b.indices.astype(index_dtype)
    return b


@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
@pytest.mark.parametrize("transpose", [False, True])
def test_only_filled_columns_are_solved(A, index_dtype, transpose):
    A = sparse.csc_array(A)
    A.indptr, A.indices = A.indptr.astype(index_dtype), A.indices.astype(index_dtype)
    f = CountingFactor(A, use_singletons=True)
    rows = A.shape[1] if transpose else A.shape[0]
    filled = [0, 3, 117, 118, 249]
    b = rhs(rows, 250, filled, index_dtype)
    x = f.solve(b, transpose=transpose, rhs_batch_size=2)
    assert f.batches == [2, 2, 1]
    assert isinstance(x, sparse.csc_array)
    assert x.shape == ((A.shape[0] if transpose else A.shape[1]), 250)
    assert x.indptr.dtype == x.indices.dtype == index_dtype
    dense = f.solve(b.toarray(), transpose=transpose)
    np.testing.assert_allclose(x.toarray(), dense, atol=1e-12)
    empty = np.setdiff1d(np.arange(250), filled)
    assert np.all(np.diff(x.indptr)[empty] == 0)


def test_no_filled_column_needs_no_solve(A):
    f = CountingFactor(A, use_singletons=True)
    for K in (1, 7, 100_000):
        x = f.solve(sparse.csc_array((A.shape[0], K)))
        assert x.shape == (A.shape[1], K) and x.nnz == 0 and x.indptr.dtype == np.int32
        assert x.indptr.size == K + 1
    assert f.batches == []
    # The batch size is still checked.
    with pytest.raises(ValueError):
        f.solve(sparse.csc_array((A.shape[0], 3)), rhs_batch_size=0)


def test_complex_and_explicit_zeros(A):
    Az = sparse.csc_array(A * (1 + 2j))
    f = CountingFactor(Az, use_singletons=True)
    b = rhs(Az.shape[0], 40, [5, 30], dtype=np.complex128)
    # A stored zero is an entry: its column is solved (its solution is zero all the same).
    b = sparse.csc_array((np.append(b.data, 0), np.append(b.indices, 0), np.append(b.indptr[:11], b.indptr[11:] + 1)),
                         shape=b.shape)
    x = f.solve(b)
    assert f.batches == [3]
    np.testing.assert_allclose(x.toarray(), f.solve(b.toarray()), atol=1e-12)


def test_one_dimensional_sparse_b(A):
    f = CountingFactor(A, use_singletons=True)
    x = f.solve(sparse.coo_array((A.shape[0],)))
    assert x.shape == (A.shape[1],) and x.nnz == 0 and f.batches == []
