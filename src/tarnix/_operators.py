"""An SPQR factor seen as a SciPy LinearOperator (``SPQRFactor.as_linear_operator``).

Every product goes through the factor's public ``solve`` and ``qmult``, so it
takes the factor's lock and sees its current numeric factorization, as a direct
call would; the operator holds no copy of the factor's state.
"""

from __future__ import annotations

import numpy as np
from scipy.sparse.linalg import LinearOperator

OPERATIONS = ("solve", "QX", "QTX", "XQ", "XQT")

# For each operation: how the factor applies it to a block of columns X, and
# which operation applies its adjoint. A row-vector product x Q acts on the
# column x^T as Q^T x; its adjoint is conj(Q) x, the row product x Q^H.
_ADJOINT = {"QX": "QTX", "QTX": "QX", "XQ": "XQT", "XQT": "XQ"}


class FactorOperator(LinearOperator):
    """A `~scipy.sparse.linalg.LinearOperator` applying one operation of an `SPQRFactor`.

    Made by `SPQRFactor.as_linear_operator`; ``factor`` and ``op`` say what it
    applies.
    """

    def __init__(self, factor, op):
        m, n = factor.shape
        shape = (n, m) if op == "solve" else (m, m)
        super().__init__(dtype=np.dtype(factor.dtype), shape=shape)
        self.factor = factor
        self.op = op

    def _apply(self, op, X):
        X = np.asarray(X)
        if X.dtype.kind == "c" and self.dtype.kind != "c":
            # A real operator on complex vectors: its real and imaginary parts apart.
            return self._apply(op, X.real) + 1j * self._apply(op, X.imag)
        X = X.astype(self.dtype, copy=False)
        # X is a 2-D block of columns; the products of a row vector take its rows.
        if op == "solve":
            return self.factor.solve(X)
        if op == "solve^H":
            return self.factor.solve(X, transpose=True)
        if op in ("QX", "QTX"):
            return self.factor.qmult(X, op)
        return self.factor.qmult(np.ascontiguousarray(X.T), op).T

    def _matmat(self, X):
        return self._apply(self.op, X)

    def _matvec(self, x):
        return self._matmat(np.asarray(x).reshape(-1, 1)).reshape(-1)

    def _rmatmat(self, X):
        # The transposed solve, E R^-H (Q^H)^H restricted to the rank, is the
        # exact adjoint of the solve: x = E R11^-1 (Q^H b)[:r] and
        # y = Q [R11^-H (E^T c)[:r]; 0].
        adjoint = "solve^H" if self.op == "solve" else _ADJOINT[self.op]
        return self._apply(adjoint, X)

    def _rmatvec(self, x):
        return self._rmatmat(np.asarray(x).reshape(-1, 1)).reshape(-1)

    def __repr__(self):
        m, n = self.shape
        return f"<{m}x{n} FactorOperator {self.op!r} of {type(self.factor).__name__} with dtype={self.dtype}>"


def factor_operator(factor, op):
    """The operator of ``factor.as_linear_operator(op)``."""
    if not isinstance(op, str) or op not in OPERATIONS:
        raise ValueError(f"op must be one of {', '.join(map(repr, OPERATIONS))}, got {op!r}")
    if not factor.is_numeric:
        raise AssertionError("the factor holds no numeric factorization: call factorize(A) first")
    return FactorOperator(factor, op)
