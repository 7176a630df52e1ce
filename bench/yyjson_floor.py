#!/usr/bin/env python3
"""The yyjson floor: the module's transform against yyjson read + minified write.

    python3 bench/yyjson_floor.py              # speed: MB/s and ratios, markdown
    python3 bench/yyjson_floor.py --callgrind  # instructions per payload byte
    python3 bench/yyjson_floor.py --chart docs/floor.png  # speed, and the ratios drawn

Builds bench/yyjson_floor.cpp (Release, in build/bench-floor), writes the
payloads into build/floor-payloads (those of tools/make_payloads.py and the
generated shapes below; seeded, so always the same bytes), runs the driver
and prints a markdown table.

Speed: one process times the three paths in turn on each dataset, for several
rounds; a ratio is taken within each round, and the table gives the median
of each figure over the rounds, so that a burst of load on the shared machine
moves one round, not the result. Times are CPU time of the calling thread
(with --threads T > 1: wall time of T threads at once). malloc is held in one
state for the whole run (--malloc, see bench/yyjson_floor.cpp): left to move,
its mmap threshold made yyjson's figures depend on the datasets before.

Callgrind: each path runs once and 1 + N times (--calls N, default 3) on each
dataset under callgrind; the difference in instructions over N is one call,
with start-up and loading left out. The module's hash keys are drawn at
random, so its count moves by a percent or two from call to call on
key-heavy shapes: N calls average that out.
"""
import argparse
import hashlib
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PATHS = ("module", "exact", "yyjson")
# Table order: tools/make_payloads.py's generated shapes, the public corpora,
# then this file's shapes; any other name after them.
ORDER = ("small", "records", "wide", "text", "numeric", "nested", "twitter_statuses", "citm_performances",
         "citm_events", "canada_features", "amazon_records", "wide20_optional", "wide60_optional",
         "wide200_optional", "nested_spaces", "float_heavy", "geojson")


def compact(rows):
    return json.dumps(rows, ensure_ascii=False, separators=(",", ":")).encode()


# -- generated shapes -------------------------------------------------------

