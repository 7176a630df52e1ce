#include "json/pages.h"

#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // mremap
#endif
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "json/poison.h"

namespace zorvat::json {

namespace {

// Released blocks kept for the next allocations, as an allocator keeps its
// heap: a fresh block costs a fault and a cleared page for every 2 MiB it is
// written, which was a tenth of a call's time on payloads of a few MB. A
// slot is claimed by one compare-exchange of its state (no thread waits on
// another); the kept blocks are bounded in number and in bytes.
constexpr std::size_t kKeptSlots = 16;
constexpr std::size_t kKeptBytes = std::size_t{64} << 20;
constexpr std::size_t kKeptBlock = std::size_t{16} << 20;

struct KeptSlot {
  enum : int { empty, busy, full };
  std::atomic<int> state{empty};
  std::atomic<void*> block{nullptr};
  std::atomic<std::size_t> bytes{0};
};
KeptSlot kept[kKeptSlots];
std::atomic<std::size_t> kept_bytes{0};

std::size_t whole_huge_pages(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

// The smallest kept block of at least `bytes` (and its size), or nullptr.
void* take_kept(std::size_t& bytes) {
  KeptSlot* best = nullptr;
  std::size_t best_bytes = SIZE_MAX;
  for (KeptSlot& s : kept) {
    const std::size_t b = s.bytes.load(std::memory_order_relaxed);
    if (s.state.load(std::memory_order_relaxed) == KeptSlot::full && b >= bytes && b < best_bytes) {
      best = &s;
      best_bytes = b;
    }
  }
  int full = KeptSlot::full;
  if (best == nullptr || !best->state.compare_exchange_strong(full, KeptSlot::busy, std::memory_order_acquire)) {
    return nullptr;  // none, or another thread took it first: map a new one
  }
  void* p = best->block.load(std::memory_order_relaxed);
  const std::size_t b = best->bytes.load(std::memory_order_relaxed);
  best->state.store(KeptSlot::empty, std::memory_order_release);
  kept_bytes.fetch_sub(b, std::memory_order_relaxed);
  if (b < bytes) {  // replaced since it was looked at
    munmap(p, b);
    return nullptr;
  }
  bytes = b;
  return p;
}

// Keeps the block if there is room, else false.
bool keep(void* p, std::size_t bytes) {
  if (bytes > kKeptBlock || kept_bytes.fetch_add(bytes, std::memory_order_relaxed) + bytes > kKeptBytes) {
    if (bytes <= kKeptBlock) kept_bytes.fetch_sub(bytes, std::memory_order_relaxed);
    return false;
  }
  for (KeptSlot& s : kept) {
    int empty = KeptSlot::empty;
    if (s.state.compare_exchange_strong(empty, KeptSlot::busy, std::memory_order_acquire)) {
      s.block.store(p, std::memory_order_relaxed);
      s.bytes.store(bytes, std::memory_order_relaxed);
      s.state.store(KeptSlot::full, std::memory_order_release);
      return true;
    }
  }
  kept_bytes.fetch_sub(bytes, std::memory_order_relaxed);
  return false;
}

}  // namespace

// Under AddressSanitizer every block is an ordinary heap block, whatever its
// size: the sanitizer watches the bytes around heap blocks, not mappings, and
// a mapping's tail up to the page end is readable without any report.
void* allocate_pages(std::size_t& bytes) noexcept {
  if (kAsan || bytes < kHugePage) return std::malloc(bytes);
  if (bytes > SIZE_MAX - 2 * kHugePage) return nullptr;
  bytes = whole_huge_pages(bytes);
  if (void* p = take_kept(bytes)) return p;
  // Over-map by one huge page, then trim both ends to an aligned block.
  void* p = mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned != start) munmap(p, aligned - start);
  const std::uintptr_t tail = aligned + bytes;
  const std::uintptr_t map_end = start + bytes + kHugePage;
  if (map_end > tail) munmap(reinterpret_cast<void*>(tail), map_end - tail);
  madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);  // advice only: failure is harmless
  return reinterpret_cast<void*>(aligned);
}

void release_pages(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
  if (kAsan || bytes < kHugePage) {
    std::free(p);
  } else if (!keep(p, whole_huge_pages(bytes))) {
    munmap(p, whole_huge_pages(bytes));
  }
}

void discard_pages(void* p, std::size_t bytes) noexcept {
  if constexpr (kAsan) return;  // heap blocks there
  madvise(p, bytes, MADV_DONTNEED);  // advice only: on failure the pages simply stay
}

void* grow_pages(void* p, std::size_t old_bytes, std::size_t new_bytes) noexcept {
  if constexpr (kAsan) return std::realloc(p, new_bytes);
  void* q = mremap(p, whole_huge_pages(old_bytes), whole_huge_pages(new_bytes), MREMAP_MAYMOVE);
  if (q == MAP_FAILED) return nullptr;
  madvise(q, new_bytes, MADV_HUGEPAGE);
  return q;
}

}  // namespace zorvat::json
