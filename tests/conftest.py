"""Fixtures shared by the tests."""

import numpy as np
import pytest


@pytest.fixture(params=[np.int32, np.int64], ids=["int32", "int64"])
def index_dtype(request):
    return request.param
