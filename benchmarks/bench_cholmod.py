"""tarnix.cholmod._cholesky_counts (the counts of `python -m tarnix`) without the interpreter lock.

- The call against the same CHOLMOD calls made from C++ (cholmod_counts_bare.cpp),
  on 2-D grid Laplacians of 1.25e6 and 5e6 entries, for A + A' and A'A; and the
  cost of the copies of the pattern that the call hands to the library, as a
  share of the call (measured in the bare program: the analysis on fresh copies
  against the analysis in place).
- Two threads counting independent matrices at once against the same work done
  one after the other.

One BLAS thread; runs alternate and the minima over the repeats are kept.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import subprocess  # noqa: E402
import tempfile  # noqa: E402
import threading  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

from common import best_pair, best_time, compile_bare, laplacian_2d, table  # noqa: E402

from tarnix.cholmod import _cholesky_counts  # noqa: E402

REPEAT = 7


def write_pattern(A, path):
    with open(path, "wb") as f:
        np.array([A.shape[0], A.shape[1], A.nnz], dtype=np.int64).tofile(f)
        A.indptr.astype(np.int32).tofile(f)
        A.indices.astype(np.int32).tofile(f)


def counts(A, normal):
    return _cholesky_counts(A.shape, A.indptr, A.indices, None, normal=normal)


def against_bare(exe, tmp):
    rows = []
    for k in (500, 1000):
        A = laplacian_2d(k)
        path = Path(tmp) / f"grid{k}.bin"
        write_pattern(A, path)
        for normal in (False, True):
            out = subprocess.run([str(exe), str(path), str(int(normal)), str(REPEAT)], check=True,
                                 capture_output=True, text=True)
            in_place, copied = map(float, out.stdout.split())
            ours = best_time(lambda: counts(A, normal), repeat=REPEAT)
            rows.append([f"grid {k}x{k}", f"{A.nnz:,}", "A'A" if normal else "A + A'", f"{in_place * 1e3:.1f}",
                         f"{ours * 1e3:.1f}", f"{ours / in_place:.3f}",
                         f"{100 * max(copied - in_place, 0.0) / ours:.1f}%"])
    table("_cholesky_counts against the bare CHOLMOD calls (ms; copy share: the copies of the pattern / the call)",
          rows, ["matrix", "entries", "counts of", "bare", "tarnix", "ratio", "copy share"])


def two_threads():
    rows = []
    for k in (500, 700):
        mats = [laplacian_2d(k), laplacian_2d(k)]
        mats[1].indices = mats[1].indices.copy()  # independent arrays

        def sequential():
            for A in mats:
                counts(A, False)

        def parallel():
            threads = [threading.Thread(target=counts, args=(A, False)) for A in mats]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        t_seq, t_par = best_pair(sequential, parallel, repeat=REPEAT)
        rows.append([f"grid {k}x{k}", f"{mats[0].nnz:,}", f"{t_seq * 1e3:.1f}", f"{t_par * 1e3:.1f}",
                     f"{t_seq / t_par:.2f}x"])
    table("two counts at once against one after the other (ms)", rows,
          ["matrix", "entries each", "sequential", "two threads", "speed-up"])
    print(f"({os.cpu_count()} cores; the speed-up is bounded by them and by what else runs)")


def main():
    exe = compile_bare("cholmod_counts_bare.cpp", ["cholmod", "suitesparseconfig"])
    with tempfile.TemporaryDirectory() as tmp:
        against_bare(exe, tmp)
    two_threads()


if __name__ == "__main__":
    main()
