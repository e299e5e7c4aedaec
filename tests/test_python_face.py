"""What a SciPy user reaches for: lazy submodules, the configuration, a factor as a LinearOperator."""

import ast
import re
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
from scipy import sparse
from scipy.sparse.linalg import LinearOperator, aslinearoperator, lsqr

import tarnix
from support import load, random_csc, run_python
from tarnix.spqr import SPQRFactor, spqr_factor

HEADERS = Path("/usr/local/include/suitesparse")

# ---------------------------------------------------------------------------
# The package


def test_import_loads_no_extension_and_attributes_load_them():
    proc = run_python("""
        import sys
        import tarnix
        loaded = sorted(m for m in sys.modules if m.startswith("tarnix."))
        assert loaded == ["tarnix._build_config", "tarnix._config", "tarnix._modules"], loaded
        names = dir(tarnix)
        assert {*tarnix._modules.PUBLIC, "show_config", "config"} <= set(names)
        import numpy as np
        from scipy import sparse
        A = sparse.csc_array(np.array([[1., 0.], [1., 1.], [0., 2.]]))
        x = tarnix.spqr.spqr_solve(A, np.array([1., 2., 3.]))
        assert np.allclose(x, [7 / 9, 13 / 9])
        assert "tarnix.spqr" in sys.modules and "tarnix.camd" not in sys.modules
        assert tarnix.colamd.colamd(A).shape == (2,)
        try:
            tarnix.nothing
        except AttributeError as exc:
            assert str(exc) == "module 'tarnix' has no attribute 'nothing'"
        else:
            raise AssertionError("no AttributeError")
        ns = {}
        exec("from tarnix import *", ns)
        assert {*tarnix._modules.PUBLIC, "show_config"} <= set(ns)
    """)
    assert proc.returncode == 0, proc.stderr


def test_literal_lists_of_the_package_follow_the_registry():
    # __all__ and the imports type checkers see are written out for them; the registry decides.
    tree = ast.parse(Path(tarnix.__file__).read_text())
    imported = [alias.name for node in ast.walk(tree) if isinstance(node, ast.If)
                and getattr(node.test, "id", None) == "TYPE_CHECKING"
                for sub in node.body if isinstance(sub, ast.ImportFrom) for alias in sub.names]
    assert sorted(imported) == sorted(tarnix._modules.PUBLIC)
    assert tarnix.__all__ == sorted([*tarnix._modules.PUBLIC, "config", "show_config"])
    for m in tarnix._modules.MODULES:
        assert (f"\n{m.name}\n    " in tarnix.__doc__) == m.public


def _header_version(header, prefix):
    text = (HEADERS / header).read_text()
    parts = [re.search(rf"#define\s+{prefix}_{p}_VERSION\s+(\d+)", text).group(1) for p in ("MAIN", "SUB", "SUBSUB")]
    return ".".join(parts)


