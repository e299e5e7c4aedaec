from dataclasses import dataclass
from typing import Any, Literal, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.sparse import sparray, spmatrix

__all__ = [
    "COLAMDError",
    "COLAMDValueError",
    "COLAMDMemoryError",
    "COLAMDInternalError",
    "COLAMDStats",
    "colamd",
    "symamd",
    "colamd_get_defaults",
]

_Matrix = ArrayLike | sparray | spmatrix
_IndexArray = NDArray[np.int32] | NDArray[np.int64]
_Real = float | np.floating[Any] | np.integer[Any]

class COLAMDError(Exception): ...
class COLAMDValueError(COLAMDError, ValueError): ...
class COLAMDMemoryError(COLAMDError, MemoryError): ...
class COLAMDInternalError(COLAMDError, RuntimeError): ...

@dataclass(frozen=True)
class COLAMDStats:
    N_rows_ignored: int
    N_cols_ignored: int
    Ncmpa: int
    status: int
    info1: int
    info2: int
    info3: int
    @classmethod
    def from_array(cls, stats: NDArray[np.integer[Any]]) -> COLAMDStats: ...

@overload
def colamd(
    A: _Matrix,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    return_info: Literal[False] = False,
) -> _IndexArray: ...
@overload
def colamd(
    A: _Matrix,
    dense_row_thresh: _Real | None,
    dense_col_thresh: _Real | None,
    aggressive: object | None,
    return_info: Literal[True],
) -> tuple[_IndexArray, COLAMDStats]: ...
@overload
def colamd(
    A: _Matrix,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    *,
    return_info: Literal[True],
) -> tuple[_IndexArray, COLAMDStats]: ...
@overload
def colamd(
    A: _Matrix,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    return_info: bool = False,
) -> _IndexArray | tuple[_IndexArray, COLAMDStats]: ...
@overload
def symamd(
    A: _Matrix,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    return_info: Literal[False] = False,
) -> _IndexArray: ...
@overload
def symamd(
    A: _Matrix,
    dense_row_thresh: _Real | None,
    dense_col_thresh: _Real | None,
    aggressive: object | None,
    return_info: Literal[True],
) -> tuple[_IndexArray, COLAMDStats]: ...
@overload
def symamd(
    A: _Matrix,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    *,
    return_info: Literal[True],
) -> tuple[_IndexArray, COLAMDStats]: ...
@overload
def symamd(
    A: _Matrix,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    return_info: bool = False,
) -> _IndexArray | tuple[_IndexArray, COLAMDStats]: ...
def colamd_get_defaults() -> dict[str, float]: ...
def _colamd_base(
    A: _Matrix,
    *,
    is_symmetric: object = False,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    return_info: object = False,
) -> _IndexArray | tuple[_IndexArray, COLAMDStats]: ...
def _colamd(
    M: int, N: int, Ap: ArrayLike, Ai: ArrayLike, perm: ArrayLike, knobs: ArrayLike, stats: ArrayLike
) -> None: ...
def _symamd(
    M: int, N: int, Ap: ArrayLike, Ai: ArrayLike, perm: ArrayLike, knobs: ArrayLike, stats: ArrayLike
) -> None: ...
