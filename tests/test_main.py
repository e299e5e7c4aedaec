"""python -m tarnix: the structural report, its native counts, its options and its failures."""

import gzip
import json
import os
import subprocess
import sys

import numpy as np
import pytest
from scipy import io, sparse
from scipy.sparse.csgraph import structural_rank

from support import DATA, cholesky_fill_count, load, random_csc, symmetric_pattern
from tarnix.btf import btf
from tarnix.camd import camd
from tarnix.cholmod import _cholesky_counts
from tarnix.colamd import colamd, symamd
from tarnix.spqr import SPQRFactor, spqr
import tarnix.report as cli

SAMPLE = str(DATA / "west0067.mtx")


def run_json(capsys, *argv):
    assert cli.main(["--json", *argv]) == 0
    return json.loads(capsys.readouterr().out)


def run_text(capsys, *argv):
    assert cli.main(list(argv)) == 0
    return capsys.readouterr().out


def run_child(*argv, **kwargs):
    return subprocess.run([sys.executable, "-m", "tarnix", *argv], capture_output=True, text=True, timeout=120,
                          **kwargs)


def write_mtx(path, A):
    io.mmwrite(str(path), A)
    return str(path)


def normal_pattern(A):
    P = sparse.csc_array((np.ones(A.nnz), A.indices, A.indptr), shape=A.shape)
    return sparse.csc_array(P.T @ P)


def counts(A, perm=None, normal=False):
    if perm is not None:
        perm = np.asarray(perm, dtype=A.indptr.dtype)
    return _cholesky_counts(A.shape, A.indptr, A.indices, perm, normal=normal)


@pytest.fixture(scope="module")
def singular_path(tmp_path_factory):
    """A 30 x 30 structurally singular matrix: two columns empty, three rows sharing the same two columns."""
    rng = np.random.default_rng(7)
    A = random_csc(30, 30, 0.08, rng).tolil()
    A[:, [4, 17]] = 0
    A[[1, 2, 3], :] = 0
    A[[1, 2, 3], 5] = 1.0
    A[[1, 2, 3], 6] = 2.0
    A = sparse.csc_array(A)
    A.eliminate_zeros()
    return write_mtx(tmp_path_factory.mktemp("m") / "singular.mtx", A)


@pytest.fixture(scope="module")
def tall_path(tmp_path_factory):
    A = random_csc(80, 30, 0.1, np.random.default_rng(3))
    return write_mtx(tmp_path_factory.mktemp("m") / "tall.mtx", A)


# ---------------------------------------------------------------------------
# The native counts


