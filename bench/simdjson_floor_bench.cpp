// The floor a C++ user would measure us against: simdjson's DOM parser on the
// same payload files, parsing only, and parsing then writing the DOM back as
// compact text. Built only when simdjson is found.
//
//   python3 tools/make_payloads.py build/payloads
//   ZORVAT_PAYLOADS=build/payloads build/bench/simdjson_floor_bench
//
// The parser is reused across iterations, as simdjson recommends: its buffers
// are allocated once, so this is the best case for the peer.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "payload_files.h"

namespace {

// Parses the payload each iteration; with `minify`, also writes it back as
// compact text (the nearest a parser gets to our read + write).
void parse(benchmark::State& state, const simdjson::padded_string* payload, bool minify) {
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element doc;
    if (parser.parse(*payload).get(doc) != simdjson::SUCCESS) {
      state.SkipWithError("simdjson rejected the payload");
      break;
    }
    if (minify) {
      std::string text = simdjson::minify(doc);
      benchmark::DoNotOptimize(text.data());
    } else {
      benchmark::DoNotOptimize(doc);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload->size()));
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::filesystem::path> files = payload_files();
  std::deque<simdjson::padded_string> payloads;  // stable addresses for the registered pointers
  for (const auto& f : files) {
    auto loaded = simdjson::padded_string::load(f.string());
    if (loaded.error() != simdjson::SUCCESS) {
      std::fprintf(stderr, "cannot read %s\n", f.c_str());
      return 1;
    }
    payloads.push_back(std::move(loaded).value_unsafe());
    const simdjson::padded_string* p = &payloads.back();
    const std::string name = f.stem().string();
    benchmark::RegisterBenchmark(("simdjson_parse/" + name).c_str(), parse, p, false)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("simdjson_parse+minify/" + name).c_str(), parse, p, true)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
