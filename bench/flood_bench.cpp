// Hash flooding: payloads whose key handling would turn quadratic with a
// weak table. Time per member should stay flat as the size grows (the
// "per_member" counter, in seconds per member):
//  - one row of N distinct keys (the reader's object index, the name set);
//  - N rows, each a different subset of 300 keys in a different order (the
//    row shape cache misses every time, so every key goes through the set);
//  - one row of N members cycling through 40 keys (repeated-key replacement
//    in a hashed object).
//
//   build/bench/flood_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>

#include "transform/pipeline.h"

namespace {

using namespace zorvat;

struct Payload {
  std::string text;
  std::size_t members = 0;
  std::size_t columns = 0;  // expected in the output (none are constant)
};

Payload one_wide_row(std::size_t keys) {
  Payload p;
  p.text = "[{";
  for (std::size_t k = 0; k < keys; ++k) {
    p.text += (k ? ",\"key" : "\"key") + std::to_string(k) + "\":" + std::to_string(k);
  }
  p.text += "}]";
  p.members = p.columns = keys;
  return p;
}

Payload shifting_rows(std::size_t rows) {
  constexpr std::size_t kKeys = 300;
  Payload p;
  p.text = "[";
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  };
  for (std::size_t r = 0; r < rows; ++r) {
    p.text += r ? ",{" : "{";
    // 24..47 distinct keys from a random start and stride: a different
    // set and order per row.
    std::size_t count = 24 + next() % 24;
    std::size_t start = next() % kKeys;
    std::size_t stride = 1 + next() % 60;
    while (std::gcd(stride, kKeys) != 1) ++stride;  // so the keys are distinct
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t key = (start + i * stride) % kKeys;
      p.text += (i ? ",\"field_" : "\"field_") + std::to_string(key) + "\":" + std::to_string(r);
    }
    p.text += "}";
    p.members += count;
  }
  p.text += "]";
  p.columns = kKeys;
  return p;
}

Payload repeated_keys(std::size_t members) {
  Payload p;
  p.text = "[{";
  for (std::size_t m = 0; m < members; ++m) {
    p.text += (m ? ",\"key" : "\"key") + std::to_string(m % 40) + "\":" + std::to_string(m);
  }
  p.text += "}]";
  p.members = members;
  p.columns = 40;
  return p;
}

// Checks the output once (the right number of columns) before timing.
void run(benchmark::State& state, const Payload& p) {
  transform::Outcome first = transform::columnarize_json(p.text);
  std::string head = "{\"columns\":[";
  std::size_t commas = 0;
  std::string_view out = first.ok() ? first.value().view() : std::string_view();
  std::size_t end = out.find(']');
  if (!first.ok() || out.substr(0, head.size()) != head) {
    state.SkipWithError("not columnarized");
    return;
  }
  for (std::size_t i = head.size(); i < end; ++i) commas += out[i] == ',';
  if (commas + 1 != p.columns) {
    state.SkipWithError("wrong column count");
    return;
  }
  for (auto _ : state) {
    transform::Outcome r = transform::columnarize_json(p.text);
    benchmark::DoNotOptimize(r.ok());
  }
  state.counters["members"] = static_cast<double>(p.members);
  state.counters["per_member"] =
      benchmark::Counter(static_cast<double>(p.members),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_OneWideRow(benchmark::State& state) {
  run(state, one_wide_row(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_OneWideRow)
    ->Arg(12500)
    ->Arg(25000)
    ->Arg(50000)
    ->Arg(100000)
    ->Arg(200000)
    ->Unit(benchmark::kMillisecond);

void BM_ShiftingKeySets(benchmark::State& state) {
  run(state, shifting_rows(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_ShiftingKeySets)
    ->Arg(6250)
    ->Arg(12500)
    ->Arg(25000)
    ->Arg(50000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

void BM_RepeatedKeys(benchmark::State& state) {
  run(state, repeated_keys(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_RepeatedKeys)
    ->Arg(12500)
    ->Arg(25000)
    ->Arg(50000)
    ->Arg(100000)
    ->Arg(200000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
