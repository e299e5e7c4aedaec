"""The examples of the documentation run, and say what they show.

Every example in the docstrings of the public names and in the user guide
(docs/) runs as a doctest; every public callable and class carries an
example; and the scripts that draw the guide's pictures run on the
installed package. `make docs` builds the site itself.
"""

import doctest
import importlib
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

from support import child_env
from tarnix._modules import PUBLIC

DOCS = Path(__file__).resolve().parent.parent / "docs"
GUIDE = sorted([DOCS / "index.rst", *(DOCS / "guide").glob("*.rst")])
PICTURES = sorted((DOCS / "pyplots").glob("*.py"))

# Public names outside __all__ (importable by name, documented).
EXTRA = {"spqr": ["spqr", "spqr_qmult", "SPQRInfo", "SPQRHouseholder", "SPQRWarning", "SPQRRankDeficiencyWarning"]}
MODULES = list(PUBLIC)


def public_objects(modname):
    """(qualified name, object) for the module, its public names and their public members."""
    mod = importlib.import_module(f"tarnix.{modname}")
    yield mod.__name__, mod
    for name in [*mod.__all__, *EXTRA.get(modname, [])]:
        obj = getattr(mod, name)
        yield f"{mod.__name__}.{name}", obj
        if inspect.isclass(obj) and not issubclass(obj, BaseException):
            for member, value in vars(obj).items():
                if not member.startswith("_") and getattr(value, "__doc__", None) and callable(value):
                    yield f"{mod.__name__}.{name}.{member}", value


def docstring(obj):
    doc = obj.__doc__ if not isinstance(obj, (classmethod, staticmethod)) else obj.__func__.__doc__
    return doc or ""


def run_examples(tests):
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for test in tests:
        runner.run(test, out=lambda text: report.append(text))
    return runner


report = []


@pytest.mark.parametrize("modname", MODULES)
def test_docstring_examples(modname):
    parser = doctest.DocTestParser()
    tests = [parser.get_doctest(docstring(obj), {}, name, None, 0) for name, obj in public_objects(modname)]
    tests = [t for t in tests if t.examples]
    report.clear()
    runner = run_examples(tests)
    assert runner.failures == 0, "".join(report)
    assert runner.tries >= 2


@pytest.mark.parametrize("modname", MODULES)
def test_every_public_name_has_an_example(modname):
    # The data attributes of records (fields, properties) are described in their class.
    missing = [name for name, obj in public_objects(modname)
               if (callable(obj) or inspect.ismodule(obj)) and not inspect.ismodule(obj)
               and ">>>" not in docstring(obj)]
    assert missing == []


def test_every_public_module_has_an_api_page():
    listed = (DOCS / "api" / "index.rst").read_text().split()
    assert [name for name in MODULES if name not in listed or not (DOCS / "api" / f"{name}.rst").is_file()] == []


@pytest.mark.parametrize("page", GUIDE, ids=lambda p: p.relative_to(DOCS).as_posix())
def test_guide_examples(page, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    text = page.read_text()
    test = doctest.DocTestParser().get_doctest(text, {"__name__": "guide"}, page.name, str(page), 0)
    report.clear()
    runner = run_examples([test])
    assert runner.failures == 0, "".join(report)
    if page.parent.name == "guide" and page.stem != "index":
        # Every page of the guide but its table of contents teaches by example.
        assert runner.tries >= 1


@pytest.mark.parametrize("script", PICTURES, ids=lambda p: p.name)
def test_picture_scripts_run(script, tmp_path):
    pytest.importorskip("matplotlib", reason="the pictures need matplotlib (make docs installs it)")
    env = child_env(MPLBACKEND="Agg")
    code = f"exec(compile(open({str(script)!r}).read(), {str(script)!r}, 'exec')); import matplotlib.pyplot as plt; " \
           f"assert plt.get_fignums(), 'no figure drawn'; plt.savefig('out.png')"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, env=env,
                         timeout=300)
    assert out.returncode == 0, out.stderr
    assert (tmp_path / "out.png").stat().st_size > 10_000


def test_numpy_and_scipy_names_resolve_offline():
    # The build reads NumPy's and SciPy's inventories from the repository (no network):
    # every NumPy or SciPy name the documentation cites must be in them, or it renders unlinked.
    import posixpath
    import re

    inventory = pytest.importorskip("sphinx.util.inventory", reason="needs Sphinx (make docs installs it)")
    known = set()
    for name in ("numpy", "scipy"):
        with open(DOCS / "inventories" / f"{name}-objects.inv", "rb") as f:
            data = inventory.InventoryFile.load(f, f"https://{name}.invalid/", posixpath.join)
        data = getattr(data, "data", data)
        known |= {key for role in data.values() for key in role}
    sources = [*DOCS.rglob("*.rst"), *(DOCS.parent / "src" / "tarnix").rglob("*.[ch]pp"),
               *(DOCS.parent / "src" / "tarnix").rglob("*.py")]
    cited = {m for path in sources for m in re.findall(r"`~?((?:numpy|scipy)\.[\w.]+)`", path.read_text())}
    assert len(cited) >= 5
    assert sorted(cited - known) == []
