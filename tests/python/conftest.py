"""Markers of the Python suite.

slow:  minutes or many GiB of memory; runs only with ZORVAT_SLOW_TESTS=1.
heavy: long, thread-heavy or measuring RSS; left out of the run under
       AddressSanitizer (scripts/test_all.sh selects -m "not heavy" there).
thirdparty: runs the module inside other libraries (a Dask cluster, pandas);
       also left out of the AddressSanitizer run, whose leak check would judge
       those libraries' allocations, not the module's, and whose preloaded
       runtime would follow Dask's worker processes.
"""

import os

import pytest


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: opt-in, set ZORVAT_SLOW_TESTS=1 to run")
    config.addinivalue_line("markers", "heavy: left out of the sanitizer run")
    config.addinivalue_line("markers", "thirdparty: uses Dask or pandas; left out of the sanitizer run")


def pytest_collection_modifyitems(config, items):
    if os.environ.get("ZORVAT_SLOW_TESTS") == "1":
        return
    skip = pytest.mark.skip(reason="slow: set ZORVAT_SLOW_TESTS=1 to run")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)
