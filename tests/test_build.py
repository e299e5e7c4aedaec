"""The build's own SuiteSparse: which tarballs it accepts, and how it refuses to go on.

The download helpers run in `cmake -P` scripts over file:// mirrors; the refusals are CMake
configurations of this source tree that must stop before building anything.
"""

from __future__ import annotations

import hashlib
import io
import os
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
CMAKE = shutil.which("cmake")

pytestmark = pytest.mark.skipif(
    CMAKE is None or not (ROOT / "cmake" / "TarnixFetch.cmake").is_file(),
    reason="needs cmake and the source tree",
)

GOOD = b"the tarball the pins name"
GOOD_SHA = hashlib.sha256(GOOD).hexdigest()


def cmake_script(tmp_path, mirrors, body, extra=""):
    """Run `body` in a cmake -P script with the fetch helpers and the given mirror list."""
    entries = "\n".join(f'  "{url} {sha}"' for url, sha in mirrors)
    script = tmp_path / "drive.cmake"
    script.write_text(
        f'include("{(ROOT / "cmake" / "TarnixFetch.cmake").as_posix()}")\n'
        f"set(TARNIX_SUITESPARSE_MIRRORS\n{entries}\n)\n{extra}\n{body}\n"
    )
    return subprocess.run([CMAKE, "-P", str(script)], capture_output=True, text=True, timeout=120)


def served(tmp_path, name, content):
    path = tmp_path / "mirror" / name
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(content)
    return path.as_uri()


DOWNLOAD = """
file(MAKE_DIRECTORY "${CMAKE_CURRENT_LIST_DIR}/dl")
_tarnix_download(got report "${CMAKE_CURRENT_LIST_DIR}/dl")
message("GOT=[${got}]")
message("REPORT=[${report}]")
"""


class TestMirrors:
    """Mirrors are tried in order, and a tarball is taken only against its own pinned hash."""

    def test_unverified_and_mismatching_mirrors_are_passed_over(self, tmp_path):
        # The first two serve the very bytes the pins name, yet have no checked hash of
        # their own (or another one): only the third may be taken.
        unverified = served(tmp_path, "a.tar.xz", GOOD)
        wrong = served(tmp_path, "b.tar.xz", GOOD)
        right = served(tmp_path, "c.tar.xz", GOOD)
        r = cmake_script(tmp_path, [(unverified, "UNVERIFIED"), (wrong, "0" * 64), (right, GOOD_SHA)], DOWNLOAD)
        assert r.returncode == 0, r.stderr
        assert "GOT=[" + (tmp_path / "dl" / "c.tar.xz").as_posix() + "]" in r.stderr
        assert not (tmp_path / "dl" / "a.tar.xz").exists()
        assert not (tmp_path / "dl" / "b.tar.xz").exists()
        assert not (tmp_path / "dl" / "b.tar.xz.part").exists()

    def test_every_mirror_failing_reports_each(self, tmp_path):
        tampered = served(tmp_path, "t.tar.xz", GOOD + b"!")
        missing = (tmp_path / "mirror" / "gone.tar.xz").as_uri()
        r = cmake_script(tmp_path, [("https://example.invalid/x.tar.gz", "UNVERIFIED"),
                                    (tampered, GOOD_SHA), (missing, GOOD_SHA)], DOWNLOAD)
        assert r.returncode == 0, r.stderr
        assert "GOT=[]" in r.stderr
        assert "x.tar.gz: skipped, no checked SHA-256" in r.stderr
        assert "t.tar.xz: SHA-256 " + hashlib.sha256(GOOD + b"!").hexdigest() in r.stderr
        assert "discarded" in r.stderr
        assert "gone.tar.xz: " in r.stderr
        assert list((tmp_path / "dl").iterdir()) == []

    def test_extra_mirror_comes_first_and_needs_its_hash(self, tmp_path):
        extra_url = served(tmp_path, "extra.tar.xz", GOOD)
        pinned = served(tmp_path, "pinned.tar.xz", GOOD)
        r = cmake_script(tmp_path, [(pinned, GOOD_SHA)], DOWNLOAD,
                         extra=f'set(TARNIX_SUITESPARSE_URL "{extra_url}")\nset(TARNIX_SUITESPARSE_SHA256 "{GOOD_SHA.upper()}")')
        assert r.returncode == 0, r.stderr
        assert "extra.tar.xz]" in r.stderr
        r = cmake_script(tmp_path, [(pinned, GOOD_SHA)], DOWNLOAD, extra=f'set(TARNIX_SUITESPARSE_URL "{extra_url}")')
        assert r.returncode != 0
        assert "TARNIX_SUITESPARSE_URL needs TARNIX_SUITESPARSE_SHA256" in r.stderr

    def test_a_kept_tarball_is_checked_again(self, tmp_path):
        url = served(tmp_path, "k.tar.xz", GOOD)
        (tmp_path / "dl").mkdir()
        (tmp_path / "dl" / "k.tar.xz").write_bytes(b"left over from an interrupted run")
        r = cmake_script(tmp_path, [(url, GOOD_SHA)], DOWNLOAD)
        assert r.returncode == 0, r.stderr
        assert (tmp_path / "dl" / "k.tar.xz").read_bytes() == GOOD

    def test_given_tarball_must_match_a_pin(self, tmp_path):
        given = tmp_path / "given.tar.xz"
        given.write_bytes(GOOD)
        body = f'_tarnix_known_hash(h "{given.as_posix()}")\nmessage("HASH=[${{h}}]")'
        r = cmake_script(tmp_path, [("https://example.invalid/a", "UNVERIFIED"), ("https://example.invalid/b", GOOD_SHA)], body)
        assert f"HASH=[{GOOD_SHA}]" in r.stderr
        r = cmake_script(tmp_path, [("https://example.invalid/a", "UNVERIFIED")], body)
        assert "HASH=[]" in r.stderr


