"""tarnix: direct, fast access to the SuiteSparse sparse-matrix libraries.

The submodules load on first use: ``import tarnix`` loads none of the
extensions, and ``tarnix.spqr`` (or ``import tarnix.spqr``) loads that one.
`show_config` and `config` tell the versions of tarnix, SuiteSparse and its
libraries, the BLAS/LAPACK in use and how tarnix was built.

Run ``python -m tarnix [FILE.mtx]`` for a short report on a sparse matrix.
"""

import importlib as _importlib
from typing import TYPE_CHECKING

from . import _build_config, _modules

if __doc__:  # None under -OO
    __doc__ = _modules.document(__doc__)


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

from ._config import config, show_config

if TYPE_CHECKING:
    # The submodules load on first use (module __getattr__ below), not with the
    # package; type checkers still see them as its attributes.
    from . import btf, camd, ccolamd, colamd, spqr, spqr_rank, utils

__version__ = "0.1.0"

_SUBMODULES = _modules.PUBLIC

# A literal, for type checkers; tests/test_python_face.py holds it, and the
# imports above, to the registry.
__all__ = ["btf", "camd", "ccolamd", "colamd", "config", "show_config", "spqr", "spqr_rank", "utils"]


def __getattr__(name: str) -> object:
    # Importing a submodule binds it in this module's namespace, so this runs
    # once per submodule; an import error (a missing BLAS, say) propagates.
    if name in _SUBMODULES:
        return _importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *_SUBMODULES})
