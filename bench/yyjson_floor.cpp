// The floor: the module's whole transform against yyjson reading the same
// payload and writing it back minified, timed in one interleaved run so that
// the machine's noise falls on all three alike. bench/yyjson_floor.py builds
// it, writes the payloads, runs it and turns its lines into a table.
//
//   yyjson_floor [--rounds N] [--batch-ms MS] [--threads T] [--malloc steady|fresh] FILE...
//     prints one line per timed batch:
//       round <TAB> dataset <TAB> path <TAB> payload bytes <TAB> seconds per call <TAB> calls
//   yyjson_floor --run PATH --calls K FILE
//     makes K calls and prints nothing: what callgrind counts (two runs with
//     different K, subtracted, leave the calls alone)
//
// glibc's malloc moves its mmap threshold up as large blocks are freed, so a
// call's page faults, and yyjson's speed on a large payload (2x on some),
// would depend on what the process did before. --malloc fixes the state:
// steady (the default) is where the threshold ends in any process that has
// freed a large block, fresh is where a new process starts.
//
// Paths: module (columnarize_json under run_guarded, as the binding calls it),
// exact (exact_path: what ZORVAT_EXACT_ONLY=1 leaves), yyjson.
#include <malloc.h>
#include <yyjson.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "transform/pipeline.h"

namespace {

using zorvat::transform::Outcome;

enum class Path { module, exact, yyjson };
constexpr Path kPaths[] = {Path::module, Path::exact, Path::yyjson};

const char* path_name(Path p) {
  switch (p) {
    case Path::module:
      return "module";
    case Path::exact:
      return "exact";
    case Path::yyjson:
      return "yyjson";
  }
  return "?";
}

// One call; the size of what came out, 0 on failure. Output is freed inside,
// as a caller that copies it out would.
std::size_t call(Path p, std::string_view payload) {
  switch (p) {
    case Path::module: {
      Outcome r = zorvat::transform::run_guarded([payload] { return zorvat::transform::columnarize_json(payload); });
      return r ? r.value().size() : 0;
    }
    case Path::exact: {
      Outcome r = zorvat::transform::run_guarded([payload] { return zorvat::transform::exact_path(payload); });
      return r ? r.value().size() : 0;
    }
    case Path::yyjson: {
      // Not in situ: yyjson copies the input, as it must for a caller's
      // immutable bytes.
      yyjson_doc* doc = yyjson_read_opts(const_cast<char*>(payload.data()), payload.size(), 0, nullptr, nullptr);
      if (doc == nullptr) return 0;
      std::size_t len = 0;
      char* text = yyjson_write(doc, 0, &len);
      yyjson_doc_free(doc);
      if (text == nullptr) return 0;
      std::free(text);
      return len;
    }
  }
  return 0;
}

double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Batch {
  double seconds_per_call;
  long calls;
};

// Calls until `budget` seconds of this thread's CPU time have passed (the
// machine is shared: another process's time is not ours), after one untimed
// call that brings the payload and code back into cache.
Batch time_one_thread(Path p, std::string_view payload, double budget) {
  call(p, payload);
  long calls = 0;
  const double start = thread_seconds();
  double now = start;
  do {
    call(p, payload);
    ++calls;
    now = thread_seconds();
  } while (now - start < budget);
  return {(now - start) / static_cast<double>(calls), calls};
}

// T threads, each on its own copy of the payload, for about `budget` seconds
// of wall time; the figure is wall time per call of the whole group, so
// throughput that scales shows as a shorter time.
Batch time_threads(Path p, const std::string& payload, double budget, int threads) {
  std::vector<std::string> copies(static_cast<std::size_t>(threads), payload);
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::atomic<long> total{0};
  double start = 0;
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      const std::string_view mine = copies[static_cast<std::size_t>(t)];
      call(p, mine);
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      long calls = 0;
      do {
        call(p, mine);
        ++calls;
      } while (wall_seconds() - start < budget);
      total.fetch_add(calls);
    });
  }
  while (ready.load() < threads) std::this_thread::yield();
  start = wall_seconds();
  go.store(true);
  for (auto& th : pool) th.join();
  const double elapsed = wall_seconds() - start;
  return {elapsed / static_cast<double>(total.load()), total.load()};
}

