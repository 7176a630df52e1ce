"""Repeated calls leave nothing behind: after a warm-up, resident memory, the
number of live objects and of the interpreter's allocated blocks stay flat
over many thousands of calls covering every outcome. A leaked payload copy or
output shows in the RSS, a leaked exception or message in the counts."""

import gc
import os
import sys

import pytest

from workload import BAD_CALLS, PAYLOADS, outcome

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def one_round():
    for p in PAYLOADS:
        outcome(p)
        outcome(p, 5)
    for args, kwargs in BAD_CALLS:
        outcome(*args, **kwargs)


@pytest.mark.heavy
def test_memory_stays_flat_over_a_mixed_workload():
    for _ in range(50):
        one_round()
    gc.collect()
    rss_before = rss_bytes()
    objects_before = len(gc.get_objects())
    blocks_before = sys.getallocatedblocks()

    rounds = 300  # 22,800 calls, 17,700 of them failing, 2 GB of payloads
    for _ in range(rounds):
        one_round()
    gc.collect()
    grown = rss_bytes() - rss_before
    objects_grown = len(gc.get_objects()) - objects_before
    blocks_grown = sys.getallocatedblocks() - blocks_before

    # Generous: allocator noise is well under this, and leaking even a small
    # exception per failing call would exceed it.
    # Measured growth is nil; the bounds leave room for allocator noise, and
    # one object left per failing call would be 17,700.
    assert grown < 8 * 2**20, "RSS grew by %.1f MiB" % (grown / 2**20)
    assert objects_grown < 100, "%d more live objects" % objects_grown
    assert blocks_grown < 1000, "%d more allocated blocks" % blocks_grown
