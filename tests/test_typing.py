"""The shipped type stubs against the modules, and a realistic usage sample.

stubtest compares every stub with the module object it describes (names,
signatures, positional-only markers, class layout); mypy --strict checks
tests/typing/usage.py, which calls every public function the way the user
guide does and also holds calls the stubs must refuse. Both run in child
processes on the installed package, so what is checked is what users get.
"""

import importlib.metadata
import subprocess
import sys
from pathlib import Path

import pytest

from support import child_env

pytest.importorskip("mypy", reason="mypy is one of the test tools (make test installs it)")

SAMPLE = Path(__file__).parent / "typing" / "usage.py"


def _has_scipy_stubs():
    try:
        importlib.metadata.distribution("scipy-stubs")
    except importlib.metadata.PackageNotFoundError:
        return False
    return True


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=900,
                          env=child_env())


def test_stubs_match_the_modules(tmp_path):
    # From an empty directory, so the checkout's src/ cannot shadow the installed package.
    out = run("mypy.stubtest", "tarnix", cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
    assert "Success" in out.stdout


def test_usage_sample_passes_mypy_strict(tmp_path):
    # Without scipy-stubs every SciPy type is Any and the sample checks nothing about sparse results.
    assert _has_scipy_stubs(), "scipy-stubs is one of the test tools"
    out = run("mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(SAMPLE), cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_usage_sample_runs(tmp_path):
    # The sample's annotations claim what the calls return; running it shows the calls work as written.
    out = subprocess.run([sys.executable, str(SAMPLE)], capture_output=True, text=True, cwd=tmp_path, timeout=300,
                         env=child_env())
    assert out.returncode == 0, out.stdout + out.stderr
