"""tarnix.spqr against the same SuiteSparseQR calls made from C++ (spqr_bare.cpp).

- construction (analysis) and factorize() on a least-squares matrix with about
  1.5e5 entries, beside the library's own analyze_time/factorize_time (info);
- solve() with a dense right-hand side of many columns;
- solve() with a sparse right-hand side of 1e4 columns: time, and the growth of
  the peak resident set size against the bound of one dense buffer of
  rows x rhs_batch_size plus one dense solution batch;
- solve() with a sparse right-hand side of 1e5 columns of which few hold entries,
  against the solve of those columns alone (the cost should follow them);
- spqr_solve(), and NumPy's dense lstsq on a problem small enough for it;
- spqr() in "r" mode against "full".
"""

from __future__ import annotations

import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import numpy as np
from scipy import sparse

from common import best_time, compile_bare, laplacian_2d, table

from tarnix.spqr import SPQRFactor, spqr, spqr_solve


def bare_program():
    """spqr_bare.cpp, compiled against the installed SuiteSparse (once)."""
    return compile_bare("spqr_bare.cpp", ["spqr", "cholmod", "suitesparseconfig"])


def write_matrix(A, path):
    A = sparse.csc_array(A)
    with open(path, "wb") as f:
        np.array([A.shape[0], A.shape[1], A.nnz], dtype=np.int64).tofile(f)
        A.indptr.astype(np.int32).tofile(f)
        A.indices.astype(np.int32).tofile(f)
        A.data.astype(np.float64).tofile(f)


def bare(exe, path, task, k=0, repeat=5):
    out = subprocess.run([str(exe), str(path), task, str(k), str(repeat)], check=True, capture_output=True, text=True)
    return float(out.stdout)


def least_squares_matrix(k=160):
    """A tall sparse matrix: a 2-D Laplacian stacked on a scaled identity (about 1.5e5 entries)."""
    L = laplacian_2d(k)
    A = sparse.csc_array(sparse.vstack([L, 0.5 * sparse.eye_array(L.shape[0])]))
    A.sum_duplicates()
    return A


def row(label, t_bare, t_ours, note=""):
    return [label, f"{t_bare * 1e3:.2f}", f"{t_ours * 1e3:.2f}", f"{t_ours / t_bare:.3f}", note]


MEMORY_CHILD = textwrap.dedent(
    """
    import sys, time
    import numpy as np
    from scipy import sparse
    from tarnix.spqr import spqr_factor
    blocks, k, batch = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    rng = np.random.default_rng(0)
    A = sparse.block_diag([sparse.random_array((20, 10), density=0.5, rng=rng) + sparse.eye_array(20, 10)
                           for _ in range(blocks)], format="csc")
    f = spqr_factor(A)
    cols = np.arange(k)
    B = sparse.csc_array((np.ones(k), (rng.integers(0, A.shape[0], k), cols)), shape=(A.shape[0], k))
    def status(key):
        with open("/proc/self/status") as s:
            return next(int(line.split()[1]) * 1024 for line in s if line.startswith(key + ":"))
    # Linux: writing 5 to clear_refs resets the peak (VmHWM) to the current RSS.
    with open("/proc/self/clear_refs", "w") as c:
        c.write("5")
    before = status("VmRSS")
    t0 = time.perf_counter()
    X = f.solve(B, rhs_batch_size=batch)
    t = time.perf_counter() - t0
    after = status("VmHWM")
    result = X.data.nbytes + X.indices.nbytes + X.indptr.nbytes
    print(A.shape[0], A.shape[1], t, after - before, result)
    """
)


def sparse_rhs_memory(blocks=1000, k=10_000, batch=100):
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(blocks), str(k), str(batch)], check=True,
                         capture_output=True, text=True)
    m, n, t, growth, result = out.stdout.split()
    m, n, growth, result = int(m), int(n), int(growth), int(result)
    bound = 8 * (m * batch + n * batch)
    intermediate = 8 * m * batch  # Q^H b of one batch, allocated by SuiteSparseQR_qmult
    whole = 8 * m * k
    print(f"\nsparse right-hand side, {k} columns, A {m} x {n}, rhs_batch_size={batch}: {float(t) * 1e3:.1f} ms")
    print(f"  peak RSS growth {growth / 2**20:.1f} MiB; buffer + one solution batch {bound / 2**20:.1f} MiB, "
          f"+ the library's Q^H b batch {intermediate / 2**20:.1f} MiB, + result {result / 2**20:.1f} MiB "
          f"(densifying b whole would take {whole / 2**20:.0f} MiB)")


