"""Small calls from two threads against one, meant for free-threaded CPython with the GIL off.

Each thread makes the same fixed number of calls; the speed-up is the
throughput of two threads over that of one (2 x one thread's time / two
threads' time), so 2.0 is perfect scaling and 1.0 is none. The calls:

- colamd on a 50 x 50 random matrix;
- solve with a small factor private to each thread (a 20 x 20 Laplacian-like
  least-squares system, one right-hand side);
- spqr_solve on a 20 x 10 random matrix;
- solve with one factor shared by both threads, for comparison (its calls
  take the factor's lock around the snapshot of its state).

On an interpreter with the GIL the same figures show how much the released
lock lets through. Measured in a child process with one BLAS thread
(OPENBLAS_NUM_THREADS=1), so that the two Python threads are the only
parallelism; minima over 7 repeats, one thread and two interleaved. Beside
the wall-clock speed-up, the CPU one call costs with two threads over its
cost with one shows contention even on a machine busy with other work.

    python benchmarks/bench_freethreaded.py [--calls N]
"""

from __future__ import annotations

import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
REPEAT = 7
CALLS = 30000  # runs of a few milliseconds measure the scheduler, not the calls


def gil_state():
    enabled = getattr(sys, "_is_gil_enabled", lambda: True)()
    build = "free-threaded" if hasattr(sys, "_is_gil_enabled") else "with a GIL"
    return f"Python {sys.version.split()[0]} ({build}), GIL {'on' if enabled else 'off'}"


def run_threads(make_work, n_threads, calls):
    """Wall and CPU time of n_threads threads each running its work `calls` times, started together."""
    works = [make_work(k) for k in range(n_threads)]
    barrier = threading.Barrier(n_threads + 1)

    def body(work):
        barrier.wait()
        for _ in range(calls):
            work()

    threads = [threading.Thread(target=body, args=(w,)) for w in works]
    for t in threads:
        t.start()
    wall, cpu = time.perf_counter(), time.process_time()
    barrier.wait()
    for t in threads:
        t.join()
    return time.perf_counter() - wall, time.process_time() - cpu


def scaling(make_work, calls):
    """Minima over interleaved runs of one thread and of two: (wall, CPU) of each."""
    one = two = (float("inf"), float("inf"))
    for _ in range(REPEAT):
        wall, cpu = run_threads(make_work, 1, calls)
        one = (min(one[0], wall), min(one[1], cpu))
        wall, cpu = run_threads(make_work, 2, calls)
        two = (min(two[0], wall), min(two[1], cpu))
    return one, two


def cases():
    from common import laplacian_2d, random_sparse
    from scipy import sparse

    import tarnix.colamd as tc
    import tarnix.spqr as ts

    A_col = random_sparse(50, 50, 4, seed=1)
    A_ls = sparse.csc_array(sparse.vstack([laplacian_2d(4), sparse.eye_array(16)]))[:20, :]
    A_ls.sum_duplicates()
    b_ls = np.random.default_rng(2).standard_normal(A_ls.shape[0])
    A_small = random_sparse(20, 10, 3, seed=3)
    b_small = np.random.default_rng(4).standard_normal(20)
    shared = ts.spqr_factor(A_ls)

    def private_factor(_k):
        f = ts.spqr_factor(A_ls)
        return lambda: f.solve(b_ls)

    return [
        ("colamd, 50 x 50", lambda _k: lambda: tc.colamd(A_col)),
        (f"solve, private {A_ls.shape[0]} x {A_ls.shape[1]} factor", private_factor),
        ("spqr_solve, 20 x 10", lambda _k: lambda: ts.spqr_solve(A_small, b_small)),
        (f"solve, one shared {A_ls.shape[0]} x {A_ls.shape[1]} factor", lambda _k: lambda: shared.solve(b_ls)),
    ]


def child(calls):
    sys.path.insert(0, str(HERE))
    from common import table

    rows = []
    for label, make_work in cases():
        one, two = scaling(make_work, calls)
        rows.append([label, f"{one[0] / calls * 1e6:.1f}", f"{two[0] / calls * 1e6:.1f}", f"{2 * one[0] / two[0]:.2f}",
                     f"{two[1] / two[0]:.2f}", f"{two[1] / (2 * one[1]):.2f}"])
    # The last column does not depend on what else the machine runs: the CPU
    # one call costs when two threads call at once, over its cost alone. Near
    # 1.0, the threads do not hold each other up, and the speed-up reaches
    # about 2 / that ratio once two cores are free; waiting for a lock costs
    # no CPU, so a lock shows in the speed-up and in CPU / wall instead.
    table(f"{calls} calls per thread; {gil_state()}; one BLAS thread", rows,
          ["call", "1 thread us/call", "2 threads us/call", "speed-up", "CPU / wall", "CPU per call, 2 : 1"])


def main(argv=()):
    calls = CALLS
    if argv[:1] == ["--calls"]:
        calls = int(argv[1])
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    subprocess.run([sys.executable, str(Path(__file__).resolve()), "--child", str(calls)], check=True, env=env)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        child(int(sys.argv[2]))
    else:
        main(sys.argv[1:])