class TestCholeskyCounts:
    @pytest.mark.parametrize("name", ["west0067", "GD98_a", "bcspwr01", "lfat5b"])
    @pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
    def test_symmetric_counts_match_dense_elimination(self, name, index_dtype):
        A = load(name, index_dtype)
        S = symmetric_pattern(A)
        n = A.shape[0]
        for perm in (np.arange(n), np.random.default_rng(1).permutation(n), symamd(S)):
            nnz, flops = counts(A, perm)
            assert nnz == cholesky_fill_count(S, perm) + n
            assert flops >= nnz
        assert counts(A) == counts(A, np.arange(n))

    @pytest.mark.parametrize("name", ["west0067", "ash219", "lp_e226", "GD98_a"])
    def test_normal_counts_match_dense_elimination_of_ata(self, name):
        A = load(name)
        n = A.shape[1]
        N = normal_pattern(A)
        for perm in (np.arange(n), colamd(A)):
            assert counts(A, perm, normal=True)[0] == cholesky_fill_count(N, perm) + n

    def test_int64_indices_give_the_int32_counts(self):
        A32, A64 = load("rajat19"), load("rajat19", np.int64)
        p = camd(A32)
        assert counts(A32, p) == counts(A64, p)
        assert counts(A32, p, normal=True) == counts(A64, p, normal=True)

    def test_bad_arguments_are_refused_before_the_library(self):
        A = load("west0067")
        W = load("lp_e226")
        cases = [
            (W, None, False, "needs a square matrix, got 223 x 472"),
            (A, np.r_[0, 0, np.arange(2, 67)], False, "perm[1] = 0 is repeated"),
            (A, np.r_[np.arange(66), 67], False, "perm[66] = 67 is out of range"),
            (A, np.r_[np.arange(65), -1, 66], False, "perm[65] = -1 is out of range"),
            (A, np.arange(66), False, "perm must have n = 67 entries, got 66"),
            (W, np.arange(223), True, "perm must have n = 472 entries, got 223"),
        ]
        for M, perm, normal, message in cases:
            with pytest.raises(ValueError, match=message.replace("[", r"\[").replace("]", r"\]")):
                counts(M, perm, normal)

    def test_malformed_patterns_raise(self):
        A = load("west0067")
        indices = A.indices.copy()
        indices[[0, 1]] = indices[[1, 0]]
        with pytest.raises(ValueError, match="sorted and without duplicates"):
            _cholesky_counts(A.shape, A.indptr, indices, None)
        indices = A.indices.copy()
        indices[3] = 67
        with pytest.raises(ValueError, match="out of range for 67 rows"):
            _cholesky_counts(A.shape, A.indptr, indices, None)
        with pytest.raises(ValueError):
            _cholesky_counts(A.shape, A.indptr, A.indices, np.arange(67, dtype=np.int64))

    def test_python_code_in_the_arguments_runs_before_the_pattern_is_checked(self):
        A = load("west0067")
        indices = A.indices.copy()

        class Spoiler:
            """A row count whose __index__ puts a row index out of range, and a flag whose __bool__ unsorts."""

            def __index__(self):
                indices[5] = 10**6
                return 67

        class Unsort:
            def __bool__(self):
                indices[5], indices[6] = indices[6], indices[5]
                return False

        with pytest.raises(ValueError, match="out of range"):
            _cholesky_counts((Spoiler(), 67), A.indptr, indices, None)
        indices[:] = A.indices
        with pytest.raises(ValueError, match="sorted and without duplicates"):
            _cholesky_counts((67, 67), A.indptr, indices, None, normal=Unsort())

    def test_empty_orders_count_nothing(self):
        E = sparse.csc_array((0, 0))
        E.indptr, E.indices = E.indptr.astype(np.int32), E.indices.astype(np.int32)
        assert _cholesky_counts((0, 0), E.indptr, E.indices, None) == (0, 0.0)
        Z = sparse.csc_array((4, 4))
        Z.indptr, Z.indices = Z.indptr.astype(np.int32), Z.indices.astype(np.int32)
        assert _cholesky_counts((4, 4), Z.indptr, Z.indices, None)[0] == 4


# ---------------------------------------------------------------------------
# The report's figures, checked against the library calls


