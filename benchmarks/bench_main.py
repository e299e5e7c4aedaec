"""python -m tarnix against the library calls it makes, on the same matrix in the same run.

The report (read, every section, JSON out) is timed as a whole; the
reference makes the same calls directly, on the matrix already in memory:
the orderings, CHOLMOD's counting analyses, maxtrans and btf, SPQR's
symbolic analyses and, when the report factorizes, the numeric QR, the R
factor and the solve. Runs alternate and the minima are kept.
"""

from __future__ import annotations

import contextlib
import io as stdio
import json
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
from scipy import io, sparse

from common import best_pair, peak_rss_mib, table

import tarnix.report as cli
from tarnix.btf import btf, maxtrans
from tarnix.camd import camd
from tarnix.ccolamd import ccolamd
from tarnix.cholmod import _cholesky_counts
from tarnix.colamd import colamd, symamd
from tarnix.spqr import SPQRFactor, SPQRRankDeficiencyWarning, spqr

MATRICES = Path("/work/shared/matrices")


def laplacian_3d(k):
    """The 7-point Laplacian of a k x k x k grid: k**3 rows, about 7 k**3 entries."""
    one = sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(k, k))
    eye = sparse.eye_array(k)
    A = sparse.kron(sparse.kron(one, eye), eye) + sparse.kron(sparse.kron(eye, one), eye)
    return sparse.csc_array(A + sparse.kron(sparse.kron(eye, eye), one))


def report(path):
    buffer = stdio.StringIO()
    with contextlib.redirect_stdout(buffer):
        assert cli.main(["--json", str(path)]) == 0
    return json.loads(buffer.getvalue())


def library_calls(A, doc):
    """The calls the report makes, straight to the modules."""
    S = sparse.csc_array(A + A.T)
    S.data[:] = 1.0
    S.indptr, S.indices = S.indptr.astype(A.indptr.dtype), S.indices.astype(A.indptr.dtype)

    def counts(M, perm, normal):
        return _cholesky_counts(M.shape, M.indptr, M.indices, perm, normal=normal)

    def run():
        counts(A, None, True)
        counts(A, colamd(A), True)
        counts(A, ccolamd(A), True)
        if A.shape[0] == A.shape[1]:
            counts(A, None, False)
            counts(A, symamd(S), False)
            counts(A, camd(S), False)
            btf(A)
        maxtrans(A)
        for order, analysis in doc["qr"]["analysis"].items():
            if "ordering_used" in analysis:  # the analyses the report made
                SPQRFactor(A, order=order)
        if doc["qr"]["factorized"]:
            f = SPQRFactor(A, use_singletons=True)
            spqr(A, mode="r")
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", SPQRRankDeficiencyWarning)
                f.solve(A @ np.ones(A.shape[1]))

    return run


def measure(name, path):
    A, _ = cli.load(path)
    doc = report(path)  # warm-up, and the calls to mirror
    t_read = min(best_pair(lambda: io.mmread(path), lambda: None, repeat=3)[0], doc["matrix"]["load_seconds"])
    t_report, t_library = best_pair(lambda: report(path), library_calls(A, doc), repeat=3)
    return [name, f"{A.shape[0]}x{A.shape[1]}", f"{A.nnz:,}", f"{t_read:.3f}", f"{t_library:.3f}", f"{t_report:.3f}",
            f"{t_report / t_library:.2f}", f"{(t_report - t_read) / t_library:.2f}",
            "yes" if doc["qr"]["factorized"] else "no"]


def main():
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        grid = Path(tmp) / "laplacian_3d_55.mtx"
        start = time.perf_counter()
        io.mmwrite(grid, laplacian_3d(55))  # 166375 x 166375, 1146475 entries
        print(f"wrote {grid.name} in {time.perf_counter() - start:.1f} s")
        rows.append(measure("3-D grid 55^3", grid))
    bayer = MATRICES / "bayer10.mtx"
    if bayer.exists():
        rows.append(measure("bayer10", bayer))
    table("python -m tarnix --json FILE against its library calls (seconds, best of 3)", rows,
          ["matrix", "shape", "entries", "read", "library", "report", "ratio", "ratio w/o read", "numeric QR"])
    print(f"peak resident size {peak_rss_mib():.0f} MiB")


if __name__ == "__main__":
    main()
