"""Careless and hostile calls into tarnix.spqr: what each one is told."""

from __future__ import annotations

import importlib.util
import math

import numpy as np
import pytest
from scipy import sparse

import tarnix.cholmod as cm
import tarnix.spqr as ts


@pytest.fixture(scope="module")
def A():
    rng = np.random.default_rng(2)
    return sparse.csc_array(sparse.random_array((12, 7), density=0.3, rng=rng) + sparse.eye_array(12, 7))


class TestMethodCodes:
    @pytest.mark.parametrize("code", [-1, -7, 4, 7, 100, 2**31, 2**40, -(2**40)])
    def test_the_code_given_is_named(self, A, code):
        house, _, _ = ts.spqr(A, mode="householder")
        X = np.ones((12, 2), order="F")
        expected = rf"^Invalid method code {code}\. Expected 0 \(QTX\), 1 \(QX\), 2 \(XQT\) or 3 \(XQ\)\.$"
        with pytest.raises(ValueError, match=expected):
            ts._qmult(code, house.H, np.asfortranarray(house.tau.reshape(1, -1)), house.perm, X)
        f = ts.spqr_factor(A)
        with pytest.raises(ValueError, match=expected):
            f._qmult_dense(code, X)

    def test_valid_codes_still_work(self, A):
        house, _, _ = ts.spqr(A, mode="householder")
        tau = np.asfortranarray(house.tau.reshape(1, -1))
        X = np.asfortranarray(np.arange(24.0).reshape(12, 2))
        for code in range(4):
            shaped = X if code < 2 else np.asfortranarray(X.T)
            np.testing.assert_allclose(ts._qmult(code, house.H, tau, house.perm, shaped),
                                       ts.spqr_qmult(house, shaped, ["QTX", "QX", "XQT", "XQ"][code]), atol=1e-12)


class NanLike:
    def __float__(self):
        return math.nan


class TestNanTolerance:
    @pytest.mark.parametrize("tol", [math.nan, np.float64("nan"), NanLike()])
    def test_refused(self, A, tol):
        with pytest.raises(ValueError, match=r"^tol must be a number, not NaN\.$"):
            ts.spqr(A, tol=tol)
        with pytest.raises(ValueError, match="tol"):
            ts.SPQRFactor(A, tol=tol)
        with pytest.raises(ValueError, match="tol"):
            ts.SPQRFactor(A, use_singletons=True, tol=tol)
        with pytest.raises(ValueError, match="tol"):
            ts.spqr_factor(A, tol=tol)
        f = ts.SPQRFactor(A)
        with pytest.raises(ValueError, match="tol"):
            f.factorize(A, tol=tol)
        assert f.factorize(A) is f

    def test_other_tolerances_accepted(self, A):
        for tol in (0.0, -1.0, -2.0, 1e-3, math.inf):
            ts.spqr(A, mode="r", tol=tol)
            ts.SPQRFactor(A, tol=tol)


class TestDocstrings:
    @pytest.mark.parametrize("method", ["solve", "qmult"])
    def test_raises_names_the_bare_assertion(self, A, method):
        doc = getattr(ts.SPQRFactor, method).__doc__
        raises = doc.split("Raises\n------\n", 1)[1].split("\n\n", 1)[0]
        assert "AssertionError" in raises and "factorize(A)" in raises
        f = ts.SPQRFactor(A)
        with pytest.raises(AssertionError) as info:
            getattr(f, method)(np.ones(12))
        assert type(info.value) is AssertionError and info.value.args == ()


def hooks_built():
    return importlib.util.find_spec("tarnix._testing") is not None


class TestHooksFollowTheBuild:
    """The test hooks exist exactly in builds made with TARNIX_TESTING=ON (the ones with tarnix._testing)."""

    def test_narrow_limit(self):
        assert hasattr(ts, "_narrow_limit") == hooks_built()

    def test_python_allocation_refusal(self):
        names = {"_refuse_python_allocation", "_python_allocation_report"}
        assert (names <= set(cm._C_API)) == hooks_built()
        assert not (names & set(cm._C_API)) or hooks_built()