class TestSampleReport:
    def test_every_section_reports_and_figures_match_the_libraries(self, capsys):
        doc = run_json(capsys)
        A = load("west0067")
        S = symmetric_pattern(A)
        n = 67
        assert doc["format"] == 1
        assert {k: doc["matrix"][k] for k in ("rows", "cols", "entries", "dtype", "symmetric_pattern")} == {
            "rows": 67, "cols": 67, "entries": 294, "dtype": "float64", "symmetric_pattern": False}
        assert set(doc) == {"format", "versions", "matrix", *cli.SECTIONS, "timing"}

        columns = doc["columns"]["orderings"]
        N = normal_pattern(A)
        assert columns["natural"]["nnz"] == cholesky_fill_count(N, np.arange(n)) + n
        assert columns["colamd"]["nnz"] == cholesky_fill_count(N, colamd(A)) + n
        assert columns["colamd"]["fill_ratio"] == pytest.approx(columns["colamd"]["nnz"] / 294)

        sym = doc["symmetric"]
        diagonal = np.count_nonzero(S.diagonal())
        assert diagonal < n  # west0067 misses diagonal entries, which L has all the same
        base = (S.nnz - diagonal) // 2 + n
        assert sym["nnz_tril_S"] == base
        assert sym["orderings"]["symamd"]["nnz"] == cholesky_fill_count(S, symamd(S)) + n
        p, info = camd(A, return_info=True)
        assert sym["orderings"]["camd"]["nnz"] == cholesky_fill_count(S, p) + n
        assert sym["camd_estimate"] == info.Lnz + n
        assert sym["camd_estimate"] >= sym["orderings"]["camd"]["nnz"]
        assert sym["best"] == min(("symamd", "camd"), key=lambda k: sym["orderings"][k]["nnz"])

        _, _, r = btf(A)
        assert doc["btf"]["structural_rank"] == structural_rank(A) == 67
        assert doc["btf"]["blocks"] == r.size - 1 == 2
        assert doc["btf"]["block_sizes"] == sorted(np.diff(r).tolist(), reverse=True)

        qr = doc["qr"]
        assert qr["factorized"] and qr["default_ordering"] == "colamd"
        assert qr["nnzR"] == spqr(A, mode="r")[0].nnz
        assert qr["rank"] == SPQRFactor(A, use_singletons=True).rank
        assert qr["analysis"]["natural"]["nnzR_upper_bound"] == SPQRFactor(A, order="natural").info.nnzR_upper_bound
        assert qr["nnzR"] <= qr["analysis"]["default"]["nnzR_upper_bound"]

        assert doc["solve"]["kind"] == "least squares" and doc["solve"]["relative_residual"] < 1e-12
        summary = doc["summary"]
        assert summary["lu_qr"]["ordering"] == doc["columns"]["best"]
        assert summary["cholesky"] == {"ordering": sym["best"], "fill_ratio": sym["orderings"][sym["best"]]["fill_ratio"],
                                       "natural_fill_ratio": sym["orderings"]["natural"]["fill_ratio"]}
        assert 0 < doc["timing"]["library_seconds"] <= doc["timing"]["total_seconds"]

    def test_text_says_what_it_measured_with_the_json_figures(self, capsys):
        out = run_text(capsys)
        doc = run_json(capsys)
        assert out.startswith("matrix: west0067.mtx (bundled sample): 67 x 67, 294 stored entries, real, "
                              "unsymmetric pattern")
        sym = doc["symmetric"]["orderings"]
        for needle in [
            "Column orderings for LU and QR, against the natural order",
            "an upper bound on nnz(R) of QR",
            "S = the pattern of A + A'",
            f"camd's own estimate of nnz(L): {doc['symmetric']['camd_estimate']:,}, an upper bound",
            "structural rank 67 of 67 (full structural rank)",
            "2 diagonal blocks (one of size 66; 1 singleton)",
            f"exact nnz(R) = {doc['qr']['nnzR']:,}",
            "Summary: best for LU/QR: colamd",
        ]:
            assert needle in out
        for name in ("natural", "symamd", "camd"):
            assert f"{sym[name]['nnz']:,}" in out
        # The slips of earlier reports.
        assert "1 diagonal blocks" not in out and "natural (natural)" not in out and "nnz(R) <=" not in out

    def test_each_section_is_printed_before_the_next_runs(self, capsys, monkeypatch):
        def interrupted(ctx):
            raise KeyboardInterrupt

        monkeypatch.setitem(cli.SECTION_FUNCTIONS, "qr", interrupted)
        assert cli.main([SAMPLE]) == 130
        captured = capsys.readouterr()
        assert "Structural rank and block triangular form" in captured.out
        assert "QR factorization" not in captured.out
        assert captured.err == "python -m tarnix: interrupted\n"


