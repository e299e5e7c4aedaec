"""One factor, many threads: each call sees the factor as one state, before or after what other threads do.

Threads re-initialise, re-factorize, copy and solve with one shared factor while the interpreter switches
between them as often as it can (or runs them at once, without a GIL). Every result must be one of the
consistent answers, the one for A or the one for A2, whole: never columns of both, never a sparse result
whose index width is not that of the factor that solved it, never an error about a factor half built.
"""

from __future__ import annotations

import pickle
import subprocess
import sys
import sysconfig
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from scipy import sparse

import tarnix.colamd as tc
import tarnix.spqr as ts

from support import child_env, fast_switching, random_csc, run_python, with_index_dtype

SECONDS = 1.5


def hammer(workers, seconds=SECONDS):
    """Runs each worker(stop) in its own thread until `seconds` have passed; re-raises the first failure."""
    stop = threading.Event()
    failures = []

    def body(work):
        try:
            work(stop)
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)
            stop.set()

    threads = [threading.Thread(target=body, args=(w,)) for w in workers]
    with fast_switching():
        for t in threads:
            t.start()
        stop.wait(seconds)
        stop.set()
        for t in threads:
            t.join(60)
    assert not any(t.is_alive() for t in threads), "a thread hangs"
    if failures:
        raise failures[0]


def two_matrices(index_dtype=np.int32):
    """A and A2: the same pattern, other values (rows > columns, full rank)."""
    rng = np.random.default_rng(7)
    A = sparse.csc_array(random_csc(60, 40, 0.08, rng) + sparse.eye_array(60, 40) * 4)
    A.sum_duplicates()
    A2 = A.copy()
    A2.data = A2.data * np.linspace(0.5, 2.0, A2.nnz) + 1.0
    return with_index_dtype(A, index_dtype), with_index_dtype(A2, index_dtype)


def wide_rhs(m, k=150):
    """A sparse b wider than the default batch (100 columns)."""
    rng = np.random.default_rng(3)
    return sparse.csc_array(random_csc(m, k, 0.05, rng) + sparse.eye_array(m, k))


def reinitialise(f, *matrices):
    """A worker that analyses and factorizes each matrix in turn with f.__init__, over and over."""

    def work(stop):
        while not stop.is_set():
            for M in matrices:
                f.__init__(M, use_singletons=True)

    return work


def dense_of(x):
    return x.toarray() if sparse.issparse(x) else np.asarray(x)


def which(x, answers):
    """The index of the answer x is (all of it, to rounding), else None."""
    got = dense_of(x)
    for k, answer in enumerate(answers):
        if got.shape == answer.shape and np.allclose(got, answer, rtol=1e-10, atol=1e-12):
            return k
    return None


