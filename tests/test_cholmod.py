"""tarnix.cholmod: the CHOLMOD exchange sibling (header views, the capsule table)."""

import ctypes
import threading
import time

import numpy as np
import pytest
from scipy import sparse

import tarnix.cholmod as cm
from support import cholesky_fill_count, run_python, testing_hooks
from test_threads import run_together


class SparseHeader(ctypes.Structure):
    """cholmod_sparse, as declared in cholmod.h."""

    _fields_ = [
        ("nrow", ctypes.c_size_t), ("ncol", ctypes.c_size_t), ("nzmax", ctypes.c_size_t),
        ("p", ctypes.c_void_p), ("i", ctypes.c_void_p), ("nz", ctypes.c_void_p),
        ("x", ctypes.c_void_p), ("z", ctypes.c_void_p),
        ("stype", ctypes.c_int), ("itype", ctypes.c_int), ("xtype", ctypes.c_int), ("dtype", ctypes.c_int),
        ("sorted", ctypes.c_int), ("packed", ctypes.c_int),
    ]


# CSC structures that the private functions refuse, with a word of the message.
MALFORMED = [
    ((3, 2), [0, 1], [0], "ncol"),
    ((3, 2), [1, 1, 2], [0, 1], r"Ap\[0\]"),
    ((3, 2), [0, 2, 1], [0, 1], "non-decreasing"),
    ((3, 2), [0, 1, 3], [0, 1], "at least"),
    ((3, 2), [0, 1, 2], [0, 3], "out of range"),
    ((3, 2), [0, 1, 2], [0, -1], "out of range"),
    ((3, 2), [0, 2, 2], [1, 0], "sorted"),
    ((3, 2), [0, 2, 2], [1, 1], "duplicates"),
    ((3, 2), [0, 2, 3], [0, 3, 1], "Ai\\[1\\] = 3 is out of range"),
    ((3, 2), [0, 1, 3], [-1, 0, 2], "Ai\\[0\\] = -1 is out of range"),
    ((-1, 2), [0, 1, 2], [0, 0], "negative"),
]


def fill(A, stype=0):
    header = SparseHeader()
    cm._cholmod_sparse_from_csc(A.shape, A.indptr, A.indices, A.data, stype, ctypes.addressof(header))
    return header


class TestSparseHeader:
    @pytest.mark.parametrize("dtype, xtype", [(np.float64, 1), (np.complex128, 2)])
    @pytest.mark.parametrize("index_dtype, itype", [(np.int32, 0), (np.int64, 2)])
    def test_views_the_arrays_in_place(self, dtype, xtype, index_dtype, itype):
        A = sparse.csc_array(np.array([[1, 0, 2], [0, 3, 0]], dtype=dtype))
        indptr, indices = A.indptr.astype(index_dtype), A.indices.astype(index_dtype)
        header = SparseHeader()
        assert cm._cholmod_sparse_from_csc((2, 3), indptr, indices, A.data, 0, ctypes.addressof(header)) is None
        assert (header.nrow, header.ncol, header.nzmax) == (2, 3, 3)
        assert header.p == indptr.ctypes.data and header.i == indices.ctypes.data and header.x == A.data.ctypes.data
        assert (header.itype, header.xtype, header.dtype, header.stype) == (itype, xtype, 0, 0)
        assert header.sorted == 1 and header.packed == 1 and not header.nz and not header.z

    @pytest.mark.parametrize("shape, indptr, indices, match", MALFORMED)
    def test_malformed_structures(self, shape, indptr, indices, match):
        with pytest.raises(ValueError, match=match):
            cm._cholmod_sparse_from_csc(shape, np.array(indptr, np.int32), np.array(indices, np.int32),
                                        np.ones(len(indices)), 0, ctypes.addressof(SparseHeader()))

    def test_other_arguments(self):
        A = sparse.csc_array(np.eye(3))
        address = ctypes.addressof(SparseHeader())
        with pytest.raises(TypeError, match="float64 or complex128"):
            cm._cholmod_sparse_from_csc(A.shape, A.indptr, A.indices, A.data.astype(np.float32), 0, address)
        with pytest.raises(ValueError, match="at least"):
            cm._cholmod_sparse_from_csc(A.shape, A.indptr, A.indices, A.data[:2], 0, address)
        with pytest.raises(ValueError, match="dtype mismatch"):
            cm._cholmod_sparse_from_csc(A.shape, A.indptr, A.indices.astype(np.int64), A.data, 0, address)
        with pytest.raises(TypeError, match="No matching signature"):
            cm._cholmod_sparse_from_csc(A.shape, A.indptr.astype(float), A.indices, A.data, 0, address)
        with pytest.raises(ValueError, match="address"):
            cm._cholmod_sparse_from_csc(A.shape, A.indptr, A.indices, A.data, 0, 0)
        with pytest.raises(ValueError, match="stype"):
            cm._cholmod_sparse_from_csc((3, 2), A.indptr[:3], A.indices[:2], A.data, 1, address)
        assert fill(A, stype=-1).stype == -1
        readonly = A.data.copy()
        readonly.flags.writeable = False
        with pytest.raises(ValueError, match="read-only"):
            cm._cholmod_sparse_from_csc(A.shape, A.indptr, A.indices, readonly, 0, address)