class TestOtherShapes:
    def test_rectangular_matrix_says_which_sections_do_not_apply(self, capsys, tall_path):
        A = sparse.csc_array(io.mmread(tall_path))
        doc = run_json(capsys, tall_path)
        assert doc["symmetric"] == {"applies": False, "reason": "Cholesky needs a square matrix; A is 80 x 30"}
        assert doc["btf"]["structural_rank"] == structural_rank(A)
        assert doc["btf"]["blocks"] is None and "needs a square matrix" in doc["btf"]["reason"]
        assert doc["summary"]["cholesky"] is None
        assert doc["qr"]["nnzR"] == spqr(A, mode="r")[0].nnz
        out = run_text(capsys, tall_path)
        assert "Symmetric orderings for Cholesky: not applicable: Cholesky needs a square matrix; A is 80 x 30" in out
        assert "block triangular form: not applicable: the block triangular form needs a square matrix" in out
        assert "rectangular" in out.splitlines()[0]

    def test_wide_matrix_gets_a_minimum_norm_solve(self, capsys):
        doc = run_json(capsys, str(DATA / "lp_e226.mtx"))
        assert doc["solve"]["kind"] == "minimum norm" and doc["solve"]["relative_error"] is None
        assert doc["solve"]["relative_residual"] < 1e-10

    def test_structurally_singular_matrix(self, capsys, singular_path):
        A = sparse.csc_array(io.mmread(singular_path))
        rank = structural_rank(A)
        assert rank < 30
        doc = run_json(capsys, singular_path)
        b = doc["btf"]
        assert b["structural_rank"] == rank and not b["full_rank"]
        assert b["unmatched_columns"] == 30 - rank
        assert sum(b["block_sizes"]) == 30
        out = run_text(capsys, singular_path)
        assert f"structural rank {rank} of 30 (structurally rank deficient)" in out
        assert f"{30 - rank} columns without a match" in out
        assert "rank deficient: a basic solution" in out
        assert "Warning" not in out

    def test_pattern_and_gzip_files(self, capsys, tmp_path):
        path = tmp_path / "bcspwr01.mtx.gz"
        path.write_bytes(gzip.compress((DATA / "bcspwr01.mtx").read_bytes()))
        doc = run_json(capsys, str(path))
        assert doc["matrix"]["symmetric_pattern"] and doc["matrix"]["entries"] == load("bcspwr01").nnz
        assert run_text(capsys, str(path)).count("S = A, whose pattern is symmetric") == 1


# ---------------------------------------------------------------------------
# Options


