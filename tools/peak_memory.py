#!/usr/bin/env python3
"""Peak memory of one columnarize call, as a multiple of the payload size.

    python3 tools/peak_memory.py [--mb 200] [--shape SHAPE ...]

Shapes: records, rotated (records whose key order rotates), numeric, wide,
empty (`{}` rows), null-member (`{"a":null}` rows), one-member (`{"a":1}`
rows), huge-row (one row of many members), deep (rows nested 125 deep), and
sparse (each row its own key: a small payload whose output is about --mb
megabytes, rows x columns nulls; measured against the output, not the payload).

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
        if shape in ("records", "rotated"):
            row = {
                "id": i,
                "name": "user%d" % i,
                "score": round(rng.random() * 100, 3),
                "active": i % 3 != 0,
                "city": rng.choice(cities),
                "tags": ["t%d" % (i % 5), "x"],
                "country": "PT",
                "note": None if i % 4 else "checked",
            }
            if shape == "rotated":
                items = list(row.items())
                k = i % len(items)
                row = dict(items[k:] + items[:k])
            yield row
        elif shape == "numeric":
            yield {"t": i, "x": rng.random(), "y": rng.random() * 1e6, "z": -rng.randrange(10**9)}
        elif shape == "empty":
            yield {}
        elif shape == "null-member":
            yield {"a": None}
        elif shape == "one-member":
            yield {"a": 1}
        elif shape == "deep":
            row = i
            for _ in range(124):
                row = [row]
            yield {"d": row}
        else:  # wide: 60 short columns
            yield {"c%d" % k: (i + k) % 97 for k in range(60)}
        i += 1


def write_huge_row(path, target_bytes):
    """One row of members "m0", "m1", ... holding their index."""
    with open(path, "wb") as f:
        f.write(b'[{"m0":0')
        written, i = 9, 1
        while written < target_bytes:
            chunk = b"".join(b',"m%d":%d' % (k, k) for k in range(i, i + 10000))
            f.write(chunk)
            written += len(chunk)
            i += 10000
        f.write(b"}]")


def write_sparse(path, output_bytes):
    """Rows with a key each: the output has rows x columns cells, nearly all null."""
    n = int((output_bytes / 5) ** 0.5)
    with open(path, "wb") as f:
        f.write(b"[" + b",".join(b'{"c%d":%d}' % (i, i) for i in range(n)) + b"]")


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


SHAPES = ["records", "rotated", "numeric", "wide", "empty", "null-member", "one-member", "huge-row", "deep", "sparse"]
DEFAULT_SHAPES = [s for s in SHAPES if s != "sparse"]  # sparse is sized by its output: ask for it


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mb", type=float, default=200)
    ap.add_argument("--shape", action="append", choices=SHAPES)
    args = ap.parse_args()
    for shape in args.shape or DEFAULT_SHAPES:
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "payload.json")
            if shape == "huge-row":
                write_huge_row(path, int(args.mb * 1e6))
            elif shape == "sparse":
                write_sparse(path, int(args.mb * 1e6))
            else:
                write_payload(path, shape, int(args.mb * 1e6))
            run = subprocess.run([sys.executable, "-c", MEASURE, path], capture_output=True, text=True, check=True)
        figures, module = run.stdout.splitlines()
        size, out, base, peak = map(int, figures.split())
        against, what = (out, "output") if shape == "sparse" else (size, "payload")
        print(
            "%-11s payload %7.1f MB  output %7.1f MB  call peak +%7.1f MB  = %5.2f x %s"
            % (shape, size / 1e6, out / 1e6, (peak - base) / 1e6, (peak - base) / against, what)
        )
    print("module:", module)


if __name__ == "__main__":
    main()
