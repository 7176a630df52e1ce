// Where linear search stops paying: building an object of n members with the
// repeated-key check, and looking a key up, by scanning versus through the
// keyed hash index. kLinearSearchKeys is chosen from these figures.
//
//   build/bench/object_bench --benchmark_filter=.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "json/value.h"

namespace {

using namespace zorvat::json;
using zorvat::Arena;

// Keys shaped like real column names: 2 to 14 bytes, several of one length.
std::vector<std::string> make_keys(std::size_t n) {
  static const char* stems[] = {"id", "name", "created_at", "user_id", "status", "score", "region", "ts"};
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < n; ++i) keys.push_back(std::string(stems[i % 8]) + std::to_string(i / 8));
  return keys;
}

// Members refer to their keys: one Str per key, kept alive by the caller.
std::vector<Str> key_strs(const std::vector<std::string>& keys) {
  std::vector<Str> out;
  for (const auto& k : keys) out.push_back({k.data(), k.size()});
  return out;
}

void BM_BuildLinear(benchmark::State& state) {
  auto keys = make_keys(static_cast<std::size_t>(state.range(0)));
  auto strs = key_strs(keys);
  std::vector<Member> members;
  for (auto _ : state) {
    members.clear();
    for (const Str& key : strs) {
      bool found = false;
      for (const Member& m : members) {
        if (m.key() == key) {
          found = true;
          break;
        }
      }
      if (!found) members.push_back({&key, Value()});
    }
    benchmark::DoNotOptimize(members.data());
  }
}

void BM_BuildHashed(benchmark::State& state) {
  auto keys = make_keys(static_cast<std::size_t>(state.range(0)));
  auto strs = key_strs(keys);
  std::vector<Member> members;
  for (auto _ : state) {
    Arena arena;
    members.clear();
    KeyIndex index;
    auto key_at = [&](std::size_t i) { return members[i].key(); };
    index.build(key_at, 0, keys.size(), arena);
    for (const Str& key : strs) {
      if (index.find_or_insert(key_at, key, members.size(), arena) == KeyIndex::npos) {
        members.push_back({&key, Value()});
      }
    }
    benchmark::DoNotOptimize(members.data());
  }
}

void BM_FindLinear(benchmark::State& state) {
  auto keys = make_keys(static_cast<std::size_t>(state.range(0)));
  auto strs = key_strs(keys);
  std::vector<Member> members;
  for (const Str& key : strs) members.push_back({&key, Value()});
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& k = keys[(i++ * 7) % keys.size()];
    Str key{k.data(), k.size()};
    const Member* hit = nullptr;
    for (const Member& m : members) {
      if (m.key() == key) {
        hit = &m;
        break;
      }
    }
    benchmark::DoNotOptimize(hit);
  }
}

void BM_FindHashed(benchmark::State& state) {
  auto keys = make_keys(static_cast<std::size_t>(state.range(0)));
  auto strs = key_strs(keys);
  Arena arena;
  std::vector<Member> members;
  for (const Str& key : strs) members.push_back({&key, Value()});
  KeyIndex index;
  auto key_at = [&](std::size_t i) { return members[i].key(); };
  index.build(key_at, members.size(), members.size(), arena);
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& k = keys[(i++ * 7) % keys.size()];
    benchmark::DoNotOptimize(index.find(key_at, {k.data(), k.size()}));
  }
}

}  // namespace

BENCHMARK(BM_BuildLinear)->Arg(4)->Arg(8)->Arg(16)->Arg(24)->Arg(32)->Arg(48)->Arg(64);
BENCHMARK(BM_BuildHashed)->Arg(4)->Arg(8)->Arg(16)->Arg(24)->Arg(32)->Arg(48)->Arg(64);
BENCHMARK(BM_FindLinear)->Arg(4)->Arg(8)->Arg(16)->Arg(24)->Arg(32)->Arg(48)->Arg(64);
BENCHMARK(BM_FindHashed)->Arg(4)->Arg(8)->Arg(16)->Arg(24)->Arg(32)->Arg(48)->Arg(64);
