// The hand-managed memory: the arena's bump allocation across every chunk
// boundary, and the sanitizer's view of the arena, the output buffer and
// page blocks (an overrun of one byte must be reported).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/arena.h"
#include "base/buffer.h"
#include "base/paged_array.h"
#include "base/pages.h"
#include "base/poison.h"
#include "base/stack.h"

namespace zorvat::json {
namespace {

// Sizes around every chunk the arena uses and the huge-page rounding.
std::vector<std::size_t> sizes_around_chunks() {
  std::vector<std::size_t> out;
  for (std::size_t c = Arena::kFirstChunk; c <= Arena::kMaxChunk; c *= 2) {
    for (std::size_t d : {0, 1, 7, 8, 9, 16, 17, 24, 33, 40}) {
      out.push_back(c - d);
      out.push_back(c + d);
    }
  }
  return out;
}

struct Block {
  unsigned char* p;
  std::size_t n;
  unsigned char fill;
};

// Each allocation is aligned, inside memory the arena owns and disjoint from
// every other: all are filled with their own byte and checked at the end.
// Odd sizes of alignment 1 before aligned ones put the cursor at odd
// distances from a chunk's end.
TEST(ArenaTest, AllocationsAcrossChunkBoundariesAreAlignedAndDisjoint) {
  for (std::size_t big : sizes_around_chunks()) {
    if (big > (std::size_t{4} << 20) && big % 8 != 1) continue;  // the largest only once each
    Arena arena;
    std::vector<Block> blocks;
    unsigned char fill = 0;
    auto take = [&](std::size_t n, std::size_t align) {
      auto* p = static_cast<unsigned char*>(arena.allocate(n, align));
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(p) % align, 0u) << n << " align " << align;
      std::memset(p, ++fill, n);
      blocks.push_back({p, n, fill});
    };
    for (std::size_t align : {1, 8, 1, 16, 1, 8}) {
      take(big, align);
      take(3, 1);
      take(24, 8);
      take(big / 3 + 1, 1);
      take(16, 16);
    }
    for (const Block& b : blocks) {
      for (std::size_t i = 0; i < b.n; i += 1 + b.n / 64) ASSERT_EQ(b.p[i], b.fill);
      ASSERT_EQ(b.p[b.n - 1], b.fill);
    }
  }
}

TEST(ArenaTest, EmptyCopiesAreNeverNull) {
  Arena arena;
  EXPECT_NE(arena.copy_bytes("", 0), nullptr);
}

TEST(OutputBufferTest, MoveOutCopiesEveryByteAcrossBlocks) {
  // Across malloc'd and mapped storage, and past the kept budget, where
  // whole huge pages go back to the system while the rest is copied.
  for (std::size_t size : {std::size_t{0}, std::size_t{100}, kPagedFrom - 1, kPagedFrom, kHugePage - 1, kHugePage,
                           3 * kHugePage + 5, kKeptBytes + kHugePage + 3}) {
    OutputBuffer out;
    for (std::size_t i = 0; i < size; ++i) out.push_back(static_cast<char>(i * 7 + i / 4096));
    std::vector<char> dest(size + 1, '\x55');
    out.move_out(dest.data());
    EXPECT_EQ(out.size(), 0u);
    for (std::size_t i = 0; i < size; ++i) ASSERT_EQ(dest[i], static_cast<char>(i * 7 + i / 4096)) << i;
    EXPECT_EQ(dest[size], '\x55');
  }
}

// A run's writes, reserved with room to spare as the cells' are, and writes
// handed to the buffer itself in between, land in order with nothing lost
// or repeated, while the buffer grows from malloc'd storage past a huge page.
TEST(OutputRunTest, WritesInOrderWithTheBufferAcrossGrowth) {
  OutputBuffer out(16);
  std::string model;
  {
    OutputRun run(out);
    for (std::size_t i = 0; model.size() < kHugePage + kPagedFrom; ++i) {
      const std::size_t n = (i * 37) % 70;
      const std::string text(n, static_cast<char>('a' + i % 26));
      if (i % 5 == 0) {
        run.with_buffer([&](OutputBuffer& buffer) {
          ASSERT_EQ(buffer.size(), model.size());
          buffer.append(text);
        });
      } else {
        char* w = run.reserve(n + 33);
        std::memset(w, '#', n + 33);  // the spare room is scratch
        std::memcpy(w, text.data(), n);
        run.commit(n);
      }
      model += text;
    }
  }
  ASSERT_EQ(out.size(), model.size());
  EXPECT_TRUE(out.view() == model);
}

// A writer handed the buffer may grow it and then throw (an allocation that
// fails): the run, unwound, must not commit from where the storage was.
TEST(OutputRunTest, AWriterThatThrowsLeavesTheBufferAsItWrote) {
  OutputBuffer out(16);
  const std::string big(kPagedFrom + 1, 'x');
  try {
    OutputRun run(out);
    for (char c : std::string_view("abc")) run.push_back(c);
    run.with_buffer([&](OutputBuffer& buffer) {
      buffer.append(big);
      throw std::bad_alloc();
    });
  } catch (const std::bad_alloc&) {
  }
  ASSERT_EQ(out.size(), 3 + big.size());
  EXPECT_TRUE(out.view() == "abc" + big);
}

// Items of 12 bytes (a block's size is then no multiple of them) pushed one
// by one from malloc'd storage into mapped blocks and past a huge page, with
// some added in runs: every item survives each growth.
TEST(PagedArrayTest, ItemsSurviveGrowthAcrossBlockKinds) {
  struct Item {
    std::uint32_t a, b, c;
  };
  PagedArray<Item> items(1);
  const std::size_t n = 3 * kHugePage / sizeof(Item) + 5;
  for (std::uint32_t i = 0; items.size() < n; ++i) {
    const std::size_t run = i % 97 == 0 ? 1000 : 1;
    Item* p = items.extend(run);
    for (std::size_t k = 0; k < run; ++k) {
      const auto v = static_cast<std::uint32_t>(items.size() - run + k);
      p[k] = {v, ~v, v * 2654435761u};
    }
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto v = static_cast<std::uint32_t>(i);
    ASSERT_TRUE(items[i].a == v && items[i].b == ~v && items[i].c == v * 2654435761u) << i;
  }
}

// The reader's stack of 24-byte members (a block's size is no multiple of
// them) past its inline items, into mapped blocks and past a huge page,
// shrunk and grown again: every item survives each growth.
TEST(StackTest, ItemsSurviveGrowthAcrossBlockKinds) {
  struct Item {
    std::uint64_t a, b, c;
  };
  Stack<Item, 4> items;
  auto item = [](std::uint64_t v) { return Item{v, ~v, v * 0x9E3779B97F4A7C15u}; };
  const std::size_t n = 2 * kHugePage / sizeof(Item) + 5;
  for (std::size_t i = 0; i < n; ++i) items.push_back(item(i));
  items.resize(n / 3);
  for (std::size_t i = n / 3; i < n + kHugePage / sizeof(Item); ++i) items.push_back(item(i));
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Item expected = item(i);
    ASSERT_TRUE(std::memcmp(&items[i], &expected, sizeof(Item)) == 0) << i;
  }
}

