#!/usr/bin/env python3
"""What a call costs the caller, through the Python call: CPU time (user +
system, this thread), minor page faults per call in the steady state, and
MB/s of payload per CPU-second, per shape and payload size.

    python3 bench/user_cost.py [--sizes 1k,13k,256k,1M,3M,16M,128M] [--shapes records,text,...]
                               [--calls-mb 400] [--callgrind] [--json OUT] [--module-dir DIR]

Each payload is a shape's rows repeated up to the size (seeded, the same
bytes every run). After warm-up calls, each size runs enough calls to move
about --calls-mb megabytes (at least 3), and the figures are per call:
the median CPU time and the largest fault count seen in one call, so that
a fault every few calls still shows. --callgrind adds instructions per
payload byte, counted by valgrind in a subprocess (one call after one
warm-up, the warm-up subtracted).

Faults are what callgrind and the C++ benchmarks do not see: the kernel
clearing and mapping pages the call touches for the first time. "result"
is how many of them the returned bytes object's own pages explain, where
malloc maps it afresh each call (from 32 MiB, its mmap threshold's ceiling):
4 KiB faults on its head and tail outside whole huge pages, one per huge page
between (the binding advises those); "-" below that size, where malloc
reuses its heap.
"""
import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

import make_payloads  # noqa: E402

SIZES = "1k,13k,256k,1M,3M,16M,128M"
SHAPES = "records,text,numeric,nested,wide,canada_features,twitter_statuses,citm_performances"


def parse_size(text):
    units = {"k": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    return int(float(text[:-1]) * units[text[-1]]) if text[-1] in units else int(text)


def shape_rows():
    """A few thousand rows of each shape, as compact JSON texts."""
    import random

    rng = random.Random(20261209)
    derived = make_payloads.derived()
    rows = {name: json.loads(data) for name, data in derived.items()}
    rows.update({
        "records": make_payloads.records(rng, 2000),
        "text": make_payloads.text(rng, 1000),
        "numeric": make_payloads.numeric(rng, 2000),
        "nested": make_payloads.nested(rng, 2000),
        "wide": make_payloads.wide(rng, 200),
    })
    return {name: [make_payloads.dump(r) for r in rs] for name, rs in rows.items()}


def payload_of(texts, size):
    """Rows in turn (ids unchanged) until the payload reaches `size` bytes."""
    parts, total, i = [], 2, 0
    while total < size or not parts:
        t = texts[i % len(texts)]
        parts.append(t)
        total += len(t) + 1
        i += 1
    return b"[" + b",".join(parts) + b"]"


PAGE, HUGE_PAGE = 4096, 2 << 20
MMAPPED_FROM = 32 << 20  # glibc's mmap threshold never rises past this


def result_faults(result):
    """The faults writing a fresh mapping of the result takes (see above)."""
    if len(result) < MMAPPED_FROM:
        return None
    start = id(result) // PAGE * PAGE
    end = id(result) + sys.getsizeof(result)
    huge_start = -(-start // HUGE_PAGE) * HUGE_PAGE
    huge_end = end // HUGE_PAGE * HUGE_PAGE
    if huge_end <= huge_start:
        return -(-(end - start) // PAGE)
    return (huge_start - start) // PAGE + -(-(end - huge_end) // PAGE) + (huge_end - huge_start) // HUGE_PAGE


def thread_usage():
    # thread_time is the thread's CPU clock (user + system, nanoseconds);
    # getrusage's times tick too coarsely for one call.
    return time.thread_time(), resource.getrusage(resource.RUSAGE_THREAD).ru_minflt


def measure(columnarize, payload, calls_mb):
    for _ in range(3):  # warm-up: kept blocks, caches
        columnarize(payload)
    calls = max(3, int(calls_mb * 1e6 / len(payload)))
    cpu, faults, explained = [], [], []
    for _ in range(calls):
        c0, f0 = thread_usage()
        result = columnarize(payload)
        c1, f1 = thread_usage()
        cpu.append(c1 - c0)
        faults.append(f1 - f0)
        explained.append(result_faults(result))
        del result
    worst = faults.index(max(faults))
    return {"calls": calls, "cpu_s": statistics.median(cpu), "faults_max": faults[worst],
            "faults_median": statistics.median(faults), "result_faults": explained[worst]}


CALLGRIND = r"""
import sys
sys.path[:0] = sys.argv[2:]
from zorvat_codec import columnarize
payload = open(sys.argv[1], "rb").read()
columnarize(payload)
"""


def instructions(payload, module_dir):
    """Instructions of one call per payload byte (the same script without the call subtracted)."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "p.json")
        with open(path, "wb") as f:
            f.write(payload)
        counts = []
        for calls in (1, 2):
            script = CALLGRIND + "columnarize(payload)\n" * (calls - 1)
            out = os.path.join(tmp, "cg.%d" % calls)
            subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, sys.executable, "-c",
                            script, path] + ([module_dir] if module_dir else []), check=True, capture_output=True)
            with open(out) as f:
                summary = [l for l in f if l.startswith("summary:") or l.startswith("totals:")]
            counts.append(int(summary[-1].split()[1]))
        return (counts[1] - counts[0]) / len(payload)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default=SIZES)
    ap.add_argument("--shapes", default=SHAPES)
    ap.add_argument("--calls-mb", type=float, default=400)
    ap.add_argument("--callgrind", action="store_true")
    ap.add_argument("--json", help="also write the figures to this file")
    ap.add_argument("--module-dir", help="import the module from this directory (a build tree)")
    args = ap.parse_args()
    if args.module_dir:
        sys.path.insert(0, os.path.abspath(args.module_dir))
    from zorvat_codec import columnarize

    texts = shape_rows()
    results = []
    print("module:", sys.modules["zorvat_codec"].__file__)
    print("%-18s %7s %6s %10s %9s %8s %8s %8s" % ("shape", "size", "calls", "CPU ms", "MB/s", "faults", "result",
                                                   "instr/B"))
    for shape in args.shapes.split(","):
        for size_text in args.sizes.split(","):
            payload = payload_of(texts[shape], parse_size(size_text))
            r = measure(columnarize, payload, args.calls_mb)
            r.update(shape=shape, size=size_text, bytes=len(payload), mb_s=len(payload) / r["cpu_s"] / 1e6)
            if args.callgrind:
                r["instr_per_byte"] = instructions(payload, args.module_dir and os.path.abspath(args.module_dir))
            results.append(r)
            print("%-18s %7s %6d %10.3f %9.0f %8d %8s %8s" % (
                shape, size_text, r["calls"], r["cpu_s"] * 1e3, r["mb_s"], r["faults_max"],
                "-" if r["result_faults"] is None else r["result_faults"],
                "%.2f" % r["instr_per_byte"] if "instr_per_byte" in r else "-"), flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
