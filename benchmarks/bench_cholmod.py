"""tarnix.cholmod._cholesky_counts (the counts of `python -m tarnix`) without the interpreter lock.

- The call against the same CHOLMOD calls made from C++ (cholmod_counts_bare.cpp),
  on 2-D grid Laplacians of 1.25e6 and 5e6 entries, for A + A' and A'A; and the
  cost of the copies of the pattern that the call hands to the library, as a
  share of the call (new NumPy arrays of the pattern's sizes, filled from the
  caller's, as the call makes them). Every figure counts the calling thread's
  CPU time (user and system, so page faults count), which other processes on a
  busy machine do not inflate as they do wall time.
- Two threads counting independent matrices at once against the same work done
  one after the other, in wall time, with the cores the two threads kept busy
  meanwhile (their CPU time over the wall time: 2 when both always ran).

One BLAS thread; runs alternate and the minima over the repeats are kept.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import subprocess  # noqa: E402
import tempfile  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

from common import best_time, compile_bare, laplacian_2d, table  # noqa: E402

from tarnix.cholmod import _cholesky_counts  # noqa: E402

REPEAT = 7


def write_pattern(A, path):
    with open(path, "wb") as f:
        np.array([A.shape[0], A.shape[1], A.nnz], dtype=np.int64).tofile(f)
        A.indptr.astype(np.int32).tofile(f)
        A.indices.astype(np.int32).tofile(f)


def counts(A, normal):
    return _cholesky_counts(A.shape, A.indptr, A.indices, None, normal=normal)


def best_cpu(fn, repeat=REPEAT):
    """The least CPU time of this thread over `repeat` calls of fn, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        start = time.thread_time()
        fn()
        best = min(best, time.thread_time() - start)
    return best


def against_bare(exe, tmp):
    rows = []
    for k in (500, 1000):
        A = laplacian_2d(k)
        path = Path(tmp) / f"grid{k}.bin"
        write_pattern(A, path)
        for normal in (False, True):
            out = subprocess.run([str(exe), str(path), str(int(normal)), str(REPEAT)], check=True,
                                 capture_output=True, text=True)
            bare = float(out.stdout)
            ours = best_cpu(lambda: counts(A, normal))
            copies = best_cpu(lambda: (np.array(A.indptr, copy=True), np.array(A.indices, copy=True)))
            rows.append([f"grid {k}x{k}", f"{A.nnz:,}", "A'A" if normal else "A + A'", f"{bare * 1e3:.1f}",
                         f"{ours * 1e3:.1f}", f"{ours / bare:.3f}", f"{100 * copies / ours:.1f}%"])
    table("_cholesky_counts against the bare CHOLMOD calls (ms of CPU time; copy share: the copies / the call)",
          rows, ["matrix", "entries", "counts of", "bare", "tarnix", "ratio", "copy share"])


def two_threads():
    rows = []
    for k in (500, 700):
        mats = [laplacian_2d(k), laplacian_2d(k)]
        cpu = [0.0, 0.0]

        def count(j):
            start = time.thread_time()
            counts(mats[j], False)
            cpu[j] += time.thread_time() - start

        def sequential():
            count(0)
            count(1)

        def parallel():
            threads = [threading.Thread(target=count, args=(j,)) for j in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        t_seq = t_par = float("inf")
        busy = 0.0
        for _ in range(REPEAT):
            t_seq = min(t_seq, best_time(sequential, repeat=1))
            cpu[:] = [0.0, 0.0]
            t = best_time(parallel, repeat=1)
            if t < t_par:
                t_par, busy = t, sum(cpu) / t
        rows.append([f"grid {k}x{k}", f"{mats[0].nnz:,}", f"{t_seq * 1e3:.1f}", f"{t_par * 1e3:.1f}",
                     f"{t_seq / t_par:.2f}x", f"{busy:.2f}"])
    table("two counts at once against one after the other (ms of wall time)", rows,
          ["matrix", "entries each", "sequential", "two threads", "speed-up", "cores busy"])
    print(f"({os.cpu_count()} cores; load average {os.getloadavg()[0]:.1f}: the speed-up is bounded by both)")


def main():
    exe = compile_bare("cholmod_counts_bare.cpp", ["cholmod", "suitesparseconfig"])
    with tempfile.TemporaryDirectory() as tmp:
        against_bare(exe, tmp)
    two_threads()


if __name__ == "__main__":
    main()
