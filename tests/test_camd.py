"""tarnix.camd: CAMD constrained minimum degree orderings."""

import dataclasses
import doctest

import numpy as np
import pytest
from scipy import sparse
from scipy.sparse.csgraph import reverse_cuthill_mckee

import tarnix.camd as mod
from support import (SQUARE, cholesky_fill_count, is_permutation, load, run_python, snapshot, symmetric_pattern,
                     unchanged)
from tarnix.camd import CAMDError, CAMDInfo, CAMDInvalidMatrixError, CAMDMemoryError, camd, camd_default_control


def arrays(A, itype=np.int32):
    A = sparse.csc_array(A)
    n = A.shape[0]
    return dict(N=n, Ap=A.indptr.astype(itype), Ai=A.indices.astype(itype), p=np.zeros(n, itype),
                ctrl=np.array([10.0, 1.0, 0, 0, 0]), info=np.zeros(20))


class TestOrderings:
    @pytest.mark.parametrize("name", SQUARE)
    def test_same_for_both_widths(self, name):
        (p32, i32), (p64, i64) = (camd(load(name, t), return_info=True) for t in (np.int32, np.int64))
        assert p32.dtype == np.int32 and p64.dtype == np.int64
        assert is_permutation(p32, load(name).shape[0])
        np.testing.assert_array_equal(p32, p64)
        assert dataclasses.replace(i32, memory=0.0) == dataclasses.replace(i64, memory=0.0)  # bytes differ

    @pytest.mark.parametrize("name", SQUARE)
    def test_fill_no_worse_than_reverse_cuthill_mckee(self, name):
        S = symmetric_pattern(load(name))
        rcm = reverse_cuthill_mckee(sparse.csr_matrix(S), symmetric_mode=True)
        p, info = camd(S, return_info=True)
        fill = cholesky_fill_count(S, p)
        assert fill <= cholesky_fill_count(S, rcm)
        assert fill <= info.Lnz  # the library's count is an upper bound

    @pytest.mark.parametrize("name", SQUARE)
    def test_info_against_the_pattern(self, name):
        A = load(name)
        B = sparse.csc_array((np.ones(A.nnz), A.indices, A.indptr), shape=A.shape).toarray() != 0
        off = B & ~np.eye(B.shape[0], dtype=bool)
        _, info = camd(A, return_info=True)
        assert info.status == 0 and info.N == A.shape[0] and info.nz == A.nnz
        assert info.nzdiag == np.count_nonzero(np.diag(B))
        assert info.nz_A_plus_AT == np.count_nonzero(off | off.T)
        assert info.symmetry == pytest.approx(np.count_nonzero(off & off.T) / max(np.count_nonzero(off), 1))

    @pytest.mark.parametrize("name", SQUARE)
    def test_constraint_sets_are_respected(self, name):
        A = load(name)
        n = A.shape[0]
        cons = np.random.default_rng(n).integers(0, min(4, n), size=n)
        p = camd(A, constraints=cons)
        assert is_permutation(p, n) and np.all(np.diff(cons[p]) >= 0)

    def test_pinned_nodes_come_first_in_order(self):
        A = load("494_bus")
        n, K = A.shape[0], 5
        cons = np.full(n, K)
        cons[:K] = np.arange(K)
        p = camd(A, constraints=cons)
        np.testing.assert_array_equal(p[:K], np.arange(K))

    def test_dense_threshold(self):
        # Node 0 is adjacent to 100 of 400 nodes: dense only when the threshold
        # max(16, dense_thresh * sqrt(400)) is below 100.
        n = 400
        A = sparse.lil_array((n, n))
        A.setdiag(1.0)
        A[0, :101] = 1.0
        A[:101, 0] = 1.0
        A = sparse.csc_array(A)
        assert camd(A, return_info=True)[1].Ndense == 0
        p, info = camd(A, dense_thresh=1, return_info=True)
        position = np.argsort(p)
        assert info.Ndense == 1 and position[0] > position[1:101].max()
        assert camd(A, dense_thresh=-1, return_info=True)[1].Ndense == 0
        # A negative value still leaves out a node adjacent to all others.
        A = sparse.lil_array(A)
        A[0, :] = 1.0
        A[:, 0] = 1.0
        A = sparse.csc_array(A)
        assert camd(A, dense_thresh=-1, return_info=True)[1].Ndense == 1

    def test_jumbled_input_is_reported_in_info(self):
        A = sparse.csc_array(np.array([[1.0, 1, 0], [1, 1, 1], [0, 1, 1]]))
        Ai = A.indices.copy()
        Ai[:2] = Ai[1::-1]
        B = sparse.csc_array((A.data, Ai, A.indptr), shape=A.shape)
        a = arrays(A)
        a["Ai"] = Ai
        mod._camd_order(**a)
        assert CAMDInfo.from_array(a["info"]).status == 1 and is_permutation(a["p"], 3)
        assert camd(B, return_info=True)[1].status == 0  # coercion sorts the indices

    def test_input_and_constraints_are_not_modified(self):
        A = load("west0067")
        snap = snapshot(A)
        cons = np.arange(67, dtype=np.int32) % 3
        camd(A, constraints=cons, aggressive=0)
        assert unchanged(A, snap) and np.array_equal(cons, np.arange(67) % 3)

    def test_knob_arguments(self):
        A = load("west0067")
        for kwargs in [dict(dense_thresh=0.1), dict(aggressive="no"), dict(aggressive=0), dict(dense_thresh=3)]:
            assert is_permutation(camd(A, **kwargs), 67)
        with pytest.raises(TypeError):
            camd(A, dense_thresh="x")

    def test_float_constraints_are_truncated(self):
        A = np.array([[1.0, 1, 1], [1, 1, 0], [1, 0, 1]])
        np.testing.assert_array_equal(camd(A, constraints=[0.0, 1.9, 2.2]), [0, 1, 2])


