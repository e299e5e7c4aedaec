"""A structural report on a sparse matrix: ``python -m tarnix [options] [FILE]``.

Reads a Matrix Market file (``.mtx``, also gzip- or bzip2-compressed; by
default a small sample shipped with the package) and reports, section by
section, what the SuiteSparse libraries find in its sparsity pattern:

``columns``
    Column orderings for LU and QR (natural order, colamd, ccolamd), each
    measured by the exact entry count of the Cholesky factor of
    ``A[:, q]' A[:, q]``: an upper bound on ``nnz(R)`` of the QR
    factorization of ``A[:, q]`` and on ``nnz(U)`` of LU with partial pivoting.
``symmetric``
    Symmetric orderings for Cholesky (natural order, symamd, camd) of the
    pattern ``S = A + A'``, measured by the exact entry count of the Cholesky
    factor of ``S[p][:, p]``. Square matrices only.
``btf``
    Structural rank (maxtrans) and, for square matrices, the block triangular
    form (btf): its diagonal blocks and the entries inside them.
``qr``
    SuiteSparseQR: its symbolic analysis under several orderings (upper
    bounds), then, when the analysis bounds the work by ``--max-flops``, the
    numeric factorization with the default ordering: exact ``nnz(R)``, rank
    estimate, singletons and flops.
``solve``
    A least-squares (or, for wide matrices, minimum-norm) solve of
    ``A x = b`` for ``b = A x_true``, with its residual and error.
``summary``
    The best ordering for LU/QR and for Cholesky with its fill ratio, the
    structural rank and the number of diagonal blocks.

All counts are of structural entries (explicitly stored zeros count) and
come from native code; nothing is estimated in Python. Fill ratios compare
factor entries with matrix entries: ``nnz / nnz(A)`` for column orderings,
``nnz(L) / nnz(tril(S))`` (diagonal counted in full) for symmetric ones, so
1.0 means no fill at all.

Options
-------
``--only S1,S2`` / ``--skip S1,S2`` choose sections; ``--json`` prints one
JSON document instead of text; ``--plot FILE.png`` (or ``.svg``, ``.pdf``)
draws the pattern of A, A reordered by the best column ordering, by the best
symmetric ordering, and in block triangular form with its blocks outlined
(needs matplotlib: ``pip install 'tarnix[plot]'``); ``--quiet`` prints no
text report and no progress; ``--max-flops`` caps the numeric QR work.
Progress goes to standard error, only when it is a terminal.

Exit status: 0 on success; 1 when the file cannot be read, is not a Matrix
Market matrix, or the picture cannot be drawn or written; 2 for a bad
command line; 130 on interrupt; 141 when the output pipe closes early
(``python -m tarnix FILE | head``), which ends quietly.

JSON document
-------------
One object. ``format`` is 1. ``matrix``: ``name``, ``rows``, ``cols``,
``entries`` (stored), ``explicit_zeros``, ``dtype``, ``symmetric_pattern``,
``load_seconds``. Each selected section is an object with ``applies``
(false with a ``reason`` when the section does not apply) and, when it
applies:

- ``columns``: ``measure``, ``orderings`` mapping ``natural``, ``colamd``,
  ``ccolamd`` to ``{nnz, flops, fill_ratio, seconds}`` (``nnz`` counts the
  factor's diagonal; ``seconds`` is the ordering call), ``colamd_stats``
  (colamd's statistics record, null for inputs it answers without the
  library), ``best``.
- ``symmetric``: ``measure``, ``symmetric_pattern``, ``nnz_tril_S``, ``orderings`` mapping
  ``natural``, ``symamd``, ``camd`` to ``{nnz, flops, fill_ratio, seconds}``,
  ``camd_estimate`` (camd's own Lnz plus the diagonal, an upper bound; null
  when camd answered without the library), ``camd_info``, ``best``.
- ``btf``: ``structural_rank``, ``full_rank``, ``maxtrans_seconds`` and,
  for square matrices, ``blocks``, ``block_sizes`` (largest first),
  ``singletons``, ``unmatched_columns``, ``entries_in_blocks``,
  ``btf_seconds`` (for rectangular ones ``blocks`` is null, with a
  ``reason``).
- ``qr``: ``analysis`` mapping each ordering asked for to
  ``{ordering_used, nnzR_upper_bound, flops_upper_bound, seconds}`` (or
  ``{error}``), ``default_ordering``, ``factorized``, and either ``reason``
  or ``nnzR`` (exact, from the R factor), ``rank``, ``singleton_columns``,
  ``singleton_rows``, ``flops``, ``factorize_seconds``, ``r_seconds``.
- ``solve``: ``kind`` ("least squares" or "minimum norm"),
  ``relative_residual``, ``relative_error`` (null for minimum norm),
  ``rank_deficient``, ``seconds``.
- ``summary``: ``lu_qr`` and ``cholesky`` as ``{ordering, fill_ratio,
  natural_fill_ratio}`` (null when not measured), ``structural_rank``, ``min_dim``,
  ``blocks``.

``timing``: ``library_seconds`` (the library calls), ``total_seconds``.
"""

