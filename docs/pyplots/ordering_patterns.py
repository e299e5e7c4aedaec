"""Pattern of a grid Laplacian and of its Cholesky factor, before and after SYMAMD."""

import matplotlib.pyplot as plt
import numpy as np
from scipy import sparse

from tarnix.colamd import symamd


def laplacian(k):
    T = sparse.diags_array([-1.0, 4.0, -1.0], offsets=[-1, 0, 1], shape=(k, k))
    I = sparse.eye_array(k)
    S = sparse.diags_array([-1.0, -1.0], offsets=[-1, 1], shape=(k, k))
    return sparse.csc_array(sparse.kron(I, T) + sparse.kron(S, I))


def cholesky_pattern(A):
    L = np.linalg.cholesky(A.toarray())
    return np.abs(L) > 1e-12 * np.abs(L).max()


A = laplacian(12)
p = symamd(A)
B = sparse.csc_array(A[p][:, p])

fig, axes = plt.subplots(2, 2, figsize=(7, 7))
for row, (M, name) in enumerate(((A, "natural order"), (B, "SYMAMD order"))):
    L = cholesky_pattern(M)
    axes[row, 0].spy(M, markersize=1.5)
    axes[row, 0].set_title(f"A, {name}: {M.nnz} entries")
    axes[row, 1].spy(L, markersize=1.5)
    axes[row, 1].set_title(f"Cholesky factor L: {int(L.sum())} entries")
for ax in axes.flat:
    ax.set_xticks([])
    ax.set_yticks([])
