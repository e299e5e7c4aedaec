"""Every SuiteSparse allocation a call makes fails once in turn.

The counting allocator of tarnix._testing refuses the k-th allocation for k = 0, 1, 2, ...
until a run makes no more than k allocations. Each run that met a refusal must raise a
MemoryError (the module's own out-of-memory class where it has one) or, where the library
recovers, return the same result as a normal call; either way every block allocated during
the run is freed once its results are dropped.
"""

from __future__ import annotations

import numpy as np
import pytest
from scipy import sparse

import tarnix.camd as tca
import tarnix.ccolamd as tcc
import tarnix.colamd as tc
import tarnix.spqr as ts

from support import load, testing_hooks, with_index_dtype

hook = testing_hooks()


def same(a, b):
    """Results of two runs agree (tuples, sparse and dense arrays, records)."""
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, ts.SPQRHouseholder):
        return same((a.H, a.tau, a.v), (b.H, b.tau, b.v))
    if sparse.issparse(a):
        return a.shape == b.shape and np.allclose(a.toarray(), b.toarray(), rtol=1e-12, atol=1e-12)
    if isinstance(a, np.ndarray):
        return a.shape == b.shape and np.allclose(a, b, rtol=1e-12, atol=1e-12)
    return a == b


def refuse_each_allocation(call, setup=lambda: (), *, raises, check=same):
    """Run call(*setup()) once per allocation, refusing that allocation; returns the count."""
    reference = call(*setup())
    index = 0
    while True:
        args = setup()
        hook.fail_allocation(index)
        try:
            try:
                result = call(*args)
            except MemoryError as exc:
                outcome = repr(exc), type(exc)  # not exc: its traceback holds the call's locals
            else:
                outcome = None
                recovered = check(result, reference)
                del result
            del args
        finally:
            allocations, refused, live = hook.restore_allocator()
        if not refused:
            assert outcome is None, f"run {index} raised without a refused allocation: {outcome[0]}"
            return index
        if outcome is None:
            assert recovered, f"allocation {index} refused: the call returned a different result"
        else:
            assert issubclass(outcome[1], raises), f"allocation {index} refused: {outcome[0]}"
        assert live == 0, f"allocation {index} refused: {live} blocks left allocated"
        index += 1


@pytest.fixture(scope="module")
def tall():
    rng = np.random.default_rng(7)
    A = sparse.random_array((40, 18), density=0.15, rng=rng) + sparse.eye_array(40, 18)
    return sparse.csc_array(A)


@pytest.fixture(scope="module", params=["real", "complex"])
def matrix(request, tall):
    return tall if request.param == "real" else sparse.csc_array(tall * (1 - 0.5j))


@pytest.fixture(params=["kernel", "library"])
def product_path(request):
    """Narrow products with Q through the sparse kernel (the default) or the library's product."""
    previous = ts._narrow_limit(0 if request.param == "library" else 10**9)
    yield request.param
    ts._narrow_limit(previous)


def symmetric_pattern():
    A = load("bcspwr01")
    return sparse.csc_array(A + A.T)


class TestOrderings:
    @pytest.mark.parametrize(
        "call, raises",
        [(tc.symamd, tc.COLAMDMemoryError), (tcc.csymamd, tcc.CCOLAMDMemoryError), (tca.camd, tca.CAMDMemoryError)],
        ids=["symamd", "csymamd", "camd"],
    )
    def test_each_allocation(self, call, raises, index_dtype):
        S = with_index_dtype(symmetric_pattern(), index_dtype)
        assert refuse_each_allocation(lambda: call(S), raises=raises) > 0

    def test_csymamd_with_constraints(self):
        S = symmetric_pattern()
        cmember = np.arange(S.shape[0]) % 3
        assert refuse_each_allocation(lambda: tcc.csymamd(S, constraints=cmember), raises=tcc.CCOLAMDMemoryError) > 0


class TestFactor:
    def test_construction(self, matrix, index_dtype):
        A = with_index_dtype(matrix, index_dtype)
        def analyse_and_solve(**options):
            f = ts.SPQRFactor(A, **options)
            if not options.get("use_singletons"):  # those are factorized at once
                f.factorize(A)
            return f.solve(np.ones(40))

        for options in ({}, {"use_singletons": True}, {"order": "colamd"}):
            count = refuse_each_allocation(lambda: analyse_and_solve(**options), raises=ts.SPQROutOfMemoryError)
            assert count > 0

    def test_refactorize(self, matrix):
        B = matrix.copy()
        B.data *= 2
        b = np.ones(40)
        before, after = ts.spqr_factor(matrix).solve(b), ts.spqr_factor(B).solve(b)

        def refactorize(f):
            try:
                f.factorize(B)
            except MemoryError:
                # The factor keeps a whole factorization (the old one) or says it has none.
                if "numeric factor" in repr(f):
                    np.testing.assert_allclose(f.solve(b), before)
                else:
                    with pytest.raises((AssertionError, ts.SPQRError)):  # SPQRError under -O
                        f.solve(b)
                raise
            return f.solve(b)

        assert refuse_each_allocation(refactorize, lambda: (ts.spqr_factor(matrix),),
                                      raises=ts.SPQROutOfMemoryError) > 0
        np.testing.assert_allclose(refactorize(ts.spqr_factor(matrix)), after)

    def test_copy(self, matrix):
        f = ts.spqr_factor(matrix)
        count = refuse_each_allocation(lambda: f.copy().solve(np.ones(40)), raises=MemoryError)
        assert count > 0
        np.testing.assert_allclose(f.solve(np.ones(40)), ts.spqr_factor(matrix).solve(np.ones(40)))

    @pytest.mark.parametrize("kind", ["dense", "transposed", "sparse"])
    def test_solve(self, matrix, kind, product_path):
        f = ts.spqr_factor(matrix)
        b = {"dense": np.ones((40, 3)), "transposed": np.ones(18),
             "sparse": sparse.csc_array(sparse.random_array((40, 5), density=0.3, rng=1))}[kind]
        f.solve(b, transpose=kind == "transposed")  # the factor's workspace, before counting
        count = refuse_each_allocation(lambda: f.solve(b, transpose=kind == "transposed", rhs_batch_size=2),
                                       raises=ts.SPQROutOfMemoryError)
        assert count > 0

    @pytest.mark.parametrize("method", ["QX", "QTX", "XQ", "XQT"])
    def test_qmult(self, matrix, method, product_path):
        f = ts.spqr_factor(matrix)
        X = np.ones((40, 2) if method in ("QX", "QTX") else (2, 40), matrix.dtype)
        f.qmult(X, method)
        assert refuse_each_allocation(lambda: f.qmult(X, method), raises=ts.SPQROutOfMemoryError) > 0
        Xs = sparse.csc_array(X)
        assert refuse_each_allocation(lambda: f.qmult(Xs, method), raises=ts.SPQROutOfMemoryError) > 0