from __future__ import annotations

import argparse
import inspect
import json
import math
import os
import sys
import time
import warnings
from importlib import resources
from pathlib import Path

import numpy as np
from scipy import io, sparse

SAMPLE = "west0067.mtx"
SECTIONS = ("columns", "symmetric", "btf", "qr", "solve", "summary")
PLOT_SUFFIXES = (".png", ".svg", ".pdf")
DEFAULT_MAX_FLOPS = 1e10


class InputError(Exception):
    """A problem with the input or output files: reported in one line, exit status 1."""


def plural(count, word, words=None):
    """'1 diagonal block', '2 diagonal blocks'."""
    return f"{count} {word if count == 1 else (words or word + 's')}"


def _ratio(a, b):
    return a / b if b else None


def _fmt_ratio(r):
    return "n/a" if r is None else f"{r:.2f}"


def _fmt_seconds(s):
    if s is None:
        return ""
    return f"{s * 1e3:.2f} ms" if s < 1 else f"{s:.2f} s"


def _fmt_flops(f):
    return f"{f:.3g}"


class Progress:
    """One status line on standard error, kept only while a step runs, and only on a terminal."""

    def __init__(self, enabled):
        self.enabled = enabled
        self.shown = False

    def step(self, message):
        if self.enabled:
            sys.stderr.write(f"\r\x1b[K{message} ...")
            sys.stderr.flush()
            self.shown = True

    def clear(self):
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False


class Context:
    """What the sections share: the matrix, its pattern, the library timings, the orderings found."""

    def __init__(self, A, progress, max_flops):
        self.A = A
        self.m, self.n = A.shape
        self.square = self.m == self.n
        self.progress = progress
        self.max_flops = max_flops
        self.library_seconds = 0.0
        self.perms = {}        # name -> permutation, for the summary and the picture
        self.results = {}      # section name -> its JSON object
        self.btf = None        # (p, q, r) of btf
        self._S = None
        self._factor = None

    def call(self, message, fn, *args, **kwargs):
        """A library call, timed and announced."""
        self.progress.step(message)
        start = time.perf_counter()
        result = fn(*args, **kwargs)
        seconds = time.perf_counter() - start
        self.library_seconds += seconds
        return result, seconds

    def counts(self, message, perm=None, *, normal, pattern=None):
        """(nnz, flops) of a Cholesky factor under an ordering, from CHOLMOD's analysis."""
        from tarnix.cholmod import _cholesky_counts

        M = self.A if pattern is None else pattern
        if perm is not None:
            perm = np.ascontiguousarray(perm, dtype=M.indptr.dtype)
        (nnz, flops), _ = self.call(message, _cholesky_counts, M.shape, M.indptr, M.indices, perm, normal=normal)
        return int(nnz), float(flops)

    @property
    def S(self):
        """The pattern of A + A' (A itself when its pattern is symmetric), canonical CSC."""
        if self._S is None:
            P = _pattern(self.A)
            S = sparse.csc_array(P + P.T)
            if S.nnz == P.nnz:
                S = P
            S.sort_indices()
            S.indptr = S.indptr.astype(self.A.indptr.dtype, copy=False)
            S.indices = S.indices.astype(self.A.indptr.dtype, copy=False)
            self._S = S
        return self._S

    def factor(self):
        """The numeric SPQR factor with the default ordering (made once, for qr and solve)."""
        if self._factor is None:
            from tarnix.spqr import SPQRFactor

            self._factor = self.call("SPQR: numeric factorization", SPQRFactor, self.A, use_singletons=True)
        return self._factor


def _pattern(A):
    """The pattern of A as a CSC array of ones (explicit zeros included)."""
    return sparse.csc_array((np.ones(A.nnz), A.indices, A.indptr), shape=A.shape)


def _stats_dict(record):
    if record is None:
        return None
    return {k: (v.item() if isinstance(v, np.generic) else v) for k, v in vars(record).items()}


def _ordering_entry(nnz, flops, base, seconds):
    return {"nnz": nnz, "flops": flops, "fill_ratio": _ratio(nnz, base), "seconds": seconds}


def _split_info(result):
    """(perm, info) of an ordering called with return_info=True; trivial inputs come back bare."""
    if isinstance(result, tuple):
        return result
    return result, None


