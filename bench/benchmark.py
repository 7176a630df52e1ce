#!/usr/bin/env python3
"""zorvat_codec.columnarize against what a user would pick instead: stdlib
json, orjson or msgspec to parse and write, with the same columnarization in
pure Python (pycolumnarize), and simdjson's C++ parser as a floor.

    python3 bench/benchmark.py --payloads build/payloads \\
        --large build/payloads-large/large.json --cpp build/bench-results \\
        --out build/benchmark.md

scripts/benchmark.sh builds everything and runs this; --cpp names the folder
where it left the Google Benchmark results (JSON). The Markdown report goes
to --out and stdout, the raw figures next to it as .json (which
bench/plot.py draws as a chart).

Figures are per CPU-second of the calling thread (best of several runs), so
that other jobs on a shared machine disturb them less; the two-thread
scaling has to be wall-clock time and is the most exposed to that load. The
collector is off while a call is timed (gc.disable), the peers' best case;
a column gives orjson's figure with it on, as most programs run.
"""

import argparse
import gc
import json
import math
import os
import platform
import resource
import subprocess
import sys
import time

import msgspec
import orjson

import zorvat_codec

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pycolumnarize import columnarize as py_columnarize  # noqa: E402
from thread_timing import wall_run  # noqa: E402

MB = 1e6

# Generated shapes first, then those derived from the public corpora.
DATASETS = [
    ("small", "75 records, one tool-call result"),
    ("records", "100k flat records"),
    ("wide", "120 columns per row"),
    ("text", "long strings, escapes, non-ASCII"),
    ("numeric", "float-heavy rows"),
    ("nested", "nested cells"),
    ("twitter_statuses", "corpus: twitter statuses"),
    ("citm_performances", "corpus: citm performances"),
    ("citm_events", "corpus: citm events"),
    ("canada_features", "corpus: canada features"),
    ("amazon_records", "corpus: amazon cellphones"),
]
RECORDS_LIKE = ["records", "amazon_records", "large"]

_msgspec_decoder = msgspec.json.Decoder()
_msgspec_encoder = msgspec.json.Encoder()


def stdlib_path(payload):
    doc = py_columnarize(json.loads(payload))
    return json.dumps(doc, separators=(",", ":"), ensure_ascii=False).encode()


def orjson_path(payload):
    return orjson.dumps(py_columnarize(orjson.loads(payload)))


def msgspec_path(payload):
    return _msgspec_encoder.encode(py_columnarize(_msgspec_decoder.decode(payload)))


METHODS = {
    "module": zorvat_codec.columnarize,
    "stdlib": stdlib_path,
    "orjson": orjson_path,
    "msgspec": msgspec_path,
}
PEERS = ["stdlib", "orjson", "msgspec"]


# --------------------------------------------------------------------------
# Checking the output


class Comparison:
    """Strict comparison of two parsed documents: same types throughout
    (1 is not 1.0), floats equal or, since the module's reader is not
    correctly rounded, within two units in the last place (counted)."""

    def __init__(self):
        self.near_floats = 0

    def first_difference(self, a, b, path="$"):
        ta = type(a)
        if ta is not type(b):
            return "%s: %r vs %r" % (path, a, b)
        if ta is list:
            if len(a) != len(b):
                return "%s: %d vs %d elements" % (path, len(a), len(b))
            for i, (x, y) in enumerate(zip(a, b)):
                # Rows of scalars that compare equal with equal types need no walk.
                if type(x) is list and x == y and all(t not in (list, dict, float) for t in map(type, x)) \
                        and list(map(type, x)) == list(map(type, y)):
                    continue
                where = self.first_difference(x, y, "%s[%d]" % (path, i))
                if where:
                    return where
            return None
        if ta is dict:
            if list(a) != list(b):
                return "%s: members %s vs %s" % (path, list(a)[:8], list(b)[:8])
            for k in a:
                where = self.first_difference(a[k], b[k], "%s.%s" % (path, k))
                if where:
                    return where
            return None
        if ta is float and a != b:
            if abs(a - b) <= 2 * math.ulp(max(abs(a), abs(b))):
                self.near_floats += 1
                return None
            return "%s: %r vs %r" % (path, a, b)
        return None if a == b else "%s: %r vs %r" % (path, a, b)