class TestOptions:
    def test_only_and_skip_choose_sections(self, capsys):
        doc = run_json(capsys, "--only", "btf,columns", SAMPLE)
        assert set(doc) == {"format", "versions", "matrix", "columns", "btf", "timing"}
        doc = run_json(capsys, "--skip", "qr", "--skip", "solve,summary", SAMPLE)
        assert set(doc) == {"format", "versions", "matrix", "columns", "symmetric", "btf", "timing"}
        out = run_text(capsys, "--only", "summary", SAMPLE)
        assert "Summary: nothing to summarise" in out

    def test_max_flops_skips_the_numeric_factorization_and_says_why(self, capsys):
        doc = run_json(capsys, "--max-flops", "100", SAMPLE)
        assert doc["qr"]["factorized"] is False and "over --max-flops 100" in doc["qr"]["reason"]
        assert doc["solve"]["applies"] is False
        doc = run_json(capsys, "--max-flops", "100", "--only", "solve", SAMPLE)
        assert doc["solve"]["applies"] is False and "--max-flops" in doc["solve"]["reason"]

    def test_quiet_prints_nothing(self, capsys):
        assert cli.main(["--quiet", SAMPLE]) == 0
        assert capsys.readouterr() == ("", "")

    @pytest.mark.parametrize("argv, message", [
        (["--only", "colums"], "unknown section 'colums'; choose from columns, symmetric"),
        (["--skip", ","], "unknown section ','"),
        (["--plot", "out.jpg"], "the picture must be a .png, .svg, .pdf file, got 'out.jpg'"),
        (["--max-flops", "-1"], "expected a non-negative number, got '-1'"),
        (["a.mtx", "b.mtx"], "unrecognized arguments: b.mtx"),
    ])
    def test_bad_command_lines_exit_2(self, capsys, argv, message):
        with pytest.raises(SystemExit) as exc:
            cli.main(argv)
        assert exc.value.code == 2
        assert message in capsys.readouterr().err

    def test_help_names_sections_and_where_the_keys_are(self):
        text = cli.parser().format_help()
        assert "--only" in text and "--json" in text and "--plot" in text and "columns, symmetric, btf" in text
        assert "python -m pydoc tarnix.report" in text and "141 output pipe closed" in text
        for key in ("structural_rank", "camd_estimate", "nnzR_upper_bound", "library_seconds"):
            assert key in cli.__doc__

    def test_every_json_key_is_documented(self, capsys, tall_path):
        import re

        documented = {word for span in re.findall(r"``(.+?)``", cli.__doc__, re.S) for word in re.findall(r"\w+", span)}

        def keys(obj, below_orderings=False):
            if isinstance(obj, dict):
                for k, v in obj.items():
                    # Ordering names and library statistics records are values, not keys.
                    if not below_orderings:
                        yield k
                    yield from keys(v, k in ("orderings", "analysis", "colamd_stats", "camd_info"))

        for argv in ([SAMPLE], [tall_path]):
            missing = set(keys(run_json(capsys, *argv))) - documented
            assert not missing

    def test_progress_only_on_a_terminal(self):
        import pty

        leader, follower = pty.openpty()
        try:
            proc = subprocess.run([sys.executable, "-m", "tarnix", "--only", "columns", SAMPLE],
                                  stdout=subprocess.PIPE, stderr=follower, timeout=120)
            os.close(follower)
            follower = None
            err = b""
            try:
                while chunk := os.read(leader, 4096):
                    err += chunk
            except OSError:
                pass
        finally:
            os.close(leader)
            if follower is not None:
                os.close(follower)
        assert proc.returncode == 0
        assert b"colamd ..." in err and err.endswith(b"\r\x1b[K")
        assert b"\x1b" not in proc.stdout
        piped = run_child("--only", "columns", SAMPLE)
        assert piped.returncode == 0 and piped.stderr == ""


# ---------------------------------------------------------------------------
# Pictures


class TestPlot:
    @pytest.mark.parametrize("name, suffix, magic", [("west0067", ".png", b"\x89PNG"),
                                                     ("lp_e226", ".svg", b"<?xml"),
                                                     ("GD98_a", ".pdf", b"%PDF")])
    def test_picture_is_written(self, tmp_path, name, suffix, magic):
        pytest.importorskip("matplotlib")
        path = tmp_path / f"{name}{suffix}"
        assert cli.main(["--quiet", "--plot", str(path), str(DATA / f"{name}.mtx")]) == 0
        data = path.read_bytes()
        assert data.startswith(magic) and len(data) > 5000

    def test_missing_matplotlib_is_reported_before_any_work(self, tmp_path):
        code = ("import sys; sys.modules['matplotlib'] = None\n"
                "from tarnix.report import main\n"
                f"sys.exit(main(['--plot', {str(tmp_path / 'a.png')!r}, {SAMPLE!r}]))")
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
        assert proc.returncode == 1
        assert proc.stdout == ""
        assert proc.stderr == ("python -m tarnix: error: --plot needs matplotlib; install it with: "
                               "pip install 'tarnix[plot]'\n")

    def test_unwritable_picture_exits_1(self, tmp_path, capsys):
        pytest.importorskip("matplotlib")
        assert cli.main(["--quiet", "--plot", str(tmp_path / "no" / "such" / "dir.png"), SAMPLE]) == 1
        assert "cannot write" in capsys.readouterr().err

    def test_raster_keeps_small_matrices_one_cell_per_entry(self):
        image, extent = cli._raster(np.array([0, 2, 2]), np.array([1, 0, 2]), (3, 4))
        assert image.shape == (3, 4) and extent == (-0.5, 3.5, 2.5, -0.5)
        assert np.array_equal(image > 0, np.array([[0, 1, 0, 0], [0, 0, 0, 0], [1, 0, 1, 0]], bool))
        image, _ = cli._raster(np.arange(5000), np.arange(5000), (5000, 5000), cells=500)
        assert image.shape == (500, 500) and np.count_nonzero(image) == 500


