"""Behaviour every extension module shares: function objects, the import guard, buffer arguments."""

import array
import inspect
import pickle
import pydoc
import sys
import threading
import time

import numpy as np
import pytest
from scipy import sparse

import tarnix.btf as tb
import tarnix.colamd as colamd_module
from support import run_python, testing_hooks
from tarnix._modules import MODULES as REGISTRY

MODULES = [f"tarnix.{m.name}" for m in REGISTRY if m.extension]


class TestFunctionObjects:
    def test_introspection(self):
        f = colamd_module.colamd
        assert f.__name__ == f.__qualname__ == "colamd"
        assert f.__module__ == "tarnix.colamd"
        assert str(inspect.signature(f)) == (
            "(A, dense_row_thresh=None, dense_col_thresh=None, aggressive=None, return_info=False)")
        assert f.__defaults__ == (None, None, None, False) and f.__kwdefaults__ is None
        assert inspect.isroutine(f) and callable(f)
        assert repr(f).startswith("<function colamd at ")

    def test_help_shows_signature_and_doc(self):
        # Newer pydoc wraps long signatures over lines: compare without blanks.
        flat = lambda text: "".join(text.split())  # noqa: E731
        text = pydoc.render_doc(colamd_module.colamd, renderer=pydoc.plaintext)
        assert "colamd(A,dense_row_thresh=None" in flat(text) and "Parameters" in text
        module_text = pydoc.render_doc(colamd_module, renderer=pydoc.plaintext)
        assert "symamd(A,dense_row_thresh=None" in flat(module_text)

    def test_pickled_by_reference(self):
        assert pickle.loads(pickle.dumps(colamd_module.colamd)) is colamd_module.colamd
        cls_method = colamd_module.COLAMDStats.from_array
        assert pickle.loads(pickle.dumps(cls_method)) == cls_method

    def test_doc_is_writable(self):
        f = colamd_module.colamd_get_defaults
        old = f.__doc__
        try:
            f.__doc__ = "changed"
            assert f.__doc__ == "changed"
        finally:
            f.__doc__ = old

    def test_not_instantiable(self):
        with pytest.raises(TypeError):
            type(colamd_module.colamd)()

    def test_class_method_binding(self):
        from_array = colamd_module.COLAMDStats.from_array
        assert from_array.__self__ is colamd_module.COLAMDStats
        assert str(inspect.signature(from_array)) == "(stats: 'np.ndarray') -> 'COLAMDStats'"


@pytest.mark.parametrize("name", MODULES)
def test_surface_second_interpreter_is_refused(name):
    proc = run_python(
        f"""
        import sys
        import {name}
        code = "import {name}"
        try:
            if sys.version_info >= (3, 13):
                import _interpreters as interpreters
                interp = interpreters.create("legacy")
                result = interpreters.exec(interp, code)  # an exception snapshot, or None
                print(result.msg if result is not None else "imported")
                raise SystemExit
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(**({{"isolated": False}} if sys.version_info >= (3, 12) else {{}}))
        except (ImportError, AttributeError, TypeError):
            print("skip")
            raise SystemExit
        try:
            interpreters.run_string(interp, code)
        except Exception as e:
            print(e)
        """
    )
    if proc.stdout.strip() == "skip":
        pytest.skip("no subinterpreter support")
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in \
        proc.stdout, proc.stderr


class TestBufferArguments:
    """The private two-width functions take any buffer of signed 4- or 8-byte integers."""

    A = sparse.csc_array(sparse.eye_array(4) + sparse.eye_array(4, k=1) + sparse.eye_array(4, k=-3))

    def strongcomp(self, convert, out):
        p, r = out(4), out(5)
        nblocks = tb._strongcomp(4, convert(self.A.indptr), convert(self.A.indices), None, p, r)
        return nblocks, [int(v) for v in p], [int(v) for v in r][: nblocks + 1]

    @pytest.mark.parametrize("convert, out", [
        (lambda a: array.array("i", a), lambda n: array.array("i", [0] * n)),
        (lambda a: array.array("q", a), lambda n: array.array("q", [0] * n)),
        (lambda a: array.array("l", a), lambda n: array.array("l", [0] * n)),
        (lambda a: memoryview(a.astype("<i4")), lambda n: memoryview(bytearray(4 * n)).cast("i")),
        (lambda a: memoryview(a.astype("=i8")), lambda n: np.zeros(n, np.int64)),
    ], ids=["array-i", "array-q", "array-l", "memoryview-<i4", "memoryview-=i8"])
    def test_accepted(self, convert, out):
        reference = self.strongcomp(lambda a: a, lambda n: np.zeros(n, self.A.indptr.dtype))
        assert self.strongcomp(convert, out) == reference

    @pytest.mark.parametrize("convert", [
        lambda a: bytes(a.astype(np.int32)),
        lambda a: array.array("I", a),
        lambda a: array.array("d", a),
        lambda a: array.array("h", a),
        lambda a: memoryview(a.astype(">i4")),
        lambda a: memoryview(a.astype(np.int32).reshape(1, -1)),
    ], ids=["bytes", "unsigned", "double", "short", "big-endian", "2-d"])
    def test_no_signature(self, convert):
        with pytest.raises(TypeError, match="^No matching signature found$"):
            self.strongcomp(convert, lambda n: array.array("i", [0] * n))

    def test_outputs_must_match_and_be_writable(self):
        with pytest.raises(ValueError, match="Buffer dtype mismatch for argument 'p'"):
            self.strongcomp(lambda a: a.astype(np.int32), lambda n: array.array("q", [0] * n))
        with pytest.raises(BufferError):
            self.strongcomp(lambda a: array.array("i", a), lambda n: memoryview(bytes(4 * n)).cast("i"))


