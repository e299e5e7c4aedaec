"""The fixed cost of a call: tarnix's public functions on small matrices
against the bare library calls (overhead_bare.cpp) in the same run.

The orderings and BTF run on a 10 x 10 matrix, the SPQR one-shot functions
on a 20 x 10 one, where the libraries' own work is small and what tarnix adds
(coercion, argument handling, result building) shows. Two measures:

- wall time per call: the minimum over interleaved repeats of a loop of
  calls, net of the same loop over an empty function (one BLAS thread);
- instructions per call, counted by callgrind in a child process (when
  valgrind is installed): the counting is switched on around a loop of
  calls only, and the empty loop's count is subtracted.

Run alone: python benchmarks/bench_overhead.py [--no-callgrind]
"""

from __future__ import annotations

import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy import sparse  # noqa: E402

from common import best_time, compile_bare, table  # noqa: E402

import tarnix.btf as tb  # noqa: E402
import tarnix.camd as tcamd  # noqa: E402
import tarnix.ccolamd as tcc  # noqa: E402
import tarnix.colamd as tc  # noqa: E402
import tarnix.spqr as ts  # noqa: E402

REPEAT = 15
COUNTED_CALLS = 20


def bare_library():
    """overhead_bare.cpp compiled (once) into a shared library, loaded with ctypes."""
    lib = compile_bare("overhead_bare.cpp", ["spqr", "cholmod", "colamd", "ccolamd", "camd", "btf",
                                             "suitesparseconfig"], shared=True)
    handle = ctypes.CDLL(str(lib))
    i32p = ctypes.POINTER(ctypes.c_int32)
    handle.bare_setup.argtypes = [ctypes.c_int32] * 3 + [i32p, i32p, ctypes.POINTER(ctypes.c_double)]
    handle.bare_setup.restype = ctypes.c_int
    handle.bare_seconds.argtypes = [ctypes.c_char_p, ctypes.c_int64]
    handle.bare_seconds.restype = ctypes.c_double
    handle.bare_count.argtypes = [ctypes.c_char_p, ctypes.c_int64]
    handle.count_begin.argtypes = []
    handle.count_end.argtypes = [ctypes.c_char_p]
    return handle


def small_matrix(m, n, seed):
    rng = np.random.default_rng(seed)
    A = sparse.csc_array(sparse.random_array((m, n), density=0.3, rng=rng) + sparse.eye_array(m, n))
    A.sum_duplicates()
    return A


def cases():
    """(name, matrix, tarnix call) for every function measured."""
    A = small_matrix(10, 10, 0)
    B = small_matrix(20, 10, 1)
    cmember = np.arange(10) % 2
    b = np.ones(20)
    house = ts.spqr(B, mode="householder")[0]
    return [
        ("colamd", A, lambda: tc.colamd(A)),
        ("symamd", A, lambda: tc.symamd(A)),
        ("ccolamd", A, lambda: tcc.ccolamd(A, cmember)),
        ("csymamd", A, lambda: tcc.csymamd(A, cmember)),
        ("camd", A, lambda: tcamd.camd(A, cmember)),
        ("maxtrans", A, lambda: tb.maxtrans(A)),
        ("strongcomp", A, lambda: tb.strongcomp(A)),
        ("btf", A, lambda: tb.btf(A)),
        ("spqr", B, lambda: ts.spqr(B)),
        ("spqr_factor", B, lambda: ts.spqr_factor(B)),
        ("spqr_solve", B, lambda: ts.spqr_solve(B, b)),
        ("spqr_qmult", B, lambda: ts.spqr_qmult(house, b)),
    ]


def setup(lib, A):
    p = np.ascontiguousarray(A.indptr, dtype=np.int32)
    i = np.ascontiguousarray(A.indices, dtype=np.int32)
    x = np.ascontiguousarray(A.data, dtype=np.float64)
    i32p = ctypes.POINTER(ctypes.c_int32)
    status = lib.bare_setup(A.shape[0], A.shape[1], A.nnz, p.ctypes.data_as(i32p), i.ctypes.data_as(i32p),
                            x.ctypes.data_as(ctypes.POINTER(ctypes.c_double)))
    if status != 0:
        raise RuntimeError(f"bare_setup: CHOLMOD status {status}")


def empty():
    return None


def wall_times(lib):
    """name -> (bare seconds, tarnix seconds) per call, minima over interleaved repeats."""
    out = {}
    for name, A, call in cases():
        setup(lib, A)
        task = name.encode()
        call()
        number = 1000
        bare = ours = loop = float("inf")
        for _ in range(REPEAT):
            bare = min(bare, lib.bare_seconds(task, number))
            ours = min(ours, best_time(call, repeat=1, number=number))
            loop = min(loop, best_time(empty, repeat=1, number=number))
        out[name] = (bare, ours - loop)
    return out


def count_in_child():
    """Run under callgrind: count each loop of calls, dumping one file per loop."""
    lib = bare_library()
    for name, A, call in cases():
        setup(lib, A)
        for _ in range(3):  # first calls import, allocate caches, warm up
            call()
            lib.bare_seconds(name.encode(), 1)
        for label, fn in ((f"loop:{name}", empty), (f"tarnix:{name}", call)):
            lib.count_begin()
            for _ in range(COUNTED_CALLS):
                fn()
            lib.count_end(label.encode())
        lib.bare_count(name.encode(), COUNTED_CALLS)


def instruction_counts():
    """name -> (bare, tarnix) instructions per call, or None without valgrind."""
    if shutil.which("valgrind") is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "cg.out"
        subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no", f"--callgrind-out-file={out}",
                        sys.executable, __file__, "--count-in-child"], check=True, capture_output=True)
        totals = {}
        for path in Path(tmp).glob("cg.out*"):
            label = total = None
            for line in path.read_text().splitlines():
                if line.startswith("desc: Trigger: Client Request: "):
                    label = line.rsplit(" ", 1)[-1]
                elif line.startswith(("summary:", "totals:")):
                    total = int(line.split()[1])
            if label is not None and total is not None:
                totals[label] = total
    counts = {}
    for name, _, _ in cases():
        loop = totals[f"loop:{name}"]
        counts[name] = (totals[f"bare:{name}"] / COUNTED_CALLS, (totals[f"tarnix:{name}"] - loop) / COUNTED_CALLS)
    return counts


def main(argv=()):
    lib = bare_library()
    times = wall_times(lib)
    counts = None if "--no-callgrind" in argv else instruction_counts()
    rows = []
    for name, (bare, ours) in times.items():
        row = [name, f"{bare * 1e6:.2f}", f"{ours * 1e6:.2f}", f"{(ours - bare) * 1e6:.2f}", f"{ours / bare:.1f}x"]
        if counts is not None:
            cb, co = counts[name]
            row += [f"{cb:,.0f}", f"{co:,.0f}", f"{co - cb:,.0f}"]
        rows.append(row)
    headers = ["function", "bare us", "tarnix us", "added us", "ratio"]
    if counts is not None:
        headers += ["bare instr", "tarnix instr", "added instr"]
    table("Fixed cost of a call (orderings, BTF: 10 x 10; SPQR: 20 x 10)", rows, headers)


if __name__ == "__main__":
    if "--count-in-child" in sys.argv:
        count_in_child()
    else:
        main(sys.argv[1:])