# ---------------------------------------------------------------------------
# Failures fit for scripts


class TestFailures:
    def test_broken_pipe_ends_quietly(self):
        # The reader is gone before the first line: every write fails.
        code = ("import os, sys\n"
                "r, w = os.pipe(); os.close(r); os.dup2(w, 1)\n"
                "from tarnix.report import main\n"
                f"sys.exit(main([{SAMPLE!r}]))")
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
        assert (proc.returncode, proc.stderr) == (141, "")

    def test_head_sees_no_traceback(self):
        proc = subprocess.run(f"{sys.executable} -m tarnix --json {SAMPLE} | head -c 10", shell=True,
                              capture_output=True, text=True, timeout=120)
        assert proc.stdout == '{\n  "forma' and proc.stderr == ""

    @pytest.mark.parametrize("content, message", [
        (None, "cannot read {path}: No such file or directory"),
        ("hello\n", "{path} is not a valid Matrix Market file"),
        ("%%MatrixMarket matrix coordinate real general\n3 3 2\n1 1 1.0\n", "{path} is not a valid Matrix Market file"),
        ("%%MatrixMarket matrix coordinate real general\n2 2 1\n5 1 1.0\n", "{path} is not a valid Matrix Market file"),
    ])
    def test_bad_files_exit_1_with_one_line(self, tmp_path, content, message):
        path = tmp_path / "bad.mtx"
        if content is not None:
            path.write_text(content)
        proc = run_child(str(path))
        assert proc.returncode == 1 and proc.stdout == ""
        lines = proc.stderr.splitlines()
        assert len(lines) == 1 and lines[0].startswith("python -m tarnix: error: " + message.format(path=path))

    def test_directory_is_not_a_file(self, tmp_path):
        proc = run_child(str(tmp_path))
        assert proc.returncode == 1 and proc.stderr == f"python -m tarnix: error: cannot read {tmp_path}: Is a directory\n"

    @pytest.mark.parametrize("A", [sparse.coo_array((5, 5)), sparse.coo_array((0, 0)),
                                   sparse.coo_array(np.array([[3.0]])), np.arange(6.0).reshape(2, 3)],
                             ids=["no entries", "0 x 0", "1 x 1", "dense array file"])
    def test_degenerate_matrices_report_without_errors(self, capsys, tmp_path, A):
        path = write_mtx(tmp_path / "m.mtx", A)
        assert cli.main(["--json", path]) == 0
        text = capsys.readouterr().out
        doc = json.loads(text, parse_constant=lambda c: pytest.fail(f"{c} is not JSON"))
        shape = A.shape
        assert (doc["matrix"]["rows"], doc["matrix"]["cols"]) == shape
        assert doc["btf"]["structural_rank"] == (structural_rank(sparse.csr_array(A)) if min(shape) else 0)


def test_counts_leave_no_memory_behind():
    from test_leaks import LIMIT, RSS_COUNTS, TRACED_LIMIT, growth

    A32, A64 = load("GD98_a"), load("GD98_a", np.int64)
    W = load("ash219")
    bad = np.zeros(38, np.int32)

    def round_trip():
        counts(A32, camd(A32)), counts(A64, None, True), counts(W, None, True)
        for args in ((W, None, False), (A32, bad, False)):
            with pytest.raises(ValueError):
                counts(*args)

    rss, traced, objects = growth(round_trip)
    assert rss < LIMIT or not RSS_COUNTS
    assert traced < TRACED_LIMIT and objects < 100


