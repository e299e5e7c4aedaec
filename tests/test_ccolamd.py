"""tarnix.ccolamd: CCOLAMD and CSYMAMD constrained orderings."""

import dataclasses
import doctest

import numpy as np
import pytest
from scipy import sparse
from scipy.sparse.csgraph import reverse_cuthill_mckee

import tarnix.ccolamd as mod
import tarnix.colamd
from support import (ALL, SQUARE, cholesky_fill_count, is_permutation, load, run_python, snapshot, symmetric_pattern,
                     unchanged)
from tarnix.ccolamd import (
    CCOLAMDError,
    CCOLAMDInternalError,
    CCOLAMDMemoryError,
    CCOLAMDStats,
    CCOLAMDValueError,
    ccolamd,
    ccolamd_get_defaults,
    csymamd,
)


def constraint_sets(n, nsets, rng):
    return rng.integers(0, min(nsets, n), size=n)


class TestOrderings:
    @pytest.mark.parametrize("name", ALL)
    def test_ccolamd_same_for_both_widths(self, name):
        q32 = ccolamd(load(name, np.int32))
        q64 = ccolamd(load(name, np.int64))
        assert q32.dtype == np.int32 and q64.dtype == np.int64
        assert is_permutation(q32, load(name).shape[1])
        np.testing.assert_array_equal(q32, q64)

    @pytest.mark.parametrize("name", SQUARE)
    def test_csymamd_same_for_both_widths(self, name):
        cons = constraint_sets(load(name).shape[0], 3, np.random.default_rng(1))
        p32 = csymamd(load(name, np.int32), constraints=cons)
        p64 = csymamd(load(name, np.int64), constraints=cons)
        assert p32.dtype == np.int32 and p64.dtype == np.int64
        assert is_permutation(p32, load(name).shape[0])
        np.testing.assert_array_equal(p32, p64)

    @pytest.mark.parametrize("name", ALL)
    @pytest.mark.parametrize("nsets", [2, 5])
    def test_constraint_sets_are_respected(self, name, nsets):
        A = load(name)
        n = A.shape[1]
        cons = constraint_sets(n, nsets, np.random.default_rng(n + nsets))
        q = ccolamd(A, constraints=cons)
        assert is_permutation(q, n)
        assert np.all(np.diff(cons[q]) >= 0)
        if A.shape[0] == n:
            p = csymamd(A, constraints=cons)
            assert is_permutation(p, n) and np.all(np.diff(cons[p]) >= 0)

    @pytest.mark.parametrize("fn", [ccolamd, csymamd])
    def test_pinned_columns_come_first_in_order(self, fn):
        A = load("rajat19")
        n, K = A.shape[1], 7
        cons = np.full(n, K)
        cons[:K] = np.arange(K)
        p = fn(A, constraints=cons)
        np.testing.assert_array_equal(p[:K], np.arange(K))
        assert is_permutation(p, n)

    @pytest.mark.parametrize("name", SQUARE)
    def test_csymamd_fill_no_worse_than_reverse_cuthill_mckee(self, name):
        S = symmetric_pattern(load(name))
        rcm = reverse_cuthill_mckee(sparse.csr_matrix(S), symmetric_mode=True)
        assert cholesky_fill_count(S, csymamd(S)) <= cholesky_fill_count(S, rcm)

    def test_csymamd_reads_only_the_lower_triangle(self):
        A = load("494_bus")
        np.testing.assert_array_equal(csymamd(A), csymamd(sparse.csc_array(sparse.tril(A))))

    def test_opt_lu_changes_the_ordering_and_cholesky_is_the_default(self):
        A = load("lp_e226")
        q_lu, q_chol, q_default = ccolamd(A, opt_lu="lu"), ccolamd(A, opt_lu="cholesky"), ccolamd(A)
        assert is_permutation(q_lu, A.shape[1])
        assert not np.array_equal(q_lu, q_chol)
        np.testing.assert_array_equal(q_chol, q_default)

    def test_dense_row_threshold_is_applied(self):
        rng = np.random.default_rng(0)
        A = sparse.lil_array((50, 400))
        for j in range(400):
            A[rng.integers(1, 50), j] = 1.0
        A[0, :20] = 1.0
        A = sparse.csc_array(A)
        assert ccolamd(A, return_info=True)[1].N_rows_ignored == 0
        assert ccolamd(A, dense_row_thresh=0.5, return_info=True)[1].N_rows_ignored == 1

    def test_stats_of_a_clean_call(self):
        A = sparse.csc_array(np.array([[1.0, 0, 1], [0, 1, 1], [1, 1, 0], [1, 0, 0]]))
        q, stats = ccolamd(A, return_info=True)
        assert is_permutation(q, 3)
        assert stats == CCOLAMDStats(N_rows_ignored=0, N_cols_ignored=0, Ncmpa=0, status=0, info1=-1, info2=-1,
                                     info3=0)
        assert q.base is not None and q.base.shape == (4,)  # a view of the N + 1 array
        p, stats = csymamd(A[:3], constraints=[1, 0, 1], return_info=True)
        assert p[0] == 1 and stats.status == 0

    def test_input_and_constraints_are_not_modified(self):
        for fn in (ccolamd, csymamd):
            A = load("west0067")
            snap = snapshot(A)
            cons = np.arange(67, dtype=np.int32) % 4
            fn(A, constraints=cons)
            assert unchanged(A, snap)
            np.testing.assert_array_equal(cons, np.arange(67) % 4)

    def test_float_constraints_are_truncated(self):
        A = load("lfat5b")[:3, :3]
        np.testing.assert_array_equal(ccolamd(A, constraints=[0.0, 1.9, 2.2]), [0, 1, 2])


