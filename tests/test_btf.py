"""tarnix.btf: maximum transversal, strongly connected components, block triangular form."""

import doctest

import numpy as np
import pytest
from scipy import sparse
from scipy.sparse.csgraph import connected_components, maximum_bipartite_matching, structural_rank

import tarnix.btf as mod
from support import ALL, SQUARE, is_permutation, load, random_csc, run_python, snapshot, unchanged
from tarnix.btf import btf, btf_q_permutation, maxtrans, strongcomp

RNG = np.random.default_rng(2024)
GENERATED = {
    "sparse_singular": random_csc(300, 300, 0.004, RNG),
    "random_nonsingular": sparse.csc_array(random_csc(200, 200, 0.01, RNG)
                                           + sparse.eye_array(200, format="csr")[RNG.permutation(200)]),
    "wide": random_csc(40, 90, 0.03, RNG),
    "tall": random_csc(90, 40, 0.03, RNG),
    "upper_blocks": sparse.csc_array(sparse.block_diag([sparse.coo_array(np.ones((k, k))) for k in (3, 2, 4)])
                                     + sparse.eye_array(9, k=3)),
}


def matrix(name, index_dtype=np.int32):
    if name in GENERATED:
        A = sparse.csc_array(GENERATED[name], copy=True)
        A.indptr, A.indices = A.indptr.astype(index_dtype), A.indices.astype(index_dtype)
        return A
    return load(name, index_dtype)


SQUARE_CASES = SQUARE + ["sparse_singular", "random_nonsingular", "upper_blocks"]
ALL_CASES = ALL + list(GENERATED)


def pattern(A):
    A = sparse.csc_array(A)
    return sparse.csr_array((np.ones(A.nnz), A.indices, A.indptr), shape=A.shape[::-1]).T.tocsc()


def block_of(r, n):
    return np.searchsorted(r, np.arange(n), side="right") - 1


def assert_block_upper_triangular(B, r):
    B = sparse.coo_array(B)
    blk = block_of(r, B.shape[0])
    assert np.all(blk[B.row] <= blk[B.col]), "an entry lies below the diagonal blocks"


def assert_blocks(r, n):
    assert r[0] == 0 and r[-1] == n and np.all(np.diff(r) > 0)


class TestMaxtrans:
    @pytest.mark.parametrize("name", ALL_CASES)
    def test_matching_against_scipy(self, name):
        A = matrix(name)
        jmatch = maxtrans(A)
        m, n = A.shape
        assert jmatch.shape == (m,) and jmatch.dtype == np.int32
        rows = np.flatnonzero(jmatch >= 0)
        assert rows.size == structural_rank(pattern(A))
        assert rows.size == np.count_nonzero(maximum_bipartite_matching(pattern(A), perm_type="column") >= 0)
        assert np.all(jmatch >= -1) and np.all(jmatch < n)
        cols = jmatch[rows]
        assert np.unique(cols).size == cols.size, "a column matched twice"
        assert np.all(pattern(A).toarray()[rows, cols] != 0), "a matched entry is not stored"

    @pytest.mark.parametrize("name", ALL_CASES)
    def test_same_for_both_widths(self, name):
        j32, j64 = maxtrans(matrix(name, np.int32)), maxtrans(matrix(name, np.int64))
        assert j64.dtype == np.int64
        np.testing.assert_array_equal(j32, j64)

    def test_nonsingular_gives_a_column_permutation(self):
        A = matrix("random_nonsingular")
        jmatch = maxtrans(A)
        assert is_permutation(jmatch, 200)
        assert np.all(A[:, jmatch].diagonal() != 0)

    @pytest.mark.parametrize("shape", [(3, 0), (0, 3), (0, 0)])
    def test_empty_shapes(self, shape, index_dtype):
        A = sparse.csc_array(shape, dtype=np.float64)
        A.indptr, A.indices = A.indptr.astype(index_dtype), A.indices.astype(index_dtype)
        j = maxtrans(A)
        assert j.shape == (0,) and j.dtype == index_dtype

    def test_no_entries(self):
        np.testing.assert_array_equal(maxtrans(sparse.csc_array((4, 3))), [-1, -1, -1, -1])

    def test_input_not_modified(self):
        A = load("west0067")
        snap = snapshot(A)
        maxtrans(A), strongcomp(A), btf(A)
        assert unchanged(A, snap)