class TestSolvesAgainstOneState:
    def answers(self, A, A2, b):
        return [dense_of(ts.spqr_factor(M).solve(b)) for M in (A, A2)]

    @pytest.mark.parametrize("batch", [1, 100], ids=["batch1", "default-batch"])
    def test_refactorized_between_batches(self, batch):
        A, A2 = two_matrices()
        b = wide_rhs(A.shape[0])
        expected = self.answers(A, A2, b)
        f = ts.spqr_factor(A)
        seen = set()

        def refactorize(stop):
            while not stop.is_set():
                f.factorize(A2)
                f.factorize(A)

        def solve(stop):
            while not stop.is_set():
                x = f.solve(b, rhs_batch_size=batch)
                k = which(x, expected)
                assert k is not None, "a solution mixing the factorizations of A and A2"
                seen.add(k)

        hammer([refactorize, solve, solve])
        assert seen

    def test_reinitialised_with_another_index_width(self):
        """__init__ alternates between int32 and int64 indices: a sparse result has the width of the factor
        that made it, and a dense one is whole too."""
        A, A2 = two_matrices()
        A2 = with_index_dtype(A2, np.int64)
        b = wide_rhs(A.shape[0])
        bd = b.toarray()
        expected = self.answers(A, A2, b)
        widths = [np.int32, np.int64]
        f = ts.spqr_factor(A)

        def solve_sparse(stop):
            while not stop.is_set():
                x = f.solve(b)
                k = which(x, expected)
                assert k is not None, "a solution mixing two analyses"
                assert x.indptr.dtype == widths[k] and x.indices.dtype == widths[k]

        def solve_dense(stop):
            while not stop.is_set():
                assert which(f.solve(bd, rhs_batch_size=1), expected) is not None

        def read(stop):
            while not stop.is_set():
                text = repr(f)
                assert ("'int32' indices" in text) or ("'int64' indices" in text)
                assert f.shape == A.shape and f.dtype == np.float64
                assert f.rank == A.shape[1] and f.info is not None

        hammer([reinitialise(f, A2, A), solve_sparse, solve_dense, read])

    def test_copies_and_solves_while_reinitialised(self):
        A, A2 = two_matrices()
        b = wide_rhs(A.shape[0], 20)
        expected = self.answers(A, A2, b)
        f = ts.spqr_factor(A)

        def change(stop):
            k = 0
            while not stop.is_set():
                k += 1
                if k % 2:
                    f.__init__(A2 if k % 4 == 1 else A, use_singletons=True)
                else:
                    f.factorize(A2 if k % 4 == 2 else A)

        def copy_and_solve(stop):
            while not stop.is_set():
                g = f.copy()
                assert which(g.solve(b, rhs_batch_size=7), expected) is not None
                assert which(g.solve(b.toarray()), expected) is not None

        def solve(stop):
            while not stop.is_set():
                assert which(f.solve(b, rhs_batch_size=1), expected) is not None

        hammer([change, copy_and_solve, solve])

    def test_qmult_sees_one_state(self):
        A, A2 = two_matrices()
        X = sparse.csc_array(np.eye(A.shape[0])[:, :30])
        expected = [ts.spqr_factor(M).qmult(X).toarray() for M in (A, A2)]
        f = ts.spqr_factor(A)

        def qmult(stop):
            while not stop.is_set():
                assert which(f.qmult(X), expected) is not None
                assert which(f.qmult(X.toarray()), expected) is not None

        hammer([reinitialise(f, A2, A), qmult, qmult])