# ---------------------------------------------------------------------------
# Sections: each returns its JSON object; the text comes from it.

def section_columns(ctx):
    from tarnix.ccolamd import ccolamd
    from tarnix.colamd import colamd

    A = ctx.A
    base = A.nnz
    orderings = {"natural": _ordering_entry(*ctx.counts("counting A'A, natural order", normal=True), base, None)}
    q, t = ctx.call("colamd", colamd, A, return_info=True)
    q, stats = _split_info(q)
    orderings["colamd"] = _ordering_entry(*ctx.counts("counting A'A, colamd", q, normal=True), base, t)
    q2, t2 = ctx.call("ccolamd", ccolamd, A)
    orderings["ccolamd"] = _ordering_entry(*ctx.counts("counting A'A, ccolamd", q2, normal=True), base, t2)
    best = "colamd" if orderings["colamd"]["nnz"] <= orderings["ccolamd"]["nnz"] else "ccolamd"
    ctx.perms["colamd"], ctx.perms["ccolamd"] = q, q2
    return {
        "applies": True,
        "measure": "exact entries of the Cholesky factor of A[:, q]' A[:, q]; an upper bound on nnz(R) of QR "
                   "and on nnz(U) of LU with partial pivoting",
        "orderings": orderings,
        "colamd_stats": _stats_dict(stats),
        "best": best,
    }


def section_symmetric(ctx):
    if not ctx.square:
        return {"applies": False, "reason": f"Cholesky needs a square matrix; A is {ctx.m} x {ctx.n}"}
    from tarnix.camd import camd
    from tarnix.colamd import symamd

    S, n = ctx.S, ctx.n
    diagonal = int(np.count_nonzero(S.diagonal()))
    base = (S.nnz - diagonal) // 2 + n
    orderings = {"natural": _ordering_entry(*ctx.counts("counting A + A', natural order", normal=False), base, None)}
    # symamd reads the strictly lower triangle only: given S, it orders A + A'.
    p, t = ctx.call("symamd", symamd, S)
    orderings["symamd"] = _ordering_entry(*ctx.counts("counting A + A', symamd", p, normal=False), base, t)
    p2, t2 = ctx.call("camd", camd, S, return_info=True)
    p2, info = _split_info(p2)
    orderings["camd"] = _ordering_entry(*ctx.counts("counting A + A', camd", p2, normal=False), base, t2)
    best = "symamd" if orderings["symamd"]["nnz"] <= orderings["camd"]["nnz"] else "camd"
    ctx.perms["symamd"], ctx.perms["camd"] = p, p2
    return {
        "applies": True,
        "symmetric_pattern": S.nnz == ctx.A.nnz,
        "measure": "exact entries of the Cholesky factor of S[p][:, p], S = A + A'",
        "nnz_tril_S": base,
        "orderings": orderings,
        "camd_estimate": None if info is None else int(info.Lnz) + n,
        "camd_info": _stats_dict(info),
        "best": best,
    }


def _block_of(positions, r):
    return np.searchsorted(r, positions, side="right") - 1


def section_btf(ctx):
    from tarnix.btf import btf, btf_q_permutation, maxtrans

    A, m, n = ctx.A, ctx.m, ctx.n
    jmatch, t = ctx.call("maxtrans", maxtrans, A)
    rank = int(np.count_nonzero(jmatch >= 0))
    out = {"applies": True, "structural_rank": rank, "full_rank": rank == min(m, n), "maxtrans_seconds": t}
    if not ctx.square:
        out.update(blocks=None, reason=f"the block triangular form needs a square matrix; A is {m} x {n}")
        return out
    (p, q, r), t = ctx.call("btf", btf, A)
    unmatched = int(np.count_nonzero(q < 0))
    q = btf_q_permutation(np.array(q, copy=True))
    ctx.btf = (p, q, r)
    sizes = np.diff(r)
    # Entries inside the diagonal blocks, from the block of each entry's row and column.
    row_pos = np.empty(n, dtype=np.int64)
    row_pos[p] = np.arange(n)
    col_pos = np.empty(n, dtype=np.int64)
    col_pos[q] = np.arange(n)
    cols = np.repeat(np.arange(n), np.diff(A.indptr))
    inside = int(np.count_nonzero(_block_of(row_pos[A.indices], r) == _block_of(col_pos[cols], r)))
    out.update(
        blocks=int(sizes.size),
        block_sizes=sorted((int(s) for s in sizes), reverse=True),
        singletons=int(np.count_nonzero(sizes == 1)),
        unmatched_columns=unmatched,
        entries_in_blocks=inside,
        btf_seconds=t,
    )
    return out


QR_ORDERINGS = ("default", "natural", "colamd", "amd", "metis")