class TestStrongcomp:
    @pytest.mark.parametrize("name", SQUARE_CASES)
    def test_components_against_scipy(self, name, index_dtype):
        A = matrix(name, index_dtype)
        n = A.shape[0]
        p, r = strongcomp(A)
        assert p.dtype == r.dtype == index_dtype and is_permutation(p, n)
        ncomp, labels = connected_components(pattern(A), directed=True, connection="strong")
        assert r.shape == (ncomp + 1,)
        assert_blocks(r, n)
        blk = block_of(r, n)
        # Every block is one component, and no component spans two blocks.
        for b in range(ncomp):
            assert np.unique(labels[p[r[b]:r[b + 1]]]).size == 1
        assert np.unique(labels[p[r[:-1]]]).size == ncomp
        assert_block_upper_triangular(A[p][:, p], r)
        assert blk.size == n

    @pytest.mark.parametrize("name", ["west0067", "rajat19", "random_nonsingular", "GD98_a"])
    def test_with_the_maximum_transversal(self, name):
        A = matrix(name)
        jmatch = maxtrans(A)
        q = np.where(jmatch >= 0, jmatch, -1)
        # Complete the matching to a permutation, flipping the unmatched columns.
        free_cols = np.setdiff1d(np.arange(A.shape[1]), jmatch[jmatch >= 0])
        q[q < 0] = -free_cols - 2
        q = q.astype(np.int32)
        p, q_out, r = strongcomp(A, q)
        assert q_out is q  # reordered in place
        np.testing.assert_array_equal(np.sort(-q_out[q_out < 0] - 2), free_cols)  # the flags are kept
        cols = btf_q_permutation(q_out.copy())
        assert is_permutation(cols, A.shape[0])
        B = pattern(A)[p][:, cols]
        assert_block_upper_triangular(B, r)
        assert np.count_nonzero(B.diagonal()) >= np.count_nonzero(q_out >= 0)
        assert np.all(B.diagonal()[q_out >= 0] != 0)

    def test_block_diagonal_of_two_irreducible_blocks(self):
        A = sparse.block_diag([sparse.coo_array(np.ones((3, 3))), sparse.coo_array(np.ones((2, 2)))], format="csc")
        p, r = strongcomp(A)
        assert r.tolist() in ([0, 3, 5], [0, 2, 5])

    def test_q_conversion(self):
        A = matrix("upper_blocks")
        p, q, r = strongcomp(A, list(range(9)))
        assert q.dtype == np.int32 and is_permutation(q, 9)
        q64 = np.arange(9, dtype=np.int64)
        assert strongcomp(A, q64)[1] is not q64  # another dtype: converted to a new array
        with pytest.raises(TypeError) as err:
            strongcomp(A, [None] * 9)
        assert str(err.value) == "qin must be an integer array."
        assert isinstance(err.value.__context__, TypeError)
        with pytest.raises(ValueError) as err:
            strongcomp(A, np.arange(8))
        assert str(err.value) == "qin must have the same lengthas the number of columns in A."

    @pytest.mark.parametrize("bad, what", [
        ([0, 1, 2, 3, 4, 5, 6, 7, 9], r"qin\[8\] = 9 is not a column of A"),
        ([0, 1, 2, 3, 4, 5, 6, 7, -1], r"qin\[8\] = -1 is not a column of A"),
        ([0, 1, 2, 3, 4, 5, 6, 7, -11], r"qin\[8\] = -11 is not a column of A"),
        ([0, 1, 2, 3, 4, 5, 6, 7, -2], r"qin\[8\] = -2 names column 0 a second time"),
        ([0, 0, 2, 3, 4, 5, 6, 7, 8], r"qin\[1\] = 0 names column 0 a second time"),
        ([0, 1, 2, 3, 4, 5, 6, 7, -2**31], r"is not a column of A"),
    ])
    def test_bad_q_is_refused_and_left_unchanged(self, bad, what):
        q = np.array(bad, dtype=np.int32)
        with pytest.raises(ValueError, match=what):
            strongcomp(matrix("upper_blocks"), q)
        np.testing.assert_array_equal(q, bad)

    @pytest.mark.parametrize("bad, what", [
        ([0, 1, 2, 3, 4, 5, 6, 7, -2**63], r"qin\[8\] = -9223372036854775808 is not a column of A"),
        ([0, 1, 2, 3, 4, 5, 6, -9, -9], r"qin\[8\] = -9 names column 7 a second time"),
    ])
    def test_bad_int64_q_is_refused_and_left_unchanged(self, bad, what):
        q = np.array(bad, dtype=np.int64)
        with pytest.raises(ValueError, match=what):
            strongcomp(matrix("upper_blocks", np.int64), q)
        np.testing.assert_array_equal(q, bad)

    def test_flipped_q_is_accepted(self):
        q = np.array([-2, 1, 2, 3, 4, 5, 6, 7, -10], dtype=np.int32)
        p, q, r = strongcomp(matrix("upper_blocks"), q)
        assert sorted(btf_q_permutation(q.copy()).tolist()) == list(range(9))
        assert np.count_nonzero(q < 0) == 2

    def test_early_exits_do_not_look_at_q(self, index_dtype):
        A = sparse.csc_array((3, 3))
        A.indptr, A.indices = A.indptr.astype(index_dtype), A.indices.astype(index_dtype)
        p, r = strongcomp(A)
        np.testing.assert_array_equal(p, [0, 1, 2])
        np.testing.assert_array_equal(r, [0, 1, 2, 3])
        p, q, r = strongcomp(A, q=[99])
        np.testing.assert_array_equal(q, [0, 1, 2])
        assert q.dtype == index_dtype
        p, q, r = strongcomp(sparse.csc_array((0, 0)), q="anything")
        assert p.size == q.size == 0 and r.tolist() == [0]