class TestConfig:
    def test_versions_are_the_libraries_own(self):
        c = tarnix.config()
        assert c["tarnix"]["version"] == tarnix.__version__
        libraries = c["suitesparse"]["libraries"]
        assert all(re.fullmatch(r"\d+\.\d+\.\d+", v) for v in libraries.values()), libraries
        assert c["suitesparse"]["version"] == libraries["SuiteSparse"]
        if c["suitesparse"]["bundled"] or not HEADERS.is_dir():
            pytest.skip("the headers of the SuiteSparse in use are not at hand")
        expected = {"SuiteSparse": ("SuiteSparse_config.h", "SUITESPARSE"), "COLAMD": ("colamd.h", "COLAMD"),
                    "CCOLAMD": ("ccolamd.h", "CCOLAMD"), "CAMD": ("camd.h", "CAMD"), "BTF": ("btf.h", "BTF"),
                    "CHOLMOD": ("cholmod.h", "CHOLMOD"), "SPQR": ("SuiteSparseQR_definitions.h", "SPQR")}
        assert libraries == {name: _header_version(*where) for name, where in expected.items()}
        assert c["suitesparse"]["built_with"] == libraries["SuiteSparse"]

    def test_build_python_and_blas(self):
        import sys
        import sysconfig

        c = tarnix.show_config(mode="dicts")
        assert c["python"]["free_threaded_build"] == bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
        assert c["python"]["gil_enabled"] == (sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True)
        assert c["build"]["compiler"] and c["build"]["testing_hooks"] in (True, False)
        # The SPQR module calls a BLAS/LAPACK: one is loaded once it is imported.
        assert c["blas"] and all(b["path"] for b in c["blas"])
        used = [b["path"] for b in c["blas"] if b["used_by_suitesparse"]]
        told = [b for b in c["blas"] if b["used_by_suitesparse"] is not None]
        assert len(used) == 1 or not told

    def test_examples(self):
        import doctest

        for obj in (tarnix.config, tarnix.show_config):
            test = doctest.DocTestParser().get_doctest(obj.__doc__, {}, obj.__name__, None, 0)
            runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
            runner.run(test)
            assert runner.failures == 0 and runner.tries >= 2

    def test_text(self, capsys):
        assert tarnix.show_config() is None
        out = capsys.readouterr().out.splitlines()
        c = tarnix.config()
        assert out[0] == f"tarnix {tarnix.__version__}"
        assert out[1].startswith(f"SuiteSparse {c['suitesparse']['version']}: ")
        assert f"  SPQR        {c['suitesparse']['libraries']['SPQR']}" in out
        assert any(line.startswith("Python ") for line in out)
        with pytest.raises(ValueError, match="mode must be 'stdout' or 'dicts', got 'json'"):
            tarnix.show_config(mode="json")


# ---------------------------------------------------------------------------
# A factor as a LinearOperator


def dense_q(f):
    m = f.shape[0]
    return f.qmult(np.eye(m, dtype=f.dtype), "QX")


def adjoint_gap(op, rng, complex_):
    m, n = op.shape
    x, y = rng.standard_normal(n), rng.standard_normal(m)
    if complex_:
        x, y = x + 1j * rng.standard_normal(n), y + 1j * rng.standard_normal(m)
    return abs(np.vdot(y, op.matvec(x)) - np.vdot(op.rmatvec(y), x)) / (np.linalg.norm(x) * np.linalg.norm(y))


@pytest.fixture(params=["tall", "wide", "complex", "rank deficient"])
def factor(request):
    rng = np.random.default_rng(5)
    if request.param == "tall":
        A = random_csc(40, 25, 0.2, rng)
    elif request.param == "wide":
        A = random_csc(25, 40, 0.2, rng)
    elif request.param == "complex":
        A = load("young1c")[:, :300]
    else:
        A = random_csc(40, 25, 0.2, rng).toarray()
        A[:, 3] = A[:, 5] * 2
        A = sparse.csc_array(A)
    f = spqr_factor(A)
    assert (f.rank < min(A.shape)) == (request.param == "rank deficient")
    return A, f


