"""Report what tarnix finds in a sparse matrix: ``python -m tarnix [FILE.mtx]``.

Reads a Matrix Market file (by default a small sample shipped with the
package) and prints its shape and stored entries, then one line per analysis
with the time it took.
"""

from __future__ import annotations

import argparse
import inspect
import sys
import time
import warnings
from importlib import resources
from pathlib import Path

import numpy as np
from scipy import io, sparse

SAMPLE = "west0067.mtx"


def _timed(fn, *args, **kwargs):
    start = time.perf_counter()
    result = fn(*args, **kwargs)
    return result, time.perf_counter() - start


def _ms(seconds):
    return f"{seconds * 1e3:.2f} ms"


def cholesky_nnz(S, perm=None):
    """Entries below the diagonal of the Cholesky factor of the symmetric pattern S[perm][:, perm].

    A symbolic count: for every row k, the row subtree of the elimination tree
    reached from the entries left of the diagonal.
    """
    S = sparse.csc_array(S)
    n = S.shape[0]
    if perm is not None:
        S = S[perm][:, perm]
    S = sparse.csc_array(S)
    S.sum_duplicates()
    indptr, indices = S.indptr, S.indices
    parent = np.full(n, -1, dtype=np.int64)
    ancestor = np.full(n, -1, dtype=np.int64)
    mark = np.full(n, -1, dtype=np.int64)
    count = 0
    # Column k of the upper triangle lists the rows i < k with S[i, k] != 0.
    for k in range(n):
        mark[k] = k
        for i in indices[indptr[k]:indptr[k + 1]]:
            i = int(i)
            if i >= k:
                continue
            # Elimination tree with path compression (Liu's algorithm).
            j = i
            while ancestor[j] != -1 and ancestor[j] != k:
                nxt = ancestor[j]
                ancestor[j] = k
                j = nxt
            if ancestor[j] == -1:
                ancestor[j] = k
                parent[j] = k
            # Row k of L: walk up the tree from i until a marked node.
            j = i
            while mark[j] != k:
                mark[j] = k
                count += 1
                j = parent[j]
                if j == -1:
                    break
    return count


def _pattern(A):
    """The pattern of A as a matrix of ones."""
    A = sparse.csc_array(A)
    return sparse.csc_array((np.ones(A.nnz), A.indices, A.indptr), shape=A.shape)


def _lower_symmetric_pattern(A):
    """The symmetric pattern whose lower triangle is that of A (what symamd and csymamd order)."""
    P = _pattern(sparse.tril(A))
    return sparse.csc_array(P + P.T)


def _normal_pattern(A):
    P = _pattern(A)
    return sparse.csc_array(P.T @ P)


def report_colamd(A, out):
    from tarnix.colamd import colamd, symamd

    q, t = _timed(colamd, A)
    N = _normal_pattern(A)
    out(f"colamd:   {_ms(t)}; nnz(chol(A[:, q].T A[:, q])) below the diagonal: "
        f"{cholesky_nnz(N, q)} (natural order: {cholesky_nnz(N)})")
    if A.shape[0] == A.shape[1]:
        p, t = _timed(symamd, A)
        S = _lower_symmetric_pattern(A)
        out(f"symamd:   {_ms(t)}; nnz(chol(S[p][:, p])) below the diagonal, S = tril(A) + tril(A).T: "
            f"{cholesky_nnz(S, p)} (natural order: {cholesky_nnz(S)})")


def _symmetric_pattern(A):
    """The pattern of A + A.T as a float64 CSC array of ones."""
    P = _pattern(A)
    S = sparse.csc_array(P + P.T)
    S.data[:] = 1.0
    return S


def _block_sizes(sizes):
    """'largest 12, 8, 3, ...; 40 of size 1' for the sizes of the diagonal blocks."""
    sizes = np.sort(sizes)[::-1]
    big = sizes[sizes > 1]
    parts = []
    if big.size:
        parts.append("largest " + ", ".join(str(s) for s in big[:3]) + (", ..." if big.size > 3 else ""))
    parts.append(f"{sizes.size - big.size} of size 1")
    return "; ".join(parts)


def report_btf(A, out):
    from tarnix.btf import btf, maxtrans

    m, n = A.shape
    jmatch, t = _timed(maxtrans, A)
    rank = int(np.count_nonzero(jmatch >= 0))
    singular = "" if rank == min(m, n) else " (structurally rank deficient)"
    out(f"maxtrans: {_ms(t)}; structural rank {rank} of {min(m, n)}{singular}")
    if m != n:
        return
    (p, q, r), t = _timed(btf, A)
    sizes = np.diff(r)
    out(f"btf:      {_ms(t)}; {sizes.size} diagonal blocks ({_block_sizes(sizes)}), "
        f"{int(np.count_nonzero(q < 0))} unmatched columns")


