"""Behaviour every extension module shares: function objects, the import guard."""

import inspect
import pickle
import pydoc

import pytest

import tarnix.colamd as colamd_module
from support import run_python

MODULES = ["tarnix.colamd", "tarnix.ccolamd", "tarnix.camd", "tarnix.btf", "tarnix.cholmod", "tarnix.spqr"]


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
def test_second_interpreter_is_refused(name):
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
