"""The picture: the pattern of A and of A under the orderings the report found."""

from __future__ import annotations

import math

import numpy as np

from .reading import InputError
from .sections import positions
from .text import fmt_ratio, plural


def _raster(rows, cols, shape, cells=600):
    """A density image of the entries (rows[k], cols[k]): one cell per entry for small matrices."""
    m, n = shape
    scale = max(1.0, max(m, n) / cells)
    h, w = max(1, math.ceil(m / scale)), max(1, math.ceil(n / scale))
    r = (rows / scale).astype(np.int64)
    c = (cols / scale).astype(np.int64)
    image = np.bincount(r * w + c, minlength=h * w).reshape(h, w).astype(float)
    # Cells of a coarse raster hold many entries: a logarithmic scale keeps sparse ones visible.
    return np.log1p(image), (-0.5, n - 0.5, m - 0.5, -0.5)


def _draw_pattern(ax, rows, cols, shape, title):
    image, extent = _raster(np.asarray(rows), np.asarray(cols), shape)
    ax.imshow(image, cmap="Greys", extent=extent, interpolation="nearest", aspect="equal",
              vmin=0, vmax=max(image.max(), 1e-12))
    ax.set_title(title, fontsize=9)
    ax.tick_params(labelsize=7)


def _best(ctx, section):
    data = ctx.results.get(section)
    if not data or not data.get("applies"):
        return None
    best = data["best"]
    return best, positions(ctx.perms[best]), data["orderings"][best]


def panels(ctx):
    """(title, row positions, column positions, blocks) of each panel that applies, A first."""
    A, n = ctx.A, ctx.n
    rows = A.indices.astype(np.int64)
    cols = np.repeat(np.arange(n, dtype=np.int64), np.diff(A.indptr))
    found = [(f"A\n{plural(A.nnz, 'entry', 'entries')}", rows, cols, None)]
    columns = _best(ctx, "columns")
    if columns is not None:
        best, position, o = columns
        found.append((f"A[:, q], q = {best}\nnnz(R) <= {o['nnz']:,} (fill ratio {fmt_ratio(o['fill_ratio'])})",
                      rows, position[cols], None))
    symmetric = _best(ctx, "symmetric")
    if symmetric is not None:
        best, position, o = symmetric
        found.append((f"A[p][:, p], p = {best}\nnnz(L) = {o['nnz']:,} (fill ratio {fmt_ratio(o['fill_ratio'])})",
                      position[rows], position[cols], None))
    if ctx.btf is not None:
        p, q, r = ctx.btf
        found.append((f"block triangular form A[P][:, Q]\n{plural(int(r.size - 1), 'diagonal block')}",
                      positions(p)[rows], positions(q)[cols], r))
    return found


def _outline_blocks(ax, r):
    from matplotlib.patches import Rectangle

    sizes = np.diff(r)
    # Singletons would only hide the entries; outline the blocks of two or more.
    big = np.flatnonzero(sizes > 1)
    big = big[np.argsort(sizes[big])[::-1][:2000]]
    for b in big:
        ax.add_patch(Rectangle((r[b] - 0.5, r[b] - 0.5), sizes[b], sizes[b], fill=False,
                               edgecolor="tab:red", linewidth=0.8))


def grid(count):
    """(rows, columns) of the panels: side by side up to three, two by two for four."""
    return (2, 2) if count == 4 else (1, count)


def panel_size(m, n, side=5.0):
    """(width, height) in inches of one panel, shaped as the matrix is (within bounds that leave its title room)."""
    aspect = min(max(m / max(n, 1), 1 / 3), 1.5)
    return (side, side * aspect) if aspect <= 1 else (side / aspect, side)


def draw(ctx, name, path):
    """The panels that apply: A, A[:, q], A[p][:, p] and the block triangular form with its blocks outlined."""
    from matplotlib.figure import Figure

    A, m, n = ctx.A, ctx.m, ctx.n
    found = panels(ctx)
    nrows, ncols = grid(len(found))
    width, height = panel_size(m, n)
    fig = Figure(figsize=(max(width * ncols, 4.0), height * nrows + 0.8), layout="constrained")
    axes = np.atleast_1d(fig.subplots(nrows, ncols)).ravel()
    fig.suptitle(f"{name}: {m:,} x {n:,}, {plural(A.nnz, 'stored entry', 'stored entries')}", fontsize=11)
    for ax, (title, rows, cols, blocks) in zip(axes, found):
        _draw_pattern(ax, rows, cols, A.shape, title)
        if blocks is not None:
            _outline_blocks(ax, blocks)
    try:
        fig.savefig(path, dpi=120)
    except OSError as exc:
        raise InputError(f"cannot write {path}: {exc.strerror or exc}") from None