class TestTrivialInputsAndErrors:
    def test_early_exits(self, index_dtype):
        for n in (0, 4):
            A = sparse.csc_array((n, n), dtype=np.float64)
            A.indptr = A.indptr.astype(index_dtype)
            A.indices = A.indices.astype(index_dtype)
            p = camd(A, constraints=[None, 7], dense_thresh="x", return_info=True)
            assert isinstance(p, np.ndarray) and p.dtype == index_dtype
            np.testing.assert_array_equal(p, np.arange(n))

    def test_constraint_errors(self):
        A = np.array([[1.0, 1, 0], [1, 1, 1], [0, 1, 1]])
        with pytest.raises(ValueError) as err:
            camd(A, constraints=[0, 1])
        assert str(err.value) == "Constraints must have the same length as the matrix size."
        with pytest.raises(TypeError) as err:
            camd(A, constraints=[None, None, None])
        assert str(err.value) == "Constraints must be an array of integers."
        assert isinstance(err.value.__context__, TypeError)
        for bad in ([0, 1, 3], [-1, 0, 0], [0, 0, -2**31]):
            with pytest.raises(ValueError, match=r"^Constraints must lie in 0\.\.N-1 = 0\.\.2"):
                camd(A, constraints=bad)
        with pytest.raises(ValueError, match="Constraints must have the same length"):
            camd(A, constraints=5)  # ascontiguousarray makes a scalar one-dimensional

    def test_square_required(self):
        with pytest.raises(ValueError, match="square"):
            camd(np.ones((2, 3)))

    def test_surface_argument_messages(self):
        with pytest.raises(TypeError, match=r"^camd\(\) takes at most 5 positional arguments \(6 given\)$"):
            camd(np.eye(2), None, None, None, False, 1)
        with pytest.raises(TypeError, match=r"^camd\(\) got an unexpected keyword argument 'opt_lu'$"):
            camd(np.eye(2), opt_lu="lu")
        assert camd.__defaults__ == (None, None, None, False)
        assert mod._camd_order.__defaults__ == (None,)

    def test_coercion_call(self, monkeypatch):
        seen = []
        real = mod.validate_csc_input
        monkeypatch.setattr(mod, "validate_csc_input", lambda *a, **k: seen.append((a[1:], k)) or real(*a, **k))
        camd(np.eye(3))
        assert seen == [((), {"require_square": True})]
        monkeypatch.setattr(mod, "validate_csc_input", lambda *a, **k: iter([1, 2, 3, 4]))
        with pytest.raises(ValueError, match=r"too many values to unpack \(expected 3\)"):
            camd(np.eye(3))


