"""The report's sections: each measures one thing and returns its JSON object."""

from __future__ import annotations

import math
import time
import warnings

import numpy as np
from scipy import sparse

SECTIONS = ("columns", "symmetric", "btf", "qr", "solve", "summary")
# SPQR's analyses: the cheap ones by default; natural order when its cost is
# bounded first, METIS only when asked for (its analysis can take seconds and
# gigabytes where COLAMD's takes a fraction of a second and megabytes).
QR_ORDERINGS = ("default", "natural", "colamd", "amd", "metis")
DEFAULT_QR_ORDERINGS = ("default", "natural", "colamd", "amd")
DEFAULT_MAX_FLOPS = 1e10
DEFAULT_MAX_ANALYSIS = 5e7


def fmt_flops(f):
    return f"{f:.3g}"


class Context:
    """What the sections share: the matrix, its pattern, the library timings, the orderings found."""

    def __init__(self, A, progress, max_flops, *, qr_orderings=DEFAULT_QR_ORDERINGS,
                 max_analysis=DEFAULT_MAX_ANALYSIS, pattern=False):
        self.A = A
        self.m, self.n = A.shape
        self.square = self.m == self.n
        self.progress = progress
        self.max_flops = max_flops
        self.qr_orderings = qr_orderings
        self.max_analysis = max_analysis
        self.pattern = pattern  # a pattern file: its values are all 1
        self.library_seconds = 0.0
        self.perms = {}        # name -> permutation, for the summary and the picture
        self.results = {}      # section name -> its JSON object
        self.btf = None        # (p, q, r) of btf
        self._S = None
        self._factor = None
        self._natural_count = None

    def call(self, message, fn, *args, **kwargs):
        """A library call, timed and announced."""
        self.progress.step(message)
        start = time.perf_counter()
        try:
            return fn(*args, **kwargs), time.perf_counter() - start
        finally:
            self.library_seconds += time.perf_counter() - start

    def counts(self, message, perm=None, *, normal, pattern=None):
        """(nnz, flops) of a Cholesky factor under an ordering, from CHOLMOD's analysis."""
        from tarnix.cholmod import _cholesky_counts

        M = self.A if pattern is None else pattern
        if perm is not None:
            perm = np.ascontiguousarray(perm, dtype=M.indptr.dtype)
        (nnz, flops), _ = self.call(message, _cholesky_counts, M.shape, M.indptr, M.indices, perm, normal=normal)
        return int(nnz), float(flops)

    def natural_count(self):
        """Entries of the Cholesky factor of A'A in the natural order: a bound on nnz(R) without ordering."""
        if self._natural_count is None:
            columns = self.results.get("columns")
            if columns and columns.get("applies"):
                self._natural_count = columns["orderings"]["natural"]["nnz"]
            else:
                self._natural_count = self.counts("counting A'A, natural order", normal=True)[0]
        return self._natural_count

    @property
    def S(self):
        """The pattern of A + A' (A itself when its pattern is symmetric), canonical CSC."""
        if self._S is None:
            P = pattern_of(self.A)
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


def pattern_of(A):
    """The pattern of A as a CSC array of ones (explicit zeros included)."""
    return sparse.csc_array((np.ones(A.nnz), A.indices, A.indptr), shape=A.shape)


def _stats_dict(record):
    if record is None:
        return None
    return {k: (v.item() if isinstance(v, np.generic) else v) for k, v in vars(record).items()}


def _ordering_entry(nnz, flops, base, seconds):
    return {"nnz": nnz, "flops": flops, "fill_ratio": nnz / base if base else None, "seconds": seconds}


def _split_info(result):
    """(perm, info) of an ordering called with return_info=True; trivial inputs come back bare."""
    if isinstance(result, tuple):
        return result
    return result, None


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
        return {"applies": False, "reason": f"Cholesky needs a square matrix; A is {ctx.m:,} x {ctx.n:,}"}
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


def positions(perm):
    """Where each index lands under the ordering ``perm`` (its inverse permutation)."""
    position = np.empty(len(perm), dtype=np.int64)
    position[perm] = np.arange(len(perm))
    return position