def release_tarball(path, root, files):
    with tarfile.open(path, "w:gz") as tar:
        for name, text in files.items():
            data = text.encode()
            info = tarfile.TarInfo(f"{root}/{name}")
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return path


UNPACK = """
set(TARNIX_SUITESPARSE_PARTS SuiteSparse_config SPQR)
_tarnix_unpack(root "${TARBALL}" "${CMAKE_CURRENT_LIST_DIR}/src")
message("ROOT=[${root}]")
"""


class TestUnpack:
    """Only the parts that get built are unpacked, and a new tarball replaces the old tree."""

    def test_parts_only_and_refreshed(self, tmp_path):
        files = {"CMakeLists.txt": "top", "LICENSE.txt": "all", "SPQR/CMakeLists.txt": "spqr",
                 "SPQR/Source/a.cpp": "a", "SuiteSparse_config/c.h": "c", "GraphBLAS/huge.c": "not built", "KLU/Doc/x": "no"}
        first = release_tarball(tmp_path / "one.tar.gz", "SuiteSparse-1", files)
        r = cmake_script(tmp_path, [], UNPACK, extra=f'set(TARBALL "{first.as_posix()}")')
        assert r.returncode == 0, r.stderr
        root = tmp_path / "src" / "SuiteSparse-1"
        assert f"ROOT=[{root.as_posix()}]" in r.stderr
        assert (root / "SPQR" / "Source" / "a.cpp").read_text() == "a"
        assert (root / "LICENSE.txt").exists()
        assert not (root / "GraphBLAS" / "huge.c").exists() and not (root / "KLU").exists()
        second = release_tarball(tmp_path / "two.tar.gz", "SuiteSparse-2", files)
        r = cmake_script(tmp_path, [], UNPACK, extra=f'set(TARBALL "{second.as_posix()}")')
        assert r.returncode == 0, r.stderr
        assert "SuiteSparse-2]" in r.stderr and not root.exists()

    def test_not_a_source_tree(self, tmp_path):
        # Everything asked for is there, but under two roots: not one release.
        files = {"CMakeLists.txt": "", "LICENSE.txt": "", "SuiteSparse_config/x": "", "SPQR/y": ""}
        bad = tmp_path / "bad.tar.gz"
        with tarfile.open(bad, "w:gz") as tar:
            for root in ("one", "two"):
                for name in files:
                    tar.addfile(tarfile.TarInfo(f"{root}/{name}"), io.BytesIO(b""))
        r = cmake_script(tmp_path, [], UNPACK, extra=f'set(TARBALL "{bad.as_posix()}")')
        assert r.returncode != 0
        assert "does not unpack into one SuiteSparse source tree" in " ".join(r.stderr.split())
        # A tarball that lacks a part is refused as well (by the extraction itself).
        lacking = release_tarball(tmp_path / "lacking.tar.gz", "S", {"CMakeLists.txt": "", "LICENSE.txt": "", "SPQR/y": ""})
        r = cmake_script(tmp_path, [], UNPACK, extra=f'set(TARBALL "{lacking.as_posix()}")')
        assert r.returncode != 0
        assert "SuiteSparse_config: Not found in archive" in r.stderr


