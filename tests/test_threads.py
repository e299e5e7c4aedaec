"""Many threads calling the modules at once, with the interpreter switching between them as often as it can.

The library work of tarnix.spqr (analysis, factorization, solves, products
with Q, the one-shot functions, copies of a factor) runs with the interpreter
lock released, and Python code runs in the middle of many calls
(validate_csc_input, overridden methods, warning filters): there another
thread may take over, use the same factor, re-initialise it, or write to the
arrays the call was given. Results must be those of the same calls made by
one thread beforehand; a caller's arrays changed under a call may give a
refusal, never a crash, and the factors stay intact.
"""

from __future__ import annotations

import queue
import threading
import time
import warnings

import numpy as np
import pytest
from scipy import sparse

import tarnix.btf as tb
import tarnix.camd as tca
import tarnix.ccolamd as tcc
import tarnix.colamd as tc
import tarnix.spqr as ts

from support import fast_switching, random_csc, symmetric_pattern, with_index_dtype
from test_spqr_triangular import reference, triangle

THREADS = 8
REPEATS = 15


def run_together(work, n=THREADS):
    """Runs work(k) in n threads started at once; re-raises the first failure."""
    barrier = threading.Barrier(n)
    failures = []

    def body(k):
        try:
            barrier.wait()
            work(k)
        except BaseException as exc:  # noqa: BLE001 - reported to the test below
            failures.append(exc)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(n)]
    with fast_switching():
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
    assert not any(t.is_alive() for t in threads)
    if failures:
        raise failures[0]


def same(x, y):
    """Exact equality of results: arrays, sparse arrays, tuples of them, records."""
    if isinstance(x, tuple) and not hasattr(x, "__dataclass_fields__"):
        return type(x) is type(y) and len(x) == len(y) and all(same(a, b) for a, b in zip(x, y))
    if sparse.issparse(x):
        return sparse.issparse(y) and x.shape == y.shape and (x != y).nnz == 0 and x.dtype == y.dtype
    if isinstance(x, np.ndarray):
        return isinstance(y, np.ndarray) and x.dtype == y.dtype and np.array_equal(x, y)
    return x == y


rng = np.random.default_rng(3)


def tall(dtype, itype, m=40, n=25):
    A = sparse.csc_array(random_csc(m, n, 0.1, rng, dtype) + sparse.eye_array(m, n), dtype=dtype)
    return with_index_dtype(A, itype)


MATS = [tall(v, i) for v in (np.float64, np.complex128) for i in (np.int32, np.int64)]
SQUARE = [with_index_dtype(symmetric_pattern(random_csc(30, 30, 0.1, rng)), i) for i in (np.int32, np.int64)]


def calls():
    """(name, call) pairs covering every module, in each value type and index width."""
    for S in SQUARE:
        w = S.indptr.dtype.name
        c = np.arange(S.shape[0]) % 3
        yield f"colamd {w}", lambda S=S: tc.colamd(S, return_info=True)
        yield f"symamd {w}", lambda S=S: tc.symamd(S)
        yield f"ccolamd {w}", lambda S=S, c=c: tcc.ccolamd(S, c, return_info=True)
        yield f"csymamd {w}", lambda S=S, c=c: tcc.csymamd(S, c)
        yield f"camd {w}", lambda S=S, c=c: tca.camd(S, c, return_info=True)
        yield f"btf {w}", lambda S=S: (tb.maxtrans(S), tb.strongcomp(S), tb.btf(S))
    for A in MATS:
        tag = f"{A.dtype.name}/{A.indptr.dtype.name}"
        m, n = A.shape
        b = np.arange(m, dtype=A.dtype)
        B = with_index_dtype(sparse.csc_array(random_csc(m, 5, 0.2, rng, A.dtype)), A.indptr.dtype)
        yield f"spqr {tag}", lambda A=A: ts.spqr(A, mode="economic")
        yield f"solve {tag}", lambda A=A, b=b, B=B: (ts.spqr_solve(A, b), ts.spqr_factor(A).solve(B, rhs_batch_size=2))
        yield f"qmult {tag}", lambda A=A, B=B: (ts.spqr_factor(A).qmult(B, "QTX"),
                                               ts.spqr_qmult(ts.spqr(A, mode="householder")[0], B))


