// Per-call bump allocator. Every JSON value of one call (the parsed rows, the
// output document, hash indexes, unescaped strings) lives here and is released
// in one step when the arena is destroyed, on success and failure alike; so no
// value needs a destructor and destroying a tree never walks it.
//
// Not thread safe: one arena belongs to one call on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "base/poison.h"

namespace zorvat {

class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() { release(); }

  // Returns `bytes` of storage aligned to `align` (a power of two <= 16).
  // Throws std::bad_alloc when memory is exhausted; the pipeline boundary
  // turns that into a message.
  void* allocate(std::size_t bytes, std::size_t align = 8) {
    if constexpr (kAsan) align = align < 8 ? 8 : align;  // each allocation starts a shadow granule
    // The room is measured before any rounding, and the padding checked
    // against it, so no subtraction can wrap: cur_ <= end_ always holds.
    const std::size_t pad = (0 - reinterpret_cast<std::uintptr_t>(cur_)) & (align - 1);
    const std::size_t room = static_cast<std::size_t>(end_ - cur_);
    if (cur_ != nullptr && room >= pad + kRedzone && bytes <= room - pad - kRedzone) {
      char* p = cur_ + pad;
      cur_ = p + bytes + kRedzone;
      unpoison(p, bytes);
      return p;
    }
    return allocate_slow(bytes, align);
  }

  template <class T>
  T* allocate_array(std::size_t n) {
    static_assert(std::is_trivially_destructible_v<T>);
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate(n * sizeof(T), alignof(T)));
  }

  // A copy of a trivially destructible object, in the arena.
  template <class T>
  T* create(const T& value) {
    static_assert(std::is_trivially_destructible_v<T>);
    return new (allocate(sizeof(T), alignof(T))) T(value);
  }

  // Never null, not even for no bytes: a Str's data goes to memcpy and
  // memcmp, for which a null pointer is undefined whatever the size.
  char* copy_bytes(const char* data, std::size_t size) {
    if (size == 0) return no_bytes_;
    char* out = static_cast<char*>(allocate(size, 1));
    std::memcpy(out, data, size);
    return out;
  }

  // Chunks double from the first size up to the cap; an allocation larger
  // than the next chunk gets one of its own, rounded to huge pages from
  // kPagedFrom on.
  static constexpr std::size_t kFirstChunk = 16 * 1024;
  static constexpr std::size_t kMaxChunk = 16 * 1024 * 1024;

  // Frees every chunk; the arena starts over, empty.
  // `keep_pages`: large chunks may be kept for the next allocations (pages.h).
  void release(bool keep_pages = true);

 private:
  struct Chunk {
    Chunk* previous;
    std::size_t size;
  };
  // Under AddressSanitizer, a poisoned gap after every allocation, so that an
  // overrun into the next allocation is reported too.
  static constexpr std::size_t kRedzone = kAsan ? 16 : 0;

  void* allocate_slow(std::size_t bytes, std::size_t align);

  static inline char no_bytes_[1] = {};

  char* cur_ = nullptr;
  char* end_ = nullptr;
  Chunk* head_ = nullptr;
  std::size_t next_chunk_ = kFirstChunk;
};

}  // namespace zorvat
