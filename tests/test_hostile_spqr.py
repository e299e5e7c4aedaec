"""Random and hostile input for tarnix.spqr: the factorization, solves and
products with Q checked against dense NumPy/LAPACK, corrupted right-hand
sides, Householder triples and private-function arguments against their
documented errors, with the caller's arrays left as they were."""

import ctypes
import textwrap
import warnings

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st
from scipy import sparse

import tarnix.cholmod as cholmod_module
import tarnix.spqr as spqr_module
from strategies import BENIGN, INVALID, corrupted, csc_fingerprint, csc_matrices, fingerprint, full_rank
from support import run_python, testing_hooks, with_index_dtype

SPQR_ERRORS = (ValueError, TypeError, OverflowError, IndexError, spqr_module.SPQRError)

matrices = st.booleans().flatmap(lambda c: csc_matrices(min_rows=1, min_cols=1, complex_values=c))
tall = st.booleans().flatmap(lambda c: full_rank(complex_values=c))
wide = st.booleans().flatmap(lambda c: full_rank(wide=True, complex_values=c))
ORDERS = st.sampled_from([None, "fixed", "natural", "colamd", "amd", "default"])


def tol_for(A):
    return 1e-9 * max(1.0, np.abs(A.toarray()).max(initial=0.0)) * max(A.shape)


def dense(M):
    return M.toarray() if sparse.issparse(M) else np.asarray(M)


def rhs(rng, rows, k, dtype):
    b = rng.standard_normal((rows, k))
    return (b + 1j * rng.standard_normal((rows, k))) if np.dtype(dtype).kind == "c" else b


def assert_upper_trapezoidal(R, tol):
    R = dense(R)
    assert np.abs(np.tril(R, -1)).max(initial=0.0) <= tol


# ---------------------------------------------------------------------------
# Valid input, valid results


@given(A=matrices, order=ORDERS)
def test_qr_of_random_matrices(A, order):
    m, n = A.shape
    tol = tol_for(A)
    Q, R, E = spqr_module.spqr(A, order=order)
    E = np.arange(n) if E is None else E
    Q, R = dense(Q), dense(R)
    assert Q.shape == (m, m) and R.shape == (m, n) and sorted(E) == list(range(n))
    assert np.allclose(Q.conj().T @ Q, np.eye(m), atol=1e-10)
    assert np.allclose(Q @ R, A.toarray()[:, E], atol=tol)
    assert_upper_trapezoidal(R, tol)
    # The other modes give the same R and the same Q.
    R2, E2 = spqr_module.spqr(A, mode="r", order=order)
    assert np.allclose(dense(R2), R, atol=tol) and np.array_equal(np.arange(n) if E2 is None else E2, E)
    Qe, Re, _ = spqr_module.spqr(A, mode="economic", order=order)
    assert np.allclose(dense(Qe) @ dense(Re), A.toarray()[:, E], atol=tol)
    # The Householder form is a QR factorization too (its Q may differ from
    # the explicit one where R has zero rows).
    house, Rh, Eh = spqr_module.spqr(A, mode="householder", order=order)
    Eh = np.arange(n) if Eh is None else Eh
    Qh = spqr_module.spqr_qmult(house, np.eye(m, dtype=A.dtype))
    assert np.allclose(Qh.conj().T @ Qh, np.eye(m), atol=1e-10)
    assert np.allclose(Qh @ dense(Rh), A.toarray()[:, Eh], atol=tol)
    X = rhs(np.random.default_rng(0), m, 2, A.dtype)
    Xt = X.T.copy()
    for method, expected in [("QTX", Qh.conj().T @ X), ("XQ", Xt @ Qh), ("XQT", Xt @ Qh.conj().T)]:
        Y = spqr_module.spqr_qmult(house, X if method in ("QX", "QTX") else sparse.csc_array(Xt), method)
        assert np.allclose(dense(Y), expected, atol=1e-10)


