#!/usr/bin/env python3
"""Peak memory of one columnarize call, as a multiple of the payload size.

    python3 tools/peak_memory.py [--mb 200] [--shape records|numeric|wide]

Writes a generated payload of about --mb megabytes to a temporary file, then,
in a fresh interpreter, reads it (one allocation of exactly its size), takes
the peak resident size (ru_maxrss) as the baseline, makes one call and takes
the peak again. The difference is what the call needed at its highest: the
private copy of the payload, the parsed rows, the output and the returned
bytes object. Prints one line per shape.
"""
import argparse
import json
import os
import random
import subprocess
import sys
import tempfile

MEASURE = r"""
import resource, sys
from zorvat_codec import columnarize
with open(sys.argv[1], "rb") as f:
    payload = f.read()
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
out = columnarize(payload)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(len(payload), len(out), base * 1024, peak * 1024)
print(sys.modules["zorvat_codec"].__file__)
"""


def rows(shape, rng):
    """Endless rows of one shape."""
    cities = ["Lisbon", "Oslo", "Quito", "Hanoi", "Perth"]
    i = 0
    while True:
        if shape == "records":
            yield {
                "id": i,
                "name": "user%d" % i,
                "score": round(rng.random() * 100, 3),
                "active": i % 3 != 0,
                "city": rng.choice(cities),
                "tags": ["t%d" % (i % 5), "x"],
                "country": "PT",
                "note": None if i % 4 else "checked",
            }
        elif shape == "numeric":
            yield {"t": i, "x": rng.random(), "y": rng.random() * 1e6, "z": -rng.randrange(10**9)}
        else:  # wide: 60 short columns
            yield {"c%d" % k: (i + k) % 97 for k in range(60)}
        i += 1


def write_payload(path, shape, target_bytes):
    rng = random.Random(6)
    written = 1
    with open(path, "wb") as f:
        f.write(b"[")
        first = True
        batch = []
        for row in rows(shape, rng):
            batch.append(json.dumps(row, separators=(",", ":")).encode())
            if len(batch) == 1000:
                chunk = (b"" if first else b",") + b",".join(batch)
                f.write(chunk)
                written += len(chunk)
                first = False
                batch = []
                if written >= target_bytes:
                    break
        f.write(b"]")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mb", type=float, default=200)
    ap.add_argument("--shape", action="append", choices=["records", "numeric", "wide"])
    args = ap.parse_args()
    for shape in args.shape or ["records", "numeric", "wide"]:
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "payload.json")
            write_payload(path, shape, int(args.mb * 1e6))
            run = subprocess.run([sys.executable, "-c", MEASURE, path], capture_output=True, text=True, check=True)
        figures, module = run.stdout.splitlines()
        size, out, base, peak = map(int, figures.split())
        print(
            "%-8s payload %6.1f MB  output %6.1f MB  call peak +%7.1f MB  = %.2f x payload"
            % (shape, size / 1e6, out / 1e6, (peak - base) / 1e6, (peak - base) / size)
        )
    print("module:", module)


if __name__ == "__main__":
    main()
