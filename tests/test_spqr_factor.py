"""tarnix.spqr: module surface, SPQRInfo and SPQRFactor (analysis, factorization, copy, state)."""

import copy
import dataclasses
import doctest
import gc
import pickle
import warnings

import numpy as np
import pytest
from scipy import sparse

import tarnix.spqr as mod
from support import ALL, is_permutation, load, random_csc, run_python, with_index_dtype
from tarnix.spqr import (
    SPQRError,
    SPQRFactor,
    SPQRGpuProblemError,
    SPQRInfo,
    SPQRInvalidInputError,
    SPQRNotInstalledError,
    SPQROutOfMemoryError,
    SPQROverflowError,
    SPQRRankDeficiencyWarning,
    SPQRWarning,
)

ORDERINGS = ["default", "fixed", "natural", "colamd", "cholmod", "amd", "metis", "best", "bestamd"]


def rank_deficient(m, n, r, rng, dtype=np.float64):
    """A sparse m x n matrix of rank r (product of sparse factors)."""
    L = random_csc(m, r, 0.5, rng, dtype) + sparse.eye_array(m, r)
    R = random_csc(r, n, 0.5, rng, dtype) + sparse.eye_array(r, n)
    return sparse.csc_array(L @ R)


class TestModuleSurface:
    def test_surface_namespace(self):
        assert mod.__all__ == ["SPQRError", "SPQRNotInstalledError", "SPQROutOfMemoryError", "SPQROverflowError",
                               "SPQRInvalidInputError", "SPQRGpuProblemError", "SPQRFactor", "spqr_factor",
                               "spqr_solve"]
        for name in ("spqr", "spqr_qmult", "SPQRInfo", "SPQRHouseholder", "SPQRWarning", "np", "csc_array",
                     "issparse", "hstack", "NamedTuple", "warnings", "validate_csc_input",
                     "_cholmod_sparse_from_csc", "__kvt_unpickle_SPQRInfo"):
            assert hasattr(mod, name), name
        for hidden in ("_ERROR_MAP", "_ORDERING_CODES", "_ORDERING_NAMES", "_handle_errors"):
            assert not hasattr(mod, hidden)

    def test_surface_exception_classes(self):
        assert SPQRWarning.__bases__ == (Warning,)
        assert SPQRRankDeficiencyWarning.__bases__ == (SPQRWarning,)
        assert not issubclass(SPQRRankDeficiencyWarning, SPQRError)
        assert SPQROutOfMemoryError.__bases__ == (MemoryError, SPQRError)
        for cls in (SPQRNotInstalledError, SPQROverflowError, SPQRInvalidInputError, SPQRGpuProblemError):
            assert cls.__bases__ == (SPQRError,)
        assert SPQRError.__module__ == "tarnix.spqr"
        assert SPQROverflowError.__doc__.splitlines()[0] == "Raised when SPQR encounters an integer overflow."

    def test_householder_tuple(self):
        H = mod.SPQRHouseholder
        assert H._fields == ("H", "tau", "perm")
        assert H.__annotations__ == {"H": "~scipy.sparse.csc_array", "tau": "~numpy.ndarray",
                                     "perm": "~numpy.ndarray"}
        assert H.__module__ == "tarnix.spqr" and "coefficients" in H.__doc__

    def test_library_status_becomes_invalid_input(self):
        # A re-factorization of a factor that used singletons is refused by the
        # library itself (status -4).
        A = sparse.csc_array(np.array([[1.0, 0, 0], [0, 2, 3], [0, 4, 5], [0, 6, 7]]))
        f = SPQRFactor(A, use_singletons=True)
        assert f.info.n1cols > 0
        with pytest.raises(SPQRInvalidInputError) as err:
            f.factorize(A)
        assert str(err.value) == "SPQR received invalid input. (code -4)"
        assert isinstance(err.value, SPQRError)

    def test_docstrings(self):
        assert mod.spqr_solve.__doc__ == mod._SOLVE_DOC_TEMPLATE.format(A_doc=mod._A_doc,
                                                                       min2norm=mod._min2norm_doc)
        assert SPQRFactor.solve.__doc__ == mod._SOLVE_DOC_TEMPLATE.format(A_doc="", min2norm="")
        assert mod._A_doc not in SPQRFactor.solve.__doc__ and mod._min2norm_doc not in SPQRFactor.solve.__doc__
        see = lambda doc: doc.split("See Also\n--------\n")[1].splitlines()[0]  # noqa: E731
        assert see(SPQRFactor.qmult.__doc__).endswith(", spqr_qmult")
        assert see(mod.spqr_qmult.__doc__) == "spqr"
        assert mod._qmult_house_doc in mod.spqr_qmult.__doc__

    def test_doctests(self):
        finder = doctest.DocTestFinder()
        tests = finder.find(mod)
        tests += [t for name in ("solve", "qmult") for t in finder.find(getattr(SPQRFactor, name), f"SPQRFactor.{name}",
                                                                        globs={})]
        runner = doctest.DocTestRunner()
        for t in tests:
            runner.run(t)
        result = runner.summarize(verbose=False)
        assert result.attempted >= 20 and result.failed == 0