class TestLinearOperator:
    @pytest.mark.filterwarnings("ignore::tarnix.spqr.SPQRRankDeficiencyWarning")
    @pytest.mark.parametrize("op", ["solve", "QX", "QTX", "XQ", "XQT"])
    def test_products_match_dense_references(self, factor, op):
        A, f = factor
        rng = np.random.default_rng(2)
        L = f.as_linear_operator(op)
        assert isinstance(L, LinearOperator) and aslinearoperator(L) is L
        m, n = A.shape
        Q = dense_q(f)
        expected = {"QX": Q, "QTX": Q.conj().T, "XQ": Q.T, "XQT": Q.conj()}
        assert L.shape == ((n, m) if op == "solve" else (m, m)) and L.dtype == f.dtype
        X = rng.standard_normal((L.shape[1], 3))
        if op == "solve":
            reference = f.solve(X)
        else:
            reference = expected[op] @ X
        assert np.allclose(L.matmat(X), reference)
        assert np.allclose(L.matvec(X[:, 0]), reference[:, 0]) and L.matvec(X[:, 0]).shape == (L.shape[0],)
        assert np.allclose(L @ X[:, 1], reference[:, 1])
        assert adjoint_gap(L, rng, f.dtype.kind == "c") < 1e-10
        assert adjoint_gap(L.H, rng, f.dtype.kind == "c") < 1e-10

    def test_solve_of_a_full_rank_tall_factor_is_least_squares(self):
        rng = np.random.default_rng(0)
        A = random_csc(60, 20, 0.3, rng)
        L = spqr_factor(A).as_linear_operator()
        b = rng.standard_normal(60)
        assert np.allclose(L.matvec(b), np.linalg.lstsq(A.toarray(), b, rcond=None)[0])
        # The adjoint of x = A^+ b is (A^+)^H.
        c = rng.standard_normal(20)
        assert np.allclose(L.rmatvec(c), np.linalg.pinv(A.toarray()).T @ c)
        # A real factor applied to a complex vector: its real and imaginary parts apart.
        z = b + 1j * rng.standard_normal(60)
        assert np.allclose(L.matvec(z), np.linalg.lstsq(A.toarray().astype(complex), z, rcond=None)[0])

    def test_bad_requests(self):
        A = random_csc(6, 4, 0.6, np.random.default_rng(1))
        with pytest.raises(ValueError, match=r"op must be one of 'solve', 'QX', 'QTX', 'XQ', 'XQT', got 'QY'"):
            spqr_factor(A).as_linear_operator("QY")
        with pytest.raises(AssertionError, match="call factorize"):
            SPQRFactor(A).as_linear_operator("QX")

    def test_the_operator_follows_a_refactorization(self):
        rng = np.random.default_rng(3)
        A = random_csc(30, 30, 0.2, rng) + sparse.eye_array(30, format="csc")
        f = spqr_factor(A)
        L = f.as_linear_operator("solve")
        B = sparse.csc_array(A * 2.0)
        f.factorize(B)
        b = rng.standard_normal(30)
        assert np.allclose(L.matvec(b), np.linalg.solve(B.toarray(), b))

    def test_threads_share_one_operator(self):
        rng = np.random.default_rng(4)
        A = sparse.csc_array(random_csc(400, 300, 0.02, rng) + sparse.eye_array(400, 300, format="csc"))
        f = spqr_factor(A)
        L = f.as_linear_operator("QTX")
        X = rng.standard_normal((400, 8))
        expected = L.matmat(X)
        errors = []

        def work():
            try:
                for _ in range(20):
                    if not np.array_equal(L.matmat(X), expected):
                        errors.append("mixed result")
                    f.factorize(A)  # the same values: the same Q
            except Exception as exc:  # noqa: BLE001
                errors.append(repr(exc))

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []

    def test_preconditioned_lsqr(self):
        # E R^-1 of a factor of a sample of the rows, as a right preconditioner: lsqr on A E R^-1.
        rng = np.random.default_rng(6)
        m, n, k = 3000, 200, 1200
        scale = sparse.diags_array(np.logspace(0, 6, n))
        A = sparse.csc_array((random_csc(m, n, 0.01, rng) + sparse.eye_array(m, n, format="csc")) @ scale)
        b = rng.standard_normal(m)
        exact = np.linalg.lstsq(A.toarray(), b, rcond=None)[0]
        plain = lsqr(A, b, atol=1e-12, btol=1e-12, iter_lim=300)
        f = spqr_factor(A[np.sort(rng.choice(m, k, replace=False))])
        pad = LinearOperator((k, n), dtype=float, matvec=lambda z: np.r_[z, np.zeros(k - n)],
                             rmatvec=lambda y: y[:n])
        M = f.as_linear_operator("solve") @ f.as_linear_operator("QX") @ pad  # E R^-1
        y, *info = lsqr(aslinearoperator(A) @ M, b, atol=1e-12, btol=1e-12, iter_lim=300)
        x = M @ y
        assert info[1] < plain[2] / 3 and info[1] < 100
        assert np.linalg.norm(x - exact) / np.linalg.norm(exact) < 1e-6


# ---------------------------------------------------------------------------
# The guide's Dask example


def test_dask_example_runs_on_a_local_cluster():
    pytest.importorskip("dask.distributed", reason="the Dask example needs dask[distributed]")
    script = Path(__file__).resolve().parent.parent / "docs" / "examples" / "many_problems_dask.py"
    proc = subprocess.run([sys.executable, str(script), "3", "300"], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert [line.split(":")[0] for line in lines] == ["problem 0", "problem 1", "problem 2"]
    assert all(float(line.split("= ")[1].split(",")[0]) < 1e-9 for line in lines)