def sparse_rhs_empty_columns(k=100_000, filled=100):
    A = least_squares_matrix(60)
    f = SPQRFactor(A, use_singletons=True)
    rng = np.random.default_rng(3)
    cols = np.sort(rng.choice(k, filled, replace=False))
    rows_ = rng.integers(0, A.shape[0], filled)
    b = sparse.csc_array((np.ones(filled), (rows_, cols)), shape=(A.shape[0], k))
    part = b[:, cols]
    zero = sparse.csc_array((A.shape[0], k))
    t_part = best_time(lambda: f.solve(part), repeat=3)
    t_b = best_time(lambda: f.solve(b), repeat=3)
    t_zero = best_time(lambda: f.solve(zero), repeat=3)
    print(f"\nsparse b of {k} columns, {filled} holding entries, A {A.shape[0]} x {A.shape[1]}: "
          f"solve(b) {t_b * 1e3:.1f} ms, solve of its {filled} filled columns alone {t_part * 1e3:.1f} ms "
          f"(ratio {t_b / t_part:.2f}); all {k} columns empty {t_zero * 1e3:.1f} ms")


def main():
    exe = bare_program()
    A = least_squares_matrix()
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "A.bin"
        write_matrix(A, path)
        rows = []

        f = SPQRFactor(A)
        t_analyze = best_time(lambda: SPQRFactor(A), repeat=5)
        rows.append(row("analysis (SPQRFactor(A))", bare(exe, path, "analyze"), t_analyze,
                        f"info.analyze_time {f.info.analyze_time * 1e3:.2f} ms"))
        f.factorize(A)
        t_factorize = best_time(lambda: f.factorize(A), repeat=5)
        rows.append(row("factorize(A)", bare(exe, path, "factorize"), t_factorize,
                        f"info.factorize_time {f.info.factorize_time * 1e3:.2f} ms"))

        k = 200
        b = np.ones((A.shape[0], k), order="F")
        t_solve = best_time(lambda: f.solve(b), repeat=5)
        rows.append(row(f"solve, dense b with {k} columns", bare(exe, path, "solve", k), t_solve,
                        "b column-major: no copy"))
        b1 = np.ones(A.shape[0])
        rows.append(row("solve, dense b with 1 column", bare(exe, path, "solve", 1), best_time(lambda: f.solve(b1))))

        rows.append(row("spqr_solve(A, b), 1 column", bare(exe, path, "spqr_solve", 1),
                        best_time(lambda: spqr_solve(A, b1), repeat=3)))
        rows.append(row('spqr(A, mode="r")', bare(exe, path, "qr_r", 0, 3),
                        best_time(lambda: spqr(A, mode="r"), repeat=3)))
        # An explicit m x m Q of this matrix would not fit 32-bit indices: a smaller one.
        mid = least_squares_matrix(60)
        mid_path = Path(tmp) / "mid.bin"
        write_matrix(mid, mid_path)
        rows.append(row(f'spqr(B, mode="r"), B {mid.shape[0]} x {mid.shape[1]}', bare(exe, mid_path, "qr_r", 0, 3),
                        best_time(lambda: spqr(mid, mode="r"), repeat=3)))
        rows.append(row(f'spqr(B, mode="full"), B {mid.shape[0]} x {mid.shape[1]}',
                        bare(exe, mid_path, "qr_full", 0, 3), best_time(lambda: spqr(mid, mode="full"), repeat=3)))
        print(f"\nSPQR on A, a {A.shape[0]} x {A.shape[1]} least-squares matrix with {A.nnz} entries")
        table("tarnix vs the same SuiteSparseQR calls from C++ (best of runs)", rows,
              ["operation", "bare ms", "tarnix ms", "ratio", "note"])

    # Dense lstsq on a problem small enough for it.
    small = least_squares_matrix(40)
    bs = np.ones(small.shape[0])
    t_dense = best_time(lambda: np.linalg.lstsq(small.toarray(), bs, rcond=None), repeat=3)
    t_sparse = best_time(lambda: spqr_solve(small, bs), repeat=3)
    print(f"\n{small.shape[0]} x {small.shape[1]} least squares: spqr_solve {t_sparse * 1e3:.2f} ms, "
          f"numpy.linalg.lstsq (dense) {t_dense * 1e3:.2f} ms")

    sparse_rhs_memory()
    sparse_rhs_empty_columns()


if __name__ == "__main__":
    main()
