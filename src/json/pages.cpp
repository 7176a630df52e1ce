#include "json/pages.h"

#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // mremap
#endif
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#include "json/poison.h"

namespace zorvat::json {

// Under AddressSanitizer every block is an ordinary heap block, whatever its
// size: the sanitizer watches the bytes around heap blocks, not mappings, and
// a mapping's tail up to the page end is readable without any report.
void* allocate_pages(std::size_t bytes) noexcept {
  if (kAsan || bytes < kHugePage) return std::malloc(bytes);
  if (bytes > SIZE_MAX - kHugePage) return nullptr;
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
  } else {
    munmap(p, bytes);
  }
}

void discard_pages(void* p, std::size_t bytes) noexcept {
  if constexpr (kAsan) return;  // heap blocks there
  madvise(p, bytes, MADV_DONTNEED);  // advice only: on failure the pages simply stay
}

void* grow_pages(void* p, std::size_t old_bytes, std::size_t new_bytes) noexcept {
  if constexpr (kAsan) return std::realloc(p, new_bytes);
  void* q = mremap(p, old_bytes, new_bytes, MREMAP_MAYMOVE);
  if (q == MAP_FAILED) return nullptr;
  madvise(q, new_bytes, MADV_HUGEPAGE);
  return q;
}

}  // namespace zorvat::json
