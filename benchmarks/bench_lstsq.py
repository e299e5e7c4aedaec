"""spqr_solve against the two usual alternatives for sparse least squares.

SciPy's iterative ``lsqr`` (tolerances 1e-10) and NumPy's dense ``lstsq``
(LAPACK gelsd) on tall matrices of growing size, a well-conditioned one (a
2-D Laplacian stacked on a scaled identity) and an ill-conditioned one (the
same with a small multiple of the identity, so that lsqr needs many
iterations). Each row gives the best wall time, the relative residual of the
normal equations ``||A^T (A x - b)|| / (||A|| ||b||)`` and, for lsqr, the
iteration count. The user guide quotes this table.
"""

from __future__ import annotations

import numpy as np
from scipy import sparse
from scipy.sparse.linalg import lsqr

from common import best_time, laplacian_2d, table

from tarnix.spqr import spqr_solve


def stacked(k, shift):
    L = laplacian_2d(k)
    A = sparse.csc_array(sparse.vstack([L, shift * sparse.eye_array(L.shape[0])]))
    A.sum_duplicates()
    return A


def normal_residual(A, x, b):
    return float(np.linalg.norm(A.T @ (A @ x - b)) / (sparse.linalg.norm(A) * np.linalg.norm(b)))


def main():
    rng = np.random.default_rng(0)
    rows = []
    for label, shift in (("well-conditioned", 0.5), ("ill-conditioned", 1e-3)):
        for k in (20, 60, 200):
            A = stacked(k, shift)
            b = rng.standard_normal(A.shape[0])
            x = spqr_solve(A, b)
            t_spqr = best_time(lambda: spqr_solve(A, b), repeat=3)
            out = lsqr(A, b, atol=1e-10, btol=1e-10, iter_lim=20_000)
            t_lsqr = best_time(lambda: lsqr(A, b, atol=1e-10, btol=1e-10, iter_lim=20_000), repeat=3)
            size = f"{A.shape[0]}x{A.shape[1]}, nnz {A.nnz}"
            rows.append([label, size, "spqr_solve", f"{t_spqr * 1e3:.1f}", f"{normal_residual(A, x, b):.1e}", ""])
            rows.append([label, size, "lsqr", f"{t_lsqr * 1e3:.1f}", f"{normal_residual(A, out[0], b):.1e}",
                         str(out[2])])
            if A.shape[1] <= 4000:
                D = A.toarray()
                t_dense = best_time(lambda: np.linalg.lstsq(D, b, rcond=None), repeat=3)
                xd = np.linalg.lstsq(D, b, rcond=None)[0]
                rows.append([label, size, "numpy lstsq", f"{t_dense * 1e3:.1f}", f"{normal_residual(A, xd, b):.1e}",
                             ""])
    table("least squares: spqr_solve, scipy lsqr (atol=btol=1e-10), numpy lstsq (dense)", rows,
          ["matrix", "size", "solver", "ms", "normal residual", "lsqr iterations"])


if __name__ == "__main__":
    main()