class TestInfo:
    def test_coercions(self):
        assert SPQRInfo(nf=3.9).nf == 3
        tol = SPQRInfo(tol=1).tol
        assert tol == 1.0 and type(tol) is float
        assert type(SPQRInfo(memory=np.int64(5)).memory) is int
        assert type(SPQRInfo(analyze_time=np.float32(0.5)).analyze_time) is float
        for kwargs, message in [(dict(ordering=1), "Expected str, got int"),
                                (dict(nf="3"), "Expected int, got str"),
                                (dict(tol="x"), "Expected float, got str")]:
            with pytest.raises(TypeError, match=f"^{message}$"):
                SPQRInfo(**kwargs)

        class S(str):
            pass

        with pytest.raises(TypeError, match="Expected str, got S"):
            SPQRInfo(ordering=S("amd"))
        with pytest.raises(TypeError):
            SPQRInfo(*range(17))
        with pytest.raises(TypeError):
            SPQRInfo(1, nnzR_upper_bound=1)
        with pytest.raises(TypeError):
            SPQRInfo(bogus=1)

    def test_frozen_record(self):
        info = SPQRInfo(nf=2, ordering="amd")
        with pytest.raises(AttributeError):
            info.nf = 3
        with pytest.raises(AttributeError):
            del info.nf
        with pytest.raises(AttributeError):
            info.other = 1
        assert not hasattr(info, "__dict__")

    def test_repr_eq_hash(self):
        empty = SPQRInfo()
        names = [f.name for f in dataclasses.fields(SPQRInfo)]
        assert repr(empty) == "SPQRInfo(" + ", ".join(f"{n}=None" for n in names) + ")"
        a = SPQRInfo(1, 2, 3, ordering="amd", tol=0.5)
        b = SPQRInfo(1, 2, 3, ordering="amd", tol=0.5)
        assert a == b and hash(a) == hash(b) and not (a != b)
        assert a != SPQRInfo(1, 2, 4, ordering="amd", tol=0.5)
        assert a != tuple(getattr(a, n) for n in names)
        nan = SPQRInfo(tol=float("nan"))
        assert nan != nan
        with pytest.raises(TypeError):
            a < b  # noqa: B015

    def test_dataclass_metadata(self):
        names = ["nnzR_upper_bound", "nnzH_upper_bound", "nf", "rank_A_estimate", "n1cols", "n1rows", "ordering",
                 "memory", "flops_upper_bound", "tol", "norm_E_fro", "analyze_time", "factorize_time",
                 "solve_time", "total_time", "flops"]
        assert dataclasses.is_dataclass(SPQRInfo)
        assert [f.name for f in dataclasses.fields(SPQRInfo)] == names
        assert SPQRInfo.__match_args__ == tuple(names)
        types = {f.name: f.type for f in dataclasses.fields(SPQRInfo)}
        assert types["ordering"] == "str | None" and types["tol"] == "float | None" and types["nf"] == "int | None"
        assert SPQRInfo.__dataclass_params__.frozen
        info = SPQRInfo(nf=1, tol=0.5)
        assert dataclasses.asdict(info)["nf"] == 1
        assert dataclasses.replace(info, nf=4).nf == 4
        match info:
            case SPQRInfo(nnzR_upper_bound=None, nf=1):
                pass
            case _:
                pytest.fail("no match")

    def test_pickle(self):
        full = SPQRInfo(*range(6), "colamd", 7, 8, 0.5, 0.25, 1.0, 2.0, 3.0, 6.0, 9)
        for info in (full, SPQRInfo()):
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                assert pickle.loads(pickle.dumps(info, protocol)) == info
        unpickle = getattr(mod, "__kvt_unpickle_SPQRInfo")
        assert full.__reduce__()[1][1] == 0x4FE1628
        for checksum in (0x7E9E7B5, 0xD5B19E3):
            assert unpickle(SPQRInfo, checksum, full.__reduce__()[2]) == full
        with pytest.raises(pickle.PickleError) as err:
            unpickle(SPQRInfo, 0, None)
        assert str(err.value) == (
            "Incompatible checksums (0x0 vs (0x4fe1628, 0x7e9e7b5, 0xd5b19e3) = (analyze_time, factorize_time, "
            "flops, flops_upper_bound, memory, n1cols, n1rows, nf, nnzH_upper_bound, nnzR_upper_bound, norm_E_fro, "
            "ordering, rank_A_estimate, solve_time, tol, total_time))")
        with pytest.raises(TypeError, match=r"^Argument '__kvt_state' has incorrect type \(expected tuple, got list\)$"):
            unpickle(SPQRInfo, 0x4FE1628, [])
        with pytest.raises(TypeError):
            unpickle(SPQRInfo, "x", None)
        with pytest.raises(TypeError, match="Expected float, got str"):  # analyze_time comes first
            unpickle(SPQRInfo, 0x4FE1628, ("x",) * 16)
        assert copy.deepcopy(full) == full

    def test_from_a_factor(self):
        info = SPQRFactor(load("west0067"), use_singletons=True).info
        assert info.total_time == info.analyze_time + info.factorize_time + info.solve_time
        assert info.rank_A_estimate == 67 and isinstance(info.memory, int) and info.memory > 0
        assert info.nnzR_upper_bound > 0 and isinstance(info.flops, int)


