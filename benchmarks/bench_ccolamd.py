"""tarnix.ccolamd against the bare CCOLAMD/CSYMAMD calls on the same arrays.

The bare call goes through ctypes to the same shared library and makes only
the copies the library requires (row indices into a work array of the
recommended length, column pointers into the permutation array).
"""

from __future__ import annotations

import ctypes

import numpy as np

from common import auto_number, best_pair, laplacian_2d, loaded_library, ptr, table

import tarnix.ccolamd as tc

I32 = ctypes.c_int32
I32P = ctypes.POINTER(I32)
DP = ctypes.POINTER(ctypes.c_double)


def _library():
    lib = loaded_library("ccolamd", "tarnix.ccolamd")
    lib.ccolamd_recommended.restype = ctypes.c_size_t
    lib.ccolamd_recommended.argtypes = [I32, I32, I32]
    lib.ccolamd_set_defaults.argtypes = [DP]
    lib.ccolamd.restype = ctypes.c_int
    lib.ccolamd.argtypes = [I32, I32, I32, I32P, I32P, DP, I32P, I32P]
    lib.csymamd.restype = ctypes.c_int
    lib.csymamd.argtypes = [I32, I32P, I32P, I32P, DP, I32P, ctypes.c_void_p, ctypes.c_void_p, I32P, I32]
    return lib


LIB = _library()
LIBC = ctypes.CDLL(None)
CALLOC = ctypes.cast(LIBC.calloc, ctypes.c_void_p)
FREE = ctypes.cast(LIBC.free, ctypes.c_void_p)


def _cmember(constraints):
    return None if constraints is None else ptr(constraints, I32)


def bare_ccolamd(A, constraints=None):
    m, n = A.shape
    nnz = A.nnz
    alen = LIB.ccolamd_recommended(nnz, m, n)
    work = np.zeros(alen, np.int32)
    work[:nnz] = A.indices
    perm = A.indptr.copy()
    knobs = np.zeros(20)
    LIB.ccolamd_set_defaults(ptr(knobs, ctypes.c_double))
    stats = np.zeros(20, np.int32)
    ok = LIB.ccolamd(m, n, alen, ptr(work, I32), ptr(perm, I32), ptr(knobs, ctypes.c_double), ptr(stats, I32),
                     _cmember(constraints))
    assert ok
    return perm[:n]


def bare_csymamd(A, constraints=None):
    n = A.shape[1]
    perm = np.zeros(n + 1, np.int32)
    knobs = np.zeros(20)
    LIB.ccolamd_set_defaults(ptr(knobs, ctypes.c_double))
    stats = np.zeros(20, np.int32)
    ok = LIB.csymamd(n, ptr(A.indices, I32), ptr(A.indptr, I32), ptr(perm, I32), ptr(knobs, ctypes.c_double),
                     ptr(stats, I32), CALLOC, FREE, _cmember(constraints), -1)
    assert ok
    return perm[:n]


def compare(name, A, ours, bare, small, constraints=None):
    run_ours = lambda: ours(A, constraints)  # noqa: E731
    run_bare = lambda: bare(A, constraints)  # noqa: E731
    assert np.array_equal(run_ours(), run_bare()), f"{name}: tarnix and the bare call disagree"
    number = auto_number(run_bare) if small else 1
    t_ours, t_bare = best_pair(run_ours, run_bare, repeat=7 if small else 5, number=number)
    return [name, f"{A.shape[0]}x{A.shape[1]}", A.nnz, f"{t_bare * 1e6:.1f}", f"{t_ours * 1e6:.1f}",
            f"{t_ours / t_bare:.3f}", f"{(t_ours - t_bare) * 1e6:+.1f}"]


def main():
    large = laplacian_2d(450)  # 202500 x 202500, 1012500 entries
    small = laplacian_2d(4)[:10, :10].tocsc()
    small.sum_duplicates()
    rows = []
    for label, A, is_small in (("large", large, False), ("10x10", small, True)):
        n = A.shape[1]
        # Four constraint sets by grid position: a realistic use pins boundary
        # nodes late, here simply by index.
        sets = (np.arange(n, dtype=np.int32) * 4) // n
        rows.append(compare(f"ccolamd {label}", A, tc.ccolamd, bare_ccolamd, is_small))
        rows.append(compare(f"ccolamd {label}, 4 sets", A, tc.ccolamd, bare_ccolamd, is_small, sets))
        rows.append(compare(f"csymamd {label}", A, tc.csymamd, bare_csymamd, is_small))
        rows.append(compare(f"csymamd {label}, 4 sets", A, tc.csymamd, bare_csymamd, is_small, sets))
    table("CCOLAMD / CSYMAMD: tarnix vs bare library call (best of runs)", rows,
          ["call", "shape", "nnz", "bare us", "tarnix us", "ratio", "extra us"])


if __name__ == "__main__":
    main()