def test_every_module_at_once():
    work = list(calls())
    expected = {name: call() for name, call in work}

    def run(k):
        for r in range(REPEATS):
            for name, call in work[k + r:] + work[:k + r]:  # each thread in its own order
                assert same(call(), expected[name]), name

    run_together(run)


@pytest.fixture(params=[0, 3], ids=["float64-int32", "complex128-int64"])
def shared(request):
    A = MATS[request.param]
    m, n = A.shape
    b = np.ones(m, A.dtype)
    B = with_index_dtype(sparse.csc_array(random_csc(m, 6, 0.2, rng, A.dtype)), A.indptr.dtype)
    X = np.ones((2, m), A.dtype)
    return ts.spqr_factor(A), A, b, B, X


def reads(f, b, B, X):
    return (f.solve(b), f.solve(B, rhs_batch_size=4), f.solve(b[: f.shape[1]], transpose=True),
            f.qmult(B), f.qmult(X, "XQT"), f.perm, f.rank, f.shape, repr(f))


def test_one_factor_shared(shared):
    """Threads read one factor at once; half of them copy it meanwhile and read their copies."""
    f, A, b, B, X = shared
    expected = reads(f, b, B, X)

    def run(k):
        for _ in range(REPEATS):
            assert same(reads(f.copy() if k % 2 else f, b, B, X), expected)
            assert f.info.rank_A_estimate == f.rank  # whoever made the last call, it left a whole record

    run_together(run)


def test_factor_dropped_in_another_thread(shared):
    f, A, b, B, X = shared
    expected = f.solve(b)
    handed = queue.Queue()

    def run(k):
        if k % 2:  # producers: the only reference goes into the queue
            for _ in range(REPEATS):
                handed.put(ts.spqr_factor(A))
                handed.put(f.copy())
            handed.put(None)
        else:  # consumers: the last reference dies here
            while (g := handed.get()) is not None:
                assert same(g.solve(b), expected)
                del g

    run_together(run)


class Yielding(ts.SPQRFactor):
    """Lets other threads run in the middle of factorize and of each batch of a sparse solve."""

    def _check_input_matrix(self, A, itype):
        time.sleep(0)
        return super()._check_input_matrix(A, itype)

    def _solve_dense(self, b, transpose):
        time.sleep(0)
        return super()._solve_dense(b, transpose)


def test_python_code_mid_call(shared):
    f, A, b, B, X = shared
    y = Yielding(A).factorize(A)
    expected = (f.solve(b), f.solve(B, rhs_batch_size=2))

    def run(k):
        for _ in range(REPEATS):
            y.factorize(A)  # the same values again: every thread's solves stay valid
            assert same((y.solve(b), y.solve(B, rhs_batch_size=2)), expected)

    run_together(run)


def test_warnings_mid_call():
    A = MATS[0]
    m, n = A.shape
    deficient = ts.spqr_factor(sparse.csc_array(sparse.hstack([A, A[:, :2]])))
    b = np.ones(m)
    with pytest.warns(ts.SPQRRankDeficiencyWarning):
        expected = deficient.solve(b)
    shown = []

    def show(message, category, *args, **kwargs):
        time.sleep(0)  # another thread runs while this solve waits
        if threading.current_thread().name.endswith("strict"):
            raise category(message)
        shown.append(category)

    def run(k):
        threading.current_thread().name += " strict" if k % 2 else ""
        for _ in range(REPEATS):
            try:
                assert same(deficient.solve(b), expected)
            except ts.SPQRRankDeficiencyWarning:
                assert k % 2

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = show
        run_together(run)
    assert set(shown) == {ts.SPQRRankDeficiencyWarning} and len(shown) == REPEATS * THREADS // 2


