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
    estimate, singletons and flops. The natural order is analysed only when
    the Cholesky factor of ``A'A`` in that order (CHOLMOD's count, cheap)
    has at most ``--max-analysis`` entries, and METIS only when
    ``--qr-orderings`` names it: their analyses can take seconds and
    gigabytes where the others take a fraction of that.
``solve``
    A least-squares (or, for wide matrices, minimum-norm) solve of
    ``A x = b`` for ``b = A x_true``, with its residual and error. A pattern
    file (no values) is solved with all its values 1, and says so.
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
text report and no progress; ``--max-flops`` caps the numeric QR work;
``--qr-orderings`` and ``--max-analysis`` choose SPQR's analyses;
``--version`` prints the versions of tarnix and SuiteSparse. A section both
in ``--only`` and in ``--skip`` is refused (exit status 2).
Progress goes to standard error, only when it is a terminal.

The file's header is read first, with a bounded line length: a header line
longer than 64 KiB, or a declared size whose arrays cannot fit in the
machine's memory, is refused before any entry is read.

Exit status: 0 on success; 1 when the file cannot be read, is not a Matrix
Market matrix or is too large, the picture cannot be drawn or written, or
the report cannot be written (a full disk); 2 for a bad
command line; 130 on interrupt; 141 when the output pipe closes early
(``python -m tarnix FILE | head``), which ends quietly.

JSON document
-------------
One object. ``format`` is 1. ``versions``: ``tarnix`` and ``suitesparse``
(as the loaded library reports it). ``matrix``: ``name``, ``rows``,
``cols``, ``entries`` (stored), ``explicit_zeros``, ``dtype``, ``field``
(the file's: real, complex, integer or pattern), ``symmetric_pattern``,
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
- ``qr``: ``analysis`` mapping each of SPQR's orderings to
  ``{ordering_used, nnzR_upper_bound, flops_upper_bound, seconds}``, or
  ``{skipped}`` (why it was not made) or ``{error}`` (what the library
  said), ``default_ordering``, ``factorized``, and either ``reason``
  or ``nnzR`` (exact, from the R factor), ``rank``, ``singleton_columns``,
  ``singleton_rows``, ``flops``, ``factorize_seconds``, ``r_seconds``.
- ``solve``: ``kind`` ("least squares" or "minimum norm"), ``values``
  (whose values were used: the file's, or all 1 for a pattern file),
  ``relative_residual``, ``relative_error`` (null for minimum norm),
  ``rank_deficient``, ``seconds``.
- ``summary``: ``lu_qr`` and ``cholesky`` as ``{ordering, fill_ratio,
  natural_fill_ratio}`` (null when not measured), ``structural_rank``, ``min_dim``,
  ``blocks``.

``timing``: where the time went, adding up to ``total_seconds``:
``load_seconds`` (reading), ``sections`` (each section run, by name),
``plot_seconds`` (null without ``--plot``), ``other_seconds`` (the rest:
the matrix summary, the output); and ``library_seconds``, the part of it
spent in library calls.
"""

from .cli import SAMPLE, main, parser
from .plot import _raster, draw
from .reading import InputError, load, read_header
from .sections import QR_ORDERINGS, SECTION_FUNCTIONS, SECTIONS, Context

__all__ = ["main", "parser", "load", "read_header", "draw", "Context", "InputError", "SECTIONS",
           "SECTION_FUNCTIONS", "QR_ORDERINGS", "SAMPLE", "_raster"]
