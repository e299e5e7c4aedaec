"""tarnix.utils.validate_csc_input: coercion to canonical CSC, and rejection of malformed input."""

import warnings

import numpy as np
import pytest
from scipy import sparse

from support import random_csc, snapshot, unchanged, with_index_dtype
from tarnix.utils import validate_csc_input


def assert_canonical(M, index_dtype):
    assert M.format == "csc"
    assert M.indptr.dtype == index_dtype and M.indices.dtype == index_dtype
    for arr in (M.indptr, M.indices, M.data):
        assert arr.ndim == 1 and arr.flags.c_contiguous and arr.flags.writeable
    assert M.data.dtype in (np.float64, np.complex128)
    nnz = M.indptr[-1]
    assert M.indptr[0] == 0 and np.all(np.diff(M.indptr) >= 0)
    assert len(M.indices) == nnz == len(M.data)
    for j in range(M.shape[1]):
        rows = M.indices[M.indptr[j]:M.indptr[j + 1]]
        assert np.all(np.diff(rows) > 0)
        assert rows.size == 0 or (rows[0] >= 0 and rows[-1] < M.shape[0])


class TestAccepted:
    def test_canonical_csc_is_returned_without_copy(self, index_dtype):
        A = random_csc(30, 20, 0.2, np.random.default_rng(0), index_dtype=index_dtype)
        M, copied, itype = validate_csc_input(A)
        assert M is A and not copied and itype == index_dtype and isinstance(itype, np.dtype)

    def test_dense_half_precision(self):
        M, _, _ = validate_csc_input(np.eye(2, dtype=np.float16))
        assert M.dtype == np.float64

    def test_dense_input(self):
        M, copied, itype = validate_csc_input([[1, 0, 2], [0, 0, 3]])
        assert copied and itype == np.int32
        assert_canonical(M, np.int32)
        assert M.dtype == np.float64
        np.testing.assert_array_equal(M.toarray(), [[1, 0, 2], [0, 0, 3]])

    @pytest.mark.parametrize("fmt", ["csr", "coo", "lil", "dok", "bsr", "dia"])
    def test_other_formats_warn_and_convert(self, fmt):
        A = random_csc(12, 9, 0.3, np.random.default_rng(1))
        B = A.asformat(fmt)
        with pytest.warns(sparse.SparseEfficiencyWarning):
            M, copied, _ = validate_csc_input(B)
        assert copied
        assert_canonical(M, M.indptr.dtype)
        np.testing.assert_array_equal(M.toarray(), A.toarray())

    def test_sparse_matrix_class_is_kept(self):
        A = sparse.csc_matrix(np.eye(3))
        M, _, _ = validate_csc_input(A)
        assert M is A

    @pytest.mark.parametrize(
        "dtype, expected",
        [(bool, np.float64), (np.int8, np.float64), (np.int64, np.float64), (np.uint32, np.float64),
         (np.float32, np.float64), (np.uint64, np.float64), (np.complex64, np.complex128)],
    )
    def test_values_are_upcast(self, dtype, expected):
        A = sparse.csc_array(np.array([[1, 0], [1, 1]], dtype=dtype))
        snap = snapshot(A)
        M, copied, _ = validate_csc_input(A)
        assert M.dtype == expected and copied
        np.testing.assert_array_equal(M.toarray(), A.toarray().astype(expected))
        assert unchanged(A, snap)

    def test_unsorted_and_duplicate_indices_are_canonicalised_on_a_copy(self, index_dtype):
        indptr = np.array([0, 3, 5], dtype=index_dtype)
        indices = np.array([2, 0, 2, 1, 1], dtype=index_dtype)
        data = np.array([1.0, 2.0, 3.0, 4.0, 5.0])
        A = sparse.csc_array((data, indices, indptr), shape=(3, 2))
        A.indptr, A.indices = indptr, indices  # keep the width SciPy might narrow
        snap = snapshot(A)
        M, copied, itype = validate_csc_input(A)
        assert copied and itype == index_dtype
        assert_canonical(M, index_dtype)
        np.testing.assert_array_equal(M.toarray(), [[2, 0], [0, 9], [4, 0]])
        assert unchanged(A, snap)

    def test_mixed_widths_become_int64(self):
        A = random_csc(5, 4, 0.5, np.random.default_rng(2))
        A.indptr = A.indptr.astype(np.int64)
        M, _, itype = validate_csc_input(A)
        assert itype == np.int64
        assert_canonical(M, np.int64)

    def test_narrow_and_unsigned_indices_become_int32(self):
        A = random_csc(5, 4, 0.5, np.random.default_rng(3))
        A.indptr = A.indptr.astype(np.uint16)
        A.indices = A.indices.astype(np.int16)
        M, _, itype = validate_csc_input(A)
        assert itype == np.int32
        assert_canonical(M, np.int32)

    def test_unusable_arrays_are_copied(self):
        A = random_csc(8, 6, 0.4, np.random.default_rng(4))
        A.data.flags.writeable = False
        B = with_index_dtype(A, np.int32)
        B.indices = np.repeat(B.indices, 2)[::2]  # non-contiguous view
        for X in (A, B):
            M, copied, _ = validate_csc_input(X)
            assert M is not X and copied
            assert_canonical(M, np.int32)
            np.testing.assert_array_equal(M.toarray(), X.toarray())

    def test_arrays_longer_than_nnz_are_trimmed(self):
        A = random_csc(6, 5, 0.4, np.random.default_rng(5))
        nnz = A.nnz
        A.indices = np.concatenate([A.indices, [0, 0]]).astype(np.int32)
        A.data = np.concatenate([A.data, [7.0, 7.0]])
        M, _, _ = validate_csc_input(A)
        assert M.nnz == nnz
        assert_canonical(M, np.int32)

    def test_empty_shapes(self):
        for shape in [(0, 0), (0, 4), (3, 0), (3, 4)]:
            M, _, _ = validate_csc_input(np.zeros(shape))
            assert M.shape == shape and M.nnz == 0
            assert_canonical(M, np.int32)

    def test_random_structures_match_the_dense_matrix(self):
        rng = np.random.default_rng(6)
        for _ in range(50):
            m, n = rng.integers(1, 12, size=2)
            k = rng.integers(0, 3 * m * n)
            rows, cols = rng.integers(0, m, k), rng.integers(0, n, k)
            vals = rng.standard_normal(k)
            dense = np.zeros((m, n))
            np.add.at(dense, (rows, cols), vals)
            # CSC arrays built straight from unsorted triplets, duplicates kept.
            order = np.argsort(cols, kind="stable")
            indptr = np.concatenate([[0], np.cumsum(np.bincount(cols, minlength=n))]).astype(np.int32)
            A = sparse.csc_array((vals[order], rows[order].astype(np.int32), indptr), shape=(m, n))
            M, _, _ = validate_csc_input(A)
            assert_canonical(M, np.int32)
            np.testing.assert_allclose(M.toarray(), dense, atol=1e-12)


