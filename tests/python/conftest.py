"""Markers of the Python suite.

slow:  minutes or many GiB of memory; runs only with ZORVAT_SLOW_TESTS=1.
heavy: long, thread-heavy or measuring RSS; left out of the run under
       AddressSanitizer (scripts/test_all.sh selects -m "not heavy" there).
quiet: counts what other processes disturb (page faults); runs only with
       ZORVAT_QUIET_TESTS=1, which scripts/test_all.sh sets in a stage of its
       own once every other stage has ended.
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
    config.addinivalue_line("markers", "quiet: opt-in, set ZORVAT_QUIET_TESTS=1 on an otherwise idle machine")


def pytest_collection_modifyitems(config, items):
    for marker, variable in (("slow", "ZORVAT_SLOW_TESTS"), ("quiet", "ZORVAT_QUIET_TESTS")):
        if os.environ.get(variable) == "1":
            continue
        skip = pytest.mark.skip(reason="%s: set %s=1 to run" % (marker, variable))
        for item in items:
            if marker in item.keywords:
                item.add_marker(skip)