class TestReinitialisedMidCall:
    """Python code that runs inside a call may re-initialise the factor itself (from this thread or
    another): the call must then refuse, never hand the library a factor that no longer fits."""

    def test_during_the_tolerance_warning(self):
        A, small = MATS[0], sparse.csc_array(sparse.eye_array(5, 3))
        f = ts.spqr_factor(A)
        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.showwarning = lambda *args, **kwargs: f.__init__(small)
            with pytest.raises(ValueError, match="shape of the input matrix"):
                f.factorize(A, tol=0.5)
        assert f.shape == (5, 3)

    def test_during_validation_of_a_sparse_x(self, monkeypatch):
        A = MATS[0]
        f = ts.spqr_factor(A)
        X = sparse.csc_array(np.ones((A.shape[0], 2)))
        validate = ts.validate_csc_input

        def validate_and_reinit(M, *args, **kwargs):
            if M is X:
                f.__init__(A)  # symbolic only
            return validate(M, *args, **kwargs)

        expected = f.qmult(X).toarray()
        monkeypatch.setattr(ts, "validate_csc_input", validate_and_reinit)
        # The call goes on with the factor it started with; later calls see the new one.
        assert np.allclose(f.qmult(X).toarray(), expected)
        assert not f.is_numeric
        with pytest.raises(AssertionError):
            f.qmult(X)

    def test_from_other_threads(self):
        A, small = MATS[0], sparse.csc_array(sparse.eye_array(5, 3))
        f = ts.spqr_factor(A)
        b = np.ones(A.shape[0])
        X = sparse.csc_array(np.ones((A.shape[0], 2)))

        def run(k):
            for r in range(REPEATS):
                try:
                    if k == 0:
                        f.__init__(small if r % 2 else A, use_singletons=True)
                    else:
                        f.factorize(A, tol=r % 3 * 0.1)
                        f.solve(b)
                        f.qmult(X)
                except (AssertionError, ValueError):
                    pass  # the factor changed under this thread: refused, not crashed

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            run_together(run)


def grid3(n):
    """The 7-point Laplacian of an n x n x n grid: few entries, much fill (a long factorization)."""
    I = sparse.identity(n)
    T = sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(n, n))
    return sparse.csc_array(sparse.kron(sparse.kron(T, I), I) + sparse.kron(sparse.kron(I, T), I)
                            + sparse.kron(sparse.kron(I, I), T))


def private_reads(f, b, B, X):
    """reads() without repr: a factor being re-factorized by another thread may be symbolic for a moment."""
    return (f.solve(b), f.solve(B, rhs_batch_size=4), f.qmult(B), f.qmult(X, "XQT"), f.perm, f.rank, f.shape)


def operands(A):
    m = A.shape[0]
    b = np.linspace(1, 2, m).astype(A.dtype)
    B = with_index_dtype(sparse.csc_array(random_csc(m, 6, 0.2, rng, A.dtype)), A.indptr.dtype)
    X = np.ones((2, m), A.dtype)
    return b, B, X


def test_shared_and_private_factors_hammered():
    """Every variant: half of the threads re-factorize one shared factor with the same values and read it,
    the other half build, factorize and copy factors of their own and read those."""
    work = [(A, *operands(A)) for A in MATS]
    shared_factors = [ts.spqr_factor(A) for A in MATS]
    expected = [private_reads(ts.spqr_factor(A), b, B, X) for A, b, B, X in work]

    def run(k):
        A, b, B, X = work[k % len(work)]
        f = shared_factors[k % len(work)]
        for _ in range(REPEATS):
            if k % 2:
                f.factorize(A)
                g = f
            else:
                g = ts.SPQRFactor(A).factorize(A).copy()
            assert same(private_reads(g, b, B, X), expected[k % len(work)])

    run_together(run)


