# Type stubs of tarnix.cholmod: private functions and the capsule table of native entry points.
from typing import Any

from numpy.typing import ArrayLike

_C_API: dict[str, Any]

def _cholmod_sparse_from_csc(
    shape: tuple[int, int], indptr: ArrayLike, indices: ArrayLike, data: ArrayLike, stype: int, address: int
) -> None: ...
def _cholesky_counts(
    shape: tuple[int, int], indptr: ArrayLike, indices: ArrayLike, perm: ArrayLike | None = None, *, normal: bool = False
) -> tuple[int, float]: ...
