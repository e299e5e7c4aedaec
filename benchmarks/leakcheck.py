"""Leak check: repeat every kind of call, on success and on error paths, and watch the process.

For each scenario the call runs a warm-up round, then many more; the resident set size and the
number of live Python objects must not grow with the count. Run with `python benchmarks/leakcheck.py`.
"""

from __future__ import annotations

import gc
import sys

import numpy as np
from scipy import sparse


def rss_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def scenarios():
    import tarnix.colamd as tc
    import tarnix.spqr as ts

    rng = np.random.default_rng(0)
    A = sparse.csc_array(sparse.random_array((300, 120), density=0.05, rng=rng) + sparse.eye_array(300, 120))
    Az = sparse.csc_array(A * (1 + 1j))
    A64 = A.copy()
    A64.indptr, A64.indices = A64.indptr.astype(np.int64), A64.indices.astype(np.int64)
    b = np.ones(300)
    B = sparse.csc_array(sparse.random_array((300, 30), density=0.05, rng=rng))
    f = ts.spqr_factor(A)
    house = ts.spqr(A, mode="householder")[0]

    def expect(exc, fn, *args, **kwargs):
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{fn} did not raise {exc}")

    yield "colamd/symamd", lambda: (tc.colamd(A, return_info=True), tc.symamd(A[:120], return_info=True))
    yield "colamd errors", lambda: (expect(ValueError, tc._colamd, 3, 2, np.zeros(3, np.int32),
                                           np.zeros(1, np.int32), np.zeros(2, np.int32), np.zeros(20),
                                           np.zeros(20, np.int32)),
                                    expect(TypeError, tc.colamd, A, dense_row_thresh="x"))
    yield "SPQRFactor + factorize (4 variants)", lambda: [ts.SPQRFactor(M).factorize(M) for M in (A, Az, A64)]
    yield "copy", lambda: f.copy().copy()
    yield "solve dense/sparse/transposed", lambda: (f.solve(b), f.solve(B, rhs_batch_size=7),
                                                     f.solve(np.ones(120), transpose=True))
    yield "qmult dense/sparse", lambda: (f.qmult(np.eye(300, 4)), f.qmult(B, "QTX"))
    yield "spqr all modes", lambda: [ts.spqr(A, mode=m) for m in ("full", "economic", "r", "householder")]
    yield "spqr_solve / spqr_qmult", lambda: (ts.spqr_solve(A.T.tocsc(), np.ones(120)),
                                              ts.spqr_qmult(house, np.eye(300, 3)), ts.spqr_qmult(house, B))
    yield "spqr errors", lambda: (expect(ValueError, f.factorize, A[:10]), expect(ValueError, ts.spqr, A, mode="x"),
                                  expect(ValueError, ts.SPQRFactor, A, order="x"),
                                  expect(ValueError, ts.spqr_qmult, (1, 2), b),
                                  expect(ValueError, ts._qmult, 1, house.H, np.zeros((1, 120), order="F"),
                                         np.zeros(300, np.int32), np.ones((300, 1), order="F")),
                                  expect(ts.SPQRInvalidInputError, f._solve_dense,
                                         np.ones((300, 1), complex, order="F"), False))
    yield "SPQRInfo pickle", lambda: [__import__("pickle").loads(__import__("pickle").dumps(f.info))
                                      for _ in range(10)]


def main(rounds=300):
    failed = False
    for name, fn in scenarios():
        for _ in range(20):
            fn()
        gc.collect()
        rss0, objects0 = rss_kib(), len(gc.get_objects())
        for _ in range(rounds):
            fn()
        gc.collect()
        grew_rss, grew_objects = rss_kib() - rss0, len(gc.get_objects()) - objects0
        ok = grew_rss < 2048 and grew_objects < 50
        failed |= not ok
        print(f"{'ok  ' if ok else 'LEAK'} {name}: {rounds} rounds, RSS {grew_rss:+d} KiB, objects {grew_objects:+d}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
