"""Problems whose sizes the index width or the memory cannot hold, and what the caller is told.

SuiteSparseQR's 32-bit routines refuse an analysis whose frontal matrices hold more than
2**31 - 1 entries; the module says so and names the cure (int64 indices), where the library's
32-bit path would report invalid input. Work arrays the caller's matrix sizes raise the
module's memory error with the amount and the matrix, and CHOLMOD prints nothing.
"""

from __future__ import annotations

import re

import numpy as np
import pytest
from scipy import sparse

import tarnix.ccolamd as tcc
import tarnix.colamd as tc
import tarnix.spqr as ts

from support import testing_hooks


def arrow(n, index_dtype):
    """A dense first row over the identity: R is a dense n x n triangle in one front."""
    A = sparse.vstack([sparse.csc_array(np.ones((1, n))), sparse.eye_array(n)]).tocsc()
    A.indices = A.indices.astype(index_dtype)
    A.indptr = A.indptr.astype(index_dtype)
    return A


# (n + 1) * n > 2**31 - 1: the one front of the factorization does not fit 32-bit indices.
N_OVERFLOW = 46341

OVERFLOW = r"^SPQR encountered an integer overflow\. \(code -3\): .*int32 indices.*int64"


@pytest.fixture(scope="module")
def A32():
    return arrow(N_OVERFLOW, np.int32)


class TestIndexWidth:
    @pytest.mark.parametrize("order", [None, "natural", "colamd", "fixed"])
    def test_factor_names_cause_and_cure(self, A32, order):
        with pytest.raises(ts.SPQROverflowError, match=OVERFLOW) as info:
            ts.SPQRFactor(A32, order=order)
        assert not isinstance(info.value, ts.SPQRInvalidInputError)
        with pytest.raises(ts.SPQROverflowError, match=OVERFLOW):
            ts.SPQRFactor(A32, order=order, use_singletons=True)

    @pytest.mark.parametrize("mode", ["r", "economic", "full", "householder"])
    def test_one_shot_names_cause_and_cure(self, A32, mode):
        with pytest.raises(ts.SPQROverflowError, match=OVERFLOW):
            ts.spqr(A32, mode=mode)

    def test_solve_names_cause_and_cure(self, A32):
        with pytest.raises(ts.SPQROverflowError, match=OVERFLOW):
            ts.spqr_solve(A32, np.ones(A32.shape[0]))
        with pytest.raises(ts.SPQROverflowError, match=OVERFLOW):
            ts.spqr_factor(A32, order="natural")

    def test_int64_indices_are_the_cure(self):
        # The analysis alone: the numeric factorization would need 8 GiB.
        f = ts.SPQRFactor(arrow(N_OVERFLOW, np.int64), order="natural")
        assert f.itype == np.int64
        assert f.info.nnzR_upper_bound > 2**30

    def test_economic_q_of_a_tall_banded_matrix(self):
        # Q's columns join the fronts: R alone fits, economic Q does not.
        m, n = 200_000, 100_000
        rows = np.concatenate([np.clip(2 * np.arange(n) + d, 0, m - 1) for d in (-1, 0, 1)])
        cols = np.tile(np.arange(n), 3)
        A = sparse.csc_array((np.ones(rows.size), (rows, cols)), shape=(m, n))
        A.indices = A.indices.astype(np.int32)
        A.indptr = A.indptr.astype(np.int32)
        R, E = ts.spqr(A, mode="r")
        assert R.shape == (m, n)
        with pytest.raises(ts.SPQROverflowError, match=OVERFLOW):
            ts.spqr(A, mode="economic")

    def test_small_problems_keep_their_width(self):
        A = arrow(50, np.int32)
        Q, R, E = ts.spqr(A, mode="economic")
        assert Q.indices.dtype == R.indices.dtype == E.dtype == np.int32
        np.testing.assert_allclose((Q @ R).toarray(), A.toarray()[:, E], atol=1e-12)


WORKSPACE = r"^{}: cannot allocate [0-9.]+ [KMGTPE]iB of workspace for a {} x 3 matrix$"


class TestWorkspaceMemory:
    @pytest.mark.parametrize("rows", [2**40, 2**55])
    @pytest.mark.parametrize(("module", "library"), [(tc, "COLAMD"), (tcc, "CCOLAMD")])
    def test_ordering_work_array(self, module, library, rows):
        A = sparse.csc_array((np.ones(2), (np.array([0, rows - 1]), np.array([0, 2]))), shape=(rows, 3))
        assert A.indices.dtype == np.int64
        order = getattr(module, library.lower())
        memory_error = getattr(module, library + "MemoryError")
        with pytest.raises(memory_error, match=WORKSPACE.format(library, rows)) as info:
            order(A)
        assert isinstance(info.value, MemoryError)

    def test_amount(self):
        A = sparse.csc_array((np.ones(1), (np.array([0]), np.array([0]))), shape=(2**40, 3))
        with pytest.raises(tc.COLAMDMemoryError) as info:
            tc.colamd(A)
        amount, unit = re.search(r"allocate ([0-9.]+) (\w+)", str(info.value)).groups()
        # The work array holds at least one entry per row.
        assert unit in ("TiB", "PiB") and float(amount) >= (8 if unit == "TiB" else 0)


class TestLibraryPrinting:
    def test_out_of_memory_is_silent_and_sized(self, capfd):
        hook = testing_hooks()
        A = arrow(40, np.int32)
        hook.fail_allocation(3)
        try:
            with pytest.raises(ts.SPQROutOfMemoryError) as info:
                ts.spqr(A, mode="economic")
        finally:
            hook.restore_allocator()
        out, err = capfd.readouterr()
        assert "CHOLMOD" not in out and "CHOLMOD" not in err
        assert re.match(r"^SPQR ran out of memory\. \(code -2\)(: cannot allocate [0-9.]+ (bytes|[KMGTPE]iB))?$",
                        str(info.value))


def overcommit_refuses_huge_blocks():
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            return f.read().strip() in ("0", "2")
    except OSError:
        return False


@pytest.mark.skipif(not overcommit_refuses_huge_blocks(),
                    reason="this system may grant an 8 TiB block and fail only when it is touched")
def test_library_out_of_memory_says_how_much(capfd):
    # 2**20 columns in one front: 2**40 entries of 8 bytes.
    with pytest.raises(ts.SPQROutOfMemoryError, match=r"^SPQR ran out of memory\. \(code -2\): cannot allocate 8\.0 TiB$"):
        ts.SPQRFactor(arrow(2**20, np.int64), order="natural", use_singletons=True)
    out, err = capfd.readouterr()
    assert "CHOLMOD" not in out + err
