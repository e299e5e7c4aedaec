"""west0067 (the sample bundled with tarnix) in its block triangular form."""

from importlib.resources import files

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.patches import Rectangle
from scipy import io, sparse

from tarnix.btf import btf, btf_q_permutation

A = sparse.csc_array(io.mmread(files("tarnix") / "data" / "west0067.mtx"))
p, q, r = btf(A)
B = A[p][:, btf_q_permutation(q)]

fig, axes = plt.subplots(1, 2, figsize=(8, 4))
axes[0].spy(A, markersize=2)
axes[0].set_title("west0067 as stored")
axes[1].spy(B, markersize=2)
axes[1].set_title(f"A[p][:, q]: {len(r) - 1} diagonal blocks")
for start, stop in zip(r[:-1], r[1:]):
    if stop - start > 1:
        axes[1].add_patch(Rectangle((start - 0.5, start - 0.5), stop - start, stop - start,
                                    fill=False, edgecolor="tab:red", linewidth=1))
for ax in axes:
    ax.set_xticks([])
    ax.set_yticks([])
