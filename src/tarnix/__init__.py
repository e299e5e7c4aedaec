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

import importlib as _importlib
from typing import TYPE_CHECKING

from . import _build_config


def _load_blas() -> None:
    # The SuiteSparse built into this package calls a BLAS/LAPACK that it does not link: the
    # provider's module loads its library with global symbols, which the extensions then use.
    try:
        _importlib.import_module(_build_config.PRELOAD_BLAS)
    except ImportError as exc:
        raise ImportError(
            f"tarnix was built to use the BLAS/LAPACK of {_build_config.PRELOAD_BLAS!r}, which "
            f"cannot be imported ({exc}); install it with: pip install scipy-openblas32"
        ) from exc


if _build_config.PRELOAD_BLAS:
    _load_blas()

if TYPE_CHECKING:
    # The submodules load on first use (``import tarnix.spqr``), not with the
    # package; type checkers still see them as its attributes.
    from . import btf, camd, ccolamd, colamd, spqr, utils

__version__ = "0.1.0"

__all__ = ["btf", "camd", "ccolamd", "colamd", "spqr", "utils"]
