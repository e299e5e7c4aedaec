"""The report as text: one function per section, each from the section's JSON object."""

from __future__ import annotations

from .sections import fmt_flops


def plural(count, word, words=None):
    """'1 diagonal block', '2 diagonal blocks', '1,200 diagonal blocks'."""
    return f"{count:,} {word if count == 1 else (words or word + 's')}"


def fmt_ratio(r):
    return "n/a" if r is None else f"{r:.2f}"


def fmt_seconds(s):
    if s is None:
        return ""
    return f"{s * 1e3:.2f} ms" if s < 1 else f"{s:,.2f} s"


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
        rows.append([label, f"{o['nnz']:,}", fmt_ratio(o["fill_ratio"]), fmt_flops(o["flops"]),
                     fmt_seconds(o["seconds"]) or "-"])
    return rows


def text_matrix(d):
    zeros = f" (including {plural(d['explicit_zeros'], 'explicit zero')})" if d["explicit_zeros"] else ""
    kind = {"pattern": "pattern only (its values taken as 1)", "integer": "integer (read as real)"}.get(
        d["field"], "complex" if d["dtype"].startswith("complex") else "real")
    shape = "symmetric pattern" if d["symmetric_pattern"] else "unsymmetric pattern"
    if d["rows"] != d["cols"]:
        shape = "rectangular"
    return [f"matrix: {d['name']}: {d['rows']:,} x {d['cols']:,}, "
            f"{plural(d['entries'], 'stored entry', 'stored entries')}{zeros}, {kind}, {shape}; "
            f"read in {fmt_seconds(d['load_seconds'])}"]


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


def _blocks_line(d):
    sizes = d["block_sizes"]
    big = [s for s in sizes if s > 1]
    parts = []
    if big:
        parts.append(("largest " if len(big) > 1 else "one of size ") + ", ".join(f"{s:,}" for s in big[:5])
                     + (", ..." if len(big) > 5 else ""))
    if d["singletons"]:
        parts.append(plural(d["singletons"], "singleton"))
    return f"  {plural(d['blocks'], 'diagonal block')} ({'; '.join(parts)}), btf {fmt_seconds(d['btf_seconds'])}"


def text_btf(d):
    rank, full = d["structural_rank"], d["full_rank"]
    lines = ["Structural rank and block triangular form (maxtrans, btf):"]
    status = "full structural rank" if full else "structurally rank deficient"
    lines.append(f"  structural rank {rank:,} of {d['min_dim']:,} ({status}), "
                 f"maxtrans {fmt_seconds(d['maxtrans_seconds'])}")
    if d["blocks"] is None:
        lines.append(f"  block triangular form: not applicable: {d['reason']}")
        return lines
    lines.append(_blocks_line(d))
    if d["unmatched_columns"]:
        lines.append(f"  {plural(d['unmatched_columns'], 'column')} without a match: "
                     f"{'its' if d['unmatched_columns'] == 1 else 'their'} diagonal entries are structurally zero")
    total = d["entries"]
    lines.append(f"  {d['entries_in_blocks']:,} of {total:,} entries lie in the diagonal blocks "
                 f"({100.0 * d['entries_in_blocks'] / max(total, 1):.1f}%); an LU factorization by blocks factors "
                 f"only those")
    return lines


def _analysis_rows(analysis):
    rows, notes = [], []
    for name, a in analysis.items():
        if "skipped" in a or "error" in a:
            rows.append([name, "skipped" if "skipped" in a else "unavailable", "", ""])
            notes.append(f"  {name}: {a.get('skipped') or a['error']}")
            continue
        label = name if a["ordering_used"] == name else f"{name} (chose {a['ordering_used']})"
        rows.append([label, f"{a['nnzR_upper_bound']:,}", fmt_flops(a["flops_upper_bound"]),
                     fmt_seconds(a["seconds"])])
    return rows, notes


def text_qr(d):
    lines = ["QR factorization (SuiteSparseQR): its symbolic analysis, upper bounds per ordering"]
    rows, notes = _analysis_rows(d["analysis"])
    lines += _table(rows, ["ordering", "nnz(R) bound", "flops bound", "time"]) + notes
    if not d["factorized"]:
        lines.append(f"  numeric factorization skipped: {d['reason']}")
        return lines
    rank_note = "full rank" if d["rank"] == d["min_dim"] else "rank deficient"
    lines.append(f"  numeric factorization, default ordering ({d['default_ordering']}): exact nnz(R) = {d['nnzR']:,}, "
                 f"rank estimate {d['rank']:,} of {d['min_dim']:,} ({rank_note}), "
                 f"singleton part (taken without arithmetic) {plural(d['singleton_columns'], 'column')} and "
                 f"{plural(d['singleton_rows'], 'row')}, {fmt_flops(d['flops'])} flops, "
                 f"{fmt_seconds(d['factorize_seconds'])}")
    return lines


def text_solve(d):
    if not d["applies"]:
        return [f"Solve: not applicable: {d['reason']}"]
    values = " (values: all 1, the file holds a pattern only)" if d["values"].startswith("all 1") else ""
    if d["kind"] == "least squares":
        note = " (rank deficient: a basic solution, x_true is not recovered)" if d["rank_deficient"] else ""
        return [f"Least-squares solve of A x = b, b = A x_true{values}{note}: ||A x - b|| / ||b|| = "
                f"{d['relative_residual']:.1e}, ||x - x_true|| / ||x_true|| = {d['relative_error']:.1e}, "
                f"{fmt_seconds(d['seconds'])}"]
    return [f"Minimum-norm solve of A x = b, b = A x_true{values}: ||A x - b|| / ||b|| = "
            f"{d['relative_residual']:.1e}, {fmt_seconds(d['seconds'])}"]


def text_summary(d):
    parts = []
    for use, key in (("LU/QR", "lu_qr"), ("Cholesky", "cholesky")):
        s = d[key]
        if s is not None:
            parts.append(f"best for {use}: {s['ordering']} (fill ratio {fmt_ratio(s['fill_ratio'])}, "
                         f"natural order {fmt_ratio(s['natural_fill_ratio'])})")
    if d["structural_rank"] is not None:
        parts.append(f"structural rank {d['structural_rank']:,} of {d['min_dim']:,}")
    if d["blocks"] is not None:
        parts.append(plural(d["blocks"], "diagonal block"))
    if not parts:
        return ["Summary: nothing to summarise (the columns, symmetric and btf sections were left out)"]
    return ["Summary: " + "; ".join(parts)]


def text_timing(t):
    """Where the time went: every part of the run, adding up to the total."""
    parts = [f"reading {fmt_seconds(t['load_seconds'])}"]
    parts += [f"{name} {fmt_seconds(s)}" for name, s in t["sections"].items()]
    if t["plot_seconds"] is not None:
        parts.append(f"picture {fmt_seconds(t['plot_seconds'])}")
    parts.append(f"other {fmt_seconds(t['other_seconds'])}")
    return [f"{fmt_seconds(t['total_seconds'])} in all: {', '.join(parts)}; "
            f"{fmt_seconds(t['library_seconds'])} of it in library calls (orderings, CHOLMOD's analysis, BTF, SPQR)"]


TEXT = {
    "columns": text_columns,
    "symmetric": text_symmetric,
    "btf": text_btf,
    "qr": text_qr,
    "solve": text_solve,
    "summary": text_summary,
}