def section_btf(ctx):
    from tarnix.btf import btf, btf_q_permutation, maxtrans

    A, m, n = ctx.A, ctx.m, ctx.n
    jmatch, t = ctx.call("maxtrans", maxtrans, A)
    rank = int(np.count_nonzero(jmatch >= 0))
    out = {"applies": True, "structural_rank": rank, "full_rank": rank == min(m, n), "maxtrans_seconds": t}
    if not ctx.square:
        out.update(blocks=None, reason=f"the block triangular form needs a square matrix; A is {m:,} x {n:,}")
        return out
    (p, q, r), t = ctx.call("btf", btf, A)
    unmatched = int(np.count_nonzero(q < 0))
    q = btf_q_permutation(np.array(q, copy=True))
    ctx.btf = (p, q, r)
    sizes = np.diff(r)
    # Entries inside the diagonal blocks, from the block of each entry's row and column.
    cols = np.repeat(np.arange(n), np.diff(A.indptr))
    inside = int(np.count_nonzero(_block_of(positions(p)[A.indices], r) == _block_of(positions(q)[cols], r)))
    out.update(
        blocks=int(sizes.size),
        block_sizes=sorted((int(s) for s in sizes), reverse=True),
        singletons=int(np.count_nonzero(sizes == 1)),
        unmatched_columns=unmatched,
        entries_in_blocks=inside,
        btf_seconds=t,
    )
    return out


def _skipped_analysis(ctx, order):
    """Why an analysis is left out, or None to run it."""
    if order != "default" and order not in ctx.qr_orderings:
        if order == "metis":
            return ("not asked for: METIS's analysis can cost far more time and memory than the others; "
                    "--qr-orderings default,metis runs it")
        return "not asked for (--qr-orderings)"
    if order == "natural":
        bound = ctx.natural_count()
        if bound > ctx.max_analysis:
            return (f"the Cholesky factor of A'A in the natural order has {bound:,} entries, over "
                    f"--max-analysis {ctx.max_analysis:,.0f}: SPQR's analysis would take time and memory in "
                    f"proportion")
    return None


def _analysis(ctx, order):
    from tarnix.spqr import SPQRFactor

    why = _skipped_analysis(ctx, order)
    if why is not None:
        return {"skipped": why}
    try:
        f, t = ctx.call(f"SPQR: analysis, {order} ordering", SPQRFactor, ctx.A, order=order)
    except MemoryError as exc:
        return {"error": f"out of memory: {exc}" if str(exc) else "out of memory"}
    except Exception as exc:  # the library refused (an ordering it lacks, sizes over its index width)
        return {"error": f"{type(exc).__name__}: {exc}"}
    return {
        "ordering_used": f.info.ordering,
        "nnzR_upper_bound": int(f.info.nnzR_upper_bound),
        "flops_upper_bound": int(f.info.flops_upper_bound),
        "seconds": t,
    }


def section_qr(ctx):
    from tarnix.spqr import spqr

    A = ctx.A
    analysis = {order: _analysis(ctx, order) for order in QR_ORDERINGS}
    default = analysis["default"]
    out = {"applies": True, "analysis": analysis, "default_ordering": default.get("ordering_used")}
    bound = default.get("flops_upper_bound", math.inf)
    if bound > ctx.max_flops:
        reason = (f"SPQR's analysis bounds the factorization at {fmt_flops(bound)} flops, over "
                  f"--max-flops {fmt_flops(ctx.max_flops)}" if "flops_upper_bound" in default
                  else "the analysis with the default ordering failed (see above)")
        out.update(factorized=False, reason=reason)
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


def _solve_refused(ctx):
    from tarnix.spqr import SPQRFactor

    if "qr" in ctx.results and not ctx.results["qr"].get("factorized"):
        return "the QR factorization was not made (see the qr section)"
    if "qr" not in ctx.results:
        f, _ = ctx.call("SPQR: analysis", SPQRFactor, ctx.A)
        if f.info.flops_upper_bound > ctx.max_flops:
            return (f"SPQR's analysis bounds the factorization at {fmt_flops(f.info.flops_upper_bound)} "
                    f"flops, over --max-flops {fmt_flops(ctx.max_flops)}")
    return None


def section_solve(ctx):
    from tarnix.spqr import SPQRRankDeficiencyWarning, spqr_solve

    A, m, n = ctx.A, ctx.m, ctx.n
    reason = _solve_refused(ctx)
    if reason is not None:
        return {"applies": False, "reason": reason}
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
        "values": "all 1 (a pattern file)" if ctx.pattern else "the file's",
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