@given(A=tall, seed=st.integers(0, 2**32 - 1))
def test_solves_of_full_rank_tall_systems(A, seed):
    m, n = A.shape
    rng = np.random.default_rng(seed)
    b = rhs(rng, m, 2, A.dtype)
    x = spqr_module.spqr_solve(A, b)
    assert np.allclose(x, np.linalg.lstsq(A.toarray(), b, rcond=None)[0], atol=1e-8)
    f = spqr_module.spqr_factor(A)
    assert f.rank == n
    # The transposed system A^H x = c is wide: its solution is the minimum-norm one.
    c = rhs(rng, n, 1, A.dtype)[:, 0]
    y = f.solve(c, transpose=True)
    assert np.allclose(y, np.linalg.lstsq(A.toarray().conj().T, c, rcond=None)[0], atol=1e-8)
    # A sparse right-hand side in batches gives the dense solution.
    xs = f.solve(sparse.csc_array(b), rhs_batch_size=1)
    assert np.allclose(xs.toarray(), x, atol=1e-8) and xs.indptr.dtype == A.indices.dtype


@given(A=wide, seed=st.integers(0, 2**32 - 1))
def test_minimum_norm_solutions_of_wide_systems(A, seed):
    b = rhs(np.random.default_rng(seed), A.shape[0], 3, A.dtype)
    x = spqr_module.spqr_solve(A, b)
    assert np.allclose(x, np.linalg.lstsq(A.toarray(), b, rcond=None)[0], atol=1e-8)


@given(A=matrices, singletons=st.booleans())
def test_qmult_matches_the_explicit_q(A, singletons):
    m = A.shape[0]
    f = spqr_module.SPQRFactor(A, use_singletons=singletons)
    if not singletons:  # (SPQR cannot refactorize once it has used singletons)
        f.factorize(A)
    Q = f.qmult(np.eye(m, dtype=A.dtype))
    assert np.allclose(Q.conj().T @ Q, np.eye(m), atol=1e-10)
    assert_upper_trapezoidal(Q.conj().T @ A.toarray()[:, f.perm], tol_for(A))
    X = rhs(np.random.default_rng(1), m, 3, A.dtype)
    assert np.allclose(f.qmult(X, "QTX"), Q.conj().T @ X, atol=1e-10)
    assert np.allclose(f.qmult(X.T, "XQ"), X.T @ Q, atol=1e-10)
    assert np.allclose(f.qmult(sparse.csc_array(X.T), "XQT").toarray(), X.T @ Q.conj().T, atol=1e-10)


# ---------------------------------------------------------------------------
# Hostile right-hand sides and operands


def spoil_dense(b, how):
    """A right-hand side laid out or typed oddly (same values), or broken."""
    if how == "fortran":
        return np.asfortranarray(b)
    if how == "negative_stride":
        return np.ascontiguousarray(b[::-1, ::-1])[::-1, ::-1]
    if how == "read_only_fortran":
        b = np.asfortranarray(b.copy())
        b.setflags(write=False)
        return b
    if how == "read_only":
        b = b.copy()
        b.setflags(write=False)
        return b
    if how == "byte_swapped":
        return b.astype(b.dtype.newbyteorder())
    if how == "float32":
        return b.astype(np.float32 if b.dtype.kind == "f" else np.complex64)
    if how == "nan":
        b = b.copy()
        b[0, 0] = np.nan
        return b
    if how == "inf":
        b = b.copy()
        b[-1, -1] = -np.inf
        return b
    if how == "one_d":
        return b[:, 0].copy()
    if how == "extra_row":
        return np.vstack([b, b[:1]])
    if how == "three_d":
        return b[:, :, None].copy()
    if how == "list":
        return b.tolist()
    if how == "complex":
        return b + 1j
    if how == "object":
        return b.astype(object)
    raise AssertionError(how)