def check(name, payload, methods):
    """The module's document against each peer path's; returns problems."""
    gc.disable()
    try:
        ours = json.loads(zorvat_codec.columnarize(payload))
        problems = []
        near = 0
        for m in methods:
            c = Comparison()
            where = c.first_difference(ours, json.loads(METHODS[m](payload)))
            near = max(near, c.near_floats)
            if where:
                problems.append("%s: module and %s path differ at %s" % (name, m, where))
        return problems, near
    finally:
        gc.enable()


# --------------------------------------------------------------------------
# Timing


def timed(fn, payload, inner, collector):
    """CPU seconds of this thread per call, over `inner` calls."""
    gc.collect()
    if not collector:
        gc.disable()
    try:
        start = time.thread_time_ns()
        for _ in range(inner):
            fn(payload)
        return (time.thread_time_ns() - start) / inner / 1e9
    finally:
        gc.enable()


def measure(payload, variants, budget, min_samples=3, max_samples=15, sample_floor=0.02):
    """Best time per call of each variant (name -> (fn, collector)); the
    variants take turns so that a burst of load hits them alike."""
    plan = {}
    for name, (fn, collector) in variants.items():
        first = max(timed(fn, payload, 1, collector), 1e-7)
        inner = max(1, int(sample_floor / first))
        samples = max(min_samples, min(max_samples, int(budget / (first * inner))))
        plan[name] = [inner, samples, first]
    for r in range(max(s for _, s, _ in plan.values())):
        for name, (fn, collector) in variants.items():
            inner, samples, best = plan[name]
            if r < samples:
                plan[name][2] = min(best, timed(fn, payload, inner, collector))
    return {name: p[2] for name, p in plan.items()}


def two_thread_scaling(payload, seconds_per_call, target=0.3, rounds=3, max_rounds=8):
    """Throughput of two threads, each on its own copy, over one. Rounds go
    on (up to max_rounds) while other jobs keep the two threads from two
    CPUs, which would hide what the module does."""
    copies = [bytes(bytearray(payload)) for _ in range(2)]
    calls = max(2, int(target / max(seconds_per_call, 1e-7)))
    gc.disable()
    try:
        one = two = math.inf
        cpu_two = 0.0
        done = 0
        while done < rounds or (done < max_rounds and cpu_two / two < 1.5):
            one = min(one, wall_run(copies[:1], calls)[0])
            wall, cpu = wall_run(copies, calls)
            if wall < two:
                two, cpu_two = wall, cpu
            done += 1
    finally:
        gc.enable()
    return {"scaling": 2 * one / two, "cores_busy": cpu_two / two, "calls": calls, "rounds": done}


# --------------------------------------------------------------------------
# Peak memory, in a fresh process per method


def _status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def memory_probe(method, path):
    """Prints the growth of peak RSS over one call, the result kept. The
    process must be started from a small one: ru_maxrss carries over the
    parent's peak through fork and exec."""
    fn = METHODS[method]
    with open(path, "rb") as f:
        payload = f.read()
    before = _status_bytes("VmRSS")
    peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    out = fn(payload)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"method": method, "payload": len(payload), "output": len(out),
                      "beyond": peak - before, "inherited_peak": peak_before > before,
                      "beyond_hwm": _status_bytes("VmHWM") - before}))


def peak_memory(method, path):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-probe", method, path],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


# --------------------------------------------------------------------------
# Google Benchmark results


def cpp_results(folder, stem):
    """name -> best figure of the runs in folder/stem.json (bytes or items per second)."""
    path = os.path.join(folder, stem + ".json")
    if not os.path.exists(path):
        return {}
    with open(path) as f:
        data = json.load(f)
    best = {}
    for b in data.get("benchmarks", []):
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        value = b.get("bytes_per_second") or b.get("items_per_second")
        name = b.get("run_name", b["name"])
        if value and value > best.get(name, 0):
            best[name] = value
    return best


# --------------------------------------------------------------------------
# The report


def fmt(x, digits=0):
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "–"
    return "{:,.{}f}".format(x, digits)


def ratio(a, b):
    return a / b if a and b else None


def mark(ok):
    return "**met**" if ok else "**missed**"


