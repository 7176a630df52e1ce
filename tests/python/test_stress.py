"""Eight threads calling columnarize at once on every kind of payload get
exactly what one thread gets; and the module's once-created objects (the
interned "add_note", used for the conversion notes) come out right when
several threads need them for the first time at the same moment."""

import subprocess
import sys
import textwrap
import threading

import pytest

from workload import BAD_CALLS, PAYLOADS, outcome


@pytest.mark.heavy
def test_eight_threads_agree_with_one():
    calls = [((p,), {}) for p in PAYLOADS] + BAD_CALLS
    expected = [outcome(*args, **kwargs) for args, kwargs in calls]
    threads = 8
    barrier = threading.Barrier(threads)
    mismatches = []
    errors = []

    def worker(t):
        try:
            barrier.wait()
            for round_ in range(15):
                # Each thread walks the calls from its own offset, so
                # different payloads overlap.
                for i in range(len(calls)):
                    k = (i * 7 + t + round_) % len(calls)
                    args, kwargs = calls[k]
                    if outcome(*args, **kwargs) != expected[k]:
                        mismatches.append((t, k))
        except BaseException as e:  # reported below, not lost in the thread
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch often while the lock is held
    try:
        workers = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == []
    assert mismatches == []


FIRST_USE = textwrap.dedent(
    """
    import sys, threading
    sys.setswitchinterval(1e-6)
    from zorvat_codec import columnarize
    barrier = threading.Barrier(6)
    results = [None] * 6

    def call(i):
        barrier.wait()
        try:
            if i % 3 == 0:
                columnarize(b"[]", "x")      # min_rows conversion: needs "add_note"
            elif i % 3 == 1:
                columnarize("not bytes")      # payload conversion: the same
            else:
                results[i] = columnarize(b'[{"a":1},{"a":1}]')
                return
        except TypeError as e:
            results[i] = (str(e), getattr(e, "__notes__", None))

    threads = [threading.Thread(target=call, args=(i,)) for i in range(6)]
    for t in threads: t.start()
    for t in threads: t.join()
    print(repr(results))
    """
)


@pytest.mark.heavy
def test_first_use_from_several_threads_at_once():
    min_rows_error = ("'str' object cannot be interpreted as an integer", ["while processing 'min_rows'"])
    payload_error = ("'str' object is not an instance of 'bytes'", ["while processing 'payload'"])
    document = b'{"columns":[],"rows":[[],[]],"constants":{"a":1}}'
    expected = repr([min_rows_error, payload_error, document] * 2)
    # Each run is a fresh interpreter, so each races the first creation.
    for _ in range(10):
        run = subprocess.run([sys.executable, "-c", FIRST_USE], capture_output=True, text=True, timeout=60)
        assert run.returncode == 0, run.stderr
        assert run.stdout.strip() == expected
