"""Products with Q for narrow operands: the sparse Householder kernel against SuiteSparseQR_qmult.

SPQRFactor.solve, qmult and spqr_qmult apply Q vector by vector when the
operand has few columns (Q'X, QX) or few rows (XQ', XQ), and through the
library's blocked product otherwise. For each problem and width this prints
both paths' best times (interleaved, minimum of 7 runs; the library's path is
taken with tarnix.spqr._narrow_limit(0)), their ratio and the widest operand
for which the kernel still wins: the crossover the default limit is chosen
from. It also prints the first narrow product of a factor (which builds the
index of its vectors), the index's size, and a one-column solve beside the
bare library's solve from C++ (spqr_bare.cpp).

Run with one BLAS thread (OPENBLAS_NUM_THREADS=1; set here when the library is
not loaded yet).
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import tempfile  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
from scipy import sparse  # noqa: E402

from bench_spqr import bare, bare_program, write_matrix  # noqa: E402
from common import best_pair, laplacian_2d, table  # noqa: E402

from tarnix import spqr as spqr_module  # noqa: E402
from tarnix.spqr import SPQRFactor, spqr, spqr_qmult  # noqa: E402

WIDTHS = (1, 2, 4, 8, 12, 16, 24, 32)
INDEX_RECORD_BYTES = 16  # per Householder vector with int32 indices (spqr/householder_fronts.hpp)


def banded(m=200_000, n=100_000, per_column=10, band=40, seed=0):
    """A banded random least-squares matrix: column j has entries near row j*m/n."""
    rng = np.random.default_rng(seed)
    cols = np.repeat(np.arange(n), per_column)
    centre = (cols * (m / n)).astype(np.int64)
    rows = np.clip(centre + rng.integers(-band, band + 1, size=cols.size), 0, m - 1)
    A = sparse.csc_array(sparse.coo_array((rng.standard_normal(cols.size), (rows, cols)), shape=(m, n)))
    A.sum_duplicates()
    return A


def lap_least_squares(k):
    L = laplacian_2d(k)
    A = sparse.csc_array(sparse.vstack([L, 0.5 * sparse.eye_array(L.shape[0])]))
    A.sum_duplicates()
    return A


def complex_banded(m=40_000, n=20_000, seed=1):
    """A banded complex least-squares matrix (real and imaginary parts banded random)."""
    A = banded(m, n, seed=seed)
    B = banded(m, n, seed=seed + 1)
    return sparse.csc_array(A + 1j * B)


def with_limit(limit, fn):
    def run():
        previous = spqr_module._narrow_limit(limit)
        try:
            return fn()
        finally:
            spqr_module._narrow_limit(previous)
    return run


def operand(shape, dtype, seed=2):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal(shape)
    if dtype == np.complex128:
        X = X + 1j * rng.standard_normal(shape)
    return np.asfortranarray(X)


def widths_table(name, f, method, dtype):
    m = f.shape[0]
    rows, crossover, winning = [], 0, True
    for k in WIDTHS:
        X = operand((m, k) if method in ("QX", "QTX") else (k, m), dtype)
        library = with_limit(0, lambda: f.qmult(X, method))
        kernel = with_limit(10**9, lambda: f.qmult(X, method))
        kernel()
        t_lib, t_kernel = best_pair(library, kernel, repeat=7)
        winning = winning and t_kernel < t_lib
        if winning:
            crossover = k
        rows.append([name, method, k, f"{t_lib * 1e3:.2f}", f"{t_kernel * 1e3:.2f}", f"{t_lib / t_kernel:.2f}"])
    return rows, crossover


def first_use(A):
    f = SPQRFactor(A)
    f.factorize(A)
    b = operand((A.shape[0], 1), A.dtype)
    t0 = time.perf_counter()
    with_limit(10**9, lambda: f.qmult(b, "QTX"))()
    first = time.perf_counter() - t0
    library, kernel = best_pair(with_limit(0, lambda: f.qmult(b, "QTX")),
                                with_limit(10**9, lambda: f.qmult(b, "QTX")), repeat=7)
    vectors = spqr(A, mode="householder")[0].H.shape[1]
    return f, first, library, kernel, vectors


def main():
    problems = [
        ("banded 200k x 100k", banded()),
        ("lap60 stacked", lap_least_squares(60)),
        ("lap160 stacked", lap_least_squares(160)),
        ("complex banded 40k x 20k", complex_banded()),
    ]
    rows, cross, first_rows, factors = [], [], [], {}
    for name, A in problems:
        f, first, t_lib, t_kernel, vectors = first_use(A)
        factors[name] = f
        first_rows.append([name, f"{A.shape[0]} x {A.shape[1]}", A.nnz, f"{t_lib * 1e3:.2f}", f"{first * 1e3:.2f}",
                           f"{t_kernel * 1e3:.2f}", f"{vectors * INDEX_RECORD_BYTES / 2**20:.1f}",
                           f"{f.info.memory / 2**20:.1f}"])
        for method in ("QTX", "XQ"):
            r, c = widths_table(name, f, method, A.dtype)
            rows += r
            cross.append([name, method, c])
    table("First narrow product (builds the index) and the index's size, one column, Q'x",
          first_rows, ["problem", "shape", "nnz", "library ms", "first ms", "kernel ms", "index MiB (about)",
                       "factor MiB"])
    table("Q'X and XQ by width: library vs sparse kernel", rows,
          ["problem", "method", "width", "library ms", "kernel ms", "speed-up"])
    table("Widest operand where the kernel wins (the default limit: "
          f"{spqr_module._narrow_limit()})", cross, ["problem", "method", "widest"])

    # One-column solve beside the bare library's solve (qmult Q'b, then R\\).
    name, A = problems[0]
    f = factors[name]
    b = np.ones(A.shape[0])
    exe = bare_program()
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "A.bin"
        write_matrix(A, path)
        t_bare = bare(exe, path, "solve", 1, 7)
    t_lib, t_kernel = best_pair(with_limit(0, lambda: f.solve(b)), lambda: f.solve(b), repeat=7)
    table(f"solve(b), one column, {name}", [
        ["bare SuiteSparseQR (C++)", f"{t_bare * 1e3:.2f}", "1.000"],
        ["tarnix, library product", f"{t_lib * 1e3:.2f}", f"{t_lib / t_bare:.3f}"],
        ["tarnix, sparse kernel", f"{t_kernel * 1e3:.2f}", f"{t_kernel / t_bare:.3f}"],
    ], ["path", "ms", "ratio to bare"])

    # spqr_qmult with a Householder triple from the user (its H is already CSC).
    name, A = problems[1]
    house = spqr(A, mode="householder")[0]
    x = np.ones(A.shape[0])
    t_lib, t_kernel = best_pair(with_limit(0, lambda: spqr_qmult(house, x, "QTX")),
                                lambda: spqr_qmult(house, x, "QTX"), repeat=7)
    table(f"spqr_qmult(house, x, 'QTX'), {name}", [
        ["library product", f"{t_lib * 1e3:.3f}", "1.00"],
        ["sparse kernel", f"{t_kernel * 1e3:.3f}", f"{t_lib / t_kernel:.2f}"],
    ], ["path", "ms", "speed-up"])


if __name__ == "__main__":
    main()
