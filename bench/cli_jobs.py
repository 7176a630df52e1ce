#!/usr/bin/env python3
"""Wall-clock time of zorvat-columnarize -o over a directory of payloads
with one job and with two, and the ratio.

    python3 bench/cli_jobs.py [--command PATH] [--files 200] [--runs 5] [--sync]

The payloads (a few hundred kB each, the generated shapes of
tools/make_payloads.py) are written to a temporary directory. Runs alternate
between -j 1 and -j 2, so that a drift in the machine's speed hits both; the
medians are reported.
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from make_payloads import dump, nested, numeric, records, text, wide  # noqa: E402

SHAPES = [(records, 1500), (wide, 300), (text, 600), (numeric, 2500), (nested, 1200)]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--command", default=os.path.join(ROOT, "build", "release", "zorvat-columnarize"))
    ap.add_argument("--files", type=int, default=200)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--sync", action="store_true", help="pass --sync to the command")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as work:
        rng = random.Random(20261207)
        files, total = [], 0
        for i in range(args.files):
            make, rows = SHAPES[i % len(SHAPES)]
            path = os.path.join(work, "p%04d.json" % i)
            data = dump(make(rng, rows))
            with open(path, "wb") as f:
                f.write(data)
            files.append(path)
            total += len(data)
        out = os.path.join(work, "out")
        os.mkdir(out)
        times = {1: [], 2: []}
        for _ in range(args.runs):
            for jobs in times:
                start = time.perf_counter()
                sync = ["--sync"] if args.sync else []
                subprocess.run([args.command, *sync, "-j", str(jobs), "-o", out, *files], check=True)
                times[jobs].append(time.perf_counter() - start)
        one, two = statistics.median(times[1]), statistics.median(times[2])
        print("%d files, %.1f MB; CPUs available: %d" % (len(files), total / 1e6, len(os.sched_getaffinity(0))))
        print("-j 1: %.3f s (%.0f MB/s)   -j 2: %.3f s (%.0f MB/s)   speed-up %.2fx (median of %d runs each)"
              % (one, total / 1e6 / one, two, total / 1e6 / two, one / two, args.runs))


if __name__ == "__main__":
    main()