def wide_optional(rng, width):
    """`width` columns of mixed types; two thirds of the keys are absent from
    some rows (20% or 70% of them), the rest always present."""
    rows = []
    for i in range(600_000 // width):
        row = {"id": i}
        for c in range(width):
            if c % 3 == 1 and rng.random() < 0.2 or c % 3 == 2 and rng.random() < 0.7:
                continue
            kind = c % 4
            if kind == 0:
                v = rng.randrange(100_000)
            elif kind == 1:
                v = "val_%d" % rng.randrange(500)
            elif kind == 2:
                v = round(rng.uniform(-1000, 1000), 2)
            else:
                v = rng.random() < 0.5 if rng.random() < 0.9 else None
            row["field_%03d" % c] = v
        rows.append(row)
    return compact(rows)


def nested_with_spaces(rng):
    """Cells that are objects and arrays, the whole written as json.dumps does
    by default: ", " and ": " separators, non-ASCII as \\u escapes."""
    roles = ["admin", "dev", "ops", "viewer", "billing"]
    events = ["login", "logout", "upload", "delete", "share"]
    cities = ["Zürich", "Montréal", "København", "Kraków", "Lyon", "Oslo"]
    rows = []
    for i in range(12_000):
        rows.append({
            "id": i,
            "user": {"name": "user_%d" % rng.randrange(10**5), "roles": rng.sample(roles, rng.randrange(1, 4)),
                     "prefs": {"theme": rng.choice(["dark", "light"]), "notify": rng.random() < 0.5}},
            "tags": [rng.choice(["a", "bb", "ccc", "dddd"]) for _ in range(rng.randrange(0, 5))],
            "scores": [rng.randrange(100) for _ in range(rng.randrange(1, 8))],
            "location": {"city": rng.choice(cities), "lat": round(rng.uniform(-90, 90), 5),
                         "lon": round(rng.uniform(-180, 180), 5)},
            "history": [{"ts": 1_765_000_000 + rng.randrange(10**6), "event": rng.choice(events)}
                        for _ in range(rng.randrange(0, 4))],
            "active": rng.random() < 0.8,
        })
    return json.dumps(rows).encode()


def float_heavy(rng):
    """Sensor rows whose floats are printed by repr: 15 to 17 significant
    digits for most."""
    rows = []
    for i in range(20_000):
        rows.append({
            "sensor": "s-%04d" % rng.randrange(500),
            "seq": i,
            "ts": 1_765_000_000 + i * 0.25,
            "temp_c": rng.gauss(21, 3),
            "humidity": rng.uniform(30, 70),
            "pressure_hpa": rng.gauss(1013.25, 5),
            "voltage": rng.uniform(3.0, 3.3),
            "lat": 48.85 + rng.gauss(0, 0.01),
            "lon": 2.35 + rng.gauss(0, 0.01),
            "accel_x": rng.gauss(0, 1),
            "accel_y": rng.gauss(0, 1),
            "accel_z": 9.81 + rng.gauss(0, 0.1),
            "ok": rng.random() < 0.99,
        })
    return compact(rows)


def geojson(rng):
    """GeoJSON features as rows: points, lines and polygons, coordinates to
    six decimals as most producers round them."""
    def point():
        return [round(rng.uniform(-180, 180), 6), round(rng.uniform(-85, 85), 6)]

    def walk(n):
        x, y = point()
        pts = []
        for _ in range(n):
            x, y = round(x + rng.gauss(0, 0.01), 6), round(y + rng.gauss(0, 0.01), 6)
            pts.append([x, y])
        return pts

    rows = []
    for i in range(8_000):
        kind = rng.choice(["Point", "LineString", "Polygon", "Polygon"])
        if kind == "Point":
            coords = point()
        elif kind == "LineString":
            coords = walk(rng.randrange(2, 40))
        else:
            ring = walk(rng.randrange(4, 60))
            coords = [ring + [ring[0]]]
        rows.append({"type": "Feature", "id": i,
                     "properties": {"name": "feature %d" % i, "population": rng.randrange(10**6),
                                    "area_km2": round(rng.uniform(0, 5000), 3)},
                     "geometry": {"type": kind, "coordinates": coords}})
    return compact(rows)


def generated():
    rng = random.Random(20261207)
    out = {}
    for width in (20, 60, 200):
        out["wide%d_optional" % width] = wide_optional(rng, width)
    out["nested_spaces"] = nested_with_spaces(rng)
    out["float_heavy"] = float_heavy(rng)
    out["geojson"] = geojson(rng)
    return out


def write_payloads(out_dir):
    """Writes them once; again only when a generator changed."""
    stamp_path = os.path.join(out_dir, ".stamp")
    h = hashlib.sha256()
    with open(__file__, "rb") as f:
        h.update(f.read().split(b"# -- speed")[0])
    with open(os.path.join(ROOT, "tools", "make_payloads.py"), "rb") as f:
        h.update(f.read())
    stamp = h.hexdigest()
    if os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return
    os.makedirs(out_dir, exist_ok=True)
    print("writing payloads into %s" % out_dir, file=sys.stderr)
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make_payloads.py"), out_dir], check=True,
                   stdout=subprocess.DEVNULL)
    for name, data in generated().items():
        with open(os.path.join(out_dir, name + ".json"), "wb") as f:
            f.write(data)
    with open(stamp_path, "w") as f:
        f.write(stamp)


def build(build_dir):
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DZORVAT_BUILD_BENCH=ON", "-DZORVAT_BUILD_TESTS=OFF", "-DZORVAT_BUILD_CLI=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j", "2", "--target", "yyjson_floor"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "yyjson_floor")


# -- speed ------------------------------------------------------------------

