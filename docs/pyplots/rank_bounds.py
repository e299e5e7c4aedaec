"""True singular values against the estimates and bounds of spqr_null and spqr_cod, with and
without a gap at tol."""

import matplotlib.pyplot as plt
import numpy as np
from scipy import sparse

from tarnix.spqr_rank import spqr_cod, spqr_null


def with_spectrum(m, n, svals, seed, blocks=8):
    """A sparse m x n matrix whose singular values are svals: a block diagonal of dense
    U_i S_i V_i^T, each block taking every blocks-th value, rows and columns shuffled."""
    rng = np.random.default_rng(seed)
    bm, bn = m // blocks, n // blocks
    parts = []
    for i in range(blocks):
        mine = np.asarray(svals[i::blocks], float)
        S = np.zeros((bm, bn))
        S[np.arange(mine.size), np.arange(mine.size)] = mine
        U = np.linalg.qr(rng.standard_normal((bm, bm)))[0]
        V = np.linalg.qr(rng.standard_normal((bn, bn)))[0]
        parts.append(U @ S @ V.T)
    A = sparse.block_diag(parts, format="csc")
    return sparse.csc_array(A[rng.permutation(m)][:, rng.permutation(n)])


tol = 1e-6
floor = 1e-11  # the bottom of the axes, where a lower bound of 0 ends
cases = [
    ("a gap at tol", np.r_[np.logspace(0, -4, 40), np.logspace(-9, -10, 40)]),
    ("no gap at tol", np.logspace(0, -10, 80)),
]


def bounds(ax, stats, shift, color, name):
    """The estimates of sigma_r and sigma_(r+1), with their bounds as error bars."""
    est = np.array(stats.est_svals)
    lower = np.minimum(np.maximum(stats.est_sval_lower_bounds, floor), est)
    upper = np.array(stats.est_sval_upper_bounds)
    ax.errorbar(np.array(stats.sval_numbers_for_bounds) + shift, est, yerr=[est - lower, upper - est],
                fmt="o", color=color, markersize=4, capsize=3,
                label=f"{name}: rank {stats.rank}, flag {stats.flag}")


fig, axes = plt.subplots(1, 2, figsize=(9, 3.8), sharey=True)
for ax, (title, svals) in zip(axes, cases):
    A = with_spectrum(160, 80, svals, seed=0)
    s = np.linalg.svd(A.toarray(), compute_uv=False)
    ax.semilogy(np.arange(1, s.size + 1), np.maximum(s, floor), ".", color="0.6",
                label=f"dense SVD: {int((s > tol).sum())} above tol")
    ax.axhline(tol, color="tab:red", linewidth=1, label="tol")
    bounds(ax, spqr_null(A, tol=tol)[1], -0.8, "tab:blue", "spqr_null")
    bounds(ax, spqr_cod(A, np.ones(A.shape[0]), tol=tol)[1], 0.8, "tab:orange", "spqr_cod")
    ax.set_title(title)
    ax.set_xlabel("index of the singular value")
    ax.set_xlim(27.5, 62.5)
    ax.set_ylim(floor, 1e-2)
    ax.legend(loc="upper right", fontsize=7)
axes[0].set_ylabel("singular value")
