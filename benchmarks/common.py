"""Helpers shared by the benchmarks: timing, test matrices, the bare SuiteSparse libraries."""

from __future__ import annotations

import ctypes
import gc
import os
import resource
import subprocess
import time
from pathlib import Path

import numpy as np
from scipy import sparse


def best_time(fn, *, repeat=5, number=1):
    """The best wall time of `number` calls, over `repeat` runs, in seconds per call."""
    best = float("inf")
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat):
            start = time.perf_counter()
            for _ in range(number):
                fn()
            best = min(best, (time.perf_counter() - start) / number)
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


def best_pair(fn_a, fn_b, *, repeat=5, number=1):
    """Best wall times of two functions, in seconds per call, measured in alternation.

    Alternating the runs exposes both to the same machine state (caches,
    frequency, neighbours), which matters when the two differ by a few percent.
    """
    best_a = best_b = float("inf")
    for _ in range(repeat):
        best_a = min(best_a, best_time(fn_a, repeat=1, number=number))
        best_b = min(best_b, best_time(fn_b, repeat=1, number=number))
    return best_a, best_b


def auto_number(fn, target=0.2):
    """A call count that makes one run last about `target` seconds."""
    t = best_time(fn, repeat=1, number=1)
    return max(1, int(target / max(t, 1e-7)))


def laplacian_2d(k, index_dtype=np.int32):
    """The 5-point Laplacian of a k x k grid: k*k rows, about 5*k*k stored entries."""
    one = sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(k, k))
    eye = sparse.eye_array(k)
    A = sparse.csc_array(sparse.kron(one, eye) + sparse.kron(eye, one))
    A.sum_duplicates()
    A.indptr = A.indptr.astype(index_dtype)
    A.indices = A.indices.astype(index_dtype)
    return A


def random_sparse(m, n, per_column, seed=0, index_dtype=np.int32):
    """An m x n matrix with `per_column` random entries in every column."""
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, m, size=n * per_column)
    cols = np.repeat(np.arange(n), per_column)
    A = sparse.csc_array(sparse.coo_array((rng.standard_normal(rows.size), (rows, cols)), shape=(m, n)))
    A.sum_duplicates()
    A.indptr = A.indptr.astype(index_dtype)
    A.indices = A.indices.astype(index_dtype)
    return A


def compile_bare(source, libs, shared=False):
    """Compile benchmarks/<source> (C++) against the installed SuiteSparse, once; the path of the
    executable, or of the shared library lib<stem>.so (for ctypes) when `shared`."""
    here = Path(__file__).resolve().parent
    stem = Path(source).stem
    exe = here.parent / "build" / "bench" / (f"lib{stem}.so" if shared else stem)
    src = here / source
    newest = max(src.stat().st_mtime, (here / "bare_csc.hpp").stat().st_mtime)
    if not exe.exists() or exe.stat().st_mtime < newest:
        exe.parent.mkdir(parents=True, exist_ok=True)
        include = next(p for p in ("/usr/local/include/suitesparse", "/usr/include/suitesparse") if Path(p).exists())
        subprocess.run(["g++", "-O2", "-std=c++17", *(["-shared", "-fPIC"] if shared else []), f"-I{include}",
                        f"-I{here}", str(src), "-o", str(exe), "-L/usr/local/lib", "-Wl,-rpath,/usr/local/lib",
                        *(f"-l{lib}" for lib in libs)], check=True)
    return exe


def loaded_library(stem, module):
    """ctypes handle of the shared library `lib<stem>` that the imported extension module uses."""
    __import__(module)
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1]
            if os.path.basename(path).startswith(f"lib{stem}.so"):
                return ctypes.CDLL(path)
    raise RuntimeError(f"lib{stem} is not loaded by {module}")


def ptr(arr, ctype):
    return arr.ctypes.data_as(ctypes.POINTER(ctype))


def peak_rss_mib():
    """Peak resident set size of this process so far, in MiB."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def table(title, rows, headers):
    print(f"\n{title}")
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) for i, h in enumerate(headers)]
    print("  ".join(str(h).ljust(w) for h, w in zip(headers, widths)))
    for r in rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)))
