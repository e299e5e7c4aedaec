"""The ordering and BTF libraries run without the interpreter lock.

Each call hands its library copies of the caller's arrays that only the call
references, and copies the results back once it holds the lock again. So
many threads may call at once (their results are those of one thread), other
threads may rewrite the caller's arrays meanwhile (a wrong answer is allowed,
as in NumPy, a crash or a write elsewhere is not), and a thread that runs
pure Python keeps running during a long call.
"""

from __future__ import annotations

import sys
import threading
import time

import numpy as np
import pytest
from scipy import sparse

import tarnix.btf as tb
import tarnix.camd as tca
import tarnix.ccolamd as tcc
import tarnix.colamd as tc

from support import run_python, with_index_dtype
from test_threads import run_together, same

THREADS = 8
REPEATS = 6


def grid_laplacian(k, index_dtype=np.int32):
    """The 5-point Laplacian of a k x k grid, canonical, in the given index width."""
    one = sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(k, k))
    eye = sparse.eye_array(k)
    A = sparse.csc_array(sparse.kron(one, eye) + sparse.kron(eye, one))
    A.sum_duplicates()
    return with_index_dtype(A, index_dtype)


def shuffled_rows(A, seed):
    """A with its rows permuted: maxtrans and btf then have to search."""
    perm = np.random.default_rng(seed).permutation(A.shape[0])
    B = sparse.csc_array(A[perm])
    B.sort_indices()
    return with_index_dtype(B, A.indptr.dtype)


def private_calls(A):
    """Calls of the two-width functions on fresh arrays, each returning what it wrote."""
    n = A.shape[0]
    dtype = A.indptr.dtype

    def colamd(fn, *lead):
        def call():
            perm = np.zeros(n + 1, dtype)
            stats = np.zeros(20, dtype)
            fn(*lead, A.indptr, A.indices.copy(), perm, _knobs(), stats)
            return perm[:n], stats
        return call

    def camd():
        p = np.zeros(n, dtype)
        ctrl = np.array([10.0, 1.0, 0.0, 0.0, 0.0])
        info = np.zeros(20)
        tca._camd_order(n, A.indptr, A.indices, p, ctrl, info, np.arange(n, dtype=dtype) % 3)
        return p, info[:3]

    def maxtrans():
        jmatch = np.zeros(n, dtype)
        tb._maxtrans(n, n, A.indptr, A.indices, 0.0, jmatch)
        return jmatch

    def strongcomp():
        q = np.arange(n, dtype=dtype)[::-1].copy()
        p = np.zeros(n, dtype)
        r = np.zeros(n + 1, dtype)
        nblocks = tb._strongcomp(n, A.indptr, A.indices, q, p, r)
        return q, p, r[: nblocks + 1]

    def btf():
        p, q, r = (np.zeros(k, dtype) for k in (n, n, n + 1))
        nblocks = tb._btf(n, A.indptr, A.indices, 0.0, p, q, r)
        return p, q, r[: nblocks + 1]

    return {
        "_colamd": colamd(tc._colamd, n, n),
        "_symamd": colamd(tc._symamd, n, n),
        "_ccolamd": colamd(tcc._ccolamd, n, n),
        "_csymamd": colamd(tcc._csymamd, n),
        "_camd_order": camd,
        "_maxtrans": maxtrans,
        "_strongcomp": strongcomp,
        "_btf": btf,
    }


def _knobs():
    knobs = np.zeros(20)
    knobs[:3] = (10.0, 10.0, 1.0)
    return knobs


def public_calls(A):
    n = A.shape[0]
    sets = np.arange(n) % 4
    q = np.arange(n, dtype=A.indptr.dtype)
    return {
        "colamd": lambda: tc.colamd(A, return_info=True),
        "symamd": lambda: tc.symamd(A),
        "ccolamd": lambda: tcc.ccolamd(A, constraints=sets),
        "csymamd": lambda: tcc.csymamd(A, constraints=sets, return_info=True),
        "camd": lambda: tca.camd(A, constraints=sets, return_info=True),
        "maxtrans": lambda: tb.maxtrans(A),
        "strongcomp": lambda: tb.strongcomp(A),
        "strongcomp q": lambda: tb.strongcomp(A, q.copy()),
        "btf": lambda: tb.btf(A),
    }


@pytest.fixture(scope="module", params=[np.int32, np.int64], ids=["int32", "int64"])
def matrices(request):
    base = grid_laplacian(40, request.param)
    return [base, shuffled_rows(base, 1), shuffled_rows(grid_laplacian(25, request.param), 2)]