class TestPrivateFunction:
    def test_direct_call_both_widths(self, index_dtype):
        a = arrays(load("young1c"), index_dtype)
        a["constraints"] = (np.arange(a["N"]) % 2).astype(index_dtype)
        assert mod._camd_order(**a) is None
        assert is_permutation(a["p"], a["N"]) and a["info"][0] == 0
        assert np.all(np.diff(a["constraints"][a["p"]]) >= 0)

    def test_none_arrays(self):
        a = arrays(load("lfat5b"))
        ok = dict(a, ctrl=None, info=None)
        mod._camd_order(**ok)  # library defaults, no statistics
        assert is_permutation(ok["p"], a["N"])
        for name in ("Ap", "Ai", "p"):
            b = dict(arrays(load("lfat5b")), **{name: None})
            with pytest.raises(CAMDInvalidMatrixError) as err:
                mod._camd_order(**b)
            assert str(err.value).startswith("camd: input matrix A is invalid:\nCAMDInfo(status=-2, N=14, ")
        with pytest.raises(CAMDInvalidMatrixError, match="status=-2"):
            mod._camd_order(3, None, None, None, None, None)

    def test_surface_invalid_matrix_message(self):
        a = arrays(np.eye(3))
        a["Ap"] = np.array([0, 2, 1, 3], np.int32)  # decreasing, within Ai
        with pytest.raises(CAMDInvalidMatrixError) as err:
            mod._camd_order(**a)
        info = CAMDInfo.from_array(a["info"])
        assert str(err.value) == "camd: input matrix A is invalid:\n" + str(info)
        assert info.status == -2 and isinstance(err.value, ValueError)

    def test_dispatch(self):
        a = arrays(np.eye(3))
        with pytest.raises(TypeError, match="^Expected at least 6 arguments, got 1$"):
            mod._camd_order(3)
        for bad in (a["Ap"].astype(np.float64), a["Ap"].astype(np.uint32)):
            with pytest.raises(TypeError, match="^No matching signature found$"):
                mod._camd_order(**{**a, "Ap": bad})
        with pytest.raises(ValueError, match="dtype mismatch"):
            mod._camd_order(**{**a, "Ap": a["Ap"].astype(np.int64)})

    def test_hostile_arguments_raise_cleanly(self):
        base = arrays(load("west0067"))
        n = base["N"]
        cases = [
            {"Ap": base["Ap"][:-1]},
            {"Ap": base["Ap"] * 100},
            {"Ap": np.r_[base["Ap"][:-1], 10**6].astype(np.int32)},
            {"Ai": base["Ai"][:-3]},
            {"p": np.zeros(n - 1, np.int32)},
            {"ctrl": np.zeros(4)},
            {"info": np.zeros(19)},
            {"info": np.zeros(20, np.float32)},
            {"constraints": np.zeros(n + 1, np.int32)},
            {"constraints": np.full(n, n, np.int32)},
            {"constraints": np.full(n, -1, np.int32)},
            {"constraints": np.zeros((n, 1), np.int32)},
            {"N": 2**33},
            {"N": n + 5},
        ]
        for change in cases:
            a = {**base, "p": np.zeros(n, np.int32), **change}
            with pytest.raises((ValueError, OverflowError)):
                mod._camd_order(**a)
        with pytest.raises(CAMDInvalidMatrixError):
            mod._camd_order(**{**base, "N": -1, "Ap": np.zeros(0, np.int32), "constraints": None})


class TestModule:
    def test_surface_namespace_and_exceptions(self):
        assert mod.__all__ == ["CAMDError", "CAMDInvalidMatrixError", "CAMDMemoryError", "CAMDInfo", "camd",
                               "camd_default_control"]
        assert mod.np is np and mod.dataclass is dataclasses.dataclass
        assert CAMDError.__bases__ == (Exception,)
        assert CAMDInvalidMatrixError.__bases__ == (CAMDError, ValueError)
        assert CAMDMemoryError.__bases__ == (CAMDError, MemoryError)
        assert CAMDError.__doc__.splitlines()[0] == "Base class for CAMD-related errors."
        assert CAMDInvalidMatrixError.__doc__.splitlines()[0] == "Raised when the input matrix is invalid for CAMD."
        assert CAMDMemoryError.__module__ == "tarnix.camd"

    def test_surface_default_control(self):
        d = camd_default_control()
        assert d == {"dense_thresh": 10.0, "aggressive": True} and list(d) == ["dense_thresh", "aggressive"]
        assert type(d["dense_thresh"]) is float and d["aggressive"] is True

    def test_info_record(self):
        info = CAMDInfo.from_array(list(range(20)))
        assert info.symmetry == 3.0 and info.memory == 7.0 and type(info.memory) is float
        assert [getattr(info, f.name) for f in dataclasses.fields(CAMDInfo)] == list(range(14))
        assert [f.type for f in dataclasses.fields(CAMDInfo)].count("float") == 2
        with pytest.raises(IndexError):
            CAMDInfo.from_array([0] * 13)
        with pytest.raises(dataclasses.FrozenInstanceError):
            info.Lnz = 0
        assert info == CAMDInfo.from_array(np.arange(20.0)) and CAMDInfo.from_array([1.9] * 14).status == 1
        assert CAMDInfo.from_array.__annotations__ == {"info": "np.ndarray", "return": "CAMDInfo"}

    def test_doctests(self):
        result = doctest.testmod(mod)
        assert result.attempted >= 8 and result.failed == 0

    def test_surface_reimport_is_refused(self):
        proc = run_python(
            """
            import sys, tarnix.camd
            del sys.modules["tarnix.camd"]
            try:
                import tarnix.camd
            except RuntimeError as e:
                print(e)
            """
        )
        assert proc.stdout.strip() == ("Module 'camd' has already been imported. "
                                       "Re-initialisation is not supported."), proc.stderr
