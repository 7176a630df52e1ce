#!/usr/bin/env python3
"""Writes the benchmark payloads: row-oriented JSON derived from the public
corpora in ../shared/data, and generated datasets of known shapes.

    python3 tools/make_payloads.py OUT_DIR [--large]

Each payload is one compact JSON array of objects, written as OUT_DIR/NAME.json.
Generation is seeded, so every run writes the same bytes. --large adds the
payload of over 100 MB.
"""
import argparse
import json
import os
import random
import string

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "data"))


def dump(rows):
    return json.dumps(rows, ensure_ascii=False, separators=(",", ":")).encode()


def corpus(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read()


def derived():
    out = {}
    twitter = json.loads(corpus("twitter.json"))
    out["twitter_statuses"] = dump(twitter["statuses"])
    citm = json.loads(corpus("citm_catalog.json"))
    out["citm_performances"] = dump(citm["performances"])
    out["citm_events"] = dump(list(citm["events"].values()))
    canada = json.loads(corpus("canada.json"))
    out["canada_features"] = dump(canada["features"])
    # One JSON array per line, the first naming the fields of the others.
    lines = [json.loads(l) for l in corpus("amazon_cellphones.ndjson").decode().splitlines() if l.strip()]
    out["amazon_records"] = dump([dict(zip(lines[0], row)) for row in lines[1:]])
    return out


WORDS = ["alpha", "beta", "gamma", "delta", "région", "naïve", "東京", "данные", "emoji 😀", "tab\tand\nnewline",
         'quote " and \\ backslash', "plain"]


def record(rng, i):
    return {
        "id": i,
        "user_id": rng.randrange(1, 10**6),
        "status": rng.choice(["active", "inactive", "pending"]),
        "region": "eu-west-1",
        "score": round(rng.uniform(0, 100), 2),
        "name": "user_%d" % rng.randrange(10**5),
        "verified": rng.random() < 0.5,
        "deleted_at": None,
        "tags": None if rng.random() < 0.7 else rng.choice(["x", "y"]),
        "created": "2026-%02d-%02dT%02d:%02d:00Z" % (rng.randrange(1, 13), rng.randrange(1, 29),
                                                     rng.randrange(24), rng.randrange(60)),
    }


def records(rng, n):
    return [record(rng, i) for i in range(n)]


def wide(rng, n, width=120):
    rows = []
    for i in range(n):
        row = {"c%03d" % c: (rng.randrange(1000) if c % 3 else "v%d" % rng.randrange(50)) for c in range(width)}
        row["const"] = "same"
        rows.append(row)
    return rows


def text(rng, n):
    def sentence():
        return " ".join(rng.choice(WORDS) for _ in range(rng.randrange(20, 60)))
    return [{"id": i, "title": sentence()[:80], "body": sentence(), "lang": "mixed"} for i in range(n)]


def numeric(rng, n):
    return [{"t": i * 0.001, "x": rng.gauss(0, 1), "y": rng.uniform(-1e6, 1e6), "z": rng.random() * 1e-9,
             "w": rng.lognormvariate(0, 3), "k": 42.0} for i in range(n)]


def nested(rng, n):
    return [{"id": i, "meta": {"a": [1, 2, {"b": rng.random()}], "c": {"d": {"e": "f" * rng.randrange(5)}}},
             "points": [[rng.random(), rng.random()] for _ in range(rng.randrange(1, 6))],
             "cfg": {"mode": "fast", "levels": [1, 2, 3]}} for i in range(n)]


def small(rng):
    return records(rng, 75)  # about 13 kB, a typical single tool-call result


def generated(large):
    rng = random.Random(20261207)
    out = {
        "small": dump(small(rng)),
        "records": dump(records(rng, 100_000)),
        "wide": dump(wide(rng, 5_000)),
        "text": dump(text(rng, 20_000)),
        "numeric": dump(numeric(rng, 100_000)),
        "nested": dump(nested(rng, 50_000)),
    }
    if large:
        rows = records(rng, 100_000)
        chunk = dump(rows)[1:-1]
        count = 120 * 1024 * 1024 // len(chunk) + 1
        out["large"] = b"[" + b",".join([chunk] * count) + b"]"
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out_dir")
    ap.add_argument("--large", action="store_true", help="also write the payload of over 100 MB")
    args = ap.parse_args()
    os.makedirs(args.out_dir, exist_ok=True)
    payloads = {**derived(), **generated(args.large)}
    for name, data in payloads.items():
        with open(os.path.join(args.out_dir, name + ".json"), "wb") as f:
            f.write(data)
        print("%-20s %10d bytes" % (name, len(data)))


if __name__ == "__main__":
    main()