def test_many_threads_agree_with_one(matrices):
    calls = {}
    for k, A in enumerate(matrices):
        for name, call in {**public_calls(A), **private_calls(A)}.items():
            calls[f"{name} #{k}"] = call
    expected = {name: call() for name, call in calls.items()}
    names = sorted(calls)

    def work(k):
        order = np.random.default_rng(k).permutation(len(names))
        for _ in range(REPEATS):
            for i in order:
                result = calls[names[i]]()
                assert same(result, expected[names[i]]), names[i]

    run_together(work)


# Errors a call may raise when another thread rewrites its arguments midway;
# an AssertionError is the orderings' report of a pattern that was copied
# unsorted or with duplicates (success, but not COLAMD_OK).
RACE_ERRORS = (ValueError, OverflowError, AssertionError, tc.COLAMDError, tcc.CCOLAMDError, tca.CAMDError)


def test_rewriting_the_callers_arrays_meanwhile(index_dtype):
    A = grid_laplacian(60, index_dtype)
    n = A.shape[0]
    Ap = A.indptr.copy()
    Ai = A.indices.copy()
    outputs = [np.zeros(n + 1, index_dtype) for _ in range(3)]
    stop = threading.Event()
    garbage = np.random.default_rng(5).integers(-3 * n, 3 * n, size=(8, Ai.size)).astype(index_dtype)

    def rewrite():
        k = 0
        while not stop.is_set():
            g = garbage[k % len(garbage)]
            np.copyto(Ai, g)                    # rows out of range, negative
            np.copyto(Ai, A.indices)
            Ap[1 + k % n] = g[0]                # pointers out of order or past the end
            Ap[:] = A.indptr
            for out in outputs:
                out[:] = g[: n + 1]
            k += 1

    def call(k):
        fns = [
            lambda: tc._symamd(n, n, Ap, Ai, outputs[0], _knobs(), np.zeros(20, index_dtype)),
            lambda: tc._colamd(n, n, Ap, Ai, outputs[1], _knobs(), np.zeros(20, index_dtype)),
            lambda: tcc._csymamd(n, Ap, Ai, outputs[2], _knobs(), np.zeros(20, index_dtype), None),
            lambda: tca._camd_order(n, Ap, Ai, outputs[0][:n], None, None, None),
            lambda: tb._maxtrans(n, n, Ap, Ai, 0.0, outputs[1][:n]),
            lambda: tb._strongcomp(n, Ap, Ai, None, outputs[0][:n], outputs[2]),
            lambda: tb._btf(n, Ap, Ai, 0.0, outputs[0][:n], outputs[1][:n], outputs[2]),
            lambda: tca.camd(sparse.csc_array((A.data, Ai, Ap), shape=A.shape, copy=False)),
        ]
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            for fn in fns:
                try:
                    fn()
                except RACE_ERRORS:
                    pass

    mutator = threading.Thread(target=rewrite)
    mutator.start()
    try:
        run_together(call, 4)
    finally:
        stop.set()
        mutator.join()
    # The modules' own state is intact: a clean call answers as before.
    assert np.array_equal(tca.camd(A), tca.camd(grid_laplacian(60, index_dtype)))
    assert same(tb.btf(A), tb.btf(grid_laplacian(60, index_dtype)))


# A NumPy kernel that let go of the interpreter lock keeps writing into its
# output while another thread holds the lock, even on arrays of a few
# hundred entries. Here one flips a bit high in every row index, turning
# them into rows far out of range and back, while small calls (which keep
# the lock) run on those arrays: they must see either the one pattern or the
# other, in their copies, and never read where the flipped rows point. In a
# fresh interpreter, so that a crash is reported as a failure.
def test_kernels_writing_meanwhile_into_a_small_calls_arrays():
    code = """
        import sys, threading, time
        import numpy as np
        from scipy import sparse
        import tarnix.btf as tb, tarnix.camd as tca, tarnix.ccolamd as tcc, tarnix.colamd as tc

        n = 450
        A = sparse.random_array((n, n), density=3.0 / n, format="csc", rng=1) + sparse.eye_array(n)
        A = sparse.csc_array(A + A.T)
        A.sort_indices()
        assert A.nnz < 4096
        Ap, Ai = A.indptr.astype(np.int32), A.indices.astype(np.int32)
        sets = np.zeros(n, np.int32)
        out, out2, stats = np.zeros(n + 1, np.int32), np.zeros(n + 1, np.int32), np.zeros(20, np.int32)
        knobs = np.zeros(20)
        knobs[:3] = (10.0, 10.0, 1.0)
        calls = [
            lambda: tb._maxtrans(n, n, Ap, Ai, 0.0, out[:n]),
            lambda: tb._strongcomp(n, Ap, Ai, None, out[:n], out2),
            lambda: tb._btf(n, Ap, Ai, 0.0, out[:n], out2[:n], np.zeros(n + 1, np.int32)),
            lambda: tca._camd_order(n, Ap, Ai, out[:n], None, None, None),
            lambda: tc._symamd(n, n, Ap, Ai, out, knobs, stats),
            lambda: tcc._csymamd(n, Ap, Ai, out, knobs, stats, sets),
        ]
        stop = False

        def flip():
            while not stop:
                np.bitwise_xor(Ai, 0x40000000, out=Ai)
                np.bitwise_xor(sets, 0x40000000, out=sets)

        # Hand the lock over often, so that calls often start while a kernel runs.
        sys.setswitchinterval(1e-5)
        thread = threading.Thread(target=flip)
        thread.start()
        try:
            for call in calls:
                deadline = time.monotonic() + 0.6
                while time.monotonic() < deadline:
                    try:
                        call()
                    except Exception:
                        pass
        finally:
            stop = True
            thread.join()
        print("done")
    """
    done = run_python(code)
    assert done.returncode == 0 and done.stdout.strip() == "done", (done.returncode, done.stderr[-2000:])