class TestBtf:
    @pytest.mark.parametrize("name", SQUARE_CASES)
    def test_block_triangular_form(self, name, index_dtype):
        A = matrix(name, index_dtype)
        n = A.shape[0]
        p, q, r = btf(A)
        assert p.dtype == q.dtype == r.dtype == index_dtype
        assert is_permutation(p, n)
        assert np.all((q >= 0) | (q <= -2))
        cols = btf_q_permutation(q.copy())
        assert is_permutation(cols, n)
        assert_blocks(r, n)
        B = pattern(A)[p][:, cols]
        assert_block_upper_triangular(B, r)
        matched = q >= 0
        assert np.count_nonzero(matched) == structural_rank(pattern(A))
        assert np.all(B.diagonal()[matched] != 0), "a matched column has no diagonal entry"

    @pytest.mark.parametrize("name", SQUARE_CASES)
    def test_same_for_both_widths(self, name):
        for a, b in zip(btf(matrix(name, np.int32)), btf(matrix(name, np.int64))):
            np.testing.assert_array_equal(a, b)

    def test_singular_matrix_has_flipped_columns(self):
        p, q, r = btf(load("GD98_a"))
        assert np.any(q < 0) and np.all(q[q < 0] <= -2)

    def test_early_exits(self, index_dtype):
        A = sparse.csc_array((3, 3))
        A.indptr, A.indices = A.indptr.astype(index_dtype), A.indices.astype(index_dtype)
        p, q, r = btf(A)
        assert p.tolist() == [0, 1, 2] and q.tolist() == [-2, -3, -4] and r.tolist() == [0, 1, 2, 3]
        assert q.dtype == index_dtype
        p, q, r = btf(sparse.csc_array((0, 0)))
        assert p.size == q.size == 0 and r.tolist() == [0]

    def test_square_required(self):
        for fn in (strongcomp, btf):
            with pytest.raises(ValueError, match="square"):
                fn(np.ones((2, 3)))
        assert maxtrans(np.ones((2, 3))).tolist() == [0, 1]

    def test_q_permutation(self):
        q = btf_q_permutation([0, 1, 2, -5, 10, 6, 5, 7, 8, 4, 9])
        assert q.tolist() == [0, 1, 2, 3, 10, 6, 5, 7, 8, 4, 9]
        arr = np.array([-3, 0, -2], dtype=np.int64)
        assert btf_q_permutation(arr) is arr and arr.tolist() == [1, 0, 0]
        with pytest.raises(ValueError) as err:
            btf_q_permutation(np.zeros((2, 2)))
        assert str(err.value) == "Input must be a 1D array."
        with pytest.raises(ValueError, match="1D"):
            btf_q_permutation(5)


