"""The routine that turns a COLAMD or CCOLAMD status into an exception, for every status.

Validation keeps most of these statuses from ever reaching the library, so the routine is
driven directly through tarnix._testing.
"""

import pytest

import tarnix.ccolamd as tcc
import tarnix.colamd as tc

from support import testing_hooks

hook = testing_hooks()


class TestColamdStatus:
    """The status routine of colamd and ccolamd, for every status the libraries define."""

    MESSAGES = {-1: "A is a null pointer", -2: "p is a null pointer", -3: "nrow is negative",
                -4: "ncol is negative", -5: "nnz is negative", -6: "p[0] is nonzero", -7: "A is too small",
                -8: "column has a negative number of entries", -9: "row index out of bounds"}

    @pytest.mark.parametrize("module", [tc, tcc], ids=["colamd", "ccolamd"])
    def test_statuses(self, module):
        library = module.__name__.split(".")[1].upper()
        family = {name: getattr(module, library + name) for name in ("ValueError", "MemoryError", "InternalError")}
        assert hook.colamd_status(module, True, 0) is None
        for status, text in self.MESSAGES.items():
            with pytest.raises(family["ValueError"]) as info:
                hook.colamd_status(module, False, status)
            assert str(info.value) == f"{library} returned an error:{text}."
            assert isinstance(info.value, ValueError)
        with pytest.raises(family["MemoryError"], match=f"^{library} ran out of memory.$"):
            hook.colamd_status(module, False, -10)
        with pytest.raises(family["InternalError"], match=f"^{library} encountered an internal error.$"):
            hook.colamd_status(module, False, -999)
        # Statuses outside the table (CCOLAMD's -11: a constraint set out of
        # range) are the family's error with the code, never a KeyError.
        base = getattr(module, library + "Error")
        for status in (-11, -12, 2, -1000):
            with pytest.raises(base) as info:
                hook.colamd_status(module, False, status)
            assert type(info.value) is base
            assert str(info.value) == f"{library} returned an error with status {status}, which has no message."
        with pytest.raises(AssertionError, match="returned OK but status is not"):
            hook.colamd_status(module, True, 1)
