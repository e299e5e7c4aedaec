"""The R of a sparse QR factorization with and without a fill-reducing ordering."""

import matplotlib.pyplot as plt
from scipy import sparse

from tarnix.spqr import spqr


def laplacian(k):
    T = sparse.diags_array([-1.0, 4.0, -1.0], offsets=[-1, 0, 1], shape=(k, k))
    I = sparse.eye_array(k)
    S = sparse.diags_array([-1.0, -1.0], offsets=[-1, 1], shape=(k, k))
    return sparse.csc_array(sparse.kron(I, T) + sparse.kron(S, I))


L = laplacian(14)
A = sparse.csc_array(sparse.vstack([L, sparse.eye_array(L.shape[0])]))

fig, axes = plt.subplots(1, 3, figsize=(9, 3.4))
axes[0].spy(A, markersize=0.8, aspect="auto")
axes[0].set_title(f"A: {A.shape[0]} x {A.shape[1]}, {A.nnz} entries")
for ax, order in zip(axes[1:], ("natural", "colamd")):
    R, E = spqr(A, mode="r", order=order)
    ax.spy(R, markersize=0.8)
    ax.set_title(f'R, order="{order}": {R.nnz} entries')
for ax in axes:
    ax.set_xticks([])
    ax.set_yticks([])