@pytest.fixture(scope="module")
def large():
    A = grid_laplacian(450)  # 1,012,500 stored entries
    assert A.nnz >= 1_000_000
    return A


def long_call(name, A, repeats=4):
    """Private calls on A: no Python code runs inside them, so with the lock held no other thread could.

    A few in a row, so that the whole lasts well beyond a switch interval on a quiet machine too.
    """
    n = A.shape[0]
    if name == "colamd":
        perm, stats = np.zeros(n + 1, np.int32), np.zeros(20, np.int32)
        one = lambda: tc._colamd(n, n, A.indptr, A.indices, perm, _knobs(), stats)  # noqa: E731
    else:
        p, info = np.zeros(n, np.int32), np.zeros(20)
        one = lambda: tca._camd_order(n, A.indptr, A.indices, p, None, info, None)  # noqa: E731

    def calls():
        for _ in range(repeats):
            one()

    return calls


def counting_rate(fn):
    """Increments per second that a pure-Python thread makes while fn() runs here."""
    count = 0
    stop = threading.Event()
    started = threading.Event()

    def counter():
        nonlocal count
        started.set()
        while not stop.is_set():
            count += 1

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        started.wait()
        start = time.perf_counter()
        before = count
        fn()
        during = count - before
        elapsed = time.perf_counter() - start
    finally:
        stop.set()
        thread.join()
    return during / elapsed, elapsed


@pytest.mark.parametrize("name", ["colamd", "camd"])
def test_other_threads_run_during_a_long_call(large, name):
    call = long_call(name, large)
    old = sys.getswitchinterval()
    sys.setswitchinterval(0.005)
    try:
        free, _ = counting_rate(lambda: time.sleep(0.2))
        during, elapsed = counting_rate(call)
    finally:
        sys.setswitchinterval(old)
    # Holding the lock, the call leaves the counter a switch interval or two
    # (about a tenth of its free rate, measured); released, the counter runs
    # through it, on a core of its own or sharing one (half to all of it).
    assert elapsed > 0.05
    assert during > 0.3 * free, f"counting at {during:.0f}/s during the call against {free:.0f}/s when free"


# The libraries write to the call's own arrays; what reaches the caller's is
# what the library wrote there before: the entries it sets, and nothing when
# it refused the input before writing.

SENTINEL = -7


# Small calls work in place, holding the lock; larger ones on copies.
IN_PLACE, ON_COPIES = 12, 70


@pytest.mark.parametrize("k", [IN_PLACE, ON_COPIES], ids=["in place", "on copies"])
def test_results_land_in_the_callers_arrays_as_written(index_dtype, k):
    A = shuffled_rows(grid_laplacian(k, index_dtype), 4)
    n = A.shape[0]
    # Longer outputs than needed: the entries past the library's keep their values.
    p = np.full(n + 3, SENTINEL, index_dtype)
    info = np.full(25, float(SENTINEL))
    tca._camd_order(n, A.indptr, A.indices, p, None, info, None)
    assert np.array_equal(np.sort(p[:n]), np.arange(n)) and (p[n:] == SENTINEL).all()
    assert info[0] == 0 and (info[20:] == SENTINEL).all()

    stats = np.full(23, SENTINEL, index_dtype)
    perm = np.full(n + 1, SENTINEL, index_dtype)
    tc._symamd(n, n, A.indptr, A.indices, perm, _knobs(), stats)
    assert np.array_equal(np.sort(perm[:n]), np.arange(n)) and stats[3] == 0 and (stats[20:] == SENTINEL).all()

    q = np.arange(n, dtype=index_dtype)[::-1].copy()
    p = np.full(n, SENTINEL, index_dtype)
    r = np.full(n + 1, SENTINEL, index_dtype)
    nblocks = tb._strongcomp(n, A.indptr, A.indices, q, p, r)
    expected = tb.strongcomp(A, np.arange(n)[::-1].copy())
    assert same((p, q, r[: nblocks + 1]), expected)


