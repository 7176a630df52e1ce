"""Throughput of two threads calling the module over one, on 13 kB payloads
(where the binding's share of a call is largest), for the interpreter that
runs this: on a GIL build the argument handling and the result's creation
take turns at the lock, on a free-threaded one nothing does.

    python bench/thread_scaling.py [--rounds 7] [--seconds 0.5]

Each round runs one thread, then two (each on its own copy of the payload),
for the same number of calls per thread; the best wall time of each is kept,
so that rounds where other jobs took a core count less. Prints a Markdown
row: interpreter, calls per thread, 1T and 2T calls/s, 2T/1T, the process's
CPU time over wall time with two threads (2.0 when both cores were given),
and the load average before and after.
"""

import argparse
import gc
import json
import os
import sys
import sysconfig
import time

import zorvat_codec
from thread_timing import wall_run


def payload_13k():
    rows = []
    i = 0
    while True:
        row = {"id": i, "name": "user%04d" % i, "active": i % 3 == 0, "score": i * 1.25, "tags": ["a", "b"][: i % 3]}
        rows.append(row)
        text = json.dumps(rows, separators=(",", ":")).encode()
        if len(text) >= 13_000:
            return text
        i += 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--seconds", type=float, default=0.5, help="one thread's time per round")
    options = parser.parse_args()
    payload = payload_13k()
    copies = [bytes(bytearray(payload)) for _ in range(2)]
    start = time.perf_counter()
    for _ in range(200):
        zorvat_codec.columnarize(payload)
    calls = max(100, int(options.seconds / ((time.perf_counter() - start) / 200)))
    load_before = os.getloadavg()[0]
    gc.disable()
    one = two = float("inf")
    cpu_two = 0.0
    for _ in range(options.rounds):
        one = min(one, wall_run(copies[:1], calls)[0])
        wall, cpu = wall_run(copies, calls)
        if wall < two:
            two, cpu_two = wall, cpu
    gc.enable()
    load_after = os.getloadavg()[0]
    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    label = "%s%s (GIL %s)" % (sys.version.split()[0], "t" if free else "", "on" if gil else "off")
    print(
        "| %s | %d B | %d | %.0f | %.0f | %.2f× | %.2f | %.1f → %.1f |"
        % (label, len(payload), calls, calls / one, 2 * calls / two, 2 * one / two, cpu_two / two, load_before,
           load_after)
    )


if __name__ == "__main__":
    main()