def section_qr(ctx):
    from tarnix.spqr import SPQRFactor, spqr

    A = ctx.A
    analysis = {}
    for order in QR_ORDERINGS:
        try:
            f, t = ctx.call(f"SPQR: analysis, {order} ordering", SPQRFactor, A, order=order)
        except Exception as exc:  # an ordering the installed SPQR lacks (metis)
            analysis[order] = {"error": str(exc)}
            continue
        analysis[order] = {
            "ordering_used": f.info.ordering,
            "nnzR_upper_bound": int(f.info.nnzR_upper_bound),
            "flops_upper_bound": int(f.info.flops_upper_bound),
            "seconds": t,
        }
    default = analysis["default"]
    out = {"applies": True, "analysis": analysis, "default_ordering": default.get("ordering_used")}
    bound = default.get("flops_upper_bound", math.inf)
    if bound > ctx.max_flops:
        out.update(factorized=False,
                   reason=f"SPQR's analysis bounds the factorization at {_fmt_flops(bound)} flops, over "
                          f"--max-flops {_fmt_flops(ctx.max_flops)}")
        return out
    f, t = ctx.factor()
    (R, _), t_r = ctx.call("SPQR: R factor", spqr, A, mode="r")
    out.update(
        factorized=True,
        nnzR=int(R.nnz),
        rank=int(f.rank),
        singleton_columns=int(f.info.n1cols),
        singleton_rows=int(f.info.n1rows),
        flops=int(f.info.flops),
        factorize_seconds=t,
        r_seconds=t_r,
    )
    return out


def section_solve(ctx):
    from tarnix.spqr import SPQRFactor, SPQRRankDeficiencyWarning, spqr_solve

    A, m, n = ctx.A, ctx.m, ctx.n
    if "qr" in ctx.results and not ctx.results["qr"].get("factorized"):
        return {"applies": False, "reason": "the QR factorization was not made (see the qr section)"}
    if "qr" not in ctx.results:
        f, _ = ctx.call("SPQR: analysis", SPQRFactor, A)
        if f.info.flops_upper_bound > ctx.max_flops:
            return {"applies": False,
                    "reason": f"SPQR's analysis bounds the factorization at {_fmt_flops(f.info.flops_upper_bound)} "
                              f"flops, over --max-flops {_fmt_flops(ctx.max_flops)}"}
    rng = np.random.default_rng(0)
    x_true = rng.standard_normal(n)
    if A.dtype.kind == "c":
        x_true = x_true + 1j * rng.standard_normal(n)
    b = A @ x_true
    tiny = np.finfo(float).tiny
    # Rank deficiency is reported in the text, not as a warning on the terminal.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", SPQRRankDeficiencyWarning)
        if m >= n:
            f, _ = ctx.factor()
            x, t = ctx.call("SPQR: solve", f.solve, b)
        else:
            x, t = ctx.call("SPQR: minimum-norm solve", spqr_solve, A, b)
    rank_deficient = any(issubclass(w.category, SPQRRankDeficiencyWarning) for w in caught)
    if m >= n:
        rank_deficient = rank_deficient or f.rank < n
    residual = float(np.linalg.norm(A @ x - b) / max(np.linalg.norm(b), tiny))
    error = None
    if m >= n:
        error = float(np.linalg.norm(x - x_true) / max(np.linalg.norm(x_true), tiny))
    return {
        "applies": True,
        "kind": "least squares" if m >= n else "minimum norm",
        "relative_residual": residual,
        "relative_error": error,
        "rank_deficient": bool(rank_deficient),
        "seconds": t,
    }


def section_summary(ctx):
    def pick(section):
        data = ctx.results.get(section)
        if not data or not data.get("applies"):
            return None
        best = data["orderings"][data["best"]]
        return {"ordering": data["best"], "fill_ratio": best["fill_ratio"],
                "natural_fill_ratio": data["orderings"]["natural"]["fill_ratio"]}

    btf = ctx.results.get("btf") or {}
    return {
        "applies": True,
        "lu_qr": pick("columns"),
        "cholesky": pick("symmetric"),
        "structural_rank": btf.get("structural_rank"),
        "min_dim": min(ctx.m, ctx.n),
        "blocks": btf.get("blocks"),
    }


SECTION_FUNCTIONS = {
    "columns": section_columns,
    "symmetric": section_symmetric,
    "btf": section_btf,
    "qr": section_qr,
    "solve": section_solve,
    "summary": section_summary,
}

# ---------------------------------------------------------------------------
# Text


