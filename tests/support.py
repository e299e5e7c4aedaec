"""Helpers shared by the tests: the real test matrices and builders of inputs."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from contextlib import contextmanager
from functools import lru_cache
from pathlib import Path

import numpy as np
import pytest
from scipy import sparse

from tarnix.report.reading import mmread

DATA = Path(__file__).parent / "data"

SQUARE = ["west0067", "rajat19", "lfat5b", "young1c", "494_bus", "bcspwr01", "GD98_a"]
RECTANGULAR = ["ash219", "lp_e226", "c32"]
SYMMETRIC = ["494_bus", "bcspwr01"]
ALL = SQUARE + RECTANGULAR


def testing_hooks():
    """tarnix._testing, or a skip of the calling test module when this build left it out.

    The hooks are built only on request (-Ccmake.define.TARNIX_TESTING=ON, as the Makefile's
    test builds do); a wheel for users does not carry them.
    """
    return pytest.importorskip(
        "tarnix._testing",
        reason="tarnix._testing is not built here; build with -Ccmake.define.TARNIX_TESTING=ON",
    )


# Test modules import it by name; without this pytest would collect it as a test.
testing_hooks.__test__ = False


def _read_zero_based(path):
    """Coordinate files written with 0-based indices (c32.mtx), which mmread rejects."""
    lines = [ln for ln in path.read_text().splitlines() if ln and not ln.startswith("%")]
    m, n, _ = map(int, lines[0].split())
    rows, cols, vals = [], [], []
    for ln in lines[1:]:
        i, j, re, im = ln.split()
        rows.append(int(i))
        cols.append(int(j))
        vals.append(complex(float(re), float(im)))
    return sparse.coo_array((vals, (rows, cols)), shape=(m, n))


@lru_cache(maxsize=None)
def _load(name):
    path = DATA / f"{name}.mtx"
    A = sparse.csc_array(_read_zero_based(path) if name == "c32" else mmread(path))
    A.sum_duplicates()
    if A.dtype.kind not in "fc":
        # Pattern matrices: give them values.
        A = sparse.csc_array(A, dtype=np.float64)
        A.data[:] = np.random.default_rng(len(name)).uniform(0.5, 1.5, A.nnz)
    return A


def load(name, index_dtype=np.int32):
    """A fresh copy of a test matrix, with the index arrays in `index_dtype`."""
    return with_index_dtype(_load(name), index_dtype)


def with_index_dtype(A, index_dtype):
    """A copy of the CSC matrix A whose indptr and indices have `index_dtype`."""
    B = sparse.csc_array(A, copy=True)
    B.indptr = B.indptr.astype(index_dtype)
    B.indices = B.indices.astype(index_dtype)
    return B


def random_csc(m, n, density, rng, dtype=np.float64, index_dtype=np.int32):
    """A random m x n CSC matrix with about density * m * n entries, in canonical form."""
    k = int(round(density * m * n))
    rows = rng.integers(0, m, size=k) if m else np.zeros(0, int)
    cols = rng.integers(0, n, size=k) if n else np.zeros(0, int)
    vals = rng.standard_normal(k)
    if np.dtype(dtype).kind == "c":
        vals = vals + 1j * rng.standard_normal(k)
    A = sparse.csc_array(sparse.coo_array((vals, (rows, cols)), shape=(m, n)))
    A.sum_duplicates()
    return with_index_dtype(A, index_dtype)


def is_permutation(p, n):
    p = np.asarray(p)
    return p.shape == (n,) and np.array_equal(np.sort(p), np.arange(n))


def symmetric_pattern(A):
    """The pattern of A + A.T (diagonal included) as a float64 CSC array of ones."""
    A = sparse.csc_array(A)
    P = sparse.csc_array((np.ones(A.nnz), A.indices, A.indptr), shape=A.shape)
    S = sparse.csc_array(P + P.T)
    S.data[:] = 1.0
    return S


def cholesky_fill_count(S, perm):
    """Entries below the diagonal of the Cholesky factor of the symmetric pattern S[perm][:, perm].

    Dense symbolic elimination: eliminating node k joins its later neighbours
    into a clique. Independent of any ordering library; for n up to a few
    thousand.
    """
    D = sparse.csc_array(S).toarray() != 0
    D = D[np.ix_(perm, perm)]
    count = 0
    for k in range(D.shape[0]):
        later = np.flatnonzero(D[k, k + 1:]) + k + 1
        count += later.size
        if later.size > 1:
            D[np.ix_(later, later)] = True
    return count


def snapshot(A):
    """Copies of a CSC matrix's arrays, to check later that nothing wrote to them."""
    return [np.array(a, copy=True) for a in (A.indptr, A.indices, A.data)]


def unchanged(A, snap):
    return all(np.array_equal(a, b) and a.dtype == b.dtype for a, b in zip((A.indptr, A.indices, A.data), snap))


@contextmanager
def fast_switching():
    """The interpreter switching threads as often as it can (with a GIL), for races to show."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(old)


def child_env(**extra):
    """This process's environment for a child interpreter that runs elsewhere (another cwd): the entries of
    PYTHONPATH made absolute, so that the child imports the same tarnix (a checked build, say)."""
    env = dict(os.environ, **extra)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return env


def run_python(code, *flags):
    """Run code in a fresh interpreter; returns the completed process."""
    return subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
