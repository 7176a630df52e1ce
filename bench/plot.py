#!/usr/bin/env python3
"""Draws the benchmark chart: MB/s per dataset for the module, its peers
(stdlib json, orjson and msgspec, each with bench/pycolumnarize.py) and the
simdjson parse-only floor, from the JSON that bench/benchmark.py writes.

    python3 bench/plot.py build/benchmark.json build/benchmark.png

Reads the keys "order", "mbps", "simdjson" and, when present, "sizes",
"date" and "machine"; a dataset or series missing from the file is left out.
Needs matplotlib (scripts/benchmark.sh installs it).
"""

import argparse
import json
import math
import os
import sys

import matplotlib

matplotlib.use("Agg")  # files only, no display
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter  # noqa: E402

# (label, where the figure is in the results, colour, hatch)
SERIES = [
    ("zorvat_codec", ("mbps", "module"), "#d62728", None),
    ("stdlib json", ("mbps", "stdlib"), "#9ecae1", None),
    ("orjson", ("mbps", "orjson"), "#4292c6", None),
    ("msgspec", ("mbps", "msgspec"), "#08519c", None),
    ("simdjson parse only (floor)", ("simdjson", "parse"), "#bdbdbd", "//"),
]

# Above this ratio of largest to smallest figure, a linear axis squeezes the
# peers' bars to slivers.
LOG_RATIO = 20


def human_size(n):
    return "%.0f kB" % (n / 1e3) if n < 1e6 else "%.1f MB" % (n / 1e6)


def figure_of(res, dataset, where):
    section, key = where
    value = res.get(section, {}).get(dataset, {}).get(key)
    return value if isinstance(value, (int, float)) and value > 0 else None


def plot(res, out):
    datasets = [n for n in res.get("order", res.get("mbps", {})) if n in res.get("mbps", {})]
    if not datasets:
        raise SystemExit("plot.py: no per-dataset figures in the input")
    series = [s for s in SERIES if any(figure_of(res, n, s[1]) for n in datasets)]
    values = [v for s in series for n in datasets if (v := figure_of(res, n, s[1]))]
    log = max(values) / min(values) > LOG_RATIO

    group = 0.8  # height of one dataset's group of bars
    bar = group / len(series)
    fig, ax = plt.subplots(figsize=(10, 1.2 + 0.55 * len(datasets)), dpi=110)
    for i, (label, where, colour, hatch) in enumerate(series):
        ys, xs = [], []
        for d, name in enumerate(datasets):
            v = figure_of(res, name, where)
            if v:
                ys.append(d - group / 2 + (i + 0.5) * bar)
                xs.append(v)
        ax.barh(ys, xs, height=bar, label=label, color=colour, hatch=hatch, edgecolor="white", linewidth=0.4)
        if where == ("mbps", "module"):
            for y, x in zip(ys, xs):
                ax.annotate("{:,.0f}".format(x), (x, y), xytext=(3, 0), textcoords="offset points",
                            va="center", fontsize=7, color=colour, fontweight="bold")

    sizes = res.get("sizes", {})
    ax.set_yticks(range(len(datasets)))
    ax.set_yticklabels(["%s (%s)" % (n, human_size(sizes[n])) if n in sizes else n for n in datasets])
    ax.invert_yaxis()  # datasets top to bottom in the report's order
    ax.set_ylim(len(datasets) - 0.5, -0.5)
    if log:
        ax.set_xscale("log")
        # From the 1-2-5 step just below the smallest bar; labels on the 2s and 5s too.
        decade = 10 ** math.floor(math.log10(min(values)))
        ax.set_xlim(left=max(step * decade for step in (1, 2, 5) if step * decade <= min(values)),
                    right=max(values) * 1.6)
        ax.xaxis.set_major_locator(LogLocator(base=10, subs=(1, 2, 5)))
        ax.xaxis.set_minor_locator(LogLocator(base=10, subs=(3, 4, 6, 7, 8, 9)))
        ax.xaxis.set_minor_formatter(NullFormatter())
    ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: "{:,.0f}".format(x)))
    ax.set_xlabel("MB/s of payload per CPU-second of the calling thread (1 MB = 10^6 bytes)"
                  + (", log scale" if log else "") + "; higher is better")
    ax.set_ylabel("dataset (payload size)")
    ax.grid(axis="x", which="major", color="#dddddd", linewidth=0.6)
    ax.set_axisbelow(True)
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)

    title = "zorvat_codec.columnarize against parse, pure-Python columnarization and write with each peer"
    when = res.get("date")
    ax.set_title(title + ("\nbenchmark run of %s" % when if when else ""), fontsize=11, loc="left", pad=26)
    machine = res.get("machine")
    if machine:
        fig.text(0.01, 0.005, machine, fontsize=7, color="#666666", va="bottom")
    # Above the bars, where it hides none of them.
    ax.legend(loc="lower left", bbox_to_anchor=(0, 1.0), ncol=len(series), fontsize=8, frameon=False,
              handlelength=1.6, columnspacing=1.2, borderaxespad=0.3)
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    fig.savefig(out)
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("results", nargs="?", default="build/benchmark.json")
    ap.add_argument("out", nargs="?", default="build/benchmark.png")
    args = ap.parse_args()
    with open(args.results) as f:
        plot(json.load(f), args.out)
    print("chart written to %s" % args.out, file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