SAME = ["fortran", "negative_stride", "read_only", "byte_swapped", "float32", "one_d"]
BROKEN = ["extra_row", "three_d", "list", "object"]
ODD = ["read_only_fortran", "nan", "inf", "complex"]


@given(A=tall, how=st.sampled_from(SAME + BROKEN + ODD), transpose=st.booleans(), sparse_b=st.booleans())
def test_hostile_right_hand_sides(A, how, transpose, sparse_b):
    f = spqr_module.spqr_factor(A)
    b = rhs(np.random.default_rng(2), A.shape[1] if transpose else A.shape[0], 2, A.dtype)
    hostile = spoil_dense(b, how)
    if sparse_b and isinstance(hostile, np.ndarray) and hostile.ndim == 2 and hostile.dtype.isnative \
            and hostile.dtype != object:
        hostile = sparse.csc_array(hostile)
        before = fingerprint(hostile.data, hostile.indices, hostile.indptr)
    else:
        before = fingerprint(hostile)
    # A read-only array already column-major and of the factor's dtype is the
    # one layout the solve refuses (it would have to be written to).
    refusable = isinstance(hostile, np.ndarray) and not hostile.flags.writeable and hostile.flags.f_contiguous
    try:
        x = f.solve(hostile, transpose=transpose)
    except SPQR_ERRORS:
        assert how not in SAME or refusable
    else:
        assert how not in BROKEN
        expected = f.solve(b, transpose=transpose)
        if how == "one_d":
            expected = expected[:, 0]
        if how not in ("nan", "inf", "complex"):
            assert np.allclose(dense(x), expected, atol=1e-6)
    after = fingerprint(hostile.data, hostile.indices, hostile.indptr) if sparse.issparse(hostile) else fingerprint(hostile)
    assert after == before


@given(A=matrices, how=st.sampled_from(SAME + BROKEN + ODD), method=st.sampled_from(["QX", "QTX", "XQ", "XQT"]),
       householder=st.booleans())
def test_hostile_q_operands(A, how, method, householder):
    m = A.shape[0]
    X = rhs(np.random.default_rng(3), m, 2, A.dtype)
    if method in ("XQ", "XQT"):
        X = X.T.copy()
        assume(how != "one_d")
    hostile = spoil_dense(X, how)
    before = fingerprint(hostile)
    refusable = isinstance(hostile, np.ndarray) and not hostile.flags.writeable and hostile.flags.f_contiguous
    if householder:
        house = spqr_module.spqr(A, mode="householder")[0]
        call = lambda Y: spqr_module.spqr_qmult(house, Y, method)  # noqa: E731
    else:
        call = spqr_module.spqr_factor(A).qmult
        call = (lambda g: lambda Y: g(Y, method))(call)
    try:
        Y = call(hostile)
    except SPQR_ERRORS:
        assert how not in ("fortran", "negative_stride", "read_only", "one_d") or refusable
    else:
        assert how not in BROKEN or (householder and how == "list") or (how == "extra_row" and method[0] == "X")
        if how in SAME:
            expected = call(X)
            assert np.allclose(Y, expected[:, 0] if how == "one_d" else expected, atol=1e-10)
    assert fingerprint(hostile) == before


@given(A=tall, data=st.data())
def test_spoiled_single_column_sparse_right_hand_sides(A, data):
    # One column in CSR form is converted before it is validated; SciPy's
    # conversion of a spoiled one crashed.
    m = A.shape[0]
    column = csc_matrices(min_rows=m, max_rows=m, min_cols=1, max_cols=1).filter(lambda b: b.nnz > 0)
    # (Float index arrays are cast by SciPy when b's values are cast to the factor's type.)
    invalid = [k for k in INVALID if not k.startswith("float_")]
    clean, b, kind = data.draw(corrupted(BENIGN + invalid, column, fmt="csr"))
    f = spqr_module.spqr_factor(A)
    before = csc_fingerprint(b)
    if kind in BENIGN:
        assert np.allclose(f.solve(b).toarray(), f.solve(clean.toarray()), atol=1e-8)
    else:  # (the value types NumPy will not cast safely are a TypeError)
        with pytest.raises((ValueError, TypeError)):
            f.solve(b)
    assert csc_fingerprint(b) == before


