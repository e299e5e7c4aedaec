"""The report as one JSON document."""

from __future__ import annotations

import json
import math

import numpy as np

FORMAT = 1


def matrix_entry(name, A, header, symmetric_pattern, load_seconds):
    return {
        "name": name,
        "rows": A.shape[0],
        "cols": A.shape[1],
        "entries": int(A.nnz),
        "explicit_zeros": int(np.count_nonzero(A.data == 0)),
        "dtype": str(A.dtype),
        "field": header.field,
        "symmetric_pattern": symmetric_pattern,
        "load_seconds": load_seconds,
    }


def versions():
    """The versions of tarnix and of the SuiteSparse it calls, for the document's readers."""
    from tarnix import __version__, _build_config
    from tarnix._config import LIBRARIES, _library_version

    # The loaded library's own word, else the release of the headers compiled against.
    suitesparse = _library_version(*LIBRARIES["SuiteSparse"]) or _build_config.SUITESPARSE_BUILT_WITH or None
    return {"tarnix": __version__, "suitesparse": suitesparse}


def _finite(obj):
    """The document with NaN and infinities as null: strict JSON readers refuse them."""
    if isinstance(obj, dict):
        return {k: _finite(v) for k, v in obj.items()}
    if isinstance(obj, list):
        return [_finite(v) for v in obj]
    if isinstance(obj, float) and not math.isfinite(obj):
        return None
    return obj


def dumps(doc):
    return json.dumps(_finite(doc), indent=2, allow_nan=False)
