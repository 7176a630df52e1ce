// MB/s of the core stages on the benchmark payloads: read only, read +
// columnarize + write, writing the document (MB/s of output), and the whole pipeline:
// as callers get it (span pass first), on the exact path alone, on the
// payload with its last byte cut off (an error at the very end), and with an
// error inside its last row (the span pass scans it all, then hands it back).
//
//   python3 tools/make_payloads.py build/payloads [--large]
//   ZORVAT_PAYLOADS=build/payloads build/bench/pipeline_bench
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "document.h"
#include "json/reader.h"
#include "json/writer.h"
#include "payload_files.h"
#include "transform/exact_rows.h"
#include "transform/pipeline.h"

namespace {

using namespace zorvat;

std::string load(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void read_only(benchmark::State& state, const std::string* payload) {
  for (auto _ : state) {
    zorvat::Arena arena;
    auto rows = json::read_rows(*payload, arena);
    benchmark::DoNotOptimize(rows.ok());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload->size()));
}

// The exact path without its row check: read, plan the columns, write.
void read_columnarize(benchmark::State& state, const std::string* payload) {
  for (auto _ : state) {
    zorvat::Arena arena;
    auto rows = json::read_rows(*payload, arena);
    zorvat::OutputBuffer out = transform::write_columnar(rows.value());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload->size()));
}

// The general writer alone on the whole document (bytes are of the output).
void write_document(benchmark::State& state, const std::string* payload) {
  zorvat::Arena arena;
  auto rows = json::read_rows(*payload, arena);
  json::Value doc = testkit::columnarize_rows(rows.value(), arena);
  std::size_t written = 0;
  for (auto _ : state) {
    zorvat::OutputBuffer out = testkit::to_json_bytes(doc);
    written = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * written));
}

template <transform::Outcome (*columnarize)(std::string_view)>
void pipeline(benchmark::State& state, const std::string* payload) {
  for (auto _ : state) {
    transform::Outcome r = columnarize(*payload);
    benchmark::DoNotOptimize(r.ok());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload->size()));
}

std::vector<std::string>& payloads() {
  static std::vector<std::string> all;
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::filesystem::path> files = payload_files();
  payloads().reserve(3 * files.size());
  for (const auto& f : files) {
    payloads().push_back(load(f));
    const std::string* p = &payloads().back();
    std::string name = f.stem().string();
    benchmark::RegisterBenchmark(("read/" + name).c_str(), read_only, p)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("read+columnarize/" + name).c_str(), read_columnarize, p)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("write/" + name).c_str(), write_document, p)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("pipeline/" + name).c_str(), pipeline<transform::columnarize_json>, p)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("exact/" + name).c_str(), pipeline<transform::exact_path>, p)
        ->Unit(benchmark::kMillisecond);
    payloads().push_back(p->substr(0, p->size() - 1));
    benchmark::RegisterBenchmark(("error_at_end/" + name).c_str(), pipeline<transform::columnarize_json>,
                                 &payloads().back())
        ->Unit(benchmark::kMillisecond);
    payloads().push_back(p->substr(0, p->size() - 2) + "x]");
    benchmark::RegisterBenchmark(("error_in_last_row/" + name).c_str(), pipeline<transform::columnarize_json>,
                                 &payloads().back())
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