class TestCapsuleTable:
    def test_entries(self):
        table = cm._C_API
        assert set(table) >= {"_ndarray_from_cholmod_dense", "_ndarray_copy_from_intptr", "_csc_from_cholmod_sparse",
                              "_copy_cholmod_common"}
        assert sum(name.startswith("cholmod_dense_from_ndarray") for name in table) == 4
        pycapsule_get_name = ctypes.pythonapi.PyCapsule_GetName
        pycapsule_get_name.restype = ctypes.c_char_p
        pycapsule_get_name.argtypes = [ctypes.py_object]
        names = {name: pycapsule_get_name(capsule).decode() for name, capsule in table.items()}
        assert names["_ndarray_from_cholmod_dense"] == "PyArrayObject *(cholmod_dense *, int, cholmod_common *)"
        assert names["_ndarray_copy_from_intptr"] == "PyArrayObject *(void *, size_t, int)"
        assert names["_csc_from_cholmod_sparse"] == "PyObject *(cholmod_sparse *, cholmod_common *)"
        assert names["_copy_cholmod_common"] == "int (cholmod_common *, cholmod_common *)"

    def test_binding_errors(self):
        missing = run_python(
            """
            import tarnix.cholmod as c
            del c._C_API["_csc_from_cholmod_sparse"]
            try:
                import tarnix.spqr
            except ImportError as e:
                print(e)
            """
        )
        assert missing.stdout.strip() == "tarnix.cholmod does not export expected C function _csc_from_cholmod_sparse"
        wrong = run_python(
            """
            import tarnix.cholmod as c
            c._C_API["_copy_cholmod_common"] = c._C_API["_ndarray_copy_from_intptr"]
            try:
                import tarnix.spqr
            except TypeError as e:
                print(e)
            """
        )
        assert wrong.stdout.strip() == (
            "C function tarnix.cholmod._copy_cholmod_common has wrong signature (expected int (cholmod_common *, "
            "cholmod_common *), got PyArrayObject *(void *, size_t, int))")


def test_results_own_library_memory():
    from tarnix.spqr import spqr, spqr_factor

    A = sparse.csc_array(np.array([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]]))
    Q, R, E = spqr(A)
    for arr in (Q.data, Q.indices, Q.indptr):
        assert type(arr.base).__name__ == "_SuiteSparseMemory"
    x = spqr_factor(A).solve(np.ones((3, 2)))
    assert type(x.base).__name__ == "_SuiteSparseMemory" and x.flags.writeable
    x[:] = 1.0  # the memory is the caller's
    del Q
    np.testing.assert_allclose(abs(R.toarray()[:2]), abs(np.linalg.qr(A.toarray()[:, E])[1]), atol=1e-12)


# ---------------------------------------------------------------------------
# _cholesky_counts from several threads: the library runs without the
# interpreter lock, on copies of the caller's arrays.


def grid_laplacian(k, index_dtype=np.int32):
    """The 5-point Laplacian of a k x k grid (about 5 k**2 entries)."""
    one = sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(k, k))
    eye = sparse.eye_array(k)
    A = sparse.csc_array(sparse.kron(one, eye) + sparse.kron(eye, one))
    A.sum_duplicates()
    A.indptr, A.indices = A.indptr.astype(index_dtype), A.indices.astype(index_dtype)
    return A


def grid_counts(k):
    """Entries and flops of the natural-order Cholesky factor of grid_laplacian(k), by hand.

    Column j of the factor holds the diagonal and the rest of the band below it:
    k entries, fewer in the last k columns. In the first grid row the band is
    not full yet: column j has its neighbours j + 1 and j + k and the fill
    j + k - 1 ... from its predecessors, j + 2 entries below the diagonal. The
    flops are the sum of the squares of the column counts.
    """
    n = k * k
    j = np.arange(n)
    below = np.minimum(k, n - 1 - j)
    below[: k - 1] = j[: k - 1] + 2
    return int(below.sum() + n), float(((below + 1) ** 2).sum())