def spoiled_patterns(A):
    """Index arrays that no call may follow: rows out of range or negative, pointers past the end."""
    m, n = A.shape
    wild = np.where(np.arange(A.nnz) % 2, 10 * m + 7, -3).astype(A.indices.dtype)
    past = A.indptr.copy()
    past[1:] = A.nnz * 4
    return wild, past


REFUSALS = (ValueError, IndexError, TypeError, ts.SPQRError)


def spoil_and_mend(pairs):
    """Writes each spoiled array into its target, lets other threads run, then writes the good one back
    and leaves it a moment: calls that found the arrays good may then have them spoiled under them."""
    for target, spoiled, good in pairs:
        np.copyto(target, spoiled)
        time.sleep(0)
        np.copyto(target, good)
        time.sleep(1e-3)


def call_while_spoiled(spoil, calls, rounds):
    """Threads 0 and 1 run spoil() until the others are done; each of those makes `rounds` calls from
    `calls`, in its own order, any of which may refuse (but not for want of memory). Returns how many
    answered."""
    stop = threading.Event()
    answered = []
    done = []

    def run(k):
        if k < 2:
            while not stop.is_set():
                spoil()
            return
        try:
            for r in range(rounds):
                try:
                    calls[(k + r) % len(calls)]()
                    answered.append(k)
                except REFUSALS as exc:
                    assert not isinstance(exc, ts.SPQROutOfMemoryError)
                time.sleep(0)  # the arrays change between calls too
        finally:
            done.append(k)
            if len(done) == THREADS - 2:
                stop.set()

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        run_together(run)
    return len(answered)


def test_callers_arrays_written_during_calls():
    """Two threads keep writing wild indices, pointers and values into the arrays that six others pass to
    every SPQR entry point. A call refuses or answers; nothing crashes, and factors built before keep
    their results."""
    A0 = MATS[0]
    m, n = A0.shape
    b0, B0, X0 = operands(A0)
    A = sparse.csc_array(A0, copy=True)
    B = sparse.csc_array(B0, copy=True)
    H0, tau0, v0 = ts.spqr(A0, mode="householder")[0]
    H = sparse.csc_array(H0, copy=True)
    v = v0.copy()
    b = b0.copy()
    reader = ts.spqr_factor(A0)                   # used, never re-factorized
    refactorized = ts.spqr_factor(A0)             # re-factorized with whatever A holds
    expected = private_reads(ts.spqr_factor(A0), b0, B0, X0)
    wild, past = spoiled_patterns(A0)

    def spoil():
        spoil_and_mend(((A.indices, wild, A0.indices), (A.indptr, past, A0.indptr),
                        (B.indices, B0.indices[::-1].copy(), B0.indices), (H.indices, -H0.indices - 1, H0.indices),
                        (v, np.zeros_like(v0), v0), (b, np.full(m, np.nan), b0)))
        np.copyto(A.data, rng.standard_normal(A0.nnz))

    calls = [lambda: ts.spqr(A, mode="economic"), lambda: ts.spqr(A, mode="householder"),
             lambda: ts.SPQRFactor(A, use_singletons=True), lambda: refactorized.factorize(A),
             lambda: reader.qmult(B, "QTX"), lambda: reader.solve(b), lambda: reader.solve(B),
             lambda: ts.spqr_qmult((H, tau0, v), B), lambda: ts.spqr_qmult((H, tau0, v), X0.T.copy()),
             lambda: ts.spqr_solve(A, b)]
    assert call_while_spoiled(spoil, calls, REPEATS * 4) > 0
    assert same(private_reads(reader, b0, B0, X0), expected)
    refactorized.factorize(A0)
    assert same(private_reads(refactorized, b0, B0, X0), expected)


# The orderings and BTF work in place, holding the interpreter lock, on small arrays; from a few
# thousand index entries on they work on copies without it.
LARGE_SQUARE = with_index_dtype(symmetric_pattern(random_csc(600, 600, 0.01, rng) + sparse.eye_array(600)), np.int64)