def _table(rows, headers):
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]
    lines = ["  " + "  ".join(h.ljust(w) if i == 0 else h.rjust(w) for i, (h, w) in enumerate(zip(headers, widths)))]
    for r in rows:
        lines.append("  " + "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))
    return lines


def _ordering_rows(orderings, best):
    rows = []
    for name, o in orderings.items():
        label = name + (" (best)" if name == best else "")
        rows.append([label, f"{o['nnz']:,}", _fmt_ratio(o["fill_ratio"]), _fmt_flops(o["flops"]),
                     _fmt_seconds(o["seconds"]) or "-"])
    return rows


def text_matrix(d):
    zeros = f" (including {plural(d['explicit_zeros'], 'explicit zero')})" if d["explicit_zeros"] else ""
    kind = "complex" if d["dtype"].startswith("complex") else "real"
    shape = "symmetric pattern" if d["symmetric_pattern"] else "unsymmetric pattern"
    if d["rows"] != d["cols"]:
        shape = "rectangular"
    return [f"matrix: {d['name']}: {d['rows']} x {d['cols']}, {plural(d['entries'], 'stored entry', 'stored entries')}"
            f"{zeros}, {kind}, {shape}; read in {_fmt_seconds(d['load_seconds'])}"]


def text_columns(d):
    lines = ["Column orderings for LU and QR, against the natural order: exact entries of the Cholesky factor of",
             "A[:, q]' A[:, q], an upper bound on nnz(R) of QR and on nnz(U) of LU with partial pivoting;",
             "fill ratio = nnz / nnz(A); time = the ordering call"]
    lines += _table(_ordering_rows(d["orderings"], d["best"]), ["ordering", "nnz", "fill ratio", "flops", "time"])
    return lines


def text_symmetric(d):
    if not d["applies"]:
        return [f"Symmetric orderings for Cholesky: not applicable: {d['reason']}"]
    s = "A, whose pattern is symmetric" if d["symmetric_pattern"] else "the pattern of A + A'"
    lines = ["Symmetric orderings for Cholesky, against the natural order: exact entries of the Cholesky factor",
             f"L of S[p][:, p], S = {s}; fill ratio = nnz(L) / nnz(tril(S)) = nnz(L) / {d['nnz_tril_S']:,}"]
    lines += _table(_ordering_rows(d["orderings"], d["best"]), ["ordering", "nnz(L)", "fill ratio", "flops", "time"])
    if d["camd_estimate"] is not None:
        exact = d["orderings"]["camd"]["nnz"]
        lines.append(f"  camd's own estimate of nnz(L): {d['camd_estimate']:,}, an upper bound "
                     f"({d['camd_estimate'] - exact:+,} against the exact count): camd counts with approximate degrees")
    return lines


def text_btf(d):
    rank, full = d["structural_rank"], d["full_rank"]
    lines = ["Structural rank and block triangular form (maxtrans, btf):"]
    status = "full structural rank" if full else "structurally rank deficient"
    lines.append(f"  structural rank {rank} of {d['min_dim']} ({status}), maxtrans {_fmt_seconds(d['maxtrans_seconds'])}")
    if d["blocks"] is None:
        lines.append(f"  block triangular form: not applicable: {d['reason']}")
        return lines
    sizes = d["block_sizes"]
    big = [s for s in sizes if s > 1]
    parts = []
    if big:
        parts.append(("largest " if len(big) > 1 else "one of size ") + ", ".join(str(s) for s in big[:5])
                     + (", ..." if len(big) > 5 else ""))
    if d["singletons"]:
        parts.append(plural(d["singletons"], "singleton"))
    lines.append(f"  {plural(d['blocks'], 'diagonal block')} ({'; '.join(parts)}), btf {_fmt_seconds(d['btf_seconds'])}")
    if d["unmatched_columns"]:
        lines.append(f"  {plural(d['unmatched_columns'], 'column')} without a match: "
                     f"{'its' if d['unmatched_columns'] == 1 else 'their'} diagonal entries are structurally zero")
    total = d["entries"]
    lines.append(f"  {d['entries_in_blocks']:,} of {total:,} entries lie in the diagonal blocks "
                 f"({100.0 * d['entries_in_blocks'] / max(total, 1):.1f}%); an LU factorization by blocks factors "
                 f"only those")
    return lines


def text_qr(d):
    lines = ["QR factorization (SuiteSparseQR): its symbolic analysis, upper bounds per ordering"]
    rows = []
    for name, a in d["analysis"].items():
        if "error" in a:
            rows.append([name, "unavailable", "", ""])
            continue
        label = name if a["ordering_used"] == name else f"{name} (chose {a['ordering_used']})"
        rows.append([label, f"{a['nnzR_upper_bound']:,}", _fmt_flops(a["flops_upper_bound"]),
                     _fmt_seconds(a["seconds"])])
    lines += _table(rows, ["ordering", "nnz(R) bound", "flops bound", "time"])
    if not d["factorized"]:
        lines.append(f"  numeric factorization skipped: {d['reason']}")
        return lines
    rank_note = "full rank" if d["rank"] == d["min_dim"] else "rank deficient"
    lines.append(f"  numeric factorization, default ordering ({d['default_ordering']}): exact nnz(R) = {d['nnzR']:,}, "
                 f"rank estimate {d['rank']} of {d['min_dim']} ({rank_note}), "
                 f"singleton part (taken without arithmetic) {plural(d['singleton_columns'], 'column')} and "
                 f"{plural(d['singleton_rows'], 'row')}, {_fmt_flops(d['flops'])} flops, "
                 f"{_fmt_seconds(d['factorize_seconds'])}")
    return lines


def text_solve(d):
    if not d["applies"]:
        return [f"Solve: not applicable: {d['reason']}"]
    if d["kind"] == "least squares":
        note = " (rank deficient: a basic solution, x_true is not recovered)" if d["rank_deficient"] else ""
        return [f"Least-squares solve of A x = b, b = A x_true{note}: ||A x - b|| / ||b|| = "
                f"{d['relative_residual']:.1e}, ||x - x_true|| / ||x_true|| = {d['relative_error']:.1e}, "
                f"{_fmt_seconds(d['seconds'])}"]
    return [f"Minimum-norm solve of A x = b, b = A x_true: ||A x - b|| / ||b|| = {d['relative_residual']:.1e}, "
            f"{_fmt_seconds(d['seconds'])}"]


def text_summary(d):
    parts = []
    for use, key in (("LU/QR", "lu_qr"), ("Cholesky", "cholesky")):
        s = d[key]
        if s is not None:
            parts.append(f"best for {use}: {s['ordering']} (fill ratio {_fmt_ratio(s['fill_ratio'])}, "
                         f"natural order {_fmt_ratio(s['natural_fill_ratio'])})")
    if d["structural_rank"] is not None:
        parts.append(f"structural rank {d['structural_rank']} of {d['min_dim']}")
    if d["blocks"] is not None:
        parts.append(plural(d["blocks"], "diagonal block"))
    if not parts:
        return ["Summary: nothing to summarise (the columns, symmetric and btf sections were left out)"]
    return ["Summary: " + "; ".join(parts)]


TEXT = {
    "columns": text_columns,
    "symmetric": text_symmetric,
    "btf": text_btf,
    "qr": text_qr,
    "solve": text_solve,
    "summary": text_summary,
}

# ---------------------------------------------------------------------------
# Picture


def _raster(rows, cols, shape, cells=600):
    """A density image of the entries (rows[k], cols[k]): one cell per entry for small matrices."""
    m, n = shape
    scale = max(1.0, max(m, n) / cells)
    h, w = max(1, math.ceil(m / scale)), max(1, math.ceil(n / scale))
    r = (rows / scale).astype(np.int64)
    c = (cols / scale).astype(np.int64)
    image = np.bincount(r * w + c, minlength=h * w).reshape(h, w).astype(float)
    # Cells of a coarse raster hold many entries: a logarithmic scale keeps sparse ones visible.
    return np.log1p(image), (-0.5, n - 0.5, m - 0.5, -0.5)


def _positions(perm):
    """Where each index lands under the ordering ``perm`` (its inverse permutation)."""
    position = np.empty(len(perm), dtype=np.int64)
    position[perm] = np.arange(len(perm))
    return position


def _draw_pattern(ax, rows, cols, shape, title):
    image, extent = _raster(np.asarray(rows), np.asarray(cols), shape)
    ax.imshow(image, cmap="Greys", extent=extent, interpolation="nearest", aspect="equal",
              vmin=0, vmax=max(image.max(), 1e-12))
    ax.set_title(title, fontsize=9)
    ax.tick_params(labelsize=7)


def _not_drawn(ax, title, reason):
    ax.set_title(title, fontsize=9)
    ax.text(0.5, 0.5, reason, ha="center", va="center", wrap=True, fontsize=8, transform=ax.transAxes)
    ax.set_axis_off()


def draw(ctx, name, path):
    """The four panels: A, A[:, q], A[p][:, p] and the block triangular form with its blocks outlined."""
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle

    A, m, n = ctx.A, ctx.m, ctx.n
    rows = A.indices.astype(np.int64)
    cols = np.repeat(np.arange(n, dtype=np.int64), np.diff(A.indptr))
    fig = Figure(figsize=(10, 10), layout="constrained")
    axes = fig.subplots(2, 2)
    fig.suptitle(f"{name}: {m} x {n}, {plural(A.nnz, 'stored entry', 'stored entries')}", fontsize=11)
    _draw_pattern(axes[0, 0], rows, cols, A.shape, "A")

    columns = ctx.results.get("columns")
    if columns and columns.get("applies"):
        best = columns["best"]
        position = _positions(ctx.perms[best])
        o = columns["orderings"][best]
        _draw_pattern(axes[0, 1], rows, position[cols], A.shape,
                      f"A[:, q], q = {best}: nnz(R) <= {o['nnz']:,} (fill ratio {_fmt_ratio(o['fill_ratio'])})")
    else:
        _not_drawn(axes[0, 1], "A[:, q]", "the columns section was not run")

    symmetric = ctx.results.get("symmetric")
    if symmetric and symmetric.get("applies"):
        best = symmetric["best"]
        position = _positions(ctx.perms[best])
        o = symmetric["orderings"][best]
        _draw_pattern(axes[1, 0], position[rows], position[cols], A.shape,
                      f"A[p][:, p], p = {best}: nnz(L) = {o['nnz']:,} (fill ratio {_fmt_ratio(o['fill_ratio'])})")
    else:
        reason = symmetric["reason"] if symmetric else "the symmetric section was not run"
        _not_drawn(axes[1, 0], "A[p][:, p]", reason)

    if ctx.btf is not None:
        p, q, r = ctx.btf
        row_pos = np.empty(m, dtype=np.int64)
        row_pos[p] = np.arange(m)
        col_pos = np.empty(n, dtype=np.int64)
        col_pos[q] = np.arange(n)
        ax = axes[1, 1]
        sizes = np.diff(r)
        _draw_pattern(ax, row_pos[rows], col_pos[cols], A.shape,
                      f"block triangular form A[P][:, Q]: {plural(int(sizes.size), 'diagonal block')}")
        # Singletons would only hide the entries; outline the blocks of two or more.
        big = np.flatnonzero(sizes > 1)
        big = big[np.argsort(sizes[big])[::-1][:2000]]
        for b in big:
            ax.add_patch(Rectangle((r[b] - 0.5, r[b] - 0.5), sizes[b], sizes[b], fill=False,
                                   edgecolor="tab:red", linewidth=0.8))
    else:
        btf = ctx.results.get("btf")
        reason = btf["reason"] if btf and btf.get("reason") else "the btf section was not run"
        _not_drawn(axes[1, 1], "block triangular form", reason)
    try:
        fig.savefig(path, dpi=120)
    except OSError as exc:
        raise InputError(f"cannot write {path}: {exc.strerror or exc}") from None


# ---------------------------------------------------------------------------
# Reading


def mmread(path):
    """scipy.io.mmread, asking for sparse arrays where SciPy knows the choice."""
    if "spmatrix" in inspect.signature(io.mmread).parameters:
        return io.mmread(path, spmatrix=False)
    return io.mmread(path)


def load(path):
    """The matrix of a Matrix Market file as a canonical CSC array of float64 or complex128 values."""
    try:
        # Opened here first so that a missing file, a directory or a lack of
        # permission reads as the system says it, not as mmread rewords it.
        with open(path, "rb"):
            pass
        A = mmread(path)
    except OSError as exc:
        raise InputError(f"cannot read {path}: {exc.strerror or exc}") from None
    except Exception as exc:  # mmread raises several types for malformed files
        raise InputError(f"{path} is not a valid Matrix Market file: {exc}") from None
    if not sparse.issparse(A):
        A = sparse.coo_array(np.atleast_2d(A))
    A = sparse.csc_array(A)
    if A.dtype.kind not in "fc":
        A = A.astype(np.float64)
    elif A.dtype not in (np.float64, np.complex128):
        A = A.astype(np.complex128 if A.dtype.kind == "c" else np.float64)
    A.sum_duplicates()
    A.sort_indices()
    return A


# ---------------------------------------------------------------------------
# Command line


def _section_list(text):
    names = [s.strip() for s in text.split(",") if s.strip()]
    unknown = [s for s in names if s not in SECTIONS]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown section {', '.join(map(repr, unknown)) or repr(text)}; choose from {', '.join(SECTIONS)}")
    return names


def _plot_path(text):
    if Path(text).suffix.lower() not in PLOT_SUFFIXES:
        raise argparse.ArgumentTypeError(f"the picture must be a {', '.join(PLOT_SUFFIXES)} file, got {text!r}")
    return text


def _flops(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative number, got {text!r}")
    return value


def parser():
    p = argparse.ArgumentParser(
        prog="python -m tarnix",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Report what the SuiteSparse libraries of tarnix find in a sparse matrix:\n"
                    "fill of column and symmetric orderings, structural rank, block triangular form, QR.",
        epilog=f"sections: {', '.join(SECTIONS)}\n"
               "exit status: 0 done, 1 unreadable matrix or picture, 2 bad command line,\n"
               "             130 interrupted, 141 output pipe closed\n"
               "the measures and every JSON key: python -m pydoc tarnix.__main__",
    )
    p.add_argument("file", nargs="?", help=f"Matrix Market file, may be gzipped (default: the bundled {SAMPLE})")
    p.add_argument("--only", type=_section_list, action="extend", metavar="SECTIONS",
                   help="run only these sections (comma-separated)")
    p.add_argument("--skip", type=_section_list, action="extend", metavar="SECTIONS",
                   help="leave out these sections (comma-separated)")
    p.add_argument("--json", action="store_true", help="print one JSON document with every figure instead of text")
    p.add_argument("--plot", type=_plot_path, metavar="FILE", help="draw the patterns into FILE (.png, .svg or .pdf)")
    p.add_argument("--quiet", action="store_true", help="no text report and no progress (errors still show)")
    p.add_argument("--max-flops", type=_flops, default=DEFAULT_MAX_FLOPS, metavar="N",
                   help="factorize numerically only when SPQR bounds the work by N flops (default %(default).0e)")
    return p


def _selected(args):
    chosen = list(SECTIONS) if not args.only else [s for s in SECTIONS if s in args.only]
    return [s for s in chosen if s not in (args.skip or [])]


def run(args, out):
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise InputError("--plot needs matplotlib; install it with: pip install 'tarnix[plot]'") from None
    progress = Progress(not args.quiet and sys.stderr.isatty())
    start = time.perf_counter()
    if args.file is None:
        with resources.as_file(resources.files("tarnix") / "data" / SAMPLE) as path:
            A = load(path)
        name = f"{SAMPLE} (bundled sample)"
    else:
        size = os.path.getsize(args.file) if os.path.isfile(args.file) else 0
        progress.step(f"reading {args.file}" + (f" ({size / 2**20:.1f} MiB)" if size >= 2**20 else ""))
        A = load(args.file)
        name = Path(args.file).name
    load_seconds = time.perf_counter() - start

    ctx = Context(A, progress, args.max_flops)
    text = not args.json and not args.quiet

    def emit(lines):
        progress.clear()
        if text:
            out("\n".join(lines))

    matrix = {
        "name": name,
        "rows": ctx.m,
        "cols": ctx.n,
        "entries": int(A.nnz),
        "explicit_zeros": int(np.count_nonzero(A.data == 0)),
        "dtype": str(A.dtype),
        "symmetric_pattern": bool(ctx.square and ctx.S.nnz == A.nnz),
        "load_seconds": load_seconds,
    }
    emit(text_matrix(matrix))
    doc = {"format": 1, "matrix": matrix}
    for section in _selected(args):
        data = SECTION_FUNCTIONS[section](ctx)
        ctx.results[section] = data
        doc[section] = data
        # The text of a few sections needs figures of the matrix as a whole.
        view = dict(data, entries=matrix["entries"], min_dim=min(ctx.m, ctx.n))
        emit([""] + TEXT[section](view))
    if args.plot:
        progress.step(f"drawing {args.plot}")
        draw(ctx, name, args.plot)
        progress.clear()
    total = time.perf_counter() - start
    doc["timing"] = {"library_seconds": ctx.library_seconds, "total_seconds": total}
    if args.json:
        out(json.dumps(_finite(doc), indent=2, allow_nan=False))
    elif text:
        out(f"\n{_fmt_seconds(total)} in all, {_fmt_seconds(ctx.library_seconds)} of it in library calls "
            f"(orderings, CHOLMOD's analysis, BTF, SPQR); reading took {_fmt_seconds(load_seconds)}")
    return 0


def _finite(obj):
    """The document with NaN and infinities as null: strict JSON readers refuse them."""
    if isinstance(obj, dict):
        return {k: _finite(v) for k, v in obj.items()}
    if isinstance(obj, list):
        return [_finite(v) for v in obj]
    if isinstance(obj, float) and not math.isfinite(obj):
        return None
    return obj


def main(argv=None):
    args = parser().parse_args(argv)

    def out(s):
        print(s, flush=True)

    try:
        return run(args, out)
    except InputError as exc:
        print(f"python -m tarnix: error: {exc}", file=sys.stderr)
        return 1
    except MemoryError:
        print("python -m tarnix: error: out of memory; --only or --skip can leave out the costly sections",
              file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("python -m tarnix: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`| head`): nothing more can be said; keep the
        # interpreter's final flush from failing too.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 141


if __name__ == "__main__":
    sys.exit(main())
