"""tarnix.cholmod: the CHOLMOD exchange sibling (header views, the capsule table)."""

import ctypes

import numpy as np
import pytest
from scipy import sparse

import tarnix.cholmod as cm
from support import run_python


class SparseHeader(ctypes.Structure):
    """cholmod_sparse, as declared in cholmod.h."""

    _fields_ = [
        ("nrow", ctypes.c_size_t), ("ncol", ctypes.c_size_t), ("nzmax", ctypes.c_size_t),
        ("p", ctypes.c_void_p), ("i", ctypes.c_void_p), ("nz", ctypes.c_void_p),
        ("x", ctypes.c_void_p), ("z", ctypes.c_void_p),
        ("stype", ctypes.c_int), ("itype", ctypes.c_int), ("xtype", ctypes.c_int), ("dtype", ctypes.c_int),
        ("sorted", ctypes.c_int), ("packed", ctypes.c_int),
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

    @pytest.mark.parametrize(
        "shape, indptr, indices, match",
        [
            ((3, 2), [0, 1], [0], "ncol"),
            ((3, 2), [1, 1, 2], [0, 1], r"Ap\[0\]"),
            ((3, 2), [0, 2, 1], [0, 1], "non-decreasing"),
            ((3, 2), [0, 1, 3], [0, 1], "at least"),
            ((3, 2), [0, 1, 2], [0, 3], "out of range"),
            ((3, 2), [0, 1, 2], [0, -1], "out of range"),
            ((3, 2), [0, 2, 2], [1, 0], "sorted"),
            ((3, 2), [0, 2, 2], [1, 1], "duplicates"),
            ((-1, 2), [0, 1, 2], [0, 0], "negative"),
        ],
    )
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