class TestFunctionsAsClassAttributes:
    """Module functions never bind, whichever path the interpreter takes to call them."""

    A = sparse.csc_array(sparse.eye_array(4) + sparse.eye_array(4, k=1))

    def test_every_module_function_is_left_unbound(self):
        import importlib

        seen = 0
        for name in MODULES:
            module = importlib.import_module(name)
            for attr in dir(module):
                f = getattr(module, attr)
                if repr(type(f)) != "<class 'tarnix.function'>":
                    continue
                seen += 1
                holder = type("Holder", (), {"f": f})
                assert holder.f is f and holder().f is f, f"{name}.{attr}"
                assert f.__get__(holder(), holder) is f
        assert seen >= 30

    def test_called_through_an_instance(self):
        class Orderings:
            order = tb.maxtrans
            col = colamd_module.colamd

            def via_self(self, A):
                return self.order(A)  # method-call bytecode

        expected = tb.maxtrans(self.A)
        h = Orderings()
        assert np.array_equal(h.order(self.A), expected)
        assert np.array_equal((h.order)(self.A), expected)
        assert np.array_equal(getattr(h, "order")(self.A), expected)
        assert np.array_equal(h.via_self(self.A), expected)
        assert np.array_equal(Orderings.order(self.A), expected)
        assert np.array_equal(h.col(self.A, return_info=False), colamd_module.colamd(self.A))
        # tp_call, the path of PyObject_Call with a tuple and a dict
        assert np.array_equal(type(tb.maxtrans).__call__(tb.maxtrans, *(self.A,), **{}), expected)

    def test_methods_still_bind(self):
        import tarnix.spqr as ts

        f = ts.spqr_factor(sparse.csc_array(sparse.eye_array(3)))
        b = np.ones(3)
        np.testing.assert_allclose(f.solve(b), b)
        np.testing.assert_allclose(type(f).solve(f, b), b)
        assert colamd_module.COLAMDStats.from_array(list(range(7))).info3 == 6


class TestExceptionContext:
    """The conversion error behind a clearer message survives the caller's own except block."""

    A = sparse.csc_array(sparse.eye_array(4) + sparse.eye_array(4, k=1))

    @pytest.mark.parametrize("call", [
        lambda A: __import__("tarnix.ccolamd").ccolamd.ccolamd(A, constraints=object()),
        lambda A: __import__("tarnix.ccolamd").ccolamd.csymamd(A, constraints=[None] * 4),
        lambda A: __import__("tarnix.camd").camd.camd(A, constraints=object()),
        lambda A: tb.strongcomp(A, object()),
    ], ids=["ccolamd", "csymamd", "camd", "strongcomp"])
    def test_inside_an_except_block(self, call):
        handled = KeyError("the caller's own")
        try:
            try:
                raise handled
            except KeyError:
                call(self.A)
        except TypeError as exc:
            err = exc
        assert str(err) in ("Constraints must be an array of integers.", "qin must be an integer array.")
        conversion = err.__context__
        assert isinstance(conversion, TypeError) and conversion is not err
        assert conversion.__context__ is handled  # the chain goes on, as with `raise` in Python
        assert err.__cause__ is None and not err.__suppress_context__

    def test_outside_an_except_block(self):
        with pytest.raises(TypeError) as info:
            tb.strongcomp(self.A, object())
        assert isinstance(info.value.__context__, TypeError) and info.value.__context__.__context__ is None


class TestObjectLock:
    """The lock factors take when several threads use one (through the probe of tarnix._testing)."""

    def test_a_call_from_inside_is_refused_not_deadlocked(self):
        hooks = testing_hooks()
        with pytest.raises(RuntimeError, match="in use by this thread"):
            hooks.with_object_lock(lambda: hooks.with_object_lock(lambda: None))
        assert hooks.with_object_lock(lambda: 42) == 42  # released after the refusal
        with pytest.raises(ZeroDivisionError):
            hooks.with_object_lock(lambda: 1 / 0)
        assert hooks.with_object_lock(lambda: "again") == "again"

    def test_waiters_run_one_at_a_time_and_let_the_holder_finish(self):
        """The holder runs Python code while the others wait: they wait without the interpreter lock."""
        hooks = testing_hooks()
        inside = []
        overlaps = []
        barrier = threading.Barrier(4)

        def critical(t):
            if inside:
                overlaps.append((t, list(inside)))
            inside.append(t)
            total = 0
            for k in range(20000):  # Python code, switching threads meanwhile
                total += k
            time.sleep(0.01)
            inside.remove(t)
            return total

        results = []

        def body(t):
            barrier.wait()
            for _ in range(5):
                results.append(hooks.with_object_lock(lambda: critical(t)))

        old = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)
        try:
            threads = [threading.Thread(target=body, args=(t,)) for t in range(4)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(60)
        finally:
            sys.setswitchinterval(old)
        assert not any(thread.is_alive() for thread in threads)
        assert overlaps == [] and results == [sum(range(20000))] * 20
