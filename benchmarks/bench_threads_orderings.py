"""Orderings from two threads at once, and the cost of the copies that make it safe.

The ordering, CAMD and BTF calls run their libraries without the interpreter
lock, on copies of the caller's index arrays (the libraries read them while
other threads may run). Two tables:

- two threads each ordering its own matrix of about a million entries,
  against the same two calls made one after the other (the ideal on two
  free cores is 2.0; on a loaded machine the ratio falls towards 1, as the
  row of NumPy's sort, which releases the lock as well, shows);
- the copies' share of a call: a fresh copy of Ap and Ai, as the calls make
  it, against the call itself, in thread CPU time (not disturbed by other
  processes waiting for a core).

Minima of interleaved repeats; one BLAS thread.
"""

from __future__ import annotations

import gc
import os
import threading
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np

from common import laplacian_2d, random_sparse, table

import tarnix.btf as tb
import tarnix.camd as tca
import tarnix.ccolamd as tcc
import tarnix.colamd as tc

REPEAT = 7


def in_two_threads(calls):
    """Wall time of running the calls in two threads started together."""
    barrier = threading.Barrier(len(calls) + 1)

    def body(call):
        barrier.wait()
        call()

    threads = [threading.Thread(target=body, args=(c,)) for c in calls]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def one_after_the_other(calls):
    start = time.perf_counter()
    for call in calls:
        call()
    return time.perf_counter() - start


def threads_row(name, fn, matrices):
    calls = [lambda A=A: fn(A) for A in matrices]
    best_seq = best_par = float("inf")
    for _ in range(REPEAT):
        best_seq = min(best_seq, one_after_the_other(calls))
        best_par = min(best_par, in_two_threads(calls))
    return [name, f"{best_seq * 1e3:.1f}", f"{best_par * 1e3:.1f}", f"{best_seq / best_par:.2f}"]


def thread_cpu(fn, number=1):
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.thread_time()
        for _ in range(number):
            fn()
        return (time.thread_time() - start) / number
    finally:
        if gc_was_enabled:
            gc.enable()


def copies(A):
    """The copies a call makes: fresh arrays holding Ap and Ai."""
    Ap = np.empty_like(A.indptr)
    Ai = np.empty_like(A.indices)
    np.copyto(Ap, A.indptr)
    np.copyto(Ai, A.indices)


def share_row(name, fn, A, number=1):
    best_call = best_copy = float("inf")
    for _ in range(REPEAT):
        best_call = min(best_call, thread_cpu(lambda: fn(A), number))
        best_copy = min(best_copy, thread_cpu(lambda: copies(A), 10))
    return [name, A.nnz, f"{best_call * 1e3:.2f}", f"{best_copy * 1e3:.3f}", f"{100 * best_copy / best_call:.2f}%"]


def main():
    grids = [laplacian_2d(450), laplacian_2d(450)]  # 1,012,500 entries each
    grids[1] = grids[1][::-1][:, ::-1].tocsc()       # the same size, another matrix
    grids[1].sort_indices()
    rect = [random_sparse(300_000, 200_000, 5, seed=s) for s in (1, 2)]  # about 1M entries each
    # NumPy's sort lets go of the lock too: what two threads gain on this
    # machine at the moment, for comparison.
    keys = [np.random.default_rng(s).random(4_000_000) for s in (1, 2)]
    rows = [
        threads_row("numpy.sort, 4M doubles (for comparison)", np.sort, keys),
        threads_row("colamd (random 300000 x 200000)", tc.colamd, rect),
        threads_row("colamd (grid Laplacian)", tc.colamd, grids),
        threads_row("symamd (grid Laplacian)", tc.symamd, grids),
        threads_row("camd (grid Laplacian)", tca.camd, grids),
        threads_row("btf (grid Laplacian)", tb.btf, grids),
    ]
    table("Two calls in two threads against one after the other (ms, wall time)", rows,
          ["call", "sequential", "two threads", "speed-up"])

    A = grids[0]
    shares = [
        share_row("colamd", tc.colamd, A),
        share_row("symamd", tc.symamd, A),
        share_row("csymamd", tcc.csymamd, A),
        share_row("camd", tca.camd, A),
        share_row("maxtrans", tb.maxtrans, A, 5),
        share_row("strongcomp", tb.strongcomp, A, 5),
        share_row("btf", tb.btf, A, 5),
    ]
    table("The copies of Ap and Ai as a share of the call (thread CPU time, ms)", shares,
          ["call", "nnz", "call", "copies", "share"])


if __name__ == "__main__":
    main()
