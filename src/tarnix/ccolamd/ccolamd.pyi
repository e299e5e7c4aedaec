from dataclasses import dataclass
from typing import Any, Literal, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.sparse import sparray, spmatrix

__all__ = [
    "CCOLAMDError",
    "CCOLAMDValueError",
    "CCOLAMDMemoryError",
    "CCOLAMDInternalError",
    "CCOLAMDStats",
    "ccolamd",
    "csymamd",
    "ccolamd_get_defaults",
]

_Matrix = ArrayLike | sparray | spmatrix
_IndexArray = NDArray[np.int32] | NDArray[np.int64]
_Real = float | np.floating[Any] | np.integer[Any]
_OptLU = Literal["lu", "cholesky"]

class CCOLAMDError(Exception): ...
class CCOLAMDValueError(CCOLAMDError, ValueError): ...
class CCOLAMDMemoryError(CCOLAMDError, MemoryError): ...
class CCOLAMDInternalError(CCOLAMDError, RuntimeError): ...

@dataclass(frozen=True)
class CCOLAMDStats:
    N_rows_ignored: int
    N_cols_ignored: int
    Ncmpa: int
    status: int
    info1: int
    info2: int
    info3: int
    @classmethod
    def from_array(cls, stats: NDArray[np.integer[Any]]) -> CCOLAMDStats: ...

@overload
def ccolamd(
    A: _Matrix,
    constraints: ArrayLike | None = None,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    opt_lu: _OptLU | None = None,
    return_info: Literal[False] = False,
) -> _IndexArray: ...
@overload
def ccolamd(
    A: _Matrix,
    constraints: ArrayLike | None,
    dense_row_thresh: _Real | None,
    dense_col_thresh: _Real | None,
    aggressive: object | None,
    opt_lu: _OptLU | None,
    return_info: Literal[True],
) -> tuple[_IndexArray, CCOLAMDStats]: ...
@overload
def ccolamd(
    A: _Matrix,
    constraints: ArrayLike | None = None,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    opt_lu: _OptLU | None = None,
    *,
    return_info: Literal[True],
) -> tuple[_IndexArray, CCOLAMDStats]: ...
@overload
def ccolamd(
    A: _Matrix,
    constraints: ArrayLike | None = None,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    opt_lu: _OptLU | None = None,
    return_info: bool = False,
) -> _IndexArray | tuple[_IndexArray, CCOLAMDStats]: ...
@overload
def csymamd(
    A: _Matrix,
    constraints: ArrayLike | None = None,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    return_info: Literal[False] = False,
) -> _IndexArray: ...
@overload
def csymamd(
    A: _Matrix,
    constraints: ArrayLike | None,
    dense_row_thresh: _Real | None,
    dense_col_thresh: _Real | None,
    aggressive: object | None,
    return_info: Literal[True],
) -> tuple[_IndexArray, CCOLAMDStats]: ...
@overload
def csymamd(
    A: _Matrix,
    constraints: ArrayLike | None = None,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    *,
    return_info: Literal[True],
) -> tuple[_IndexArray, CCOLAMDStats]: ...
@overload
def csymamd(
    A: _Matrix,
    constraints: ArrayLike | None = None,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    return_info: bool = False,
) -> _IndexArray | tuple[_IndexArray, CCOLAMDStats]: ...
def ccolamd_get_defaults() -> dict[str, float | str]: ...
def _ccolamd_base(
    A: _Matrix,
    *,
    constraints: ArrayLike | None = None,
    is_symmetric: object = False,
    dense_row_thresh: _Real | None = None,
    dense_col_thresh: _Real | None = None,
    aggressive: object | None = None,
    opt_lu: _OptLU | None = None,
    return_info: object = False,
) -> _IndexArray | tuple[_IndexArray, CCOLAMDStats]: ...
def _ccolamd(
    M: int,
    N: int,
    Ap: ArrayLike,
    Ai: ArrayLike,
    perm: ArrayLike,
    knobs: ArrayLike,
    stats: ArrayLike,
    constraints: ArrayLike | None = None,
) -> None: ...
def _csymamd(
    N: int,
    Ap: ArrayLike,
    Ai: ArrayLike,
    perm: ArrayLike,
    knobs: ArrayLike,
    stats: ArrayLike,
    constraints: ArrayLike | None = None,
) -> None: ...
