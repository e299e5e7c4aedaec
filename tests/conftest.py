"""Fixtures and Hypothesis settings shared by the tests.

The property tests run derandomized by default, so that every run sees the
same examples. TARNIX_HYPOTHESIS=explore draws fresh random examples, many
more of them (TARNIX_HYPOTHESIS_EXAMPLES, default 2000), to hunt for faults.
"""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "default",
    derandomize=True,
    database=None,
    deadline=None,
    max_examples=40,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
settings.register_profile(
    "explore",
    derandomize=False,
    database=None,
    deadline=None,
    max_examples=int(os.environ.get("TARNIX_HYPOTHESIS_EXAMPLES", "2000")),
    print_blob=True,
    suppress_health_check=list(HealthCheck),
)
settings.load_profile(os.environ.get("TARNIX_HYPOTHESIS", "default"))


@pytest.fixture(params=[np.int32, np.int64], ids=["int32", "int64"])
def index_dtype(request):
    return request.param