class TestPrivateFunctions:
    def pattern_arrays(self, A, itype=np.int32):
        A = sparse.csc_array(A)
        return A.indptr.astype(itype), A.indices.astype(itype)

    def test_direct_calls_both_widths(self, index_dtype):
        A = matrix("rajat19")
        n = A.shape[0]
        Ap, Ai = self.pattern_arrays(A, index_dtype)
        jmatch = np.zeros(n, index_dtype)
        assert mod._maxtrans(n, n, Ap, Ai, 0.0, jmatch) is None
        np.testing.assert_array_equal(jmatch, maxtrans(A))
        p, r = np.zeros(n, index_dtype), np.zeros(n + 1, index_dtype)
        nblocks = mod._strongcomp(n, Ap, Ai, None, p, r)
        assert type(nblocks) is int and nblocks + 1 == strongcomp(A)[1].size
        p, q, r = np.zeros(n, index_dtype), np.zeros(n, index_dtype), np.zeros(n + 1, index_dtype)
        nblocks = mod._btf(n, Ap, Ai, 0.0, p, q, r)
        assert type(nblocks) is int and nblocks + 1 == btf(A)[2].size

    def test_work_limit(self):
        A = matrix("sparse_singular")
        n = A.shape[0]
        Ap, Ai = self.pattern_arrays(A)
        jmatch = np.zeros(n, np.int32)
        mod._maxtrans(n, n, Ap, Ai, 1e-9, jmatch)  # stops early: a smaller, still valid matching
        rows = np.flatnonzero(jmatch >= 0)
        assert rows.size <= structural_rank(pattern(A))
        assert np.all(pattern(A).toarray()[rows, jmatch[rows]] != 0)

    def test_dispatch(self):
        Ap, Ai = self.pattern_arrays(np.eye(3))
        with pytest.raises(TypeError, match="^Expected at least 6 arguments, got 2$"):
            mod._maxtrans(3, 3)
        with pytest.raises(TypeError, match="^Expected at least 6 arguments, got 0$"):
            mod._strongcomp()
        with pytest.raises(TypeError, match="^Expected at least 7 arguments, got 1$"):
            mod._btf(3)
        with pytest.raises(TypeError, match="^No matching signature found$"):
            mod._btf(3, Ap.astype(np.float64), Ai, 0.0, Ai, Ai, Ap)
        with pytest.raises(TypeError, match="Argument 'Ap' must not be None"):
            mod._strongcomp(3, None, Ai, None, Ai, Ap)
        assert mod._strongcomp(N=3, Ap=Ap, Ai=Ai, q=None, p=np.zeros(3, np.int32), r=np.zeros(4, np.int32)) == 3
        assert mod.maxtrans.__doc__ and mod._maxtrans.__doc__ is None and mod.strongcomp.__defaults__ == (None,)

    def test_hostile_patterns_raise_cleanly(self):
        A = matrix("west0067")
        n = A.shape[0]
        Ap, Ai = self.pattern_arrays(A)
        bad_patterns = [
            (Ap[:-1], Ai),                                              # Ap too short
            (Ap + 1, Ai),                                               # Ap[0] != 0
            (np.r_[Ap[:5], Ap[3], Ap[6:]].astype(np.int32), Ai),        # decreasing
            (Ap, Ai[:-1]),                                              # Ai shorter than Ap[N]
            (Ap, np.where(np.arange(Ai.size) == 7, n, Ai).astype(np.int32)),    # row index == N
            (Ap, np.where(np.arange(Ai.size) == 9, -1, Ai).astype(np.int32)),   # negative row index
            (Ap, np.where(np.arange(Ai.size) == 9, -2**31, Ai).astype(np.int32)),
            (np.zeros(0, np.int32), np.zeros(0, np.int32)),
        ]
        out = lambda k=0: np.zeros(n + 1 + k, np.int32)  # noqa: E731
        for P, I in bad_patterns:
            with pytest.raises(ValueError):
                mod._maxtrans(n, n, P, I, 0.0, out())
            with pytest.raises(ValueError):
                mod._strongcomp(n, P, I, None, out(), out())
            with pytest.raises(ValueError):
                mod._btf(n, P, I, 0.0, out(), out(), out())

    def test_hostile_sizes_raise_cleanly(self):
        A = matrix("west0067")
        n = A.shape[0]
        Ap, Ai = self.pattern_arrays(A)
        z = lambda k: np.zeros(k, np.int32)  # noqa: E731
        calls = [
            lambda: mod._maxtrans(n, n, Ap, Ai, 0.0, z(n - 1)),
            lambda: mod._maxtrans(n - 10, n, Ap, Ai, 0.0, z(n)),       # rows beyond M
            lambda: mod._maxtrans(-1, n, Ap, Ai, 0.0, z(n)),
            lambda: mod._maxtrans(n, -1, z(0), Ai, 0.0, z(n)),
            lambda: mod._maxtrans(2**40, n, Ap, Ai, 0.0, z(n)),
            lambda: mod._maxtrans(n, n, Ap, Ai, "x", z(n)),
            lambda: mod._maxtrans(n, n, Ap, Ai.astype(np.int64), 0.0, z(n)),
            lambda: mod._strongcomp(n, Ap, Ai, None, z(n - 1), z(n + 1)),
            lambda: mod._strongcomp(n, Ap, Ai, None, z(n), z(n)),
            lambda: mod._strongcomp(n, Ap, Ai, z(n + 1), z(n), z(n + 1)),
            lambda: mod._strongcomp(n, Ap, Ai, np.zeros(n, np.int64), z(n), z(n + 1)),
            lambda: mod._strongcomp(n, Ap, Ai, z(n), z(n), z(n + 1)),   # column 0 n times
            lambda: mod._strongcomp(-1, z(0), Ai, None, z(0), z(0)),
            lambda: mod._btf(n, Ap, Ai, 0.0, z(n), z(n - 1), z(n + 1)),
            lambda: mod._btf(n, Ap, Ai, 0.0, z(n), z(n), z(n)),
            lambda: mod._btf(n, Ap, Ai, 0.0, z(n), None, z(n + 1)),
            lambda: mod._btf(n, Ap, Ai, 0.0, z(2 * n)[::2], z(n), z(n + 1)),
        ]
        for call in calls:
            with pytest.raises((ValueError, TypeError, OverflowError)):
                call()

    def test_larger_outputs_are_accepted(self):
        Ap, Ai = self.pattern_arrays(matrix("upper_blocks"))
        r = np.full(20, -7, np.int32)
        nblocks = mod._strongcomp(9, Ap, Ai, None, np.zeros(12, np.int32), r)
        assert r[0] == 0 and r[nblocks] == 9 and np.all(r[10:] == -7)  # nothing written past N + 1


