"""Daemon threads inside columnarize while the interpreter exits.

A thread that takes the lock back after finalization began is ended by the
interpreter (pthread_exit); that must end it quietly, not abort the process.
Each script runs 20 times; the exit status must be what it is without the
module's calls still running: 0.
"""

import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

RUNS = 20

PRELUDE = r"""
import threading, time
import zorvat_codec
good = b"[" + b",".join(b'{"a":%d}' % i for i in range(200000)) + b"]"
bad = good[:-1] + b",}"
def spin(payload):
    while True:
        try:
            zorvat_codec.columnarize(payload)
        except RuntimeError:
            pass
"""

# Each starts its threads, then makes the teardown slow so that calls are
# still running when it begins.
SCRIPTS = {
    "one-thread": "threading.Thread(target=spin, args=(good,), daemon=True).start()",
    "four-threads": "for _ in range(4): threading.Thread(target=spin, args=(good,), daemon=True).start()",
    "failing-call": "threading.Thread(target=spin, args=(bad,), daemon=True).start()",
}
TEARDOWN = "\nkeep = [{i: str(i)} for i in range(1_000_000)]\ntime.sleep(0.1)\n"


@pytest.mark.heavy
@pytest.mark.parametrize("name", sorted(SCRIPTS))
def test_daemon_threads_inside_columnarize_at_exit(name):
    code = PRELUDE + SCRIPTS[name] + TEARDOWN

    def run(_):
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=120)
        return done.returncode, done.stderr.decode(errors="replace")[-500:]

    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(run, range(RUNS)))
    assert [rc for rc, _ in results] == [0] * RUNS, [r for r in results if r[0] != 0][:2]
