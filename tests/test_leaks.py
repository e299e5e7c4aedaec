"""Repeated calls leave no memory behind, on success and on error paths.

Each scenario runs a warm-up, then ROUNDS more rounds, and the process must
not have grown: neither its resident set size (which sees what the libraries
allocate) nor the number of live objects the collector tracks. Then a shorter
run under tracemalloc (Python objects and NumPy buffers, counted exactly).
Inputs are small so that the rounds are many: a leak of LEAK_BYTES per round
adds up to more than LIMIT.
"""

from __future__ import annotations

import ctypes
import gc
import os
import pickle
import tracemalloc
import warnings

import numpy as np
import pytest
from scipy import sparse

import tarnix.btf as tb
import tarnix.camd as tca
import tarnix.ccolamd as tcc
import tarnix.colamd as tc
import tarnix.spqr as ts
from tarnix.utils import validate_csc_input

from support import random_csc, symmetric_pattern, with_index_dtype

LIMIT = 1 << 20
LEAK_BYTES = 512
ROUNDS = LIMIT // LEAK_BYTES + 1
# tracemalloc counts bytes exactly but slows every allocation: fewer rounds,
# with the limit scaled to the same leak per round.
TRACED_ROUNDS = 300
TRACED_LIMIT = TRACED_ROUNDS * LEAK_BYTES
WARMUP = 200

# Under AddressSanitizer (make asan) freed memory sits in quarantine and the
# resident size grows whatever the code does; traced memory and live objects
# still count.
RSS_COUNTS = "libasan" not in os.environ.get("LD_PRELOAD", "")

try:
    _trim = ctypes.CDLL("libc.so.6").malloc_trim
except (OSError, AttributeError):  # not glibc: RSS is noisier, but still bounded
    _trim = None


def rss_bytes():
    with open("/proc/self/status") as status:
        return 1024 * next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def settle():
    """Collect garbage and give free heap pages back, so that RSS shows live memory only."""
    gc.collect()
    if _trim is not None:
        _trim(0)


def repeat(fn, rounds, measure, warmup=WARMUP):
    """Growth of measure() over `rounds` calls of fn after a warm-up. The end is
    measured three times and the smallest figure kept: a leak stays, noise does not."""
    for _ in range(warmup):
        fn()
    before = measure()
    for _ in range(rounds):
        fn()
    return np.min([measure() for _ in range(3)], axis=0) - before