class TestTrivialInputs:
    @pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0)])
    def test_empty_shapes(self, shape, index_dtype):
        A = sparse.csc_array(shape, dtype=np.float64)
        A.indptr = A.indptr.astype(index_dtype)
        A.indices = A.indices.astype(index_dtype)
        for fn in (ccolamd,) + ((csymamd,) if shape[0] == shape[1] else ()):
            q = fn(A, constraints=[7, 7, 7], return_info=True)
            assert isinstance(q, np.ndarray) and q.shape == (0,) and q.dtype == index_dtype

    def test_early_exits_ignore_every_option(self):
        for A in (sparse.csc_array((4, 6)), sparse.csc_array(np.ones((1, 6)))):
            q = ccolamd(A, constraints=[None], opt_lu="neither", dense_row_thresh="x", return_info=True)
            np.testing.assert_array_equal(q, np.arange(6))
        np.testing.assert_array_equal(csymamd(sparse.csc_array((3, 3)), constraints=[9], return_info=True),
                                      np.arange(3))
        np.testing.assert_array_equal(ccolamd(np.ones((4, 1)), constraints=[5, 5], return_info=True), [0])


class TestArgumentErrors:
    A = sparse.csc_array(np.array([[1.0, 1, 0], [0, 1, 1], [1, 0, 1]]))

    @pytest.mark.parametrize("opt_lu", ["LU", 1, b"lu", "Cholesky"])
    def test_opt_lu_values(self, opt_lu):
        with pytest.raises(ValueError) as err:
            ccolamd(self.A, opt_lu=opt_lu)
        assert str(err.value) == "opt_lu must be either 'lu' or 'cholesky'."

    def test_csymamd_has_no_opt_lu(self):
        with pytest.raises(TypeError, match=r"^csymamd\(\) got an unexpected keyword argument 'opt_lu'$"):
            csymamd(self.A, opt_lu="lu")

    @pytest.mark.parametrize("fn", [ccolamd, csymamd])
    def test_constraint_errors(self, fn):
        with pytest.raises(ValueError) as err:
            fn(self.A, constraints=[0, 1])
        assert str(err.value) == "Constraints must have the same length as the matrix size."
        with pytest.raises(TypeError) as err:
            fn(self.A, constraints=[None] * 3)
        assert str(err.value) == "Constraints must be an array of integers."
        assert isinstance(err.value.__context__, TypeError) and err.value.__cause__ is None
        with pytest.raises(ValueError, match="could not convert|invalid literal"):
            fn(self.A, constraints=["a", "b", "c"])  # NumPy's own error, unchanged

    @pytest.mark.parametrize("fn", [ccolamd, csymamd])
    @pytest.mark.parametrize("bad", [[0, 1, 3], [0, -1, 2], [0, 1, 2**31 - 1]])
    def test_constraint_values_out_of_range(self, fn, bad):
        # The library would report some of these with a status that has no
        # message, which must not surface as a KeyError.
        with pytest.raises(ValueError, match=r"^Constraints must lie in 0\.\.N-1 = 0\.\.2, got constraints\[\d\]"):
            fn(self.A, constraints=bad)

    def test_order_of_checks(self):
        with pytest.raises(ValueError, match="opt_lu"):
            ccolamd(self.A, constraints=[None], opt_lu="x")
        with pytest.raises(TypeError, match="Constraints must be an array"):
            ccolamd(self.A, constraints=[None], dense_row_thresh=1.0)
        with pytest.raises(TypeError):
            ccolamd(self.A, constraints=[0], dense_row_thresh="x")

    def test_surface_argument_messages(self):
        with pytest.raises(TypeError, match=r"^ccolamd\(\) takes at most 7 positional arguments \(8 given\)$"):
            ccolamd(self.A, None, None, None, None, None, False, 1)
        with pytest.raises(TypeError, match=r"^csymamd\(\) takes at least 1 positional argument \(0 given\)$"):
            csymamd()
        with pytest.raises(TypeError, match=r"^_ccolamd_base\(\) takes exactly 1 positional argument \(2 given\)$"):
            mod._ccolamd_base(self.A, None)

    def test_base_function(self):
        assert mod._ccolamd_base.__kwdefaults__ == {
            "constraints": None, "is_symmetric": False, "dense_row_thresh": None, "dense_col_thresh": None,
            "aggressive": None, "opt_lu": None, "return_info": False}
        p = mod._ccolamd_base(self.A, is_symmetric=1, constraints=[1, 1, 0])
        assert p[0] == 2
        q, stats = mod._ccolamd_base(self.A, return_info="yes")
        assert stats.status == 0

    def test_coercion_call_and_unpacking(self, monkeypatch):
        seen = []
        real = mod.validate_csc_input
        monkeypatch.setattr(mod, "validate_csc_input", lambda *a, **k: seen.append((a[1:], k)) or real(*a, **k))
        ccolamd(self.A)
        csymamd(self.A)
        assert seen == [((False,), {}), ((True,), {})]
        monkeypatch.setattr(mod, "validate_csc_input", lambda *args: (self.A, None))
        with pytest.raises(ValueError, match="need more than 2 values to unpack"):
            ccolamd(self.A)


