#include "json/arena.h"

#include <cstdint>
#include <cstdlib>

#include "json/pages.h"

namespace zorvat::json {

void* Arena::allocate_slow(std::size_t bytes, std::size_t align) {
  // Chunks grow geometrically so a large payload needs few system calls, but
  // are capped so the unused tail of the last chunk stays small next to the
  // payload. An allocation larger than a chunk gets a chunk of its own.
  constexpr std::size_t header = (sizeof(Chunk) + 15) & ~std::size_t{15};
  if (bytes > SIZE_MAX - header - align) throw std::bad_alloc();
  std::size_t need = header + bytes + align;
  std::size_t size = next_chunk_ > need ? next_chunk_ : need;
  if (size >= kHugePage) {
    if (size > SIZE_MAX - kHugePage) throw std::bad_alloc();
    size = (size + kHugePage - 1) & ~(kHugePage - 1);  // whole huge pages
  }
  auto* chunk = static_cast<Chunk*>(allocate_pages(size));
  if (chunk == nullptr) throw std::bad_alloc();
  chunk->previous = head_;
  chunk->size = size;
  head_ = chunk;
  reserved_ += size;
  if (next_chunk_ < kMaxChunk) next_chunk_ *= 2;
  cur_ = reinterpret_cast<char*>(chunk) + header;
  end_ = reinterpret_cast<char*>(chunk) + size;
  std::uintptr_t p = (reinterpret_cast<std::uintptr_t>(cur_) + (align - 1)) & ~(align - 1);
  cur_ = reinterpret_cast<char*>(p) + bytes;
  return reinterpret_cast<void*>(p);
}

void Arena::release() {
  while (head_ != nullptr) {
    Chunk* previous = head_->previous;
    release_pages(head_, head_->size);
    head_ = previous;
  }
  cur_ = end_ = nullptr;
}

}  // namespace zorvat::json
