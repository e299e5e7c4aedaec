"""Every public function of tarnix, called the way the user guide calls it.

Checked with ``mypy --strict`` by test_typing.py (and run by it, so the
sample stays true to what the functions do): a call that the stubs refuse,
or a result whose inferred type differs from the annotation written here,
fails the test.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray
from scipy import sparse

from tarnix.btf import btf, btf_q_permutation, maxtrans, strongcomp
from tarnix.camd import CAMDError, CAMDInfo, camd, camd_default_control
from tarnix.ccolamd import CCOLAMDError, CCOLAMDStats, ccolamd, ccolamd_get_defaults, csymamd
from tarnix.colamd import COLAMDError, COLAMDStats, colamd, colamd_get_defaults, symamd
from tarnix.spqr import (
    SPQRError,
    SPQRFactor,
    SPQRHouseholder,
    SPQRInfo,
    SPQRRankDeficiencyWarning,
    spqr,
    spqr_factor,
    spqr_qmult,
    spqr_solve,
)
from tarnix.spqr_rank import SPQRNullBasis, SPQRRankStats, spqr_basic, spqr_cod, spqr_null, spqr_pinv
from tarnix.utils import CSCInput, validate_csc_input

Index = NDArray[np.int32] | NDArray[np.int64]
Values = NDArray[np.float64 | np.complex128]


def grid(k: int) -> sparse.csc_array:
    """The 5-point Laplacian of a k by k grid."""
    T = sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(k, k))
    I = sparse.eye_array(k)
    return sparse.csc_array(sparse.kron(T, I) + sparse.kron(I, T))


def least_squares() -> float:
    rng = np.random.default_rng(0)
    A = sparse.csc_array(sparse.random_array((200, 50), density=0.1, rng=rng, format="csc"))
    A = A + sparse.csc_array(sparse.eye_array(200, 50))
    b = rng.standard_normal(200)
    x: Values = spqr_solve(A, b)
    W = sparse.csc_array(A.T)
    y: Values = spqr_solve(W, rng.standard_normal(50), min2norm=True)
    B = sparse.csc_array(sparse.random_array((200, 3), density=0.2, rng=rng))
    X: sparse.csc_array = spqr_solve(A, B)
    return float(np.linalg.norm(A @ x - b) + np.linalg.norm(y) + X.nnz)


def reuse_a_factor() -> int:
    A = sparse.csc_array(sparse.vstack([grid(8), sparse.eye_array(64)]))
    f = SPQRFactor(A, order="amd", tol=None)
    g: SPQRFactor = f.factorize(A)
    for scale in (1.0, 2.0):
        f.factorize(A * scale)
        x: Values = f.solve(np.ones(A.shape[0]))
        z: Values = f.solve(x, transpose=True)
        assert z.shape == (A.shape[0],)
    S: sparse.csc_array = f.solve(sparse.csc_array(sparse.eye_array(A.shape[0], 2)))
    y: Values = f.qmult(np.ones(A.shape[0]), "QTX")
    Y: sparse.csc_array = f.qmult(sparse.csc_array(sparse.eye_array(A.shape[0])), "QX")
    info: SPQRInfo = f.info
    rank: int | None = f.rank
    perm: Index = f.perm
    m, n = f.shape
    h = f.copy()
    Qop = f.as_linear_operator("QX")
    assert Qop.shape == (m, m) and f.as_linear_operator().shape == (n, m)
    assert h.is_numeric and g is f and info.nnzR_upper_bound is not None
    assert f.itype is not None and f.dtype is not None
    return (rank or 0) + len(perm) + m + n + S.nnz + Y.nnz + y.size


def one_shot() -> int:
    A = sparse.csc_array(grid(5)[:, :20])
    Q, R, E = spqr(A, mode="economic")
    R2, E2 = spqr(A, mode="r", order="colamd")
    house, R3, E3 = spqr(A, mode="householder")
    H: sparse.csc_array = house.H
    tau: Values = house.tau
    assert isinstance(house, SPQRHouseholder)
    QX: Values = spqr_qmult(house, np.eye(A.shape[0]))
    QS: sparse.csc_array = spqr_qmult(house, sparse.csc_array(sparse.eye_array(A.shape[0])), "QTX")
    f: SPQRFactor = spqr_factor(A, order="natural")
    perms = [e for e in (E, E2, E3) if e is not None]
    return Q.nnz + R.nnz + R2.nnz + R3.nnz + H.nnz + tau.size + QX.size + QS.nnz + f.shape[0] + sum(map(len, perms))


def orderings() -> int:
    A = grid(10)
    q: Index = colamd(A)
    q2, st = colamd(A, return_info=True)
    stats: COLAMDStats = st
    p: Index = symamd(A, dense_row_thresh=5.0)
    p2, st2 = symamd(A, None, None, None, True)
    defaults: dict[str, float] = colamd_get_defaults()
    groups = np.zeros(A.shape[1], dtype=np.int32)
    groups[-10:] = 1
    c: Index = ccolamd(A, constraints=groups, opt_lu="lu")
    c2, cst = ccolamd(A, groups, return_info=True)
    cstats: CCOLAMDStats = cst
    s: Index = csymamd(A, groups)
    cdefaults: dict[str, float | str] = ccolamd_get_defaults()
    d: Index = camd(A, groups, dense_thresh=10.0)
    d2, info = camd(A, constraints=groups, return_info=True)
    cinfo: CAMDInfo = info
    control: dict[str, float | bool] = camd_default_control()
    LU = sparse.csc_array(A[:, q])
    return (len(q2) + len(p) + len(p2) + len(c) + len(c2) + len(s) + len(d) + len(d2) + stats.status + st2.status
            + cstats.Ncmpa + cinfo.Lnz + len(defaults) + len(cdefaults) + len(control) + LU.nnz)


def structure() -> int:
    A = grid(4) + sparse.csc_array(sparse.random_array((16, 16), density=0.1, rng=1))
    match: Index = maxtrans(A)
    p, r = strongcomp(A)
    p2, q, r2 = strongcomp(A, match)
    P, Q, R = btf(A)
    cols: Index = btf_q_permutation(Q)
    structural_rank = int(np.count_nonzero(match >= 0))
    return structural_rank + len(p) + len(r) + len(p2) + len(q) + len(r2) + len(P) + len(R) + len(cols)


def rank() -> int:
    edges = np.array([(0, 1), (1, 2), (2, 0), (3, 4), (4, 5), (5, 6), (7, 8)])
    m = len(edges)
    B = sparse.csc_array((np.tile([1.0, -1.0], m), (np.repeat(np.arange(m), 2), edges.ravel())), shape=(m, 9))
    y = np.ones(m)
    x, stats = spqr_pinv(B, y)
    xb, basic = spqr_basic(B, y, tol=1e-10)
    xc, cod = spqr_cod(B, np.ones((m, 2)))
    N, null = spqr_null(B)
    Ne, _ = spqr_null(B, form="explicit")
    assert isinstance(N, SPQRNullBasis) and not isinstance(Ne, SPQRNullBasis)
    w: Values = x - N @ (N.H @ x)
    records: list[SPQRRankStats] = [stats, basic, cod, null]
    bounds: tuple[float, ...] = stats.est_sval_upper_bounds
    norm_AN: float | None = null.est_norm_A_times_N
    return sum(r.rank + r.flag for r in records) + xb.size + xc.size + w.size + len(bounds) + int(norm_AN is None)


def checking() -> int:
    result: CSCInput = validate_csc_input([[1.0, 0.0], [2.0, 3.0]])
    M, copied, itype = validate_csc_input(grid(3), require_square=True)
    errors: tuple[type[Exception], ...] = (SPQRError, COLAMDError, CCOLAMDError, CAMDError)
    try:
        spqr_solve(grid(3), np.ones(4))
    except ValueError:
        pass
    warning: type[Warning] = SPQRRankDeficiencyWarning
    return result.matrix.nnz + M.nnz + int(copied) + itype.itemsize + len(errors) + len(warning.__name__)


def refused() -> None:
    """Calls the stubs must refuse (never run): under --strict an ignore that
    silences nothing is itself an error, so each line must fail to check."""
    A = grid(3)
    house, _, _ = spqr(A, mode="householder")
    spqr_qmult(house, np.eye(9), method=None)  # type: ignore[call-overload]
    spqr(A, mode="thin")  # type: ignore[call-overload]
    SPQRFactor(A, order="nested")  # type: ignore[arg-type]
    SPQRFactor(A).as_linear_operator("RX")  # type: ignore[arg-type]
    sparse_result: sparse.csc_array = spqr_solve(A, np.ones(9))  # type: ignore[assignment]
    dense_result: Values = spqr_solve(A, sparse.csc_array(A))  # type: ignore[assignment]
    q: Index = colamd(A, return_info=True)  # type: ignore[assignment]
    ccolamd(A, opt_lu="qr")  # type: ignore[call-overload]
    validate_csc_input(A, require_square="yes")  # type: ignore[arg-type]
    spqr_null(A, form="dense")  # type: ignore[arg-type]
    del sparse_result, dense_result, q


if __name__ == "__main__":
    print(least_squares() > 0, reuse_a_factor(), one_shot(), orderings(), structure(), rank(), checking())
