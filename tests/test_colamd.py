"""tarnix.colamd: COLAMD and SYMAMD orderings."""

import dataclasses
import doctest

import numpy as np
import pytest
from scipy import sparse
from scipy.sparse.linalg import splu

import tarnix.colamd as mod
from support import ALL, SQUARE, SYMMETRIC, is_permutation, load, random_csc, run_python, snapshot, unchanged
from tarnix.colamd import (
    COLAMDError,
    COLAMDInternalError,
    COLAMDMemoryError,
    COLAMDStats,
    COLAMDValueError,
    colamd,
    colamd_get_defaults,
    symamd,
)


def lu_fill(A):
    """nnz(L) + nnz(U) of SuperLU in the given column order (no column permutation)."""
    lu = splu(sparse.csc_array(A), permc_spec="NATURAL")
    return lu.L.nnz + lu.U.nnz


def cholesky_fill(S):
    """nnz of SuperLU's factors of a symmetric positive definite matrix in its own order."""
    lu = splu(sparse.csc_array(S), permc_spec="NATURAL", diag_pivot_thresh=0.0, options={"SymmetricMode": True})
    return lu.L.nnz + lu.U.nnz


def spd_from_pattern(A):
    """A symmetric positive definite matrix with the pattern of tril(A) + tril(A).T."""
    L = sparse.tril(sparse.csc_array(A), k=-1)
    P = sparse.csc_array(L + L.T)
    P.data[:] = -1.0
    degree = np.abs(P).sum(axis=0) + 1.0
    return sparse.csc_array(P + sparse.diags_array(degree))


class TestOrderings:
    @pytest.mark.parametrize("name", ALL)
    def test_colamd_permutation_same_for_both_widths(self, name):
        q32 = colamd(load(name, np.int32))
        q64 = colamd(load(name, np.int64))
        n = load(name).shape[1]
        assert q32.dtype == np.int32 and q64.dtype == np.int64
        assert is_permutation(q32, n)
        np.testing.assert_array_equal(q32, q64)

    @pytest.mark.parametrize("name", SQUARE)
    def test_symamd_permutation_same_for_both_widths(self, name):
        p32 = symamd(load(name, np.int32))
        p64 = symamd(load(name, np.int64))
        assert p32.dtype == np.int32 and p64.dtype == np.int64
        assert is_permutation(p32, load(name).shape[0])
        np.testing.assert_array_equal(p32, p64)

    @pytest.mark.parametrize("name", ["west0067", "rajat19", "lfat5b", "young1c"])
    def test_colamd_reduces_lu_fill(self, name):
        A = load(name)
        q = colamd(A)
        assert lu_fill(A[:, q]) <= lu_fill(A)

    @pytest.mark.parametrize("name", SYMMETRIC + ["west0067", "rajat19"])
    def test_symamd_reduces_cholesky_fill(self, name):
        S = spd_from_pattern(load(name))
        p = symamd(S)
        assert cholesky_fill(S[p][:, p]) <= cholesky_fill(S)

    def test_symamd_reads_only_the_lower_triangle(self):
        A = load("494_bus")
        p_full = symamd(A)
        p_lower = symamd(sparse.csc_array(sparse.tril(A)))
        np.testing.assert_array_equal(p_full, p_lower)

    def test_result_is_view_of_n_plus_one_array(self):
        q = colamd(load("west0067"))
        assert q.base is not None and q.base.shape == (q.shape[0] + 1,)

    def test_stats_of_a_clean_call(self):
        A = sparse.csc_array(np.array([[1.0, 0, 1], [0, 1, 1], [1, 1, 0], [1, 0, 0]]))
        q, stats = colamd(A, return_info=True)
        assert is_permutation(q, 3)
        assert stats == COLAMDStats(N_rows_ignored=0, N_cols_ignored=0, Ncmpa=0, status=0, info1=-1, info2=-1,
                                    info3=0)
        p, stats = symamd(A[:3], return_info=True)
        assert is_permutation(p, 3) and stats.status == 0

    def test_dense_row_threshold_is_applied(self):
        # A row with 20 entries among 400 columns: dense only with a small factor
        # (max(16, 0.5 * sqrt(400)) = 16 < 20, but max(16, 10 * 20) = 200 > 20).
        rng = np.random.default_rng(0)
        A = sparse.lil_array((50, 400))
        for j in range(400):
            A[rng.integers(1, 50), j] = 1.0
        A[0, :20] = 1.0
        A = sparse.csc_array(A)
        assert colamd(A, return_info=True)[1].N_rows_ignored == 0
        assert colamd(A, dense_row_thresh=0.5, return_info=True)[1].N_rows_ignored == 1

    def test_input_is_not_modified(self):
        for fn in (colamd, symamd):
            A = load("west0067")
            snap = snapshot(A)
            fn(A)
            assert unchanged(A, snap)

    @pytest.mark.parametrize("fn", [colamd, symamd])
    def test_knob_options_accept_numbers_and_truth_values(self, fn):
        A = load("west0067")
        for kwargs in [dict(dense_row_thresh=0.1), dict(dense_col_thresh=5), dict(aggressive=0),
                       dict(aggressive="no"), dict(dense_row_thresh=1e39), dict(dense_row_thresh=-1)]:
            assert is_permutation(fn(A, **kwargs), 67)
        with pytest.raises(TypeError):
            fn(A, dense_row_thresh="x")


