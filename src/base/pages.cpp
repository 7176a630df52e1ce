#include "base/pages.h"

#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // mremap
#endif
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "base/poison.h"

namespace zorvat {

namespace {

// Released blocks kept for the next allocations, as an allocator keeps its
// heap: a fresh block costs a fault and a cleared page for every 2 MiB it is
// written, which was a tenth of a call's time on payloads of a few MB. A slot
// holds a block's (page-aligned) address and its huge pages in one word, so
// one compare-exchange takes or fills it and no thread waits on another.
std::atomic<std::uintptr_t> kept[16];  // 8 overflowed with calls of 32 MB
std::atomic<std::size_t> kept_pages{0};
constexpr std::size_t kKeptPages = kKeptBytes / kHugePage;
std::size_t pages_of(std::uintptr_t k) { return k & 4095; }
void* block_of(std::uintptr_t k) { return reinterpret_cast<void*>(k & ~std::uintptr_t{4095}); }

std::size_t whole_huge_pages(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

// The smallest kept block of at least `bytes` (and its size), or nullptr.
// On a miss the kept blocks smaller go first, so that one call's freed
// blocks never add to its peak under a larger one.
void* take_kept(std::size_t& bytes) {
  const std::size_t want = bytes / kHugePage;
  std::atomic<std::uintptr_t>* best = nullptr;
  std::uintptr_t k = 0;
  for (auto& slot : kept) {
    const std::uintptr_t s = slot.load(std::memory_order_relaxed);
    if (pages_of(s) >= want && (best == nullptr || pages_of(s) < pages_of(k))) best = &slot, k = s;
  }
  if (best != nullptr && best->compare_exchange_strong(k, 0)) {
    kept_pages -= pages_of(k);
    bytes = pages_of(k) * kHugePage;
    return block_of(k);
  }
  for (auto& slot : kept) {
    std::uintptr_t s = slot.load(std::memory_order_relaxed);
    if (s != 0 && pages_of(s) < want && slot.compare_exchange_strong(s, 0)) {
      kept_pages -= pages_of(s);
      munmap(block_of(s), pages_of(s) * kHugePage);
    }
  }
  return nullptr;
}

// When each slot was last filled, by a count of the blocks kept so far.
std::atomic<std::uint64_t> kept_since[std::size(kept)];
std::atomic<std::uint64_t> keeps{0};

// Takes the block kept longest ago out of its slot and unmaps it; false when
// none is kept.
bool evict_oldest() {
  std::size_t oldest = std::size(kept);
  std::uintptr_t k = 0;
  for (std::size_t i = 0; i < std::size(kept); ++i) {
    const std::uintptr_t s = kept[i].load(std::memory_order_relaxed);
    if (s != 0 && (oldest == std::size(kept) || kept_since[i].load(std::memory_order_relaxed) <
                                                    kept_since[oldest].load(std::memory_order_relaxed))) {
      oldest = i, k = s;
    }
  }
  if (oldest == std::size(kept) || !kept[oldest].compare_exchange_strong(k, 0)) return false;
  kept_pages -= pages_of(k);
  munmap(block_of(k), pages_of(k) * kHugePage);
  return true;
}

// The blocks of the calls being made are kept before idle ones: a block that
// does not fit the budget or a slot evicts the blocks kept longest ago (left
// from earlier calls of other sizes, they would otherwise crowd out the
// blocks of the calls now being made for good). The blocks one call takes
// are out of the slots while it runs, so it evicts only blocks it did not use.
bool keep(void* p, std::size_t bytes) {
  const std::size_t pages = bytes / kHugePage;
  if (pages > kKeptPages) return false;
  for (std::size_t attempt = 0; attempt <= std::size(kept); ++attempt) {
    if ((kept_pages += pages) <= kKeptPages) {
      for (std::size_t i = 0; i < std::size(kept); ++i) {
        std::uintptr_t empty = 0;
        if (kept[i].compare_exchange_strong(empty, reinterpret_cast<std::uintptr_t>(p) | pages)) {
          kept_since[i].store(++keeps, std::memory_order_relaxed);
          return true;
        }
      }
    }
    kept_pages -= pages;
    if (!evict_oldest()) return false;
  }
  return false;
}

}  // namespace

// Under AddressSanitizer every block is an ordinary heap block, whatever its
// size: the sanitizer watches the bytes around heap blocks, not mappings, and
// a mapping's tail up to the page end is readable without any report.
void* allocate_pages(std::size_t& bytes) noexcept {
  if (kAsan || bytes < kPagedFrom) return std::malloc(bytes);
  if (bytes > SIZE_MAX - 2 * kHugePage) return nullptr;
  bytes = whole_huge_pages(bytes);
  if (void* p = take_kept(bytes)) return p;  // advised when it was mapped
  // Over-map by one huge page, then trim both ends to an aligned block.
  void* p = mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t aligned = whole_huge_pages(start);
  if (aligned != start) munmap(p, aligned - start);
  const std::uintptr_t tail = aligned + bytes;
  const std::uintptr_t map_end = start + bytes + kHugePage;
  if (map_end > tail) munmap(reinterpret_cast<void*>(tail), map_end - tail);
  madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);  // advice only: failure is harmless
  return reinterpret_cast<void*>(aligned);
}

namespace {

// Grows a block of allocate_pages of `old_bytes` (at least kPagedFrom) to
// `new_bytes`: the pages move rather than being copied, so old and new
// never both hold memory. The mapping keeps its advice, grown or moved.
void* remap_pages(void* p, std::size_t old_bytes, std::size_t& new_bytes) noexcept {
  if constexpr (kAsan) return std::realloc(p, new_bytes);
  new_bytes = whole_huge_pages(new_bytes);
  void* q = mremap(p, whole_huge_pages(old_bytes), new_bytes, MREMAP_MAYMOVE);
  return q == MAP_FAILED ? nullptr : q;
}

}  // namespace

void* grow_block(void* p, std::size_t old_bytes, std::size_t used, std::size_t& bytes) noexcept {
  if (bytes < kPagedFrom) return std::realloc(p, bytes);
  if (old_bytes >= kPagedFrom) return remap_pages(p, old_bytes, bytes);
  void* q = allocate_pages(bytes);
  if (q == nullptr) return nullptr;
  if (used != 0) std::memcpy(q, p, used);
  release_pages(p, old_bytes);
  return q;
}

void release_pages(void* p, std::size_t bytes, bool keep_block) noexcept {
  if (p == nullptr) return;
  if (kAsan || bytes < kPagedFrom) {
    std::free(p);
  } else if (bytes = whole_huge_pages(bytes); !keep_block || !keep(p, bytes)) {
    munmap(p, bytes);
  }
}

void discard_pages(void* p, std::size_t bytes) noexcept {
  if constexpr (kAsan) return;  // heap blocks there
  madvise(p, bytes, MADV_DONTNEED);  // advice only: on failure the pages simply stay
}

void advise_huge_pages(void* p, std::size_t bytes) noexcept {
  const auto start = whole_huge_pages(reinterpret_cast<std::uintptr_t>(p));
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHugePage - 1);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace zorvat