def report_camd(A, out):
    if A.shape[0] != A.shape[1] or A.nnz == 0:
        return
    from tarnix.camd import camd
    from tarnix.colamd import symamd

    # All three orderings of one pattern: camd orders A + A.T itself, and
    # symamd's tril(S) + tril(S).T is S again.
    S = _symmetric_pattern(A)
    (p, info), t = _timed(camd, S, return_info=True)
    out(f"camd:     {_ms(t)}; nnz(chol(S[p][:, p])) below the diagonal, S = A + A.T: {cholesky_nnz(S, p)} "
        f"(camd's Lnz: {info.Lnz}; symamd: {cholesky_nnz(S, symamd(S))}; natural order: {cholesky_nnz(S)})")


def report_qr(A, out):
    from tarnix.spqr import SPQRFactor

    parts = []
    for order in ("default", "natural"):
        info = SPQRFactor(A, order=order).info
        parts.append(f"{order} ({info.ordering}): nnz(R) <= {info.nnzR_upper_bound}")
    f, t = _timed(SPQRFactor, A, use_singletons=True)
    out(f"qr:       {_ms(t)}; rank estimate {f.rank} of {min(A.shape)}; " + "; ".join(parts))


def report_least_squares(A, out):
    from tarnix.spqr import SPQRRankDeficiencyWarning, spqr_solve

    rng = np.random.default_rng(0)
    x_true = rng.standard_normal(A.shape[1])
    if A.dtype.kind == "c":
        x_true = x_true + 1j * rng.standard_normal(A.shape[1])
    b = A @ x_true
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", SPQRRankDeficiencyWarning)
        x, t = _timed(spqr_solve, A, b)
    note = " (rank deficient: a basic solution)" if caught else ""
    residual = np.linalg.norm(A @ x - b) / max(np.linalg.norm(b), np.finfo(float).tiny)
    if A.shape[0] < A.shape[1]:
        out(f"solve:    {_ms(t)}; minimum-norm solve of A x = b for b = A x_true: ||A x - b|| / ||b|| = "
            f"{residual:.1e}")
    else:
        error = np.linalg.norm(x - x_true) / max(np.linalg.norm(x_true), np.finfo(float).tiny)
        out(f"solve:    {_ms(t)}; least-squares solve of A x = b for b = A x_true{note}: ||A x - b|| / ||b|| = "
            f"{residual:.1e}, ||x - x_true|| / ||x_true|| = {error:.1e}")


SECTIONS = [report_colamd, report_camd, report_btf, report_qr, report_least_squares]


def mmread(path):
    """scipy.io.mmread, asking for sparse arrays where SciPy knows the choice."""
    if "spmatrix" in inspect.signature(io.mmread).parameters:
        return io.mmread(path, spmatrix=False)
    return io.mmread(path)


def load(path):
    """The matrix of a Matrix Market file as a CSC array."""
    try:
        A = mmread(path)
    except OSError as exc:
        raise SystemExit(f"error: cannot read {path}: {exc.strerror or exc}") from None
    except Exception as exc:  # mmread raises several types for malformed files
        raise SystemExit(f"error: {path} is not a valid Matrix Market file: {exc}") from None
    if not sparse.issparse(A):
        A = sparse.coo_array(np.atleast_2d(A))
    A = sparse.csc_array(A)
    if A.dtype.kind not in "fc":
        A = A.astype(np.float64)
    A.sum_duplicates()
    return A


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m tarnix",
        description="Report what the tarnix modules find in a sparse matrix.",
    )
    parser.add_argument("file", nargs="?", help=f"Matrix Market file (default: the bundled {SAMPLE})")
    args = parser.parse_args(argv)

    if args.file is None:
        with resources.as_file(resources.files("tarnix") / "data" / SAMPLE) as path:
            A = load(path)
        name = f"{SAMPLE} (bundled sample)"
    else:
        A = load(args.file)
        name = Path(args.file).name

    out = print
    m, n = A.shape
    kind = "complex" if A.dtype.kind == "c" else "real"
    out(f"matrix:   {name}: {m} x {n}, {A.nnz} stored entries, {kind}")
    for section in SECTIONS:
        section(A, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