def report(res):
    lines = []
    add = lines.append
    names = [n for n in res["order"] if n in res["mbps"]]
    add("MB/s of payload (1 MB = 10^6 bytes) per CPU-second of the calling thread, best of several runs; "
        "peers parse, run bench/pycolumnarize.py and write bytes, with the collector off (÷ orjson (gc on): "
        "against orjson's path with it on). 2T/1T: wall-clock throughput of two threads, each calling the "
        "module on its own copy, over one; CPUs busy: the process's CPU time over wall time meanwhile "
        "(2.0 when the machine gives both cores).")
    add("")
    add("| dataset | size | module | stdlib json | orjson | msgspec | simdjson parse | simdjson parse+minify "
        "| ÷ orjson | ÷ orjson (gc on) | ÷ simdjson parse | 2T/1T | CPUs busy (2T) |")
    add("|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|")
    for n in names:
        m = res["mbps"][n]
        sj = res["simdjson"].get(n, {})
        sc = res["scaling"].get(n, {}).get("scaling")
        busy = res["scaling"].get(n, {}).get("cores_busy")
        add("| %s | %s | **%s** | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            n, human_size(res["sizes"][n]), fmt(m.get("module")), fmt(m.get("stdlib")), fmt(m.get("orjson")),
            fmt(m.get("msgspec")), fmt(sj.get("parse")), fmt(sj.get("parse+minify")),
            fmt(ratio(m.get("module"), m.get("orjson")), 1) + "×",
            fmt(ratio(m.get("module"), m.get("orjson_gc")), 1) + "×",
            fmt(ratio(m.get("module"), sj.get("parse")), 2) + "×", fmt(sc, 2) + "×" if sc else "–", fmt(busy, 2)))
    add("")
    if "small" in res["us"]:
        us = res["us"]["small"]
        add("Small payload (%s bytes), µs per call including the call itself: module **%s**, stdlib json %s, "
            "orjson %s, msgspec %s; simdjson parse only %s." % (
                fmt(res["sizes"]["small"]), fmt(us["module"], 1), fmt(us["stdlib"], 1), fmt(us["orjson"], 1),
                fmt(us["msgspec"], 1), fmt(us.get("simdjson"), 1)))
        add("")
    if res["memory"]:
        add("Peak memory of one call on the large payload (%s) beyond the payload, the result kept, in a fresh "
            "process (ru_maxrss): %s. The module reads the payload in place; the others' figures include "
            "the values they build from it." % (human_size(res["sizes"].get("large", 0)), ", ".join(
                "%s %s× (%s MB)" % (m, fmt(v["beyond"] / v["payload"], 2), fmt(v["beyond"] / MB))
                for m, v in res["memory"].items())))
        add("")
    stages = res["stages"]
    if stages:
        add("Core stages in C++ (bench/pipeline_bench, MB/s):")
        add("")
        add("| dataset | read | read+columnarize | write (MB/s of output) | pipeline | exact path alone "
            "| error at end, time ÷ valid | error in last row, time ÷ valid |")
        add("|---|--:|--:|--:|--:|--:|--:|--:|")
        for n in names:
            s = stages.get(n)
            if s:
                add("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
                    n, fmt(s.get("read")), fmt(s.get("read+columnarize")), fmt(s.get("write")),
                    fmt(s.get("pipeline")), fmt(s.get("exact")),
                    fmt(ratio(s.get("pipeline"), s.get("error_at_end")), 2) + "×",
                    fmt(ratio(s.get("pipeline"), s.get("error_in_last_row")), 2) + "×"))
        add("")
    if res["format_float"]:
        add("format_float (bench/float_format_bench), ns per value: %s." % ", ".join(
            "%s %s" % (k, fmt(v, 1)) for k, v in res["format_float"].items()))
        add("")

    add("Targets:")
    add("")
    add("| target | measured | |")
    add("|---|---|---|")
    for t in res["targets"]:
        add("| %s | %s | %s |" % (t["target"], t["measured"], mark(t["ok"]) if t["ok"] is not None else
                                  "not measured"))
    add("")
    add("Checked before timing: %s" % res["check"])
    add("")
    add("Machine: %s; load average %s at the start, %s at the end." % (
        res["machine"], res["load_start"], res["load_end"]))
    return "\n".join(lines)


def human_size(n):
    return "%.0f kB" % (n / 1e3) if n < 1e6 else "%.1f MB" % (n / MB)


