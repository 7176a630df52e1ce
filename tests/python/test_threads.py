"""columnarize from several threads: the lock is released for the
transform, concurrent calls keep their own data, and nesting at the limit
fits a small thread stack."""

import json
import subprocess
import sys
import textwrap
import threading

import reference
from zorvat_codec import columnarize


def _rows_payload(tag, count):
    rows = [{"tag": tag, "i": i, "v": [i * 0.5, str(i)], "odd": i if i % 2 else None} for i in range(count)]
    return json.dumps(rows).encode("utf-8")


def test_concurrent_calls_get_their_own_results():
    payloads = [_rows_payload(tag, 2000 + 37 * n) for n, tag in enumerate(["alpha", "beta", "gamma"])]
    expected = [reference.columnarize(p) for p in payloads]
    barrier = threading.Barrier(len(payloads))
    mismatches = []

    def worker(n):
        barrier.wait()
        for _ in range(20):
            if columnarize(payloads[n]) != expected[n]:
                mismatches.append(n)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(len(payloads))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert mismatches == []


def test_other_threads_run_during_a_long_call():
    row = b'{"id":%d,"name":"abcdefghij","score":12.5,"tags":["x","y","z"],"flag":true}'
    count = 600_000  # about 50 MB
    payload = b"[" + b",".join(row % i for i in range(count)) + b"]"
    ticks = 0
    stop = False
    started = threading.Event()

    def counter():
        nonlocal ticks
        started.set()
        while not stop:
            ticks += 1
            threading.Event().wait(0.0005)  # give the lock back between ticks

    # Without forced switches, this thread keeps the lock from reading
    # `before` until the call releases it, so every tick counted in between
    # happened while the transform was running.
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    thread = threading.Thread(target=counter)
    try:
        thread.start()
        started.wait()
        before = ticks
        result = columnarize(payload)
        during = ticks - before
    finally:
        stop = True
        sys.setswitchinterval(old_interval)
        thread.join()
    assert result.startswith(b'{"columns":["id"],"rows":[[0],[1],')
    assert result.endswith(
        b'[%d]],"constants":{"name":"abcdefghij","score":12.5,"tags":["x","y","z"],"flag":true}}' % (count - 1)
    )
    assert during > 0


def test_nesting_limit_on_a_small_thread_stack():
    # In a child process: running out of stack would end the process.
    code = textwrap.dedent(
        """
        import threading
        from zorvat_codec import columnarize
        deep_value = "[" * 125 + "]" * 125          # depth 127 with the row and the array
        cases = [
            (("[" * 127 + "]" * 127).encode(), "expected a JSON object row, got: " + "[" * 126 + "]" * 126),
            (("[" * 128 + "]" * 128).encode(),
             "invalid row-oriented JSON: recursion limit exceeded at line 1 column 128"),
            (('[{"a":%s},{"a":%s}]' % (deep_value, deep_value)).encode(),
             b'{"columns":[],"rows":[[],[]],"constants":{"a":%s}}' % deep_value.encode()),
            (('[{"a":%s},{"b":1}]' % deep_value).encode(),
             b'{"columns":["a","b"],"rows":[[%s,null],[null,1]],"constants":{}}' % deep_value.encode()),
        ]
        outcomes = []
        def run():
            for payload, expected in cases:
                try:
                    outcomes.append(columnarize(payload) == expected)
                except RuntimeError as e:
                    outcomes.append(str(e) == expected)
        threading.stack_size(32768)
        t = threading.Thread(target=run)
        t.start()
        t.join()
        assert outcomes == [True] * len(cases), outcomes
        """
    )
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)