class TestFactor:
    @pytest.mark.parametrize("name", ALL)
    def test_rank_matches_numpy(self, name):
        A = load(name)
        f = SPQRFactor(A, use_singletons=True)
        assert f.is_numeric
        assert f.rank == np.linalg.matrix_rank(A.toarray())

    @pytest.mark.parametrize("dtype", [np.float64, np.complex128])
    def test_rank_deficient(self, dtype):
        rng = np.random.default_rng(1)
        for m, n, r in [(20, 10, 6), (10, 20, 4), (15, 15, 9)]:
            A = rank_deficient(m, n, r, rng, dtype)
            assert np.linalg.matrix_rank(A.toarray()) == r
            assert SPQRFactor(A, use_singletons=True).rank == r
            assert SPQRFactor(A).factorize(A).rank == r

    @pytest.mark.parametrize("value_dtype", [np.float64, np.complex128])
    def test_four_variants(self, value_dtype, index_dtype):
        A = random_csc(30, 12, 0.3, np.random.default_rng(2), value_dtype, index_dtype) + sparse.eye_array(30, 12)
        A = with_index_dtype(sparse.csc_array(A, dtype=value_dtype), index_dtype)
        f = SPQRFactor(A)
        assert f.itype == np.dtype(index_dtype) and f.dtype == np.dtype(value_dtype)
        assert isinstance(f.itype, np.dtype) and isinstance(f.dtype, np.dtype)
        assert not f.is_numeric and f.rank is None
        assert f.shape == (30, 12) and all(type(d) is int for d in f.shape)
        p = f.perm
        assert p.dtype == index_dtype and is_permutation(p, 12)
        assert f.factorize(A) is f and f.is_numeric and f.rank == 12
        r = repr(f)
        assert r == str(f)
        assert r.splitlines()[0] == (f"<SPQRFactor numeric factor of dtype '{np.dtype(value_dtype)}' with "
                                     f"'{np.dtype(index_dtype)}' indices")
        assert r.splitlines()[1] == "    A: shape=(30, 12), rank=12>"

    def test_symbolic_repr(self):
        f = SPQRFactor(np.eye(3))
        assert repr(f) == ("<SPQRFactor symbolic factor of dtype 'float64' with 'int32' indices\n"
                           "    A: shape=(3, 3), rank=None>")

    @pytest.mark.parametrize("order", ORDERINGS)
    def test_orderings(self, order):
        A = load("west0067")
        f = SPQRFactor(A, order=order)
        assert is_permutation(f.perm, 67)
        if order == "fixed":
            assert f.info.ordering in ("fixed", "natural")
        elif order not in ("default", "best", "bestamd", "cholmod"):
            assert f.info.ordering == order
        else:
            assert f.info.ordering in ORDERINGS
        f.factorize(A)
        assert f.rank == 67

    def test_unknown_ordering(self):
        with pytest.raises(ValueError) as err:
            SPQRFactor(np.eye(2), order="magic")
        message = str(err.value)
        assert message.startswith("Unknown ordering method: magic. Must be one of {")
        assert eval(message[message.index("{"):-1]) == set(ORDERINGS)
        assert isinstance(err.value.__context__, KeyError)
        with pytest.raises(TypeError):
            SPQRFactor(np.eye(2), order=["amd"])
        with pytest.raises(TypeError):
            SPQRFactor(np.eye(2), "amd")
        with pytest.raises(TypeError):
            SPQRFactor(np.eye(2), tol="0.5")

    def test_refactorization(self):
        rng = np.random.default_rng(3)
        A = load("lp_e226").T.tocsc()  # tall
        f = SPQRFactor(A)
        for _ in range(3):
            B = A.copy()
            B.data = rng.standard_normal(B.nnz)
            f.factorize(B)
            b = rng.standard_normal(B.shape[0])
            x = f.solve(b)
            np.testing.assert_allclose(x, np.linalg.lstsq(B.toarray(), b, rcond=None)[0], atol=1e-8)

    def test_refactorization_checks(self):
        A = sparse.csc_array(np.array([[1.0, 0, 2], [0, 3, 0], [4, 0, 5], [1, 1, 1]]))
        f = SPQRFactor(A)
        with pytest.raises(ValueError) as err:
            f.factorize(A[:3])
        assert str(err.value) == ("The shape of the input matrix does not match the one used for symbolic "
                                  "factorization. Expected (4, 3), got (3, 3).")
        with pytest.raises(ValueError) as err:
            f.factorize(A.astype(np.complex128))
        assert str(err.value) == ("The data type of the input matrix does not match the one used for symbolic "
                                  "factorization. Expected 'float64', got 'complex128'.")
        with pytest.raises(ValueError) as err:
            f.factorize(with_index_dtype(A, np.int64))
        assert str(err.value) == ("The integer size of the input matrix does not match the one used for symbolic "
                                  "factorization. Expected 'int32', got 'int64'.")
        other = A.tolil()
        other[0, 1] = 7.0  # one more entry, same shape
        with pytest.raises(ValueError, match="sparsity pattern"):
            f.factorize(sparse.csc_array(other))
        assert f._check_input_matrix(A, np.int32) is None
        with pytest.raises(TypeError):
            f._check_input_matrix(A)

    def test_pattern_check_survives_an_overridden_check(self):
        class Lenient(SPQRFactor):
            def _check_input_matrix(self, A, itype):
                return None

        A = sparse.csc_array(np.array([[1.0, 0], [0, 2], [3, 4]]))
        f = Lenient(A)
        with pytest.raises(ValueError, match="shape"):
            f.factorize(np.ones((5, 2)))
        with pytest.raises(ValueError, match="pattern"):
            f.factorize(np.ones((3, 2)))
        assert f.factorize(A * 2).rank == 2 and type(f).__name__ in repr(f)

    def test_tolerance(self):
        A = load("west0067")
        f = SPQRFactor(A)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            f.factorize(A, tol=0.5)
        with pytest.warns(UserWarning, match="^The tolerance has been changed"):
            f.factorize(A, tol=0.25)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            f.factorize(A, tol=0.25)
            f.factorize(A)
        assert f.info.tol == 0.25

    def test_copy_is_independent(self):
        rng = np.random.default_rng(4)
        A = load("ash219")
        f = SPQRFactor(A, use_singletons=True)
        b = rng.standard_normal(A.shape[0])
        x = f.solve(b)
        g = f.copy()
        assert g.info == f.info
        assert (g.shape, g.itype, g.dtype, g.rank) == (f.shape, f.itype, f.dtype, f.rank)
        np.testing.assert_array_equal(g.perm, f.perm)
        np.testing.assert_array_equal(g.solve(b), x)
        del f
        gc.collect()
        np.testing.assert_allclose(g.solve(b), x)
        assert g.copy().copy().rank == g.rank

        # Re-factorize a copy with new values; the source keeps its own.
        A2 = load("west0067")
        h = SPQRFactor(A2).factorize(A2)
        k = h.copy()
        B = A2.copy()
        B.data = rng.standard_normal(B.nnz)
        k.factorize(B)
        b = rng.standard_normal(67)
        np.testing.assert_allclose(h.solve(b), np.linalg.solve(A2.toarray(), b))
        np.testing.assert_allclose(k.solve(b), np.linalg.solve(B.toarray(), b))
        symbolic = SPQRFactor(A2).copy()
        assert not symbolic.is_numeric and symbolic.factorize(A2).rank == 67

    @pytest.mark.parametrize("dtype", [np.float64, np.complex128])
    def test_copy_of_every_variant(self, dtype, index_dtype):
        Y = load("young1c")
        A = with_index_dtype(sparse.csc_array(Y if dtype == np.complex128 else abs(Y)), index_dtype)
        f = SPQRFactor(A).factorize(A)
        g = f.copy()
        b = np.ones(A.shape[0], dtype=dtype)
        np.testing.assert_array_equal(g.solve(b), f.solve(b))
        np.testing.assert_array_equal(g.qmult(np.eye(A.shape[0], 3, dtype=dtype)),
                                      f.qmult(np.eye(A.shape[0], 3, dtype=dtype)))

    def test_surface_pickling_refused(self):
        f = SPQRFactor(np.eye(2))
        message = ("self._cm,self._common,self._factor_di,self._factor_dl,self._factor_zi,self._factor_zl cannot be "
                   "converted to a Python object for pickling")
        for action in (pickle.dumps, copy.copy, copy.deepcopy, lambda x: x.__setstate__(None)):
            with pytest.raises(TypeError) as err:
                action(f)
            assert str(err.value) == message

    def test_unconstructed_and_reinitialised(self):
        f = SPQRFactor.__new__(SPQRFactor)
        assert f.itype is None and f.dtype is None and not f.is_numeric and f.rank is None
        assert f.shape == (0, 0)
        for action in (lambda: f.perm, lambda: f.info, lambda: f.solve(np.ones(1)), lambda: f.qmult(np.ones(1))):
            with pytest.raises(AssertionError):
                action()
        A = load("west0067")
        g = SPQRFactor(A, use_singletons=True)
        for _ in range(3):
            g.__init__(load("ash219"))
        assert g.shape == (219, 85) and not g.is_numeric
        assert g.factorize(load("ash219")).rank == 85

    def test_failed_construction_leaves_no_factor(self, monkeypatch):
        def fail(*args):
            raise RuntimeError("no header")

        monkeypatch.setattr(mod, "_cholmod_sparse_from_csc", fail)
        with pytest.raises(RuntimeError, match="no header"):
            SPQRFactor(np.eye(3))
        monkeypatch.setattr(mod, "_cholmod_sparse_from_csc", lambda *args: None)
        with pytest.raises(ValueError, match="did not describe"):
            SPQRFactor(np.eye(3))

    def test_missing_parts_refused_under_optimize(self):
        proc = run_python(
            """
            import numpy as np
            from tarnix.spqr import SPQRFactor, SPQRError
            f = SPQRFactor(np.eye(3))
            for action in (lambda: f.solve(np.ones(3)), lambda: f.qmult(np.eye(3)),
                           lambda: f._solve_dense(np.asfortranarray(np.eye(3)), False)):
                try:
                    action()
                except SPQRError as e:
                    print(e)
            print(f.is_numeric, f.rank)
            """,
            "-O",
        )
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.splitlines() == ["The factor has no numeric factorization."] * 3 + ["False None"]

    def test_validate_csc_input_errors_propagate(self):
        with pytest.raises(ValueError, match="two-dimensional"):
            SPQRFactor(np.ones(3))
        with pytest.warns(sparse.SparseEfficiencyWarning):
            SPQRFactor(sparse.csr_array(np.eye(3)))