@pytest.mark.parametrize("k", [IN_PLACE, ON_COPIES], ids=["in place", "on copies"])
def test_a_refused_input_leaves_the_permutation_alone(index_dtype, k):
    A = grid_laplacian(k, index_dtype)
    n = A.shape[0]
    bad = A.indices.copy()
    bad[5] = n + 2  # a row index out of range: refused by the libraries themselves
    p = np.full(n, SENTINEL, index_dtype)
    info = np.zeros(20)
    with pytest.raises(tca.CAMDInvalidMatrixError):
        tca._camd_order(n, A.indptr, bad, p, None, info, None)
    assert (p == SENTINEL).all() and info[0] == -2

    for symamd, error in ((tc._symamd, tc.COLAMDValueError), (tc._colamd, tc.COLAMDValueError)):
        perm = np.full(n + 1, SENTINEL, index_dtype)
        stats = np.zeros(20, index_dtype)
        with pytest.raises(error):
            symamd(n, n, A.indptr, bad.copy(), perm, _knobs(), stats)
        assert stats[3] == -9  # the library's status reaches the caller's stats
        if symamd is tc._symamd:
            assert (perm == SENTINEL).all()
    perm = np.full(n + 1, SENTINEL, index_dtype)
    with pytest.raises(tcc.CCOLAMDValueError):
        tcc._csymamd(n, A.indptr, bad, perm, _knobs(), np.zeros(20, index_dtype), None)
    assert (perm == SENTINEL).all()


@pytest.mark.parametrize("k", [IN_PLACE, ON_COPIES], ids=["in place", "on copies"])
def test_bad_arrays_are_refused_alike_in_place_and_on_copies(index_dtype, k):
    A = grid_laplacian(k, index_dtype)
    n = A.shape[0]
    Ap, Ai = A.indptr, A.indices
    rows = Ai.copy()
    rows[7] = n
    pointers = Ap.copy()
    pointers[3] = pointers[4] + 1  # decreasing
    past = Ap.copy()
    past[2] = Ai.size + 1
    sets = np.zeros(n, index_dtype)
    sets[1] = n
    z = lambda size: np.zeros(size, index_dtype)  # noqa: E731
    row_message = f"row index Ai[7] = {n} is out of range for {n} rows"
    cases = [
        (lambda: tb._maxtrans(n, n, Ap, rows, 0.0, z(n)), row_message),
        (lambda: tb._btf(n, Ap, rows, 0.0, z(n), z(n), z(n + 1)), row_message),
        (lambda: tb._strongcomp(n, pointers, Ai, None, z(n), z(n + 1)),
         f"Ap must be non-decreasing, but Ap[3] = {pointers[3]} > Ap[4] = {pointers[4]}"),
        (lambda: tc._symamd(n, n, past, Ai, z(n + 1), _knobs(), z(20)),
         f"Ap[2] = {Ai.size + 1} points past the end of Ai ({Ai.size} entries)"),
        (lambda: tca._camd_order(n, past, Ai, z(n), None, None, None),
         f"Ap[2] = {Ai.size + 1} points past the end of Ai ({Ai.size} entries)"),
        (lambda: tcc._csymamd(n, Ap, Ai, z(n + 1), _knobs(), z(20), sets),
         f"Constraints must lie in 0..N-1 = 0..{n - 1}, got constraints[1] = {n}"),
        (lambda: tcc._ccolamd(n, n, Ap, Ai, z(n + 1), _knobs(), z(20), sets),
         f"Constraints must lie in 0..N-1 = 0..{n - 1}, got constraints[1] = {n}"),
        (lambda: tca._camd_order(n, Ap, Ai, z(n), None, None, sets),
         f"Constraints must lie in 0..N-1 = 0..{n - 1}, got constraints[1] = {n}"),
        (lambda: tb._strongcomp(n, Ap, Ai, np.zeros(n, index_dtype), z(n), z(n + 1)),
         "qin[1] = 0 names column 0 a second time"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError) as err:
            call()
        assert str(err.value) == message
