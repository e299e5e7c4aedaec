from dataclasses import dataclass
from typing import Any, Literal, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

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

_IndexArray = NDArray[np.int32] | NDArray[np.int64]
_Real = float | int | np.floating[Any] | np.integer[Any]

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
    def from_array(cls, stats: np.ndarray) -> COLAMDStats: ...

@overload
def colamd(
    A: Any,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    return_info: Literal[False] = False,
) -> _IndexArray: ...
@overload
def colamd(
    A: Any,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    return_info: bool = ...,
) -> _IndexArray | tuple[_IndexArray, COLAMDStats]: ...
@overload
def symamd(
    A: Any,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    return_info: Literal[False] = False,
) -> _IndexArray: ...
@overload
def symamd(
    A: Any,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    return_info: bool = ...,
) -> _IndexArray | tuple[_IndexArray, COLAMDStats]: ...
def colamd_get_defaults() -> dict[str, np.float64]: ...
def _colamd_base(
    A: Any,
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

_COLAMD_DOC_TEMPLATE: str
_colamd_reftag: str
_colamd_intro: str
_colamd_A_param: str
_colamd_example: str
_symamd_reftag: str
_symamd_intro: str
_symamd_A_param: str
_symamd_example: str
