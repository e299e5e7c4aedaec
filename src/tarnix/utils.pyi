from typing import NamedTuple

import numpy as np
from numpy.typing import ArrayLike
from scipy.sparse import csc_array, csc_matrix, sparray, spmatrix

__all__ = ["CSCInput", "validate_csc_input"]

class CSCInput(NamedTuple):
    matrix: csc_array | csc_matrix
    copied: bool
    index_dtype: np.dtype[np.int32 | np.int64]

def validate_csc_input(A: ArrayLike | sparray | spmatrix, require_square: bool = False) -> CSCInput: ...