@pytest.mark.parametrize("scenario", ["test_refactorized_between_batches", "test_reinitialised_with_another_index_width"])
def test_in_a_child_interpreter(scenario):
    """The same races in a fresh interpreter, where a crash is a failure of this test rather than of the run."""
    out = run_python(f"""
        import sys
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        import test_threads_state as t
        case = t.TestSolvesAgainstOneState()
        if {scenario!r} == "test_refactorized_between_batches":
            case.test_refactorized_between_batches(1)
        else:
            case.test_reinitialised_with_another_index_width()
        print("ok")
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["ok"]


class Slow(ts.SPQRFactor):
    """Holds each batch of a sparse solve until told to go on."""

    inside = None
    go_on = None

    def _solve_dense(self, b, transpose):
        type(self).inside.set()
        type(self).go_on.wait(10)
        return super()._solve_dense(b, transpose)


class TestWithinOneCall:
    def test_refactorization_waits_for_the_call(self):
        A, A2 = two_matrices()
        b = wide_rhs(A.shape[0], 4)
        expected = TestSolvesAgainstOneState().answers(A, A2, b)
        Slow.inside, Slow.go_on = threading.Event(), threading.Event()
        f = Slow(A).factorize(A)
        result = []
        solver = threading.Thread(target=lambda: result.append(f.solve(b, rhs_batch_size=1)))
        solver.start()
        assert Slow.inside.wait(10)
        done = threading.Event()
        refactorizer = threading.Thread(target=lambda: (f.factorize(A2), done.set()))
        refactorizer.start()
        time.sleep(0.2)
        assert not done.is_set(), "factorize ran in the middle of a solve"
        Slow.go_on.set()
        solver.join(10)
        refactorizer.join(10)
        assert done.is_set() and which(result[0], expected) == 0
        assert which(f.solve(b), expected) == 1

    def test_refactorization_from_inside_the_call_is_refused(self):
        A, A2 = two_matrices()
        b = wide_rhs(A.shape[0], 3)

        class Inner(ts.SPQRFactor):
            active = True

            def _solve_dense(self, b, transpose):
                if self.active:
                    self.factorize(A2)
                return super()._solve_dense(b, transpose)

        f = Inner(A).factorize(A)
        with pytest.raises(RuntimeError, match="in use by this thread"):
            f.solve(b, rhs_batch_size=1)
        Inner.active = False  # the factor was left as it was, and is free again
        assert np.allclose(f.solve(b.toarray()[:, 0]), ts.spqr_factor(A).solve(b.toarray()[:, 0]))

    def test_reinitialisation_from_inside_the_call_is_for_the_next(self):
        """A callback that re-initialises the factor mid-call: this call finishes with the factor it
        started with (its shape, its dtype, its index width), the next ones use the new one."""
        A, _ = two_matrices()
        small = sparse.csc_array(np.diag([1.0, 2.0, 4.0]) + 0j)
        b = wide_rhs(A.shape[0], 5)

        class Reinit(ts.SPQRFactor):
            def _solve_dense(self, b, transpose):
                if self.shape != (3, 3):
                    Reinit.__init__(self, small, use_singletons=True)
                assert self.shape == A.shape and self.dtype == np.float64
                return super()._solve_dense(b, transpose)

        f = Reinit(A, use_singletons=True)
        x = f.solve(b, rhs_batch_size=2)
        assert which(x, [dense_of(ts.spqr_factor(A).solve(b))]) == 0 and x.indices.dtype == np.int32
        assert f.shape == (3, 3) and f.dtype == np.complex128


def test_two_calls_that_wait_for_each_others_factor():
    """Python code run inside a call on f uses g while another thread's call on g uses f: a wait that
    would never end is refused with RuntimeError; nothing hangs, and both factors work afterwards."""
    A, _ = two_matrices()
    b = wide_rhs(A.shape[0], 2)
    both_inside = threading.Barrier(2)
    nested = threading.local()

    class Crossing(ts.SPQRFactor):
        other = None

        def _solve_dense(self, rhs, transpose):
            if not getattr(nested, "active", False):
                nested.active = True
                both_inside.wait(10)
                self.other.solve(rhs[:, 0])
            return super()._solve_dense(rhs, transpose)

    f, g = Crossing(A, use_singletons=True), Crossing(A, use_singletons=True)
    f.other, g.other = g, f
    outcomes = []

    def run(factor):
        try:
            factor.solve(b, rhs_batch_size=1)
            outcomes.append("ok")
        except RuntimeError as exc:
            outcomes.append(str(exc))

    threads = [threading.Thread(target=run, args=(h,)) for h in (f, g)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads), "two calls wait for each other"
    refusal = ("This object is held by a thread that waits for one this thread holds; the call is refused "
               "rather than wait for ever.")
    assert refusal in outcomes and set(outcomes) <= {"ok", refusal}
    nested.active = True
    expected = dense_of(ts.spqr_factor(A).solve(b))
    assert which(f.solve(b), [expected]) == 0 and which(g.solve(b), [expected]) == 0


def test_fork_while_another_thread_holds_the_factor():
    """A child made while another thread is inside a call on a factor: that factor refuses there, clearly;
    it never hangs; other factors work."""
    out = run_python("""
        import os, threading, signal
        import numpy as np
        from scipy import sparse
        import tarnix.spqr as ts

        inside, go_on = threading.Event(), threading.Event()
        class Slow(ts.SPQRFactor):
            def _solve_dense(self, b, transpose):
                inside.set()
                go_on.wait(20)
                return super()._solve_dense(b, transpose)

        A = sparse.csc_array(np.diag([1.0, 2.0, 4.0]))
        f = Slow(A, use_singletons=True)
        b = sparse.csc_array(np.ones((3, 2)))
        t = threading.Thread(target=lambda: f.solve(b, rhs_batch_size=1))
        t.start()
        inside.wait(20)
        pid = os.fork()
        if pid == 0:
            signal.alarm(10)  # a hang ends the child with SIGALRM
            try:
                f.solve(np.ones(3))
                print("worked", flush=True)
            except RuntimeError as exc:
                print("refused:", exc, flush=True)
            # os._exit skips the flush of a buffered stdout (a pipe, unless
            # PYTHONUNBUFFERED is set)
            print("fresh", ts.spqr_factor(A).solve(np.ones(3)).tolist(), flush=True)
            os._exit(0)
        go_on.set()
        t.join()
        _, status = os.waitpid(pid, 0)
        print("child", os.waitstatus_to_exitcode(status))
        print("parent", f.solve(np.ones(3)).tolist())
    """, "-W", "ignore::DeprecationWarning")
    lines = out.stdout.splitlines()
    assert out.returncode == 0, out.stderr
    assert lines[0] in ("worked", "refused: This object was in use by another thread when the process forked; "
                                  "it cannot be used in the child process."), lines
    assert lines[1:] == ["fresh [1.0, 0.5, 0.25]", "child 0", "parent [1.0, 0.5, 0.25]"]


class TestFunctionAttributes:
    """The package's own function objects: attributes set by some threads while others read them."""

    def test_set_and_read_while_signature_is_built(self):
        fn = tc.colamd
        saved = fn.__doc__, fn.__annotations__

        def write(stop):
            k = 0
            while not stop.is_set():
                k += 1
                fn.__annotations__ = {"A": f"ann{k}", "return": int}
                fn.__doc__ = f"doc {k}"
                fn.__annotations__["A"] = "changed"
                fn.__annotations__ = None

        def read(stop):
            while not stop.is_set():
                sig = fn.__signature__
                assert list(sig.parameters)[0] == "A"
                assert fn.__doc__ is not None
                assert isinstance(fn.__annotations__, dict)

        try:
            hammer([write, read, read], seconds=1.0)
        finally:
            fn.__doc__, fn.__annotations__ = saved

    def test_annotation_key_that_replaces_the_dict(self):
        """A key whose __eq__ replaces the function's __annotations__ while __signature__ looks it up."""
        out = run_python("""
            import gc
            import tarnix.colamd as tc
            fn = tc.colamd
            class Key(str):
                def __hash__(self):
                    return hash("A")
                def __eq__(self, other):
                    fn.__annotations__ = {"return": "replaced"}
                    gc.collect()
                    [bytearray(64) for _ in range(1000)]
                    return False
            for _ in range(50):
                fn.__annotations__ = {Key("B"): 1}
                sig = fn.__signature__
            print(list(sig.parameters)[0])
        """)
        assert out.returncode == 0, out.stderr
        assert out.stdout.split() == ["A"]


def test_info_record_set_while_read():
    """__setstate__ on a shared SPQRInfo while others read it: a pickled copy is one state or the other."""
    A, A2 = two_matrices()
    infos = [ts.spqr_factor(M).info for M in (A, A2)]
    assert infos[0] != infos[1]
    shared = pickle.loads(pickle.dumps(infos[0]))
    states = [info.__reduce__()[2] for info in infos]

    def write(stop):
        while not stop.is_set():
            for state in states:
                shared.__setstate__(state)

    def read(stop):
        while not stop.is_set():
            assert pickle.loads(pickle.dumps(shared)) in infos
            assert repr(shared) and isinstance(hash(shared), int) and shared.rank_A_estimate == A.shape[1]

    hammer([write, read, read], seconds=1.0)


def test_imports_leave_the_gil_off():
    """On a free-threaded interpreter no tarnix module turns the GIL back on."""
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        pytest.skip("an interpreter with the GIL")
    env = child_env()
    env.pop("PYTHON_GIL", None)
    code = ("import sys, tarnix.btf, tarnix.camd, tarnix.ccolamd, tarnix.cholmod, tarnix.colamd, tarnix.spqr; "
            "print(sys._is_gil_enabled())")
    out = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code], capture_output=True,
                         text=True, timeout=120, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["False"]