class TestTrivialInputs:
    @pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0)])
    def test_empty_shapes(self, shape, index_dtype):
        A = sparse.csc_array(shape, dtype=np.float64)
        A.indptr = A.indptr.astype(index_dtype)
        A.indices = A.indices.astype(index_dtype)
        for fn in (colamd,) + ((symamd,) if shape[0] == shape[1] else ()):
            q = fn(A, return_info=True)
            assert isinstance(q, np.ndarray) and q.shape == (0,) and q.dtype == index_dtype

    def test_no_entries_or_single_row_give_identity(self):
        for A in (sparse.csc_array((4, 6)), sparse.csc_array(np.ones((1, 6)))):
            q = colamd(A, return_info=True, dense_row_thresh="not looked at")
            np.testing.assert_array_equal(q, np.arange(6))
        np.testing.assert_array_equal(symamd(sparse.csc_array((3, 3)), return_info=True), np.arange(3))

    def test_single_column(self):
        q = colamd(np.ones((4, 1)), return_info=True)
        np.testing.assert_array_equal(q, [0])
        assert q.dtype == np.int32


class TestPrivateFunctions:
    def arrays(self, A, itype=np.int32):
        A = sparse.csc_array(A)
        n = A.shape[1]
        return dict(
            M=A.shape[0], N=n, Ap=A.indptr.astype(itype), Ai=A.indices.astype(itype),
            perm=np.zeros(n + 1, itype), knobs=np.zeros(20), stats=np.zeros(20, itype),
        )

    def defaults(self):
        knobs = np.zeros(20)
        knobs[:3] = [10.0, 10.0, 1.0]
        return knobs

    @pytest.mark.parametrize("fn", [mod._colamd, mod._symamd])
    def test_direct_call_both_widths(self, fn, index_dtype):
        a = self.arrays(load("west0067"), index_dtype)
        a["knobs"] = self.defaults()
        assert fn(**a) is None
        assert is_permutation(a["perm"][:-1], 67)
        assert a["stats"][3] == 0

    @pytest.mark.parametrize(
        "Ai, status, text",
        [([0, 5, 1], -9, "row index out of bounds"), ],
    )
    def test_surface_library_status_messages(self, Ai, status, text):
        a = self.arrays(np.eye(3))
        a["Ai"] = np.array(Ai, np.int32)
        with pytest.raises(COLAMDValueError) as err:
            mod._colamd(**a)
        assert str(err.value) == "COLAMD returned an error:" + text + "."
        assert a["stats"][3] == status

    def test_pointer_errors_reported_by_the_library(self):
        a = self.arrays(np.eye(3))
        a["Ap"] = np.array([1, 2, 3, 3], np.int32)
        with pytest.raises(COLAMDValueError, match=r"^COLAMD returned an error:p\[0\] is nonzero\.$"):
            mod._colamd(**a)
        a = self.arrays(np.eye(3))
        a["Ap"] = np.array([0, 2, 1, 3], np.int32)
        with pytest.raises(COLAMDValueError, match="column has a negative number of entries"):
            mod._symamd(**a)

    def test_unsorted_input_is_an_assertion(self):
        a = self.arrays(np.ones((3, 2)))
        a["Ai"] = np.array([2, 1, 0, 0, 1, 2], np.int32)
        with pytest.raises(AssertionError, match="^COLAMD returned OK but status is not COLAMD_OK.$"):
            mod._colamd(**a)
        assert a["stats"][3] == 1

    def test_assertions_off_under_optimize(self):
        proc = run_python(
            """
            import numpy as np
            from tarnix.colamd import _colamd
            stats = np.zeros(20, np.int32)
            _colamd(3, 2, np.array([0, 3, 6], np.int32), np.array([2, 1, 0, 0, 1, 2], np.int32),
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
            mod._colamd(**a)
        assert type(err.value) is ValueError
        assert str(err.value) == "Recommended Alen is zero: one of {A.nnz, M, N} is erroneous."

    def test_dispatch_errors(self):
        a = self.arrays(np.eye(3))
        with pytest.raises(TypeError, match="^Expected at least 7 arguments, got 2$"):
            mod._colamd(1, 2)
        for bad in (a["Ap"].astype(np.float64), a["Ap"].astype(np.uint32), a["Ap"].reshape(2, 2), [0, 1, 2, 3]):
            with pytest.raises(TypeError, match="^No matching signature found$"):
                mod._colamd(**{**a, "Ap": bad})
        # Ap by keyword is enough to select.
        mod._symamd(a["M"], a["N"], Ap=a["Ap"], Ai=a["Ai"], perm=a["perm"], knobs=a["knobs"], stats=a["stats"])

    @pytest.mark.parametrize("fn", [mod._colamd, mod._symamd])
    def test_hostile_arguments_raise_cleanly(self, fn):
        base = self.arrays(load("west0067"))
        n = base["N"]
        cases = [
            ({"perm": np.zeros(n, np.int32)}, ValueError),  # one short
            ({"Ap": np.zeros(n, np.int32)}, ValueError),
            ({"stats": np.zeros(19, np.int32)}, ValueError),
            ({"knobs": np.zeros(19)}, ValueError),
            ({"knobs": np.zeros(20, np.float32)}, ValueError),
            ({"Ai": base["Ai"][:-1]}, ValueError),  # shorter than Ap[N]
            ({"Ai": base["Ai"][::2].copy()}, ValueError),
            ({"Ap": base["Ap"] * 1000}, ValueError),
            ({"Ai": base["Ai"].astype(np.int64)}, ValueError),  # mixed widths
            ({"perm": np.zeros((n + 1, 1), np.int32)}, ValueError),
            ({"stats": np.zeros(40, np.int32)[::2]}, ValueError),
            ({"Ai": None}, TypeError),
            ({"perm": None}, TypeError),
            ({"knobs": None}, TypeError),
            ({"perm": np.zeros(n + 1, np.int32)[::-1]}, ValueError),
            ({"N": 2**40}, (ValueError, OverflowError)),
            ({"N": "67"}, TypeError),
            ({"M": 1.5}, TypeError),
        ]
        readonly = np.zeros(n + 1, np.int32)
        readonly.flags.writeable = False
        cases.append(({"perm": readonly}, ValueError))
        for change, exc in cases:
            a = {**base, **change}
            a["perm"] = a["perm"] if "perm" in change else np.zeros(n + 1, np.int32)
            with pytest.raises(exc):
                fn(**a)

    def test_64bit_sizes_refused_by_32bit_routines(self):
        a = self.arrays(np.eye(3))
        a["M"] = 2**32 + 3
        with pytest.raises(OverflowError, match="does not fit"):
            mod._colamd(**a)


class TestErrorsAndArguments:
    def test_surface_exception_families(self):
        for cls, builtin in [(COLAMDValueError, ValueError), (COLAMDMemoryError, MemoryError),
                             (COLAMDInternalError, RuntimeError)]:
            assert issubclass(cls, COLAMDError) and issubclass(cls, builtin)
            assert cls.__bases__ == (COLAMDError, builtin)
            assert cls.__module__ == "tarnix.colamd"
        assert COLAMDError.__bases__ == (Exception,)
        assert COLAMDError.__doc__.splitlines()[0] == "Base class for COLAMD errors."
        assert COLAMDMemoryError.__doc__.splitlines()[0] == "Raised when COLAMD runs out of memory."

    def test_surface_argument_messages(self):
        A = np.eye(3)
        with pytest.raises(TypeError, match=r"^colamd\(\) takes at least 1 positional argument \(0 given\)$"):
            colamd()
        with pytest.raises(TypeError, match=r"^symamd\(\) takes at most 5 positional arguments \(6 given\)$"):
            symamd(A, None, None, None, False, 1)
        with pytest.raises(TypeError, match=r"^colamd\(\) got an unexpected keyword argument 'order'$"):
            colamd(A, order=1)
        with pytest.raises(TypeError, match="multiple values"):
            colamd(A, A=A)
        with pytest.raises(TypeError, match=r"^_colamd_base\(\) takes exactly 1 positional argument \(2 given\)$"):
            mod._colamd_base(A, True)

    def test_unpacking_of_the_coercion_result(self, monkeypatch):
        A = sparse.csc_array(np.eye(3))
        results = {
            2: ((A, None), "need more than 2 values to unpack"),
            1: ([A], "need more than 1 value to unpack"),
            4: ((A, None, np.int32, None), r"too many values to unpack \(expected 3\)"),
        }
        for result, message in results.values():
            monkeypatch.setattr(mod, "validate_csc_input", lambda *args, r=result: r)
            with pytest.raises(ValueError, match=message):
                colamd(A)
        monkeypatch.setattr(mod, "validate_csc_input", lambda *args: iter((A, None, np.int64, 1)))
        with pytest.raises(ValueError, match="too many values"):
            colamd(A)
        # An iterator of exactly three items works; the dtype it names must
        # agree with the index arrays, or the typed views refuse the arrays.
        monkeypatch.setattr(mod, "validate_csc_input", lambda *args: iter((A, None, np.int32)))
        assert is_permutation(colamd(A), 3)
        monkeypatch.setattr(mod, "validate_csc_input", lambda *args: (A, None, np.int64))
        with pytest.raises(ValueError, match="dtype mismatch"):
            colamd(A)

    def test_coercion_call_forms(self, monkeypatch):
        seen = []

        def spy(*args, **kwargs):
            seen.append((args[1:], kwargs))
            return mod.__dict__["_real"](*args, **kwargs)

        monkeypatch.setitem(mod.__dict__, "_real", mod.validate_csc_input)
        monkeypatch.setattr(mod, "validate_csc_input", spy)
        colamd(np.eye(3))
        symamd(np.eye(3))
        assert seen == [((False,), {}), ((True,), {})]

    def test_symamd_requires_square(self):
        with pytest.raises(ValueError, match="square"):
            symamd(np.ones((2, 3)))


class TestModule:
    def test_surface_namespace(self):
        assert mod.__all__ == ["COLAMDError", "COLAMDValueError", "COLAMDMemoryError", "COLAMDInternalError",
                               "COLAMDStats", "colamd", "symamd", "colamd_get_defaults"]
        assert mod.np is np and mod.dataclass is dataclasses.dataclass and mod.__test__ == {}
        from tarnix.utils import validate_csc_input
        assert mod.validate_csc_input is validate_csc_input
        assert not hasattr(mod, "_handle_errors")

    def test_surface_defaults(self):
        d = colamd_get_defaults()
        assert d == {"dense_row_thresh": 10.0, "dense_col_thresh": 10.0, "aggressive": 1.0}
        assert list(d) == ["dense_row_thresh", "dense_col_thresh", "aggressive"]
        assert all(type(v) is np.float64 for v in d.values())

    def test_docstrings_are_assembled_from_the_template(self):
        assert colamd.__doc__ == mod._COLAMD_DOC_TEMPLATE.format(
            intro=mod._colamd_intro, A_param=mod._colamd_A_param,
            see_also="symamd, ~tarnix.ccolamd.ccolamd, ~tarnix.ccolamd.csymamd",
            reftag=mod._colamd_reftag, example=mod._colamd_example)
        assert mod._colamd_reftag == "[#colamd_c]" and mod._symamd_reftag == "[#symamd_c]"
        assert "[#symamd_c]" in mod._symamd_intro and "colamd, ~tarnix.ccolamd.ccolamd" in symamd.__doc__
        assert mod.__doc__ and "References" in mod.__doc__

    def test_doctests(self):
        result = doctest.testmod(mod, optionflags=doctest.ELLIPSIS)
        assert result.attempted >= 6 and result.failed == 0

    def test_surface_reimport_is_refused(self):
        proc = run_python(
            """
            import sys, tarnix.colamd
            del sys.modules["tarnix.colamd"]
            try:
                import tarnix.colamd
            except RuntimeError as e:
                print(e)
            """
        )
        assert proc.stdout.strip() == ("Module 'colamd' has already been imported. "
                                       "Re-initialisation is not supported."), proc.stderr


class TestStatsRecord:
    def test_record(self):
        s = COLAMDStats.from_array(list(range(20)))
        assert dataclasses.astuple(s) == tuple(range(7))
        assert [f.name for f in dataclasses.fields(COLAMDStats)] == [
            "N_rows_ignored", "N_cols_ignored", "Ncmpa", "status", "info1", "info2", "info3"]
        assert all(f.type == "int" for f in dataclasses.fields(COLAMDStats))
        assert COLAMDStats.__module__ == "tarnix.colamd"
        with pytest.raises(dataclasses.FrozenInstanceError):
            s.status = 1
        assert s == COLAMDStats.from_array(np.arange(20)) and hash(s) == hash(COLAMDStats(*range(7)))
        with pytest.raises(IndexError):
            COLAMDStats.from_array([0] * 6)
        assert COLAMDStats.from_array(np.array([1.9] * 7)).status == 1
        assert COLAMDStats.from_array.__annotations__ == {"stats": "np.ndarray", "return": "COLAMDStats"}
