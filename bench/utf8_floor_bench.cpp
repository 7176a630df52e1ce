// The UTF-8 check against simdjson's validator as a peer, on 1 MB of ASCII
// and of text where a fifth of the bytes belong to 2-, 3- and 4-byte
// sequences. Built only when simdjson is found. Interleaved, so that both
// see the same machine load:
//
//   build/release/utf8_floor_bench --benchmark_enable_random_interleaving=true --benchmark_repetitions=10
//
// Instructions per byte: one benchmark under callgrind (valgrind lacks
// AVX-512, so simdjson runs its AVX2 kernel there), e.g.
//
//   valgrind --tool=callgrind build/release/utf8_floor_bench --benchmark_filter='^zorvat/mixed20$'
//
// then `callgrind_annotate --inclusive=yes --tree=caller` on its output: the
// check's inclusive instructions (zorvat::json::is_valid_utf8, or
// simdjson::validate_utf8 for the peer) over its number of calls times
// 2^20 bytes. SIMDJSON_FORCE_IMPLEMENTATION=haswell pins simdjson to its
// AVX2 kernel natively too.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "json/string_kernels.h"
#include "json/strings.h"

namespace {

// Code points drawn so that about `multi` of the bytes belong to multi-byte
// sequences, of 2, 3 and 4 bytes alike.
std::string text(std::size_t n, double multi) {
  const char32_t firsts[] = {0x80, 0x800, 0x10000}, lasts[] = {0x7FF, 0xFFFD, 0x10FFFF};
  // A multi-byte character averages 3 bytes: share of characters that are.
  const double chance = multi / (3 - 2 * multi);
  std::mt19937 rng(5);
  std::bernoulli_distribution is_multi(chance);
  std::string s;
  while (s.size() < n) {
    if (!is_multi(rng)) {
      s += static_cast<char>(rng() % 7 == 0 ? ' ' : 'a' + rng() % 26);
      continue;
    }
    const unsigned band = rng() % 3;
    char32_t c = firsts[band] + rng() % (lasts[band] - firsts[band] + 1);
    if (c >= 0xD800 && c <= 0xDFFF) c -= 0x800;  // no surrogates
    const std::size_t len = band + 2;
    char bytes[4];
    for (std::size_t j = len - 1; j > 0; --j, c >>= 6) bytes[j] = static_cast<char>(0x80 | (c & 0x3F));
    bytes[0] = static_cast<char>((0xF00 >> len & 0xF0) | c);
    s.append(bytes, len);
  }
  s.resize(n);
  while ((static_cast<unsigned char>(s.back()) & 0xC0) == 0x80) s.pop_back();
  if (static_cast<unsigned char>(s.back()) >= 0xC0) s.pop_back();
  return s;
}

const std::string& payload(bool mixed) {
  static const std::string ascii = text(1 << 20, 0), twenty = text(1 << 20, 0.2);
  return mixed ? twenty : ascii;
}

void check(benchmark::State& state, bool (*valid)(const char*, std::size_t), bool mixed) {
  const std::string& s = payload(mixed);
  if (!valid(s.data(), s.size())) state.SkipWithError("the text is not valid UTF-8");
  for (auto _ : state) benchmark::DoNotOptimize(valid(s.data(), s.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
}

bool simdjson_check(const char* p, std::size_t n) { return simdjson::validate_utf8(p, n); }

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, bool (*)(const char*, std::size_t)>> checks = {
      {"simdjson", simdjson_check}, {"zorvat", zorvat::json::is_valid_utf8}};
  for (const auto& k : zorvat::json::detail::available_string_kernels()) {
    if (k.runs_here()) checks.push_back({std::string("zorvat_") + k.name, k.valid_utf8});
  }
  for (const auto& [name, valid] : checks) {
    for (bool mixed : {false, true}) {
      benchmark::RegisterBenchmark((name + (mixed ? "/mixed20" : "/ascii")).c_str(), check, valid, mixed)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  std::printf("active simdjson implementation: %s\n", simdjson::get_active_implementation()->name().c_str());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