class TestPrivateFunctions:
    def arrays(self, A, itype=np.int32, symmetric=False):
        A = sparse.csc_array(A)
        n = A.shape[1]
        a = dict(N=n, Ap=A.indptr.astype(itype), Ai=A.indices.astype(itype), perm=np.zeros(n + 1, itype),
                 knobs=np.zeros(20), stats=np.zeros(20, itype))
        return a if symmetric else dict(M=A.shape[0], **a)

    @pytest.mark.parametrize("sym", [False, True])
    def test_direct_call_both_widths(self, sym, index_dtype):
        fn = mod._csymamd if sym else mod._ccolamd
        a = self.arrays(load("west0067"), index_dtype, sym)
        a["knobs"][:3] = [10.0, 10.0, 1.0]
        a["constraints"] = (np.arange(67) % 3).astype(index_dtype)
        assert fn(**a) is None
        assert is_permutation(a["perm"][:-1], 67) and a["stats"][3] == 0
        assert np.all(np.diff(a["constraints"][a["perm"][:-1]]) >= 0)

    def test_surface_library_status_message(self):
        a = self.arrays(np.eye(3))
        a["Ai"] = np.array([0, 5, 1], np.int32)
        with pytest.raises(CCOLAMDValueError) as err:
            mod._ccolamd(**a)
        assert str(err.value) == "CCOLAMD returned an error:row index out of bounds."
        assert a["stats"][3] == -9

    def test_unsorted_input_is_an_assertion(self):
        a = self.arrays(np.ones((3, 2)))
        a["Ai"] = np.array([2, 1, 0, 0, 1, 2], np.int32)
        with pytest.raises(AssertionError, match="^CCOLAMD returned OK but status is not CCOLAMD_OK.$"):
            mod._ccolamd(**a)

    def test_assertions_off_under_optimize(self):
        proc = run_python(
            """
            import numpy as np
            from tarnix.ccolamd import _ccolamd
            stats = np.zeros(20, np.int32)
            _ccolamd(3, 2, np.array([0, 3, 6], np.int32), np.array([2, 1, 0, 0, 1, 2], np.int32),
                     np.zeros(3, np.int32), np.zeros(20), stats)
            print(stats[3])
            """,
            "-O",
        )
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == "1"

    def test_recommended_length_zero(self):
        a = self.arrays(np.eye(3))
        a["M"] = -1
        with pytest.raises(ValueError) as err:
            mod._ccolamd(**a)
        assert type(err.value) is ValueError
        assert str(err.value) == "Recommended Alen is zero: one of {A.nnz, M, N} is erroneous."

    def test_dispatch(self):
        with pytest.raises(TypeError, match="^Expected at least 7 arguments, got 2$"):
            mod._ccolamd(1, 2)
        with pytest.raises(TypeError, match="^Expected at least 6 arguments, got 1$"):
            mod._csymamd(1)
        a = self.arrays(np.eye(3), symmetric=True)
        for bad in (a["Ap"].astype(np.float64), a["Ap"].astype(np.uint64), [0, 1, 2, 3]):
            with pytest.raises(TypeError, match="^No matching signature found$"):
                mod._csymamd(**{**a, "Ap": bad})
        mod._csymamd(3, Ap=a["Ap"], Ai=a["Ai"], perm=a["perm"], knobs=a["knobs"], stats=a["stats"])

    @pytest.mark.parametrize("sym", [False, True])
    def test_hostile_arguments_raise_cleanly(self, sym):
        fn = mod._csymamd if sym else mod._ccolamd
        base = self.arrays(load("west0067"), symmetric=sym)
        n = base["N"]
        cases = [
            ({"perm": np.zeros(n, np.int32)}, ValueError),
            ({"Ap": np.zeros(n, np.int32)}, ValueError),
            ({"stats": np.zeros(19, np.int32)}, ValueError),
            ({"knobs": np.zeros(19)}, ValueError),
            ({"Ai": base["Ai"][:-1]}, ValueError),
            ({"Ap": base["Ap"] * 1000}, ValueError),
            ({"Ap": np.r_[base["Ap"][:-1], -5].astype(np.int32)}, ValueError),
            ({"Ai": base["Ai"].astype(np.int64)}, ValueError),
            ({"constraints": np.zeros(n - 1, np.int32)}, ValueError),
            ({"constraints": np.full(n, n, np.int32)}, ValueError),
            ({"constraints": np.full(n, -1, np.int32)}, ValueError),
            ({"constraints": np.zeros(n, np.int64)}, ValueError),
            ({"constraints": np.zeros(2 * n, np.int32)[::2]}, ValueError),
            ({"Ai": None}, TypeError),
            ({"knobs": None}, TypeError),
            ({"stats": None}, TypeError),
            ({"N": 2**40}, (ValueError, OverflowError)),
            ({"N": -1}, ValueError),
            ({"N": 2.5}, TypeError),
        ]
        for change, exc in cases:
            a = {**base, "perm": np.zeros(n + 1, np.int32), **change}
            with pytest.raises(exc):
                fn(**a)


