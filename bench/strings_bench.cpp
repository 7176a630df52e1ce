// Throughput of the reader's string scanning, per variant ("dispatch" is what
// the reader calls).
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "json/string_kernels.h"
#include "json/strings.h"

namespace {

using zorvat::json::detail::StringKernels;

std::string ascii_text(std::size_t n) {
  std::string s;
  std::mt19937 rng(1);
  while (s.size() < n) s += static_cast<char>(rng() % 7 == 0 ? ' ' : 'a' + rng() % 26);
  return s;
}

// Words of Latin, Cyrillic, CJK and emoji, separated by spaces: short ASCII
// runs between multi-byte sequences.
std::string mixed_text(std::size_t n) {
  const char* words[] = {"data",
                         "caf\xC3\xA9",
                         "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
                         "\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97",
                         "\xF0\x9F\x98\x80",
                         "na\xC3\xAFve"};
  std::string s;
  std::mt19937 rng(2);
  while (s.size() < n) {
    s += words[rng() % 6];
    s += ' ';
  }
  s.resize(n);
  while (!s.empty() && (static_cast<unsigned char>(s.back()) & 0xC0) == 0x80) s.pop_back();
  if (!s.empty() && static_cast<unsigned char>(s.back()) >= 0xC0) s.pop_back();
  return s;
}

const StringKernels& kernel(std::size_t i) {
  static const auto all = [] {
    std::vector<StringKernels> out;
    for (const auto& k : zorvat::json::detail::available_string_kernels()) {
      if (k.runs_here()) out.push_back(k);
    }
    out.push_back({"dispatch", zorvat::json::find_string_special, zorvat::json::is_valid_utf8,
                   zorvat::json::find_non_ascii, [] { return true; }});
    return out;
  }();
  return all[i];
}

void BM_FindSpecial(benchmark::State& state) {
  const StringKernels& k = kernel(static_cast<std::size_t>(state.range(0)));
  const std::string s = ascii_text(static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(k.find_special(s.data(), s.data() + s.size()));
  }
  state.SetLabel(k.name);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
}

template <bool kMixed>
void BM_ValidUtf8(benchmark::State& state) {
  const StringKernels& k = kernel(static_cast<std::size_t>(state.range(0)));
  const auto n = static_cast<std::size_t>(state.range(1));
  const std::string s = kMixed ? mixed_text(n) : ascii_text(n);
  if (!k.valid_utf8(s.data(), s.size())) state.SkipWithError("benchmark text is not valid UTF-8");
  for (auto _ : state) {
    benchmark::DoNotOptimize(k.valid_utf8(s.data(), s.size()));
  }
  state.SetLabel(k.name);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
}

void Args(benchmark::internal::Benchmark* b) {
  std::int64_t variants = 1;
  for (const auto& k : zorvat::json::detail::available_string_kernels()) variants += k.runs_here() ? 1 : 0;
  for (std::int64_t n : {8, 24, 64, 256, 64 << 10}) {
    for (std::int64_t v = 0; v < variants; ++v) b->Args({v, n});
  }
  b->ArgNames({"variant", "bytes"});
}

BENCHMARK(BM_FindSpecial)->Apply(Args);
BENCHMARK(BM_ValidUtf8<false>)->Name("BM_ValidUtf8Ascii")->Apply(Args);
BENCHMARK(BM_ValidUtf8<true>)->Name("BM_ValidUtf8Mixed")->Apply(Args);

}  // namespace