class TestCountsThreads:
    def test_grid_counts_are_exact(self):
        for k in (3, 7, 40):
            A = grid_laplacian(k)
            nnz, flops = cm._cholesky_counts(A.shape, A.indptr, A.indices, None)
            assert (nnz, flops) == grid_counts(k)
            if k < 10:
                assert nnz == cholesky_fill_count(A, np.arange(k * k)) + k * k

    def test_many_threads_get_the_single_thread_counts(self):
        rng = np.random.default_rng(5)
        cases = []
        for k, index_dtype in [(30, np.int32), (45, np.int64), (60, np.int32), (25, np.int64)]:
            A = grid_laplacian(k, index_dtype)
            perm = rng.permutation(A.shape[0]).astype(index_dtype)
            cases += [(A, None, False), (A, perm, False), (A, perm, True)]
        expected = [cm._cholesky_counts(A.shape, A.indptr, A.indices, p, normal=normal) for A, p, normal in cases]

        def work(t):
            for r in range(6):
                for j in np.roll(np.arange(len(cases)), t + r):
                    A, p, normal = cases[j]
                    assert cm._cholesky_counts(A.shape, A.indptr, A.indices, p, normal=normal) == expected[j]

        run_together(work)

    def test_other_threads_run_during_a_long_count(self):
        A = grid_laplacian(500)  # 1.25e6 entries
        stamps = []
        stop = threading.Event()

        def counter():
            while not stop.is_set():
                stamps.append(time.perf_counter())

        thread = threading.Thread(target=counter)
        thread.start()
        try:
            while len(stamps) < 1000:
                time.sleep(0.001)
            durations = []
            for _ in range(3):
                start = time.perf_counter()
                result = cm._cholesky_counts(A.shape, A.indptr, A.indices, None)
                end = time.perf_counter()
                durations.append((start, end))
        finally:
            stop.set()
            thread.join()
        assert result == grid_counts(500)
        stamps = np.array(stamps)
        # With the interpreter lock held throughout, the counter would stall
        # from the start of the call to its end: it ran in the middle of one.
        inside = [np.count_nonzero((stamps > s + 0.2 * (e - s)) & (stamps < e - 0.2 * (e - s))) for s, e in durations]
        assert max(inside) > 0, (durations, inside)

    def test_arrays_changed_by_another_thread_meanwhile(self):
        """Counts on arrays that other threads rewrite: a count or a ValueError, never a crash."""
        A = grid_laplacian(120)
        n = A.shape[0]
        indptr, indices, perm = A.indptr.copy(), A.indices.copy(), np.arange(n, dtype=np.int32)
        stop = threading.Event()
        rng = np.random.default_rng(11)
        bad = [rng.integers(-(2**31), 2**31 - 1, indices.size, dtype=np.int32), np.full(indices.size, n, np.int32),
               indices[::-1].copy(), A.indices]

        def spoil(t):
            k = 0
            while not stop.is_set():
                np.copyto(indices, bad[(k + t) % len(bad)])  # large copies run without the interpreter lock
                np.copyto(indptr, A.indptr if k % 2 else A.indptr[::-1])
                np.copyto(perm, np.arange(n)[:: 1 if k % 3 else -1])
                k += 1

        spoilers = [threading.Thread(target=spoil, args=(t,)) for t in range(2)]
        for thread in spoilers:
            thread.start()
        outcomes = set()
        try:
            for r in range(60):
                try:
                    nnz, flops = cm._cholesky_counts(A.shape, indptr, indices, perm if r % 2 else None,
                                                     normal=bool(r % 4 == 3))
                    assert nnz >= n and flops >= nnz
                    outcomes.add("count")
                except ValueError:
                    outcomes.add("ValueError")
        finally:
            stop.set()
            for thread in spoilers:
                thread.join()
        assert outcomes  # and the process is still alive

    @pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
    @pytest.mark.parametrize("shape, indptr, indices, match", MALFORMED)
    def test_malformed_structures(self, shape, indptr, indices, match, index_dtype):
        with pytest.raises(ValueError, match=match):
            cm._cholesky_counts(shape, np.array(indptr, index_dtype), np.array(indices, index_dtype), None,
                                normal=True)

    def test_callers_arrays_are_left_as_they_were(self):
        A = grid_laplacian(20, np.int64)
        perm = np.random.default_rng(2).permutation(400)
        arrays = (A.indptr, A.indices, perm)
        before = [a.copy() for a in arrays]
        cm._cholesky_counts(A.shape, *arrays, normal=True)
        assert all(np.array_equal(a, b) for a, b in zip(arrays, before))


def test_counts_with_every_allocation_refused_in_turn():
    """A refused allocation is a MemoryError naming the step, or the library does without it; nothing stays allocated."""
    hook = testing_hooks()
    A = grid_laplacian(12)
    perm = np.random.default_rng(4).permutation(A.shape[0]).astype(np.int32)
    for normal in (False, True):
        expected = cm._cholesky_counts(A.shape, A.indptr, A.indices, perm, normal=normal)
        steps = set()
        index = 0
        while True:
            hook.fail_allocation(index)
            try:
                try:
                    result = cm._cholesky_counts(A.shape, A.indptr, A.indices, perm, normal=normal)
                except MemoryError as exc:
                    result = str(exc)
            finally:
                allocations, refused, live = hook.restore_allocator()
            assert live == 0, (index, live)
            if not refused:
                assert result == expected
                break
            if not isinstance(result, str):
                assert result == expected, index  # the library did without the block
            else:
                assert result.startswith("CHOLMOD ran out of memory in "), (index, result)
                steps.add(result.rsplit(" in ", 1)[1])
            index += 1
        assert steps == ({"transpose", "analysis"} if normal else {"transpose", "A + A'", "analysis"})
