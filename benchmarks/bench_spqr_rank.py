"""tarnix.spqr_rank against a plain sparse solve and against the dense SVD.

The problems are graph Laplacians of k x k grids (rank n - 1, the constants span the null
space), of growing k, and incidence matrices of graphs made of three grids (a null space of
A^T spanned by the three component indicators), up to 10^5 nodes. For each of spqr_basic, spqr_null, spqr_pinv and spqr_cod a row gives
its best wall time, its ratio to one spqr_solve of the same system (one QR factorization and
solve, no rank check) and, where the dense matrix fits (n <= 2500), its ratio to the dense
reference (numpy.linalg.pinv(A) @ b, or the SVD for the null space) and the relative
difference from that reference, with the rank and the flag found.
"""

from __future__ import annotations

import warnings

import numpy as np
from scipy import sparse

from common import best_time, table

from tarnix.spqr import SPQRFactor, SPQRRankDeficiencyWarning, spqr_solve
from tarnix.spqr_rank import spqr_basic, spqr_cod, spqr_null, spqr_pinv

DENSE_LIMIT = 2500


def grid_laplacian(k):
    """The graph Laplacian of a k x k grid: singular, its null space the constant vectors."""
    path = sparse.diags_array([-np.ones(k - 1), -np.ones(k - 1)], offsets=[-1, 1], shape=(k, k))
    eye = sparse.eye_array(k)
    W = sparse.kron(path, eye) + sparse.kron(eye, path)
    L = sparse.csc_array(sparse.diags_array(-np.asarray(W.sum(axis=1)).ravel()) + W)
    L.sum_duplicates()
    return L


def dense_reference(D, b, tol):
    """The pseudoinverse solution and a null-space basis from one dense SVD."""
    U, s, Vh = np.linalg.svd(D)
    r = int((s > tol).sum())
    x = Vh[:r].T @ ((U[:, :r].T @ b) / s[:r])
    return x, Vh[r:].T


def gap(N, ref):
    """Largest principal-angle sine between the spans of two orthonormal bases."""
    return float(np.linalg.norm(N - ref @ (ref.T @ N), 2))


def rows_for(k, rng):
    A = grid_laplacian(k)
    n = A.shape[0]
    b = rng.standard_normal(n)
    b -= b.mean()  # consistent: b in the range of the Laplacian
    with warnings.catch_warnings():
        # The Laplacian is rank deficient by construction; spqr_solve says so on every call.
        warnings.simplefilter("ignore", SPQRRankDeficiencyWarning)
        t_solve = best_time(lambda: spqr_solve(A, b), repeat=3)
    dense = n <= DENSE_LIMIT
    if dense:
        D = A.toarray()
        tol = spqr_null(A)[1].tol
        t_dense = best_time(lambda: dense_reference(D, b, tol), repeat=2)
        x_ref, N_ref = dense_reference(D, b, tol)
    rows = [[f"{k}x{k}", n, "spqr_solve", f"{t_solve * 1e3:.1f}", "1.0", "", "", "", ""]]
    for f in (spqr_basic, spqr_null, spqr_pinv, spqr_cod):
        call = (lambda f=f: f(A)) if f is spqr_null else (lambda f=f: f(A, b))
        result, st = call()
        t = best_time(call, repeat=3)
        dense_ratio = error = ""
        if dense:
            dense_ratio = f"{t / t_dense:.2g}"
            if f is spqr_null:
                error = f"{gap(result.toarray(), N_ref):.1e}"
            elif f is not spqr_basic:
                error = f"{np.linalg.norm(result - x_ref) / np.linalg.norm(x_ref):.1e}"
        rows.append([f"{k}x{k}", n, f.__name__, f"{t * 1e3:.1f}", f"{t / t_solve:.1f}", dense_ratio, error,
                     st.rank, st.flag])
    return rows


def three_grids(side):
    """The transposed incidence matrix (edges x nodes) of three disjoint side x side grids."""
    k = side * side
    heads, tails = [], []
    for offset in (0, k, 2 * k):
        idx = np.arange(k).reshape(side, side) + offset
        heads += [idx[:, :-1].ravel(), idx[:-1].ravel()]
        tails += [idx[:, 1:].ravel(), idx[1:].ravel()]
    h, t = np.concatenate(heads), np.concatenate(tails)
    e = np.arange(h.size)
    return sparse.csc_array((np.r_[np.ones(h.size), -np.ones(h.size)], (np.r_[e, e], np.r_[h, t])),
                            shape=(h.size, 3 * k))


def graph_rows():
    rows = []
    for side in (58, 100, 183):
        A = three_grids(side)
        n = A.shape[1]
        t_factor = best_time(lambda: SPQRFactor(A.T.tocsc()), repeat=3)
        (N, st) = spqr_null(A)
        t = best_time(lambda: spqr_null(A), repeat=3)
        rows.append([n, A.nnz, f"{t * 1e3:.0f}", f"{st.time_qr / st.time:.2f}", f"{t / t_factor:.1f}",
                     f"{n * n * 8 / 2**30:.1f}", N.shape[1], st.flag])
    return rows


def main():
    rng = np.random.default_rng(0)
    rows = []
    for k in (20, 40, 80, 160):
        rows += rows_for(k, rng)
    table("spqr_rank on grid graph Laplacians (rank n - 1): time, ratio to spqr_solve and to the dense SVD",
          rows, ["grid", "n", "function", "ms", "/ spqr_solve", "/ dense", "error vs dense", "rank", "flag"])
    table("spqr_null(A) for A the incidence matrix (edges x nodes) of three disjoint square grids: time, share "
          "in QR, ratio to one SPQRFactor(A^H), and the memory a dense n x n basis would take",
          graph_rows(), ["nodes", "nnz", "ms", "QR share", "/ SPQRFactor", "dense GiB", "null dim", "flag"])


if __name__ == "__main__":
    main()
