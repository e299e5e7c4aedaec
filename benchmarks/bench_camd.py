"""tarnix.camd against the bare camd_order call on the same arrays.

The bare call goes through ctypes to the same shared library with the
defaults from camd_defaults, a fresh Info array and permutation.
"""

from __future__ import annotations

import ctypes

import numpy as np

from common import auto_number, best_pair, laplacian_2d, loaded_library, ptr, table

import tarnix.camd as tc

I32 = ctypes.c_int32
I32P = ctypes.POINTER(I32)
DP = ctypes.POINTER(ctypes.c_double)


def _library():
    lib = loaded_library("camd", "tarnix.camd")
    lib.camd_defaults.argtypes = [DP]
    lib.camd_order.restype = ctypes.c_int
    lib.camd_order.argtypes = [I32, I32P, I32P, I32P, DP, DP, I32P]
    return lib


LIB = _library()


def bare_camd(A, constraints=None):
    n = A.shape[0]
    control = np.empty(5)
    LIB.camd_defaults(ptr(control, ctypes.c_double))
    info = np.zeros(20)
    p = np.empty(n, np.int32)
    status = LIB.camd_order(n, ptr(A.indptr, I32), ptr(A.indices, I32), ptr(p, I32), ptr(control, ctypes.c_double),
                            ptr(info, ctypes.c_double), None if constraints is None else ptr(constraints, I32))
    assert status == 0
    return p


def compare(name, A, small, constraints=None):
    run_ours = lambda: tc.camd(A, constraints)  # noqa: E731
    run_bare = lambda: bare_camd(A, constraints)  # noqa: E731
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
        n = A.shape[0]
        sets = (np.arange(n, dtype=np.int32) * 4) // n
        rows.append(compare(f"camd {label}", A, is_small))
        rows.append(compare(f"camd {label}, 4 sets", A, is_small, sets))
    table("CAMD: tarnix vs bare library call (best of runs)", rows,
          ["call", "shape", "nnz", "bare us", "tarnix us", "ratio", "extra us"])


if __name__ == "__main__":
    main()