def targets(res):
    out = []
    names = [n for n in res["order"] if n in res["mbps"]]

    def add(target, measured, ok):
        out.append({"target": target, "measured": measured, "ok": ok})

    # Each dataset's bar: 8x the orjson path, or 0.45x simdjson's parse alone
    # where that is lower (parsing alone bounds what a transform can reach).
    bars = {}
    for n in names:
        o = res["mbps"][n].get("orjson")
        sj = res["simdjson"].get(n, {}).get("parse")
        bars[n] = min(b for b in (8 * o if o else None, 0.45 * sj if sj else None) if b) if (o or sj) else None
    short = {n: ratio(res["mbps"][n].get("module"), bars[n]) for n in names if bars[n]}
    worst = min(short, key=short.get) if short else None
    add("throughput ≥ the lower of 8× the orjson path and 0.45× simdjson parse-only, on every dataset",
        "lowest %s× its bar (%s); below it: %s" % (
            fmt(short[worst], 2), worst, ", ".join("%s %s×" % (n, fmt(v, 2)) for n, v in short.items() if v < 1)
            or "none") if worst else "–",
        all(v >= 1 for v in short.values()) if short else None)
    s = {n: ratio(res["mbps"][n].get("module"), res["simdjson"].get(n, {}).get("parse"))
         for n in RECORDS_LIKE if n in names}
    add("records-like data ≥ 0.45× simdjson parse-only",
        ", ".join("%s %s×" % (n, fmt(v, 2)) for n, v in s.items()) or "–",
        all(v and v >= 0.45 for v in s.values()) if s else None)
    us = res["us"].get("small", {}).get("module")
    add("small payload ≤ 10 µs per call", "%s µs" % fmt(us, 1) if us else "–", us <= 10 if us else None)
    mem = res["memory"].get("module")
    x = mem["beyond"] / mem["payload"] if mem else None
    add("peak memory of one call ≤ 2.5× the payload (large, records-like)", "%s×" % fmt(x, 2) if x else "–",
        x <= 2.5 if x else None)
    err = {}
    for n in names:
        st = res["stages"].get(n, {})
        for kind in ("error_at_end", "error_in_last_row"):
            v = ratio(st.get("pipeline"), st.get(kind))
            if v:
                err[(n, kind)] = v
    if err:
        worst_e = max(err, key=err.get)
        add("an error payload ≤ 1.5× the time of a valid one of the same size",
            "highest %s× (%s, %s)" % (fmt(err[worst_e], 2), worst_e[0], worst_e[1].replace("_", " ")),
            all(v <= 1.5 for v in err.values()))
    # Two threads can only show scaling when the machine gives them two
    # cores; the figures of runs that got less are no figure of the module.
    sc = {n: v["scaling"] for n, v in res["scaling"].items()}
    fair = {n: sc[n] for n, v in res["scaling"].items() if v["cores_busy"] >= 1.5}
    if sc:
        low = min(sc, key=sc.get)
        measured = "lowest %s× (%s), highest %s×; %d of %d datasets got two CPUs%s" % (
            fmt(sc[low], 2), low, fmt(max(sc.values()), 2), len(fair), len(sc),
            "" if len(fair) == len(sc) else
            " (judged on those: %s)" % ", ".join("%s %s×" % (n, fmt(v, 2)) for n, v in fair.items()) if fair else
            ": other jobs held a core")
        add("two threads ≥ 1.8× one thread", measured, all(v >= 1.8 for v in fair.values()) if fair else None)
    ff = res["format_float"]
    add("format_float ≤ 15 ns per value", ", ".join("%s %s ns" % (k, fmt(v, 1)) for k, v in ff.items()) or "–",
        all(v <= 15 for v in ff.values()) if ff else None)
    return out


def machine():
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "?")
    except OSError:
        cpu = platform.processor() or "?"
    return "%s, %d cores; Python %s; orjson %s, msgspec %s" % (
        cpu, os.cpu_count(), platform.python_version(), orjson.__version__, msgspec.__version__)


