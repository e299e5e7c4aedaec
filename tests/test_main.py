"""python -m tarnix: the report lines of the ordering and BTF modules."""

import re

import numpy as np
from scipy.sparse.csgraph import structural_rank

from support import DATA, cholesky_fill_count, load, symmetric_pattern
from tarnix.__main__ import cholesky_nnz, main


def report(name, capsys):
    assert main([str(DATA / f"{name}.mtx")]) == 0
    return capsys.readouterr().out


def test_square_matrix_lines(capsys):
    out = report("GD98_a", capsys)
    A = load("GD98_a")
    assert f"structural rank {structural_rank(A)} of 38 (structurally rank deficient)" in out
    assert re.search(r"^btf: .* 38 diagonal blocks \(38 of size 1\), 24 unmatched columns$", out, re.M)
    camd_line = next(line for line in out.splitlines() if line.startswith("camd:"))
    natural = cholesky_fill_count(symmetric_pattern(A), np.arange(38))
    assert f"natural order: {natural})" in camd_line


def test_rectangular_matrix_has_no_square_only_lines(capsys):
    out = report("lp_e226", capsys)
    assert "maxtrans:" in out and "structural rank 223 of 223" in out
    assert "btf:" not in out and "camd:" not in out


def test_fill_count_agrees_with_dense_elimination():
    S = symmetric_pattern(load("west0067"))
    p = np.random.default_rng(0).permutation(67)
    assert cholesky_nnz(S, p) == cholesky_fill_count(S, p)
