"""What the installed distribution declares, against what the build put into it.

Run against a wheel (make wheels-root), these check the metadata an index shows
and pip acts on; run against `make test`'s build, the same declarations.
"""

import importlib
import importlib.metadata
import pkgutil
import re
import sysconfig
from pathlib import Path

import pytest

import tarnix
from tarnix import _build_config

META = importlib.metadata.distribution("tarnix")
PACKAGE = Path(tarnix.__file__).parent


def requirement_names():
    return {re.split(r"[ <>=!;\[(]", r, maxsplit=1)[0].lower() for r in META.requires or []}


def classifiers():
    return set(META.metadata.get_all("Classifier") or [])


def test_bundled_blas_is_a_requirement():
    # A build whose SuiteSparse calls a BLAS it does not link must make pip install that BLAS:
    # without it, `import tarnix` fails on the user's machine.
    if not _build_config.PRELOAD_BLAS:
        pytest.skip("this build links its BLAS (or an installed SuiteSparse) normally")
    assert _build_config.PRELOAD_BLAS.replace("_", "-") in requirement_names()


def test_python_versions_agree():
    declared = META.metadata["Requires-Python"]
    oldest = tuple(int(x) for x in re.fullmatch(r">=\s*(\d+)\.(\d+)", declared).groups())
    listed = sorted(tuple(int(x) for x in c.rsplit(":: ", 1)[1].split("."))
                    for c in classifiers() if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c))
    assert listed and listed[0] == oldest, (declared, listed)
    # Releases in between are not left out.
    assert [v[1] for v in listed] == list(range(listed[0][1], listed[-1][1] + 1))
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        assert any(c.startswith("Programming Language :: Python :: Free Threading :: ") for c in classifiers())


def test_typed_package_says_so():
    assert (PACKAGE / "py.typed").is_file()
    assert "Typing :: Typed" in classifiers()
    # Every extension module has its stub next to it.
    for ext in PACKAGE.glob("*.so"):
        if not ext.name.startswith(("lib", "_testing")):
            assert (PACKAGE / (ext.name.split(".")[0] + ".pyi")).is_file(), ext.name


def test_license_texts_travel_with_the_build():
    files = [str(f) for f in META.files or [] if "licenses/" in str(f)]
    assert any(f.endswith("LICENSE") for f in files)
    if _build_config.SUITESPARSE_BUNDLED:
        # SPQR's GPL and the other bundled libraries' texts.
        assert sum("SuiteSparse" in f for f in files) > 5, files


def test_every_listed_module_imports():
    # A file the import system takes for a module (a shared library named *.so next to the
    # extensions, say) must import, or pkgutil, stubtest and pydoc stumble on it.
    for info in pkgutil.iter_modules(tarnix.__path__, "tarnix."):
        importlib.import_module(info.name)
