"""Many independent problems at once: one after another, in a thread pool, on a Dask cluster.

Prints the wall time of each way for COUNT banded least-squares problems of
2*SIZE x SIZE (docs/examples/many_problems_dask.py makes them), and its ratio
against the serial loop measured in the same run. The figures of the guide
page "Many problems at once" come from here.

    python benchmarks/bench_many.py [COUNT] [SIZE]
"""

import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "docs" / "examples"))
from many_problems_dask import solve  # noqa: E402


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main(count=8, size=20000):
    workers = os.cpu_count() or 1
    serial = timed(lambda: [solve(s, size) for s in range(count)])
    with ThreadPoolExecutor(workers) as pool:
        threads = timed(lambda: list(pool.map(solve, range(count), [size] * count)))
    rows = [("serial", serial), (f"thread pool ({workers} threads)", threads)]
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        print("dask.distributed is not installed: no cluster measured")
    else:
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                          env={"OPENBLAS_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
            client.gather(client.map(solve, range(workers), size=100))  # the workers' imports, not timed
            dask = timed(lambda: client.gather(client.map(solve, range(count), size=size)))
        rows.append((f"Dask LocalCluster ({workers} processes)", dask))
    print(f"{count} problems of {2 * size:,} x {size:,}, {workers} cores, OPENBLAS_NUM_THREADS="
          f"{os.environ.get('OPENBLAS_NUM_THREADS', 'unset')}")
    for name, seconds in rows:
        print(f"  {name:<36} {seconds:7.2f} s  {serial / seconds:5.2f}x the serial loop")


if __name__ == "__main__":
    main(*map(int, sys.argv[1:]))
