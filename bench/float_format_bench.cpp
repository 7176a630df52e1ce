// Time per value of format_float, against the standard library's shortest
// form: ns per value is 1e9 / items_per_second.
#include <benchmark/benchmark.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "json/float_format.h"

namespace {

constexpr std::size_t kValues = 1 << 16;  // beyond what branch predictors memorise
constexpr std::size_t kBatch = 256;

std::vector<double> random_bit_patterns() {
  std::mt19937_64 rng(1);
  std::vector<double> v;
  while (v.size() < kValues) {
    const double x = std::bit_cast<double>(rng());
    if (std::isfinite(x)) v.push_back(x);
  }
  return v;
}

std::vector<double> prices() {  // two decimals, up to 100000
  std::mt19937_64 rng(2);
  std::vector<double> v;
  while (v.size() < kValues) v.push_back(static_cast<double>(rng() % 10'000'000) / 100.0);
  return v;
}

std::vector<double> uniform_unit() {  // 16-17 digit values in [0, 1)
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> dist(0.0, 1.0);
  std::vector<double> v;
  while (v.size() < kValues) v.push_back(dist(rng));
  return v;
}

// Longitudes and latitudes of six decimals, most a few hundred units in the
// last place off, as computed coordinates are (payloads/canada_features.json).
std::vector<double> coordinates() {
  std::mt19937_64 rng(4);
  std::vector<double> v;
  while (v.size() < kValues) {
    const std::uint64_t r = rng();
    const double x = static_cast<double>(r % 360'000'000) / 1e6 - 180;
    const std::int64_t nudge = (r >> 32) % 4 == 0 ? 0 : static_cast<std::int64_t>((r >> 40) % 512) - 256;
    v.push_back(std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) + static_cast<std::uint64_t>(nudge)));
  }
  return v;
}

template <typename Format>
void run(benchmark::State& state, const std::vector<double>& values, Format format) {
  char out[zorvat::json::kFloatTextMax + 8];
  std::size_t i = 0;
  for (auto _ : state) {
    for (std::size_t j = 0; j < kBatch; ++j) {
      benchmark::DoNotOptimize(format(values[i], out));
      i = (i + 1) % kValues;
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}

std::size_t format_float(double x, char* out) { return zorvat::json::format_float(x, out); }

std::size_t standard_library(double x, char* out) {
  return static_cast<std::size_t>(
      std::to_chars(out, out + zorvat::json::kFloatTextMax + 8, x, std::chars_format::scientific).ptr - out);
}

void BM_FormatFloat_RandomBits(benchmark::State& s) { run(s, random_bit_patterns(), format_float); }
void BM_FormatFloat_Prices(benchmark::State& s) { run(s, prices(), format_float); }
void BM_FormatFloat_UniformUnit(benchmark::State& s) { run(s, uniform_unit(), format_float); }
void BM_FormatFloat_Coordinates(benchmark::State& s) { run(s, coordinates(), format_float); }
void BM_ToChars_RandomBits(benchmark::State& s) { run(s, random_bit_patterns(), standard_library); }
void BM_ToChars_Prices(benchmark::State& s) { run(s, prices(), standard_library); }

BENCHMARK(BM_FormatFloat_RandomBits);
BENCHMARK(BM_FormatFloat_Prices);
BENCHMARK(BM_FormatFloat_UniformUnit);
BENCHMARK(BM_FormatFloat_Coordinates);
BENCHMARK(BM_ToChars_RandomBits);
BENCHMARK(BM_ToChars_Prices);

}  // namespace