@pytest.mark.parametrize("S0", [SQUARE[0], LARGE_SQUARE], ids=["in place", "on copies"])
def test_every_module_while_arrays_are_written(S0):
    """Every module at once on one square matrix whose index arrays two threads keep spoiling and mending:
    each call answers or refuses, and the same calls on an untouched copy afterwards give the results
    of before."""
    S = sparse.csc_array(S0, copy=True)
    c = np.arange(S0.shape[0]) % 3
    wild, past = spoiled_patterns(S0)
    work = [lambda M: tc.colamd(M), lambda M: tc.symamd(M), lambda M: tcc.ccolamd(M, c),
            lambda M: tcc.csymamd(M, c), lambda M: tca.camd(M, c), lambda M: tb.maxtrans(M),
            lambda M: tb.strongcomp(M), lambda M: tb.btf(M), lambda M: ts.spqr(M, mode="r"),
            lambda M: ts.spqr_factor(M).solve(np.ones(M.shape[0]))]
    expected = [call(S0) for call in work]
    spoil = lambda: spoil_and_mend(((S.indices, wild, S0.indices), (S.indptr, past, S0.indptr)))  # noqa: E731
    assert call_while_spoiled(spoil, [lambda call=call: call(S) for call in work], REPEATS * 2) > 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert all(same(call(S0), e) for call, e in zip(work, expected))


@pytest.mark.parametrize("call", [
    lambda A, f: ts.spqr_factor(A),
    lambda A, f: ts.spqr(A, mode="r"),
    lambda A, f: f.solve(np.ones((A.shape[0], 100))),
], ids=["factorize", "spqr", "solve"])
def test_other_threads_run_during_a_long_call(call):
    """A pure-Python thread that counts (a beat every millisecond) keeps counting while the library works:
    its longest pause during the call is a small part of the call, not the whole of it."""
    A = grid3(16)
    f = ts.spqr_factor(A)  # also a first run, so the call below spends its time in the library
    pauses = []
    stop = threading.Event()

    def count():
        last = time.perf_counter()
        while not stop.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            pauses.append((now - last, last, now))
            last = now

    counter = threading.Thread(target=count)
    counter.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        call(A, f)
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    longest = max(gap for gap, before, after in pauses if after >= start and before <= end)
    assert longest < 0.5 * (end - start), (longest, end - start)


def test_triangular_solve_under_writes_gives_old_or_new_answer():
    # spqr_rank's solves with R: the call copies T and B, then solves without the lock.
    T, D = triangle(200, seed=3)
    B = np.random.default_rng(4).standard_normal((200, 4))
    k = int(T.indptr[121]) - 1  # the diagonal of column 120
    pivot = T.data[k]
    at = int(T.indptr[150])  # an entry above the diagonal of column 150
    row = int(T.indices[at])
    D_new, B_new = D.copy(), B.copy()
    D_new[120, 120], B_new[7, 2] = 2 * pivot, 5.0
    answers = {adj: [reference(d, b, adj) for d in (D, D_new) for b in (B, B_new)] for adj in (False, True)}
    # One change per pass of the inner loop, whose backward jump lets the solving thread in.
    changes = [(T.data, k, 2 * pivot), (B, (7, 2), 5.0), (T.indices, at, 10_000), (T.indices, at, row),
               (T.data, k, pivot), (B, (7, 2), B[7, 2])]
    stop = threading.Event()

    def mutate():
        while not stop.is_set():
            for array, where, value in changes:
                array[where] = value

    worker = threading.Thread(target=mutate)
    with fast_switching():
        worker.start()
        try:
            for i in range(300):
                adjoint = bool(i % 2)
                try:
                    X = ts._solve_triangular(T, B, adjoint=adjoint)
                except ValueError as e:
                    assert "out of range" in str(e)
                    continue
                assert any(np.allclose(X, a, rtol=1e-10, atol=1e-10) for a in answers[adjoint])
        finally:
            stop.set()
            worker.join()