def householder_lies():
    return st.sampled_from(["tau_short", "tau_long", "tau_int", "tau_other_type", "v_short", "v_repeat",
                            "v_out_of_range", "v_negative", "v_other_width", "v_float", "v_2d", "H_corrupt",
                            "H_wide", "two_items", "four_items", "none"])


def lie_about_house(house, how):
    H, tau, v = house
    H = sparse.csc_array(H, copy=True)
    tau, v = np.array(tau), np.array(v)
    if how == "tau_short":
        tau = tau[:-1]
    elif how == "tau_long":
        tau = np.append(tau, 1.0)
    elif how == "tau_int":
        tau = tau.astype(np.int64)
    elif how == "tau_other_type":
        tau = tau + 0j if tau.dtype.kind == "f" else tau.real.copy()
    elif how == "v_short":
        v = v[:-1]
    elif how == "v_repeat":
        v[-1] = v[0]
    elif how == "v_out_of_range":
        v[-1] = len(v) + 5
    elif how == "v_negative":
        v[0] = -1
    elif how == "v_other_width":
        v = v.astype(np.int64 if v.dtype == np.int32 else np.int32)
    elif how == "v_float":
        v = v.astype(np.float64)
    elif how == "v_2d":
        v = v.reshape(1, -1)
    elif how == "H_corrupt":
        H.indices = H.indices.copy()
        H.indices[-1] = H.shape[0] + 3
    elif how == "H_wide":
        H = sparse.csc_array(sparse.hstack([H, H]))
    elif how == "two_items":
        return (H, tau)
    elif how == "four_items":
        return (H, tau, v, v)
    elif how == "none":
        return (H, None, v)
    return (H, tau, v)


@given(A=csc_matrices(min_rows=2, max_rows=8, min_cols=1).filter(lambda A: A.nnz > 0), how=householder_lies(),
       sparse_x=st.booleans())
def test_spoiled_householder_triples(A, how, sparse_x):
    house = spqr_module.spqr(A, mode="householder")[0]
    assume(house.H.nnz > 0 or how not in ("tau_short", "H_corrupt", "H_wide"))
    bad = lie_about_house(house, how)
    X = np.ones((A.shape[0], 2), dtype=A.dtype)
    X = sparse.csc_array(X) if sparse_x else X
    arrays = [a for a in (bad if isinstance(bad, tuple) else ()) if isinstance(a, np.ndarray)]
    before = fingerprint(*arrays)
    with pytest.raises(ValueError, match="house must be a tuple|v must be a permutation"):
        spqr_module.spqr_qmult(bad, X)
    assert fingerprint(*arrays) == before
    # The private function, handed the same lie without the checks of spqr_qmult.
    if how in ("two_items", "four_items", "none", "v_2d"):
        return
    H, tau, v = bad
    with pytest.raises(SPQR_ERRORS):
        spqr_module._qmult(1, H, np.asfortranarray(np.reshape(tau, (1, -1))), v, X if sparse_x else X.copy("F"))


# ---------------------------------------------------------------------------
# Private functions with arguments that lie


def lie_about_dense(X, how):
    if how == "c_order":
        return np.ascontiguousarray(X)
    if how == "rows_plus":
        return np.asfortranarray(np.vstack([X, X[:1]]))
    if how == "rows_minus":
        return np.asfortranarray(X[:-1])
    if how == "cols_zero":
        return np.asfortranarray(X[:, :0])
    return spoil_dense(X, how)


DENSE_LIES = ["c_order", "rows_plus", "rows_minus", "cols_zero", "read_only_fortran", "byte_swapped", "float32",
              "one_d", "three_d", "list", "complex", "object"]