class TestRejected:
    @pytest.mark.parametrize(
        "value, match",
        [
            (np.zeros(3), "two-dimensional"),
            (np.zeros((2, 2, 2)), "two-dimensional"),
            (5.0, "two-dimensional"),
            ([[1, 2], [3]], "cannot be converted"),
            (np.array([["a", "b"]]), "dtype"),
            (np.array([[object()]]), "dtype"),
            (np.array([[1]], dtype="datetime64[s]"), "dtype"),
        ],
    )
    def test_not_a_numeric_matrix(self, value, match):
        with pytest.raises(ValueError, match=match):
            validate_csc_input(value)

    @pytest.mark.skipif(np.finfo(np.longdouble).eps >= np.finfo(np.float64).eps, reason="longdouble is double")
    def test_extended_precision_is_not_narrowed(self):
        with pytest.raises(ValueError, match="without loss"):
            validate_csc_input(np.eye(2, dtype=np.longdouble))

    def test_one_dimensional_sparse_array(self):
        with pytest.raises(ValueError, match="two-dimensional"):
            validate_csc_input(sparse.coo_array(np.array([1.0, 0.0, 2.0])))

    def test_require_square(self):
        with pytest.raises(ValueError, match="square"):
            validate_csc_input(np.zeros((2, 3)), require_square=True)
        validate_csc_input(np.zeros((3, 3)), True)

    @pytest.mark.parametrize(
        "indptr, indices, match",
        [
            ([1, 2, 3], [0, 1], r"indptr\[0\] must be 0"),
            ([0, 2, 1], [0, 1], "non-decreasing"),
            ([0, 1, 4], [0, 1], "stored entries"),
            ([0, 1], [0, 1], "entries"),
            ([0, 1, 2], [0, 3], "out of range"),
            ([0, 1, 2], [-1, 0], "out of range"),
        ],
    )
    def test_malformed_structure(self, indptr, indices, match):
        A = sparse.csc_array(np.eye(3)[:, :2])
        A.indptr = np.array(indptr, dtype=np.int32)
        A.indices = np.array(indices, dtype=np.int32)
        A.data = np.ones(len(indices))
        with pytest.raises(ValueError, match=match):
            validate_csc_input(A)

    def test_float_index_arrays(self):
        A = sparse.csc_array(np.eye(2))
        A.indices = A.indices.astype(np.float64)
        with pytest.raises(ValueError, match="integers"):
            validate_csc_input(A)


def test_no_warning_for_csc():
    A = sparse.csc_array(np.eye(3))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        validate_csc_input(A)