def speed(driver, files, args):
    cmd = [driver, "--rounds", str(args.rounds), "--batch-ms", str(args.batch_ms), "--threads", str(args.threads),
           "--malloc", args.malloc]
    out = subprocess.run(cmd + files, check=True, stdout=subprocess.PIPE, text=True).stdout
    per_call = {}  # (dataset, path) -> [seconds per call, one per round]
    sizes = {}
    order = []
    for line in out.splitlines():
        r, name, path, size, sec, _calls = line.split("\t")
        if name not in sizes:
            order.append(name)
        sizes[name] = int(size)
        per_call.setdefault((name, path), []).append(float(sec))
    print("yyjson floor, %s, malloc %s: MB/s of payload (10^6 bytes) per %s, median of %d interleaved rounds; "
          "ratio: module MB/s ÷ yyjson read + minified write MB/s in the same round, median over rounds "
          "(>1: the module is faster)\n" % (commit(), args.malloc, "CPU-second of the calling thread"
                                             if args.threads == 1 else "wall-second of %d threads" % args.threads,
                                             args.rounds))
    print("| dataset | size | module | exact path | yyjson read+write | module ÷ yyjson | exact ÷ yyjson | "
          "ratio spread |")
    print("|---|--:|--:|--:|--:|--:|--:|--:|")
    medians = []
    for name in order:
        mbs = {p: statistics.median(sizes[name] / s / 1e6 for s in per_call[(name, p)]) for p in PATHS}
        ratios = [y / m for m, y in zip(per_call[(name, "module")], per_call[(name, "yyjson")])]
        exact = [y / m for m, y in zip(per_call[(name, "exact")], per_call[(name, "yyjson")])]
        spread = "%.2f–%.2f" % (min(ratios), max(ratios))
        medians.append((statistics.median(ratios), statistics.median(exact)))
        print("| %s | %s | %s | %s | %s | **%.2f×** | %.2f× | %s |" % (
            name, human(sizes[name]), fmt(mbs["module"]), fmt(mbs["exact"]), fmt(mbs["yyjson"]),
            medians[-1][0], medians[-1][1], spread))
    print("| geometric mean | | | | | **%.2f×** | %.2f× | |" % (
        statistics.geometric_mean(m for m, _ in medians), statistics.geometric_mean(e for _, e in medians)))
    if args.chart:
        spreads = [[y / m for m, y in zip(per_call[(n, "module")], per_call[(n, "yyjson")])] for n in order]
        chart(args.chart, order, [m for m, _ in medians], spreads, args)


