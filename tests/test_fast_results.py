"""csc_array results made without SciPy's constructor: each must be the
object the constructor makes, to every use a caller can put it to."""

import pickle

import numpy as np
import pytest
from scipy import sparse

import tarnix.spqr as spqr_module
from support import load


def constructed_like(M):
    """What the constructor-made result is: an empty csc_array, its arrays then replaced."""
    R = sparse.csc_array(M.shape, dtype=M.dtype)
    R.data, R.indices, R.indptr = M.data, M.indices, M.indptr
    return R


def results(A):
    Q, R, E = spqr_module.spqr(A)
    house, R2, _ = spqr_module.spqr(A, mode="householder")
    factor = spqr_module.spqr_factor(A)
    X = factor.solve(sparse.csc_array(np.eye(A.shape[0], 3, dtype=A.dtype)))
    return {"Q": Q, "R": R, "R_householder": R2, "H": house.H, "solve": X}


@pytest.mark.parametrize("name", ["ash219", "c32", "west0067"])
@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
def test_results_are_what_the_constructor_makes(name, index_dtype):
    A = load(name, index_dtype)
    for label, M in results(A).items():
        ref = constructed_like(M)
        assert type(M) is sparse.csc_array, label
        assert set(M.__dict__) == set(ref.__dict__), label
        assert M.shape == ref.shape and all(type(d) is int for d in M.shape), label
        assert M.indptr.dtype == M.indices.dtype == index_dtype, label
        assert M.has_canonical_format and M.nnz == len(M.indices) == M.indptr[-1], label
        dense = M.toarray()
        x = np.arange(1.0, M.shape[1] + 1)
        assert np.allclose(M @ x, dense @ x), label
        assert np.allclose(M.T.tocsc().toarray(), dense.T), label
        assert np.allclose((M + M).toarray(), 2 * dense), label
        copy = pickle.loads(pickle.dumps(M))
        assert type(copy) is sparse.csc_array and np.array_equal(copy.toarray(), dense), label
        M.data[:] = 0  # a result is the caller's to change
        M.eliminate_zeros()
        assert M.nnz == 0, label


def test_q_times_r_rebuilds_the_matrix():
    # An independent check of the arrays the results were made over.
    A = load("ash219")
    Q, R, E = spqr_module.spqr(A)
    assert np.allclose((Q @ R).toarray(), A.toarray()[:, E], atol=1e-12)