class TestModule:
    def test_surface_namespace(self):
        assert mod.__all__ == ["maxtrans", "strongcomp", "btf", "btf_q_permutation"]
        from tarnix.utils import validate_csc_input
        assert mod.np is np and mod.validate_csc_input is validate_csc_input

    def test_coercion_calls(self, monkeypatch):
        seen = []
        real = mod.validate_csc_input
        monkeypatch.setattr(mod, "validate_csc_input", lambda *a, **k: seen.append((a[1:], k)) or real(*a, **k))
        A = np.eye(3)
        maxtrans(A), strongcomp(A), btf(A)
        assert seen == [((), {}), ((), {"require_square": True}), ((), {"require_square": True})]
        monkeypatch.setattr(mod, "validate_csc_input", lambda *a, **k: [A])
        for fn in (maxtrans, strongcomp, btf):
            with pytest.raises(ValueError, match="^need more than 1 value to unpack$"):
                fn(A)

    def test_doctests(self):
        result = doctest.testmod(mod)
        assert result.attempted >= 15 and result.failed == 0

    def test_surface_reimport_is_refused(self):
        proc = run_python(
            """
            import sys, tarnix.btf
            del sys.modules["tarnix.btf"]
            try:
                import tarnix.btf
            except RuntimeError as e:
                print(e)
            """
        )
        assert proc.stdout.strip() == ("Module 'btf' has already been imported. "
                                       "Re-initialisation is not supported."), proc.stderr