// Blocks released are kept and handed out again, whole: in two threads at
// once, every block handed out is filled to its reported size with its own
// byte and checked when it is released, so a block handed out twice, or a
// size larger than the mapping, shows.
TEST(PagesTest, KeptBlocksAreHandedOutOnceAndWhole) {
  auto churn = [](unsigned seed, bool* ok) {
    std::mt19937 rng(seed);
    struct Held {
      unsigned char* p;
      std::size_t bytes;
      unsigned char fill;
    };
    std::vector<Held> held;
    for (int round = 0; round < 300; ++round) {
      if (held.size() < 3) {
        // Small blocks, a few huge pages, and now and then one of a quarter
        // of the kept budget, which smaller blocks released later evict.
        const unsigned kind = rng() % 8;
        std::size_t bytes = kind < 3   ? kPagedFrom - 1 + rng() % kHugePage
                            : kind < 7 ? kHugePage - 1 + rng() % (6 * kHugePage)
                                       : kKeptBytes / 4 + rng() % kHugePage;
        auto* p = static_cast<unsigned char*>(allocate_pages(bytes));
        const auto fill = static_cast<unsigned char>(rng());
        std::memset(p, fill, bytes);
        held.push_back({p, bytes, fill});
        continue;
      }
      const Held h = held[rng() % held.size()];
      for (std::size_t i = 0; i < h.bytes; i += 4096) *ok &= h.p[i] == h.fill;
      *ok &= h.p[h.bytes - 1] == h.fill;
      release_pages(h.p, h.bytes);
      std::erase_if(held, [&](const Held& x) { return x.p == h.p; });
    }
    for (const Held& h : held) release_pages(h.p, h.bytes);
  };
  bool ok[2] = {true, true};
  std::thread other(churn, 2u, &ok[1]);
  churn(1u, &ok[0]);
  other.join();
  EXPECT_TRUE(ok[0] && ok[1]);

  if (kAsan) return;  // heap blocks there
  // A block released comes back for a request it fits, at its own size
  // (larger than any the churn kept).
  std::size_t bytes = 40 * kHugePage + 1;
  void* a = allocate_pages(bytes);
  ASSERT_EQ(bytes, 41 * kHugePage);
  release_pages(a, bytes);
  std::size_t again = 40 * kHugePage + 5;
  void* b = allocate_pages(again);
  EXPECT_EQ(b, a);
  EXPECT_EQ(again, 41 * kHugePage);
  release_pages(b, again);
}

