#!/usr/bin/env bash
# The performance report in one command: installs what it needs, builds the
# module and the Google Benchmarks, writes the payloads, runs everything and
# writes the Markdown table to build/benchmark.md (and stdout), the figures to
# docs/performance.json and their chart to docs/performance.png (the README's
# picture). docs/performance.md says how the tables are published.
#
#   bash scripts/benchmark.sh
#
# About three minutes on two cores once built. Figures are CPU time of the
# calling thread, so other jobs disturb them less; the two-thread scaling is
# wall clock and needs the machine to give the process both cores.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_deps.sh --tests  # Google Benchmark and simdjson (a peer) come with the tests' packages
# The project's venv, as every other script uses, made by install_deps.sh.
python=.venv/bin/python
"$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore "orjson>=3.10" "msgspec>=0.18" \
  "matplotlib>=3.6"  # for the chart only, so not in install_deps.sh
echo "== installing the module" >&2
"$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore .

echo "== building the benchmarks" >&2
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORVAT_BUILD_BENCH=ON -DZORVAT_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j 2 >/dev/null

# Seeded, so only a changed generator needs them written again. The large one
# lives apart: the C++ stage benches would spend minutes on it.
if [ ! -f build/payloads.stamp ] || [ tools/make_payloads.py -nt build/payloads.stamp ]; then
  echo "== writing the payloads" >&2
  rm -rf build/payloads build/payloads-large
  "$python" tools/make_payloads.py build/payloads --large >&2
  mkdir -p build/payloads-large
  mv build/payloads/large.json build/payloads-large/
  touch build/payloads.stamp
fi

results=build/bench-results
rm -rf "$results"
mkdir -p "$results"
run_bench() {  # NAME PAYLOAD_DIR ARGS...: console output to a log, figures to JSON
  local name=$1 dir=$2
  shift 2
  echo "== $name" >&2
  ZORVAT_PAYLOADS=$dir "build/bench/${name}_bench" --benchmark_out="$results/$name.json" \
    --benchmark_out_format=json "$@" >"$results/$name.txt"
}
reps=(--benchmark_repetitions=3 --benchmark_min_time=0.2)
run_bench pipeline build/payloads "${reps[@]}"
run_bench float_format build/payloads "${reps[@]}"
if [ -x build/bench/simdjson_floor_bench ]; then
  run_bench simdjson_floor build/payloads "${reps[@]}"
  echo "== simdjson_floor (large)" >&2
  ZORVAT_PAYLOADS=build/payloads-large build/bench/simdjson_floor_bench --benchmark_repetitions=2 \
    --benchmark_out="$results/simdjson_floor_large.json" --benchmark_out_format=json >"$results/simdjson_floor_large.txt"
fi

echo "== the peers' columnarization against the module" >&2
"$python" -m pytest -q -p no:cacheprovider bench/test_pycolumnarize.py >&2

echo "== Python: module and peers (uptime: $(uptime))" >&2
"$python" bench/benchmark.py --payloads build/payloads --large build/payloads-large/large.json \
  --cpp "$results" --out build/benchmark.md

echo "== drawing the chart" >&2
cp build/benchmark.json docs/performance.json
"$python" bench/plot.py docs/performance.json docs/performance.png
