#include "base/arena.h"

#include <cstdint>
#include <cstdlib>

#include "base/pages.h"

namespace zorvat {

namespace {
constexpr std::size_t kHeader = 16;  // the Chunk header, rounded so allocations of any alignment fit after it
}  // namespace

void* Arena::allocate_slow(std::size_t bytes, std::size_t align) {
  // Chunks grow geometrically so a large payload needs few system calls, but
  // are capped so the unused tail of the last chunk stays small next to the
  // payload. An allocation larger than a chunk gets a chunk of its own.
  static_assert(sizeof(Chunk) <= kHeader);
  const std::size_t overhead = kHeader + align + kRedzone;
  if (bytes > SIZE_MAX - overhead - kHugePage) throw std::bad_alloc();
  const std::size_t need = bytes + overhead;
  std::size_t size = next_chunk_ > need ? next_chunk_ : need;
  auto* chunk = static_cast<Chunk*>(allocate_pages(size));
  if (chunk == nullptr) throw std::bad_alloc();
  chunk->previous = head_;
  chunk->size = size;
  head_ = chunk;
  if (next_chunk_ < kMaxChunk) next_chunk_ *= 2;
  char* const base = reinterpret_cast<char*>(chunk);
  poison(base + kHeader, size - kHeader);
  end_ = base + size;
  // The chunk starts 16-aligned and `need` counts the worst padding, so the
  // allocation and its redzone end at or before end_.
  char* p = base + kHeader;
  p += (0 - reinterpret_cast<std::uintptr_t>(p)) & (align - 1);
  cur_ = p + bytes + kRedzone;
  unpoison(p, bytes);
  return p;
}

void Arena::release(bool keep_pages) {
  while (head_ != nullptr) {
    Chunk* previous = head_->previous;
    const std::size_t size = head_->size;
    unpoison(head_, size);
    release_pages(head_, size, keep_pages);
    head_ = previous;
  }
  cur_ = end_ = nullptr;
  next_chunk_ = kFirstChunk;
}

}  // namespace zorvat
