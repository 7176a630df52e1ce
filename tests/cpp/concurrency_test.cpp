// Many threads running the whole pipeline at once on shared, read-only
// payloads. Under ThreadSanitizer (-DZORVAT_TSAN=ON) this is the check that
// calls share no mutable state; in any build it checks that results do not
// depend on the thread or on its hash key.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/hash.h"
#include "pipeline_text.h"
#include "transform/pipeline.h"

namespace zorvat::transform {
namespace {

std::string nested(int levels) {
  return "[" + std::string(static_cast<std::size_t>(levels - 1), '[') +
         std::string(static_cast<std::size_t>(levels), ']');
}

// Wide rows (hashed indexes and name set), keys in shifting order, repeats.
std::string wide_rows(int rows, int keys) {
  std::string p = "[";
  for (int r = 0; r < rows; ++r) {
    p += r ? ",{" : "{";
    for (int k = 0; k < keys; ++k) {
      int key = (k * 7 + r) % keys;
      p += (k ? ",\"c" : "\"c") + std::to_string(key) + "\":" + std::to_string(key % 3 == 0 ? key : key * r);
    }
    p += ",\"c0\":\"again\"}";
  }
  return p + "]";
}

std::vector<std::string> payloads() {
  return {
      R"([{"id":1,"kind":"a"},{"id":2,"kind":"a"}])",
      R"([{"x":1},{"x":1.0},{"x":1e0,"y":null}])",
      R"([{"s":"\u00e9\ud83d\ude00"},{"s":"é😀","t":[1,{"u":2}]}])",
      wide_rows(50, 40),
      wide_rows(3, 300),
      nested(127),
      "[" + nested(127) + "]",
      R"([{"a":1},2])",
      "[1, }",
      "[\n{\"a\":\"\xff\"}]",
      "",
      "{}",
  };
}

TEST(ConcurrencyTest, ThreadsAgreeWithOneThread) {
  const std::vector<std::string> inputs = payloads();
  std::vector<std::string> expected;
  for (const std::string& p : inputs) expected.push_back(pipeline_text(p));

  constexpr int kThreads = 8;
  constexpr int kRounds = 20;
  std::atomic<int> mismatches{0};
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Start together, so the calls overlap from the first one.
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int round = 0; round < kRounds; ++round) {
        for (std::size_t i = 0; i < inputs.size(); ++i) {
          std::size_t k = (i + static_cast<std::size_t>(t)) % inputs.size();
          if (pipeline_text(inputs[k]) != expected[k]) mismatches.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// Each thread draws its own key: no thread can predict another's tables.
TEST(ConcurrencyTest, EachThreadHasItsOwnHashKey) {
  constexpr int kThreads = 8;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> keys(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&keys, t] {
      zorvat::HashKey k = zorvat::take_table_key();
      keys[static_cast<std::size_t>(t)] = {k.k0, k.k1};
    });
  }
  for (std::thread& th : threads) th.join();
  zorvat::HashKey mine = zorvat::take_table_key();
  std::set<std::uint64_t> k1s{mine.k1};
  for (auto& k : keys) k1s.insert(k.second);
  EXPECT_EQ(k1s.size(), static_cast<std::size_t>(kThreads + 1));
}

}  // namespace
}  // namespace zorvat::transform
