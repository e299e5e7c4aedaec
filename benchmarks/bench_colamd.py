"""tarnix.colamd against the bare COLAMD/SYMAMD calls on the same arrays.

The bare call goes through ctypes to the same shared library and makes only
the copies the library requires (row indices into a work array of the
recommended length, column pointers into the permutation array).
"""

from __future__ import annotations

import ctypes

import numpy as np

from common import auto_number, best_time, laplacian_2d, loaded_library, ptr, table

import tarnix.colamd as tc

I32 = ctypes.c_int32
I32P = ctypes.POINTER(I32)
DP = ctypes.POINTER(ctypes.c_double)


def _library():
    lib = loaded_library("colamd", "tarnix.colamd")
    lib.colamd_recommended.restype = ctypes.c_size_t
    lib.colamd_recommended.argtypes = [I32, I32, I32]
    lib.colamd_set_defaults.argtypes = [DP]
    lib.colamd.restype = ctypes.c_int
    lib.colamd.argtypes = [I32, I32, I32, I32P, I32P, DP, I32P]
    lib.symamd.restype = ctypes.c_int
    lib.symamd.argtypes = [I32, I32P, I32P, I32P, DP, I32P, ctypes.c_void_p, ctypes.c_void_p]
    return lib


LIB = _library()
LIBC = ctypes.CDLL(None)


def bare_colamd(A):
    m, n = A.shape
    nnz = A.nnz
    alen = LIB.colamd_recommended(nnz, m, n)
    work = np.zeros(alen, np.int32)
    work[:nnz] = A.indices
    perm = A.indptr.copy()
    knobs = np.zeros(20)
    LIB.colamd_set_defaults(ptr(knobs, ctypes.c_double))
    stats = np.zeros(20, np.int32)
    ok = LIB.colamd(m, n, alen, ptr(work, I32), ptr(perm, I32), ptr(knobs, ctypes.c_double), ptr(stats, I32))
    assert ok
    return perm[:n]


def bare_symamd(A):
    n = A.shape[1]
    perm = np.zeros(n + 1, np.int32)
    knobs = np.zeros(20)
    LIB.symamd.argtypes[6:] = [ctypes.c_void_p, ctypes.c_void_p]
    LIB.colamd_set_defaults(ptr(knobs, ctypes.c_double))
    stats = np.zeros(20, np.int32)
    calloc = ctypes.cast(LIBC.calloc, ctypes.c_void_p)
    free = ctypes.cast(LIBC.free, ctypes.c_void_p)
    ok = LIB.symamd(n, ptr(A.indices, I32), ptr(A.indptr, I32), ptr(perm, I32), ptr(knobs, ctypes.c_double),
                    ptr(stats, I32), calloc, free)
    assert ok
    return perm[:n]


def compare(name, A, ours, bare, small):
    assert np.array_equal(ours(A), bare(A)), f"{name}: tarnix and the bare call disagree"
    if small:
        number = auto_number(lambda: bare(A))
        t_ours = best_time(lambda: ours(A), repeat=7, number=number)
        t_bare = best_time(lambda: bare(A), repeat=7, number=number)
    else:
        t_ours = best_time(lambda: ours(A), repeat=5)
        t_bare = best_time(lambda: bare(A), repeat=5)
    return [name, f"{A.shape[0]}x{A.shape[1]}", A.nnz, f"{t_bare * 1e6:.1f}", f"{t_ours * 1e6:.1f}",
            f"{t_ours / t_bare:.3f}", f"{(t_ours - t_bare) * 1e6:+.1f}"]


def main():
    large = laplacian_2d(450)  # 202500 x 202500, 1012500 entries
    small = laplacian_2d(4)[:10, :10].tocsc()
    small.sum_duplicates()
    rows = []
    for label, A, is_small in (("large", large, False), ("10x10", small, True)):
        rows.append(compare(f"colamd {label}", A, tc.colamd, bare_colamd, is_small))
        rows.append(compare(f"symamd {label}", A, tc.symamd, bare_symamd, is_small))
    table("COLAMD / SYMAMD: tarnix vs bare library call (best of runs)", rows,
          ["call", "shape", "nnz", "bare us", "tarnix us", "ratio", "extra us"])


if __name__ == "__main__":
    main()