def configure(tmp_path, *defines):
    """Configure this source tree with the running interpreter; returns the finished process."""
    args = [CMAKE, "-S", str(ROOT), "-B", str(tmp_path / "build"), f"-DPython_EXECUTABLE={sys.executable}"]
    args += [f"-D{d}" for d in defines]
    env = dict(os.environ, CMAKE_PREFIX_PATH="")
    # CMake's compiler checks are plain programs: a sanitizer runtime preloaded for the
    # extensions (make asan) would make them fail for reasons of its own.
    for name in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC"):
        env.pop(name, None)
    return subprocess.run(args, capture_output=True, text=True, timeout=300, env=env)


class TestRefusals:
    """Without a usable SuiteSparse and without leave to download, one error names both ways out."""

    @pytest.mark.parametrize("defines", [
        ("TARNIX_SYSTEM_SUITESPARSE=OFF", "TARNIX_DOWNLOAD_SUITESPARSE=OFF"),
        ("CMAKE_DISABLE_FIND_PACKAGE_SPQR=ON", "FETCHCONTENT_FULLY_DISCONNECTED=ON"),
    ], ids=["download-off", "disconnected"])
    def test_no_suitesparse_and_no_download(self, tmp_path, defines):
        r = configure(tmp_path, *defines)
        assert r.returncode != 0
        err = " ".join(r.stderr.split())
        assert "tarnix needs SuiteSparse >= 7.2" in err
        assert "downloading it is turned off" in err
        assert "CMAKE_PREFIX_PATH" in err and "TARNIX_SUITESPARSE_SOURCE" in err
        if "CMAKE_DISABLE_FIND_PACKAGE_SPQR=ON" in defines:
            assert "missing: SPQR" in err
        # Nothing was fetched or built.
        assert not (tmp_path / "build" / "suitesparse" / "download").exists()

    def test_suitesparseqr_of_another_layout_is_passed_over(self, tmp_path):
        # An installed SuiteSparse whose SuiteSparseQR is not of the 4.3 series is not used:
        # copying a factor relies on that release's private layout.
        fake = tmp_path / "spqr-4.2"
        fake.mkdir()
        (fake / "SPQRConfig.cmake").write_text("set(SPQR_FOUND TRUE)\n")
        (fake / "SPQRConfigVersion.cmake").write_text(
            'set(PACKAGE_VERSION "4.2.1")\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n')
        r = configure(tmp_path, f"SPQR_DIR={fake}", "TARNIX_DOWNLOAD_SUITESPARSE=OFF")
        assert r.returncode != 0
        err = " ".join(r.stderr.split())
        assert "holds SuiteSparseQR 4.2.1" in err and "downloading it is turned off" in err

    def test_foreign_tarball_refused(self, tmp_path):
        bogus = tmp_path / "SuiteSparse-7.10.1.tar.gz"
        bogus.write_bytes(GOOD)
        r = configure(tmp_path, f"TARNIX_SUITESPARSE_SOURCE={bogus}")
        assert r.returncode != 0
        assert "matches none" in " ".join(r.stderr.split())
        assert not (tmp_path / "build" / "suitesparse" / "src").exists()