// A write one byte past what was handed out must be reported; without the
// poisoning these land in memory the sanitizer believes is in use.
TEST(SanitizerViewTest, OneBytePastAnAllocationIsReported) {
  if (!kAsan) GTEST_SKIP() << "needs an AddressSanitizer build";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto write = [](void* p, std::size_t at) { static_cast<volatile char*>(p)[at] = 1; };
  // Into the next allocation of the same chunk, and into a chunk's unused tail.
  auto arena_overrun = [&](std::size_t n, std::size_t align, bool another) {
    Arena a;
    void* p = a.allocate(n, align);
    if (another) a.allocate(8);
    write(p, n);
  };
  EXPECT_DEATH(arena_overrun(24, 8, true), "AddressSanitizer");
  EXPECT_DEATH(arena_overrun(5, 1, false), "AddressSanitizer");
  // A chunk of its own, larger than the huge-page size.
  EXPECT_DEATH(arena_overrun(kHugePage + 3, 1, false), "AddressSanitizer");
  // The output buffer's unused capacity, small and page-sized.
  for (std::size_t n : {std::size_t{10}, kHugePage + 10}) {
    auto buffer_overrun = [&] {
      OutputBuffer o;
      o.append(std::string(n, 'x'));
      write(const_cast<char*>(o.data()), n);
    };
    EXPECT_DEATH(buffer_overrun(), "AddressSanitizer");
  }
  // Past what a run reserved, though the buffer has room there.
  auto run_overrun = [&] {
    OutputBuffer o;
    OutputRun run(o);
    write(run.reserve(10), 10);
  };
  EXPECT_DEATH(run_overrun(), "AddressSanitizer");
  // Past the items of a stack's heap part, small and page-sized.
  for (std::size_t n : {std::size_t{10}, kHugePage / 16 + 10}) {
    auto stack_overrun = [&] {
      struct Pair {
        std::uint64_t a, b;
      };
      Stack<Pair, 4> items;
      for (std::size_t i = 0; i < n; ++i) items.push_back({i, i});
      items.pop_back();
      write(items.data(), (n - 1) * 16);
    };
    EXPECT_DEATH(stack_overrun(), "AddressSanitizer");
  }
  // A page block such as the payload copy.
  std::size_t bytes = kHugePage * 2 + 1;
  EXPECT_DEATH(write(allocate_pages(bytes), bytes), "AddressSanitizer");
}

}  // namespace
}  // namespace zorvat::json