class TestModule:
    def test_surface_namespace(self):
        assert mod.__all__ == ["CCOLAMDError", "CCOLAMDValueError", "CCOLAMDMemoryError", "CCOLAMDInternalError",
                               "CCOLAMDStats", "ccolamd", "csymamd", "ccolamd_get_defaults"]
        assert mod.np is np and mod.dataclass is dataclasses.dataclass and mod.__test__ == {}
        from tarnix.utils import validate_csc_input
        assert mod.validate_csc_input is validate_csc_input
        assert not hasattr(mod, "_handle_errors")

    def test_surface_exception_families(self):
        for cls, builtin in [(CCOLAMDValueError, ValueError), (CCOLAMDMemoryError, MemoryError),
                             (CCOLAMDInternalError, RuntimeError)]:
            assert cls.__bases__ == (CCOLAMDError, builtin) and cls.__module__ == "tarnix.ccolamd"
        assert CCOLAMDError.__bases__ == (Exception,)
        assert CCOLAMDValueError.__doc__.splitlines()[0] == "Raised when CCOLAMD encounters a value error."
        assert not issubclass(CCOLAMDValueError, tarnix.colamd.COLAMDValueError)
        assert not issubclass(tarnix.colamd.COLAMDError, CCOLAMDError)

    def test_defaults(self):
        d = ccolamd_get_defaults()
        assert d == {"dense_row_thresh": 10.0, "dense_col_thresh": 10.0, "aggressive": 1.0, "opt_lu": "cholesky"}
        assert list(d) == ["dense_row_thresh", "dense_col_thresh", "aggressive", "opt_lu"]
        assert all(type(d[k]) is np.float64 for k in list(d)[:3])

    def test_docstrings_are_assembled_from_the_template(self):
        assert ccolamd.__doc__ == mod._CCOLAMD_DOC_TEMPLATE.format(
            intro=mod.ccolamd_intro, A_param=mod.ccolamd_A_param, opt_lu_param=mod.ccolamd_opt_lu_param,
            see_also="csymamd, ~tarnix.colamd.colamd, ~tarnix.colamd.symamd", reftag=mod.ccolamd_reftag,
            example=mod._ccolamd_example)
        assert csymamd.__doc__ == mod._CCOLAMD_DOC_TEMPLATE.format(
            intro=mod.csymamd_intro, A_param=mod.csymamd_A_param, opt_lu_param="",
            see_also="ccolamd, ~tarnix.colamd.colamd, ~tarnix.colamd.symamd", reftag=mod.csymamd_reftag,
            example=mod._csymamd_example)
        assert mod.ccolamd_reftag == "[#ccolamd_c]" and mod.csymamd_reftag == "[#csymamd_c]"
        assert "opt_lu" not in csymamd.__doc__ and "opt_lu :" in ccolamd.__doc__

    def test_doctests(self):
        result = doctest.testmod(mod, optionflags=doctest.ELLIPSIS)
        assert result.attempted >= 10 and result.failed == 0

    def test_surface_reimport_is_refused(self):
        proc = run_python(
            """
            import sys, tarnix.ccolamd
            del sys.modules["tarnix.ccolamd"]
            try:
                import tarnix.ccolamd
            except RuntimeError as e:
                print(e)
            """
        )
        assert proc.stdout.strip() == ("Module 'ccolamd' has already been imported. "
                                       "Re-initialisation is not supported."), proc.stderr

    def test_stats_record(self):
        s = CCOLAMDStats.from_array(list(range(20)))
        assert dataclasses.astuple(s) == tuple(range(7)) and CCOLAMDStats.__module__ == "tarnix.ccolamd"
        with pytest.raises(dataclasses.FrozenInstanceError):
            s.status = 1
        with pytest.raises(IndexError):
            CCOLAMDStats.from_array([0] * 6)
        assert CCOLAMDStats.from_array.__annotations__ == {"stats": "np.ndarray", "return": "CCOLAMDStats"}
