#!/usr/bin/env python3
"""Builds of the module against each other, through the Python call: each
round runs every build in a fresh interpreter, in turn, on the same payloads,
so that a noisy machine weighs on all builds alike. Prints, per dataset, each
build's median CPU time per call over the rounds and its ratio to the first
build's (above 1: faster than the first).

    python3 bench/builds_vs.py NAME=MODULE_DIR [NAME=MODULE_DIR ...] [--rounds 7] [--size 1M]

MODULE_DIR holds a zorvat_codec extension (a build tree, or a venv's
site-packages); it goes first on sys.path.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import user_cost  # noqa: E402

RUN = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
import zorvat_codec
assert zorvat_codec.__file__.startswith(sys.argv[1]), zorvat_codec.__file__
out = {}
for name in sys.argv[3:]:
    payload = open(sys.argv[2] + "/" + name, "rb").read()
    calls = max(3, int(60e6 / len(payload)))
    for _ in range(2):
        zorvat_codec.columnarize(payload)
    start = time.thread_time()
    for _ in range(calls):
        zorvat_codec.columnarize(payload)
    out[name] = (time.thread_time() - start) / calls
print(json.dumps(out))
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("builds", nargs="+")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--size", default="1M")
    ap.add_argument("--shapes", default=user_cost.SHAPES + ",small")
    args = ap.parse_args()
    builds = [b.split("=", 1) for b in args.builds]
    texts = user_cost.shape_rows()
    with tempfile.TemporaryDirectory() as tmp:
        names = []
        for shape in args.shapes.split(","):
            size = 13 << 10 if shape == "small" else user_cost.parse_size(args.size)
            payload = user_cost.payload_of(texts["records" if shape == "small" else shape], size)
            with open(os.path.join(tmp, shape), "wb") as f:
                f.write(payload)
            names.append(shape)
        times = {(b, n): [] for b, _ in builds for n in names}
        for r in range(args.rounds):
            for name, path in builds if r % 2 == 0 else builds[::-1]:
                out = subprocess.run([sys.executable, "-c", RUN, os.path.abspath(path), tmp, *names],
                                     check=True, capture_output=True, text=True).stdout
                for n, t in json.loads(out).items():
                    times[(name, n)].append(t)
            print("round", r + 1, "of", args.rounds, file=sys.stderr)
    first = builds[0][0]
    print("%-18s" % "dataset" + "".join("%14s" % b for b, _ in builds))
    for n in names:
        base = statistics.median(times[(first, n)])
        cells = []
        for b, _ in builds:
            m = statistics.median(times[(b, n)])
            cells.append("%7.3fms" % (m * 1e3) if b == first else "%7.3f×" % (base / m))
        print("%-18s" % n + "".join("%14s" % c for c in cells))


if __name__ == "__main__":
    main()