class TestFunctions:
    @pytest.mark.parametrize("mode", ["full", "economic", "r", "householder"])
    def test_spqr(self, matrix, mode, index_dtype):
        A = with_index_dtype(matrix, index_dtype)
        assert refuse_each_allocation(lambda: ts.spqr(A, mode=mode), raises=ts.SPQROutOfMemoryError) > 0

    @pytest.mark.parametrize("shape", ["tall", "wide"])
    def test_spqr_solve(self, matrix, shape):
        A = matrix if shape == "tall" else sparse.csc_array(matrix.T)
        b = np.ones(A.shape[0])
        assert refuse_each_allocation(lambda: ts.spqr_solve(A, b), raises=ts.SPQROutOfMemoryError) > 0

    def test_spqr_qmult(self, matrix, product_path):
        house = ts.spqr(matrix, mode="householder")[0]
        X = np.ones((40, 2), matrix.dtype)
        assert refuse_each_allocation(lambda: ts.spqr_qmult(house, X), raises=ts.SPQROutOfMemoryError) > 0
        Xs = sparse.csc_array(X)
        assert refuse_each_allocation(lambda: ts.spqr_qmult(house, Xs, "QTX"), raises=ts.SPQROutOfMemoryError) > 0


def test_hook_is_inert_once_restored(tall):
    hook.fail_allocation(0)
    with pytest.raises(RuntimeError):
        hook.fail_allocation(0)
    _, refused, _ = hook.restore_allocator()
    assert not refused
    with pytest.raises(RuntimeError):
        hook.restore_allocator()
    assert ts.spqr(tall, mode="r")[0].shape[1] == 18



def refuse_each_python_allocation(call, setup=lambda: ()):
    """Run call(*setup()) once per Python object that tarnix.cholmod's conversions of
    CHOLMOD results create, refusing that one; returns the count.

    Each refusal must surface as MemoryError, with every SuiteSparse block allocated
    during the run freed (the blocks being handed over included).
    """
    call(*setup())
    index = 0
    while True:
        args = setup()
        hook.fail_allocation(-1)  # counts the blocks, refuses none
        hook.fail_python_allocation(index)
        try:
            try:
                result = call(*args)
            except MemoryError as exc:
                outcome = repr(exc)
            else:
                outcome = None
                del result
            del args
        finally:
            _, refused = hook.restore_python_allocation()
            _, _, live = hook.restore_allocator()
        if not refused:
            assert outcome is None, f"run {index} raised without a refused object: {outcome}"
            return index
        assert outcome is not None, f"object {index} refused, but the call succeeded"
        assert live == 0, f"object {index} refused: {live} blocks left allocated"
        index += 1


class TestHandOffs:
    """The conversions of library results into NumPy and SciPy objects."""

    @pytest.mark.parametrize("mode", ["full", "economic", "r", "householder"])
    def test_spqr(self, matrix, mode, index_dtype):
        A = with_index_dtype(matrix, index_dtype)
        assert refuse_each_python_allocation(lambda: ts.spqr(A, mode=mode)) >= 3

    def test_factor_results(self, matrix):
        f = ts.spqr_factor(matrix)
        X = np.ones((40, 2), matrix.dtype)
        Xs = sparse.csc_array(X)
        for call in (lambda: f.solve(np.ones(40)), lambda: f.qmult(X), lambda: f.qmult(Xs, "QTX"), lambda: f.perm):
            call()  # the factor's workspace, before counting
            assert refuse_each_python_allocation(call) >= 1

    def test_spqr_qmult(self, matrix, product_path):
        house = ts.spqr(matrix, mode="householder")[0]
        X = np.ones((40, 2), matrix.dtype)
        assert refuse_each_python_allocation(lambda: ts.spqr_qmult(house, X)) >= 2
        assert refuse_each_python_allocation(lambda: ts.spqr_qmult(house, sparse.csc_array(X), "QTX")) >= 3

    def test_hook_is_inert_once_restored(self, tall):
        hook.fail_python_allocation(0)
        with pytest.raises(MemoryError):
            ts.spqr(tall, mode="r")
        assert hook.restore_python_allocation() == (1, True)
        assert ts.spqr(tall, mode="r")[0].shape == (40, 18)
        assert hook.restore_python_allocation() == (0, False)