def growth(fn):
    """(RSS, traced, objects) growth over repeated calls of fn."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # pytest keeps what it records, which would look like a leak
        rss, objects = repeat(fn, ROUNDS, lambda: (settle(), rss_bytes(), len(gc.get_objects()))[1:])
        tracemalloc.start()
        try:
            traced = repeat(fn, TRACED_ROUNDS, lambda: (gc.collect(), tracemalloc.get_traced_memory()[0])[1:], 20)[0]
        finally:
            tracemalloc.stop()
    return int(rss), int(traced), int(objects)


def raises(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn.__name__} did not raise {exc.__name__}")


# ---------------------------------------------------------------------------
# Inputs: a few small matrices in each value type and index width.

rng = np.random.default_rng(7)
VARIANTS = [(v, i) for v in (np.float64, np.complex128) for i in (np.int32, np.int64)]


def tall(dtype=np.float64, itype=np.int32, m=12, n=7):
    A = random_csc(m, n, 0.3, rng, dtype) + sparse.eye_array(m, n)
    return with_index_dtype(sparse.csc_array(A, dtype=dtype), itype)


def square_pattern(itype=np.int32, n=9):
    return with_index_dtype(symmetric_pattern(random_csc(n, n, 0.25, rng)), itype)


MATS = {(v, i): tall(v, i) for v, i in VARIANTS}
A32, A64 = MATS[np.float64, np.int32], MATS[np.float64, np.int64]
S32, S64 = square_pattern(np.int32), square_pattern(np.int64)
DEFICIENT = sparse.csc_array(np.hstack([A32.toarray(), A32.toarray()[:, :1]]))  # a repeated column


class Refusing(ts.SPQRFactor):
    def _check_input_matrix(self, A, itype):
        raise LookupError("refused by the subclass")


class FailingSecondBatch(ts.SPQRFactor):
    calls = 0

    def _solve_dense(self, b, transpose):
        FailingSecondBatch.calls += 1
        if FailingSecondBatch.calls % 2 == 0:
            raise RuntimeError("second batch")
        return super()._solve_dense(b, transpose)


# ---------------------------------------------------------------------------
# Scenarios: name -> callable making one round of calls.


def orderings():
    I32 = np.int32
    widths = [(A32, S32, np.arange(S32.shape[0]) % 3), (A64, S64, np.arange(S64.shape[0]) % 3)]
    yield "colamd", lambda: [(tc.colamd(A, return_info=True), tc.colamd(A, 0.5, 0.5, True),
                              tc.symamd(S, return_info=True)) for A, S, _ in widths]
    yield "ccolamd", lambda: [(tcc.ccolamd(A, np.arange(A.shape[1]) % 2, opt_lu="lu", return_info=True),
                               tcc.csymamd(S, c, return_info=True)) for A, S, c in widths]
    yield "camd", lambda: [tca.camd(S, c, dense_thresh=5, return_info=True) for _, S, c in widths]
    yield "btf", lambda: [(tb.maxtrans(A), tb.strongcomp(S), tb.strongcomp(S, np.arange(S.shape[0])), tb.btf(S),
                           tb.btf_q_permutation([0, -2, 1])) for A, S, _ in widths]
    yield "validate", lambda: [(validate_csc_input(A), validate_csc_input(A.tocoo()),
                                validate_csc_input(A.toarray()), validate_csc_input(S, True)) for A, S, _ in widths]

    bad_Ap, Ai, far = np.array([1, 2, 4], I32), np.array([0, 1, 1, 2], I32), np.array([0, 5, 1, 2], I32)
    Ap, Ap64, Ap_float = np.array([0, 2, 4], I32), np.zeros(3, np.int64), np.zeros(3)

    def out():  # perm, knobs, stats
        return np.zeros(3, I32), np.zeros(20), np.zeros(20, I32)

    yield "colamd errors", lambda: (raises(ValueError, tc._colamd, 3, 2, bad_Ap, Ai, *out()),
                                    raises(tc.COLAMDValueError, tc._colamd, 3, 2, Ap, far, *out()),
                                    raises(ValueError, tc._colamd, 3, 2, Ap64, Ai, *out()),
                                    raises(TypeError, tc._symamd, 3, 2, Ap_float, Ai, None, None, None),
                                    raises(TypeError, tc.colamd, A32, dense_row_thresh="x"),
                                    raises(ValueError, tc.symamd, A32))
    yield "ccolamd errors", lambda: (raises(tcc.CCOLAMDValueError, tcc._ccolamd, 3, 2, Ap, far, *out(), None),
                                     raises(ValueError, tcc.ccolamd, A32, opt_lu="LU"),
                                     raises(TypeError, tcc.csymamd, S32, [None] * S32.shape[0]),
                                     raises(ValueError, tcc.csymamd, S32, [0, 1]))
    yield "camd errors", lambda: (raises(ValueError, tca.camd, S32, [0, 1]), raises(ValueError, tca.camd, A32),
                                  raises(tca.CAMDInvalidMatrixError, tca._camd_order, 2, None, None, None, None,
                                         np.zeros(20), None))
    yield "btf errors", lambda: (raises(ValueError, tb.strongcomp, S32, [0, 1]),
                                 raises(TypeError, tb.strongcomp, S32, [None] * S32.shape[0]),
                                 raises(ValueError, tb.btf_q_permutation, np.zeros((2, 2), I32)),
                                 raises(ValueError, tb._btf, 2, Ap, far, 0.0, *np.zeros((3, 2), I32)),
                                 raises(ValueError, tb.maxtrans, np.zeros((2, 2, 2))))
    unsorted = sparse.csc_array((np.ones(3), np.array([1, 0, 0]), np.array([0, 2, 3])), shape=(2, 2))
    yield "validate errors", lambda: (
        validate_csc_input(unsorted),
        raises(ValueError, validate_csc_input, np.zeros((2, 2, 2))),
        raises(ValueError, validate_csc_input, np.array([["a"]])),
        raises(ValueError, validate_csc_input, A32, True))


def factors():
    for (v, i), A in MATS.items():
        tag = f"{np.dtype(v).name}/{np.dtype(i).name}"
        m, n = A.shape
        AT = sparse.csc_array(A.T)
        f = ts.spqr_factor(A)
        house = ts.spqr(A, mode="householder")[0]
        B = with_index_dtype(sparse.csc_array(random_csc(m, 3, 0.4, rng, v)), i)
        X, XT, b = np.ones((m, 2), v, order="F"), np.ones((2, m), v), np.ones(n, v)
        yield f"factor {tag}", lambda A=A: (ts.SPQRFactor(A).factorize(A, tol=0.1).factorize(A),
                                           ts.SPQRFactor(A, use_singletons=True, order="colamd"),
                                           ts.spqr_factor(A).copy(), ts.SPQRFactor(A).copy())
        yield f"solve {tag}", lambda f=f, B=B, X=X, b=b: (f.solve(X[:, 0]), f.solve(b, transpose=True),
                                                         f.solve(B, rhs_batch_size=2))
        yield f"qmult {tag}", lambda f=f, B=B, X=X, XT=XT: [
            (f.qmult(X, meth), f.qmult(XT, "X" + meth[:-1]), f.qmult(B, meth)) for meth in ("QX", "QTX")]
        yield f"oneshot {tag}", lambda A=A, AT=AT, house=house, B=B, X=X, XT=XT, b=b: (
            ts.spqr(A), ts.spqr(A, mode="householder"), ts.spqr_solve(A, X), ts.spqr_solve(AT, b),
            ts.spqr_qmult(house, X), ts.spqr_qmult(house, B, "QTX"), ts.spqr_qmult(house, XT, "XQ"))
        T = with_index_dtype(sparse.csc_array(np.triu(np.ones((m, m), v))), i)
        yield f"triangular {tag}", lambda T=T, X=X: (ts._solve_triangular(T, X),
                                                     ts._solve_triangular(T, X[:, 0], True))

    m, n = A32.shape
    f = ts.spqr_factor(A32)
    fz = ts.spqr_factor(MATS[np.complex128, np.int64])
    symbolic = ts.SPQRFactor(A32)
    house = ts.spqr(A32, mode="householder")[0]
    fewer_rows = sparse.csc_array(A32[:5])
    other_pattern = sparse.csc_array(A32 + sparse.eye_array(m, n, k=3))
    b, b_long, b_complex = np.ones(m), np.ones(m + 1), np.ones(m, complex)
    B_wide, B_empty, B_column = sparse.csc_array(np.ones((m, 4))), sparse.csc_array((m, 0)), sparse.csr_array(b[:, None])
    F_complex, F_single = np.ones((m, 1), complex, order="F"), np.ones((m, 1), np.float32, order="F")
    F_real, tau_long = np.ones((m, 1), order="F"), np.zeros((1, n + 1), order="F")
    yield "spqr errors", lambda: (
        raises(ValueError, f.factorize, fewer_rows),
        raises(ValueError, f.factorize, A64),
        raises(ValueError, f.factorize, MATS[np.complex128, np.int32]),
        raises(ValueError, f.factorize, other_pattern),
        raises(ValueError, ts.spqr, A32, mode="raw"),
        raises(ValueError, ts.SPQRFactor, A32, order="nope"),
        raises(TypeError, ts.SPQRFactor, A32, tol="x"),
        raises(AssertionError, symbolic.solve, b),
        raises(ValueError, f.solve, [1.0] * m),
        raises(ValueError, f.solve, b_long),
        raises(TypeError, f.solve, b_complex),
        raises(ValueError, f.solve, B_wide, rhs_batch_size=0),
        raises(ValueError, f.qmult, b_complex),
        raises(ValueError, f.qmult, b, "qx"),
        raises(ValueError, ts.spqr_qmult, (1, 2), b),
        raises(ValueError, ts.spqr_qmult, house, [[1.0], [1.0, 2.0]]),
        raises(ValueError, ts._qmult, 1, house.H, tau_long, house.perm, F_real),
        raises(ValueError, ts._solve_triangular, sparse.csc_array(np.tril(np.ones((m, m)))), b),
        raises(TypeError, ts._solve_triangular, sparse.csc_array(np.eye(m)), b_complex),
        raises(TypeError, f._solve_dense, F_single, False),
        raises(TypeError, pickle.dumps, f),
        raises(TypeError, ts.SPQRInfo, ordering=1))
    # The library refuses a right-hand side of the other value type (and says so on stdout).
    yield "library errors", lambda: (raises(ts.SPQRInvalidInputError, f._solve_dense, F_complex, False),
                                     raises(ts.SPQRInvalidInputError, fz._solve_dense, F_real, False))
    yield "spqr modes, empty sparse rhs", lambda: (
        ts.spqr(A32, mode="economic"), ts.spqr(A64, mode="r", order="natural", tol=0.1),
        f.solve(B_empty), f.solve(B_column))
    yield "subclass raises", lambda: (
        raises(LookupError, Refusing(A32).factorize, A32),
        raises(RuntimeError, FailingSecondBatch(A32, use_singletons=True).solve, B_wide, rhs_batch_size=2))

    deficient = ts.spqr_factor(DEFICIENT)
    tol_changer = ts.spqr_factor(A32)
    B_two = sparse.csc_array(B_wide[:, :2])

    def warnings_as_errors():
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            raises(ts.SPQRRankDeficiencyWarning, deficient.solve, b)
            raises(ts.SPQRRankDeficiencyWarning, deficient.solve, B_two)
            # The warning comes before the new tolerance is kept, so it comes every time.
            raises(UserWarning, tol_changer.factorize, A32, tol=0.25)

    yield "warnings as errors", warnings_as_errors
    yield "info and repr", lambda: (pickle.loads(pickle.dumps(f.info)), repr(f), str(symbolic), f.perm,
                                   symbolic.perm, f.rank, hash(f.info))


SCENARIOS = dict(orderings()) | dict(factors())


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_no_growth(name):
    fn = SCENARIOS[name]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fn()  # fails here, not as a leak, if the scenario itself is wrong
    rss, traced, objects = growth(fn)
    print(f"{name}: RSS {rss / 1024:+.0f} KiB, traced {traced / 1024:+.0f} KiB, objects {objects:+d}")
    assert rss < LIMIT or not RSS_COUNTS, f"RSS grew by {rss} bytes over {ROUNDS} rounds"
    assert traced < TRACED_LIMIT, f"traced memory grew by {traced} bytes over {TRACED_ROUNDS} rounds"
    assert objects < 100, f"{objects} more live objects after {ROUNDS} rounds"
