from dataclasses import dataclass
from typing import Any, Literal, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.sparse import sparray, spmatrix

__all__ = [
    "CAMDError",
    "CAMDInvalidMatrixError",
    "CAMDMemoryError",
    "CAMDInfo",
    "camd",
    "camd_default_control",
]

_Matrix = ArrayLike | sparray | spmatrix
_IndexArray = NDArray[np.int32] | NDArray[np.int64]
_Real = float | np.floating[Any] | np.integer[Any]

class CAMDError(Exception): ...
class CAMDInvalidMatrixError(CAMDError, ValueError): ...
class CAMDMemoryError(CAMDError, MemoryError): ...

@dataclass(frozen=True)
class CAMDInfo:
    status: int
    N: int
    nz: int
    symmetry: float
    nzdiag: int
    nz_A_plus_AT: int
    Ndense: int
    memory: float
    Ncmpa: int
    Lnz: int
    Ndiv: int
    Nmultsubs_LDL: int
    Nmultsubs_LU: int
    dmax: int
    @classmethod
    def from_array(cls, info: NDArray[np.floating[Any]]) -> CAMDInfo: ...

@overload
def camd(
    A: _Matrix,
    constraints: ArrayLike | None = None,
    dense_thresh: _Real | None = None,
    aggressive: object | None = None,
    return_info: Literal[False] = False,
) -> _IndexArray: ...
@overload
def camd(
    A: _Matrix,
    constraints: ArrayLike | None,
    dense_thresh: _Real | None,
    aggressive: object | None,
    return_info: Literal[True],
) -> tuple[_IndexArray, CAMDInfo]: ...
@overload
def camd(
    A: _Matrix,
    constraints: ArrayLike | None = None,
    dense_thresh: _Real | None = None,
    aggressive: object | None = None,
    *,
    return_info: Literal[True],
) -> tuple[_IndexArray, CAMDInfo]: ...
@overload
def camd(
    A: _Matrix,
    constraints: ArrayLike | None = None,
    dense_thresh: _Real | None = None,
    aggressive: object | None = None,
    return_info: bool = False,
) -> _IndexArray | tuple[_IndexArray, CAMDInfo]: ...
def camd_default_control() -> dict[str, float | bool]: ...
def _camd_order(
    N: int,
    Ap: ArrayLike | None,
    Ai: ArrayLike | None,
    p: ArrayLike | None,
    ctrl: ArrayLike | None,
    info: ArrayLike | None,
    constraints: ArrayLike | None = None,
) -> None: ...
