"""A scrambled block triangular matrix, and the form btf recovers."""

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.patches import Rectangle
from scipy import sparse

from tarnix.btf import btf, btf_q_permutation

rng = np.random.default_rng(3)
sizes = [7, 12, 1, 9, 4, 14, 3]
n = sum(sizes)
starts = np.cumsum([0, *sizes])
rows, cols = [], []
for start, size in zip(starts[:-1], sizes):
    # A cycle through the block makes it strongly connected; a few random entries fill it in.
    idx = np.arange(start, start + size)
    rows += [*idx, *idx]
    cols += [*idx, *np.roll(idx, -1)]
    k = size * size // 4
    rows += list(rng.integers(start, start + size, k))
    cols += list(rng.integers(start, start + size, k))
    # Couplings to later blocks only: above the diagonal blocks.
    if start + size < n:
        rows += list(rng.integers(start, start + size, 2 * size))
        cols += list(rng.integers(start + size, n, 2 * size))
T = sparse.csc_array((np.ones(len(rows)), (rows, cols)), shape=(n, n))
T.sum_duplicates()
A = sparse.csc_array(T[rng.permutation(n)][:, rng.permutation(n)])

p, q, r = btf(A)
B = A[p][:, btf_q_permutation(q)]

fig, axes = plt.subplots(1, 2, figsize=(8, 4))
axes[0].spy(A, markersize=2)
axes[0].set_title(f"A: {n} x {n}, rows and columns scrambled")
axes[1].spy(B, markersize=2)
axes[1].set_title(f"A[p][:, q] from btf: {len(r) - 1} diagonal blocks")
for start, stop in zip(r[:-1], r[1:]):
    axes[1].add_patch(Rectangle((start - 0.5, start - 0.5), stop - start, stop - start,
                                fill=False, edgecolor="tab:red", linewidth=1))
for ax in axes:
    ax.set_xticks([])
    ax.set_yticks([])
