"""Threads calling the module at once, timed: shared by the benchmark and
the free-threading scaling run (which runs where the benchmark's peers are
not installed)."""
import threading
import time

import zorvat_codec


def wall_run(payloads, calls):
    """Wall seconds for each payload's thread to make `calls` calls, the
    threads started together; and the process CPU seconds meanwhile."""
    barrier = threading.Barrier(len(payloads) + 1)

    def worker(p):
        barrier.wait()
        for _ in range(calls):
            zorvat_codec.columnarize(p)

    threads = [threading.Thread(target=worker, args=(p,)) for p in payloads]
    for t in threads:
        t.start()
    barrier.wait()
    cpu = time.process_time()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start, time.process_time() - cpu