@given(A=matrices, how=st.sampled_from(DENSE_LIES), method=st.sampled_from([-1, 0, 1, 2, 3, 4, 2**40]),
       transpose=st.booleans())
def test_private_dense_methods_refuse_lies(A, how, method, transpose):
    f = spqr_module.spqr_factor(A)
    m, n = A.shape
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for call, rows in [(lambda X: f._solve_dense(X, transpose), n if transpose else m),
                           (lambda X: f._qmult_dense(method, X), m)]:
            X = np.asfortranarray(rhs(np.random.default_rng(4), rows, 2, A.dtype))
            hostile = lie_about_dense(X, how)
            before = fingerprint(hostile)
            try:
                call(hostile)
            except SPQR_ERRORS:
                pass
            assert fingerprint(hostile) == before


def test_private_dense_methods_refuse_wrong_rows():
    A = sparse.csc_array(np.array([[2.0, 0, 1], [0, 3.0, 0], [1.0, 0, 4.0], [0, 1.0, 0]]))
    f = spqr_module.spqr_factor(A)
    for rows in (3, 5):
        X = np.ones((rows, 2), order="F")
        with pytest.raises(ValueError, match="compatible shape"):
            f._solve_dense(X, False)
        with pytest.raises(ValueError, match="compatible shape"):
            f._qmult_dense(1, X)
    with pytest.raises(ValueError, match="compatible shape"):
        f._solve_dense(np.ones((4, 1), order="F"), True)
    for code in (-1, 4, 2**40):
        with pytest.raises(ValueError, match="method"):
            f._qmult_dense(code, np.ones((4, 1), order="F"))


class Header(ctypes.Structure):
    """Room for a cholmod_sparse record, with a margin."""

    _fields_ = [("raw", ctypes.c_char * 512)]


@given(A=csc_matrices(min_rows=1, min_cols=1), lie=st.sampled_from(
    ["rows_minus", "cols_plus", "cols_minus", "negative", "stype", "indices_short", "data_short", "widths",
     "data_int", "address_zero", "shape_one"]))
def test_sparse_header_refuses_lies(A, lie):
    header = Header()
    shape, indptr, indices, data = A.shape, A.indptr.copy(), A.indices.copy(), A.data.copy()
    stype, address = 0, ctypes.addressof(header)
    if lie == "rows_minus":
        assume(A.nnz and A.indices.max() == A.shape[0] - 1)
        shape = (A.shape[0] - 1, A.shape[1])
    elif lie in ("cols_plus", "cols_minus"):
        shape = (A.shape[0], A.shape[1] + (1 if lie == "cols_plus" else -1))
    elif lie == "negative":
        shape = (-A.shape[0], A.shape[1])
    elif lie == "stype":
        stype = 2
    elif lie == "indices_short":
        assume(A.nnz)
        indices = indices[:-1].copy()
    elif lie == "data_short":
        assume(A.nnz)
        data = data[:-1].copy()
    elif lie == "widths":
        indices = indices.astype(np.int64 if indices.dtype == np.int32 else np.int32)
    elif lie == "data_int":
        data = data.real.astype(np.int64)
    elif lie == "address_zero":
        address = 0
    elif lie == "shape_one":
        shape = (A.shape[0],)
    before = fingerprint(indptr, indices, data)
    with pytest.raises((ValueError, TypeError)):
        cholmod_module._cholmod_sparse_from_csc(shape, indptr, indices, data, stype, address)
    assert fingerprint(indptr, indices, data) == before


@given(A=matrices)
def test_refactorization_with_another_pattern_is_refused(A):
    f = spqr_module.SPQRFactor(A)
    B = sparse.csc_array(A.toarray() + np.eye(*A.shape))
    B = with_index_dtype(B, A.indices.dtype)
    if B.nnz == A.nnz and np.array_equal(B.indices, A.indices) and np.array_equal(B.indptr, A.indptr):
        f.factorize(B)
        assert f.is_numeric
    else:
        with pytest.raises(ValueError, match="pattern"):
            f.factorize(B)