# ---------------------------------------------------------------------------
# What a careless or unlucky run meets


def png_size(path):
    data = open(path, "rb").read(24)
    return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")


class TestRoughEdges:
    def test_pattern_files_are_labelled_with_the_values_the_solve_used(self, capsys):
        doc = run_json(capsys, str(DATA / "ash219.mtx"))
        assert doc["matrix"]["field"] == "pattern"
        assert doc["solve"]["values"] == "all 1 (a pattern file)"
        out = run_text(capsys, str(DATA / "ash219.mtx"))
        assert "pattern only (its values taken as 1)" in out.splitlines()[0] and "real" not in out.splitlines()[0]
        assert "(values: all 1, the file holds a pattern only)" in out
        assert run_json(capsys, SAMPLE)["solve"]["values"] == "the file's"

    @pytest.mark.parametrize("argv, names", [(["--only", "qr", "--skip", "qr"], "qr"),
                                             (["--only", "btf,solve", "--skip", "solve,btf,columns"], "btf, solve")])
    def test_contradictory_choices_exit_2(self, capsys, argv, names):
        with pytest.raises(SystemExit) as exc:
            cli.main([*argv, SAMPLE])
        assert exc.value.code == 2
        err = capsys.readouterr().err
        assert f"--only and --skip both name {names}" in err

    def test_full_disk_is_one_line(self):
        with open("/dev/full", "w") as full:
            proc = subprocess.run([sys.executable, "-m", "tarnix", SAMPLE], stdout=full, stderr=subprocess.PIPE,
                                  text=True, timeout=120)
        assert proc.returncode == 1
        assert proc.stderr == "python -m tarnix: error: cannot write the report: No space left on device\n"

    @pytest.mark.parametrize("size_line, declared", [("1000000000000 3 1", "1,000,000,000,000 x 3 matrix"),
                                                     ("5 5 1000000000000", "5 x 5 matrix with 1,000,000,000,000 entries")])
    def test_declared_sizes_beyond_memory_are_refused_before_reading(self, tmp_path, size_line, declared):
        path = tmp_path / "huge.mtx"
        path.write_text(f"%%MatrixMarket matrix coordinate real general\n{size_line}\n1 1 1.0\n")
        proc = run_child(str(path))
        assert proc.returncode == 1 and proc.stdout == ""
        lines = proc.stderr.splitlines()
        assert len(lines) == 1 and f"its header declares a {declared}" in lines[0]
        assert "of memory" in lines[0] and "out of memory; --only" not in lines[0]

    def test_a_huge_header_line_is_refused_after_reading_a_bounded_part(self, tmp_path):
        from tarnix.report.reading import MAX_HEADER_LINE

        path = tmp_path / "long.mtx.gz"
        with gzip.open(path, "wb", compresslevel=1) as f:
            f.write(b"%%MatrixMarket matrix coordinate real general\n%")
            chunk = b"x" * (1 << 20)
            for _ in range(64):  # a 64 MiB comment line, a few kilobytes compressed
                f.write(chunk)
            f.write(b"\n2 2 1\n1 1 1.0\n")
        assert path.stat().st_size < 1 << 20
        proc = run_child(str(path))
        assert proc.returncode == 1
        assert proc.stderr == (f"python -m tarnix: error: {path} is not a valid Matrix Market file: line 2 is longer "
                               f"than {MAX_HEADER_LINE:,} bytes\n")

    def test_costly_analyses_are_bounded_or_asked_for_and_say_why(self, capsys):
        doc = run_json(capsys, SAMPLE)
        analysis = doc["qr"]["analysis"]
        assert list(analysis) == list(cli.QR_ORDERINGS)
        assert "--qr-orderings default,metis" in analysis["metis"]["skipped"]
        assert analysis["natural"]["nnzR_upper_bound"] > 0
        doc = run_json(capsys, "--max-analysis", "100", "--qr-orderings", "metis", SAMPLE)
        analysis = doc["qr"]["analysis"]
        natural = doc["columns"]["orderings"]["natural"]["nnz"]
        assert analysis["natural"]["skipped"].startswith(
            f"not asked for") and analysis["metis"]["ordering_used"] in ("metis", "amd", "colamd")
        doc = run_json(capsys, "--max-analysis", "100", "--qr-orderings", "natural", "--skip", "columns", SAMPLE)
        assert doc["qr"]["analysis"]["natural"]["skipped"].startswith(
            f"the Cholesky factor of A'A in the natural order has {natural:,} entries, over --max-analysis 100")
        out = run_text(capsys, "--only", "qr", SAMPLE)
        assert any(line.split() == ["metis", "skipped"] for line in out.splitlines())
        assert "  metis: not asked for: METIS's analysis can cost" in out

    def test_unavailable_orderings_say_why(self):
        from tarnix.report.text import text_qr

        d = {"analysis": {"default": {"ordering_used": "colamd", "nnzR_upper_bound": 10, "flops_upper_bound": 99,
                                      "seconds": 0.001},
                          "natural": {"error": "SPQRInvalidInputError: SPQR received invalid input. (code -4)"}},
             "factorized": False, "reason": "asked not to"}
        lines = text_qr(d)
        assert any(line.split() == ["natural", "unavailable"] for line in lines)
        assert "  natural: SPQRInvalidInputError: SPQR received invalid input. (code -4)" in lines

    def test_the_time_is_accounted_for(self, capsys, tmp_path):
        pytest.importorskip("matplotlib")
        doc = run_json(capsys, "--plot", str(tmp_path / "a.png"), SAMPLE)
        t = doc["timing"]
        assert set(t["sections"]) == set(cli.SECTIONS) and t["plot_seconds"] > 0
        parts = t["load_seconds"] + sum(t["sections"].values()) + t["plot_seconds"] + t["other_seconds"]
        assert parts == pytest.approx(t["total_seconds"], rel=1e-9)
        assert t["library_seconds"] <= sum(t["sections"].values())
        out = run_text(capsys, "--only", "btf", SAMPLE)
        assert "in all: reading " in out and ", btf " in out and ", other " in out

    @pytest.mark.parametrize("name, panels, wide", [("ash219", 2, False), ("lp_e226", 2, True),
                                                    ("west0067", 4, False)])
    def test_the_picture_lays_out_only_the_panels_that_apply(self, tmp_path, name, panels, wide):
        pytest.importorskip("matplotlib")
        from tarnix.report import plot

        seen = []
        original = plot.panels
        path = tmp_path / "p.png"
        try:
            plot.panels = lambda ctx: seen.append(original(ctx)) or seen[-1]
            assert cli.main(["--quiet", "--plot", str(path), str(DATA / f"{name}.mtx")]) == 0
        finally:
            plot.panels = original
        assert len(seen[0]) == panels
        width, height = png_size(path)
        assert (width > 1.5 * height) == wide

    def test_thousands_separators_throughout(self, capsys):
        out = run_text(capsys, str(DATA / "rajat19.mtx"))
        assert "1,157 x 1,157" in out and "structural rank 1,157 of 1,157" in out
        assert "rank estimate 1,157 of 1,157" in out
        import re

        # No figure of four or more digits without its separators (times and flops in their own notation).
        bare = [w for w in re.findall(r"(?<![\d.,e+-])\d{4,}(?![\d.,])", out)]
        assert bare == []

    def test_version(self, capsys):
        from tarnix import __version__, config

        with pytest.raises(SystemExit) as exc:
            cli.main(["--version"])
        assert exc.value.code == 0
        suitesparse = config()["suitesparse"]["version"]
        assert capsys.readouterr().out == f"tarnix {__version__} (SuiteSparse {suitesparse})\n"
        doc = run_json(capsys, SAMPLE)
        assert doc["versions"] == {"tarnix": __version__, "suitesparse": suitesparse}
