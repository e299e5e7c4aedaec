"""Many independent least-squares problems and orderings on a Dask cluster of processes.

Run as ``python docs/examples/many_problems_dask.py [COUNT] [SIZE]``; needs
``pip install "dask[distributed]"``.
"""

import sys

import numpy as np
from scipy import sparse


def problem(seed, size):
    """A banded random least-squares problem: A of 2 * size x size, and b."""
    rng = np.random.default_rng(seed)
    m, n = 2 * size, size
    offsets = [-40, -7, -1, 0, 3, 20]
    diagonals = [rng.standard_normal(m - abs(k) if k < 0 else n) for k in offsets]
    A = sparse.diags_array(diagonals, offsets=offsets, shape=(m, n), format="csc")
    return A, rng.standard_normal(m)


def solve(seed, size):
    """Made and solved inside the worker: only the seed travels there and the small results back."""
    from tarnix.colamd import colamd
    from tarnix.spqr import spqr_solve

    A, b = problem(seed, size)
    x = spqr_solve(A, b)
    return seed, float(np.linalg.norm(A.T @ (A @ x - b))), colamd(A)[:3]


def main(count=8, size=2000):
    from dask.distributed import Client, LocalCluster

    # One process per core, one thread each: the library work of each task
    # then has its core, and SuiteSparse's BLAS one thread.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      env={"OPENBLAS_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        futures = client.map(solve, range(count), size=size)
        results = client.gather(futures)
    for seed, normal_residual, q in results:
        print(f"problem {seed}: ||A^T (A x - b)|| = {normal_residual:.1e}, colamd starts {q.tolist()}")
    return results


if __name__ == "__main__":
    main(*map(int, sys.argv[1:]))