# ---------------------------------------------------------------------------
# Python code that runs inside a call: callbacks that replace or rewrite the
# arrays the call is using, or re-initialise the factor in use. Each case
# runs in a child interpreter (a fault there may crash it) and must give the
# right answer or a clear exception.

CALLBACK_PRELUDE = """
import gc, warnings
import numpy as np
from scipy import sparse
import tarnix.spqr as ts
warnings.simplefilter("ignore", ts.SPQRRankDeficiencyWarning)

def diagonal(index_dtype=np.int32):
    A = sparse.csc_array(np.diag([1.0, 2.0, 3.0]))
    A.indptr = A.indptr.astype(index_dtype)
    A.indices = A.indices.astype(index_dtype)
    return A

def churn(value):
    # Same-size blocks that reuse freed memory, so stale pointers read them.
    return [np.full(3, value * (k + 1)) for k in range(64)]

class Watched(sparse.csc_array):
    # A CSC matrix whose attribute lookups run a callback.
    hook = None
    skip = 0  # lookups to let pass before the hook runs
    @property
    def format(self):
        if type(self).skip:
            type(self).skip -= 1
        elif type(self).hook is not None:
            h, type(self).hook = type(self).hook, None
            h(self)
        return "csc"

def outcome(call):
    try:
        return ("ok", call())
    except (ValueError, TypeError, AssertionError, ts.SPQRError) as exc:
        return ("error", type(exc).__name__ + ": " + str(exc))
"""


def run_callback_case(body):
    proc = run_python(CALLBACK_PRELUDE + textwrap.dedent(body))
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout


class TestCallbacksDuringCalls:
    def test_use_singletons_truth_replaces_data(self):
        out = run_callback_case("""
            A = diagonal()
            class Flag:
                def __bool__(self):
                    A.data = A.data.copy()
                    churn(1e-6)
                    return True
            f = ts.SPQRFactor(A, use_singletons=Flag())
            churn(1e-6)
            print(np.allclose(f.solve(np.array([1.0, 2.0, 3.0])), 1.0))
        """)
        assert out.split() == ["True"]

    def test_is_numeric_property_replaces_data_during_factorize(self):
        out = run_callback_case("""
            A = diagonal()
            class Sub(ts.SPQRFactor):
                @property
                def is_numeric(self):
                    A.data = A.data.copy()
                    churn(5e-6)
                    return super().is_numeric
            f = Sub(A)
            f.factorize(A, tol=0.1)
            f.factorize(A, tol=0.1)
            churn(5e-6)
            print(np.allclose(f.solve(np.array([1.0, 2.0, 3.0])), 1.0))
        """)
        assert out.split() == ["True"]

    @pytest.mark.parametrize("what", ["data", "indices"])
    def test_tolerance_conversion_replaces_arrays(self, what):
        out = run_callback_case(f"""
            A = diagonal()
            f = ts.SPQRFactor(A)
            class Tol:
                def __float__(self):
                    A.{what} = A.{what}.copy()
                    churn(7.0)
                    return 0.1
            f.factorize(A, tol=Tol())
            churn(7.0)
            print(np.allclose(f.solve(np.array([1.0, 2.0, 3.0])), 1.0))
        """)
        assert out.split() == ["True"]

    def test_tolerance_conversion_rewrites_indices_in_place(self):
        # A write that the earlier checks did not see is caught by the check
        # made right before the library reads the arrays.
        out = run_callback_case("""
            A = diagonal()
            f = ts.SPQRFactor(A)
            class Tol:
                def __float__(self):
                    A.indices[1] = 2**30
                    return 0.1
            print(outcome(lambda: f.factorize(A, tol=Tol()))[0])
            class Init:
                def __float__(self):
                    A.indptr[1] = 3
                    return 0.1
            print(outcome(lambda: ts.SPQRFactor(diagonal(), tol=Init()))[0])
        """)
        assert out.split() == ["error", "ok"]

    def test_attributes_that_return_fresh_arrays(self):
        # Nothing but the call holds the arrays such properties return.
        out = run_callback_case("""
            class Fresh(sparse.csc_array):
                @property
                def data(self):
                    return self._d.copy()
                @data.setter
                def data(self, value):
                    self._d = value
            A = Fresh(np.diag([1.0, 2.0, 3.0]))
            b = np.array([1.0, 2.0, 3.0])
            f = ts.SPQRFactor(A)
            f.factorize(A)
            x = f.solve(b)
            g = ts.SPQRFactor(A, use_singletons=True)
            assert np.allclose(g.solve(b), 1.0)
            Q, R, E = ts.spqr(A)
            print(np.allclose(x, 1.0), np.allclose(abs(R.toarray()).sum(), 6.0))
        """)
        assert out.split() == ["True", "True"]

    def test_reentrant_init_from_the_tolerance(self):
        testing_hooks()  # the child counts live blocks through the test hooks
        out = run_callback_case("""
            import tarnix._testing as hook
            A = diagonal()
            B = sparse.csc_array(np.diag([2.0, 4.0, 8.0, 16.0]))
            f = ts.SPQRFactor.__new__(ts.SPQRFactor)
            class Tol:
                def __float__(self):
                    f.__init__(B, use_singletons=True)
                    return 0.1
            hook.fail_allocation(-1)
            try:
                for _ in range(20):
                    f.__init__(A, tol=Tol(), use_singletons=True)
                    assert f.shape == (3, 3) and np.allclose(f.solve(np.array([1.0, 2.0, 3.0])), 1.0)
                del f
                gc.collect()
            finally:
                _, _, live = hook.restore_allocator()
            print(live)
        """)
        assert out.split() == ["0"]

    @pytest.mark.parametrize("reinit", ["failing", "int64", "complex"])
    def test_qmult_operand_reinitialises_the_factor(self, reinit):
        out = run_callback_case(f"""
            A = diagonal()
            f = ts.spqr_factor(A)
            def again(X):
                if "{reinit}" == "failing":
                    try:
                        f.__init__("not a matrix")
                    except ValueError:
                        pass
                elif "{reinit}" == "int64":
                    f.__init__(diagonal(np.int64), use_singletons=True)
                else:
                    f.__init__(sparse.csc_array(np.diag([1j, 2, 3])), use_singletons=True)
            X = Watched(np.eye(3))
            Watched.hook = again
            kind, value = outcome(lambda: f.qmult(X))
            print(kind)
            if kind == "ok":
                print(np.allclose(abs(value.toarray()), np.eye(3)))
        """)
        # (A failed re-initialisation leaves the factor as it was.)
        assert out.split() in (["ok", "True"], ["error"])

    @pytest.mark.parametrize("target", ["v", "H.indices", "H.data"])
    def test_householder_operand_validation_rewrites_the_triple(self, target):
        out = run_callback_case(f"""
            rng = np.random.default_rng(0)
            A = sparse.csc_array(sparse.random_array((6, 4), density=0.6, rng=rng) + sparse.eye_array(6, 4))
            house = ts.spqr(A, mode="householder")[0]
            X = np.arange(12.0).reshape(6, 2)
            clean = ts.spqr_qmult(house, X)
            def spoil(_):
                if "{target}" == "v":
                    house.perm[-1] = 2**30
                elif "{target}" == "H.indices":
                    house.H.indices[-1] = 2**30
                else:
                    house.H.data = house.H.data * 1e12
                    churn(3.0)
            # The last validation of X, after spqr_qmult checked the triple.
            Watched.hook, Watched.skip = spoil, 1
            kind, value = outcome(lambda: ts.spqr_qmult(house, Watched(X)))
            print(kind)
            if kind == "ok":
                got = value.toarray()
                print(np.allclose(got, clean) or np.allclose(got, ts.spqr_qmult(house, X)))
        """)
        words = out.split()
        if target == "H.data":
            assert words == ["ok", "True"]
        else:
            assert words == ["error"]

    def test_spqr_solve_with_a_shape_that_changes(self):
        out = run_callback_case("""
            class Shifty(sparse.csc_array):
                calls = 0
                @property
                def shape(self):
                    type(self).calls += 1
                    m, n = self._shape
                    return (m, n) if type(self).calls <= 2 else (n * 50, m)
            A = Shifty(np.array([[1.0, 0.0, 2.0], [0.0, 3.0, 1.0]]))
            kind, x = outcome(lambda: ts.spqr_solve(A, np.array([1.0, 2.0])))
            print(kind)
            if kind == "ok":
                print(np.allclose(np.array([[1.0, 0.0, 2.0], [0.0, 3.0, 1.0]]) @ x, [1.0, 2.0]))
        """)
        assert out.split() in (["ok", "True"], ["error"])

    def test_sparse_right_hand_side_rewritten_by_a_warning_filter(self):
        # The rank warning runs Python code (showwarning) after b was checked.
        out = run_callback_case("""
            warnings.resetwarnings()
            A = sparse.csc_array(np.array([[1.0, 1.0], [1.0, 1.0], [0.0, 0.0]]))
            f = ts.spqr_factor(A)
            b = sparse.csc_array(np.ones((3, 2)))
            def show(*args, **kwargs):
                b.indices[:] = 2**30
                b.indptr[1] = 5
            warnings.showwarning = show
            kind, x = outcome(lambda: f.solve(b))
            print(kind, x.shape if kind == "ok" else x.split(":")[0])
        """)
        assert out.split() in (["ok", "(2,", "2)"], ["error", "ValueError"])

    def test_thread_replacing_indices_during_construction(self):
        out = run_callback_case("""
            import threading, sys
            sys.setswitchinterval(1e-6)
            rng = np.random.default_rng(1)
            A = sparse.csc_array(sparse.random_array((300, 200), density=0.05, rng=rng) + sparse.eye_array(300, 200))
            A.sum_duplicates()
            b = A @ np.ones(200)
            stop = False
            def replace():
                while not stop:
                    A.indices = A.indices.copy()
                    A.data = A.data.copy()
            t = threading.Thread(target=replace)
            t.start()
            try:
                good = 0
                for _ in range(30):
                    f = ts.SPQRFactor(A, tol=0.0)
                    f.factorize(A, tol=0.0)
                    good += np.allclose(f.solve(b), 1.0)
            finally:
                stop = True
                t.join()
            print(good)
        """)
        assert out.split() == ["30"]


def test_private_qmult_names_the_types_that_differ():
    A = sparse.csc_array(np.array([[2.0, 1.0], [0.0, 3.0], [1.0, 0.0]]))
    H, tau, v = spqr_module.spqr(A, mode="householder")[0]
    tau = np.asfortranarray(tau.reshape(1, -1))
    X = np.ones((3, 1), order="F")
    with pytest.raises(ValueError, match=r"H and tau differ in value type \(H has float64, tau complex128\)"):
        spqr_module._qmult(1, H, tau + 0j, v, X + 0j)
    with pytest.raises(ValueError, match=r"H and v differ in index width \(H has int32, v int64\)"):
        spqr_module._qmult(1, H, tau, v.astype(np.int64), X)
    Xs = with_index_dtype(sparse.csc_array(X), np.int64)
    with pytest.raises(ValueError, match=r"X and H differ in index width \(X has int64, H int32\)"):
        spqr_module._qmult(1, H, tau, v, Xs)
    with pytest.raises(ValueError, match=r"X and tau differ in value type \(X has complex128, tau float64\)"):
        spqr_module._qmult(1, H, tau, v, X + 0j)