def load():
    return "%.2f / %.2f / %.2f" % os.getloadavg()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--payloads", default="build/payloads")
    ap.add_argument("--large", help="the payload of over 100 MB, for the large-payload row and memory")
    ap.add_argument("--cpp", help="folder of the Google Benchmark JSON results")
    ap.add_argument("--out", default="build/benchmark.md")
    ap.add_argument("--budget", type=float, default=0.6, help="seconds of timing per method and dataset")
    ap.add_argument("--memory-probe", nargs=2, metavar=("METHOD", "PATH"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_probe:
        memory_probe(*args.memory_probe)
        return 0

    res = {"order": [n for n, _ in DATASETS] + ["large"], "sizes": {}, "mbps": {}, "us": {}, "simdjson": {},
           "scaling": {}, "memory": {}, "stages": {}, "format_float": {}, "load_start": load(), "machine": machine(),
           "date": time.strftime("%Y-%m-%d")}  # the chart's title (bench/plot.py)
    # Memory first, each method in its own process, while this one is small
    # (a child's ru_maxrss starts from its parent's).
    if args.large:
        for m in ["module", "orjson", "msgspec", "stdlib"]:
            res["memory"][m] = peak_memory(m, args.large)
            print("memory  %-8s %.2fx" % (m, res["memory"][m]["beyond"] / res["memory"][m]["payload"]),
                  file=sys.stderr, flush=True)

    payloads = {}
    for name, _ in DATASETS:
        path = os.path.join(args.payloads, name + ".json")
        if os.path.exists(path):
            with open(path, "rb") as f:
                payloads[name] = f.read()
    if args.large:
        with open(args.large, "rb") as f:
            payloads["large"] = f.read()
    if not payloads:
        print("no payloads in %s: run tools/make_payloads.py %s" % (args.payloads, args.payloads), file=sys.stderr)
        return 1
    res["sizes"] = {n: len(p) for n, p in payloads.items()}

    # 1. Same documents, or the figures compare nothing.
    problems = []
    near = 0
    for name, payload in payloads.items():
        p, n = check(name, payload, ["orjson"] if name == "large" else PEERS)
        problems += p
        near += n
        print("checked %-18s %s" % (name, "MISMATCH" if p else "same documents"), file=sys.stderr, flush=True)
    if problems:
        print("\n".join("MISMATCH " + p for p in problems), file=sys.stderr)
        res["check"] = "**MISMATCH**: " + "; ".join(problems)
    else:
        res["check"] = ("the module's document equals every peer path's on every dataset (parsed with json.loads; "
                        "types compared too)%s." % (
                            "; %d floats differ by at most 2 units in the last place, the module's reader "
                            "not being correctly rounded" % near if near else ""))

    # 2. Single-thread throughput.
    for name, payload in payloads.items():
        big = name == "large"
        variants = {m: (METHODS[m], False) for m in METHODS}
        variants["orjson_gc"] = (orjson_path, True)
        if big:
            # A second or more per peer call: one timed call after the first.
            best = measure(payload, {"module": variants.pop("module")}, budget=0, min_samples=3)
            best.update(measure(payload, variants, budget=0, min_samples=1, max_samples=1))
        else:
            best = measure(payload, variants, budget=args.budget)
        res["mbps"][name] = {m: len(payload) / t / MB for m, t in best.items()}
        if name == "small":
            res["us"]["small"] = {m: t * 1e6 for m, t in best.items()}
        print("timed   %-18s module %s MB/s, orjson path %s MB/s" % (
            name, fmt(res["mbps"][name]["module"]), fmt(res["mbps"][name]["orjson"])), file=sys.stderr, flush=True)

    # 3. Two threads.
    for name, payload in payloads.items():
        per_call = len(payload) / (res["mbps"][name]["module"] * MB)
        res["scaling"][name] = two_thread_scaling(payload, per_call, target=0.6 if name == "large" else 0.3)
        print("threads %-18s %.2fx" % (name, res["scaling"][name]["scaling"]), file=sys.stderr, flush=True)

    # 4. The C++ figures.
    if args.cpp:
        for stem in ("simdjson_floor", "simdjson_floor_large"):
            for key, value in cpp_results(args.cpp, stem).items():
                stage, name = key.split("/", 1)
                res["simdjson"].setdefault(name, {})[stage.replace("simdjson_", "")] = value / MB
        if "small" in res["simdjson"]:
            res["us"].setdefault("small", {})["simdjson"] = res["sizes"]["small"] / (
                res["simdjson"]["small"]["parse"] * MB) * 1e6
        for key, value in cpp_results(args.cpp, "pipeline").items():
            stage, name = key.split("/", 1)
            res["stages"].setdefault(name, {})[stage] = value / MB
        for key, value in cpp_results(args.cpp, "float_format").items():
            if key.startswith("BM_FormatFloat_"):
                res["format_float"][key[len("BM_FormatFloat_"):]] = 1e9 / value

    res["load_end"] = load()
    res["targets"] = targets(res)
    text = report(res)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        f.write(text + "\n")
    with open(os.path.splitext(args.out)[0] + ".json", "w") as f:
        json.dump(res, f, indent=1)
    print(text)
    return 2 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