def chart(path, names, ratios, spreads, args):
    """Module ÷ yyjson per dataset as bars, the rounds' spread as whiskers."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 0.32 * len(names) + 1.4))
    y = range(len(names))[::-1]
    low = [r - min(s) for r, s in zip(ratios, spreads)]
    high = [max(s) - r for r, s in zip(ratios, spreads)]
    colors = ["#2b8cbe" if r >= 1.2 else "#fdae6b" if r >= 1 else "#e34a33" for r in ratios]
    ax.barh(list(y), ratios, xerr=[low, high], color=colors, ecolor="#555555", capsize=2)
    ax.set_yticks(list(y), names, fontsize=8)
    for x, style in ((1.0, "-"), (1.2, "--")):
        ax.axvline(x, color="black", linestyle=style, linewidth=0.8)
    ax.set_xlabel("module ÷ yyjson read + minified write (speed; >1: the module is faster; dashed: 1.2×)")
    threads = "one thread" if args.threads == 1 else "%d threads" % args.threads
    ax.set_title("yyjson floor, %s, %s, median of %d rounds" % (commit(), threads, args.rounds), fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


# -- callgrind --------------------------------------------------------------

def instructions(driver, path, calls, file, malloc="steady"):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, driver, "--malloc", malloc,
                        "--run", path, "--calls", str(calls), file], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        with open(out) as f:
            for line in f:
                m = re.match(r"(?:summary|totals): (\d+)", line)
                if m:
                    return int(m.group(1))
    raise RuntimeError("no total in callgrind's output")


def callgrind(driver, files, args):
    jobs = [(f, p) for f in files for p in args.paths]
    # Two runs at a time: the counts do not depend on the load.
    with ThreadPoolExecutor(max_workers=2) as pool:
        counts = dict(zip(jobs, pool.map(lambda j: (instructions(driver, j[1], 1 + args.calls, j[0], args.malloc)
                                                    - instructions(driver, j[1], 1, j[0], args.malloc)) / args.calls,
                                         jobs)))
    print("Instructions per payload byte of one call, %s (callgrind; a run of %d calls minus a run of one, over %d, "
          "so start-up and loading are left out)\n" % (commit(), 1 + args.calls, args.calls))
    print("| dataset | size | " + " | ".join(args.paths) + (" | module ÷ yyjson (instructions)" if
                                                            {"module", "yyjson"} <= set(args.paths) else "") + " |")
    print("|---|--:|" + "--:|" * (len(args.paths) + ({"module", "yyjson"} <= set(args.paths))))
    both = {"module", "yyjson"} <= set(args.paths)
    for f in files:
        size = os.path.getsize(f)
        cells = ["%.2f" % (counts[(f, p)] / size) for p in args.paths]
        if both:
            cells.append("%.2f×" % (counts[(f, "module")] / counts[(f, "yyjson")]))
        print("| %s | %s | %s |" % (os.path.basename(f)[:-5], human(size), " | ".join(cells)))
    if both:
        print("| geometric mean | |%s %.2f× |" % (" |" * len(args.paths), statistics.geometric_mean(
            counts[(f, "module")] / counts[(f, "yyjson")] for f in files)))


# -- helpers ----------------------------------------------------------------

def commit():
    """The last commit that changed the module's sources, which is what the
    figures describe (bench/ changes do not move them)."""
    def git(*a):
        return subprocess.run(["git", "-C", ROOT, *a], check=True, text=True, stdout=subprocess.PIPE).stdout.strip()
    try:
        rev = git("log", "-1", "--format=%h", "--", "src")
        dirty = git("status", "--porcelain", "--untracked-files=no", "--", "src")
        return "src at " + rev + (" with uncommitted changes" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "an unknown commit"


def human(n):
    return "%.1f MB" % (n / 1e6) if n >= 1e6 else "%d kB" % round(n / 1e3)


def fmt(x):
    return "{:,.0f}".format(x)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--callgrind", action="store_true", help="instructions per byte instead of speed")
    ap.add_argument("--rounds", type=int, default=9)
    ap.add_argument("--batch-ms", type=float, default=100, help="CPU time of each timed batch")
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--malloc", choices=("steady", "fresh"), default="steady",
                    help="malloc's state: that of a process which has freed a large block, or a new one's")
    ap.add_argument("--calls", type=int, default=3, help="for --callgrind: calls averaged")
    ap.add_argument("--paths", nargs="+", choices=PATHS, default=list(PATHS), help="for --callgrind")
    ap.add_argument("--only", nargs="+", metavar="DATASET", help="these datasets alone")
    ap.add_argument("--chart", metavar="PNG", help="for speed: also draw the ratios (needs matplotlib)")
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench-floor"))
    ap.add_argument("--payloads", default=os.path.join(ROOT, "build", "floor-payloads"))
    args = ap.parse_args()

    if args.callgrind and shutil.which("valgrind") is None:
        sys.exit("yyjson_floor.py: --callgrind needs valgrind (scripts/install_deps.sh installs it)")
    driver = build(args.build_dir)
    write_payloads(args.payloads)
    names = sorted((n[:-5] for n in os.listdir(args.payloads) if n.endswith(".json")),
                   key=lambda n: (ORDER.index(n) if n in ORDER else len(ORDER), n))
    if args.only:
        missing = set(args.only) - set(names)
        if missing:
            ap.error("no such dataset: %s (have: %s)" % (", ".join(sorted(missing)), ", ".join(names)))
        names = args.only
    files = [os.path.join(args.payloads, n + ".json") for n in names]
    (callgrind if args.callgrind else speed)(driver, files, args)


if __name__ == "__main__":
    main()