// The module's document on this payload parses as JSON and has its three
// members: a figure for output that is not the document would mean nothing.
bool document_is_json(std::string_view payload) {
  Outcome r = zorvat::transform::columnarize_json(payload);
  if (!r) return false;
  const std::string_view text = r.value().view();
  yyjson_doc* doc = yyjson_read(text.data(), text.size(), 0);
  if (doc == nullptr) return false;
  yyjson_val* root = yyjson_doc_get_root(doc);
  const bool ok = yyjson_is_obj(root) && yyjson_is_arr(yyjson_obj_get(root, "columns")) &&
                  yyjson_is_arr(yyjson_obj_get(root, "rows")) && yyjson_is_obj(yyjson_obj_get(root, "constants"));
  yyjson_doc_free(doc);
  return ok;
}

std::string load(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(2);
  }
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool set_malloc(std::string_view state) {
  std::size_t threshold;
  if (state == "steady") {
    threshold = std::size_t{32} << 20;  // glibc's upper bound for the moving threshold on 64 bits
  } else if (state == "fresh") {
    threshold = std::size_t{128} << 10;  // its starting value
  } else {
    return false;
  }
  // Setting either turns the moving threshold off; trim as glibc would.
  return mallopt(M_MMAP_THRESHOLD, static_cast<int>(threshold)) == 1 &&
         mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * threshold)) == 1;
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: yyjson_floor [--rounds N] [--batch-ms MS] [--threads T] [--malloc steady|fresh] FILE...\n"
               "       yyjson_floor [--malloc steady|fresh] --run module|exact|yyjson --calls K FILE\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 7;
  double batch_ms = 100;
  int threads = 1;
  const char* run = nullptr;
  long run_calls = 1;
  const char* malloc_state = "steady";
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (a == "--rounds") {
      rounds = std::atoi(value());
    } else if (a == "--batch-ms") {
      batch_ms = std::atof(value());
    } else if (a == "--threads") {
      threads = std::atoi(value());
    } else if (a == "--malloc") {
      malloc_state = value();
    } else if (a == "--run") {
      run = value();
    } else if (a == "--calls") {
      run_calls = std::atol(value());
    } else if (a.starts_with("--")) {
      usage();
    } else {
      files.emplace_back(a);
    }
  }
  if (files.empty() || rounds < 1 || threads < 1 || batch_ms <= 0) usage();
  if (!set_malloc(malloc_state)) usage();

  if (run != nullptr) {
    const auto* p = std::find_if(std::begin(kPaths), std::end(kPaths),
                                 [&](Path q) { return std::string_view(path_name(q)) == run; });
    if (p == std::end(kPaths) || files.size() != 1) usage();
    const std::string payload = load(files[0]);
    for (long k = 0; k < run_calls; ++k) {
      if (call(*p, payload) == 0) return 1;
    }
    return 0;
  }

  std::vector<std::string> payloads;
  std::vector<std::string> names;
  for (const auto& f : files) {
    payloads.push_back(load(f));
    names.push_back(f.stem().string());
    // Every dataset must be valid input to all three, or its figures mean
    // nothing.
    for (Path p : kPaths) {
      if (call(p, payloads.back()) == 0) {
        std::fprintf(stderr, "%s: %s failed on it\n", f.c_str(), path_name(p));
        return 1;
      }
    }
    if (!document_is_json(payloads.back())) {
      std::fprintf(stderr, "%s: the module's document is not the expected JSON\n", f.c_str());
      return 1;
    }
  }

  const double budget = batch_ms / 1000.0;
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t d = 0; d < payloads.size(); ++d) {
      // The order of the paths turns each round, so none always runs first
      // (or right after the largest allocation).
      for (std::size_t k = 0; k < std::size(kPaths); ++k) {
        const Path p = kPaths[(k + static_cast<std::size_t>(r)) % std::size(kPaths)];
        const Batch b = threads == 1 ? time_one_thread(p, payloads[d], budget)
                                     : time_threads(p, payloads[d], budget, threads);
        std::printf("%d\t%s\t%s\t%zu\t%.9g\t%ld\n", r, names[d].c_str(), path_name(p), payloads[d].size(),
                    b.seconds_per_call, b.calls);
      }
      std::fflush(stdout);
    }
  }
  return 0;
}
