"""tarnix: direct, fast access to the SuiteSparse sparse-matrix libraries.

Submodules
----------
spqr
    Sparse QR factorization (SuiteSparseQR): least-squares and minimum-norm
    solves, products with Q, reusable factor objects.
colamd
    Column and symmetric approximate minimum degree orderings (COLAMD, SYMAMD).
ccolamd
    Constrained column and symmetric orderings (CCOLAMD, CSYMAMD).
camd
    Constrained approximate minimum degree ordering (CAMD).
btf
    Maximum transversal, strongly connected components and block triangular
    form (BTF).
utils
    Input coercion shared by the modules.

Run ``python -m tarnix [FILE.mtx]`` for a short report on a sparse matrix.
"""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    # The submodules load on first use (``import tarnix.spqr``), not with the
    # package; type checkers still see them as its attributes.
    from . import btf, camd, ccolamd, colamd, spqr, utils

__version__ = "0.1.0"

__all__ = ["btf", "camd", "ccolamd", "colamd", "spqr", "utils"]
