#include "json/pages.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace zorvat::json {

void* allocate_pages(std::size_t bytes) noexcept {
  if (bytes < kHugePage) return std::malloc(bytes);
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
  if (bytes < kHugePage) {
    std::free(p);
  } else {
    munmap(p, bytes);
  }
}

}  // namespace zorvat::json
